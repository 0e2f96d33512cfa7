#pragma once

#include "model/device.h"
#include "model/target.h"
#include "model/value.h"

// Writes to every card of a page item, shared by the panel's controllers; panel library only.

namespace qelm {

/// Sets `value` on every target of `item` (null: nothing), each card checking it as it does.
inline void setOnAll(const PageItem* item, const Value& value) {
  if (item == nullptr) return;
  for (Target* target : item->targets)
    target->setValue(value);
}

/// Sends `value` to every target of `item` (null: nothing), even when it is unchanged.
inline void sendToAll(const PageItem* item, const Value& value) {
  if (item == nullptr) return;
  for (Target* target : item->targets)
    target->sendValue(value);
}

/// Whether `item` exists and is bound to at least one card.
inline bool hasTargets(const PageItem* item) {
  return item != nullptr && !item->targets.empty();
}

}  // namespace qelm
