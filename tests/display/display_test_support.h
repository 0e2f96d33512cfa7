#pragma once

// Synthetic fonts and a picture helper for pixel-exact checks of small raster areas.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/app_context.h"
#include "display/font.h"
#include "display/glyph_row.h"
#include "display/raster_window.h"

namespace qelm::testing {

/// An encoded row of single columns, one hexadecimal digit (level) per column.
inline std::vector<uint8_t> levelsRow(std::string_view levels) {
  std::vector<uint8_t> row;
  for (char c : levels) {
    const int level = c >= 'A' ? c - 'A' + 10 : c - '0';
    row.push_back(static_cast<uint8_t>(level));
  }
  row.push_back(kRowEnd);
  return row;
}

/// A glyph with rows given as encoded bytes; an empty entry is a blank row.
class TestGlyph final : public Glyph {
 public:
  TestGlyph(int32_t lead, int32_t width, int32_t trail, std::vector<std::vector<uint8_t>> rows)
      : Glyph(lead, width, trail), rows_(std::move(rows)) {}
  const uint8_t* row(int32_t k) const override {
    if (k < 0 || k >= static_cast<int32_t>(rows_.size()) || rows_[k].empty()) return nullptr;
    return rows_[k].data();
  }

 private:
  std::vector<std::vector<uint8_t>> rows_;
};

/// A font of TestGlyphs by byte: spacing = trail + kerning(pair) + next glyph's lead.
class TestFont final : public OFont {
 public:
  explicit TestFont(int32_t height) : height_(height) {}
  TestGlyph& add(char c, int32_t lead, int32_t width, int32_t trail,
                 std::vector<std::vector<uint8_t>> rows) {
    glyphs_[c] = std::make_unique<TestGlyph>(lead, width, trail, std::move(rows));
    return *glyphs_[c];
  }
  void kern(char left, char right, int32_t adjust) { kerning_[{left, right}] = adjust; }

  int32_t height() const override { return height_; }
  void layout(std::string_view text, std::vector<GlyphPlacement>& placements) override {
    const std::size_t start = placements.size();
    char previous = 0;
    for (char c : text) {
      const auto it = glyphs_.find(c);
      if (it == glyphs_.end()) continue;
      if (placements.size() > start) {
        const auto k = kerning_.find({previous, c});
        placements.back().spacing += it->second->lead() + (k == kerning_.end() ? 0 : k->second);
      }
      placements.push_back({it->second.get(), it->second->trail()});
      previous = c;
    }
  }

 private:
  int32_t height_;
  std::map<char, std::unique_ptr<TestGlyph>> glyphs_;
  std::map<std::pair<char, char>, int32_t> kerning_;
};

/// Colour of raster pixels no operation has touched.
inline constexpr uint32_t kUntouched = 0x123456;

/// A raster with both windows; every pixel starts as kUntouched.
class RasterFixture {
 public:
  RasterFixture()
      : raster_(static_cast<std::size_t>(kRasterWidth) * kRasterHeight, kUntouched),
        left_("left", kLeftScreenRegion, &fonts_, raster_.data()),
        right_("right", kRightScreenRegion, &fonts_, raster_.data()) {}

  uint32_t at(int32_t rasterX, int32_t rasterY) const {
    return raster_[static_cast<std::size_t>(rasterY) * kRasterWidth + rasterX];
  }
  void put(int32_t rasterX, int32_t rasterY, uint32_t pixel) {
    raster_[static_cast<std::size_t>(rasterY) * kRasterWidth + rasterX] = pixel;
  }

  /// The raster rectangle as one string per row, each pixel as its letter in `legend`
  /// ('?' for a colour the legend lacks). Default legend: '.' untouched, 'W' white, 'K' black.
  std::vector<std::string> picture(int32_t x0, int32_t y0, int32_t x1, int32_t y1,
                                   const std::map<uint32_t, char>& extra = {}) const {
    std::map<uint32_t, char> legend = {{kUntouched, '.'}, {0xFFFFFF, 'W'}, {0x000000, 'K'}};
    for (const auto& [pixel, letter] : extra)
      legend[pixel] = letter;
    std::vector<std::string> rows;
    for (int32_t y = y0; y < y1; ++y) {
      std::string row;
      for (int32_t x = x0; x < x1; ++x) {
        const auto it = legend.find(at(x, y));
        row += it == legend.end() ? '?' : it->second;
      }
      rows.push_back(row);
    }
    return rows;
  }

 protected:
  std::vector<uint32_t> raster_;
  FontRegistry fonts_;
  RasterWindow left_;
  RasterWindow right_;
};

}  // namespace qelm::testing
