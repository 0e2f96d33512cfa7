#include "shell/command_line.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <optional>
#include <string>

#include "../text/man_page_render.h"
#include "text/man_page.h"

namespace qelm {
namespace {

// Sets an environment variable for one test and puts the old value back.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = getenv(name)) old_ = old;
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (old_)
      setenv(name_, old_->c_str(), 1);
    else
      unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(CommandLineTest, FoldersFollowTheirFlagsInAnySpelling) {
  CVadEDERCommandLineInfo info =
      parseCommandLine({"/D", "/srv/panel data", "-x", "ignored", "-r", "reports", "-platform"});
  EXPECT_FALSE(info.upgrade);
  EXPECT_EQ(info.dataFolder, "/srv/panel data");  // an absolute path is a folder, not a flag
  EXPECT_EQ(info.reportFolder, "reports");

  info = parseCommandLine({"-d", "/a", "/R"});
  EXPECT_EQ(info.dataFolder, "/a");
  EXPECT_FALSE(info.reportFolder);  // a flag without its folder changes nothing

  info = parseCommandLine({"setup", "--x-upgrade15"});
  EXPECT_TRUE(info.upgrade);
  EXPECT_FALSE(info.dataFolder);
}

TEST(CommandLineTest, HelpIsAskedOnlyWhereNoFolderIsExpected) {
  EXPECT_TRUE(parseCommandLine({"--help"}).help);
  EXPECT_TRUE(parseCommandLine({"/R", "r", "-h"}).help);
  const CVadEDERCommandLineInfo info = parseCommandLine({"/D", "--help", "-R", "-h"});
  EXPECT_FALSE(info.help);
  EXPECT_EQ(info.dataFolder, "--help");
  EXPECT_EQ(info.reportFolder, "-h");
  // The manual page is made from this text: it must show every line of it as written.
  const std::optional<std::string> shown =
      renderedManPage(manPageFromHelp(desktopHelp(), "1", "qelm"));
  if (!shown) GTEST_SKIP() << "groff is not installed";
  expectEveryLineShown(desktopHelp(), *shown);
}

TEST(CommandLineTest, FoldersAreAbsoluteAndDefaultToTheDocumentsFolder) {
  namespace fs = std::filesystem;
  const fs::path home = fs::temp_directory_path() / "command_line_test_home";
  fs::create_directories(home);
  const ScopedEnv homeEnv("HOME", home.string());
  const ScopedEnv configEnv("XDG_CONFIG_HOME", (home / ".config").string());

  Folders folders = desktopFolders(parseCommandLine({}), "/opt/qelm");
  EXPECT_EQ(folders.program, "/opt/qelm/");
  EXPECT_EQ(folders.data, home.string() + "/Documents/VadEDER/");
  EXPECT_EQ(folders.report, folders.data);

  folders = desktopFolders(parseCommandLine({"/D", "data/../mine", "/R", "/var/rep"}), "/p/");
  EXPECT_EQ(folders.data, (fs::current_path() / "mine").string() + "/");
  EXPECT_EQ(folders.report, "/var/rep/");

  fs::remove_all(home);
}

}  // namespace
}  // namespace qelm
