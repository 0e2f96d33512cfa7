#include "display/palette.h"

#include <atomic>

namespace qelm {

namespace {

constexpr std::array<uint32_t, kPaletteSize> kLightColors = {
    0xFFFFFF, 0x000000, 0x000000, 0xFFFFFF, 0xFF0000, 0x0000FF, 0xFFFFFF,
    0x0000FF, 0xFFA0A0, 0xA0FFA0, 0xA0A0FF, 0x000000, 0x000000, 0x000000,
    0xFF0000, 0x00FF00, 0x0000FF, 0xFFFFFF, 0xD55B21, 0x000000, 0xFF0000,
    0x0D546F, 0x606060, 0x0094FF, 0x17B762, 0xF3FF0F, 0xFF0000, 0xFFFFFF};

constexpr std::array<uint32_t, kPaletteSize> kDarkColors = {
    0x000000, 0xFFFFFF, 0xFFFFFF, 0x000000, 0xFF0000, 0x0000FF, 0xFFFFFF,
    0xA0A0FF, 0x000000, 0x000000, 0x000000, 0xFFA0A0, 0xA0FFA0, 0xA0A0FF,
    0xFF0000, 0x00FF00, 0x0000FF, 0xFFFFFF, 0xD55B21, 0x000000, 0xFF0000,
    0x0D546F, 0x606060, 0x0094FF, 0x17B762, 0xF3FF0F, 0xFF0000, 0xFFFFFF};

// The process-wide table. Entries are atomic so that a theme change never tears a colour for a
// reader on another thread (a screenshot, a test); the engine itself reads and writes it on one
// thread.
class PaletteTable {
 public:
  PaletteTable() { store(kLightColors); }
  void store(const std::array<uint32_t, kPaletteSize>& colors) {
    for (int i = 0; i < kPaletteSize; ++i)
      entries_[i].store(colors[i], std::memory_order_relaxed);
  }
  uint32_t load(int i) const { return entries_[i].load(std::memory_order_relaxed); }

 private:
  std::array<std::atomic<uint32_t>, kPaletteSize> entries_;
};

PaletteTable& table() {
  static PaletteTable palette;
  return palette;
}

}  // namespace

std::array<uint32_t, kPaletteSize> themeColors(ColorTheme theme) {
  return theme == ColorTheme::kDark ? kDarkColors : kLightColors;
}

void fillPalette(ColorTheme theme) {
  table().store(themeColors(theme));
}

uint32_t paletteColor(ColorIndex index) {
  if (index < 0 || index >= kPaletteSize) return 0x000000;
  return table().load(index);
}

}  // namespace qelm
