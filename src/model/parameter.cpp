// [SECTION] Text readers (numbers)
// [SECTION] Construction and definition
// [SECTION] Display scaling
// [SECTION] Value operations (format, parse, step, initial value, width)

#include "model/parameter.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

#include "text/readers.h"
#include "text/text.h"

namespace qelm {

// ---------------------------------------------------------------------------------------------
// Text readers
// ---------------------------------------------------------------------------------------------

namespace {

using Wide = __int128;

constexpr double kMinFloatSpan = 0.00001;
// Keeps the number of grid positions that `initialValue` draws from inside int64_t even for
// float ranges as wide as the float type itself.
constexpr double kMaxDrawPositions = 4611686018427387904.0;  // 2^62

int64_t clampTo(int64_t x, int64_t low, int64_t high) {
  return std::min(std::max(x, low), high);
}

int64_t narrowWide(Wide x) {
  constexpr Wide kLow = std::numeric_limits<int64_t>::min();
  constexpr Wide kHigh = std::numeric_limits<int64_t>::max();
  return static_cast<int64_t>(x < kLow ? kLow : (x > kHigh ? kHigh : x));
}

// A typed real number: an optional "-" and the decimal grammar; "inf", "nan", hexadecimal forms
// and spaces never read as numbers.
std::optional<double> readFloatText(std::string_view text) {
  if (!isDecimalRealText(text, SignRule::kMinusOnly)) return std::nullopt;
  const bool negative = text.front() == '-';
  if (negative) text.remove_prefix(1);
  double x = 0.0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, x, std::chars_format::general);
  if (ec != std::errc() || ptr != end) return std::nullopt;
  return negative ? -x : x;
}

uint32_t asUnsigned(int32_t bits) {
  return static_cast<uint32_t>(bits);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Construction and definition
// ---------------------------------------------------------------------------------------------

std::unique_ptr<Parameter> Parameter::makeOpenGear(uint16_t oid, std::string name) {
  auto p = std::make_unique<Parameter>(Key{}, ParameterKind::kOpenGear, std::move(name));
  p->oid_ = oid;
  return p;
}

std::unique_ptr<Parameter> Parameter::makeArrayElement(uint16_t oid, uint16_t element,
                                                       std::string name) {
  auto p = std::make_unique<Parameter>(Key{}, ParameterKind::kArrayElement, std::move(name));
  p->oid_ = oid;
  p->element_ = element;
  return p;
}

std::unique_ptr<Parameter> Parameter::makeLocal(std::string name) {
  return std::make_unique<Parameter>(Key{}, ParameterKind::kLocal, std::move(name));
}

std::unique_ptr<Parameter> Parameter::makeGlobal(int32_t code, std::string name, std::string key) {
  auto p = std::make_unique<Parameter>(Key{}, ParameterKind::kGlobal, std::move(name));
  p->globalCode_ = code;
  p->key_ = std::move(key);
  return p;
}

Parameter::Parameter(Key, ParameterKind kind, std::string name)
    : name_(std::move(name)), kind_(kind) {}

Parameter::~Parameter() = default;

uint16_t Parameter::oid() const {
  if (kind_ != ParameterKind::kOpenGear && kind_ != ParameterKind::kArrayElement) {
    throw std::string("Requested OID for non-OpenGear parameter");
  }
  return oid_;
}

uint16_t Parameter::elementIndex() const {
  if (kind_ != ParameterKind::kArrayElement) {
    throw std::string("Requested OID for non-OpenGear array element parameter");
  }
  return element_;
}

int32_t Parameter::globalCode() const {
  if (kind_ != ParameterKind::kGlobal) {
    throw std::string("Requested global code for non-global parameter");
  }
  return globalCode_;
}

void Parameter::setIntegerRange(int32_t a, int32_t b, int32_t step) {
  type_ = ValueType::kInt;
  intMinimum_ = std::min(a, b);
  intMaximum_ = std::max(a, b);
  intStep_ = step;
}

void Parameter::setInt32Range(int32_t a, int32_t b, int32_t step) {
  setIntegerRange(a, b, step);
  type_ = ValueType::kInt32;
}

void Parameter::setUInt32Range(uint32_t a, uint32_t b, uint32_t step) {
  type_ = ValueType::kUInt32;
  intMinimum_ = static_cast<int32_t>(std::min(a, b));
  intMaximum_ = static_cast<int32_t>(std::max(a, b));
  intStep_ = static_cast<int32_t>(step);
}

void Parameter::setFloatRange(double a, double b, double step) {
  const float qa = quantizeFloat(a);
  const float qb = quantizeFloat(b);
  floatMinimum_ = std::min(qa, qb);
  floatMaximum_ = std::max(qa, qb);
  floatStep_ = quantizeFloat(step);
  type_ = ValueType::kFloat;
  ownsChoices_ = false;
}

void Parameter::setString(int32_t length) {
  type_ = ValueType::kString;
  stringFormat_ = StringFormat::kPlain;
  intMaximum_ = std::max(length, 0);
}

void Parameter::setDisplayRange(Value minimum, Value maximum) {
  displayMinimum_ = std::move(minimum);
  displayMaximum_ = std::move(maximum);
}

bool Parameter::addChoice(int32_t number, int32_t value, std::string shortName,
                          std::string longName) {
  if (sharedChoices_ != nullptr) return false;
  if (type_ != ValueType::kNone && (type_ != ValueType::kChoice || !ownsChoices_)) return false;
  if (choices_.positionOfValue(value) >= 0 || choices_.positionOfNumber(number) >= 0) {
    return false;
  }
  auto entry = std::make_unique<Item>(number, value, std::move(shortName), std::move(longName));
  choices_.appendWithValue(entry.get());
  ownedChoices_.push_back(std::move(entry));
  type_ = ValueType::kChoice;
  ownsChoices_ = true;
  return true;
}

bool Parameter::addSharedChoice(Item* entry) {
  if (entry == nullptr || sharedChoices_ != nullptr || ownsChoices_) return false;
  if (type_ != ValueType::kNone && type_ != ValueType::kChoice) return false;
  if (choices_.positionOfNumber(entry->number()) >= 0) return false;
  if (entry->value() != Item::kNoValue && choices_.positionOfValue(entry->value()) >= 0) {
    return false;
  }
  choices_.append(entry);
  type_ = ValueType::kChoice;
  return true;
}

const ItemList& Parameter::choices() const {
  return sharedChoices_ != nullptr ? *sharedChoices_ : choices_;
}

bool Parameter::addNamedValue(float key, std::string name) {
  if (sharedNamedValues_ != nullptr || std::isnan(key)) return false;
  const double k = key;
  switch (type_) {
    case ValueType::kInt:
    case ValueType::kInt32:
      if (!std::isfinite(k) || std::trunc(k) != k) return false;
      break;
    case ValueType::kFloat:
      break;
    case ValueType::kUInt32:
      // Checked before any conversion: turning a negative or huge float into uint32_t is
      // undefined.
      if (!(k >= 0.0 && k <= 4294967295.0) || std::trunc(k) != k) return false;
      break;
    default:
      return false;
  }
  return namedValues_.add(key, std::move(name));
}

const NamedValues& Parameter::namedValues() const {
  return sharedNamedValues_ != nullptr ? *sharedNamedValues_ : namedValues_;
}

bool Parameter::copyTypeFrom(const Parameter& other) {
  if (&other == this || type_ != ValueType::kNone || other.type_ == ValueType::kNone) {
    return false;
  }
  unit_ = other.unit_;
  type_ = other.type_;
  floatMinimum_ = other.floatMinimum_;
  floatMaximum_ = other.floatMaximum_;
  floatStep_ = other.floatStep_;
  intMinimum_ = other.intMinimum_;
  intMaximum_ = other.intMaximum_;
  intStep_ = other.intStep_;
  slow_ = other.slow_;
  readOnly_ = other.readOnly_;
  displayMinimum_ = other.displayMinimum_;
  displayMaximum_ = other.displayMaximum_;
  periodic_ = other.periodic_;
  default_ = other.default_;
  if (type_ == ValueType::kChoice) sharedChoices_ = &other.choices();
  // Follow the chain as the choice list does: a "like" of a "like" keeps the first one's names.
  sharedNamedValues_ = &other.namedValues();
  ownsChoices_ = false;
  return true;
}

// ---------------------------------------------------------------------------------------------
// Display scaling
// ---------------------------------------------------------------------------------------------

bool Parameter::showsIntScaled() const {
  return displayMinimum_.valid && displayMaximum_.valid && intMaximum_ != intMinimum_;
}

bool Parameter::readsIntScaled() const {
  return displayMinimum_.valid && displayMaximum_.valid && displayMaximum_.i != displayMinimum_.i;
}

bool Parameter::showsFloatScaled() const {
  return displayMinimum_.valid && displayMaximum_.valid &&
         static_cast<double>(floatMaximum_) - floatMinimum_ > kMinFloatSpan;
}

bool Parameter::readsFloatScaled() const {
  return displayMinimum_.valid && displayMaximum_.valid &&
         std::fabs(static_cast<double>(displayMaximum_.f) - displayMinimum_.f) > kMinFloatSpan;
}

// ---------------------------------------------------------------------------------------------
// Value operations
// ---------------------------------------------------------------------------------------------

std::string Parameter::namedValueFor(const Value& value) const {
  if (!value.valid) return {};
  double v = 0.0;
  double half = 0.0;
  switch (type_) {
    case ValueType::kInt:
    case ValueType::kInt32:
      v = value.i;
      half = std::fabs(static_cast<double>(intStep_)) / 2.0;
      break;
    case ValueType::kFloat:
      v = value.f;
      half = std::fabs(static_cast<double>(floatStep_)) / 2.0;
      break;
    case ValueType::kUInt32:
      v = asUnsigned(value.i);
      half = asUnsigned(intStep_) / 2.0;
      break;
    default:
      return {};
  }
  for (const auto& [key, name] : namedValues().entries()) {
    const double k = key;
    if (k - half >= v) break;  // keys ascend: no later key can match
    if (v < k + half) return name;
  }
  return {};
}

std::string Parameter::formatValue(const Value& value, bool useNamedValues) const {
  if (!value.valid) return {};
  if (useNamedValues) {
    std::string name = namedValueFor(value);
    if (!name.empty()) return name;
  }
  switch (type_) {
    case ValueType::kInt:
    case ValueType::kInt32: {
      int64_t shown = value.i;
      if (showsIntScaled()) {
        const Wide dm = displayMinimum_.i;
        const Wide dM = displayMaximum_.i;
        shown = narrowWide(dm + (dM - dm) * (Wide{value.i} - intMinimum_) /
                                    (Wide{intMaximum_} - intMinimum_));
      }
      return formattedText("%lld", static_cast<long long>(shown));
    }
    case ValueType::kChoice: {
      const Item* entry = choices().at(choices().positionOfValue(value.i));
      return entry != nullptr ? entry->shortName() : std::string();
    }
    case ValueType::kFloat: {
      double shown = quantizeFloat(value.f);
      if (showsFloatScaled()) {
        const double dm = displayMinimum_.f;
        const double dM = displayMaximum_.f;
        shown = dm + (dM - dm) * (shown - floatMinimum_) /
                         (static_cast<double>(floatMaximum_) - floatMinimum_);
      }
      const int decimals = floatDecimals(floatStep_);
      // The sign flag is for ranges without negative values; should one slip through, "-1.0"
      // reads better than "+-1.0".
      if (showSign_ && !std::signbit(shown)) return formattedText("+%.*f", decimals, shown);
      return formattedText("%.*f", decimals, shown);
    }
    case ValueType::kString:
      switch (stringFormat_) {
        case StringFormat::kPlain:
          return value.text;
        case StringFormat::kTimeOfDay:
        case StringFormat::kOptionalTimeOfDay: {
          const auto time = readTimeOfDay(value.text);
          if (!time) return {};
          return formattedText("%02d:%02d:%02d", time->hours, time->minutes, time->seconds);
        }
        case StringFormat::kDate: {
          const auto date = readDate(value.text);
          if (!date) return {};
          return formattedText("%02d/%02d/%04d", date->month, date->day, date->year);
        }
      }
      return {};
    case ValueType::kIpAddress:
      return ipv4Text(value.address);
    case ValueType::kUInt32:
      return unsignedText(asUnsigned(value.i));
    default:
      return {};
  }
}

std::optional<Value> Parameter::parseValue(std::string_view text) const {
  if (text.empty()) return std::nullopt;
  switch (type_) {
    case ValueType::kInt:
    case ValueType::kInt32: {
      const auto typed = readDecimal(text);
      if (!typed) return std::nullopt;
      Wide raw = *typed;
      if (readsIntScaled()) {
        const Wide dm = displayMinimum_.i;
        const Wide dM = displayMaximum_.i;
        raw = intMinimum_ + (Wide{intMaximum_} - intMinimum_) * (raw - dm) / (dM - dm);
      }
      if (raw < intMinimum_ || raw > intMaximum_) return std::nullopt;
      return Value::ofInt(static_cast<int32_t>(raw));
    }
    case ValueType::kChoice: {
      const auto number = readDecimal(text);
      if (!number || *number < std::numeric_limits<int32_t>::min() ||
          *number > std::numeric_limits<int32_t>::max()) {
        return std::nullopt;
      }
      const Item* entry = choices().byNumber(static_cast<int32_t>(*number));
      if (entry == nullptr) return std::nullopt;
      return Value::ofInt(entry->value());
    }
    case ValueType::kFloat: {
      const auto typed = readFloatText(text);
      if (!typed) return std::nullopt;
      double x = *typed;
      if (readsFloatScaled()) {
        const double dm = displayMinimum_.f;
        const double dM = displayMaximum_.f;
        x = floatMinimum_ +
            (static_cast<double>(floatMaximum_) - floatMinimum_) * (x - dm) / (dM - dm);
      }
      const double count = floatQuantumCount(x);
      // Written so that NaN (from a degenerate scale) fails too.
      if (!(count >= floatQuantumCount(floatMinimum_) &&
            count <= floatQuantumCount(floatMaximum_))) {
        return std::nullopt;
      }
      return Value::ofFloat(quantaToFloat(count));
    }
    case ValueType::kString: {
      switch (stringFormat_) {
        case StringFormat::kPlain:
          break;
        case StringFormat::kTimeOfDay:
        case StringFormat::kOptionalTimeOfDay:
          if (!readTimeOfDay(text)) return std::nullopt;
          break;
        case StringFormat::kDate:
          if (!readDate(text)) return std::nullopt;
          break;
      }
      return Value::ofText(cutText(text, static_cast<std::size_t>(std::max(intMaximum_, 0))));
    }
    case ValueType::kIpAddress: {
      // Unreadable text is a failed read, not the address 255.255.255.255.
      const auto address = readIpv4Text(text, 3, TrailingText::kRefused);
      if (!address) return std::nullopt;
      return Value::ofAddress(*address);
    }
    case ValueType::kUInt32: {
      if (text.front() == '-') return std::nullopt;
      const auto typed = readDecimal(text);
      if (!typed || *typed > std::numeric_limits<uint32_t>::max()) return std::nullopt;
      const auto n = static_cast<uint32_t>(*typed);
      if (n < asUnsigned(intMinimum_) || n > asUnsigned(intMaximum_)) return std::nullopt;
      return Value::ofUnsigned(n);
    }
    default:
      return std::nullopt;
  }
}

bool Parameter::stepValue(Value& value, int32_t n) const {
  switch (type_) {
    case ValueType::kInt:
    case ValueType::kInt32: {
      // 64 bits hold value + n * step for any 32-bit inputs, so the limit applies before
      // anything can overflow.
      const int64_t moved = int64_t{value.i} + int64_t{n} * intStep_;
      const auto result = static_cast<int32_t>(clampTo(moved, intMinimum_, intMaximum_));
      const bool changed = !value.valid || result != value.i;
      value.valid = true;
      value.i = result;
      return changed;
    }
    case ValueType::kChoice: {
      const ItemList& list = choices();
      const int position = list.positionOfValue(value.i);
      if (position < 0) return false;
      const int64_t moved = clampTo(int64_t{position} + n, 0, list.count() - 1);
      const int32_t result = list.at(static_cast<int>(moved))->value();
      const bool changed = !value.valid || result != value.i;
      value.valid = true;
      value.i = result;
      return changed;
    }
    case ValueType::kFloat: {
      if (std::isnan(value.f)) return false;
      // Whole quanta keep the sum exact, so repeated steps never drift off the grid.
      const double step = floatQuantumCount(floatStep_);
      const double low = floatQuantumCount(floatMinimum_);
      const double high = floatQuantumCount(floatMaximum_);
      const double half = std::fabs(step) / 2.0;
      double count = floatQuantumCount(value.f) + static_cast<double>(n) * step;
      if (count < low - half) {
        count = low;
      } else if (count > high + half) {
        count = high;
      }
      const float result = quantaToFloat(count);
      const bool changed = !valuesEqual(value, Value::ofFloat(result), ValueType::kFloat);
      value.valid = true;
      value.f = result;
      return changed;
    }
    case ValueType::kUInt32: {
      // Computed signed in 64 bits: wrapping unsigned arithmetic would turn a step down from 0
      // into a jump to the maximum.
      const int64_t moved = int64_t{asUnsigned(value.i)} + int64_t{n} * asUnsigned(intStep_);
      const auto result =
          static_cast<uint32_t>(clampTo(moved, asUnsigned(intMinimum_), asUnsigned(intMaximum_)));
      const bool changed = !value.valid || result != asUnsigned(value.i);
      value.valid = true;
      value.i = static_cast<int32_t>(result);
      return changed;
    }
    default:
      return false;
  }
}

Value Parameter::initialValue(std::mt19937& rng) const {
  if (default_.valid) return default_;
  switch (type_) {
    case ValueType::kInt:
    case ValueType::kInt32: {
      const int64_t step = std::abs(int64_t{intStep_});
      const int64_t positions = step == 0 ? 0 : (int64_t{intMaximum_} - intMinimum_) / step;
      if (positions < 1) return Value::ofInt(intMinimum_);
      std::uniform_int_distribution<int64_t> draw(0, positions - 1);
      return Value::ofInt(static_cast<int32_t>(intMinimum_ + step * draw(rng)));
    }
    case ValueType::kUInt32: {
      const uint32_t step = asUnsigned(intStep_);
      const uint32_t low = asUnsigned(intMinimum_);
      const uint32_t positions = step == 0 ? 0 : (asUnsigned(intMaximum_) - low) / step;
      if (positions < 1) return Value::ofUnsigned(low);
      std::uniform_int_distribution<uint32_t> draw(0, positions - 1);
      return Value::ofUnsigned(low + step * draw(rng));
    }
    case ValueType::kFloat: {
      const double step = std::fabs(floatQuantumCount(floatStep_));
      const double low = floatQuantumCount(floatMinimum_);
      const double span = floatQuantumCount(floatMaximum_) - low;
      double positions = step == 0.0 ? 0.0 : std::trunc(span / step);
      if (!(positions >= 1.0)) return Value::ofFloat(floatMinimum_);
      positions = std::min(positions, kMaxDrawPositions);
      std::uniform_int_distribution<int64_t> draw(0, static_cast<int64_t>(positions) - 1);
      return Value::ofFloat(quantaToFloat(low + step * static_cast<double>(draw(rng))));
    }
    case ValueType::kChoice: {
      const ItemList& list = choices();
      if (list.count() == 0) return Value{};
      std::uniform_int_distribution<int> draw(0, list.count() - 1);
      return Value::ofInt(list.at(draw(rng))->value());
    }
    case ValueType::kString:
      return Value::ofText("***");
    default:
      return Value{};
  }
}

Value Parameter::limitText(Value value) const {
  if (type_ == ValueType::kString && value.valid &&
      value.text.size() > static_cast<std::size_t>(std::max(intMaximum_, 0)))
    value.text = cutText(value.text, intMaximum_);
  return value;
}

int Parameter::displayWidth() const {
  switch (type_) {
    case ValueType::kInt:
      return 6;
    case ValueType::kInt32:
      return 11;
    case ValueType::kChoice:
      return 3;
    case ValueType::kFloat:
      return 8;
    case ValueType::kString:
      return std::max(intMaximum_, 0);
    case ValueType::kIpAddress:
      return 15;
    case ValueType::kUInt32:
      return 10;
    default:
      return 0;
  }
}

bool Parameter::isCommand() const {
  return type_ == ValueType::kChoice && choices().count() == 1;
}

}  // namespace qelm
