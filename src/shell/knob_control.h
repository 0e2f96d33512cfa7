#pragma once

#include <QPixmap>
#include <QTimer>
#include <QWidget>
#include <cstdint>

namespace qelm {

class WinInput;

/// One of the eight push-knobs: a shaded knob whose pointer turns 15 degrees per step, with a
/// mark for each step around it. Wheel steps are knob turns, the left button pushes and releases
/// the knob. A pushed knob looks pressed in; held past the engine's hold time (when the panel
/// resets the knob's item) it gets an amber ring.
class KnobControl final : public QWidget {
  Q_OBJECT

 public:
  /// One wheel notch, in the wheel's eighths of a degree.
  static constexpr int kWheelNotch = 120;
  /// Degrees the pointer moves per step.
  static constexpr int kDegreesPerStep = 15;

  /// How the knob looks: at rest, pushed, or pushed for longer than the hold time.
  enum class Look { kResting, kPushed, kHeld };

  /// `index` 0..7; knob i sends code 18 + i.
  KnobControl(int index, WinInput& input, QWidget* parent = nullptr);

  int index() const { return index_; }
  /// Turn count: -1 per step away from the user, +1 per step towards them (the pointer turns
  /// clockwise from twelve o'clock by 15 degrees per count).
  int32_t steps() const { return steps_; }
  /// The colour theme the window last gave it; non-zero draws the dark variant.
  void setTheme(int32_t theme);
  int32_t theme() const { return theme_; }
  /// How the knob looks now (pushed and held follow the left button and the hold time).
  Look look() const { return look_; }
  /// Turns the knob by a wheel delta (positive: away from the user): one step, and one turn
  /// event, per full notch. Smaller deltas, as touchpads and fine wheels send them, add up.
  void turnByWheel(int delta);

 signals:
  /// The pointer moved over the knob: it becomes the wheel's knob.
  void hovered(KnobControl* knob);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void enterEvent(QEnterEvent* event) override;

 private:
  // What the knob's body was last drawn for.
  struct BodyKey {
    QSize size;
    qreal ratio = 0;
    int32_t theme = 0;
    Look look = Look::kResting;
    bool operator==(const BodyKey&) const = default;
  };

  void setLook(Look look);
  void paintBody(QPainter& painter) const;
  QPointF bodyCentre() const;

  int index_;
  WinInput& input_;
  int32_t steps_ = 0;
  int32_t theme_ = 0;
  int wheelRest_ = 0;  // part of a notch not yet turned
  Look look_ = Look::kResting;
  QTimer holdTimer_;  // runs while the knob is pushed
  QPixmap body_;      // the knob without its pointer
  BodyKey bodyKey_;
};

}  // namespace qelm
