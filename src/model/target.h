#pragma once

#include <string>

#include "model/link_status.h"
#include "model/value.h"

namespace qelm {

/// The one object through which one parameter value is read and changed, wherever it lives: on
/// a card over the network, on a simulated card, in the panel's own settings, in a local
/// variable of a card, or in an automatic action. Engine thread only.
class Target {
 public:
  virtual ~Target() = default;

  /// One-line description of the parameter for messages.
  virtual std::string describe() const = 0;
  /// The current value formatted for display; "[none]" when a kind has no such text.
  virtual std::string valueText() const { return "[none]"; }
  /// Whether the current value matches one of the parameter's named values.
  virtual bool hasNamedValue() const { return false; }
  /// Stages a value; what follows depends on the kind (sent later, stored, written).
  virtual void setValue(const Value& value) = 0;
  /// Acts on a value at once (transmits it, or stores it for local kinds).
  virtual void sendValue(const Value& value) = 0;
  /// Whether a value is known.
  virtual bool hasValue() const { return false; }
  /// The value or the status changed since the flag was last cleared.
  virtual bool isChanged() const { return false; }
  virtual void clearChanged() {}
  virtual void markChanged() {}
  /// The value last received from, or stored in, the place the parameter lives.
  virtual Value receivedValue() const { return Value(); }
  /// What the user sees and edits: a staged value when one is pending, else `receivedValue`.
  virtual Value currentValue() const { return receivedValue(); }
  /// Adds (true) or drops (false) one watcher.
  virtual void watch(bool on) { (void)on; }
  /// Whether the value can be trusted.
  virtual LinkStatus status() const { return LinkStatus::kLive; }
};

}  // namespace qelm
