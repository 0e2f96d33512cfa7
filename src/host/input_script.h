#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/input.h"
#include "core/loudness_session.h"

namespace qelm {

/// One scripted operator action, due `atMs` milliseconds after the run starts: an input event,
/// (with a session path) the window's Save Session or Load Session, or (with input lines) a new
/// state of the input lines.
struct ScriptedEvent {
  uint32_t atMs = 0;
  InputEvent event;
  /// The session file of a save or load request; empty for an input event.
  std::string sessionPath;
  SessionOperation operation = SessionOperation::kLoad;
  /// The input lines from this moment on (bit n-1 = line n, 0..kMaxInputLineMask); none for
  /// other actions.
  std::optional<uint32_t> inputLines;
};

/// Highest input-line mask a script may set: all twelve lines high.
inline constexpr uint32_t kMaxInputLineMask = 0xFFF;

/// A parsed input script, in time order; `error` names the first bad line.
struct InputScript {
  std::vector<ScriptedEvent> events;
  std::string error;
};

/// Reads a script of timed input events, one per line: "MS CODE KIND COUNT" for keys and knobs,
/// "MS 0 KIND 1 SCREEN X Y" for touches (kind 11 puts the button down at X, Y; kind 2 lifts it),
/// "MS save PATH" and "MS load PATH" for the session requests (PATH runs to the line's end),
/// "MS lines MASK" for the input lines (MASK decimal or 0x hexadecimal, bit n-1 = line n).
/// Blank lines and lines starting with "#" are skipped. A malformed line gives "line N: why".
InputScript parseInputScript(std::string_view text);

/// Most events one script may hold.
inline constexpr size_t kMaxScriptEvents = 100000;

}  // namespace qelm
