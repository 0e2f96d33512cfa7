// The main window, in this order:
//   layout tables and small helpers (dialog units, key and knob places, tooltips, icon);
//   the configuration error text; the screen-change relay;
//   construction: panel, console, menus;
//   zoom: the levels a monitor has room for, keeping the window on its monitor, layout;
//   window state, About, Keyboard Shortcuts, screenshot;
//   the 100 ms timer: console, lamps, theme, reports, configuration failure;
//   configuration change and reload, the stop-sessions question, opening files, close;
//   console toggle and session save and load.
#include "shell/main_dialog.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDateTime>
#include <QDesktopServices>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeySequence>
#include <QLabel>
#include <QLayout>
#include <QListWidget>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QStatusBar>
#include <QTableWidget>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <QWindow>
#include <cmath>
#include <ctime>
#include <fstream>
#include <mutex>
#include <regex>

#include "core/input.h"
#include "core/log.h"
#include "core/win_input.h"
#include "display/screenshot.h"
#include "install/installation.h"
#include "remote/remote_server.h"
#include "shell/about.h"
#include "shell/download_dialog.h"
#include "shell/key_button.h"
#include "shell/key_filter.h"
#include "shell/knob_control.h"
#include "shell/screen_control.h"
#include "shell/window_settings.h"
#include "shell/zoom.h"

namespace qelm {

namespace {

// The panel is laid out in dialog units: 1.5 pixels across and 1.625 pixels down each.
int dluX(int x) {
  return (x * 3 + 1) / 2;
}
int dluY(int y) {
  return (y * 13 + 4) / 8;
}
QRect dlu(int x, int y, int width, int height) {
  return QRect(dluX(x), dluY(y), dluX(width), dluY(height));
}

constexpr int kPanelWidth = 908;          // dialog units
constexpr int kCompactHeight = 180;       // screens, knobs and keys
constexpr int kConsoleShownHeight = 352;  // and the console below them
constexpr int kTimerPeriodMs = 100;
constexpr uint32_t kTicksPerMinute = 600;
constexpr int kConsoleMaxLines = 10000;
constexpr std::streamsize kErrorFileMaxBytes = 4096;  // far more than one located error

const char* const kTitle = "Marvex Vurezoz QELM";
const QColor kDarkBackground(0, 19, 130);
const QColor kWarningColor(176, 32, 0);  // console warnings: dark red, readable on white
constexpr int32_t kDarkBackgroundsTheme = 1;

struct KeyPlace {
  PanelKey key;
  const char* text;
  QRect place;
  std::array<int, 2> keyboard;  // the keyboard keys that stand for it (0: none)
};

// The keypad: digits and edit keys in three columns, the navigation keys beside them.
const KeyPlace kKeys[] = {
    {PanelKey::kDigit1, "1", dlu(6, 29, 28, 30), {Qt::Key_1, 0}},
    {PanelKey::kDigit2, "2", dlu(36, 29, 28, 30), {Qt::Key_2, 0}},
    {PanelKey::kDigit3, "3", dlu(66, 29, 28, 30), {Qt::Key_3, 0}},
    {PanelKey::kDigit4, "4", dlu(6, 61, 28, 30), {Qt::Key_4, 0}},
    {PanelKey::kDigit5, "5", dlu(36, 61, 28, 30), {Qt::Key_5, 0}},
    {PanelKey::kDigit6, "6", dlu(66, 61, 28, 30), {Qt::Key_6, 0}},
    {PanelKey::kDigit7, "7", dlu(6, 93, 28, 30), {Qt::Key_7, 0}},
    {PanelKey::kDigit8, "8", dlu(36, 93, 28, 30), {Qt::Key_8, 0}},
    {PanelKey::kDigit9, "9", dlu(66, 93, 28, 30), {Qt::Key_9, 0}},
    {PanelKey::kContext, ". -", dlu(6, 125, 28, 30), {Qt::Key_Period, Qt::Key_Minus}},
    {PanelKey::kDigit0, "0", dlu(36, 125, 28, 30), {Qt::Key_0, 0}},
    {PanelKey::kBack, "\u2190", dlu(66, 125, 28, 30), {Qt::Key_Backspace, 0}},
    {PanelKey::kSelectDevice, "Select\nDevice", dlu(96, 29, 47, 30), {Qt::Key_D, 0}},
    {PanelKey::kSelectSubmenu, "Select\nSubmenu", dlu(96, 61, 47, 30), {Qt::Key_S, 0}},
    {PanelKey::kCancel, "Cancel", dlu(96, 93, 47, 30), {Qt::Key_Escape, 0}},
    {PanelKey::kEnter, "Enter", dlu(96, 125, 47, 30), {Qt::Key_Enter, 0}},
};

// Knobs 0 and 1 sit left of the left screen (top, bottom), 2 and 3 right of it, 4 and 5 left of
// the right screen, 6 and 7 right of it.
const QPoint kKnobPlaces[] = {{151, 7}, {151, 149}, {501, 7}, {501, 149},
                              {529, 7}, {529, 149}, {877, 7}, {877, 149}};
const QPoint kScreenPlaces[] = {{179, 7}, {556, 7}};

// A panel key's name and the keyboard keys that stand for it.
Shortcut keyShortcut(const KeyPlace& place) {
  QString name = QString::fromUtf8(place.text).replace('\n', ' ');
  if (place.key == PanelKey::kBack) name += " (back)";
  QStringList keys;
  for (const int key : place.keyboard)
    if (key != 0) keys << QKeySequence(key).toString(QKeySequence::NativeText);
  return {name, keys.join(" or ")};
}

QString keyToolTip(const KeyPlace& place) {
  const Shortcut shortcut = keyShortcut(place);
  return QString("%1 \u2014 keyboard: %2").arg(shortcut.what, shortcut.keys);
}

QString knobToolTip(int index) {
  return QString(
             "Knob %1 \u2014 mouse wheel (over it, or after passing over it): turn; left "
             "button: push; held %2 s: reset to default")
      .arg(index + 1)
      .arg(WinInput::kHoldTimeMs / 1000);
}

// Scales a place laid out for 100 % on a plain monitor.
QRect scaled(const QRect& place, double scale) {
  return QRect(qRound(place.x() * scale), qRound(place.y() * scale), qRound(place.width() * scale),
               qRound(place.height() * scale));
}

QString fromLocal(const std::string& text) {
  return QFile::decodeName(QByteArray::fromStdString(text));
}

std::string toLocal(const QString& text) {
  return QFile::encodeName(text).toStdString();
}

// The window's icon: a knob with its green indicator on the dark panel blue.
QIcon makeWindowIcon() {
  QIcon icon;
  for (const int size : {16, 32, 64}) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal unit = size / 64.0;
    painter.setPen(Qt::NoPen);
    painter.setBrush(kDarkBackground);
    painter.drawRoundedRect(QRectF(2 * unit, 2 * unit, 60 * unit, 60 * unit), 10 * unit, 10 * unit);
    const QRectF knob(14 * unit, 14 * unit, 36 * unit, 36 * unit);
    painter.setBrush(Qt::white);
    painter.drawEllipse(knob);
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(QColor(0x90, 0xEE, 0x90), 6 * unit, Qt::SolidLine, Qt::RoundCap));
    painter.drawArc(knob.adjusted(-5 * unit, -5 * unit, 5 * unit, 5 * unit), 60 * 16, 45 * 16);
    painter.end();
    icon.addPixmap(pixmap);
  }
  return icon;
}

// The located error the loader wrote into the data folder's "error" file; empty without one.
std::string readErrorFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string text(static_cast<size_t>(kErrorFileMaxBytes), '\0');
  in.read(text.data(), kErrorFileMaxBytes);
  text.resize(static_cast<size_t>(std::max<std::streamsize>(in.gcount(), 0)));
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
    text.pop_back();
  return text;
}

}  // namespace

QString configurationErrorText(const std::string& errorFileText) {
  const QString error =
      errorFileText.empty()
          ? QString("The console shows why.")
          : QString::fromUtf8(errorFileText.data(), static_cast<qsizetype>(errorFileText.size()));
  return QString(
             "The configuration could not be loaded:\n\n%1\n\nPlease fix the file and choose "
             "Reload.")
      .arg(error);
}

std::string configurationErrorFile(const std::string& errorFileText) {
  // The path comes first; a path holding ":digits " is less likely than such a message.
  static const std::regex located(R"(^at (.+?):(\d+) )");
  std::smatch match;
  if (!std::regex_search(errorFileText, match, located)) return std::string();
  return match[1].str();
}

ScreenChangeRelay::ScreenChangeRelay(QObject* receiver, std::function<void()> onChange)
    : receiver_(receiver), onChange_(std::move(onChange)) {}

void ScreenChangeRelay::screenChanged() {
  if (pending_.exchange(true)) return;
  QMetaObject::invokeMethod(
      receiver_,
      [this] {
        pending_.store(false);
        onChange_();
      },
      Qt::QueuedConnection);
}

CVadEDERDlg::CVadEDERDlg(const Folders& folders, EngineRunner::RunFunction run,
                         platform::Clock& clock)
    : folders_(folders),
      sysLog_(folders.report + "sys.log"),
      relay_(this,
             [this] {
               for (ScreenControl* screen : screens_)
                 screen->refresh();
             }),
      runner_(std::make_unique<EngineRunner>(folders, clock, std::move(run))),
      configWatch_(folders.data + "configuration/startup.txt"),
      question_([this](const QString& caption, const QString& text) {
        return QMessageBox::question(this, caption, text, QMessageBox::Yes | QMessageBox::No) ==
               QMessageBox::Yes;
      }),
      errorBox_([this](const QString& text) { QMessageBox::critical(this, kTitle, text); }),
      opener_([](const QUrl& url) { return QDesktopServices::openUrl(url); }) {
  AppContext& context = runner_->context();
  context.notifyWindow.store(&relay_);
  setWindowTitle(kTitle);
  setWindowIcon(makeWindowIcon());
  settings_ = openWindowSettings();
  baseFont_ = QApplication::font();
  buildPanel();
  buildConsole();
  buildFileMenu();
  buildMenus();
  buildHelpMenu();
  // Says what a command did, and where a file it wrote went.
  statusBar()->setObjectName("status");
  statusBar()->setSizeGripEnabled(false);
  // Reports written before this window opened are not news.
  reportSeen_ = std::max(newestReport().second, QDateTime::currentDateTime());
  // The window is exactly as large as its panel: the console appears by growing it.
  layout()->setSizeConstraint(QLayout::SetFixedSize);
  restoreWindowState();
  keyFilter_ = new KeyFilter(this, context.input, this);
  qApp->installEventFilter(keyFilter_);
  qApp->installEventFilter(this);

  timer_ = new QTimer(this);
  connect(timer_, &QTimer::timeout, this, &CVadEDERDlg::timerTick);
  timer_->start(kTimerPeriodMs);
  context.setStartupFileName("startup.txt");
  runner_->start();
  if (settings_) remoteChoice_ = loadRemoteChoice(*settings_);
  if (remoteChoice_.enabled) applyRemoteChoice(remoteChoice_);
  panel_->setFocus();
  // A monitor with other scaling keeps the zoom in its own pixels.
  winId();
  // Queued: the move that changed the monitor is over by then, and the window's place is known.
  connect(windowHandle(), &QWindow::screenChanged, this, &CVadEDERDlg::fitToScreen,
          Qt::QueuedConnection);
}

CVadEDERDlg::~CVadEDERDlg() {
  qApp->removeEventFilter(keyFilter_);
  qApp->removeEventFilter(this);
  if (remote_) remote_->stop();
  runner_->stop();
  runner_->context().notifyWindow.store(nullptr);
  remote_.reset();
  retiredRemotes_.clear();
}

void CVadEDERDlg::buildPanel() {
  panel_ = new QWidget(this);
  panel_->setObjectName("panel");
  // The panel keeps the keyboard focus: the keys and knobs never take it.
  panel_->setFocusPolicy(Qt::StrongFocus);
  panel_->setAutoFillBackground(true);
  setCentralWidget(panel_);
  AppContext& context = runner_->context();
  for (const Screen screen : {Screen::kLeft, Screen::kRight}) {
    const int32_t i = codeOf(screen);
    screens_[i] = new ScreenControl(i, &context, panel_);
    screens_[i]->setObjectName(QString("screen%1").arg(i));
    places_.emplace_back(screens_[i],
                         QRect(dluX(kScreenPlaces[i].x()), dluY(kScreenPlaces[i].y()), 0, 0));
  }
  for (int i = 0; i < 8; ++i) {
    KnobControl* knob = new KnobControl(i, context.input, panel_);
    knob->setObjectName(QString("knob%1").arg(i));
    knob->setToolTip(knobToolTip(i));
    places_.emplace_back(knob, dlu(kKnobPlaces[i].x(), kKnobPlaces[i].y(), 26, 26));
    connect(knob, &KnobControl::hovered, this, [this](KnobControl* k) { wheelKnob_ = k; });
    knobs_[i] = knob;
  }
  for (const KeyPlace& place : kKeys) {
    const int32_t code = codeOf(place.key);
    KeyButton* key = new KeyButton(code, QString::fromUtf8(place.text), context.input, panel_);
    key->setObjectName(QString("key%1").arg(code));
    key->setToolTip(keyToolTip(place));
    places_.emplace_back(key, place.place);
    keys_[code] = key;
  }
}

void CVadEDERDlg::buildConsole() {
  console_ = new QListWidget(panel_);
  console_->setObjectName("console");
  places_.emplace_back(console_, dlu(385, 210, 515, 135));
  console_->setFocusPolicy(Qt::NoFocus);
  console_->setUniformItemSizes(true);
  console_->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  clear_ = new QPushButton("Clear", panel_);
  clear_->setObjectName("clear");
  places_.emplace_back(clear_, dlu(325, 207, 55, 23));
  clear_->setFocusPolicy(Qt::NoFocus);
  connect(clear_, &QPushButton::clicked, console_, &QListWidget::clear);
  autoscroll_ = new QCheckBox("Autoscroll", panel_);
  autoscroll_->setObjectName("autoscroll");
  places_.emplace_back(autoscroll_, dlu(329, 234, 47, 10));
  autoscroll_->setFocusPolicy(Qt::NoFocus);
  autoscroll_->setChecked(true);
  // The operator view leaves out font sizing and timing; the full log is one click away.
  allMessages_ = new QCheckBox("All messages", panel_);
  allMessages_->setObjectName("allMessages");
  places_.emplace_back(allMessages_, dlu(329, 248, 47, 10));
  allMessages_->setFocusPolicy(Qt::NoFocus);
  connect(allMessages_, &QCheckBox::toggled, this, &CVadEDERDlg::filterConsole);
}

void CVadEDERDlg::filterConsole() {
  const bool all = allMessages_->isChecked();
  for (int row = 0; row < console_->count(); ++row) {
    QListWidgetItem* item = console_->item(row);
    item->setHidden(!all && item->data(Qt::UserRole).toInt() ==
                                static_cast<int>(ConsoleLineKind::kDiagnostic));
  }
  if (autoscroll_->isChecked()) console_->scrollToBottom();
}

void CVadEDERDlg::showConsoleControls() {
  for (QWidget* control : {static_cast<QWidget*>(console_), static_cast<QWidget*>(clear_),
                           static_cast<QWidget*>(autoscroll_), static_cast<QWidget*>(allMessages_)})
    control->setEnabled(consoleShown_);
  if (consoleAction_ != nullptr)
    consoleAction_->setText(consoleShown_ ? "Hide &Console" : "Show &Console");
}

void CVadEDERDlg::buildFileMenu() {
  QMenu* file = menuBar()->addMenu("&File");
  connect(file->addAction("Save &Screenshot..."), &QAction::triggered, this,
          &CVadEDERDlg::saveScreenshot);
  file->addSeparator();
  QAction* quit = file->addAction("&Quit");
  quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
  connect(quit, &QAction::triggered, this, &QWidget::close);
}

void CVadEDERDlg::buildMenus() {
  QMenu* application = menuBar()->addMenu("&Application");
  connect(application->addAction("Edit &Configuration"), &QAction::triggered, this,
          &CVadEDERDlg::editConfiguration);
  // Closing the download dialog activates the window again, whose change check offers the
  // reload.
  connect(application->addAction("Remote Panel..."), &QAction::triggered, this,
          &CVadEDERDlg::chooseRemotePanel);
  connect(application->addAction("Download TRELK Configuration..."), &QAction::triggered, this,
          [this] { CTrelkConfigDownload(folders_.data, this).exec(); });
  saveSessionAction_ = application->addAction("Save Session...");
  connect(saveSessionAction_, &QAction::triggered, this, &CVadEDERDlg::saveSession);
  loadSessionAction_ = application->addAction("Load Session...");
  connect(loadSessionAction_, &QAction::triggered, this, &CVadEDERDlg::loadSession);
  application->addSeparator();
  connect(application->addAction("&Exit"), &QAction::triggered, this, &QWidget::close);
  connect(application, &QMenu::aboutToShow, this, &CVadEDERDlg::updateSessionActions);
  application->setToolTipsVisible(true);
  updateSessionActions();

  QMenu* view = menuBar()->addMenu("&View");
  connect(view->addAction("Report Directory"), &QAction::triggered, this,
          &CVadEDERDlg::openReportDirectory);
  consoleAction_ = view->addAction("Show &Console");
  connect(consoleAction_, &QAction::triggered, this, &CVadEDERDlg::toggleConsole);
  buildZoomMenu(view);
}

void CVadEDERDlg::buildZoomMenu(QMenu* view) {
  QMenu* zoom = view->addMenu("&Zoom");
  zoomActions_ = new QActionGroup(this);
  for (const int level : kZoomLevels) {
    QAction* action = zoom->addAction(QString("%1 %").arg(level));
    action->setCheckable(true);
    action->setData(level);
    zoomActions_->addAction(action);
    connect(action, &QAction::triggered, this, [this, level] { setZoom(level); });
  }
  zoom->addSeparator();
  QAction* in = zoom->addAction("Zoom &In");
  in->setShortcuts({QKeySequence(Qt::CTRL | Qt::Key_Plus), QKeySequence(Qt::CTRL | Qt::Key_Equal)});
  connect(in, &QAction::triggered, this, [this] {
    // Only as far as the monitor has room.
    const std::vector<int> offered = offeredZoomLevels();
    const int next = steppedZoom(zoom_, 1);
    if (std::find(offered.begin(), offered.end(), next) != offered.end()) setZoom(next);
  });
  QAction* out = zoom->addAction("Zoom &Out");
  out->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Minus));
  connect(out, &QAction::triggered, this, [this] { setZoom(steppedZoom(zoom_, -1)); });
  QAction* actual = zoom->addAction("&Actual Pixels");
  actual->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_0));
  connect(actual, &QAction::triggered, this, [this] { setZoom(kZoomLevels.front()); });
}

void CVadEDERDlg::buildHelpMenu() {
  QMenu* help = menuBar()->addMenu("&Help");
  connect(help->addAction("&Keyboard Shortcuts..."), &QAction::triggered, this,
          &CVadEDERDlg::showKeyboardShortcuts);
  connect(help->addAction("&About..."), &QAction::triggered, this, &CVadEDERDlg::showAbout);
}

std::vector<int> CVadEDERDlg::offeredZoomLevels() const {
  const QScreen* monitor = screen();
  if (monitor == nullptr) return {kZoomLevels.front()};
  // In monitor pixels: the panel is laid out for them, the menu bar, status line and frame are
  // not zoomed.
  const double ratio = devicePixelRatioF();
  auto pixels = [ratio](QSize size) {
    return QSize(qRound(size.width() * ratio), qRound(size.height() * ratio));
  };
  const QSize panelAt100(dluX(kPanelWidth),
                         dluY(consoleShown_ ? kConsoleShownHeight : kCompactHeight));
  const QSize frame = frameGeometry().size() - geometry().size();
  const QSize fixed = pixels(QSize(frame.width(), frame.height() + menuBar()->sizeHint().height() +
                                                      statusBar()->sizeHint().height()));
  return fittingZoomLevels(panelAt100 + fixed, fixed, pixels(monitor->availableGeometry().size()));
}

void CVadEDERDlg::setZoom(int zoom) {
  if (!isZoomLevel(zoom)) return;
  const std::vector<int> offered = offeredZoomLevels();
  if (std::find(offered.begin(), offered.end(), zoom) == offered.end()) return;
  zoom_ = zoom;
  for (QAction* action : zoomActions_->actions())
    action->setChecked(action->data().toInt() == zoom);
  layoutPanel();
  keepOnScreen();
}

void CVadEDERDlg::fitToScreen() {
  const std::vector<int> offered = offeredZoomLevels();
  for (QAction* action : zoomActions_->actions())
    action->setVisible(std::find(offered.begin(), offered.end(), action->data().toInt()) !=
                       offered.end());
  // A zoom larger than this monitor has room for gives way to the largest that fits; a monitor
  // with other scaling keeps the zoom in its own pixels.
  if (std::find(offered.begin(), offered.end(), zoom_) == offered.end()) zoom_ = offered.back();
  setZoom(zoom_);
}

void CVadEDERDlg::keepOnScreen() {
  const QScreen* monitor = screen();
  if (monitor == nullptr || !isVisible()) return;
  adjustSize();
  const QRect free = monitor->availableGeometry();
  const QRect frame = frameGeometry();
  QPoint place = frame.topLeft();
  if (frame.right() > free.right()) place.setX(free.right() + 1 - frame.width());
  if (frame.bottom() > free.bottom()) place.setY(free.bottom() + 1 - frame.height());
  // Too large for the monitor even so: its top left corner, where the menu is, stays on it.
  place.setX(std::max(place.x(), free.left()));
  place.setY(std::max(place.y(), free.top()));
  if (place != frame.topLeft()) move(place);
}

void CVadEDERDlg::layoutPanel() {
  // The zoom counts the monitor's pixels; the widgets count the desktop's scaled units.
  const double scale = zoom_ / 100.0 / devicePixelRatioF();
  QFont font = baseFont_;
  if (font.pointSizeF() > 0)
    font.setPointSizeF(font.pointSizeF() * scale);
  else
    font.setPixelSize(std::max(1, qRound(font.pixelSize() * scale)));
  panel_->setFont(font);
  for (const auto& [control, place] : places_) {
    if (auto* screen = qobject_cast<ScreenControl*>(control)) {
      screen->setZoom(zoom_);
      screen->move(scaled(place, scale).topLeft());
    } else {
      control->setGeometry(scaled(place, scale));
    }
  }
  // The check boxes keep their whole label: wider than their place, they grow to the left, under
  // the Clear button's right edge, where nothing else is.
  for (QCheckBox* box : {autoscroll_, allMessages_}) {
    QRect place = box->geometry();
    const int width = std::max(place.width(), box->sizeHint().width());
    place.setLeft(clear_->geometry().right() + 1 - width);
    place.setWidth(width);
    place.setHeight(std::max(place.height(), box->sizeHint().height()));
    box->setGeometry(place);
  }
  panel_->setFixedSize(scaled(QRect(0, 0, dluX(kPanelWidth),
                                    dluY(consoleShown_ ? kConsoleShownHeight : kCompactHeight)),
                              scale)
                           .size());
}

void CVadEDERDlg::restoreWindowState() {
  const WindowState state = settings_ ? loadWindowState(*settings_) : WindowState{};
  consoleShown_ = state.consoleShown;
  showConsoleControls();
  const int zoom = state.zoom.value_or(defaultZoomFor(devicePixelRatioF()));
  zoom_ = isZoomLevel(zoom) ? zoom : kZoomLevels.front();
  fitToScreen();
  adjustSize();
  if (state.position && reachableOnDesktop(*state.position, size())) move(*state.position);
}

void CVadEDERDlg::saveWindowState() {
  WindowState state;
  state.position = pos();
  state.zoom = zoom_;
  state.consoleShown = consoleShown_;
  if (settings_) qelm::saveWindowState(*settings_, state);
}

void CVadEDERDlg::showAbout() {
  QMessageBox::about(this, "About Marvex Vurezoz QELM", aboutText(folders_));
}

std::vector<Shortcut> CVadEDERDlg::keyboardShortcuts() const {
  std::vector<Shortcut> shortcuts;
  for (const KeyPlace& place : kKeys)
    shortcuts.push_back(keyShortcut(place));
  for (QAction* action : menuBar()->findChildren<QAction*>()) {
    if (action->shortcuts().isEmpty()) continue;
    QStringList keys;
    for (const QKeySequence& sequence : action->shortcuts())
      keys << sequence.toString(QKeySequence::NativeText);
    shortcuts.push_back({action->text().remove('&'), keys.join(" or ")});
  }
  return shortcuts;
}

void CVadEDERDlg::showKeyboardShortcuts() {
  const std::vector<Shortcut> shortcuts = keyboardShortcuts();
  QDialog dialog(this);
  dialog.setWindowTitle("Keyboard Shortcuts");
  auto* table = new QTableWidget(static_cast<int>(shortcuts.size()), 2, &dialog);
  table->setObjectName("shortcuts");
  table->setHorizontalHeaderLabels({"Panel key or command", "Keyboard"});
  table->verticalHeader()->hide();
  table->setEditTriggers(QAbstractItemView::NoEditTriggers);
  for (int row = 0; row < static_cast<int>(shortcuts.size()); ++row) {
    table->setItem(row, 0, new QTableWidgetItem(shortcuts[row].what));
    table->setItem(row, 1, new QTableWidgetItem(shortcuts[row].keys));
  }
  table->resizeColumnsToContents();
  table->horizontalHeader()->setStretchLastSection(true);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, &dialog);
  connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  auto* layout = new QVBoxLayout(&dialog);
  layout->addWidget(
      new QLabel("The mouse wheel turns the knob the pointer last passed over.", &dialog));
  layout->addWidget(table);
  layout->addWidget(buttons);
  dialog.resize(460, 520);
  dialog.exec();
}

void CVadEDERDlg::saveScreenshot() {
  const QString suggested =
      QFile::decodeName(QByteArray::fromStdString(folders_.report)) +
      QDateTime::currentDateTime().toString("'qelm-screens-'yyyyMMdd-HHmmss'.png'");
  QFileDialog dialog(this, "Save Screenshot", suggested, "PNG Images (*.png)");
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setDefaultSuffix("png");
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
  saveScreenshotTo(dialog.selectedFiles().first());
}

bool CVadEDERDlg::saveScreenshotTo(const QString& path) {
  // The picture is taken as one moment of the raster; the file is written after the lock is
  // given back, so a slow disk never holds up the engine.
  AppContext& context = runner_->context();
  std::vector<uint32_t> raster(static_cast<size_t>(kRasterWidth) * kRasterHeight);
  {
    std::lock_guard<std::mutex> guard(context.screenLock);
    std::copy_n(context.pixels(), raster.size(), raster.data());
  }
  std::string error;
  if (writeScreensPng(raster.data(), toLocal(path), error)) {
    statusBar()->showMessage("Screenshot saved to " + path);
    return true;
  }
  errorBox_(QString("The screenshot could not be saved: %1").arg(fromLocal(error)));
  return false;
}

void CVadEDERDlg::updateSessionActions() {
  const AppContext& context = runner_->context();
  const bool canSave = context.canSaveSession();
  const bool canLoad = context.canLoadSession();
  saveSessionAction_->setEnabled(canSave);
  loadSessionAction_->setEnabled(canLoad);
  // A greyed-out item says what would make it available.
  saveSessionAction_->setToolTip(canSave ? "Save the session on show to a file"
                                         : kSaveSessionUnavailable);
  loadSessionAction_->setToolTip(canLoad ? "Load a saved session into the session on show"
                                         : kLoadSessionUnavailable);
}

void CVadEDERDlg::timerTick() {
  AppContext& context = runner_->context();
  if (++ticks_ % kTicksPerMinute == 0)
    logMessage(kLogInfo, "%s -- System is running\n", localTimeText(std::time(nullptr)).c_str());

  const auto messages = feed_.take();
  if (!messages.empty()) {
    const std::string now = localTimeText(std::time(nullptr));
    const bool all = allMessages_->isChecked();
    for (const auto& [number, text] : messages) {
      auto* item =
          new QListWidgetItem(QString("%1: %2").arg(number).arg(QString::fromUtf8(text)), console_);
      const ConsoleLineKind kind = consoleLineKind(text);
      item->setData(Qt::UserRole, static_cast<int>(kind));
      if (kind == ConsoleLineKind::kWarning) item->setForeground(kWarningColor);
      item->setHidden(kind == ConsoleLineKind::kDiagnostic && !all);
      sysLog_.write(number, now, text);
    }
    if (autoscroll_->isChecked()) {
      console_->setCurrentRow(console_->count() - 1);
      console_->scrollToBottom();
    }
  }
  if (console_->count() >= kConsoleMaxLines) console_->clear();

  for (ScreenControl* screen : screens_)
    screen->refresh();
  if (ticks_ % kReportCheckTicks == 0) checkNewReports();
  const uint32_t word = context.lampWord.load(std::memory_order_relaxed);
  // The keys stay bright until the engine first lights them, but a run that ended on a
  // configuration error darkens them: nothing can be done on the panel until it is fixed.
  const bool failed =
      runner_->finished() && runner_->result() == static_cast<int>(ExitCode::kConfigFailed);
  if (word != lastLampWord_ || failed) showLamps(word);
  const int32_t theme = context.colorTheme.load(std::memory_order_relaxed);
  if (theme != lastTheme_) showTheme(theme);
  // Not once the window is closed: a box then would keep the program from ending. Opened after
  // this tick rather than inside it: a timer does not fire again while its own slot waits, and
  // the window must go on showing the panel, the console and the dark keys under the box.
  if (failed && !configErrorShown_ && isVisible()) {
    configErrorShown_ = true;
    QTimer::singleShot(0, this, [this] {
      // A close signal may have closed the window meanwhile.
      if (isVisible()) showConfigurationError();
    });
  }
}

void CVadEDERDlg::showLamps(uint32_t word) {
  lastLampWord_ = word;
  const LampStates lamps = unpackLampWord(word);
  for (int32_t code = kFirstKeyCode; code <= kLastKeyCode; ++code)
    keys_[code]->setLamp(lamps[code]);
}

void CVadEDERDlg::showTheme(int32_t theme) {
  lastTheme_ = theme;
  QPalette palette = QApplication::palette(panel_);
  if (theme == kDarkBackgroundsTheme) palette.setColor(QPalette::Window, kDarkBackground);
  panel_->setPalette(palette);
  for (KnobControl* knob : knobs_)
    knob->setTheme(theme);
  update();
}

void CVadEDERDlg::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  if (event->type() != QEvent::ActivationChange || !isActiveWindow()) return;
  panel_->setFocus();
  // Asked once the activation is over, not from inside it.
  QMetaObject::invokeMethod(this, &CVadEDERDlg::checkConfigurationChange, Qt::QueuedConnection);
}

void CVadEDERDlg::checkConfigurationChange() {
  // The configuration error box offers Reload itself; a file mended while it is open is asked
  // about after it closes, unless its Reload took it.
  if (isMinimized() || errorBoxOpen_) return;
  if (!configWatch_.takeChange()) return;
  QString text = "The configuration file has changed.  Would you like to reload?";
  if (const auto sessions = sessionsToStop(); !sessions.empty())
    text += "\n\n" + stopSessionsText("Reloading the configuration", sessions);
  if (question_("Configuration File Changed", text)) restartEngine();
}

std::vector<std::string> CVadEDERDlg::sessionsToStop() {
  // A run that has ended left its last list behind.
  if (runner_->finished()) return {};
  return runner_->context().runningSessions();
}

QString CVadEDERDlg::stopSessionsText(const QString& action,
                                      const std::vector<std::string>& sessions) const {
  QStringList names;
  for (const std::string& name : sessions)
    names << "\u201C" + QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size())) +
                 "\u201D";
  return QString("%1 stops the running loudness %2 %3. %4 written to %5.")
      .arg(action, sessions.size() == 1 ? "session" : "sessions", names.join(", "),
           sessions.size() == 1 ? "Its report is" : "Their reports are",
           fromLocal(folders_.report + "reports/"));
}

void CVadEDERDlg::closeUnasked() {
  // A message box left open would keep the program running after the window has closed.
  if (QWidget* modal = QApplication::activeModalWidget(); modal != nullptr && modal != this)
    modal->close();
  askBeforeClose_ = false;
  close();
}

void CVadEDERDlg::restartEngine() {
  configErrorShown_ = false;
  // The run about to start reads the file as it is now: that write needs no question of its own.
  configWatch_.takeChange();
  runner_->start();
  statusBar()->showMessage("Configuration reloaded");
}

void CVadEDERDlg::openPath(const std::string& path) {
  const QString local = fromLocal(path);
  if (!opener_(QUrl::fromLocalFile(local)))
    statusBar()->showMessage("No program opens " + local + " on this desktop");
}

std::pair<QString, QDateTime> CVadEDERDlg::newestReport() const {
  // Each session keeps its pages in reports/SESSION/html/.
  std::pair<QString, QDateTime> newest;
  const QDir reports(fromLocal(folders_.report + "reports"));
  for (const QString& session : reports.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
    const QDir html(reports.filePath(session + "/html"));
    for (const QFileInfo& page : html.entryInfoList({"*.html"}, QDir::Files)) {
      if (page.lastModified() > newest.second) newest = {page.filePath(), page.lastModified()};
    }
  }
  return newest;
}

void CVadEDERDlg::checkNewReports() {
  const auto [path, time] = newestReport();
  if (path.isEmpty() || time <= reportSeen_) return;
  reportSeen_ = time;
  statusBar()->showMessage("Report written to " + path);
}

void CVadEDERDlg::showConfigurationError() {
  const std::string error = readErrorFile(folders_.data + "error");
  std::string file = configurationErrorFile(error);
  if (file.empty()) file = configWatch_.path();
  QMessageBox box(QMessageBox::Critical, "Configuration Error", configurationErrorText(error),
                  QMessageBox::NoButton, this);
  box.setObjectName("configurationError");
  QPushButton* open = box.addButton("Open File", QMessageBox::ActionRole);
  QPushButton* reload = box.addButton("Reload", QMessageBox::AcceptRole);
  box.addButton(QMessageBox::Close);
  box.setDefaultButton(open);
  errorBoxOpen_ = true;
  box.exec();
  errorBoxOpen_ = false;
  if (box.clickedButton() == open)
    openPath(file);
  else if (box.clickedButton() == reload)
    restartEngine();
}

void CVadEDERDlg::chooseRemotePanel() {
  RemotePanelDialog dialog(remoteChoice_, remoteState(), this);
  if (dialog.exec() != QDialog::Accepted) return;
  const RemoteChoice choice = dialog.choice();
  if (settings_) saveRemoteChoice(*settings_, choice);
  const QString error = applyRemoteChoice(choice);
  if (!error.isEmpty()) errorBox_("The remote panel could not start: " + error);
}

QString CVadEDERDlg::applyRemoteChoice(const RemoteChoice& choice) {
  remoteChoice_ = choice;
  remoteError_.clear();
  if (remote_) {
    remote_->stop();
    retiredRemotes_.push_back(std::move(remote_));
  }
  if (!choice.enabled) {
    statusBar()->showMessage("Remote panel off");
    return {};
  }
  if (const QString problem = choice.problem(); !problem.isEmpty()) {
    remoteError_ = problem;
  } else {
    remote::RemoteOptions options;
    options.address = choice.address.toStdString();
    options.port = static_cast<uint16_t>(choice.port);
    options.dataFolder = folders_.data;
    options.resourceFolder = folders_.program + "resources/remote/";
    options.certificateFile = choice.certificateFile.toStdString();
    options.keyFile = choice.keyFile.toStdString();
    auto server = std::make_unique<remote::RemoteServer>(runner_->context(), options);
    remoteError_ = QString::fromStdString(server->start());
    if (remoteError_.isEmpty()) remote_ = std::move(server);
  }
  statusBar()->showMessage(remoteState());
  return remoteError_;
}

QString CVadEDERDlg::remoteState() const {
  if (remote_ && remote_->running()) {
    const bool secure = !remoteChoice_.certificateFile.isEmpty();
    return QString("Remote panel serving %1://%2:%3/")
        .arg(secure ? "https" : "http", remoteChoice_.address)
        .arg(remote_->port());
  }
  if (!remoteError_.isEmpty()) return "Remote panel not serving: " + remoteError_;
  return "Remote panel off";
}

void CVadEDERDlg::closeEvent(QCloseEvent* event) {
  if (askBeforeClose_) {
    if (const auto sessions = sessionsToStop(); !sessions.empty()) {
      const QString text = stopSessionsText("Quitting", sessions) + "\n\nQuit anyway?";
      if (!question_("Stop Running Sessions", text)) {
        event->ignore();
        return;
      }
    }
  }
  saveWindowState();
  if (remote_) remote_->stop();
  runner_->stop();
  event->accept();
}

bool CVadEDERDlg::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() != QEvent::Wheel || !watched->isWidgetType()) return false;
  auto* widget = static_cast<QWidget*>(watched);
  if (widget->window() != this || widget == console_ || console_->isAncestorOf(widget))
    return false;
  // The wheel turns the knob the pointer last passed over, wherever the pointer is now; with no
  // such knob yet it does nothing.
  if (wheelKnob_ != nullptr)
    wheelKnob_->turnByWheel(static_cast<QWheelEvent*>(event)->angleDelta().y());
  return true;
}

void CVadEDERDlg::editConfiguration() {
  openPath(configWatch_.path());
}

void CVadEDERDlg::openReportDirectory() {
  openPath(folders_.report + "reports");
}

void CVadEDERDlg::toggleConsole() {
  consoleShown_ = !consoleShown_;
  fitToScreen();  // taller now: a zoom may no longer fit
  showConsoleControls();
  panel_->setFocus();
}

void CVadEDERDlg::saveSession() {
  QFileDialog dialog(this);
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setNameFilter(kSessionFilter);
  dialog.setDefaultSuffix("dat");
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
  saveSessionTo(dialog.selectedFiles().first());
}

void CVadEDERDlg::loadSession() {
  QFileDialog dialog(this);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setNameFilter(kSessionFilter);
  dialog.setDefaultSuffix("dat");
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
  loadSessionFrom(dialog.selectedFiles().first());
}

void CVadEDERDlg::saveSessionTo(const QString& path) {
  const std::string file = toLocal(path);
  const size_t slash = file.rfind('/');
  if (slash == std::string::npos) return;
  // The session's report pages need their style sheets and logo beside them.
  copyReportResources(folders_, file.substr(0, slash + 1));
  // Unlike the original fire-and-forget save, the reply is awaited: a reply left to arrive
  // later would be taken for the answer to the next load, and a failed save must be told.
  const std::string reply = requestSession(file, false);
  if (reply != "OK")
    errorBox_(QString::fromUtf8(reply));
  else
    statusBar()->showMessage("Session saved to " + path);
}

void CVadEDERDlg::loadSessionFrom(const QString& path) {
  const std::string reply = requestSession(toLocal(path), true);
  if (reply != "OK")
    errorBox_(QString::fromUtf8(reply));
  else
    statusBar()->showMessage("Session loaded from " + path);
}

std::string CVadEDERDlg::requestSession(const std::string& path, bool load) {
  AppContext& context = runner_->context();
  platform::Clock& clock = context.clock();
  // A reply still lying there belongs to an earlier request that was given up.
  context.setSessionReply(std::string());
  if (load)
    context.setLoadSessionPath(path);
  else
    context.setSaveSessionPath(path);
  QGuiApplication::setOverrideCursor(Qt::WaitCursor);
  const uint32_t start = clock.tick();
  std::string reply = context.sessionReply();
  while (reply.empty() && platform::elapsedMs(clock.tick(), start) < kSessionReplyLimitMs) {
    clock.sleepMs(10);
    reply = context.sessionReply();
  }
  QGuiApplication::restoreOverrideCursor();
  context.setSessionReply(std::string());
  if (!reply.empty()) return reply;
  // Withdraw a request the engine never took, so it cannot act on it after the user was told
  // it failed.
  if (load)
    context.takeLoadSessionPath();
  else
    context.takeSaveSessionPath();
  return "The panel did not answer the session request within " +
         std::to_string(kSessionReplyLimitMs / 1000) + " seconds.";
}

}  // namespace qelm
