#include "shell/screen_control.h"

#include <QMouseEvent>
#include <QPainter>
#include <mutex>

#include "core/app_context.h"

namespace qelm {

ScreenControl::ScreenControl(int screen, AppContext* context, QWidget* parent)
    : QWidget(parent),
      screen_(screen),
      context_(context),
      frame_(kScreenWidth, kScreenHeight, QImage::Format_RGB32) {
  setFixedSize(kScreenWidth, kScreenHeight);
  // Every paint covers the whole control, so nothing needs erasing first (no flicker).
  setAttribute(Qt::WA_OpaquePaintEvent);
  frame_.fill(Qt::black);
}

void ScreenControl::copyFromRaster() {
  // The raster's pixels are the picture's format already; only the alpha byte, which the engine
  // leaves undefined, is made opaque.
  const int column = screen_ == 0 ? 0 : kRightScreenColumn;
  std::lock_guard<std::mutex> guard(context_->screenLock);
  const uint32_t* raster = context_->pixels();
  for (int y = 0; y < kScreenHeight; ++y) {
    const uint32_t* from = raster + static_cast<size_t>(y) * kRasterWidth + column;
    auto* to = reinterpret_cast<uint32_t*>(frame_.scanLine(y));
    for (int x = 0; x < kScreenWidth; ++x)
      to[x] = from[x] | 0xFF000000u;
  }
}

void ScreenControl::paintEvent(QPaintEvent*) {
  ++paintCount_;
  QPainter painter(this);
  if (context_ == nullptr) {
    painter.fillRect(rect(), Qt::black);
    return;
  }
  copyFromRaster();
  painter.drawImage(0, 0, frame_);
}

void ScreenControl::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || context_ == nullptr) return;
  const QPoint at = event->position().toPoint();
  context_->input.setTouch(screen_, at.x(), at.y(), true);
}

void ScreenControl::mouseReleaseEvent(QMouseEvent* event) {
  // The control keeps the mouse while the button is down, so the release comes here even when
  // the pointer left the screen: a touch always ends with its button.
  if (event->button() != Qt::LeftButton || context_ == nullptr) return;
  const QPoint at = event->position().toPoint();
  context_->input.setTouch(screen_, at.x(), at.y(), false);
}

}  // namespace qelm
