#pragma once

#include <string>

#include "model/target.h"

namespace qelm {

class GlobalSettings;
class Parameter;

/// The target of one panel setting. It keeps no value of its own: every read and write goes
/// through the handlers of the global settings that own it. Engine thread only.
class GlobalTarget final : public Target {
 public:
  /// A target for `parameter` (a Global parameter) served by `settings`; both outlive it.
  GlobalTarget(Parameter& parameter, GlobalSettings& settings);

  /// Empty: a panel setting needs no description beyond its name.
  std::string describe() const override { return {}; }
  /// The current setting formatted by the parameter; empty when there is no value.
  std::string valueText() const override;
  /// Whether the current setting has a name among the parameter's named values.
  bool hasNamedValue() const override;
  /// Writes the setting through the set handler, then marks the target changed.
  void setValue(const Value& value) override;
  /// Same as `setValue`: settings take effect at once.
  void sendValue(const Value& value) override { setValue(value); }
  /// Whether the setting currently has a valid value.
  bool hasValue() const override;
  bool isChanged() const override { return changed_; }
  void clearChanged() override { changed_ = false; }
  void markChanged() override { changed_ = true; }
  /// The setting as the get handler reads it now.
  Value receivedValue() const override;

  /// The parameter this target serves.
  Parameter& parameter() const { return parameter_; }

 private:
  Parameter& parameter_;
  GlobalSettings& settings_;
  bool changed_ = false;
};

}  // namespace qelm
