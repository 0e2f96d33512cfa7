#include "core/log.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/log_internal.h"
#include "platform/clock.h"

namespace qelm {
namespace {

// A private log with a manual clock, so numbering and the debugger line are checked from a known
// start without the rest of the process writing into it.
class MessageLogTest : public ::testing::Test {
 protected:
  MessageLogTest()
      : clock_(1000), log_(clock_, [this](std::string_view line) {
          std::lock_guard<std::mutex> lock(linesMutex_);
          lines_.emplace_back(line);
        }) {}

  std::vector<std::string> lines() {
    std::lock_guard<std::mutex> lock(linesMutex_);
    return lines_;
  }

  platform::ManualClock clock_;
  std::mutex linesMutex_;
  std::vector<std::string> lines_;
  detail::MessageLog log_;
};

TEST_F(MessageLogTest, TrailingLineEndsAreTrimmedInteriorOnesKept) {
  log_.emitf(kLogInfo, "Running.\n");
  log_.emitf(kLogInfo, "Two lines\r\nhere\r\n\n\r");
  EXPECT_EQ(log_.count(), 2);
  EXPECT_EQ(log_.text(0), "Running.");
  EXPECT_EQ(log_.text(1), "Two lines\r\nhere");
}

TEST_F(MessageLogTest, LineEndOnlyMessagesAreDroppedWithoutANumber) {
  log_.emitf(kLogInfo, "\n");
  log_.emitf(kLogInfo, "\r\n");
  log_.emitf(kLogInfo, "%s", "");
  EXPECT_EQ(log_.count(), 0);
  EXPECT_EQ(log_.text(0), "");
  EXPECT_TRUE(lines().empty());
  log_.emitf(kLogInfo, "first");
  EXPECT_EQ(log_.count(), 1);
  EXPECT_EQ(log_.text(0), "first");
}

TEST_F(MessageLogTest, OnlyBitZeroOrBitFifteenLevelsAreKept) {
  struct Case {
    int level;
    bool kept;
  };
  const Case cases[] = {{kLogInfo, true}, {kLogLoudness, true}, {2, false},      {0, false},
                        {3, true},        {0x8002, true},       {0x7FFE, false}, {-1, true},
                        {0x10000, false}};
  int32_t expected = 0;
  for (const Case& c : cases) {
    log_.emitf(c.level, "level %d", c.level);
    if (c.kept) ++expected;
    EXPECT_EQ(log_.count(), expected) << "level " << c.level;
  }
  EXPECT_EQ(log_.text(1), "level 32768");
}

TEST_F(MessageLogTest, DebuggerLineCountsFromTheFirstEmittedMessage) {
  log_.emitf(2, "dropped level");  // neither of these may set the time base
  clock_.advance(40);
  log_.emitf(kLogInfo, "\r\n");
  clock_.advance(60);
  log_.emitf(kLogInfo, "Running.\n");
  clock_.advance(1234);
  log_.emitf(kLogLoudness, "Monitor %d: %s", 3, "no data");
  const std::vector<std::string> expected = {"0: Running.\n", "1234: Monitor 3: no data\n"};
  EXPECT_EQ(lines(), expected);
}

TEST_F(MessageLogTest, DebuggerElapsedTimeSurvivesTickWrap) {
  clock_.set(0xFFFFFFF0u);
  log_.emitf(kLogInfo, "before wrap");
  clock_.advance(0x20);
  log_.emitf(kLogInfo, "after wrap");
  ASSERT_EQ(lines().size(), 2u);
  EXPECT_EQ(lines()[1], "32: after wrap\n");
}

TEST_F(MessageLogTest, LongMessageIsKeptWhole) {
  const std::string big(100000, 'x');
  log_.emitf(kLogInfo, "<%s>", big.c_str());
  EXPECT_EQ(log_.text(0), "<" + big + ">");
}

// Writers on several threads while a reader polls: every message lands exactly once, each writer's
// messages keep their order, and the numbers have no gaps.
TEST_F(MessageLogTest, ConcurrentWritersLoseNothing) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 2000;
  std::atomic<bool> done{false};
  std::thread reader([&] {
    int32_t seen = 0;
    while (!done.load()) {
      const int32_t now = log_.count();
      EXPECT_GE(now, seen);
      if (now > 0) {
        EXPECT_NE(log_.text(now - 1), "");
      }
      seen = now;
    }
  });
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([this, t] {
      for (int i = 0; i < kPerThread; ++i)
        log_.emitf(kLogInfo, "%d %d", t, i);
    });
  }
  for (auto& w : writers)
    w.join();
  done = true;
  reader.join();

  ASSERT_EQ(log_.count(), kThreads * kPerThread);
  std::vector<int> next(kThreads, 0);
  for (int32_t n = 0; n < kThreads * kPerThread; ++n) {
    int t = -1;
    int i = -1;
    ASSERT_EQ(std::sscanf(log_.text(n).c_str(), "%d %d", &t, &i), 2) << "message " << n;
    ASSERT_TRUE(t >= 0 && t < kThreads);
    EXPECT_EQ(i, next[t]) << "thread " << t;
    next[t] = i + 1;
  }
  for (int t = 0; t < kThreads; ++t)
    EXPECT_EQ(next[t], kPerThread);
  EXPECT_EQ(lines().size(), static_cast<size_t>(kThreads * kPerThread));
}

// The process-wide log is shared with everything else in this program, so these work relative
// to the count at their start.
class ProcessLogTest : public ::testing::Test {
 protected:
  void SetUp() override { start_ = messageCount(); }
  int32_t start_ = 0;
};

TEST_F(ProcessLogTest, AppendsTrimmedAndSkipsDroppedMessages) {
  logMessage(kLogInfo, "Loading configuration %s\r\n", "startup.txt");
  logMessage(2, "never shown");
  logMessage(kLogInfo, "\n");
  logMessage(kLogLoudness, "Monitor warning %d", 7);
  EXPECT_EQ(messageCount(), start_ + 2);
  EXPECT_EQ(messageText(start_), "Loading configuration startup.txt");
  EXPECT_EQ(messageText(start_ + 1), "Monitor warning 7");
  EXPECT_EQ(messageText(start_ + 2), "");
}

TEST_F(ProcessLogTest, TenThousandAndOneMessagesEvictTheOldest) {
  for (int i = 0; i <= 10000; ++i)
    logMessage(kLogInfo, "bulk %d", i);
  EXPECT_EQ(messageCount(), start_ + 10001);
  EXPECT_EQ(messageText(start_), "");
  EXPECT_EQ(messageText(start_ + 1), "bulk 1");
  EXPECT_EQ(messageText(start_ + 10000), "bulk 10000");
  EXPECT_EQ(messageText(start_ + 10001), "");
  EXPECT_EQ(messageText(start_ - 1), "");
  EXPECT_EQ(messageText(INT32_MIN), "");
}

// The debugger output is configured once per process from the environment, so each case runs in
// a fresh copy of this program (no fixture may touch the log before the variable is set).
class LogDebuggerOutputDeathTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(LogDebuggerOutputDeathTest, GoesToStandardErrorWhenEnabled) {
  EXPECT_EXIT(
      {
        setenv("QELM_DEBUG_OUTPUT", "1", 1);
        logMessage(kLogInfo, "Running.\n");
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "^[0-9]{1,3}: Running\\.\n$");
}

TEST_F(LogDebuggerOutputDeathTest, SilentWhenZeroOrEmpty) {
  for (const char* value : {"0", ""}) {
    EXPECT_EXIT(
        {
          setenv("QELM_DEBUG_OUTPUT", value, 1);
          logMessage(kLogInfo, "Running.\n");
          std::exit(0);
        },
        ::testing::ExitedWithCode(0), "^$")
        << "QELM_DEBUG_OUTPUT=\"" << value << "\"";
  }
}

}  // namespace
}  // namespace qelm
