#include "shell/key_button.h"

#include <QPainter>
#include <algorithm>

#include "core/win_input.h"

namespace qelm {

KeyButton::KeyButton(int32_t code, const QString& text, WinInput& input, QWidget* parent)
    : QAbstractButton(parent), code_(code) {
  setText(text);
  setFocusPolicy(Qt::NoFocus);
  connect(this, &QAbstractButton::clicked, this, [&input, code] { input.queueKey(code); });
}

void KeyButton::setLamp(LampState lamp) {
  if (lamp != LampState::kLit && lamp != LampState::kBright) lamp = LampState::kOff;
  if (lamp == lamp_) return;
  lamp_ = lamp;
  update();
}

QColor KeyButton::lampColor() const {
  switch (lamp_) {
    case LampState::kLit:
      return QColor(100, 255, 100);
    case LampState::kBright:
      return QColor(0, 255, 0);
    default:
      return palette().color(QPalette::Button);
  }
}

void KeyButton::paintEvent(QPaintEvent*) {
  // A key changes only with its lamp, its push and its size: each look is drawn once and kept.
  const qreal ratio = devicePixelRatioF();
  const QString key = QString("%1x%2@%3 %4 %5 %6 %7")
                          .arg(width())
                          .arg(height())
                          .arg(ratio)
                          .arg(static_cast<int>(lamp_))
                          .arg(isDown())
                          .arg(font().key())
                          .arg(palette().cacheKey());
  if (picture_.isNull() || key != pictureKey_) {
    picture_ = QPixmap((QSizeF(size()) * ratio).toSize());
    picture_.setDevicePixelRatio(ratio);
    picture_.fill(Qt::transparent);
    QPainter picturePainter(&picture_);
    paintKey(picturePainter);
    pictureKey_ = key;
  }
  QPainter painter(this);
  painter.drawPixmap(0, 0, picture_);
}

void KeyButton::paintKey(QPainter& painter) const {
  // Drawn in proportion to the key, so it stays sharp at every zoom.
  painter.setFont(font());
  painter.setRenderHint(QPainter::Antialiasing);
  const qreal size = std::min(width(), height());
  const qreal line = std::max<qreal>(1.0, size / 40);
  const qreal corner = size * 0.14;
  const QRectF bezel = QRectF(rect()).adjusted(line / 2, line / 2, -line / 2, -line / 2);

  // The bezel the cap sits in.
  painter.setPen(QPen(palette().color(QPalette::Shadow), line));
  painter.setBrush(palette().color(QPalette::Mid));
  painter.drawRoundedRect(bezel, corner, corner);

  // The cap: lit from above, pressed in (smaller and darker) while pushed.
  const qreal inset = size * (isDown() ? 0.10 : 0.07);
  const QRectF cap = bezel.adjusted(inset, inset * 0.8, -inset, -inset * 1.2);
  const QColor face = lampColor();
  QLinearGradient light(cap.topLeft(), cap.bottomLeft());
  light.setColorAt(0.0, isDown() ? face.darker(115) : face.lighter(112));
  light.setColorAt(1.0, isDown() ? face.darker(100) : face.darker(112));
  painter.setPen(QPen(face.darker(160), line * 0.75));
  painter.setBrush(light);
  painter.drawRoundedRect(cap, corner * 0.8, corner * 0.8);
  // A bright lamp glows through the middle of the cap.
  if (lamp_ == LampState::kBright) {
    QRadialGradient glow(cap.center(), std::max(cap.width(), cap.height()) * 0.6);
    glow.setColorAt(0.0, QColor(255, 255, 255, 120));
    glow.setColorAt(1.0, QColor(255, 255, 255, 0));
    painter.setPen(Qt::NoPen);
    painter.setBrush(glow);
    painter.drawRoundedRect(cap, corner * 0.8, corner * 0.8);
  }
  painter.setPen(lamp_ == LampState::kOff ? palette().color(QPalette::ButtonText)
                                          : QColor(0x10, 0x30, 0x10));
  painter.drawText(cap, Qt::AlignCenter, text());
}

}  // namespace qelm
