#pragma once

#include <QAbstractButton>
#include <QColor>
#include <QPixmap>
#include <cstdint>

#include "core/input.h"

namespace qelm {

class WinInput;

/// One of the sixteen panel keys: a key cap that shows the key's lamp (off, lit or bright). A
/// click queues the key's press and release pair. It never takes the keyboard focus, which stays
/// with the panel.
class KeyButton final : public QAbstractButton {
  Q_OBJECT

 public:
  /// `code` is the panel key code 1..16; `text` may hold a line break. The lamp starts bright,
  /// as the panel's keys do until the engine first sets them.
  KeyButton(int32_t code, const QString& text, WinInput& input, QWidget* parent = nullptr);

  int32_t code() const { return code_; }
  /// State 1 shows as off, as the panel's lamps do.
  void setLamp(LampState lamp);
  /// kOff, kLit or kBright.
  LampState lamp() const { return lamp_; }
  /// The colour of the cap: green for a lit lamp, bright green for a bright one, the button
  /// colour of the style when off.
  QColor lampColor() const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void paintKey(QPainter& painter) const;

  int32_t code_;
  LampState lamp_ = LampState::kBright;
  QPixmap picture_;     // the key as last drawn
  QString pictureKey_;  // what it was drawn for
};

}  // namespace qelm
