#include "host/passwd_command.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "command_outcome.h"
#include "platform/descriptor.h"
#include "remote/credentials.h"

namespace qelm {
namespace {

namespace fs = std::filesystem;
using platform::Descriptor;
using remote::Credentials;
using remote::Role;

using Outcome = testing::CommandOutcome;

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
  std::stringstream kept;
  kept << std::ifstream(path_).rdbuf();
  EXPECT_EQ(kept.str(), "# mine\nroot $argon2id$\n");
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

TEST_F(PasswdTerminalTest, ThePasswordIsAskedTwiceUnseenAndEchoAlwaysComesBack) {
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

  start();
  type("hidden words\nhidden words\n");
  EXPECT_EQ(finish().find("hidden"), std::string::npos);
  EXPECT_EQ(outcome_.code, kPasswdDone) << outcome_.err;
  EXPECT_EQ(outcome_.err, "New password: Repeat password: ");
  EXPECT_TRUE(echoing());
  EXPECT_EQ(rolesOpened(path_, {"hidden words"}),
            std::vector<std::optional<Role>>{Role::kOperator});
}

}  // namespace
}  // namespace qelm
