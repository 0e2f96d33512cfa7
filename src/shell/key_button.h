#pragma once

#include <QAbstractButton>
#include <QColor>
#include <cstdint>

namespace qelm {

class WinInput;

/// One of the sixteen panel keys: a button whose face shows the key's lamp colour. A click
/// queues the key's press and release pair. It never takes the keyboard focus, which stays with
/// the panel.
class KeyButton final : public QAbstractButton {
  Q_OBJECT

 public:
  /// `code` is the panel key code 1..16; `text` may hold a line break.
  KeyButton(int32_t code, const QString& text, WinInput& input, QWidget* parent = nullptr);

  int32_t code() const { return code_; }
  QColor lampColor() const { return lampColor_; }
  void setLampColor(const QColor& color);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  int32_t code_;
  QColor lampColor_;
};

}  // namespace qelm
