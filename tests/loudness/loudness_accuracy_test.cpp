// Integrated loudness and loudness range measured through the monitor: the EBU Tech 3341 and 3342
// test signals as per-channel powers, and programme-like audio measured by libebur128 as well.
#include <ebur128.h>

#include <vector>

#include "loudness_support.h"

namespace qelm::testing {
namespace {

struct Segment {
  double seconds;
  std::array<double, 6> powers;
};

std::array<double, 6> stereoSine(double dbfs) {
  return {sinePower(dbfs), sinePower(dbfs), 0, 0, 0, 0};
}

class AccuracyTest : public MonitorFixture {
 protected:
  LoudnessMonitor& runningMonitor() {
    LoudnessMonitor& monitor = addMonitor();
    makeCurrent(monitor);
    monitor.doAction("start");
    EXPECT_EQ(monitor.context().record().state, SessionState::kRunning);
    return monitor;
  }
  void play(const std::vector<Segment>& segments) {
    for (const Segment& segment : segments) {
      const auto payloads = static_cast<int>(std::lround(segment.seconds * 10));
      PayloadFields fields;
      fields.powers = segment.powers;
      for (int i = 0; i < payloads; ++i)
        feed(fields);
    }
  }
  static double lu(int16_t tenths) { return tenths / 10.0; }
};

TEST_F(AccuracyTest, Tech3341CasesOneToSixIntegrateWithinATenth) {
  const std::array<double, 6> fiveChannel = {sinePower(-28), sinePower(-28), sinePower(-24), 0,
                                             sinePower(-30), sinePower(-30)};
  const std::vector<std::vector<Segment>> cases = {
      {{20, stereoSine(-23)}},
      {{20, stereoSine(-33)}},
      {{10, stereoSine(-36)}, {60, stereoSine(-23)}, {10, stereoSine(-36)}},
      {{10, stereoSine(-72)},
       {10, stereoSine(-36)},
       {60, stereoSine(-23)},
       {10, stereoSine(-36)},
       {10, stereoSine(-72)}},
      {{20, stereoSine(-26)}, {20.1, stereoSine(-20)}, {20, stereoSine(-26)}},
      {{20, fiveChannel}},
  };
  const double expected[] = {-23.0, -33.0, -23.0, -23.0, -23.0, -23.0};
  for (size_t n = 0; n < cases.size(); ++n) {
    SCOPED_TRACE("case " + std::to_string(n + 1));
    LoudnessMonitor& monitor = runningMonitor();
    play(cases[n]);
    EXPECT_NEAR(lu(monitor.context().integratedTenths()), expected[n], 0.1 + 1e-9);
    RecordProperty("integrated_" + std::to_string(n + 1),
                   std::to_string(lu(monitor.context().integratedTenths())));
  }
}

TEST_F(AccuracyTest, Tech3342CasesOneToFourGiveTheRangeWithinOneLu) {
  const std::vector<std::vector<Segment>> cases = {
      {{20, stereoSine(-20)}, {20, stereoSine(-30)}},
      {{20, stereoSine(-20)}, {20, stereoSine(-15)}},
      {{20, stereoSine(-40)}, {20, stereoSine(-20)}},
      {{20, stereoSine(-50)},
       {20, stereoSine(-35)},
       {20, stereoSine(-20)},
       {20, stereoSine(-35)},
       {20, stereoSine(-50)}},
  };
  const double expected[] = {10, 5, 20, 15};
  for (size_t n = 0; n < cases.size(); ++n) {
    SCOPED_TRACE("case " + std::to_string(n + 1));
    LoudnessMonitor& monitor = runningMonitor();
    play(cases[n]);
    EXPECT_NEAR(lu(monitor.context().rangeTenths()), expected[n], 1.0);
    RecordProperty("range_" + std::to_string(n + 1),
                   std::to_string(lu(monitor.context().rangeTenths())));
  }
}

// ---- Cross-check with libebur128 ---------------------------------------------------------------

constexpr int kRate = 48000;
constexpr int kBlock = kRate / 10;

/// Programme-like audio: low-passed noise plus a few tones per channel, under an envelope.
struct Programme {
  int channels = 2;
  std::vector<std::vector<float>> audio;  // per channel

  /// Appends `seconds` with each channel at roughly `dbfs[c]` (-200 = silence).
  void append(double seconds, const std::vector<double>& dbfs, std::mt19937& random) {
    std::normal_distribution<double> noise(0.0, 1.0);
    const auto n = static_cast<size_t>(seconds * kRate);
    for (int c = 0; c < channels; ++c) {
      auto& out = audio[static_cast<size_t>(c)];
      const double gain =
          dbfs[static_cast<size_t>(c)] <= -200 ? 0.0 : std::pow(10.0, dbfs[c] / 20.0);
      double low = 0.0;
      const size_t start = out.size();
      for (size_t i = 0; i < n; ++i) {
        low = 0.9 * low + 0.1 * noise(random);
        const double t = static_cast<double>(start + i) / kRate;
        const double tone = 0.4 * std::sin(2 * M_PI * (220.0 + 110.0 * c) * t) +
                            0.2 * std::sin(2 * M_PI * 1800.0 * t + c);
        // 10 ms ramps keep the steps free of clicks.
        const double ramp =
            std::min({1.0, static_cast<double>(i) / 480.0, static_cast<double>(n - i) / 480.0});
        out.push_back(static_cast<float>(gain * ramp * (1.5 * low + tone)));
      }
    }
  }
};

Programme programme(int channels) {
  Programme p;
  p.channels = channels;
  p.audio.resize(static_cast<size_t>(channels));
  return p;
}

struct Reference {
  double integrated = 0;
  double range = 0;
};

Reference measureWithLibebur128(const Programme& p) {
  ebur128_state* state =
      ebur128_init(static_cast<unsigned>(p.channels), kRate, EBUR128_MODE_I | EBUR128_MODE_LRA);
  const size_t frames = p.audio[0].size();
  std::vector<float> interleaved(frames * static_cast<size_t>(p.channels));
  for (size_t i = 0; i < frames; ++i)
    for (int c = 0; c < p.channels; ++c)
      interleaved[i * static_cast<size_t>(p.channels) + static_cast<size_t>(c)] =
          p.audio[static_cast<size_t>(c)][i];
  ebur128_add_frames_float(state, interleaved.data(), frames);
  Reference r;
  ebur128_loudness_global(state, &r.integrated);
  ebur128_loudness_range(state, &r.range);
  ebur128_destroy(&state);
  return r;
}

class CrossCheckTest : public AccuracyTest {
 protected:
  // Feeds the programme's 100 ms K-weighted powers; channels map to L R (C LFE Ls Rs).
  void feedProgramme(const Programme& p) {
    std::vector<KWeighting> filters(static_cast<size_t>(p.channels));
    const size_t blocks = p.audio[0].size() / kBlock;
    for (size_t b = 0; b < blocks; ++b) {
      PayloadFields fields;
      for (int c = 0; c < p.channels; ++c) {
        double sum = 0;
        for (size_t i = b * kBlock; i < (b + 1) * kBlock; ++i) {
          const double y = filters[static_cast<size_t>(c)].process(p.audio[c][i]);
          sum += y * y;
        }
        fields.powers[static_cast<size_t>(c)] = sum / kBlock;
      }
      feed(fields);
    }
  }
  void expectAgreement(const Programme& p) {
    const Reference reference = measureWithLibebur128(p);
    LoudnessMonitor& monitor = runningMonitor();
    feedProgramme(p);
    const LoudnessContext& context = monitor.context();
    EXPECT_NEAR(lu(context.integratedTenths()), reference.integrated, 0.1);
    EXPECT_NEAR(lu(context.rangeTenths()), reference.range, 0.5);
    RecordProperty("integrated_difference",
                   std::to_string(lu(context.integratedTenths()) - reference.integrated));
    RecordProperty("range_difference", std::to_string(lu(context.rangeTenths()) - reference.range));
  }
  std::mt19937 audioRandom_{1234};
};

TEST_F(CrossCheckTest, StereoLevelStepsAgreeWithLibebur128) {
  Programme p = programme(2);
  for (const double level :
       {-20.0, -26.0, -18.0, -30.0, -22.0, -24.0, -16.0, -28.0, -20.0, -25.0, -21.0, -19.0})
    p.append(10.0, {level, level - 1.0}, audioRandom_);
  expectAgreement(p);
}

TEST_F(CrossCheckTest, StereoWithSilentGapsAgreesWithLibebur128) {
  Programme p = programme(2);
  for (int i = 0; i < 16; ++i) {
    const double level = -18.0 - (i * 7 % 11);
    p.append(6.0 + i % 3 * 2.0, {level, level}, audioRandom_);
    p.append(1.0 + i % 2, {-200, -200}, audioRandom_);
  }
  expectAgreement(p);
}

TEST_F(CrossCheckTest, FiveOneProgrammeAgreesWithLibebur128) {
  Programme p = programme(6);
  for (const double level : {-22.0, -18.0, -27.0, -20.0, -24.0, -19.0, -26.0, -21.0}) {
    // Dialogue in C, music in L and R, ambience behind, a loud LFE that loudness ignores.
    p.append(10.0, {level - 2, level - 2, level + 1, level + 6, level - 8, level - 9},
             audioRandom_);
  }
  expectAgreement(p);
}

}  // namespace
}  // namespace qelm::testing
