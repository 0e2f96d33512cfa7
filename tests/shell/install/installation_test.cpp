#include "shell/install/installation.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

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

}  // namespace
}  // namespace qelm
