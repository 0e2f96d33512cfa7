#include "shell/key_filter.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QTest>
#include <QWidget>
#include <optional>
#include <vector>

#include "core/win_input.h"
#include "shell_test_support.h"

namespace qelm {
namespace {

using testing::keyPairs;

TEST(PanelKeyTest, KeyboardKeysStandForTheirPanelKeys) {
  const Qt::KeyboardModifiers none = Qt::NoModifier;
  const Qt::KeyboardModifiers pad = Qt::KeypadModifier;
  auto expect = [](int key, Qt::KeyboardModifiers modifiers, std::optional<PanelKey> panelKey) {
    EXPECT_EQ(panelKeyFor(key, modifiers), panelKey)
        << "key 0x" << std::hex << key << " modifiers 0x" << modifiers.toInt();
  };
  for (const Qt::KeyboardModifiers modifiers : {none, pad}) {  // main keys and keypad alike
    expect(Qt::Key_0, modifiers, PanelKey::kDigit0);
    expect(Qt::Key_9, modifiers, PanelKey::kDigit9);
    expect(Qt::Key_Minus, modifiers, PanelKey::kContext);
    expect(Qt::Key_Period, modifiers, PanelKey::kContext);
  }
  expect(Qt::Key_1, none, PanelKey::kDigit1);
  expect(Qt::Key_5, pad, PanelKey::kDigit5);
  expect(Qt::Key_Comma, pad, PanelKey::kContext);
  expect(Qt::Key_Backspace, none, PanelKey::kBack);
  expect(Qt::Key_D, none, PanelKey::kSelectDevice);
  expect(Qt::Key_D, Qt::ShiftModifier, PanelKey::kSelectDevice);
  expect(Qt::Key_S, none, PanelKey::kSelectSubmenu);
  expect(Qt::Key_Escape, none, PanelKey::kCancel);
  expect(Qt::Key_Return, none, PanelKey::kEnter);
  expect(Qt::Key_Enter, pad, PanelKey::kEnter);
  expect(Qt::Key_Plus, pad, std::nullopt);
  for (const int key : {Qt::Key_Comma, Qt::Key_A, Qt::Key_Space, Qt::Key_Tab, Qt::Key_F1,
                        Qt::Key_Delete, Qt::Key_Shift})
    expect(key, none, std::nullopt);
}

// A window that notes every key that reaches it.
class KeyWindow final : public QWidget {
 public:
  std::vector<int> received;

 protected:
  void keyPressEvent(QKeyEvent* event) override { received.push_back(event->key()); }
  void keyReleaseEvent(QKeyEvent* event) override { received.push_back(-event->key()); }
};

class KeyFilterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    window_.setFocusPolicy(Qt::StrongFocus);
    window_.resize(100, 100);
    window_.show();
    other_.resize(50, 50);
    other_.show();
    activate(&window_);
    window_.setFocus();
    qApp->installEventFilter(&filter_);
  }
  void TearDown() override { qApp->removeEventFilter(&filter_); }

  static void activate(QWidget* window) {
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
  }

  // Sends a key event to the focused window as the platform would.
  void key(QEvent::Type type, int qtKey, bool autoRepeat = false, quint32 scanCode = 0) {
    QKeyEvent event(type, qtKey, Qt::NoModifier, scanCode, 0, 0, QString(), autoRepeat);
    QApplication::sendEvent(&window_, &event);
  }
  void tap(int qtKey) {
    key(QEvent::KeyPress, qtKey);
    key(QEvent::KeyRelease, qtKey);
  }

  std::vector<InputEvent> drain() { return testing::drain(input_); }

  platform::ManualClock clock_;
  WinInput input_{clock_};
  KeyWindow window_;
  QWidget other_;
  KeyFilter filter_{&window_, input_};
};

TEST_F(KeyFilterTest, ATapAndEachRepeatOfAHeldKeyQueueOnePairWhenTheKeyGoesUp) {
  key(QEvent::KeyPress, Qt::Key_D);
  EXPECT_EQ(input_.queuedCount(), 0u);
  key(QEvent::KeyRelease, Qt::Key_D);
  EXPECT_EQ(drain(), keyPairs({PanelKey::kSelectDevice}));
  // Enter and Escape are panel keys like any other and never reach the window.
  tap(Qt::Key_Return);
  tap(Qt::Key_Escape);
  EXPECT_EQ(drain(), keyPairs({PanelKey::kEnter, PanelKey::kCancel}));
  EXPECT_TRUE(window_.received.empty());

  // A held key queues a pair per repeat, and one when it goes up.
  key(QEvent::KeyPress, Qt::Key_5);
  for (int i = 0; i < 2; ++i) {
    key(QEvent::KeyRelease, Qt::Key_5, true);
    key(QEvent::KeyPress, Qt::Key_5, true);
  }
  key(QEvent::KeyRelease, Qt::Key_5);
  EXPECT_EQ(drain(), keyPairs({PanelKey::kDigit5, PanelKey::kDigit5, PanelKey::kDigit5}));
}

TEST_F(KeyFilterTest, OtherKeysAndOtherWindowsAreLeftAlone) {
  tap(Qt::Key_A);
  EXPECT_EQ(window_.received, (std::vector<int>{Qt::Key_A, -Qt::Key_A}));
  activate(&other_);
  tap(Qt::Key_D);
  EXPECT_EQ(input_.queuedCount(), 0u);
  EXPECT_EQ(window_.received.size(), 4u);
}

TEST_F(KeyFilterTest, EveryPairAnswersAPressSeenInThisWindow) {
  // Shift pressed while "1" is down turns its symbol into "!"; the key is still the same.
  key(QEvent::KeyPress, Qt::Key_1, false, 10);
  key(QEvent::KeyRelease, Qt::Key_Exclam, false, 10);
  EXPECT_EQ(drain(), keyPairs({PanelKey::kDigit1}));
  // A key that went down elsewhere queues nothing when it comes up here.
  key(QEvent::KeyRelease, Qt::Key_S);
  EXPECT_EQ(input_.queuedCount(), 0u);
  // Losing the focus forgets a key that was down; its release goes to another window.
  key(QEvent::KeyPress, Qt::Key_S);
  activate(&other_);
  activate(&window_);
  key(QEvent::KeyRelease, Qt::Key_S);
  EXPECT_EQ(input_.queuedCount(), 0u);
}

}  // namespace
}  // namespace qelm
