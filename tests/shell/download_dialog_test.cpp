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
#include <fstream>
#include <sstream>

#include "../download/http_test_server.h"

namespace qelm {
namespace {

namespace fs = std::filesystem;

class DownloadDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    data_ = (fs::temp_directory_path() /
             ("qelm-download-dialog-" + std::to_string(::getpid()) + "-" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name()))
                .string() +
            "/";
    fs::remove_all(data_);
    fs::create_directories(data_ + "configuration");
  }
  void TearDown() override { fs::remove_all(data_); }

  void writeInstances(const std::string& text) const {
    std::ofstream(instancesFilePath(data_), std::ios::binary) << text;
  }
  std::string read(const std::string& path) const {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
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
  static std::string hosts(const CTrelkConfigDownload& dialog) {
    std::string out;
    for (const TrelkInstance& instance : dialog.instances())
      out += (out.empty() ? "" : ",") + instance.host;
    return out;
  }
  static void type(CTrelkConfigDownload& dialog, const QString& host, const QString& prefix) {
    dialog.findChild<QLineEdit*>("host")->setText(host);
    dialog.findChild<QLineEdit*>("prefix")->setText(prefix);
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
  click(*dialog, "moveUp");
  EXPECT_EQ(hosts(*dialog), "b,a,c,d");
  EXPECT_EQ(dialog->selectedRow(), 0);
  click(*dialog, "moveDown");
  click(*dialog, "moveDown");
  EXPECT_EQ(hosts(*dialog), "a,c,b,d");
  EXPECT_EQ(dialog->selectedRow(), 2);

  click(*dialog, "remove");  // the row below moves up into the selection
  EXPECT_EQ(hosts(*dialog), "a,c,d");
  EXPECT_EQ(dialog->selectedRow(), 2);
  click(*dialog, "remove");  // the last row goes: the new last row is selected
  EXPECT_EQ(hosts(*dialog), "a,c");
  EXPECT_EQ(dialog->selectedRow(), 1);

  // An empty host, quotes or not, changes nothing.
  type(*dialog, "\"\"", "X");
  click(*dialog, "addSave");
  EXPECT_EQ(messages_,
            QStringList{"TRELK Configuration Download|The host string cannot be empty."});
  EXPECT_EQ(hosts(*dialog), "a,c");

  type(*dialog, "new host", "N ");
  click(*dialog, "addSave");
  EXPECT_EQ(hosts(*dialog), "a,c,new host");
  EXPECT_EQ(dialog->instances()[2].prefix, "N ");
  EXPECT_EQ(dialog->selectedRow(), 2);

  // Save stores into the instance whose fields were taken, even after another row was clicked.
  clickRow(*dialog, 0);
  click(*dialog, "edit");
  clickRow(*dialog, 1);
  type(*dialog, "a2", "");
  click(*dialog, "addSave");
  EXPECT_EQ(hosts(*dialog), "a2,c,new host");
  EXPECT_EQ(dialog->selectedRow(), 0);
  EXPECT_FALSE(dialog->editMode());
}

TEST_F(DownloadDialogTest, CancelKeepsTheFilesAndAFailedDownloadKeepsTheDialog) {
  writeInstances("a\nb\n");
  const std::string startup = data_ + "configuration/startup.txt";
  std::ofstream(startup, std::ios::binary) << "old";
  {
    auto dialog = open();
    clickRow(*dialog, 0);
    click(*dialog, "remove");
    click(*dialog, "cancel");
    EXPECT_EQ(dialog->result(), QDialog::Rejected);
  }
  EXPECT_EQ(read(instancesFilePath(data_)), "a\nb\n");

  // Nobody listens on port 1: the list is saved first, then the download fails in view.
  auto dialog = open();
  clickRow(*dialog, 1);
  click(*dialog, "remove");
  clickRow(*dialog, 0);
  click(*dialog, "edit");
  type(*dialog, "127.0.0.1:1", "P ");
  click(*dialog, "addSave");
  click(*dialog, "download");
  awaitDownload(*dialog);
  ASSERT_EQ(messages_.size(), 1);
  EXPECT_TRUE(messages_[0].startsWith(
      "Configuration Failed|Unable to download configuration from \"127.0.0.1:1\".\n\nReason: "))
      << messages_[0].toStdString();
  EXPECT_TRUE(dialog->isVisible());
  EXPECT_EQ(read(instancesFilePath(data_)), "\"127.0.0.1:1\" \"P \"\n");
  EXPECT_EQ(read(startup), "old");
}

TEST_F(DownloadDialogTest, OnlyAConfigurationThatLoadsReplacesTheStartUpFile) {
  std::atomic<bool> broken{true};
  HttpTestServer server([&](const std::string&) {
    return HttpTestServer::Reply{200, broken ? "devise 1 \"A\"\n" : "device 1 \"A\"\n"};
  });
  writeInstances(server.host() + "\n");
  const std::string startup = data_ + "configuration/startup.txt";
  std::ofstream(startup, std::ios::binary) << "old";
  auto dialog = open();
  click(*dialog, "download");
  awaitDownload(*dialog);
  ASSERT_EQ(messages_.size(), 1);
  EXPECT_EQ(messages_[0].toStdString(),
            "Configuration Failed|The downloaded configuration does not load, so \"" + startup +
                "\" was left as it was.\n\nReason: at line 1 directive \"devise\" unrecognized or "
                "invalid in this context");
  EXPECT_TRUE(dialog->isVisible());
  EXPECT_EQ(read(startup), "old");

  broken = false;
  click(*dialog, "download");
  awaitDownload(*dialog);
  EXPECT_EQ(messages_.size(), 1);
  EXPECT_EQ(dialog->result(), QDialog::Accepted);
  EXPECT_EQ(read(startup),
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
  const std::string startup = data_ + "configuration/startup.txt";
  std::ofstream(startup, std::ios::binary) << "old";
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
  EXPECT_EQ(read(startup), "old");

  // Closing the dialog during a download stops it too.
  auto again = open();
  click(*again, "download");
  ASSERT_TRUE(again->downloading());
  again.reset();
}

}  // namespace
}  // namespace qelm
