#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qelm {

/// What a parameter's value is; the same codes select the wire encoding.
enum class ValueType : uint8_t {
  kNone = 0,
  kInt = 1,
  kInt32 = 2,
  kChoice = 3,
  kFloat = 4,
  kString = 5,
  kIpAddress = 6,
  kUInt32 = 7,
};

/// One parameter value, copied by value. Which field counts is decided by the parameter's
/// `ValueType`; `valid == false` means there is no value at all.
struct Value {
  /// False: no value (nothing received, no default, a failed read).
  bool valid = false;
  /// Float value, kept on the 0.00001 grid (see `quantizeFloat`).
  float f = 0.0f;
  /// Int and Int32 value, Choice data value, or UInt32 value read as unsigned.
  int32_t i = 0;
  /// String value (UTF-8).
  std::string text;
  /// IPv4 address, first octet in the most significant byte.
  uint32_t address = 0;

  /// A valid Int, Int32 or Choice value.
  static Value ofInt(int32_t n);
  /// A valid UInt32 value (stored in `i` as its bit pattern).
  static Value ofUnsigned(uint32_t n);
  /// A valid Float value, stored as given (not quantized).
  static Value ofFloat(float x);
  /// A valid String value.
  static Value ofText(std::string s);
  /// A valid IpAddress value; first octet in the most significant byte.
  static Value ofAddress(uint32_t a);
};

/// Whether storing `b` over `a` is "no change": same validity and, for Int/Int32/Choice the same
/// integer, for Float the same bit pattern (0.0 and -0.0 differ), for String the same text.
/// IpAddress, UInt32 and unknown types never compare equal, so storing them always counts.
bool valuesEqual(const Value& a, const Value& b, ValueType type);

/// Size of one step of the float grid on which values, bounds and steps are kept.
inline constexpr double kFloatQuantum = 0.00001;

/// Number of grid quanta in `x`, a whole number (as a double): truncated toward zero, except that
/// an `x` within float precision of a grid point counts as that point. NaN and infinities pass.
double floatQuantumCount(double x);

/// `x` put on the 0.00001 grid (see `floatQuantumCount`), narrowed as `quantaToFloat` does.
float quantizeFloat(double x);

/// Value of a whole number of grid quanta, narrowed to float without overflow: magnitudes beyond
/// the float range saturate to the largest float; infinities and NaN pass.
float quantaToFloat(double count);

/// Decimals shown for a Float with this step: 4 for a step of 0, else by the step's
/// magnitude in ten-thousandths d: 0 when d is 0 or a multiple of 10000, 1 for 1000, 2 for 100,
/// 3 for 10, otherwise 4.
int floatDecimals(float step);

/// Reads an optional leading "-" followed by 1 to 18 ASCII digits and nothing else (no spaces,
/// no "+"); none for anything else.
std::optional<int64_t> readDecimal(std::string_view text);

/// A time of day read from text; hours 0..23, minutes and seconds 0..59.
struct TimeOfDay {
  int hours = 0;
  int minutes = 0;
  int seconds = 0;
};

/// Reads "h:m:s", "h:m" or a single number (`7` is 07:00, `730` is 07:30, `73015` is 07:30:15);
/// none when the text has anything else or a field is out of range.
std::optional<TimeOfDay> readTimeOfDay(std::string_view text);

/// A calendar date read from text; year 1970..2069.
struct Date {
  int month = 1;
  int day = 1;
  int year = 1970;
};

/// Reads "month/day/year"; years below 70 are 20xx, 70..99 are 19xx; none when the text has
/// anything else, or the year is outside 1970..2069, or the day does not exist in that month
/// (February 29 in every year divisible by 4).
std::optional<Date> readDate(std::string_view text);

}  // namespace qelm
