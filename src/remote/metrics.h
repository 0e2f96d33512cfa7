#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "core/loudness_session.h"
#include "core/plant_bridge.h"

namespace qelm::remote {

/// What one scrape of `/metrics` shows.
struct MetricsInput {
  std::shared_ptr<const PlantSnapshot> snapshot;  ///< null before the engine's first publication
  PassHistogram passes;
  size_t viewers = 0;  ///< browsers connected to the panel
};

/// The session states as `PlantMonitor::state` words them, indexed by `codeOf(SessionState)`.
/// Each is one series of the state set `qelm_loudness_session_state{state="..."}`.
inline constexpr std::array<std::string_view, 5> kSessionStateNames{"stopped", "running", "paused",
                                                                    "waiting", "busy"};

/// The name of `state` in `kSessionStateNames`.
constexpr std::string_view sessionStateName(SessionState state) {
  return kSessionStateNames[static_cast<size_t>(codeOf(state))];
}

/// Longest label value in bytes; longer names are cut between characters.
inline constexpr size_t kMostLabelValueBytes = 256;

/// The Prometheus text exposition (format 0.0.4) of `input`. Names of cards, monitors and error
/// kinds are configuration text and are escaped, made valid UTF-8 and cut to
/// `kMostLabelValueBytes`; a level with no value (or no finite one) has no sample.
std::string renderMetrics(const MetricsInput& input);

/// The Content-Type of `renderMetrics`' text.
inline constexpr std::string_view kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

}  // namespace qelm::remote
