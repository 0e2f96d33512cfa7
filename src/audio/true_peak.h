#pragma once

#include <array>
#include <cstddef>

namespace qelm::audio {

/// Oversampling factor for true peaks at `sampleRate` Hz: 4 below 96000 Hz, 2 from there up.
[[nodiscard]] int truePeakFactor(int sampleRate);

/// Polyphase interpolator that finds the largest magnitude between samples. The prototype is a
/// Kaiser-windowed sinc of 12 taps per phase (48 in all at 4x); its phase 0 is the sample itself,
/// so only the factor - 1 phases between samples are computed and the caller takes the sample
/// peak beside them. The interpolated points trail the newest sample by 6 samples.
class TruePeakInterpolator {
 public:
  /// Taps per phase.
  static constexpr int kTaps = 12;
  /// Samples of history that must precede the ones to look at.
  static constexpr int kHistory = kTaps - 1;
  /// Most oversampling supported.
  static constexpr int kMaxFactor = 4;

  /// An interpolator for `factor` (2 or 4; anything else is taken as 4).
  explicit TruePeakInterpolator(int factor);

  /// Largest magnitude of the points interpolated for `count` new samples at
  /// `samples[kHistory]` onwards, with `samples[0..kHistory)` the samples before them.
  [[nodiscard]] float peak(const float* samples, size_t count) const;

 private:
  int phases_ = 0;
  // Taps of each in-between phase, oldest sample first.
  std::array<std::array<float, kTaps>, kMaxFactor - 1> taps_{};
};

}  // namespace qelm::audio
