#include "model/model.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qelm {
namespace {

using ::testing::ElementsAre;

class ModelTest : public ::testing::Test {
 protected:
  Parameter* addInt(std::unique_ptr<Parameter> p) {
    p->setIntegerRange(0, 10, 1);
    return model_.add(std::move(p));
  }

  Model model_{"Proc Amp"};
};

TEST_F(ModelTest, NamesAreUniqueIgnoringCase) {
  Parameter* gain = addInt(Parameter::makeOpenGear(0x0101, "gain"));
  ASSERT_NE(gain, nullptr);
  EXPECT_EQ(gain->model(), &model_);
  EXPECT_EQ(addInt(Parameter::makeOpenGear(0x0102, "Gain")), nullptr);
  EXPECT_EQ(addInt(Parameter::makeLocal("GAIN")), nullptr);
  EXPECT_EQ(model_.findByName("GaIn"), gain);
  EXPECT_EQ(model_.findByName("gain2"), nullptr);
  EXPECT_EQ(model_.findByOid(0x0102), nullptr);  // the refused one left no trace
  EXPECT_EQ(model_.parameters().size(), 1u);
}

TEST_F(ModelTest, OpenGearAndArrayElementsShareAnOid) {
  Parameter* whole = addInt(Parameter::makeOpenGear(0x0100, "Whole"));
  Parameter* first = addInt(Parameter::makeArrayElement(0x0100, 0, "First"));
  Parameter* second = addInt(Parameter::makeArrayElement(0x0100, 1, "Second"));
  ASSERT_NE(whole, nullptr);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(addInt(Parameter::makeArrayElement(0x0100, 1, "Again")), nullptr);
  EXPECT_EQ(addInt(Parameter::makeOpenGear(0x0100, "Other")), nullptr);
  EXPECT_EQ(model_.findByOid(0x0100), whole);
  EXPECT_EQ(model_.findByOid(0x0100, 1), second);
  EXPECT_EQ(model_.findByOid(0x0100, 2), nullptr);
  EXPECT_EQ(model_.findByName("again"), nullptr);
}

TEST_F(ModelTest, GlobalCodesUniqueLocalsByNameOnly) {
  EXPECT_NE(addInt(Parameter::makeGlobal(14, "Backlight Level", "backlight")), nullptr);
  EXPECT_EQ(addInt(Parameter::makeGlobal(14, "Other", "other")), nullptr);
  EXPECT_NE(model_.findByGlobalCode(14), nullptr);
  EXPECT_EQ(model_.findByGlobalCode(15), nullptr);
  EXPECT_NE(addInt(Parameter::makeLocal("Notes")), nullptr);
  EXPECT_NE(addInt(Parameter::makeLocal("Label")), nullptr);
  EXPECT_EQ(model_.findByOid(0), nullptr);  // locals and globals have no OID entry
}

TEST_F(ModelTest, CardParametersInOidThenElementOrder) {
  addInt(Parameter::makeArrayElement(0x0200, 1, "E1"));
  addInt(Parameter::makeOpenGear(0x0300, "C"));
  addInt(Parameter::makeLocal("L"));
  addInt(Parameter::makeArrayElement(0x0100, 5, "E0"));
  addInt(Parameter::makeOpenGear(0x0001, "A"));
  addInt(Parameter::makeArrayElement(0x0200, 0, "E2"));
  addInt(Parameter::makeGlobal(3, "G", ""));
  std::vector<std::string> names;
  model_.forEachCardParameter([&](Parameter& p) { names.push_back(p.name()); });
  EXPECT_THAT(names, ElementsAre("A", "C", "E0", "E2", "E1"));
  names.clear();
  for (const Parameter* p : model_.parameters())
    names.push_back(p->name());
  EXPECT_THAT(names, ElementsAre("E1", "C", "L", "E0", "A", "E2", "G"));
}

TEST_F(ModelTest, MonitorModulesFoldCase) {
  EXPECT_TRUE(model_.addMonitorModule("LM"));
  EXPECT_FALSE(model_.addMonitorModule("lm"));
  EXPECT_THAT(model_.monitorModules(), ElementsAre("lm"));
}

TEST_F(ModelTest, LikeWithinAModelSharesTheFirstParametersChoices) {
  Parameter* mode = model_.add(Parameter::makeOpenGear(0x0102, "Test Pattern"));
  ASSERT_NE(mode, nullptr);
  mode->addChoice(1, 0, "Off", "Off");
  mode->addChoice(2, 1, "Bars", "Color Bars");
  Parameter* copy = model_.add(Parameter::makeOpenGear(0x0103, "Pattern 2"));
  ASSERT_TRUE(copy->copyTypeFrom(*model_.findByName("test pattern")));
  EXPECT_EQ(copy->formatValue(Value::ofInt(1)), "Bars");
  EXPECT_EQ(copy->oid(), 0x0103);
}

}  // namespace
}  // namespace qelm
