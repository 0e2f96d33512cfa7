#pragma once

#include <cstdint>

namespace qelm {

/// Loudness in tenths of a LU (rings, histogram, files): no data at all.
inline constexpr int16_t kTenthsNoData = -2001;
/// Loudness in tenths: silence (power below `kSilencePower`).
inline constexpr int16_t kTenthsSilence = -2000;
/// Loudness in tenths: not computed yet.
inline constexpr int16_t kTenthsNotComputed = -2002;
/// Lowest and highest loudness a tenths value can take (-90.3 and +12.0 LU).
inline constexpr int16_t kTenthsMinimum = -903;
inline constexpr int16_t kTenthsMaximum = 120;
/// Level or loudness in dB as a real: no signal / no value.
inline constexpr float kNoSignalDb = -1000.0f;
/// Powers below this (one step of a 24-bit sample squared, about -69.9 LUFS) count as silence.
inline constexpr double kSilencePower = 1.1920929e-7;
/// A power at or below this is the history's "no data" marker, not a measurement.
inline constexpr double kNoDataPowerLimit = -0.5;
/// The power fed to the history for a missing payload.
inline constexpr double kNoDataPower = -1.0;
/// BS.1770 offset between K-weighted power and loudness, in dB.
inline constexpr double kLoudnessOffsetDb = -0.691;

/// log10(x) on a 0.01 grid, rounded toward minus infinity; 1 for x >= 10, -9.23 for x at or
/// below 5.888e-10 (including 0 and negatives).
double coarseLog10(double x);
/// 20 log10 of a meter or peak amplitude in dBFS on the coarse grid; -1000 for 0, negatives and
/// values that are not finite.
float amplitudeToDb(float amplitude);
/// 10 log10(power) - 0.691 on the coarse grid in LKFS; -1000 for powers that are not positive.
float powerToLoudness(double power);
/// A power as loudness in tenths: -2001 for the no-data marker (<= -0.5), -2000 for silence,
/// otherwise the nearest tenth of 10 log10(power) - 0.691, clamped to -903..120.
int16_t powerToTenths(double power);
/// Whether a tenths value is a measured loudness (not no-data, silence or not computed).
inline bool isLoudness(int16_t tenths) {
  return tenths > kTenthsSilence;
}

}  // namespace qelm
