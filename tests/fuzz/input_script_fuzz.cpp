// Feeds arbitrary bytes to the input script reader as a script file: either it names a bad line
// and plays nothing, or every event it keeps is one the host can play (time order, a known
// kind, an input-line mask within the twelve lines).
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "host/input_script.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const qelm::InputScript script = qelm::parseInputScript(text);
  if (!script.error.empty()) {
    if (!script.events.empty()) __builtin_trap();
    return 0;
  }
  if (script.events.size() > qelm::kMaxScriptEvents) __builtin_trap();
  uint32_t last = 0;
  for (const qelm::ScriptedEvent& event : script.events) {
    if (event.atMs < last) __builtin_trap();
    last = event.atMs;
    if (event.inputLines && *event.inputLines > qelm::kMaxInputLineMask) __builtin_trap();
    if (event.inputLines && !event.sessionPath.empty()) __builtin_trap();
    if (event.event.code == qelm::kFinalEventCode) __builtin_trap();
  }
  return 0;
}
