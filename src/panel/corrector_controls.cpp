#include "panel/corrector_controls.h"

#include <array>
#include <cstddef>
#include <map>
#include <utility>

#include "model/device.h"
#include "model/target.h"
#include "model/value.h"
#include "panel/item_targets.h"
#include "panel/screens.h"

namespace qelm {
namespace {

// Item index per knob slot 0..14; "cc" pages map seven more knob codes than the eight knobs of
// this edition produce.
constexpr std::array<int32_t, 15> kKnobItems{0, 2, 1, 3, 4, -1, -1, 12, 5, 6, 7, 8, 9, 10, 11};

// Items by index: 0..12 the stored settings, then the enables, the two resets and the hold
// control that brackets every write of settings.
constexpr int32_t kStoredItems = 13;
constexpr int32_t kBypassItem = 13;
constexpr int32_t kSecondEnableItem = 14;
constexpr int32_t kFirstResetItem = 15;
constexpr int32_t kSecondResetItem = 16;
constexpr int32_t kHoldItem = 17;

// Process-wide by design: a retrieve on one corrector card and a send on another copy settings
// between them, whichever device each is on.
std::map<int32_t, Value>& storedSettings() {
  static std::map<int32_t, Value> settings;
  return settings;
}

}  // namespace

int32_t CorrectorControls::itemOfKnob(int32_t slot) {
  if (slot < 0 || slot >= static_cast<int32_t>(kKnobItems.size())) return -1;
  return kKnobItems[static_cast<std::size_t>(slot)];
}

bool CorrectorControls::isBypassItem(int32_t index) {
  return index == kBypassItem;
}

void CorrectorControls::clearStoredSettings() {
  storedSettings().clear();
}

void CorrectorControls::toggleBypass(const Page& page) {
  const Target* first = page.firstTarget(kBypassItem);
  if (first == nullptr) return;
  Value value = first->currentValue();
  if (!value.valid) return;
  value.i = value.i == 0 ? 1 : 0;
  setOnAll(page.item(kBypassItem), value);
  setOnAll(page.item(kSecondEnableItem), value);
}

std::string CorrectorControls::reset(const Page& page) {
  const PageItem* hold = page.item(kHoldItem);
  sendToAll(hold, Value::ofInt(0));
  setOnAll(page.item(kFirstResetItem), Value::ofInt(1));
  setOnAll(page.item(kSecondResetItem), Value::ofInt(1));
  sendToAll(hold, Value::ofInt(1));
  if (hasTargets(page.item(kFirstResetItem)) || hasTargets(page.item(kSecondResetItem))) {
    return "Reset";
  }
  return {};
}

std::string CorrectorControls::retrieveSettings(const Page& page) {
  auto& stored = storedSettings();
  stored.clear();
  for (int32_t index = 0; index < kStoredItems; ++index) {
    const Target* target = page.firstTarget(index);
    if (target == nullptr) continue;
    Value value = target->receivedValue();
    if (value.valid) stored.emplace(index, std::move(value));
  }
  return "Retrieved settings from device";
}

std::string CorrectorControls::sendSettings(const Page& page) {
  const PageItem* hold = page.item(kHoldItem);
  sendToAll(hold, Value::ofInt(0));
  bool anyWritten = false;
  for (const auto& [index, value] : storedSettings()) {
    const PageItem* item = page.item(index);
    if (!hasTargets(item)) continue;
    setOnAll(item, value);
    anyWritten = true;
  }
  sendToAll(hold, Value::ofInt(1));
  return anyWritten ? "Sent settings to device" : std::string();
}

void CorrectorControls::pageShown(const Page& page) {
  // The bars start without status text; a bypassed corrector says so at once rather than only
  // after its enable next changes.
  if (page.type() != PageType::kCc) return;
  if (const Target* enable = page.firstTarget(kBypassItem)) showBypassStatus(*enable);
}

void CorrectorControls::showBypassStatus(const Target& enable) {
  const Value value = enable.currentValue();
  screens_.setStatusText(value.valid && value.i == 0 ? "BYPASS " : "");
}

}  // namespace qelm
