#include "panel/error_screens.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "panel_test_support.h"

namespace qelm {
namespace {

using testing::kBlack;
using testing::kBlue;
using testing::kRed;
using testing::kUntouched;
using Lines = std::vector<std::string>;

// Both windows over untouched pixels; block fonts 8 pixels a character.
class ErrorScreensTest : public ::testing::Test, protected testing::RasterFixture {
 protected:
  void SetUp() override { fillPalette(ColorTheme::kLight); }
  bool rowHas(int32_t x0, int32_t x1, int32_t y0, int32_t y1, uint32_t pixel) const {
    for (int32_t y = y0; y < y1; ++y)
      for (int32_t x = x0; x < x1; ++x)
        if (at(x, y) == pixel) return true;
    return false;
  }
};

TEST(ConfigurationErrorTextTest, TheLocationSplitsIntoFileLineAndMessage) {
  ConfigurationErrorText error = splitConfigurationError("at /d/startup.txt:40 parse error");
  EXPECT_EQ(error.file, "/d/startup.txt");
  EXPECT_EQ(error.line, 40);
  EXPECT_EQ(error.message, "parse error");
  error = splitConfigurationError("at /a b:c/models/X:7 model \"X\" unrecognized");
  EXPECT_EQ(error.file, "/a b:c/models/X");
  EXPECT_EQ(error.line, 7);
  EXPECT_EQ(error.message, "model \"X\" unrecognized");
  error = splitConfigurationError("at /d/startup.bin [binary] parse error");
  EXPECT_EQ(error.file, "/d/startup.bin");
  EXPECT_EQ(error.line, 0);
  EXPECT_EQ(error.message, "parse error");
  for (const char* whole : {"Could not open configuration file at \"/d/x\".",
                            "at /d/x:99999999999999999999 huge", "at "}) {
    error = splitConfigurationError(whole);
    EXPECT_EQ(error.file, "");
    EXPECT_EQ(error.message, whole);
  }
}

TEST_F(ErrorScreensTest, LinesBreakAtSpacesAndInsideLongWordsButNeverInsideACharacter) {
  fonts_.add(0, testing::blockFont(20, 8));
  EXPECT_EQ(wrapText(left_, "one two\tthree\nfour", 0, 80, 9), (Lines{"one two", "three four"}));
  EXPECT_EQ(wrapText(left_, "File: /abcdefghijklmn", 0, 80, 9),
            (Lines{"File: /abc", "defghijklm", "n"}));
  EXPECT_EQ(wrapText(left_, "File: /abc/defg/hijklmnopqrstuvw", 0, 80, 9),
            (Lines{"File: /abc", "/defg/", "hijklmnopq", "rstuvw"}))
      << "after a separator in the second half of the line";
  EXPECT_EQ(wrapText(left_, "a b c d e f g h i j k l m n o p", 0, 16, 3), (Lines{"a", "b", "c"}));

  // "é" (C3 A9) is one 8-pixel character: ten to a line, each line whole characters.
  static_cast<testing::TestFont*>(fonts_.find(0))
      ->add('\xC3', 0, 8, 0, std::vector<std::vector<uint8_t>>(20, testing::levelsRow("F")));
  std::string word;
  for (int i = 0; i < 15; ++i)
    word += "\xC3\xA9";
  const Lines lines = wrapText(left_, word, 0, 80, 9);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].size(), 20u);
  EXPECT_EQ(lines[1].size(), 10u);
}

TEST_F(ErrorScreensTest, TheErrorFillsBothScreensWithHeaderWhereWhatAndWhatToDo) {
  EXPECT_FALSE(drawConfigurationError(raster_.data(), fonts_, "at /d/s.txt:5 bad"))
      << "no font 0, no picture";
  EXPECT_FALSE(rowHas(0, kRasterWidth, 0, kRasterHeight, kBlack)) << "nothing drawn";

  testing::addBlockFonts(fonts_);
  ASSERT_TRUE(drawConfigurationError(raster_.data(), fonts_, "at /d/s.txt:5 bad"));
  EXPECT_EQ(at(0, 1), kBlue) << "the header bar";
  EXPECT_EQ(at(480, 100), kUntouched) << "between the screens";
  // Rows of 22 pixels from row 36: "File:", "Line:", a blank row, then the message in red.
  EXPECT_TRUE(rowHas(0, 480, 36, 58, kBlack));
  EXPECT_TRUE(rowHas(0, 480, 58, 80, kBlack));
  EXPECT_FALSE(rowHas(0, 480, 80, 102, kBlack));
  EXPECT_TRUE(rowHas(0, 480, 102, 124, kRed));
  EXPECT_TRUE(rowHas(512, 992, 36, 58, kBlack)) << "what to do";
  EXPECT_FALSE(rowHas(512, 992, 30, 272, kRed));
}

TEST_F(ErrorScreensTest, AMessageLongerThanTheScreenStepsDownAFontAndIsCutWithAnEllipsis) {
  testing::addBlockFonts(fonts_);
  fonts_.add(7, testing::blockFont(14, 6));
  std::string flood;
  for (int i = 0; i < 3000; ++i)
    flood += i % 7 == 0 ? '\n' : static_cast<char>(i % 256);
  NoticeView view;
  view.init(&left_, "notice", Rect{0, 0, kScreenWidth, kScreenHeight});
  view.layout();
  view.setNotice("Header", {{flood, 4}});
  view.setVisible(true);
  left_.flushPending();
  const Lines& lines = view.drawnLines();
  EXPECT_EQ(view.drawnFont(), 7);
  ASSERT_EQ(lines.size(), 14u) << "rows of 16 pixels below the header";
  for (const std::string& line : lines)
    EXPECT_LE(left_.measureText(line, view.drawnFont()).width, kScreenWidth - 16) << line;
  EXPECT_EQ(lines.back().substr(lines.back().size() - 3), "...");
}

}  // namespace
}  // namespace qelm
