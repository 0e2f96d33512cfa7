// What the plant costs the engine's pass: one publication of the status (cards, loudness
// monitors) and of the devices (all, or one as a read of one asks), at plant scale (999 devices of
// 8 items on 999 cards, 32 loudness monitors) beside the default configuration, the report listing,
// and the pass times while the status goes out every 100 ms.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/plant_bridge.h"
#include "engine/engine_life.h"
#include "engine/plant_publisher.h"
#include "engine_installation.h"
#include "loudness/loudness_registry.h"
#include "model/device.h"
#include "platform/clock.h"
#include "text/text.h"

namespace qelm {
namespace {

namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;
using Part = PlantBridge::Part;

constexpr int kDevices = 999;
constexpr int kMonitors = 32;
constexpr int kItems = 8;

// The real tick, without the main loop's sleep, so a pass measures only its own work.
class NoSleepClock final : public platform::Clock {
 public:
  uint32_t tick() override { return platform::systemClock().tick(); }
  void sleepMs(uint32_t) override {}
};

// The largest device list the language allows: 967 devices of one 8-up page, each on a card
// of its own (16 to a frame, on loopback addresses where no frame answers), then 32 loudness
// pages on 32 more cards.
std::string plantConfiguration() {
  std::string text = "model \"Gain\"\n";
  for (int p = 1; p <= kItems; ++p)
    text += formattedText(
        "  parameter 0x%04x \"Level %d\" float -60 12 0.5 unit \"dB\" default 0"
        " name -60 \"Off\"\n",
        0x100 + p, p);
  text +=
      "model \"Loudness Meter\"\n"
      "  parameter 0x0D52 \"Loudness Data\" choice 0 Off \"Off\" choice 1 On \"On\" default 1\n"
      "  monitor lm\n";
  const int plainDevices = kDevices - kMonitors;
  for (int d = 1; d <= plainDevices; ++d) {
    const std::string card = formattedText("127.51.%d.1 %d", d / 16, d % 16 + 1);
    text += formattedText("device %d \"Device %d\"\n  page 1 \"Main\"\n", d, d);
    for (int p = 1; p <= kItems; ++p)
      text +=
          formattedText("    item %d \"Level %d\" from-model \"Gain\" %s\n", p, p, card.c_str());
  }
  for (int m = 1; m <= kMonitors; ++m) {
    text += formattedText(
        "device %d \"Loudness %d\"\n  page 1 \"Loudness\" type lm\n"
        "    item 9 \"Loudness Data\" from-model \"Loudness Meter\" 127.52.0.%d 1\n",
        plainDevices + m, m, m);
  }
  return text;
}

std::string defaultConfiguration() {
  std::ifstream original(std::string(QELM_PROGRAM_DIR) + "configuration/startup.bak");
  std::string text((std::istreambuf_iterator<char>(original)), std::istreambuf_iterator<char>());
  // Its frames moved to addresses of this benchmark's own.
  for (size_t at = text.find("127.0.0."); at != std::string::npos; at = text.find("127.0.0.", at))
    text.replace(at, 8, "127.53.7.");
  return text;
}

// Runs passes for a while so the cards settle, then measures `parts` publications (with
// `kSomeDevices`, of the devices numbered `deviceNumbers`).
void measurePublication(benchmark::State& state, const std::string& configuration, uint32_t parts,
                        const std::vector<int32_t>& deviceNumbers = {}) {
  if (configuration.empty()) return state.SkipWithError("no configuration");
  NoSleepClock clock;
  bench::EngineInstallation installation("qelm_plant_publish_bench", configuration, clock);
  if (!installation.started()) return state.SkipWithError("the configuration did not start");
  for (int i = 0; i < 200; ++i)
    installation.run().pass();
  PlantPublisher& publisher = *installation.run().plant();
  PlantBridge& bridge = installation.context().plant;
  size_t devices = 0;
  size_t monitors = 0;
  size_t cards = 0;
  for (auto _ : state) {
    auto snapshot = publisher.snapshot(parts, deviceNumbers);
    devices = snapshot->devices.size();
    monitors = snapshot->monitors.size();
    cards = snapshot->cards->size();
    bridge.publish(std::move(snapshot));
  }
  state.counters["devices"] = static_cast<double>(devices);
  state.counters["monitors"] = static_cast<double>(monitors);
  state.counters["cards"] = static_cast<double>(cards);
}

void BM_StatusPublicationPlant(benchmark::State& state) {
  measurePublication(state, plantConfiguration(), Part::kStatus);
}
BENCHMARK(BM_StatusPublicationPlant)->Unit(benchmark::kMicrosecond);

void BM_StatusPublicationDefaultConfiguration(benchmark::State& state) {
  measurePublication(state, defaultConfiguration(), Part::kStatus);
}
BENCHMARK(BM_StatusPublicationDefaultConfiguration)->Unit(benchmark::kMicrosecond);

void BM_DevicesPublicationPlant(benchmark::State& state) {
  measurePublication(state, plantConfiguration(), Part::kStatus | Part::kDevices);
}
BENCHMARK(BM_DevicesPublicationPlant)->Unit(benchmark::kMillisecond);

// What a read of one device asks for: that device and the status.
void BM_OneDevicePublicationPlant(benchmark::State& state) {
  measurePublication(state, plantConfiguration(), Part::kStatus | Part::kSomeDevices,
                     {kDevices / 2});
}
BENCHMARK(BM_OneDevicePublicationPlant)->Unit(benchmark::kMicrosecond);

void BM_DevicesPublicationDefaultConfiguration(benchmark::State& state) {
  measurePublication(state, defaultConfiguration(), Part::kStatus | Part::kDevices);
}
BENCHMARK(BM_DevicesPublicationDefaultConfiguration)->Unit(benchmark::kMicrosecond);

// The newest 1000 of 1100 reports of 32 sessions: a look at the folder (each iteration a new
// publisher), or (`cached`) what the last look found, as publications within a second have.
void measureReports(benchmark::State& state, bool cached) {
  NoSleepClock clock;
  bench::EngineInstallation installation("qelm_plant_publish_bench", "banner \"Bench\"\n", clock);
  if (!installation.started()) return state.SkipWithError("the configuration did not start");
  const fs::path reports = fs::path(installation.context().reportFolder()) / "reports";
  for (int r = 0; r < 1100; ++r) {
    const fs::path folder = reports / formattedText("Loudness %d", r % kMonitors) / "html";
    fs::create_directories(folder);
    std::ofstream(folder / formattedText("report-%04d.html", r)) << "<html></html>\n";
  }
  size_t listed = 0;
  DeviceList noDevices;
  for (auto _ : state) {
    std::shared_ptr<PlantSnapshot> snapshot;
    if (cached) {
      snapshot = installation.run().plant()->snapshot(Part::kReports);
    } else {
      PlantPublisher fresh(installation.context().plant, noDevices, *installation.run().client(),
                           loudnessRegistry(), reports.string() + "/");
      snapshot = fresh.snapshot(Part::kReports);
    }
    listed = snapshot->reports.size();
    benchmark::DoNotOptimize(snapshot);
  }
  state.counters["listed"] = static_cast<double>(listed);
}

void BM_ReportsFolderLook(benchmark::State& state) {
  measureReports(state, false);
}
BENCHMARK(BM_ReportsFolderLook)->Unit(benchmark::kMillisecond);

void BM_ReportsPublicationBetweenLooks(benchmark::State& state) {
  measureReports(state, true);
}
BENCHMARK(BM_ReportsPublicationBetweenLooks)->Unit(benchmark::kMicrosecond);

// Whole passes at plant scale for three seconds at the real pace (the 1 ms pause between
// them), with a watcher or without, as the engine times them for the metrics' histogram: the
// share of passes done within 100 us, 250 us and 1 ms, and their mean.
void measurePasses(benchmark::State& state, const std::string& configuration, bool watched) {
  bench::EngineInstallation installation("qelm_plant_publish_bench", configuration,
                                         platform::systemClock());
  if (!installation.started()) return state.SkipWithError("the configuration did not start");
  for (int i = 0; i < 200; ++i)
    installation.run().pass();
  PlantBridge& bridge = installation.context().plant;
  const PassHistogram before = bridge.passes();
  const uint64_t publicationsBefore = bridge.latest() ? bridge.latest()->sequence : 0;
  if (watched) bridge.watch(+1);
  for (auto _ : state) {
    const auto end = SteadyClock::now() + std::chrono::seconds(3);
    while (SteadyClock::now() < end)
      installation.run().pass();
  }
  if (watched) bridge.watch(-1);
  const PassHistogram after = bridge.passes();
  const auto count = static_cast<double>(after.count - before.count);
  const auto share = [&](size_t bound) {
    return static_cast<double>(after.atOrUnder[bound] - before.atOrUnder[bound]) / count;
  };
  state.counters["passes"] = count;
  state.counters["within_100us"] = share(0);
  state.counters["within_250us"] = share(1);
  state.counters["within_1ms"] = share(3);
  state.counters["mean_us"] = 1e6 * (after.sumSeconds - before.sumSeconds) / count;
  state.counters["publications"] =
      static_cast<double>((bridge.latest() ? bridge.latest()->sequence : 0) - publicationsBefore);
}

void BM_PlantPassesWatched(benchmark::State& state) {
  measurePasses(state, plantConfiguration(), true);
}
BENCHMARK(BM_PlantPassesWatched)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_PlantPassesUnwatched(benchmark::State& state) {
  measurePasses(state, plantConfiguration(), false);
}
BENCHMARK(BM_PlantPassesUnwatched)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
}  // namespace qelm
