#include "loudness/loudness_levels.h"

#include <algorithm>
#include <cmath>

namespace qelm {

namespace {

constexpr double kLogFloorInput = 5.888e-10;
constexpr double kLogFloor = -9.23;
// Guards the floor against log10 landing a hair below an exact grid point (log10(0.1)).
constexpr double kGridSlack = 1e-9;

}  // namespace

double coarseLog10(double x) {
  if (!(x > kLogFloorInput)) return kLogFloor;  // also NaN
  if (x >= 10.0) return 1.0;
  return std::floor(std::log10(x) * 100.0 + kGridSlack) / 100.0;
}

float amplitudeToDb(float amplitude) {
  if (!(amplitude > 0.0f) || !std::isfinite(amplitude)) return kNoSignalDb;
  return static_cast<float>(20.0 * coarseLog10(amplitude));
}

float powerToLoudness(double power) {
  if (!(power > 0.0) || !std::isfinite(power)) return kNoSignalDb;
  return static_cast<float>(10.0 * coarseLog10(power) + kLoudnessOffsetDb);
}

int16_t powerToTenths(double power) {
  if (!(power > kNoDataPowerLimit)) return kTenthsNoData;  // also NaN
  if (power < kSilencePower) return kTenthsSilence;
  if (std::isinf(power)) return kTenthsMaximum;
  const double tenths = std::round((10.0 * std::log10(power) + kLoudnessOffsetDb) * 10.0);
  return static_cast<int16_t>(std::clamp(tenths, double{kTenthsMinimum}, double{kTenthsMaximum}));
}

}  // namespace qelm
