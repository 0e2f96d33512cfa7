#pragma once

#include <cstdint>

namespace qelm {

class GlobalSettings;

/// The loudness monitors as the panel's own settings reach them: the panel-wide session
/// commands, the active-session count and the hand-over of changed settings. Loudness
/// monitoring implements it; without it the panel has no sessions.
class LoudnessSessions {
 public:
  virtual ~LoudnessSessions() = default;

  /// Number of sessions that are not stopped.
  virtual int32_t activeSessionCount() const = 0;
  /// Starts every session ("Start All Loudness Sessions").
  virtual void startAll() = 0;
  /// Stops every session ("Stop All Loudness Sessions").
  virtual void stopAll() = 0;
  /// Restarts every session ("Restart All Loudness Sessions").
  virtual void restartAll() = 0;
  /// Every monitor takes the current global values from `settings` into its session settings.
  virtual void applySettings(GlobalSettings& settings) = 0;
  /// Runs every pending report job to completion, sets its session stopped and drops the job,
  /// so that reports of running sessions are written before the engine ends.
  virtual void finishPendingReports() = 0;
};

/// No loudness monitors at all: no sessions, nothing to start, stop or apply.
class NoLoudnessSessions final : public LoudnessSessions {
 public:
  int32_t activeSessionCount() const override { return 0; }
  void startAll() override {}
  void stopAll() override {}
  void restartAll() override {}
  void applySettings(GlobalSettings&) override {}
  void finishPendingReports() override {}
};

}  // namespace qelm
