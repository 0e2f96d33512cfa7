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
  std::stringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

void writeText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
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
  // Hashing takes a tenth of a second: the two passwords are hashed once for all the cases, and
  // their file's lines reused.
  static void SetUpTestSuite() {
    both_.emplace();
    ASSERT_TRUE(both_->set(Role::kOperator, kOperatorPassword));
    ASSERT_TRUE(both_->set(Role::kViewer, kViewerPassword));
    const std::string path = fs::temp_directory_path() / "qelm-credentials-suite";
    ASSERT_EQ(both_->save(path), "");
    std::istringstream lines(readText(path));
    for (std::string line; std::getline(lines, line);)
      (line.rfind("operator ", 0) == 0 ? operatorLine_ : viewerLine_) = line + "\n";
    fs::remove(path);
  }
  static void TearDownTestSuite() { both_.reset(); }

  void SetUp() override {
    folder_ = fs::temp_directory_path() / ("qelm-credentials-" + std::to_string(::getpid()));
    fs::remove_all(folder_);
    fs::create_directories(folder_);
    path_ = folder_ + "/" + Credentials::kFileName;
  }
  void TearDown() override { fs::remove_all(folder_); }

  std::optional<Credentials> load(std::string& error) const {
    return Credentials::load(path_, error);
  }

  static inline std::optional<Credentials> both_;
  static inline std::string operatorLine_;
  static inline std::string viewerLine_;
  std::string folder_;
  std::string path_;
};

TEST_F(CredentialsTest, EachPasswordOpensItsOwnRoleAfterTheRoundTrip) {
  std::string error = "stale";
  std::optional<Credentials> loaded = load(error);
  ASSERT_TRUE(loaded && loaded->empty()) << "a missing file is no passwords";
  EXPECT_EQ(error, "");

  ASSERT_EQ(both_->save(path_), "");
  EXPECT_EQ(readText(path_).find(kOperatorPassword), std::string::npos);
  loaded = load(error);
  ASSERT_TRUE(loaded) << error;
  EXPECT_EQ(loaded->check(kOperatorPassword), Role::kOperator);
  EXPECT_EQ(loaded->check(kViewerPassword), Role::kViewer);
  EXPECT_EQ(loaded->check("turn the knobs "), std::nullopt);
  EXPECT_EQ(loaded->check(""), std::nullopt);
  EXPECT_FALSE(loaded->set(Role::kViewer, std::string(Credentials::kMostPasswordBytes + 1, 'x')));

  // One role alone; and one password for both roles opens the operator's.
  writeText(path_, viewerLine_);
  loaded = load(error);
  ASSERT_TRUE(loaded) << error;
  EXPECT_FALSE(loaded->has(Role::kOperator));
  EXPECT_EQ(loaded->check(kOperatorPassword), std::nullopt);
  writeText(path_, "viewer" + operatorLine_.substr(8) + operatorLine_);
  loaded = load(error);
  ASSERT_TRUE(loaded) << error;
  EXPECT_EQ(loaded->check(kOperatorPassword), Role::kOperator);
}

TEST_F(CredentialsTest, TheFileIsOwnerOnlyWhateverTheOldFileAndTheUmask) {
  writeText(path_, "# old\n");
  ::chmod(path_.c_str(), 0644);
  const mode_t umask = ::umask(0277);  // takes the owner's write bit as well
  const std::string error = both_->save(path_);
  ::umask(umask);
  ASSERT_EQ(error, "");
  struct stat info {};
  ASSERT_EQ(::stat(path_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
}

TEST_F(CredentialsTest, DamagedFilesAreRefusedNamingTheLine) {
  const std::string hash = viewerLine_.substr(7, viewerLine_.size() - 8);
  const struct {
    std::string text;
    std::string error;  // after "PATH", line
  } cases[] = {
      {"# comment\n\nadmin " + hash + "\n", " 3: unknown role \"admin\""},
      {operatorLine_ + "\t \n" + operatorLine_, " 3: a second password for operator"},
      {"viewer\n", " 1: no hash after viewer"},
      {"viewer " + hash + " extra\n", " 1: text after the hash"},
      {"viewer $argon2i$v=19$m=4096,t=3,p=1$c2FsdA$aGFzaA\n", " 1: the hash is not argon2id"},
      {"viewer " + hash + std::string(128, 'A') + "\n", " 1: the hash is too long"},
      {"viewer $argon2id$v=19$m=65536,t=2,p=1$c2Fs\x1b[2J\n",
       " 1: the hash holds a character it cannot have"},
      {"viewer $argon2id$v=19$m=65536,t=2,p=1$c2FsdA\n", " 1: the hash is not in argon2id's form"},
      {"viewer $argon2id$v=19$m=99999999999,t=2,p=1$c2FsdA$aGFzaA\n",
       " 1: the hash is not in argon2id's form"},
      // Each check would take seconds and gigabytes.
      {"viewer $argon2id$v=19$m=4194304,t=2,p=1$c2FsdA$aGFzaA\n",
       " 1: the hash asks for more work than allowed"},
      {operatorLine_ + std::string("viewer \0\n", 9), " 2: the hash is not argon2id"},
      {"\x1b]0;x\x07 y\n", " 1: unknown role \"?]0;x?\""},
  };
  for (const auto& damaged : cases) {
    writeText(path_, damaged.text);
    std::string error;
    EXPECT_FALSE(load(error)) << damaged.text;
    EXPECT_EQ(error, "\"" + path_ + "\", line" + damaged.error);
  }

  // Comments, indentation, blank lines, CRLF and a last line without its end are all fine, up
  // to the size limit.
  const std::string edited = "  # people edit this\r\n\r\n\toperator  " +
                             operatorLine_.substr(9, operatorLine_.size() - 10) + "\r\n" +
                             viewerLine_.substr(0, viewerLine_.size() - 1);
  const std::string padding(Credentials::kMostFileBytes - edited.size() - 1, '#');
  writeText(path_, "\n" + padding + edited);
  std::string error;
  const std::optional<Credentials> loaded = load(error);
  ASSERT_TRUE(loaded) << error;
  EXPECT_TRUE(loaded->has(Role::kOperator) && loaded->has(Role::kViewer));
  writeText(path_, "\n#" + padding + edited);
  EXPECT_FALSE(load(error));
  EXPECT_EQ(error, "\"" + path_ + "\": larger than 64 KiB");
  // A FIFO with no writer would hold an ordinary open for ever.
  fs::remove(path_);
  ASSERT_EQ(::mkfifo(path_.c_str(), 0600), 0);
  EXPECT_FALSE(load(error));
  EXPECT_EQ(error, "\"" + path_ + "\": not a regular file");
}

TEST_F(CredentialsTest, AFailedSaveLeavesTheOldFileWholeAndNoTemporaryFile) {
  writeText(path_, operatorLine_);
  // The disk fills up halfway through the new file (a limit that holds for root too).
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
  EXPECT_EQ(readText(path_), operatorLine_);
  EXPECT_EQ(filesIn(folder_), std::vector<std::string>{Credentials::kFileName});

  // The new file is complete but cannot take the name.
  fs::create_directories(folder_ + "/blocked/inside");
  EXPECT_NE(both_->save(folder_ + "/blocked"), "");
  EXPECT_EQ(filesIn(folder_), (std::vector<std::string>{"blocked", Credentials::kFileName}));
}

}  // namespace
}  // namespace qelm::remote
