#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <utility>

#include "core/raster_geometry.h"
#include "core/rect.h"
#include "display/palette.h"

namespace qelm {

struct Bitmap;
class Drawable;
class FontRegistry;

/// Width and height of a text in pixels; (0, 0) when nothing would be drawn.
struct TextSize {
  /// Pixels.
  int32_t width = 0;
  /// Pixels: the font's line height.
  int32_t height = 0;
  bool operator==(const TextSize&) const = default;
};

/// The drawing surface of one screen: its region of the raster, the fonts by code, and the
/// drawables waiting to be painted. Coordinates are the window's own ((0, 0) = top-left of the
/// region); where a drawable is passed, rectangles and points are relative to the drawable.
class Window {
 public:
  /// `name` "left" or "right"; `region` in raster columns and rows; `fonts` not owned, may be
  /// null (then no text draws).
  Window(std::string name, const Rect& region, FontRegistry* fonts)
      : name_(std::move(name)), region_(region), fonts_(fonts) {}
  virtual ~Window() = default;
  Window(const Window&) = delete;
  Window& operator=(const Window&) = delete;

  /// Pixels of `text` in font `fontCode`; (0, 0) for an unknown code or a text without glyphs.
  virtual TextSize measureText(std::string_view text, int32_t fontCode) = 0;
  /// One line of text in `box`, vertically centred, horizontally centred when `centred`; `clip`
  /// limits what is written; when `area` is given it is erased around the text and receives the
  /// rectangle the text covered. `background` kUnderlyingColor keeps the colour under the box.
  virtual void drawText(Drawable* drawable, std::string_view text, int32_t fontCode, bool centred,
                        ColorIndex foreground, ColorIndex background, const Rect& box,
                        const Rect* clip = nullptr, Rect* area = nullptr) = 0;
  /// Fills the drawable's rectangle, or without a drawable the whole window.
  virtual void clear(Drawable* drawable, ColorIndex color) = 0;
  /// Fills `rect`.
  virtual void fillRect(Drawable* drawable, const Rect& rect, ColorIndex color) = 0;
  /// Outline of `rect`; `rounded` leaves out the corner pixels and sets one pixel inside each.
  virtual void drawFrame(Drawable* drawable, const Rect& rect, ColorIndex color, bool rounded) = 0;
  /// One pixel; does not count as a change (follow it with markChanged).
  virtual void setPixel(Drawable& drawable, int32_t x, int32_t y, ColorIndex color) = 0;
  /// Columns fromX..toX-1 of row y.
  virtual void drawHLine(Drawable& drawable, int32_t fromX, int32_t toX, int32_t y,
                         ColorIndex color) = 0;
  /// Rows fromY..toY-1 of column x.
  virtual void drawVLine(Drawable& drawable, int32_t fromY, int32_t toY, int32_t x,
                         ColorIndex color) = 0;
  /// Moves the rows of `rect` up by `lines`; the bottom `lines` rows keep their old pixels.
  virtual void scrollUp(Drawable* drawable, const Rect& rect, int32_t lines) = 0;
  /// Copies the whole bitmap with its top-left corner at (x, y); with a drawable, negative
  /// coordinates are raised to 0 first.
  virtual void drawBitmap(Drawable* drawable, const Bitmap& bitmap, int32_t x, int32_t y) = 0;
  /// Counts one change without drawing.
  virtual void markChanged() = 0;
  /// Base address of the shared raster.
  virtual uint32_t* pixels() = 0;

  /// Queues `drawable` for the next flushPending; queuing it again before then does nothing.
  void invalidate(Drawable& drawable);
  /// Paints every queued drawable that is visible, parents (smaller depth) first, then empties
  /// the queue. Drawables queued during the walk after the current one are painted too.
  void flushPending();
  /// Drops `drawable` from the queue; a drawable being destroyed calls it.
  void cancelPending(Drawable& drawable);
  /// Number of drawables queued.
  std::size_t pendingCount() const { return pending_.size(); }

  /// "left" or "right".
  const std::string& name() const { return name_; }
  /// Raster columns and rows the window covers.
  const Rect& region() const { return region_; }
  /// The shared fonts; may be null.
  FontRegistry* fonts() const { return fonts_; }

 protected:
  std::string name_;
  Rect region_;
  FontRegistry* fonts_;

 private:
  std::set<std::pair<int32_t, Drawable*>> pending_;
};

}  // namespace qelm
