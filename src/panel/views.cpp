#include "panel/views.h"

#include <algorithm>
#include <initializer_list>

#include "display/font.h"
#include "display/palette.h"
#include "model/item.h"
#include "text/text.h"

namespace qelm {

namespace {

// The first of `fonts` in which `text` fits `width` pixels, else the last one.
int32_t fittingFont(Window& w, std::string_view text, int32_t width,
                    std::initializer_list<int32_t> fonts) {
  for (int32_t face : fonts)
    if (w.measureText(text, face).width <= width) return face;
  return *(fonts.end() - 1);
}

// Blank columns at both ends of a context bar and of the title band.
constexpr int32_t kMargin = 4;
// Line height assumed for the report when font 0 is missing (tests without fonts).
constexpr int32_t kFallbackLineHeight = 20;

// Height of each half of a view h pixels high; the context bar lies between the halves.
int32_t halfHeight(int32_t h) {
  return (h - h / 9) / 2;
}

}  // namespace

// ------------------------------------------------------------------------------------------------
// ContextBar

void ContextBar::changed() {
  dirty_ = true;
  queuePaint();
}

void ContextBar::setHeader(std::string_view text) {
  saved_.clear();
  if (text == main_) return;
  main_ = text;
  changed();
}

void ContextBar::pushMessage(std::string_view text) {
  saved_.push_back(main_);
  if (text == main_) return;
  main_ = text;
  changed();
}

bool ContextBar::popMessage() {
  if (saved_.empty()) return false;
  std::string restored = std::move(saved_.back());
  saved_.pop_back();
  if (restored != main_) {
    main_ = std::move(restored);
    changed();
  }
  return true;
}

void ContextBar::setStatusText(std::string_view text) {
  if (text == status_) return;
  status_ = text;
  changed();
}

void ContextBar::onShow() {
  changed();
}

void ContextBar::paint() {
  Window* w = window();
  if (!dirty_ || !w) return;
  dirty_ = false;
  const int32_t right = width() - kMargin;
  const int32_t h = height();
  w->fillRect(this, Rect{0, 0, kMargin, h}, palette::kBarBackground);
  w->fillRect(this, Rect{right, 0, width(), h}, palette::kBarBackground);

  int32_t mainEnd = right;
  statusShown_ = false;
  if (!status_.empty()) {
    const std::string padded = status_ + "   ";
    const int32_t statusWidth = w->measureText(padded, font::kSmall).width;
    const int32_t mainWidth = w->measureText(main_, font::kSmall).width;
    if (mainWidth + statusWidth <= width() - 2 * kMargin) {
      statusShown_ = true;
      mainEnd = right - statusWidth;
      w->drawText(this, padded, font::kSmall, false, palette::kBarText, palette::kBarBackground,
                  Rect{mainEnd, 0, right, h});
    }
  }
  // A long message (an item's instructions) steps down to the compact face rather than being
  // cut off; when even that is too wide the box cuts it.
  const int32_t face = fittingFont(*w, main_, mainEnd - kMargin, {font::kSmall, font::kCompact});
  w->drawText(this, main_, face, false, palette::kBarText, palette::kBarBackground,
              Rect{kMargin, 0, mainEnd, h});
}

// ------------------------------------------------------------------------------------------------
// ListBar

ListBar::ListBar(int32_t rows)
    : rows_(std::max(rows, 1)), drawn_(static_cast<std::size_t>(rows_)) {}

int32_t ListBar::windowStart(int32_t rows, int32_t count, int32_t position) {
  if (count <= rows || position <= rows / 2) return 0;
  if (position + rows / 2 + 1 < count) return position - rows / 2;
  return count - rows;
}

void ListBar::setList(const ItemList* list) {
  if (list != list_) {
    for (RowState& row : drawn_)
      row.valid = false;
  }
  list_ = list;
  position_ = -1;
  first_ = 0;
  queuePaint();
}

void ListBar::setPosition(int32_t position) {
  position_ = position;
  first_ = windowStart(rows_, list_ ? list_->count() : 0, position);
  queuePaint();
}

std::string ListBar::rowText(int32_t row) const {
  if (!list_ || row < 0 || row >= rows_) return {};
  const Item* entry = list_->at(first_ + row);
  if (!entry) return {};
  return cutText(formattedText("%3d %s", entry->number(), entry->longName().c_str()),
                 kMaxLineLength);
}

Rect ListBar::rowRect(int32_t row) const {
  const int32_t rowHeight = height() / rows_;
  return {0, row * rowHeight, width(), row == rows_ - 1 ? height() : (row + 1) * rowHeight};
}

void ListBar::onShow() {
  for (RowState& row : drawn_)
    row.valid = false;
  queuePaint();
}

void ListBar::paint() {
  Window* w = window();
  if (!w) return;
  for (int32_t row = 0; row < rows_; ++row) {
    const int32_t index = first_ + row;
    const Item* entry = list_ ? list_->at(index) : nullptr;
    const bool highlighted = entry && index == position_;
    RowState& state = drawn_[static_cast<std::size_t>(row)];
    if (state.valid && state.entry == entry && state.highlighted == highlighted) continue;
    w->drawText(this, rowText(row), font::kSmall, false,
                highlighted ? palette::kHighlightText : palette::kText,
                highlighted ? palette::kHighlightBackground : palette::kBackground, rowRect(row));
    state = {entry, highlighted, true};
    ++rowsPainted_;
  }
}

// ------------------------------------------------------------------------------------------------
// ReportBar

void ReportBar::ensureRows() const {
  if (rowHeight_ > 0) return;
  int32_t lineHeight = kFallbackLineHeight;
  if (const Window* w = window(); w && w->fonts()) {
    if (const OFont* font = w->fonts()->find(font::kSmall); font && font->height() > 0)
      lineHeight = font->height();
  }
  const int32_t rows = std::max(1, height() / lineHeight);
  rowHeight_ = std::max(1, height() / rows);
  lines_.assign(static_cast<std::size_t>(rows), std::string());
  dirty_.assign(static_cast<std::size_t>(rows), false);
}

int32_t ReportBar::rowCount() const {
  ensureRows();
  return static_cast<int32_t>(lines_.size());
}

const std::string& ReportBar::rowText(int32_t row) const {
  static const std::string kEmpty;
  ensureRows();
  return row >= 0 && row < rowCount() ? lines_[static_cast<std::size_t>(row)] : kEmpty;
}

void ReportBar::clear() {
  ensureRows();
  std::fill(lines_.begin(), lines_.end(), std::string());
  std::fill(dirty_.begin(), dirty_.end(), false);
  used_ = 0;
  scrollPending_ = 0;
  clearPending_ = true;
  queuePaint();
}

void ReportBar::append(std::string_view line) {
  const int32_t rows = rowCount();
  if (used_ < rows) {
    lines_[static_cast<std::size_t>(used_)] = line;
    dirty_[static_cast<std::size_t>(used_)] = true;
    ++used_;
  } else {
    // The picture moves up with the texts at the next paint; the flags move with them.
    lines_.erase(lines_.begin());
    lines_.emplace_back(line);
    dirty_.erase(dirty_.begin());
    dirty_.push_back(true);
    ++scrollPending_;
  }
  queuePaint();
}

void ReportBar::onShow() {
  ensureRows();
  clearPending_ = true;
  scrollPending_ = 0;
  for (int32_t row = 0; row < used_; ++row)
    dirty_[static_cast<std::size_t>(row)] = true;
  queuePaint();
}

void ReportBar::paint() {
  Window* w = window();
  if (!w) return;
  const int32_t rows = rowCount();
  if (clearPending_) {
    w->clear(this, palette::kBackground);
  } else if (scrollPending_ > 0 && scrollPending_ < rows) {
    w->scrollUp(this, Rect{0, 0, width(), height()}, scrollPending_ * rowHeight_);
  }
  clearPending_ = false;
  scrollPending_ = 0;
  for (int32_t row = 0; row < rows; ++row) {
    if (!dirty_[static_cast<std::size_t>(row)]) continue;
    dirty_[static_cast<std::size_t>(row)] = false;
    // Every row's text sits in a box of the same height so that scrolled rows line up; the
    // pixels left below the last box belong to the last row.
    const Rect box{0, row * rowHeight_, width(), (row + 1) * rowHeight_};
    w->drawText(this, lines_[static_cast<std::size_t>(row)], font::kSmall, false, palette::kText,
                palette::kBackground, box);
    if (row == rows - 1 && box.y1 < height())
      w->fillRect(this, Rect{0, box.y1, width(), height()}, palette::kBackground);
  }
}

// ------------------------------------------------------------------------------------------------
// SelectView

void SelectView::layout() {
  const int32_t t = halfHeight(height());
  bar_ = &addChild(std::make_unique<ContextBar>(), "context", Rect{0, t, width(), height() - t});
}

void SelectView::markDirty(uint8_t parts) {
  dirty_ |= parts;
  queuePaint();
}

void SelectView::setPrompt(std::string_view prompt) {
  if (prompt == prompt_) return;
  prompt_ = prompt;
  markDirty(kPromptPart);
}

void SelectView::setEntryText(std::string_view text) {
  if (text == entry_ && !error_) return;
  entry_ = text;
  error_ = false;
  markDirty(kEntryPart);
}

void SelectView::setError(bool on) {
  if (on == error_) return;
  error_ = on;
  markDirty(kEntryPart);
}

void SelectView::onShow() {
  markDirty(kTitlePart | kPromptPart | kEntryPart);
}

void SelectView::paint() {
  Window* w = window();
  if (dirty_ == 0 || !w) return;
  const int32_t h = height();
  const int32_t t = halfHeight(h);
  const int32_t q = (h - h / 9) / 4;
  if (dirty_ == (kTitlePart | kPromptPart | kEntryPart)) w->clear(this, palette::kBackground);
  if (dirty_ & kTitlePart) {
    w->fillRect(this, Rect{0, 0, width(), q}, palette::kBarBackground);
    // A banner too long for the title face (the product name is one) takes a smaller one.
    const int32_t face = fittingFont(*w, banner_, width() - 2 * kMargin,
                                     {font::kLarge, font::kMedium, font::kSmall});
    w->drawText(this, banner_, face, false, palette::kBarText, palette::kBarBackground,
                Rect{kMargin, 0, width() - kMargin, q});
  }
  if (dirty_ & kPromptPart) {
    w->fillRect(this, Rect{0, q, width(), t}, palette::kBackground);
    drawTwoLineText(*this, prompt_, Rect{0, q, width(), t}, font::kSmall, palette::kText,
                    palette::kBackground);
  }
  if (dirty_ & kEntryPart)
    w->drawText(this, entry_, font::kEntry, true, error_ ? palette::kErrorText : palette::kText,
                palette::kBackground, Rect{0, h - t, width(), h});
  dirty_ = 0;
}

// ------------------------------------------------------------------------------------------------
// ParameterView

void ParameterView::layout() {
  const int32_t t = halfHeight(height());
  context_ =
      &addChild(std::make_unique<ContextBar>(), "context", Rect{0, t, width(), height() - t});
  lists_[0] = &addChild(std::make_unique<ListBar>(4), "top_list", halfRect(Half::kTop));
  lists_[1] = &addChild(std::make_unique<ListBar>(4), "bottom_list", halfRect(Half::kBottom));
  setBar(Half::kTop, BarKind::kDual);
  setBar(Half::kBottom, BarKind::kDual);
}

Rect ParameterView::halfRect(Half half) const {
  const int32_t t = halfHeight(height());
  return half == Half::kTop ? Rect{0, 0, width(), t} : Rect{0, height() - t, width(), height()};
}

bool ParameterView::setBar(Half half, BarKind kind) {
  ParameterBar*& slot = bars_[index(half)];
  if (slot && slot->kind() == kind) return false;
  std::unique_ptr<ParameterBar> bar = makeParameterBar(kind);
  if (!bar) return false;
  if (slot) {
    // Destroying the old bar also drops it and its areas from the window's queue.
    std::unique_ptr<Drawable> old = detachChild(*slot);
    slot = nullptr;
  }
  ParameterBar& placed =
      addChild(std::move(bar), half == Half::kTop ? "top_params" : "bottom_params", halfRect(half));
  placed.layout();
  slot = &placed;
  if (visible()) placed.setVisible(true);
  return true;
}

void ParameterView::showChildren() {
  for (Drawable* child : {static_cast<Drawable*>(context_), static_cast<Drawable*>(bars_[0]),
                          static_cast<Drawable*>(bars_[1])}) {
    if (child) child->setVisible(true);
  }
}

// ------------------------------------------------------------------------------------------------
// ListView, UtilityView, BlankView

void ListView::layout() {
  list_ = &addChild(std::make_unique<ListBar>(9), "listbar", Rect{0, 0, width(), height()});
}

void UtilityView::layout() {
  const int32_t top = height() / 9;
  header_ = &addChild(std::make_unique<ContextBar>(), "header", Rect{0, 0, width(), top});
  report_ = &addChild(std::make_unique<ReportBar>(), "report", Rect{0, top, width(), height()});
}

void BlankView::onShow() {
  dirty_ = true;
  queuePaint();
}

void BlankView::paint() {
  if (!dirty_ || !window()) return;
  window()->clear(this, palette::kBackground);
  dirty_ = false;
}

// ------------------------------------------------------------------------------------------------
// Panel

Panel::Panel(Window& window, bool left, std::string banner) {
  const Rect bounds{0, 0, window.region().width(), window.region().height()};
  init(&window, window.name(), bounds);
  if (left) {
    select_ = &addChild(std::make_unique<SelectView>(std::move(banner)), "select", bounds);
    select_->layout();
    views_[slot(ViewCode::kSelect)] = select_;
  }
  parameters_ = &addChild(std::make_unique<ParameterView>(), "params", bounds);
  parameters_->layout();
  views_[slot(ViewCode::kParameters)] = parameters_;
  list_ = &addChild(std::make_unique<ListView>(), "list", bounds);
  list_->layout();
  views_[slot(ViewCode::kList)] = list_;
  if (left) {
    utility_ = &addChild(std::make_unique<UtilityView>(), "utility", bounds);
    utility_->layout();
    views_[slot(ViewCode::kUtility)] = utility_;
  }
  views_[slot(ViewCode::kLoudness)] = &addChild(std::make_unique<BlankView>(), "loudness", bounds);
  setVisible(true);
}

Drawable* Panel::view(ViewCode code) const {
  const std::size_t s = slot(code);
  return s < views_.size() ? views_[s] : nullptr;
}

void Panel::switchView(ViewCode code) {
  if (code == code_) return;
  const std::size_t s = slot(code);
  if (s >= views_.size() || (code != ViewCode::kNone && !views_[s])) return;
  if (Drawable* current = views_[slot(code_)]) current->setVisible(false);
  code_ = code;
  if (code == ViewCode::kNone) {
    clearPending_ = true;
    return;
  }
  if (visible()) views_[s]->setVisible(true);
}

void Panel::setLoudnessView(std::unique_ptr<Drawable> view) {
  const std::size_t s = slot(ViewCode::kLoudness);
  if (!view) return;
  if (Drawable* old = views_[s]) {
    old->setVisible(false);
    std::unique_ptr<Drawable> destroyed = detachChild(*old);
  }
  views_[s] = &addChild(std::move(view), "loudness", Rect{0, 0, width(), height()});
  if (code_ == ViewCode::kLoudness && visible()) views_[s]->setVisible(true);
}

void Panel::paintPendingClear() {
  if (!clearPending_) return;
  clearPending_ = false;
  if (window()) window()->clear(nullptr, palette::kBackground);
}

void Panel::onShow() {
  if (code_ == ViewCode::kNone) clearPending_ = true;
}

void Panel::showChildren() {
  if (Drawable* current = views_[slot(code_)]) current->setVisible(true);
}

}  // namespace qelm
