#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/rect.h"
#include "display/palette.h"
#include "display/window.h"

namespace qelm {

struct Bitmap;

/// A rectangle of a window that can be shown or hidden, owns its children, and paints itself
/// when the window flushes its pending drawables. Created invisible and unplaced; `init` places
/// a top-level drawable, `addChild` a child.
class Drawable {
 public:
  Drawable() = default;
  /// Destroys the children first, then leaves the window's pending set.
  virtual ~Drawable();
  Drawable(const Drawable&) = delete;
  Drawable& operator=(const Drawable&) = delete;

  /// Places a top-level drawable: `rect` in window coordinates, depth 0. Draws nothing.
  void init(Window* window, std::string name, const Rect& rect);
  /// Places `child` under this drawable and takes ownership: `rectInParent` is relative to this
  /// drawable's top-left corner; the child shares the window and has depth + 1.
  template <typename T>
  T& addChild(std::unique_ptr<T> child, std::string name, const Rect& rectInParent) {
    T& placed = *child;
    adopt(std::move(child), std::move(name), rectInParent);
    return placed;
  }
  /// Removes `child` from the children without destroying it; the caller receives it (null
  /// when it is not a child).
  std::unique_ptr<Drawable> detachChild(const Drawable& child);

  /// Called when the drawable becomes visible and on every full repaint; the base does nothing.
  virtual void onShow() {}
  /// Called when the drawable becomes invisible; the base does nothing.
  virtual void onHide() {}
  /// Makes every child that is not yet visible visible (its onShow, its children, then the
  /// flag), in creation order.
  virtual void showChildren();
  /// Paints what changed; called by the window's flush while visible. The base does nothing.
  virtual void paint() {}

  /// Shows (onShow, showChildren, visible) or hides (children first, onHide, invisible); nothing
  /// when already in that state.
  void setVisible(bool visible);
  /// onShow on this drawable when visible, then the same on every descendant.
  void repaintAll();
  /// Queues this drawable with its window for the next flush; nothing without a window.
  void queuePaint();

  /// Identifier given by the creator; not used for drawing.
  const std::string& name() const { return name_; }
  /// Owner drawable, or null for a top-level one.
  Drawable* parent() const { return parent_; }
  /// Window it draws in; null until placed.
  Window* window() const { return window_; }
  /// 0 for a top-level drawable, parent depth + 1 otherwise.
  int32_t depth() const { return depth_; }
  /// Rectangle in window coordinates.
  const Rect& rect() const { return rect_; }
  /// Pixels.
  int32_t width() const { return rect_.width(); }
  /// Pixels.
  int32_t height() const { return rect_.height(); }
  /// False at creation.
  bool visible() const { return visible_; }
  /// Owned children in creation order.
  const std::vector<std::unique_ptr<Drawable>>& children() const { return children_; }

 private:
  void adopt(std::unique_ptr<Drawable> child, std::string name, const Rect& rectInParent);

  std::string name_;
  std::vector<std::unique_ptr<Drawable>> children_;
  Drawable* parent_ = nullptr;
  Window* window_ = nullptr;
  int32_t depth_ = 0;
  Rect rect_;
  bool visible_ = false;
};

/// Rectangle `r`, relative to `drawable`, in window coordinates (clamped to the drawable).
inline Rect toWindowRect(const Rect& r, const Drawable& drawable) {
  return toWindowRect(r, drawable.rect());
}
/// Rectangle `r`, in window coordinates, relative to `drawable` (clamped to the drawable).
inline Rect toDrawableRect(const Rect& r, const Drawable& drawable) {
  return toDrawableRect(r, drawable.rect());
}

/// What a label draws and how.
struct LabelProperties {
  /// Font code of the registry.
  int32_t fontCode = 0;
  /// Colour index of the text.
  ColorIndex foreground = 1;
  /// Colour index around the text; kUnderlyingColor keeps what is under the box.
  ColorIndex background = kUnderlyingColor;
  /// Horizontal centring.
  bool centred = false;
  /// UTF-8 text.
  std::string text;
  /// Set when the label must be painted at the next flush.
  bool dirty = false;
  /// Clip relative to the label; applied only when x0 < x1 and y0 < y1.
  Rect clip;
};

/// One line of text in the label's rectangle.
class Label : public Drawable {
 public:
  Label() = default;
  /// Starts with these properties (dirty is kept as given).
  explicit Label(LabelProperties properties) : props_(std::move(properties)) {}

  /// Owners change font, colours or centring here, then set dirty and queuePaint.
  LabelProperties& props() { return props_; }
  /// What the label draws.
  const LabelProperties& props() const { return props_; }
  /// Stores a different text and queues a paint; the same text does nothing.
  void setText(std::string_view text);

  /// Marks the label dirty and queues it.
  void onShow() override;
  /// Draws the text in the label's box when dirty, then clears dirty.
  void paint() override;

 private:
  LabelProperties props_;
};

/// A picture with numbered states, each a bitmap of the cache (not owned).
class MultiStateIcon : public Drawable {
 public:
  /// Entry i of `bitmaps` becomes state i; null entries are skipped. The icon is as wide and
  /// high as the largest bitmap, at least 1 x 1. Until placed under a parent it never draws.
  explicit MultiStateIcon(const std::vector<const Bitmap*>& bitmaps);
  /// Creates an icon under `parent` with its top-left corner at (x, y) relative to the parent.
  static MultiStateIcon& create(Drawable& parent, std::string name, int32_t x, int32_t y,
                                const std::vector<const Bitmap*>& bitmaps);

  /// Shows state `state` at the next flush; -1 (the initial state) or a state without bitmap
  /// leaves the previous picture.
  void setState(int32_t state);
  /// The current state; -1 at creation.
  int32_t state() const { return state_; }
  /// Pixels: the largest bitmap width, at least 1.
  int32_t iconWidth() const { return iconWidth_; }
  /// Pixels: the largest bitmap height, at least 1.
  int32_t iconHeight() const { return iconHeight_; }

  /// Marks the icon dirty and queues it.
  void onShow() override;
  /// Draws the current state's bitmap at the icon's corner when dirty and it has one.
  void paint() override;

 private:
  std::map<int32_t, const Bitmap*> states_;
  int32_t state_ = -1;
  bool dirty_ = false;
  int32_t iconWidth_ = 1;
  int32_t iconHeight_ = 1;
};

/// Draws `text` centred in `box` (relative to `drawable`), broken at whitespace into at most two
/// lines when it is wider than the box; words that fit neither line are left out.
void drawTwoLineText(Drawable& drawable, std::string_view text, const Rect& box, int32_t fontCode,
                     ColorIndex foreground, ColorIndex background);

}  // namespace qelm
