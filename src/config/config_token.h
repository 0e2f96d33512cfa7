#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qelm {

class LineReader;

/// Kind of a configuration token. 1..127 are keywords (the keyword's number); the other codes
/// are fixed because they are also the lead bytes of the binary configuration form.
enum class TokenKind : int32_t {
  kOid = 249,
  kIpAddress = 250,
  kFloat = 251,
  kShort = 252,
  kString = 253,
  kWord = 255,  ///< read from text, not classified yet
  kEndOfInput = 257,
  kError = 258,  ///< unreadable input: read error, mismatched quotes, truncated binary token
};

/// The keywords of the configuration language by number (26..31 unused). Keywords are not
/// reserved: a word becomes one only when a parser asks for it.
enum class Keyword : int32_t {
  kBanner = 1,
  kModel = 2,
  kTemplate = 3,
  kDevice = 4,
  kParameter = 5,
  kInt = 6,
  kFloat = 7,
  kString = 8,
  kChoice = 9,
  kUnit = 10,
  kSlow = 11,
  kReadonly = 12,
  kPage = 13,
  kItem = 14,
  kFromTemplate = 15,
  kNoPage = 16,
  kFromModel = 17,
  kType = 18,
  k8Up = 19,
  k4Up = 20,
  kCc = 21,
  kInclude = 22,
  kSimulator = 23,
  kPeriodic = 24,
  kDefault = 25,
  kName = 32,
  kSet = 33,
  kText = 34,
  kInput = 35,
  kLine = 36,
  kHigh = 37,
  kLow = 38,
  kLike = 39,
  kLocal = 40,
  kMonitor = 41,
  kLm = 42,
  kCard = 43,
  kSecondaryChannels = 44,
  kDisplay = 45,
};

/// The text of keyword `number` (1..127), or empty for an unused number.
const std::string& keywordText(int32_t number);

/// One token of a configuration, read from text or from the binary form, classified on demand.
/// Each `is`/`as` operation answers true when the token is, or could be turned into, the asked
/// kind; a Word is then converted in place. A failed classification leaves the token unchanged.
class ConfigToken {
 public:
  /// Kind code: a keyword number (1..127) or a `TokenKind`.
  int32_t kind() const { return kind_; }
  /// The raw text as read (kept after classification).
  const std::string& text() const { return text_; }

  /// Clears the token and reads the next one from `reader` as a Word; end of file gives
  /// kEndOfInput, any other reader failure kError.
  void readFrom(LineReader& reader);
  /// Clears the token and decodes the next binary token at `cursor` (advanced past it), never
  /// reading at or beyond `end`. At the end: kEndOfInput; a bad or cut token: kError.
  void readBinary(const uint8_t*& cursor, const uint8_t* end);
  /// Appends the binary encoding of the token (nothing for Word, end and error kinds).
  void appendBinary(std::vector<uint8_t>& out) const;

  /// Keyword `keyword`; a Word whose text equals the keyword's, ignoring ASCII case.
  bool isKeyword(Keyword keyword);
  /// A String; any Word (including the empty word) becomes one.
  bool asString();
  /// A Short; a Word holding an integer in -32767..32767 (`isSigned`) or 0..65535.
  bool asShort(bool isSigned);
  /// A Float; a Word that reads entirely as a floating-point number. A binary Float that is NaN
  /// or infinite is refused, as its text could not be read.
  bool asFloat();
  /// An IpAddress; a Word of four dotted decimal numbers 0..255 (trailing text not checked).
  bool asIpAddress();
  /// An Oid; a Short becomes a one-part OID; a Word "n" or "n:m", each part 0..65535.
  bool asOid();

  /// Short value as a signed number (the 16-bit pattern read signed).
  int16_t signedShort() const { return static_cast<int16_t>(shortBits_); }
  /// Short value as an unsigned number.
  uint16_t unsignedShort() const { return shortBits_; }
  /// Float value.
  float floatValue() const { return float_; }
  /// IPv4 address, first octet in the most significant byte; all ones until classified.
  uint32_t address() const { return address_; }
  /// OID first part.
  uint16_t oid() const { return oidFirst_; }
  /// Whether the OID has a second part (an array element index).
  bool oidHasElement() const { return oidHasSecond_; }
  /// OID second part, 0 when absent.
  uint16_t oidElement() const { return oidSecond_; }
  /// The OID as messages write it: "(%d, 0x%04X)" or "(%d, 0x%04X):(%d, 0x%04X)".
  std::string oidText() const;

  /// Sets the token directly (tests and tools).
  void set(int32_t kind, std::string text);

 private:
  void clear(int32_t kind);

  int32_t kind_ = static_cast<int32_t>(TokenKind::kWord);
  std::string text_;
  uint16_t shortBits_ = 0;
  float float_ = 0.0f;
  uint32_t address_ = 0xFFFFFFFFu;
  uint16_t oidFirst_ = 0;
  bool oidHasSecond_ = false;
  uint16_t oidSecond_ = 0;
};

/// An OID as messages write it: "(%d, 0x%04X)", or "(%d, 0x%04X):(%d, 0x%04X)" with an element.
std::string oidMessageText(uint16_t first, bool hasSecond, uint16_t second);

/// Reads a configuration integer: an optional sign and digits using the whole text, within
/// int32. Decimal, unless the text holds "0x" somewhere: then a "0x" prefix means hexadecimal and
/// a leading "0" octal (so "010" is ten and "0x10" sixteen). False when it is not an integer.
bool readConfigInteger(const std::string& text, int32_t& value);

}  // namespace qelm
