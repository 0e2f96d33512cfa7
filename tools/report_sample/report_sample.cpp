// Runs a 30-minute sample loudness session through the report writer and prints the path of
// its HTML report:
//
//   report_sample REPORT_FOLDER/ PROGRAM_FOLDER/
//
// The programme: speech and music around -23 LUFS with a slow swell, a loud promo at 6:00 (a
// HIGH record), three true-peak overs, a quiet stretch at 14:00 (a LOW record) and a one-minute
// pause at 20:00. Payloads come every 100 ms of a simulated clock; the same bytes every run.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <memory>
#include <numbers>
#include <random>
#include <string>

#include "loudness/loudness_context.h"
#include "loudness/report_output.h"

namespace {

using namespace qelm;

// A wall clock that moves only when told: 2024-03-05 19:00:00 UTC onwards.
class SampleClock final : public WallClock {
 public:
  std::tm now() override {
    std::tm t{};
    gmtime_r(&seconds_, &t);
    return t;
  }
  void advance(std::time_t s) { seconds_ += s; }

 private:
  std::time_t seconds_ = 1709665200;
};

constexpr uint32_t kPayloadsPerSecond = 10;
constexpr uint32_t kMinutes = 30;

double power(double lkfs) {
  return std::pow(10.0, (lkfs + 0.691) / 10.0);
}

// Programme loudness at second `t` (LUFS), before the momentary wobble.
double programmeLoudness(double t) {
  const double swell = 1.6 * std::sin(2.0 * std::numbers::pi * t / 240.0);
  if (t >= 360.0 && t < 372.0) return -11.5;  // the promo, mixed far too hot
  if (t >= 840.0 && t < 855.0) return -37.0;  // a quiet stretch the low limit catches
  return -23.2 + swell;
}

// Seconds of the three true-peak overs and their levels (dBTP).
constexpr struct {
  double at;
  float level;
} kOvers[] = {{185.0, -0.4f}, {611.3, 0.3f}, {1530.7, -0.7f}};

std::string timecodeAt(uint32_t tick) {
  const uint32_t seconds = 10 * 3600 + tick / kPayloadsPerSecond;
  const uint32_t frames = (tick % kPayloadsPerSecond) * 25 / kPayloadsPerSecond;
  char text[16];
  std::snprintf(text, sizeof text, "%02u:%02u:%02u.%02u", seconds / 3600 % 24, seconds / 60 % 60,
                seconds % 60, frames);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s REPORT_FOLDER/ PROGRAM_FOLDER/\n", argv[0]);
    return 2;
  }
  SampleClock clock;
  auto output =
      std::make_unique<FileLoudnessOutput>(ReportLocations::fromFolders(argv[1], argv[2]));
  FileLoudnessOutput& files = *output;
  LoudnessContext context("Frame 10.0.0.9 slot 3", clock, std::move(output));
  SessionRecord& record = context.record();
  record.sessionName = "Studio-A";
  LoudnessSettings settings;
  settings.lowThreshold = -10.0f;  // EBU +9 with both short-term limits on
  settings.dialnormMode = DialnormMode::kIgnore;
  context.applySettings(settings);
  context.checkChannelSources(
      {"PGM 1 L", "PGM 1 R", "PGM 1 C", "PGM 1 LFE", "PGM 1 Ls", "PGM 1 Rs", "AUX 1", "AUX 2"});
  context.setStatus(LinkStatus::kLive);

  uint32_t tick = 1;
  context.poll(tick, tick * 100);
  context.start();
  record.title = "Evening News, 5 March";
  record.operatorName = "A. Rivera";

  std::mt19937 random(2024);
  std::normal_distribution<double> wobble(0.0, 1.2);
  std::uniform_real_distribution<double> crest(9.0, 14.0);
  double smoothed = 0.0;
  const uint32_t payloads = kMinutes * 60 * kPayloadsPerSecond;
  for (uint32_t n = 0; n < payloads; ++n) {
    const double t = static_cast<double>(n) / kPayloadsPerSecond;
    if (n == 20 * 60 * kPayloadsPerSecond) context.pause();
    if (n == 21 * 60 * kPayloadsPerSecond) context.start();
    // Half a minute in which the card sent nothing (a frame restarted).
    if (n >= 25 * 60 * kPayloadsPerSecond && n < (25 * 60 + 30) * kPayloadsPerSecond) {
      ++tick;
      context.poll(tick, tick * 100);
      if (tick % kPayloadsPerSecond == 0) clock.advance(1);
      continue;
    }
    smoothed += 0.3 * (wobble(random) - smoothed);
    const double lkfs = programmeLoudness(t) + smoothed;
    DecodedPayload p;
    p.sequence = n + 1;
    p.timecode = timecodeAt(n);
    p.dialnormPresent = true;
    p.dialnorm = -23.0f;
    // Dialogue in the centre, music across the front, room in the surrounds.
    const double total = power(lkfs);
    p.powers = {0.30 * total, 0.30 * total,        0.32 * total,
                0.05 * total, 0.04 * total / 1.41, 0.04 * total / 1.41};
    // The transmission limiter holds peaks at -1.5 dBTP; the overs below slipped past it.
    const float peak = static_cast<float>(std::min(lkfs + crest(random), -1.5));
    p.truePeakDb = {peak,        peak - 0.5f, peak - 1.0f, peak - 8.0f,
                    peak - 9.0f, peak - 9.5f, -90.0f,      -90.0f};
    for (const auto& over : kOvers) {
      if (std::fabs(t - over.at) < 0.05) p.truePeakDb[1] = over.level;
    }
    p.meterDb = p.truePeakDb;
    ++tick;
    context.processPayload(p, tick, tick * 100);
    context.poll(tick, tick * 100);
    if (tick % kPayloadsPerSecond == 0) clock.advance(1);
  }
  context.stop();
  int polls = 0;
  while (record.state == SessionState::kBusy && polls < 1000000) {
    context.poll(tick, tick * 100);
    ++polls;
  }
  std::fprintf(stderr, "%zu error records, report written in %d polls\n", record.errors.size(),
               polls);
  std::printf("%shtml/2024-03-05_19-00-00.html\n", files.sessionFolder().c_str());
  return 0;
}
