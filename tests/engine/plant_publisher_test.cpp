// The engine's side of the plant: a run on a real configuration, with a simulated frame and a
// loudness card on loopback, publishes what the plant's server asks for and answers its sets
// and session commands.
#include "engine/plant_publisher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <numbers>
#include <sstream>
#include <thread>
#include <tuple>

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

constexpr int kOk = static_cast<int>(PlantAnswer::kOk);
constexpr int kRefused = static_cast<int>(PlantAnswer::kRefused);
constexpr int kNotFound = static_cast<int>(PlantAnswer::kNotFound);
constexpr int kConflict = static_cast<int>(PlantAnswer::kConflict);

class PlantPublisherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Each case has frames and a folder of its own, so the cases may run side by side: its line
    // in this file picks the frames' addresses, 127.N.83.1 (the mixer) and 127.N.83.2 (the meter).
    const ::testing::TestInfo& test = *::testing::UnitTest::GetInstance()->current_test_info();
    const uint32_t octet = 100 + static_cast<uint32_t>(test.line()) % 150;
    mixerFrame_ = (127u << 24) | (octet << 16) | (83u << 8) | 1u;
    meterFrame_ = mixerFrame_ + 1;
    folder_ = fs::temp_directory_path() / ("plant_publisher_test_" + std::string(test.name()));
    fs::remove_all(folder_);
    fs::create_directories(folder_ / "configuration");
    std::string configuration = R"(model "Mixer"
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
)" + moreConfiguration();
    for (size_t at = configuration.find("127.0."); at != std::string::npos;
         at = configuration.find("127.0.", at))
      configuration.replace(at, 6, "127." + std::to_string(octet) + ".");
    std::ofstream(folder_ / "configuration" / "startup.txt") << configuration;
    const std::string data = folder_.string() + "/";
    context_ = std::make_unique<AppContext>(Folders{QELM_PROGRAM_DIR, data, data},
                                            platform::systemClock());
    context_->setStartupFileName("startup.txt");
    state_ = std::make_unique<EngineState>(*context_);
    run_ = std::make_unique<EngineLife>(*state_);
    ASSERT_TRUE(run_->startUp());
  }
  // Directives after the fixture's own, addresses written 127.0.83.x as theirs.
  virtual std::string moreConfiguration() const { return ""; }

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
    for (int f = 0; f < 2 * 48000; ++f)
      samples.push_back(static_cast<int16_t>(
          std::lround(0.1 * 32767 * std::sin(2 * std::numbers::pi * 997 * (f / 2) / 48000))));
    LmCardOptions options;
    options.address = meterFrame_;
    options.files = {(folder_ / "tone.wav").string()};
    options.loop = true;
    testing::writeWav(options.files[0], samples, 2, 48000);
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
    return ask({Kind::kSetItem, device, page, item, number, std::move(text), 0});
  }
  PlantReply session(Kind kind, int32_t monitor) {
    return ask({kind, 0, 0, 0, std::nullopt, std::nullopt, monitor});
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
    return run_->simulator()->getTarget({mixerFrame_, 2, false}, parameter)->receivedValue();
  }

  uint32_t mixerFrame_ = 0;
  uint32_t meterFrame_ = 0;
  fs::path folder_;
  std::unique_ptr<AppContext> context_;
  std::unique_ptr<EngineState> state_;
  std::unique_ptr<EngineLife> run_;
  std::atomic<bool> interrupted_{false};
  std::thread card_;
};

TEST_F(PlantPublisherTest, PublishesWhatIsWantedAndTheStatusWhileWatchedAndTimesEveryPass) {
  const auto start = std::chrono::steady_clock::now();
  run_->pass();
  EXPECT_EQ(context_->plant.latest(), nullptr) << "nothing is published unasked";
  EXPECT_EQ(context_->plant.passes().count, 1u);

  // The mixer's page is on show, so its card connects and its values come in.
  ASSERT_TRUE(passUntil(
      [&] {
        const auto latest = context_->plant.latest();
        if (latest && latest->devices.size() == 2 && latest->devices[0].linkUp &&
            latest->devices[0].pages[0].items[0].number)
          return true;
        context_->plant.want(Part::kDevices);
        return false;
      },
      std::chrono::seconds(5)));
  const auto devices = context_->plant.latest();
  EXPECT_EQ(devices->parts, static_cast<uint32_t>(Part::kStatus | Part::kDevices));
  EXPECT_EQ(devices->monitors.at(0).momentary, std::nullopt) << "no card, no levels";
  const PlantDevice& presenter = devices->devices[0];
  ASSERT_EQ(presenter.pages[0].items.size(), 3u);
  const PlantItem& level = presenter.pages[0].items[0];
  EXPECT_EQ(level.shown, "0.0 dB") << "as the panel draws it";
  EXPECT_EQ(std::tie(level.number, level.minimum, level.maximum, level.step),
            std::make_tuple(0.0, -60.0, 12.0, 0.5));
  EXPECT_EQ(level.choices, std::vector<std::string>{"Off"});
  const PlantItem& source = presenter.pages[0].items[1];
  EXPECT_EQ(source.choice, "Line");
  EXPECT_EQ(source.choices, (std::vector<std::string>{"Mic1", "Line"}));
  EXPECT_FALSE(presenter.pages[0].items[2].writable) << "read-only";

  const auto status = published(Part::kStatus);
  EXPECT_TRUE(status->devices.empty());
  ASSERT_EQ(status->cards->size(), 2u);
  EXPECT_EQ(status->cards->at(0).link, "Live");
  // One list of cards is handed on from publication to publication until a link changes.
  EXPECT_EQ(status->cards.get(), devices->cards.get());
  playTone();
  std::shared_ptr<const PlantSnapshot> meterLive;
  ASSERT_TRUE(passUntil(
      [&] {
        meterLive = published(Part::kStatus);
        return meterLive->cards->at(1).linkUp;
      },
      std::chrono::seconds(5)));
  EXPECT_NE(meterLive->cards.get(), status->cards.get());
  EXPECT_FALSE(status->cards->at(1).linkUp) << "a list once published stays as it was";
  ASSERT_EQ(status->liveItems.size(), 3u) << "the page on show, with the status";
  EXPECT_EQ(status->liveItems[1].item.choice, "Line");

  // While watched the status comes every 100 ms of the engine's clock, until the last watcher
  // leaves.
  context_->plant.watch(+1);
  const uint64_t watchedFrom = latestSequence();
  passUntil([] { return false; }, std::chrono::milliseconds(550));
  EXPECT_GE(latestSequence() - watchedFrom, 3u);
  EXPECT_LE(latestSequence() - watchedFrom, 7u);
  context_->plant.watch(-1);
  const uint64_t unwatchedFrom = latestSequence();
  passUntil([] { return false; }, std::chrono::milliseconds(250));
  EXPECT_EQ(latestSequence(), unwatchedFrom);

  // Each pass's work is counted, never the 1 ms pause before it.
  const PassHistogram passes = context_->plant.passes();
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GT(passes.count, 100u);
  EXPECT_LT(passes.sumSeconds, 0.5 * elapsed.count());
}

TEST_F(PlantPublisherTest, DevicesAskedForByNumberArePublishedAloneAsTheWholeListShowsThem) {
  // Device 1 alone, once its card sent its values: as the whole list shows it.
  ASSERT_TRUE(passUntil(
      [&] {
        const auto latest = context_->plant.latest();
        if (latest && latest->devices.size() == 1 && latest->devices[0].linkUp &&
            latest->devices[0].pages[0].items[0].number)
          return true;
        context_->plant.wantDevice(1);
        return false;
      },
      std::chrono::seconds(5)));
  const auto one = context_->plant.latest();
  const auto shown = [](const PlantDevice& device) {
    std::vector<std::string> texts{device.name, device.link};
    for (const PlantItem& item : device.pages.at(0).items)
      texts.push_back(item.name + " " + item.shown);
    return texts;
  };
  EXPECT_EQ(shown(one->devices[0]), shown(published(Part::kDevices)->devices.at(0)));

  // Several in one pass, one twice and one not there: one publication of those there are.
  for (const int32_t number : {7, 2, 2})
    context_->plant.wantDevice(number);
  const auto some = published(0);
  EXPECT_EQ(some->parts, static_cast<uint32_t>(Part::kStatus | Part::kSomeDevices));
  EXPECT_EQ(some->deviceNumbers, (std::vector<int32_t>{2, 7}));
  ASSERT_EQ(some->devices.size(), 1u);
  EXPECT_EQ(some->devices[0].name, "Programme");
  EXPECT_TRUE(published(Part::kStatus)->devices.empty()) << "asked for once, published once";
}

TEST_F(PlantPublisherTest, SetsGoTheKnobsWayToTheFrameAndRefusalsSayWhy) {
  // By number, by a named value's name and by a choice's name or number, as a knob entry.
  PlantReply reply = set(1, 1, 1, -3.5);
  EXPECT_EQ(reply.status, kOk) << reply.error;
  EXPECT_TRUE(reply.acknowledged) << "the frame sent the value back";
  EXPECT_EQ(reply.item.value_or(PlantItem{}).shown, "-3.5 dB");
  EXPECT_EQ(frameValue(1).f, -3.5f);
  EXPECT_EQ(published(Part::kStatus)->liveItems.at(0).item.number, -3.5);

  EXPECT_EQ(set(1, 1, 1, std::nullopt, "off").item->choice, "Off");
  EXPECT_EQ(frameValue(1).f, -60.0f);
  EXPECT_EQ(set(1, 1, 2, std::nullopt, "Microphone 1").item->choice, "Mic1");
  EXPECT_EQ(frameValue(2).i, 1);
  EXPECT_EQ(set(1, 1, 2, 2).item->choice, "Line") << "a number picks the choice of that number";
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
           {1, 1, 1, std::nullopt, "loud", kRefused},        // no such name
           {1, 1, 2, 3, std::nullopt, kRefused},             // no choice of that number
           {1, 1, 1, std::nullopt, std::nullopt, kRefused},  // no value
           {1, 1, 3, -10, std::nullopt, kConflict},          // read-only
           {9, 1, 1, 0, std::nullopt, kNotFound},
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
  EXPECT_EQ(reply.monitor.value().state, "running");
  EXPECT_EQ(session(Kind::kStartSession, 1).status, kConflict) << "already running";
  EXPECT_EQ(session(Kind::kClearSession, 1).status, kConflict) << "only a stopped one clears";

  passUntil([] { return false; }, std::chrono::milliseconds(1200));
  const PlantMonitor measured = published(Part::kStatus)->monitors[0];
  EXPECT_NEAR(measured.momentary.value_or(0), -20.0, 0.5) << "the card's known level";
  EXPECT_NEAR(measured.integrated.value_or(0), -20.0, 0.5);
  EXPECT_GT(measured.runningSeconds, 0.5);

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
  for (const PlantReport& report : reports->reports)
    EXPECT_TRUE(report.session == "Programme" && report.bytes > 0 && report.modified > 1.7e9);
}

// A plant's panel of many devices.
class ManyDevicesPlantPublisherTest : public PlantPublisherTest {
 protected:
  static constexpr int32_t kDevices = 40;
  std::string moreConfiguration() const override {
    std::string more;
    for (int32_t number = 3; number <= kDevices; ++number) {
      more += "device " + std::to_string(number) + " \"Desk " + std::to_string(number) +
              "\"\n  page 1 \"Channel\"\n    item 1 \"Output Level\" from-model \"Mixer\" "
              "127.0.83.1 2\n";
    }
    return more;
  }
};

TEST_F(ManyDevicesPlantPublisherTest, TheWholeListIsShapedOverPassesWhileOneDeviceIsReadAtOnce) {
  // Asked for once: the engine makes the devices' shapes a few a pass, without being asked
  // again, and publishes the list whole in the pass that makes the last.
  context_->plant.want(Part::kDevices);
  run_->pass();
  ASSERT_NE(context_->plant.latest(), nullptr);
  EXPECT_EQ(context_->plant.latest()->parts, static_cast<uint32_t>(Part::kStatus))
      << "not all of the list in one pass";

  // Meanwhile a device not shaped yet is read at once.
  context_->plant.wantDevice(kDevices - 1);
  const auto one = published(0);
  ASSERT_EQ(one->devices.size(), 1u);
  EXPECT_EQ(one->devices[0].name, "Desk " + std::to_string(kDevices - 1));

  int passes = 2;
  while (!(context_->plant.latest()->parts & Part::kDevices) && passes < 100) {
    run_->pass();
    ++passes;
  }
  const auto all = context_->plant.latest();
  ASSERT_TRUE(all->parts & Part::kDevices) << "the list never came";
  EXPECT_GT(passes, 3);
  ASSERT_EQ(all->devices.size(), static_cast<size_t>(kDevices));
  for (int32_t number = 1; number <= kDevices; ++number) {
    const PlantDevice& device = all->devices[static_cast<size_t>(number - 1)];
    EXPECT_EQ(device.number, number);
    if (number > 2) {
      EXPECT_EQ(device.pages.at(0).items.at(0).name, "Output Level") << number;
    }
  }
  EXPECT_EQ(all->devices[kDevices - 2].pages[0].items[0].minimum,
            one->devices[0].pages[0].items[0].minimum);
  run_->pass();
  EXPECT_EQ(latestSequence(), all->sequence) << "published once, as asked";
}

}  // namespace
}  // namespace qelm
