#include "remote/client_message.h"

#include <gtest/gtest.h>

#include <string>

#include "core/input.h"
#include "core/raster_geometry.h"

namespace qelm::remote {
namespace {

ClientMessage expected(ClientMessageKind kind) {
  ClientMessage message;
  message.kind = kind;
  return message;
}

TEST(ClientMessageTest, EveryKindWithItsFieldsAtTheirBounds) {
  EXPECT_EQ(decodeClientMessage(R"({"t":"ready"})"), expected(ClientMessageKind::kReady));

  ClientMessage key = expected(ClientMessageKind::kKey);
  key.code = codeOf(PanelKey::kEnter);
  EXPECT_EQ(decodeClientMessage(R"({"t":"key","code":16})"), key);
  key.code = codeOf(PanelKey::kDigit0);
  EXPECT_EQ(decodeClientMessage(R"( {"code":1, "t":"key", "extra":[1,2]} )"), key)
      << "order, spaces and fields of no use do not matter";

  ClientMessage turn = expected(ClientMessageKind::kTurn);
  turn.knob = kKnobCount - 1;
  turn.steps = -kMostTurnSteps;
  EXPECT_EQ(decodeClientMessage(R"({"t":"turn","knob":7,"steps":-16})"), turn);
  turn.knob = 0;
  turn.steps = kMostTurnSteps;
  EXPECT_EQ(decodeClientMessage(R"({"t":"turn","knob":0,"steps":16})"), turn);

  ClientMessage push = expected(ClientMessageKind::kPush);
  push.knob = 3;
  push.down = true;
  EXPECT_EQ(decodeClientMessage(R"({"t":"push","knob":3,"down":true})"), push);
  push.held = 300;
  EXPECT_EQ(decodeClientMessage(R"({"t":"push","knob":3,"down":true,"held":300})"), push);
  push.held = 0;
  push.down = false;
  EXPECT_EQ(decodeClientMessage(R"({"t":"push","knob":3,"down":false})"), push);

  ClientMessage touch = expected(ClientMessageKind::kTouch);
  touch.screen = codeOf(Screen::kRight);
  touch.x = kScreenWidth - 1;
  touch.y = kScreenHeight - 1;
  touch.down = true;
  EXPECT_EQ(decodeClientMessage(R"({"t":"touch","screen":1,"x":479,"y":271,"down":true})"), touch);
}

TEST(ClientMessageTest, MalformedUnknownWrongTypesAndOutOfRangeGiveNothing) {
  const char* refused[] = {
      "",
      "{",
      R"(["t","ready"])",
      R"({"t":"READY"})",
      R"({"t":1})",
      R"({"t":"ready"} trailing)",
      R"({"t":"key"})",
      R"({"t":"key","code":17})",
      R"({"t":"key","code":"5"})",
      R"({"t":"key","code":5.0})",
      R"({"t":"key","code":true})",
      R"({"t":"key","code":18446744073709551615})",
      R"({"t":"turn","knob":8,"steps":1})",
      R"({"t":"turn","knob":0,"steps":0})",
      R"({"t":"turn","knob":0,"steps":-17})",
      R"({"t":"push","knob":0,"down":1})",
      R"({"t":"push","knob":0,"down":true,"held":1001})",
      R"({"t":"push","knob":0,"down":true,"held":-1})",
      R"({"t":"touch","screen":2,"x":0,"y":0,"down":true})",
      R"({"t":"touch","screen":0,"x":480,"y":0,"down":true})",
      R"({"t":"touch","screen":0,"x":0,"y":-1,"down":true})",
  };

  for (const char* text : refused)
    EXPECT_FALSE(decodeClientMessage(text)) << text;
  EXPECT_FALSE(decodeClientMessage(std::string_view("{\"t\":\"ready\"}\0", 14)));
}

TEST(ClientMessageTest, LongerThanTheBoundIsRefusedEvenWhenWellFormed) {
  const std::string head = R"({"t":"ready",)";
  const std::string tail = R"("pad":""})";
  std::string text = head + tail;
  text.insert(text.size() - 2, kMostClientMessageBytes - text.size(), 'x');
  ASSERT_EQ(text.size(), kMostClientMessageBytes);
  EXPECT_TRUE(decodeClientMessage(text));
  text.insert(text.size() - 2, "x");
  EXPECT_FALSE(decodeClientMessage(text));
}

}  // namespace
}  // namespace qelm::remote
