#include "shell/screen_control.h"

#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>

#include "core/app_context.h"
#include "shell/zoom.h"

namespace qelm {

ScreenControl::ScreenControl(int screen, AppContext* context, QWidget* parent)
    : QWidget(parent),
      screen_(screen),
      context_(context),
      copy_(static_cast<size_t>(kScreenWidth) * kScreenHeight, 0) {
  // Every paint covers the whole control, so nothing needs erasing first (no flicker).
  setAttribute(Qt::WA_OpaquePaintEvent);
  setZoom(100);
}

void ScreenControl::setZoom(int zoom) {
  zoom_ = isZoomLevel(zoom) ? zoom : 100;
  pixelRatio_ = devicePixelRatioF();
  frame_ = QImage(zoomedLength(kScreenWidth, zoom_), zoomedLength(kScreenHeight, zoom_),
                  QImage::Format_RGB32);
  frame_.setDevicePixelRatio(pixelRatio_);
  zoomNearest(copy_.data(), kScreenWidth, kScreenWidth, kScreenHeight, zoom_, frame_, 0,
              kScreenHeight - 1);
  setFixedSize(static_cast<int>(std::ceil(frame_.width() / pixelRatio_)),
               static_cast<int>(std::ceil(frame_.height() / pixelRatio_)));
  update();
}

QPoint ScreenControl::screenPixelAt(QPointF position) const {
  // The pointer sits on whole monitor pixels; the scaled units only carry them as fractions,
  // which must not round down into the pixel before.
  const auto device = [this](qreal units) {
    return static_cast<int>(std::floor(units * pixelRatio_ + 1e-6));
  };
  return QPoint(qelm::screenPixelAt(device(position.x()), zoom_, kScreenWidth),
                qelm::screenPixelAt(device(position.y()), zoom_, kScreenHeight));
}

QRect ScreenControl::takeChanges() {
  if (context_ == nullptr) return QRect();
  // Only the comparison and the plain copy happen under the lock: the engine waits for it in
  // every pass, and zooming costs up to nine times as much.
  const int column = screen_ == 0 ? 0 : kRightScreenColumn;
  int first = -1;
  int last = -1;
  {
    std::lock_guard<std::mutex> guard(context_->screenLock);
    const uint32_t* raster = context_->pixels();
    for (int y = 0; y < kScreenHeight; ++y) {
      const uint32_t* from = raster + static_cast<size_t>(y) * kRasterWidth + column;
      uint32_t* to = copy_.data() + static_cast<size_t>(y) * kScreenWidth;
      if (std::memcmp(from, to, kScreenWidth * sizeof(uint32_t)) == 0) continue;
      std::memcpy(to, from, kScreenWidth * sizeof(uint32_t));
      if (first < 0) first = y;
      last = y;
    }
  }
  if (first < 0) return QRect();
  zoomNearest(copy_.data(), kScreenWidth, kScreenWidth, kScreenHeight, zoom_, frame_, first, last);
  const int top = static_cast<int>(std::floor(firstZoomedPixel(first, zoom_) / pixelRatio_));
  const int bottom = static_cast<int>(std::ceil(firstZoomedPixel(last + 1, zoom_) / pixelRatio_));
  return QRect(0, top, width(), bottom - top);
}

void ScreenControl::refresh() {
  const QRect changed = takeChanges();
  if (!changed.isEmpty()) update(changed);
}

void ScreenControl::paintEvent(QPaintEvent* event) {
  ++paintCount_;
  QPainter painter(this);
  if (context_ == nullptr) {
    painter.fillRect(rect(), Qt::black);
    return;
  }
  // Changes outside the part being painted get a paint of their own.
  const QRect changed = takeChanges();
  if (!changed.isEmpty() && !event->region().contains(changed)) update(changed);
  // The frame is in monitor pixels already: drawn without any resampling, and only where the
  // paint needs it.
  painter.drawImage(QPointF(0, 0), frame_);
  const QSizeF drawn = frame_.deviceIndependentSize();
  if (drawn.width() < width() || drawn.height() < height()) {
    painter.fillRect(QRectF(drawn.width(), 0, width() - drawn.width(), height()), Qt::black);
    painter.fillRect(QRectF(0, drawn.height(), width(), height() - drawn.height()), Qt::black);
  }
}

void ScreenControl::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || context_ == nullptr) return;
  const QPoint at = screenPixelAt(event->position());
  context_->input.setTouch(screen_, at.x(), at.y(), true);
}

void ScreenControl::mouseReleaseEvent(QMouseEvent* event) {
  // The control keeps the mouse while the button is down, so the release comes here even when
  // the pointer left the screen: a touch always ends with its button.
  if (event->button() != Qt::LeftButton || context_ == nullptr) return;
  const QPoint at = screenPixelAt(event->position());
  context_->input.setTouch(screen_, at.x(), at.y(), false);
}

}  // namespace qelm
