// The journal output of the log: the priority of each message, the line format systemd reads,
// the JOURNAL_STREAM check, and the switch of the process log to journal lines.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "core/log.h"
#include "core/log_internal.h"
#include "platform/clock.h"

namespace qelm {
namespace {

using detail::JournalPriority;

TEST(JournalLinesTest, PriorityComesFromTheLevelAndAWarningWord) {
  struct Case {
    int level;
    std::string_view text;
    JournalPriority priority;
  };
  const Case cases[] = {
      {kLogInfo, "Running.", JournalPriority::kInfo},
      {kLogError, "Could not write the loudness report x.html", JournalPriority::kError},
      {kLogWarning, "Card 1 on Host cannot be addressed", JournalPriority::kWarning},
      {kLogInfo, "WARNING: the panel settings could not be saved", JournalPriority::kWarning},
      // The level says more than a word at the start of the text.
      {kLogError, "WARNING: the panel settings could not be saved", JournalPriority::kError},
      {kLogWarning | kLogLoudness, "LM: a loudness warning", JournalPriority::kWarning},
      {kLogLoudness, "Warning: Loudness Monitor: no target on card for OID 3412",
       JournalPriority::kWarning},
      {kLogLoudness, "Could not open binary file \"a.lms\" for saving.", JournalPriority::kError},
      {kLogLoudness | kLogInfo, "LM: Unsupported loudness message", JournalPriority::kError},
      {kLogLoudness, "Warn", JournalPriority::kError},
      {kLogInfo, " warning after a blank", JournalPriority::kInfo},
  };
  for (const Case& c : cases)
    EXPECT_EQ(detail::journalPriority(c.level, c.text), c.priority) << c.text;
}

TEST(JournalLinesTest, EveryLineOfAMessageCarriesThePriority) {
  EXPECT_EQ(detail::formatJournalLines(JournalPriority::kInfo, "Running."), "<6>Running.\n");
  EXPECT_EQ(detail::formatJournalLines(JournalPriority::kWarning, "Two lines\r\nhere"),
            "<4>Two lines\n<4>here\n");
  EXPECT_EQ(detail::formatJournalLines(JournalPriority::kError, "a\n\n\r\nb\r"), "<3>a\n<3>b\n");
  EXPECT_EQ(detail::formatJournalLines(JournalPriority::kError, "\n"), "");
}

TEST(JournalLinesTest, JournalStreamMustNameTheSameDeviceAndInode) {
  EXPECT_TRUE(detail::isJournalStream("8:1234", 8, 1234));
  EXPECT_TRUE(detail::isJournalStream("18446744073709551615:1", UINT64_MAX, 1));
  EXPECT_FALSE(detail::isJournalStream("8:1234", 8, 1235));
  EXPECT_FALSE(detail::isJournalStream("9:1234", 8, 1234));
  for (const char* malformed : {"", "8", "8:", ":1234", "8:1234x", "8:1234:5", " 8:1234", "-8:1234",
                                "8;1234", "18446744073709551616:1234"})
    EXPECT_FALSE(detail::isJournalStream(malformed, 8, 1234)) << '"' << malformed << '"';
  EXPECT_FALSE(detail::isJournalStream(nullptr, 0, 0));
}

// A private log switched from debugger lines to journal lines while it runs: the lines change
// form, the messages are still numbered and kept.
TEST(JournalLinesTest, SwitchedLogWritesJournalLinesAndKeepsItsMessages) {
  platform::ManualClock clock(0);
  std::vector<std::string> debuggerLines;
  std::vector<std::string> journalLines;
  detail::MessageLog log(clock, [&](std::string_view lines) { debuggerLines.emplace_back(lines); });
  log.emitf(kLogInfo, "Loading.\n");
  log.writeJournalTo([&](std::string_view lines) { journalLines.emplace_back(lines); });
  clock.advance(500);
  log.emitf(kLogInfo, "Running.\n");
  log.emitf(kLogLoudness, "Could not open binary file \"%s\" for saving.", "a.lms");
  log.emitf(2, "dropped level");

  EXPECT_EQ(debuggerLines, std::vector<std::string>{"0: Loading.\n"});
  const std::vector<std::string> expected = {
      "<6>Running.\n", "<3>Could not open binary file \"a.lms\" for saving.\n"};
  EXPECT_EQ(journalLines, expected);
  EXPECT_EQ(log.count(), 3);
  EXPECT_EQ(log.text(1), "Running.");
}

// The process log chooses its output once, so each case runs in a fresh copy of this program.
class LogJournalOutputDeathTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

// Sets JOURNAL_STREAM to the device and inode of `fd`, as systemd does for a service's stream.
void pointJournalStreamAt(int fd) {
  struct stat status {};
  if (::fstat(fd, &status) != 0) std::exit(3);
  const std::string value = std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino);
  ::setenv("JOURNAL_STREAM", value.c_str(), 1);
}

TEST_F(LogJournalOutputDeathTest, JournalLinesReplaceTheDebuggerLinesOnTheJournalStream) {
  EXPECT_EXIT(
      {
        ::setenv("QELM_DEBUG_OUTPUT", "1", 1);
        pointJournalStreamAt(STDERR_FILENO);
        const bool connected = logToJournalIfConnected();
        logMessage(kLogInfo, "Running.\n");
        logMessage(kLogLoudness, "Warning: Loudness Monitor: OID 3411 not found");
        std::exit(connected ? 0 : 1);
      },
      ::testing::ExitedWithCode(0),
      "^<6>Running\\.\n<4>Warning: Loudness Monitor: OID 3411 not found\n$");
}

TEST_F(LogJournalOutputDeathTest, OtherStreamsKeepTheOutputAsItWas) {
  EXPECT_EXIT(
      {
        ::unsetenv("QELM_DEBUG_OUTPUT");
        pointJournalStreamAt(STDIN_FILENO);  // the journal has some other stream of this process
        const bool connected = logToJournalIfConnected();
        ::unsetenv("JOURNAL_STREAM");
        const bool unset = logToJournalIfConnected();
        logMessage(kLogInfo, "Running.\n");
        std::exit(connected || unset ? 1 : 0);
      },
      ::testing::ExitedWithCode(0), "^$");
}

}  // namespace
}  // namespace qelm
