#include "shell/zoom.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace qelm {

bool isZoomLevel(int zoom) {
  return std::find(kZoomLevels.begin(), kZoomLevels.end(), zoom) != kZoomLevels.end();
}

int defaultZoomFor(double devicePixelRatio) {
  // A ratio that is not a number (no screen at all) counts as an ordinary monitor.
  if (!(devicePixelRatio > 0)) return kZoomLevels.front();
  int best = kZoomLevels.front();
  for (const int zoom : kZoomLevels) {
    if (std::abs(zoom / 100.0 - devicePixelRatio) <= std::abs(best / 100.0 - devicePixelRatio))
      best = zoom;
  }
  return best;
}

int steppedZoom(int zoom, int step) {
  const auto at = std::find(kZoomLevels.begin(), kZoomLevels.end(), zoom);
  if (at == kZoomLevels.end()) return defaultZoomFor(1.0);
  if (step > 0 && at + 1 != kZoomLevels.end()) return *(at + 1);
  if (step < 0 && at != kZoomLevels.begin()) return *(at - 1);
  return zoom;
}

std::vector<int> fittingZoomLevels(QSize windowAt100, QSize fixed, QSize available) {
  std::vector<int> levels{kZoomLevels.front()};
  const QSize grows = windowAt100 - fixed;
  for (const int zoom : kZoomLevels) {
    if (zoom == kZoomLevels.front()) continue;
    const QSize needed =
        fixed + QSize(zoomedLength(grows.width(), zoom), zoomedLength(grows.height(), zoom));
    if (needed.width() <= available.width() && needed.height() <= available.height())
      levels.push_back(zoom);
  }
  return levels;
}

void zoomNearest(const uint32_t* source, int stride, int width, int height, int zoom,
                 QImage& zoomed, int firstRow, int lastRow) {
  const int columns = std::min(zoomed.width(), zoomedLength(width, zoom));
  const int rows = std::min(zoomed.height(), zoomedLength(height, zoom));
  const int fromRow = std::max(0, firstZoomedPixel(std::max(firstRow, 0), zoom));
  const int toRow = std::min(rows, firstZoomedPixel(std::min(lastRow, height - 1) + 1, zoom));
  std::vector<int> sourceColumn(static_cast<size_t>(columns));
  for (int x = 0; x < columns; ++x)
    sourceColumn[x] = screenPixelAt(x, zoom, width);
  // Rows showing the same source row are copies of the first of them.
  int lastSourceRow = -1;
  const uint32_t* copiedRow = nullptr;
  for (int y = fromRow; y < toRow; ++y) {
    auto* to = reinterpret_cast<uint32_t*>(zoomed.scanLine(y));
    const int sourceRow = screenPixelAt(y, zoom, height);
    if (sourceRow == lastSourceRow) {
      std::memcpy(to, copiedRow, static_cast<size_t>(columns) * sizeof(uint32_t));
      continue;
    }
    const uint32_t* from = source + static_cast<size_t>(sourceRow) * stride;
    for (int x = 0; x < columns; ++x)
      to[x] = from[sourceColumn[x]] | 0xFF000000u;
    lastSourceRow = sourceRow;
    copiedRow = to;
  }
}

}  // namespace qelm
