#include "platform/clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

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

TEST(ClockTest, AWakeupCutsTheRealSleepShortButNotTheManualOne) {
  Clock& clock = systemClock();
  Wakeup wakeup;
  // A notification given before the sleep ends the next sleep at once, and only that one.
  wakeup.notify();
  uint32_t before = clock.tick();
  clock.sleepOrWake(2000, wakeup);
  EXPECT_LT(elapsedMs(clock.tick(), before), 1000u);
  before = clock.tick();
  clock.sleepOrWake(20, wakeup);
  EXPECT_GE(elapsedMs(clock.tick(), before), 20u);
  // Another thread's notification ends a sleep in progress.
  std::thread producer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    wakeup.notify();
  });
  before = clock.tick();
  clock.sleepOrWake(5000, wakeup);
  EXPECT_LT(elapsedMs(clock.tick(), before), 4000u);
  producer.join();

  ManualClock manual(100);
  wakeup.notify();
  manual.sleepOrWake(7, wakeup);
  EXPECT_EQ(manual.tick(), 107u) << "a driven clock always advances by the full time";
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
