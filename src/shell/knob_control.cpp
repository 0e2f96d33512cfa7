#include "shell/knob_control.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <cmath>
#include <numbers>

#include "core/win_input.h"

namespace qelm {

namespace {

// The knob's colours on the normal panel and on the dark blue one; the pointers keep the
// indicator colours of the plain knob (black, and light green on dark).
struct Shades {
  QColor skirtLit, skirt, skirtEdge, outline, capHigh, capLow, pointer;
};
const Shades kLightShades{{0xFA, 0xFA, 0xFA}, {0xC8, 0xC8, 0xC8}, {0x98, 0x98, 0x98},
                          {0x50, 0x50, 0x50}, {0xFF, 0xFF, 0xFF}, {0xCC, 0xCC, 0xCC},
                          {0x00, 0x00, 0x00}};
const Shades kDarkShades{{0x6A, 0x70, 0x84}, {0x3A, 0x3F, 0x4E}, {0x22, 0x25, 0x30},
                         {0x10, 0x12, 0x18}, {0x55, 0x5B, 0x6E}, {0x2C, 0x30, 0x3C},
                         {0x90, 0xEE, 0x90}};
const QColor kHeldRing(0xFF, 0xB0, 0x00);
constexpr int kMarks = 360 / KnobControl::kDegreesPerStep;

// The point at `radius` from `centre` in the direction `degrees` clockwise from twelve o'clock.
QPointF polar(QPointF centre, qreal radius, qreal degrees) {
  const qreal radians = degrees * std::numbers::pi / 180.0;
  return centre + QPointF(radius * std::sin(radians), -radius * std::cos(radians));
}

}  // namespace

KnobControl::KnobControl(int index, WinInput& input, QWidget* parent)
    : QWidget(parent), index_(index), input_(input) {
  setMouseTracking(true);
  holdTimer_.setSingleShot(true);
  holdTimer_.setInterval(static_cast<int>(WinInput::kHoldTimeMs));
  connect(&holdTimer_, &QTimer::timeout, this, [this] { setLook(Look::kHeld); });
}

void KnobControl::setTheme(int32_t theme) {
  theme_ = theme;
  update();
}

void KnobControl::setLook(Look look) {
  if (look == look_) return;
  look_ = look;
  update();
}

void KnobControl::turnByWheel(int delta) {
  // A change of direction starts afresh rather than paying back the other way's rest.
  if ((delta > 0 && wheelRest_ < 0) || (delta < 0 && wheelRest_ > 0)) wheelRest_ = 0;
  wheelRest_ += delta;
  while (wheelRest_ >= kWheelNotch) {
    wheelRest_ -= kWheelNotch;
    --steps_;
    input_.queueKnobTurn(index_, true);
  }
  while (wheelRest_ <= -kWheelNotch) {
    wheelRest_ += kWheelNotch;
    ++steps_;
    input_.queueKnobTurn(index_, false);
  }
  update();
}

void KnobControl::paintBody(QPainter& painter) const {
  // Everything is drawn in proportion to the control, so the knob is as sharp at 300 % as at
  // 100 %.
  painter.setRenderHint(QPainter::Antialiasing);
  const bool dark = theme_ != 0;
  const qreal size = std::min(width(), height());
  const qreal radius = size / 2;
  const QPointF centre = QRectF(rect()).center();
  const qreal line = std::max<qreal>(1.0, size / 40);

  // One mark per step around the knob: a full turn is 24 steps.
  painter.setPen(Qt::NoPen);
  painter.setBrush(dark ? QColor(0xC0, 0xD0, 0xFF, 150) : QColor(0, 0, 0, 110));
  const qreal mark = std::max<qreal>(0.7, radius * 0.035);
  for (int i = 0; i < kMarks; ++i)
    painter.drawEllipse(polar(centre, radius * 0.92, i * kDegreesPerStep), mark, mark);

  // A pushed knob sinks a little and loses its shadow.
  const bool pushed = look_ != Look::kResting;
  const QPointF body = bodyCentre();
  const qreal skirt = radius * 0.80;
  if (look_ == Look::kHeld) {
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(kHeldRing, radius * 0.09));
    painter.drawEllipse(body, radius * 0.84, radius * 0.84);
  } else if (!pushed) {
    painter.setBrush(QColor(0, 0, 0, dark ? 90 : 55));
    painter.drawEllipse(centre + QPointF(0, size * 0.035), skirt, skirt);
  }

  // The skirt: lit from the top left.
  QRadialGradient skirtLight(body, skirt, body - QPointF(skirt * 0.35, skirt * 0.45));
  const Shades& shades = dark ? kDarkShades : kLightShades;
  skirtLight.setColorAt(0.0, shades.skirtLit);
  skirtLight.setColorAt(0.75, shades.skirt);
  skirtLight.setColorAt(1.0, shades.skirtEdge);
  painter.setBrush(skirtLight);
  painter.setPen(QPen(shades.outline, line));
  painter.drawEllipse(body, skirt, skirt);

  // The cap: convex at rest, dished while pushed in.
  const qreal cap = radius * 0.58;
  QLinearGradient capLight(body - QPointF(0, cap), body + QPointF(0, cap));
  capLight.setColorAt(0.0, pushed ? shades.capLow : shades.capHigh);
  capLight.setColorAt(1.0, pushed ? shades.capHigh : shades.capLow);
  painter.setBrush(capLight);
  painter.setPen(QPen(shades.outline, line * 0.75));
  painter.drawEllipse(body, cap, cap);
}

QPointF KnobControl::bodyCentre() const {
  const qreal size = std::min(width(), height());
  return QRectF(rect()).center() + QPointF(0, look_ != Look::kResting ? size * 0.02 : 0);
}

void KnobControl::paintEvent(QPaintEvent*) {
  // The knob without its pointer changes only with its size, theme and look: it is drawn once
  // for them and kept; each paint adds the pointer. The panel's background shows around it.
  const qreal ratio = devicePixelRatioF();
  const BodyKey key{size(), ratio, theme_, look_};
  if (body_.isNull() || !(key == bodyKey_)) {
    body_ = QPixmap((QSizeF(size()) * ratio).toSize());
    body_.setDevicePixelRatio(ratio);
    body_.fill(Qt::transparent);
    QPainter bodyPainter(&body_);
    paintBody(bodyPainter);
    bodyKey_ = key;
  }
  QPainter painter(this);
  painter.drawPixmap(0, 0, body_);

  // The pointer turns clockwise from twelve o'clock by one mark per step.
  painter.setRenderHint(QPainter::Antialiasing);
  const qreal size = std::min(width(), height());
  const qreal radius = size / 2;
  const QPointF body = bodyCentre();
  const qreal degrees = (steps_ % kMarks) * kDegreesPerStep;
  QPen pointer((theme_ != 0 ? kDarkShades : kLightShades).pointer,
               std::max<qreal>(1.5, size * 0.08));
  pointer.setCapStyle(Qt::RoundCap);
  painter.setPen(pointer);
  painter.drawLine(polar(body, radius * 0.12, degrees), polar(body, radius * 0.70, degrees));
}

void KnobControl::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  input_.queueKnobButton(index_, true);
  setLook(Look::kPushed);
  holdTimer_.start();
}

void KnobControl::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  input_.queueKnobButton(index_, false);
  holdTimer_.stop();
  setLook(Look::kResting);
}

void KnobControl::mouseMoveEvent(QMouseEvent*) {
  emit hovered(this);
}

void KnobControl::enterEvent(QEnterEvent*) {
  emit hovered(this);
}

}  // namespace qelm
