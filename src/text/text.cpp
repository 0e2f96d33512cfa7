#include "text/text.h"

#include <cstdarg>
#include <cstdio>

#include "text/readers.h"

namespace qelm {

namespace {

constexpr char16_t kReplacement = 0xFFFD;

void appendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

void appendUtf16(std::u16string& out, char32_t c) {
  if (c < 0x10000) {
    out.push_back(static_cast<char16_t>(c));
  } else {
    c -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
  }
}

}  // namespace

std::string integerText(int32_t n) {
  return formattedText("%d", static_cast<int>(n));
}

std::string unsignedText(uint32_t n) {
  return formattedText("%u", static_cast<unsigned>(n));
}

std::string formattedText(const char* format, ...) {
  char small[128];
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int needed = std::vsnprintf(small, sizeof small, format, args);
  va_end(args);
  std::string result;
  if (needed < 0) {
    va_end(again);
    return result;
  }
  if (static_cast<std::size_t>(needed) < sizeof small) {
    result.assign(small, static_cast<std::size_t>(needed));
  } else {
    result.resize(static_cast<std::size_t>(needed));
    std::vsnprintf(result.data(), result.size() + 1, format, again);
  }
  va_end(again);
  return result;
}

std::string stripTags(std::string_view text) {
  // Everything before the "<" just removed holds no "<", so resuming the search where the run
  // ended finds what a search from the start would, without going quadratic on long texts.
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t open = text.find('<', pos);
    if (open == std::string_view::npos) break;
    const std::size_t close = text.find('>', open + 1);
    if (close == std::string_view::npos) break;
    out.append(text.substr(pos, open - pos));
    pos = close + 1;
  }
  if (pos < text.size()) out.append(text.substr(pos));
  return out;
}

std::string fileNameText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 32) continue;
    switch (c) {
      case '<':
      case '>':
      case '"':
      case '/':
      case '\\':
      case '|':
      case '?':
      case '*':
        continue;
      default:
        out.push_back(c);
    }
  }
  return out;
}

std::string lowerCaseCopy(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    c = foldedAscii(c);
  return out;
}

std::size_t countChar(std::string_view text, char c) {
  std::size_t n = 0;
  for (const char x : text) {
    if (x == c) ++n;
  }
  return n;
}

std::u16string utf8ToWide(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  const std::size_t size = text.size();
  std::size_t i = 0;
  auto byteAt = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  while (i < size) {
    const unsigned char lead = byteAt(i);
    if (lead < 0x80) {
      out.push_back(lead);
      ++i;
      continue;
    }
    // The allowed range of the second byte rules out overlong forms, surrogates and code points
    // past U+10FFFF; a sequence that breaks off is replaced once, at its longest valid prefix.
    int trailing = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    char32_t c = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
      trailing = 1;
      c = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      trailing = 2;
      c = lead & 0x0F;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      trailing = 3;
      c = lead & 0x07;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      out.push_back(kReplacement);
      ++i;
      continue;
    }
    std::size_t k = i + 1;
    bool complete = true;
    for (int n = 0; n < trailing; ++n, ++k) {
      if (k >= size) {
        complete = false;
        break;
      }
      const unsigned char b = byteAt(k);
      const unsigned char lo = n == 0 ? low : 0x80;
      const unsigned char hi = n == 0 ? high : 0xBF;
      if (b < lo || b > hi) {
        complete = false;
        break;
      }
      c = (c << 6) | (b & 0x3F);
    }
    if (complete) {
      appendUtf16(out, c);
    } else {
      out.push_back(kReplacement);
    }
    i = k;
  }
  return out;
}

std::string wideToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t u = text[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      const char32_t c = 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) +
                         (static_cast<char32_t>(text[i + 1]) - 0xDC00);
      appendUtf8(out, c);
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      appendUtf8(out, kReplacement);
    } else {
      appendUtf8(out, u);
    }
  }
  return out;
}

std::string ipv4Text(uint32_t address) {
  return formattedText("%u.%u.%u.%u", static_cast<unsigned>(address >> 24),
                       static_cast<unsigned>((address >> 16) & 0xFF),
                       static_cast<unsigned>((address >> 8) & 0xFF),
                       static_cast<unsigned>(address & 0xFF));
}

std::string hostText(uint32_t address, uint16_t port) {
  return ipv4Text(address) + ":" + unsignedText(port);
}

}  // namespace qelm
