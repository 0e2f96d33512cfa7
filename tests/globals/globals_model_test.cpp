#include "globals/globals_model.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/settings_keys.h"
#include "core/settings_store.h"
#include "model/device.h"
#include "model/model.h"
#include "text/text.h"

namespace qelm {
namespace {

using ::testing::ElementsAre;

// "number name (type): index=code ..." per page, in page order.
std::vector<std::string> describePages(const Device& device) {
  std::vector<std::string> pages;
  for (const auto& [number, page] : device.pages()) {
    std::string line = formattedText("%d %s (%d):", number, page->longName().c_str(),
                                     static_cast<int>(page->type()));
    for (const PageItem& item : page->items())
      line += formattedText(" %d=%d", item.index, item.parameter->globalCode());
    pages.push_back(line);
  }
  return pages;
}

class GlobalsModelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // What the desktop engine sets at start-up.
    store_.setBool(settings_key::kShowNetworkSettingsPages, false);
    store_.setBool(settings_key::kShowTimeSettingsPages, false);
    store_.setText(settings_key::kApplicationVersion, "1.2.3.4");
  }
  Parameter& parameter(GlobalCode code) { return *model_->findByGlobalCode(codeOf(code)); }

  SettingsStore store_;
  std::unique_ptr<Model> model_ = buildGlobalsModel();
};

TEST_F(GlobalsModelTest, DesktopStoreGivesTheDesktopPages) {
  const auto device = buildPanelDevice(*model_, store_);
  EXPECT_EQ(device->number(), 0);
  EXPECT_EQ(device->longName(), "This Control Panel");
  EXPECT_THAT(
      describePages(*device),
      ElementsAre("1 Loudness PPM Settings (1): 0=29 1=30 2=31 3=32 4=33 5=45 6=43 7=44",
                  "2 Loudness Custom Mode Settings (1): 0=54 1=55 2=56 3=57 4=58 5=59 6=60",
                  "3 Loudness Thresholds (1): 0=61 1=62",
                  "4 Loudness Meter Automated Triggering (1): 0=34 1=35 2=36 3=37 4=39 "
                  "5=38 6=63 7=64",
                  "5 Dialnorm Related Settings (1): 0=46 1=47",
                  "6 Session Management (1): 0=65 1=66 2=67 3=68 7=70",
                  "7 Loudness Meter Presets (1): 0=51 1=52 2=53",
                  "8 Control Panel Time (2): 2=48 3=49", "9 System Information (2): 0=12",
                  "10 User Interface (2): 0=14 1=15 2=16 3=21",
                  "11 Knob Ballistics (2): 0=17 1=18 2=19 3=20", "12 OpenGear Settings (2): 0=22"));
}

TEST_F(GlobalsModelTest, StoreEntriesAddNetworkAndTimePagesAndRenumber) {
  // Present but not exactly "1" counts as off.
  store_.setText(settings_key::kShowNetworkSettingsPages, "yes");
  EXPECT_EQ(buildPanelDevice(*model_, store_)->pages().size(), 12u);

  SettingsStore hardware;
  hardware.setBool(settings_key::kShowNetworkSettingsPages, true);
  hardware.setBool(settings_key::kShowTimeSettingsPages, true);
  const auto device = buildPanelDevice(*model_, hardware);
  const std::vector<std::string> pages = describePages(*device);
  ASSERT_EQ(pages.size(), 15u);
  EXPECT_EQ(pages[7], "8 Current Network Settings (2): 0=6 1=3 2=4 3=5");
  EXPECT_EQ(pages[8], "9 Configure Network Settings (1): 0=7 1=8 2=9 3=10");
  EXPECT_EQ(pages[9], "10 Control Panel Time (2): 0=50 2=48 3=49");
  EXPECT_EQ(pages[10], "11 Timeserver Settings (2): 0=26 1=27");
  // Without an application version the kernel and processor lines stand in for it.
  EXPECT_EQ(pages[11], "12 System Information (2): 0=12 1=13 2=11");
  EXPECT_EQ(pages[14], "15 OpenGear Settings (2): 0=22");
}

TEST_F(GlobalsModelTest, ParametersFollowTheFixedOrder) {
  std::vector<int32_t> codes;
  for (const Parameter* p : model_->parameters())
    codes.push_back(p->globalCode());
  EXPECT_EQ(codes, (std::vector<int32_t>{3,  4,  5,  6,  7,  8,  9,  10, 12, 13, 11, 25, 14, 15,
                                         16, 17, 18, 19, 20, 21, 22, 23, 24, 28, 29, 30, 31, 32,
                                         33, 26, 27, 34, 35, 36, 37, 39, 38, 40, 41, 42, 43, 44,
                                         45, 65, 67, 68, 66, 46, 47, 48, 49, 50, 51, 52, 53, 54,
                                         55, 56, 57, 58, 59, 60, 61, 62, 63, 64, 70}));
  EXPECT_EQ(model_->name(), "globals");
}

// Every persisted setting must read back what it writes: the default's stored text parses to
// the default, inside the range.
TEST_F(GlobalsModelTest, StoredDefaultsReadBackAsThemselves) {
  for (const Parameter* p : model_->parameters()) {
    if (p->key().empty()) continue;
    SCOPED_TRACE(p->name());
    const Value& byDefault = p->defaultValue();
    if (p->type() == ValueType::kChoice) {
      EXPECT_GE(p->choices().positionOfValue(byDefault.valid ? byDefault.i : 0), 0);
      continue;
    }
    if (p->type() == ValueType::kString && !byDefault.valid) continue;  // timecodes: none
    ASSERT_TRUE(byDefault.valid);
    const auto back = p->parseValue(p->formatValue(byDefault, false));
    ASSERT_TRUE(back.has_value());
    EXPECT_TRUE(valuesEqual(*back, byDefault, p->type()) ||
                (p->type() == ValueType::kIpAddress && back->address == byDefault.address));
  }
}

TEST_F(GlobalsModelTest, ChoicesNumberingNamesAndFlags) {
  // Typed entry numbers: DHCP and Quick Switch count from 0, everything else from 1.
  EXPECT_EQ(parameter(GlobalCode::kObtainAddressViaDhcp).parseValue("0")->i, 0);
  EXPECT_EQ(parameter(GlobalCode::kQuickSwitch).parseValue("1")->i, 1);
  EXPECT_EQ(parameter(GlobalCode::kColorTheme).parseValue("1")->i, 0);
  EXPECT_FALSE(parameter(GlobalCode::kColorTheme).parseValue("0").has_value());
  EXPECT_EQ(parameter(GlobalCode::kDialnormMode).parseValue("2")->i, 2);
  const Parameter& zone = parameter(GlobalCode::kTimeZone);
  EXPECT_EQ(zone.choices().count(), 38);
  EXPECT_EQ(zone.formatValue(*zone.parseValue("17")), "Paris, Berlin, Rome");
  EXPECT_EQ(zone.parseValue("17")->i, 16);

  const Parameter& theme = parameter(GlobalCode::kColorTheme);
  EXPECT_EQ(theme.formatValue(Value::ofInt(0)), "Bright");
  EXPECT_EQ(theme.choices().at(1)->longName(), "Dark Backgrounds");
  const Parameter& scale = parameter(GlobalCode::kCurrentGraphScale);
  EXPECT_EQ(scale.formatValue(scale.defaultValue()), "45 seconds");
  EXPECT_EQ(scale.choices().at(11)->longName(), "25:46:00");

  const Parameter& high = parameter(GlobalCode::kHighErrorThreshold);
  EXPECT_EQ(high.formatValue(*high.parseValue("40.1")), "Disabled");
  EXPECT_EQ(high.formatValue(high.defaultValue()), "8.0");
  const Parameter& low = parameter(GlobalCode::kLowErrorThreshold);
  EXPECT_EQ(low.formatValue(low.defaultValue()), "Disabled");
  EXPECT_EQ(parameter(GlobalCode::kKeyKnobHoldTime).formatValue(Value::ofFloat(0.5f)), "0.50");

  EXPECT_TRUE(parameter(GlobalCode::kStartAllSessions).isCommand());
  EXPECT_TRUE(parameter(GlobalCode::kFixedIpAddress).needsConfirmation());
  EXPECT_TRUE(parameter(GlobalCode::kActiveSessions).readOnly());
  EXPECT_FALSE(parameter(GlobalCode::kPeakThreshold).readOnly());
  EXPECT_EQ(parameter(GlobalCode::kMajorJumpMultiplier).type(), ValueType::kInt);
  EXPECT_EQ(parameter(GlobalCode::kBacklightLevel).type(), ValueType::kInt32);
}

}  // namespace
}  // namespace qelm
