#pragma once

#include <QImage>
#include <QSize>
#include <array>
#include <cstdint>
#include <vector>

namespace qelm {

/// The zooms the window offers, in percent: screen pixels drawn 1, 1.5, 2 or 3 monitor pixels
/// wide.
inline constexpr std::array<int, 4> kZoomLevels{100, 150, 200, 300};

/// True for one of `kZoomLevels`.
bool isZoomLevel(int zoom);
/// The zoom whose size on the monitor is closest to what the desktop's scaling gives other
/// windows: the level nearest `devicePixelRatio` (1.0 = 100 %), the larger on a tie.
int defaultZoomFor(double devicePixelRatio);
/// The next larger (`step` > 0) or smaller level than `zoom`; `zoom` itself at either end.
int steppedZoom(int zoom, int step);

/// The levels at which a window fits into `available` monitor pixels: `windowAt100` is its size
/// at 100 %, of which `fixed` (menu bar, status line, frame) does not grow with the zoom. 100 %
/// is always among them, fitting or not.
std::vector<int> fittingZoomLevels(QSize windowAt100, QSize fixed, QSize available);

/// Monitor pixels covered by `pixels` screen pixels at `zoom` percent (exact for every level).
constexpr int zoomedLength(int pixels, int zoom) {
  return pixels * zoom / 100;
}

/// The screen pixel under monitor pixel `devicePixel` at `zoom` percent, clamped to
/// 0..`screenPixels` - 1. The same rule picks the pixel each monitor pixel shows, so a click
/// anywhere inside a zoomed pixel reaches that pixel, and every pixel can be reached.
constexpr int screenPixelAt(int devicePixel, int zoom, int screenPixels) {
  if (devicePixel <= 0) return 0;
  const int pixel = devicePixel * 100 / zoom;
  return pixel < screenPixels ? pixel : screenPixels - 1;
}

/// The first monitor pixel that shows screen pixel `pixel` at `zoom` percent (so
/// `firstZoomedPixel(pixel + 1, zoom)` is the first one past it).
constexpr int firstZoomedPixel(int pixel, int zoom) {
  return (pixel * zoom + 99) / 100;
}

/// Draws rows `firstRow`..`lastRow` of `width` x `height` pixels of 0x00RRGGBB (rows `stride`
/// pixels apart) into the rows of `zoomed` that show them; `zoomed` is `zoomedLength` of them
/// in each direction (an RGB32 image). Each of its pixels takes the source pixel `screenPixelAt`
/// gives; alpha is made opaque.
void zoomNearest(const uint32_t* source, int stride, int width, int height, int zoom,
                 QImage& zoomed, int firstRow, int lastRow);

}  // namespace qelm
