#pragma once

#include <string>

#include "model/device.h"

namespace qelm {

/// What a page item's value area shows: the text, whether the unit is left off (a named value,
/// a preset's label, a link status) and whether the status mark is drawn.
struct ShownValue {
  std::string text;  ///< may hold markup tags, as value texts can
  bool noUnit = true;
  bool statusMark = false;
};

/// The value area of `item` as the panel draws it: a preset's label, the first target's value
/// while its card is live, nothing while it has no data yet, otherwise the link status.
ShownValue shownValue(const PageItem& item);

/// The value line of `item` as a full parameter area draws it: the text without tags, followed
/// by a space and the unit unless the unit is left off.
std::string shownLine(const PageItem& item);

}  // namespace qelm
