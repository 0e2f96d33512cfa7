#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>

#include "core/input.h"
#include "platform/clock.h"

namespace qelm {

/// The input source shared by the desktop window, the headless host's input scripts and the
/// engine: a locked event queue with held-key detection and screen-touch repeat. Producers call
/// the queue operations from any thread; the engine thread calls `nextEvent`.
class WinInput final : public InputBase {
 public:
  /// A press still pending after this long is reported as held.
  static constexpr uint32_t kHoldTimeMs = 1000;
  /// A touch still pressed after this long is reported again.
  static constexpr uint32_t kTouchRepeatMs = 3000;
  /// Button-downs one screen keeps until the engine takes them; further ones are dropped.
  static constexpr size_t kMaxPendingTouches = 8;

  explicit WinInput(platform::Clock& clock);

  std::optional<InputEvent> nextEvent() override;
  void knobSettingsChanged() override {}
  uint32_t inputLines() override;

  /// Queues one event as it is.
  void queueEvent(const InputEvent& event);
  /// Queues a key's press and release pair, as a key button click or a keyboard tap does.
  void queueKey(int32_t code);
  /// Queues one step of knob `knob` (0..7); `positive` is a wheel turn away from the user.
  void queueKnobTurn(int32_t knob, bool positive);
  /// Queues knob `knob`'s push (down) or release. A push that was already held `heldForMs`
  /// before it could be queued (a browser tells a push from the start of a drag by waiting)
  /// is reported as held that much sooner; at most `kHoldTimeMs` counts.
  void queueKnobButton(int32_t knob, bool down, uint32_t heldForMs = 0);
  /// Records the mouse button on screen `screen` (0, 1) going down or up at (x, y). Every
  /// button-down is reported as a touch, even when its button-up comes before the engine looks.
  void setTouch(int32_t screen, int32_t x, int32_t y, bool pressed);
  /// Sets the input-line mask (always 0 on the desktop; scripts and tests may set it).
  void setInputLines(uint32_t mask);
  /// Empties the queue, forgets a pending press and puts both screens at rest (between runs).
  void reset();
  /// Notified whenever an event is queued, so the engine's main loop can cut its sleep short.
  platform::Wakeup& wakeup() { return wakeup_; }
  /// Number of queued events (for tests and diagnostics).
  size_t queuedCount();

 private:
  platform::Wakeup wakeup_;
  struct Point {
    int32_t x = -1;
    int32_t y = -1;
  };
  struct TouchState {
    // Button-downs not yet reported, oldest first; a quick click is gone from `pressed` by the
    // time the engine looks, but not from here.
    std::deque<Point> downs;
    uint32_t firstTick = 0;   // 0 = not touching
    uint32_t repeatTick = 0;  // 0 = not repeating
    uint32_t repeatDelay = kTouchRepeatMs;
    int32_t reportedX = -1;
    int32_t reportedY = -1;
    int32_t currentX = -1;
    int32_t currentY = -1;
    bool pressed = false;
  };

  uint32_t now();
  std::optional<InputEvent> nextTouch(int32_t screen, uint32_t now);

  platform::Clock& clock_;
  std::mutex lock_;
  struct Queued {
    InputEvent event;
    uint32_t heldForMs = 0;  // a press: how long it was held before it was queued
  };
  std::deque<Queued> queue_;
  std::array<TouchState, 2> touches_{};
  uint32_t inputLines_ = 0;
  int holdState_ = 0;  // 0 none, 1 a press is pending, 2 reported as held
  int32_t heldCode_ = 0;
  uint32_t holdStart_ = 0;
};

}  // namespace qelm
