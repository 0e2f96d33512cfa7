// The panel driven end to end against the simulated cards of the default configuration: keys
// and knobs go in through the same input queue the window uses, the simulated frames on
// loopback answer, and the screens show what the cards hold.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

#include "comm/host.h"
#include "display/screenshot.h"
#include "engine/engine_life.h"
#include "loudness/loudness_monitor.h"
#include "loudness/loudness_registry.h"
#include "model/model.h"
#include "model/target.h"
#include "panel/displays.h"
#include "panel/panel_logic.h"
#include "panel/parameter_bar.h"

namespace qelm {
namespace {

namespace fs = std::filesystem;

using enum PanelKey;

class PanelEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() /
              ("panel_end_to_end_" +
               std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(folder_);
    fs::create_directories(folder_ / "configuration");
    std::ifstream shipped(QELM_SOURCE_DIR "/configuration/startup.bak", std::ios::binary);
    std::stringstream read;
    read << shipped.rdbuf();
    std::string text = read.str();
    // One device whose card nobody serves.
    text +=
        "\ndevice 9 \"Unplugged\" page 1 \"Main\"\n"
        "  item 1 \"Video Gain\" from-model \"Video Processor\" 127.0.0.9 1\n";
    // Each test has frames of its own (127.0.N.x), so tests running side by side never meet.
    const std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    const int network = test.find("Operator") != std::string::npos   ? 71
                        : test.find("Loudness") != std::string::npos ? 73
                                                                     : 72;
    const std::string prefix = "127.0." + std::to_string(network) + ".";
    for (size_t at = text.find("127.0.0."); at != std::string::npos;
         at = text.find("127.0.0.", at + prefix.size()))
      text.replace(at, 8, prefix);
    frame2_ = (127u << 24) | (static_cast<uint32_t>(network) << 8) | 2u;
    std::ofstream(folder_ / "configuration" / "startup.txt", std::ios::binary) << text;

    const std::string data = folder_.string() + "/";
    context_ = std::make_unique<AppContext>(Folders{QELM_PROGRAM_DIR, data, data},
                                            platform::systemClock());
    context_->setStartupFileName("startup.txt");
    state_ = std::make_unique<EngineState>(*context_);
    run_ = std::make_unique<EngineLife>(*state_);
    ASSERT_TRUE(run_->startUp());
    camera_ = state_->catalog.models.at("Video Processor").get();
  }
  void TearDown() override {
    if (run_->panel() != nullptr) run_->shutDown();
    run_.reset();
    state_.reset();
    fs::remove_all(folder_);
  }

  // Runs main-loop passes until `done` holds, for at most about five seconds.
  bool passUntil(const std::function<bool()>& done) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < limit) {
      run_->pass();
      if (done()) return true;
    }
    return false;
  }
  void passes(int n) {
    for (int i = 0; i < n; ++i)
      run_->pass();
  }

  void key(PanelKey panelKey) {
    context_->input.queueKey(codeOf(panelKey));
    passes(2);
  }
  void type(const std::string& digits) {
    for (char c : digits)
      key(digitKey(c - '0'));
  }
  // Positive steps raise the value: the wheel turned towards the operator.
  void turn(int32_t knob, int32_t steps) {
    for (int i = 0; i < std::abs(steps); ++i)
      context_->input.queueKnobTurn(knob, steps < 0);
    passes(2);
  }
  void push(int32_t knob) {
    context_->input.queueKnobButton(knob, true);
    context_->input.queueKnobButton(knob, false);
    passes(2);
  }
  void hold(int32_t knob) {
    context_->input.queueEvent({kFirstKnobCode + knob, EventKind::kHeld, 1});
    context_->input.queueEvent({kFirstKnobCode + knob, EventKind::kReleasedAfterHold, 0});
    passes(2);
  }

  // The value a simulated card serves for the camera parameter `name`.
  Value served(uint32_t frame, uint16_t slot, const char* name) {
    Parameter* parameter = camera_->findByName(name);
    Target* target = run_->simulator()->getTarget({frame, slot, false}, *parameter);
    return target == nullptr ? Value() : target->receivedValue();
  }
  bool servesInt(uint32_t frame, uint16_t slot, const char* name, int32_t expected) {
    const Value v = served(frame, slot, name);
    return v.valid && v.i == expected;
  }
  // What the screen shows for item `index` of the page on show.
  std::string shown(int32_t index) {
    const ParameterArea* area = run_->displays()->itemArea(index);
    return area == nullptr ? std::string("<none>") : area->valueText();
  }
  std::string pageName() {
    Page* page = run_->panel()->currentPage();
    return page == nullptr ? std::string() : page->device()->longName() + "/" + page->longName();
  }

  fs::path folder_;
  std::unique_ptr<AppContext> context_;
  std::unique_ptr<EngineState> state_;
  std::unique_ptr<EngineLife> run_;
  Model* camera_ = nullptr;
  uint32_t frame2_ = 0;  // the cameras' frame
};

TEST_F(PanelEndToEndTest, OperatorWorksTheCamerasWithKeysAndKnobs) {
  EXPECT_EQ(pageName(), "Camera 1/Picture");
  ASSERT_TRUE(passUntil([&] { return shown(0) == "Unity"; })) << shown(0);

  // The window lights its keys from the lamp word: on a page, Select Device and Select Submenu
  // lit, and with Quick Switch on (the default) one digit for each device (eight here, with the
  // panel's own).
  LampStates lamps = unpackLampWord(context_->lampWord.load());
  EXPECT_EQ(lamps[codeOf(kSelectDevice)], LampState::kLit);
  EXPECT_EQ(lamps[codeOf(kSelectSubmenu)], LampState::kLit);
  for (int digit = 1; digit <= 9; ++digit)
    EXPECT_EQ(lamps[codeOf(digitKey(digit))], digit <= 8 ? LampState::kBright : LampState::kOff)
        << digit;
  EXPECT_EQ(lamps[codeOf(kEnter)], LampState::kOff);

  // A knob turn moves the value on the card, and the page shows it.
  turn(0, 3);
  ASSERT_TRUE(passUntil([&] { return servesInt(frame2_, 1, "Video Gain", 3); }));
  ASSERT_TRUE(passUntil([&] { return shown(0) == "3"; })) << shown(0);

  // Device 2 by digits and Enter keeps the page number (same template).
  key(kSelectDevice);
  EXPECT_EQ(run_->panel()->mode(), PanelMode::kDeviceSelect);
  lamps = unpackLampWord(context_->lampWord.load());
  EXPECT_EQ(lamps[codeOf(kSelectDevice)], LampState::kBright);
  EXPECT_EQ(lamps[codeOf(kEnter)], LampState::kBright);
  EXPECT_EQ(lamps[codeOf(digitKey(7))], LampState::kBright) << "every digit types during an entry";
  type("2");
  key(kEnter);
  EXPECT_EQ(pageName(), "Camera 2/Picture");

  // Pushing a knob and typing a value.
  push(0);
  ASSERT_TRUE(run_->panel()->entryActive());
  type("42");
  EXPECT_EQ(shown(0), "42");
  key(kEnter);
  ASSERT_TRUE(passUntil([&] { return servesInt(frame2_, 2, "Video Gain", 42); }));
  ASSERT_TRUE(passUntil([&] { return shown(0) == "42"; })) << shown(0);

  // Cancel leaves the card alone.
  push(0);
  type("7");
  key(kCancel);
  EXPECT_FALSE(run_->panel()->entryActive());
  passes(20);
  EXPECT_TRUE(servesInt(frame2_, 2, "Video Gain", 42));
  EXPECT_EQ(shown(0), "42");

  // Holding the knob resets the value to its default.
  hold(0);
  ASSERT_TRUE(passUntil([&] { return servesInt(frame2_, 2, "Video Gain", 0); }));
  ASSERT_TRUE(passUntil([&] { return shown(0) == "Unity"; })) << shown(0);

  // A page by Select Submenu: page 2 "Output", a slow choice entered with the knob.
  key(kSelectSubmenu);
  EXPECT_EQ(run_->panel()->mode(), PanelMode::kPageSelect);
  type("2");
  key(kEnter);
  EXPECT_EQ(pageName(), "Camera 2/Output");
  ASSERT_TRUE(passUntil([&] { return shown(0) == "Off"; })) << shown(0);
  turn(0, 1);
  EXPECT_TRUE(servesInt(frame2_, 2, "Test Pattern", 0)) << "a slow item waits for its push";
  push(0);
  turn(0, 1);
  EXPECT_EQ(shown(0), "Bars");
  push(0);
  ASSERT_TRUE(passUntil([&] { return servesInt(frame2_, 2, "Test Pattern", 1); }));

  // A preset and a command on page 3.
  key(kSelectSubmenu);
  type("3");
  key(kEnter);
  EXPECT_EQ(pageName(), "Camera 2/Presets");
  EXPECT_EQ(shown(1), "Pictures");
  push(2);  // knob 2 sits next to item 2
  ASSERT_TRUE(passUntil([&] { return servesInt(frame2_, 2, "Test Pattern", 0); }));
  push(1);  // knob 1: item 3, "Recall Defaults"
  ASSERT_TRUE(passUntil([&] { return servesInt(frame2_, 2, "Recall Defaults", 1); }));

  // Quick Switch: key "3" jumps to the third device, whose items set both cameras.
  // Its pages come from another template, so it opens on its first page.
  key(digitKey(3));
  EXPECT_EQ(pageName(), "Cameras 1+2/Picture");
  ASSERT_TRUE(passUntil([&] { return shown(0) == "3"; })) << "follows the first card";
  turn(0, 2);
  ASSERT_TRUE(passUntil([&] {
    return servesInt(frame2_, 1, "Video Gain", 5) && servesInt(frame2_, 2, "Video Gain", 5);
  }));

  if (const char* out = std::getenv("QELM_E2E_SCREENSHOT")) {
    std::string error;
    std::lock_guard<std::mutex> guard(context_->screenLock);
    EXPECT_TRUE(writeScreensPng(context_->pixels(), out, error)) << error;
  }
}

TEST_F(PanelEndToEndTest, PageShowsLinkTroubleAndChangesMadeByAnotherPanel) {
  ASSERT_TRUE(passUntil([&] { return shown(0) == "Unity"; })) << shown(0);

  // Another panel sets the gain of camera 1; the card tells every panel, and this one's page
  // shows it.
  std::mt19937 random(1);
  HostGroup other("Client", GroupKind::kClient, platform::systemClock(), random);
  Target* gain = other.getTarget({frame2_, 1, false}, *camera_->findByName("Video Gain"));
  ASSERT_NE(gain, nullptr);
  gain->watch(true);
  const auto settle = [&] {
    other.poll(platform::systemClock().tick());
    return gain->status() == LinkStatus::kLive;
  };
  ASSERT_TRUE(passUntil(settle));
  gain->setValue(Value::ofInt(-17));
  ASSERT_TRUE(passUntil([&] {
    other.poll(platform::systemClock().tick());
    return shown(0) == "-17";
  })) << shown(0);

  // The device whose card nobody serves shows the link status in place of a value.
  key(kSelectDevice);
  type("9");
  key(kEnter);
  EXPECT_EQ(pageName(), "Unplugged/Main");
  ASSERT_TRUE(passUntil([&] {
    const std::string text = shown(0);
    return !text.empty() && text != "Unity" && text != "0";
  })) << shown(0);
  Target* dead = run_->panel()->currentPage()->firstTarget(0);
  ASSERT_NE(dead, nullptr);
  EXPECT_EQ(shown(0), linkStatusName(dead->status()));
}

TEST_F(PanelEndToEndTest, LoudnessSessionsAreNamedAfterTheirDevices) {
  // The report folders and the "$id$" of the reports carry the session names; "$addr$" the card.
  std::vector<std::string> sessions;
  for (const LoudnessMonitor* monitor : loudnessRegistry().monitors()) {
    sessions.push_back(monitor->sessionName());
    EXPECT_EQ(monitor->context().record().deviceName, "Card [1]");
  }
  std::sort(sessions.begin(), sessions.end());
  EXPECT_EQ(sessions, (std::vector<std::string>{"Loudness Simulator", "Programme Loudness"}));
}

}  // namespace
}  // namespace qelm
