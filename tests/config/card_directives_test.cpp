#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "automation/auto_action.h"
#include "config_test_support.h"
#include "model/model.h"

namespace qelm {
namespace {

using ::testing::ElementsAre;

constexpr const char* kRouter =
    "model Router\n"
    "  parameter 0x0010 Source choice 1 A A choice 2 B B\n"
    "  parameter 0x0020:2 Level int 0 10\n"
    "  parameter local Label string 16\n";
constexpr int kRouterLines = 4;

class CardDirectivesTest : public ConfigTest {
 protected:
  bool loadWithRouter(const std::string& text) { return load(std::string(kRouter) + text); }
  const Model* router() const { return catalog_.models.at("Router").get(); }
};

TEST_F(CardDirectivesTest, SampleSimulatorCardAndInput) {
  ASSERT_TRUE(loadFile(sampleFile("studio_a.txt"))) << errorText();
  const Model* amp = catalog_.models.at("Proc Amp").get();

  ASSERT_EQ(catalog_.simulators.size(), 1u);
  EXPECT_EQ(catalog_.simulators.begin()->first, (CardAddress{0x0A000032, 1, false}));
  EXPECT_EQ(catalog_.simulators.begin()->second, amp);

  const CardAddress card{0x0A000002, 3, false};
  ASSERT_TRUE(catalog_.localCardValues.contains(card));
  const auto& values = catalog_.localCardValues.at(card);
  ASSERT_EQ(values.size(), 1u);
  EXPECT_EQ(values[0].parameter, amp->findByName("Label"));
  EXPECT_EQ(values[0].value.text, "Cam 1");

  const auto& triggers = catalog_.inputActions.triggers();
  ASSERT_EQ(triggers.size(), 1u);
  EXPECT_EQ(triggers.begin()->first, (InputTrigger{1, 1}));
  const auto& actions = triggers.begin()->second;
  ASSERT_EQ(actions.size(), 2u);
  const auto* setter = dynamic_cast<const AutoSetter*>(actions[0]);
  ASSERT_NE(setter, nullptr);
  EXPECT_EQ(&setter->parameter(), amp->findByName("Video Gain"));
  EXPECT_EQ(setter->value().i, 0);
  ASSERT_EQ(setter->addresses().size(), 2u);
  EXPECT_EQ(setter->addresses()[1].slot, 4);
  const auto* start = dynamic_cast<const AutoMonitorAction*>(actions[1]);
  ASSERT_NE(start, nullptr);
  EXPECT_EQ(start->actionCode(), "start");
  EXPECT_EQ(&start->model(), amp);
}

TEST_F(CardDirectivesTest, SimulatorsKeyedByAddress) {
  ASSERT_TRUE(
      loadWithRouter("simulator Router 10.0.0.5 3 simulator Router 10.0.0.5 4\n"
                     "simulator Router 10.0.0.4 9"))
      << errorText();
  std::vector<int32_t> slots;
  for (const auto& [address, model] : catalog_.simulators)
    slots.push_back(address.slot);
  EXPECT_THAT(slots, ElementsAre(9, 3, 4));
}

TEST_F(CardDirectivesTest, InputLinesFileActionsByLineAndLevel) {
  ASSERT_TRUE(loadWithRouter(
      "input line 2 low from-model Router 10.0.0.4 1 set Source 2 monitor lm TOGGLE\n"
      "input line 12 high from-model Router 10.0.0.4 1 set 0x0020:2 7\n"
      "  from-model Router secondary-channels 10.0.0.5 2 set Source A\n"
      "input line 2 low"))
      << errorText();
  const auto& triggers = catalog_.inputActions.triggers();
  ASSERT_EQ(triggers.size(), 2u);

  const auto& low2 = triggers.at(InputTrigger{2, 0});
  ASSERT_EQ(low2.size(), 2u);
  EXPECT_EQ(dynamic_cast<const AutoSetter&>(*low2[0]).value().i, 2);
  const auto& toggle = dynamic_cast<const AutoMonitorAction&>(*low2[1]);
  EXPECT_EQ(toggle.monitorName(), "lm");
  EXPECT_EQ(toggle.actionCode(), "TOGGLE");  // monitors compare ignoring case

  const auto& high12 = triggers.at(InputTrigger{0x800, 0x800});
  ASSERT_EQ(high12.size(), 2u);
  const auto& level = dynamic_cast<const AutoSetter&>(*high12[0]);
  EXPECT_EQ(&level.parameter(), router()->findByOid(0x0020, 2));
  EXPECT_EQ(level.value().i, 7);
  const auto& source = dynamic_cast<const AutoSetter&>(*high12[1]);
  EXPECT_EQ(source.value().i, 1);
  EXPECT_TRUE(source.addresses()[0].secondaryChannels);

  EXPECT_EQ(catalog_.inputActions.actions().size(), 4u);
}

TEST_F(CardDirectivesTest, CardValuesPerCardInOrder) {
  ASSERT_TRUE(
      loadWithRouter("model Other parameter local label string 8\n"
                     "card 10.0.0.5 3 from-model Router local Label \"Cam 1\"\n"
                     "  from-model Other local LABEL x\n"
                     "card 10.0.0.5 4 from-model Router local Label \"Cam 2\"\n"))
      << errorText();
  const auto& three = catalog_.localCardValues.at(CardAddress{0x0A000005, 3, false});
  ASSERT_EQ(three.size(), 2u);
  EXPECT_EQ(three[0].value.text, "Cam 1");
  EXPECT_EQ(three[1].parameter->model()->name(), "Other");
  EXPECT_EQ(three[1].name, "LABEL");
  EXPECT_EQ(catalog_.localCardValues.at(CardAddress{0x0A000005, 4, false})[0].value.text, "Cam 2");
}

class CardDirectivesErrorTest : public ConfigTest,
                                public ::testing::WithParamInterface<ConfigErrorCase> {};

TEST_P(CardDirectivesErrorTest, ReportsWithLocation) {
  ConfigErrorCase c = GetParam();
  const std::string text = std::string(kRouter) + c.text;
  c.text = text.c_str();
  c.line += kRouterLines;
  expectFailure(c);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, CardDirectivesErrorTest,
    ::testing::Values(
        ConfigErrorCase{"simulator", 1, "bad model name in simulator definition"},
        ConfigErrorCase{"simulator Nope 10.0.0.5 3", 1,
                        "unrecognized model name in simulator definition"},
        ConfigErrorCase{"simulator Router 10.0.0 3", 1, "bad IP address in simulator definition"},
        ConfigErrorCase{"simulator Router 10.0.0.5 x", 1,
                        "bad slot number in simulator definition"},
        ConfigErrorCase{"simulator Router 10.0.0.5 3\nsimulator Router 10.0.0.5 3", 2,
                        "duplicate simulator address (10.0.0.5 slot 3)"},
        ConfigErrorCase{"input 1", 1, "input directive must be followed by line keyword"},
        ConfigErrorCase{"input line x", 1,
                        "line keyword must be followed by an integer line number"},
        ConfigErrorCase{"input line 13 high", 1, "line number must be in the range 1..12"},
        ConfigErrorCase{"input line 0 high", 1, "line number must be in the range 1..12"},
        ConfigErrorCase{"input line 3 up", 1,
                        "line number must be followed by high or low keyword"},
        ConfigErrorCase{"input line 1 high from-model", 1,
                        "bad model name in input from-model directive"},
        ConfigErrorCase{"input line 1 high from-model Nope 10.0.0.1 1", 1,
                        "unrecognized model name in input from-model directive"},
        ConfigErrorCase{"input line 1 high from-model Router set Source A", 1,
                        "input from-model specification must include IP address(es) and slot "
                        "number(s)"},
        ConfigErrorCase{"input line 1 high from-model Router 10.0.0.1 1 set 0x0999 1", 1,
                        "input from-model set directive uses an oid (2457, 0x0999) not defined "
                        "in the requested model"},
        ConfigErrorCase{"input line 1 high from-model Router 10.0.0.1 1 set 0x0020:3 1", 1,
                        "input from-model set directive uses an oid (32, 0x0020):(3, 0x0003) not "
                        "defined in the requested model"},
        ConfigErrorCase{"input line 1 high from-model Router 10.0.0.1 1 set Nope 1", 1,
                        "input from-model set directive uses a parameter (\"Nope\") not defined "
                        "in the requested model"},
        ConfigErrorCase{"input line 1 high from-model Router 10.0.0.1 1 set", 1,
                        "Error parsing oid in input from-model set definition"},
        ConfigErrorCase{"input line 1 high from-model Router 10.0.0.1 1 set Source C", 1,
                        "input from-model set definition must include a value compatible with "
                        "the associated parameter"},
        ConfigErrorCase{"input line 1 high from-model Router 10.0.0.1 1 monitor", 1,
                        "bad monitor name in input monitor definition"},
        ConfigErrorCase{"input line 1 high from-model Router 10.0.0.1 1 monitor xyz start", 1,
                        "unknown monitor name \"xyz\" in input monitor definition"},
        ConfigErrorCase{"input line 1 high from-model Router 10.0.0.1 1 monitor LM", 1,
                        "bad action code in input monitor definition"},
        ConfigErrorCase{"input line 1 high from-model Router 10.0.0.1 1 monitor LM go", 1,
                        "unknown action code \"go\" for monitor \"LM\" in input monitor "
                        "definition"},
        ConfigErrorCase{"card 10.0.0.300 1", 1, "bad IP address in card definition"},
        ConfigErrorCase{"card 10.0.0.5 -1", 1, "bad slot number in card definition"},
        ConfigErrorCase{"card 10.0.0.5 3 from-model", 1,
                        "bad model name in card from-model directive"},
        ConfigErrorCase{"card 10.0.0.5 3 from-model Nope local Label x", 1,
                        "unrecognized model name in card from-model directive"},
        ConfigErrorCase{"card 10.0.0.5 3 from-model Router local", 1,
                        "missing parameter name in card local directive"},
        ConfigErrorCase{"card 10.0.0.5 3 from-model Router local Name x", 1,
                        "while processing card directive, local parameter \"Name\" was not "
                        "found in model \"Router\""},
        ConfigErrorCase{"card 10.0.0.5 3 from-model Router local Level x", 1,
                        "local parameter \"Level\" in card directive must be followed by a value "
                        "compatible with it"},
        ConfigErrorCase{"card 10.0.0.5 3 from-model Router local Label \"Cam 1\"\n"
                        "  local Label \"Cam 2\"",
                        2,
                        "multiple values for local parameter \"Label\" on card \"10.0.0.5 [3]\""},
        ConfigErrorCase{"card 10.0.0.5 3 from-model Router local Label A\n"
                        "card 10.0.0.5 3 from-model Router local label B",
                        2,
                        "multiple values for local parameter \"label\" on card \"10.0.0.5 [3]\""}));

}  // namespace
}  // namespace qelm
