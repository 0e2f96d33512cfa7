#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "config_test_support.h"
#include "model/model.h"

namespace qelm {
namespace {

using ::testing::ElementsAre;

class ModelDirectiveTest : public ConfigTest {
 protected:
  // The parameter `name` of model "M", defined by `attributes` after "parameter 1 P".
  Parameter* defineP(const std::string& attributes) {
    if (!load("model M parameter 1 P " + attributes)) return nullptr;
    return catalog_.models.at("M")->findByName("P");
  }
};

TEST_F(ModelDirectiveTest, SampleLoads) {
  ASSERT_TRUE(loadFile(sampleFile("proc_amp.txt"))) << errorText();
  const Model& model = *catalog_.models.at("Proc Amp");

  const Parameter* gain = model.findByOid(0x0101);
  ASSERT_NE(gain, nullptr);
  EXPECT_EQ(gain->name(), "Video Gain");
  EXPECT_EQ(gain->type(), ValueType::kInt);
  EXPECT_EQ(gain->intMinimum(), -100);
  EXPECT_EQ(gain->intMaximum(), 100);
  EXPECT_EQ(gain->intStep(), 1);
  EXPECT_EQ(gain->unit(), "%");
  EXPECT_TRUE(valuesEqual(gain->defaultValue(), Value::ofInt(0), ValueType::kInt));

  const Parameter* pattern = model.findByName("test pattern");
  ASSERT_NE(pattern, nullptr);
  EXPECT_EQ(pattern->type(), ValueType::kChoice);
  EXPECT_TRUE(pattern->slow());
  ASSERT_EQ(pattern->choices().count(), 2);
  EXPECT_EQ(pattern->choices().at(0)->number(), 1);
  EXPECT_EQ(pattern->choices().at(1)->number(), 2);
  EXPECT_EQ(pattern->choices().at(1)->value(), 1);
  EXPECT_EQ(pattern->choices().at(1)->shortName(), "Bars");
  EXPECT_EQ(pattern->choices().at(1)->longName(), "Color Bars");

  const Parameter* delay = model.findByOid(0x0200, 3);
  ASSERT_NE(delay, nullptr);
  EXPECT_EQ(delay->kind(), ParameterKind::kArrayElement);
  EXPECT_EQ(delay->type(), ValueType::kFloat);
  EXPECT_FLOAT_EQ(delay->floatStep(), 0.5f);

  const Parameter* label = model.findByName("Label");
  ASSERT_NE(label, nullptr);
  EXPECT_EQ(label->kind(), ParameterKind::kLocal);
  EXPECT_EQ(label->type(), ValueType::kString);
  EXPECT_EQ(label->intMaximum(), 16);

  EXPECT_THAT(model.monitorModules(), ElementsAre("lm"));
}

TEST_F(ModelDirectiveTest, IntegerRangeOrdersBoundsAndDefaultsStep) {
  const Parameter* p = defineP("int 100 -100 5");
  ASSERT_NE(p, nullptr) << errorText();
  EXPECT_EQ(p->intMinimum(), -100);
  EXPECT_EQ(p->intMaximum(), 100);
  EXPECT_EQ(p->intStep(), 5);

  catalog_.models.clear();
  p = defineP("int -100 100 unit dB");
  ASSERT_NE(p, nullptr) << errorText();
  EXPECT_EQ(p->intStep(), 1);
  EXPECT_EQ(p->unit(), "dB");  // the token after the bounds was left for the next attribute
}

TEST_F(ModelDirectiveTest, ChoiceAcceptsDefaultByShortNameOrDataValue) {
  const Parameter* p = defineP("choice 5 Off \"Off\" choice 7 On \"On\" default On");
  ASSERT_NE(p, nullptr) << errorText();
  EXPECT_EQ(p->defaultValue().i, 7);
  catalog_.models.clear();
  p = defineP("choice 5 Off \"Off\" choice 7 On \"On\" default 5");
  ASSERT_NE(p, nullptr) << errorText();
  EXPECT_EQ(p->defaultValue().i, 5);
}

TEST_F(ModelDirectiveTest, NamedValuesAndDisplayRange) {
  const Parameter* p = defineP("int 0 10 name 0 \"Off\" display 0 100");
  ASSERT_NE(p, nullptr) << errorText();
  ASSERT_NE(p->namedValues().find(0.0f), nullptr);
  EXPECT_EQ(*p->namedValues().find(0.0f), "Off");
  EXPECT_EQ(p->displayMinimum().i, 0);
  EXPECT_EQ(p->displayMaximum().i, 100);
}

TEST_F(ModelDirectiveTest, LikeCopiesTypeByNameOrOid) {
  ASSERT_TRUE(
      load("model Copy\n"
           "  parameter 0x0101 Level int 0 10 2 unit dB\n"
           "  parameter 0x0105 Level2 like LEVEL\n"
           "  parameter 0x0106 X like 0x0101\n"))
      << errorText();
  const Model& model = *catalog_.models.at("Copy");
  for (const char* name : {"Level2", "X"}) {
    const Parameter* p = model.findByName(name);
    ASSERT_NE(p, nullptr) << name;
    EXPECT_EQ(p->type(), ValueType::kInt);
    EXPECT_EQ(p->intStep(), 2);
    EXPECT_EQ(p->unit(), "dB");
  }
}

TEST_F(ModelDirectiveTest, LocalStringWithDefault) {
  ASSERT_TRUE(load("model M parameter local Notes string 32 default \"none\"")) << errorText();
  const Parameter* p = catalog_.models.at("M")->findByName("Notes");
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->kind(), ParameterKind::kLocal);
  EXPECT_EQ(p->defaultValue().text, "none");
}

TEST_F(ModelDirectiveTest, KeywordsMayBeNamesAndAnyCase) {
  ASSERT_TRUE(load("MODEL page PaRaMeTeR 1 default INT 0 1 Monitor LM")) << errorText();
  const Model& model = *catalog_.models.at("page");
  EXPECT_NE(model.findByName("default"), nullptr);
  EXPECT_THAT(model.monitorModules(), ElementsAre("lm"));
}

TEST_F(ModelDirectiveTest, FailedModelStaysButLoadFails) {
  EXPECT_FALSE(load("model M parameter 1 A int 0 1 parameter 2 B unit x"));
  ASSERT_TRUE(catalog_.models.contains("M"));
  EXPECT_NE(catalog_.models.at("M")->findByName("A"), nullptr);
}

class ModelDirectiveErrorTest : public ConfigTest,
                                public ::testing::WithParamInterface<ConfigErrorCase> {};

TEST_P(ModelDirectiveErrorTest, ReportsWithLocation) {
  expectFailure(GetParam());
}

INSTANTIATE_TEST_SUITE_P(
    Messages, ModelDirectiveErrorTest,
    ::testing::Values(
        ConfigErrorCase{"model", 1, "malformed model definition"},
        ConfigErrorCase{"model A\nmodel A", 2, "duplicate model name \"A\""},
        ConfigErrorCase{"model A monitor", 1, "bad monitor name in module definition"},
        ConfigErrorCase{"model A\n monitor xyz\n", 2,
                        "unknown monitor name \"xyz\" in module definition"},
        ConfigErrorCase{"model A parameter abc X", 1,
                        "bad oid specification in parameter definition"},
        ConfigErrorCase{"model A parameter 1", 1, "bad name in parameter definition"},
        ConfigErrorCase{"model A parameter local N string 1\n parameter local n string 2", 2,
                        "duplicate name \"n\" in parameter definition"},
        ConfigErrorCase{"model A parameter 0x0101 N int 0 1\n parameter 257 B int 0 1", 2,
                        "duplicate name \"B\" or oid (257, 0x0101) in parameter definition"},
        ConfigErrorCase{"model A parameter 0x200:3 N int 0 1\n parameter 512:3 B int 0 1", 2,
                        "duplicate name \"B\" or oid (512, 0x0200):(3, 0x0003) in parameter "
                        "definition"},
        ConfigErrorCase{"model A parameter 1 N like 9 model B", 1,
                        "oid number (9, 0x0009) in \"like\" directive does not exist in model"},
        ConfigErrorCase{"model A parameter 1 N like 9:1 model B", 1,
                        "oid number (9, 0x0009):(1, 0x0001) in \"like\" directive does not exist "
                        "in model"},
        ConfigErrorCase{"model A parameter 1 N like", 1, "Error parsing \"like\" directive"},
        ConfigErrorCase{"model A parameter 1 N like Nope model B", 1,
                        "parameter name \"Nope\" in \"like\" directive does not exist in model"},
        ConfigErrorCase{"model A parameter 1 N like n model B", 1,
                        "\"like\" directive refers to the parameter being defined"},
        ConfigErrorCase{"model A parameter 1 N like 1 model B", 1,
                        "\"like\" directive refers to the parameter being defined"},
        ConfigErrorCase{"model A parameter 1 N unit \"dB\"\nmodel B", 1,
                        "parameter definition does not specify a parameter type"},
        ConfigErrorCase{"model A parameter 1 N string 4 int 0 1", 1,
                        "conflicting types in parameter definition"},
        ConfigErrorCase{"model A parameter 1 N int x 1", 1,
                        "bad minimum value in integer parameter definition"},
        ConfigErrorCase{"model A parameter 1 N int -32768 1", 1,
                        "bad minimum value in integer parameter definition"},
        ConfigErrorCase{"model A parameter 1 N int 0 1.5", 1,
                        "bad maximum value in integer parameter definition"},
        ConfigErrorCase{"model A parameter 1 N choice 0 A A float 0 1 1", 1,
                        "conflicting types in parameter definition"},
        ConfigErrorCase{"model A parameter 1 N float x 1 1", 1,
                        "bad minimum value in float parameter definition"},
        ConfigErrorCase{"model A parameter 1 N float 0 x 1", 1,
                        "bad maximum value in float parameter definition"},
        ConfigErrorCase{"model A parameter 1 N float 0 1 x", 1,
                        "bad step size in float parameter definition"},
        ConfigErrorCase{"model A parameter 1 N int 0 1 string 4", 1,
                        "conflicting types in parameter definition"},
        ConfigErrorCase{"model A parameter 1 N string -1", 1,
                        "bad length in string parameter definition"},
        ConfigErrorCase{"model A parameter 1 N int 0 1 choice 0 A A", 1,
                        "conflicting types in parameter definition"},
        ConfigErrorCase{"model A parameter 1 N choice x A A", 1,
                        "bad data value in choice parameter definition"},
        ConfigErrorCase{"model A parameter 1 N choice 0", 1,
                        "bad short name in choice parameter definition"},
        ConfigErrorCase{"model A parameter 1 N choice 0 A", 1,
                        "bad long name in choice parameter definition"},
        ConfigErrorCase{"model A parameter 0x0102 Mode choice 0 Off \"Off\" choice 1 On \"On\"\n"
                        "  choice 1 X \"X\"",
                        2, "duplicate data value (1, 0x0001) in choice parameter definition"},
        ConfigErrorCase{"model A parameter 1 N int 0 1 unit", 1,
                        "bad unit name in parameter definition"},
        ConfigErrorCase{"model A parameter 1 N int 0 1 slow readonly", 1,
                        "readonly conflicts with slow in parameter definition"},
        ConfigErrorCase{"model A parameter 1 N choice 1 Go Go readonly", 1,
                        "readonly conflicts with slow in parameter definition"},
        ConfigErrorCase{"model A parameter 1 N int 0 1 periodic x", 1,
                        "bad periodic interval in parameter definition"},
        ConfigErrorCase{"model A parameter 0x0104 Level default 3 int 0 10", 1,
                        "default value is incompatible with parameter"},
        ConfigErrorCase{"model A parameter 1 N choice 0 Off Off default On", 1,
                        "default value is incompatible with parameter"},
        ConfigErrorCase{"model A parameter 1 N string 4 display a b", 1,
                        "display range allowed only for int or float parameters"},
        ConfigErrorCase{"model A parameter 1 N int 0 1 display 0", 1,
                        "minimum display value is missing or incompatible with parameter"},
        ConfigErrorCase{"model A parameter 1 N int 0 1 display x 1", 1,
                        "minimum display value is missing or incompatible with parameter"},
        ConfigErrorCase{"model A parameter 1 N int 0 1 name x y", 1,
                        "named value is incompatible with parameter"},
        ConfigErrorCase{"model A parameter 1 N int 0 1 name 0", 1,
                        "named value must be followed by name"},
        ConfigErrorCase{"model A parameter 0x0103 Trim int 0 10 name 0 \"Off\" name 0.5 \"Half\"",
                        1, "named value is duplicated or illegal for this parameter"},
        ConfigErrorCase{"model A parameter 1 N name 0 Off int 0 1", 1,
                        "named value is duplicated or illegal for this parameter"}));

}  // namespace
}  // namespace qelm
