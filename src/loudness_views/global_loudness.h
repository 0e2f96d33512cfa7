#pragma once

#include "globals/loudness_sessions.h"
#include "loudness/loudness_settings.h"

namespace qelm {

class GlobalSettings;
class LoudnessRegistry;

/// Reads every loudness setting from the panel's global settings.
LoudnessSettings loudnessSettingsFrom(GlobalSettings& globals);

/// The loudness monitors of `registry` as the panel's own settings reach them: the panel-wide
/// session commands, and the loudness settings read again whenever the globals change. Must
/// not outlive `registry`. Engine thread only.
class RegistrySessions final : public LoudnessSessions {
 public:
  explicit RegistrySessions(LoudnessRegistry& registry) : registry_(registry) {}

  int32_t activeSessionCount() const override;
  void startAll() override;
  void stopAll() override;
  void restartAll() override;
  /// Reads the loudness settings from `settings` and hands them to every monitor.
  void applySettings(GlobalSettings& settings) override;
  void finishPendingReports() override;

 private:
  LoudnessRegistry& registry_;
};

}  // namespace qelm
