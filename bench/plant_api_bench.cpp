// What the plant's API costs the server's thread at plant scale: 999 devices of 32 items
// (about the 32,000 parameters of a full plant) and 32 loudness monitors.
#include <benchmark/benchmark.h>

#include <memory>

#include "remote/api_tokens.h"
#include "remote/plant_api.h"

namespace qelm::remote {
namespace {

constexpr int kDevices = 999;
constexpr int kItemsPerDevice = 32;
constexpr int kMonitors = 32;

std::shared_ptr<PlantSnapshot> plantSnapshot() {
  auto snapshot = std::make_shared<PlantSnapshot>();
  snapshot->parts = PlantBridge::kStatus | PlantBridge::kDevices;
  for (int d = 1; d <= kDevices; ++d) {
    PlantDevice device{d, "Device " + std::to_string(d), "Live", true, {}};
    PlantPage page{1, "Levels", "8-up", {}};
    for (int i = 1; i <= kItemsPerDevice; ++i)
      page.items.push_back({i,
                            "Level " + std::to_string(i),
                            "-3.0 dB",
                            -3.0,
                            std::nullopt,
                            {},
                            -60.0,
                            12.0,
                            0.5,
                            "dB",
                            true,
                            true});
    device.pages.push_back(std::move(page));
    snapshot->devices.push_back(std::move(device));
  }
  for (int m = 1; m <= kMonitors; ++m) {
    PlantMonitor monitor;
    monitor.id = m;
    monitor.name = "Programme " + std::to_string(m);
    monitor.momentary = -22.9;
    monitor.shortTerm = -23.1;
    monitor.integrated = -23.0;
    monitor.state = "running";
    monitor.errors = {{"truePeak", 2}, {"noData", 1}};
    snapshot->monitors.push_back(std::move(monitor));
  }
  return snapshot;
}

// One look for value events: every 200 ms while a client asked for values.
void BM_ValueEventsAtPlantScale(benchmark::State& state) {
  const std::shared_ptr<const PlantSnapshot> first = plantSnapshot();
  auto changed = plantSnapshot();
  changed->devices[500].pages[0].items[7].number = -2.5;
  changed->devices[500].pages[0].items[7].shown = "-2.5 dB";
  const std::shared_ptr<const PlantSnapshot> second = changed;
  EventDiff diff;
  diff.next(first, true);
  bool flip = false;
  for (auto _ : state) {
    const EventDiff::Events events = diff.next((flip = !flip) ? second : first, true);
    benchmark::DoNotOptimize(events.values.size());
  }
}
BENCHMARK(BM_ValueEventsAtPlantScale)->Unit(benchmark::kMillisecond);

// The largest read: the whole device list, made once per publication.
void BM_DevicesJsonAtPlantScale(benchmark::State& state) {
  const std::shared_ptr<const PlantSnapshot> snapshot = plantSnapshot();
  for (auto _ : state)
    benchmark::DoNotOptimize(devicesJson(*snapshot).size());
}
BENCHMARK(BM_DevicesJsonAtPlantScale)->Unit(benchmark::kMillisecond);

// The wall's and scripts' usual read.
void BM_MonitorsJson(benchmark::State& state) {
  const std::shared_ptr<const PlantSnapshot> snapshot = plantSnapshot();
  for (auto _ : state)
    benchmark::DoNotOptimize(monitorsJson(*snapshot).size());
}
BENCHMARK(BM_MonitorsJson)->Unit(benchmark::kMicrosecond);

// Every request with a bearer: a hash and a compare with each of 16 tokens.
void BM_TokenCheck(benchmark::State& state) {
  ApiTokens tokens;
  std::string error;
  std::string last;
  for (int i = 0; i < 16; ++i)
    last = tokens.add("client" + std::to_string(i), Role::kViewer, error).value_or("");
  for (auto _ : state)
    benchmark::DoNotOptimize(tokens.check(last));
}
BENCHMARK(BM_TokenCheck)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace qelm::remote
