#include "engine/engine_life.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "../comm/loopback.h"
#include "automation/auto_action.h"
#include "comm/card.h"
#include "comm/client.h"
#include "comm/host.h"
#include "core/boot_env.h"
#include "core/log.h"
#include "display/palette.h"
#include "engine/engine_state.h"
#include "loudness/loudness_monitor.h"

namespace qelm {
namespace {

// A manual clock that asks the engine to stop after a number of main-loop sleeps, so a whole
// run happens on the test's thread without waiting.
class StoppingClock final : public platform::Clock {
 public:
  uint32_t tick() override { return now_; }
  void sleepMs(uint32_t ms) override {
    now_ += ms;
    ++sleeps_;
    if (context_ != nullptr && sleeps_ >= stopAfter_) context_->stopRequested = true;
  }
  AppContext* context_ = nullptr;
  int stopAfter_ = 3;
  int sleeps_ = 0;

 private:
  uint32_t now_ = 500;
};

class CountingNotifier final : public ScreenNotifier {
 public:
  void screenChanged() override { ++count; }
  int count = 0;
};

class RunEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ =
        std::filesystem::temp_directory_path() /
        ("engine_life_test_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
         "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(folder_ / "configuration");
    writeStartup("banner \"Test Panel\"\n");
    const std::string f = folder_.string() + "/";
    context_ = std::make_unique<AppContext>(Folders{f, f, f}, clock_);
    context_->setStartupFileName("startup.txt");
    context_->notifyWindow = &notifier_;
    clock_.context_ = context_.get();
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  void writeStartup(const std::string& text) {
    std::ofstream(folder_ / "configuration" / "startup.txt", std::ios::binary) << text;
  }

  std::vector<std::string> messagesSince(int32_t first) {
    std::vector<std::string> texts;
    for (int32_t n = first; n < messageCount(); ++n)
      texts.push_back(messageText(n));
    return texts;
  }

  std::filesystem::path folder_;
  StoppingClock clock_;
  CountingNotifier notifier_;
  std::unique_ptr<AppContext> context_;
};

TEST_F(RunEngineTest, StartUpLinesComeOnceInOrderAndStopEndsTheRunWithinOnePass) {
  const int32_t first = messageCount();
  EngineState state(*context_);
  const int result = runEngine(state);
  EXPECT_EQ(result, 1) << "the final event ends every run that reached the main loop with 1";
  const std::vector<std::string> expected = {
      "Processing configuration.",
      "Processed configuration in 0 ticks",
      "Reading boot environment.",
      "Initializing global settings.",
      "Initializing NTP client.",
      "Realizing control panel targets.",
      "Initializing virtual target values.",
      "Realizing monitors.",
      "Realizing simulator targets.",
      "Realizing auto-setter targets.",
      "Setting up for fake input.",
      "Initializing displays.",
      "Setting up UI logic.",
      "Running.",
      "Exiting.",
  };
  // The steps' own lines (file loading, fonts, monitors) come between; the protocol lines
  // appear once each, in this order.
  std::vector<std::string> protocol;
  for (const std::string& line : messagesSince(first))
    if (std::find(expected.begin(), expected.end(), line) != expected.end())
      protocol.push_back(line);
  EXPECT_EQ(protocol, expected);
  EXPECT_EQ(clock_.sleeps_, 3) << "the stop flag is seen at the top of the next pass";
  EXPECT_EQ(state.loopTick, 503u);
  EXPECT_EQ(state.catalog.banner, "Test Panel");
}

TEST_F(RunEngineTest, BrokenConfigurationEndsTheRunWithItsErrorOnTheScreens) {
  writeStartup("banner \"ok\"\n\n42\n");
  context_->lampWord = 0xFFFFFFFFu;  // as an earlier run left them
  const int32_t first = messageCount();
  EngineState state(*context_);
  EXPECT_EQ(runEngine(state), 2);
  const std::vector<std::string> lines = messagesSince(first);
  const std::string where = folder_.string() + "/configuration/startup.txt:3";
  const std::string message =
      "at " + where + " directive \"42\" unrecognized or invalid in this context";
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[0], "Processing configuration.");
  EXPECT_EQ(lines[2], message);
  EXPECT_EQ(lines[3], "Processed configuration in 0 ticks");
  EXPECT_EQ(std::find(lines.begin(), lines.end(), "Reading boot environment."), lines.end());
  std::ifstream errorFile(folder_ / "error");
  std::stringstream text;
  text << errorFile.rdbuf();
  EXPECT_EQ(text.str(), message + "\n");
  EXPECT_EQ(clock_.sleeps_, 0) << "no main loop";

  // The operator is told: the message for the window, the screens, no lamp inviting a key.
  EXPECT_EQ(context_->configurationError(), message);
  EXPECT_EQ(context_->lampWord.load(), 0u);
  EXPECT_TRUE(state.errorOnScreens);
  EXPECT_EQ(notifier_.count, 1);
  EXPECT_EQ(context_->pixels()[kRasterWidth + 1], paletteColor(palette::kBarBackground))
      << "the left header bar";
  EXPECT_EQ(context_->pixels()[kRasterWidth + kRightScreenColumn],
            paletteColor(palette::kBarBackground));

  // Mended, the configuration loads and the error of the failed load is gone.
  writeStartup("banner \"ok\"\n");
  EngineState next(*context_);
  EXPECT_EQ(runEngine(next), 1);
  EXPECT_FALSE(std::filesystem::exists(folder_ / "error"));
  EXPECT_EQ(context_->configurationError(), "");
}

TEST_F(RunEngineTest, OnlyPassesThatDrawPostAScreenChange) {
  clock_.stopAfter_ = 20;
  EngineState state(*context_);
  runEngine(state);
  EXPECT_EQ(notifier_.count, 1) << "the first screens, then nothing while idle";
}

TEST_F(RunEngineTest, SessionRequestsAreTakenAndAnsweredByThePageOnShow) {
  context_->setLoadSessionPath("/tmp/x.ses");
  context_->setSaveSessionPath("/tmp/y.ses");
  context_->setSessionReply("stale");
  EngineState state(*context_);
  runEngine(state);
  EXPECT_EQ(context_->loadSessionPath(), "");
  EXPECT_EQ(context_->saveSessionPath(), "");
  EXPECT_EQ(context_->sessionReply(), "OK") << "a page that is not a loudness page accepts";
  EXPECT_FALSE(context_->canSaveSession());
  EXPECT_FALSE(context_->canLoadSession());
}

TEST_F(RunEngineTest, InputQueuedBeforeTheRunIsConsumed) {
  context_->input.queueKey(codeOf(PanelKey::kSelectDevice));
  context_->input.queueKnobTurn(2, true);
  EngineState state(*context_);
  runEngine(state);
  EXPECT_EQ(context_->input.queuedCount(), 0u);
}

TEST_F(RunEngineTest, InputLinesFireInTheFirstPassAndTheirSetsLeaveInTheSamePass) {
  const uint32_t frameAddress = platform::ipv4(127, 0, 65, 1);
  loopback::TestServer frame(frameAddress, kFramePort);
  if (frame.error != 0) GTEST_SKIP() << "port 5253 of 127.0.65.1 is taken";
  writeStartup(
      "model Gain\n"
      "  parameter 0x0101 Level int -100 100\n"
      "input line 3 high from-model Gain 127.0.65.1 2 set Level 30\n"
      "input line 4 high from-model Gain 127.0.65.1 2 set Level 40\n");
  clock_.stopAfter_ = 1 << 30;
  EngineState state(*context_);
  EngineLife run(state);
  context_->input.setInputLines(1u << 2);  // line 3 is already high at start-up
  ASSERT_TRUE(run.startUp());
  ASSERT_EQ(run.autoGroup()->hosts().size(), 1u);
  auto& host = dynamic_cast<ClientHost&>(*run.autoGroup()->hosts()[0]);
  auto& target =
      dynamic_cast<AutoTarget&>(*host.cards().begin()->second->plainTargets().at(0x0101));

  run.pass();
  EXPECT_TRUE(target.staged() || host.status() == LinkStatus::kLive) << "fired in the first pass";
  ASSERT_TRUE(loopback::waitFor([&] {
    run.pass();
    return !target.staged();
  }));
  platform::Socket peer = frame.acceptOne();
  ASSERT_TRUE(peer.isOpen());
  std::vector<ReceivedMessage> sets;
  MessageParser parser(true, [&](const ReceivedMessage& m) { sets.push_back(m); });
  const auto receive = [&](size_t count) {
    loopback::waitFor([&] {
      uint8_t buffer[256];
      const platform::IoResult got = peer.receive(buffer, sizeof buffer);
      parser.feed(buffer, got.bytes);
      return sets.size() >= count;
    });
  };
  receive(1);
  ASSERT_EQ(sets.size(), 1u);
  EXPECT_EQ(decodeValue(sets[0], ValueType::kInt)->i, 30);

  // Line 4 rises: the pass that reads it writes the request; no later pass is needed.
  context_->input.setInputLines(1u << 2 | 1u << 3);
  run.pass();
  receive(2);
  ASSERT_EQ(sets.size(), 2u);
  EXPECT_EQ(decodeValue(sets[1], ValueType::kInt)->i, 40);
  run.shutDown();
}

TEST_F(RunEngineTest, LowTriggerReachesTheLoudnessMonitorOnceWithAllLinesAtZero) {
  writeStartup(
      "model Meter monitor lm\n"
      "  parameter 0x0d5c Payload string 255\n"
      "device 1 \"Meter\" page 1 \"Loudness\"\n"
      "  item 1 \"Payload\" from-model Meter 127.0.65.9 4\n"
      "input line 1 low from-model Meter 127.0.65.9 4 monitor LM start\n"
      "input line 1 low from-model Meter 127.0.65.9 5 monitor lm stop\n");
  clock_.stopAfter_ = 1 << 30;
  EngineState state(*context_);
  EngineLife run(state);
  ASSERT_TRUE(run.startUp());
  const Host& host = run.client()->findOrCreateHost(platform::ipv4(127, 0, 65, 9));
  ASSERT_EQ(host.cards().size(), 1u);
  ASSERT_NE(dynamic_cast<LoudnessMonitor*>(host.cards().begin()->second->monitors().at("lm").get()),
            nullptr);
  // The monitor logs every start it is asked for (it starts nothing while its card is silent).
  const auto starts = [&](int32_t from) {
    const std::vector<std::string> lines = messagesSince(from);
    return std::count(lines.begin(), lines.end(), "Starting session");
  };
  const int32_t first = messageCount();
  run.pass();
  EXPECT_EQ(starts(first), 1) << "line 1 reads 0 in the first pass";
  for (int i = 0; i < 5; ++i)
    run.pass();
  EXPECT_EQ(starts(first), 1) << "and the trigger fires once only";
  EXPECT_EQ(host.cards().size(), 1u) << "the action on slot 5 found no card and made none";
  run.shutDown();
}

}  // namespace
}  // namespace qelm
