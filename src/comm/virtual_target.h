#pragma once

#include <string>

#include "model/card_address.h"
#include "model/target.h"

namespace qelm {

class HostGroup;
class Parameter;

/// The value of one local parameter of one card of the "Client" group: kept in the panel and
/// never sent anywhere. Owned by its card. Engine thread only.
class VirtualTarget final : public Target {
 public:
  /// A target for `parameter` (owned by its model) with no value.
  explicit VirtualTarget(Parameter& parameter);

  /// "Model \"<model>\" param \"<parameter>\"".
  std::string describe() const override;
  /// The stored value formatted by the parameter; empty when there is none.
  std::string valueText() const override;
  /// Whether the stored value has a name among the parameter's named values.
  bool hasNamedValue() const override;
  /// Stores `value`; the changed flag is set only when it differs from the stored one.
  void setValue(const Value& value) override;
  /// Same as `setValue`.
  void sendValue(const Value& value) override { setValue(value); }
  /// Whether the stored value is valid.
  bool hasValue() const override { return value_.valid; }
  bool isChanged() const override { return changed_; }
  void clearChanged() override { changed_ = false; }
  void markChanged() override { changed_ = true; }
  /// The stored value.
  Value receivedValue() const override { return value_; }

  /// The parameter whose model created this target.
  Parameter& parameter() const { return parameter_; }

 private:
  Parameter& parameter_;
  Value value_;
  bool changed_ = false;
};

/// Gives one configured local value to the card at `card` in the "Client" group `client`: the
/// card's target for `parameter` takes `value` through `sendValue`, or a warning is logged when
/// the card has no such target or its target came from another model. `name` is the parameter
/// name as configured; a null `parameter` counts as no target.
void initializeLocalValue(HostGroup& client, const CardAddress& card, Parameter* parameter,
                          const std::string& name, const Value& value);

/// Gives every card its configured local values at start-up, cards in map order, each card's
/// values in order. `values` maps a `CardAddress` to a list of records with the members
/// `parameter` (pointer), `name` and `value` (the catalog's local card values).
template <typename CardValues>
void initializeLocalValues(HostGroup& client, const CardValues& values) {
  for (const auto& [card, settings] : values) {
    for (const auto& setting : settings)
      initializeLocalValue(client, card, setting.parameter, setting.name, setting.value);
  }
}

}  // namespace qelm
