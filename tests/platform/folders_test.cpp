#include "platform/folders.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace qelm::platform {
namespace {

TEST(FoldersTest, UserDirsFileGivesTheDocumentsFolder) {
  EXPECT_EQ(documentsFromUserDirs("# comment\nXDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\n", "/home/a/"),
            "/home/a/Dokumente/");
  EXPECT_EQ(documentsFromUserDirs("XDG_DOCUMENTS_DIR=\"/srv/docs/\"", "/home/a/"), "/srv/docs/");
  EXPECT_EQ(
      documentsFromUserDirs("  XDG_DOCUMENTS_DIR=\"$HOME/x\"\nXDG_DOCUMENTS_DIR=\"$HOME/y\"", "/h"),
      "/h/y/")
      << "leading blanks are allowed; the last setting wins";
}

TEST(FoldersTest, UnusableUserDirsEntriesAreIgnored) {
  EXPECT_EQ(documentsFromUserDirs("", "/h/"), "");
  EXPECT_EQ(documentsFromUserDirs("XDG_DOCUMENTS_DIR=\"relative/path\"", "/h/"), "");
  EXPECT_EQ(documentsFromUserDirs("XDG_DOCUMENTS_DIR=\"$HOME/unterminated", "/h/"), "");
  EXPECT_EQ(documentsFromUserDirs("XDG_DOCUMENTS_DIR=$HOME/unquoted", "/h/"), "");
  EXPECT_EQ(documentsFromUserDirs(std::string_view("XDG_DOCUMENTS_DIR=\"\0\"", 21), "/h/"), "");
}

TEST(FoldersTest, FoldersEndWithASlash) {
  EXPECT_EQ(withTrailingSlash("/a"), "/a/");
  EXPECT_EQ(withTrailingSlash("/a/"), "/a/");
  EXPECT_EQ(withTrailingSlash(""), "");
  EXPECT_EQ(executableFolder().back(), '/');
  EXPECT_EQ(documentsFolder().back(), '/');
}

TEST(FoldersTest, DataHomeFollowsXdgDataHomeOnlyWhenAbsolute) {
  const char* old = std::getenv("XDG_DATA_HOME");
  const std::string saved = old != nullptr ? old : "";
  setenv("XDG_DATA_HOME", "/var/tmp/xdg", 1);
  EXPECT_EQ(dataHomeFolder(), "/var/tmp/xdg/");
  setenv("XDG_DATA_HOME", "relative", 1);
  EXPECT_EQ(dataHomeFolder(), homeFolder() + ".local/share/");
  if (old != nullptr)
    setenv("XDG_DATA_HOME", saved.c_str(), 1);
  else
    unsetenv("XDG_DATA_HOME");
}

}  // namespace
}  // namespace qelm::platform
