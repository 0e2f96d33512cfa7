#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "core/global_codes.h"

namespace qelm {

class Device;
class Model;
class SettingsStore;

/// Number of the panel's own device in the device list.
inline constexpr int32_t kPanelDeviceNumber = 0;

/// Settings that become read-only while a loudness session is active.
inline constexpr std::array<GlobalCode, 20> kSessionLockedCodes = {
    GlobalCode::kPeakThreshold,
    GlobalCode::kTargetLoudness,
    GlobalCode::kHighErrorThreshold,
    GlobalCode::kLowErrorThreshold,
    GlobalCode::kMovingAveragePeriod,
    GlobalCode::kUseEbuRelativeGating,
    GlobalCode::kRelativeGatingThreshold,
    GlobalCode::kUnits,
    GlobalCode::kAutomatedTriggering,
    GlobalCode::kStartTriggerThreshold,
    GlobalCode::kStopTriggerThreshold,
    GlobalCode::kStopTriggerDuration,
    GlobalCode::kStartTriggerTimecode,
    GlobalCode::kStopTriggerTimecode,
    GlobalCode::kLoadAdminPresets,
    GlobalCode::kLoadFactoryPresets,
    GlobalCode::kDialnormMode,
    GlobalCode::kDialnormCheckTolerance,
    GlobalCode::kReportChannels,
    GlobalCode::kLogEverySample,
};

/// The model "globals": every panel setting as a Global parameter, in the panel's fixed order,
/// with its type, range, choices, default, key and flags.
std::unique_ptr<Model> buildGlobalsModel();

/// The device "This Control Panel" (number 0) over `model`, with the pages that `store` enables
/// ("SHOW_NETWORK_SETTINGS_PAGES", "SHOW_TIME_SETTINGS_PAGES"; the kernel and processor lines
/// only without "VADEDER_APPLICATION_VERSION"), numbered from 1 in creation order. Not realized.
std::unique_ptr<Device> buildPanelDevice(const Model& model, const SettingsStore& store);

}  // namespace qelm
