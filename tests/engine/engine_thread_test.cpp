#include "engine/engine_thread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/log.h"
#include "engine/engine_state.h"

namespace qelm {
namespace {

using namespace std::chrono_literals;

// A clock whose sleeps can be held shut, so a test can act while the runner is in its pause.
class GateClock final : public platform::Clock {
 public:
  uint32_t tick() override { return now_.load(); }
  void sleepMs(uint32_t ms) override {
    std::unique_lock<std::mutex> lock(mutex_);
    ++sleepers_;
    changed_.notify_all();
    changed_.wait_for(lock, 5s, [this] { return open_; });
    --sleepers_;
    now_.fetch_add(ms);
  }
  void close() {
    std::lock_guard<std::mutex> guard(mutex_);
    open_ = false;
  }
  void open() {
    std::lock_guard<std::mutex> guard(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  bool waitForSleeper() {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, 5s, [this] { return sleepers_ > 0; });
  }

 private:
  std::atomic<uint32_t> now_{1000};
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = true;
  int sleepers_ = 0;
};

// Records each run's start tick; what a run returns is decided by the test.
struct RunLog {
  std::mutex mutex;
  std::vector<uint32_t> startTicks;
  size_t count() {
    std::lock_guard<std::mutex> guard(mutex);
    return startTicks.size();
  }
  void add(uint32_t tick) {
    std::lock_guard<std::mutex> guard(mutex);
    startTicks.push_back(tick);
  }
};

bool waitUntil(const std::function<bool()>& condition) {
  for (int i = 0; i < 5000; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(1ms);
  }
  return condition();
}

bool isNoise(AppContext& context) {
  std::lock_guard<std::mutex> guard(context.screenLock);
  const uint32_t* pixels = context.pixels();
  for (int i = 0; i < kRasterWidth * kRasterHeight; ++i) {
    const uint32_t p = pixels[i];
    if ((p & 0xFF) >= 30 || ((p >> 8) & 0xFF) != (p & 0xFF)) return false;
  }
  return true;
}

const Folders kFolders{"/nonexistent/p/", "/nonexistent/d/", "/nonexistent/r/"};

TEST(EngineRunnerTest, RestartRunsAgainAfterTheOneSecondPauseUntilStopped) {
  platform::ManualClock clock(1000);
  RunLog runs;
  EngineRunner runner(kFolders, clock, [&](EngineState& state) {
    runs.add(state.context->clock().tick());
    return 1;
  });
  runner.start();
  ASSERT_TRUE(waitUntil([&] { return runs.count() >= 3; }));
  runner.stop();
  EXPECT_TRUE(runner.finished());
  std::lock_guard<std::mutex> guard(runs.mutex);
  for (size_t i = 1; i < runs.startTicks.size(); ++i) {
    const uint32_t gap = runs.startTicks[i] - runs.startTicks[i - 1];
    EXPECT_GE(gap, 1000u);
    EXPECT_LE(gap, 1050u);
  }
}

TEST(EngineRunnerTest, ConfigurationFailureEndsTheThreadAndLeavesNoise) {
  platform::ManualClock clock;
  RunLog runs;
  EngineRunner runner(kFolders, clock, [&](EngineState& state) {
    runs.add(0);
    std::lock_guard<std::mutex> guard(state.context->screenLock);
    std::fill_n(state.context->pixels(), kRasterWidth * kRasterHeight, 0xFFFFFFFFu);
    return 2;
  });
  runner.start();
  ASSERT_TRUE(waitUntil([&] { return runner.finished(); }));
  EXPECT_EQ(runner.result(), 2);
  EXPECT_EQ(runs.count(), 1u);
  EXPECT_TRUE(isNoise(runner.context()));
}

TEST(EngineRunnerTest, AConfigurationErrorDrawnOnTheScreensStaysThere) {
  platform::ManualClock clock;
  EngineRunner runner(kFolders, clock, [&](EngineState& state) {
    std::lock_guard<std::mutex> guard(state.context->screenLock);
    std::fill_n(state.context->pixels(), kRasterWidth * kRasterHeight, 0xFFFFFFFFu);
    state.errorOnScreens = true;
    return 2;
  });
  runner.start();
  ASSERT_TRUE(waitUntil([&] { return runner.finished(); }));
  EXPECT_EQ(runner.result(), 2);
  std::lock_guard<std::mutex> guard(runner.context().screenLock);
  const uint32_t* pixels = runner.context().pixels();
  EXPECT_EQ(std::count(pixels, pixels + kRasterWidth * kRasterHeight, 0xFFFFFFFFu),
            kRasterWidth * kRasterHeight);
}

TEST(EngineRunnerTest, StopDuringThePauseEndsWithoutAnotherRun) {
  GateClock clock;
  RunLog runs;
  EngineRunner runner(kFolders, clock, [&](EngineState&) {
    runs.add(0);
    return 1;
  });
  clock.close();
  runner.start();
  ASSERT_TRUE(clock.waitForSleeper());  // the runner is in its pause
  runner.context().stopRequested = true;
  clock.open();
  runner.stop();
  EXPECT_EQ(runs.count(), 1u);
  EXPECT_TRUE(runner.finished());
}

TEST(EngineRunnerTest, KeyEventsQueuedDuringARestartAreDiscarded) {
  platform::ManualClock clock;
  std::atomic<int> run{0};
  std::atomic<bool> secondRunSawEvent{true};
  EngineRunner runner(kFolders, clock, [&](EngineState& state) {
    if (++run == 1) {
      state.context->input.queueKey(codeOf(PanelKey::kDigit3));  // arrives as the run ends
      return 1;
    }
    secondRunSawEvent = state.context->input.nextEvent().has_value();
    return 2;
  });
  runner.start();
  ASSERT_TRUE(waitUntil([&] { return runner.finished(); }));
  EXPECT_EQ(run.load(), 2);
  EXPECT_FALSE(secondRunSawEvent.load());
}

TEST(EngineRunnerTest, TextExceptionEndsTheRunWithThePreviousResult) {
  platform::ManualClock clock;
  std::atomic<int> run{0};
  const int32_t firstMessage = messageCount();
  // A restart, then a run that fails: the runner restarts once more (previous result 1), then
  // a failing run after a run that returned 2 ends the thread.
  EngineRunner runner(kFolders, clock, [&](EngineState&) -> int {
    switch (++run) {
      case 1:
        return 1;
      case 2:
        throw std::string("No target for global setting with code 99");
      case 3:
        return 2;
      default:
        throw std::runtime_error("not reached");
    }
  });
  runner.start();
  ASSERT_TRUE(waitUntil([&] { return runner.finished(); }));
  EXPECT_EQ(run.load(), 3);
  EXPECT_EQ(runner.result(), 2);
  bool logged = false;
  for (int32_t n = firstMessage; n < messageCount(); ++n)
    logged =
        logged || messageText(n) == "Engine stopped: No target for global setting with code 99";
  EXPECT_TRUE(logged);
}

TEST(EngineRunnerTest, OtherExceptionsEndTheRunInsteadOfTheProgram) {
  platform::ManualClock clock;
  EngineRunner runner(kFolders, clock, [&](EngineState&) -> int {
    throw std::runtime_error("out of memory while building");
  });
  runner.start();
  ASSERT_TRUE(waitUntil([&] { return runner.finished(); }));
  EXPECT_EQ(runner.result(), 0);
}

TEST(EngineRunnerTest, StartingTwiceStopsTheFirstThreadAndClearsTheFlag) {
  platform::ManualClock clock;
  std::atomic<int> active{0};
  std::atomic<int> overlaps{0};
  std::atomic<int> runs{0};
  EngineRunner runner(kFolders, clock, [&](EngineState& state) {
    if (++active > 1) ++overlaps;
    ++runs;
    while (!state.context->stopRequested)
      std::this_thread::sleep_for(1ms);
    --active;
    return 1;
  });
  runner.start();
  ASSERT_TRUE(waitUntil([&] { return runs.load() == 1; }));
  runner.start();
  EXPECT_FALSE(runner.context().stopRequested.load());
  ASSERT_TRUE(waitUntil([&] { return runs.load() == 2; }));
  runner.stop();
  EXPECT_EQ(overlaps.load(), 0);
}

}  // namespace
}  // namespace qelm
