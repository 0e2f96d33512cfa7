#include "display/font.h"

#include <algorithm>
#include <limits>

namespace qelm {

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
