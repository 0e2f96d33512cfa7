#include "shell/download_dialog.h"

#include <QApplication>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "config/config_catalog.h"
#include "config/config_loader.h"
#include "core/log.h"
#include "engine/engine_state.h"

namespace qelm {

namespace {

constexpr int kColumnWidth = 200;  // pixels, both columns
constexpr int kProgressPeriodMs = 1000;

// Loads the downloaded file as the start-up will, with models and templates on demand from its
// own folder (the configuration folder); the loader's message, or empty when it loads. The
// engine thread logs meanwhile, so the message is the last one that names the file.
std::string configurationError(const std::string& file) {
  ConfigCatalog catalog;
  catalog.banner = kProductName;
  const int32_t first = messageCount();
  ConfigLoader loader(std::string(), file.substr(0, file.rfind('/') + 1), catalog);
  if (loader.load(file)) return {};
  for (int32_t number = messageCount() - 1; number >= first; --number) {
    std::string text = messageText(number);
    if (text.find(file) != std::string::npos) return text;
  }
  return "\"" + file + "\" could not be loaded";
}

QPushButton* makeButton(const char* text, const char* name, QWidget* parent) {
  auto* button = new QPushButton(text, parent);
  button->setObjectName(name);
  // Enter in an edit field must not start a download.
  button->setAutoDefault(false);
  return button;
}

}  // namespace

CTrelkConfigDownload::CTrelkConfigDownload(std::string dataFolder, QWidget* parent,
                                           DownloadOptions options)
    : QDialog(parent), dataFolder_(std::move(dataFolder)), options_(options) {
  setWindowTitle("TRELK Configuration Download");
  messageBox_ = [this](const QString& caption, const QString& text) {
    QMessageBox::warning(this, caption, text);
  };

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel("TRELK instances:", this));
  auto* listRow = new QHBoxLayout;
  list_ = new QTreeWidget(this);
  list_->setObjectName("instances");
  list_->setColumnCount(2);
  list_->setHeaderLabels({"Host", "Prefix (optional)"});
  list_->setRootIsDecorated(false);
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  list_->header()->resizeSection(0, kColumnWidth);
  list_->header()->resizeSection(1, kColumnWidth);
  list_->setMinimumWidth(2 * kColumnWidth + 10);
  listRow->addWidget(list_);
  auto* listButtons = new QVBoxLayout;
  moveUp_ = makeButton("Move Up", "moveUp", this);
  moveDown_ = makeButton("Move Down", "moveDown", this);
  remove_ = makeButton("Remove", "remove", this);
  edit_ = makeButton("Edit", "edit", this);
  for (QPushButton* button : {moveUp_, moveDown_, remove_, edit_})
    listButtons->addWidget(button);
  listButtons->addStretch();
  listRow->addLayout(listButtons);
  layout->addLayout(listRow);

  auto* group = new QGroupBox("Edit TRELK instance", this);
  auto* fields = new QGridLayout(group);
  host_ = new QLineEdit(group);
  host_->setObjectName("host");
  prefix_ = new QLineEdit(group);
  prefix_->setObjectName("prefix");
  fields->addWidget(new QLabel("Host name or IP address", group), 0, 0);
  fields->addWidget(host_, 0, 1);
  fields->addWidget(new QLabel("Optional Prefix (include following space if needed)", group), 1, 0);
  fields->addWidget(prefix_, 1, 1);
  addSave_ = makeButton("Add", "addSave", group);
  cancelEdit_ = makeButton("Cancel", "cancelEdit", group);
  auto* editButtons = new QHBoxLayout;
  editButtons->addStretch();
  editButtons->addWidget(addSave_);
  editButtons->addWidget(cancelEdit_);
  fields->addLayout(editButtons, 2, 0, 1, 2);
  layout->addWidget(group);

  auto* dialogButtons = new QHBoxLayout;
  progress_ = new QLabel(this);
  progress_->setObjectName("progress");
  dialogButtons->addWidget(progress_, 1);
  download_ = makeButton("Download", "download", this);
  close_ = makeButton("Cancel", "cancel", this);
  dialogButtons->addWidget(download_);
  dialogButtons->addWidget(close_);
  layout->addLayout(dialogButtons);

  connect(list_, &QTreeWidget::itemSelectionChanged, this, [this] {
    if (!selecting_) updateButtons();
  });
  connect(moveUp_, &QPushButton::clicked, this, &CTrelkConfigDownload::moveUp);
  connect(moveDown_, &QPushButton::clicked, this, &CTrelkConfigDownload::moveDown);
  connect(remove_, &QPushButton::clicked, this, &CTrelkConfigDownload::removeSelected);
  connect(edit_, &QPushButton::clicked, this, &CTrelkConfigDownload::editSelected);
  connect(cancelEdit_, &QPushButton::clicked, this, &CTrelkConfigDownload::cancelEdit);
  connect(addSave_, &QPushButton::clicked, this, &CTrelkConfigDownload::addOrSave);
  connect(download_, &QPushButton::clicked, this, &CTrelkConfigDownload::download);
  connect(close_, &QPushButton::clicked, this, &QDialog::reject);

  progressTimer_ = new QTimer(this);
  connect(progressTimer_, &QTimer::timeout, this, [this] {
    ++elapsedSeconds_;
    showProgress();
  });

  instances_ = readInstancesFile(instancesFilePath(dataFolder_));
  fillList();
  updateButtons();
}

CTrelkConfigDownload::~CTrelkConfigDownload() {
  cancel_.store(true);
  if (worker_.joinable()) worker_.join();
}

int CTrelkConfigDownload::selectedRow() const {
  const QList<QTreeWidgetItem*> selected = list_->selectedItems();
  return selected.isEmpty() ? -1 : list_->indexOfTopLevelItem(selected.front());
}

void CTrelkConfigDownload::selectRow(int row) {
  selecting_ = true;
  list_->clearSelection();
  if (QTreeWidgetItem* item = list_->topLevelItem(row)) {
    item->setSelected(true);
    list_->setCurrentItem(item);
  }
  selecting_ = false;
  updateButtons();
}

void CTrelkConfigDownload::fillList() {
  selecting_ = true;
  list_->clear();
  for (const TrelkInstance& instance : instances_)
    list_->addTopLevelItem(new QTreeWidgetItem(
        {QString::fromStdString(instance.host), QString::fromStdString(instance.prefix)}));
  selecting_ = false;
}

void CTrelkConfigDownload::updateButtons() {
  const int sel = selectedRow();
  const int count = static_cast<int>(instances_.size());
  // During a download only Cancel works.
  const bool editing = editMode() || downloading();
  download_->setEnabled(!editing && count > 0);
  moveUp_->setEnabled(!editing && sel >= 1);
  moveDown_->setEnabled(!editing && sel >= 0 && sel + 1 < count);
  remove_->setEnabled(!editing && sel >= 0);
  edit_->setEnabled(!editing && sel >= 0);
  cancelEdit_->setEnabled(editing);
  addSave_->setEnabled(!downloading());
  addSave_->setText(editMode() ? "Save" : "Add");
  list_->setEnabled(!downloading());
  host_->setEnabled(!downloading());
  prefix_->setEnabled(!downloading());
}

void CTrelkConfigDownload::swapRows(int row, int other) {
  std::swap(instances_[static_cast<size_t>(row)], instances_[static_cast<size_t>(other)]);
  fillList();
  selectRow(other);
}

void CTrelkConfigDownload::moveUp() {
  const int sel = selectedRow();
  if (editMode() || sel < 1) return;
  swapRows(sel, sel - 1);
}

void CTrelkConfigDownload::moveDown() {
  const int sel = selectedRow();
  if (editMode() || sel < 0 || sel + 1 >= static_cast<int>(instances_.size())) return;
  swapRows(sel, sel + 1);
}

void CTrelkConfigDownload::removeSelected() {
  const int sel = selectedRow();
  if (editMode() || sel < 0) return;
  instances_.erase(instances_.begin() + sel);
  fillList();
  selectRow(std::min(sel, static_cast<int>(instances_.size()) - 1));
}

void CTrelkConfigDownload::editSelected() {
  const int sel = selectedRow();
  if (editMode() || sel < 0) return;
  const TrelkInstance& instance = instances_[static_cast<size_t>(sel)];
  host_->setText(QString::fromStdString(instance.host));
  prefix_->setText(QString::fromStdString(instance.prefix));
  editRow_ = sel;
  updateButtons();
}

void CTrelkConfigDownload::cancelEdit() {
  editRow_ = -1;
  host_->clear();
  prefix_->clear();
  updateButtons();
}

void CTrelkConfigDownload::addOrSave() {
  if (QString(host_->text()).remove('"').isEmpty()) {
    messageBox_(windowTitle(), "The host string cannot be empty.");
    return;
  }
  TrelkInstance instance{host_->text().toStdString(), prefix_->text().toStdString()};
  // The edited instance keeps its place even if the user clicked another row meanwhile: its
  // fields are the ones in the boxes.
  int row = editRow_;
  if (row >= 0 && row < static_cast<int>(instances_.size())) {
    instances_[static_cast<size_t>(row)] = std::move(instance);
  } else {
    instances_.push_back(std::move(instance));
    row = static_cast<int>(instances_.size()) - 1;
  }
  editRow_ = -1;
  fillList();
  selectRow(row);
}

void CTrelkConfigDownload::download() {
  if (editMode() || instances_.empty() || downloading()) return;
  const std::string written =
      replaceFile(instancesFilePath(dataFolder_), formatInstances(instances_));
  if (!written.empty()) {
    messageBox_(kDownloadFailedCaption, QString::fromStdString(written));
    return;
  }
  cancel_.store(false);
  DownloadOptions options = options_;
  options.cancel = &cancel_;
  // The thread works on copies; its result comes back as a queued call, which the dialog's
  // destructor never sees arrive: it joins the thread first, and a QObject drops the calls
  // still posted to it.
  worker_ = std::thread([this, folder = dataFolder_, instances = instances_, options] {
    DownloadResult result = downloadConfiguration(folder, instances, configurationError, options);
    QMetaObject::invokeMethod(
        this, [this, result = std::move(result)] { finishDownload(result); }, Qt::QueuedConnection);
  });
  elapsedSeconds_ = 0;
  showProgress();
  progressTimer_->start(kProgressPeriodMs);
  updateButtons();
}

void CTrelkConfigDownload::showProgress() {
  const size_t count = instances_.size();
  progress_->setText(cancel_.load() ? QString("Cancelling the download\u2026")
                                    : QString("Downloading from %1 TRELK instance%2\u2026 %3 s")
                                          .arg(count)
                                          .arg(count == 1 ? "" : "s")
                                          .arg(elapsedSeconds_));
}

void CTrelkConfigDownload::reject() {
  if (!downloading()) {
    QDialog::reject();
    return;
  }
  cancel_.store(true);
  showProgress();
}

void CTrelkConfigDownload::finishDownload(const DownloadResult& result) {
  if (worker_.joinable()) worker_.join();
  progressTimer_->stop();
  progress_->clear();
  updateButtons();
  if (cancel_.load()) {
    QDialog::reject();
    return;
  }
  if (!result.error.empty()) {
    messageBox_(kDownloadFailedCaption, QString::fromStdString(result.error));
    return;
  }
  accept();
}

}  // namespace qelm
