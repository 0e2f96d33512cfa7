#pragma once

#include <cstdint>

namespace qelm {

/// State of a loudness monitor's measuring session, as the panel and the reports see it.
enum class SessionState : int32_t {
  kStopped = 0,
  kRunning = 1,
  kPaused = 2,
  kWaiting = 3,  ///< armed, waiting for the start trigger
  kBusy = 4,     ///< a report or a session file is being written or read
};

/// What the window asks of the session on show: load it from, or save it to, a session file.
enum class SessionOperation : int32_t {
  kLoad = 0,
  kSave = 1,
};

/// The number of `state`.
constexpr int32_t codeOf(SessionState state) {
  return static_cast<int32_t>(state);
}

/// The number of `operation`.
constexpr int32_t codeOf(SessionOperation operation) {
  return static_cast<int32_t>(operation);
}

}  // namespace qelm
