#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qelm {

/// `c` with only ASCII "A".."Z" folded to lower case.
constexpr char foldedAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

/// Equal byte for byte once ASCII letters are folded to lower case.
bool equalsIgnoringCase(std::string_view a, std::string_view b);

/// Which leading signs a decimal number may carry.
enum class SignRule : int32_t {
  kMinusOnly = 0,    ///< values typed on the panel
  kPlusOrMinus = 1,  ///< numbers in configuration files
};

/// The one decimal grammar for real numbers: [sign] digits [. digits] [(e|E) [sign] digits],
/// with at least one mantissa digit. Spelled out rather than left to the library, which would
/// also take "inf", "nan", hexadecimal forms and spaces.
bool isDecimalRealText(std::string_view text, SignRule signs);

/// What may follow the fourth octet of an IPv4 address.
enum class TrailingText : int32_t {
  kRefused = 0,  ///< the address is the whole text (values typed on the panel)
  kIgnored = 1,  ///< anything after it is ignored (configuration words, as they always were)
};

/// Dotted decimal IPv4 address, first octet in the most significant byte: four octets, each of
/// 1 to `maxOctetDigits` digits and at most 255, at the start of `text`.
std::optional<uint32_t> readIpv4Text(std::string_view text, std::size_t maxOctetDigits,
                                     TrailingText trailing);

/// At most `limit` bytes of `text`, backing off so that no UTF-8 sequence is split.
std::string cutText(std::string_view text, std::size_t limit);

/// Big-endian unsigned integers at `p` (2 and 4 bytes; the caller checks the length).
inline uint16_t readBigEndian16(const uint8_t* p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
inline uint32_t readBigEndian32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

/// Appends `value` most significant byte first.
inline void appendBigEndian16(std::vector<uint8_t>& out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value >> 8));
  out.push_back(static_cast<uint8_t>(value));
}
inline void appendBigEndian32(std::vector<uint8_t>& out, uint32_t value) {
  out.push_back(static_cast<uint8_t>(value >> 24));
  out.push_back(static_cast<uint8_t>(value >> 16));
  out.push_back(static_cast<uint8_t>(value >> 8));
  out.push_back(static_cast<uint8_t>(value));
}

}  // namespace qelm
