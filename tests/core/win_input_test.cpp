#include "core/win_input.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace qelm {
namespace {

class WinInputTest : public ::testing::Test {
 protected:
  std::vector<InputEvent> drain() {
    std::vector<InputEvent> events;
    while (auto event = input_.nextEvent())
      events.push_back(*event);
    return events;
  }

  platform::ManualClock clock_{5000};
  WinInput input_{clock_};
};

InputEvent key(int32_t code, EventKind kind, int32_t count = 0) {
  return {code, kind, count, -1, -1, -1};
}

TEST_F(WinInputTest, WheelNotchTowardsTheUserQueuesOneTurnOfTheOtherWay) {
  input_.queueKnobTurn(3, false);
  EXPECT_EQ(drain(), std::vector<InputEvent>{key(21, EventKind::kTurnedOtherWay, 1)});
}

TEST_F(WinInputTest, KnobHeldReportsHeldAfterOneSecondAndReleaseAfterHold) {
  input_.queueKnobButton(0, true);
  EXPECT_EQ(drain(), std::vector<InputEvent>{key(18, EventKind::kKnobPushed)});
  clock_.advance(1000);
  EXPECT_TRUE(drain().empty()) << "held only after more than 1000 ms";
  clock_.advance(1);
  EXPECT_EQ(drain(), std::vector<InputEvent>{key(18, EventKind::kHeld, 1)});
  clock_.advance(500);
  EXPECT_TRUE(drain().empty()) << "held is reported once";
  input_.queueKnobButton(0, false);
  EXPECT_EQ(drain(), std::vector<InputEvent>{key(18, EventKind::kReleasedAfterHold)});

  // A push the browser held 300 ms before sending is held 700 ms later; an age past the hold
  // time counts as the hold time, never as a hold already over.
  input_.queueKnobButton(1, true, 300);
  drain();
  clock_.advance(700);
  EXPECT_TRUE(drain().empty());
  clock_.advance(1);
  EXPECT_EQ(drain(), std::vector<InputEvent>{key(19, EventKind::kHeld, 1)});
  input_.queueKnobButton(1, false, 300);
  EXPECT_EQ(drain(), std::vector<InputEvent>{key(19, EventKind::kReleasedAfterHold)});
  input_.queueKnobButton(1, true, 60000);
  EXPECT_EQ(drain(), std::vector<InputEvent>{key(19, EventKind::kKnobPushed)});
  clock_.advance(1);
  EXPECT_EQ(drain(), std::vector<InputEvent>{key(19, EventKind::kHeld, 1)});
}

TEST_F(WinInputTest, KeyClickWhileAKnobIsHeldEndsTheKnobsHold) {
  input_.queueKnobButton(2, true);
  drain();
  input_.queueKey(5);  // its press is discarded, its release ends the knob's hold
  EXPECT_EQ(drain(), std::vector<InputEvent>{key(5, EventKind::kKeyReleased)});
  input_.queueKnobButton(2, false);
  EXPECT_TRUE(drain().empty()) << "a release without a pending press is dropped";

  input_.queueKnobButton(2, true);
  drain();
  clock_.advance(1500);
  EXPECT_EQ(drain(), std::vector<InputEvent>{key(20, EventKind::kHeld, 1)});
  input_.queueKey(5);
  EXPECT_EQ(drain(), std::vector<InputEvent>{key(5, EventKind::kReleasedAfterHold)});
}

TEST_F(WinInputTest, TurnsWhileAPressIsPendingAreDiscarded) {
  input_.queueKnobButton(1, true);
  input_.queueKnobTurn(1, true);
  input_.queueKnobTurn(4, false);
  input_.queueKnobButton(1, false);
  input_.queueKnobTurn(4, true);
  EXPECT_EQ(drain(), (std::vector<InputEvent>{key(19, EventKind::kKnobPushed),
                                              key(19, EventKind::kKnobReleased),
                                              key(22, EventKind::kTurnedOneWay, 1)}));
}

TEST_F(WinInputTest, HeldTouchRepeatsEveryThreeSecondsAtTheButtonDownPoint) {
  input_.setTouch(1, 40, 50, true);
  EXPECT_EQ(drain(), (std::vector<InputEvent>{{0, EventKind::kTouched, 1, 1, 40, 50}}));
  clock_.advance(3000);
  EXPECT_TRUE(drain().empty());
  clock_.advance(1);
  EXPECT_EQ(drain(), (std::vector<InputEvent>{{0, EventKind::kStillTouched, 1, 1, 40, 50}}));
  clock_.advance(3001);
  EXPECT_EQ(drain(), (std::vector<InputEvent>{{0, EventKind::kStillTouched, 1, 1, 40, 50}}));
  input_.setTouch(1, 41, 51, false);
  EXPECT_TRUE(drain().empty());
  input_.setTouch(1, 7, 8, true);
  EXPECT_EQ(drain(), (std::vector<InputEvent>{{0, EventKind::kTouched, 1, 1, 7, 8}}))
      << "a new touch starts over without the repeat kind";
}

TEST_F(WinInputTest, EveryButtonDownIsATouchEvenWhenItsReleaseCameFirst) {
  // Press and release before the engine looks, as remote desktops and automation click.
  input_.setTouch(1, 40, 50, true);
  input_.setTouch(1, 41, 51, false);
  EXPECT_EQ(drain(), (std::vector<InputEvent>{{0, EventKind::kTouched, 1, 1, 40, 50}}));
  clock_.advance(4000);
  EXPECT_TRUE(drain().empty()) << "a released touch does not repeat";

  // Two clicks in one pass are two touches, in order.
  input_.setTouch(0, 1, 2, true);
  input_.setTouch(0, 1, 2, false);
  input_.setTouch(0, 3, 4, true);
  input_.setTouch(0, 3, 4, false);
  EXPECT_EQ(drain(), (std::vector<InputEvent>{{0, EventKind::kTouched, 1, 0, 1, 2},
                                              {0, EventKind::kTouched, 1, 0, 3, 4}}));

  // A button released outside the screen leaves the touch pressed; the next click still counts.
  input_.setTouch(0, 5, 6, true);
  drain();
  input_.setTouch(0, 7, 8, true);
  EXPECT_EQ(drain(), (std::vector<InputEvent>{{0, EventKind::kTouched, 1, 0, 7, 8}}));
  input_.setTouch(0, 7, 8, false);

  // A flood of clicks keeps a bounded number.
  for (int i = 0; i < 100; ++i) {
    input_.setTouch(1, i, i, true);
    input_.setTouch(1, i, i, false);
  }
  EXPECT_EQ(drain().size(), WinInput::kMaxPendingTouches);
}

TEST_F(WinInputTest, TouchesComeBeforeQueuedEventsLeftScreenFirst) {
  input_.queueKey(3);
  input_.setTouch(1, 1, 2, true);
  input_.setTouch(0, 3, 4, true);
  const std::vector<InputEvent> events = drain();
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0].screen, 0);
  EXPECT_EQ(events[1].screen, 1);
  EXPECT_EQ(events[2], key(3, EventKind::kKeyPressed));
}

TEST_F(WinInputTest, ResetDropsQueueTouchesAndAPendingPress) {
  input_.queueKey(2);
  input_.nextEvent();  // the press is pending; its release waits in the queue
  input_.setTouch(0, 5, 5, true);
  input_.reset();
  clock_.advance(5000);
  EXPECT_TRUE(drain().empty()) << "no stale touch, release or held event after a reset";
  input_.queueKey(4);
  EXPECT_EQ(drain(), (std::vector<InputEvent>{key(4, EventKind::kKeyPressed),
                                              key(4, EventKind::kKeyReleased)}));
}

TEST_F(WinInputTest, HoldTimingSurvivesTheTickWrapping) {
  clock_.set(0xFFFFFF00u);
  input_.queueEvent(key(16, EventKind::kKeyPressed));
  drain();
  clock_.advance(0x100 + 1001);  // wraps past zero
  EXPECT_EQ(drain(), std::vector<InputEvent>{key(16, EventKind::kHeld, 1)});
}

TEST_F(WinInputTest, ProducersOnOtherThreadsLoseNoEvent) {
  constexpr int kPerThread = 2000;
  std::vector<std::thread> producers;
  for (int t = 0; t < 3; ++t)
    producers.emplace_back([this, t] {
      for (int i = 0; i < kPerThread; ++i)
        input_.queueKnobTurn(t, i % 2 == 0);
    });
  int taken = 0;
  while (taken < 3 * kPerThread) {
    if (input_.nextEvent()) ++taken;
  }
  for (auto& producer : producers)
    producer.join();
  EXPECT_EQ(input_.queuedCount(), 0u);
}

}  // namespace
}  // namespace qelm
