#include "panel/displays.h"

#include "model/parameter.h"
#include "model/target.h"
#include "panel/item_text.h"
#include "text/text.h"

namespace qelm {

namespace {

constexpr std::string_view kInProgressMessage = "In progress";
constexpr std::string_view kApplyMessage = "Press knob or Enter to apply; Cancel to cancel";

// Items shown on a "cc" page: four in the top half, nine in the corrector grid.
constexpr int32_t kCcQuadItems = 4;
constexpr int32_t kCcShownItems = 13;
// Items of an "8-up" page; a "4-up" page uses the first four of its slots.
constexpr int32_t kEightUpItems = 8;

Screen otherScreen(Screen screen) {
  return screen == Screen::kLeft ? Screen::kRight : Screen::kLeft;
}

std::string headerText(const Item& item) {
  return cutText(formattedText("%d %s", item.number(), item.longName().c_str()), kMaxLineLength);
}

bool isPreset(const PageItem& item) {
  return item.setValue.valid;
}

int32_t iconFor(const PageItem& item) {
  const Parameter& parameter = *item.parameter;
  if (parameter.readOnly()) return kReadOnlyIcon;
  if (parameter.isCommand() || isPreset(item) || parameter.slow()) return kConfirmIcon;
  return 0;
}

std::string_view itemMessage(const PageItem* item) {
  const bool acts = item && (isPreset(*item) || (item->parameter && item->parameter->isCommand()));
  return acts ? kInProgressMessage : kApplyMessage;
}

}  // namespace

Displays::Displays(uint32_t* raster, FontRegistry* fonts, std::string imagesFolder,
                   std::string banner, std::function<void()> drawNow)
    : left_("left", kLeftScreenRegion, fonts, raster),
      right_("right", kRightScreenRegion, fonts, raster),
      leftPanel_(left_, true, std::move(banner)),
      rightPanel_(right_, false, std::string()),
      imagesFolder_(std::move(imagesFolder)),
      drawNow_(std::move(drawNow)) {}

Displays::~Displays() = default;

void Displays::update() {
  leftPanel_.paintPendingClear();
  rightPanel_.paintPendingClear();
  left_.flushPending();
  right_.flushPending();
}

uint32_t Displays::changeSum() const {
  return static_cast<uint32_t>(left_.changeCount()) + static_cast<uint32_t>(right_.changeCount());
}

// ------------------------------------------------------------------------------------------------
// Item slots

std::optional<Displays::Slot> Displays::slotOf(int32_t index) const {
  if (index < 0) return std::nullopt;
  switch (pageType_) {
    case PageType::kCc:
      if (index < kCcQuadItems) return Slot{Screen::kLeft, Half::kTop, index};
      if (index < kCcShownItems) return Slot{Screen::kLeft, Half::kBottom, index - kCcQuadItems};
      return std::nullopt;
    case PageType::kLm:
      return std::nullopt;
    case PageType::k8Up:
    case PageType::k4Up:
      break;
  }
  if (index >= kEightUpItems) return std::nullopt;
  // Bit 2 picks the screen, bit 1 the half, bit 0 the side: each item sits next to its knob.
  return Slot{index < 4 ? Screen::kLeft : Screen::kRight, (index & 2) ? Half::kBottom : Half::kTop,
              index & 1};
}

std::optional<Screen> Displays::itemScreen(int32_t index) const {
  const std::optional<Slot> slot = slotOf(index);
  if (!slot) return std::nullopt;
  return slot->screen;
}

ParameterArea* Displays::areaOf(int32_t index) const {
  const std::optional<Slot> slot = slotOf(index);
  if (!slot) return nullptr;
  ParameterBar* bar = panel(slot->screen).parameterView().bar(slot->half);
  return bar ? bar->area(slot->slot) : nullptr;
}

const PageItem* Displays::pageItem(int32_t index) const {
  return page_ ? page_->item(index) : nullptr;
}

void Displays::showItem(int32_t index, bool nameAndUnit) {
  ParameterArea* area = areaOf(index);
  if (!area) return;
  const PageItem* item = pageItem(index);
  if (!item || !item->parameter) {
    area->clearItem();
    return;
  }
  if (nameAndUnit) {
    area->setName(item->displayName.empty() ? item->parameter->name() : item->displayName);
    area->setUnit(item->parameter->unit());
  }

  const ShownValue shown = shownValue(*item);
  area->setValueText(shown.text, shown.noUnit);
  area->setStatusMark(shown.statusMark);
  // The highlighted item keeps no icon until its highlight is removed.
  area->setIcon(index == highlighted_ ? 0 : iconFor(*item));
}

// ------------------------------------------------------------------------------------------------
// Selection and pages

void Displays::showSelection(std::string_view prompt, std::string_view deviceHeader,
                             const ItemList& list, int32_t position) {
  highlightItem(-1, nullptr, -1);
  mode_ = ScreenMode::kSelection;

  SelectView& select = *leftPanel_.selectView();
  select.setPrompt(prompt);
  select.contextBar().setHeader(deviceHeader);
  select.setError(false);
  ListBar& listBar = rightPanel_.listView().listBar();
  listBar.setList(&list);
  listBar.setPosition(position);
  leftPanel_.switchView(ViewCode::kSelect);
  rightPanel_.switchView(ViewCode::kList);
}

void Displays::showPage(const Device& device, const Page& page) {
  // An entry left open would keep its highlight on a screen the new page does not redraw.
  highlightItem(-1, nullptr, -1);
  mode_ = ScreenMode::kPage;
  page_ = &page;
  pageType_ = page.type();

  if (pageType_ == PageType::kLm) {
    leftPanel_.switchView(ViewCode::kLoudness);
    rightPanel_.switchView(ViewCode::kLoudness);
    return;
  }

  ContextBar& leftBar = parameterView(Screen::kLeft).contextBar();
  leftBar.setHeader(headerText(device));
  leftBar.setStatusText({});
  parameterView(Screen::kRight).contextBar().setHeader(headerText(page));

  int32_t slots = kEightUpItems;
  if (pageType_ == PageType::kCc) {
    parameterView(Screen::kLeft).setBar(Half::kTop, BarKind::kQuad);
    parameterView(Screen::kLeft).setBar(Half::kBottom, BarKind::kColorCorrector);
    slots = kCcShownItems;
    // The right screen keeps its bars, but not the previous page's values: they would no
    // longer be refreshed and would pass for this device's.
    for (Half half : {Half::kTop, Half::kBottom}) {
      if (ParameterBar* bar = parameterView(Screen::kRight).bar(half)) {
        for (int32_t slot = 0; slot < bar->areaCount(); ++slot)
          if (ParameterArea* area = bar->area(slot)) area->clearItem();
      }
    }
  } else {
    for (Screen screen : {Screen::kLeft, Screen::kRight}) {
      parameterView(screen).setBar(Half::kTop, BarKind::kDual);
      parameterView(screen).setBar(Half::kBottom, BarKind::kDual);
    }
  }
  for (int32_t index = 0; index < slots; ++index) {
    if (ParameterArea* area = areaOf(index)) area->setHighlight(false);
    showItem(index, true);
  }

  leftPanel_.switchView(ViewCode::kParameters);
  rightPanel_.switchView(ViewCode::kParameters);
}

void Displays::refreshItem(int32_t index) {
  if (mode_ != ScreenMode::kPage || !page_ || index < 0 || index >= page_->capacity()) return;
  showItem(index, false);
}

// ------------------------------------------------------------------------------------------------
// Highlight, entry and lists

void Displays::dropItemMessage() {
  if (!messageScreen_) return;
  parameterView(*messageScreen_).contextBar().popMessage();
  messageScreen_.reset();
}

void Displays::dropChoiceList() {
  if (!choiceScreen_) return;
  panel(*choiceScreen_).switchView(ViewCode::kParameters);
  choiceScreen_.reset();
}

void Displays::highlightItem(int32_t index, const ItemList* choices, int32_t position) {
  const int32_t previous = highlighted_;
  const bool onPage = mode_ == ScreenMode::kPage && page_;
  const std::optional<Screen> screen = onPage ? itemScreen(index) : std::nullopt;

  // The item message stays on its bar while the highlight moves within one screen.
  if (messageScreen_ != screen) {
    dropItemMessage();
    if (screen) {
      parameterView(*screen).contextBar().pushMessage(itemMessage(pageItem(index)));
      messageScreen_ = screen;
    }
  }

  // The list goes to the screen the item is not on; a "cc" page keeps all items on the left.
  const std::optional<Screen> listScreen =
      screen && choices ? std::optional<Screen>(otherScreen(*screen)) : std::nullopt;
  if (choiceScreen_ != listScreen) dropChoiceList();

  highlighted_ = onPage ? index : -1;
  if (previous >= 0 && previous != highlighted_) {
    if (ParameterArea* area = areaOf(previous)) {
      area->setHighlight(false);
      showItem(previous, false);
    }
  }
  if (!screen) return;

  if (ParameterArea* area = areaOf(index)) {
    area->setHighlight(true);
    area->setIcon(0);
    area->setStatusMark(false);
  }
  if (listScreen) {
    ListBar& list = panel(*listScreen).listView().listBar();
    list.setList(choices);
    list.setPosition(position);
    panel(*listScreen).switchView(ViewCode::kList);
    choiceScreen_ = listScreen;
  }
}

void Displays::showEntryText(std::string_view text) {
  if (mode_ == ScreenMode::kPage && highlighted_ >= 0) {
    if (ParameterArea* area = areaOf(highlighted_)) {
      area->setValueText(text, false);
      area->setStatusMark(false);
    }
    return;
  }
  // Outside an item entry the text belongs to the selection view, which keeps it while hidden.
  leftPanel_.selectView()->setEntryText(text);
}

void Displays::showError() {
  if (mode_ == ScreenMode::kPage && highlighted_ >= 0) {
    if (ParameterArea* area = areaOf(highlighted_)) area->setStatusMark(true);
    return;
  }
  leftPanel_.selectView()->setError(true);
}

void Displays::highlightListPosition(int32_t position) {
  if (mode_ == ScreenMode::kSelection) {
    rightPanel_.listView().listBar().setPosition(position);
  } else if (choiceScreen_) {
    panel(*choiceScreen_).listView().listBar().setPosition(position);
  }
}

// ------------------------------------------------------------------------------------------------
// Messages, utility view, drawing

void Displays::showMessage(std::string_view text) {
  parameterView(Screen::kLeft).contextBar().pushMessage(text);
}

void Displays::clearMessage() {
  parameterView(Screen::kLeft).contextBar().popMessage();
}

void Displays::setStatusText(std::string_view text) {
  parameterView(Screen::kLeft).contextBar().setStatusText(text);
}

void Displays::showUtility() {
  leftPanel_.switchView(ViewCode::kUtility);
  rightPanel_.switchView(ViewCode::kNone);
}

void Displays::setUtilityHeader(std::string_view text) {
  ContextBar& header = leftPanel_.utilityView()->header();
  if (text == header.mainText()) return;
  header.setHeader(text);
  drawNow();
}

void Displays::clearUtilityReport() {
  leftPanel_.utilityView()->report().clear();
}

void Displays::appendUtilityReport(std::string_view line) {
  leftPanel_.utilityView()->report().append(line);
}

void Displays::drawNow() {
  if (drawNow_)
    drawNow_();
  else
    update();
}

void Displays::repaintAll() {
  leftPanel_.repaintAll();
  rightPanel_.repaintAll();
}

}  // namespace qelm
