#include "shell/app.h"

#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "install/installation.h"
#include "platform/folders.h"
#include "shell/command_line.h"
#include "shell/main_dialog.h"

namespace qelm {

namespace {

// Set by SIGINT and SIGTERM. A signal handler can reach nothing but process-wide state, and
// signals are delivered to the process as a whole.
std::atomic<bool> closeRequested{false};

extern "C" void onCloseSignal(int) {
  closeRequested.store(true);
}

void catchCloseSignals() {
  struct sigaction action {};
  action.sa_handler = onCloseSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

// A message box can be shown only where there is a display; the offscreen and minimal platforms
// have none that anybody sees, and a modal box there would wait forever.
bool canShowWindows() {
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  const std::string chosen = platform != nullptr ? platform : "";
  if (chosen.rfind("offscreen", 0) == 0 || chosen.rfind("minimal", 0) == 0) return false;
  if (!chosen.empty()) return true;
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

}  // namespace

CVadEDERApp::CVadEDERApp(int& argc, char** argv) : argc_(argc), argv_(argv) {}

int CVadEDERApp::run() {
  const std::vector<std::string> args(argv_ + 1, argv_ + argc_);
  const CVadEDERCommandLineInfo info = parseCommandLine(args);
  if (info.help) {
    std::cout << desktopHelp();
    return 0;
  }
  const Folders folders = desktopFolders(info, platform::executableFolder());

  if (info.upgrade) {
    prepareFolders(folders);
    const MigrationResult result = migrateOldInstallation(folders, olderInstallationFolder());
    if (result.ok) return 0;
    std::cerr << "qelm: " << result.message << '\n';
    if (canShowWindows()) {
      QApplication application(argc_, argv_);
      QMessageBox::critical(nullptr, "Marvex Vurezoz QELM", QString::fromStdString(result.message));
    }
    return 1;
  }

  catchCloseSignals();
  QApplication application(argc_, argv_);
  QApplication::setApplicationName("qelm");
  // Ties the window to the desktop entry (its icon and name in docks and task bars).
  QGuiApplication::setDesktopFileName("qelm");
  const std::string problem = prepareFolders(folders);
  CVadEDERDlg dialog(folders);
  dialog.show();
  // Without its folders the panel shows only noise and lit keys: the user is told why (the log,
  // and so the console, has the line too).
  if (!problem.empty()) {
    std::cerr << "qelm: " << problem << '\n';
    if (canShowWindows())
      QMessageBox::warning(&dialog, "Marvex Vurezoz QELM", QString::fromStdString(problem));
  }
  QTimer signalWatch;
  QObject::connect(&signalWatch, &QTimer::timeout, &dialog, [&dialog] {
    if (closeRequested.exchange(false)) dialog.close();
  });
  signalWatch.start(100);
  return application.exec();
}

}  // namespace qelm
