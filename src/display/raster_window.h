#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "display/font.h"
#include "display/window.h"

namespace qelm {

/// A window that writes 0x00RRGGBB pixels straight into the shared 1024 x 272 raster and counts
/// its drawing operations. Every write is clipped to the window's region.
class RasterWindow final : public Window {
 public:
  /// `raster`: the shared raster of kRasterWidth x kRasterHeight pixels, not owned; `region` is
  /// cut to the raster's bounds.
  RasterWindow(std::string name, const Rect& region, FontRegistry* fonts, uint32_t* raster);

  /// Pixels; (0, 0) for an unknown font code or a text without glyphs. Not a change.
  TextSize measureText(std::string_view text, int32_t fontCode) override;
  /// One line of text; an unknown font code draws nothing and counts no change.
  void drawText(Drawable* drawable, std::string_view text, int32_t fontCode, bool centred,
                ColorIndex foreground, ColorIndex background, const Rect& box,
                const Rect* clip = nullptr, Rect* area = nullptr) override;
  /// Fills the drawable's rectangle or the whole window.
  void clear(Drawable* drawable, ColorIndex color) override;
  /// Fills `rect` (relative to the drawable when given).
  void fillRect(Drawable* drawable, const Rect& rect, ColorIndex color) override;
  /// Outline of `rect`; an inverted rectangle draws nothing.
  void drawFrame(Drawable* drawable, const Rect& rect, ColorIndex color, bool rounded) override;
  /// One pixel relative to the drawable; not a change.
  void setPixel(Drawable& drawable, int32_t x, int32_t y, ColorIndex color) override;
  /// Columns fromX..toX-1 of row y, relative to the drawable.
  void drawHLine(Drawable& drawable, int32_t fromX, int32_t toX, int32_t y,
                 ColorIndex color) override;
  /// Rows fromY..toY-1 of column x, relative to the drawable.
  void drawVLine(Drawable& drawable, int32_t fromY, int32_t toY, int32_t x,
                 ColorIndex color) override;
  /// Moves rows up by `lines`; 0, negative or at least the height moves nothing.
  void scrollUp(Drawable* drawable, const Rect& rect, int32_t lines) override;
  /// Copies the whole bitmap at (x, y), cut only at the window's edges.
  void drawBitmap(Drawable* drawable, const Bitmap& bitmap, int32_t x, int32_t y) override;
  /// Counts one change.
  void markChanged() override { ++changeCount_; }
  /// Base address of the shared raster (rows of kRasterWidth pixels).
  uint32_t* pixels() override { return raster_; }

  /// Drawing operations so far, 1 after construction; only inequality between two readings
  /// matters (it wraps).
  int32_t changeCount() const { return static_cast<int32_t>(changeCount_); }

 private:
  // Window-coordinate rectangle of the whole window.
  Rect bounds() const { return {0, 0, region_.width(), region_.height()}; }
  uint32_t* rowStart(int32_t y) { return raster_ + (region_.y0 + y) * kStride + region_.x0; }
  void fill(const Rect& rect, uint32_t color);
  void renderGlyphs(const Rect& textBox, const Rect& visible, uint32_t foreground,
                    uint32_t background, int32_t lineHeight);
  // The glyphs of drawnGlyphs_ every row of a text walks: [first, last), the first starting at
  // column firstX; the glyphs before it lie wholly left of the visible columns.
  struct GlyphSpan {
    std::size_t first = 0;
    std::size_t last = 0;
    int64_t firstX = 0;
  };
  // Fills drawnGlyphs_ from the placements, with their decoded rows at `lineHeight`.
  void prepareDrawnGlyphs(int32_t lineHeight);
  // The glyphs every row must walk when the first placement starts at column `startX`.
  GlyphSpan glyphsToDraw(int64_t startX, const Rect& visible) const;
  // Puts one pixel row of glyphs through a pen (raster_window.cpp).
  struct GlyphRow;

  static constexpr int32_t kStride = kRasterWidth;

  uint32_t* raster_;
  // Writes `count` pixels of one colour, with the widest stores the processor has.
  void (*fill_)(uint32_t* to, int64_t count, uint32_t color);
  // The processor looks sixteen bytes up at once (SSSE3): glyph rows are copied that way.
  bool shuffles_;
  // Unsigned so that wrapping is defined; read as signed.
  uint32_t changeCount_ = 1;
  // Reused by every text so drawing does not allocate once it has grown.
  std::vector<GlyphPlacement> placements_;
  // One placement as the row loop reads it, worked out once per text.
  struct DrawnGlyph {
    // The glyph's decoded rows and levels; nullptr when it is drawn from its encoded rows.
    const GlyphLevels::Row* rows = nullptr;
    const uint8_t* levels = nullptr;
    const Glyph* glyph = nullptr;
    int64_t width = 0;
    int64_t spacing = 0;
    // Columns a blank row moves the pen: width + spacing (backwards when negative).
    int64_t blankAdvance = 0;
    // Decoded, at least 0 columns wide and every inked row that wide: the pen moves by
    // blankAdvance over it in every row.
    bool steady = false;
  };
  // Reused like the placements.
  std::vector<DrawnGlyph> drawnGlyphs_;
};

}  // namespace qelm
