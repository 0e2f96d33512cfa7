#include "host/passwd_command.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/descriptor.h"
#include "remote/credentials.h"

namespace qelm {
namespace {

namespace fs = std::filesystem;
using platform::Descriptor;
using remote::Credentials;
using remote::Role;

struct Outcome {
  int code;
  std::string out;
  std::string err;
};

std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The roles the file's passwords open, in the order of `passwords`.
std::vector<std::optional<Role>> rolesOpened(const std::string& path,
                                             const std::vector<std::string>& passwords) {
  std::string error;
  const std::optional<Credentials> credentials = Credentials::load(path, error);
  EXPECT_TRUE(credentials) << error;
  std::vector<std::optional<Role>> roles;
  for (const std::string& password : passwords)
    roles.push_back(credentials ? credentials->check(password) : std::nullopt);
  return roles;
}

class PasswdCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    data_ = (fs::temp_directory_path() / ("qelm-passwd-" + std::to_string(::getpid()))).string();
    fs::remove_all(data_);
    path_ = data_ + "/" + Credentials::kFileName;
  }
  void TearDown() override { fs::remove_all(data_); }

  // Runs the command with `input` as a piped standard input.
  static Outcome piped(const std::vector<std::string>& args, const std::string& input) {
    std::istringstream in(input);
    std::ostringstream out;
    std::ostringstream err;
    const int code = passwdCommand(args, in, -1, out, err);
    return {code, out.str(), err.str()};
  }

  std::string data_;
  std::string path_;
};

TEST_F(PasswdCommandTest, EachRoleIsSetFromStandardInputAndTheOtherKept) {
  const Outcome set = piped({"--data", data_}, "first one\n");
  EXPECT_EQ(set.code, kPasswdDone) << set.err;
  EXPECT_EQ(set.out, "Password set for operator in " + path_ + "\n");
  EXPECT_EQ(set.err, "");
  struct stat info {};
  ASSERT_EQ(::stat(path_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  // "/D" as the desktop spells it; a line from Windows keeps no carriage return.
  const Outcome viewer = piped({"--viewer", "/D", data_}, "second\r\nignored\n");
  EXPECT_EQ(viewer.code, kPasswdDone) << viewer.err;
  EXPECT_EQ(viewer.out, "Password set for viewer in " + path_ + "\n");
  EXPECT_EQ(rolesOpened(path_, {"first one", "second", "second\r"}),
            (std::vector<std::optional<Role>>{Role::kOperator, Role::kViewer, std::nullopt}));
}

TEST_F(PasswdCommandTest, RefusalsChangeNothing) {
  const struct {
    std::vector<std::string> args;
    std::string input;
    int code;
    std::string err;  // its first line
  } cases[] = {
      {{"--admin"}, "x\n", kPasswdRefused, "qelm-engine passwd: unknown option \"--admin\""},
      {{"-D"}, "x\n", kPasswdRefused, "qelm-engine passwd: option -D needs a value"},
      {{"--data="}, "x\n", kPasswdRefused, "qelm-engine passwd: option --data needs a folder"},
      {{"--data", data_, "secret"},
       "x\n",
       kPasswdRefused,
       "qelm-engine passwd: unexpected argument \"secret\""},
      {{"--data=" + data_}, "", kPasswdFailed, "No password given; nothing changed"},
      {{"--data=" + data_}, "\n", kPasswdFailed, "The password is empty; nothing changed"},
      {{"--data=" + data_},
       std::string(Credentials::kMostPasswordBytes + 1, 'x') + "\n",
       kPasswdFailed,
       "The password is longer than 1024 bytes; nothing changed"},
  };
  for (const auto& refused : cases) {
    const Outcome outcome = piped(refused.args, refused.input);
    EXPECT_EQ(outcome.code, refused.code);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err.substr(0, outcome.err.find('\n')), refused.err);
    if (refused.code == kPasswdRefused) {
      EXPECT_NE(outcome.err.find(passwdUsage()), std::string::npos);
    }
    EXPECT_FALSE(fs::exists(data_));
  }

  // A damaged file is reported, and left for the user to look at.
  fs::create_directories(data_);
  std::ofstream(path_) << "# mine\nroot $argon2id$\n";
  const Outcome damaged = piped({"--data", data_}, "x\n");
  EXPECT_EQ(damaged.code, kPasswdFailed);
  EXPECT_EQ(damaged.err, "\"" + path_ + "\", line 2: unknown role \"root\"\n");
  EXPECT_EQ(readText(path_), "# mine\nroot $argon2id$\n");
}

TEST_F(PasswdCommandTest, WithoutDataFolderTheRunsFolderIsMade) {
  const char* home = ::getenv("HOME");
  const std::string savedHome = home ? home : "";
  const char* config = ::getenv("XDG_CONFIG_HOME");
  const std::optional<std::string> savedConfig =
      config ? std::optional<std::string>(config) : std::nullopt;
  ::setenv("HOME", data_.c_str(), 1);
  ::unsetenv("XDG_CONFIG_HOME");
  const Outcome outcome = piped({}, "at home\n");
  if (home) ::setenv("HOME", savedHome.c_str(), 1);
  if (savedConfig) ::setenv("XDG_CONFIG_HOME", savedConfig->c_str(), 1);

  const std::string path = data_ + "/Documents/VadEDER/" + Credentials::kFileName;
  EXPECT_EQ(outcome.code, kPasswdDone) << outcome.err;
  EXPECT_EQ(outcome.out, "Password set for operator in " + path + "\n");
  EXPECT_EQ(rolesOpened(path, {"at home"}), std::vector<std::optional<Role>>{Role::kOperator});
}

// A pseudo-terminal standing for the user's: the command reads the slave side, the test types
// on the master side and sees there what the terminal shows.
class PasswdTerminalTest : public PasswdCommandTest {
 protected:
  void SetUp() override {
    PasswdCommandTest::SetUp();
    master_.reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_TRUE(master_.valid());
    ASSERT_EQ(::grantpt(master_.get()), 0);
    ASSERT_EQ(::unlockpt(master_.get()), 0);
    slave_.reset(::open(::ptsname(master_.get()), O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_TRUE(slave_.valid());
    ASSERT_TRUE(echoing());
    // SIGINT is sent to the reading thread below; the test's own handler keeps a late one from
    // ending the test program, and shows whether the command gave the handler back.
    struct sigaction quiet {};
    quiet.sa_handler = ignoreSignal;
    sigemptyset(&quiet.sa_mask);
    ::sigaction(SIGINT, &quiet, &savedInterrupt_);
  }
  void TearDown() override {
    ::sigaction(SIGINT, &savedInterrupt_, nullptr);
    PasswdCommandTest::TearDown();
  }

  static void ignoreSignal(int) {}

  bool echoing() const {
    termios modes{};
    EXPECT_EQ(::tcgetattr(slave_.get(), &modes), 0);
    return (modes.c_lflag & ECHO) != 0;
  }

  // Starts the command on the terminal and returns once it has turned echo off.
  void start() {
    done_ = false;
    runner_ = std::thread([this] {
      std::istringstream unused;
      std::ostringstream out;
      std::ostringstream err;
      outcome_.code = passwdCommand({"--data", data_}, unused, slave_.get(), out, err);
      outcome_.out = out.str();
      outcome_.err = err.str();
      done_ = true;
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (echoing() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_FALSE(echoing());
  }
  void type(const std::string& text) const {
    ASSERT_EQ(::write(master_.get(), text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  // Waits for the command; what the terminal showed meanwhile.
  std::string finish() {
    runner_.join();
    std::string shown;
    const int flags = ::fcntl(master_.get(), F_GETFL);
    ::fcntl(master_.get(), F_SETFL, flags | O_NONBLOCK);
    char buffer[256];
    for (ssize_t n; (n = ::read(master_.get(), buffer, sizeof buffer)) > 0;)
      shown.append(buffer, static_cast<size_t>(n));
    return shown;
  }

  Descriptor master_;
  Descriptor slave_;
  struct sigaction savedInterrupt_ {};
  std::thread runner_;
  std::atomic<bool> done_{false};
  Outcome outcome_{};
};

TEST_F(PasswdTerminalTest, ThePasswordIsAskedTwiceUnseen) {
  start();
  type("hidden words\nhidden words\n");
  const std::string shown = finish();
  EXPECT_EQ(outcome_.code, kPasswdDone) << outcome_.err;
  EXPECT_EQ(outcome_.err, "New password: Repeat password: ");
  EXPECT_EQ(shown.find("hidden"), std::string::npos) << shown;
  EXPECT_TRUE(echoing());
  EXPECT_EQ(rolesOpened(path_, {"hidden words"}),
            std::vector<std::optional<Role>>{Role::kOperator});
}

TEST_F(PasswdTerminalTest, DifferentAnswersOrAnInterruptChangeNothingAndEchoComesBack) {
  start();
  type("one\ntwo\n");
  finish();
  EXPECT_EQ(outcome_.code, kPasswdFailed);
  EXPECT_EQ(outcome_.err, "New password: Repeat password: The passwords differ; nothing changed\n");
  EXPECT_TRUE(echoing());

  start();
  type("half");
  // The signal may come before the read starts: it is sent until the command has ended.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done_ && std::chrono::steady_clock::now() < deadline) {
    ::pthread_kill(runner_.native_handle(), SIGINT);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (!done_) type("\n\n");  // the signal did not end the read: let the command end
  finish();
  EXPECT_EQ(outcome_.code, kPasswdFailed);
  EXPECT_EQ(outcome_.err, "New password: Interrupted; nothing changed\n");
  EXPECT_TRUE(echoing());
  struct sigaction now {};
  ::sigaction(SIGINT, nullptr, &now);
  EXPECT_EQ(now.sa_handler, ignoreSignal) << "the command gives the handler back";
  EXPECT_FALSE(fs::exists(path_));
}

}  // namespace
}  // namespace qelm
