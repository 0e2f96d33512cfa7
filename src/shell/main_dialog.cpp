#include "shell/main_dialog.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QFile>
#include <QFileDialog>
#include <QGuiApplication>
#include <QLayout>
#include <QListWidget>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QTimer>
#include <QUrl>
#include <QWheelEvent>
#include <ctime>

#include "core/input.h"
#include "core/log.h"
#include "install/installation.h"
#include "shell/download_dialog.h"
#include "shell/key_button.h"
#include "shell/key_filter.h"
#include "shell/knob_control.h"
#include "shell/screen_control.h"

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

const char* const kTitle = "Marvex Vurezoz QELM";
const char* const kSessionFilter = "Session Files (*.SES);;All Files (*.*)";
const QColor kDarkBackground(0, 19, 130);
constexpr int32_t kDarkBackgroundsTheme = 1;

struct KeyPlace {
  PanelKey key;
  const char* text;
  QRect place;
};

// The keypad: digits and edit keys in three columns, the navigation keys beside them.
const KeyPlace kKeys[] = {
    {PanelKey::kDigit1, "1", dlu(6, 29, 28, 30)},
    {PanelKey::kDigit2, "2", dlu(36, 29, 28, 30)},
    {PanelKey::kDigit3, "3", dlu(66, 29, 28, 30)},
    {PanelKey::kDigit4, "4", dlu(6, 61, 28, 30)},
    {PanelKey::kDigit5, "5", dlu(36, 61, 28, 30)},
    {PanelKey::kDigit6, "6", dlu(66, 61, 28, 30)},
    {PanelKey::kDigit7, "7", dlu(6, 93, 28, 30)},
    {PanelKey::kDigit8, "8", dlu(36, 93, 28, 30)},
    {PanelKey::kDigit9, "9", dlu(66, 93, 28, 30)},
    {PanelKey::kContext, ". -", dlu(6, 125, 28, 30)},
    {PanelKey::kDigit0, "0", dlu(36, 125, 28, 30)},
    {PanelKey::kBack, "\u2190", dlu(66, 125, 28, 30)},
    {PanelKey::kSelectDevice, "Select\nDevice", dlu(96, 29, 47, 30)},
    {PanelKey::kSelectSubmenu, "Select\nSubmenu", dlu(96, 61, 47, 30)},
    {PanelKey::kCancel, "Cancel", dlu(96, 93, 47, 30)},
    {PanelKey::kEnter, "Enter", dlu(96, 125, 47, 30)},
};

// Knobs 0 and 1 sit left of the left screen (top, bottom), 2 and 3 right of it, 4 and 5 left of
// the right screen, 6 and 7 right of it.
const QPoint kKnobPlaces[] = {{151, 7}, {151, 149}, {501, 7}, {501, 149},
                              {529, 7}, {529, 149}, {877, 7}, {877, 149}};
const QPoint kScreenPlaces[] = {{179, 7}, {556, 7}};

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

}  // namespace

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
                 screen->update();
             }),
      runner_(std::make_unique<EngineRunner>(folders, clock, std::move(run))),
      configWatch_(folders.data + "configuration/startup.txt"),
      question_([this](const QString& caption, const QString& text) {
        return QMessageBox::question(this, caption, text, QMessageBox::Yes | QMessageBox::No) ==
               QMessageBox::Yes;
      }),
      errorBox_([this](const QString& text) { QMessageBox::critical(this, kTitle, text); }) {
  AppContext& context = runner_->context();
  context.notifyWindow.store(&relay_);
  setWindowTitle(kTitle);
  setWindowIcon(makeWindowIcon());
  buildPanel();
  buildConsole();
  buildMenus();
  // The window is exactly as large as its panel: the console appears by growing it.
  layout()->setSizeConstraint(QLayout::SetFixedSize);
  keyFilter_ = new KeyFilter(this, context.input, this);
  qApp->installEventFilter(keyFilter_);
  qApp->installEventFilter(this);

  timer_ = new QTimer(this);
  connect(timer_, &QTimer::timeout, this, &CVadEDERDlg::timerTick);
  timer_->start(kTimerPeriodMs);
  context.setStartupFileName("startup.txt");
  runner_->start();
  panel_->setFocus();
}

CVadEDERDlg::~CVadEDERDlg() {
  qApp->removeEventFilter(keyFilter_);
  qApp->removeEventFilter(this);
  runner_->stop();
  runner_->context().notifyWindow.store(nullptr);
}

void CVadEDERDlg::buildPanel() {
  panel_ = new QWidget(this);
  panel_->setObjectName("panel");
  // The panel keeps the keyboard focus: the keys and knobs never take it.
  panel_->setFocusPolicy(Qt::StrongFocus);
  panel_->setAutoFillBackground(true);
  panel_->setFixedSize(dluX(kPanelWidth), dluY(kCompactHeight));
  setCentralWidget(panel_);
  AppContext& context = runner_->context();
  for (const Screen screen : {Screen::kLeft, Screen::kRight}) {
    const int32_t i = codeOf(screen);
    screens_[i] = new ScreenControl(i, &context, panel_);
    screens_[i]->setObjectName(QString("screen%1").arg(i));
    screens_[i]->move(dluX(kScreenPlaces[i].x()), dluY(kScreenPlaces[i].y()));
  }
  for (int i = 0; i < 8; ++i) {
    KnobControl* knob = new KnobControl(i, context.input, panel_);
    knob->setObjectName(QString("knob%1").arg(i));
    knob->setGeometry(dlu(kKnobPlaces[i].x(), kKnobPlaces[i].y(), 26, 26));
    connect(knob, &KnobControl::hovered, this, [this](KnobControl* k) { wheelKnob_ = k; });
    knobs_[i] = knob;
  }
  for (const KeyPlace& place : kKeys) {
    const int32_t code = codeOf(place.key);
    KeyButton* key = new KeyButton(code, QString::fromUtf8(place.text), context.input, panel_);
    key->setObjectName(QString("key%1").arg(code));
    key->setGeometry(place.place);
    keys_[code] = key;
  }
}

void CVadEDERDlg::buildConsole() {
  console_ = new QListWidget(panel_);
  console_->setObjectName("console");
  console_->setGeometry(dlu(385, 210, 515, 135));
  console_->setFocusPolicy(Qt::NoFocus);
  console_->setUniformItemSizes(true);
  console_->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  clear_ = new QPushButton("Clear", panel_);
  clear_->setObjectName("clear");
  clear_->setGeometry(dlu(325, 207, 55, 23));
  clear_->setFocusPolicy(Qt::NoFocus);
  connect(clear_, &QPushButton::clicked, console_, &QListWidget::clear);
  autoscroll_ = new QCheckBox("Autoscroll", panel_);
  autoscroll_->setObjectName("autoscroll");
  autoscroll_->move(dluX(329), dluY(234));
  autoscroll_->setFocusPolicy(Qt::NoFocus);
  autoscroll_->setChecked(true);
  for (QWidget* control : {static_cast<QWidget*>(console_), static_cast<QWidget*>(clear_),
                           static_cast<QWidget*>(autoscroll_)})
    control->setEnabled(false);
}

void CVadEDERDlg::buildMenus() {
  QMenu* application = menuBar()->addMenu("&Application");
  connect(application->addAction("Edit &Configuration"), &QAction::triggered, this,
          &CVadEDERDlg::editConfiguration);
  // Closing the download dialog activates the window again, whose change check offers the
  // reload.
  connect(application->addAction("Download TRELK Configuration"), &QAction::triggered, this,
          [this] { CTrelkConfigDownload(folders_.data, this).exec(); });
  saveSessionAction_ = application->addAction("Save Session...");
  connect(saveSessionAction_, &QAction::triggered, this, &CVadEDERDlg::saveSession);
  loadSessionAction_ = application->addAction("Load Session...");
  connect(loadSessionAction_, &QAction::triggered, this, &CVadEDERDlg::loadSession);
  application->addSeparator();
  connect(application->addAction("&Exit"), &QAction::triggered, this, &QWidget::close);
  connect(application, &QMenu::aboutToShow, this, &CVadEDERDlg::updateSessionActions);
  updateSessionActions();

  QMenu* view = menuBar()->addMenu("&View");
  connect(view->addAction("Report Directory"), &QAction::triggered, this,
          &CVadEDERDlg::openReportDirectory);
  connect(view->addAction("Show &Console"), &QAction::triggered, this, &CVadEDERDlg::toggleConsole);
}

void CVadEDERDlg::updateSessionActions() {
  const AppContext& context = runner_->context();
  saveSessionAction_->setEnabled(context.canSaveSession());
  loadSessionAction_->setEnabled(context.canLoadSession());
}

void CVadEDERDlg::timerTick() {
  AppContext& context = runner_->context();
  if (++ticks_ % kTicksPerMinute == 0)
    logMessage(kLogInfo, "%s -- System is running\n", localTimeText(std::time(nullptr)).c_str());

  const auto messages = feed_.take();
  if (!messages.empty()) {
    const std::string now = localTimeText(std::time(nullptr));
    for (const auto& [number, text] : messages) {
      console_->addItem(QString("%1: %2").arg(number).arg(QString::fromUtf8(text)));
      sysLog_.write(number, now, text);
    }
    if (autoscroll_->isChecked()) {
      console_->setCurrentRow(console_->count() - 1);
      console_->scrollToBottom();
    }
  }
  if (console_->count() >= kConsoleMaxLines) console_->clear();

  for (ScreenControl* screen : screens_)
    screen->update();
  const uint32_t word = context.lampWord.load(std::memory_order_relaxed);
  if (word != lastLampWord_) showLamps(word);
  const int32_t theme = context.colorTheme.load(std::memory_order_relaxed);
  if (theme != lastTheme_) showTheme(theme);
}

void CVadEDERDlg::showLamps(uint32_t word) {
  lastLampWord_ = word;
  const LampStates lamps = unpackLampWord(word);
  for (int32_t code = kFirstKeyCode; code <= kLastKeyCode; ++code) {
    KeyButton* key = keys_[code];
    switch (lamps[code]) {
      case LampState::kLit:
        key->setLampColor(QColor(100, 255, 100));
        break;
      case LampState::kBright:
        key->setLampColor(QColor(0, 255, 0));
        break;
      default:
        key->setLampColor(key->palette().color(QPalette::Button));
        break;
    }
  }
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
  if (isMinimized()) return;
  if (!configWatch_.takeChange()) return;
  if (question_("Configuration File Changed",
                "The configuration file has changed.  Would you like to reload?"))
    runner_->start();
}

void CVadEDERDlg::closeEvent(QCloseEvent* event) {
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
  QDesktopServices::openUrl(QUrl::fromLocalFile(fromLocal(configWatch_.path())));
}

void CVadEDERDlg::openReportDirectory() {
  QDesktopServices::openUrl(QUrl::fromLocalFile(fromLocal(folders_.report + "reports")));
}

void CVadEDERDlg::toggleConsole() {
  consoleShown_ = !consoleShown_;
  panel_->setFixedSize(dluX(kPanelWidth),
                       dluY(consoleShown_ ? kConsoleShownHeight : kCompactHeight));
  for (QWidget* control : {static_cast<QWidget*>(console_), static_cast<QWidget*>(clear_),
                           static_cast<QWidget*>(autoscroll_)})
    control->setEnabled(consoleShown_);
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
  if (reply != "OK") errorBox_(QString::fromUtf8(reply));
}

void CVadEDERDlg::loadSessionFrom(const QString& path) {
  const std::string reply = requestSession(toLocal(path), true);
  if (reply != "OK") errorBox_(QString::fromUtf8(reply));
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
