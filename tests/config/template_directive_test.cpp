#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "config/template.h"
#include "config_test_support.h"
#include "model/model.h"

namespace qelm {
namespace {

using ::testing::ElementsAre;

class TemplateDirectiveTest : public ConfigTest {
 protected:
  const Template& onlyTemplate() const { return *catalog_.templates.begin()->second; }
};

TEST_F(TemplateDirectiveTest, SampleLoads) {
  ASSERT_TRUE(loadFile(sampleFile("proc_amp.txt"))) << errorText();
  ASSERT_TRUE(loadFile(sampleFile("amp_2x.txt"))) << errorText();
  const Template& amp = *catalog_.templates.at("Amp 2x");
  EXPECT_EQ(&amp.model(), catalog_.models.at("Proc Amp").get());
  ASSERT_EQ(amp.pages().size(), 2u);

  const TemplatePage& main = amp.pages().at(1);
  EXPECT_EQ(main.name, "Main");
  EXPECT_EQ(main.type, PageType::k8Up);
  ASSERT_EQ(main.items.size(), 2u);
  const TemplateItem& gain = *main.item(0);
  EXPECT_EQ(gain.parameter->name(), "Video Gain");
  EXPECT_THAT(gain.addressIndexes, ElementsAre(0, 1));
  EXPECT_EQ(gain.displayName, "Gain A+B");
  EXPECT_FALSE(gain.setValue.valid);
  const TemplateItem& bars = *main.item(1);
  EXPECT_EQ(bars.parameter->oid(), 0x0102);
  EXPECT_THAT(bars.addressIndexes, ElementsAre(0));  // no index: the first address
  EXPECT_TRUE(bars.setValue.valid);
  EXPECT_EQ(bars.setValue.i, 1);
  EXPECT_EQ(bars.setText, "Bars");

  const TemplatePage& meters = amp.pages().at(2);
  EXPECT_EQ(meters.type, PageType::kLm);
  EXPECT_TRUE(meters.items.empty());
}

TEST_F(TemplateDirectiveTest, PageNumbersAndTypes) {
  ASSERT_TRUE(load(std::string(kProcAmp) +
                   "template T \"Proc Amp\" page 0 Zero page 3 X type LM page 4 Y TYPE 4-up "
                   "page 5 Z type cc page 999 Last type 8-up"))
      << errorText();
  std::vector<std::pair<int32_t, PageType>> pages;
  for (const auto& [number, page] : onlyTemplate().pages())
    pages.emplace_back(number, page.type);
  EXPECT_THAT(pages, ElementsAre(std::pair{0, PageType::k8Up}, std::pair{3, PageType::kLm},
                                 std::pair{4, PageType::k4Up}, std::pair{5, PageType::kCc},
                                 std::pair{999, PageType::k8Up}));
}

TEST_F(TemplateDirectiveTest, DigitsNameAnOidNotAName) {
  ASSERT_TRUE(
      load("model M parameter 0x000C Twelve int 0 1 parameter 0x0020 12 int 0 1\n"
           "template T M page 1 P item 1 12"))
      << errorText();
  EXPECT_EQ(onlyTemplate().pages().at(1).item(0)->parameter->name(), "Twelve");
}

TEST_F(TemplateDirectiveTest, ItemsBeyondCapacityAreKeptInTheTemplate) {
  ASSERT_TRUE(
      load(std::string(kProcAmp) + "template T \"Proc Amp\" page 1 P item 9 \"video gain\""))
      << errorText();
  EXPECT_NE(onlyTemplate().pages().at(1).item(8), nullptr);
}

TEST_F(TemplateDirectiveTest, PresetOfChoiceByShortName) {
  ASSERT_TRUE(load(std::string(kProcAmp) +
                   "template T \"Proc Amp\" page 1 P item 1 \"Test Pattern\" set Bars "
                   "text \"Color\" name \"Pattern\""))
      << errorText();
  const TemplateItem& item = *onlyTemplate().pages().at(1).item(0);
  EXPECT_EQ(item.setValue.i, 1);
  EXPECT_EQ(item.setText, "Color");
  EXPECT_EQ(item.displayName, "Pattern");
}

TEST_F(TemplateDirectiveTest, ModelFetchedFromItsOwnFile) {
  write("models/Proc Amp", kProcAmp);
  ASSERT_TRUE(load("template T \"Proc Amp\" page 1 P item 1 Label")) << errorText();
  EXPECT_TRUE(catalog_.models.contains("Proc Amp"));
  EXPECT_EQ(onlyTemplate().pages().at(1).item(0)->parameter->name(), "Label");
}

class TemplateDirectiveErrorTest : public ConfigTest,
                                   public ::testing::WithParamInterface<ConfigErrorCase> {};

TEST_P(TemplateDirectiveErrorTest, ReportsWithLocation) {
  expectFailureAfterProcAmp(GetParam());
}

INSTANTIATE_TEST_SUITE_P(
    Messages, TemplateDirectiveErrorTest,
    ::testing::Values(
        ConfigErrorCase{"template", 1, "bad name in template definition"},
        ConfigErrorCase{"template T", 1, "bad model name in template definition"},
        ConfigErrorCase{"template T Nope page 1 P", 1,
                        "unrecognized model name \"Nope\" in template definition"},
        ConfigErrorCase{"template T \"Proc Amp\" page 1 P\ntemplate T \"Proc Amp\" page 1 P", 2,
                        "duplicate template name \"T\" in template definition"},
        ConfigErrorCase{"template T \"Proc Amp\"\nmodel X", 1,
                        "template definition contains no page definitions"},
        ConfigErrorCase{"template T \"Proc Amp\" page 1000 X", 1,
                        "bad page number in template page definition"},
        ConfigErrorCase{"template T \"Proc Amp\" page 1", 1,
                        "bad page name in template page definition"},
        ConfigErrorCase{"template T \"Proc Amp\" page 1 X type 6-up", 1,
                        "unrecognized page type in page type definition"},
        ConfigErrorCase{"template T \"Proc Amp\" page 1 X\n page 1 Y", 2,
                        "duplicate page number (1) in template page definition"},
        ConfigErrorCase{"template T \"Proc Amp\" page 1 X item x", 1,
                        "bad item number in template item definition"},
        ConfigErrorCase{"template T \"Proc Amp\" page 1 X item 1 0x0999 model Y", 1,
                        "oid number (2457, 0x0999) in template item definition does not exist in "
                        "associated model"},
        ConfigErrorCase{"template T \"Proc Amp\" page 1 X item 1 0x0200:4 model Y", 1,
                        "oid number (512, 0x0200):(4, 0x0004) in template item definition does "
                        "not exist in associated model"},
        ConfigErrorCase{"template T \"Proc Amp\" page 1 X item 1", 1,
                        "Error parsing item directive"},
        ConfigErrorCase{"template T \"Proc Amp\" page 1 X item 1 Gain model Y", 1,
                        "parameter name \"Gain\" in template item definition does not exist in "
                        "associated model"},
        ConfigErrorCase{"template T \"Proc Amp\" page 1 X item 1 Label name", 1,
                        "nothing following name keyword in template item definition"},
        ConfigErrorCase{"template T \"Proc Amp\" page 1 X item 1 \"Video Gain\" set x", 1,
                        "set directive in template item definition must be followed by a value "
                        "compatible with the associated parameter"},
        ConfigErrorCase{"template T \"Proc Amp\" page 1 X item 1 \"Video Gain\" set 0 text", 1,
                        "nothing following text keyword in template item set definition"},
        ConfigErrorCase{"template T \"Proc Amp\" page 1 X item 0 Label", 1,
                        "illegal or duplicate item number (0) in template item definition"},
        ConfigErrorCase{"template T \"Proc Amp\" page 1 X\n item 2 Label\n item 2 Label", 3,
                        "illegal or duplicate item number (2) in template item definition"},
        ConfigErrorCase{"template T \"Proc Amp\" page 1 X item 1 Label 2 0", 1,
                        "illegal address index (0) in template item definition; addresses are "
                        "numbered from 1"}));

}  // namespace
}  // namespace qelm
