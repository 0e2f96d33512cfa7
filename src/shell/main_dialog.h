#pragma once

#include <QDateTime>
#include <QFont>
#include <QMainWindow>
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/engine_thread.h"
#include "shell/config_watch.h"
#include "shell/console_feed.h"
#include "shell/remote_dialog.h"

class QAction;
class QCheckBox;
class QActionGroup;
class QListWidget;
class QMenu;
class QPushButton;
class QSettings;
class QTimer;
class QUrl;

namespace qelm {

namespace remote {
class RemoteServer;
}

class KeyButton;
class KeyFilter;
class KnobControl;
class ScreenControl;

/// Passes the engine's "screens changed" notice to the window thread: posts one queued call and
/// returns at once; while a call is still pending, further notices are folded into it.
class ScreenChangeRelay final : public ScreenNotifier {
 public:
  /// `onChange` runs on the thread of `receiver`, which must outlive every notice.
  ScreenChangeRelay(QObject* receiver, std::function<void()> onChange);
  void screenChanged() override;

 private:
  QObject* receiver_;
  std::function<void()> onChange_;
  std::atomic<bool> pending_{false};
};

/// One line of Help -> Keyboard Shortcuts: what a key does and the keyboard keys for it.
struct Shortcut {
  QString what;
  QString keys;
};

/// The text of the configuration error box for the contents of the "error" file.
QString configurationErrorText(const std::string& errorFileText);
/// The configuration file named in the error file's "at PATH:LINE message", or empty.
std::string configurationErrorFile(const std::string& errorFileText);

/// The main window: the panel's two screens, eight knobs and sixteen lamp keys, the console
/// with the log, and the menus. It owns the engine thread: starts it when created, restarts it
/// when the configuration file changed and the user agrees, and stops it when closed. It comes
/// back where, as large and with the console as the operator left it (the user's settings).
class CVadEDERDlg final : public QMainWindow {
  Q_OBJECT

 public:
  /// A session request is given up when the engine has not answered within this time.
  static constexpr uint32_t kSessionReplyLimitMs = 10000;
  /// Both session dialogs show the files Save Session writes (".dat") and older ".SES" ones.
  static constexpr const char* kSessionFilter = "Session Files (*.dat *.SES);;All Files (*)";
  /// Why Save Session (Load Session) is greyed out in the menu.
  static constexpr const char* kSaveSessionUnavailable =
      "Save Session is available while the session on show is paused";
  static constexpr const char* kLoadSessionUnavailable =
      "Load Session is available while the session on show is stopped";
  /// Asks a Yes/No question (caption, text); true for Yes.
  using Question = std::function<bool(const QString& caption, const QString& text)>;
  /// Shows an error message.
  using ErrorBox = std::function<void(const QString& text)>;
  /// Hands a file or folder to the desktop; false when nothing opens it.
  using Opener = std::function<bool(const QUrl& url)>;
  /// How often the window looks for new reports, in timer ticks.
  static constexpr uint32_t kReportCheckTicks = 10;

  /// `run` is one run of the engine and `clock` its clock (tests put in their own).
  explicit CVadEDERDlg(const Folders& folders, EngineRunner::RunFunction run = runEngine,
                       platform::Clock& clock = platform::systemClock());
  ~CVadEDERDlg() override;

  EngineRunner& runner() { return *runner_; }

  /// What the 100 ms timer does: console and system log, the once-a-minute "System is running"
  /// line, screen repaint, lamp colours and colour theme.
  void timerTick();
  /// On activation: asks once per change of the configuration file whether to reload it, and
  /// restarts the engine on Yes.
  void checkConfigurationChange();
  /// Shown once per run that ended on a configuration failure: the located error from the data
  /// folder's "error" file, with buttons to open the file and to reload.
  void showConfigurationError();

  // Commands.
  void editConfiguration();
  void openReportDirectory();
  void toggleConsole();
  bool consoleShown() const { return consoleShown_; }
  /// Zoom of the screens, and the panel with them, in percent: one of `offeredZoomLevels`;
  /// anything else is ignored. The window is moved back on its monitor where it grew off it.
  void setZoom(int zoom);
  /// The zoom levels at which the window fits on the monitor it is on (100 % always).
  std::vector<int> offeredZoomLevels() const;
  int zoom() const { return zoom_; }
  /// Asks for a file and saves both screens into it as a PNG picture at 1:1.
  void saveScreenshot();
  /// Saves both screens as they are now into `path`; false, with the reason shown, on failure.
  bool saveScreenshotTo(const QString& path);
  /// Application -> Remote Panel...: asks how to serve the panel to browsers, keeps the choice
  /// with the window settings and serves (or stops serving) as it says.
  void chooseRemotePanel();
  /// Serves the panel to browsers as `choice` says, or stops when it is off; the status line
  /// tells the outcome. Empty on success, else why the server could not start.
  QString applyRemoteChoice(const RemoteChoice& choice);
  /// What the remote panel does now: its address, why it failed, or that it is off.
  QString remoteState() const;
  /// Help -> About: version, libraries and folders.
  void showAbout();
  /// The panel keys, as their tooltips name them, then the menu commands that have a shortcut.
  std::vector<Shortcut> keyboardShortcuts() const;
  /// Help -> Keyboard Shortcuts: `keyboardShortcuts` as a table.
  void showKeyboardShortcuts();
  /// Asks for a session file and saves (loads) the session on show into (from) it.
  void saveSession();
  void loadSession();
  /// The second half of the session commands, after the file was chosen.
  void saveSessionTo(const QString& path);
  void loadSessionFrom(const QString& path);

  /// Closes the window without asking about running sessions (a close signal: the system is
  /// going down and nobody may be there to answer).
  void closeUnasked();
  /// The question that confirms stopping the running loudness sessions `sessions` by `action`
  /// ("Quitting", "Reloading the configuration"), naming where their reports go.
  QString stopSessionsText(const QString& action, const std::vector<std::string>& sessions) const;

  /// Replace the message boxes (tests answer them without a user).
  void setQuestion(Question question) { question_ = std::move(question); }
  void setErrorBox(ErrorBox errorBox) { errorBox_ = std::move(errorBox); }
  void setOpener(Opener opener) { opener_ = std::move(opener); }
  /// Shows "Report written to PATH" for the newest report page written since the last look.
  void checkNewReports();

 protected:
  void changeEvent(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  /// Installed on the application: takes the wheel anywhere in this window but the console.
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void buildPanel();
  void buildConsole();
  void buildFileMenu();
  void buildMenus();
  void buildZoomMenu(QMenu* view);
  void buildHelpMenu();
  /// Places and sizes everything for the zoom, the monitor and the console.
  void layoutPanel();
  /// After a move to another monitor: offers its zoom levels, takes the largest that fits if
  /// the zoom does not, and keeps the window on it.
  void fitToScreen();
  /// Moves the window so that it lies on its monitor's free area, as far as it can.
  void keepOnScreen();
  void restoreWindowState();
  /// Console shown or hidden, with its controls and the menu item that says which.
  void showConsoleControls();
  /// Shows the diagnostic console lines only with "All messages".
  void filterConsole();
  void saveWindowState();
  void updateSessionActions();
  /// The loudness sessions a stop of the engine would end now.
  std::vector<std::string> sessionsToStop();
  /// Runs the engine afresh, loading the configuration again.
  void restartEngine();
  /// Opens `path` with the desktop's program for it; where there is none, the status line shows
  /// the path instead.
  void openPath(const std::string& path);
  /// The newest report page under the report folder's "reports/" and its time.
  std::pair<QString, QDateTime> newestReport() const;
  void showLamps(uint32_t word);
  void showTheme(int32_t theme);
  /// Hands a session request to the engine and waits for its reply; the reply, or the reason
  /// there is none.
  std::string requestSession(const std::string& path, bool load);

  Folders folders_;
  SystemLogFile sysLog_;
  ScreenChangeRelay relay_;
  std::unique_ptr<EngineRunner> runner_;
  ConfigWatch configWatch_;
  ConsoleFeed feed_;

  std::unique_ptr<QSettings> settings_;
  RemoteChoice remoteChoice_;
  QString remoteError_;
  std::unique_ptr<remote::RemoteServer> remote_;
  // Servers replaced while the engine ran: a screen notice may still be on its way into one, so
  // they go only after the engine has stopped.
  std::vector<std::unique_ptr<remote::RemoteServer>> retiredRemotes_;
  QWidget* panel_ = nullptr;
  std::vector<std::pair<QWidget*, QRect>> places_;  // controls at 100 % on a plain monitor
  QFont baseFont_;
  std::array<ScreenControl*, 2> screens_{};
  std::array<KnobControl*, 8> knobs_{};
  std::array<KeyButton*, 17> keys_{};  // by key code 1..16
  KnobControl* wheelKnob_ = nullptr;
  QListWidget* console_ = nullptr;
  QPushButton* clear_ = nullptr;
  QCheckBox* autoscroll_ = nullptr;
  QCheckBox* allMessages_ = nullptr;
  QAction* consoleAction_ = nullptr;
  QAction* saveSessionAction_ = nullptr;
  QAction* loadSessionAction_ = nullptr;
  QActionGroup* zoomActions_ = nullptr;
  QTimer* timer_ = nullptr;
  KeyFilter* keyFilter_ = nullptr;

  uint32_t lastLampWord_ = 0;
  int32_t lastTheme_ = 0;
  uint32_t ticks_ = 0;
  bool consoleShown_ = false;
  bool configErrorShown_ = false;  // for the engine's current run
  bool errorBoxOpen_ = false;      // the configuration error box is on show
  bool askBeforeClose_ = true;
  int zoom_ = 100;
  Question question_;
  ErrorBox errorBox_;
  Opener opener_;
  QDateTime reportSeen_;  // time of the newest report page already told
};

}  // namespace qelm
