#include "audio/audio_meter.h"

#include <ebur128.h>
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <numbers>
#include <random>
#include <vector>

namespace qelm::audio {
namespace {

using Samples = std::vector<float>;

double dB(double amplitude) {
  return 20.0 * std::log10(amplitude);
}

AudioMeter makeMeter(int sampleRate, int channels) {
  std::string error;
  std::optional<AudioMeter> meter = AudioMeter::create(sampleRate, channels, error);
  EXPECT_TRUE(meter) << error;
  return std::move(meter).value();
}

std::vector<AudioBlock> measure(AudioMeter meter, const Samples& samples, size_t chunk) {
  std::vector<AudioBlock> blocks;
  for (size_t at = 0; at < samples.size(); at += chunk) {
    size_t count = std::min(chunk, samples.size() - at);
    meter.feed(std::span<const float>(samples.data() + at, count), blocks);
  }
  return blocks;
}

// Integrated loudness from 100 ms blocks, gated as BS.1770 does: 400 ms windows of four
// consecutive blocks, absolute gate at -70 LUFS, relative gate 10 LU under the absolutely gated
// mean.
double integratedLoudness(const std::vector<AudioBlock>& blocks) {
  std::vector<double> windows;
  for (size_t i = 0; i + 4 <= blocks.size(); ++i) {
    double power = 0;
    for (size_t j = i; j < i + 4; ++j)
      power += weightedPower(blocks[j]);
    windows.push_back(power / 4);
  }
  auto gatedMean = [&](double gate) {
    double sum = 0;
    int count = 0;
    for (double power : windows) {
      if (loudnessOfPower(power) > gate) {
        sum += power;
        ++count;
      }
    }
    return count ? sum / count : 0.0;
  };
  double relativeGate = loudnessOfPower(gatedMean(-70.0)) - 10.0;
  return loudnessOfPower(gatedMean(relativeGate));
}

// A signal that walks every stage of the measurement: loud noise, silence (absolute gate),
// quiet noise (relative gate), then a tone per channel; channel 1 ends on a sine at a quarter
// of the rate with 45 degree phase, whose samples all lie 3 dB under its peaks. The noise falls
// off above 5 kHz as programme does: the true peak of white noise hangs on how an interpolator
// treats the band just under half the rate, where any short filter under-reads (ours and the
// reference's by different amounts, up to 1 dB).
Samples mixedSignal(int rate, int channels) {
  std::mt19937 random(1234);
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  const float pole = static_cast<float>(std::exp(-2.0 * std::numbers::pi * 5000.0 / rate));
  std::vector<std::array<float, 2>> lowPass(channels);
  auto noise = [&](int c) {
    std::array<float, 2>& y = lowPass[c];
    y[0] = (1 - pole) * uniform(random) + pole * y[0];
    y[1] = (1 - pole) * y[0] + pole * y[1];
    return 3 * y[1];
  };
  Samples out;
  auto section = [&](double seconds, auto&& sample) {
    size_t frames = static_cast<size_t>(seconds * rate);
    for (size_t n = 0; n < frames; ++n)
      for (int c = 0; c < channels; ++c)
        out.push_back(sample(n, c));
  };
  section(2.0, [&](size_t, int c) { return noise(c) * (0.3f - 0.03f * c); });
  section(1.0, [](size_t, int) { return 0.0f; });
  section(2.0, [&](size_t, int c) { return noise(c) * 0.004f; });
  section(1.5, [&](size_t n, int c) {
    if (c == 1) return static_cast<float>(0.8 * std::sin(std::numbers::pi * (n / 2.0 + 0.25)));
    double hz = 200.0 + 150.0 * c;
    return static_cast<float>(0.25 * std::sin(2.0 * std::numbers::pi * hz * n / rate));
  });
  return out;
}

Samples stereoSine(int rate, double hz, double amplitude, double seconds) {
  Samples out;
  for (size_t n = 0; n < static_cast<size_t>(seconds * rate); ++n) {
    float x = static_cast<float>(amplitude * std::sin(2.0 * std::numbers::pi * hz * n / rate));
    out.push_back(x);
    out.push_back(x);
  }
  return out;
}

struct Reference {
  double integrated = 0;
  std::vector<double> samplePeak;
  std::vector<double> truePeak;
};

Reference libebur128(int rate, int channels, const Samples& samples) {
  using State = std::unique_ptr<ebur128_state, void (*)(ebur128_state*)>;
  State state(ebur128_init(channels, rate, EBUR128_MODE_I | EBUR128_MODE_TRUE_PEAK),
              [](ebur128_state* s) { ebur128_destroy(&s); });
  EXPECT_EQ(ebur128_add_frames_float(state.get(), samples.data(), samples.size() / channels),
            EBUR128_SUCCESS);
  Reference reference;
  ebur128_loudness_global(state.get(), &reference.integrated);
  for (int c = 0; c < channels; ++c) {
    double peak = 0;
    ebur128_sample_peak(state.get(), c, &peak);
    reference.samplePeak.push_back(peak);
    ebur128_true_peak(state.get(), c, &peak);
    reference.truePeak.push_back(peak);
  }
  return reference;
}

TEST(KWeightingTest, DerivedCurveIsThePublishedOneAtEveryRate) {
  KWeightingCoefficients k = kWeightingCoefficients(48000);
  EXPECT_NEAR(k.shelf.b0, 1.53512485958697, 1e-12);
  EXPECT_NEAR(k.shelf.b1, -2.69169618940638, 1e-12);
  EXPECT_NEAR(k.shelf.b2, 1.19839281085285, 1e-12);
  EXPECT_NEAR(k.shelf.a1, -1.69065929318241, 1e-12);
  EXPECT_NEAR(k.shelf.a2, 0.73248077421585, 1e-12);
  EXPECT_NEAR(k.highPass.a1, -1.99004745483398, 1e-12);
  EXPECT_NEAR(k.highPass.a2, 0.99007225036621, 1e-12);
  EXPECT_EQ(k.highPass.b0, 1.0);
  EXPECT_EQ(k.highPass.b1, -2.0);
  EXPECT_EQ(k.highPass.b2, 1.0);

  // The -0.691 in the loudness formula is what cancels the curve's gain at 997 Hz.
  for (int rate : {44100, 48000, 96000, 192000}) {
    KWeightingCoefficients at = kWeightingCoefficients(rate);
    EXPECT_NEAR(kWeightingGainDb(at, 997, rate), 0.691, 0.01) << rate;
    for (double hz : {20.0, 100.0, 1000.0, 3000.0, 10000.0})
      EXPECT_NEAR(kWeightingGainDb(at, hz, rate), kWeightingGainDb(k, hz, 48000), 0.01)
          << rate << " Hz at " << hz;
  }
}

TEST(AudioMeterTest, RefusesFormatsItCannotMeasure) {
  std::string error;
  for (auto [rate, channels] : {std::pair{7999, 2},
                                {192001, 2},
                                {0, 2},
                                {-48000, 2},
                                {48000, 0},
                                {48000, 9},
                                {48000, -1}}) {
    EXPECT_FALSE(AudioMeter::create(rate, channels, error)) << rate << " " << channels;
    EXPECT_FALSE(error.empty());
  }
  for (auto [rate, channels] : {std::pair{8000, 1}, {192000, 8}, {11025, 3}}) {
    EXPECT_TRUE(AudioMeter::create(rate, channels, error)) << rate << " " << channels;
    EXPECT_TRUE(error.empty());
  }
}

TEST(AudioMeterTest, BlocksFollowTheSampleClock) {
  // 4799 frames make no block; the next frame completes it.
  AudioMeter meter = makeMeter(48000, 2);
  std::vector<AudioBlock> blocks;
  Samples almost(2 * 4799, 0.5f);
  meter.feed(almost, blocks);
  EXPECT_TRUE(blocks.empty());
  meter.feed(Samples{0.5f, 0.5f}, blocks);
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_EQ(blocks[0].frames, 4800);

  // At 11025 Hz the blocks of a second alternate between 1102 and 1103 frames and add up to it.
  std::vector<AudioBlock> odd = measure(makeMeter(11025, 1), Samples(11025 * 2, 0.0f), 11025);
  ASSERT_EQ(odd.size(), 20u);
  int frames = 0;
  for (size_t i = 0; i < 10; ++i) {
    EXPECT_EQ(odd[i].index, i);
    EXPECT_TRUE(odd[i].frames == 1102 || odd[i].frames == 1103);
    frames += odd[i].frames;
  }
  EXPECT_EQ(frames, 11025);
}

TEST(AudioMeterTest, Tech3341TonesReadTheirLevel) {
  // 1 kHz at -23 and -33 dBFS in both channels read -23.0 and -33.0 LUFS (+-0.1).
  for (int rate : {44100, 48000, 96000}) {
    for (double level : {-23.0, -33.0}) {
      std::vector<AudioBlock> blocks =
          measure(makeMeter(rate, 2), stereoSine(rate, 1000, std::pow(10, level / 20), 10), 4096);
      EXPECT_NEAR(integratedLoudness(blocks), level, 0.1) << rate;
      EXPECT_NEAR(windowLoudness(std::span(blocks).subspan(50, 4)), level, 0.1) << rate;
    }
  }
}

class AgainstLibebur128 : public testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(AgainstLibebur128, IntegratedLoudnessAndPeaksAgree) {
  auto [rate, channels] = GetParam();
  Samples samples = mixedSignal(rate, channels);
  std::vector<AudioBlock> blocks = measure(makeMeter(rate, channels), samples, 4800);
  Reference reference = libebur128(rate, channels, samples);

  double integrated = integratedLoudness(blocks);
  EXPECT_NEAR(integrated, reference.integrated, 0.1);
  RecordProperty("integrated_difference_lu", std::to_string(integrated - reference.integrated));

  for (int c = 0; c < channels; ++c) {
    float samplePeak = 0, truePeak = 0;
    for (const AudioBlock& block : blocks) {
      samplePeak = std::max(samplePeak, block.samplePeak[c]);
      truePeak = std::max(truePeak, block.truePeak[c]);
    }
    EXPECT_EQ(samplePeak, reference.samplePeak[c]) << "channel " << c;
    EXPECT_NEAR(dB(truePeak), dB(reference.truePeak[c]), 0.2) << "channel " << c;
    RecordProperty("true_peak_difference_db_" + std::to_string(c),
                   std::to_string(dB(truePeak) - dB(reference.truePeak[c])));
  }
  // Channel 1 peaks between samples, 3 dB over its samples.
  const AudioBlock& last = blocks.back();
  EXPECT_NEAR(dB(last.truePeak[1]) - dB(last.samplePeak[1]), 3.01, 0.1);
}

INSTANTIATE_TEST_SUITE_P(RatesAndLayouts, AgainstLibebur128,
                         testing::Combine(testing::Values(44100, 48000, 96000),
                                          testing::Values(2, 6)));

TEST(AudioMeterTest, ResultsDoNotDependOnHowTheStreamIsSplit) {
  Samples samples = mixedSignal(48000, 2);
  samples.resize(2 * 48000 * 2);  // the loud noise alone is enough here
  std::vector<AudioBlock> whole = measure(makeMeter(48000, 2), samples, samples.size());
  ASSERT_EQ(whole.size(), 20u);
  for (size_t chunk : {1, 7, 4800}) {
    std::vector<AudioBlock> split = measure(makeMeter(48000, 2), samples, chunk);
    ASSERT_EQ(split.size(), whole.size()) << chunk;
    for (size_t i = 0; i < whole.size(); ++i) {
      EXPECT_EQ(split[i].power, whole[i].power) << chunk << " block " << i;
      EXPECT_EQ(split[i].samplePeak, whole[i].samplePeak) << chunk << " block " << i;
      EXPECT_EQ(split[i].truePeak, whole[i].truePeak) << chunk << " block " << i;
    }
  }

  // Sixteen-bit input measures as its float equivalent.
  std::vector<int16_t> pcm;
  Samples asFloat;
  for (size_t i = 0; i < samples.size(); ++i) {
    pcm.push_back(static_cast<int16_t>(std::lround(samples[i] * 32767)));
    asFloat.push_back(pcm.back() / 32768.0f);
  }
  AudioMeter meter = makeMeter(48000, 2);
  std::vector<AudioBlock> fromPcm;
  meter.feed(pcm, fromPcm);
  std::vector<AudioBlock> fromFloat = measure(makeMeter(48000, 2), asFloat, 4800);
  ASSERT_EQ(fromPcm.size(), fromFloat.size());
  for (size_t i = 0; i < fromPcm.size(); ++i)
    EXPECT_EQ(fromPcm[i].power, fromFloat[i].power);

  // After `reset` the meter measures as a new one.
  meter.reset();
  std::vector<AudioBlock> again;
  meter.feed(asFloat, again);
  ASSERT_EQ(again.size(), fromFloat.size());
  EXPECT_EQ(again[0].index, 0u);
  EXPECT_EQ(again[3].power, fromFloat[3].power);
}

TEST(AudioMeterTest, WildSamplesDoNotPoisonTheStream) {
  Samples clean = stereoSine(48000, 1000, 0.1, 2);
  Samples wild = clean;
  wild[2 * 100] = std::numeric_limits<float>::quiet_NaN();
  wild[2 * 200 + 1] = std::numeric_limits<float>::infinity();
  wild[2 * 300] = -3e38f;
  std::vector<AudioBlock> expected = measure(makeMeter(48000, 2), clean, 4800);
  std::vector<AudioBlock> blocks = measure(makeMeter(48000, 2), wild, 4800);
  ASSERT_EQ(blocks.size(), expected.size());
  EXPECT_EQ(blocks[0].samplePeak[0], kSampleLimit);
  EXPECT_EQ(blocks[0].samplePeak[1], kSampleLimit);
  for (const AudioBlock& block : blocks)
    for (int c = 0; c < 2; ++c) {
      EXPECT_TRUE(std::isfinite(block.power[c]));
      EXPECT_TRUE(std::isfinite(block.truePeak[c]));
    }
  // The filters settle back within a second.
  for (size_t i = 10; i < blocks.size(); ++i)
    EXPECT_NEAR(loudnessOfPower(blocks[i].power[0]), loudnessOfPower(expected[i].power[0]), 0.001);
}

}  // namespace
}  // namespace qelm::audio
