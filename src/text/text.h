#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qelm {

/// `n` in decimal ("%d"), with a leading "-" when negative.
std::string integerText(int32_t n);

/// `n` in unsigned decimal ("%u"); a negative integer's bit pattern reads as 2^32 + n.
std::string unsignedText(uint32_t n);

/// printf-style formatting into a string of whatever length the result needs; an invalid
/// format gives the empty text.
std::string formattedText(const char* format, ...) __attribute__((format(printf, 1, 2)));

/// `text` with every "<...>" run removed; a "<" with no later ">" is kept with what follows.
std::string stripTags(std::string_view text);

/// `text` without control bytes (below 32) and without the eight bytes < > " / \ | ? * that file
/// names may not hold; bytes of 128 and above (UTF-8) pass unchanged.
std::string fileNameText(std::string_view text);

/// `text` with only ASCII "A".."Z" folded to lower case; every other byte unchanged.
std::string lowerCaseCopy(std::string_view text);

/// Number of bytes in `text` equal to `c`.
std::size_t countChar(std::string_view text, char c);

/// UTF-8 to UTF-16; every ill-formed byte sequence becomes one U+FFFD per maximal subpart.
std::u16string utf8ToWide(std::string_view text);

/// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string wideToUtf8(std::u16string_view text);

/// IPv4 address in dotted decimal; the first octet is the most significant byte of `address`.
std::string ipv4Text(uint32_t address);

/// "a.b.c.d:port" for an IPv4 address (first octet most significant) and a TCP port.
std::string hostText(uint32_t address, uint16_t port);

}  // namespace qelm
