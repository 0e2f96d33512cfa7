#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qelm {

// A glyph row is a byte sequence describing pixel columns left to right, each with an intensity
// level 0..15 (0 = background, 15 = full foreground):
//   0x10..0x1F  a run: the low nibble is the level, the next byte the number of columns;
//   0xFF        the end of the row;
//   otherwise   one column whose level is the low nibble.

/// Byte that ends every encoded row.
inline constexpr uint8_t kRowEnd = 0xFF;
/// High nibble of a run byte.
inline constexpr uint8_t kRunMarker = 0x10;
/// Highest intensity level (full foreground).
inline constexpr uint8_t kFullLevel = 15;

/// True when `byte` starts a run (its next byte is a column count, never an end).
inline bool isRunByte(uint8_t byte) {
  return (byte & 0xF0) == kRunMarker;
}

/// Bytes of the row starting at `data`, 0xFF included, when the row ends within `size` bytes
/// under the grammar above (a run's count byte is never taken as the end); 0 otherwise.
std::size_t encodedRowLength(const uint8_t* data, std::size_t size);

/// The levels of the columns of a row that ends with 0xFF (one entry per column).
std::vector<uint8_t> decodeGlyphRow(const uint8_t* row);

}  // namespace qelm
