#pragma once

// Reading pieces that several directives share: values, address lists, page types and
// parameter references. Only the directive parsers of this folder use it.

#include <optional>
#include <string>
#include <vector>

#include "model/card_address.h"
#include "model/device.h"
#include "model/model.h"
#include "model/value.h"

namespace qelm {

class ConfigLoader;

/// Reads a value of `parameter`'s type from the current token and consumes it; false when the
/// token does not fit the type (a Choice number or name that names no entry included), and then
/// the token stays current, so the caller's error names its line. Values are not checked
/// against the range.
bool readValueFor(ConfigLoader& loader, const Parameter& parameter, Value& value);

/// Reads an address list: ["secondary-channels"] address slot {slot} {address slot {slot}}.
/// Empty when the current token starts none. Fails on an address without a slot and on a slot
/// without an address.
std::vector<CardAddress> readAddressList(ConfigLoader& loader);

/// Reads an optional "type" clause; 8-up when there is none.
PageType readPageType(ConfigLoader& loader);

/// Reads a 16-bit unsigned number (0..65535) from the current token without consuming it.
std::optional<int32_t> currentNumber(ConfigLoader& loader);

/// A parameter named in a directive: by OID (one or two parts) or by name.
struct ParameterReference {
  /// True when written as an OID.
  bool byOid = false;
  /// OID first part.
  uint16_t oid = 0;
  /// True when the OID has an element part.
  bool hasElement = false;
  /// OID element part.
  uint16_t element = 0;
  /// The name as written; empty for an OID.
  std::string name;

  /// The OID as messages write it, or the name as written. Formatted on request because only
  /// error messages need it.
  std::string text() const;

  /// The parameter in `model`: by OID among OpenGear or ArrayElement parameters, by name
  /// ignoring case; null when absent.
  Parameter* find(const Model& model) const;
};

/// Classifies the current token as an OID, or else as a name, without consuming it; none when
/// it is neither.
std::optional<ParameterReference> currentParameterReference(ConfigLoader& loader);

}  // namespace qelm
