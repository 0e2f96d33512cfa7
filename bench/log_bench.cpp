// Cost of one logMessage once the log is at its bound, where every append also evicts the oldest
// entry: the steady state of a panel that has run for a while.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "core/log.h"

namespace {

void fillLog() {
  static const bool filled = [] {
    for (int i = 0; i < 10000; ++i)
      qelm::logMessage(qelm::kLogInfo, "prefill %d", i);
    return true;
  }();
  benchmark::DoNotOptimize(filled);
}

void BM_LogMessageFullLog(benchmark::State& state) {
  fillLog();
  int32_t i = 0;
  for (auto _ : state) {
    qelm::logMessage(qelm::kLogInfo, "Host %s slot %d: value %d\n", "10.0.0.21", 7, i++);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LogMessageFullLog)->ThreadRange(1, 2);

void BM_LogMessageDroppedLevel(benchmark::State& state) {
  int32_t i = 0;
  for (auto _ : state)
    qelm::logMessage(2, "Host %s slot %d: value %d\n", "10.0.0.21", 7, i++);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LogMessageDroppedLevel);

}  // namespace
