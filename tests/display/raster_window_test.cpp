#include "display/raster_window.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "display/bitmap.h"
#include "display/drawable.h"
#include "display/palette.h"
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

}  // namespace
}  // namespace qelm
