#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/input.h"

namespace qelm {

/// One scripted operator action, due `atMs` milliseconds after the run starts.
struct ScriptedEvent {
  uint32_t atMs = 0;
  InputEvent event;
};

/// A parsed input script, in time order; `error` names the first bad line.
struct InputScript {
  std::vector<ScriptedEvent> events;
  std::string error;
};

/// Reads a script of timed input events, one per line: "MS CODE KIND COUNT" for keys and knobs,
/// "MS 0 KIND 1 SCREEN X Y" for touches (kind 11 puts the button down at X, Y; kind 2 lifts it).
/// Blank lines and lines starting with "#" are skipped. A malformed line gives "line N: why".
InputScript parseInputScript(std::string_view text);

/// Most events one script may hold.
inline constexpr size_t kMaxScriptEvents = 100000;

}  // namespace qelm
