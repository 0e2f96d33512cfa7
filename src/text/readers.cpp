#include "text/readers.h"

#include <algorithm>

namespace qelm {
namespace {

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

// Skips digits from `pos`; how many there were.
std::size_t skipDigits(std::string_view text, std::size_t& pos) {
  const std::size_t start = pos;
  while (pos < text.size() && isDigit(text[pos]))
    ++pos;
  return pos - start;
}

}  // namespace

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (foldedAscii(a[i]) != foldedAscii(b[i])) return false;
  }
  return true;
}

bool isDecimalRealText(std::string_view text, SignRule signs) {
  std::size_t pos = 0;
  if (pos < text.size() &&
      (text[pos] == '-' || (text[pos] == '+' && signs == SignRule::kPlusOrMinus)))
    ++pos;
  std::size_t digits = skipDigits(text, pos);
  if (pos < text.size() && text[pos] == '.') {
    ++pos;
    digits += skipDigits(text, pos);
  }
  if (digits == 0) return false;
  if (pos < text.size() && (text[pos] == 'e' || text[pos] == 'E')) {
    ++pos;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) ++pos;
    if (skipDigits(text, pos) == 0) return false;
  }
  return pos == text.size();
}

std::optional<uint32_t> readIpv4Text(std::string_view text, std::size_t maxOctetDigits,
                                     TrailingText trailing) {
  uint32_t address = 0;
  std::size_t pos = 0;
  for (int i = 0; i < 4; ++i) {
    if (i > 0) {
      if (pos >= text.size() || text[pos] != '.') return std::nullopt;
      ++pos;
    }
    const std::size_t start = pos;
    uint32_t octet = 0;
    while (pos < text.size() && isDigit(text[pos])) {
      octet = octet * 10 + static_cast<uint32_t>(text[pos] - '0');
      if (octet > 255 || pos - start >= maxOctetDigits) return std::nullopt;
      ++pos;
    }
    if (pos == start) return std::nullopt;
    address = (address << 8) | octet;
  }
  if (trailing == TrailingText::kRefused && pos != text.size()) return std::nullopt;
  return address;
}

std::string cutText(std::string_view text, std::size_t limit) {
  std::size_t cut = std::min(text.size(), limit);
  if (cut < text.size()) {
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
      --cut;
  }
  return std::string(text.substr(0, cut));
}

}  // namespace qelm
