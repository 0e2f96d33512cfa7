#include "panel/item_text.h"

#include "model/link_status.h"
#include "model/parameter.h"
#include "model/target.h"
#include "text/text.h"

namespace qelm {

ShownValue shownValue(const PageItem& item) {
  if (item.setValue.valid && !item.setText.empty()) return {item.setText, true, false};
  if (item.targets.empty() || item.targets.front() == nullptr) return {};
  const Target& target = *item.targets.front();
  const LinkStatus status = target.status();
  if (isLive(status)) return {target.valueText(), target.hasNamedValue(), false};
  if (status == LinkStatus::kNoData) return {};
  return {linkStatusName(status), true, true};
}

std::string shownLine(const PageItem& item) {
  const ShownValue shown = shownValue(item);
  std::string line = stripTags(shown.text);
  const std::string& unit = item.parameter != nullptr ? item.parameter->unit() : std::string();
  if (!shown.noUnit && !unit.empty()) {
    line += ' ';
    line += unit;
  }
  return line;
}

}  // namespace qelm
