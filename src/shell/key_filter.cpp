#include "shell/key_filter.h"

#include <QApplication>
#include <QKeyEvent>
#include <QWidget>

#include "core/win_input.h"

namespace qelm {

namespace {

// Which physical key an event belongs to. The scan code stays the same while Shift changes
// the key's symbol between press and release; synthetic events without one fall back to the
// symbol.
quint64 keyIdentity(const QKeyEvent& key) {
  if (key.nativeScanCode() != 0) return (quint64{1} << 32) | key.nativeScanCode();
  return static_cast<quint32>(key.key());
}

}  // namespace

std::optional<PanelKey> panelKeyFor(int qtKey, Qt::KeyboardModifiers modifiers) {
  if (qtKey >= Qt::Key_0 && qtKey <= Qt::Key_9) return digitKey(qtKey - Qt::Key_0);
  switch (qtKey) {
    case Qt::Key_Minus:
    case Qt::Key_Period:
      return PanelKey::kContext;
    case Qt::Key_Comma:
      // The numeric pad's decimal key gives a comma on many layouts.
      if (modifiers.testFlag(Qt::KeypadModifier)) return PanelKey::kContext;
      return std::nullopt;
    case Qt::Key_Backspace:
      return PanelKey::kBack;
    case Qt::Key_D:
      return PanelKey::kSelectDevice;
    case Qt::Key_S:
      return PanelKey::kSelectSubmenu;
    case Qt::Key_Escape:
      return PanelKey::kCancel;
    case Qt::Key_Return:
    case Qt::Key_Enter:
      return PanelKey::kEnter;
    default:
      return std::nullopt;
  }
}

KeyFilter::KeyFilter(QWidget* window, WinInput& input, QObject* parent)
    : QObject(parent), window_(window), input_(input) {}

bool KeyFilter::windowIsActive() const {
  return QApplication::activeWindow() == window_ && QApplication::activePopupWidget() == nullptr &&
         QApplication::activeModalWidget() == nullptr;
}

bool KeyFilter::eventFilter(QObject* watched, QEvent* event) {
  switch (event->type()) {
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
      if (!windowIsActive()) return false;
      return keyEvent(*static_cast<QKeyEvent*>(event), event->type() == QEvent::KeyPress);
    case QEvent::WindowDeactivate:
      // A key that goes up while another window has the focus is never seen here.
      if (watched == window_) held_.clear();
      return false;
    default:
      return false;
  }
}

bool KeyFilter::keyEvent(const QKeyEvent& key, bool press) {
  const quint64 id = keyIdentity(key);
  const auto held = held_.find(id);
  if (press) {
    const std::optional<PanelKey> panelKey = panelKeyFor(key.key(), key.modifiers());
    if (!panelKey) return false;
    held_[id] = *panelKey;
    // The first press only marks the key as down; its pair is queued when it goes up.
    if (key.isAutoRepeat()) input_.queueKey(codeOf(*panelKey));
    return true;
  }
  if (held == held_.end()) return panelKeyFor(key.key(), key.modifiers()).has_value();
  // An auto-repeated key goes up and down again for each repeat; only the last release counts.
  if (key.isAutoRepeat()) return true;
  input_.queueKey(codeOf(held->second));
  held_.erase(held);
  return true;
}

}  // namespace qelm
