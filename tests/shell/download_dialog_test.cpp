#include "shell/download_dialog.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>
#include <atomic>
#include <chrono>
#include <filesystem>

#include "../download/http_test_server.h"
#include "shell_test_support.h"

namespace qelm {
namespace {

namespace fs = std::filesystem;
using testing::readFile;

class DownloadDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    data_ = fs::temp_directory_path().string() + "/qelm-download-dialog-" +
            std::to_string(::getpid()) + "-" + name + "/";
    fs::remove_all(data_);
    fs::create_directories(data_ + "configuration");
  }
  void TearDown() override { fs::remove_all(data_); }

  void writeInstances(const std::string& text) const {
    testing::writeFile(instancesFilePath(data_), text);
  }
  // A start-up configuration the download may replace; its path.
  std::string oldStartup() const {
    testing::writeFile(data_ + "configuration/startup.txt", "old");
    return data_ + "configuration/startup.txt";
  }

  std::unique_ptr<CTrelkConfigDownload> open() {
    auto dialog = std::make_unique<CTrelkConfigDownload>(data_);
    dialog->setMessageBox([this](const QString& caption, const QString& text) {
      messages_.push_back(caption + "|" + text);
    });
    dialog->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(dialog.get()));
    return dialog;
  }
  static QPushButton* button(CTrelkConfigDownload& dialog, const char* name) {
    return dialog.findChild<QPushButton*>(name);
  }
  static void click(CTrelkConfigDownload& dialog, const char* name) {
    QTest::mouseClick(button(dialog, name), Qt::LeftButton);
  }
  // The download runs on a thread of its own; the dialog's events go on meanwhile.
  static void awaitDownload(CTrelkConfigDownload& dialog) {
    EXPECT_TRUE(QTest::qWaitFor([&] { return !dialog.downloading(); }, 60000));
  }
  static void download(CTrelkConfigDownload& dialog) {
    click(dialog, "download");
    awaitDownload(dialog);
  }
  // Selects a row as the user does, with the mouse.
  static void clickRow(CTrelkConfigDownload& dialog, int row) {
    auto* list = dialog.findChild<QTreeWidget*>("instances");
    const QRect place = list->visualItemRect(list->topLevelItem(row));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, place.center());
  }
  // The enabled buttons, in a fixed order, and the Add/Save text.
  static std::string states(CTrelkConfigDownload& dialog) {
    std::string out;
    for (const char* name : {"download", "moveUp", "moveDown", "remove", "edit", "cancelEdit"})
      if (button(dialog, name)->isEnabled()) out += std::string(out.empty() ? "" : " ") + name;
    return out + " / " + button(dialog, "addSave")->text().toStdString();
  }
  // The hosts in order, and the selected row: "a,b @1".
  static std::string listed(const CTrelkConfigDownload& dialog) {
    std::string out;
    for (const TrelkInstance& instance : dialog.instances())
      out += (out.empty() ? "" : ",") + instance.host;
    return out + " @" + std::to_string(dialog.selectedRow());
  }
  // Types an instance into the fields and adds it, or saves the one being edited.
  static void enter(CTrelkConfigDownload& dialog, const QString& host, const QString& prefix) {
    dialog.findChild<QLineEdit*>("host")->setText(host);
    dialog.findChild<QLineEdit*>("prefix")->setText(prefix);
    click(dialog, "addSave");
  }

  std::string data_;
  QStringList messages_;
};

TEST_F(DownloadDialogTest, ButtonsFollowTheSelectionAndEditMode) {
  writeInstances("one\n\"two with space\" \"Two \"\nthree \"\"\n");
  auto dialog = open();
  ASSERT_EQ(dialog->instances().size(), 3u);
  EXPECT_EQ(dialog->instances()[1].prefix, "Two ");
  auto* list = dialog->findChild<QTreeWidget*>("instances");
  EXPECT_EQ(list->topLevelItem(1)->text(0), "two with space");
  EXPECT_EQ(list->topLevelItem(1)->text(1), "Two ");
  EXPECT_EQ(states(*dialog), "download / Add");
  clickRow(*dialog, 0);
  EXPECT_EQ(states(*dialog), "download moveDown remove edit / Add");
  clickRow(*dialog, 1);
  EXPECT_EQ(states(*dialog), "download moveUp moveDown remove edit / Add");
  clickRow(*dialog, 2);
  EXPECT_EQ(states(*dialog), "download moveUp remove edit / Add");

  click(*dialog, "edit");
  EXPECT_EQ(states(*dialog), "cancelEdit / Save");
  EXPECT_EQ(dialog->findChild<QLineEdit*>("host")->text(), "three");
  click(*dialog, "cancelEdit");
  EXPECT_EQ(states(*dialog), "download moveUp remove edit / Add");
  EXPECT_TRUE(dialog->findChild<QLineEdit*>("host")->text().isEmpty());

  // Emptied, the list offers nothing to download.
  for (int i = 0; i < 3; ++i)
    click(*dialog, "remove");
  EXPECT_TRUE(dialog->instances().empty());
  EXPECT_EQ(states(*dialog), " / Add");
}

TEST_F(DownloadDialogTest, ListOperationsKeepTheSelectionOnTheMovedInstance) {
  writeInstances("a\nb\nc\nd\n");
  auto dialog = open();
  clickRow(*dialog, 1);
  // The selection stays on the moved instance; a removed one leaves it on the row below, or on
  // the new last row.
  const std::pair<const char*, const char*> steps[] = {{"moveUp", "b,a,c,d @0"},
                                                       {"moveDown", "a,b,c,d @1"},
                                                       {"moveDown", "a,c,b,d @2"},
                                                       {"remove", "a,c,d @2"},
                                                       {"remove", "a,c @1"}};
  for (const auto& [name, expected] : steps) {
    click(*dialog, name);
    EXPECT_EQ(listed(*dialog), expected) << name;
  }

  // An empty host, quotes or not, changes nothing.
  enter(*dialog, "\"\"", "X");
  EXPECT_EQ(messages_,
            QStringList{"TRELK Configuration Download|The host string cannot be empty."});
  EXPECT_EQ(listed(*dialog), "a,c @1");

  enter(*dialog, "new host", "N ");
  EXPECT_EQ(listed(*dialog), "a,c,new host @2");
  EXPECT_EQ(dialog->instances()[2].prefix, "N ");

  // Save stores into the instance whose fields were taken, even after another row was clicked.
  clickRow(*dialog, 0);
  click(*dialog, "edit");
  clickRow(*dialog, 1);
  enter(*dialog, "a2", "");
  EXPECT_EQ(listed(*dialog), "a2,c,new host @0");
  EXPECT_FALSE(dialog->editMode());
}

TEST_F(DownloadDialogTest, CancelKeepsTheFilesAndAFailedDownloadKeepsTheDialog) {
  writeInstances("a\nb\n");
  const std::string startup = oldStartup();
  {
    auto dialog = open();
    clickRow(*dialog, 0);
    click(*dialog, "remove");
    click(*dialog, "cancel");
    EXPECT_EQ(dialog->result(), QDialog::Rejected);
  }
  EXPECT_EQ(readFile(instancesFilePath(data_)), "a\nb\n");

  // Nobody listens on port 1: the list is saved first, then the download fails in view.
  auto dialog = open();
  clickRow(*dialog, 1);
  click(*dialog, "remove");
  clickRow(*dialog, 0);
  click(*dialog, "edit");
  enter(*dialog, "127.0.0.1:1", "P ");
  download(*dialog);
  ASSERT_EQ(messages_.size(), 1);
  EXPECT_TRUE(messages_[0].startsWith(
      "Configuration Failed|Unable to download configuration from \"127.0.0.1:1\".\n\nReason: "))
      << messages_[0].toStdString();
  EXPECT_TRUE(dialog->isVisible());
  EXPECT_EQ(readFile(instancesFilePath(data_)), "\"127.0.0.1:1\" \"P \"\n");
  EXPECT_EQ(readFile(startup), "old");
}

TEST_F(DownloadDialogTest, OnlyAConfigurationThatLoadsReplacesTheStartUpFile) {
  std::atomic<bool> broken{true};
  HttpTestServer server([&](const std::string&) {
    return HttpTestServer::Reply{200, broken ? "devise 1 \"A\"\n" : "device 1 \"A\"\n"};
  });
  writeInstances(server.host() + "\n");
  const std::string startup = oldStartup();
  auto dialog = open();
  download(*dialog);
  ASSERT_EQ(messages_.size(), 1);
  EXPECT_EQ(messages_[0].toStdString(),
            "Configuration Failed|The downloaded configuration does not load, so \"" + startup +
                "\" was left as it was.\n\nReason: at line 1 directive \"devise\" unrecognized or "
                "invalid in this context");
  EXPECT_TRUE(dialog->isVisible());
  EXPECT_EQ(readFile(startup), "old");

  broken = false;
  download(*dialog);
  EXPECT_EQ(messages_.size(), 1);
  EXPECT_EQ(dialog->result(), QDialog::Accepted);
  EXPECT_EQ(readFile(startup),
            "\xEF\xBB\xBF"
            "device 1 \"A\"\r\n");
}

// An instance that takes the request and never answers: the dialog stays responsive, says what
// it is doing, and Cancel ends the download at once, long before its 30 s time limit.
TEST_F(DownloadDialogTest, CancelStopsADownloadThatGetsNoAnswer) {
  HttpTestServer server([](const std::string&) {
    return HttpTestServer::Reply{200, "", HttpTestServer::Behaviour::kNeverAnswer};
  });
  writeInstances(server.host() + "\n");
  const std::string startup = oldStartup();
  auto dialog = open();
  click(*dialog, "download");
  ASSERT_TRUE(dialog->downloading());
  QTest::qWait(300);  // events go on meanwhile
  EXPECT_TRUE(dialog->findChild<QLabel*>("progress")
                  ->text()
                  .startsWith("Downloading from 1 TRELK instance"));
  EXPECT_FALSE(button(*dialog, "download")->isEnabled());

  const auto start = std::chrono::steady_clock::now();
  click(*dialog, "cancel");
  awaitDownload(*dialog);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(dialog->result(), QDialog::Rejected);
  EXPECT_TRUE(messages_.isEmpty());
  EXPECT_EQ(readFile(startup), "old");

  // Closing the dialog during a download stops it too.
  auto again = open();
  click(*again, "download");
  ASSERT_TRUE(again->downloading());
  again.reset();
}

}  // namespace
}  // namespace qelm
