#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "config/template.h"
#include "config_test_support.h"
#include "model/model.h"

namespace qelm {
namespace {

using ::testing::ElementsAre;

constexpr uint32_t kFrame = 0x0A000002;  // 10.0.0.2

// A model, and a template with two pages whose first page gangs two addresses.
constexpr const char* kBase =
    "model M\n"
    "  parameter 0x0101 Gain int -100 100\n"
    "  parameter 0x0102 Mode choice 0 Off Off choice 1 On On\n"
    "  parameter 0x0200:1 Delay float 0 10 0.5\n"
    "template T M\n"
    "  page 1 Main item 1 Gain 1 2 item 2 Mode\n"
    "  page 3 Third item 1 Delay 2\n";
constexpr int kBaseLines = 7;

class DeviceDirectiveTest : public ConfigTest {
 protected:
  bool loadWithBase(const std::string& text) { return load(std::string(kBase) + text); }

  Device* device(int32_t number) const { return catalog_.devices.device(number); }

  static std::vector<int32_t> pageNumbers(const Device& d) {
    std::vector<int32_t> numbers;
    for (const auto& [number, page] : d.pages())
      numbers.push_back(number);
    return numbers;
  }
  static std::vector<int32_t> slots(const PageItem* item) {
    std::vector<int32_t> result;
    if (item == nullptr) return result;
    for (const CardAddress& a : item->addresses)
      result.push_back(a.slot);
    return result;
  }
};

TEST_F(DeviceDirectiveTest, CompleteSampleLoads) {
  ASSERT_TRUE(loadFile(sampleFile("studio_a.txt"))) << errorText();
  EXPECT_EQ(catalog_.banner, "Studio A Panel");
  ASSERT_EQ(catalog_.devices.devices().size(), 2u);

  const Device& cams = *device(1);
  EXPECT_EQ(cams.longName(), "Cam 1+2");
  EXPECT_EQ(cams.shortName(), "1");
  EXPECT_EQ(cams.templateLink(), catalog_.templates.at("Amp 2x").get());
  const Page& main = *cams.page(1);
  EXPECT_EQ(main.device(), &cams);
  EXPECT_THAT(slots(main.item(0)), ElementsAre(3, 4));
  EXPECT_EQ(main.item(0)->addresses[0].address, kFrame);
  EXPECT_EQ(main.item(0)->displayName, "Gain A+B");
  EXPECT_THAT(slots(main.item(1)), ElementsAre(3));
  EXPECT_EQ(main.item(1)->setText, "Bars");
  EXPECT_THAT(slots(main.item(2)), ElementsAre(3));
  EXPECT_EQ(main.item(2)->parameter->name(), "Label");

  const Device& solo = *device(2);
  EXPECT_EQ(solo.templateLink(), nullptr);
  EXPECT_THAT(slots(solo.page(1)->item(0)), ElementsAre(5));
}

TEST_F(DeviceDirectiveTest, DefaultConfigurationLoads) {
  ASSERT_TRUE(loadFile(QELM_SOURCE_DIR "configuration/startup.bak")) << errorText();
  ASSERT_EQ(catalog_.devices.devices().size(), 7u);
  // Every card of the default configuration is one the panel simulates itself, so a fresh
  // installation shows live values on every page; the one exception is the loudness card that
  // measures real audio, which `qelm-engine lmcard` plays beside the panel at 127.0.0.60.
  constexpr uint32_t kAudioLoudnessCard = 0x7F00003Cu;
  for (const auto& [number, d] : catalog_.devices.devices()) {
    for (const auto& [pageNumber, page] : d->pages()) {
      EXPECT_FALSE(page->items().empty()) << d->longName() << " " << page->longName();
      for (const PageItem& item : page->items()) {
        for (const CardAddress& a : item.addresses) {
          if (a.address == kAudioLoudnessCard) continue;
          EXPECT_EQ(catalog_.simulators.count(a), 1u) << d->longName() << " " << page->longName();
        }
      }
    }
  }
  for (const auto& [address, model] : catalog_.simulators)
    EXPECT_EQ(address.address >> 24, 127u);
}

TEST_F(DeviceDirectiveTest, FromTemplateCopiesPagesAndAddresses) {
  ASSERT_TRUE(loadWithBase("device 5 \"Amp\" from-template T 10.0.0.2 3 10.0.0.3 4 5"))
      << errorText();
  const Device& amp = *device(5);
  EXPECT_THAT(pageNumbers(amp), ElementsAre(1, 3));
  EXPECT_THAT(slots(amp.page(1)->item(0)), ElementsAre(3, 4));
  EXPECT_EQ(amp.page(1)->item(0)->addresses[1].address, 0x0A000003u);
  EXPECT_NE(amp.templateLink(), nullptr);
}

TEST_F(DeviceDirectiveTest, SecondaryChannelsMarksEveryAddress) {
  ASSERT_TRUE(loadWithBase("device 5 A from-template T secondary-channels 10.0.0.2 3 10.0.0.3 4"))
      << errorText();
  for (const CardAddress& a : device(5)->page(1)->item(0)->addresses) {
    EXPECT_TRUE(a.secondaryChannels);
  }
}

TEST_F(DeviceDirectiveTest, NoPageAndPageBreakTheTemplateLink) {
  ASSERT_TRUE(
      loadWithBase("device 1 A from-template T 10.0.0.2 3 4 no-page 3\n"
                   "device 2 B from-template T 10.0.0.2 3 4 page 2 Extra\n"
                   "device 3 C from-template T 10.0.0.2 3 4 no-page 7\n"))
      << errorText();
  EXPECT_THAT(pageNumbers(*device(1)), ElementsAre(1));
  EXPECT_EQ(device(1)->templateLink(), nullptr);
  EXPECT_THAT(pageNumbers(*device(2)), ElementsAre(1, 2, 3));
  EXPECT_EQ(device(2)->templateLink(), nullptr);
  // Removing a page the device does not have changes nothing.
  EXPECT_NE(device(3)->templateLink(), nullptr);
}

TEST_F(DeviceDirectiveTest, PageReplacesTemplatePageAndItemsReplaceItems) {
  ASSERT_TRUE(
      loadWithBase("device 1 A from-template T 10.0.0.2 3 4\n"
                   "  page 1 New type 4-up item 2 Mode 2 item 2 Gain 1 2 name Both\n"))
      << errorText();
  const Page& page = *device(1)->page(1);
  EXPECT_EQ(page.longName(), "New");
  EXPECT_EQ(page.type(), PageType::k4Up);
  EXPECT_EQ(page.item(0), nullptr);
  EXPECT_EQ(page.item(1)->parameter->name(), "Gain");
  EXPECT_THAT(slots(page.item(1)), ElementsAre(3, 4));
  EXPECT_EQ(page.item(1)->displayName, "Both");
}

TEST_F(DeviceDirectiveTest, ItemsFromModelWithoutTemplate) {
  ASSERT_TRUE(
      loadWithBase("device 6 \"Solo\" page 1 \"Main\"\n"
                   "  item 1 Gain from-model M 10.0.0.9 2\n"
                   "  item 2 0x0200:1 from-model M 10.0.0.9 2 3 set 2.5 text Preset\n"
                   "  item 3 0x0102 from-model M 10.0.0.9 2 set On\n"))
      << errorText();
  const Page& page = *device(6)->page(1);
  EXPECT_EQ(page.item(0)->addresses[0].address, 0x0A000009u);
  EXPECT_THAT(slots(page.item(1)), ElementsAre(2, 3));
  EXPECT_FLOAT_EQ(page.item(1)->setValue.f, 2.5f);
  EXPECT_EQ(page.item(1)->setText, "Preset");
  EXPECT_EQ(page.item(2)->setValue.i, 1);
}

TEST_F(DeviceDirectiveTest, DeviceLeftWithoutPagesIsNotListed) {
  ASSERT_TRUE(
      loadWithBase("device 7 \"Empty\" from-template T 10.0.0.1 1 no-page 1 no-page 3\n"
                   "device 7 \"Again\" page 1 P\n"))
      << errorText();
  EXPECT_EQ(device(7)->longName(), "Again");
}

TEST_F(DeviceDirectiveTest, TemplateFetchedFromItsOwnFile) {
  write("models/M", "model M parameter 1 Gain int 0 1");
  write("templates/T", "template T M page 1 P item 1 Gain");
  ASSERT_TRUE(load("device 1 A from-template T 10.0.0.1 1")) << errorText();
  EXPECT_EQ(device(1)->page(1)->item(0)->parameter->name(), "Gain");
}

TEST_F(DeviceDirectiveTest, FailedDeviceLeavesNothingBehind) {
  EXPECT_FALSE(
      loadWithBase("device 1 A from-template T 10.0.0.2 3 4\n"
                   "device 2 B from-template T 10.0.0.2 3 4 page 5 P item 1 Gain 3\n"));
  EXPECT_NE(device(1), nullptr);  // earlier devices stay
  EXPECT_EQ(device(2), nullptr);
  EXPECT_EQ(catalog_.devices.devices().size(), 1u);
}

class DeviceDirectiveErrorTest : public ConfigTest,
                                 public ::testing::WithParamInterface<ConfigErrorCase> {};

TEST_P(DeviceDirectiveErrorTest, ReportsWithLocation) {
  ConfigErrorCase c = GetParam();
  const std::string text = std::string(kBase) + c.text;
  c.text = text.c_str();
  c.line += kBaseLines;
  expectFailure(c);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, DeviceDirectiveErrorTest,
    ::testing::Values(
        ConfigErrorCase{"device 0 X", 1, "bad device number in device definition"},
        ConfigErrorCase{"device 1000 X", 1, "bad device number in device definition"},
        ConfigErrorCase{"device 1", 1, "bad device name in device definition"},
        ConfigErrorCase{"device 1 A from-template", 1, "bad template name in device definition"},
        ConfigErrorCase{"device 1 A from-template Nope 10.0.0.1 1", 1,
                        "unrecognized template name in device definition"},
        ConfigErrorCase{"device 1 A from-template T page 1 P", 1,
                        "device from-template specification must include IP address(es) and "
                        "slot number(s)"},
        ConfigErrorCase{"device 5 \"Amp\" from-template T 10.0.0.2", 1,
                        "IP address must be followed by at least one slot number"},
        ConfigErrorCase{"device 5 \"Amp\" from-template T 10.0.0.2 10.0.0.3 1", 1,
                        "IP address must be followed by at least one slot number"},
        ConfigErrorCase{"device 5 \"Amp\" from-template T 3 10.0.0.2 4", 1,
                        "slot number(s) must be preceded by an IP address"},
        ConfigErrorCase{"device 5 \"Amp\" from-template T 0.0.0.0 4", 1,
                        "slot number(s) must be preceded by an IP address"},
        ConfigErrorCase{"device 1 A from-template T 10.0.0.1 1 no-page 1000", 1,
                        "bad page number in device no-page directive"},
        ConfigErrorCase{"device 1 A page x", 1, "bad page number in device page definition"},
        ConfigErrorCase{"device 1 A page 1", 1, "bad page name in device page definition"},
        ConfigErrorCase{"device 1 A page 1 P type 6-up", 1,
                        "unrecognized page type in page type definition"},
        ConfigErrorCase{"device 1 A page 1 P item 0 Gain from-model M 10.0.0.1 1", 1,
                        "bad item number in device item definition"},
        ConfigErrorCase{"device 1 A page 1 P item 32768 Gain from-model M 10.0.0.1 1", 1,
                        "bad item number in device item definition"},
        ConfigErrorCase{"device 1 A page 1 P item 1", 1,
                        "Error parsing oid in device item definition"},
        ConfigErrorCase{"device 1 A page 1 P item 1 Gain from-model", 1,
                        "bad model name in device from-model directive"},
        ConfigErrorCase{"device 1 A page 1 P item 1 Gain from-model Nope 10.0.0.1 1", 1,
                        "unrecognized model name in device from-model directive"},
        ConfigErrorCase{"device 1 A page 1 P item 1 0x0999 from-model M 10.0.0.1 1", 1,
                        "device item directive uses an oid (2457, 0x0999) not defined in the "
                        "requested model"},
        ConfigErrorCase{"device 1 A page 1 P item 1 0x0200:2 from-model M 10.0.0.1 1", 1,
                        "device item directive uses an oid (512, 0x0200):(2, 0x0002) not defined "
                        "in the requested model"},
        ConfigErrorCase{"device 1 A page 1 P item 1 Nope from-model M 10.0.0.1 1", 1,
                        "device item directive uses a parameter (\"Nope\") not defined in the "
                        "requested model"},
        ConfigErrorCase{"device 1 A page 1 P item 1 Gain from-model M name x", 1,
                        "device item from-model specification must include IP address(es) and "
                        "slot number(s)"},
        ConfigErrorCase{"device 6 \"Solo\" page 1 \"Main\" item 1 Gain 1", 1,
                        "item definition in a device without from-template must specify "
                        "from-model"},
        ConfigErrorCase{"device 1 A from-template T 10.0.0.1 1 page 2 P item 1 0x0999 1", 1,
                        "device item directive uses an oid (2457, 0x0999) not defined in the "
                        "template model"},
        ConfigErrorCase{"device 1 A from-template T 10.0.0.1 1 page 2 P item 1 0x0200:2 1", 1,
                        "device item directive uses an oid (512, 0x0200):(2, 0x0002) not defined "
                        "in the template model"},
        ConfigErrorCase{"device 1 A from-template T 10.0.0.1 1 page 2 P item 1 Nope 1", 1,
                        "device item directive uses a parameter (\"Nope\") not defined in the "
                        "template model"},
        ConfigErrorCase{"device 1 A from-template T 10.0.0.1 1 page 2 P item 1 Gain 0", 1,
                        "device item directive uses illegal address index"},
        ConfigErrorCase{"device 1 A from-template T 10.0.0.1 1 page 2 P item 1 Gain 40000", 1,
                        "device item directive uses illegal address index"},
        ConfigErrorCase{"device 1 A from-template T 10.0.0.1 1 10.0.0.2 2\n"
                        " page 2 P item 1 Gain 3",
                        2,
                        "device item directive refers to address 3, but only 2 addresses are "
                        "provided"},
        ConfigErrorCase{"device 1 A from-template T 10.0.0.1 1 page 2 P item 1 Gain name G", 1,
                        "device item directive without from-model must give at least one address "
                        "index"},
        ConfigErrorCase{"device 1 A page 1 P item 1 Gain from-model M 10.0.0.1 1 name", 1,
                        "nothing following name keyword in device item definition"},
        ConfigErrorCase{"device 1 A page 1 P item 1 Gain from-model M 10.0.0.1 1 set x", 1,
                        "set directive in device item definition must be followed by a value "
                        "compatible with the associated parameter"},
        ConfigErrorCase{"device 1 A page 1 P item 1 Mode from-model M 10.0.0.1 1 set Maybe", 1,
                        "set directive in device item definition must be followed by a value "
                        "compatible with the associated parameter"},
        ConfigErrorCase{"device 1 A page 1 P item 1 Gain from-model M 10.0.0.1 1 set 0 text", 1,
                        "nothing following text keyword in device item set definition"},
        ConfigErrorCase{"device 1 A page 1 \"Main\" type 4-up item 5 Gain from-model M 10.0.0.1 1",
                        1, "item number (5) is illegal for page type"},
        ConfigErrorCase{"device 1 A from-template T 10.0.0.1 1\nmodel X", 1,
                        "item 1 of page 3 from template \"T\" uses only addresses beyond the 1 "
                        "provided"},
        ConfigErrorCase{"device 1 A page 1 P item 1 Gain from-model M 10.0.0.1 1\n"
                        "device 1 B page 1 P item 1 Gain from-model M 10.0.0.1 1\nmodel X",
                        2, "duplicate device number (1) in device definition"}));

}  // namespace
}  // namespace qelm
