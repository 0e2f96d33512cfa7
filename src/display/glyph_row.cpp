#include "display/glyph_row.h"

namespace qelm {

std::size_t encodedRowLength(const uint8_t* data, std::size_t size) {
  std::size_t i = 0;
  while (i < size) {
    const uint8_t byte = data[i];
    if (byte == kRowEnd) return i + 1;
    i += isRunByte(byte) ? 2 : 1;
  }
  return 0;
}

std::vector<uint8_t> decodeGlyphRow(const uint8_t* row) {
  std::vector<uint8_t> levels;
  for (const uint8_t* p = row; *p != kRowEnd;) {
    const uint8_t byte = *p++;
    if (isRunByte(byte)) {
      levels.insert(levels.end(), *p++, static_cast<uint8_t>(byte & 0x0F));
    } else {
      levels.push_back(static_cast<uint8_t>(byte & 0x0F));
    }
  }
  return levels;
}

}  // namespace qelm
