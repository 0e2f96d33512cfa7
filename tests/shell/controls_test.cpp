#include <gtest/gtest.h>

#include <QImage>
#include <QMouseEvent>
#include <QTest>
#include <cmath>
#include <mutex>
#include <vector>

#include "core/app_context.h"
#include "shell/key_button.h"
#include "shell/knob_control.h"
#include "shell/screen_control.h"
#include "shell_test_support.h"

namespace qelm {
namespace {

using testing::knobCode;
using testing::panelEvent;
using Events = std::vector<InputEvent>;

// The controls as the window holds them, over one context whose input source runs on a clock
// the test moves.
class ControlsTest : public ::testing::Test {
 protected:
  Events drain() { return testing::drain(context_.input); }

  platform::ManualClock clock_{5000};
  AppContext context_{Folders{}, clock_};
};

TEST_F(ControlsTest, WheelNotchesTurnTheKnobOneStepEach) {
  KnobControl knob(3, context_.input);
  knob.turnByWheel(-120);  // one notch towards the user
  EXPECT_EQ(drain(), (Events{panelEvent(knobCode(3), EventKind::kTurnedOtherWay, 1)}));
  EXPECT_EQ(knob.steps(), 1);  // the indicator moved 15 degrees clockwise

  knob.turnByWheel(240);  // two notches at once are two steps
  EXPECT_EQ(drain(), (Events{panelEvent(knobCode(3), EventKind::kTurnedOneWay, 1),
                             panelEvent(knobCode(3), EventKind::kTurnedOneWay, 1)}));
  EXPECT_EQ(knob.steps(), -1);

  // A fine wheel's small deltas add up to a notch; turning back starts afresh.
  for (int i = 0; i < 3; ++i)
    knob.turnByWheel(30);
  EXPECT_EQ(context_.input.queuedCount(), 0u);
  knob.turnByWheel(30);
  EXPECT_EQ(drain(), (Events{panelEvent(knobCode(3), EventKind::kTurnedOneWay, 1)}));
  knob.turnByWheel(90);
  knob.turnByWheel(-90);
  knob.turnByWheel(-29);
  EXPECT_EQ(context_.input.queuedCount(), 0u);
  EXPECT_EQ(knob.steps(), -2);
}

TEST_F(ControlsTest, KnobButtonHeldThenReleasedAndKeysMeanwhile) {
  KnobControl knob(0, context_.input);
  constexpr int32_t kSelectDevice = codeOf(PanelKey::kSelectDevice);
  KeyButton key(kSelectDevice, "Select\nDevice", context_.input);
  knob.resize(39, 42);
  key.resize(70, 49);

  QTest::mousePress(&knob, Qt::LeftButton);
  EXPECT_EQ(drain(), (Events{panelEvent(knobCode(0), EventKind::kKnobPushed)}));
  clock_.advance(WinInput::kHoldTimeMs + 1);
  EXPECT_EQ(drain(), (Events{panelEvent(knobCode(0), EventKind::kHeld, 1)}));
  // A key clicked while the knob is held: its press is dropped, its release ends the hold.
  QTest::mouseClick(&key, Qt::LeftButton);
  EXPECT_EQ(drain(), (Events{panelEvent(kSelectDevice, EventKind::kReleasedAfterHold)}));
  QTest::mouseRelease(&knob, Qt::LeftButton);
  EXPECT_EQ(drain(), Events{});

  QTest::mouseClick(&key, Qt::LeftButton);
  QTest::mouseClick(&knob, Qt::RightButton);  // only the left button pushes
  EXPECT_EQ(drain(), testing::keyPairs({PanelKey::kSelectDevice}));
}

TEST_F(ControlsTest, KnobPointerTurnsWithEachStepAndTheKnobShowsPushAndHold) {
  KnobControl knob(2, context_.input);
  knob.resize(78, 78);
  const QPointF centre(39, 39);
  // The pointer's middle, at `degrees` clockwise from twelve o'clock, is dark on a light cap.
  auto pointerAt = [&](double degrees) {
    const double radians = degrees * 3.14159265358979 / 180;
    const QImage picture = knob.grab().toImage();
    const QPointF at = centre + QPointF(17 * std::sin(radians), -17 * std::cos(radians));
    return qGray(picture.pixel(at.toPoint())) < 80;
  };
  EXPECT_TRUE(pointerAt(0));
  EXPECT_FALSE(pointerAt(45));
  for (int i = 0; i < 3; ++i)
    knob.turnByWheel(-120);  // towards the user: clockwise
  EXPECT_TRUE(pointerAt(45));
  EXPECT_FALSE(pointerAt(0));
  knob.turnByWheel(6 * 120);  // away from the user: counter-clockwise, past twelve o'clock
  EXPECT_TRUE(pointerAt(-45));
  drain();

  EXPECT_EQ(knob.look(), KnobControl::Look::kResting);
  const QImage resting = knob.grab().toImage();
  QTest::mousePress(&knob, Qt::LeftButton);
  EXPECT_EQ(knob.look(), KnobControl::Look::kPushed);
  const QImage pushed = knob.grab().toImage();
  EXPECT_NE(pushed, resting);
  // Held past the hold time the panel resets the knob's item; the knob shows it then.
  EXPECT_TRUE(QTest::qWaitFor([&] { return knob.look() == KnobControl::Look::kHeld; }, 3000));
  EXPECT_NE(knob.grab().toImage(), pushed);
  QTest::mouseRelease(&knob, Qt::LeftButton);
  EXPECT_EQ(knob.look(), KnobControl::Look::kResting);
  EXPECT_EQ(knob.grab().toImage(), resting);
  EXPECT_EQ(drain(), (Events{panelEvent(knobCode(2), EventKind::kKnobPushed),
                             panelEvent(knobCode(2), EventKind::kKnobReleased)}));
}

TEST_F(ControlsTest, ScreenRepaintsOnlyWhenAndWhereTheRasterChanged) {
  ScreenControl screen(0, &context_);
  screen.setZoom(150);
  screen.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&screen));
  QTest::qWait(50);
  const int paints = screen.paintCount();
  screen.refresh();
  QTest::qWait(50);
  EXPECT_EQ(screen.paintCount(), paints);  // nothing changed, nothing painted

  {
    std::lock_guard<std::mutex> guard(context_.screenLock);
    context_.pixels()[271 * kRasterWidth + 479] = 0x00FF8000;  // the last pixel
    context_.pixels()[kRightScreenColumn] = 0x00FFFFFF;        // the other screen's
  }
  screen.refresh();
  EXPECT_TRUE(QTest::qWaitFor([&] { return screen.paintCount() > paints; }, 1000));
  const QImage picture = screen.grab().toImage();
  auto raster = [&](int x, int y) { return context_.pixels()[y * kRasterWidth + x] | 0xFF000000u; };
  EXPECT_EQ(picture.pixel(719, 407), 0xFFFF8000u);
  EXPECT_EQ(picture.pixel(718, 407), raster(478, 271));
  EXPECT_EQ(picture.pixel(719, 406), raster(479, 270));
  EXPECT_EQ(picture.pixel(0, 0), raster(0, 0));
}

TEST_F(ControlsTest, ScreensShowTheirHalfOfTheRasterAndATouchRepeatsUntilTheButtonIsUp) {
  {
    std::lock_guard<std::mutex> guard(context_.screenLock);
    uint32_t* pixels = context_.pixels();
    pixels[0] = 0x00112233;  // alpha is not part of the picture
    pixels[5 * kRasterWidth + 479] = 0xFF445566;
    pixels[kRightScreenColumn] = 0xFF778899;
    pixels[271 * kRasterWidth + kRightScreenColumn + 479] = 0xFFAABBCC;
  }
  ScreenControl left(0, &context_);
  ScreenControl right(1, &context_);
  ScreenControl blank(0, nullptr);
  EXPECT_EQ(left.size(), QSize(480, 272));
  const QImage leftImage = left.grab().toImage();
  const QImage rightImage = right.grab().toImage();
  EXPECT_EQ(leftImage.pixel(0, 0), 0xFF112233u);
  EXPECT_EQ(leftImage.pixel(479, 5), 0xFF445566u);
  EXPECT_EQ(rightImage.pixel(0, 0), 0xFF778899u);
  EXPECT_EQ(rightImage.pixel(479, 271), 0xFFAABBCCu);
  EXPECT_EQ(blank.grab().toImage().pixel(100, 100), 0xFF000000u);

  constexpr int32_t kRight = codeOf(Screen::kRight);
  QTest::mousePress(&right, Qt::LeftButton, Qt::NoModifier, QPoint(10, 20));
  EXPECT_EQ(drain(), (Events{{kTouchCode, EventKind::kTouched, 1, kRight, 10, 20}}));
  clock_.advance(WinInput::kTouchRepeatMs + 1);
  EXPECT_EQ(drain(), (Events{{kTouchCode, EventKind::kStillTouched, 1, kRight, 10, 20}}));
  // Released with the pointer outside the screen: the touch still ends.
  QTest::mouseRelease(&right, Qt::LeftButton, Qt::NoModifier, QPoint(600, 300));
  clock_.advance(4000);
  EXPECT_EQ(drain(), Events{});
}

}  // namespace
}  // namespace qelm
