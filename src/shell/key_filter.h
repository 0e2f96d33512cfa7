#pragma once

#include <QObject>
#include <cstdint>
#include <map>
#include <optional>

#include "core/input.h"

class QKeyEvent;
class QWidget;

namespace qelm {

class WinInput;

/// The panel key a keyboard key stands for, or nothing: digits (main row and numeric pad) the
/// digit keys, minus and full stop (and the numeric pad's decimal key) ". -", Backspace the back
/// arrow, D Select Device, S Select Submenu, Escape Cancel, Enter and Return Enter.
std::optional<PanelKey> panelKeyFor(int qtKey, Qt::KeyboardModifiers modifiers);

/// Turns the keyboard into panel keys while the main window is the active window. Installed on
/// the application, it sees every key before any widget does. A tap queues the key's press and
/// release pair when the key goes up; a key held down queues one pair per auto-repeat and one
/// more when it goes up. Keys it maps never reach the widgets, so Enter and Escape cannot close
/// or trigger anything; other keys pass untouched. It remembers the keys it saw go down, so
/// every pair answers a press made in this window, and forgets them when the window loses the
/// focus.
class KeyFilter final : public QObject {
  Q_OBJECT

 public:
  KeyFilter(QWidget* window, WinInput& input, QObject* parent = nullptr);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  bool windowIsActive() const;
  bool keyEvent(const QKeyEvent& key, bool press);

  QWidget* window_;
  WinInput& input_;
  std::map<quint64, PanelKey> held_;  // keys seen going down -> their panel key
};

}  // namespace qelm
