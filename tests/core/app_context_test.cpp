#include "core/app_context.h"

#include <gtest/gtest.h>

namespace qelm {
namespace {

TEST(AppContextTest, RasterStartsAsDarkNoiseOverBothScreens) {
  platform::ManualClock clock(77);
  AppContext context({"/p/", "/d/", "/r/"}, clock);
  const uint32_t* pixels = context.pixels();
  bool varied = false;
  for (int i = 0; i < kRasterWidth * kRasterHeight; ++i) {
    const uint32_t p = pixels[i];
    ASSERT_EQ(p >> 24, 0xFFu);
    const uint32_t r = (p >> 16) & 0xFF, g = (p >> 8) & 0xFF, b = p & 0xFF;
    ASSERT_TRUE(r == g && g == b && b < 30) << std::hex << p;
    varied = varied || p != pixels[0];
  }
  EXPECT_TRUE(varied);
}

TEST(AppContextTest, SessionRequestsAreTakenOnce) {
  AppContext context({"/p/", "/d/", "/r/"});
  EXPECT_EQ(context.dataFolder(), "/d/");
  context.setLoadSessionPath("/tmp/a.ses");
  EXPECT_EQ(context.takeLoadSessionPath(), "/tmp/a.ses");
  EXPECT_EQ(context.takeLoadSessionPath(), "");
  context.setSessionFlags(true, false);
  EXPECT_TRUE(context.canSaveSession());
  EXPECT_FALSE(context.canLoadSession());
}

}  // namespace
}  // namespace qelm
