#pragma once

#include <algorithm>
#include <cstdint>

namespace qelm {

/// A rectangle in pixels; x1 and y1 are exclusive. An inverted rectangle is empty and draws
/// nothing.
struct Rect {
  /// Left column, inclusive.
  int32_t x0 = 0;
  /// Top row, inclusive.
  int32_t y0 = 0;
  /// Right column, exclusive.
  int32_t x1 = 0;
  /// Bottom row, exclusive.
  int32_t y1 = 0;

  /// Pixels; negative for an inverted rectangle.
  int32_t width() const { return x1 - x0; }
  /// Pixels; negative for an inverted rectangle.
  int32_t height() const { return y1 - y0; }
  /// True when the rectangle covers no pixel.
  bool empty() const { return x0 >= x1 || y0 >= y1; }
  bool operator==(const Rect&) const = default;
};

/// Componentwise intersection (larger x0, y0, smaller x1, y1); may be inverted.
inline Rect intersect(const Rect& a, const Rect& b) {
  return {std::max(a.x0, b.x0), std::max(a.y0, b.y0), std::min(a.x1, b.x1), std::min(a.y1, b.y1)};
}

/// `r`, given relative to `frame`'s top-left corner, in the coordinates `frame` is given in:
/// lower edges raised to 0, upper edges lowered to the frame's size, then shifted by its origin.
inline Rect toWindowRect(const Rect& r, const Rect& frame) {
  return {std::max(r.x0, 0) + frame.x0, std::max(r.y0, 0) + frame.y0,
          std::min(r.x1, frame.width()) + frame.x0, std::min(r.y1, frame.height()) + frame.y0};
}

/// The reverse of toWindowRect: shifted by -(frame origin), then clamped to the frame's size.
inline Rect toDrawableRect(const Rect& r, const Rect& frame) {
  return {std::max(r.x0 - frame.x0, 0), std::max(r.y0 - frame.y0, 0),
          std::min(r.x1 - frame.x0, frame.width()), std::min(r.y1 - frame.y0, frame.height())};
}

}  // namespace qelm
