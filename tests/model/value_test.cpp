#include "model/value.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <limits>

namespace qelm {
namespace {

TEST(ValuesEqualTest, IntegerTypesCompareValidityAndInteger) {
  for (const ValueType type : {ValueType::kInt, ValueType::kInt32, ValueType::kChoice}) {
    EXPECT_TRUE(valuesEqual(Value::ofInt(3), Value::ofInt(3), type));
    EXPECT_FALSE(valuesEqual(Value::ofInt(3), Value::ofInt(4), type));
    Value invalid = Value::ofInt(3);
    invalid.valid = false;
    EXPECT_FALSE(valuesEqual(Value::ofInt(3), invalid, type));
  }
}

TEST(ValuesEqualTest, FloatComparesBitPatterns) {
  EXPECT_TRUE(valuesEqual(Value::ofFloat(0.5f), Value::ofFloat(0.5f), ValueType::kFloat));
  EXPECT_FALSE(valuesEqual(Value::ofFloat(0.0f), Value::ofFloat(-0.0f), ValueType::kFloat));
  const float nan = std::numeric_limits<float>::quiet_NaN();
  EXPECT_TRUE(valuesEqual(Value::ofFloat(nan), Value::ofFloat(nan), ValueType::kFloat));
}

TEST(ValuesEqualTest, AddressUnsignedAndUnknownTypesNeverEqual) {
  EXPECT_FALSE(valuesEqual(Value::ofAddress(1), Value::ofAddress(1), ValueType::kIpAddress));
  EXPECT_FALSE(valuesEqual(Value::ofUnsigned(1), Value::ofUnsigned(1), ValueType::kUInt32));
  EXPECT_FALSE(valuesEqual(Value{}, Value{}, ValueType::kNone));
  EXPECT_FALSE(valuesEqual(Value{}, Value{}, static_cast<ValueType>(9)));
}

TEST(FloatGridTest, TruncatesTowardZeroOffTheGrid) {
  EXPECT_FLOAT_EQ(quantizeFloat(0.123456), 0.12345f);
  EXPECT_FLOAT_EQ(quantizeFloat(-0.123456), -0.12345f);
  EXPECT_EQ(quantizeFloat(0.000009), 0.0f);
}

TEST(FloatGridTest, FloatsNearestToAGridPointStayThere) {
  // 0.7f and 0.01f sit just below their decimal values; plain truncation would lose a quantum.
  EXPECT_EQ(quantizeFloat(0.7f), 0.7f);
  EXPECT_EQ(quantizeFloat(0.01f), 0.01f);
  EXPECT_EQ(quantizeFloat(-40.1f), -40.1f);
  EXPECT_EQ(quantizeFloat(0.00001f), 0.00001f);
  EXPECT_EQ(floatQuantumCount(0.7f), 70000.0);
  EXPECT_EQ(floatQuantumCount(-0.3), -30000.0);
}

TEST(FloatGridTest, NoNegativeZeroAndNoOverflow) {
  EXPECT_FALSE(std::signbit(quantizeFloat(-0.000001)));
  EXPECT_FALSE(std::signbit(quantizeFloat(-0.0)));
  EXPECT_EQ(quantizeFloat(1e300), FLT_MAX);
  EXPECT_EQ(quantizeFloat(-1e300), -FLT_MAX);
  EXPECT_EQ(quantizeFloat(FLT_MAX), FLT_MAX);
  EXPECT_TRUE(std::isinf(quantizeFloat(INFINITY)));
  EXPECT_TRUE(std::isnan(quantizeFloat(NAN)));
}

TEST(FloatDecimalsTest, FollowsTheStep) {
  EXPECT_EQ(floatDecimals(0.0f), 4);
  EXPECT_EQ(floatDecimals(1.0f), 0);
  EXPECT_EQ(floatDecimals(10.0f), 0);
  EXPECT_EQ(floatDecimals(0.5f), 1);
  EXPECT_EQ(floatDecimals(0.1f), 1);
  EXPECT_EQ(floatDecimals(0.25f), 2);
  EXPECT_EQ(floatDecimals(0.05f), 2);
  EXPECT_EQ(floatDecimals(0.01f), 2);
  EXPECT_EQ(floatDecimals(0.001f), 3);
  EXPECT_EQ(floatDecimals(0.0001f), 4);
  EXPECT_EQ(floatDecimals(0.00025f), 4);
  EXPECT_EQ(floatDecimals(-0.5f), 1);
  EXPECT_EQ(floatDecimals(0.00001f), 0);  // rounds to no ten-thousandths at all
  EXPECT_EQ(floatDecimals(NAN), 4);
  EXPECT_EQ(floatDecimals(INFINITY), 4);
  EXPECT_EQ(floatDecimals(FLT_MAX), 0);
}

TEST(ReadDecimalTest, OptionalMinusThenDigitsOnly) {
  EXPECT_EQ(readDecimal("42"), 42);
  EXPECT_EQ(readDecimal("-42"), -42);
  EXPECT_EQ(readDecimal("007"), 7);
  EXPECT_EQ(readDecimal("999999999999999999"), 999999999999999999);
  for (const char* bad : {"", "-", "--5", "+5", " 5", "5 ", "5a", "1.0", "9999999999999999999"}) {
    EXPECT_FALSE(readDecimal(bad)) << bad;
  }
}

TEST(ReadTimeOfDayTest, ReadsEveryForm) {
  struct Case {
    const char* text;
    int hours;
    int minutes;
    int seconds;
  };
  for (const Case& c : {Case{"23:59:59", 23, 59, 59}, Case{"2359", 23, 59, 0}, Case{"7", 7, 0, 0},
                        Case{"730", 7, 30, 0}, Case{"73015", 7, 30, 15}, Case{"12:30", 12, 30, 0},
                        Case{"0:0:0", 0, 0, 0}, Case{"23", 23, 0, 0}, Case{"100", 1, 0, 0},
                        Case{"235959", 23, 59, 59}}) {
    const auto time = readTimeOfDay(c.text);
    ASSERT_TRUE(time) << c.text;
    EXPECT_EQ(time->hours, c.hours) << c.text;
    EXPECT_EQ(time->minutes, c.minutes) << c.text;
    EXPECT_EQ(time->seconds, c.seconds) << c.text;
  }
}

TEST(ReadTimeOfDayTest, RefusesOutOfRangeOrMalformed) {
  for (const char* bad :
       {"24:00", "12:60", "12:00:60", "2400", "236000", "99", "", ":", "12:", ":30", "1:2:3:4", "a",
        " 12:00", "12:00 ", "-1:00", "12:-5", "1234567890123456789012", "1.30"}) {
    EXPECT_FALSE(readTimeOfDay(bad)) << bad;
  }
}

TEST(ReadDateTest, ReadsAndCompletesTwoDigitYears) {
  auto date = readDate("2/29/2024");
  ASSERT_TRUE(date);
  EXPECT_EQ(date->month, 2);
  EXPECT_EQ(date->day, 29);
  EXPECT_EQ(date->year, 2024);
  date = readDate("1/1/69");
  ASSERT_TRUE(date);
  EXPECT_EQ(date->year, 2069);
  date = readDate("12/31/70");
  ASSERT_TRUE(date);
  EXPECT_EQ(date->year, 1970);
  date = readDate("2/29/00");
  ASSERT_TRUE(date);
  EXPECT_EQ(date->year, 2000);
}

TEST(ReadDateTest, RefusesImpossibleDates) {
  for (const char* bad :
       {"2/29/2023", "1/1/2070", "1/1/1969", "1/1/100", "4/31/2020", "6/31/2020", "9/31/2020",
        "11/31/2020", "1/32/2020", "13/1/2020", "0/1/2020", "1/0/2020", "2/30/2024", "1/1",
        "1/1/2020/1", "", "a/b/c", "1//2020", "-1/1/2020"}) {
    EXPECT_FALSE(readDate(bad)) << bad;
  }
  EXPECT_TRUE(readDate("12/31/2069"));
  EXPECT_TRUE(readDate("1/31/2020"));
}

}  // namespace
}  // namespace qelm
