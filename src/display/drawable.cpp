#include "display/drawable.h"

#include <algorithm>
#include <array>

#include "display/bitmap.h"

namespace qelm {

Drawable::~Drawable() {
  children_.clear();
  // A drawable destroyed while queued must not be painted by the next flush.
  if (window_) window_->cancelPending(*this);
}

void Drawable::init(Window* window, std::string name, const Rect& rect) {
  window_ = window;
  name_ = std::move(name);
  rect_ = rect;
  depth_ = 0;
  parent_ = nullptr;
}

void Drawable::adopt(std::unique_ptr<Drawable> child, std::string name, const Rect& rectInParent) {
  child->name_ = std::move(name);
  child->rect_ = {rectInParent.x0 + rect_.x0, rectInParent.y0 + rect_.y0,
                  rectInParent.x1 + rect_.x0, rectInParent.y1 + rect_.y0};
  child->parent_ = this;
  child->window_ = window_;
  child->depth_ = depth_ + 1;
  children_.push_back(std::move(child));
}

std::unique_ptr<Drawable> Drawable::detachChild(const Drawable& child) {
  const auto it = std::find_if(children_.begin(), children_.end(),
                               [&](const auto& owned) { return owned.get() == &child; });
  if (it == children_.end()) return nullptr;
  std::unique_ptr<Drawable> detached = std::move(*it);
  children_.erase(it);
  detached->parent_ = nullptr;
  return detached;
}

void Drawable::showChildren() {
  for (const auto& child : children_) {
    if (child->visible_) continue;
    child->onShow();
    child->showChildren();
    child->visible_ = true;
  }
}

void Drawable::setVisible(bool visible) {
  if (visible == visible_) return;
  if (visible) {
    onShow();
    showChildren();
    visible_ = true;
    return;
  }
  for (const auto& child : children_)
    child->setVisible(false);
  onHide();
  visible_ = false;
}

void Drawable::repaintAll() {
  if (visible_) onShow();
  for (const auto& child : children_)
    child->repaintAll();
}

void Drawable::queuePaint() {
  if (window_) window_->invalidate(*this);
}

void Label::setText(std::string_view text) {
  if (text == props_.text) return;
  props_.text = text;
  props_.dirty = true;
  queuePaint();
}

void Label::onShow() {
  props_.dirty = true;
  queuePaint();
}

void Label::paint() {
  if (!props_.dirty || !window()) return;
  const Rect& clip = props_.clip;
  const bool clipped = clip.x0 < clip.x1 && clip.y0 < clip.y1;
  window()->drawText(this, props_.text, props_.fontCode, props_.centred, props_.foreground,
                     props_.background, Rect{0, 0, width(), height()}, clipped ? &clip : nullptr);
  props_.dirty = false;
}

MultiStateIcon::MultiStateIcon(const std::vector<const Bitmap*>& bitmaps) {
  for (std::size_t i = 0; i < bitmaps.size(); ++i) {
    if (!bitmaps[i]) continue;
    states_[static_cast<int32_t>(i)] = bitmaps[i];
    iconWidth_ = std::max(iconWidth_, bitmaps[i]->width);
    iconHeight_ = std::max(iconHeight_, bitmaps[i]->height);
  }
}

MultiStateIcon& MultiStateIcon::create(Drawable& parent, std::string name, int32_t x, int32_t y,
                                       const std::vector<const Bitmap*>& bitmaps) {
  auto icon = std::make_unique<MultiStateIcon>(bitmaps);
  const Rect rect{x, y, x + icon->iconWidth_, y + icon->iconHeight_};
  return parent.addChild(std::move(icon), std::move(name), rect);
}

void MultiStateIcon::setState(int32_t state) {
  if (state == state_) return;
  state_ = state;
  dirty_ = true;
  queuePaint();
}

void MultiStateIcon::onShow() {
  dirty_ = true;
  queuePaint();
}

void MultiStateIcon::paint() {
  if (dirty_ && window()) {
    if (const auto it = states_.find(state_); it != states_.end())
      window()->drawBitmap(this, *it->second, 0, 0);
  }
  dirty_ = false;
}

namespace {

bool isWhitespace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::vector<std::string_view> splitWords(std::string_view text) {
  std::vector<std::string_view> words;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && isWhitespace(text[i]))
      ++i;
    const std::size_t start = i;
    while (i < text.size() && !isWhitespace(text[i]))
      ++i;
    if (i > start) words.push_back(text.substr(start, i - start));
  }
  return words;
}

}  // namespace

void drawTwoLineText(Drawable& drawable, std::string_view text, const Rect& box, int32_t fontCode,
                     ColorIndex foreground, ColorIndex background) {
  Window* window = drawable.window();
  if (!window) return;
  if (window->measureText(text, fontCode).width <= box.width()) {
    window->drawText(&drawable, text, fontCode, true, foreground, background, box);
    return;
  }

  const std::vector<std::string_view> words = splitWords(text);
  std::vector<int32_t> widths;
  widths.reserve(words.size());
  for (std::string_view word : words)
    widths.push_back(window->measureText(word, fontCode).width);
  const int32_t spaceWidth =
      window->measureText("  ", fontCode).width - window->measureText(" ", fontCode).width;

  std::array<std::string, 2> lines;
  std::size_t next = 0;
  for (std::string& line : lines) {
    int64_t budget = int64_t{box.width()} - 4;
    while (next < words.size()) {
      const int64_t cost = int64_t{widths[next]} + (line.empty() ? 0 : spaceWidth);
      if (budget - cost < 0) break;
      budget -= cost;
      if (!line.empty()) line += ' ';
      line += words[next++];
    }
  }
  if (lines[0].empty() && !words.empty()) lines[0] = words.front();

  if (lines[1].empty()) {
    window->drawText(&drawable, lines[0], fontCode, true, foreground, background, box);
    return;
  }
  const int32_t middle = static_cast<int32_t>((int64_t{box.y0} + box.y1) / 2);
  window->drawText(&drawable, lines[0], fontCode, true, foreground, background,
                   Rect{box.x0, box.y0, box.x1, middle});
  window->drawText(&drawable, lines[1], fontCode, true, foreground, background,
                   Rect{box.x0, middle, box.x1, box.y1});
}

}  // namespace qelm
