#include "shell/remote_dialog.h"

#include <gtest/gtest.h>

#include <QDialogButtonBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>

namespace qelm {
namespace {

TEST(RemoteChoiceTest, KeptWithTheWindowSettingsAndUnusableEntriesKeepTheirDefaults) {
  QTemporaryDir folder;
  const QString path = folder.filePath("qelm.conf");
  RemoteChoice chosen;
  chosen.enabled = true;
  chosen.address = "0.0.0.0";
  chosen.port = 9443;
  chosen.certificateFile = "/etc/qelm/cert.pem";
  chosen.keyFile = "/etc/qelm/key.pem";
  {
    QSettings settings(path, QSettings::IniFormat);
    saveRemoteChoice(settings, chosen);
  }
  EXPECT_EQ(loadRemoteChoice(QSettings(path, QSettings::IniFormat)), chosen);

  QSettings damaged(path, QSettings::IniFormat);
  damaged.setValue("remote/address", "studio.example");
  damaged.setValue("remote/port", 70000);
  const RemoteChoice read = loadRemoteChoice(damaged);
  EXPECT_EQ(read.address, RemoteChoice().address);
  EXPECT_EQ(read.port, RemoteChoice::kDefaultPort);
  EXPECT_TRUE(read.enabled);
}

TEST(RemotePanelDialogTest, OkOnlyForAChoiceThatCanBeServed) {
  RemoteChoice off;
  RemotePanelDialog dialog(off, "Not serving");
  QPushButton* ok = dialog.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok);
  EXPECT_TRUE(ok->isEnabled());  // nothing to check while off

  RemoteChoice on;
  on.enabled = true;
  RemotePanelDialog edited(on, "Not serving");
  ok = edited.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok);
  auto* address = edited.findChild<QLineEdit*>("address");
  ASSERT_NE(address, nullptr);
  address->setText("10.1.2.300");
  EXPECT_FALSE(ok->isEnabled());
  address->setText("10.1.2.3");
  EXPECT_TRUE(ok->isEnabled());
  edited.findChild<QLineEdit*>("certificate")
      ->setText("/etc/qelm/cert.pem");  // a certificate without its key
  EXPECT_FALSE(ok->isEnabled());
  edited.findChild<QLineEdit*>("key")->setText("/etc/qelm/key.pem");
  EXPECT_TRUE(ok->isEnabled());
  edited.findChild<QSpinBox*>()->setValue(8443);
  const RemoteChoice chosen = edited.choice();
  EXPECT_EQ(chosen.address, "10.1.2.3");
  EXPECT_EQ(chosen.port, 8443);
  EXPECT_EQ(chosen.keyFile, "/etc/qelm/key.pem");
}

}  // namespace
}  // namespace qelm
