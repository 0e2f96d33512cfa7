#include "shell/main_dialog.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QImage>
#include <QListWidget>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QSet>
#include <QSettings>
#include <QStatusBar>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <QWheelEvent>
#include <QWindow>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "../download/http_test_server.h"
#include "core/log.h"
#include "engine/engine_state.h"
#include "install/installation.h"
#include "platform/socket.h"
#include "shell/about.h"
#include "shell/config_watch.h"
#include "shell/console_feed.h"
#include "shell/download_dialog.h"
#include "shell/key_button.h"
#include "shell/key_filter.h"
#include "shell/knob_control.h"
#include "shell/screen_control.h"
#include "shell/window_settings.h"
#include "shell/zoom.h"
#include "shell_test_support.h"

namespace qelm {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::knobCode;
using testing::panelEvent;
using testing::readFile;
using testing::writeFile;

// Receives, while it lives, the files QDesktopServices would hand to the desktop.
class UrlCatcher final : public QObject {
  Q_OBJECT

 public:
  UrlCatcher() { QDesktopServices::setUrlHandler("file", this, "open"); }
  ~UrlCatcher() override { QDesktopServices::unsetUrlHandler("file"); }
  QList<QUrl> urls;

 public slots:
  void open(const QUrl& url) { urls.push_back(url); }
};

// Stands in for the engine: runs until stopped and, when told to, answers session requests
// with "OK" for a path containing "good" and an error text otherwise.
struct FakeEngine {
  std::atomic<int> runs{0};
  std::atomic<bool> answers{true};
  std::mutex mutex;
  std::string lastSave;

  int run(EngineState& state) {
    ++runs;
    AppContext& context = *state.context;
    while (!context.stopRequested.load()) {
      if (answers.load()) {
        if (const std::string path = context.takeLoadSessionPath(); !path.empty())
          context.setSessionReply(answerFor(path));
        if (const std::string path = context.takeSaveSessionPath(); !path.empty()) {
          std::lock_guard<std::mutex> guard(mutex);
          lastSave = path;
          context.setSessionReply(answerFor(path));
        }
      }
      std::this_thread::sleep_for(1ms);
    }
    return 1;
  }
  static std::string answerFor(const std::string& path) {
    return path.find("good") != std::string::npos ? "OK" : "Bad session file";
  }
};

// What the window asks when the configuration file changed under it.
const QString kReloadQuestion =
    "Configuration File Changed|The configuration file has changed.  Would you like to reload?";

// Waits up to five seconds for `done`, a millisecond at a time.
void waitUpTo5s(const std::function<bool()>& done) {
  for (int i = 0; i < 5000 && !done(); ++i)
    std::this_thread::sleep_for(1ms);
}

// Whether a message logged since number `first` is `text`.
bool loggedSince(int32_t first, const std::string& text) {
  for (int32_t n = first; n < messageCount(); ++n)
    if (messageText(n) == text) return true;
  return false;
}

// Runs `work` on a thread of its own; after five seconds of waiting it fails the case and opens
// `pipe` for a moment, which ends any wait on it.
template <typename Work>
auto withoutWaitingOn(const std::string& pipe, Work work) {
  auto done = std::async(std::launch::async, work);
  if (done.wait_for(5s) != std::future_status::ready) {
    ADD_FAILURE() << "waits on the pipe " << pipe;
    ::close(::open(pipe.c_str(), O_RDWR | O_NONBLOCK));
  }
  return done.get();
}

class MainDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("main_dialog_test_" +
             std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(root_);
    folders_ = {(root_ / "program").string() + "/", (root_ / "data").string() + "/",
                (root_ / "report").string() + "/"};
    for (const char* name : kReportResources)
      writeFile(folders_.program + "resources/" + name, name);
    writeFile(folders_.program + "configuration/startup.bak", "banner \"Test\"\n");
    prepareFolders(folders_);
    // Every case starts as on a first run: no window state left by the one before.
    openWindowSettings()->clear();
  }
  void TearDown() override { fs::remove_all(root_); }

  std::unique_ptr<CVadEDERDlg> makeDialog(platform::Clock& clock = platform::systemClock()) {
    auto dialog = std::make_unique<CVadEDERDlg>(
        folders_, [this](EngineState& state) { return engine_.run(state); }, clock);
    dialog->setErrorBox([this](const QString& text) { errors_.push_back(text); });
    dialog->setQuestion([this](const QString& caption, const QString& text) {
      asked_.push_back(caption + "|" + text);
      return answer_;
    });
    return dialog;
  }
  std::string startup() const { return folders_.data + "configuration/startup.txt"; }
  // The start-up configuration saved again, as by an editor.
  void touchStartup(std::chrono::seconds later = 10s) const {
    fs::last_write_time(startup(), fs::last_write_time(startup()) + later);
  }
  QString pathOf(const std::string& name) const {
    return QString::fromStdString((root_ / name).string());
  }

  static void activate(QWidget* window) {
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    QCoreApplication::processEvents();
  }
  // The menu item with `text`, in any menu or submenu.
  static QAction* action(CVadEDERDlg& dialog, const QString& text) {
    for (QAction* item : dialog.menuBar()->findChildren<QAction*>())
      if (item->text() == text) return item;
    ADD_FAILURE() << "no menu item " << text.toStdString();
    return nullptr;
  }
  // Opens the Application menu, which offers its session items afresh.
  static void showApplicationMenu(CVadEDERDlg& dialog) {
    emit dialog.menuBar()->actions().at(1)->menu()->aboutToShow();
  }
  static KeyButton* keyButton(CVadEDERDlg& dialog, int code) {
    return dialog.findChild<KeyButton*>(QString("key%1").arg(code));
  }
  static std::vector<InputEvent> drain(CVadEDERDlg& dialog) {
    return testing::drain(dialog.runner().context().input);
  }
  // Ticks the console until it shows a fresh marker, then empties it: everything logged before
  // is then behind.
  static QListWidget* caughtUpConsole(CVadEDERDlg& dialog) {
    const int32_t marker = messageCount();
    logMessage(kLogInfo, "marker");
    auto* console = dialog.findChild<QListWidget*>("console");
    bool shown = false;
    for (int i = 0; i < 1000 && !shown; ++i) {
      dialog.timerTick();
      shown = console->count() > 0 &&
              console->item(console->count() - 1)->text() == QString("%1: marker").arg(marker);
    }
    EXPECT_TRUE(shown) << "the console never showed the marker";
    console->clear();
    return console;
  }

  fs::path root_;
  Folders folders_;
  FakeEngine engine_;
  QStringList errors_;
  QStringList asked_;    ///< the questions the window asked, "caption|text"
  bool answer_ = false;  ///< the answer they get
};

TEST_F(MainDialogTest, KeysAndBackgroundFollowTheEnginesLampsAndTheme) {
  auto dialog = makeDialog();
  auto key = [&](PanelKey panelKey) { return keyButton(*dialog, codeOf(panelKey)); };
  for (int code = kFirstKeyCode; code <= kLastKeyCode; ++code)
    EXPECT_EQ(keyButton(*dialog, code)->lamp(), LampState::kBright) << code;

  LampStates lamps{};
  lamps[codeOf(PanelKey::kEnter)] = LampState::kLit;
  lamps[codeOf(PanelKey::kDigit1)] = LampState::kBright;
  lamps[codeOf(PanelKey::kDigit0)] = static_cast<LampState>(1);  // shows as off
  lamps[codeOf(PanelKey::kBack)] = static_cast<LampState>(6);    // low two bits count: lit
  AppContext& context = dialog->runner().context();
  context.lampWord.store(packLampWord(lamps));
  dialog->timerTick();
  const QColor face = key(PanelKey::kDigit0)->palette().color(QPalette::Button);
  EXPECT_EQ(key(PanelKey::kEnter)->lampColor(), QColor(100, 255, 100));
  EXPECT_EQ(key(PanelKey::kDigit1)->lampColor(), QColor(0, 255, 0));
  EXPECT_EQ(key(PanelKey::kDigit0)->lampColor(), face);
  EXPECT_EQ(key(PanelKey::kDigit0)->lamp(), LampState::kOff);
  EXPECT_EQ(key(PanelKey::kBack)->lampColor(), QColor(100, 255, 100));
  EXPECT_EQ(key(PanelKey::kSelectDevice)->lampColor(), face);
  // The three states draw three different caps.
  const QImage off = key(PanelKey::kDigit0)->grab().toImage();
  const QImage lit = key(PanelKey::kEnter)->grab().toImage();
  const QImage bright = key(PanelKey::kDigit1)->grab().toImage();
  const QPoint middle(lit.width() / 2, lit.height() / 4);
  EXPECT_NE(off.pixel(middle), lit.pixel(middle));
  EXPECT_NE(lit.pixel(middle), bright.pixel(middle));

  auto* panel = dialog->findChild<QWidget*>("panel");
  auto* knob = dialog->findChild<KnobControl*>("knob7");
  const QColor normal = panel->palette().color(QPalette::Window);
  for (const auto& [theme, colour] : {std::pair{1, QColor(0, 19, 130)}, std::pair{0, normal}}) {
    context.colorTheme.store(theme);
    dialog->timerTick();
    EXPECT_EQ(panel->palette().color(QPalette::Window), colour) << "theme " << theme;
    EXPECT_EQ(knob->theme(), theme);
  }
}

TEST_F(MainDialogTest, ConsoleTakesAtMost101MessagesPerTickAndMirrorsThemToSysLog) {
  writeFile(folders_.report + "sys.log", "");
  auto dialog = makeDialog();
  QListWidget* console = caughtUpConsole(*dialog);
  const int32_t first = messageCount();
  for (int i = 0; i < 250; ++i)
    logMessage(kLogInfo, "burst %d\n", i);

  for (const int expected : {101, 202, 250, 250}) {
    dialog->timerTick();
    EXPECT_EQ(console->count(), expected);
  }
  for (int i = 0; i < 250; ++i)
    ASSERT_EQ(console->item(i)->text(), QString("%1: burst %2").arg(first + i).arg(i));
  EXPECT_EQ(console->currentRow(), 249);  // Autoscroll follows the last line

  // Every console line is also in sys.log, with its local time.
  std::istringstream log(readFile(folders_.report + "sys.log"));
  std::string line;
  int burst = 0;
  const std::regex shape(R"((\d+) \d\d/\d\d/\d\d \d\d:\d\d:\d\d (.*))");
  while (std::getline(log, line)) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match, shape)) << line;
    if (match[2].str().rfind("burst ", 0) != 0) continue;
    EXPECT_EQ(std::stoi(match[1].str()), first + burst);
    EXPECT_EQ(match[2].str(), "burst " + std::to_string(burst));
    ++burst;
  }
  EXPECT_EQ(burst, 250);
}

TEST(ConsoleLineKindTest, FontSizingAndTimingAreDiagnosticsAndFailuresWarnings) {
  for (const char* text :
       {"With Windows cell height of 16, 13 pixels (2..14) are used (extremes are \"A\" and \"g\")",
        "Processed configuration in 12 ticks"})
    EXPECT_EQ(consoleLineKind(text), ConsoleLineKind::kDiagnostic) << text;
  for (const char* text : {"WARNING: card 1 local target \"x\" was instantiated from model \"a\"",
                           "Could not open error file \"/x/error\".", "Engine stopped: No target",
                           "Problem occurred during font cache initialization: bad.",
                           "at /data/configuration/startup.txt:7 parse error"})
    EXPECT_EQ(consoleLineKind(text), ConsoleLineKind::kWarning) << text;
  for (const char* text : {"Processing configuration.", "Running.", "Setting up UI logic.",
                           "12/10/26 02:00:00 -- System is running"})
    EXPECT_EQ(consoleLineKind(text), ConsoleLineKind::kNormal) << text;
}

TEST_F(MainDialogTest,
       ConsoleOperatorViewHidesDiagnosticsColoursWarningsAndSkipsWhatTheLogDropped) {
  auto dialog = makeDialog();
  QListWidget* console = caughtUpConsole(*dialog);
  auto* all = dialog->findChild<QCheckBox*>("allMessages");
  logMessage(kLogInfo, "Processed configuration in 12 ticks\n");
  logMessage(kLogInfo, "Could not write error file \"x\".\n");
  logMessage(kLogInfo, "Running.\n");
  dialog->timerTick();
  ASSERT_EQ(console->count(), 3);
  EXPECT_TRUE(console->item(0)->isHidden());
  EXPECT_FALSE(console->item(1)->isHidden());
  EXPECT_NE(console->item(1)->foreground().color(), console->item(2)->foreground().color());
  all->setChecked(true);
  EXPECT_FALSE(console->item(0)->isHidden());  // the full log, one click away
  all->setChecked(false);
  EXPECT_TRUE(console->item(0)->isHidden());

  // Messages the log dropped before the console took them are skipped.
  console->clear();
  const int32_t first = messageCount();
  for (int i = 0; i < 10050; ++i)
    logMessage(kLogInfo, "flood %d", i);
  dialog->timerTick();
  ASSERT_EQ(console->count(), 101);
  EXPECT_EQ(console->item(0)->text(), QString("%1: flood 50").arg(first + 50));
  EXPECT_EQ(console->item(100)->text(), QString("%1: flood 150").arg(first + 150));
  // Without a sys.log there is no file log, and none is created.
  EXPECT_FALSE(fs::exists(folders_.report + "sys.log"));

  // The menu says what it will do; the check boxes keep their labels whole at every zoom.
  action(*dialog, "Show &Console")->trigger();
  EXPECT_TRUE(dialog->consoleShown());
  ASSERT_NE(action(*dialog, "Hide &Console"), nullptr);
  for (const int zoom : kZoomLevels) {
    dialog->setZoom(zoom);
    for (const char* name : {"autoscroll", "allMessages"}) {
      auto* box = dialog->findChild<QCheckBox*>(name);
      EXPECT_GE(box->width(), box->sizeHint().width()) << name << " at " << zoom;
      EXPECT_LT(box->geometry().right(), console->geometry().left()) << name << " at " << zoom;
    }
  }
}

TEST_F(MainDialogTest, AChangedOrDownloadedConfigurationIsOfferedForReloadOnceOnActivation) {
  HttpTestServer server([](const std::string&) {
    return HttpTestServer::Reply{200, "device 1 \"Fetched\"\n"};
  });
  writeFile(folders_.data + "configuration/instances.txt", server.host() + "\n");
  auto dialog = makeDialog();
  QWidget other;
  other.show();
  dialog->show();
  waitUpTo5s([&] { return engine_.runs.load() >= 1; });  // the engine thread under way
  // Activates the other window, then the dialog again.
  auto returnToDialog = [&] {
    activate(&other);
    activate(dialog.get());
  };
  activate(dialog.get());
  EXPECT_TRUE(asked_.empty());

  touchStartup();
  returnToDialog();
  EXPECT_EQ(asked_, QStringList{kReloadQuestion});
  returnToDialog();
  EXPECT_EQ(asked_.size(), 1);  // No was the answer to this change: not asked again
  EXPECT_EQ(engine_.runs.load(), 1);

  touchStartup();
  answer_ = true;
  returnToDialog();
  EXPECT_EQ(asked_.size(), 2);
  waitUpTo5s([&] { return engine_.runs.load() >= 2; });
  EXPECT_EQ(engine_.runs.load(), 2);  // Yes restarted the engine
  EXPECT_EQ(dialog->statusBar()->currentMessage(), "Configuration reloaded");

  // A downloaded configuration is a change like any other.
  answer_ = false;
  int result = -1;
  QTimer::singleShot(0, [&] {
    if (auto* download = qobject_cast<CTrelkConfigDownload*>(QApplication::activeModalWidget())) {
      download->findChild<QPushButton*>("download")->click();
      EXPECT_TRUE(QTest::qWaitFor([&] { return !download->downloading(); }, 60000));
      result = download->result();
    }
  });
  action(*dialog, "Download TRELK Configuration...")->trigger();
  EXPECT_EQ(result, QDialog::Accepted);
  EXPECT_EQ(readFile(startup()),
            "\xEF\xBB\xBF"
            "device 1 \"Fetched\"\r\n");
  returnToDialog();
  EXPECT_EQ(asked_, QStringList(3, kReloadQuestion));
}

// A run that fails on the configuration as the loader does: the located error in the data
// folder's "error" file, then the result 2.
TEST_F(MainDialogTest, AConfigurationErrorIsShownWithOpenAndReload) {
  const std::string located =
      "at " + startup() + ":7 directive \"bogus\" unrecognized or invalid in this context";
  std::atomic<int> runs{0};
  CVadEDERDlg dialog(folders_, [&](EngineState&) {
    ++runs;
    writeFile(folders_.data + "error", located + "\n");
    return static_cast<int>(ExitCode::kConfigFailed);
  });
  dialog.show();
  waitUpTo5s([&] { return dialog.runner().finished(); });
  ASSERT_TRUE(dialog.runner().finished());

  // Each case answers the box with one of its buttons and records what it showed.
  // The box opens after the tick that found the failure, with the keys already dark.
  auto answer = [&](const QString& button) {
    QString shown;
    QStringList buttons;
    bool answered = false;
    QTimer looker;
    QObject::connect(&looker, &QTimer::timeout, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (box == nullptr || answered) return;
      answered = true;
      for (KeyButton* key : dialog.findChildren<KeyButton*>())
        EXPECT_EQ(key->lamp(), LampState::kOff) << "the keys go dark before the box opens";
      shown = box->windowTitle() + "|" + box->text();
      for (QAbstractButton* item : box->buttons())
        buttons << item->text();
      for (QAbstractButton* item : box->buttons())
        if (item->text() == button) item->click();
    });
    looker.start(5);
    dialog.timerTick();
    for (int i = 0; i < 50 && !answered; ++i) {
      QCoreApplication::processEvents();
      std::this_thread::sleep_for(2ms);
    }
    return std::make_pair(shown, buttons);
  };
  auto awaitFailure = [&](int run) {
    waitUpTo5s([&] { return runs.load() >= run && dialog.runner().finished(); });
    ASSERT_TRUE(dialog.runner().finished());
  };
  // The operator mends the file, then chooses Reload: that write asks nothing more.
  touchStartup(5s);
  bool asked = false;
  dialog.setQuestion([&](const QString&, const QString&) { return asked = true, false; });
  const auto [shown, buttons] = answer("Reload");
  dialog.checkConfigurationChange();
  EXPECT_FALSE(asked);
  EXPECT_EQ(shown, "Configuration Error|The configuration could not be loaded:\n\n" +
                       QString::fromStdString(located) +
                       "\n\nPlease fix the file and choose Reload.");
  EXPECT_EQ(QSet<QString>(buttons.begin(), buttons.end()),
            (QSet<QString>{"Open File", "Reload", "Close"}));
  // Reload runs the engine again, and its failure is shown again.
  awaitFailure(2);
  UrlCatcher catcher;
  EXPECT_FALSE(answer("Open File").first.isEmpty());
  EXPECT_EQ(catcher.urls, QList<QUrl>{QUrl::fromLocalFile(QString::fromStdString(startup()))});
  // Shown once per failed run: the next tick asks nothing.
  EXPECT_TRUE(answer("Reload").first.isEmpty());
  EXPECT_EQ(runs.load(), 2);
  // A close signal while the box is open ends both; a closed window shows no box.
  dialog.setQuestion([](const QString&, const QString&) { return true; });
  touchStartup();
  dialog.checkConfigurationChange();
  awaitFailure(3);
  dialog.timerTick();  // the box opens after this tick, and the signal comes while it is open
  QTimer::singleShot(20, [&] { dialog.closeUnasked(); });
  for (int i = 0; i < 200 && dialog.isVisible(); ++i) {
    QCoreApplication::processEvents();
    std::this_thread::sleep_for(2ms);
  }
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  EXPECT_EQ(configurationErrorFile("at /x/config.bin [binary] bad record"), "");
}

TEST_F(MainDialogTest, StatusLineTellsWhereFilesWentWhatCouldNotBeOpenedAndWhatTheRemoteDoes) {
  const std::string html = folders_.report + "reports/Show/html/";
  writeFile(html + "old.html", "before the window");
  auto dialog = makeDialog();
  QStatusBar* status = dialog->statusBar();
  dialog->checkNewReports();
  EXPECT_TRUE(status->currentMessage().isEmpty());  // written before the window opened
  writeFile(html + "new.html", "report");
  fs::last_write_time(html + "new.html", fs::last_write_time(html + "new.html") + 2s);
  for (uint32_t i = 0; i < CVadEDERDlg::kReportCheckTicks; ++i)
    dialog->timerTick();
  EXPECT_EQ(status->currentMessage(),
            QString::fromStdString("Report written to " + html + "new.html"));
  status->clearMessage();
  dialog->checkNewReports();
  EXPECT_TRUE(status->currentMessage().isEmpty());  // told once

  // A desktop without a program for folders gets the path to look up by hand.
  dialog->setOpener([](const QUrl&) { return false; });
  action(*dialog, "Report Directory")->trigger();
  EXPECT_EQ(status->currentMessage(), QString::fromStdString("No program opens " + folders_.report +
                                                             "reports on this desktop"));

  // The remote panel serves as chosen, or says why not.
  EXPECT_EQ(dialog->remoteState(), "Remote panel off");
  // A port nobody uses now: the system's choice for a socket closed again.
  uint16_t port = 0;
  {
    platform::NewSocket probe = platform::Socket::createStream(false);
    ASSERT_TRUE(probe.socket.isOpen());
    ASSERT_EQ(probe.socket.listenOn(platform::ipv4(127, 0, 0, 1), 0), 0);
    port = probe.socket.localPort();
  }
  RemoteChoice choice;
  choice.enabled = true;
  choice.port = port;
  EXPECT_EQ(dialog->applyRemoteChoice(choice), "");
  EXPECT_EQ(dialog->remoteState(), QString("Remote panel serving http://127.0.0.1:%1/").arg(port));
  EXPECT_EQ(status->currentMessage(), dialog->remoteState());
  // Any other address needs a password, and there is none: the state says so.
  choice.address = "0.0.0.0";
  EXPECT_FALSE(dialog->applyRemoteChoice(choice).isEmpty());
  EXPECT_TRUE(dialog->remoteState().startsWith("Remote panel not serving: "));
  choice.enabled = false;
  EXPECT_EQ(dialog->applyRemoteChoice(choice), "");
  EXPECT_EQ(dialog->remoteState(), "Remote panel off");
}

TEST_F(MainDialogTest, QuitAndReloadNameTheSessionsTheyWouldStop) {
  auto dialog = makeDialog();
  dialog->show();
  dialog->close();  // nothing runs: nothing to ask
  EXPECT_TRUE(asked_.empty());
  EXPECT_FALSE(dialog->isVisible());
  // The close may have stopped the engine thread before its run began: count from here.
  const int before = engine_.runs.load();
  dialog->runner().start();
  dialog->show();
  waitUpTo5s([&] { return engine_.runs.load() != before; });
  ASSERT_EQ(engine_.runs.load(), before + 1);

  dialog->runner().context().setRunningSessions({"Evening News", "Sport"});
  const QString stops = QString::fromStdString(
      "stops the running loudness sessions \u201CEvening News\u201D, \u201CSport\u201D. Their "
      "reports are written to " +
      folders_.report + "reports/.");
  action(*dialog, "&Exit")->trigger();
  ASSERT_EQ(asked_.size(), 1);
  EXPECT_EQ(asked_[0], "Stop Running Sessions|Quitting " + stops + "\n\nQuit anyway?");
  EXPECT_TRUE(dialog->isVisible());  // No keeps the window and its sessions
  EXPECT_FALSE(dialog->runner().finished());

  touchStartup();
  dialog->checkConfigurationChange();
  ASSERT_EQ(asked_.size(), 2);
  EXPECT_EQ(asked_[1], kReloadQuestion + "\n\nReloading the configuration " + stops);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(engine_.runs.load(), before + 1);  // No: no reload

  answer_ = true;
  dialog->close();
  EXPECT_EQ(asked_.size(), 3);
  EXPECT_FALSE(dialog->isVisible());
  EXPECT_TRUE(dialog->runner().finished());

  // A close signal asks nobody.
  dialog->runner().start();
  dialog->show();
  dialog->closeUnasked();
  EXPECT_EQ(asked_.size(), 3);
  EXPECT_FALSE(dialog->isVisible());
}

TEST_F(MainDialogTest, MenuTogglesTheConsoleOpensTheFilesAndOffersWhatTheEngineServes) {
  auto dialog = makeDialog();
  EXPECT_TRUE(action(*dialog, "Download TRELK Configuration...")->isEnabled());

  auto* panel = dialog->findChild<QWidget*>("panel");
  auto* console = dialog->findChild<QListWidget*>("console");
  const int compact = panel->height();
  EXPECT_FALSE(console->isEnabled());
  action(*dialog, "Show &Console")->trigger();
  EXPECT_TRUE(dialog->consoleShown());
  EXPECT_TRUE(console->isEnabled());
  EXPECT_TRUE(dialog->findChild<QCheckBox*>("autoscroll")->isEnabled());
  EXPECT_GT(panel->height(), console->geometry().bottom());
  action(*dialog, "Hide &Console")->trigger();
  EXPECT_EQ(panel->height(), compact);
  EXPECT_FALSE(console->isEnabled());

  UrlCatcher catcher;
  action(*dialog, "Edit &Configuration")->trigger();
  action(*dialog, "Report Directory")->trigger();
  EXPECT_EQ(
      catcher.urls,
      (QList<QUrl>{QUrl::fromLocalFile(QString::fromStdString(startup())),
                   QUrl::fromLocalFile(QString::fromStdString(folders_.report) + "reports")}));

  // The session commands are offered only while the engine can serve them.
  QAction* save = action(*dialog, "Save Session...");
  QAction* load = action(*dialog, "Load Session...");
  showApplicationMenu(*dialog);
  EXPECT_FALSE(save->isEnabled());
  EXPECT_FALSE(load->isEnabled());
  dialog->runner().context().setSessionFlags(true, false);
  showApplicationMenu(*dialog);
  EXPECT_TRUE(save->isEnabled());
  EXPECT_FALSE(load->isEnabled());
  // Save writes NAME.dat; both file dialogs show it, and the old .SES files too. A greyed-out
  // Save Session says why.
  dialog->runner().context().setSessionFlags(true, true);
  showApplicationMenu(*dialog);
  for (QAction* item : {save, load}) {
    const std::string name = item->text().toStdString();
    QStringList filters;
    QString suffix;
    QTimer::singleShot(0, [&] {
      auto* files = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
      if (files == nullptr) return;
      filters = files->nameFilters();
      suffix = files->defaultSuffix();
      files->reject();
    });
    item->trigger();
    EXPECT_EQ(suffix, "dat") << name;
    ASSERT_FALSE(filters.isEmpty()) << name;
    const QStringList patterns = filters.front().section('(', 1).chopped(1).split(' ');
    EXPECT_TRUE(QDir::match(patterns, "show.dat") && QDir::match(patterns, "OLD.SES"))
        << name << ": " << filters.front().toStdString();
  }
  dialog->runner().context().setSessionFlags(false, false);
  showApplicationMenu(*dialog);
  EXPECT_EQ(save->toolTip(), CVadEDERDlg::kSaveSessionUnavailable);

  action(*dialog, "&Exit")->trigger();
  EXPECT_FALSE(dialog->isVisible());
  EXPECT_TRUE(dialog->runner().finished());
}

TEST_F(MainDialogTest, SessionRepliesAreAwaitedAndErrorsShown) {
  auto dialog = makeDialog();
  dialog->loadSessionFrom(pathOf("good.ses"));
  EXPECT_TRUE(errors_.empty());
  EXPECT_EQ(dialog->statusBar()->currentMessage(), "Session loaded from " + pathOf("good.ses"));
  dialog->loadSessionFrom(pathOf("bad.ses"));
  EXPECT_EQ(errors_, QStringList{"Bad session file"});

  // A reply left over from an earlier request is not taken for the next one's.
  dialog->runner().context().setSessionReply("OK");
  dialog->loadSessionFrom(pathOf("bad2.ses"));
  EXPECT_EQ(errors_.size(), 2);

  const std::string saved = (root_ / "out" / "good.ses").string();
  fs::create_directories(root_ / "out");
  writeFile((root_ / "out" / "main.css").string(), "mine");
  dialog->saveSessionTo(QString::fromStdString(saved));
  EXPECT_EQ(errors_.size(), 2);
  EXPECT_EQ(dialog->statusBar()->currentMessage(),
            QString::fromStdString("Session saved to " + saved));
  {
    std::lock_guard<std::mutex> guard(engine_.mutex);
    EXPECT_EQ(engine_.lastSave, saved);
  }
  EXPECT_EQ(readFile((root_ / "out" / "logo.jpg").string()), "logo.jpg");
  EXPECT_EQ(readFile((root_ / "out" / "main.css").string()), "mine");  // never overwritten
  EXPECT_TRUE(dialog->runner().context().sessionReply().empty());
}

TEST_F(MainDialogTest, SessionWaitEndsAfterTenSecondsWithAnError) {
  platform::ManualClock clock;  // its sleeps pass at once
  engine_.answers = false;
  auto dialog = makeDialog(clock);
  const uint32_t start = clock.tick();
  dialog->loadSessionFrom("/tmp/never.ses");
  EXPECT_GE(clock.tick() - start, CVadEDERDlg::kSessionReplyLimitMs);
  EXPECT_EQ(errors_,
            QStringList{"The panel did not answer the session request within 10 seconds."});
  // The request is withdrawn, so the engine cannot act on it later.
  EXPECT_TRUE(dialog->runner().context().loadSessionPath().empty());
}

TEST_F(MainDialogTest, KeysAndWheelReachThePanelAndZoomScalesItFromMenuAndKeyboardAlike) {
  auto dialog = makeDialog();
  dialog->show();
  activate(dialog.get());
  QTest::keyClick(dialog.get(), Qt::Key_Return);
  QTest::keyClick(dialog.get(), Qt::Key_Escape);
  QTest::keyClick(dialog.get(), Qt::Key_A);
  EXPECT_TRUE(dialog->isVisible());  // Enter and Escape never close it
  EXPECT_EQ(drain(*dialog), testing::keyPairs({PanelKey::kEnter, PanelKey::kCancel}));

  auto* screen = dialog->findChild<ScreenControl*>("screen0");
  auto wheel = [&](int delta) {
    QWheelEvent event(QPointF(10, 10), screen->mapToGlobal(QPointF(10, 10)), QPoint(),
                      QPoint(0, delta), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(screen, &event);
  };
  auto hover = [&](const char* name) {
    auto* knob = dialog->findChild<KnobControl*>(name);
    QMouseEvent move(QEvent::MouseMove, QPointF(5, 5), knob->mapToGlobal(QPointF(5, 5)),
                     Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(knob, &move);
  };
  wheel(-120);  // no knob was passed over yet
  EXPECT_TRUE(drain(*dialog).empty());
  hover("knob3");
  wheel(-120);
  hover("knob5");
  wheel(120);  // the pointer left knob 5 for the screen; the wheel still turns knob 5
  EXPECT_EQ(drain(*dialog),
            (std::vector<InputEvent>{panelEvent(knobCode(3), EventKind::kTurnedOtherWay, 1),
                                     panelEvent(knobCode(5), EventKind::kTurnedOneWay, 1)}));

  auto* panel = dialog->findChild<QWidget*>("panel");
  auto* right = dialog->findChild<ScreenControl*>("screen1");
  auto* knob = dialog->findChild<KnobControl*>("knob6");
  auto* key = dialog->findChild<KeyButton*>("key16");
  EXPECT_EQ(dialog->zoom(), 100);  // the offscreen monitor is not scaled
  const QSize panelAt100 = panel->size();
  const QRect knobAt100 = knob->geometry();
  const QRect keyAt100 = key->geometry();
  const int screenRightAt100 = right->geometry().right();

  action(*dialog, "300 %")->trigger();
  EXPECT_EQ(dialog->zoom(), 300);
  EXPECT_EQ(right->size(), QSize(1440, 816));
  EXPECT_EQ(panel->size(), panelAt100 * 3);
  EXPECT_NEAR(knob->x(), knobAt100.x() * 3, 1);
  EXPECT_NEAR(knob->width(), knobAt100.width() * 3, 1);
  EXPECT_NEAR(key->y(), keyAt100.y() * 3, 1);
  // The screens never run into the knobs beside them nor out of the panel.
  EXPECT_LT(right->geometry().right(), knob->x());
  EXPECT_LT(right->geometry().right(), panel->width());
  EXPECT_LT(screenRightAt100, knobAt100.x());
  action(*dialog, "Show &Console")->trigger();
  auto* console = dialog->findChild<QListWidget*>("console");
  EXPECT_GT(panel->height(), console->geometry().bottom());
  EXPECT_GT(console->y(), right->geometry().bottom());

  // Ctrl - and Ctrl + step through the levels, Ctrl 0 goes back to 100 %; none of them is a
  // panel key, though "-" and "0" alone are.
  const std::pair<Qt::Key, int> steps[] = {
      {Qt::Key_Minus, 200}, {Qt::Key_Minus, 150}, {Qt::Key_Minus, 100}, {Qt::Key_Minus, 100},
      {Qt::Key_Equal, 150}, {Qt::Key_Plus, 200},  {Qt::Key_0, 100}};
  for (const auto& [pressed, level] : steps) {  // the menu's level follows
    EXPECT_EQ(action(*dialog, "200 %")->isChecked(), dialog->zoom() == 200);
    QTest::keyClick(dialog.get(), pressed, Qt::ControlModifier);
    EXPECT_EQ(dialog->zoom(), level) << "Ctrl " << QKeySequence(pressed).toString().toStdString();
  }
  EXPECT_EQ(panel->width(), panelAt100.width());
  EXPECT_TRUE(drain(*dialog).empty());
  dialog->setZoom(120);  // not a level
  EXPECT_EQ(dialog->zoom(), 100);
}

// The test desktop: "desk" (5120 x 2880) with "laptop" (2560 x 1440) to its right.
TEST_F(MainDialogTest, ZoomFitsTheMonitorAndTheWindowStaysOnIt) {
  QScreen* laptop = nullptr;
  for (QScreen* monitor : QGuiApplication::screens())
    if (monitor->name() == "laptop") laptop = monitor;
  ASSERT_NE(laptop, nullptr);
  auto dialog = makeDialog();
  dialog->show();
  dialog->move(100, 100);
  auto offered = [&] {
    QStringList levels;
    for (QAction* item : dialog->menuBar()->findChildren<QAction*>())
      if (item->text().endsWith(" %") && item->isVisible()) levels << item->text();
    return levels;
  };
  EXPECT_EQ(offered(), (QStringList{"100 %", "150 %", "200 %", "300 %"}));
  dialog->setZoom(300);
  ASSERT_EQ(dialog->zoom(), 300);

  // Onto the smaller monitor: 200 % and 300 % no longer fit.
  dialog->move(laptop->geometry().topLeft() + QPoint(900, 700));
  QCoreApplication::processEvents();
  if (dialog->screen() != laptop) dialog->windowHandle()->setScreen(laptop);
  QCoreApplication::processEvents();
  EXPECT_EQ(offered(), (QStringList{"100 %", "150 %"}));
  EXPECT_EQ(dialog->zoom(), 150);
  EXPECT_TRUE(laptop->availableGeometry().contains(dialog->frameGeometry()))
      << dialog->frameGeometry().x() << "," << dialog->frameGeometry().y();
  dialog->setZoom(300);  // not offered here
  EXPECT_EQ(dialog->zoom(), 150);
  action(*dialog, "Zoom &In")->trigger();
  EXPECT_EQ(dialog->zoom(), 150);

  // A larger zoom moves the window back where it would run off the monitor.
  dialog->setZoom(100);
  dialog->move(laptop->availableGeometry().topRight() - QPoint(dialog->width() / 2, -100));
  QCoreApplication::processEvents();
  dialog->setZoom(150);
  EXPECT_TRUE(laptop->availableGeometry().contains(dialog->frameGeometry()))
      << dialog->frameGeometry().x() << "," << dialog->frameGeometry().y();
}

TEST_F(MainDialogTest, PositionZoomAndConsoleComeBackAtTheNextStart) {
  {
    auto dialog = makeDialog();
    dialog->show();
    dialog->setZoom(150);
    dialog->toggleConsole();
    dialog->move(40, 30);
    QCoreApplication::processEvents();
    dialog->close();
  }
  auto dialog = makeDialog();
  EXPECT_EQ(dialog->zoom(), 150);
  EXPECT_TRUE(dialog->consoleShown());
  EXPECT_TRUE(dialog->findChild<QListWidget*>("console")->isEnabled());
  EXPECT_EQ(dialog->findChild<ScreenControl*>("screen0")->size(), QSize(720, 408));
  EXPECT_EQ(dialog->pos(), QPoint(40, 30));
  dialog->close();

  // A zoom that is not offered, and a place no monitor shows any more, are not restored.
  {
    auto settings = openWindowSettings();
    settings->setValue("window/zoom", 175);
    settings->setValue("window/position", QPoint(-30000, -30000));
    settings->setValue("window/console", false);
    settings->sync();
  }
  dialog = makeDialog();
  EXPECT_EQ(dialog->zoom(), 100);
  EXPECT_FALSE(dialog->consoleShown());
  EXPECT_NE(dialog->pos(), QPoint(-30000, -30000));
  openWindowSettings()->setValue("window/zoom", "large");
  dialog = makeDialog();
  EXPECT_EQ(dialog->zoom(), 100);
}

TEST_F(MainDialogTest, WindowSettingsThatAreAPipeGiveTheDefaultsAndAreNeverWritten) {
  const std::string path = windowSettingsPath();
  struct RemovedAtEnd {
    std::string path;
    ~RemovedAtEnd() { fs::remove(path); }
  } removed{path};
  const auto open = [] { return openWindowSettings(); };

  fs::create_directories(fs::path(path).parent_path());
  fs::remove(path);
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  const int32_t firstLine = messageCount();
  std::unique_ptr<QSettings> settings = withoutWaitingOn(path, open);
  ASSERT_FALSE(HasFailure()) << "the start waits on a pipe";
  EXPECT_EQ(settings, nullptr);
  EXPECT_TRUE(loggedSince(firstLine, "Window settings \"" + path +
                                         "\" are not a regular file: ignored, defaults used"));
  {
    auto dialog = makeDialog();
    dialog->show();
    EXPECT_FALSE(dialog->consoleShown());
    dialog->toggleConsole();
    dialog->close();
  }
  EXPECT_TRUE(fs::is_fifo(path)) << "written over";

  // A file that has become a pipe since it was opened is not written either.
  fs::remove(path);
  settings = withoutWaitingOn(path, open);
  ASSERT_NE(settings, nullptr);
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  WindowState state;
  state.consoleShown = true;
  withoutWaitingOn(path, [&] { saveWindowState(*settings, state); });  // saving
  EXPECT_TRUE(fs::is_fifo(path)) << "written over";
}

// The console's file log and the configuration watch open files the user can replace; a pipe
// in their place must never stall the window.
TEST_F(MainDialogTest, APipeInPlaceOfTheLogOrTheConfigurationIsNeverWaitedOn) {
  const std::string pipe = folders_.report + "sys.log";
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  EXPECT_FALSE(withoutWaitingOn(pipe, [&] { return SystemLogFile(pipe).isOpen(); }));
  EXPECT_EQ(withoutWaitingOn(pipe, [&] { return lastWriteTime(pipe) != 0; }), true);
  EXPECT_TRUE(fs::is_fifo(pipe));
}

TEST_F(MainDialogTest, ScreenshotHoldsBothScreensAtOneToOneAndTheStatusLineSaysWhere) {
  auto dialog = makeDialog();
  dialog->setZoom(300);  // the picture does not follow the zoom
  AppContext& context = dialog->runner().context();
  {
    std::lock_guard<std::mutex> guard(context.screenLock);
    context.pixels()[0] = 0x00123456;
    context.pixels()[271 * kRasterWidth + 479] = 0x00ABCDEF;
    context.pixels()[kRightScreenColumn + 3] = 0x00FF0000;
    context.pixels()[500] = 0x0000FF00;  // between the screens: not in the picture
  }
  ASSERT_TRUE(dialog->saveScreenshotTo(pathOf("shot.png")));
  EXPECT_EQ(dialog->statusBar()->currentMessage(), "Screenshot saved to " + pathOf("shot.png"));
  const QImage picture(pathOf("shot.png"));
  ASSERT_EQ(picture.size(), QSize(960, 272));
  EXPECT_EQ(picture.pixel(0, 0), 0xFF123456u);
  EXPECT_EQ(picture.pixel(479, 271), 0xFFABCDEFu);
  EXPECT_EQ(picture.pixel(483, 0), 0xFFFF0000u);
  for (int x = 0; x < picture.width(); ++x)
    ASSERT_NE(picture.pixel(x, 0), 0xFF00FF00u) << x;
  EXPECT_TRUE(errors_.isEmpty());

  // A folder that does not exist: told, not taken for success.
  EXPECT_FALSE(dialog->saveScreenshotTo(pathOf("no/shot.png")));
  ASSERT_EQ(errors_.size(), 1);
  EXPECT_TRUE(errors_.first().contains("screenshot could not be saved"));
}

TEST_F(MainDialogTest, TooltipsNameTheKeyboardKeysThatWorkAndAboutNamesTheLibraries) {
  auto dialog = makeDialog();
  // Help -> Keyboard Shortcuts lists what the tooltips say, and the menu's shortcuts.
  QStringList listed;
  QTimer::singleShot(0, [&] {
    QWidget* shown = QApplication::activeModalWidget();
    auto* table = shown == nullptr ? nullptr : shown->findChild<QTableWidget*>("shortcuts");
    for (int row = 0; table != nullptr && row < table->rowCount(); ++row)
      listed << table->item(row, 0)->text() + " \u2014 keyboard: " + table->item(row, 1)->text();
    if (shown != nullptr) shown->close();
  });
  action(*dialog, "&Keyboard Shortcuts...")->trigger();
  EXPECT_TRUE(listed.contains("Quit \u2014 keyboard: Ctrl+Q")) << listed.join("\n").toStdString();
  for (int code = kFirstKeyCode; code <= kLastKeyCode; ++code) {
    const QString tip = keyButton(*dialog, code)->toolTip();
    EXPECT_TRUE(listed.contains(tip)) << tip.toStdString();
    const qsizetype at = tip.indexOf("keyboard: ");
    ASSERT_GE(at, 0) << tip.toStdString();
    for (const QString& name : tip.mid(at + 10).split(" or ")) {
      const QKeySequence sequence = QKeySequence::fromString(name, QKeySequence::NativeText);
      ASSERT_EQ(sequence.count(), 1) << name.toStdString();
      const std::optional<PanelKey> panelKey =
          panelKeyFor(sequence[0].key(), sequence[0].keyboardModifiers());
      ASSERT_TRUE(panelKey.has_value()) << name.toStdString();
      EXPECT_EQ(codeOf(*panelKey), code) << name.toStdString();
    }
  }
  for (int i = 0; i < kKnobCount; ++i) {
    const QString tip = dialog->findChild<KnobControl*>(QString("knob%1").arg(i))->toolTip();
    EXPECT_TRUE(tip.startsWith(QString("Knob %1 ").arg(i + 1))) << tip.toStdString();
  }

  const QString about = aboutText(folders_);
  EXPECT_TRUE(about.contains("Version " + programVersion()));
  EXPECT_EQ(programVersion().split('.').size(), 4);
  const std::vector<LibraryVersion> libraries = libraryVersions();
  ASSERT_EQ(libraries.size(), 5u);
  for (const LibraryVersion& library : libraries) {
    EXPECT_FALSE(library.version.isEmpty()) << library.name.toStdString();
    EXPECT_TRUE(library.version.front().isDigit()) << library.name.toStdString();
    EXPECT_TRUE(about.contains(library.name + " " + library.version));
  }
  EXPECT_EQ(libraries.front().version, QString(qVersion()));
  EXPECT_TRUE(about.contains(QString::fromStdString(folders_.data)));
  EXPECT_TRUE(about.contains(QString::fromStdString(folders_.report)));
}

TEST(ScreenChangeRelayTest, NoticesFromAnotherThreadArriveQueuedAndFolded) {
  QObject receiver;
  int calls = 0;
  ScreenChangeRelay relay(&receiver, [&] { ++calls; });
  // The window thread is busy here, yet none of the notices waits for it.
  std::thread engine([&] {
    for (int i = 0; i < 1000; ++i)
      relay.screenChanged();
  });
  engine.join();
  EXPECT_EQ(calls, 0);
  QCoreApplication::processEvents();
  EXPECT_EQ(calls, 1);
  relay.screenChanged();
  QCoreApplication::processEvents();
  EXPECT_EQ(calls, 2);
}

// The open file descriptors of the process: sockets and files below `root`.
std::multiset<std::string> openFiles(const fs::path& root) {
  std::multiset<std::string> files;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    const std::string target = fs::read_symlink(entry.path(), error).string();
    if (error) continue;
    if (target.rfind("socket:", 0) == 0 || target.rfind(root.string(), 0) == 0)
      files.insert(target);
  }
  return files;
}

TEST(MainDialogEngineTest, ClosingTheWindowStopsTheRealEngine) {
  const fs::path root = fs::temp_directory_path() / "main_dialog_engine_test";
  fs::remove_all(root);
  const Folders folders{QELM_PROGRAM_DIR, (root / "data").string() + "/",
                        (root / "report").string() + "/"};
  prepareFolders(folders);
  ASSERT_TRUE(fs::exists(folders.data + "configuration/startup.txt"));
  const std::multiset<std::string> before = openFiles(root);
  const int32_t first = messageCount();
  {
    CVadEDERDlg dialog(folders);
    dialog.show();
    bool running = false;
    for (int i = 0; i < 3000 && !running; ++i) {
      QCoreApplication::processEvents();
      std::this_thread::sleep_for(10ms);
      running = loggedSince(first, "Running.");
    }
    ASSERT_TRUE(running);
    // The simulated frames of the default configuration open their sockets in the first passes.
    bool connected = false;
    for (int i = 0; i < 300 && !connected; ++i) {
      QCoreApplication::processEvents();
      std::this_thread::sleep_for(10ms);
      connected = openFiles(root).size() > before.size();
    }
    EXPECT_TRUE(connected);
    dialog.close();
    EXPECT_TRUE(dialog.runner().finished());
    EXPECT_TRUE(loggedSince(first, "Exiting."));
  }
  EXPECT_EQ(openFiles(root), before);
  fs::remove_all(root);
}

}  // namespace
}  // namespace qelm

#include "main_dialog_test.moc"
