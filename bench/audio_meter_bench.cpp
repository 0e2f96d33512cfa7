// Analysis throughput of the audio meter (K-weighting, 100 ms channel powers, sample and true
// peaks) beside libebur128 doing the same work (integrated loudness with true peak) on the same
// buffer: 10 s of 48 kHz 5.1 noise fed in 100 ms pieces, as a live card feeds it. The counter
// "audio_s" is seconds of audio analysed per second of CPU.
#include <benchmark/benchmark.h>
#include <ebur128.h>

#include <cmath>
#include <memory>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "audio/audio_meter.h"

namespace {

constexpr int kRate = 48000;
constexpr int kChannels = 6;
constexpr int kSeconds = 10;
constexpr size_t kPieceFrames = kRate / 10;

const std::vector<float>& programme() {
  static const std::vector<float> samples = [] {
    std::mt19937 random(7);
    std::uniform_real_distribution<float> uniform(-0.25f, 0.25f);
    std::vector<float> out(static_cast<size_t>(kRate) * kSeconds * kChannels);
    for (size_t i = 0; i < out.size(); ++i) {
      double t = static_cast<double>(i / kChannels) / kRate;
      out[i] =
          uniform(random) + 0.2f * static_cast<float>(std::sin(2 * std::numbers::pi * 440 * t));
    }
    return out;
  }();
  return samples;
}

void reportThroughput(benchmark::State& state) {
  state.counters["audio_s"] = benchmark::Counter(static_cast<double>(state.iterations()) * kSeconds,
                                                 benchmark::Counter::kIsRate);
}

void BM_AudioMeter(benchmark::State& state) {
  const std::vector<float>& samples = programme();
  std::string error;
  std::optional<qelm::audio::AudioMeter> meter =
      qelm::audio::AudioMeter::create(kRate, kChannels, error);
  std::vector<qelm::audio::AudioBlock> blocks;
  blocks.reserve(kSeconds * 10);
  for (auto _ : state) {
    meter->reset();
    blocks.clear();
    for (size_t at = 0; at < samples.size(); at += kPieceFrames * kChannels)
      meter->feed(std::span<const float>(samples.data() + at, kPieceFrames * kChannels), blocks);
    benchmark::DoNotOptimize(blocks.data());
  }
  reportThroughput(state);
}
BENCHMARK(BM_AudioMeter)->Unit(benchmark::kMillisecond);

void BM_Libebur128(benchmark::State& state) {
  const std::vector<float>& samples = programme();
  for (auto _ : state) {
    std::unique_ptr<ebur128_state, void (*)(ebur128_state*)> meter(
        ebur128_init(kChannels, kRate, EBUR128_MODE_I | EBUR128_MODE_TRUE_PEAK),
        [](ebur128_state* s) { ebur128_destroy(&s); });
    for (size_t at = 0; at < samples.size(); at += kPieceFrames * kChannels)
      ebur128_add_frames_float(meter.get(), samples.data() + at, kPieceFrames);
    double peak = 0;
    ebur128_true_peak(meter.get(), 0, &peak);
    benchmark::DoNotOptimize(peak);
  }
  reportThroughput(state);
}
BENCHMARK(BM_Libebur128)->Unit(benchmark::kMillisecond);

}  // namespace
