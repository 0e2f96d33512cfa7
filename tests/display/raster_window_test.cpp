// [SECTION] Rectangles between drawable and window
// [SECTION] Each primitive and each text rule, pixel-exact with tiny hand-made fonts
// [SECTION] Text against a reference drawn pixel by pixel

#include "display/raster_window.h"

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "display/bitmap.h"
#include "display/drawable.h"
#include "display/glyph_row.h"
#include "display/palette.h"
#include "display/win_rendered_font.h"
#include "display_test_support.h"

namespace qelm {
namespace {

using testing::kUntouched;
using testing::levelsRow;
using testing::TestFont;
using Picture = std::vector<std::string>;

constexpr int32_t kTextFont = 7;  // height 3
constexpr int32_t kLineFont = 8;  // height 1
constexpr int32_t kTallFont = 9;  // height 2
constexpr uint32_t kGrey = 0x7F7F7F;

// [SECTION] Rectangles between drawable and window

TEST(RectTest, ToWindowRectClampsLowerEdgesUpAndUpperEdgesDownThenShifts) {
  const Rect frame{10, 20, 30, 25};
  EXPECT_EQ(toWindowRect(Rect{-3, 2, 50, 8}, frame), (Rect{10, 22, 30, 25}));
  // Only x0/y0 are raised and only x1/y1 lowered, so a rectangle outside stays outside.
  EXPECT_EQ(toWindowRect(Rect{-8, -8, -2, -2}, frame), (Rect{10, 20, 8, 18}));
  EXPECT_EQ(toWindowRect(Rect{25, 0, 30, 3}, frame), (Rect{35, 20, 30, 23}));
}

TEST(RectTest, ToDrawableRectShiftsThenClampsToTheFrame) {
  const Rect frame{10, 20, 30, 25};
  EXPECT_EQ(toDrawableRect(Rect{5, 15, 40, 24}, frame), (Rect{0, 0, 20, 4}));
  EXPECT_EQ(toDrawableRect(Rect{12, 21, 14, 22}, frame), (Rect{2, 1, 4, 2}));
}

// [SECTION] Each primitive and each text rule, pixel-exact with tiny hand-made fonts

class RasterWindowTest : public ::testing::Test, public testing::RasterFixture {
 protected:
  void SetUp() override {
    fillPalette(ColorTheme::kLight);
    auto text = std::make_unique<TestFont>(3);
    text->add('a', 1, 2, 1, {levelsRow("F8"), levelsRow("0F"), {}});
    text->add('b', 0, 1, 0, {levelsRow("4"), levelsRow("1"), levelsRow("8")});
    text->add('r', 0, 6, 0, {{0x1F, 3, 0x10, 2, 0x18, 1, kRowEnd}, {}, {}});
    fonts_.add(kTextFont, std::move(text));

    auto line = std::make_unique<TestFont>(1);
    line->add('m', 0, 4, 0, {levelsRow("F0FF")});
    line->add('p', 0, 3, -2, {levelsRow("FFF")});
    line->add('q', 0, 3, 0, {levelsRow("0F0")});
    line->add('s', 0, 4, -2, {levelsRow("FFFF")});
    line->add('t', 0, 4, 0, {levelsRow("0000")});
    fonts_.add(kLineFont, std::move(line));

    auto tall = std::make_unique<TestFont>(2);
    tall->add('e', 3, 1, -3, {levelsRow("F"), {}});
    tall->add('f', 0, 5, 0, {levelsRow("FFFFF"), levelsRow("FFFFF")});
    fonts_.add(kTallFont, std::move(tall));
  }
  void TearDown() override { fillPalette(ColorTheme::kLight); }
};

TEST_F(RasterWindowTest, ClearCoversExactlyTheWindowRegion) {
  left_.clear(nullptr, 0);
  right_.clear(nullptr, 1);
  EXPECT_EQ(picture(477, 0, 483, 1), Picture{"WWW..."});
  EXPECT_EQ(picture(510, 271, 514, 272), Picture{"..KK"});
  EXPECT_EQ(picture(990, 100, 994, 101), Picture{"KK.."});
}

TEST_F(RasterWindowTest, WritesOutsideTheRegionAreClipped) {
  left_.fillRect(nullptr, Rect{476, -3, 600, 1}, 1);
  right_.fillRect(nullptr, Rect{-5, 0, 2, 1}, 1);
  right_.drawBitmap(nullptr, *solidBitmap(4, 1, 0xFFFFFF), 478, 1);
  Drawable edge;
  edge.init(&right_, "edge", Rect{470, 0, 480, 4});
  right_.setPixel(edge, 12, 2, 1);
  right_.drawHLine(edge, 8, 30, 3, 1);
  EXPECT_EQ(picture(474, 0, 482, 1), Picture{"..KKKK.."});
  EXPECT_EQ(picture(508, 0, 516, 1), Picture{"....KK.."});
  EXPECT_EQ(picture(988, 1, 996, 4), (Picture{"..WW....", "........", "..KK...."}));
}

TEST_F(RasterWindowTest, FillRectWithDrawableIsRelativeAndClampedToIt) {
  Drawable d;
  d.init(&left_, "d", Rect{10, 10, 14, 13});
  left_.fillRect(&d, Rect{-2, 1, 10, 2}, 1);
  EXPECT_EQ(picture(9, 10, 15, 13), (Picture{"......", ".KKKK.", "......"}));
  left_.clear(&d, 0);
  EXPECT_EQ(picture(9, 9, 15, 14), (Picture{"......", ".WWWW.", ".WWWW.", ".WWWW.", "......"}));
}

TEST_F(RasterWindowTest, SquareFrame) {
  left_.drawFrame(nullptr, Rect{1, 1, 6, 5}, 1, false);
  EXPECT_EQ(picture(0, 0, 7, 6),
            (Picture{".......", ".KKKKK.", ".K...K.", ".K...K.", ".KKKKK.", "......."}));
}

TEST_F(RasterWindowTest, RoundedFrameLeavesCornersOutAndSetsOnePixelInside) {
  left_.drawFrame(nullptr, Rect{1, 1, 7, 6}, 1, true);
  EXPECT_EQ(picture(0, 0, 8, 7), (Picture{"........", "...KK...", "..K..K..", ".K....K.",
                                          "..K..K..", "...KK...", "........"}));
}

TEST_F(RasterWindowTest, RoundedFrameOfFourByFourIsOnlyTheCornerPixels) {
  Drawable d;
  d.init(&left_, "d", Rect{100, 100, 110, 110});
  left_.drawFrame(&d, Rect{1, 1, 5, 5}, 1, true);
  EXPECT_EQ(picture(100, 100, 106, 106),
            (Picture{"......", "......", "..KK..", "..KK..", "......", "......"}));
}

TEST_F(RasterWindowTest, InvertedFrameDrawsNothing) {
  left_.drawFrame(nullptr, Rect{5, 1, 2, 4}, 1, false);
  EXPECT_EQ(picture(0, 0, 7, 5), Picture(5, "......."));
}

TEST_F(RasterWindowTest, LinesAndPixelsAreRelativeToTheDrawable) {
  Drawable d;
  d.init(&left_, "d", Rect{20, 30, 30, 40});
  const int32_t before = left_.changeCount();
  left_.setPixel(d, 0, 0, 1);
  EXPECT_EQ(left_.changeCount(), before);
  left_.drawHLine(d, 1, 4, 1, 1);
  left_.drawVLine(d, 2, 4, 5, 1);
  EXPECT_EQ(left_.changeCount(), before + 2);
  EXPECT_EQ(picture(20, 30, 27, 35),
            (Picture{"K......", ".KKK...", ".....K.", ".....K.", "......."}));
}

// An item draws only inside its rectangle, whatever coordinates its painting computes.
TEST_F(RasterWindowTest, EveryDrawingWithADrawableStaysInsideIt) {
  Drawable d;
  d.init(&left_, "d", Rect{20, 30, 24, 33});
  left_.setPixel(d, 4, 0, 1);
  left_.setPixel(d, -1, 1, 1);
  left_.drawHLine(d, -3, 9, 1, 1);
  left_.drawVLine(d, -2, 7, 2, 1);
  left_.drawFrame(&d, Rect{-1, -1, 6, 5}, 1, false);
  left_.drawText(&d, "aaaaaaaa", kTextFont, true, 1, 0, Rect{-5, -2, 12, 6});
  Bitmap bitmap;
  bitmap.width = 6;
  bitmap.height = 5;
  bitmap.pixels.assign(30, 0x000000);
  left_.drawBitmap(&d, bitmap, 1, 1);
  const Picture drawn = picture(18, 28, 26, 35);
  for (size_t row = 0; row < drawn.size(); ++row) {
    for (size_t column = 0; column < drawn[row].size(); ++column) {
      const bool inside = row >= 2 && row < 5 && column >= 2 && column < 6;
      if (inside) continue;
      EXPECT_EQ(drawn[row][column], '.') << "row " << row << " column " << column;
    }
  }
}

TEST_F(RasterWindowTest, ScrollUpCopiesRowsAndKeepsTheBottomOnes) {
  for (int32_t y = 0; y < 4; ++y)
    for (int32_t x = 0; x < 4; ++x)
      put(x, y, 0x100 + static_cast<uint32_t>(y));
  left_.scrollUp(nullptr, Rect{0, 0, 3, 4}, 1);
  for (int32_t x = 0; x < 3; ++x) {
    EXPECT_EQ(at(x, 0), 0x101u);
    EXPECT_EQ(at(x, 1), 0x102u);
    EXPECT_EQ(at(x, 2), 0x103u);
    EXPECT_EQ(at(x, 3), 0x103u);
  }
  EXPECT_EQ(at(3, 0), 0x100u);  // outside the rectangle
}

TEST_F(RasterWindowTest, ScrollUpByNothingAllOrLessChangesNoPixel) {
  for (int32_t y = 0; y < 4; ++y)
    put(0, y, 0x100 + static_cast<uint32_t>(y));
  for (int32_t lines : {0, 4, 9, -1}) {
    left_.scrollUp(nullptr, Rect{0, 0, 1, 4}, lines);
    for (int32_t y = 0; y < 4; ++y)
      EXPECT_EQ(at(0, y), 0x100u + y) << lines;
  }
}

TEST_F(RasterWindowTest, DrawBitmapRaisesNegativePositionsToTheDrawableCorner) {
  Bitmap bitmap;
  bitmap.width = 2;
  bitmap.height = 2;
  bitmap.pixels = {0xFFFFFF, 0x000000, 0x000000, 0xFFFFFF};
  Drawable d;
  d.init(&left_, "d", Rect{20, 30, 30, 40});
  left_.drawBitmap(&d, bitmap, -5, -5);
  EXPECT_EQ(picture(19, 29, 23, 33), (Picture{"....", ".WK.", ".KW.", "...."}));
  // Without a drawable, nothing is raised: the part left of the window is cut off.
  left_.drawBitmap(nullptr, bitmap, -1, 0);
  EXPECT_EQ(picture(0, 0, 2, 2), (Picture{"K.", "W."}));
}

TEST_F(RasterWindowTest, MeasureText) {
  // First lead 1, then width 2 + (trail 1 + next lead 1), then width 2 + trail 1.
  EXPECT_EQ(left_.measureText("aa", kTextFont), (TextSize{8, 3}));
  EXPECT_EQ(left_.measureText("zz", kTextFont), (TextSize{0, 0}));
  EXPECT_EQ(left_.measureText("a", 99), (TextSize{0, 0}));
  RasterWindow noFonts("left", kLeftScreenRegion, nullptr, raster_.data());
  EXPECT_EQ(noFonts.measureText("a", kTextFont), (TextSize{0, 0}));
}

TEST_F(RasterWindowTest, TextLevelsBlendBetweenBackgroundAndForeground) {
  const int32_t before = left_.changeCount();
  left_.drawText(nullptr, "a", kTextFont, false, 1, 0, Rect{10, 10, 20, 13});
  EXPECT_EQ(left_.changeCount(), before + 1);
  // Lead, two ink columns, trail, then the right band to the box's edge; the blank third row
  // is all background.
  EXPECT_EQ(
      picture(9, 9, 21, 14, {{kGrey, 'g'}}),
      (Picture{"............", ".WKgWWWWWWW.", ".WWKWWWWWWW.", ".WWWWWWWWWW.", "............"}));
}

TEST_F(RasterWindowTest, RunsDecodeToTheirColumnCount) {
  left_.drawText(nullptr, "r", kTextFont, false, 1, 0, Rect{0, 0, 8, 3});
  EXPECT_EQ(picture(0, 0, 9, 1, {{kGrey, 'g'}}), Picture{"KKKWWgWW."});
}

TEST_F(RasterWindowTest, LevelsFollowTheTheme) {
  left_.drawText(nullptr, "b", kTextFont, false, 1, 0, Rect{0, 0, 1, 3});
  EXPECT_EQ(at(0, 0), 0xBFBFBFu);  // (255 x 12 + 0 x 4) >> 4
  EXPECT_EQ(at(0, 2), kGrey);      // (255 x 8 + 0 x 8) >> 4
  fillPalette(ColorTheme::kDark);
  left_.drawText(nullptr, "b", kTextFont, false, 1, 0, Rect{0, 0, 1, 3});
  EXPECT_EQ(at(0, 0), 0x3F3F3Fu);  // (0 x 12 + 255 x 4) >> 4
  // Red on blue: each byte mixed on its own.
  left_.drawText(nullptr, "b", kTextFont, false, 4, 5, Rect{0, 0, 1, 3});
  EXPECT_EQ(at(0, 1), 0x0F00EFu);
  EXPECT_EQ(at(0, 2), 0x7F007Fu);
}

TEST_F(RasterWindowTest, CentredTextWiderThanTheBoxStartsLeftOfItAndIsCut) {
  left_.drawText(nullptr, "mm", kLineFont, true, 1, 0, Rect{20, 0, 26, 1});
  // The text runs from column 19 to 26; only the box's columns are written, no band.
  EXPECT_EQ(picture(18, 0, 28, 1), Picture{"..WKKKWK.."});
}

TEST_F(RasterWindowTest, ClipAndAreaRelativeToADrawable) {
  Drawable d;
  d.init(&left_, "d", Rect{100, 50, 140, 60});
  const Rect clip{0, 0, 5, 10};
  Rect area{0, 0, 40, 10};
  left_.drawText(&d, "a", kTextFont, false, 1, 0, Rect{2, 2, 30, 8}, &clip, &area);
  EXPECT_EQ(picture(101, 51, 106, 59, {{kGrey, 'g'}}),
            (Picture{".....", ".WWW.", ".WWW.", ".WKg.", ".WWK.", ".WWW.", ".WWW.", "....."}));
  EXPECT_EQ(area, (Rect{2, 4, 5, 7}));
}

TEST_F(RasterWindowTest, EmptyTextPaintsExactlyTheEraseArea) {
  Rect area{12, 0, 30, 15};
  const int32_t before = left_.changeCount();
  left_.drawText(nullptr, "", kTextFont, false, 1, 0, Rect{10, 10, 20, 20}, nullptr, &area);
  EXPECT_EQ(area, (Rect{12, 0, 30, 15}));
  EXPECT_EQ(left_.changeCount(), before + 1);
  EXPECT_EQ(picture(11, 9, 21, 16), (Picture{"..........", ".WWWWWWWW.", ".WWWWWWWW.", ".WWWWWWWW.",
                                             ".WWWWWWWW.", ".WWWWWWWW.", ".........."}));
}

TEST_F(RasterWindowTest, UnknownFontChangesNothing) {
  Rect area{1, 2, 3, 4};
  const int32_t before = left_.changeCount();
  left_.drawText(nullptr, "a", 99, false, 1, 0, Rect{0, 0, 20, 20}, nullptr, &area);
  EXPECT_EQ(left_.changeCount(), before);
  EXPECT_EQ(area, (Rect{1, 2, 3, 4}));
  EXPECT_EQ(picture(0, 0, 21, 21), Picture(21, std::string(21, '.')));
}

TEST_F(RasterWindowTest, UnderlyingBackgroundKeepsTheColourAtTheBoxCorner) {
  put(10, 10, 0x00AA00);
  left_.drawText(nullptr, "a", kTextFont, false, 1, kUnderlyingColor, Rect{10, 10, 20, 13});
  EXPECT_EQ(picture(9, 10, 21, 11, {{0x00AA00, 'G'}, {0x005500, 'h'}}), Picture{".GKhGGGGGGG."});
}

TEST_F(RasterWindowTest, IndexTwentyEightIsBlackNotUnderlying) {
  put(10, 10, 0x00AA00);
  left_.drawText(nullptr, "a", kTextFont, false, 0, 28, Rect{10, 10, 20, 13});
  EXPECT_EQ(picture(9, 10, 21, 11, {{kGrey, 'g'}}), Picture{".KWgKKKKKKK."});
}

TEST_F(RasterWindowTest, NegativeSpacingOverwritesOnlyWithInk) {
  // "p" draws three columns and backs up two; "q" then adds its middle column of ink and its
  // background column after the overlap is written again.
  left_.drawText(nullptr, "pq", kLineFont, false, 1, 0, Rect{10, 0, 20, 1});
  EXPECT_EQ(picture(9, 0, 16, 1), Picture{".KKKWWW"});
}

TEST_F(RasterWindowTest, OverlapLeftOfTheClipDoesNotReachVisibleColumns) {
  // "s" ends at column 13 and backs up two; of the overlapped columns 12 and 13 only 13 is
  // visible. The overlap must end there: columns 14 and 15 are "t"'s background, written.
  const Rect clip{13, 0, 20, 1};
  left_.drawText(nullptr, "st", kLineFont, false, 1, 0, Rect{10, 0, 20, 1}, &clip);
  EXPECT_EQ(picture(12, 0, 20, 1), Picture{".KWWWWWW"});
}

TEST_F(RasterWindowTest, BlankRowsKeepLaterGlyphsAlignedUnderNegativeSpacing) {
  left_.drawText(nullptr, "ef", kTallFont, false, 1, 0, Rect{10, 0, 18, 2});
  EXPECT_EQ(picture(10, 0, 18, 2), (Picture{"WKKKKKWW", "WKKKKKWW"}));
}

TEST_F(RasterWindowTest, TextIsClippedToTheWindowRegion) {
  right_.drawText(nullptr, "mm", kLineFont, false, 1, 0, Rect{476, 0, 490, 1});
  EXPECT_EQ(picture(986, 0, 994, 1), Picture{"..KWKK.."});
}

// [SECTION] Text against a reference drawn pixel by pixel

// One line as drawText draws it without a drawable or an area, one pixel at a time straight
// from the encoded rows: the reference a faster drawing must match exactly. Writes outside the
// window's region are dropped, as the window drops them.
void drawReferenceText(std::vector<uint32_t>& raster, const Rect& region, OFont& font,
                       std::string_view text, bool centred, uint32_t fg, uint32_t bg,
                       const Rect& box, const std::optional<Rect>& clip) {
  auto put = [&](int64_t x, int64_t y, uint32_t color) {
    if (x < 0 || y < 0 || x >= region.width() || y >= region.height()) return;
    raster[static_cast<std::size_t>((region.y0 + y) * kRasterWidth + region.x0 + x)] = color;
  };
  auto fill = [&](const Rect& r, uint32_t color) {
    for (int64_t y = r.y0; y < r.y1; ++y)
      for (int64_t x = r.x0; x < r.x1; ++x)
        put(x, y, color);
  };
  const Rect k = clip ? *clip : box;
  std::vector<GlyphPlacement> placements;
  font.layout(text, placements);
  if (placements.empty()) return fill(k, bg);

  const int64_t w = textWidth(placements);
  const int32_t h = font.height();
  Rect t;
  t.y0 = (box.y0 + box.y1) / 2 - h / 2;
  t.y1 = t.y0 + h;
  t.x0 = static_cast<int32_t>(centred ? (box.x0 + box.x1) / 2 - w / 2 : box.x0);
  t.x1 = static_cast<int32_t>(t.x0 + w);
  const Rect v = intersect(t, k);
  if (v.y0 > k.y0) fill({k.x0, k.y0, k.x1, v.y0}, bg);
  if (v.x0 > k.x0) fill({k.x0, v.y0, v.x0, v.y1}, bg);
  if (v.x1 < k.x1) fill({v.x1, v.y0, k.x1, v.y1}, bg);
  if (v.y1 < k.y1) fill({k.x0, v.y1, k.x1, k.y1}, bg);

  std::array<uint32_t, 16> colors{};
  for (uint32_t level = 0; level < 16; ++level)
    for (int shift = 0; shift < 32; shift += 8) {
      const uint32_t b = (bg >> shift) & 0xFF;
      const uint32_t f = (fg >> shift) & 0xFF;
      const uint32_t mixed = level == 15 ? f : (b * (16 - level) + f * level) >> 4;
      colors[level] |= mixed << shift;
    }
  for (int32_t row = 0; row < h; ++row) {
    const int64_t y = int64_t{t.y0} + row;
    if (y < v.y0 || y >= v.y1) continue;
    int64_t x = t.x0;
    int64_t overlap = 0;
    // The overlap counts every column, visible or not.
    auto pixel = [&](uint32_t color) {
      const bool visible = x >= v.x0 && x < v.x1;
      if (visible && (overlap == 0 || color != bg)) put(x, y, color);
      if (overlap > 0) --overlap;
      ++x;
    };
    auto advance = [&](int64_t columns) {
      if (columns >= 0) {
        for (int64_t i = 0; i < columns; ++i)
          pixel(bg);
      } else {
        x += columns;
        overlap = -columns;
      }
    };
    for (int32_t i = 0; i < placements.front().glyph->lead(); ++i)
      pixel(bg);
    for (const GlyphPlacement& placement : placements) {
      const uint8_t* encoded = placement.glyph->row(row);
      if (!encoded) {
        advance(int64_t{placement.glyph->width()} + placement.spacing);
        continue;
      }
      for (uint8_t level : decodeGlyphRow(encoded))
        pixel(colors[level]);
      advance(placement.spacing);
    }
  }
}

constexpr int32_t kEdgeFont = 10;  // hand-made glyphs, height 4

// Boxes and clips that put the text wholly inside, cut it at each side and through its rows,
// and push it over the window's edges.
struct Framing {
  Rect box;
  std::optional<Rect> clip;
};
const Framing kFramings[] = {
    {{10, 20, 470, 70}, {}},
    {{100, 100, 200, 150}, {}},
    {{-50, 0, 300, 50}, {}},
    {{300, 232, 700, 282}, {}},
    {{20, 30, 460, 90}, Rect{27, 41, 211, 63}},
    {{0, -15, 480, 20}, Rect{-10, -15, 133, 20}},
    {{-76100, 60, 400, 64}, {}},
};

class TextReferenceTest : public ::testing::Test, public testing::RasterFixture {
 protected:
  void SetUp() override {
    fillPalette(ColorTheme::kLight);
    fonts_.add(2, std::make_unique<WinRenderedFont>(2));
    fonts_.add(7, std::make_unique<WinRenderedFont>(7));

    auto edge = std::make_unique<testing::TestFont>(4);
    // Backs up past its own start; its third row is one run.
    edge->add('a', 2, 3, -5, {levelsRow("F8F"), {}, {0x1F, 3, kRowEnd}, levelsRow("0F0")});
    // Rows that decode to more and fewer columns than the width, and a run of no columns.
    edge->add('b', -1, 2, 1, {levelsRow("F0F0"), levelsRow("8"), {}, {0x1F, 0, 0x0F, kRowEnd}});
    // Blank rows that move the pen back.
    edge->add('c', 0, 4, -6, {{}, levelsRow("FFFF"), {}, levelsRow("1234")});
    // Plain, after a "b" whose first row moves the pen further than its width says.
    edge->add('d', 0, 3, 1, {levelsRow("F8F"), levelsRow("8F8"), {}, levelsRow("FFF")});
    // Too wide to keep decoded: drawn from its runs, then backs up nearly all the way.
    std::vector<uint8_t> wide;
    for (int i = 0; i < 300; ++i) {
      wide.push_back(static_cast<uint8_t>(kRunMarker | (i % 3 == 0 ? 0 : i % 16)));
      wide.push_back(255);
    }
    wide.push_back(kRowEnd);
    edge->add('w', 0, 76500, -76450, {wide, {}, levelsRow("F"), wide});
    edge->kern('b', 'a', -3);
    fonts_.add(kEdgeFont, std::move(edge));

    for (std::size_t i = 0; i < raster_.size(); ++i)
      raster_[i] = static_cast<uint32_t>(i * 2654435761u) & 0xFFFFFF;
  }
  void TearDown() override { fillPalette(ColorTheme::kLight); }

  // Draws the line in `window` and the reference on a copy of the raster taken before, then
  // compares every pixel of the raster.
  void expectAsReference(RasterWindow& window, int32_t code, std::string_view text, bool centred,
                         ColorIndex fg, ColorIndex bg, const Framing& framing) {
    SCOPED_TRACE(std::string(window.name()) + " code " + std::to_string(code) + " \"" +
                 std::string(text) + "\" " + (centred ? "centred" : "left") + " box x0 " +
                 std::to_string(framing.box.x0) + " y0 " + std::to_string(framing.box.y0) +
                 (framing.clip ? " clipped" : ""));
    std::vector<uint32_t> expected = raster_;
    drawReferenceText(expected, window.region(), *fonts_.find(code), text, centred,
                      paletteColor(fg), paletteColor(bg), framing.box, framing.clip);
    window.drawText(nullptr, text, code, centred, fg, bg, framing.box,
                    framing.clip ? &*framing.clip : nullptr);
    std::size_t differing = 0;
    std::size_t first = 0;
    for (std::size_t i = raster_.size(); i-- > 0;) {
      if (raster_[i] == expected[i]) continue;
      ++differing;
      first = i;
    }
    EXPECT_EQ(differing, 0u) << "first at raster (" << first % kRasterWidth << ", "
                             << first / kRasterWidth << "): " << std::hex << raster_[first]
                             << " instead of " << expected[first];
  }
};

TEST_F(TextReferenceTest, TextFontsMatchTheReferenceInEveryFraming) {
  // The second line has negative spacing in both codes ("fj", "Tj", "_j", "ff") and starts
  // with a glyph whose lead is negative.
  const char* const lines[] = {"Integrated -23.0 LUFS, Gain 12", "j_fjord Tj ff_j"};
  int32_t colour = 0;
  for (RasterWindow* window : {&left_, &right_})
    for (int32_t code : {2, 7})
      for (const char* line : lines)
        for (const Framing& framing : kFramings)
          for (bool centred : {false, true}) {
            // Black on white, red on blue, and a foreground equal to the background.
            const ColorIndex colours[][2] = {{1, 0}, {4, 5}, {14, 20}};
            const auto& [fg, bg] = colours[colour++ % 3];
            expectAsReference(*window, code, line, centred, fg, bg, framing);
          }
}

TEST_F(TextReferenceTest, OddGlyphsMatchTheReferenceInEveryFraming) {
  const char* const lines[] = {"abcab", "bbacb", "cwab", "wbaw", "ca", "bbddddddd"};
  for (RasterWindow* window : {&left_, &right_})
    for (const char* line : lines)
      for (const Framing& framing : kFramings)
        for (bool centred : {false, true}) {
          expectAsReference(*window, kEdgeFont, line, centred, 1, 0, framing);
          expectAsReference(*window, kEdgeFont, line, centred, 14, 20, framing);
        }
}

TEST_F(TextReferenceTest, DecodedGlyphsStayWithinTheirBound) {
  std::vector<GlyphPlacement> placements;
  fonts_.find(kEdgeFont)->layout("aw", placements);
  ASSERT_EQ(placements.size(), 2u);
  const GlyphLevels* small = placements[0].glyph->levels(4);
  ASSERT_NE(small, nullptr);
  EXPECT_EQ(small->levels.size(), 9u);
  // The wide glyph would need 76500 columns a row: it keeps none and is drawn from its runs.
  EXPECT_EQ(placements[1].glyph->levels(4), nullptr);
  // Asked for another height, a glyph decodes again rather than reading past its rows.
  const GlyphLevels* taller = placements[0].glyph->levels(6);
  ASSERT_NE(taller, nullptr);
  EXPECT_EQ(taller->rows.size(), 6u);
  EXPECT_EQ(taller->rows[5].columns, GlyphLevels::kBlankRow);
}

}  // namespace
}  // namespace qelm
