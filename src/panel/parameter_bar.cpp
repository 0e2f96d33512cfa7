#include "panel/parameter_bar.h"

#include <array>

#include "display/font.h"
#include "display/font_setup.h"
#include "display/palette.h"
#include "text/text.h"

namespace qelm {

namespace {

// Width of the icon box at the left of the name line; the name keeps the same margin on the right.
constexpr int32_t kIconBoxWidth = 18;

}  // namespace

// ------------------------------------------------------------------------------------------------
// ParameterArea

void ParameterArea::markDirty(uint8_t parts) {
  parts &= drawnParts();
  if (parts == 0) return;
  dirty_ |= parts;
  queuePaint();
}

void ParameterArea::setName(std::string_view name) {
  if (name == itemName_) return;
  itemName_ = name;
  markDirty(kNamePart);
}

void ParameterArea::setIcon(int32_t code) {
  if (code == icon_) return;
  icon_ = code;
  markDirty(kIconPart);
}

void ParameterArea::setValueText(std::string_view text, bool noUnit) {
  if (text == valueText_ && noUnit == noUnit_) return;
  valueText_ = text;
  noUnit_ = noUnit;
  markDirty(kValuePart);
}

void ParameterArea::setUnit(std::string_view unit) {
  if (unit == unit_) return;
  unit_ = unit;
  markDirty(kValuePart);
}

void ParameterArea::setHighlight(bool on) {
  if (on == highlight_) return;
  highlight_ = on;
  markDirty(kAllParts);
}

void ParameterArea::setStatusMark(bool on) {
  if (on == statusMark_) return;
  statusMark_ = on;
  markDirty(kValuePart);
}

void ParameterArea::clearItem() {
  setName({});
  setIcon(0);
  setValueText({}, false);
  setUnit({});
  setHighlight(false);
  setStatusMark(false);
}

// ------------------------------------------------------------------------------------------------
// FullParameterArea

std::string FullParameterArea::valueLine() const {
  std::string line = stripTags(valueText_);
  if (!noUnit_ && !unit_.empty()) {
    line += ' ';
    line += unit_;
  }
  return line;
}

void FullParameterArea::paint() {
  Window* w = window();
  if (dirty_ == 0 || !w) return;
  const ColorIndex background = highlight_ ? palette::kHighlightBackground : palette::kBackground;
  const ColorIndex text = highlight_ ? palette::kHighlightText : palette::kText;
  const int32_t half = height() / 2;

  if (dirty_ == kAllParts) w->clear(this, background);

  if (dirty_ & kIconPart) {
    const Rect box{0, 0, kIconBoxWidth, half};
    const FontRegistry* fonts = w->fonts();
    if (icon_ > 0 && icon_ < 256 && fonts && fonts->find(kIconFontCode)) {
      const char character = static_cast<char>(icon_);
      w->drawText(this, std::string_view(&character, 1), kIconFontCode, true, palette::kIcon,
                  background, box);
    } else {
      w->fillRect(this, box, background);
    }
  }

  if (dirty_ & kNamePart)
    drawTwoLineText(*this, itemName_, Rect{kIconBoxWidth, 0, width() - kIconBoxWidth, half},
                    font::kSmall, text, background);

  if (dirty_ & kValuePart) {
    const std::string line = valueLine();
    const Rect box{0, half, width(), height()};
    const ColorIndex color = statusMark_ ? palette::kErrorText : text;
    valueFont_ = font::kSmall;
    for (int32_t face : {font::kLarge, font::kMedium}) {
      const TextSize size = w->measureText(line, face);
      if (size.width <= box.width() && size.height <= box.height()) {
        valueFont_ = face;
        break;
      }
    }
    if (valueFont_ == font::kSmall)
      drawTwoLineText(*this, line, box, font::kSmall, color, background);
    else
      w->drawText(this, line, valueFont_, true, color, background, box);
  }
  dirty_ = 0;
}

// ------------------------------------------------------------------------------------------------
// SimpleParameterArea

void SimpleParameterArea::paint() {
  Window* w = window();
  if (dirty_ == 0 || !w) return;
  const ColorIndex foreground = highlight_ ? palette::kHighlightText : foreground_;
  const ColorIndex background = highlight_ ? palette::kHighlightBackground : background_;
  const Rect box{0, 0, width(), height()};
  if (valueText_.empty()) {
    w->fillRect(this, box, background);
  } else {
    const std::string text = stripTags(valueText_);
    // A text wider than the cell in the bar's font is drawn in the small font rather than cut
    // at both ends (typefaces wider than the panel's own reach that in the corrector grid).
    int32_t face = fontCode_;
    if (face != font::kSmall && w->measureText(text, face).width > box.width()) face = font::kSmall;
    w->drawText(this, text, face, true, foreground, background, box);
  }
  dirty_ = 0;
}

// ------------------------------------------------------------------------------------------------
// Bars

void ParameterBar::onShow() {
  dirty_ = true;
  queuePaint();
}

void ParameterBar::paint() {
  if (!dirty_ || !window()) return;
  paintBands();
  dirty_ = false;
}

ParameterArea* DualParameterBar::area(int32_t slot) {
  return slot >= 0 && slot < static_cast<int32_t>(areas_.size()) ? areas_[slot] : nullptr;
}

void DualParameterBar::layout() {
  const int32_t w = width();
  const int32_t h = height();
  areas_.push_back(
      &addChild(std::make_unique<FullParameterArea>(), "left", Rect{0, 0, w / 2 - 1, h}));
  areas_.push_back(
      &addChild(std::make_unique<FullParameterArea>(), "right", Rect{w / 2 + 1, 0, w, h}));
}

void DualParameterBar::paintBands() {
  window()->fillRect(this, Rect{width() / 2 - 1, 0, width() / 2 + 1, height()},
                     palette::kBarBackground);
}

ParameterArea* QuadParameterBar::area(int32_t slot) {
  return slot >= 0 && slot < static_cast<int32_t>(areas_.size()) ? areas_[slot] : nullptr;
}

void QuadParameterBar::layout() {
  const int32_t w = width();
  const int32_t h = height();
  const std::array<std::pair<const char*, Rect>, 4> cells{{
      {"upper_left", Rect{0, 0, w / 2 - 1, h / 2 - 1}},
      {"upper_right", Rect{w / 2 + 1, 0, w, h / 2 - 1}},
      {"lower_left", Rect{0, h / 2 + 1, w / 2 - 1, h}},
      {"lower_right", Rect{w / 2 + 1, h / 2 + 1, w, h}},
  }};
  for (const auto& [name, rect] : cells)
    areas_.push_back(&addChild(std::make_unique<FullParameterArea>(), name, rect));
}

void QuadParameterBar::paintBands() {
  const int32_t w = width();
  const int32_t h = height();
  window()->fillRect(this, Rect{0, h / 2 - 1, w, h / 2 + 1}, palette::kBarBackground);
  window()->fillRect(this, Rect{w / 2 - 1, 0, w / 2 + 1, h}, palette::kBarBackground);
}

ParameterArea* ColorCorrectorBar::area(int32_t slot) {
  if (slot < 0 || slot >= areaCount()) return nullptr;
  return cell(1 + slot % 3 + 4 * (slot / 3));
}

SimpleParameterArea* ColorCorrectorBar::cell(int32_t index) {
  return index >= 0 && index < static_cast<int32_t>(cells_.size()) ? cells_[index] : nullptr;
}

void ColorCorrectorBar::layout() {
  constexpr std::array<const char*, 3> kRowLabels{"Gain", "Gamma", "Black"};
  // Columns 1..3: red, green and blue text on their tinted backgrounds.
  constexpr std::array<ColorIndex, 4> kForeground{palette::kText, 11, 12, 13};
  constexpr std::array<ColorIndex, 4> kBackgrounds{palette::kBackground, 8, 9, 10};
  const int32_t w = width();
  const int32_t h = height();
  const int32_t cellWidth = w / 4;
  const int32_t cellHeight = h / 3;
  // The three labels share one font: the bar's when all of them fit their cells in it.
  int32_t labelFont = font::kMedium;
  if (Window* w0 = window()) {
    for (const char* label : kRowLabels) {
      if (w0->measureText(label, font::kMedium).width > cellWidth) labelFont = font::kSmall;
    }
  }
  for (int32_t row = 0; row < 3; ++row) {
    for (int32_t column = 0; column < 4; ++column) {
      const Rect rect{column * cellWidth, row * cellHeight,
                      column == 3 ? w : (column + 1) * cellWidth,
                      row == 2 ? h : (row + 1) * cellHeight};
      auto cell = std::make_unique<SimpleParameterArea>(column == 0 ? labelFont : font::kMedium,
                                                        kForeground[column], kBackgrounds[column]);
      SimpleParameterArea& placed =
          addChild(std::move(cell), formattedText("param%d", column + 4 * row), rect);
      if (column == 0) placed.setValueText(kRowLabels[row], true);
      cells_.push_back(&placed);
    }
  }
}

std::unique_ptr<ParameterBar> makeParameterBar(BarKind kind) {
  switch (kind) {
    case BarKind::kDual:
      return std::make_unique<DualParameterBar>();
    case BarKind::kQuad:
      return std::make_unique<QuadParameterBar>();
    case BarKind::kColorCorrector:
      return std::make_unique<ColorCorrectorBar>();
    case BarKind::kNone:
      break;
  }
  return nullptr;
}

}  // namespace qelm
