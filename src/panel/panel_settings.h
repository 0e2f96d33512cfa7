#pragma once

#include <cstdint>

#include "core/global_codes.h"

namespace qelm {

class Target;

/// What the panel needs of its own settings: their targets by global code, and the points at
/// which changes are saved and locks refreshed. The global settings implement it.
class PanelSettings {
 public:
  virtual ~PanelSettings() = default;

  /// The target of global code `code` (a `GlobalCode`, or any number a configuration names), or
  /// null when the settings have none.
  virtual Target* globalTarget(int32_t code) = 0;
  /// The target of `code`, or null when the settings have none.
  Target* globalTarget(GlobalCode code) { return globalTarget(codeOf(code)); }
  /// Saves changed settings and requests a restart when one is needed; called whenever a shown
  /// page is left.
  virtual void commit() = 0;
  /// Makes the settings that may not change during a loudness session read-only while one is
  /// active; called before a page is shown.
  virtual void refreshLocks() = 0;
  /// Refreshes the date and time values; called every pass while the panel's own device is on
  /// show.
  virtual void refreshClock() = 0;
};

}  // namespace qelm
