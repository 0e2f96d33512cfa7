#include "loudness/loudness_settings.h"

#include <algorithm>
#include <cmath>

namespace qelm {

ModeValues modeValues(const LoudnessSettings& settings) {
  ModeValues m;
  switch (settings.graphMode) {
    case GraphMode::kEbu18:
      m.rangeIndex = 1;
      [[fallthrough]];
    case GraphMode::kEbu9:
      m.target = -23.0f;
      m.absoluteUnits = "LUFS";
      break;
    case GraphMode::kAtsc24:
      m.target = -24.0f;
      m.absoluteUnits = "LKFS";
      m.rangeIndex = 1;
      break;
    case GraphMode::kCustom:
    default:
      m.target = settings.customTarget;
      m.absoluteUnits = settings.customLufs ? "LUFS" : "LKFS";
      m.periodSeconds =
          std::isfinite(settings.customPeriod)
              ? std::clamp(static_cast<int32_t>(std::lround(settings.customPeriod)), 1, 60)
              : 3;
      m.rangeIndex = settings.customRange;
      m.relative = settings.customRelative;
      m.gating = settings.customGating;
      m.relativeGateLu = settings.customGate10 ? 10 : 8;
      break;
  }
  return m;
}

const char* graphModeName(GraphMode mode) {
  switch (mode) {
    case GraphMode::kEbu9:
      return "EBU +9";
    case GraphMode::kEbu18:
      return "EBU +18";
    case GraphMode::kAtsc24:
      return "ATSC -24";
    case GraphMode::kCustom:
      return "CUSTOM";
  }
  return "";
}

}  // namespace qelm
