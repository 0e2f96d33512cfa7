#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "core/global_codes.h"
#include "globals/global_target.h"
#include "globals/loudness_sessions.h"
#include "model/device.h"
#include "model/model.h"
#include "model/value.h"
#include "panel/panel_settings.h"

namespace qelm {

class BootEnv;
class InputBase;
class PanelScreens;
class SettingsStore;

namespace platform {
class Clock;
}

/// The value of the setting `parameter` as `bootEnv` keeps it: its default when absent or
/// unreadable.
Value storedSettingValue(const Parameter& parameter, const BootEnv& bootEnv);
/// The text the setting `parameter` is kept as for `value` (empty: the entry is removed).
std::string storedSettingText(const Parameter& parameter, const Value& value);

/// File whose first line "Kernel Build" shows.
inline constexpr const char* kBuildDatePath = "/etc/build-date";

/// Who the settings belong to: an engine run, which restarts when they ask for it, or nobody
/// (detached settings keep a needed restart pending and never say "Restarting").
enum class SettingsOwner : int32_t { kEngineRun = 0, kDetached = 1 };

/// The panel's own settings: the model "globals", the device "This Control Panel", one
/// `GlobalTarget` per setting, and the handlers that read each setting (from the boot
/// environment, the clock, the loudness sessions or fixed facts of this edition) and carry out
/// each write (persist, apply, act). Changes are saved, and a restart requested, at `commit`.
/// One per engine run; engine thread only.
class GlobalSettings final : public PanelSettings, public TargetResolver {
 public:
  /// Builds the model with a target per setting, applies a time zone stored under "tzname",
  /// builds the device with the pages `store` enables and binds its items to the targets.
  /// `bootEnv`, `store` and `clock` must outlive the settings; `buildDatePath` is read for
  /// "Kernel Build"; `owner` says whether `commit` may ask for a restart.
  GlobalSettings(BootEnv& bootEnv, const SettingsStore& store, platform::Clock& clock,
                 std::string buildDatePath = kBuildDatePath,
                 SettingsOwner owner = SettingsOwner::kEngineRun);
  ~GlobalSettings() override;

  GlobalSettings(const GlobalSettings&) = delete;
  GlobalSettings& operator=(const GlobalSettings&) = delete;

  /// Where "Saving changes" and "Restarting" are shown and what is repainted after a theme
  /// change; null (the default) until the displays exist.
  void setScreens(PanelScreens* screens) { screens_ = screens; }
  /// Told when a knob setting (codes 17 to 21) is written; null: nobody.
  void setKnobInput(InputBase* input) { knobInput_ = input; }
  /// The loudness monitors the session settings and commands reach; null: none.
  void setLoudnessSessions(LoudnessSessions* sessions);

  /// The model "globals".
  Model& model() { return *model_; }
  /// The device "This Control Panel", to be attached to the device list.
  Device& device() { return *device_; }

  /// The target of `parameter`'s code, created on first request. Throws the text "Requested
  /// global code for non-global parameter" for a parameter that is not Global.
  GlobalTarget& registerGlobal(Parameter& parameter);
  /// The target of `code`; throws the text "No target for global setting with code %d" when
  /// there is none.
  GlobalTarget& targetFor(int32_t code);
  /// Reads the setting of `parameter`; throws the text "No get-handler for global setting with
  /// code %d" for a code that cannot be read.
  Value getGlobal(const Parameter& parameter);
  /// Writes `value` to the setting of `parameter` and carries out what the code calls for.
  void setGlobal(const Parameter& parameter, const Value& value);

  using PanelSettings::globalTarget;
  /// The target of `code`, or null when there is none.
  Target* globalTarget(int32_t code) override;
  /// Saves the boot environment when a setting changed ("Saving changes"), then requests a
  /// restart when a setting needs one ("Restarting"; see `restartRequested`).
  void commit() override;
  /// Whether a commit asked the engine run to restart (its exit code 1); stays set.
  bool restartRequested() const { return restartRequested_; }
  /// Makes the settings that may not change while measuring read-only while a loudness session
  /// is active, editable otherwise.
  void refreshLocks() override;
  /// Refreshes "Current Date" and "Current Time" from the local clock, at most every 100 ms of
  /// the caller's clock unless a time zone change forces it.
  void refreshClock() override;

  /// No card targets: the settings device has none.
  Target* cardTarget(const CardAddress&, Parameter&) override { return nullptr; }
  /// The setting's target (see `registerGlobal`).
  Target* panelTarget(Parameter& parameter) override { return &registerGlobal(parameter); }

  /// Current "Color Theme" data value: 0 "Bright", 1 "Dim".
  int32_t colorTheme();
  /// Fills the process-wide palette for the current "Color Theme": light for 0, dark otherwise.
  void fillPaletteForTheme();
  /// The engine's last act: stops every loudness session and finishes pending report jobs.
  void finishForShutdown();

 private:
  // What a written setting still needs once its action ran.
  enum class AfterAction : int32_t { kNothing = 0, kStore = 1, kStoreAndApplyLoudness = 2 };

  AfterAction runAction(GlobalCode code, const Value& value);
  void storeValue(const Parameter& parameter, GlobalCode code, const Value& value);
  void applyLoudnessSettings(GlobalCode code, bool asked);
  Parameter& parameterFor(GlobalCode code);
  Value storedValue(const Parameter& parameter) const;
  Value kernelBuild() const;
  void copyKeys(std::span<const GlobalCode> codes, bool toPresets);
  void resetToDefaults(std::span<const GlobalCode> codes);
  void coupleVuLevels(GlobalCode changed);
  void coupleTimecodes(GlobalCode changed);

  BootEnv& bootEnv_;
  const SettingsStore& store_;
  platform::Clock& clock_;
  std::string buildDatePath_;
  SettingsOwner owner_;
  PanelScreens* screens_ = nullptr;
  InputBase* knobInput_ = nullptr;
  NoLoudnessSessions noSessions_;
  LoudnessSessions* sessions_ = &noSessions_;

  // Declared so that the device's items go first, then the targets, then the parameters they
  // refer to.
  std::unique_ptr<Model> model_;
  std::map<int32_t, std::unique_ptr<GlobalTarget>> targets_;
  std::unique_ptr<Device> device_;

  bool saveNeeded_ = false;
  bool saveFailureLogged_ = false;  // until a save succeeds, a failed retry is not logged again
  bool restartNeeded_ = false;
  bool restartRequested_ = false;
  Value firmwareAction_ = Value::ofInt(0);
  std::optional<uint32_t> lastClockRefresh_;
  bool clockRefreshForced_ = false;
  // The theme as last read; empty until read and after it was set.
  std::optional<int32_t> theme_;
  std::string currentDate_;
  std::string currentTime_;
};

}  // namespace qelm
