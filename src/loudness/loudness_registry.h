#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "loudness/loudness_settings.h"

namespace qelm {

class LoudnessMonitor;

/// Every loudness monitor of the process: the panel-wide session commands, the active-session
/// count, the hand-over of changed settings and the uniqueness of session names. The engine
/// uses the one `loudnessRegistry`; tests make their own. Engine thread only.
class LoudnessRegistry final {
 public:
  /// Adds `monitor`, which takes the current settings.
  void add(LoudnessMonitor& monitor);
  /// Removes `monitor` (it is being destroyed).
  void remove(LoudnessMonitor& monitor);
  /// Whether a registered monitor other than `except` uses session name `name`.
  bool nameInUse(const std::string& name, const LoudnessMonitor* except) const;
  /// The monitors in registration order.
  const std::vector<LoudnessMonitor*>& monitors() const { return monitors_; }
  /// Counts a change of a session's state or name (monitors call this).
  void noteSessionChange() { ++sessionChanges_; }
  /// Changes of the monitors, their sessions' states and names so far: equal counts mean the
  /// sessions are as they were.
  uint64_t sessionChanges() const { return sessionChanges_; }

  /// The settings every monitor has.
  const LoudnessSettings& settings() const { return settings_; }
  /// Gives `settings` to every monitor and to those registered later.
  void setSettings(const LoudnessSettings& settings);

  /// Number of sessions that are not stopped.
  int32_t activeSessionCount() const;
  /// Starts every session.
  void startAll();
  /// Stops every session.
  void stopAll();
  /// Stops every session with a restart once its report is written.
  void restartAll();
  /// Runs every pending report job to completion, so that reports of running sessions are
  /// written before the engine ends.
  void finishPendingReports();

 private:
  std::vector<LoudnessMonitor*> monitors_;
  LoudnessSettings settings_;
  uint64_t sessionChanges_ = 0;
};

/// One line per monitor of `registry`: `loudness "NAME" integrated=X range=Y`, X and Y in LU
/// with one decimal or "--" without a value; integrated gated as the session's mode says.
std::string loudnessSummaryText(const LoudnessRegistry& registry);

/// The process-wide registry that the engine's monitors join.
LoudnessRegistry& loudnessRegistry();

}  // namespace qelm
