#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qelm {

/// The first four bytes of a binary configuration file.
inline constexpr std::array<uint8_t, 4> kBinaryConfigMagic = {0xCD, 0xBF, 0x08, 0x06};
/// Header size in bytes: the magic, then 28 reserved bytes (written as zero, never checked).
inline constexpr std::size_t kBinaryConfigHeaderSize = 32;
/// Most token-stream bytes a binary configuration file may hold after its header.
inline constexpr std::size_t kBinaryConfigMaxData = 1048576;

/// Whether `size` bytes at `header` are a complete header that opens with the magic.
bool isBinaryConfigHeader(const uint8_t* header, std::size_t size);

/// Writes `recording` (a token stream) after a header as the binary file `path`, truncating it.
/// An empty recording writes nothing. Returns the failure message, or empty on success; a file
/// left partly written is removed.
std::string writeBinaryConfig(const std::string& path, const std::vector<uint8_t>& recording);

}  // namespace qelm
