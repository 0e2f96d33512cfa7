// Session file costs: saving and loading a 24-hour session with about 10,000 error records and
// its queued data lines, with the size of the file.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>

#include "loudness/loudness_context.h"
#include "loudness/session_file.h"

namespace qelm {
namespace {

constexpr uint32_t kDayPayloads = 864000;
// One payload in this many peaks over the threshold, opening a new record: ~10,000 a day.
constexpr uint32_t kPeakEvery = 86;

struct DaySession {
  DaySession() : context("Card [3]", wall) {
    context.setStatus(LinkStatus::kLive);
    context.start();
    DecodedPayload p;
    p.meterDb.fill(-20.0f);
    p.timecode = "10:00:00:00";
    for (uint32_t i = 1; i <= kDayPayloads; ++i) {
      p.sequence = i;
      p.truePeakDb.fill(i % kPeakEvery == 0 ? 0.5f : -12.0f);
      const double power = 0.004 + 0.003 * static_cast<double>(i % 600) / 600.0;
      p.powers = {power, power, 0.0, 0.0, 0.0, 0.0};
      if (i % 10 == 0) ++wall.seconds;
      context.processPayload(p, i, i * 100);
    }
    context.pause();
    char pattern[] = "/tmp/sesfile-bench-XXXXXX";
    folder = mkdtemp(pattern);
    path = folder + "/day.ses";
    saveSessionFile(context, path);
  }
  ~DaySession() { std::filesystem::remove_all(folder); }

  FixedWallClock wall{1709632800};
  LoudnessContext context;
  std::string folder;
  std::string path;
};

DaySession& daySession() {
  static DaySession session;
  return session;
}

void BM_SaveDaySession(benchmark::State& state) {
  DaySession& day = daySession();
  for (auto _ : state) {
    if (saveSessionFile(day.context, day.path) != "OK") state.SkipWithError("save failed");
  }
  state.counters["file_bytes"] = static_cast<double>(std::filesystem::file_size(day.path));
  state.counters["error_records"] = static_cast<double>(day.context.record().errors.size());
  state.counters["queued_lines"] = static_cast<double>(day.context.queuedLines().size());
}
BENCHMARK(BM_SaveDaySession)->Unit(benchmark::kMillisecond);

void BM_LoadDaySession(benchmark::State& state) {
  DaySession& day = daySession();
  FixedWallClock wall(1709632800);
  LoudnessContext target("Card [4]", wall);
  for (auto _ : state) {
    if (loadSessionFile(target, day.path) != "OK") state.SkipWithError("load failed");
  }
  state.counters["file_bytes"] = static_cast<double>(std::filesystem::file_size(day.path));
  state.counters["integrated_tenths"] = target.integratedTenths();
}
BENCHMARK(BM_LoadDaySession)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace qelm
