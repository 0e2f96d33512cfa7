#include "shell/window_settings.h"

#include <QGuiApplication>
#include <QScreen>
#include <algorithm>

#include "shell/zoom.h"

namespace qelm {

namespace {

const char* const kPositionKey = "window/position";
const char* const kZoomKey = "window/zoom";
const char* const kConsoleKey = "window/console";

// How much of the window's top edge must lie on a screen for the operator to grab it.
constexpr int kGrabWidth = 100;
constexpr int kGrabHeight = 20;

}  // namespace

std::unique_ptr<QSettings> openWindowSettings() {
  return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                     kSettingsOrganisation, kSettingsApplication);
}

WindowState loadWindowState(const QSettings& settings) {
  WindowState state;
  const QVariant position = settings.value(kPositionKey);
  if (position.typeId() == QMetaType::QPoint) state.position = position.toPoint();
  bool number = false;
  const int zoom = settings.value(kZoomKey).toInt(&number);
  if (number && isZoomLevel(zoom)) state.zoom = zoom;
  state.consoleShown = settings.value(kConsoleKey, false).toBool();
  return state;
}

void saveWindowState(QSettings& settings, const WindowState& state) {
  if (state.position)
    settings.setValue(kPositionKey, *state.position);
  else
    settings.remove(kPositionKey);
  if (state.zoom)
    settings.setValue(kZoomKey, *state.zoom);
  else
    settings.remove(kZoomKey);
  settings.setValue(kConsoleKey, state.consoleShown);
  settings.sync();
}

bool reachableOnDesktop(QPoint position, QSize size) {
  const QRect topEdge(position, QSize(std::max(size.width(), 1), kGrabHeight));
  for (const QScreen* screen : QGuiApplication::screens()) {
    const QRect seen = screen->availableGeometry().intersected(topEdge);
    if (seen.width() >= std::min(kGrabWidth, topEdge.width()) && seen.height() >= kGrabHeight)
      return true;
  }
  return false;
}

}  // namespace qelm
