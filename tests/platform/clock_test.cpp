#include "platform/clock.h"

#include <gtest/gtest.h>

namespace qelm::platform {
namespace {

TEST(ClockTest, SystemTickIsMonotonicAndSleepWaitsAtLeastTheTime) {
  Clock& clock = systemClock();
  const uint32_t before = clock.tick();
  clock.sleepMs(20);
  const uint32_t elapsed = elapsedMs(clock.tick(), before);
  EXPECT_GE(elapsed, 20u);
  EXPECT_LT(elapsed, 5000u);
}

TEST(ClockTest, ElapsedTimeIsRightAcrossTheWrap) {
  ManualClock clock(0xFFFFFFF0u);
  const uint32_t start = clock.tick();
  clock.sleepMs(0x30);
  EXPECT_EQ(clock.tick(), 0x20u);
  EXPECT_EQ(elapsedMs(clock.tick(), start), 0x30u);
}

}  // namespace
}  // namespace qelm::platform
