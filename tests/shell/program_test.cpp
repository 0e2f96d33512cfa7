// The desktop program as a user starts it: a copy of the built executable in a program folder
// of its own, reached through a link, with a home folder of its own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "install/installation.h"
#include "shell_test_support.h"

namespace qelm {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::readFile;
using testing::writeFile;

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A folder of this test's own, so runs of two trees on one machine never share one; kept
    // short, as the program's paths are (fontconfig loses memory on some long home folders,
    // which the leak checker would report as the program's).
    std::string folder = (fs::temp_directory_path() / "qelm_program_XXXXXX").string();
    ASSERT_NE(::mkdtemp(folder.data()), nullptr);
    root_ = folder;
    const fs::path program = root_ / "program";
    fs::create_directories(program / "configuration");
    fs::copy_file(std::string(QELM_PROGRAM_DIR) + "qelm", program / "qelm");
    fs::copy_file(std::string(QELM_PROGRAM_DIR) + "configuration/startup.bak",
                  program / "configuration" / "startup.bak");
    for (const char* name : kReportResources)
      writeFile((program / "resources" / name).string(), name);
    fs::create_directories(root_ / "bin");
    fs::create_symlink("../program/qelm", root_ / "bin" / "qelm");
    home_ = root_ / "home";
    documents_ = (home_ / "Documents" / "VadEDER").string() + "/";
  }
  void TearDown() override { fs::remove_all(root_); }

  // What the program wrote to standard error.
  std::string errorOutput() const { return readFile((root_ / "stderr.txt").string()); }

  // Starts the program through its link with a home folder of its own; standard error goes to
  // a file; its current folder is the test's root. `window` chooses Qt's offscreen platform;
  // without it there is no display at all.
  pid_t start(const std::vector<std::string>& args, bool window) {
    std::vector<std::string> env = {"HOME=" + home_.string(),
                                    "XDG_CONFIG_HOME=" + (home_ / ".config").string(),
                                    "XDG_DATA_HOME=" + (home_ / ".local" / "share").string(),
                                    "XDG_RUNTIME_DIR=" + root_.string()};
    if (window) env.push_back("QT_QPA_PLATFORM=offscreen");
    env.insert(env.end(), extraEnv_.begin(), extraEnv_.end());
    for (const char* name : {"PATH", "ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS",
                             "TSAN_OPTIONS", "LD_LIBRARY_PATH"}) {
      if (const char* value = std::getenv(name)) env.push_back(std::string(name) + "=" + value);
    }
    const std::string program = (root_ / "bin" / "qelm").string();
    std::vector<std::string> argv = {program};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> argp, envp;
    for (std::string& arg : argv)
      argp.push_back(arg.data());
    argp.push_back(nullptr);
    for (std::string& entry : env)
      envp.push_back(entry.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, (root_ / "stderr.txt").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addchdir_np(&actions, root_.c_str());
    pid_t pid = -1;
    const int error =
        posix_spawn(&pid, program.c_str(), &actions, nullptr, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(error, 0);
    return error == 0 ? pid : -1;
  }

  // The program's exit code, or -1 when it did not end by itself within a minute (it is
  // killed then) or ended by a signal.
  int wait(pid_t pid) {
    int status = 0;
    if (endsWithin(pid, 60000ms, status)) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
  }

  // Runs the window until `ready` holds, then asks it to close as a desktop session would.
  int runWindowUntil(const std::vector<std::string>& args, const std::function<bool()>& ready) {
    const pid_t pid = start(args, true);
    if (pid < 0) return -1;
    bool seen = false;
    for (int i = 0; i < 3000 && !seen; ++i) {
      seen = ready();
      if (!seen) std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(seen);
    kill(pid, SIGTERM);
    return wait(pid);
  }

  // Whether the program ends within `limit`; its wait status in `status`.
  static bool endsWithin(pid_t pid, std::chrono::milliseconds limit, int& status) {
    for (auto waited = 0ms; waited < limit; waited += 10ms) {
      if (waitpid(pid, &status, WNOHANG) == pid) return true;
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }

  fs::path root_;
  fs::path home_;
  std::string documents_;
  std::vector<std::string> extraEnv_;  ///< more environment for the program
};

TEST_F(ProgramTest, StartsSeedTheFoldersKeepTheUsersFilesAndReportAFolderThatCannotBeMade) {
  const std::string startup = documents_ + "configuration/startup.txt";
  EXPECT_EQ(runWindowUntil({}, [&] { return fs::exists(startup); }), 0) << errorOutput();
  EXPECT_EQ(readFile(startup),
            readFile((root_ / "program" / "configuration" / "startup.bak").string()));
  for (const char* name : kReportResources)
    EXPECT_EQ(readFile(documents_ + "reports/" + name), name);

  // Second start: an edited configuration stays; an empty sys.log asks for the console's lines.
  writeFile(startup, "banner \"Edited\"\n");
  writeFile(documents_ + "sys.log", "");
  EXPECT_EQ(runWindowUntil({}, [&] { return fs::file_size(documents_ + "sys.log") > 0; }), 0);
  EXPECT_EQ(readFile(startup), "banner \"Edited\"\n");

  // Folders given on the command line are created and seeded.
  const std::string data = (root_ / "elsewhere" / "data").string();
  EXPECT_EQ(runWindowUntil({"/D", data, "-r", "reports here"},
                           [&] { return fs::exists(data + "/configuration/startup.txt"); }),
            0);
  EXPECT_TRUE(fs::exists(root_ / "reports here" / "reports" / "logo.jpg"));

  // A data folder that cannot be created is reported, and the window runs on.
  writeFile((root_ / "blocker").string(), "a file where a folder should be");
  const std::string blocked = "Could not create the data folder";
  EXPECT_EQ(runWindowUntil({"/D", (root_ / "blocker" / "data").string()},
                           [&] { return errorOutput().find(blocked) != std::string::npos; }),
            0)
      << errorOutput();
}

TEST_F(ProgramTest, WindowSettingsThatAreAPipeAreIgnoredAndTheWindowRuns) {
  const fs::path settings = home_ / ".config" / "qelm" / "qelm.conf";
  fs::create_directories(settings.parent_path());
  ASSERT_EQ(mkfifo(settings.c_str(), 0600), 0);
  // The console's lines reach sys.log only once the window runs.
  const std::string sysLog = documents_ + "sys.log";
  writeFile(sysLog, "");
  const std::string line = "Window settings \"" + settings.string() + "\" are not a regular file";
  EXPECT_EQ(runWindowUntil({}, [&] { return readFile(sysLog).find(line) != std::string::npos; }), 0)
      << errorOutput();
  EXPECT_TRUE(fs::is_fifo(settings)) << "written over";
}

TEST_F(ProgramTest, ASignalEndsAStartUpThatWaitsOnAFile) {
  // Qt reads its logging rules while the program starts, and reads again after every signal:
  // from a pipe that never sends anything it would wait for good.
  const fs::path rules = root_ / "logging-rules";
  ASSERT_EQ(mkfifo(rules.c_str(), 0600), 0);
  extraEnv_.push_back("QT_LOGGING_CONF=" + rules.string());
  const pid_t pid = start({}, true);
  ASSERT_GT(pid, 0);
  int writer = -1;  // opens once the program has the pipe open to read
  for (int i = 0; i < 3000 && writer < 0; ++i) {
    writer = ::open(rules.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (writer < 0) std::this_thread::sleep_for(10ms);
  }
  EXPECT_GE(writer, 0);
  kill(pid, SIGTERM);
  int status = 0;
  const bool ended = endsWithin(pid, 5000ms, status);
  ::close(writer);  // a program still waiting reads the end now and runs on
  if (!ended) {
    ADD_FAILURE() << "SIGTERM did not end a start-up that waits";
    wait(pid);
    return;
  }
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
}

TEST_F(ProgramTest, UpgradeRunMovesAnOlderInstallationWithoutAWindow) {
  const std::string old = (home_ / ".local" / "share" / "VadEDER").string() + "/";
  writeFile(old + "bootenv", "old boot environment");
  writeFile(old + "configuration/startup.txt", "banner \"Old\"\n");
  writeFile(old + "reports/session.csv", "old data");
  writeFile(old + kOlderUninstaller, "#!/bin/sh\ntouch \"" + old + "uninstalled\"\n");
  fs::permissions(old + kOlderUninstaller, fs::perms::owner_all);

  // No display: the upgrade run must not need one.
  EXPECT_EQ(wait(start({"-upgrade15"}, false)), 0) << errorOutput();
  EXPECT_EQ(readFile(documents_ + "bootenv"), "old boot environment");
  EXPECT_EQ(readFile(documents_ + "configuration/startup.txt"), "banner \"Old\"\n");
  EXPECT_EQ(readFile(documents_ + "reports/session.csv"), "old data");
  for (const char* name : kReportResources)
    EXPECT_TRUE(fs::exists(documents_ + "reports/" + name)) << name;
  EXPECT_TRUE(fs::exists(old + "uninstalled"));

  // A copy that fails ends the run with its message and a failure code.
  fs::remove(old + "uninstalled");
  writeFile(old + "configuration/zz.txt", "late");
  fs::create_directories(documents_ + "configuration/zz.txt");
  EXPECT_EQ(wait(start({"-upgrade15"}, false)), 1);
  EXPECT_NE(errorOutput().find("Unable to migrate file zz.txt, reason "), std::string::npos);
  EXPECT_FALSE(fs::exists(old + "uninstalled"));
}

}  // namespace
}  // namespace qelm
