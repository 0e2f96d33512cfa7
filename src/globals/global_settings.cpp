// [SECTION] Construction and targets
// [SECTION] Get handler
// [SECTION] Set handler: action, stored value, loudness settings
// [SECTION] Presets and coupled settings
// [SECTION] Clock, locks, commit, theme

#include "globals/global_settings.h"

#include <array>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <string_view>

#include "comm/legacy_port.h"
#include "core/boot_env.h"
#include "core/input.h"
#include "core/log.h"
#include "core/settings_keys.h"
#include "core/settings_store.h"
#include "display/palette.h"
#include "globals/globals_model.h"
#include "globals/time_zones.h"
#include "panel/screens.h"
#include "platform/clock.h"
#include "platform/stdio_file.h"
#include "text/text.h"

namespace qelm {

namespace {

constexpr uint32_t kClockRefreshMs = 100;
constexpr std::string_view kPresetPrefix = "x-";

// Settings an administrator saves as presets, in the order they are copied.
constexpr std::array<GlobalCode, 32> kAdminSavedCodes = {
    GlobalCode::kChannelMeters,
    GlobalCode::kLevelScaling,
    GlobalCode::kPeakThreshold,
    GlobalCode::kVuYellow,
    GlobalCode::kVuRed,
    GlobalCode::kTargetLoudness,
    GlobalCode::kAbsoluteRelative,
    GlobalCode::kViewableRange,
    GlobalCode::kMovingAveragePeriod,
    GlobalCode::kUseEbuRelativeGating,
    GlobalCode::kRelativeGatingThreshold,
    GlobalCode::kUnits,
    GlobalCode::kHighErrorThreshold,
    GlobalCode::kLowErrorThreshold,
    GlobalCode::kEnableSessionRollover,
    GlobalCode::kSessionRolloverTime,
    GlobalCode::kAutomatedTriggering,
    GlobalCode::kStartTriggerThreshold,
    GlobalCode::kStopTriggerThreshold,
    GlobalCode::kStopTriggerDuration,
    GlobalCode::kStartTriggerTimecode,
    GlobalCode::kStopTriggerTimecode,
    GlobalCode::kBarDisplayResponse,
    GlobalCode::kMaxErrorDisplay,
    GlobalCode::kReportChannels,
    GlobalCode::kLogEverySample,
    GlobalCode::kDialnormMode,
    GlobalCode::kDialnormCheckTolerance,
    GlobalCode::kCurrentLoudnessView,
    GlobalCode::kCurrentGraphScale,
    GlobalCode::kCurrentGraphMode,
    GlobalCode::kTimeZone,
};

// Loading presets leaves the trigger timecodes and "Log Every Sample" as they are; the rest is
// the saved list in its order.
constexpr bool keptOnPresetLoad(GlobalCode code) {
  return code == GlobalCode::kStartTriggerTimecode || code == GlobalCode::kStopTriggerTimecode ||
         code == GlobalCode::kLogEverySample;
}

constexpr auto kAdminLoadedCodes = [] {
  std::array<GlobalCode, kAdminSavedCodes.size() - 3> codes{};
  std::size_t n = 0;
  for (GlobalCode code : kAdminSavedCodes)
    if (!keptOnPresetLoad(code)) codes[n++] = code;
  return codes;
}();

// Factory presets leave "Automated Triggering" as it is.
constexpr std::array<GlobalCode, 31> kFactoryCodes = {
    GlobalCode::kChannelMeters,
    GlobalCode::kLevelScaling,
    GlobalCode::kPeakThreshold,
    GlobalCode::kVuYellow,
    GlobalCode::kVuRed,
    GlobalCode::kUseEbuRelativeGating,
    GlobalCode::kRelativeGatingThreshold,
    GlobalCode::kUnits,
    GlobalCode::kMovingAveragePeriod,
    GlobalCode::kTargetLoudness,
    GlobalCode::kAbsoluteRelative,
    GlobalCode::kViewableRange,
    GlobalCode::kHighErrorThreshold,
    GlobalCode::kLowErrorThreshold,
    GlobalCode::kEnableSessionRollover,
    GlobalCode::kSessionRolloverTime,
    GlobalCode::kStartTriggerThreshold,
    GlobalCode::kStopTriggerThreshold,
    GlobalCode::kStopTriggerDuration,
    GlobalCode::kStartTriggerTimecode,
    GlobalCode::kStopTriggerTimecode,
    GlobalCode::kBarDisplayResponse,
    GlobalCode::kMaxErrorDisplay,
    GlobalCode::kReportChannels,
    GlobalCode::kLogEverySample,
    GlobalCode::kDialnormMode,
    GlobalCode::kDialnormCheckTolerance,
    GlobalCode::kCurrentLoudnessView,
    GlobalCode::kCurrentGraphScale,
    GlobalCode::kCurrentGraphMode,
    GlobalCode::kTimeZone,
};

bool isKnobSetting(GlobalCode code) {
  return codeOf(code) >= codeOf(GlobalCode::kMajorJumpInterval) &&
         codeOf(code) <= codeOf(GlobalCode::kKeyKnobHoldTime);
}

bool isLoudnessSetting(GlobalCode code) {
  return codeOf(code) >= codeOf(GlobalCode::kChannelMeters) &&
         codeOf(code) <= codeOf(GlobalCode::kLogEverySample);
}

// A stored choice: decimal, or hexadecimal after "0x"; anything else does not read.
std::optional<int32_t> readStoredInteger(std::string_view text) {
  if (text.find("0x") != std::string_view::npos) {
    if (!text.starts_with("0x") || text.size() < 3 || text.size() > 10) return std::nullopt;
    uint32_t n = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data() + 2, end, n, 16);
    if (ec != std::errc() || ptr != end) return std::nullopt;
    return static_cast<int32_t>(n);
  }
  const auto n = readDecimal(text);
  if (!n || *n < std::numeric_limits<int32_t>::min() || *n > std::numeric_limits<int32_t>::max()) {
    return std::nullopt;
  }
  return static_cast<int32_t>(*n);
}

// The text a setting is persisted as: a choice as its decimal data value, anything else
// formatted without named values (so 40.1 stays "40.1", not "Disabled"); no value as empty text,
// which removes the entry.

// The zone takes effect for the whole process: the clock refresh, session times and reports all
// use local time.
void applyTimeZone(const std::string& rule) {
  ::setenv("TZ", rule.c_str(), 1);
  ::tzset();
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Construction and targets
// ---------------------------------------------------------------------------------------------

GlobalSettings::GlobalSettings(BootEnv& bootEnv, const SettingsStore& store, platform::Clock& clock,
                               std::string buildDatePath, SettingsOwner owner)
    : bootEnv_(bootEnv),
      store_(store),
      clock_(clock),
      buildDatePath_(std::move(buildDatePath)),
      owner_(owner) {
  // The zone chosen in an earlier run applies before the clock is first read.
  const std::string storedZone = bootEnv_.get("tzname");
  if (timeZoneIndex(storedZone) != 0) applyTimeZone(storedZone);

  model_ = buildGlobalsModel();
  for (Parameter* parameter : model_->parameters())
    registerGlobal(*parameter);
  refreshClock();
  device_ = buildPanelDevice(*model_, store_);
  refreshClock();
  device_->realize(*this);
}

GlobalSettings::~GlobalSettings() = default;

void GlobalSettings::setLoudnessSessions(LoudnessSessions* sessions) {
  sessions_ = sessions != nullptr ? sessions : &noSessions_;
}

GlobalTarget& GlobalSettings::registerGlobal(Parameter& parameter) {
  const int32_t code = parameter.globalCode();
  auto it = targets_.find(code);
  if (it == targets_.end()) {
    it = targets_.emplace(code, std::make_unique<GlobalTarget>(parameter, *this)).first;
  }
  return *it->second;
}

GlobalTarget& GlobalSettings::targetFor(int32_t code) {
  const auto it = targets_.find(code);
  if (it == targets_.end()) {
    throw std::string(formattedText("No target for global setting with code %d", code));
  }
  return *it->second;
}

Target* GlobalSettings::globalTarget(int32_t code) {
  const auto it = targets_.find(code);
  return it == targets_.end() ? nullptr : it->second.get();
}

Parameter& GlobalSettings::parameterFor(GlobalCode code) {
  return targetFor(codeOf(code)).parameter();
}

// ---------------------------------------------------------------------------------------------
// Get handler
// ---------------------------------------------------------------------------------------------

Value GlobalSettings::getGlobal(const Parameter& parameter) {
  // Actions ("Go") always read as their one choice, so the panel can show and confirm them.
  if (parameter.isCommand()) return Value::ofInt(parameter.choices().at(0)->value());
  if (!parameter.key().empty()) return storedValue(parameter);

  const int32_t code = parameter.globalCode();
  switch (static_cast<GlobalCode>(code)) {
    case GlobalCode::kCurrentIpAddress:
    case GlobalCode::kCurrentNetmask:
    case GlobalCode::kCurrentGateway:
    case GlobalCode::kEthernetAddress:
      return Value();  // the desktop has no panel network interface to report
    case GlobalCode::kObtainAddressViaDhcp:
      return Value::ofInt(lowerCaseCopy(bootEnv_.get("dhcp")) == "y" ? 1 : 0);
    case GlobalCode::kProcessorVersion:
      return Value::ofText("Simulated");
    case GlobalCode::kApplicationBuild:
      if (!store_.contains(settings_key::kApplicationVersion)) return Value();
      return Value::ofText(store_.getText(settings_key::kApplicationVersion));
    case GlobalCode::kKernelBuild:
      return kernelBuild();
    case GlobalCode::kSelectAction:
      return firmwareAction_;
    case GlobalCode::kFirmwareStatus:
      return Value::ofText("Simulated hardware");
    case GlobalCode::kActiveSessions:
      return Value::ofInt(sessions_->activeSessionCount());
    case GlobalCode::kCurrentDate:
      return Value::ofText(currentDate_);
    case GlobalCode::kCurrentTime:
      return Value::ofText(currentTime_);
    case GlobalCode::kTimeZone: {
      const char* zone = std::getenv("TZ");
      return Value::ofInt(timeZoneIndex(zone != nullptr ? zone : ""));
    }
    default:
      break;
  }
  throw std::string(formattedText("No get-handler for global setting with code %d", code));
}

Value storedSettingValue(const Parameter& parameter, const BootEnv& bootEnv) {
  const std::string text = bootEnv.get(parameter.key());
  if (parameter.type() == ValueType::kChoice) {
    if (const auto n = readStoredInteger(text)) return Value::ofInt(*n);
  } else if (auto value = parameter.parseValue(text)) {
    return *std::move(value);
  }
  return parameter.defaultValue();
}

std::string storedSettingText(const Parameter& parameter, const Value& value) {
  if (!value.valid) return {};
  if (parameter.type() == ValueType::kChoice) return integerText(value.i);
  return parameter.formatValue(value, false);
}

Value GlobalSettings::storedValue(const Parameter& parameter) const {
  return storedSettingValue(parameter, bootEnv_);
}

Value GlobalSettings::kernelBuild() const {
  const platform::File file(std::fopen(buildDatePath_.c_str(), "r"));
  if (!file) return Value();
  char line[20] = {};  // the first line, at most 19 characters of it
  if (std::fgets(line, sizeof line, file.get()) == nullptr) return Value();
  std::string text(line);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
    text.pop_back();
  return Value::ofText(std::move(text));
}

// ---------------------------------------------------------------------------------------------
// Set handler
// ---------------------------------------------------------------------------------------------

void GlobalSettings::setGlobal(const Parameter& parameter, const Value& value) {
  const auto code = static_cast<GlobalCode>(parameter.globalCode());
  const AfterAction after = runAction(code, value);
  if (after == AfterAction::kNothing) return;
  storeValue(parameter, code, value);
  applyLoudnessSettings(code, after == AfterAction::kStoreAndApplyLoudness);
}

// Actions and side effects that come before the value is stored; some settings are nothing
// but their action.
GlobalSettings::AfterAction GlobalSettings::runAction(GlobalCode code, const Value& value) {
  switch (code) {
    case GlobalCode::kObtainAddressViaDhcp:
      bootEnv_.set("dhcp", value.valid && value.i != 0 ? "y" : "");
      saveNeeded_ = true;
      restartNeeded_ = true;
      return AfterAction::kNothing;
    case GlobalCode::kFixedIpAddress:
    case GlobalCode::kNetmask:
    case GlobalCode::kGateway:
      restartNeeded_ = true;  // the address is taken up only at the next start
      return AfterAction::kStore;
    case GlobalCode::kBacklightLevel:
      return AfterAction::kStore;  // no backlight to drive on the desktop
    case GlobalCode::kColorTheme:
      theme_.reset();
      fillPalette(value.i == 0 ? ColorTheme::kLight : ColorTheme::kDark);
      if (screens_ != nullptr) screens_->repaintAll();
      return AfterAction::kStore;
    case GlobalCode::kLegacyPort6666Support:
      setLegacyPortEnabled(value.i != 0);
      return AfterAction::kStore;
    case GlobalCode::kSelectAction:
      firmwareAction_ = value;
      return AfterAction::kNothing;
    case GlobalCode::kBeginAction:
      return AfterAction::kNothing;  // no firmware hardware to upgrade
    case GlobalCode::kSaveAdminPresets:
      copyKeys(kAdminSavedCodes, true);
      return AfterAction::kStore;
    case GlobalCode::kLoadAdminPresets:
      copyKeys(kAdminLoadedCodes, false);
      return AfterAction::kStoreAndApplyLoudness;
    case GlobalCode::kLoadFactoryPresets:
      resetToDefaults(kFactoryCodes);
      return AfterAction::kStoreAndApplyLoudness;
    case GlobalCode::kCurrentDate: {
      // Shows the typed date until the next refresh; the system clock is left alone.
      const auto date = value.valid ? readDate(value.text) : std::nullopt;
      currentDate_ = date
                         ? formattedText("%02d/%02d/%02d", date->month, date->day, date->year % 100)
                         : std::string();
      return AfterAction::kNothing;
    }
    case GlobalCode::kCurrentTime: {
      const auto time = value.valid ? readTimeOfDay(value.text) : std::nullopt;
      currentTime_ =
          time ? formattedText("%02d:%02d:%02d", time->hours, time->minutes, time->seconds)
               : std::string();
      return AfterAction::kNothing;
    }
    case GlobalCode::kTimeZone: {
      // The first row cannot be chosen: it is what an unknown zone shows as.
      const auto zones = timeZoneTable();
      if (value.valid && value.i >= 1 && static_cast<std::size_t>(value.i) < zones.size()) {
        const std::string rule(zones[static_cast<std::size_t>(value.i)].rule);
        bootEnv_.set("tzname", rule);
        applyTimeZone(rule);
        saveNeeded_ = true;
        clockRefreshForced_ = true;
      }
      return AfterAction::kNothing;
    }
    default:
      return AfterAction::kStore;
  }
}

void GlobalSettings::storeValue(const Parameter& parameter, GlobalCode code, const Value& value) {
  if (!parameter.key().empty()) {
    bootEnv_.set(parameter.key(), storedSettingText(parameter, value));
    saveNeeded_ = true;
  }
  // Told after the value is stored, so that the input reads the new setting.
  if (isKnobSetting(code) && knobInput_ != nullptr) knobInput_->knobSettingsChanged();
}

// What a stored loudness setting does to the sessions: coupled settings follow it, the session
// commands run, and otherwise the monitors take the new settings (the presets and the few
// settings read only at a session's start only when their action `asked`).
void GlobalSettings::applyLoudnessSettings(GlobalCode code, bool asked) {
  if (!isLoudnessSetting(code)) return;
  bool apply = asked;
  switch (code) {
    case GlobalCode::kVuYellow:
    case GlobalCode::kVuRed:
      coupleVuLevels(code);
      apply = true;
      break;
    case GlobalCode::kStopTriggerTimecode:
    case GlobalCode::kStartTriggerTimecode:
      coupleTimecodes(code);
      apply = true;
      break;
    case GlobalCode::kStartAllSessions:
      sessions_->startAll();
      return;
    case GlobalCode::kStopAllSessions:
      sessions_->stopAll();
      return;
    case GlobalCode::kRestartAllSessions:
      sessions_->restartAll();
      return;
    case GlobalCode::kShutdown:
      sessions_->stopAll();
      sessions_->finishPendingReports();
      return;
    case GlobalCode::kSaveAdminPresets:
    case GlobalCode::kLoadAdminPresets:
    case GlobalCode::kLoadFactoryPresets:
    case GlobalCode::kCurrentDate:
    case GlobalCode::kCurrentTime:
    case GlobalCode::kTimeZone:
    case GlobalCode::kStartSessionsOnBootup:
      break;  // only when the action asked for it
    default:
      apply = true;
      break;
  }
  if (apply) sessions_->applySettings(*this);
}

void GlobalSettings::finishForShutdown() {
  const std::unique_ptr<Parameter> exit =
      Parameter::makeGlobal(codeOf(GlobalCode::kShutdown), std::string(), std::string());
  setGlobal(*exit, Value());
}

// ---------------------------------------------------------------------------------------------
// Presets and coupled settings
// ---------------------------------------------------------------------------------------------

void GlobalSettings::copyKeys(std::span<const GlobalCode> codes, bool toPresets) {
  for (const GlobalCode code : codes) {
    GlobalTarget& target = targetFor(codeOf(code));
    const std::string& key = target.parameter().key();
    if (key.empty()) continue;
    const std::string preset = std::string(kPresetPrefix) + key;
    if (toPresets) {
      bootEnv_.set(preset, bootEnv_.get(key));
    } else {
      bootEnv_.set(key, bootEnv_.get(preset));
      target.markChanged();
    }
  }
  // Saved presets and loaded settings must survive the run like any other change.
  saveNeeded_ = true;
}

void GlobalSettings::resetToDefaults(std::span<const GlobalCode> codes) {
  for (const GlobalCode code : codes) {
    GlobalTarget& target = targetFor(codeOf(code));
    if (target.parameter().key().empty()) continue;
    bootEnv_.set(target.parameter().key(), std::string_view());
    target.markChanged();
  }
  saveNeeded_ = true;
}

// Yellow never lies above red: the level just written pulls the other one along.
void GlobalSettings::coupleVuLevels(GlobalCode changed) {
  const Value yellow = getGlobal(parameterFor(GlobalCode::kVuYellow));
  const Value red = getGlobal(parameterFor(GlobalCode::kVuRed));
  if (changed == GlobalCode::kVuYellow) {
    if (yellow.valid && (!red.valid || red.f < yellow.f)) {
      targetFor(codeOf(GlobalCode::kVuRed)).setValue(yellow);
    }
  } else if (red.valid && (!yellow.valid || yellow.f > red.f)) {
    targetFor(codeOf(GlobalCode::kVuYellow)).setValue(red);
  }
}

// The start timecode never orders after the stop timecode (as texts, byte by byte). A cleared
// timecode pulls nothing along: copying "no value" back and forth would never end.
void GlobalSettings::coupleTimecodes(GlobalCode changed) {
  const Value start = getGlobal(parameterFor(GlobalCode::kStartTriggerTimecode));
  const Value stop = getGlobal(parameterFor(GlobalCode::kStopTriggerTimecode));
  if (changed == GlobalCode::kStopTriggerTimecode) {
    if (stop.valid && (!start.valid || start.text > stop.text)) {
      targetFor(codeOf(GlobalCode::kStartTriggerTimecode)).setValue(stop);
    }
  } else if (start.valid && (!stop.valid || stop.text < start.text)) {
    targetFor(codeOf(GlobalCode::kStopTriggerTimecode)).setValue(start);
  }
}

// ---------------------------------------------------------------------------------------------
// Clock, locks, commit, theme
// ---------------------------------------------------------------------------------------------

void GlobalSettings::refreshClock() {
  const uint32_t now = clock_.tick();
  if (!clockRefreshForced_ && lastClockRefresh_ &&
      platform::elapsedMs(now, *lastClockRefresh_) < kClockRefreshMs) {
    return;
  }
  clockRefreshForced_ = false;
  lastClockRefresh_ = now;

  const std::time_t seconds = std::time(nullptr);
  std::tm local{};
  if (localtime_r(&seconds, &local) == nullptr) return;
  char text[64];
  const auto update = [this, &local, &text](const char* format, std::string& current,
                                            GlobalCode code) {
    if (std::strftime(text, sizeof text, format, &local) == 0) return;
    if (current == text) return;
    current = text;
    if (Target* target = globalTarget(code)) target->markChanged();
  };
  update("%m/%d/%Y", currentDate_, GlobalCode::kCurrentDate);
  update("%H:%M:%S", currentTime_, GlobalCode::kCurrentTime);
}

void GlobalSettings::refreshLocks() {
  refreshClock();
  const Value active = getGlobal(parameterFor(GlobalCode::kActiveSessions));
  const bool locked = active.valid && active.i > 0;
  for (const GlobalCode code : kSessionLockedCodes) {
    if (Parameter* parameter = model_->findByGlobalCode(codeOf(code))) {
      parameter->setReadOnly(locked);
    }
  }
}

void GlobalSettings::commit() {
  if (saveNeeded_) {
    if (screens_ != nullptr) {
      screens_->showMessage("Saving changes");
      screens_->drawNow();
    }
    const bool saved = bootEnv_.save();
    if (screens_ != nullptr) {
      screens_->clearMessage();
      screens_->drawNow();
    }
    // A failed save stays pending, so the next commit tries again.
    if (saved) {
      saveNeeded_ = false;
      saveFailureLogged_ = false;
    } else if (!saveFailureLogged_) {
      saveFailureLogged_ = true;
      logMessage(kLogError, "WARNING: the panel settings could not be saved\n");
    }
  }
  if (restartNeeded_ && owner_ == SettingsOwner::kEngineRun) {
    if (screens_ != nullptr) {
      screens_->showMessage("Restarting");
      screens_->drawNow();
    }
    restartRequested_ = true;
    restartNeeded_ = false;
  }
}

int32_t GlobalSettings::colorTheme() {
  // Read every main-loop pass; the stored text is parsed again only after the theme was set.
  if (!theme_) theme_ = getGlobal(parameterFor(GlobalCode::kColorTheme)).i;
  return *theme_;
}

void GlobalSettings::fillPaletteForTheme() {
  fillPalette(colorTheme() == 0 ? ColorTheme::kLight : ColorTheme::kDark);
}

}  // namespace qelm
