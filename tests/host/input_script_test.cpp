#include "host/input_script.h"

#include <gtest/gtest.h>

namespace qelm {
namespace {

TEST(InputScriptTest, KeysKnobsAndTouchesInTimeOrder) {
  const InputScript script = parseInputScript(
      "# select device 2\n"
      "500 13 1 0\n"
      "\n"
      "  100\t21 5 1\r\n"
      "500 3 1 0\n"
      "900 0 11 1 1 240 136\n"
      "950 0 2 1 1 240 136\n");
  ASSERT_EQ(script.error, "");
  ASSERT_EQ(script.events.size(), 5u);
  EXPECT_EQ(script.events[0].atMs, 100u);
  EXPECT_EQ(script.events[0].event, (InputEvent{21, EventKind::kTurnedOneWay, 1, -1, -1, -1}));
  EXPECT_EQ(script.events[1].event.code, 13) << "same time keeps the written order";
  EXPECT_EQ(script.events[2].event.code, 3);
  EXPECT_EQ(script.events[3].event, (InputEvent{0, EventKind::kTouched, 1, 1, 240, 136}));
  EXPECT_EQ(script.events[4].event.kind, EventKind::kKeyReleased);
}

TEST(InputScriptTest, BadLinesAreNamedAndNothingIsPlayed) {
  EXPECT_EQ(parseInputScript("1 2 1 0\n2 2 9 0\n").error, "line 2: bad kind");
  EXPECT_EQ(parseInputScript("x 2 1 0").error, "line 1: bad time");
  EXPECT_EQ(parseInputScript("1 17 1 0").error, "line 1: bad code");
  EXPECT_EQ(parseInputScript("1 26 1 0").error, "line 1: bad code");
  EXPECT_EQ(parseInputScript("1 2 1").error,
            "line 1: expected MS CODE KIND COUNT or MS 0 KIND 1 SCREEN X Y");
  EXPECT_EQ(parseInputScript("1 2 1 0 0 1 1").error, "line 1: only touches carry SCREEN X Y");
  EXPECT_EQ(parseInputScript("1 0 11 1").error, "line 1: a touch needs SCREEN X Y");
  EXPECT_EQ(parseInputScript("1 0 11 1 2 0 0").error, "line 1: bad touch position");
  EXPECT_EQ(parseInputScript("1 0 11 1 0 480 0").error, "line 1: bad touch position");
  EXPECT_EQ(parseInputScript("1 0 5 1 0 1 1").error, "line 1: a touch is kind 11 (down) or 2 (up)");
  EXPECT_EQ(parseInputScript("1 2 1 99999999999999999999").error, "line 1: bad count");
  EXPECT_TRUE(parseInputScript("1 2 1 0\n2 2 9 0\n").events.empty());
}

TEST(InputScriptTest, SessionRequestsTakeTheRestOfTheLineAsTheirPath) {
  const InputScript script =
      parseInputScript("900 load  /tmp/old run.ses \r\n100 13 1 0\n500 save /tmp/a.ses\n");
  ASSERT_TRUE(script.error.empty()) << script.error;
  ASSERT_EQ(script.events.size(), 3u);
  EXPECT_TRUE(script.events[0].sessionPath.empty());
  EXPECT_EQ(script.events[1].sessionPath, "/tmp/a.ses");
  EXPECT_EQ(script.events[1].operation, SessionOperation::kSave);
  EXPECT_EQ(script.events[2].sessionPath, "/tmp/old run.ses");
  EXPECT_EQ(script.events[2].operation, SessionOperation::kLoad);
  EXPECT_EQ(parseInputScript("100 save").error, "line 1: a session request needs a PATH");
  EXPECT_EQ(parseInputScript("100 save   \n").error, "line 1: a session request needs a PATH");
  EXPECT_EQ(parseInputScript("soon save x").error, "line 1: bad time");
}

TEST(InputScriptTest, LineMasksAreDecimalOrHexadecimalAndCoverTwelveLines) {
  const InputScript script =
      parseInputScript("300 lines 0xFFF\n100 lines 4\n200 lines 0X0a0\n250 21 5 1\n");
  ASSERT_TRUE(script.error.empty()) << script.error;
  ASSERT_EQ(script.events.size(), 4u);
  EXPECT_EQ(script.events[0].inputLines, 4u);
  EXPECT_EQ(script.events[1].inputLines, 0xA0u);
  EXPECT_FALSE(script.events[2].inputLines) << "a knob turn sets no lines";
  EXPECT_EQ(script.events[3].inputLines, 0xFFFu);
  EXPECT_EQ(parseInputScript("1 lines 0").events[0].inputLines, 0u);

  const std::string bad = "line 1: bad line mask (0..4095 or 0x0..0xFFF)";
  for (const char* line : {"1 lines 4096", "1 lines 0x1000", "1 lines -1", "1 lines +3",
                           "1 lines 0x", "1 lines 12a", "1 lines 0xg", "1 lines 99999999999"})
    EXPECT_EQ(parseInputScript(line).error, bad) << line;
  EXPECT_EQ(parseInputScript("1 lines").error, "line 1: expected MS lines MASK");
  EXPECT_EQ(parseInputScript("1 lines 3 4").error, "line 1: expected MS lines MASK");
  EXPECT_EQ(parseInputScript("x lines 3").error, "line 1: bad time");
}

}  // namespace
}  // namespace qelm
