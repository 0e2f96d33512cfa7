#include "audio/k_weighting.h"

#include <cmath>
#include <complex>
#include <numbers>

namespace qelm::audio {

namespace {

// The analog prototypes that reproduce the published 48 kHz coefficients to their last digit:
// centre frequency (Hz), gain (dB) and quality of the shelf; corner and quality of the high-pass.
constexpr double kShelfFrequency = 1681.974450955533;
constexpr double kShelfGainDb = 3.999843853973347;
constexpr double kShelfQ = 0.7071752369554196;
// Exponent that sets the shelf's mid-band gain relative to its high-frequency gain.
constexpr double kShelfBandExponent = 0.4996667741545416;
constexpr double kHighPassFrequency = 38.13547087602444;
constexpr double kHighPassQ = 0.5003270373238773;
// The rate of the published coefficients.
constexpr double kReferenceRate = 48000;

constexpr double kFlushBelow = 1e-30;

double flushed(double value) {
  return std::fabs(value) < kFlushBelow ? 0.0 : value;
}

}  // namespace

KWeightingCoefficients kWeightingCoefficients(double sampleRate) {
  KWeightingCoefficients c;

  double k = std::tan(std::numbers::pi * kShelfFrequency / sampleRate);
  double vh = std::pow(10.0, kShelfGainDb / 20.0);
  double vb = std::pow(vh, kShelfBandExponent);
  double a0 = 1.0 + k / kShelfQ + k * k;
  c.shelf.b0 = (vh + vb * k / kShelfQ + k * k) / a0;
  c.shelf.b1 = 2.0 * (k * k - vh) / a0;
  c.shelf.b2 = (vh - vb * k / kShelfQ + k * k) / a0;
  c.shelf.a1 = 2.0 * (k * k - 1.0) / a0;
  c.shelf.a2 = (1.0 - k / kShelfQ + k * k) / a0;

  // The published high-pass keeps its numerator at 1, -2, 1 rather than normalising it, which
  // leaves it a passband gain of +0.043 dB at 48 kHz, and the -0.691 dB loudness offset is
  // calibrated with that gain. Other rates keep the same gain, so a tone reads the same at
  // every rate (a plain 1, -2, 1 would read 96 kHz audio 0.02 dB lower).
  auto highPassA0 = [](double rate) {
    double kk = std::tan(std::numbers::pi * kHighPassFrequency / rate);
    return 1.0 + kk / kHighPassQ + kk * kk;
  };
  k = std::tan(std::numbers::pi * kHighPassFrequency / sampleRate);
  a0 = highPassA0(sampleRate);
  double gain = highPassA0(kReferenceRate) / a0;
  c.highPass.b0 = gain;
  c.highPass.b1 = -2.0 * gain;
  c.highPass.b2 = gain;
  c.highPass.a1 = 2.0 * (k * k - 1.0) / a0;
  c.highPass.a2 = (1.0 - k / kHighPassQ + k * k) / a0;
  return c;
}

double kWeightingGainDb(const KWeightingCoefficients& coefficients, double frequency,
                        double sampleRate) {
  std::complex<double> z1 = std::polar(1.0, -2.0 * std::numbers::pi * frequency / sampleRate);
  std::complex<double> z2 = z1 * z1;
  auto response = [&](const BiquadCoefficients& s) {
    return (s.b0 + s.b1 * z1 + s.b2 * z2) / (1.0 + s.a1 * z1 + s.a2 * z2);
  };
  return 20.0 *
         std::log10(std::abs(response(coefficients.shelf) * response(coefficients.highPass)));
}

namespace {

// One sample through both stages; returns the K-weighted sample.
template <typename State>
inline double step(const KWeightingCoefficients& k, State& state, double x) {
  double y = k.shelf.b0 * x + state.shelf1;
  state.shelf1 = k.shelf.b1 * x - k.shelf.a1 * y + state.shelf2;
  state.shelf2 = k.shelf.b2 * x - k.shelf.a2 * y;
  double z = k.highPass.b0 * y + state.highPass1;
  state.highPass1 = k.highPass.b1 * y - k.highPass.a1 * z + state.highPass2;
  state.highPass2 = k.highPass.b2 * y - k.highPass.a2 * z;
  return z;
}

}  // namespace

double KWeightingFilter::addSquares(const float* samples, size_t count, double sum) {
  // Locals, so the compiler keeps the whole state in registers through the loop.
  const KWeightingCoefficients k = k_;
  State state = state_;
  for (size_t i = 0; i < count; ++i) {
    double z = step(k, state, samples[i]);
    sum += z * z;
  }
  state_ = state;
  return sum;
}

void KWeightingFilter::addSquaresPair(KWeightingFilter& first, const float* firstSamples,
                                      double& firstSum, KWeightingFilter& second,
                                      const float* secondSamples, double& secondSum, size_t count) {
  const KWeightingCoefficients k = first.k_;
  State a = first.state_;
  State b = second.state_;
  double sumA = firstSum;
  double sumB = secondSum;
  for (size_t i = 0; i < count; ++i) {
    double za = step(k, a, firstSamples[i]);
    double zb = step(k, b, secondSamples[i]);
    sumA += za * za;
    sumB += zb * zb;
  }
  first.state_ = a;
  second.state_ = b;
  firstSum = sumA;
  secondSum = sumB;
}

void KWeightingFilter::flushTinyState() {
  state_.shelf1 = flushed(state_.shelf1);
  state_.shelf2 = flushed(state_.shelf2);
  state_.highPass1 = flushed(state_.highPass1);
  state_.highPass2 = flushed(state_.highPass2);
}

void KWeightingFilter::reset() {
  state_ = State{};
}

}  // namespace qelm::audio
