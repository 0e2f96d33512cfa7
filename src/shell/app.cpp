#include "shell/app.h"

#include <unistd.h>

#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "core/log.h"
#include "install/installation.h"
#include "platform/folders.h"
#include "shell/command_line.h"
#include "shell/main_dialog.h"

namespace qelm {

namespace {

// How long a start-up that has not reached the event loop yet gets, after SIGINT or SIGTERM, to
// get there and close the window in order. The start-up may never get there: Qt starts its
// file reads again after every signal, so a read of a named pipe waits for good.
constexpr unsigned kStartupGraceSeconds = 2;

// The state the signal handlers share; a handler can reach nothing but process-wide state, and
// signals are delivered to the process as a whole.
// Set by SIGINT and SIGTERM; the window closes when its event loop sees it.
std::atomic<bool> closeRequested{false};
// Whether the event loop runs and looks at `closeRequested`.
std::atomic<bool> closeWatched{false};
// The first close signal that came before that: the one that ends a start-up that is stuck.
std::atomic<int> startupSignal{0};

extern "C" void onCloseSignal(int number) {
  closeRequested.store(true);
  if (!closeWatched.load() && startupSignal.exchange(number) == 0) alarm(kStartupGraceSeconds);
}

// The grace is over and the event loop has not taken the request: the close signal takes its
// default action, as if it had never been caught.
extern "C" void onStartupGraceOver(int) {
  const int number = startupSignal.load();
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(number, &action, nullptr);
  raise(number);
}

void catchCloseSignals() {
  struct sigaction action {};
  action.sa_handler = onCloseSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  action.sa_handler = onStartupGraceOver;
  sigaction(SIGALRM, &action, nullptr);
}

// From now on the event loop serves close requests, including one that came during start-up.
void watchCloseRequests() {
  closeWatched.store(true);
  alarm(0);
}

// The window whose engine must stop before the program's static objects go. Qt ends the program
// with exit() when the display goes away (an X server that died): main() then never returns,
// and the engine thread would run on into destroyed statics. Process-wide, as exit() is.
std::atomic<CVadEDERDlg*> windowAtExit{nullptr};

extern "C" void stopEngineAtExit() {
  if (CVadEDERDlg* window = windowAtExit.exchange(nullptr)) {
    logMessage(kLogInfo, "The display went away: stopping the engine\n");
    // The shutdown stops the loudness sessions and writes their reports.
    window->runner().stop();
  }
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
  // Registered after every static the engine uses exists, so it runs before they are destroyed.
  std::atexit(stopEngineAtExit);
  windowAtExit.store(&dialog);
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
    if (closeRequested.exchange(false)) dialog.closeUnasked();
  });
  signalWatch.start(100);
  watchCloseRequests();
  const int code = application.exec();
  windowAtExit.store(nullptr);
  return code;
}

}  // namespace qelm
