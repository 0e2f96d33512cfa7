// Sections: [state] [start-up and navigation] [entries] [page items] [loudness sessions]
// [per-pass work and lamps]

#include "panel/panel_logic.h"

#include <array>
#include <cstddef>
#include <string>
#include <utility>

#include "model/parameter.h"
#include "model/target.h"
#include "panel/item_targets.h"
#include "panel/panel_settings.h"
#include "panel/screens.h"
#include "text/text.h"

namespace qelm {
namespace {

// "cc" pages map seven more knob codes, which no control of this edition produces.
constexpr int32_t kLastKnobCode = 32;
// Quick Switch: digit keys "1".."9" jump to list positions 0..8, "0" to position 9.
constexpr int32_t kZeroKeyPosition = 9;

// Item index per knob slot of the "8-up" and "4-up" pages; -1 for none.
constexpr std::array<int32_t, 15> kDualKnobItems{0,  2,  1,  3,  4,  6,  5, 7,
                                                 -1, -1, -1, -1, -1, -1, -1};

constexpr const char* kDevicePrompt = "Use the keypad or any knob to select a device.";
constexpr const char* kPagePrompt = "Use the keypad or any knob to select a submenu.";

bool isKnobCode(int32_t code) {
  return code >= kFirstKnobCode && code <= kLastKnobCode;
}
bool isPanelKnob(int32_t code) {
  return code >= kFirstKnobCode && code < kFirstKnobCode + kKnobCount;
}
std::optional<PanelKey> keyOf(int32_t code) {
  if (code < kFirstKeyCode || code > kLastKeyCode) return std::nullopt;
  return static_cast<PanelKey>(code);
}
// The digit 0..9 of a digit key; nothing for the other keys.
std::optional<int32_t> digitOf(PanelKey key) {
  const int32_t digit = codeOf(key) - codeOf(PanelKey::kDigit0);
  if (digit < 0 || digit > 9) return std::nullopt;
  return digit;
}
bool isTurn(EventKind kind) {
  return kind == EventKind::kTurnedOneWay || kind == EventKind::kTurnedOtherWay;
}
int32_t turnSteps(const InputEvent& event) {
  return event.kind == EventKind::kTurnedOneWay ? -event.count : event.count;
}

}  // namespace

PanelLogic::PanelLogic(DeviceList& devices, PanelScreens& screens, PanelSettings& settings,
                       const uint32_t& loopTick)
    : devices_(devices),
      screens_(screens),
      settings_(settings),
      loopTick_(loopTick),
      corrector_(screens),
      loudness_(devices, settings) {}

PanelLogic::~PanelLogic() = default;

void PanelLogic::handleEvent(const InputEvent* event) {
  if (std::holds_alternative<Starting>(state_)) {
    // Whatever the first event is, it only brings the panel up.
    startUp();
  } else if (event != nullptr) {
    const std::optional<PanelKey> pressed =
        event->kind == EventKind::kKeyPressed ? keyOf(event->code) : std::nullopt;
    if (event->code == kFinalEventCode) {
      leavePage();
      exitRequested_ = true;
    } else if (entryActive()) {
      handleEntryEvent(*event);
    } else if (pressed == PanelKey::kSelectDevice) {
      startDeviceSelection();
    } else if (pressed == PanelKey::kSelectSubmenu) {
      startPageSelection();
    } else if (pressed == PanelKey::kCancel) {
      showCurrentPage();
    } else if (pageView() != nullptr) {
      handlePageEvent(*event);
    }
  }
  updateLamps();
}

// --- [state] ----------------------------------------------------------------------------------

PanelMode PanelLogic::mode() const {
  struct ModeOf {
    PanelMode operator()(const Starting&) const { return PanelMode::kStart; }
    PanelMode operator()(const DeviceSelection&) const { return PanelMode::kDeviceSelect; }
    PanelMode operator()(const PageSelection&) const { return PanelMode::kPageSelect; }
    PanelMode operator()(const PageView&) const { return PanelMode::kPageShown; }
  };
  return std::visit(ModeOf{}, state_);
}

PanelLogic::Entry PanelLogic::makeEntry(Parameter& parameter, const Value& value) {
  return Entry{&parameter, value, parameter.formatValue(value, false), false};
}

const PanelLogic::Entry* PanelLogic::openEntry() const {
  if (const auto* devices = std::get_if<DeviceSelection>(&state_)) return &devices->entry;
  if (const auto* pages = std::get_if<PageSelection>(&state_)) return &pages->entry;
  if (const PageView* view = pageView(); view != nullptr && view->entered) {
    return &view->entered->entry;
  }
  return nullptr;
}

PanelLogic::Entry* PanelLogic::openEntry() {
  return const_cast<Entry*>(std::as_const(*this).openEntry());
}

std::optional<EntryKind> PanelLogic::entryKind() const {
  if (std::holds_alternative<DeviceSelection>(state_)) return EntryKind::kDeviceSelection;
  if (std::holds_alternative<PageSelection>(state_)) return EntryKind::kPageSelectionOrItem;
  if (const PageView* view = pageView(); view != nullptr && view->entered) {
    return view->entered->kind;
  }
  return std::nullopt;
}

int32_t PanelLogic::enteredItem() const {
  const PageView* view = pageView();
  return view != nullptr && view->entered ? view->entered->item : -1;
}

const std::string& PanelLogic::entryText() const {
  static const std::string kNone;
  const Entry* entry = openEntry();
  return entry != nullptr ? entry->text : kNone;
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
  if (pageView() == nullptr || currentPage_ == nullptr) return;
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
  const Entry& entry =
      state_.emplace<DeviceSelection>(DeviceSelection{makeEntry(list, Value::ofInt(value))}).entry;
  screens_.showSelection(kDevicePrompt, "", choices, position);
  screens_.showEntryText(entry.text);
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
  const Entry& entry =
      state_.emplace<PageSelection>(PageSelection{makeEntry(list, Value::ofInt(value))}).entry;
  const std::string header =
      formattedText("%d %s", currentDevice_->number(), currentDevice_->longName().c_str());
  screens_.showSelection(kPagePrompt, header, choices, position);
  screens_.showEntryText(entry.text);
}

void PanelLogic::showPage(Page& page) {
  if (&page != watchedPage_) {
    changeWatchedPage(watchedPage_, &page);
    watchedPage_ = &page;
  }
  settings_.refreshLocks();
  page.activate();
  loudness_.activate(page);
  screens_.showPage(*currentDevice_, page);
  // The page header empties the message stack, so no held message is left to take away.
  corrector_.pageShown(page);
  state_.emplace<PageView>();
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
  if (enteredItem() >= 0) endItemEntry();
  leavePage();
  currentDevice_ = device;
  currentPage_ = page;
  showPage(*page);
}

// --- [entries] --------------------------------------------------------------------------------

void PanelLogic::handleEntryEvent(const InputEvent& event) {
  if (event.kind == EventKind::kKeyPressed) {
    const std::optional<PanelKey> key = keyOf(event.code);
    if (!key) return;
    switch (*key) {
      case PanelKey::kSelectDevice:
      case PanelKey::kCancel:
        cancelEntry(*key);
        return;
      case PanelKey::kSelectSubmenu:
        switch (*entryKind()) {
          case EntryKind::kPageSelectionOrItem:
            cancelEntry(*key);
            return;
          case EntryKind::kDeviceSelection:
            acceptEntry(true);
            return;
          case EntryKind::kSinglePageItem:
            return;
        }
        return;
      case PanelKey::kEnter:
        acceptEntry(false);
        return;
      case PanelKey::kBack:
        eraseCharacter();
        return;
      case PanelKey::kContext:
        if (const char c = contextCharacter(); c != '\0') typeCharacter(c);
        return;
      default:
        if (const auto digit = digitOf(*key)) typeCharacter(static_cast<char>('0' + *digit));
        return;
    }
  }
  const bool knobEvent = event.kind == EventKind::kKnobReleased || isTurn(event.kind);
  if (!knobEvent || !isKnobCode(event.code)) return;
  if (pageView() != nullptr) {
    // On a page only the entered item's knob counts, and it turns only what is confirmed.
    if (itemOfKnob(event.code) != enteredItem()) return;
    const Parameter& parameter = *openEntry()->parameter;
    if (isTurn(event.kind) && !parameter.needsConfirmation() &&
        parameter.type() != ValueType::kChoice) {
      return;
    }
  }
  if (event.kind == EventKind::kKnobReleased) {
    acceptEntry(false);
  } else {
    stepEntry(turnSteps(event));
  }
}

void PanelLogic::typeCharacter(char c) {
  Entry& entry = *openEntry();
  if (entry.typed) {
    if (static_cast<int>(entry.text.size()) < entry.parameter->displayWidth()) {
      entry.text.push_back(c);
    }
  } else {
    entry.typed = true;
    entry.text.clear();
    if (entry.parameter->displayWidth() > 0) entry.text.push_back(c);
  }
  screens_.showEntryText(entry.text);
}

void PanelLogic::eraseCharacter() {
  Entry& entry = *openEntry();
  if (!entry.typed) {
    entry.typed = true;
    entry.text.clear();
  } else if (!entry.text.empty()) {
    entry.text.pop_back();
  }
  screens_.showEntryText(entry.text);
}

void PanelLogic::stepEntry(int32_t n) {
  Entry& entry = *openEntry();
  const Parameter& parameter = *entry.parameter;
  const bool changed = parameter.stepValue(entry.value, n);
  if (!changed && !entry.typed) return;
  entry.text = parameter.formatValue(entry.value, false);
  entry.typed = false;
  screens_.showEntryText(entry.text);
  if (parameter.type() == ValueType::kChoice) {
    screens_.highlightListPosition(parameter.choices().positionOfValue(entry.value.i));
  }
}

void PanelLogic::acceptEntry(bool continueWithPages) {
  const Entry& entry = *openEntry();
  const Parameter& parameter = *entry.parameter;
  Value value = entry.value;
  if (entry.typed || parameter.type() != ValueType::kChoice) {
    const bool keepNamed =
        entry.text.empty() && entry.value.valid && !parameter.namedValueFor(entry.value).empty();
    if (!keepNamed) {
      const auto parsed = parameter.parseValue(entry.text);
      if (!parsed) {
        screens_.showError();
        return;
      }
      value = *parsed;
    }
  }

  if (const PageView* view = pageView()) {
    if (currentPage_ != nullptr) setOnAll(currentPage_->item(view->entered->item), value);
    endItemEntry();
  } else if (std::holds_alternative<DeviceSelection>(state_)) {
    const ItemList& choices = parameter.choices();
    auto* device = dynamic_cast<Device*>(choices.at(choices.positionOfValue(value.i)));
    if (device == nullptr) {
      screens_.showError();
      return;
    }
    currentDevice_ = device;
    currentPage_ = device->choosePage(currentPage_);
    if (continueWithPages || device->number() == 0 || currentPage_ == nullptr) {
      startPageSelection();
    } else {
      showPage(*currentPage_);
    }
  } else if (std::holds_alternative<PageSelection>(state_)) {
    Page* page = currentDevice_ != nullptr ? currentDevice_->page(value.i) : nullptr;
    if (page == nullptr) {
      screens_.showError();
      return;
    }
    currentPage_ = page;
    showPage(*page);
  }
}

void PanelLogic::cancelEntry(PanelKey key) {
  if (pageView() != nullptr) {
    endItemEntry();
  } else if (std::holds_alternative<DeviceSelection>(state_)) {
    // Device selection is left only by accepting a device.
    startDeviceSelection();
  } else if (std::holds_alternative<PageSelection>(state_)) {
    if (key == PanelKey::kSelectDevice) {
      startDeviceSelection();
    } else {
      showCurrentPage();
    }
  }
}

void PanelLogic::endItemEntry() {
  PageView& view = *pageView();
  const int32_t index = view.entered ? view.entered->item : -1;
  view.entered.reset();
  screens_.highlightItem(-1, nullptr, -1);
  if (index >= 0) screens_.refreshItem(index);
}

char PanelLogic::contextCharacter() const {
  const Entry* entry = openEntry();
  if (entry == nullptr || entry->parameter == nullptr) return '\0';
  const Parameter& parameter = *entry->parameter;
  const std::string& text = entry->text;
  switch (parameter.type()) {
    case ValueType::kInt:
    case ValueType::kInt32:
    case ValueType::kFloat: {
      const bool isFloat = parameter.type() == ValueType::kFloat;
      const bool negative = isFloat ? parameter.floatMinimum() < 0.0f : parameter.intMinimum() < 0;
      if ((text.empty() || !entry->typed) && negative) return '-';
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
  switch (event.kind) {
    case EventKind::kKeyPressed:
      if (const auto key = keyOf(code)) handlePageKey(*key);
      return;
    case EventKind::kKnobReleased:
      if (isPanelKnob(code)) pushItem(code);
      return;
    case EventKind::kTurnedOneWay:
    case EventKind::kTurnedOtherWay:
      if (isPanelKnob(code)) turnItem(code, turnSteps(event));
      return;
    case EventKind::kHeld:
      if (isKnobCode(code)) {
        holdKnob(code);
      } else if (const auto key = keyOf(code)) {
        handleHeldKey(*key);
      }
      return;
    case EventKind::kReleasedAfterHold:
      clearHeldMessage();
      return;
    case EventKind::kTouched:
    case EventKind::kStillTouched:
      if (code == kTouchCode) loudness_.touch(*currentPage_, event);
      return;
    default:
      return;
  }
}

void PanelLogic::handlePageKey(PanelKey key) {
  const bool cc = currentPage_->type() == PageType::kCc;
  if (key == PanelKey::kEnter) {
    if (cc) corrector_.toggleBypass(*currentPage_);
  } else if (key == PanelKey::kDigit0) {
    if (!cc && quickSwitchOn()) jumpToDevice(kZeroKeyPosition);
  } else if (const auto digit = digitOf(key)) {
    if (quickSwitchOn()) jumpToDevice(*digit - 1);
  }
}

void PanelLogic::handleHeldKey(PanelKey key) {
  if (currentPage_->type() != PageType::kCc) return;
  std::string message;
  switch (key) {
    case PanelKey::kBack:
      message = corrector_.reset(*currentPage_);
      break;
    case PanelKey::kContext:
      message = corrector_.retrieveSettings(*currentPage_);
      break;
    case PanelKey::kDigit0:
      message = corrector_.sendSettings(*currentPage_);
      break;
    default:
      return;
  }
  if (!message.empty()) showHeldMessage(message);
}

int32_t PanelLogic::itemOfKnob(int32_t code) const {
  if (currentPage_ == nullptr || !isKnobCode(code)) return -1;
  const int32_t slot = code - kFirstKnobCode;
  switch (currentPage_->type()) {
    case PageType::k8Up:
    case PageType::k4Up:
      return kDualKnobItems[static_cast<std::size_t>(slot)];
    case PageType::kCc:
      return CorrectorControls::itemOfKnob(slot);
    case PageType::kLm:
      return -1;
  }
  return -1;
}

void PanelLogic::turnItem(int32_t code, int32_t n) {
  if (currentPage_->type() == PageType::kLm) {
    loudness_.turnKnob(code - kFirstKnobCode, n);
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
  PageView& view = *pageView();
  const Entry& entry =
      view.entered
          .emplace(
              ItemEntry{index, kind, makeEntry(parameter, item->targets.front()->currentValue())})
          .entry;
  if (parameter.type() == ValueType::kChoice) {
    screens_.highlightItem(index, &parameter.choices(),
                           parameter.choices().positionOfValue(entry.value.i));
  } else {
    screens_.highlightItem(index, nullptr, -1);
  }
  screens_.showEntryText(entry.text);
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
  pageView()->heldMessage = true;
}

void PanelLogic::clearHeldMessage() {
  PageView& view = *pageView();
  if (!view.heldMessage) return;
  screens_.clearMessage();
  view.heldMessage = false;
}

// --- [loudness sessions] ----------------------------------------------------------------------

bool PanelLogic::loudnessMonitorShown() const {
  return pageView() != nullptr && currentPage_ != nullptr && loudness_.hasMonitor(*currentPage_);
}

std::string PanelLogic::sessionRequest(SessionOperation operation, const std::string& path) {
  if (pageView() == nullptr || currentPage_ == nullptr) return {};
  return loudness_.sessionRequest(*currentPage_, operation, path);
}

bool PanelLogic::sessionPaused() const {
  return loudnessMonitorShown() && loudness_.sessionState(*currentPage_) == SessionState::kPaused;
}

bool PanelLogic::sessionStopped() const {
  return loudnessMonitorShown() && loudness_.sessionState(*currentPage_) == SessionState::kStopped;
}

// --- [per-pass work and lamps] ----------------------------------------------------------------

void PanelLogic::refreshPage() {
  if (pageView() == nullptr || currentPage_ == nullptr) return;
  if (currentDevice_ != nullptr && currentDevice_->number() == 0) settings_.refreshClock();
  if (loudnessMonitorShown()) {
    loudness_.refresh(*currentPage_, loopTick_);
    return;
  }
  const int32_t entered = enteredItem();
  for (const int32_t index : currentPage_->indexSet()) {
    if (index == entered) continue;
    Target* target = currentPage_->firstTarget(index);
    if (target == nullptr || !target->isChanged()) continue;
    screens_.refreshItem(index);
    if (CorrectorControls::isBypassItem(index)) corrector_.showBypassStatus(*target);
    target->clearChanged();
  }
}

void PanelLogic::updateLamps() {
  const auto light = [this](PanelKey key, LampState state) { lamps_[codeOf(key)] = state; };
  lamps_.fill(LampState::kOff);
  light(PanelKey::kSelectDevice, LampState::kLit);
  light(PanelKey::kSelectSubmenu, LampState::kLit);
  if (entryActive()) {
    for (int32_t digit = 0; digit <= 9; ++digit)
      light(digitKey(digit), LampState::kBright);
    light(PanelKey::kBack, LampState::kBright);
    light(PanelKey::kCancel, LampState::kBright);
    light(PanelKey::kEnter, LampState::kBright);
    if (contextCharacter() != '\0') light(PanelKey::kContext, LampState::kBright);
  }
  switch (mode()) {
    case PanelMode::kDeviceSelect:
      light(PanelKey::kSelectDevice, LampState::kBright);
      return;
    case PanelMode::kPageSelect:
      light(PanelKey::kSelectSubmenu, LampState::kBright);
      return;
    case PanelMode::kPageShown:
      break;
    case PanelMode::kStart:
      return;
  }
  if (entryActive()) return;
  const int32_t n = devices_.deviceList().choices().count();
  // Up to nine devices the last one is the panel's own, which Quick Switch never selects.
  const int32_t m = n >= 1 && n <= 9 ? n - 1 : n;
  if (quickSwitchOn()) {
    for (int32_t digit = 1; digit <= 9 && digit <= m; ++digit)
      light(digitKey(digit), LampState::kBright);
  }
  if (currentPage_ != nullptr && currentPage_->type() == PageType::kCc) {
    light(PanelKey::kContext, LampState::kBright);
    light(PanelKey::kDigit0, LampState::kBright);
    light(PanelKey::kBack, LampState::kBright);
    light(PanelKey::kEnter, LampState::kBright);
  } else if (m > 9) {
    light(PanelKey::kDigit0, LampState::kBright);
  }
}

}  // namespace qelm
