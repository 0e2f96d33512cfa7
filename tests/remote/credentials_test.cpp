#include "remote/credentials.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace qelm::remote {
namespace {

namespace fs = std::filesystem;

constexpr const char* kOperatorPassword = "turn the knobs";
constexpr const char* kViewerPassword = "only look";

std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void writeText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

unsigned modeOf(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

std::vector<std::string> filesIn(const std::string& folder) {
  std::vector<std::string> names;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

class CredentialsTest : public ::testing::Test {
 protected:
  // Hashing takes a tenth of a second, so the two passwords are hashed once for all the cases.
  static void SetUpTestSuite() {
    both_.emplace();
    ASSERT_TRUE(both_->set(Role::kOperator, kOperatorPassword));
    ASSERT_TRUE(both_->set(Role::kViewer, kViewerPassword));
    const std::string folder = fs::temp_directory_path() / "qelm-credentials-suite";
    fs::create_directories(folder);
    ASSERT_EQ(both_->save(folder + "/passwords"), "");
    std::istringstream lines(readText(folder + "/passwords"));
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("operator ", 0) == 0) operatorHash_ = line.substr(9);
      if (line.rfind("viewer ", 0) == 0) viewerHash_ = line.substr(7);
    }
    fs::remove_all(folder);
  }
  static void TearDownTestSuite() { both_.reset(); }

  void SetUp() override {
    folder_ = fs::temp_directory_path() /
              ("qelm-credentials-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(folder_);
    fs::create_directories(folder_);
    path_ = folder_ + "/" + Credentials::kFileName;
  }
  void TearDown() override {
    fs::permissions(folder_, fs::perms::owner_all);
    fs::remove_all(folder_);
  }

  // The file at path_ read back; the error is empty when it loads.
  std::optional<Credentials> load(std::string& error) const {
    return Credentials::load(path_, error);
  }

  static inline std::optional<Credentials> both_;
  static inline std::string operatorHash_;
  static inline std::string viewerHash_;
  std::string folder_;
  std::string path_;
};

TEST_F(CredentialsTest, EachPasswordOpensItsOwnRoleAfterTheRoundTrip) {
  ASSERT_FALSE(operatorHash_.empty());
  ASSERT_FALSE(viewerHash_.empty());
  std::string error = "stale";
  std::optional<Credentials> loaded = load(error);
  ASSERT_TRUE(loaded) << "a missing file is no passwords";
  EXPECT_EQ(error, "");
  EXPECT_TRUE(loaded->empty());
  EXPECT_EQ(loaded->check(kOperatorPassword), std::nullopt);

  ASSERT_EQ(both_->save(path_), "");
  const std::string text = readText(path_);
  EXPECT_EQ(text.find(kOperatorPassword), std::string::npos);
  EXPECT_EQ(text.find(kViewerPassword), std::string::npos);
  loaded = load(error);
  ASSERT_TRUE(loaded) << error;
  EXPECT_TRUE(loaded->has(Role::kOperator));
  EXPECT_TRUE(loaded->has(Role::kViewer));
  EXPECT_EQ(loaded->check(kOperatorPassword), Role::kOperator);
  EXPECT_EQ(loaded->check(kViewerPassword), Role::kViewer);
  EXPECT_EQ(loaded->check("turn the knobs "), std::nullopt);
  EXPECT_EQ(loaded->check(""), std::nullopt);
  EXPECT_EQ(loaded->check(std::string(Credentials::kMostPasswordBytes + 1, 'x')), std::nullopt);

  // One role alone; and one password for both opens the operator's role.
  writeText(path_, "viewer " + viewerHash_ + "\n");
  loaded = load(error);
  ASSERT_TRUE(loaded) << error;
  EXPECT_FALSE(loaded->has(Role::kOperator));
  EXPECT_EQ(loaded->check(kOperatorPassword), std::nullopt);
  EXPECT_EQ(loaded->check(kViewerPassword), Role::kViewer);
  writeText(path_, "viewer " + operatorHash_ + "\noperator " + operatorHash_ + "\n");
  loaded = load(error);
  ASSERT_TRUE(loaded) << error;
  EXPECT_EQ(loaded->check(kOperatorPassword), Role::kOperator);
}

TEST_F(CredentialsTest, PasswordsAreTakenUpToTheLimitOnly) {
  Credentials credentials;
  EXPECT_FALSE(credentials.set(Role::kOperator, ""));
  EXPECT_FALSE(
      credentials.set(Role::kOperator, std::string(Credentials::kMostPasswordBytes + 1, 'x')));
  EXPECT_TRUE(credentials.empty());
  const std::string longest(Credentials::kMostPasswordBytes, 'x');
  ASSERT_TRUE(credentials.set(Role::kViewer, longest));
  EXPECT_EQ(credentials.check(longest), Role::kViewer);
  EXPECT_FALSE(credentials.has(Role::kOperator));
}

TEST_F(CredentialsTest, TheFileIsOwnerOnlyWhateverTheOldFileAndTheUmask) {
  writeText(path_, "# old\n");
  ::chmod(path_.c_str(), 0644);
  // A umask that also takes the owner's write bit away.
  const mode_t umask = ::umask(0277);
  const std::string error = both_->save(path_);
  ::umask(umask);
  ASSERT_EQ(error, "");
  EXPECT_EQ(modeOf(path_), 0600u);
  EXPECT_EQ(filesIn(folder_), std::vector<std::string>{Credentials::kFileName});
}

TEST_F(CredentialsTest, DamagedFilesAreRefusedNamingTheLine) {
  const std::string op = "operator " + operatorHash_ + "\n";
  const struct {
    std::string text;
    std::string error;  // after "PATH", line
  } cases[] = {
      {"# comment\n\nadmin " + operatorHash_ + "\n", " 3: unknown role \"admin\""},
      {"Operator " + operatorHash_ + "\n", " 1: unknown role \"Operator\""},
      {op + "\t \n" + op, " 3: a second password for operator"},
      {"viewer\n", " 1: no hash after viewer"},
      {"viewer " + viewerHash_ + " extra\n", " 1: text after the hash"},
      {"viewer $argon2i$v=19$m=4096,t=3,p=1$c2FsdA$aGFzaA\n", " 1: the hash is not argon2id"},
      {"viewer $2b$12$abcdefghijklmnopqrstuv\n", " 1: the hash is not argon2id"},
      {"viewer " + viewerHash_ + std::string(128, 'A') + "\n", " 1: the hash is too long"},
      {"viewer $argon2id$v=19$m=65536,t=2,p=1$c2Fs\x1b[2J\n",
       " 1: the hash holds a character it cannot have"},
      {op + std::string("viewer \0", 8) + "\n", " 2: the hash is not argon2id"},
      {"\x1b]0;x\x07 y\n", " 1: unknown role \"?]0;x?\""},
  };
  for (const auto& damaged : cases) {
    writeText(path_, damaged.text);
    std::string error;
    EXPECT_FALSE(load(error)) << damaged.text;
    EXPECT_EQ(error, "\"" + path_ + "\", line" + damaged.error);
  }

  // Comments, indentation, blank lines, CRLF and a last line without its end are all fine.
  writeText(path_, "  # people edit this\r\n\r\n\toperator  " + operatorHash_ + "\r\nviewer " +
                       viewerHash_);
  std::string error;
  const std::optional<Credentials> loaded = load(error);
  ASSERT_TRUE(loaded) << error;
  EXPECT_TRUE(loaded->has(Role::kOperator) && loaded->has(Role::kViewer));
}

TEST_F(CredentialsTest, WhatIsNotASmallRegularFileIsRefused) {
  std::string error;
  const std::string op = "operator " + operatorHash_ + "\n";
  const std::string text =
      op + std::string(Credentials::kMostFileBytes - op.size() - 1, '#') + "\n";
  writeText(path_, text);
  EXPECT_TRUE(load(error)) << error;
  writeText(path_, text + "\n");
  EXPECT_FALSE(load(error));
  EXPECT_EQ(error, "\"" + path_ + "\": larger than 64 KiB");

  fs::remove(path_);
  fs::create_directory(path_);
  EXPECT_FALSE(load(error));
  EXPECT_EQ(error, "\"" + path_ + "\": not a regular file");
  fs::remove(path_);
  // A FIFO with no writer would block an ordinary open.
  ASSERT_EQ(::mkfifo(path_.c_str(), 0600), 0);
  EXPECT_FALSE(load(error));
  EXPECT_EQ(error, "\"" + path_ + "\": not a regular file");
}

TEST_F(CredentialsTest, AFailedSaveLeavesTheOldFileWholeAndNoTemporaryFile) {
  const std::string old = "operator " + operatorHash_ + "\n";
  writeText(path_, old);

  // The disk fills up halfway through the new file (the limit holds for root too).
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction saved {};
  ::sigaction(SIGXFSZ, &ignore, &saved);
  rlimit limit{};
  ::getrlimit(RLIMIT_FSIZE, &limit);
  const rlimit small{40, limit.rlim_max};
  ::setrlimit(RLIMIT_FSIZE, &small);
  const std::string error = both_->save(path_);
  ::setrlimit(RLIMIT_FSIZE, &limit);
  ::sigaction(SIGXFSZ, &saved, nullptr);
  EXPECT_EQ(error.rfind("Could not write \"" + path_ + "\": ", 0), 0u) << error;
  EXPECT_EQ(readText(path_), old);
  EXPECT_EQ(filesIn(folder_), std::vector<std::string>{Credentials::kFileName});

  // The new file is complete but cannot take the name.
  const std::string blocked = folder_ + "/blocked";
  fs::create_directories(blocked + "/inside");
  EXPECT_NE(both_->save(blocked), "");
  EXPECT_EQ(filesIn(folder_), (std::vector<std::string>{"blocked", Credentials::kFileName}));

  // A folder the user may not write to; root writes anyway.
  if (::geteuid() != 0) {
    fs::permissions(folder_, fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_NE(both_->save(path_), "");
    EXPECT_EQ(readText(path_), old);
  }
}

}  // namespace
}  // namespace qelm::remote
