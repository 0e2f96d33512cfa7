// Start-up as the user sees it: from starting qelm-engine with the default configuration to its
// first drawn screen. The engine's --startup-time run prints "startup: N ms" (its own measure,
// from the kernel's record of its start) at that moment and stops; here the time is taken
// outside, from just before the spawn to that line. The data folder is seeded by an untimed
// first run, so every timed run is an ordinary start, not the first one of an installation.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

struct Startup {
  double seconds = -1;  // spawn to the "startup:" line; negative when it never came
  long ownMs = -1;      // the engine's own figure
};

Startup startOnce(const std::string& data) {
  const std::string engine = std::string(QELM_PROGRAM_DIR) + "qelm-engine";
  std::vector<std::string> args = {engine,     "run", "--startup-time", "--data", data,
                                   "--report", data,  "--seconds",      "60"};
  std::vector<char*> argv;
  for (std::string& arg : args)
    argv.push_back(arg.data());
  argv.push_back(nullptr);
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
  Startup result;
  pid_t pid = -1;
  const auto start = SteadyClock::now();
  const int spawned = posix_spawn(&pid, engine.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  if (spawned != 0) {
    ::close(pipeFds[0]);
    return {};
  }
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
    if (const size_t at = text.find("startup: ");
        at != std::string::npos && text.find('\n', at) != std::string::npos) {
      result.seconds = std::chrono::duration<double>(SteadyClock::now() - start).count();
      std::sscanf(text.c_str() + at, "startup: %ld ms", &result.ownMs);
      break;
    }
  }
  // The run stops by itself after the line; the rest of its output is not waited for.
  ::close(pipeFds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return result;
}

void BM_StartupToFirstScreen(benchmark::State& state) {
  const fs::path folder = fs::temp_directory_path() / "qelm_startup_bench";
  fs::remove_all(folder);
  const std::string data = folder.string() + "/";
  if (startOnce(data).seconds < 0) return state.SkipWithError("qelm-engine did not start");
  std::vector<double> own;
  for (auto _ : state) {
    const Startup startup = startOnce(data);
    if (startup.seconds < 0) {
      state.SkipWithError("no first screen");
      break;
    }
    state.SetIterationTime(startup.seconds);
    own.push_back(static_cast<double>(startup.ownMs));
  }
  if (!own.empty()) {
    std::sort(own.begin(), own.end());
    state.counters["engine_own_median_ms"] = own[own.size() / 2];
  }
  fs::remove_all(folder);
}
BENCHMARK(BM_StartupToFirstScreen)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace
