#pragma once

#include <QPoint>
#include <QRect>
#include <QSettings>
#include <QString>
#include <memory>
#include <optional>
#include <string>

namespace qelm {

/// The organisation and application names of the window's settings: the file is
/// qelm/qelm.conf in the user's configuration folder.
inline constexpr const char* kSettingsOrganisation = "qelm";
inline constexpr const char* kSettingsApplication = "qelm";

/// How the operator left the window, restored at the next start.
struct WindowState {
  std::optional<QPoint> position;  ///< top-left corner of the frame; none: the desktop places it
  std::optional<int> zoom;         ///< one of `kZoomLevels`; none: the monitor's default
  bool consoleShown = false;
};

/// Path of the window settings file: the user's configuration folder ($XDG_CONFIG_HOME when it
/// is an absolute path, else ~/.config/) + "qelm/qelm.conf", where Qt keeps the settings of
/// this organisation and application.
std::string windowSettingsPath();
/// The user's window settings (never shared with other users). None when the file, or the lock
/// file beside it, exists and is not a regular file: reading a named pipe would wait for a
/// writer for good. That is logged; the window then starts with its defaults and saves nothing.
std::unique_ptr<QSettings> openWindowSettings();
/// Reads the state; entries that are missing or not valid (a zoom not offered, a position that
/// is not a point) are left out rather than guessed.
WindowState loadWindowState(const QSettings& settings);
/// Writes the state; an absent position or zoom removes the stored one. Nothing is written (it
/// is logged) when the file has meanwhile become something other than a regular file.
void saveWindowState(QSettings& settings, const WindowState& state);
/// True when a window of `size` with its frame at `position` would show enough of its top edge
/// on one of the desktop's screens to be dragged back (a monitor may have been unplugged).
bool reachableOnDesktop(QPoint position, QSize size);

}  // namespace qelm
