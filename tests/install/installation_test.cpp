#include "install/installation.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "../file_size_limit.h"
#include "core/log.h"
#include "loudness/report_file.h"

namespace qelm {
namespace {

namespace fs = std::filesystem;

class InstallationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("installation_test_" +
             std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(root_);
    folders_ = {(root_ / "program").string() + "/", (root_ / "data" / "deep").string() + "/",
                (root_ / "report").string() + "/"};
    write(folders_.program + "configuration/startup.bak", "banner \"Default\"\n");
    for (const char* name : kReportResources)
      write(folders_.program + "resources/" + name, std::string("resource ") + name);
  }
  void TearDown() override { fs::remove_all(root_); }

  static void write(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
  }
  static std::string read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

  fs::path root_;
  Folders folders_;
};

TEST_F(InstallationTest, FirstStartCreatesAndSeedsTheFolders) {
  prepareFolders(folders_);
  EXPECT_EQ(read(folders_.data + "configuration/startup.txt"), "banner \"Default\"\n");
  for (const char* name : kReportResources)
    EXPECT_EQ(read(folders_.report + "reports/" + name), std::string("resource ") + name);
}

TEST_F(InstallationTest, ReportResourcesGetTheReportsPermissions) {
  for (const char* name : kReportResources)
    fs::permissions(folders_.program + "resources/" + name, fs::perms::owner_all);
  const std::string beside = (root_ / "saved").string() + "/";
  fs::create_directories(beside);
  prepareFolders(folders_);
  copyReportResources(folders_, beside);  // beside a saved session's report
  for (const std::string& folder : {folders_.report + "reports/", beside}) {
    for (const char* name : kReportResources) {
      struct stat info {};
      ASSERT_EQ(::stat((folder + name).c_str(), &info), 0) << folder << name;
      EXPECT_EQ(info.st_mode & 0777, ReportFile::kPermissions) << folder << name;
    }
  }
}

TEST_F(InstallationTest, WhatTheUserHasIsNeverOverwritten) {
  prepareFolders(folders_);
  write(folders_.data + "configuration/startup.txt", "edited");
  write(folders_.report + "reports/main.css", "my style");
  write(folders_.program + "configuration/startup.bak", "newer default");
  prepareFolders(folders_);
  EXPECT_EQ(read(folders_.data + "configuration/startup.txt"), "edited");
  EXPECT_EQ(read(folders_.report + "reports/main.css"), "my style");
}

TEST_F(InstallationTest, MissingSourcesLeaveTargetsAbsentAndFoldersStillExist) {
  fs::remove_all(folders_.program);
  prepareFolders(folders_);
  EXPECT_TRUE(fs::is_directory(folders_.data + "configuration"));
  EXPECT_TRUE(fs::is_directory(folders_.report + "reports"));
  EXPECT_FALSE(fs::exists(folders_.data + "configuration/startup.txt"));
}

TEST_F(InstallationTest, FolderThatCannotBeCreatedIsReported) {
  write((root_ / "blocker").string(), "a file where a folder should be");
  folders_.data = (root_ / "blocker" / "data").string() + "/";
  const std::string problem = prepareFolders(folders_);
  EXPECT_EQ(
      problem.rfind("Could not create the data folder \"" + folders_.data + "configuration\": ", 0),
      0u)
      << problem;
  EXPECT_TRUE(fs::exists(folders_.report + "reports/logo.jpg")) << "the rest goes on";
}

TEST_F(InstallationTest, FullDiskLeavesNoCutConfigurationAndSaysWhy) {
  const std::string defaults(10000, '#');
  write(folders_.program + "configuration/startup.bak", defaults);
  const int32_t firstLine = messageCount();
  std::string problem;
  {
    const testing::FileSizeLimit disk(4096);
    problem = prepareFolders(folders_);
  }
  EXPECT_NE(problem.find("configuration/startup.txt"), std::string::npos) << problem;
  EXPECT_FALSE(fs::exists(folders_.data + "configuration/startup.txt"));
  EXPECT_EQ(std::distance(fs::directory_iterator(folders_.data + "configuration"),
                          fs::directory_iterator()),
            0)
      << "no temporary file is left behind";
  EXPECT_EQ(read(folders_.data + "error"), problem + "\n");
  bool logged = false;
  for (int32_t n = firstLine; n != messageCount(); ++n)
    logged = logged || messageText(n) == problem;
  EXPECT_TRUE(logged);

  // With room again, the next start seeds the configuration whole.
  EXPECT_EQ(prepareFolders(folders_), "");
  EXPECT_EQ(read(folders_.data + "configuration/startup.txt"), defaults);
}

class MigrationTest : public InstallationTest {
 protected:
  void SetUp() override {
    InstallationTest::SetUp();
    old_ = (root_ / "old").string() + "/";
    prepareFolders(folders_);
    write(old_ + "bootenv", "old boot environment");
    write(folders_.data + "bootenv", "current boot environment");
  }

  // An uninstaller that leaves a mark, so a test sees whether it ran.
  void writeUninstaller() {
    write(old_ + kOlderUninstaller, "#!/bin/sh\necho ran > \"" + old_ + "uninstalled\"\n");
    chmod((old_ + kOlderUninstaller).c_str(), 0755);
  }

  std::string old_;
};

TEST_F(MigrationTest, NoOlderInstallationDoesNothing) {
  fs::remove_all(old_);
  const MigrationResult result = migrateOldInstallation(folders_, old_);
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(read(folders_.data + "bootenv"), "current boot environment");
}

TEST_F(MigrationTest, OlderDataReplaceTheCurrentAndTheUninstallerRuns) {
  write(old_ + "configuration/startup.txt", "old startup");
  write(old_ + "configuration/extra.txt", "old extra");
  fs::create_directories(old_ + "configuration/models");  // folders are not copied
  write(old_ + "reports/main.css", "old style");
  write(old_ + "reports/session.csv", "old data");
  writeUninstaller();

  const MigrationResult result = migrateOldInstallation(folders_, old_);
  ASSERT_TRUE(result.ok) << result.message;
  EXPECT_EQ(read(folders_.data + "bootenv"), "old boot environment");
  EXPECT_EQ(read(folders_.data + "configuration/startup.txt"), "old startup");
  EXPECT_EQ(read(folders_.data + "configuration/extra.txt"), "old extra");
  EXPECT_FALSE(fs::exists(folders_.data + "configuration/models"));
  EXPECT_EQ(read(folders_.report + "reports/main.css"), "old style");
  EXPECT_EQ(read(folders_.report + "reports/session.csv"), "old data");
  EXPECT_EQ(read(old_ + "uninstalled"), "ran\n");
}

TEST_F(MigrationTest, StopsAtTheFirstFailingCopyWithItsMessage) {
  write(old_ + "configuration/a.txt", "a");
  write(old_ + "configuration/b.txt", "b");
  write(old_ + "configuration/c.txt", "c");
  write(old_ + "reports/r.csv", "r");
  writeUninstaller();
  // A folder where the file should go makes that one copy fail.
  fs::create_directories(folders_.data + "configuration/b.txt");

  const MigrationResult result = migrateOldInstallation(folders_, old_);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.message.rfind("Unable to migrate file b.txt, reason ", 0), 0u) << result.message;
  EXPECT_NE(result.message, "Unable to migrate file b.txt, reason 0");
  EXPECT_EQ(read(folders_.data + "configuration/a.txt"), "a");
  EXPECT_FALSE(fs::exists(folders_.data + "configuration/c.txt"));
  EXPECT_FALSE(fs::exists(folders_.report + "reports/r.csv"));
  EXPECT_FALSE(fs::exists(old_ + "uninstalled"));

  // Without an older boot environment nothing at all is moved.
  fs::remove(old_ + "bootenv");
  fs::remove_all(folders_.data + "configuration/b.txt");
  const MigrationResult noBootenv = migrateOldInstallation(folders_, old_);
  EXPECT_EQ(noBootenv.message, "Unable to migrate bootenv, reason " + std::to_string(ENOENT));
  EXPECT_FALSE(fs::exists(folders_.data + "configuration/b.txt"));
  EXPECT_FALSE(fs::exists(old_ + "uninstalled"));
}

TEST_F(MigrationTest, AnInterruptedCopyLeavesTheCurrentFileWhole) {
  write(folders_.data + "configuration/startup.txt", "current startup");
  write(old_ + "configuration/startup.txt", std::string(10000, '#'));
  writeUninstaller();

  MigrationResult result;
  {
    const testing::FileSizeLimit disk(4096);
    result = migrateOldInstallation(folders_, old_);
  }
  EXPECT_EQ(result.message, "Unable to migrate file startup.txt, reason " + std::to_string(EFBIG));
  EXPECT_EQ(read(folders_.data + "configuration/startup.txt"), "current startup");
  EXPECT_EQ(std::distance(fs::directory_iterator(folders_.data + "configuration"),
                          fs::directory_iterator()),
            1)
      << "no temporary file is left behind";
  EXPECT_FALSE(fs::exists(old_ + "uninstalled"));

  // With room again the older file takes the place of the current one, with its permissions.
  fs::permissions(old_ + "configuration/startup.txt",
                  fs::perms::owner_read | fs::perms::group_read);
  ASSERT_TRUE(migrateOldInstallation(folders_, old_).ok);
  EXPECT_EQ(read(folders_.data + "configuration/startup.txt"), std::string(10000, '#'));
  EXPECT_EQ(fs::status(folders_.data + "configuration/startup.txt").permissions(),
            fs::perms::owner_read | fs::perms::group_read);
}

}  // namespace
}  // namespace qelm
