#pragma once

#include <cstddef>

namespace qelm::audio {

/// One biquad section, normalised so that a0 = 1: y = b0 x + b1 x[-1] + b2 x[-2] - a1 y[-1] -
/// a2 y[-2].
struct BiquadCoefficients {
  double b0 = 1;
  double b1 = 0;
  double b2 = 0;
  double a1 = 0;
  double a2 = 0;
};

/// The two K-weighting stages in the order they are applied: the high-shelf pre-filter that
/// models the head, then the RLB high-pass.
struct KWeightingCoefficients {
  BiquadCoefficients shelf;
  BiquadCoefficients highPass;
};

/// K-weighting for `sampleRate` Hz (> 0), by bilinear transform of the analog prototypes, so
/// that 48000 Hz gives the published digital coefficients and every other rate the same curve.
[[nodiscard]] KWeightingCoefficients kWeightingCoefficients(double sampleRate);

/// Gain in dB of `coefficients` at `frequency` Hz for `sampleRate` Hz.
[[nodiscard]] double kWeightingGainDb(const KWeightingCoefficients& coefficients, double frequency,
                                      double sampleRate);

/// One channel's K-weighting filter. The state is double: a single-precision state loses the
/// low end of the RLB high-pass, whose poles sit within 0.01 of the unit circle.
class KWeightingFilter {
 public:
  /// A filter at rest.
  explicit KWeightingFilter(const KWeightingCoefficients& coefficients) : k_(coefficients) {}

  /// Filters `count` samples of `samples` (linear, full scale 1.0) and returns `sum` plus the
  /// squares of the output, added one at a time in order: a run split anywhere gives the same
  /// total to the last bit.
  [[nodiscard]] double addSquares(const float* samples, size_t count, double sum);
  /// `addSquares` of two filters with the same coefficients over two runs of `count` samples,
  /// interleaved: each filter is one long chain of dependent operations, and two chains side by
  /// side take about the time of one. Results are those of two separate calls.
  static void addSquaresPair(KWeightingFilter& first, const float* firstSamples, double& firstSum,
                             KWeightingFilter& second, const float* secondSamples,
                             double& secondSum, size_t count);
  /// Sets state below 1e-30 to zero, so a long silence never runs on subnormal numbers (many
  /// times slower). Call it at fixed points of the stream to keep results independent of how the
  /// stream is split.
  void flushTinyState();
  /// Back to rest, as if only silence had come before.
  void reset();

 private:
  // Transposed direct form II state of each stage.
  struct State {
    double shelf1 = 0;
    double shelf2 = 0;
    double highPass1 = 0;
    double highPass2 = 0;
  };

  KWeightingCoefficients k_;
  State state_;
};

}  // namespace qelm::audio
