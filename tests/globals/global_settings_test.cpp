#include "globals/global_settings.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "comm/legacy_port.h"
#include "core/boot_env.h"
#include "core/input.h"
#include "core/log.h"
#include "core/settings_keys.h"
#include "core/settings_store.h"
#include "display/palette.h"
#include "globals/time_zones.h"
#include "panel/screens.h"
#include "platform/clock.h"

namespace qelm {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// The zone is process-wide: every test leaves it as it found it.
class TimeZoneGuard {
 public:
  TimeZoneGuard() {
    if (const char* zone = std::getenv("TZ")) saved_ = zone;
  }
  ~TimeZoneGuard() {
    if (saved_) {
      ::setenv("TZ", saved_->c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }

 private:
  std::optional<std::string> saved_;
};

// Records the screen operations the settings use; the others are not expected.
class RecordingScreens final : public PanelScreens {
 public:
  void showSelection(std::string_view, std::string_view, const ItemList&, int32_t) override {}
  void showPage(const Device&, const Page&) override {}
  void refreshItem(int32_t) override {}
  void highlightItem(int32_t, const ItemList*, int32_t) override {}
  void showEntryText(std::string_view) override {}
  void showError() override {}
  void highlightListPosition(int32_t) override {}
  void showMessage(std::string_view text) override { calls.push_back("show " + std::string(text)); }
  void clearMessage() override { calls.push_back("clear"); }
  void setStatusText(std::string_view) override {}
  void showUtility() override {}
  void setUtilityHeader(std::string_view) override {}
  void clearUtilityReport() override {}
  void appendUtilityReport(std::string_view) override {}
  void drawNow() override { calls.push_back("draw"); }
  void repaintAll() override { calls.push_back("repaint"); }

  std::vector<std::string> calls;
};

class FakeSessions final : public LoudnessSessions {
 public:
  int32_t activeSessionCount() const override { return active; }
  void startAll() override { calls.push_back("start"); }
  void stopAll() override { calls.push_back("stop"); }
  void restartAll() override { calls.push_back("restart"); }
  void applySettings(GlobalSettings&) override { calls.push_back("apply"); }
  void finishPendingReports() override { calls.push_back("finish"); }

  int32_t active = 0;
  std::vector<std::string> calls;
};

class CountingInput final : public InputBase {
 public:
  std::optional<InputEvent> nextEvent() override { return std::nullopt; }
  void knobSettingsChanged() override { ++knobChanges; }
  uint32_t inputLines() override { return 0; }
  int knobChanges = 0;
};

class GlobalSettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TZ", "UTC0", 1);
    ::tzset();
    std::string pattern = (fs::temp_directory_path() / "qelm-globals-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
    bootEnvPath_ = (folder_ / "bootenv").string();
    buildDatePath_ = (folder_ / "build-date").string();
    store_.setBool(settings_key::kShowNetworkSettingsPages, false);
    store_.setBool(settings_key::kShowTimeSettingsPages, false);
    store_.setText(settings_key::kApplicationVersion, "1.2.3.4");
    start();
  }
  void TearDown() override {
    settings_.reset();
    fs::remove_all(folder_);
    fillPalette(ColorTheme::kLight);
  }

  // A new run: the boot environment loaded from its file and fresh settings over it.
  void start() {
    settings_.reset();
    bootEnv_ = std::make_unique<StandardFileBootEnv>(bootEnvPath_);
    bootEnv_->load();
    settings_ = std::make_unique<GlobalSettings>(*bootEnv_, store_, clock_, buildDatePath_);
    settings_->setScreens(&screens_);
    settings_->setLoudnessSessions(&sessions_);
    screens_.calls.clear();
    sessions_.calls.clear();
  }
  GlobalTarget& target(GlobalCode code) { return settings_->targetFor(codeOf(code)); }
  std::string text(GlobalCode code) { return target(code).valueText(); }
  Value value(GlobalCode code) { return target(code).currentValue(); }
  void set(GlobalCode code, const Value& v) { target(code).setValue(v); }
  void setText(GlobalCode code, const std::string& typed) {
    const auto parsed = target(code).parameter().parseValue(typed);
    ASSERT_TRUE(parsed.has_value()) << typed;
    set(code, *parsed);
  }
  std::string savedEntry(const std::string& key) {
    StandardFileBootEnv file(bootEnvPath_);
    file.load();
    return file.get(key);
  }

  TimeZoneGuard zoneGuard_;
  fs::path folder_;
  std::string bootEnvPath_;
  std::string buildDatePath_;
  SettingsStore store_;
  platform::ManualClock clock_{1000};
  RecordingScreens screens_;
  FakeSessions sessions_;
  std::unique_ptr<StandardFileBootEnv> bootEnv_;
  std::unique_ptr<GlobalSettings> settings_;
};

// A failed save is retried at every later commit; the operator is warned once, not at each try.
TEST_F(GlobalSettingsTest, FailedSaveIsWarnedOnceAndRetriedUntilItWorks) {
  fs::create_directories(bootEnvPath_);  // a folder where the file should go
  const int32_t first = messageCount();
  const auto warnings = [&] {
    int count = 0;
    for (int32_t n = first; n != messageCount(); ++n)
      count += messageText(n) == "WARNING: the panel settings could not be saved";
    return count;
  };
  setText(GlobalCode::kLevelScaling, "-12.5");
  settings_->commit();
  settings_->commit();
  EXPECT_EQ(warnings(), 1);
  fs::remove(bootEnvPath_);
  settings_->commit();
  EXPECT_EQ(savedEntry("lm_ls"), "-12.5");

  fs::remove(bootEnvPath_);
  fs::create_directories(bootEnvPath_);
  setText(GlobalCode::kLevelScaling, "-10");
  settings_->commit();
  EXPECT_EQ(warnings(), 2) << "a new failure after a save that worked is reported again";
}

TEST_F(GlobalSettingsTest, DeviceItemsAreBoundToTheSettingsTargets) {
  const Page* time = settings_->device().page(8);
  ASSERT_NE(time, nullptr);
  EXPECT_EQ(time->longName(), "Control Panel Time");
  EXPECT_EQ(time->firstTarget(2), &target(GlobalCode::kCurrentDate));
  EXPECT_EQ(time->firstTarget(3), &target(GlobalCode::kCurrentTime));
  EXPECT_EQ(settings_->globalTarget(codeOf(GlobalCode::kColorTheme)),
            &target(GlobalCode::kColorTheme));

  EXPECT_EQ(settings_->globalTarget(99), nullptr);
  try {
    settings_->targetFor(99);
    FAIL() << "no exception";
  } catch (const std::string& error) {
    EXPECT_EQ(error, "No target for global setting with code 99");
  }
  const auto local = Parameter::makeLocal("x");
  EXPECT_THROW(settings_->registerGlobal(*local), std::string);
  const auto unknown = Parameter::makeGlobal(1, "x", "");
  try {
    settings_->getGlobal(*unknown);
    FAIL() << "no exception";
  } catch (const std::string& error) {
    EXPECT_EQ(error, "No get-handler for global setting with code 1");
  }
}

TEST_F(GlobalSettingsTest, WrittenSettingsAreSavedAtCommitAndReadBackNextRun) {
  setText(GlobalCode::kLevelScaling, "-12.5");
  setText(GlobalCode::kHighErrorThreshold, "40.1");
  set(GlobalCode::kReportChannels, Value::ofInt(0));
  EXPECT_TRUE(target(GlobalCode::kLevelScaling).isChanged());
  EXPECT_EQ(text(GlobalCode::kLevelScaling), "-12.5");
  EXPECT_FALSE(fs::exists(bootEnvPath_));  // nothing is written before the commit

  settings_->commit();
  EXPECT_THAT(screens_.calls, ElementsAre("show Saving changes", "draw", "clear", "draw"));
  EXPECT_FALSE(settings_->restartRequested());
  EXPECT_EQ(savedEntry("lm_ls"), "-12.5");
  EXPECT_EQ(savedEntry("lm_hst"), "40.1");  // stored as the number, shown by its name
  EXPECT_EQ(savedEntry("lm_repch"), "0");

  screens_.calls.clear();
  settings_->commit();  // nothing new to save
  EXPECT_THAT(screens_.calls, IsEmpty());

  start();
  EXPECT_EQ(text(GlobalCode::kLevelScaling), "-12.5");
  EXPECT_EQ(text(GlobalCode::kHighErrorThreshold), "Disabled");
  EXPECT_TRUE(target(GlobalCode::kHighErrorThreshold).hasNamedValue());
  EXPECT_EQ(text(GlobalCode::kReportChannels), "L and R Only");
}

TEST_F(GlobalSettingsTest, DamagedOrUnreadableEntriesGiveDefaults) {
  bootEnv_->set("lm_ls", "-33.3");
  bootEnv_->set("theme", "0");
  ASSERT_TRUE(bootEnv_->save());
  {
    std::fstream file(bootEnvPath_, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(100);
    file.put('\x55');
  }
  start();
  EXPECT_EQ(text(GlobalCode::kLevelScaling), "-20.0");
  EXPECT_EQ(settings_->colorTheme(), 1);
  EXPECT_EQ(text(GlobalCode::kColorTheme), "Dim");
  EXPECT_EQ(text(GlobalCode::kCurrentGraphScale), "45 seconds");
  EXPECT_EQ(text(GlobalCode::kSessionRolloverTime), "12:00:00");
  EXPECT_EQ(text(GlobalCode::kNetmask), "255.255.255.0");
  EXPECT_EQ(text(GlobalCode::kLegacyPort6666Support), "Off");
  EXPECT_FALSE(target(GlobalCode::kStartTriggerTimecode).hasValue());

  // Texts that do not read fall back to the default; choices may be stored in hexadecimal.
  bootEnv_->set("lm_ls", "-99");   // out of range
  bootEnv_->set("lm_pt", "loud");  // not a number
  bootEnv_->set("lm2_mode", "0x3");
  bootEnv_->set("lm2_view", "1x");
  EXPECT_EQ(text(GlobalCode::kLevelScaling), "-20.0");
  EXPECT_EQ(text(GlobalCode::kPeakThreshold), "-1.0");
  EXPECT_EQ(text(GlobalCode::kCurrentGraphMode), "CUSTOM");
  EXPECT_EQ(text(GlobalCode::kCurrentLoudnessView), "Meter") << "value 1 is the graph view";
}

TEST_F(GlobalSettingsTest, ThemeRefillsThePaletteAndRepaints) {
  set(GlobalCode::kColorTheme, Value::ofInt(1));
  EXPECT_EQ(paletteColor(palette::kBackground),
            themeColors(ColorTheme::kDark)[palette::kBackground]);
  set(GlobalCode::kColorTheme, Value::ofInt(0));
  EXPECT_EQ(paletteColor(palette::kBackground),
            themeColors(ColorTheme::kLight)[palette::kBackground]);
  EXPECT_THAT(screens_.calls, ElementsAre("repaint", "repaint"));
  EXPECT_EQ(settings_->colorTheme(), 0);

  set(GlobalCode::kColorTheme, Value::ofInt(1));
  fillPalette(ColorTheme::kLight);
  settings_->fillPaletteForTheme();
  EXPECT_EQ(paletteColor(palette::kBackground),
            themeColors(ColorTheme::kDark)[palette::kBackground]);
}

TEST_F(GlobalSettingsTest, AddressChangesRestartOnlyAtTheNextCommit) {
  setText(GlobalCode::kFixedIpAddress, "10.0.0.5");
  EXPECT_FALSE(settings_->restartRequested());
  EXPECT_THAT(screens_.calls, IsEmpty());
  settings_->commit();
  EXPECT_TRUE(settings_->restartRequested());
  EXPECT_THAT(screens_.calls, ElementsAre("show Saving changes", "draw", "clear", "draw",
                                          "show Restarting", "draw"));
  EXPECT_EQ(savedEntry("ipaddr"), "10.0.0.5");

  start();
  EXPECT_FALSE(settings_->restartRequested());
  EXPECT_EQ(value(GlobalCode::kObtainAddressViaDhcp).i, 0);
  set(GlobalCode::kObtainAddressViaDhcp, Value::ofInt(1));
  EXPECT_EQ(value(GlobalCode::kObtainAddressViaDhcp).i, 1);
  EXPECT_EQ(bootEnv_->get("dhcp"), "y");
  settings_->commit();
  EXPECT_TRUE(settings_->restartRequested());
  EXPECT_EQ(savedEntry("dhcp"), "y");

  // Without an engine run to restart nothing restarts, and nothing says so.
  GlobalSettings detached(*bootEnv_, store_, clock_, buildDatePath_, SettingsOwner::kDetached);
  detached.setScreens(&screens_);
  screens_.calls.clear();
  detached.targetFor(codeOf(GlobalCode::kGateway)).setValue(Value::ofAddress(0x0A000001));
  detached.commit();
  EXPECT_THAT(screens_.calls, ElementsAre("show Saving changes", "draw", "clear", "draw"));
  EXPECT_FALSE(detached.restartRequested());
}

TEST_F(GlobalSettingsTest, AdminPresetsSaveAndLoadTheirLists) {
  setText(GlobalCode::kLevelScaling, "-15.0");
  setText(GlobalCode::kStopTriggerTimecode, "10:00:00");
  set(GlobalCode::kLogEverySample, Value::ofInt(1));
  settings_->commit();
  sessions_.calls.clear();

  set(GlobalCode::kSaveAdminPresets, value(GlobalCode::kSaveAdminPresets));
  EXPECT_EQ(bootEnv_->get("x-lm_ls"), "-15.0");
  EXPECT_EQ(bootEnv_->get("x-lm_tcbst_stop_tc"), "10:00:00");
  EXPECT_EQ(bootEnv_->get("x-log_every_sample"), "1");
  EXPECT_THAT(sessions_.calls, IsEmpty());
  settings_->commit();  // the presets themselves are kept
  EXPECT_EQ(savedEntry("x-lm_ls"), "-15.0");

  setText(GlobalCode::kLevelScaling, "-30.0");
  setText(GlobalCode::kStopTriggerTimecode, "11:00:00");
  set(GlobalCode::kLogEverySample, Value::ofInt(0));
  target(GlobalCode::kLevelScaling).clearChanged();
  sessions_.calls.clear();

  set(GlobalCode::kLoadAdminPresets, value(GlobalCode::kLoadAdminPresets));
  EXPECT_EQ(text(GlobalCode::kLevelScaling), "-15.0");
  EXPECT_TRUE(target(GlobalCode::kLevelScaling).isChanged());
  EXPECT_EQ(text(GlobalCode::kStopTriggerTimecode), "11:00:00");
  EXPECT_EQ(text(GlobalCode::kLogEverySample), "No");
  EXPECT_THAT(sessions_.calls, ElementsAre("apply"));
  settings_->commit();
  EXPECT_EQ(savedEntry("lm_ls"), "-15.0");
}

TEST_F(GlobalSettingsTest, FactoryPresetsBringDefaultsBack) {
  setText(GlobalCode::kLevelScaling, "-15.0");
  setText(GlobalCode::kTargetLoudness, "-23.0");
  set(GlobalCode::kCurrentGraphScale, Value::ofInt(800));
  setText(GlobalCode::kSessionRolloverTime, "06:30:00");
  set(GlobalCode::kAutomatedTriggering, Value::ofInt(2));
  settings_->commit();
  sessions_.calls.clear();

  set(GlobalCode::kLoadFactoryPresets, value(GlobalCode::kLoadFactoryPresets));
  EXPECT_EQ(text(GlobalCode::kLevelScaling), "-20.0");
  EXPECT_EQ(text(GlobalCode::kTargetLoudness), "-24.0");
  EXPECT_EQ(text(GlobalCode::kCurrentGraphScale), "45 seconds");
  EXPECT_EQ(text(GlobalCode::kSessionRolloverTime), "12:00:00");
  EXPECT_EQ(text(GlobalCode::kAutomatedTriggering), "Timecode");  // not a factory setting
  EXPECT_THAT(sessions_.calls, ElementsAre("apply"));
  settings_->commit();
  EXPECT_EQ(savedEntry("lm_ls"), "");
  EXPECT_EQ(savedEntry("lm_sbst_e"), "2");
}

TEST_F(GlobalSettingsTest, CoupledLevelsAndTimecodesFollowEachOther) {
  setText(GlobalCode::kVuYellow, "-5.0");  // above red (-10): red follows
  EXPECT_EQ(text(GlobalCode::kVuRed), "-5.0");
  EXPECT_TRUE(target(GlobalCode::kVuRed).isChanged());
  setText(GlobalCode::kVuRed, "-30.0");  // below yellow: yellow follows
  EXPECT_EQ(text(GlobalCode::kVuYellow), "-30.0");
  setText(GlobalCode::kVuRed, "-20.0");  // already above yellow: yellow stays
  EXPECT_EQ(text(GlobalCode::kVuYellow), "-30.0");
  EXPECT_EQ(bootEnv_->get("lm_gy"), "-30.0");

  setText(GlobalCode::kStopTriggerTimecode, "10:00:00");  // no start yet: it takes the stop
  EXPECT_EQ(text(GlobalCode::kStartTriggerTimecode), "10:00:00");
  setText(GlobalCode::kStartTriggerTimecode, "11:00:00");  // after the stop: stop follows
  EXPECT_EQ(text(GlobalCode::kStopTriggerTimecode), "11:00:00");
  setText(GlobalCode::kStopTriggerTimecode, "9:30");  // "09:30:00" orders before the start
  EXPECT_EQ(text(GlobalCode::kStartTriggerTimecode), "09:30:00");
  setText(GlobalCode::kStopTriggerTimecode, "12:00:00");
  EXPECT_EQ(text(GlobalCode::kStartTriggerTimecode), "09:30:00");

  // Clearing both one after the other ends (no endless copying of "no value").
  set(GlobalCode::kStartTriggerTimecode, Value::ofText(""));
  set(GlobalCode::kStopTriggerTimecode, Value::ofText(""));
  EXPECT_FALSE(target(GlobalCode::kStartTriggerTimecode).hasValue());
  EXPECT_FALSE(target(GlobalCode::kStopTriggerTimecode).hasValue());
}

std::string localTimeText() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[16];
  std::strftime(text, sizeof text, "%H:%M:%S", &local);
  return text;
}

TEST_F(GlobalSettingsTest, TimeZoneChoiceAppliesItsRuleAtOnce) {
  EXPECT_EQ(value(GlobalCode::kTimeZone).i, 0);  // "UTC0" is no row of the table

  set(GlobalCode::kTimeZone, Value::ofInt(0));  // the first row cannot be chosen
  EXPECT_EQ(bootEnv_->get("tzname"), "");
  EXPECT_STREQ(std::getenv("TZ"), "UTC0");

  const std::string rule(timeZoneTable()[16].rule);
  const std::string before = localTimeText();  // (the zone is now CET/CEST)
  set(GlobalCode::kTimeZone, Value::ofInt(16));
  const std::string expectedEarly = localTimeText();
  target(GlobalCode::kCurrentTime).clearChanged();
  settings_->refreshClock();  // forced: no time has passed on the caller's clock
  const std::string expectedLate = localTimeText();
  EXPECT_EQ(bootEnv_->get("tzname"), rule);
  EXPECT_EQ(value(GlobalCode::kTimeZone).i, 16);
  EXPECT_EQ(text(GlobalCode::kTimeZone), "Paris, Berlin, Rome");
  const std::string shown = text(GlobalCode::kCurrentTime);
  EXPECT_TRUE(shown == expectedEarly || shown == expectedLate) << shown;
  EXPECT_NE(shown.substr(0, 2), before.substr(0, 2));  // one or two hours from UTC
  EXPECT_TRUE(target(GlobalCode::kCurrentTime).isChanged());

  // The next run starts in the stored zone.
  settings_->commit();
  ::setenv("TZ", "UTC0", 1);
  ::tzset();
  start();
  EXPECT_EQ(value(GlobalCode::kTimeZone).i, 16);
}

TEST_F(GlobalSettingsTest, ClockRefreshesAtMostEveryHundredMilliseconds) {
  setText(GlobalCode::kCurrentTime, "01:02:03");
  setText(GlobalCode::kCurrentDate, "2/29/2024");
  EXPECT_EQ(text(GlobalCode::kCurrentTime), "01:02:03");
  EXPECT_EQ(text(GlobalCode::kCurrentDate), "02/29/2024");
  target(GlobalCode::kCurrentTime).clearChanged();

  clock_.advance(99);
  settings_->refreshClock();
  EXPECT_EQ(text(GlobalCode::kCurrentTime), "01:02:03");
  EXPECT_FALSE(target(GlobalCode::kCurrentTime).isChanged());

  clock_.advance(1);
  const std::string early = localTimeText();
  settings_->refreshLocks();  // refreshes the clock first
  const std::string late = localTimeText();
  const std::string shown = text(GlobalCode::kCurrentTime);
  EXPECT_TRUE(shown == early || shown == late) << shown;
  EXPECT_TRUE(target(GlobalCode::kCurrentTime).isChanged());
  EXPECT_NE(text(GlobalCode::kCurrentDate), "02/29/2024");

  set(GlobalCode::kCurrentDate, Value::ofText("13/1/2024"));  // not a date
  EXPECT_EQ(text(GlobalCode::kCurrentDate), "");
}

TEST_F(GlobalSettingsTest, ActiveSessionsLockTheMeasurementSettings) {
  settings_->refreshLocks();
  EXPECT_FALSE(target(GlobalCode::kPeakThreshold).parameter().readOnly());
  sessions_.active = 2;
  EXPECT_EQ(text(GlobalCode::kActiveSessions), "2");
  settings_->refreshLocks();
  EXPECT_TRUE(target(GlobalCode::kPeakThreshold).parameter().readOnly());
  EXPECT_TRUE(target(GlobalCode::kLogEverySample).parameter().readOnly());
  EXPECT_TRUE(target(GlobalCode::kLoadFactoryPresets).parameter().readOnly());
  EXPECT_FALSE(target(GlobalCode::kLevelScaling).parameter().readOnly());
  EXPECT_FALSE(target(GlobalCode::kVuYellow).parameter().readOnly());
  sessions_.active = 0;
  settings_->refreshLocks();
  EXPECT_FALSE(target(GlobalCode::kPeakThreshold).parameter().readOnly());
  EXPECT_TRUE(target(GlobalCode::kActiveSessions).parameter().readOnly());  // always
}

TEST_F(GlobalSettingsTest, LoudnessActionsReachTheSessions) {
  set(GlobalCode::kStartAllSessions, value(GlobalCode::kStartAllSessions));
  set(GlobalCode::kStopAllSessions, value(GlobalCode::kStopAllSessions));
  set(GlobalCode::kRestartAllSessions, value(GlobalCode::kRestartAllSessions));
  EXPECT_THAT(sessions_.calls, ElementsAre("start", "stop", "restart"));

  sessions_.calls.clear();
  setText(GlobalCode::kPeakThreshold, "-3.0");
  set(GlobalCode::kStartSessionsOnBootup, Value::ofInt(1));  // read at the next start only
  set(GlobalCode::kBacklightLevel, Value::ofInt(50));        // no loudness setting
  EXPECT_THAT(sessions_.calls, ElementsAre("apply"));
  EXPECT_EQ(bootEnv_->get("lm_autostart_sessions"), "1");

  sessions_.calls.clear();
  settings_->finishForShutdown();
  EXPECT_THAT(sessions_.calls, ElementsAre("stop", "finish"));

  settings_->setLoudnessSessions(nullptr);  // back to none
  EXPECT_EQ(value(GlobalCode::kActiveSessions).i, 0);
  settings_->finishForShutdown();
}

TEST_F(GlobalSettingsTest, PanelSwitchesAndFixedFacts) {
  CountingInput input;
  settings_->setKnobInput(&input);
  setText(GlobalCode::kMajorJumpInterval, "0.2");
  set(GlobalCode::kMinorJumpMultiplier, Value::ofInt(5));
  setText(GlobalCode::kKeyKnobHoldTime, "1.0");
  set(GlobalCode::kQuickSwitch, Value::ofInt(0));
  EXPECT_EQ(input.knobChanges, 3);

  set(GlobalCode::kLegacyPort6666Support, Value::ofInt(0));
  EXPECT_FALSE(legacyPortEnabled());
  set(GlobalCode::kLegacyPort6666Support, Value::ofInt(1));
  EXPECT_TRUE(legacyPortEnabled());
  EXPECT_EQ(text(GlobalCode::kLegacyPort6666Support), "On");
  setLegacyPortEnabled(false);

  for (const GlobalCode code : {GlobalCode::kCurrentIpAddress, GlobalCode::kCurrentNetmask,
                                GlobalCode::kCurrentGateway, GlobalCode::kEthernetAddress}) {
    EXPECT_FALSE(target(code).hasValue());
  }
  EXPECT_EQ(text(GlobalCode::kProcessorVersion), "Simulated");
  EXPECT_EQ(text(GlobalCode::kFirmwareStatus), "Simulated hardware");
  EXPECT_EQ(text(GlobalCode::kApplicationBuild), "1.2.3.4");
  EXPECT_FALSE(target(GlobalCode::kKernelBuild).hasValue());  // no such file yet
  {
    std::ofstream file(buildDatePath_);
    file << "Tue Mar  4 10:11:12 UTC 2025\nsecond line\n";
  }
  EXPECT_EQ(text(GlobalCode::kKernelBuild), "Tue Mar  4 10:11:12");
  {
    std::ofstream file(buildDatePath_);
    file << "2025-03-04\r\n";
  }
  EXPECT_EQ(text(GlobalCode::kKernelBuild), "2025-03-04");

  EXPECT_EQ(text(GlobalCode::kSelectAction), "No Action");
  set(GlobalCode::kSelectAction, Value::ofInt(1));
  EXPECT_EQ(text(GlobalCode::kSelectAction), "Update");
  set(GlobalCode::kBeginAction, value(GlobalCode::kBeginAction));
  EXPECT_EQ(text(GlobalCode::kBeginAction), "Go");
  EXPECT_FALSE(settings_->restartRequested());
}

}  // namespace
}  // namespace qelm
