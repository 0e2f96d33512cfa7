#include "model/value.h"

#include <bit>
#include <cfloat>
#include <cmath>

namespace qelm {

namespace {

constexpr double kQuantaPerUnit = 100000.0;
// 18 digits always fit in 64 bits, so no overflow check is needed while reading them.
constexpr std::size_t kMaxDigits = 18;

std::optional<int64_t> readDigits(std::string_view text) {
  if (text.empty() || text.size() > kMaxDigits) return std::nullopt;
  int64_t n = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + (c - '0');
  }
  return n;
}

bool isLeapYear(int year) {
  return year % 4 == 0;
}

}  // namespace

Value Value::ofInt(int32_t n) {
  Value v;
  v.valid = true;
  v.i = n;
  return v;
}

Value Value::ofUnsigned(uint32_t n) {
  return ofInt(static_cast<int32_t>(n));
}

Value Value::ofFloat(float x) {
  Value v;
  v.valid = true;
  v.f = x;
  return v;
}

Value Value::ofText(std::string s) {
  Value v;
  v.valid = true;
  v.text = std::move(s);
  return v;
}

Value Value::ofAddress(uint32_t a) {
  Value v;
  v.valid = true;
  v.address = a;
  return v;
}

bool valuesEqual(const Value& a, const Value& b, ValueType type) {
  if (a.valid != b.valid) return false;
  switch (type) {
    case ValueType::kInt:
    case ValueType::kInt32:
    case ValueType::kChoice:
      return a.i == b.i;
    case ValueType::kFloat:
      return std::bit_cast<uint32_t>(a.f) == std::bit_cast<uint32_t>(b.f);
    case ValueType::kString:
      return a.text == b.text;
    default:
      return false;
  }
}

double floatQuantumCount(double x) {
  if (!std::isfinite(x)) return x;
  const double r = x * kQuantaPerUnit;
  const double nearest = std::round(r);
  // A float that is the closest float to a grid point must stay on that point; plain truncation
  // would move 0.7f (0.69999998...) down to 0.69999 and make every knob step lose a quantum.
  const double tolerance = std::fabs(r) * FLT_EPSILON;
  double n = std::fabs(r - nearest) <= tolerance ? nearest : std::trunc(r);
  if (n == 0.0) n = 0.0;  // no negative zero on the grid
  return n;
}

float quantaToFloat(double count) {
  const double y = count / kQuantaPerUnit;
  // Narrowing a finite double beyond the float range is undefined behaviour, so saturate first.
  if (std::isfinite(y)) {
    if (y > FLT_MAX) return FLT_MAX;
    if (y < -FLT_MAX) return -FLT_MAX;
  }
  return static_cast<float>(y);
}

float quantizeFloat(double x) {
  return quantaToFloat(floatQuantumCount(x));
}

int floatDecimals(float step) {
  if (step == 0.0f) return 4;
  const double d = std::round(std::fabs(static_cast<double>(step)) * 10000.0);
  if (d == 0.0 || std::fmod(d, 10000.0) == 0.0) return 0;
  if (std::fmod(d, 1000.0) == 0.0) return 1;
  if (std::fmod(d, 100.0) == 0.0) return 2;
  if (std::fmod(d, 10.0) == 0.0) return 3;
  return 4;
}

std::optional<int64_t> readDecimal(std::string_view text) {
  if (!text.empty() && text.front() == '-') {
    const auto magnitude = readDigits(text.substr(1));
    if (!magnitude) return std::nullopt;
    return -*magnitude;
  }
  return readDigits(text);
}

std::optional<TimeOfDay> readTimeOfDay(std::string_view text) {
  int64_t fields[3] = {0, 0, 0};
  int count = 0;
  std::size_t start = 0;
  while (true) {
    if (count == 3) return std::nullopt;
    const std::size_t colon = text.find(':', start);
    const auto field = readDigits(text.substr(start, colon - start));
    if (!field) return std::nullopt;
    fields[count++] = *field;
    if (colon == std::string_view::npos) break;
    start = colon + 1;
  }
  int64_t hours = fields[0];
  int64_t minutes = fields[1];
  int64_t seconds = fields[2];
  if (count == 1) {
    int64_t n = fields[0];
    if (n <= 9999) n *= n < 100 ? 10000 : 100;
    hours = n / 10000;
    minutes = (n % 10000) / 100;
    seconds = n % 100;
  }
  if (hours > 23 || minutes > 59 || seconds > 59) return std::nullopt;
  return TimeOfDay{static_cast<int>(hours), static_cast<int>(minutes), static_cast<int>(seconds)};
}

std::optional<Date> readDate(std::string_view text) {
  const std::size_t first = text.find('/');
  if (first == std::string_view::npos) return std::nullopt;
  const std::size_t second = text.find('/', first + 1);
  if (second == std::string_view::npos) return std::nullopt;
  const auto month = readDigits(text.substr(0, first));
  const auto day = readDigits(text.substr(first + 1, second - first - 1));
  const auto year = readDigits(text.substr(second + 1));
  if (!month || !day || !year) return std::nullopt;
  int64_t y = *year;
  if (y < 70) {
    y += 2000;
  } else if (y < 100) {
    y += 1900;
  }
  if (y < 1970 || y > 2069 || *month < 1 || *month > 12 || *day < 1) return std::nullopt;
  int64_t lastDay = 31;
  switch (*month) {
    case 4:
    case 6:
    case 9:
    case 11:
      lastDay = 30;
      break;
    case 2:
      lastDay = isLeapYear(static_cast<int>(y)) ? 29 : 28;
      break;
    default:
      break;
  }
  if (*day > lastDay) return std::nullopt;
  return Date{static_cast<int>(*month), static_cast<int>(*day), static_cast<int>(y)};
}

}  // namespace qelm
