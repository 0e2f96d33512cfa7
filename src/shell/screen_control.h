#pragma once

#include <QImage>
#include <QWidget>
#include <cstdint>
#include <vector>

namespace qelm {

class AppContext;

/// One of the panel's two screens, drawn from its half of the shared raster at a zoom of 100 to
/// 300 % with every screen pixel kept sharp (nearest-neighbour). Only rows that changed since
/// the last look at the raster are zoomed and repainted. The left button on it is a touch of
/// that screen at the screen pixel under the pointer.
class ScreenControl final : public QWidget {
  Q_OBJECT

 public:
  /// `screen` 0 is the left screen, 1 the right. Without a context the screen shows black.
  ScreenControl(int screen, AppContext* context, QWidget* parent = nullptr);

  int screen() const { return screen_; }
  /// Number of paints so far.
  int paintCount() const { return paintCount_; }
  /// Looks at the raster and repaints the rows that changed; nothing when none did. Called on
  /// every engine notice and timer tick.
  void refresh();
  /// Zoom in percent (one of `kZoomLevels`): monitor pixels per 100 screen pixels. The control
  /// takes the size of the zoomed screen in the monitor's pixels.
  void setZoom(int zoom);
  int zoom() const { return zoom_; }
  /// The screen pixel under `position` (the control's own coordinates), clamped to the screen.
  QPoint screenPixelAt(QPointF position) const;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  /// Takes the rows that changed from the raster into the picture; the part of the control
  /// they cover (empty when none changed).
  QRect takeChanges();

  int screen_;
  AppContext* context_;
  int zoom_ = 100;
  double pixelRatio_ = 1.0;     // monitor pixels per widget unit when the zoom was set
  std::vector<uint32_t> copy_;  // the screen at 1:1 as last taken from the raster
  QImage frame_;                // the screen as drawn, in monitor pixels
  int paintCount_ = 0;
};

}  // namespace qelm
