// The loudness chain end to end: `lmcard` plays a sound file on loopback in real time, the
// engine's loudness monitor receives its payloads and runs a session, and the session's
// integrated loudness matches libebur128's for the same file.
#include <ebur128.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <numbers>
#include <sstream>
#include <thread>

#include "../lmcard/wav_file.h"
#include "engine/engine_life.h"
#include "lmcard/lm_card.h"
#include "loudness/loudness_monitor.h"
#include "loudness/loudness_registry.h"
#include "text/text.h"

namespace qelm {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kRate = 48000;
// The programme starts after this much digital silence, in which the session is started: the
// silence lies below the absolute gate for both meters, so both measure the same programme.
constexpr double kLeadInSeconds = 4.0;

// A programme-like signal: tones of a different pitch per channel whose level steps every
// 1.5 s, after the silent lead-in. LFE carries a low tone that must not count.
std::vector<int16_t> programme(int channels, const std::vector<double>& stepsDb) {
  const double stepSeconds = 1.5;
  const auto frames = static_cast<size_t>((kLeadInSeconds + stepSeconds * stepsDb.size()) * kRate);
  std::vector<int16_t> samples;
  samples.reserve(frames * static_cast<size_t>(channels));
  for (size_t f = 0; f < frames; ++f) {
    const double t = static_cast<double>(f) / kRate;
    const double inProgramme = t - kLeadInSeconds;
    for (int c = 0; c < channels; ++c) {
      double value = 0;
      if (inProgramme >= 0) {
        const size_t step =
            std::min(static_cast<size_t>(inProgramme / stepSeconds), stepsDb.size() - 1);
        const double amplitude = std::pow(10.0, (stepsDb[step] - 3.0 * (c % 3)) / 20.0);
        const double pitch = c == 3 && channels == 6 ? 60.0 : 440.0 * (1 + c);
        value = amplitude * std::sin(2 * std::numbers::pi * pitch * t);
      }
      samples.push_back(static_cast<int16_t>(std::lround(value * 32767)));
    }
  }
  return samples;
}

double referenceLoudness(const std::vector<int16_t>& samples, int channels) {
  ebur128_state* state = ebur128_init(static_cast<unsigned>(channels), kRate, EBUR128_MODE_I);
  if (channels == 6) {
    const int map[] = {EBUR128_LEFT,   EBUR128_RIGHT,         EBUR128_CENTER,
                       EBUR128_UNUSED, EBUR128_LEFT_SURROUND, EBUR128_RIGHT_SURROUND};
    for (int c = 0; c < 6; ++c)
      ebur128_set_channel(state, static_cast<unsigned>(c), map[c]);
  }
  ebur128_add_frames_short(state, samples.data(), samples.size() / static_cast<size_t>(channels));
  double loudness = 0;
  ebur128_loudness_global(state, &loudness);
  ebur128_destroy(&state);
  return loudness;
}

class LoudnessEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() / "loudness_end_to_end";
    fs::remove_all(folder_);
    fs::create_directories(folder_ / "configuration");
    std::ofstream(folder_ / "configuration" / "startup.txt") << R"(model "Loudness Meter"
  parameter 0x0D52 "Loudness Data" choice 0 Off "Off" choice 1 On "On" default 1
  parameter 0x0D54 "Source L" string 63
  parameter 0x0D55 "Source R" string 63
  monitor lm
device 1 "Stereo"
  page 1 "Loudness" type lm
    item 9 "Loudness Data" from-model "Loudness Meter" 127.0.81.1 1
device 2 "Surround"
  page 1 "Loudness" type lm
    item 9 "Loudness Data" from-model "Loudness Meter" 127.0.81.2 1
)";
    const std::string data = folder_.string() + "/";
    context_ = std::make_unique<AppContext>(Folders{QELM_PROGRAM_DIR, data, data},
                                            platform::systemClock());
    context_->setStartupFileName("startup.txt");
    state_ = std::make_unique<EngineState>(*context_);
    run_ = std::make_unique<EngineLife>(*state_);
    ASSERT_TRUE(run_->startUp());
  }
  void TearDown() override {
    interrupted_ = true;
    for (std::thread& card : cards_)
      card.join();
    if (run_->panel() != nullptr) run_->shutDown();
    run_.reset();
    state_.reset();
    fs::remove_all(folder_);
  }

  // Plays `samples` as a loudness card on `address` slot 1 from a file.
  void playCard(uint32_t address, const std::vector<int16_t>& samples, int channels) {
    const std::string path = (folder_ / (std::to_string(address) + ".wav")).string();
    testing::writeWav(path, samples, channels, kRate);
    LmCardOptions options;
    options.address = address;
    options.files = {path};
    const size_t card = cards_.size();
    cards_.emplace_back([this, options, card] {
      std::ostringstream ignored;
      results_[card] = runLmCard(options, ignored, interrupted_);
      ++finished_;
    });
  }

  LoudnessMonitor* monitorOf(const std::string& device) {
    for (LoudnessMonitor* monitor : loudnessRegistry().monitors()) {
      if (monitor->sessionName() == device) return monitor;
    }
    return nullptr;
  }

  bool passUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      run_->pass();
      if (done()) return true;
    }
    return false;
  }

  fs::path folder_;
  std::unique_ptr<AppContext> context_;
  std::unique_ptr<EngineState> state_;
  std::unique_ptr<EngineLife> run_;
  std::atomic<bool> interrupted_{false};
  std::vector<std::thread> cards_;
  std::array<int, 2> results_{-1, -1};  // each card's thread writes its own
  std::atomic<int> finished_{0};
};

TEST_F(LoudnessEndToEndTest, SessionLoudnessMatchesLibebur128ForStereoAndSurround) {
  const std::vector<int16_t> stereo = programme(2, {-20, -30, -14, -24});
  const std::vector<int16_t> surround = programme(6, {-26, -18, -32});
  playCard((127u << 24) | (81u << 8) | 1u, stereo, 2);
  playCard((127u << 24) | (81u << 8) | 2u, surround, 6);

  // Every channel counts, as libebur128 counts them ("All Channels").
  LoudnessSettings settings = loudnessRegistry().settings();
  settings.allChannels = true;
  loudnessRegistry().setSettings(settings);

  LoudnessMonitor* stereoMonitor = monitorOf("Stereo");
  LoudnessMonitor* surroundMonitor = monitorOf("Surround");
  ASSERT_NE(stereoMonitor, nullptr);
  ASSERT_NE(surroundMonitor, nullptr);

  // A session starts once its card's data flows (start does nothing before), still within the
  // silent lead-in.
  const auto running = [](LoudnessMonitor* monitor) {
    if (monitor->context().record().state != SessionState::kRunning) monitor->context().start();
    return monitor->context().record().state == SessionState::kRunning;
  };
  ASSERT_TRUE(passUntil([&] { return running(stereoMonitor) & running(surroundMonitor); },
                        std::chrono::milliseconds(3500)));
  // The window learns of both running sessions, which a quit would stop.
  run_->pass();
  std::vector<std::string> named = context_->runningSessions();
  std::sort(named.begin(), named.end());
  EXPECT_EQ(named, (std::vector<std::string>{"Stereo", "Surround"}));

  // The engine keeps running while the cards play their files (10 s of audio at most) and
  // return; a little longer lets the last payloads in.
  ASSERT_TRUE(passUntil([&] { return finished_ == 2; }, std::chrono::seconds(15)));
  passUntil([] { return false; }, std::chrono::milliseconds(300));
  for (std::thread& card : cards_)
    card.join();
  cards_.clear();
  EXPECT_EQ(results_, (std::array<int, 2>{0, 0}));

  // Both sessions ran through the whole programme.
  EXPECT_GE(stereoMonitor->context().record().runningTicks, 60u);
  EXPECT_GE(surroundMonitor->context().record().runningTicks, 45u);
  EXPECT_NEAR(stereoMonitor->context().integratedTenths() / 10.0, referenceLoudness(stereo, 2),
              0.1);
  EXPECT_NEAR(surroundMonitor->context().integratedTenths() / 10.0, referenceLoudness(surround, 6),
              0.1);

  // A stopped session leaves the window's list once its report is written.
  stereoMonitor->context().stop();
  EXPECT_TRUE(
      passUntil([&] { return context_->runningSessions() == std::vector<std::string>{"Surround"}; },
                std::chrono::seconds(10)));
}

}  // namespace
}  // namespace qelm
