// Sections: [start-up and navigation] [entries] [page items] [colour corrector] [loudness pages]
// [per-pass work and lamps]

#include "panel/panel_logic.h"

#include <array>
#include <cstddef>
#include <map>
#include <string>
#include <utility>

#include "model/parameter.h"
#include "model/target.h"
#include "panel/panel_settings.h"
#include "panel/screens.h"
#include "text/text.h"

namespace qelm {
namespace {

constexpr int32_t kKeyZero = codeOf(PanelKey::kDigit0);
constexpr int32_t kKeyNine = codeOf(PanelKey::kDigit9);
constexpr int32_t kKeyContext = codeOf(PanelKey::kContext);
constexpr int32_t kKeyBack = codeOf(PanelKey::kBack);
constexpr int32_t kKeySelectDevice = codeOf(PanelKey::kSelectDevice);
constexpr int32_t kKeySelectSubmenu = codeOf(PanelKey::kSelectSubmenu);
constexpr int32_t kKeyCancel = codeOf(PanelKey::kCancel);
constexpr int32_t kKeyEnter = codeOf(PanelKey::kEnter);
// "cc" pages map seven more knob codes, which no control of this edition produces.
constexpr int32_t kLastKnobCode = 32;

// Item index per knob code 18..32; -1 for none.
constexpr std::array<int32_t, 15> kDualKnobItems{0,  2,  1,  3,  4,  6,  5, 7,
                                                 -1, -1, -1, -1, -1, -1, -1};
constexpr std::array<int32_t, 15> kCorrectorKnobItems{0, 2, 1, 3, 4, -1, -1, 12,
                                                      5, 6, 7, 8, 9, 10, 11};

// Colour-corrector items by index: 0..12 the stored settings, then the enables, the two resets
// and the hold control that brackets every write of settings.
constexpr int32_t kStoredCorrectorItems = 13;
constexpr int32_t kBypassItem = 13;
constexpr int32_t kSecondEnableItem = 14;
constexpr int32_t kFirstResetItem = 15;
constexpr int32_t kSecondResetItem = 16;
constexpr int32_t kCorrectorHoldItem = 17;

// Touch areas of the loudness views, in screen pixels.
constexpr int32_t kSessionButtonsBottom = 137;
constexpr int32_t kStartButtonRight = 86;
constexpr int32_t kStopButtonLeft = 88;
constexpr int32_t kStopButtonRight = 162;
constexpr int32_t kPauseButtonLeft = 164;
constexpr int32_t kPauseButtonRight = 249;
constexpr int32_t kViewToggleLeft = 400;
constexpr int32_t kViewToggleBottom = 100;

constexpr const char* kDevicePrompt = "Use the keypad or any knob to select a device.";
constexpr const char* kPagePrompt = "Use the keypad or any knob to select a submenu.";

bool isKnobCode(int32_t code) {
  return code >= kFirstKnobCode && code <= kLastKnobCode;
}
bool isTurn(EventKind kind) {
  return kind == EventKind::kTurnedOneWay || kind == EventKind::kTurnedOtherWay;
}
int32_t turnSteps(const InputEvent& event) {
  return event.kind == EventKind::kTurnedOneWay ? -event.count : event.count;
}

void watchTarget(Target& target, bool on) {
  target.watch(on);
}

void setOnAll(const PageItem* item, const Value& value) {
  if (item == nullptr) return;
  for (Target* target : item->targets)
    target->setValue(value);
}

void sendToAll(const PageItem* item, const Value& value) {
  if (item == nullptr) return;
  for (Target* target : item->targets)
    target->sendValue(value);
}

bool hasTargets(const PageItem* item) {
  return item != nullptr && !item->targets.empty();
}

// Process-wide by design: a retrieve on one corrector card and a send on another copy settings
// between them, whichever device each is on.
std::map<int32_t, Value>& storedCorrectorSettings() {
  static std::map<int32_t, Value> settings;
  return settings;
}

}  // namespace

PanelLogic::PanelLogic(int32_t& exitCode, DeviceList& devices, PanelScreens& screens,
                       PanelSettings& settings, const uint32_t& loopTick)
    : exitCode_(exitCode),
      devices_(devices),
      screens_(screens),
      settings_(settings),
      loopTick_(loopTick) {}

PanelLogic::~PanelLogic() = default;

void PanelLogic::clearStoredCorrectorSettings() {
  storedCorrectorSettings().clear();
}

void PanelLogic::handleEvent(const InputEvent* event) {
  if (mode_ == PanelMode::kStart) {
    // Whatever the first event is, it only brings the panel up.
    startUp();
  } else if (event != nullptr) {
    if (event->code == kFinalEventCode) {
      if (mode_ == PanelMode::kPageShown) leavePage();
      exitCode_ = 1;
    } else if (entry_.active) {
      handleEntryEvent(*event);
    } else if (event->kind == EventKind::kKeyPressed && event->code == kKeySelectDevice) {
      startDeviceSelection();
    } else if (event->kind == EventKind::kKeyPressed && event->code == kKeySelectSubmenu) {
      startPageSelection();
    } else if (event->kind == EventKind::kKeyPressed && event->code == kKeyCancel) {
      showCurrentPage();
    } else if (mode_ == PanelMode::kPageShown) {
      handlePageEvent(*event);
    }
  }
  updateLamps();
}

// --- [start-up and navigation] ----------------------------------------------------------------

void PanelLogic::startUp() {
  const ItemList& list = devices_.deviceList().choices();
  currentDevice_ = list.count() > 0 ? dynamic_cast<Device*>(list.at(0)) : nullptr;
  currentPage_ = currentDevice_ != nullptr ? currentDevice_->choosePage(nullptr) : nullptr;
  // Without a page to show, the operator has to pick something else.
  if (currentPage_ != nullptr) {
    showPage(*currentPage_);
  } else {
    startDeviceSelection();
  }
}

void PanelLogic::leavePage() {
  if (mode_ != PanelMode::kPageShown || currentPage_ == nullptr) return;
  currentPage_->deactivate();
  settings_.commit();
}

void PanelLogic::startDeviceSelection() {
  leavePage();
  Parameter& list = devices_.deviceList();
  const ItemList& choices = list.choices();
  int32_t position =
      currentDevice_ != nullptr ? choices.positionOfNumber(currentDevice_->number()) : -1;
  if (position < 0 && choices.count() > 0) position = 0;
  const int32_t value = position >= 0 ? choices.at(position)->value() : -1;
  mode_ = PanelMode::kDeviceSelect;
  enteredItem_ = -1;
  beginEntry(list, Value::ofInt(value), EntryKind::kDeviceSelection);
  screens_.showSelection(kDevicePrompt, "", choices, position);
  screens_.showEntryText(entry_.text);
}

void PanelLogic::startPageSelection() {
  if (currentDevice_ == nullptr) {
    startDeviceSelection();
    return;
  }
  leavePage();
  Parameter& list = currentDevice_->pageList();
  const ItemList& choices = list.choices();
  int32_t position =
      currentPage_ != nullptr ? choices.positionOfNumber(currentPage_->number()) : -1;
  if (position < 0 && choices.count() > 0) position = 0;
  const int32_t value = position >= 0 ? choices.at(position)->value() : -1;
  mode_ = PanelMode::kPageSelect;
  enteredItem_ = -1;
  beginEntry(list, Value::ofInt(value), EntryKind::kPageSelectionOrItem);
  const std::string header =
      formattedText("%d %s", currentDevice_->number(), currentDevice_->longName().c_str());
  screens_.showSelection(kPagePrompt, header, choices, position);
  screens_.showEntryText(entry_.text);
}

void PanelLogic::showPage(Page& page) {
  if (&page != watchedPage_) {
    changeWatchedPage(watchedPage_, &page, watchTarget);
    watchedPage_ = &page;
  }
  settings_.refreshLocks();
  page.activate();
  screens_.showPage(*currentDevice_, page);
  // The page header empties the message stack.
  heldMessageShown_ = false;
  // The bars start without status text; a bypassed corrector says so at once rather than
  // only after its enable next changes.
  if (page.type() == PageType::kCc) {
    if (const Target* bypass = page.firstTarget(kBypassItem)) updateBypassStatus(*bypass);
  }
  mode_ = PanelMode::kPageShown;
  enteredItem_ = -1;
  entry_.active = false;
}

void PanelLogic::showCurrentPage() {
  if (currentPage_ != nullptr) {
    showPage(*currentPage_);
  } else {
    startDeviceSelection();
  }
}

bool PanelLogic::quickSwitchOn() {
  const Target* target = settings_.globalTarget(GlobalCode::kQuickSwitch);
  if (target == nullptr) return false;
  const Value value = target->currentValue();
  return value.valid && value.i != 0;
}

void PanelLogic::jumpToDevice(int32_t position) {
  auto* device = dynamic_cast<Device*>(devices_.deviceList().choices().at(position));
  if (device == nullptr || device == currentDevice_ || device->number() == 0) return;
  Page* page = device->choosePage(currentPage_);
  // A device without pages has nothing to jump to.
  if (page == nullptr) return;
  if (entry_.active && enteredItem_ >= 0) endItemEntry();
  entry_.active = false;
  leavePage();
  currentDevice_ = device;
  currentPage_ = page;
  showPage(*page);
}

// --- [entries] --------------------------------------------------------------------------------

void PanelLogic::beginEntry(Parameter& parameter, const Value& value, EntryKind kind) {
  entry_.active = true;
  entry_.parameter = &parameter;
  entry_.value = value;
  entry_.text = parameter.formatValue(value, false);
  entry_.typed = false;
  entry_.kind = kind;
}

void PanelLogic::handleEntryEvent(const InputEvent& event) {
  if (event.kind == EventKind::kKeyPressed) {
    const int32_t code = event.code;
    if (code == kKeySelectDevice || code == kKeyCancel) {
      cancelEntry(code);
    } else if (code == kKeySelectSubmenu) {
      if (entry_.kind == EntryKind::kPageSelectionOrItem) {
        cancelEntry(code);
      } else if (entry_.kind == EntryKind::kDeviceSelection) {
        acceptEntry(code);
      }
    } else if (code == kKeyEnter) {
      acceptEntry(code);
    } else if (code == kKeyBack) {
      eraseCharacter();
    } else if (code >= kKeyZero && code <= kKeyNine) {
      typeCharacter(static_cast<char>('0' + code - kKeyZero));
    } else if (code == kKeyContext) {
      if (const char c = contextCharacter(); c != '\0') typeCharacter(c);
    }
    return;
  }
  const bool knobEvent = event.kind == EventKind::kKnobReleased || isTurn(event.kind);
  if (!knobEvent || !isKnobCode(event.code)) return;
  if (mode_ == PanelMode::kPageShown) {
    if (enteredItem_ < 0 || itemOfKnob(event.code) != enteredItem_) return;
    if (isTurn(event.kind) && !entry_.parameter->needsConfirmation() &&
        entry_.parameter->type() != ValueType::kChoice) {
      return;
    }
  }
  if (event.kind == EventKind::kKnobReleased) {
    acceptEntry(event.code);
  } else {
    stepEntry(turnSteps(event));
  }
}

void PanelLogic::typeCharacter(char c) {
  if (entry_.typed) {
    if (static_cast<int>(entry_.text.size()) < entry_.parameter->displayWidth()) {
      entry_.text.push_back(c);
    }
  } else {
    entry_.typed = true;
    entry_.text.clear();
    if (entry_.parameter->displayWidth() > 0) entry_.text.push_back(c);
  }
  screens_.showEntryText(entry_.text);
}

void PanelLogic::eraseCharacter() {
  if (!entry_.typed) {
    entry_.typed = true;
    entry_.text.clear();
  } else if (!entry_.text.empty()) {
    entry_.text.pop_back();
  }
  screens_.showEntryText(entry_.text);
}

void PanelLogic::stepEntry(int32_t n) {
  const Parameter& parameter = *entry_.parameter;
  const bool changed = parameter.stepValue(entry_.value, n);
  if (!changed && !entry_.typed) return;
  entry_.text = parameter.formatValue(entry_.value, false);
  entry_.typed = false;
  screens_.showEntryText(entry_.text);
  if (parameter.type() == ValueType::kChoice) {
    screens_.highlightListPosition(parameter.choices().positionOfValue(entry_.value.i));
  }
}

void PanelLogic::acceptEntry(int32_t key) {
  const Parameter& parameter = *entry_.parameter;
  Value value = entry_.value;
  if (entry_.typed || parameter.type() != ValueType::kChoice) {
    const bool keepNamed =
        entry_.text.empty() && entry_.value.valid && !parameter.namedValueFor(entry_.value).empty();
    if (!keepNamed) {
      const auto parsed = parameter.parseValue(entry_.text);
      if (!parsed) {
        screens_.showError();
        return;
      }
      value = *parsed;
    }
  }

  switch (mode_) {
    case PanelMode::kPageShown: {
      const int32_t index = enteredItem_;
      if (currentPage_ != nullptr) setOnAll(currentPage_->item(index), value);
      endItemEntry();
      return;
    }
    case PanelMode::kDeviceSelect: {
      const ItemList& choices = parameter.choices();
      auto* device = dynamic_cast<Device*>(choices.at(choices.positionOfValue(value.i)));
      if (device == nullptr) {
        screens_.showError();
        return;
      }
      entry_.active = false;
      currentDevice_ = device;
      currentPage_ = device->choosePage(currentPage_);
      if (key == kKeySelectSubmenu || device->number() == 0 || currentPage_ == nullptr) {
        startPageSelection();
      } else {
        showPage(*currentPage_);
      }
      return;
    }
    case PanelMode::kPageSelect: {
      Page* page = currentDevice_ != nullptr ? currentDevice_->page(value.i) : nullptr;
      if (page == nullptr) {
        screens_.showError();
        return;
      }
      entry_.active = false;
      currentPage_ = page;
      showPage(*page);
      return;
    }
    case PanelMode::kStart:
      return;
  }
}

void PanelLogic::cancelEntry(int32_t key) {
  switch (mode_) {
    case PanelMode::kPageShown:
      endItemEntry();
      return;
    case PanelMode::kDeviceSelect:
      // Device selection is left only by accepting a device.
      startDeviceSelection();
      return;
    case PanelMode::kPageSelect:
      entry_.active = false;
      if (key == kKeySelectDevice) {
        startDeviceSelection();
      } else {
        showCurrentPage();
      }
      return;
    case PanelMode::kStart:
      return;
  }
}

void PanelLogic::endItemEntry() {
  const int32_t index = enteredItem_;
  entry_.active = false;
  enteredItem_ = -1;
  screens_.highlightItem(-1, nullptr, -1);
  if (index >= 0) screens_.refreshItem(index);
}

char PanelLogic::contextCharacter() const {
  if (!entry_.active || entry_.parameter == nullptr) return '\0';
  const Parameter& parameter = *entry_.parameter;
  const std::string& text = entry_.text;
  switch (parameter.type()) {
    case ValueType::kInt:
    case ValueType::kInt32:
    case ValueType::kFloat: {
      const bool isFloat = parameter.type() == ValueType::kFloat;
      const bool negative = isFloat ? parameter.floatMinimum() < 0.0f : parameter.intMinimum() < 0;
      if ((text.empty() || !entry_.typed) && negative) return '-';
      if (isFloat && parameter.floatStep() < 1.0f && text.find('.') == std::string::npos) {
        return '.';
      }
      return '\0';
    }
    case ValueType::kIpAddress:
      return '.';
    case ValueType::kString: {
      const bool endsWithSlash = !text.empty() && text.back() == '/';
      switch (parameter.stringFormat()) {
        case StringFormat::kTimeOfDay:
        case StringFormat::kOptionalTimeOfDay:
          return countChar(text, ':') >= 2 || endsWithSlash ? '\0' : ':';
        case StringFormat::kDate:
          return countChar(text, '/') >= 2 || endsWithSlash ? '\0' : '/';
        case StringFormat::kPlain:
          return '.';
      }
      return '\0';
    }
    default:
      return '\0';
  }
}

// --- [page items] -----------------------------------------------------------------------------

void PanelLogic::handlePageEvent(const InputEvent& event) {
  const int32_t code = event.code;
  const bool cc = currentPage_->type() == PageType::kCc;
  switch (event.kind) {
    case EventKind::kKeyPressed:
      if (code >= kKeyZero + 1 && code <= kKeyNine) {
        if (quickSwitchOn()) jumpToDevice(code - 2);
      } else if (code == kKeyZero) {
        if (!cc && quickSwitchOn()) jumpToDevice(9);
      } else if (code == kKeyEnter) {
        if (cc) toggleBypass();
      }
      return;
    case EventKind::kKnobReleased:
      if (code >= kFirstKnobCode && code < kFirstKnobCode + kKnobCount) pushItem(code);
      return;
    case EventKind::kTurnedOneWay:
    case EventKind::kTurnedOtherWay:
      if (code >= kFirstKnobCode && code < kFirstKnobCode + kKnobCount) {
        turnItem(code, turnSteps(event));
      }
      return;
    case EventKind::kHeld:
      if (isKnobCode(code)) {
        holdKnob(code);
      } else if (cc && code == kKeyBack) {
        resetCorrector();
      } else if (cc && code == kKeyContext) {
        retrieveCorrectorSettings();
      } else if (cc && code == kKeyZero) {
        sendCorrectorSettings();
      }
      return;
    case EventKind::kReleasedAfterHold:
      clearHeldMessage();
      return;
    case EventKind::kTouched:
    case EventKind::kStillTouched:
      if (code == kTouchCode) touchLoudnessPage(event);
      return;
    default:
      return;
  }
}

int32_t PanelLogic::itemOfKnob(int32_t code) const {
  if (currentPage_ == nullptr || !isKnobCode(code)) return -1;
  const auto slot = static_cast<std::size_t>(code - kFirstKnobCode);
  switch (currentPage_->type()) {
    case PageType::k8Up:
    case PageType::k4Up:
      return kDualKnobItems[slot];
    case PageType::kCc:
      return kCorrectorKnobItems[slot];
    case PageType::kLm:
      return -1;
  }
  return -1;
}

void PanelLogic::turnItem(int32_t code, int32_t n) {
  if (currentPage_->type() == PageType::kLm) {
    turnLoudnessKnob(code - kFirstKnobCode, n);
    return;
  }
  const PageItem* item = currentPage_->item(itemOfKnob(code));
  if (!hasTargets(item) || item->parameter == nullptr || item->setValue.valid) return;
  const Parameter& parameter = *item->parameter;
  if (parameter.readOnly() || parameter.needsConfirmation()) return;
  Value value = item->targets.front()->currentValue();
  if (!value.valid) return;
  parameter.stepValue(value, n);
  // Every card of the item takes the first card's stepped value, limits included.
  setOnAll(item, value);
}

void PanelLogic::pushItem(int32_t code) {
  if (currentPage_->type() == PageType::kLm) return;
  const int32_t index = itemOfKnob(code);
  const PageItem* item = currentPage_->item(index);
  if (!hasTargets(item) || item->parameter == nullptr) return;
  Parameter& parameter = *item->parameter;
  if (parameter.readOnly()) return;

  if (item->setValue.valid || parameter.isCommand()) {
    const Value value =
        item->setValue.valid ? item->setValue : Value::ofInt(parameter.choices().at(0)->value());
    screens_.highlightItem(index, nullptr, -1);
    // The "In progress" highlight must be visible before the sends, which may take a while.
    screens_.drawNow();
    sendToAll(item, value);
    screens_.highlightItem(-1, nullptr, -1);
    return;
  }

  const EntryKind kind = currentDevice_->pages().size() >= 2 ? EntryKind::kPageSelectionOrItem
                                                             : EntryKind::kSinglePageItem;
  beginEntry(parameter, item->targets.front()->currentValue(), kind);
  enteredItem_ = index;
  if (parameter.type() == ValueType::kChoice) {
    screens_.highlightItem(index, &parameter.choices(),
                           parameter.choices().positionOfValue(entry_.value.i));
  } else {
    screens_.highlightItem(index, nullptr, -1);
  }
  screens_.showEntryText(entry_.text);
}

void PanelLogic::holdKnob(int32_t code) {
  if (currentPage_->type() == PageType::kLm) return;
  const PageItem* item = currentPage_->item(itemOfKnob(code));
  if (item == nullptr || item->parameter == nullptr) return;
  const Parameter& parameter = *item->parameter;
  if (parameter.readOnly()) {
    showHeldMessage("Not editable");
  } else if (parameter.defaultValue().valid) {
    sendToAll(item, parameter.defaultValue());
    showHeldMessage("Reset to default value");
  } else {
    showHeldMessage("No default value");
  }
}

void PanelLogic::showHeldMessage(const std::string& text) {
  // A second hold before the release replaces the message instead of stacking another.
  clearHeldMessage();
  screens_.showMessage(text);
  heldMessageShown_ = true;
}

void PanelLogic::clearHeldMessage() {
  if (!heldMessageShown_) return;
  screens_.clearMessage();
  heldMessageShown_ = false;
}

// --- [colour corrector] -----------------------------------------------------------------------

void PanelLogic::toggleBypass() {
  const Target* first = currentPage_->firstTarget(kBypassItem);
  if (first == nullptr) return;
  Value value = first->currentValue();
  if (!value.valid) return;
  value.i = value.i == 0 ? 1 : 0;
  setOnAll(currentPage_->item(kBypassItem), value);
  setOnAll(currentPage_->item(kSecondEnableItem), value);
}

void PanelLogic::resetCorrector() {
  const PageItem* hold = currentPage_->item(kCorrectorHoldItem);
  sendToAll(hold, Value::ofInt(0));
  setOnAll(currentPage_->item(kFirstResetItem), Value::ofInt(1));
  setOnAll(currentPage_->item(kSecondResetItem), Value::ofInt(1));
  sendToAll(hold, Value::ofInt(1));
  if (hasTargets(currentPage_->item(kFirstResetItem)) ||
      hasTargets(currentPage_->item(kSecondResetItem))) {
    showHeldMessage("Reset");
  }
}

void PanelLogic::retrieveCorrectorSettings() {
  auto& stored = storedCorrectorSettings();
  stored.clear();
  for (int32_t index = 0; index < kStoredCorrectorItems; ++index) {
    const Target* target = currentPage_->firstTarget(index);
    if (target == nullptr) continue;
    Value value = target->receivedValue();
    if (value.valid) stored.emplace(index, std::move(value));
  }
  showHeldMessage("Retrieved settings from device");
}

void PanelLogic::sendCorrectorSettings() {
  const PageItem* hold = currentPage_->item(kCorrectorHoldItem);
  sendToAll(hold, Value::ofInt(0));
  bool anyWritten = false;
  for (const auto& [index, value] : storedCorrectorSettings()) {
    const PageItem* item = currentPage_->item(index);
    if (!hasTargets(item)) continue;
    setOnAll(item, value);
    anyWritten = true;
  }
  sendToAll(hold, Value::ofInt(1));
  if (anyWritten) showHeldMessage("Sent settings to device");
}

void PanelLogic::updateBypassStatus(const Target& target) {
  const Value value = target.currentValue();
  screens_.setStatusText(value.valid && value.i == 0 ? "BYPASS " : "");
}

// --- [loudness pages] -------------------------------------------------------------------------

Target& PanelLogic::requireGlobalTarget(int32_t code) {
  Target* target = settings_.globalTarget(code);
  if (target == nullptr) throw formattedText("No target for global setting with code %d", code);
  return *target;
}

Parameter* PanelLogic::globalParameter(int32_t code) const {
  const Device* panel = devices_.panelDevice();
  if (panel == nullptr) return nullptr;
  for (const auto& [number, page] : panel->pages()) {
    for (const PageItem& item : page->items()) {
      Parameter* parameter = item.parameter;
      if (parameter != nullptr && parameter->kind() == ParameterKind::kGlobal &&
          parameter->globalCode() == code) {
        return parameter;
      }
    }
  }
  return nullptr;
}

void PanelLogic::stepGlobalChoice(int32_t code, int32_t n) {
  Target& target = requireGlobalTarget(code);
  const Parameter* parameter = globalParameter(code);
  // Without the setting's choice list there is no next entry to step to.
  if (parameter == nullptr) return;
  Value value = target.currentValue();
  if (!value.valid) return;
  if (parameter->stepValue(value, n)) target.setValue(value);
}

void PanelLogic::toggleLoudnessView() {
  Target& target = requireGlobalTarget(codeOf(GlobalCode::kCurrentLoudnessView));
  const Value value = target.currentValue();
  const Parameter* parameter = globalParameter(codeOf(GlobalCode::kCurrentLoudnessView));
  if (parameter != nullptr && parameter->choices().count() >= 2) {
    const ItemList& choices = parameter->choices();
    const bool atFirst = value.valid && value.i == choices.at(0)->value();
    target.setValue(Value::ofInt(choices.at(atFirst ? 1 : 0)->value()));
  } else {
    target.setValue(Value::ofInt(value.valid && value.i == 0 ? 1 : 0));
  }
}

void PanelLogic::turnLoudnessKnob(int32_t knob, int32_t n) {
  if (knob == 2) {
    toggleLoudnessView();
    return;
  }
  if (knob != 0 && knob != 1) return;
  const Value view = requireGlobalTarget(codeOf(GlobalCode::kCurrentLoudnessView)).currentValue();
  if (!view.valid || view.i != 1) return;
  const int32_t step = n < 0 ? -1 : 1;
  if (knob == 1) {
    stepGlobalChoice(codeOf(GlobalCode::kCurrentGraphScale), step);
    return;
  }
  const Value active = requireGlobalTarget(codeOf(GlobalCode::kActiveSessions)).currentValue();
  // The graph mode steers a running measurement; it is fixed while any session is active.
  if (active.valid && active.i != 0) return;
  stepGlobalChoice(codeOf(GlobalCode::kCurrentGraphMode), step);
}

bool PanelLogic::loudnessMonitorShown() const {
  return mode_ == PanelMode::kPageShown && currentPage_ != nullptr &&
         currentPage_->type() == PageType::kLm && loudness_ != nullptr &&
         loudness_->hasMonitor(*currentPage_);
}

void PanelLogic::touchLoudnessPage(const InputEvent& event) {
  if (!loudnessMonitorShown() || event.x < 0 || event.y < 0) return;
  const bool first = event.kind == EventKind::kTouched;
  const Page& page = *currentPage_;
  if (event.screen == codeOf(Screen::kRight) && event.y < kSessionButtonsBottom) {
    if (event.x <= kStartButtonRight) {
      if (first) loudness_->startSession(page);
    } else if (event.x >= kStopButtonLeft && event.x <= kStopButtonRight) {
      if (first) {
        loudness_->stopSession(page);
      } else {
        loudness_->clearSession(page);
      }
    } else if (event.x >= kPauseButtonLeft && event.x <= kPauseButtonRight) {
      if (first) loudness_->pauseSession(page);
    }
  } else if (event.screen == codeOf(Screen::kLeft) && event.x > kViewToggleLeft &&
             event.y < kViewToggleBottom) {
    toggleLoudnessView();
  }
}

std::string PanelLogic::sessionRequest(SessionOperation operation, const std::string& path) {
  if (mode_ != PanelMode::kPageShown || currentPage_ == nullptr) return {};
  if (currentPage_->type() == PageType::kLm) {
    // Without its monitor a loudness page can neither load nor save: the empty reply tells the
    // window the request failed, rather than reporting a save that never happened.
    if (loudness_ == nullptr) return {};
    return loudness_->sessionRequest(*currentPage_, operation, path);
  }
  return "OK";
}

bool PanelLogic::sessionPaused() const {
  return loudnessMonitorShown() && loudness_->sessionState(*currentPage_) == SessionState::kPaused;
}

bool PanelLogic::sessionStopped() const {
  return loudnessMonitorShown() && loudness_->sessionState(*currentPage_) == SessionState::kStopped;
}

// --- [per-pass work and lamps] ----------------------------------------------------------------

void PanelLogic::refreshPage() {
  if (mode_ != PanelMode::kPageShown || currentPage_ == nullptr) return;
  if (currentDevice_ != nullptr && currentDevice_->number() == 0) settings_.refreshClock();
  if (loudnessMonitorShown()) {
    loudness_->refresh(*currentPage_, loopTick_);
    return;
  }
  for (const int32_t index : currentPage_->indexSet()) {
    if (index == enteredItem_) continue;
    Target* target = currentPage_->firstTarget(index);
    if (target == nullptr || !target->isChanged()) continue;
    screens_.refreshItem(index);
    if (index == kBypassItem) updateBypassStatus(*target);
    target->clearChanged();
  }
}

void PanelLogic::updateLamps() {
  constexpr LampState kLit = LampState::kLit;
  constexpr LampState kBright = LampState::kBright;
  lamps_.fill(LampState::kOff);
  lamps_[kKeySelectDevice] = kLit;
  lamps_[kKeySelectSubmenu] = kLit;
  if (entry_.active) {
    for (int32_t code = kKeyZero; code <= kKeyNine; ++code)
      lamps_[code] = kBright;
    lamps_[kKeyBack] = kBright;
    lamps_[kKeyCancel] = kBright;
    lamps_[kKeyEnter] = kBright;
    if (contextCharacter() != '\0') lamps_[kKeyContext] = kBright;
  }
  if (mode_ == PanelMode::kDeviceSelect) lamps_[kKeySelectDevice] = kBright;
  if (mode_ == PanelMode::kPageSelect) lamps_[kKeySelectSubmenu] = kBright;
  if (mode_ == PanelMode::kPageShown && !entry_.active) {
    const int32_t n = devices_.deviceList().choices().count();
    // Up to nine devices the last one is the panel's own, which Quick Switch never selects.
    const int32_t m = n >= 1 && n <= 9 ? n - 1 : n;
    if (quickSwitchOn()) {
      for (int32_t digit = 1; digit <= 9 && digit <= m; ++digit)
        lamps_[kKeyZero + digit] = kBright;
    }
    if (currentPage_ != nullptr && currentPage_->type() == PageType::kCc) {
      lamps_[kKeyContext] = kBright;
      lamps_[kKeyZero] = kBright;
      lamps_[kKeyBack] = kBright;
      lamps_[kKeyEnter] = kBright;
    } else if (m > 9) {
      lamps_[kKeyZero] = kBright;
    }
  }
}

}  // namespace qelm
