#pragma once

#include <cstdint>
#include <string>

namespace qelm {

/// Automated session triggering ("lm_sbst_e").
enum class TriggerMode : int32_t {
  kDisabled = 0,
  kSignal = 1,
  kTimecode = 2,
};

/// Graph mode presets ("lm2_mode").
enum class GraphMode : int32_t {
  kEbu9 = 0,
  kEbu18 = 1,
  kAtsc24 = 2,
  kCustom = 3,
};

/// The graph mode's name as the settings list and the reports show it ("EBU +9", ...).
const char* graphModeName(GraphMode mode);

/// Dialnorm mode ("lm_dnm"): ignored, or checked against the target.
enum class DialnormMode : int32_t {
  kIgnore = 0,
  kCheck = 2,
};

/// High threshold at or above which high errors are off, in LU.
inline constexpr float kHighDisabledFrom = 40.05f;
/// Low threshold at or below which low errors are off, in LU.
inline constexpr float kLowDisabledFrom = -40.05f;
/// A stop trigger threshold at or below this never sees a channel above it, in dBFS.
inline constexpr float kStopThresholdOff = -100.05f;

/// The loudness views' own settings that a session file carries; the views side fills them in
/// from the panel's global settings (defaults are those settings' defaults).
struct SessionViewSettings {
  bool worstChoice = false;             ///< "lm_wcd"
  int32_t viewChoice = 0;               ///< "lm2_view"
  int32_t spanMs = 100;                 ///< "lm2_scale": ms of one graph column
  std::string spanName = "45 seconds";  ///< the span's name as the settings list shows it
};

/// What a loudness session takes from the panel's global settings; defaults are the settings'
/// own defaults.
struct LoudnessSettings {
  float peakThreshold = -1.0f;  ///< "lm_pt", dBFS
  float highThreshold = 8.0f;   ///< "lm_hst", LU above target; >= 40.05 = off
  float lowThreshold = -40.1f;  ///< "lm_lst", LU (negative); <= -40.05 = off
  TriggerMode trigger = TriggerMode::kDisabled;
  float startThreshold = -60.0f;  ///< "lm_sbst_start_th", dBFS
  float stopThreshold = -60.0f;   ///< "lm_sbst_stop_th", dBFS
  float stopDuration = 5.0f;      ///< "lm_sbst_stop_s", seconds
  std::string startTimecode;      ///< "lm_tcbst_start_tc"; empty = none
  std::string stopTimecode;       ///< "lm_tcbst_stop_tc"; empty = none
  DialnormMode dialnormMode = DialnormMode::kIgnore;
  float dialnormTolerance = 6.0f;         ///< "lm_dnt", dB
  bool allChannels = true;                ///< "lm_repch": all channels (true) or L and R only
  bool logEverySample = false;            ///< "log_every_sample"
  bool rolloverEnabled = false;           ///< "session_rollover_time_of_day_enable"
  std::string rolloverTime = "12:00:00";  ///< "session_rollover_time_of_day", "%H:%M:%S"
  bool autostart = false;                 ///< "lm_autostart_sessions"
  GraphMode graphMode = GraphMode::kEbu9;
  float customTarget = -24.0f;  ///< "lm_custom_ctlufs", LKFS
  bool customRelative = false;  ///< "lm_custom_abs_rel": relative display
  int32_t customRange = 0;      ///< "lm_custom_viewable_range" index
  float customPeriod = 3.0f;    ///< "lm_custom_map", seconds
  bool customGating = false;    ///< "lm_custom_integated_gating"
  bool customGate10 = false;    ///< "lm_custom_rel_gating_baseline": -10 LU (else -8 LU)
  bool customLufs = false;      ///< "lm_custom_use_lufs"
  SessionViewSettings views;    ///< saved with a session, not used by it

  /// Whether high loudness errors are checked.
  bool highEnabled() const { return highThreshold < kHighDisabledFrom; }
  /// Whether low loudness errors are checked.
  bool lowEnabled() const { return lowThreshold > kLowDisabledFrom; }
};

/// The values a graph mode fixes (its preset, or the custom settings).
struct ModeValues {
  float target = -23.0f;        ///< target loudness, LKFS
  std::string absoluteUnits;    ///< "LKFS" or "LUFS"
  int32_t periodSeconds = 3;    ///< moving-average period, 1..60 s
  int32_t rangeIndex = 0;       ///< viewable range index
  bool relative = true;         ///< relative display (offsets from the target)
  bool gating = true;           ///< relative gating of the integrated loudness
  int32_t relativeGateLu = 10;  ///< 10 or 8

  /// Offset subtracted for display: the target in relative display, else 0.
  float displayOffset() const { return relative ? target : 0.0f; }
  /// "LU" in relative display, else the absolute unit.
  std::string unitText() const { return relative ? "LU" : absoluteUnits; }
};

/// The values of the settings' graph mode.
ModeValues modeValues(const LoudnessSettings& settings);

}  // namespace qelm
