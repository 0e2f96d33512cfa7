// [SECTION] Addresses
// [SECTION] Int, Int32 and integer display scaling
// [SECTION] Choice
// [SECTION] Float and float display scaling
// [SECTION] Named values
// [SECTION] String (plain, time of day, date)
// [SECTION] IpAddress
// [SECTION] UInt32
// [SECTION] Copy type from ("like")
// [SECTION] Initial value

#include "model/parameter.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <set>
#include <string>

namespace qelm {
namespace {

using ::testing::Optional;

// Reads `text` and returns the field that counts, so expectations read as numbers.
std::optional<int32_t> parsedInt(const Parameter& p, std::string_view text) {
  const auto v = p.parseValue(text);
  if (!v) return std::nullopt;
  EXPECT_TRUE(v->valid);
  return v->i;
}

std::optional<float> parsedFloat(const Parameter& p, std::string_view text) {
  const auto v = p.parseValue(text);
  if (!v) return std::nullopt;
  EXPECT_TRUE(v->valid);
  return v->f;
}

// ---------------------------------------------------------------------------------------------

TEST(ParameterAddressTest, AskingForAMissingAddressThrowsItsText) {
  const auto local = Parameter::makeLocal("Label");
  const auto global = Parameter::makeGlobal(3, "Current IP Address", "");
  const auto og = Parameter::makeOpenGear(1, "X");
  for (const Parameter* p : {local.get(), global.get()}) {
    EXPECT_THROW(
        {
          try {
            (void)p->oid();
          } catch (const std::string& text) {
            EXPECT_EQ(text, "Requested OID for non-OpenGear parameter");
            throw;
          }
        },
        std::string);
  }
  for (const Parameter* p : {local.get(), global.get(), og.get()}) {
    try {
      (void)p->elementIndex();
      ADD_FAILURE() << "no exception";
    } catch (const std::string& text) {
      EXPECT_EQ(text, "Requested OID for non-OpenGear array element parameter");
    }
  }
  try {
    (void)og->globalCode();
    ADD_FAILURE() << "no exception";
  } catch (const std::string& text) {
    EXPECT_EQ(text, "Requested global code for non-global parameter");
  }
}

// ---------------------------------------------------------------------------------------------

class IntParameterTest : public ::testing::Test {
 protected:
  IntParameterTest() { p_->setIntegerRange(10, -5, 1); }
  std::unique_ptr<Parameter> p_ = Parameter::makeOpenGear(0x0101, "Gain");
};

TEST_F(IntParameterTest, SmallerBoundBecomesMinimum) {
  EXPECT_EQ(p_->type(), ValueType::kInt);
  EXPECT_EQ(p_->intMinimum(), -5);
  EXPECT_EQ(p_->intMaximum(), 10);
  EXPECT_EQ(p_->formatValue(Value::ofInt(-5)), "-5");
  EXPECT_EQ(p_->formatValue(Value{}), "");
}

TEST_F(IntParameterTest, ParsesWholeTextWithinRange) {
  EXPECT_THAT(parsedInt(*p_, "-5"), Optional(-5));
  EXPECT_THAT(parsedInt(*p_, "10"), Optional(10));
  EXPECT_THAT(parsedInt(*p_, "-0"), Optional(0));
  for (const char* bad :
       {"", "-", "11", "-6", "--5", "+5", "5a", " 5", "1.0", "99999999999999999999999"}) {
    EXPECT_FALSE(p_->parseValue(bad)) << bad;
  }
}

TEST_F(IntParameterTest, StepsAndLimits) {
  Value v = Value::ofInt(8);
  EXPECT_TRUE(p_->stepValue(v, 1));
  EXPECT_EQ(v.i, 9);
  EXPECT_TRUE(p_->stepValue(v, 5));
  EXPECT_EQ(v.i, 10);
  EXPECT_FALSE(p_->stepValue(v, 1));
  EXPECT_TRUE(p_->stepValue(v, -100));
  EXPECT_EQ(v.i, -5);
  Value none;
  EXPECT_TRUE(p_->stepValue(none, 0));  // becoming valid is a change
  EXPECT_TRUE(none.valid);
}

TEST(Int32ParameterTest, ExtremeStepsNeitherOverflowNorWrap) {
  const auto p = Parameter::makeGlobal(28, "Active Sessions", "");
  p->setInt32Range(INT32_MIN, INT32_MAX, INT32_MAX);
  EXPECT_EQ(p->type(), ValueType::kInt32);
  EXPECT_EQ(p->displayWidth(), 11);
  Value v = Value::ofInt(INT32_MAX - 1);
  EXPECT_TRUE(p->stepValue(v, INT32_MAX));
  EXPECT_EQ(v.i, INT32_MAX);
  EXPECT_TRUE(p->stepValue(v, INT32_MIN));
  EXPECT_EQ(v.i, INT32_MIN);
  EXPECT_EQ(p->formatValue(v), "-2147483648");
}

TEST(IntDisplayScalingTest, RawAndDisplayUnitsRoundTrip) {
  const auto p = Parameter::makeOpenGear(1, "Level");
  p->setIntegerRange(0, 200, 2);
  p->setDisplayRange(Value::ofInt(0), Value::ofInt(100));
  EXPECT_EQ(p->formatValue(Value::ofInt(100)), "50");
  EXPECT_THAT(parsedInt(*p, "50"), Optional(100));
  for (int32_t raw = 0; raw <= 200; raw += 2) {
    EXPECT_THAT(parsedInt(*p, p->formatValue(Value::ofInt(raw))), Optional(raw));
  }
  EXPECT_FALSE(p->parseValue("101"));  // 202 raw is out of range
}

TEST(IntDisplayScalingTest, InvertedAndOffsetDisplayRange) {
  const auto p = Parameter::makeOpenGear(1, "Pan");
  p->setIntegerRange(0, 100, 1);
  p->setDisplayRange(Value::ofInt(50), Value::ofInt(-50));
  EXPECT_EQ(p->formatValue(Value::ofInt(0)), "50");
  EXPECT_EQ(p->formatValue(Value::ofInt(100)), "-50");
  EXPECT_THAT(parsedInt(*p, "-50"), Optional(100));
  EXPECT_THAT(parsedInt(*p, "0"), Optional(50));
}

TEST(IntDisplayScalingTest, DegenerateRangesAreIgnoredNotDividedBy) {
  const auto flat = Parameter::makeOpenGear(1, "Flat");
  flat->setIntegerRange(5, 5, 1);
  flat->setDisplayRange(Value::ofInt(0), Value::ofInt(100));
  EXPECT_EQ(flat->formatValue(Value::ofInt(5)), "5");  // no scaling over an empty raw range
  const auto same = Parameter::makeOpenGear(2, "Same");
  same->setIntegerRange(0, 10, 1);
  same->setDisplayRange(Value::ofInt(3), Value::ofInt(3));
  EXPECT_THAT(parsedInt(*same, "7"), Optional(7));  // read back unscaled
}

TEST(IntDisplayScalingTest, FullWidthRangesDoNotOverflow) {
  const auto p = Parameter::makeGlobal(1, "Wide", "");
  p->setInt32Range(INT32_MIN, INT32_MAX, 1);
  p->setDisplayRange(Value::ofInt(INT32_MAX), Value::ofInt(INT32_MIN));
  EXPECT_EQ(p->formatValue(Value::ofInt(INT32_MIN)), "2147483647");
  EXPECT_EQ(p->formatValue(Value::ofInt(INT32_MAX)), "-2147483648");
  EXPECT_THAT(parsedInt(*p, "-2147483648"), Optional(INT32_MAX));
}

// ---------------------------------------------------------------------------------------------

class ChoiceParameterTest : public ::testing::Test {
 protected:
  ChoiceParameterTest() {
    EXPECT_TRUE(p_->addChoice(1, 30, "Low", "Low Level"));
    EXPECT_TRUE(p_->addChoice(2, 10, "Mid", "Middle"));
    EXPECT_TRUE(p_->addChoice(3, 20, "High", "High Level"));
  }
  std::unique_ptr<Parameter> p_ = Parameter::makeOpenGear(0x0102, "Mode");
};

TEST_F(ChoiceParameterTest, FirstChoiceSetsTheType) {
  EXPECT_EQ(p_->type(), ValueType::kChoice);
  EXPECT_TRUE(p_->ownsChoices());
  EXPECT_EQ(p_->choices().count(), 3);
  EXPECT_EQ(p_->displayWidth(), 3);
  EXPECT_FALSE(p_->isCommand());
  EXPECT_FALSE(p_->needsConfirmation());
}

TEST_F(ChoiceParameterTest, DuplicateValueOrNumberIsRefused) {
  EXPECT_FALSE(p_->addChoice(4, 10, "X", "X"));
  EXPECT_FALSE(p_->addChoice(2, 99, "X", "X"));
  EXPECT_EQ(p_->choices().count(), 3);
}

TEST_F(ChoiceParameterTest, FormatsShortNameOfTheDataValue) {
  EXPECT_EQ(p_->formatValue(Value::ofInt(10)), "Mid");
  EXPECT_EQ(p_->formatValue(Value::ofInt(11)), "");
}

TEST_F(ChoiceParameterTest, ParsesEntryNumberNotDataValue) {
  EXPECT_THAT(parsedInt(*p_, "3"), Optional(20));
  EXPECT_THAT(parsedInt(*p_, "1"), Optional(30));
  for (const char* bad : {"", "0", "4", "20", "Mid", "1x", "-1"}) {
    EXPECT_FALSE(p_->parseValue(bad)) << bad;
  }
}

TEST_F(ChoiceParameterTest, StepsByListPositionAndStopsAtTheEnds) {
  Value v = Value::ofInt(30);
  EXPECT_TRUE(p_->stepValue(v, 1));
  EXPECT_EQ(v.i, 10);
  EXPECT_TRUE(p_->stepValue(v, 3));
  EXPECT_EQ(v.i, 20);
  EXPECT_FALSE(p_->stepValue(v, 3));
  EXPECT_EQ(v.i, 20);
  EXPECT_TRUE(p_->stepValue(v, INT32_MIN));
  EXPECT_EQ(v.i, 30);
}

TEST_F(ChoiceParameterTest, UnknownDataValueDoesNotStep) {
  Value v = Value::ofInt(11);
  EXPECT_FALSE(p_->stepValue(v, 1));
  EXPECT_EQ(v.i, 11);
}

TEST(ChoiceTypeTest, MinusOneIsAnOrdinaryDataValue) {
  const auto p = Parameter::makeOpenGear(1, "Standard");
  ASSERT_TRUE(p->addChoice(1, -1, "Auto", "Automatic"));
  ASSERT_TRUE(p->addChoice(2, 0, "525", "525 lines"));
  EXPECT_FALSE(p->addChoice(3, -1, "Again", "Again"));
  EXPECT_EQ(p->formatValue(Value::ofInt(-1)), "Auto");
  Value v = Value::ofInt(-1);
  EXPECT_TRUE(p->stepValue(v, 1));
  EXPECT_EQ(v.i, 0);
}

TEST(ChoiceTypeTest, OneEntryIsACommandNeedingConfirmation) {
  const auto p = Parameter::makeGlobal(40, "Save Admin Presets", "");
  ASSERT_TRUE(p->addChoice(1, 1, "Go", "Go"));
  EXPECT_TRUE(p->isCommand());
  EXPECT_TRUE(p->needsConfirmation());
  const auto slow = Parameter::makeOpenGear(1, "Slow");
  slow->setIntegerRange(0, 1, 1);
  slow->setSlow(true);
  EXPECT_TRUE(slow->needsConfirmation());
}

TEST(ChoiceTypeTest, ChoicesOnlyOnUntypedOrOwnChoiceList) {
  const auto p = Parameter::makeOpenGear(1, "Int");
  p->setIntegerRange(0, 1, 1);
  EXPECT_FALSE(p->addChoice(1, 0, "A", "A"));
  Item shared(1, 0, "A", "A");
  EXPECT_FALSE(p->addSharedChoice(&shared));
}

TEST(ChoiceTypeTest, SharedEntriesAreListedButNotOwned) {
  Item one(1, 1, "1", "Camera");
  Item two(2, 2, "2", "Router");
  const auto list = Parameter::makeLocal("[Device List]");
  EXPECT_TRUE(list->addSharedChoice(&one));
  EXPECT_TRUE(list->addSharedChoice(&two));
  EXPECT_FALSE(list->addSharedChoice(&two));
  EXPECT_FALSE(list->ownsChoices());
  EXPECT_FALSE(list->addChoice(3, 3, "3", "Mixed"));
  EXPECT_EQ(list->type(), ValueType::kChoice);
  EXPECT_THAT(parsedInt(*list, "2"), Optional(2));
  EXPECT_EQ(list->formatValue(Value::ofInt(1)), "1");
}

TEST(ChoiceTypeTest, FloatRangeClearsOwnership) {
  const auto p = Parameter::makeOpenGear(1, "X");
  ASSERT_TRUE(p->addChoice(1, 0, "A", "A"));
  p->setFloatRange(0, 1, 0.1);
  EXPECT_FALSE(p->ownsChoices());
  EXPECT_FALSE(p->addChoice(2, 1, "B", "B"));
}

// ---------------------------------------------------------------------------------------------

class FloatParameterTest : public ::testing::Test {
 protected:
  std::unique_ptr<Parameter> make(double a, double b, double step) {
    auto p = Parameter::makeOpenGear(0x0200, "Delay");
    p->setFloatRange(a, b, step);
    return p;
  }
};

TEST_F(FloatParameterTest, RangeIsOrderedAndOnTheGrid) {
  const auto p = make(10.123456, -1.5, 0.0500009);
  EXPECT_EQ(p->type(), ValueType::kFloat);
  EXPECT_EQ(p->floatMinimum(), -1.5f);
  EXPECT_EQ(p->floatMaximum(), 10.12345f);
  EXPECT_EQ(p->floatStep(), 0.05f);
  EXPECT_EQ(p->displayWidth(), 8);
}

TEST_F(FloatParameterTest, DecimalsComeFromTheStep) {
  EXPECT_EQ(make(0, 10, 0.1)->formatValue(Value::ofFloat(2.5f)), "2.5");
  EXPECT_EQ(make(0, 10, 0.05)->formatValue(Value::ofFloat(2.5f)), "2.50");
  EXPECT_EQ(make(0, 10, 1)->formatValue(Value::ofFloat(2.0f)), "2");
  EXPECT_EQ(make(0, 10, 0)->formatValue(Value::ofFloat(2.5f)), "2.5000");
  EXPECT_EQ(make(0, 10, 0.001)->formatValue(Value::ofFloat(0.123456f)), "0.123");
  EXPECT_EQ(make(-60, 0, 0.1)->formatValue(Value::ofFloat(-20.0f)), "-20.0");
}

TEST_F(FloatParameterTest, ShowSignPrefixesPlus) {
  const auto p = make(0, 20, 0.5);
  p->setShowSign(true);
  EXPECT_EQ(p->formatValue(Value::ofFloat(3.5f)), "+3.5");
  EXPECT_EQ(p->formatValue(Value::ofFloat(0.0f)), "+0.0");
  EXPECT_EQ(p->formatValue(Value::ofFloat(-1.0f)), "-1.0");
}

TEST_F(FloatParameterTest, ParsesDecimalNumbersOnly) {
  const auto p = make(-100, 100, 0.1);
  EXPECT_THAT(parsedFloat(*p, "-1.5"), Optional(-1.5f));
  EXPECT_THAT(parsedFloat(*p, "1e1"), Optional(10.0f));
  EXPECT_THAT(parsedFloat(*p, "2.5E-1"), Optional(0.25f));
  EXPECT_THAT(parsedFloat(*p, ".5"), Optional(0.5f));
  EXPECT_THAT(parsedFloat(*p, "5."), Optional(5.0f));
  EXPECT_THAT(parsedFloat(*p, "0.123456"), Optional(0.12345f));
  EXPECT_THAT(parsedFloat(*p, "0.7"), Optional(0.7f));
  EXPECT_THAT(parsedFloat(*p, "100"), Optional(100.0f));
  for (const char* bad : {"", "-", ".", "e5", "1e", "1e+", "inf", "-inf", "nan", "0x10", " 1", "1 ",
                          "+1", "--1", "1.2.3", "100.00001", "1e999", "-1e999"}) {
    EXPECT_FALSE(p->parseValue(bad)) << bad;
  }
}

TEST_F(FloatParameterTest, StepBeyondABoundByLessThanHalfAStepIsKept) {
  const auto p = make(0, 1, 1);
  Value v = Value::ofFloat(0.6f);
  EXPECT_TRUE(p->stepValue(v, -1));
  EXPECT_EQ(v.f, -0.4f);
  v = Value::ofFloat(0.4f);
  EXPECT_TRUE(p->stepValue(v, 1));
  EXPECT_EQ(v.f, 1.4f);
}

TEST_F(FloatParameterTest, StepBeyondABoundByMoreThanHalfAStepLandsOnIt) {
  const auto p = make(0, 10, 0.5);
  Value v = Value::ofFloat(0.2f);
  EXPECT_TRUE(p->stepValue(v, -1));
  EXPECT_EQ(v.f, 0.0f);
  v = Value::ofFloat(9.9f);
  EXPECT_TRUE(p->stepValue(v, 1000));
  EXPECT_EQ(v.f, 10.0f);
  EXPECT_FALSE(p->stepValue(v, 1));
  v = Value::ofFloat(INFINITY);
  EXPECT_TRUE(p->stepValue(v, 1));
  EXPECT_EQ(v.f, 10.0f);
}

TEST_F(FloatParameterTest, RepeatedStepsStayOnTheGrid) {
  const auto p = make(0, 1, 0.01);
  Value v = Value::ofFloat(0.0f);
  for (int k = 0; k < 100; ++k)
    ASSERT_TRUE(p->stepValue(v, 1));
  EXPECT_EQ(v.f, 1.0f);  // reached the maximum itself, not 0.99901
  EXPECT_FALSE(p->stepValue(v, 1));
  for (int k = 0; k < 30; ++k)
    ASSERT_TRUE(p->stepValue(v, -1));
  EXPECT_EQ(v.f, 0.7f);
  EXPECT_EQ(p->formatValue(v), "0.70");
}

TEST_F(FloatParameterTest, NaNDoesNotStep) {
  Value v = Value::ofFloat(NAN);
  EXPECT_FALSE(make(0, 1, 0.1)->stepValue(v, 1));
}

TEST_F(FloatParameterTest, DisplayScalingRoundTrips) {
  const auto p = make(0, 1, 0.01);
  p->setDisplayRange(Value::ofFloat(0.0f), Value::ofFloat(100.0f));
  EXPECT_EQ(p->formatValue(Value::ofFloat(0.5f)), "50.00");
  EXPECT_THAT(parsedFloat(*p, "50"), Optional(0.5f));
  Value v = Value::ofFloat(0.0f);
  for (int k = 0; k <= 100; ++k) {
    const auto back = p->parseValue(p->formatValue(v));
    ASSERT_TRUE(back) << v.f;
    EXPECT_EQ(back->f, v.f);
    p->stepValue(v, 1);
  }
  EXPECT_FALSE(p->parseValue("100.5"));
}

TEST_F(FloatParameterTest, DegenerateDisplayRangesAreNotDividedBy) {
  const auto flat = make(2, 2, 0.1);
  flat->setDisplayRange(Value::ofFloat(0.0f), Value::ofFloat(100.0f));
  EXPECT_EQ(flat->formatValue(Value::ofFloat(2.0f)), "2.0");
  const auto same = make(0, 10, 0.1);
  same->setDisplayRange(Value::ofFloat(5.0f), Value::ofFloat(5.0f));
  EXPECT_THAT(parsedFloat(*same, "3"), Optional(3.0f));
}

// ---------------------------------------------------------------------------------------------

class NamedValueTest : public ::testing::Test {};

TEST_F(NamedValueTest, IntStepOneMatchesTheKeyOnly) {
  const auto p = Parameter::makeOpenGear(0x0103, "Trim");
  p->setIntegerRange(0, 10, 1);
  ASSERT_TRUE(p->addNamedValue(0.0f, "Off"));
  EXPECT_FALSE(p->addNamedValue(0.5f, "Half"));
  EXPECT_FALSE(p->addNamedValue(0.0f, "Again"));
  EXPECT_EQ(p->namedValueFor(Value::ofInt(0)), "Off");
  EXPECT_EQ(p->namedValueFor(Value::ofInt(1)), "");
  EXPECT_EQ(p->namedValueFor(Value::ofInt(-1)), "");
  EXPECT_EQ(p->formatValue(Value::ofInt(0)), "Off");
  EXPECT_EQ(p->formatValue(Value::ofInt(0), false), "0");
  Value none;
  EXPECT_EQ(p->namedValueFor(none), "");
}

TEST_F(NamedValueTest, FloatWindowIsStrictlyWithinHalfAStep) {
  const auto p = Parameter::makeOpenGear(1, "Level");
  p->setFloatRange(-10, 10, 0.5);
  ASSERT_TRUE(p->addNamedValue(0.0f, "Unity"));
  ASSERT_TRUE(p->addNamedValue(2.0f, "Two"));
  EXPECT_EQ(p->namedValueFor(Value::ofFloat(0.0f)), "Unity");
  EXPECT_EQ(p->namedValueFor(Value::ofFloat(0.2499f)), "Unity");
  EXPECT_EQ(p->namedValueFor(Value::ofFloat(-0.2499f)), "Unity");
  EXPECT_EQ(p->namedValueFor(Value::ofFloat(0.25f)), "");
  EXPECT_EQ(p->namedValueFor(Value::ofFloat(-0.25f)), "");
  EXPECT_EQ(p->namedValueFor(Value::ofFloat(2.1f)), "Two");
  EXPECT_EQ(p->namedValueFor(Value::ofFloat(NAN)), "");
}

TEST_F(NamedValueTest, StepZeroNeverMatches) {
  const auto p = Parameter::makeOpenGear(1, "Level");
  p->setFloatRange(-10, 10, 0);
  ASSERT_TRUE(p->addNamedValue(0.0f, "Unity"));
  EXPECT_EQ(p->namedValueFor(Value::ofFloat(0.0f)), "");
}

TEST_F(NamedValueTest, FloatKeyOnTheGlobalsThreshold) {
  const auto p = Parameter::makeGlobal(61, "High error threshold", "lm_hst");
  p->setFloatRange(0, 40.1, 0.1);
  ASSERT_TRUE(p->addNamedValue(40.1f, "Disabled"));
  EXPECT_EQ(p->formatValue(Value::ofFloat(40.1f)), "Disabled");
  EXPECT_EQ(p->formatValue(Value::ofFloat(40.0f)), "40.0");
}

TEST_F(NamedValueTest, UnsignedKeysMustBeWholeAndInRange) {
  const auto p = Parameter::makeGlobal(1, "Counter", "");
  p->setUInt32Range(0, UINT32_MAX, 1);
  EXPECT_FALSE(p->addNamedValue(-1.0f, "Minus"));
  EXPECT_FALSE(p->addNamedValue(4294967296.0f, "Too big"));
  EXPECT_FALSE(p->addNamedValue(1.5f, "Half"));
  EXPECT_FALSE(p->addNamedValue(INFINITY, "Inf"));
  ASSERT_TRUE(p->addNamedValue(4294967040.0f, "Top"));  // largest float below 2^32
  EXPECT_EQ(p->formatValue(Value::ofUnsigned(4294967040u)), "Top");
}

TEST_F(NamedValueTest, OtherTypesRefuse) {
  const auto none = Parameter::makeOpenGear(1, "Untyped");
  EXPECT_FALSE(none->addNamedValue(0.0f, "X"));
  const auto text = Parameter::makeOpenGear(2, "Text");
  text->setString(8);
  EXPECT_FALSE(text->addNamedValue(0.0f, "X"));
  const auto choice = Parameter::makeOpenGear(3, "Choice");
  choice->addChoice(1, 0, "A", "A");
  EXPECT_FALSE(choice->addNamedValue(0.0f, "X"));
  const auto integer = Parameter::makeOpenGear(4, "Int");
  integer->setIntegerRange(0, 1, 1);
  EXPECT_FALSE(integer->addNamedValue(NAN, "X"));
  EXPECT_FALSE(integer->addNamedValue(INFINITY, "X"));
}

// ---------------------------------------------------------------------------------------------

class StringParameterTest : public ::testing::Test {
 protected:
  std::unique_ptr<Parameter> make(int32_t length, StringFormat format) {
    auto p = Parameter::makeGlobal(64, "Session Rollover time", "");
    p->setString(length);
    p->setStringFormat(format);
    return p;
  }
};

TEST_F(StringParameterTest, PlainTextIsCutToTheMaximumLength) {
  const auto p = make(5, StringFormat::kPlain);
  EXPECT_EQ(p->displayWidth(), 5);
  EXPECT_EQ(p->parseValue("Studio A")->text, "Studi");
  EXPECT_EQ(p->parseValue("any <text>")->text, "any <");
  EXPECT_FALSE(p->parseValue(""));
  EXPECT_EQ(p->formatValue(Value::ofText("raw")), "raw");
}

TEST_F(StringParameterTest, CutNeverSplitsAUtf8Sequence) {
  const auto p = make(4, StringFormat::kPlain);
  EXPECT_EQ(p->parseValue("abc\xE2\x82\xAC")->text, "abc");
  EXPECT_EQ(p->parseValue("\xC3\xA9\xC3\xA9x")->text, "\xC3\xA9\xC3\xA9");
}

TEST_F(StringParameterTest, TimeOfDayReadsAndShowsNormalized) {
  const auto p = make(10, StringFormat::kTimeOfDay);
  EXPECT_EQ(p->parseValue("23:59:59")->text, "23:59:59");
  EXPECT_EQ(p->parseValue("2359")->text, "2359");  // kept as typed
  EXPECT_FALSE(p->parseValue("24:00"));
  EXPECT_FALSE(p->parseValue("12:60"));
  EXPECT_EQ(p->formatValue(Value::ofText("730")), "07:30:00");
  EXPECT_EQ(p->formatValue(Value::ofText("garbage")), "");
}

TEST_F(StringParameterTest, OptionalTimeStillRefusesEmptyText) {
  const auto p = make(10, StringFormat::kOptionalTimeOfDay);
  EXPECT_FALSE(p->parseValue(""));
  EXPECT_TRUE(p->parseValue("7"));
  EXPECT_FALSE(p->parseValue("25"));
  EXPECT_EQ(p->formatValue(Value::ofText("")), "");
}

TEST_F(StringParameterTest, DateReadsAndShowsWithFourDigitYear) {
  const auto p = make(10, StringFormat::kDate);
  EXPECT_TRUE(p->parseValue("2/29/2024"));
  EXPECT_FALSE(p->parseValue("2/29/2023"));
  EXPECT_FALSE(p->parseValue("1/1/2070"));
  EXPECT_EQ(p->formatValue(Value::ofText("1/1/69")), "01/01/2069");
}

// ---------------------------------------------------------------------------------------------

TEST(IpAddressParameterTest, ReadsFourDecimalOctets) {
  const auto p = Parameter::makeGlobal(8, "Fixed IP Address", "ipaddr");
  p->setIpAddressType();
  EXPECT_EQ(p->displayWidth(), 15);
  const auto v = p->parseValue("10.0.0.2");
  ASSERT_TRUE(v);
  EXPECT_EQ(v->address, 0x0A000002u);
  EXPECT_EQ(p->formatValue(*v), "10.0.0.2");
  EXPECT_EQ(p->parseValue("255.255.255.255")->address, 0xFFFFFFFFu);
}

TEST(IpAddressParameterTest, UnreadableTextFailsInsteadOfBroadcastAndNothingSteps) {
  const auto p = Parameter::makeGlobal(8, "Fixed IP Address", "ipaddr");
  p->setIpAddressType();
  for (const char* bad : {"", "garbage", "10.0.0", "10.0.0.2.1", "256.0.0.1", "10..0.1",
                          "10.0.0.-1", "1000.0.0.1", " 10.0.0.1", "10.0.0.1 ", "0x0A.0.0.1"}) {
    EXPECT_FALSE(p->parseValue(bad)) << bad;
  }
  Value v = Value::ofAddress(1);
  EXPECT_FALSE(p->stepValue(v, 1));
  const auto text = Parameter::makeLocal("Text");
  text->setString(8);
  v = Value::ofText("x");
  EXPECT_FALSE(text->stepValue(v, 1));
}

// ---------------------------------------------------------------------------------------------

class UInt32ParameterTest : public ::testing::Test {
 protected:
  UInt32ParameterTest() { p_->setUInt32Range(4000000000u, 100, 1000000000u); }
  std::unique_ptr<Parameter> p_ = Parameter::makeGlobal(1, "Count", "");
};

TEST_F(UInt32ParameterTest, BoundsComparedUnsigned) {
  EXPECT_EQ(static_cast<uint32_t>(p_->intMinimum()), 100u);
  EXPECT_EQ(static_cast<uint32_t>(p_->intMaximum()), 4000000000u);
  EXPECT_EQ(p_->displayWidth(), 10);
  EXPECT_EQ(p_->formatValue(Value::ofUnsigned(4000000000u)), "4000000000");
  EXPECT_THAT(parsedInt(*p_, "4000000000"), Optional(static_cast<int32_t>(4000000000u)));
  for (const char* bad : {"-1", "99", "4000000001", "4294967296", "", "1e3"}) {
    EXPECT_FALSE(p_->parseValue(bad)) << bad;
  }
}

TEST_F(UInt32ParameterTest, StepsLimitWithoutWrapping) {
  Value v = Value::ofUnsigned(3000000100u);
  EXPECT_TRUE(p_->stepValue(v, 1));
  EXPECT_EQ(static_cast<uint32_t>(v.i), 4000000000u);
  EXPECT_FALSE(p_->stepValue(v, 1));
  v = Value::ofUnsigned(100);
  EXPECT_FALSE(p_->stepValue(v, -1));  // unsigned wrap-around would jump to the maximum
  EXPECT_EQ(static_cast<uint32_t>(v.i), 100u);
}

// ---------------------------------------------------------------------------------------------

class CopyTypeTest : public ::testing::Test {
 protected:
  CopyTypeTest() {
    source_->setFloatRange(-10, 10, 0.5);
    source_->setUnit("dB");
    source_->setSlow(true);
    source_->setPeriodic(500);
    source_->setDefault(Value::ofFloat(1.0f));
    source_->setDisplayRange(Value::ofFloat(0.0f), Value::ofFloat(100.0f));
    source_->setShowSign(true);
    source_->addNamedValue(0.0f, "Unity");
  }
  std::unique_ptr<Parameter> source_ = Parameter::makeOpenGear(1, "Level");
  std::unique_ptr<Parameter> copy_ = Parameter::makeOpenGear(2, "Level2");
};

TEST_F(CopyTypeTest, CopiesTypeRangeFlagsAndSharesNames) {
  ASSERT_TRUE(copy_->copyTypeFrom(*source_));
  EXPECT_EQ(copy_->name(), "Level2");
  EXPECT_EQ(copy_->oid(), 2);
  EXPECT_EQ(copy_->type(), ValueType::kFloat);
  EXPECT_EQ(copy_->unit(), "dB");
  EXPECT_EQ(copy_->floatMinimum(), -10.0f);
  EXPECT_EQ(copy_->floatStep(), 0.5f);
  EXPECT_TRUE(copy_->slow());
  EXPECT_EQ(copy_->periodic(), 500);
  EXPECT_EQ(copy_->defaultValue().f, 1.0f);
  EXPECT_TRUE(copy_->displayMaximum().valid);
  EXPECT_FALSE(copy_->showSign());
  EXPECT_EQ(copy_->namedValueFor(Value::ofFloat(0.0f)), "Unity");
  EXPECT_FALSE(copy_->addNamedValue(1.0f, "One"));  // shared names are read-only here
}

TEST_F(CopyTypeTest, OnlyIntoAnUntypedParameterFromATypedOne) {
  copy_->setIntegerRange(0, 1, 1);
  EXPECT_FALSE(copy_->copyTypeFrom(*source_));
  EXPECT_EQ(copy_->type(), ValueType::kInt);
  const auto untyped = Parameter::makeOpenGear(3, "Untyped");
  const auto target = Parameter::makeOpenGear(4, "Target");
  EXPECT_FALSE(target->copyTypeFrom(*untyped));
  EXPECT_FALSE(untyped->copyTypeFrom(*untyped));
}

TEST_F(CopyTypeTest, StringFormatIsNotCopied) {
  const auto time = Parameter::makeGlobal(1, "Time", "");
  time->setString(10);
  time->setStringFormat(StringFormat::kTimeOfDay);
  const auto plain = Parameter::makeLocal("Plain");
  ASSERT_TRUE(plain->copyTypeFrom(*time));
  EXPECT_EQ(plain->stringFormat(), StringFormat::kPlain);
  EXPECT_EQ(plain->intMaximum(), 10);
}

TEST(CopyChoiceTest, ChainsShareTheFirstListAndNames) {
  const auto a = Parameter::makeOpenGear(1, "A");
  a->addChoice(1, 5, "Five", "Five");
  a->addChoice(2, 6, "Six", "Six");
  const auto b = Parameter::makeOpenGear(2, "B");
  const auto c = Parameter::makeOpenGear(3, "C");
  ASSERT_TRUE(b->copyTypeFrom(*a));
  ASSERT_TRUE(c->copyTypeFrom(*b));
  EXPECT_EQ(&c->choices(), &a->choices());
  EXPECT_FALSE(c->ownsChoices());
  EXPECT_FALSE(c->addChoice(3, 7, "Seven", "Seven"));
  EXPECT_EQ(c->formatValue(Value::ofInt(6)), "Six");

  const auto x = Parameter::makeOpenGear(4, "X");
  x->setIntegerRange(0, 10, 1);
  x->addNamedValue(0.0f, "Off");
  const auto y = Parameter::makeOpenGear(5, "Y");
  const auto z = Parameter::makeOpenGear(6, "Z");
  ASSERT_TRUE(y->copyTypeFrom(*x));
  ASSERT_TRUE(z->copyTypeFrom(*y));
  EXPECT_EQ(z->formatValue(Value::ofInt(0)), "Off");
}

// ---------------------------------------------------------------------------------------------

class InitialValueTest : public ::testing::Test {
 protected:
  std::mt19937 rng_{12345};
};

TEST_F(InitialValueTest, DefaultWins) {
  const auto p = Parameter::makeOpenGear(1, "Gain");
  p->setIntegerRange(0, 100, 1);
  p->setDefault(Value::ofInt(42));
  EXPECT_EQ(p->initialValue(rng_).i, 42);
}

TEST_F(InitialValueTest, IntDrawsEveryGridPointBelowTheMaximum) {
  const auto p = Parameter::makeOpenGear(1, "Gain");
  p->setIntegerRange(-4, 6, 2);  // k = 5: -4, -2, 0, 2, 4; never 6
  std::set<int32_t> seen;
  for (int k = 0; k < 500; ++k) {
    const Value v = p->initialValue(rng_);
    ASSERT_TRUE(v.valid);
    seen.insert(v.i);
  }
  EXPECT_EQ(seen, (std::set<int32_t>{-4, -2, 0, 2, 4}));
}

TEST_F(InitialValueTest, SameSeedSameValues) {
  const auto p = Parameter::makeOpenGear(1, "Gain");
  p->setInt32Range(INT32_MIN, INT32_MAX, 1);
  std::mt19937 again{12345};
  for (int k = 0; k < 20; ++k)
    EXPECT_EQ(p->initialValue(rng_).i, p->initialValue(again).i);
}

TEST_F(InitialValueTest, LessThanOneStepGivesTheMinimum) {
  const auto narrow = Parameter::makeOpenGear(1, "Narrow");
  narrow->setIntegerRange(3, 4, 5);
  EXPECT_EQ(narrow->initialValue(rng_).i, 3);
  const auto still = Parameter::makeOpenGear(2, "Still");
  still->setIntegerRange(3, 9, 0);
  EXPECT_EQ(still->initialValue(rng_).i, 3);
  const auto flat = Parameter::makeOpenGear(3, "Flat");
  flat->setFloatRange(1.5, 1.5, 0.1);
  EXPECT_EQ(flat->initialValue(rng_).f, 1.5f);
  const auto zero = Parameter::makeOpenGear(4, "Zero");
  zero->setFloatRange(0, 1, 0);
  EXPECT_EQ(zero->initialValue(rng_).f, 0.0f);
  const auto u = Parameter::makeGlobal(5, "U", "");
  u->setUInt32Range(7, 7, 1);
  EXPECT_EQ(u->initialValue(rng_).i, 7);
}

TEST_F(InitialValueTest, FloatDrawsOnTheGridInsideTheRange) {
  const auto p = Parameter::makeOpenGear(1, "Level");
  p->setFloatRange(-60, 0, 0.1);
  for (int k = 0; k < 200; ++k) {
    const Value v = p->initialValue(rng_);
    ASSERT_TRUE(v.valid);
    EXPECT_GE(v.f, -60.0f);
    EXPECT_LT(v.f, 0.0f);
    EXPECT_EQ(quantizeFloat(v.f), v.f);
  }
  const auto huge = Parameter::makeOpenGear(2, "Huge");
  huge->setFloatRange(-FLT_MAX, FLT_MAX, 0.00001);
  const Value v = huge->initialValue(rng_);
  EXPECT_TRUE(std::isfinite(v.f));
}

TEST_F(InitialValueTest, UnsignedChoiceStringAndOthers) {
  const auto u = Parameter::makeGlobal(1, "U", "");
  u->setUInt32Range(4000000000u, 4000000010u, 5);
  for (int k = 0; k < 50; ++k) {
    const auto n = static_cast<uint32_t>(u->initialValue(rng_).i);
    EXPECT_TRUE(n == 4000000000u || n == 4000000005u) << n;
  }
  const auto choice = Parameter::makeOpenGear(2, "Mode");
  choice->addChoice(1, 30, "A", "A");
  choice->addChoice(2, 40, "B", "B");
  std::set<int32_t> seen;
  for (int k = 0; k < 100; ++k)
    seen.insert(choice->initialValue(rng_).i);
  EXPECT_EQ(seen, (std::set<int32_t>{30, 40}));
  const auto text = Parameter::makeLocal("Label");
  text->setString(16);
  EXPECT_EQ(text->initialValue(rng_).text, "***");
  const auto address = Parameter::makeGlobal(3, "IP", "");
  address->setIpAddressType();
  EXPECT_FALSE(address->initialValue(rng_).valid);
  EXPECT_FALSE(Parameter::makeLocal("Untyped")->initialValue(rng_).valid);
}

TEST_F(InitialValueTest, ListParametersDrawTheirSharedEntries) {
  const auto empty = Parameter::makeLocal("[Page List]");
  EXPECT_FALSE(empty->addSharedChoice(nullptr));
  EXPECT_FALSE(empty->initialValue(rng_).valid);
  Item page(1, 1, "1", "Main");
  ASSERT_TRUE(empty->addSharedChoice(&page));
  EXPECT_EQ(empty->initialValue(rng_).i, 1);
}

}  // namespace
}  // namespace qelm
