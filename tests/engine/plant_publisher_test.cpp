// The engine's side of the plant: a run on a real configuration, with a simulated frame and a
// loudness card on loopback, publishes what the plant's server asks for and answers its sets
// and session commands.
#include "engine/plant_publisher.h"

#include <gtest/gtest.h>

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
#include "comm/host.h"
#include "engine/engine_life.h"
#include "engine/engine_state.h"
#include "lmcard/lm_card.h"
#include "model/device.h"
#include "model/parameter.h"
#include "model/target.h"

namespace qelm {
namespace {

namespace fs = std::filesystem;
using Kind = PlantRequest::Kind;
using Part = PlantBridge::Part;

constexpr uint32_t kMixerFrame = (127u << 24) | (83u << 8) | 1u;  // 127.0.83.1
constexpr uint32_t kMeterFrame = (127u << 24) | (83u << 8) | 2u;  // 127.0.83.2
constexpr int kOk = 200;
constexpr int kRefused = 400;
constexpr int kNotFound = 404;
constexpr int kConflict = 409;

class PlantPublisherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() / "plant_publisher_test";
    fs::remove_all(folder_);
    fs::create_directories(folder_ / "configuration");
    std::ofstream(folder_ / "configuration" / "startup.txt") << R"(model "Mixer"
  parameter 0x0301 "Output Level" float -60 12 0.5 unit "dB" default 0 name -60 "Off"
  parameter 0x0303 "Source" choice 1 Mic1 "Microphone 1" choice 2 Line "Line In" default 2
  parameter 0x0310 "Peak Level" float -60 0 0.1 unit "dBFS" readonly default -18
model "Loudness Meter"
  parameter 0x0D52 "Loudness Data" choice 0 Off "Off" choice 1 On "On" default 1
  parameter 0x0D54 "Source L" string 63
  parameter 0x0D55 "Source R" string 63
  monitor lm
device 1 "Presenter"
  page 1 "Channel"
    item 1 "Output Level" from-model "Mixer" 127.0.83.1 2
    item 2 "Source" from-model "Mixer" 127.0.83.1 2
    item 3 "Peak Level" from-model "Mixer" 127.0.83.1 2
device 2 "Programme"
  page 1 "Loudness" type lm
    item 9 "Loudness Data" from-model "Loudness Meter" 127.0.83.2 1
simulator "Mixer" 127.0.83.1 2
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
    if (card_.joinable()) card_.join();
    if (run_->panel() != nullptr) run_->shutDown();
    run_.reset();
    state_.reset();
    fs::remove_all(folder_);
  }

  // A loudness card playing a 997 Hz tone at -20 dBFS on both channels (-20 LUFS), looped.
  void playTone() {
    std::vector<int16_t> samples;
    const int rate = 48000;
    for (int f = 0; f < rate; ++f) {
      const double v =
          std::pow(10.0, -20.0 / 20.0) * std::sin(2 * std::numbers::pi * 997 * f / rate);
      samples.push_back(static_cast<int16_t>(std::lround(v * 32767)));
      samples.push_back(samples.back());
    }
    const std::string path = (folder_ / "tone.wav").string();
    testing::writeWav(path, samples, 2, rate);
    LmCardOptions options;
    options.address = kMeterFrame;
    options.file = path;
    options.loop = true;
    card_ = std::thread([this, options] {
      std::ostringstream ignored;
      runLmCard(options, ignored, interrupted_);
    });
  }

  bool passUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      run_->pass();
      if (done()) return true;
    }
    return false;
  }

  // Submits `request` and runs passes until it is answered.
  PlantReply ask(PlantRequest request) {
    std::optional<PlantReply> reply;
    context_->plant.submit(std::move(request), [&](PlantReply r) { reply = std::move(r); });
    EXPECT_TRUE(passUntil([&] { return reply.has_value(); }, std::chrono::seconds(5)));
    return reply.value_or(PlantReply{});
  }
  PlantReply set(int32_t device, int32_t page, int32_t item, std::optional<double> number,
                 std::optional<std::string> text = std::nullopt) {
    PlantRequest request;
    request.device = device;
    request.page = page;
    request.item = item;
    request.number = number;
    request.text = std::move(text);
    return ask(std::move(request));
  }
  PlantReply session(Kind kind, int32_t monitor) {
    PlantRequest request;
    request.kind = kind;
    request.monitor = monitor;
    return ask(std::move(request));
  }
  std::shared_ptr<const PlantSnapshot> published(uint32_t parts) {
    const uint64_t before = latestSequence();
    context_->plant.want(parts);
    run_->pass();
    EXPECT_GT(latestSequence(), before) << "a wanted part is published at the end of the pass";
    return context_->plant.latest();
  }
  uint64_t latestSequence() const {
    const auto latest = context_->plant.latest();
    return latest ? latest->sequence : 0;
  }
  // What the simulated frame holds for item `index` of the mixer's page.
  Value frameValue(int32_t index) {
    Parameter& parameter = *state_->catalog.devices.device(1)->page(1)->item(index - 1)->parameter;
    return run_->simulator()->getTarget({kMixerFrame, 2, false}, parameter)->receivedValue();
  }

  fs::path folder_;
  std::unique_ptr<AppContext> context_;
  std::unique_ptr<EngineState> state_;
  std::unique_ptr<EngineLife> run_;
  std::atomic<bool> interrupted_{false};
  std::thread card_;
};

TEST_F(PlantPublisherTest, PublishesWhatIsWantedAndTheStatusWhileWatchedAndTimesEveryPass) {
  const uint64_t passesBefore = context_->plant.passes().count;
  run_->pass();
  EXPECT_EQ(context_->plant.latest(), nullptr) << "nothing is published unasked";
  EXPECT_EQ(context_->plant.passes().count, passesBefore + 1);

  // The mixer's page is on show, so its card connects and its values come in.
  const auto connected = [&] {
    const auto latest = context_->plant.latest();
    return latest && latest->devices.size() == 2 && latest->devices[0].linkUp &&
           latest->devices[0].pages[0].items[0].number.has_value();
  };
  ASSERT_TRUE(passUntil(
      [&] {
        if (connected()) return true;
        context_->plant.want(Part::kDevices);
        return false;
      },
      std::chrono::seconds(5)));
  const auto devices = context_->plant.latest();
  EXPECT_EQ(devices->parts, static_cast<uint32_t>(Part::kStatus | Part::kDevices));
  const PlantDevice& presenter = devices->devices[0];
  EXPECT_EQ(presenter.name, "Presenter");
  EXPECT_EQ(presenter.link, "Live");
  ASSERT_EQ(presenter.pages.size(), 1u);
  ASSERT_EQ(presenter.pages[0].items.size(), 3u);
  const PlantItem& level = presenter.pages[0].items[0];
  EXPECT_EQ(level.index, 1);
  EXPECT_EQ(level.name, "Output Level");
  EXPECT_EQ(level.shown, "0.0 dB") << "as the panel draws it";
  EXPECT_EQ(level.number, 0.0);
  EXPECT_EQ(level.minimum, -60.0);
  EXPECT_EQ(level.maximum, 12.0);
  EXPECT_EQ(level.step, 0.5);
  EXPECT_EQ(level.choices, std::vector<std::string>{"Off"});
  EXPECT_TRUE(level.writable);
  const PlantItem& source = presenter.pages[0].items[1];
  EXPECT_EQ(source.choice, "Line");
  EXPECT_EQ(source.number, std::nullopt);
  EXPECT_EQ(source.choices, (std::vector<std::string>{"Mic1", "Line"}));
  EXPECT_FALSE(presenter.pages[0].items[2].writable) << "read-only";
  EXPECT_EQ(devices->devices[1].pages[0].type, "lm");
  ASSERT_EQ(devices->monitors.size(), 1u);
  EXPECT_EQ(devices->monitors[0].name, "Programme");
  EXPECT_EQ(devices->monitors[0].state, "stopped");
  EXPECT_EQ(devices->monitors[0].momentary, std::nullopt) << "no card, no levels";

  // Status alone carries no devices; reports only when asked.
  const auto status = published(Part::kStatus);
  EXPECT_TRUE(status->devices.empty());
  EXPECT_TRUE(status->reports.empty());
  EXPECT_FALSE(status->cards.empty());

  // While watched the status comes every 100 ms of the engine's clock, and stops with the
  // last watcher.
  context_->plant.watch(+1);
  const uint64_t watchedFrom = latestSequence();
  passUntil([] { return false; }, std::chrono::milliseconds(550));
  const uint64_t watched = latestSequence() - watchedFrom;
  EXPECT_GE(watched, 4u);
  EXPECT_LE(watched, 7u);
  context_->plant.watch(-1);
  const uint64_t unwatchedFrom = latestSequence();
  passUntil([] { return false; }, std::chrono::milliseconds(250));
  EXPECT_EQ(latestSequence(), unwatchedFrom);

  const PassHistogram passes = context_->plant.passes();
  EXPECT_GT(passes.count, 100u);
  EXPECT_GT(passes.sumSeconds, 0.0);
  EXPECT_LT(passes.sumSeconds, 0.8 * 0.001 * static_cast<double>(passes.count) + 0.5)
      << "the pause between passes is not counted as their work";
}

TEST_F(PlantPublisherTest, SetsGoTheKnobsWayToTheFrameAndRefusalsSayWhy) {
  // By number, by a named value's name and by a choice's name or number, as a knob entry.
  PlantReply reply = set(1, 1, 1, -3.5);
  EXPECT_EQ(reply.status, kOk) << reply.error;
  EXPECT_TRUE(reply.acknowledged) << "the frame sent the value back";
  ASSERT_TRUE(reply.item.has_value());
  EXPECT_EQ(reply.item->number, -3.5);
  EXPECT_EQ(reply.item->shown, "-3.5 dB");
  const Parameter& levelParameter = *state_->catalog.devices.device(1)->page(1)->item(0)->parameter;
  EXPECT_EQ(frameValue(1).f, levelParameter.parseValue("-3.5")->f)
      << "the frame holds what the keypad would have set";

  reply = set(1, 1, 1, std::nullopt, "off");
  EXPECT_EQ(reply.status, kOk) << reply.error;
  EXPECT_EQ(reply.item->number, -60.0);
  EXPECT_EQ(reply.item->choice, "Off");
  EXPECT_EQ(frameValue(1).f, -60.0f);

  reply = set(1, 1, 2, std::nullopt, "Microphone 1");
  EXPECT_EQ(reply.status, kOk) << reply.error;
  EXPECT_EQ(reply.item->choice, "Mic1");
  EXPECT_EQ(frameValue(2).i, 1);
  reply = set(1, 1, 2, 2);
  EXPECT_EQ(reply.item->choice, "Line") << "a number picks the choice of that number";
  EXPECT_EQ(frameValue(2).i, 2);

  // Refusals: nothing reaches the frame.
  struct Refused {
    int32_t device, page, item;
    std::optional<double> number;
    std::optional<std::string> text;
    int status;
  };
  for (const Refused& r : std::vector<Refused>{
           {1, 1, 1, 12.5, std::nullopt, kRefused},          // over the range
           {1, 1, 1, NAN, std::nullopt, kRefused},           // not a number at all
           {1, 1, 1, std::nullopt, "loud", kRefused},        // no such name
           {1, 1, 2, 3, std::nullopt, kRefused},             // no choice of that number
           {1, 1, 1, std::nullopt, std::nullopt, kRefused},  // no value
           {1, 1, 3, -10, std::nullopt, kConflict},          // read-only
           {9, 1, 1, 0, std::nullopt, kNotFound},
           {1, 2, 1, 0, std::nullopt, kNotFound},
           {1, 1, 7, 0, std::nullopt, kNotFound},
           {1, 1, 0, 0, std::nullopt, kNotFound},
       }) {
    reply = set(r.device, r.page, r.item, r.number, r.text);
    EXPECT_EQ(reply.status, r.status) << r.device << "/" << r.page << "/" << r.item;
    EXPECT_FALSE(reply.error.empty());
    EXPECT_FALSE(reply.item.has_value());
  }
  EXPECT_EQ(frameValue(1).f, -60.0f);
  EXPECT_EQ(frameValue(2).i, 2);
}

TEST_F(PlantPublisherTest, SessionsStartPauseStopAndClearByRequestAndTheirReportIsListed) {
  EXPECT_EQ(session(Kind::kStartSession, 2).status, kNotFound);
  EXPECT_EQ(session(Kind::kStartSession, 0).status, kNotFound);
  EXPECT_EQ(session(Kind::kStartSession, 1).status, kConflict) << "no card sends data yet";
  EXPECT_EQ(session(Kind::kStopSession, 1).status, kConflict) << "already stopped";

  playTone();
  ASSERT_TRUE(passUntil(
      [&] {
        const auto latest = published(Part::kStatus);
        return latest->monitors[0].linkUp && latest->monitors[0].shortTerm.has_value();
      },
      std::chrono::seconds(8)));

  PlantReply reply = session(Kind::kStartSession, 1);
  ASSERT_EQ(reply.status, kOk) << reply.error;
  ASSERT_TRUE(reply.monitor.has_value());
  EXPECT_EQ(reply.monitor->state, "running");
  EXPECT_EQ(session(Kind::kStartSession, 1).status, kConflict) << "already running";
  EXPECT_EQ(session(Kind::kClearSession, 1).status, kConflict) << "only a stopped one clears";

  passUntil([] { return false; }, std::chrono::milliseconds(1200));
  const PlantMonitor measured = published(Part::kStatus)->monitors[0];
  ASSERT_TRUE(measured.momentary.has_value());
  EXPECT_NEAR(*measured.momentary, -20.0, 0.5) << "the card's known level";
  ASSERT_TRUE(measured.integrated.has_value());
  EXPECT_NEAR(*measured.integrated, -20.0, 0.5);
  EXPECT_GT(measured.runningSeconds, 0.5);
  EXPECT_TRUE(measured.linkUp);
  EXPECT_FALSE(measured.noData);

  EXPECT_EQ(session(Kind::kPauseSession, 1).monitor->state, "paused");
  EXPECT_EQ(session(Kind::kPauseSession, 1).status, kConflict);
  EXPECT_EQ(session(Kind::kStartSession, 1).monitor->state, "running") << "resumes";
  reply = session(Kind::kStopSession, 1);
  ASSERT_EQ(reply.status, kOk) << reply.error;
  EXPECT_NE(reply.monitor->state, "running");

  // The report is written off the pass; then the session clears and the report is listed.
  ASSERT_TRUE(passUntil([&] { return published(Part::kStatus)->monitors[0].state == "stopped"; },
                        std::chrono::seconds(10)));
  reply = session(Kind::kClearSession, 1);
  EXPECT_EQ(reply.status, kOk) << reply.error;
  EXPECT_EQ(reply.monitor->integrated, std::nullopt);
  const auto reports = published(Part::kReports);
  ASSERT_FALSE(reports->reports.empty());
  for (const PlantReport& report : reports->reports) {
    EXPECT_EQ(report.session, "Programme");
    EXPECT_GT(report.bytes, 0u);
    EXPECT_GT(report.modified, 1700000000);
  }
}

}  // namespace
}  // namespace qelm
