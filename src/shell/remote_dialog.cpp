#include "shell/remote_dialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include "text/readers.h"

namespace qelm {

namespace {

const char* const kEnabledKey = "remote/enabled";
const char* const kAddressKey = "remote/address";
const char* const kPortKey = "remote/port";
const char* const kCertificateKey = "remote/certificate";
const char* const kKeyKey = "remote/key";

constexpr int kLowestPort = 1;
constexpr int kHighestPort = 65535;

}  // namespace

QString RemoteChoice::problem() const {
  if (!enabled) return {};
  if (!readIpv4Text(address.toStdString(), 3, TrailingText::kRefused))
    return "The address is not an IPv4 address";
  if (port < kLowestPort || port > kHighestPort) return "The port must be 1 to 65535";
  if (certificateFile.isEmpty() != keyFile.isEmpty())
    return "A certificate needs its key, and a key its certificate";
  return {};
}

RemoteChoice loadRemoteChoice(const QSettings& settings) {
  RemoteChoice choice;
  choice.enabled = settings.value(kEnabledKey, false).toBool();
  const QString address = settings.value(kAddressKey).toString();
  if (readIpv4Text(address.toStdString(), 3, TrailingText::kRefused)) choice.address = address;
  bool number = false;
  const int port = settings.value(kPortKey).toInt(&number);
  if (number && port >= kLowestPort && port <= kHighestPort) choice.port = port;
  choice.certificateFile = settings.value(kCertificateKey).toString();
  choice.keyFile = settings.value(kKeyKey).toString();
  return choice;
}

void saveRemoteChoice(QSettings& settings, const RemoteChoice& choice) {
  settings.setValue(kEnabledKey, choice.enabled);
  settings.setValue(kAddressKey, choice.address);
  settings.setValue(kPortKey, choice.port);
  settings.setValue(kCertificateKey, choice.certificateFile);
  settings.setValue(kKeyKey, choice.keyFile);
}

RemotePanelDialog::RemotePanelDialog(const RemoteChoice& choice, const QString& state,
                                     QWidget* parent)
    : QDialog(parent) {
  setWindowTitle("Remote Panel");
  enabled_ = new QCheckBox("Serve the panel to browsers", this);
  enabled_->setChecked(choice.enabled);
  address_ = new QLineEdit(choice.address, this);
  address_->setObjectName("address");
  address_->setToolTip(
      "127.0.0.1 serves this computer only; any other address needs a password "
      "(qelm-engine passwd)");
  port_ = new QSpinBox(this);
  port_->setRange(kLowestPort, kHighestPort);
  port_->setValue(choice.port);
  certificate_ = new QLineEdit(choice.certificateFile, this);
  certificate_->setObjectName("certificate");
  certificate_->setPlaceholderText("none: http");
  key_ = new QLineEdit(choice.keyFile, this);
  key_->setObjectName("key");
  key_->setPlaceholderText("none: http");

  auto* form = new QFormLayout;
  form->addRow(enabled_);
  form->addRow("Address:", address_);
  form->addRow("Port:", port_);
  form->addRow("TLS certificate:", certificate_);
  form->addRow("TLS key:", key_);

  auto* now = new QLabel(state, this);
  now->setObjectName("state");
  now->setWordWrap(true);
  now->setTextInteractionFlags(Qt::TextSelectableByMouse);
  auto* help = new QLabel(
      "Passwords for operators and viewers are set with qelm-engine passwd [--viewer] in the "
      "data folder.",
      this);
  help->setWordWrap(true);
  problem_ = new QLabel(this);
  problem_->setObjectName("problem");
  problem_->setStyleSheet("color: #b02000");
  buttons_ = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons_, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons_, &QDialogButtonBox::rejected, this, &QDialog::reject);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(now);
  layout->addWidget(help);
  layout->addWidget(problem_);
  layout->addWidget(buttons_);

  for (QLineEdit* field : {address_, certificate_, key_})
    connect(field, &QLineEdit::textChanged, this, &RemotePanelDialog::updateOk);
  connect(enabled_, &QCheckBox::toggled, this, &RemotePanelDialog::updateOk);
  connect(port_, &QSpinBox::valueChanged, this, &RemotePanelDialog::updateOk);
  updateOk();
}

RemoteChoice RemotePanelDialog::choice() const {
  RemoteChoice choice;
  choice.enabled = enabled_->isChecked();
  choice.address = address_->text().trimmed();
  choice.port = port_->value();
  choice.certificateFile = certificate_->text().trimmed();
  choice.keyFile = key_->text().trimmed();
  return choice;
}

void RemotePanelDialog::updateOk() {
  const QString problem = choice().problem();
  problem_->setText(problem);
  buttons_->button(QDialogButtonBox::Ok)->setEnabled(problem.isEmpty());
  for (QWidget* field : std::initializer_list<QWidget*>{address_, port_, certificate_, key_})
    field->setEnabled(enabled_->isChecked());
}

}  // namespace qelm
