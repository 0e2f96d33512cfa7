#include "loudness/k_weighting.h"

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

double KWeightingFilter::addSquares(const float* samples, size_t count, double sum) {
  // Locals, so the compiler keeps the whole state in registers through the loop.
  const BiquadCoefficients s = k_.shelf;
  const BiquadCoefficients h = k_.highPass;
  double s1 = shelf1_, s2 = shelf2_, h1 = highPass1_, h2 = highPass2_;
  for (size_t i = 0; i < count; ++i) {
    double x = samples[i];
    double y = s.b0 * x + s1;
    s1 = s.b1 * x - s.a1 * y + s2;
    s2 = s.b2 * x - s.a2 * y;
    double z = h.b0 * y + h1;
    h1 = h.b1 * y - h.a1 * z + h2;
    h2 = h.b2 * y - h.a2 * z;
    sum += z * z;
  }
  shelf1_ = s1;
  shelf2_ = s2;
  highPass1_ = h1;
  highPass2_ = h2;
  return sum;
}

void KWeightingFilter::flushTinyState() {
  shelf1_ = flushed(shelf1_);
  shelf2_ = flushed(shelf2_);
  highPass1_ = flushed(highPass1_);
  highPass2_ = flushed(highPass2_);
}

void KWeightingFilter::reset() {
  shelf1_ = shelf2_ = highPass1_ = highPass2_ = 0;
}

}  // namespace qelm::audio
