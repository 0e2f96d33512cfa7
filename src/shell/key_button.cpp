#include "shell/key_button.h"

#include <QPainter>

#include "core/win_input.h"

namespace qelm {

KeyButton::KeyButton(int32_t code, const QString& text, WinInput& input, QWidget* parent)
    : QAbstractButton(parent), code_(code), lampColor_(0, 255, 0) {
  setText(text);
  setFocusPolicy(Qt::NoFocus);
  connect(this, &QAbstractButton::clicked, this, [&input, code] { input.queueKey(code); });
}

void KeyButton::setLampColor(const QColor& color) {
  if (color == lampColor_) return;
  lampColor_ = color;
  update();
}

void KeyButton::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const QRectF face = QRectF(rect()).adjusted(1.5, 1.5, -1.5, -1.5);
  // A pressed key looks pushed in: its face darkens a little.
  painter.setBrush(isDown() ? lampColor_.darker(125) : lampColor_);
  painter.setPen(QPen(palette().color(QPalette::Shadow), isDown() ? 2 : 1));
  painter.drawRoundedRect(face, 3, 3);
  painter.setPen(palette().color(QPalette::ButtonText));
  painter.drawText(rect(), Qt::AlignCenter, text());
}

}  // namespace qelm
