#pragma once

#include <array>
#include <cstdint>
#include <optional>

namespace qelm {

/// What happened to a key, knob or screen. The numbers are those of the input event record.
enum class EventKind : int32_t {
  kNone = 0,
  kKeyPressed = 1,
  kKeyReleased = 2,
  kKnobPushed = 3,
  kKnobReleased = 4,
  kTurnedOneWay = 5,
  kTurnedOtherWay = 6,
  kHeld = 7,
  kReleasedAfterHold = 8,
  kTouched = 11,
  kStillTouched = 12,
};

/// The sixteen keys by their event code.
enum class PanelKey : int32_t {
  kDigit0 = 1,
  kDigit1 = 2,
  kDigit2 = 3,
  kDigit3 = 4,
  kDigit4 = 5,
  kDigit5 = 6,
  kDigit6 = 7,
  kDigit7 = 8,
  kDigit8 = 9,
  kDigit9 = 10,
  kContext = 11,  ///< ". -": decimal point, minus, colon or slash as the entry needs
  kBack = 12,     ///< back arrow: deletes the last character
  kSelectDevice = 13,
  kSelectSubmenu = 14,
  kCancel = 15,
  kEnter = 16,
};

/// The event code of `key`.
constexpr int32_t codeOf(PanelKey key) {
  return static_cast<int32_t>(key);
}

/// The key of digit `digit` (0..9).
constexpr PanelKey digitKey(int32_t digit) {
  return static_cast<PanelKey>(codeOf(PanelKey::kDigit0) + digit);
}

/// Key codes 1..16 are the keys, 18..25 the knobs 0..7, 0 a screen touch, 17 the final event.
inline constexpr int32_t kTouchCode = 0;
inline constexpr int32_t kFirstKeyCode = codeOf(PanelKey::kDigit0);
inline constexpr int32_t kLastKeyCode = codeOf(PanelKey::kEnter);
inline constexpr int32_t kFinalEventCode = 17;
inline constexpr int32_t kFirstKnobCode = 18;
inline constexpr int32_t kKnobCount = 8;

/// The two screens, as numbered in touch events.
enum class Screen : int32_t { kLeft = 0, kRight = 1 };

/// The number of `screen` (0 left, 1 right).
constexpr int32_t codeOf(Screen screen) {
  return static_cast<int32_t>(screen);
}

/// How a key's lamp shows. Only the low two bits travel in the lamp word; 1 is never sent.
enum class LampState : uint8_t { kOff = 0, kLit = 2, kBright = 3 };

/// Lamp state of each key, indexed by key code 1..16 (index 0 unused).
using LampStates = std::array<LampState, 17>;

/// Packs the lamp states two bits each, from the most significant pair down in the order of key
/// codes 16, 15, 14, 13, 12, 10, 7, 4, 1, 9, 6, 3, 11, 8, 5, 2: the word the engine publishes.
uint32_t packLampWord(const LampStates& lamps);

/// Decodes a lamp word back into states by key code (what the window does to light its keys).
LampStates unpackLampWord(uint32_t word);

/// One operator action as the engine receives it. Fields that do not apply are 0 (count) or -1.
struct InputEvent {
  int32_t code = 0;
  EventKind kind = EventKind::kNone;
  int32_t count = 0;    ///< steps of a turn (1); 1 for held and touch events; otherwise 0
  int32_t screen = -1;  ///< a `Screen` number for touches; otherwise -1
  int32_t x = -1;       ///< touch position in screen pixels; otherwise -1
  int32_t y = -1;

  friend bool operator==(const InputEvent&, const InputEvent&) = default;
};

/// The engine's input source: events from keys, knobs and screens, and the input-line mask.
class InputBase {
 public:
  virtual ~InputBase() = default;
  /// Removes and returns the next event, or nothing when none is due.
  virtual std::optional<InputEvent> nextEvent() = 0;
  /// One of the knob settings (jump intervals, multipliers, hold time) was written.
  virtual void knobSettingsChanged() = 0;
  /// Current state of the input lines: bit n - 1 for line n.
  virtual uint32_t inputLines() = 0;
};

}  // namespace qelm
