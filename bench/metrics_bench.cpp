// What one scrape of /metrics costs the server's thread: the shipped configuration's size (3
// cards, 2 loudness monitors) side by side with a plant's (100 frames of 16 cards, 32 loudness
// monitors with error records of every kind). The aim for the plant is 5 ms at most.
#include <benchmark/benchmark.h>

#include <array>
#include <memory>
#include <string>

#include "remote/metrics.h"
#include "text/text.h"

namespace qelm::remote {
namespace {

constexpr int kCardsPerFrame = 16;
constexpr std::array<const char*, 6> kErrorKinds{"Loudness High", "Loudness Low", "True Peak",
                                                 "Dialnorm",      "No Data",      "Dropped"};

MetricsInput plantOf(int frames, int monitors) {
  auto snapshot = std::make_shared<PlantSnapshot>();
  auto cards = std::make_shared<std::vector<PlantCard>>();
  for (int frame = 0; frame < frames; ++frame) {
    for (int slot = 1; slot <= kCardsPerFrame; ++slot) {
      PlantCard card;
      card.address =
          ipv4Text(0x0A000000u + static_cast<uint32_t>(frame)) + ":5253/" + integerText(slot);
      card.name = "Frame " + integerText(frame + 1) + " Card " + integerText(slot);
      card.link = "Live";
      card.linkUp = slot != 7;
      cards->push_back(std::move(card));
    }
  }
  snapshot->cards = std::move(cards);
  for (int m = 1; m <= monitors; ++m) {
    PlantMonitor monitor;
    monitor.id = m;
    monitor.name = "Programme Loudness " + integerText(m);
    monitor.device = "LM " + integerText(m);
    monitor.momentary = -22.9;
    monitor.shortTerm = -23.1;
    monitor.integrated = -23.0;
    monitor.range = 4.2;
    monitor.truePeak = -3.1;
    monitor.state = std::string(sessionStateName(SessionState::kRunning));
    monitor.runningSeconds = 812.4;
    monitor.linkUp = true;
    for (const char* kind : kErrorKinds)
      monitor.errors.emplace_back(kind, 17);
    snapshot->monitors.push_back(std::move(monitor));
  }
  snapshot->droppedLoudnessMessages = 3;
  MetricsInput input;
  input.snapshot = std::move(snapshot);
  input.passes.atOrUnder = {100, 900, 5000, 9000, 9900, 9990, 9999, 10000, 10000, 10000};
  input.passes.count = 10000;
  input.passes.sumSeconds = 4.2;
  input.viewers = 20;
  return input;
}

void scrape(benchmark::State& state, const MetricsInput& input) {
  size_t bytes = 0;
  for (auto _ : state) {
    const std::string text = renderMetrics(input);
    bytes = text.size();
    benchmark::DoNotOptimize(text.data());
  }
  state.counters["bytes"] = static_cast<double>(bytes);
}

void BM_ScrapeOfTheShippedConfiguration(benchmark::State& state) {
  // The shipped configuration reaches three cards; two of them are loudness cards.
  MetricsInput input = plantOf(1, 2);
  auto snapshot = std::make_shared<PlantSnapshot>(*input.snapshot);
  snapshot->cards = std::make_shared<const std::vector<PlantCard>>(
      input.snapshot->cards->begin(), input.snapshot->cards->begin() + 3);
  input.snapshot = snapshot;
  scrape(state, input);
}
BENCHMARK(BM_ScrapeOfTheShippedConfiguration)->Unit(benchmark::kMicrosecond);

void BM_ScrapeOfAPlant(benchmark::State& state) {
  scrape(state, plantOf(100, 32));
}
BENCHMARK(BM_ScrapeOfAPlant)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace qelm::remote
