#include "core/win_input.h"

#include <algorithm>

namespace qelm {

namespace {

bool isRelease(EventKind kind) {
  return kind == EventKind::kKeyReleased || kind == EventKind::kKnobReleased;
}
bool isTurn(EventKind kind) {
  return kind == EventKind::kTurnedOneWay || kind == EventKind::kTurnedOtherWay;
}
bool isPress(EventKind kind) {
  return kind == EventKind::kKeyPressed || kind == EventKind::kKnobPushed;
}

}  // namespace

WinInput::WinInput(platform::Clock& clock) : clock_(clock) {}

uint32_t WinInput::now() {
  // Tick 0 marks "not touching" and "no hold", so a real tick of 0 is taken as 1.
  const uint32_t tick = clock_.tick();
  return tick == 0 ? 1 : tick;
}

uint32_t WinInput::inputLines() {
  std::lock_guard<std::mutex> guard(lock_);
  return inputLines_;
}

void WinInput::queueEvent(const InputEvent& event) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    queue_.push_back({event, 0});
  }
  wakeup_.notify();
}

void WinInput::queueKey(int32_t code) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    queue_.push_back({{code, EventKind::kKeyPressed, 0, -1, -1, -1}, 0});
    queue_.push_back({{code, EventKind::kKeyReleased, 0, -1, -1, -1}, 0});
  }
  wakeup_.notify();
}

void WinInput::queueKnobTurn(int32_t knob, bool positive) {
  const EventKind kind = positive ? EventKind::kTurnedOneWay : EventKind::kTurnedOtherWay;
  queueEvent({kFirstKnobCode + knob, kind, 1, -1, -1, -1});
}

void WinInput::queueKnobButton(int32_t knob, bool down, uint32_t heldForMs) {
  const EventKind kind = down ? EventKind::kKnobPushed : EventKind::kKnobReleased;
  {
    std::lock_guard<std::mutex> guard(lock_);
    queue_.push_back({{kFirstKnobCode + knob, kind, 0, -1, -1, -1},
                      down ? std::min(heldForMs, kHoldTimeMs) : 0});
  }
  wakeup_.notify();
}

void WinInput::setTouch(int32_t screen, int32_t x, int32_t y, bool pressed) {
  if (screen < 0 || screen > 1) return;
  {
    std::lock_guard<std::mutex> guard(lock_);
    TouchState& touch = touches_[static_cast<size_t>(screen)];
    if (pressed && touch.downs.size() < kMaxPendingTouches) touch.downs.push_back({x, y});
    touch.currentX = x;
    touch.currentY = y;
    touch.pressed = pressed;
  }
  wakeup_.notify();
}

void WinInput::setInputLines(uint32_t mask) {
  std::lock_guard<std::mutex> guard(lock_);
  inputLines_ = mask;
}

void WinInput::reset() {
  std::lock_guard<std::mutex> guard(lock_);
  queue_.clear();
  touches_ = {};
  // A press whose release was just thrown away would otherwise be reported as held in the next
  // run and swallow every press until some release came.
  holdState_ = 0;
  heldCode_ = 0;
  holdStart_ = 0;
}

size_t WinInput::queuedCount() {
  std::lock_guard<std::mutex> guard(lock_);
  return queue_.size();
}

std::optional<InputEvent> WinInput::nextTouch(int32_t screen, uint32_t tick) {
  TouchState& touch = touches_[static_cast<size_t>(screen)];
  if (!touch.downs.empty()) {
    // A button-down starts a touch whether or not the button is still down: the release of a
    // quick click may have come in the same pass.
    const Point down = touch.downs.front();
    touch.downs.pop_front();
    touch.reportedX = down.x;
    touch.reportedY = down.y;
    touch.firstTick = tick;
    touch.repeatTick = 0;
    return InputEvent{kTouchCode, EventKind::kTouched, 1, screen, down.x, down.y};
  }
  touch.reportedX = touch.currentX;
  touch.reportedY = touch.currentY;
  if (!touch.pressed) {
    if (touch.firstTick != 0) {
      touch.firstTick = 0;
      touch.repeatTick = 0;
    }
    return std::nullopt;
  }
  bool due = false;
  if (touch.firstTick == 0) {
    due = true;
  } else if (touch.repeatDelay != 0 &&
             platform::elapsedMs(tick, touch.firstTick) > touch.repeatDelay) {
    touch.repeatTick = tick;
    due = true;
  }
  if (!due) return std::nullopt;
  touch.firstTick = tick;
  const EventKind kind = touch.repeatTick != 0 ? EventKind::kStillTouched : EventKind::kTouched;
  return InputEvent{kTouchCode, kind, 1, screen, touch.reportedX, touch.reportedY};
}

std::optional<InputEvent> WinInput::nextEvent() {
  const uint32_t tick = now();
  std::lock_guard<std::mutex> guard(lock_);
  for (int32_t screen = 0; screen < 2; ++screen) {
    if (auto event = nextTouch(screen, tick)) return event;
  }
  while (true) {
    if (queue_.empty()) {
      if (holdState_ == 1 && platform::elapsedMs(tick, holdStart_) > kHoldTimeMs) {
        holdState_ = 2;
        return InputEvent{heldCode_, EventKind::kHeld, 1, -1, -1, -1};
      }
      return std::nullopt;
    }
    InputEvent event = queue_.front().event;
    const uint32_t heldForMs = queue_.front().heldForMs;
    queue_.pop_front();
    if (isRelease(event.kind)) {
      if (holdState_ == 0) continue;  // a release without its press
      if (holdState_ == 2) event.kind = EventKind::kReleasedAfterHold;
      holdState_ = 0;
      heldCode_ = 0;
      holdStart_ = 0;
      return event;
    }
    if (isTurn(event.kind)) {
      if (holdState_ != 0) continue;  // turns while a press is pending are discarded
      return event;
    }
    if (isPress(event.kind)) {
      if (holdState_ != 0) continue;  // only one press is tracked at a time
      holdState_ = 1;
      heldCode_ = event.code;
      holdStart_ = tick - heldForMs;  // wraps as the tick does
      return event;
    }
    return event;
  }
}

}  // namespace qelm
