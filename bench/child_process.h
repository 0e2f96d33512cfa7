// Programs a benchmark runs beside itself: a child process with its output in a log file or in a
// pipe the benchmark reads, taken down when the object goes; and the engine's start-up timed from
// outside, as a user sees it.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

namespace qelm::bench {

/// A program started from `args` (args[0]: its path); stopped with SIGTERM (then SIGKILL after
/// 30 s) when the object goes. Throws std::runtime_error when it cannot be started.
class ChildProcess {
 public:
  using SteadyClock = std::chrono::steady_clock;

  /// Standard output and standard error to `log`, created or emptied.
  ChildProcess(std::vector<std::string> args, const std::filesystem::path& log) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    spawn(args, actions);
  }
  /// Standard output to a pipe read by readLine; standard error stays the benchmark's.
  explicit ChildProcess(std::vector<std::string> args) {
    int ends[2];
    // Close-on-exec, so that no other child holds the writing end and keeps the pipe open.
    if (::pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("no pipe for " + args.at(0));
    Descriptor writing(ends[1]);
    output_ = Descriptor(ends[0]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, writing.fd(), STDOUT_FILENO);
    spawn(args, actions);
  }
  ~ChildProcess() { stop(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  /// The process id; -1 once it has been waited for.
  pid_t pid() const { return pid_; }
  /// The moment just before the spawn, for timing a start from outside.
  SteadyClock::time_point spawnedAt() const { return spawnedAt_; }

  bool running() {
    if (pid_ <= 0) return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == 0) return true;
    pid_ = -1;
    status_ = status;
    return false;
  }
  /// Waits for the end, leaving the rest of a piped output unread; the exit status as waitpid
  /// gives it.
  int wait() {
    output_ = Descriptor();  // a child writing to a pipe no one reads must not block its end
    if (pid_ > 0) {
      ::waitpid(pid_, &status_, 0);
      pid_ = -1;
    }
    return status_;
  }
  /// SIGTERM and the wait; the exit status as waitpid gives it.
  int stop() {
    if (!running()) return wait();
    ::kill(pid_, SIGTERM);
    const auto deadline = SteadyClock::now() + kStopGrace;
    while (running() && SteadyClock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (running()) ::kill(pid_, SIGKILL);
    return wait();
  }

  /// The next line of the piped output that starts with `prefix`, without its newline; lines
  /// before it are skipped. None when the output ends or `deadline` passes first.
  std::optional<std::string> readLine(std::string_view prefix, SteadyClock::time_point deadline) {
    for (;;) {
      for (size_t end = pending_.find('\n'); end != std::string::npos; end = pending_.find('\n')) {
        std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        if (line.starts_with(prefix)) return line;
      }
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
      if (left <= 0 || !output_.open()) return std::nullopt;
      pollfd wanted{output_.fd(), POLLIN, 0};
      const int ready = ::poll(
          &wanted, 1, static_cast<int>(std::min<long>(left, std::numeric_limits<int>::max())));
      if (ready == 0 || (ready < 0 && errno == EINTR)) continue;
      char chunk[4096];
      const ssize_t got = ready < 0 ? -1 : ::read(output_.fd(), chunk, sizeof chunk);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return std::nullopt;
      pending_.append(chunk, static_cast<size_t>(got));
    }
  }

 private:
  static constexpr std::chrono::seconds kStopGrace{30};

  /// A file descriptor closed when it goes.
  class Descriptor {
   public:
    Descriptor() = default;
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
      if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
      }
      return *this;
    }
    ~Descriptor() {
      if (fd_ >= 0) ::close(fd_);
    }
    int fd() const { return fd_; }
    bool open() const { return fd_ >= 0; }

   private:
    int fd_ = -1;
  };

  // Spawns with `actions` and destroys them.
  void spawn(std::vector<std::string>& args, posix_spawn_file_actions_t& actions) {
    std::vector<char*> argv;
    for (std::string& arg : args)
      argv.push_back(arg.data());
    argv.push_back(nullptr);
    spawnedAt_ = SteadyClock::now();
    const int failed = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) {
      pid_ = -1;
      throw std::runtime_error("could not start " + args[0]);
    }
  }

  pid_t pid_ = -1;
  int status_ = 0;
  SteadyClock::time_point spawnedAt_;
  Descriptor output_;
  std::string pending_;  // read from the pipe, not yet a whole line
};

/// One start of `qelm-engine run --startup-time`: from just before the spawn to the line it
/// prints at its first drawn screen, "startup: N ms" (N: its own figure, from the kernel's
/// record of its start).
struct StartupTime {
  double seconds = -1;  ///< spawn to the line; negative when it never came
  long ownMs = -1;      ///< the engine's own figure; -1 when it printed none
};

/// Starts `engine` on the data folder `data` (its reports there too) until its first screen;
/// the run stops by itself after the line, and is waited for before this returns.
inline StartupTime timeStartup(const std::string& engine, const std::string& data) {
  constexpr int kLongestRunSeconds = 60;
  constexpr std::string_view kStartupLine = "startup: ";
  StartupTime result;
  try {
    ChildProcess child({engine, "run", "--startup-time", "--data", data, "--report", data,
                        "--seconds", std::to_string(kLongestRunSeconds)});
    const std::optional<std::string> line =
        child.readLine(kStartupLine, child.spawnedAt() + std::chrono::seconds(kLongestRunSeconds));
    if (!line) return result;  // the child is stopped as it goes
    result.seconds =
        std::chrono::duration<double>(ChildProcess::SteadyClock::now() - child.spawnedAt()).count();
    std::sscanf(line->c_str() + kStartupLine.size(), "%ld ms", &result.ownMs);
    child.wait();
  } catch (const std::runtime_error&) {
  }
  return result;
}

}  // namespace qelm::bench
