#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "model/item.h"
#include "model/value.h"

namespace qelm {

class Model;

/// How a String value is read and shown. The configuration always gives `kPlain`.
enum class StringFormat : uint8_t {
  kPlain = 0,
  kTimeOfDay = 1,
  kDate = 2,
  kOptionalTimeOfDay = 3,
};

/// Where a parameter's value lives, and so which address fields it has.
enum class ParameterKind : uint8_t {
  kOpenGear = 0,
  kArrayElement = 1,
  kLocal = 2,
  kGlobal = 3,
};

/// One parameter of a model: its address, type, range, presentation and the rules that turn its
/// values into text, read typed text and step values with a knob. Built once, then shared
/// read-only (except the read-only flag, which the global settings toggle at run time).
class Parameter {
  struct Key {
    explicit Key() = default;
  };

 public:
  /// An OpenGear parameter at `oid`.
  static std::unique_ptr<Parameter> makeOpenGear(uint16_t oid, std::string name);
  /// One element (`element`, 0-based) of the OpenGear array parameter at `oid`.
  static std::unique_ptr<Parameter> makeArrayElement(uint16_t oid, uint16_t element,
                                                     std::string name);
  /// A value kept in the panel itself (local card parameters, built-in lists).
  static std::unique_ptr<Parameter> makeLocal(std::string name);
  /// A panel setting with global code `code`; `key` names its persistent entry (empty: none).
  static std::unique_ptr<Parameter> makeGlobal(int32_t code, std::string name, std::string key);

  /// Use the `make...` functions; the key keeps construction to them.
  Parameter(Key, ParameterKind kind, std::string name);
  virtual ~Parameter();

  Parameter(const Parameter&) = delete;
  Parameter& operator=(const Parameter&) = delete;

  // --- Address -----------------------------------------------------------------------------

  /// Which address fields this parameter has.
  ParameterKind kind() const { return kind_; }
  /// OpenGear object id; throws the text "Requested OID for non-OpenGear parameter" for Local and
  /// Global parameters.
  uint16_t oid() const;
  /// Array element index; throws the text "Requested OID for non-OpenGear array element
  /// parameter" unless this is an ArrayElement parameter.
  uint16_t elementIndex() const;
  /// Global setting code; throws the text "Requested global code for non-global parameter"
  /// unless this is a Global parameter.
  int32_t globalCode() const;
  /// Persistent-setting key of a Global parameter; empty when none.
  const std::string& key() const { return key_; }
  /// Model holding this parameter; null until added to one.
  Model* model() const { return model_; }

  // --- Definition --------------------------------------------------------------------------

  /// Name as defined (the model finds it ignoring ASCII case).
  const std::string& name() const { return name_; }
  /// Value type; `kNone` until one of the type setters ran.
  ValueType type() const { return type_; }
  /// Text format of a String parameter.
  StringFormat stringFormat() const { return stringFormat_; }
  /// Unit shown after the value; may be empty.
  const std::string& unit() const { return unit_; }
  /// Replaces the unit text.
  void setUnit(std::string unit) { unit_ = std::move(unit); }

  /// Type Int over [min(a, b), max(a, b)] moving by `step` per knob click.
  void setIntegerRange(int32_t a, int32_t b, int32_t step);
  /// Type Int32 (built-in models), otherwise as `setIntegerRange`.
  void setInt32Range(int32_t a, int32_t b, int32_t step);
  /// Type UInt32 (built-in models): bounds compared unsigned, stored as bit patterns.
  void setUInt32Range(uint32_t a, uint32_t b, uint32_t step);
  /// Type Float: bounds and step put on the 0.00001 grid, smaller bound first; clears
  /// owns-choices.
  void setFloatRange(double a, double b, double step);
  /// Type String, plain format, at most `length` bytes (negative counts as 0).
  void setString(int32_t length);
  /// Changes how a String parameter reads and shows its text (built-in models).
  void setStringFormat(StringFormat format) { stringFormat_ = format; }
  /// Type IpAddress (built-in models).
  void setIpAddressType() { type_ = ValueType::kIpAddress; }

  /// Float minimum (on the grid).
  float floatMinimum() const { return floatMinimum_; }
  /// Float maximum (on the grid).
  float floatMaximum() const { return floatMaximum_; }
  /// Float step (on the grid); 0 means the knob does not move the value.
  float floatStep() const { return floatStep_; }
  /// Integer minimum (UInt32: bit pattern of the unsigned bound).
  int32_t intMinimum() const { return intMinimum_; }
  /// Integer maximum; for String the maximum length in bytes.
  int32_t intMaximum() const { return intMaximum_; }
  /// Integer step per knob click (UInt32: bit pattern).
  int32_t intStep() const { return intStep_; }

  /// Changes apply only when the operator confirms.
  bool slow() const { return slow_; }
  /// Sets the slow flag.
  void setSlow(bool on) { slow_ = on; }
  /// The panel does not edit the value.
  bool readOnly() const { return readOnly_; }
  /// Sets the read-only flag (the global settings lock some settings while measuring).
  void setReadOnly(bool on) { readOnly_ = on; }
  /// Milliseconds between unsolicited sends by a simulated card; 0 means none.
  uint16_t periodic() const { return periodic_; }
  /// Sets the periodic interval in milliseconds (0: none).
  void setPeriodic(uint16_t ms) { periodic_ = ms; }
  /// Float only: print a "+" before non-negative values (built-in models).
  bool showSign() const { return showSign_; }
  /// Sets the show-sign flag.
  void setShowSign(bool on) { showSign_ = on; }

  /// Default value; invalid when none.
  const Value& defaultValue() const { return default_; }
  /// Sets the default (not checked against the range).
  void setDefault(Value value) { default_ = std::move(value); }
  /// Display minimum; Int and Float values are shown in display units when both ends are valid.
  const Value& displayMinimum() const { return displayMinimum_; }
  /// Display maximum (see `displayMinimum`).
  const Value& displayMaximum() const { return displayMaximum_; }
  /// Sets both ends of the display range (values in the parameter's own type).
  void setDisplayRange(Value minimum, Value maximum);

  /// Appends an owned choice entry. Allowed when the type is none (it becomes Choice) or an
  /// unshared Choice list filled by this parameter; false when the number or data value is
  /// already there. Data value -1 is an ordinary value here.
  bool addChoice(int32_t number, int32_t value, std::string shortName, std::string longName);
  /// Appends an entry owned elsewhere (device and page lists); it must outlive this parameter.
  /// Allowed when the type is none or a Choice list of shared entries; false on a duplicate.
  bool addSharedChoice(Item* entry);
  /// Choice entries in use: this parameter's own, or those of the parameter it was made "like".
  const ItemList& choices() const;
  /// True when the entries in `choices` were added by `addChoice` on this parameter.
  bool ownsChoices() const { return ownsChoices_; }

  /// Names a value. Int, Int32: whole-number keys; Float: any key but NaN; UInt32: whole
  /// numbers 0..4294967295; other types and shared names refuse.
  bool addNamedValue(float key, std::string name);
  /// Named values in use: this parameter's own, or those of the parameter it was made "like".
  const NamedValues& namedValues() const;

  /// Takes type, unit, ranges, flags, display range, periodic interval and default from
  /// `other`, sharing its choice list and named values (so `other` must outlive this one, as
  /// it does within one model). Only for a parameter without a type, from another parameter
  /// that has one; the string format and show-sign flag stay.
  bool copyTypeFrom(const Parameter& other);

  // --- Values ------------------------------------------------------------------------------

  /// Text shown for `value`: empty when invalid; the matching named value when asked for and
  /// there is one; otherwise the type's own format (display units, float decimals by step).
  std::string formatValue(const Value& value, bool useNamedValues = true) const;
  /// Name whose key lies strictly within half a step of `value` (Int, Int32, Float, UInt32);
  /// empty when none or for a step of 0.
  std::string namedValueFor(const Value& value) const;
  /// Reads typed text (display units where scaling applies) into a value of this type within
  /// range; none when the text does not read or is out of range. Empty text never reads.
  std::optional<Value> parseValue(std::string_view text) const;
  /// Moves `value` by `n` knob steps (negative: down), limited to the range; true when the
  /// result differs from the old value.
  bool stepValue(Value& value, int32_t n) const;
  /// The default when set, otherwise a value drawn from `rng` on the step grid inside the range
  /// (the minimum when the range holds less than one step; invalid for an empty Choice; "***"
  /// for a String).
  Value initialValue(std::mt19937& rng) const;
  /// `value` with a String's text cut to the maximum length, never inside a UTF-8 sequence
  /// (what a peer sends is not bound by our definition); other values as they are.
  Value limitText(Value value) const;
  /// Characters an entry of this type may hold (String: its maximum length).
  int displayWidth() const;
  /// A Choice with exactly one entry: an action rather than a setting.
  bool isCommand() const;
  /// Slow or a command: applied only when the operator confirms.
  bool needsConfirmation() const { return slow_ || isCommand(); }

 private:
  friend class Model;

  bool showsIntScaled() const;
  bool readsIntScaled() const;
  bool showsFloatScaled() const;
  bool readsFloatScaled() const;

  Model* model_ = nullptr;
  std::string unit_;
  std::string name_;
  ValueType type_ = ValueType::kNone;
  StringFormat stringFormat_ = StringFormat::kPlain;
  float floatMinimum_ = 0.0f;
  float floatMaximum_ = 0.0f;
  float floatStep_ = 0.0f;
  int32_t intMinimum_ = 0;
  int32_t intMaximum_ = 0;
  int32_t intStep_ = 0;
  bool slow_ = false;
  bool readOnly_ = false;
  bool ownsChoices_ = false;
  uint16_t periodic_ = 0;
  Value default_;
  Value displayMinimum_;
  Value displayMaximum_;
  ParameterKind kind_;
  ItemList choices_;
  std::vector<std::unique_ptr<Item>> ownedChoices_;
  const ItemList* sharedChoices_ = nullptr;
  NamedValues namedValues_;
  const NamedValues* sharedNamedValues_ = nullptr;
  int32_t globalCode_ = 0;
  uint16_t oid_ = 0;
  uint16_t element_ = 0;
  std::string key_;
  bool showSign_ = false;
};

}  // namespace qelm
