#include "loudness_views/global_loudness.h"

#include "core/global_codes.h"
#include "globals/global_settings.h"
#include "loudness/loudness_registry.h"
#include "loudness_views/loudness_views.h"

namespace qelm {

namespace {

class Reader {
 public:
  explicit Reader(GlobalSettings& globals) : globals_(globals) {}
  Value value(GlobalCode code) const {
    const Parameter* p = globals_.model().findByGlobalCode(codeOf(code));
    return p ? globals_.getGlobal(*p) : Value();
  }
  float real(GlobalCode code, float fallback) const {
    const Value v = value(code);
    return v.valid ? v.f : fallback;
  }
  int32_t integer(GlobalCode code, int32_t fallback) const {
    const Value v = value(code);
    return v.valid ? v.i : fallback;
  }
  bool flag(GlobalCode code) const { return integer(code, 0) != 0; }
  std::string text(GlobalCode code, std::string fallback) const {
    const Value v = value(code);
    return v.valid ? v.text : fallback;
  }

 private:
  GlobalSettings& globals_;
};

}  // namespace

LoudnessSettings loudnessSettingsFrom(GlobalSettings& globals) {
  const Reader r(globals);
  LoudnessSettings s;
  s.peakThreshold = r.real(GlobalCode::kPeakThreshold, s.peakThreshold);
  s.highThreshold = r.real(GlobalCode::kHighErrorThreshold, s.highThreshold);
  s.lowThreshold = r.real(GlobalCode::kLowErrorThreshold, s.lowThreshold);
  const int32_t trigger = r.integer(GlobalCode::kAutomatedTriggering, 0);
  s.trigger = trigger == 1   ? TriggerMode::kSignal
              : trigger == 2 ? TriggerMode::kTimecode
                             : TriggerMode::kDisabled;
  s.startThreshold = r.real(GlobalCode::kStartTriggerThreshold, s.startThreshold);
  s.stopThreshold = r.real(GlobalCode::kStopTriggerThreshold, s.stopThreshold);
  s.stopDuration = r.real(GlobalCode::kStopTriggerDuration, s.stopDuration);
  s.startTimecode = r.text(GlobalCode::kStartTriggerTimecode, "");
  s.stopTimecode = r.text(GlobalCode::kStopTriggerTimecode, "");
  s.dialnormMode =
      r.integer(GlobalCode::kDialnormMode, 0) == 2 ? DialnormMode::kCheck : DialnormMode::kIgnore;
  s.dialnormTolerance = r.real(GlobalCode::kDialnormCheckTolerance, s.dialnormTolerance);
  s.allChannels = r.integer(GlobalCode::kReportChannels, 1) != 0;
  s.logEverySample = r.flag(GlobalCode::kLogEverySample);
  s.rolloverEnabled = r.flag(GlobalCode::kEnableSessionRollover);
  s.rolloverTime = r.text(GlobalCode::kSessionRolloverTime, s.rolloverTime);
  s.autostart = r.flag(GlobalCode::kStartSessionsOnBootup);
  const int32_t mode = r.integer(GlobalCode::kCurrentGraphMode, 0);
  s.graphMode = mode >= 0 && mode <= 3 ? static_cast<GraphMode>(mode) : GraphMode::kEbu9;
  s.customTarget = r.real(GlobalCode::kTargetLoudness, s.customTarget);
  s.customRelative = r.flag(GlobalCode::kAbsoluteRelative);
  s.customRange = r.integer(GlobalCode::kViewableRange, 0);
  s.customPeriod = r.real(GlobalCode::kMovingAveragePeriod, s.customPeriod);
  s.customGating = r.flag(GlobalCode::kUseEbuRelativeGating);
  s.customGate10 = r.flag(GlobalCode::kRelativeGatingThreshold);
  s.customLufs = r.flag(GlobalCode::kUnits);
  const LoudnessViewSettings views = loudnessViewSettingsFrom(globals);
  s.views = {views.showMaxValue, views.viewChoice, views.spanMs, spanName(views.spanMs)};
  return s;
}

int32_t RegistrySessions::activeSessionCount() const {
  return registry_.activeSessionCount();
}

void RegistrySessions::startAll() {
  registry_.startAll();
}

void RegistrySessions::stopAll() {
  registry_.stopAll();
}

void RegistrySessions::restartAll() {
  registry_.restartAll();
}

void RegistrySessions::applySettings(GlobalSettings& settings) {
  registry_.setSettings(loudnessSettingsFrom(settings));
}

void RegistrySessions::finishPendingReports() {
  registry_.finishPendingReports();
}

}  // namespace qelm
