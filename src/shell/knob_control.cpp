#include "shell/knob_control.h"

#include <QMouseEvent>
#include <QPainter>

#include "core/win_input.h"

namespace qelm {

namespace {

const QColor kDarkBackground(0, 19, 130);

}  // namespace

KnobControl::KnobControl(int index, WinInput& input, QWidget* parent)
    : QWidget(parent), index_(index), input_(input) {
  setAttribute(Qt::WA_OpaquePaintEvent);
  setMouseTracking(true);
}

void KnobControl::setTheme(int32_t theme) {
  theme_ = theme;
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

void KnobControl::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.fillRect(rect(), theme_ != 0 ? kDarkBackground : palette().color(QPalette::Button));
  const QRect inset = rect().adjusted(3, 3, -3, -3);
  const QRectF knob(inset.left(), inset.top(), inset.width() - 1, inset.height() - 1);
  painter.setPen(Qt::NoPen);
  painter.setBrush(Qt::white);
  painter.drawEllipse(knob);
  painter.setBrush(Qt::NoBrush);
  painter.setPen(QPen(QColor(0xD3, 0xD3, 0xD3), 1));
  painter.drawEllipse(knob);
  painter.setPen(QPen(QColor(0x80, 0x80, 0x80), 1));
  painter.drawEllipse(knob);
  // The indicator starts at steps x 15 degrees clockwise from three o'clock and spans 45
  // degrees clockwise; the painter counts counter-clockwise in sixteenths of a degree.
  const int start = (steps_ % (360 / kDegreesPerStep)) * kDegreesPerStep;
  painter.setPen(QPen(theme_ != 0 ? QColor(0x90, 0xEE, 0x90) : QColor(Qt::black), 3));
  painter.drawArc(knob, -start * 16, -45 * 16);
}

void KnobControl::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) input_.queueKnobButton(index_, true);
}

void KnobControl::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) input_.queueKnobButton(index_, false);
}

void KnobControl::mouseMoveEvent(QMouseEvent*) {
  emit hovered(this);
}

void KnobControl::enterEvent(QEnterEvent*) {
  emit hovered(this);
}

}  // namespace qelm
