#include "display/font.h"

#include <algorithm>
#include <limits>

#include "display/glyph_row.h"

namespace qelm {

Glyph::~Glyph() = default;

void Glyph::decodeLevels(int32_t height) const {
  levelsHeight_ = height;
  levels_.reset();
  if (height < 0 || height > kMaxGlyphLevelRows) return;
  auto decoded = std::make_unique<GlyphLevels>();
  decoded->height = height;
  decoded->rows.resize(static_cast<std::size_t>(height));
  for (int32_t k = 0; k < height; ++k) {
    const uint8_t* p = row(k);
    if (!p) continue;
    GlyphLevels::Row& entry = decoded->rows[static_cast<std::size_t>(k)];
    entry.offset = static_cast<uint32_t>(decoded->levels.size());
    while (*p != kRowEnd) {
      const uint8_t byte = *p++;
      const std::size_t count = isRunByte(byte) ? *p++ : 1;
      // Checked before growing, so a row of long runs never allocates past the bound.
      if (count > kMaxGlyphLevelBytes - decoded->levels.size()) return;
      decoded->levels.insert(decoded->levels.end(), count, static_cast<uint8_t>(byte & 0x0F));
    }
    entry.columns = static_cast<int32_t>(decoded->levels.size() - entry.offset);
    if (entry.columns != width_) decoded->rowsAsWide = false;
    for (std::size_t i = entry.offset; i + 1 < decoded->levels.size(); ++i)
      decoded->levels[i] |= static_cast<uint8_t>(decoded->levels[i + 1] << 4);
  }
  decoded->levels.shrink_to_fit();
  levels_ = std::move(decoded);
}

int32_t textWidth(const std::vector<GlyphPlacement>& placements) {
  if (placements.empty()) return 0;
  int64_t width = placements.front().glyph->lead();
  for (const GlyphPlacement& placement : placements)
    width += int64_t{placement.glyph->width()} + placement.spacing;
  // Only absurdly long texts get here; a clamped width still clips correctly.
  return static_cast<int32_t>(std::clamp<int64_t>(width, std::numeric_limits<int32_t>::min(),
                                                  std::numeric_limits<int32_t>::max()));
}

void FontRegistry::add(int32_t code, std::unique_ptr<OFont> font) {
  fonts_[code] = std::move(font);
}

OFont* FontRegistry::find(int32_t code) const {
  const auto it = fonts_.find(code);
  return it == fonts_.end() ? nullptr : it->second.get();
}

}  // namespace qelm
