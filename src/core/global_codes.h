#pragma once

#include <cstdint>

namespace qelm {

/// The global setting codes: every setting of the panel's own device, and the engine's exit
/// action. Codes 1 and 2 are unused.
enum class GlobalCode : int32_t {
  kCurrentIpAddress = 3,
  kCurrentNetmask = 4,
  kCurrentGateway = 5,
  kEthernetAddress = 6,
  kObtainAddressViaDhcp = 7,
  kFixedIpAddress = 8,
  kNetmask = 9,
  kGateway = 10,
  kProcessorVersion = 11,
  kApplicationBuild = 12,
  kKernelBuild = 13,
  kBacklightLevel = 14,
  kColorTheme = 15,
  kQuickSwitch = 16,
  kMajorJumpInterval = 17,
  kMajorJumpMultiplier = 18,
  kMinorJumpInterval = 19,
  kMinorJumpMultiplier = 20,
  kKeyKnobHoldTime = 21,
  kLegacyPort6666Support = 22,
  kSelectAction = 23,
  kBeginAction = 24,
  kFirmwareStatus = 25,
  kNetworkTimeProtocol = 26,
  kNtpTimeServer = 27,
  kActiveSessions = 28,
  kChannelMeters = 29,
  kLevelScaling = 30,
  kPeakThreshold = 31,
  kVuYellow = 32,
  kVuRed = 33,
  kAutomatedTriggering = 34,
  kStartTriggerThreshold = 35,
  kStopTriggerThreshold = 36,
  kStopTriggerDuration = 37,
  kStopTriggerTimecode = 38,
  kStartTriggerTimecode = 39,
  kSaveAdminPresets = 40,
  kLoadAdminPresets = 41,
  kLoadFactoryPresets = 42,
  kBarDisplayResponse = 43,
  kMaxErrorDisplay = 44,
  kReportChannels = 45,
  kDialnormMode = 46,
  kDialnormCheckTolerance = 47,
  kCurrentDate = 48,
  kCurrentTime = 49,
  kTimeZone = 50,
  kCurrentLoudnessView = 51,
  kCurrentGraphScale = 52,
  kCurrentGraphMode = 53,
  kTargetLoudness = 54,
  kAbsoluteRelative = 55,
  kViewableRange = 56,
  kMovingAveragePeriod = 57,
  kUseEbuRelativeGating = 58,
  kRelativeGatingThreshold = 59,
  kUnits = 60,
  kHighErrorThreshold = 61,
  kLowErrorThreshold = 62,
  kEnableSessionRollover = 63,
  kSessionRolloverTime = 64,
  kStartAllSessions = 65,
  kStartSessionsOnBootup = 66,
  kStopAllSessions = 67,
  kRestartAllSessions = 68,
  kShutdown = 69,  ///< stop every session and finish pending reports; no parameter in the model
  kLogEverySample = 70,
};

/// The number of `code`.
constexpr int32_t codeOf(GlobalCode code) {
  return static_cast<int32_t>(code);
}

}  // namespace qelm
