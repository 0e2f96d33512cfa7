#include "shell/window_settings.h"

#include <sys/stat.h>

#include <QFile>
#include <QGuiApplication>
#include <QScreen>
#include <algorithm>
#include <cstdlib>

#include "core/log.h"
#include "platform/folders.h"
#include "shell/zoom.h"

namespace qelm {

namespace {

const char* const kPositionKey = "window/position";
const char* const kZoomKey = "window/zoom";
const char* const kConsoleKey = "window/console";

// How much of the window's top edge must lie on a screen for the operator to grab it.
constexpr int kGrabWidth = 100;
constexpr int kGrabHeight = 20;

// Qt reads and writes the settings file, and takes its lock file, through calls that wait on a
// named pipe (and start again after every signal): only files that are absent or regular are
// left to it.
bool safeToOpen(const std::string& path) {
  for (const std::string& file : {path, path + ".lock"}) {
    struct stat info {};
    if (::stat(file.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) return false;
  }
  return true;
}

}  // namespace

std::string windowSettingsPath() {
  const char* configHome = std::getenv("XDG_CONFIG_HOME");
  const std::string folder = configHome != nullptr && configHome[0] == '/'
                                 ? platform::withTrailingSlash(configHome)
                                 : platform::homeFolder() + ".config/";
  return folder + kSettingsOrganisation + "/" + kSettingsApplication + ".conf";
}

std::unique_ptr<QSettings> openWindowSettings() {
  const std::string path = windowSettingsPath();
  if (!safeToOpen(path)) {
    logMessage(kLogInfo, "Window settings \"%s\" are not a regular file: ignored, defaults used\n",
               path.c_str());
    return nullptr;
  }
  // Named by its path rather than by organisation and application, so that Qt reads this one
  // file, the one checked above, and none of its fallbacks.
  return std::make_unique<QSettings>(QFile::decodeName(QByteArray::fromStdString(path)),
                                     QSettings::IniFormat);
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
  const std::string path = QFile::encodeName(settings.fileName()).toStdString();
  if (!safeToOpen(path)) {
    logMessage(kLogInfo, "Window settings \"%s\" are not a regular file: not saved\n",
               path.c_str());
    return;
  }
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
