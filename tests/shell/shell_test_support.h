#pragma once

// What the window's tests share: files written and read whole, and the panel events an input
// source has queued.

#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

#include "core/input.h"
#include "core/win_input.h"

namespace qelm::testing {

/// Writes `text` to `path`, making the folders on the way.
inline void writeFile(const std::string& path, const std::string& text) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

/// The whole of `path`; empty when it cannot be read.
inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

/// Takes every event `input` has queued, oldest first.
inline std::vector<InputEvent> drain(WinInput& input) {
  std::vector<InputEvent> events;
  while (const auto event = input.nextEvent())
    events.push_back(*event);
  return events;
}

/// An event of a key or knob, whose other fields do not apply.
inline InputEvent panelEvent(int32_t code, EventKind kind, int32_t count = 0) {
  return {code, kind, count, -1, -1, -1};
}

/// The press and release of each of `keys`, in order, as a click or a tap queues them.
inline std::vector<InputEvent> keyPairs(std::initializer_list<PanelKey> keys) {
  std::vector<InputEvent> events;
  for (const PanelKey key : keys) {
    events.push_back(panelEvent(codeOf(key), EventKind::kKeyPressed));
    events.push_back(panelEvent(codeOf(key), EventKind::kKeyReleased));
  }
  return events;
}

/// The event code of knob `knob` (0..7).
constexpr int32_t knobCode(int32_t knob) {
  return kFirstKnobCode + knob;
}

}  // namespace qelm::testing
