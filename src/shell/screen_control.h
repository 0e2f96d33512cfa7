#pragma once

#include <QImage>
#include <QWidget>

namespace qelm {

class AppContext;

/// One of the panel's two screens, shown 1:1 at 480 x 272 pixels from its half of the shared
/// raster. The left button on it is a touch of that screen at the pointer's position.
class ScreenControl final : public QWidget {
  Q_OBJECT

 public:
  /// `screen` 0 is the left screen, 1 the right. Without a context the screen shows black.
  ScreenControl(int screen, AppContext* context, QWidget* parent = nullptr);

  int screen() const { return screen_; }
  /// Number of paints so far (how often the picture was copied from the raster).
  int paintCount() const { return paintCount_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  void copyFromRaster();

  int screen_;
  AppContext* context_;
  QImage frame_;
  int paintCount_ = 0;
};

}  // namespace qelm
