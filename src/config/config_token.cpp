#include "config/config_token.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "config/line_reader.h"
#include "text/readers.h"

namespace qelm {
namespace {

constexpr int32_t kKeywordCount = 127;

using KeywordTable = std::array<std::string, kKeywordCount>;

KeywordTable buildKeywordTable() {
  KeywordTable table;
  const std::pair<Keyword, const char*> entries[] = {
      {Keyword::kBanner, "banner"},
      {Keyword::kModel, "model"},
      {Keyword::kTemplate, "template"},
      {Keyword::kDevice, "device"},
      {Keyword::kParameter, "parameter"},
      {Keyword::kInt, "int"},
      {Keyword::kFloat, "float"},
      {Keyword::kString, "string"},
      {Keyword::kChoice, "choice"},
      {Keyword::kUnit, "unit"},
      {Keyword::kSlow, "slow"},
      {Keyword::kReadonly, "readonly"},
      {Keyword::kPage, "page"},
      {Keyword::kItem, "item"},
      {Keyword::kFromTemplate, "from-template"},
      {Keyword::kNoPage, "no-page"},
      {Keyword::kFromModel, "from-model"},
      {Keyword::kType, "type"},
      {Keyword::k8Up, "8-up"},
      {Keyword::k4Up, "4-up"},
      {Keyword::kCc, "cc"},
      {Keyword::kInclude, "include"},
      {Keyword::kSimulator, "simulator"},
      {Keyword::kPeriodic, "periodic"},
      {Keyword::kDefault, "default"},
      {Keyword::kName, "name"},
      {Keyword::kSet, "set"},
      {Keyword::kText, "text"},
      {Keyword::kInput, "input"},
      {Keyword::kLine, "line"},
      {Keyword::kHigh, "high"},
      {Keyword::kLow, "low"},
      {Keyword::kLike, "like"},
      {Keyword::kLocal, "local"},
      {Keyword::kMonitor, "monitor"},
      {Keyword::kLm, "lm"},
      {Keyword::kCard, "card"},
      {Keyword::kSecondaryChannels, "secondary-channels"},
      {Keyword::kDisplay, "display"},
  };
  for (const auto& [keyword, text] : entries)
    table[static_cast<std::size_t>(keyword) - 1] = text;
  return table;
}

int digitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 99;
}

// Reads digits of `base` from text[pos..] to the end; false when there are none, a character is
// not a digit, or the magnitude passes `limit`.
bool readDigits(const std::string& text, std::size_t pos, int base, int64_t limit,
                int64_t& magnitude) {
  if (pos >= text.size()) return false;
  magnitude = 0;
  for (; pos < text.size(); ++pos) {
    const int digit = digitValue(text[pos]);
    if (digit >= base) return false;
    magnitude = magnitude * base + digit;
    if (magnitude > limit) return false;
  }
  return true;
}

bool readOidPart(const std::string& text, uint16_t& part) {
  int32_t value = 0;
  if (!readConfigInteger(text, value) || value < 0 || value > 65535) return false;
  part = static_cast<uint16_t>(value);
  return true;
}

constexpr int32_t kindOf(TokenKind kind) {
  return static_cast<int32_t>(kind);
}

}  // namespace

const std::string& keywordText(int32_t number) {
  static const KeywordTable table = buildKeywordTable();
  static const std::string none;
  if (number < 1 || number > kKeywordCount) return none;
  return table[static_cast<std::size_t>(number) - 1];
}

bool readConfigInteger(const std::string& text, int32_t& value) {
  std::size_t pos = 0;
  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    negative = text[pos] == '-';
    ++pos;
  }
  int base = 10;
  if (text.find("0x") != std::string::npos) {
    if (text.compare(pos, 2, "0x") == 0) {
      base = 16;
      pos += 2;
    } else if (pos < text.size() && text[pos] == '0') {
      base = 8;
    }
  }
  // The magnitude of the most negative int32 is one more than that of the largest.
  const int64_t limit = negative ? int64_t{2147483648} : int64_t{2147483647};
  int64_t magnitude = 0;
  if (!readDigits(text, pos, base, limit, magnitude)) return false;
  value = static_cast<int32_t>(negative ? -magnitude : magnitude);
  return true;
}

void ConfigToken::clear(int32_t kind) {
  kind_ = kind;
  text_.clear();
  shortBits_ = 0;
  float_ = 0.0f;
  address_ = 0xFFFFFFFFu;
  oidFirst_ = 0;
  oidHasSecond_ = false;
  oidSecond_ = 0;
}

void ConfigToken::set(int32_t kind, std::string text) {
  clear(kind);
  text_ = std::move(text);
}

void ConfigToken::readFrom(LineReader& reader) {
  clear(kindOf(TokenKind::kWord));
  try {
    text_ = reader.next();
  } catch (const LineReaderException& e) {
    kind_ = e.code() == LineReaderError::kEndOfFile ? kindOf(TokenKind::kEndOfInput)
                                                    : kindOf(TokenKind::kError);
  }
}

void ConfigToken::readBinary(const uint8_t*& cursor, const uint8_t* end) {
  clear(kindOf(TokenKind::kError));
  if (cursor >= end) {
    kind_ = kindOf(TokenKind::kEndOfInput);
    return;
  }
  const uint8_t lead = *cursor++;
  const auto available = static_cast<std::size_t>(end - cursor);
  if (lead >= 1 && lead <= kKeywordCount) {
    kind_ = lead;
    // Keeps messages that name the token ("directive ... unrecognized") readable.
    text_ = keywordText(lead);
    return;
  }
  switch (lead) {
    case static_cast<uint8_t>(TokenKind::kOid):
      if (available < 5) break;
      oidHasSecond_ = (cursor[0] & 1) != 0;
      oidFirst_ = readBigEndian16(cursor + 1);
      oidSecond_ = readBigEndian16(cursor + 3);
      cursor += 5;
      kind_ = lead;
      break;
    case static_cast<uint8_t>(TokenKind::kIpAddress):
      if (available < 4) break;
      address_ = readBigEndian32(cursor);
      cursor += 4;
      kind_ = lead;
      break;
    case static_cast<uint8_t>(TokenKind::kFloat): {
      if (available < 4) break;
      const uint32_t bits = readBigEndian32(cursor);
      std::memcpy(&float_, &bits, sizeof float_);
      cursor += 4;
      kind_ = lead;
      break;
    }
    case static_cast<uint8_t>(TokenKind::kShort):
      if (available < 2) break;
      shortBits_ = readBigEndian16(cursor);
      cursor += 2;
      kind_ = lead;
      break;
    case static_cast<uint8_t>(TokenKind::kString): {
      const void* zero = std::memchr(cursor, 0, available);
      if (zero == nullptr) break;
      const auto* stop = static_cast<const uint8_t*>(zero);
      text_.assign(reinterpret_cast<const char*>(cursor), static_cast<std::size_t>(stop - cursor));
      cursor = stop + 1;
      kind_ = lead;
      break;
    }
    default:
      break;
  }
}

void ConfigToken::appendBinary(std::vector<uint8_t>& out) const {
  if (kind_ >= 1 && kind_ <= kKeywordCount) {
    out.push_back(static_cast<uint8_t>(kind_));
    return;
  }
  switch (kind_) {
    case kindOf(TokenKind::kOid):
      out.push_back(static_cast<uint8_t>(kind_));
      out.push_back(oidHasSecond_ ? 1 : 0);
      appendBigEndian16(out, oidFirst_);
      appendBigEndian16(out, oidSecond_);
      break;
    case kindOf(TokenKind::kIpAddress):
      out.push_back(static_cast<uint8_t>(kind_));
      appendBigEndian32(out, address_);
      break;
    case kindOf(TokenKind::kFloat): {
      uint32_t bits = 0;
      std::memcpy(&bits, &float_, sizeof bits);
      out.push_back(static_cast<uint8_t>(kind_));
      appendBigEndian32(out, bits);
      break;
    }
    case kindOf(TokenKind::kShort):
      out.push_back(static_cast<uint8_t>(kind_));
      appendBigEndian16(out, shortBits_);
      break;
    case kindOf(TokenKind::kString):
      out.push_back(static_cast<uint8_t>(kind_));
      out.insert(out.end(), text_.begin(), text_.end());
      out.push_back(0);
      break;
    default:
      break;
  }
}

bool ConfigToken::isKeyword(Keyword keyword) {
  const auto number = static_cast<int32_t>(keyword);
  if (kind_ == number) return true;
  if (kind_ != kindOf(TokenKind::kWord) || !equalsIgnoringCase(text_, keywordText(number)))
    return false;
  kind_ = number;
  return true;
}

bool ConfigToken::asString() {
  if (kind_ == kindOf(TokenKind::kString)) return true;
  if (kind_ != kindOf(TokenKind::kWord)) return false;
  kind_ = kindOf(TokenKind::kString);
  return true;
}

bool ConfigToken::asShort(bool isSigned) {
  if (kind_ == kindOf(TokenKind::kShort)) return true;
  if (kind_ != kindOf(TokenKind::kWord)) return false;
  int32_t value = 0;
  if (!readConfigInteger(text_, value)) return false;
  if (isSigned ? (value < -32767 || value > 32767) : (value < 0 || value > 65535)) return false;
  shortBits_ = static_cast<uint16_t>(value);
  kind_ = kindOf(TokenKind::kShort);
  return true;
}

bool ConfigToken::asFloat() {
  // A binary file can hold any bit pattern; the text grammar spells neither NaN nor infinity,
  // and the binary form must not accept more than the text does.
  if (kind_ == kindOf(TokenKind::kFloat)) return std::isfinite(float_);
  if (kind_ != kindOf(TokenKind::kWord) || !isDecimalRealText(text_, SignRule::kPlusOrMinus))
    return false;
  // from_chars takes no leading '+'.
  const char* first = text_.data() + (text_[0] == '+' ? 1 : 0);
  float value = 0.0f;
  const auto result = std::from_chars(first, text_.data() + text_.size(), value);
  // A number beyond the float range is refused rather than turned into an infinity that every
  // range and step computation downstream would have to survive.
  if (result.ec != std::errc() || result.ptr != text_.data() + text_.size()) return false;
  float_ = value;
  kind_ = kindOf(TokenKind::kFloat);
  return true;
}

bool ConfigToken::asIpAddress() {
  if (kind_ == kindOf(TokenKind::kIpAddress)) return true;
  if (kind_ != kindOf(TokenKind::kWord)) return false;
  // Octets may carry any number of leading zeros, and what follows the fourth is ignored.
  const std::optional<uint32_t> address =
      readIpv4Text(text_, std::string::npos, TrailingText::kIgnored);
  if (!address) return false;
  address_ = *address;
  kind_ = kindOf(TokenKind::kIpAddress);
  return true;
}

bool ConfigToken::asOid() {
  if (kind_ == kindOf(TokenKind::kOid)) return true;
  if (kind_ == kindOf(TokenKind::kShort)) {
    oidFirst_ = shortBits_;
    oidHasSecond_ = false;
    oidSecond_ = 0;
    kind_ = kindOf(TokenKind::kOid);
    return true;
  }
  if (kind_ != kindOf(TokenKind::kWord)) return false;
  const std::size_t colon = text_.find(':');
  uint16_t first = 0;
  uint16_t second = 0;
  if (colon == std::string::npos) {
    if (!readOidPart(text_, first)) return false;
  } else {
    if (colon == 0 || colon + 1 == text_.size()) return false;
    if (!readOidPart(text_.substr(0, colon), first) ||
        !readOidPart(text_.substr(colon + 1), second))
      return false;
  }
  oidFirst_ = first;
  oidHasSecond_ = colon != std::string::npos;
  oidSecond_ = second;
  kind_ = kindOf(TokenKind::kOid);
  return true;
}

std::string ConfigToken::oidText() const {
  return oidMessageText(oidFirst_, oidHasSecond_, oidSecond_);
}

std::string oidMessageText(uint16_t first, bool hasSecond, uint16_t second) {
  char buffer[64];
  if (hasSecond) {
    std::snprintf(buffer, sizeof buffer, "(%d, 0x%04X):(%d, 0x%04X)", first, first, second, second);
  } else {
    std::snprintf(buffer, sizeof buffer, "(%d, 0x%04X)", first, first);
  }
  return buffer;
}

}  // namespace qelm
