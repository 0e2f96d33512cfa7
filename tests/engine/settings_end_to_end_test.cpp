// The panel's own settings worked with keys and knobs like a card's: stored in the boot
// environment when the page is left, kept across runs, defaults after damage, the theme
// repainted at once, and a restart asked for when a setting needs one.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "core/boot_env.h"
#include "core/log.h"
#include "display/palette.h"
#include "engine/engine_life.h"
#include "globals/global_settings.h"
#include "panel/displays.h"
#include "panel/panel_logic.h"
#include "platform/clock.h"

namespace qelm {
namespace {

namespace fs = std::filesystem;

using enum PanelKey;
constexpr int32_t kFixedIpAddressCode = 8;
constexpr int32_t kUserInterfacePage = 10;

class SettingsEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() /
              ("settings_end_to_end_" +
               std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(folder_);
    fs::create_directories(folder_ / "configuration");
    std::ofstream(folder_ / "configuration" / "startup.txt") << "banner \"Settings\"\n";
    const std::string data = folder_.string() + "/";
    context_ = std::make_unique<AppContext>(Folders{QELM_PROGRAM_DIR, data, data}, clock_);
    context_->setStartupFileName("startup.txt");
  }
  void TearDown() override {
    stop();
    context_.reset();
    fs::remove_all(folder_);
  }

  // A new run of the engine on the same folders, as a restart makes one.
  EngineLife& start() {
    stop();
    state_ = std::make_unique<EngineState>(*context_);
    run_ = std::make_unique<EngineLife>(*state_);
    EXPECT_TRUE(run_->startUp());
    passes(2);
    return *run_;
  }
  void stop() {
    if (run_ && run_->panel() != nullptr) run_->shutDown();
    run_.reset();
    state_.reset();
  }
  void passes(int n) {
    for (int i = 0; i < n; ++i)
      run_->pass();
  }
  void key(PanelKey panelKey) {
    context_->input.queueKey(codeOf(panelKey));
    passes(2);
  }
  void openPage(int32_t number) {
    key(kSelectSubmenu);
    for (char c : std::to_string(number))
      key(digitKey(c - '0'));
    key(kEnter);
  }
  uint32_t pixel(int32_t x, int32_t y) { return context_->pixels()[y * kRasterWidth + x]; }

  fs::path folder_;
  platform::ManualClock clock_{1000};
  std::unique_ptr<AppContext> context_;
  std::unique_ptr<EngineState> state_;
  std::unique_ptr<EngineLife> run_;
};

TEST_F(SettingsEndToEndTest, ThemeIsRepaintedAtOnceStoredOnLeavingAndKeptUntilTheFileIsDamaged) {
  EngineLife& run = start();
  EXPECT_EQ(run.panel()->currentDevice()->number(), 0) << "the only device: the panel's own";
  openPage(kUserInterfacePage);
  ASSERT_EQ(run.panel()->currentPage()->longName(), "User Interface");
  EXPECT_EQ(run.globals()->colorTheme(), 1);
  // Blank places of both screens, away from any text.
  const uint32_t leftBefore = pixel(470, 200);
  const uint32_t rightBefore = pixel(512 + 470, 200);

  // Knob 2 sits next to item 2, "Color Theme": one step down is "Bright".
  context_->input.queueKnobTurn(2, true);
  passes(2);
  EXPECT_EQ(run.globals()->colorTheme(), 0);
  EXPECT_EQ(context_->colorTheme.load(), 0);
  EXPECT_NE(pixel(470, 200), leftBefore);
  EXPECT_NE(pixel(512 + 470, 200), rightBefore);
  EXPECT_EQ(pixel(470, 200), themeColors(ColorTheme::kLight)[palette::kBackground]);
  EXPECT_EQ(pixel(512 + 470, 200), themeColors(ColorTheme::kLight)[palette::kBackground]);

  StandardFileBootEnv stored((folder_ / "bootenv").string());
  stored.load();
  EXPECT_NE(stored.get("theme"), "0") << "nothing is saved while the page is on show";
  key(kSelectDevice);
  stored.load();
  EXPECT_EQ(stored.get("theme"), "0");

  // The next run starts in the stored theme.
  start();
  EXPECT_EQ(run_->globals()->colorTheme(), 0);
  EXPECT_EQ(pixel(470, 200), themeColors(ColorTheme::kLight)[palette::kBackground]);

  // A damaged boot environment brings the defaults back.
  {
    std::fstream file(folder_ / "bootenv", std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(100);
    file.write("damage", 6);
  }
  start();
  EXPECT_EQ(run_->globals()->colorTheme(), 1);
  EXPECT_EQ(pixel(470, 200), themeColors(ColorTheme::kDark)[palette::kBackground]);
}

TEST_F(SettingsEndToEndTest, FixedAddressAsksForTheRestartOnlyWhenThePageIsLeft) {
  EngineLife& run = start();
  openPage(kUserInterfacePage);
  Value address = Value::ofAddress(0x0A010203);  // 10.1.2.3
  run.globals()->targetFor(kFixedIpAddressCode).setValue(address);
  passes(5);
  EXPECT_EQ(run.exitCode(), 0);

  key(kSelectDevice);
  EXPECT_EQ(run.exitCode(), 1);
  const std::string restarting = "Restarting";
  EXPECT_EQ(run.displays()->contextBar(Screen::kLeft).mainText(), restarting);

  // The runner then starts the engine again, which shows its start-up lines once more and
  // reads the stored address.
  stop();
  const int32_t first = messageCount();
  start();
  EXPECT_EQ(messageText(first), "Processing configuration.");
  EXPECT_EQ(run_->globals()->getGlobal(*run_->globals()->model().findByGlobalCode(8)).address,
            0x0A010203u);
}

}  // namespace
}  // namespace qelm
