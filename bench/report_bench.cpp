// The report of a 24-hour session with thousands of error records: the worst single step the
// engine thread takes while writing it (goal: under 1 ms), the whole report, the copy of the
// session made at stop, and one minute of every-sample data lines reaching the disk.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>
#include <deque>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "loudness/loudness_context.h"
#include "loudness/report_job.h"
#include "loudness/report_output.h"
#include "loudness/report_template.h"

namespace {

using namespace qelm;
namespace fs = std::filesystem;

// 24 hours of payloads at target with a true-peak over every 15 s and a loud minute every hour:
// about 5,800 error records.
struct DaySession {
  static constexpr uint32_t kPayloads = 24 * 3600 * 10;

  DaySession() : context("Card [3]", clock) {
    context.record().sessionName = "Bench";
    context.setStatus(LinkStatus::kLive);
    context.poll(1, 100);
    context.start();
    for (uint32_t n = 0; n < kPayloads; ++n) {
      const bool loud = n % 36000 < 600;
      const double lkfs = loud ? -12.0 : -23.0;
      DecodedPayload p;
      p.sequence = n + 1;
      p.timecode = "10:00:00.00";
      p.truePeakDb.fill(-20.0f);
      p.truePeakDb[0] = n % 150 == 0 ? -0.5f : -12.0f;
      p.meterDb = p.truePeakDb;
      const double power = std::pow(10.0, (lkfs + 0.691) / 10.0) / 2;
      p.powers = {power, power, 0, 0, 0, 0};
      context.processPayload(p, n + 2, (n + 2) * 100);
      if (n % 10 == 0) ++clock.seconds;
    }
    session = reportSessionOf(context);
  }

  FixedWallClock clock{1709596800};
  LoudnessContext context;
  ReportSession session;
};

DaySession& day() {
  static DaySession session;
  return session;
}

// A temporary folder for the files, removed with the program.
struct BenchFolder {
  BenchFolder() {
    std::string name = (fs::temp_directory_path() / "qelm-report-bench-XXXXXX").string();
    path = std::string(::mkdtemp(name.data())) + "/";
  }
  ~BenchFolder() {
    std::error_code error;
    fs::remove_all(path, error);
  }
  std::string path;
};

const std::string& folder() {
  static BenchFolder made;
  return made.path;
}

std::shared_ptr<const std::string> installedTemplate() {
  static const auto text = std::make_shared<const std::string>(
      loadTemplate(QELM_SOURCE_DIR "resources/lmtemplate.html"));
  return text;
}

double threadCpuUs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}

// Wall time of a step includes whatever else the machine's scheduler ran meanwhile; the
// thread's CPU time is the step's own cost. Both are reported: the worst CPU time, and the wall
// time of the 99.9th percentile and of the worst step.
void BM_ReportOf24Hours(benchmark::State& state) {
  const ReportSession& session = day().session;
  double worstCpuUs = 0.0;
  std::vector<double> wallUs;
  size_t steps = 0;
  for (auto _ : state) {
    HtmlReportJob job(installedTemplate(), session, folder() + "day.html", false);
    bool more = true;
    steps = 0;
    while (more) {
      const double cpu = threadCpuUs();
      const auto start = std::chrono::steady_clock::now();
      more = job.step();
      const auto took = std::chrono::steady_clock::now() - start;
      worstCpuUs = std::max(worstCpuUs, threadCpuUs() - cpu);
      wallUs.push_back(std::chrono::duration<double, std::micro>(took).count());
      ++steps;
    }
    state.PauseTiming();
    if (!job.succeeded()) state.SkipWithError("the report was not written");
    fs::remove(job.writtenPath());
    state.ResumeTiming();
  }
  std::sort(wallUs.begin(), wallUs.end());
  state.counters["records"] = static_cast<double>(session.rows.size());
  state.counters["steps"] = static_cast<double>(steps);
  state.counters["worst_step_cpu_us"] = worstCpuUs;
  state.counters["median_step_wall_us"] = wallUs[wallUs.size() / 2];
  state.counters["p999_step_wall_us"] = wallUs[wallUs.size() * 999 / 1000];
  state.counters["worst_step_wall_us"] = wallUs.back();
}
BENCHMARK(BM_ReportOf24Hours)->Unit(benchmark::kMillisecond);

void BM_SessionCopiedAtStop(benchmark::State& state) {
  const LoudnessContext& context = day().context;
  for (auto _ : state)
    benchmark::DoNotOptimize(reportSessionOf(context));
  state.counters["records"] = static_cast<double>(context.record().errors.size());
}
BENCHMARK(BM_SessionCopiedAtStop)->Unit(benchmark::kMicrosecond);

void BM_MinuteOfEverySampleLines(benchmark::State& state) {
  FileLoudnessOutput output(
      ReportLocations{folder() + "reports/", "", QELM_SOURCE_DIR "resources/lmdatatemplate.txt"},
      installedTemplate());
  output.attach(day().context);
  const SessionRecord& record = day().context.record();
  output.openDataLog(record, "2024-03-05_10-00-00");
  const std::deque<std::string> lines(
      600, "12:34:56.7,10:00:00.00,03/05/2024 10:00:00,-23.0,-24.0,-23.1,-3.2,P\n");
  for (auto _ : state)
    output.writeDataLines(record, "2024-03-05_10-00-00", lines);
  output.closeDataLog(record);
}
BENCHMARK(BM_MinuteOfEverySampleLines)->Unit(benchmark::kMicrosecond);
}  // namespace
