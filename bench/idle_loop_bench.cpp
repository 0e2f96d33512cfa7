// The processor time of the idle main loop beside its floor: the engine with the default
// configuration and no operator, passing with its real 1 ms pause, against a bare loop that
// only sleeps 1 ms per pass. One iteration is one second of wall time; the figure is the
// looping thread's processor time in percent of one core.
#include <benchmark/benchmark.h>
#include <time.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>

#include "engine/engine_run.h"
#include "platform/clock.h"

namespace qelm {
namespace {

namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

double threadCpuSeconds() {
  timespec now{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Runs `pass` for one second per iteration and reports the thread's processor share.
template <typename Pass>
void measureLoop(benchmark::State& state, Pass pass) {
  double cpu = 0;
  double wall = 0;
  int64_t passes = 0;
  for (auto _ : state) {
    const auto start = SteadyClock::now();
    const double cpuStart = threadCpuSeconds();
    const auto end = start + std::chrono::seconds(1);
    while (SteadyClock::now() < end) {
      pass();
      ++passes;
    }
    const double seconds = std::chrono::duration<double>(SteadyClock::now() - start).count();
    cpu += threadCpuSeconds() - cpuStart;
    wall += seconds;
    state.SetIterationTime(seconds);
  }
  state.counters["cpu_percent"] = 100 * cpu / wall;
  state.counters["passes_per_s"] = static_cast<double>(passes) / wall;
}

void BM_BareSleepLoop(benchmark::State& state) {
  measureLoop(state, [] { std::this_thread::sleep_for(std::chrono::milliseconds(1)); });
}
BENCHMARK(BM_BareSleepLoop)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

// Starts the engine on `configuration`, lets it settle for two seconds (the simulated frames
// connect, the first pages are drawn), then measures its idle passes.
void measureEngine(benchmark::State& state, const std::string& configuration) {
  const fs::path folder = fs::temp_directory_path() / "qelm_idle_loop_bench";
  fs::remove_all(folder);
  fs::create_directories(folder / "configuration");
  std::ofstream(folder / "configuration" / "startup.txt") << configuration;
  const std::string data = folder.string() + "/";
  {
    AppContext context(Folders{QELM_PROGRAM_DIR, data, data});
    context.setStartupFileName("startup.txt");
    EngineState engineState(context);
    EngineRun run(engineState);
    if (!run.startUp()) return state.SkipWithError("the configuration did not start");
    const auto settled = SteadyClock::now() + std::chrono::seconds(2);
    while (SteadyClock::now() < settled)
      run.pass();
    measureLoop(state, [&] { run.pass(); });
    run.shutDown();
  }
  fs::remove_all(folder);
}

// The default configuration with its simulated frames moved to addresses of this benchmark's
// own, so that it never meets a panel or a test on the usual ones. Its loudness card
// (127.0.0.60) is absent, as when `qelm-engine lmcard` is not running.
void BM_IdleMainLoopDefaultConfiguration(benchmark::State& state) {
  std::ifstream original(std::string(QELM_PROGRAM_DIR) + "configuration/startup.bak");
  std::string text((std::istreambuf_iterator<char>(original)), std::istreambuf_iterator<char>());
  if (text.empty()) return state.SkipWithError("no default configuration in the program folder");
  for (size_t at = text.find("127.0.0."); at != std::string::npos; at = text.find("127.0.0.", at))
    text.replace(at, 8, "127.48.7.");
  measureEngine(state, text);
}
BENCHMARK(BM_IdleMainLoopDefaultConfiguration)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

// No devices and no frames: the loop with only the panel's own pages, its floor.
void BM_IdleMainLoopNoDevices(benchmark::State& state) {
  measureEngine(state, "banner \"Bench\"\n");
}
BENCHMARK(BM_IdleMainLoopNoDevices)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
}  // namespace qelm
