#include "audio/true_peak.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

namespace qelm::audio {

namespace {

// Kaiser window shape. 5 balances the two errors of a 12-tap phase: sines up to 0.42 of the
// sample rate read at most 0.05 dB over their peak (beyond what the oversampling grid itself
// misses), while content near half the rate is damped about as much as libebur128's 49-tap
// interpolator damps it (programme-like noise reads within 0.03 dB of it).
constexpr double kKaiserBeta = 5.0;

// Modified Bessel function of the first kind, order 0, by its power series (converges fast for
// the arguments a Kaiser window needs).
double besselI0(double x) {
  double sum = 1.0;
  double term = 1.0;
  for (int k = 1; k < 50; ++k) {
    double half = x / (2.0 * k);
    term *= half * half;
    sum += term;
  }
  return sum;
}

// Four lanes of floats (GCC and Clang vector extension; SSE2 on x86-64, NEON on ARM). The phases
// are computed four output samples at a time, each lane doing exactly the operations of the
// scalar loop, so where a run is cut between the two never changes a result.
using Float4 = float __attribute__((vector_size(16)));

Float4 load4(const float* at) {
  Float4 v;
  std::memcpy(&v, at, sizeof v);
  return v;
}

Float4 abs4(Float4 v) {
  return v < 0 ? -v : v;
}

Float4 max4(Float4 a, Float4 b) {
  return a > b ? a : b;
}

template <int kPhases>
float peakOf(const std::array<std::array<float, TruePeakInterpolator::kTaps>,
                              TruePeakInterpolator::kMaxFactor - 1>& taps,
             const float* samples, size_t count) {
  constexpr int kTaps = TruePeakInterpolator::kTaps;
  Float4 peak4 = {};
  size_t n = 0;
  for (; n + 4 <= count; n += 4) {
    Float4 y[kPhases] = {};
    for (int j = 0; j < kTaps; ++j) {
      // One load serves every phase.
      Float4 x = load4(samples + n + j);
      for (int p = 0; p < kPhases; ++p)
        y[p] += taps[p][j] * x;
    }
    for (int p = 0; p < kPhases; ++p)
      peak4 = max4(peak4, abs4(y[p]));
  }
  float peak = std::max(std::max(peak4[0], peak4[1]), std::max(peak4[2], peak4[3]));
  for (; n < count; ++n) {
    for (int p = 0; p < kPhases; ++p) {
      float y = 0;
      for (int j = 0; j < kTaps; ++j)
        y += taps[p][j] * samples[n + j];
      peak = std::max(peak, std::fabs(y));
    }
  }
  return peak;
}

}  // namespace

int truePeakFactor(int sampleRate) {
  return sampleRate < 96000 ? 4 : 2;
}

TruePeakInterpolator::TruePeakInterpolator(int factor) {
  if (factor != 2) factor = 4;
  phases_ = factor - 1;
  constexpr double kHalfSpan = kTaps / 2.0;
  for (int p = 0; p < phases_; ++p) {
    // Phase p interpolates at fraction (p + 1) / factor past sample kTaps/2 - 1 of the window.
    double fraction = static_cast<double>(p + 1) / factor;
    double total = 0;
    std::array<double, kTaps> h{};
    for (int j = 0; j < kTaps; ++j) {
      double t = (j - (kTaps / 2 - 1)) - fraction;
      double sinc = std::sin(std::numbers::pi * t) / (std::numbers::pi * t);
      double r = t / kHalfSpan;
      double window = besselI0(kKaiserBeta * std::sqrt(1.0 - r * r)) / besselI0(kKaiserBeta);
      h[j] = sinc * window;
      total += h[j];
    }
    // Unity gain at DC, so a full-scale constant never reads above full scale.
    for (int j = 0; j < kTaps; ++j)
      taps_[p][j] = static_cast<float>(h[j] / total);
  }
}

float TruePeakInterpolator::peak(const float* samples, size_t count) const {
  return phases_ == 1 ? peakOf<1>(taps_, samples, count) : peakOf<3>(taps_, samples, count);
}

}  // namespace qelm::audio
