// The processor time of the idle main loop beside its floor: the engine with the default
// configuration and no operator, passing with its real 1 ms pause, against a bare loop that
// only sleeps 1 ms per pass, measured in turns on the same thread. The figures are the looping
// thread's processor time in percent of one core.
#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine_life.h"
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

// One second of `pass` on this thread: the processor time it took, in percent of one core.
template <typename Pass>
double cpuPercentOverOneSecond(Pass pass) {
  const auto start = SteadyClock::now();
  const double cpuStart = threadCpuSeconds();
  const auto end = start + std::chrono::seconds(1);
  while (SteadyClock::now() < end)
    pass();
  const double seconds = std::chrono::duration<double>(SteadyClock::now() - start).count();
  return 100 * (threadCpuSeconds() - cpuStart) / seconds;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t middle = values.size() / 2;
  return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// Starts the engine on `configuration`, lets it settle for two seconds (the simulated frames
// connect, the first pages are drawn), then measures its idle passes. Each iteration is one
// second of the bare sleep loop followed by one second of engine passes on the same thread, so
// that both see the same load on a shared machine; the figures are the medians over the
// iterations, and `ratio` is the engine's over the bare loop's.
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
    EngineLife run(engineState);
    if (!run.startUp()) return state.SkipWithError("the configuration did not start");
    const auto settled = SteadyClock::now() + std::chrono::seconds(2);
    while (SteadyClock::now() < settled)
      run.pass();
    std::vector<double> engine;
    std::vector<double> bare;
    for (auto _ : state) {
      const auto start = SteadyClock::now();
      bare.push_back(cpuPercentOverOneSecond(
          [&] { std::this_thread::sleep_for(std::chrono::milliseconds(1)); }));
      engine.push_back(cpuPercentOverOneSecond([&] { run.pass(); }));
      state.SetIterationTime(std::chrono::duration<double>(SteadyClock::now() - start).count());
    }
    run.shutDown();
    state.counters["cpu_percent"] = median(engine);
    state.counters["bare_cpu_percent"] = median(bare);
    state.counters["ratio"] = median(engine) / std::max(median(bare), 1e-9);
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
    ->Iterations(5);

// No devices and no frames: the loop with only the panel's own pages, its floor.
void BM_IdleMainLoopNoDevices(benchmark::State& state) {
  measureEngine(state, "banner \"Bench\"\n");
}
BENCHMARK(BM_IdleMainLoopNoDevices)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace
}  // namespace qelm
