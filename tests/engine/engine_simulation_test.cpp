// A running engine serves its simulated frames to another panel, as `qelm-engine run` does.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <thread>

#include "comm/host.h"
#include "engine/engine_thread.h"
#include "model/model.h"
#include "model/parameter.h"
#include "model/target.h"

namespace qelm {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kFrameA = (127u << 24) | (0u << 16) | (61u << 8) | 1u;  // 127.0.61.1
constexpr uint32_t kFrameB = (127u << 24) | (0u << 16) | (61u << 8) | 2u;  // 127.0.61.2

class EngineSimulationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() / "engine_simulation_test";
    fs::remove_all(folder_);
    fs::create_directories(folder_ / "configuration");
    std::ofstream(folder_ / "configuration" / "startup.txt")
        // Like a real frame, a simulated one must speak unasked now and then, or a panel whose
        // first connect was refused (the engine is still starting) never sees the link come up.
        << "model Gain\n"
           "  parameter 0x0101 Level int -100 100 default 7 periodic 500\n"
           "  parameter 0x0102 Name string 16 default Studio\n"
           "simulator Gain 127.0.61.1 2\n"
           "simulator Gain 127.0.61.2 3\n";
    const std::string f = folder_.string() + "/";
    runner_ = std::make_unique<EngineRunner>(Folders{f, f, f});
    runner_->context().setStartupFileName("startup.txt");

    // The other panel's own description of the card.
    level_ = model_.add(Parameter::makeOpenGear(0x0101, "Level"));
    level_->setIntegerRange(-100, 100, 1);
    name_ = model_.add(Parameter::makeOpenGear(0x0102, "Name"));
    name_->setString(16);
  }
  void TearDown() override {
    runner_.reset();
    fs::remove_all(folder_);
  }

  // Polls the other panel's group until `done` or about five seconds have passed.
  bool pollUntil(HostGroup& group, const std::function<bool()>& done) {
    platform::Clock& clock = platform::systemClock();
    for (int i = 0; i < 5000; ++i) {
      group.poll(clock.tick());
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }

  fs::path folder_;
  std::unique_ptr<EngineRunner> runner_;
  Model model_{"Gain"};
  Parameter* level_ = nullptr;
  Parameter* name_ = nullptr;
};

TEST_F(EngineSimulationTest, AnotherPanelReadsAndSetsTheSimulatedFrames) {
  runner_->start();
  std::mt19937 random(1);
  HostGroup panel("Client", GroupKind::kClient, platform::systemClock(), random);
  Target* levelA = panel.getTarget({kFrameA, 2, false}, *level_);
  Target* nameB = panel.getTarget({kFrameB, 3, false}, *name_);
  ASSERT_NE(levelA, nullptr);
  ASSERT_NE(nameB, nullptr);
  levelA->watch(true);
  nameB->watch(true);

  const bool answered = pollUntil(panel, [&] { return levelA->hasValue() && nameB->hasValue(); });
  if (!answered && runner_->finished()) GTEST_SKIP() << "the simulated frames could not listen";
  ASSERT_TRUE(answered);
  EXPECT_EQ(levelA->receivedValue().i, 7);
  EXPECT_EQ(nameB->receivedValue().text, "Studio");

  levelA->setValue(Value::ofInt(-42));
  ASSERT_TRUE(pollUntil(panel, [&] { return levelA->receivedValue().i == -42; }))
      << "the frame echoes the value it now holds";

  levelA->watch(false);
  nameB->watch(false);
  runner_->stop();
}

}  // namespace
}  // namespace qelm
