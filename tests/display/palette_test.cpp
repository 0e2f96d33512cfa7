#include "display/palette.h"

#include <gtest/gtest.h>

namespace qelm {
namespace {

class PaletteTest : public ::testing::Test {
 protected:
  void TearDown() override { fillPalette(ColorTheme::kLight); }
};

TEST_F(PaletteTest, ThemeSwapsOnlyTheBackgroundDependentEntries) {
  const auto light = themeColors(ColorTheme::kLight);
  const auto dark = themeColors(ColorTheme::kDark);
  for (int i = 0; i < kPaletteSize; ++i) {
    const bool swapped = i <= 3 || (i >= 7 && i <= 13);
    EXPECT_EQ(light[i] != dark[i], swapped) << "entry " << i;
  }
  EXPECT_EQ(light[0], 0xFFFFFFu);
  EXPECT_EQ(dark[0], 0x000000u);
  EXPECT_EQ(dark[7], 0xA0A0FFu);
  EXPECT_EQ(dark[11], 0xFFA0A0u);
  EXPECT_EQ(light[18], 0xD55B21u);
  EXPECT_EQ(light[27], 0xFFFFFFu);
}

TEST_F(PaletteTest, LookupsFollowTheFilledThemeAndAreBlackOutsideIt) {
  fillPalette(ColorTheme::kDark);
  EXPECT_EQ(paletteColor(0), 0x000000u);
  EXPECT_EQ(paletteColor(27), 0xFFFFFFu);
  for (ColorIndex index : {28, 29, 200, -1})
    EXPECT_EQ(paletteColor(index), 0x000000u) << index;
}

}  // namespace
}  // namespace qelm
