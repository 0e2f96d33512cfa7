// [SECTION] Fills: the baseline loop and one for the processor's wider stores
// [SECTION] Geometry and level colours
// [SECTION] Glyph level copies: two columns per table look-up, or sixteen with SSSE3
// [SECTION] The pen that walks one row of a text
// [SECTION] Window: construction, fills, text
// [SECTION] Window: the glyphs of a text, row by row
// [SECTION] Window: frames, pixels, lines, scrolling, bitmaps

#include "display/raster_window.h"

#include <algorithm>
#include <array>
#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include "core/raster_geometry.h"
#include "display/bitmap.h"
#include "display/drawable.h"
#include "display/glyph_row.h"

namespace qelm {

namespace {

// [SECTION] Fills: the baseline loop and one for the processor's wider stores

using FillFunction = void (*)(uint32_t* to, int64_t count, uint32_t color);

void fillPixels(uint32_t* to, int64_t count, uint32_t color) {
  for (int64_t i = 0; i < count; ++i)
    to[i] = color;
}

#if defined(__x86_64__) && defined(__GNUC__)
// The same compiled for 32-byte stores, where the baseline has 16.
__attribute__((target("avx2"))) void fillPixelsAvx2(uint32_t* to, int64_t count, uint32_t color) {
  for (int64_t i = 0; i < count; ++i)
    to[i] = color;
}

bool hasAvx2() {
  return __builtin_cpu_supports("avx2");
}
#else
void fillPixelsAvx2(uint32_t* to, int64_t count, uint32_t color) {
  fillPixels(to, count, color);
}

bool hasAvx2() {
  return false;
}
#endif

// [SECTION] Geometry and level colours

Rect frameOf(const Drawable* drawable, const Rect& rect) {
  return drawable ? toWindowRect(rect, drawable->rect()) : rect;
}

// Midpoint of two coordinates, truncated toward zero, without overflowing.
int32_t midpoint(int32_t a, int32_t b) {
  return static_cast<int32_t>((int64_t{a} + b) / 2);
}

// The sixteen colours of the intensity levels: 0 is the background, 15 the foreground, and each
// byte of the levels between is mixed in sixteenths.
std::array<uint32_t, 16> levelColors(uint32_t foreground, uint32_t background) {
  std::array<uint32_t, 16> colors{};
  colors[0] = background;
  colors[kFullLevel] = foreground;
  for (uint32_t level = 1; level < kFullLevel; ++level) {
    uint32_t mixed = 0;
    for (int shift = 0; shift < 32; shift += 8) {
      const uint32_t b = (background >> shift) & 0xFF;
      const uint32_t f = (foreground >> shift) & 0xFF;
      mixed |= (((b * (16 - level) + f * level) >> 4) & 0xFF) << shift;
    }
    colors[level] = mixed;
  }
  return colors;
}

// [SECTION] Glyph level copies: two columns per table look-up, or sixteen with SSSE3

// The colours of one text: each level alone; each pair of neighbouring columns as a
// GlyphLevels byte holds it (left level in the low nibble), so that a copy stores two at once;
// and each byte of the sixteen colours, for a copy that looks sixteen columns up at once.
struct TextColors {
  std::array<uint32_t, 16> levels;
  std::array<std::array<uint32_t, 2>, 256> pairs;
  alignas(16) std::array<std::array<uint8_t, 16>, 4> bytePlanes;
};

TextColors textColors(uint32_t foreground, uint32_t background) {
  TextColors colors;
  colors.levels = levelColors(foreground, background);
  // Row by row of the right level, so that the inner loop is a plain interleave.
  for (std::size_t right = 0; right < 16; ++right) {
    const uint32_t rightColor = colors.levels[right];
    for (std::size_t left = 0; left < 16; ++left)
      colors.pairs[right * 16 + left] = {colors.levels[left], rightColor};
  }
  for (std::size_t plane = 0; plane < colors.bytePlanes.size(); ++plane)
    for (std::size_t level = 0; level < colors.levels.size(); ++level)
      colors.bytePlanes[plane][level] = static_cast<uint8_t>(colors.levels[level] >> (8 * plane));
  return colors;
}

// Writes `count` pixels whose GlyphLevels bytes start at `columns`.
using CopyFunction = void (*)(uint32_t* to, const uint8_t* columns, int64_t count,
                              const TextColors& colors);

// The pointers never alias, so the table is not read again after every store into the row.
void copyPairs(uint32_t* __restrict__ to, const uint8_t* __restrict__ columns, int64_t count,
               const std::array<uint32_t, 2>* __restrict__ pairs) {
  int64_t i = 0;
  for (; i + 1 < count; i += 2)
    std::memcpy(to + i, pairs[columns[i]].data(), sizeof(pairs[0]));
  if (i < count) to[i] = pairs[columns[i]][0];
}

void copyLevels(uint32_t* to, const uint8_t* columns, int64_t count, const TextColors& colors) {
  copyPairs(to, columns, count, colors.pairs.data());
}

#if defined(__x86_64__) && defined(__GNUC__)
// Sixteen pixels from sixteen columns: each byte plane of the colours is looked up by the levels
// with one byte shuffle, and the four planes are interleaved into pixels (x86 is little-endian:
// blue first).
__attribute__((target("ssse3"))) inline void copySixteen(uint32_t* to, const uint8_t* columns,
                                                         const __m128i* planes) {
  const __m128i levels =
      _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(columns)), _mm_set1_epi8(15));
  const __m128i blue = _mm_shuffle_epi8(_mm_load_si128(planes), levels);
  const __m128i green = _mm_shuffle_epi8(_mm_load_si128(planes + 1), levels);
  const __m128i red = _mm_shuffle_epi8(_mm_load_si128(planes + 2), levels);
  const __m128i top = _mm_shuffle_epi8(_mm_load_si128(planes + 3), levels);
  const __m128i lowBlueGreen = _mm_unpacklo_epi8(blue, green);
  const __m128i highBlueGreen = _mm_unpackhi_epi8(blue, green);
  const __m128i lowRedTop = _mm_unpacklo_epi8(red, top);
  const __m128i highRedTop = _mm_unpackhi_epi8(red, top);
  auto* out = reinterpret_cast<__m128i*>(to);
  _mm_storeu_si128(out, _mm_unpacklo_epi16(lowBlueGreen, lowRedTop));
  _mm_storeu_si128(out + 1, _mm_unpackhi_epi16(lowBlueGreen, lowRedTop));
  _mm_storeu_si128(out + 2, _mm_unpacklo_epi16(highBlueGreen, highRedTop));
  _mm_storeu_si128(out + 3, _mm_unpackhi_epi16(highBlueGreen, highRedTop));
}

// Rows of sixteen columns or more go sixteen at a time; the last sixteen end at the row's end
// and write some pixels a second time, with the same values. Shorter ones go in pairs.
__attribute__((target("ssse3"))) void copyLevelsSsse3(uint32_t* to, const uint8_t* columns,
                                                      int64_t count, const TextColors& colors) {
  if (count < 16) return copyPairs(to, columns, count, colors.pairs.data());
  const auto* planes = reinterpret_cast<const __m128i*>(colors.bytePlanes.data());
  int64_t i = 0;
  for (; i + 16 <= count; i += 16)
    copySixteen(to + i, columns + i, planes);
  if (i < count) copySixteen(to + count - 16, columns + count - 16, planes);
}

bool hasSsse3() {
  return __builtin_cpu_supports("ssse3");
}
#else
void copyLevelsSsse3(uint32_t* to, const uint8_t* columns, int64_t count,
                     const TextColors& colors) {
  copyLevels(to, columns, count, colors);
}

bool hasSsse3() {
  return false;
}
#endif

// [SECTION] The pen that walks one row of a text

// The pen that walks one pixel row of a text. Pixels left of or right of the visible columns
// are stepped over without writing. While `overlap` is positive the pen is over columns the
// previous glyph already drew: there a background pixel is not written, so only the glyph's
// own ink overwrites its neighbour. The overlap counts every column, visible or not, so that a
// clip never stretches it onto columns no glyph has drawn.
//
// Background columns are gathered and written as one fill when ink follows, the pen backs up
// or the row ends: blank rows and spacing are most of a line, and short fills cost more per
// pixel than long ones.
class Pen {
 public:
  Pen(uint32_t* row, int64_t x, int64_t visibleX0, int64_t visibleX1, const TextColors& colors,
      FillFunction fill, CopyFunction copy)
      : row_(row),
        x_(x),
        x0_(visibleX0),
        x1_(visibleX1),
        colors_(colors),
        fill_(fill),
        copy_(copy) {}

  // `count` pixels of one colour.
  void put(uint32_t color, int64_t count) {
    if (count <= 0) return;
    if (color == background()) return putBackground(count);
    flush();
    if (overlap_ > 0) {
      const int64_t over = std::min(count, overlap_);
      fillVisible(x_, x_ + over, color);
      overlap_ -= over;
      x_ += over;
      count -= over;
    }
    fillVisible(x_, x_ + count, color);
    x_ += count;
  }

  // `count` background pixels.
  void putBackground(int64_t count) {
    if (count <= 0) return;
    if (overlap_ > 0) {
      // Not written over the previous glyph. Nothing is gathered here: backUp ended it.
      const int64_t over = std::min(count, overlap_);
      overlap_ -= over;
      x_ += over;
      count -= over;
      if (count == 0) return;
    }
    if (!gathering_) {
      gathering_ = true;
      gatheredFrom_ = x_;
    }
    x_ += count;
  }

  // `count` pixels of the GlyphLevels columns starting at `columns`.
  void putLevels(const uint8_t* columns, int64_t count) {
    if (count <= 0) return;
    flush();
    if (overlap_ > 0) {
      const int64_t over = std::min(count, overlap_);
      const int64_t to = std::min(x_ + over, x1_);
      for (int64_t x = std::max(x_, x0_); x < to; ++x) {
        const uint32_t color = colors_.levels[columns[x - x_] & 0x0F];
        if (color != background()) row_[x] = color;
      }
      overlap_ -= over;
      x_ += over;
      columns += over;
      count -= over;
    }
    const int64_t from = std::max(x_, x0_);
    const int64_t to = std::min(x_ + count, x1_);
    if (from < to) copy_(row_ + from, columns + (from - x_), to - from, colors_);
    x_ += count;
  }

  // Moves back over `columns` already drawn; the next pixels there only add ink.
  void backUp(int64_t columns) {
    flush();
    x_ -= columns;
    overlap_ = columns;
  }

  // Writes the background gathered so far; the row is complete after it.
  void flush() {
    if (!gathering_) return;
    gathering_ = false;
    fillVisible(gatheredFrom_, x_, background());
  }

 private:
  uint32_t background() const { return colors_.levels[0]; }

  void fillVisible(int64_t from, int64_t to, uint32_t color) {
    from = std::max(from, x0_);
    to = std::min(to, x1_);
    if (from < to) fill_(row_ + from, to - from, color);
  }

  uint32_t* row_;
  int64_t x_;
  int64_t x0_;
  int64_t x1_;
  const TextColors& colors_;
  FillFunction fill_;
  CopyFunction copy_;
  int64_t overlap_ = 0;
  bool gathering_ = false;
  int64_t gatheredFrom_ = 0;
};

// One encoded glyph row, up to its end byte. Only a glyph too large to keep decoded is drawn
// from these.
inline void putEncodedRow(Pen& pen, const uint8_t* p, const TextColors& colors) {
  while (*p != kRowEnd) {
    const uint8_t byte = *p++;
    if (isRunByte(byte)) {
      pen.put(colors.levels[byte & 0x0F], *p++);
    } else {
      pen.put(colors.levels[byte & 0x0F], 1);
    }
  }
}

}  // namespace

// [SECTION] Window: construction, fills, text

RasterWindow::RasterWindow(std::string name, const Rect& region, FontRegistry* fonts,
                           uint32_t* raster)
    : Window(std::move(name), intersect(region, Rect{0, 0, kRasterWidth, kRasterHeight}), fonts),
      raster_(raster),
      fill_(hasAvx2() ? fillPixelsAvx2 : fillPixels),
      shuffles_(hasSsse3()) {
  // A region outside the raster leaves an empty window that writes nowhere.
  if (region_.empty()) region_ = Rect{0, 0, 0, 0};
}

void RasterWindow::fill(const Rect& rect, uint32_t color) {
  const Rect r = intersect(rect, bounds());
  if (r.empty()) return;
  for (int32_t y = r.y0; y < r.y1; ++y)
    fill_(rowStart(y) + r.x0, r.width(), color);
}

TextSize RasterWindow::measureText(std::string_view text, int32_t fontCode) {
  OFont* font = fonts_ ? fonts_->find(fontCode) : nullptr;
  if (!font) return {};
  placements_.clear();
  font->layout(text, placements_);
  if (placements_.empty()) return {};
  return {textWidth(placements_), font->height()};
}

void RasterWindow::drawText(Drawable* drawable, std::string_view text, int32_t fontCode,
                            bool centred, ColorIndex foreground, ColorIndex background,
                            const Rect& box, const Rect* clip, Rect* area) {
  const Rect b = frameOf(drawable, box);
  const uint32_t fg = paletteColor(foreground);
  uint32_t bg = paletteColor(background);
  if (background == kUnderlyingColor) {
    // Outside the window there is nothing of ours underneath; black stands in.
    const bool inside = b.x0 >= 0 && b.y0 >= 0 && b.x0 < bounds().x1 && b.y0 < bounds().y1;
    bg = inside ? rowStart(b.y0)[b.x0] : 0x000000;
  }

  Rect k = b;
  if (clip) k = drawable ? intersect(toWindowRect(*clip, drawable->rect()), b) : *clip;
  const Rect e = area ? intersect(frameOf(drawable, *area), k) : k;

  if (text.empty()) {
    fill(e, bg);
    ++changeCount_;
    return;
  }
  OFont* font = fonts_ ? fonts_->find(fontCode) : nullptr;
  if (!font) return;
  placements_.clear();
  font->layout(text, placements_);
  if (placements_.empty()) {
    fill(e, bg);
    ++changeCount_;
    return;
  }

  const int32_t w = textWidth(placements_);
  const int32_t h = font->height();
  Rect t;
  t.y0 = midpoint(b.y0, b.y1) - h / 2;
  t.y1 = t.y0 + h;
  t.x0 = centred ? midpoint(b.x0, b.x1) - w / 2 : b.x0;
  t.x1 = t.x0 + w;
  const Rect v = intersect(t, k);

  if (v.y0 > e.y0) fill({e.x0, e.y0, e.x1, v.y0}, bg);
  if (v.x0 > e.x0) fill({e.x0, v.y0, v.x0, v.y1}, bg);
  if (v.x1 < e.x1) fill({v.x1, v.y0, e.x1, v.y1}, bg);
  if (v.y1 < e.y1) fill({e.x0, v.y1, e.x1, e.y1}, bg);

  renderGlyphs(t, v, fg, bg, h);
  if (area) *area = drawable ? toDrawableRect(v, drawable->rect()) : v;
  ++changeCount_;
}

// [SECTION] Window: the glyphs of a text, row by row

// Puts pixel row `k` of the glyphs [begin, end) through a pen.
struct RasterWindow::GlyphRow {
  static void put(Pen& pen, const DrawnGlyph* begin, const DrawnGlyph* end, int32_t k,
                  const TextColors& colors) {
    for (const DrawnGlyph* glyph = begin; glyph != end; ++glyph) {
      const DrawnGlyph& drawn = *glyph;
      // A blank row moves the pen exactly as far as an inked one would, so the glyphs after it
      // stay aligned with the rows above and below.
      int64_t after = drawn.blankAdvance;
      if (drawn.rows) {
        const GlyphLevels::Row row = drawn.rows[k];
        if (row.columns != GlyphLevels::kBlankRow) {
          pen.putLevels(drawn.levels + row.offset, row.columns);
          after = drawn.spacing;
        }
      } else if (const uint8_t* p = drawn.glyph->row(k)) {
        putEncodedRow(pen, p, colors);
        after = drawn.spacing;
      }
      if (after >= 0) {
        pen.putBackground(after);
      } else {
        pen.backUp(-after);
      }
    }
  }
};

inline void RasterWindow::prepareDrawnGlyphs(int32_t lineHeight) {
  drawnGlyphs_.clear();
  for (const GlyphPlacement& placement : placements_) {
    DrawnGlyph drawn;
    drawn.glyph = placement.glyph;
    drawn.width = placement.glyph->width();
    drawn.spacing = placement.spacing;
    drawn.blankAdvance = drawn.width + drawn.spacing;
    if (const GlyphLevels* levels = placement.glyph->levels(lineHeight)) {
      drawn.rows = levels->rows.data();
      drawn.levels = levels->levels.data();
      drawn.steady = levels->rowsAsWide && drawn.width >= 0;
    }
    drawnGlyphs_.push_back(drawn);
  }
}

inline RasterWindow::GlyphSpan RasterWindow::glyphsToDraw(int64_t startX,
                                                          const Rect& visible) const {
  // Steady glyphs wholly left or right of the visible columns are passed over in every row at
  // once. What they would write lies outside those columns, and an overlap one leaves ends
  // where its own columns end, outside them too.
  GlyphSpan span;
  span.firstX = startX;
  while (span.first < drawnGlyphs_.size()) {
    const DrawnGlyph& drawn = drawnGlyphs_[span.first];
    if (!drawn.steady ||
        span.firstX + drawn.width + std::max<int64_t>(drawn.spacing, 0) > visible.x0)
      break;
    span.firstX += drawn.blankAdvance;
    ++span.first;
  }
  // The glyphs from `last` on all start right of the visible columns, and only ink columns
  // from their start rightwards.
  span.last = drawnGlyphs_.size();
  std::size_t i = span.first;
  for (int64_t x = span.firstX; i < drawnGlyphs_.size() && drawnGlyphs_[i].steady; ++i) {
    if (x < visible.x1) {
      span.last = drawnGlyphs_.size();
    } else if (span.last == drawnGlyphs_.size()) {
      span.last = i;
    }
    x += drawnGlyphs_[i].blankAdvance;
  }
  if (i < drawnGlyphs_.size()) span.last = drawnGlyphs_.size();
  return span;
}

void RasterWindow::renderGlyphs(const Rect& textBox, const Rect& visible, uint32_t foreground,
                                uint32_t background, int32_t lineHeight) {
  const Rect v = intersect(visible, bounds());
  if (v.empty()) return;
  const TextColors colors = textColors(foreground, background);
  prepareDrawnGlyphs(lineHeight);
  const int32_t lead = placements_.front().glyph->lead();
  const GlyphSpan span = glyphsToDraw(int64_t{textBox.x0} + std::max(lead, 0), v);
  const DrawnGlyph* begin = drawnGlyphs_.data() + span.first;
  const DrawnGlyph* end = drawnGlyphs_.data() + span.last;

  const int32_t firstRow = static_cast<int32_t>(std::max<int64_t>(0, int64_t{v.y0} - textBox.y0));
  const int32_t endRow =
      static_cast<int32_t>(std::min<int64_t>(lineHeight, int64_t{v.y1} - textBox.y0));
  for (int32_t k = firstRow; k < endRow; ++k) {
    Pen pen(rowStart(textBox.y0 + k), span.first > 0 ? span.firstX : textBox.x0, v.x0, v.x1, colors,
            fill_, shuffles_ ? copyLevelsSsse3 : copyLevels);
    if (span.first == 0 && lead > 0) pen.putBackground(lead);
    GlyphRow::put(pen, begin, end, k, colors);
    pen.flush();
  }
}

// [SECTION] Window: frames, pixels, lines, scrolling, bitmaps

void RasterWindow::clear(Drawable* drawable, ColorIndex color) {
  fill(drawable ? drawable->rect() : bounds(), paletteColor(color));
  ++changeCount_;
}

void RasterWindow::fillRect(Drawable* drawable, const Rect& rect, ColorIndex color) {
  fill(frameOf(drawable, rect), paletteColor(color));
  ++changeCount_;
}

void RasterWindow::drawFrame(Drawable* drawable, const Rect& rect, ColorIndex color, bool rounded) {
  const Rect r = frameOf(drawable, rect);
  ++changeCount_;
  if (r.empty()) return;
  const uint32_t c = paletteColor(color);
  const int32_t inset = rounded ? 2 : 0;
  fill({r.x0 + inset, r.y0, r.x1 - inset, r.y0 + 1}, c);
  fill({r.x0 + inset, r.y1 - 1, r.x1 - inset, r.y1}, c);
  fill({r.x0, r.y0 + inset, r.x0 + 1, r.y1 - inset}, c);
  fill({r.x1 - 1, r.y0 + inset, r.x1, r.y1 - inset}, c);
  if (rounded) {
    fill({r.x0 + 1, r.y0 + 1, r.x0 + 2, r.y0 + 2}, c);
    fill({r.x1 - 2, r.y0 + 1, r.x1 - 1, r.y0 + 2}, c);
    fill({r.x0 + 1, r.y1 - 2, r.x0 + 2, r.y1 - 1}, c);
    fill({r.x1 - 2, r.y1 - 2, r.x1 - 1, r.y1 - 1}, c);
  }
}

void RasterWindow::setPixel(Drawable& drawable, int32_t x, int32_t y, ColorIndex color) {
  // Like every drawing with a drawable, a pixel outside its rectangle is not drawn.
  if (x < 0 || y < 0 || x >= drawable.width() || y >= drawable.height()) return;
  const int64_t wx = int64_t{drawable.rect().x0} + x;
  const int64_t wy = int64_t{drawable.rect().y0} + y;
  if (wx < 0 || wy < 0 || wx >= bounds().x1 || wy >= bounds().y1) return;
  rowStart(static_cast<int32_t>(wy))[wx] = paletteColor(color);
}

void RasterWindow::drawHLine(Drawable& drawable, int32_t fromX, int32_t toX, int32_t y,
                             ColorIndex color) {
  fill(toWindowRect(Rect{fromX, y, toX, y + 1}, drawable.rect()), paletteColor(color));
  ++changeCount_;
}

void RasterWindow::drawVLine(Drawable& drawable, int32_t fromY, int32_t toY, int32_t x,
                             ColorIndex color) {
  fill(toWindowRect(Rect{x, fromY, x + 1, toY}, drawable.rect()), paletteColor(color));
  ++changeCount_;
}

void RasterWindow::scrollUp(Drawable* drawable, const Rect& rect, int32_t lines) {
  ++changeCount_;
  const Rect r = intersect(frameOf(drawable, rect), bounds());
  // A negative count would copy from above the rectangle and write below it.
  if (r.empty() || lines <= 0 || lines >= r.height()) return;
  for (int32_t y = r.y0; y < r.y1 - lines; ++y) {
    const uint32_t* from = rowStart(y + lines) + r.x0;
    std::copy(from, from + r.width(), rowStart(y) + r.x0);
  }
}

void RasterWindow::drawBitmap(Drawable* drawable, const Bitmap& bitmap, int32_t x, int32_t y) {
  ++changeCount_;
  // A hand-made bitmap whose pixel array is shorter than its size says draws nothing.
  if (bitmap.width <= 0 || bitmap.height <= 0 ||
      bitmap.pixels.size() < static_cast<std::size_t>(bitmap.width) * bitmap.height)
    return;
  int64_t left = x;
  int64_t top = y;
  if (drawable) {
    left = std::max<int64_t>(left, 0) + drawable->rect().x0;
    top = std::max<int64_t>(top, 0) + drawable->rect().y0;
  }
  // With a drawable the picture is cut at the drawable's rectangle, as text is.
  const Rect limit = drawable ? intersect(drawable->rect(), bounds()) : bounds();
  const int64_t x0 = std::max<int64_t>(left, limit.x0);
  const int64_t y0 = std::max<int64_t>(top, limit.y0);
  const int64_t x1 = std::min<int64_t>(left + bitmap.width, limit.x1);
  const int64_t y1 = std::min<int64_t>(top + bitmap.height, limit.y1);
  if (x0 >= x1 || y0 >= y1) return;
  for (int64_t row = y0; row < y1; ++row) {
    const uint32_t* from = bitmap.pixels.data() + (row - top) * int64_t{bitmap.width} + (x0 - left);
    std::copy(from, from + (x1 - x0), rowStart(static_cast<int32_t>(row)) + x0);
  }
}

}  // namespace qelm
