// Loudness costs: one payload through the monitor of a running session, integrated loudness and
// loudness range of a 24-hour session computed afresh and from the cache, and the bytes such a
// session holds.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "comm/card.h"
#include "comm/host.h"
#include "loudness/loudness_context.h"
#include "loudness/loudness_monitor.h"
#include "loudness/loudness_registry.h"
#include "model/model.h"
#include "model/parameter.h"
#include "platform/clock.h"
#include "platform/socket.h"

namespace qelm {
namespace {

class NullHost final : public Host {
 public:
  using Host::Host;
  void send(std::unique_ptr<Message>) override {}
};

void putLong(uint8_t* at, uint32_t v) {
  at[0] = static_cast<uint8_t>(v >> 24);
  at[1] = static_cast<uint8_t>(v >> 16);
  at[2] = static_cast<uint8_t>(v >> 8);
  at[3] = static_cast<uint8_t>(v);
}

void putReal(uint8_t* at, double value) {
  const auto f = static_cast<float>(value);
  uint32_t bits = 0;
  std::memcpy(&bits, &f, 4);
  putLong(at, bits);
}

// A programme whose level wanders between -35 and -12 LUFS, with peaks now and then.
void fillPayload(uint8_t* p, uint32_t sequence) {
  putLong(p, 2);
  putLong(p + 8, sequence);
  putLong(p + 28, 24);
  const double lkfs = -23.0 + 11.0 * std::sin(sequence * 0.0037) * std::cos(sequence * 0.011);
  const double power = std::pow(10.0, (lkfs + 0.691) / 10.0) / 3.0;
  const double peak = sequence % 97 == 0 ? 0.95 : 0.3;
  for (int i = 0; i < 8; ++i) {
    putReal(p + 32 + 4 * i, 0.2);
    putReal(p + 96 + 4 * i, peak);
  }
  for (int i = 0; i < 6; ++i)
    putReal(p + 160 + 4 * i, power);
}

DecodedPayload decoded(uint32_t sequence) {
  std::vector<uint8_t> bytes(224, 0);
  fillPayload(bytes.data(), sequence);
  return *decodePayload(bytes, false);
}

constexpr uint32_t kDayPayloads = 24 * 3600 * 10;

void BM_PayloadThroughMonitor(benchmark::State& state) {
  platform::ManualClock clock{1000};
  std::mt19937 random{1};
  HostGroup group("Client", GroupKind::kClient, clock, random);
  NullHost host(group, platform::ipv4(10, 1, 1, 1));
  Model model("LoudCard");
  model.add(Parameter::makeOpenGear(3420, "LM Data"))->setString(250);
  for (int i = 0; i < 8; ++i)
    model.add(Parameter::makeOpenGear(static_cast<uint16_t>(3412 + i), "Src " + std::to_string(i)))
        ->setString(16);
  LoudnessRegistry registry;
  FixedWallClock wall(1709632800);
  Card& card = *host.findCard(1, false, true);
  auto owned = std::make_unique<LoudnessMonitor>(card, model, registry, "", wall);
  LoudnessMonitor& monitor = *owned;
  card.addMonitor("lm", std::move(owned));
  ReceivedMessage message;
  message.source = 17;
  message.command = 0xC9;
  message.oid = 3420;
  message.count = 224;
  uint32_t sequence = 0;
  const auto next = [&] {
    clock.advance(100);
    group.setLoopTime(clock.tick());
    wall.seconds += sequence % 10 == 0;
    fillPayload(message.value.data(), ++sequence);
  };
  for (int i = 0; i < 30; ++i) {
    next();
    monitor.onMessage(message);
    monitor.poll();
  }
  monitor.doAction("start");
  if (monitor.context().record().state != SessionState::kRunning) state.SkipWithError("no session");
  for (auto _ : state) {
    state.PauseTiming();
    next();
    state.ResumeTiming();
    monitor.onMessage(message);
  }
  state.counters["errors"] = static_cast<double>(monitor.context().record().errors.size());
}
BENCHMARK(BM_PayloadThroughMonitor)->Iterations(200000);

// A context that has run a whole day.
struct DaySession {
  DaySession() : context("Card [1]", wall) {
    context.setStatus(LinkStatus::kLive);
    context.poll(1, 0);
    context.start();
    for (uint32_t s = 1; s <= kDayPayloads; ++s) {
      wall.seconds += s % 10 == 0;
      context.processPayload(decoded(s % 20000 + 1), s + 1, 0);
    }
  }
  FixedWallClock wall{1709632800};
  LoudnessContext context;
};

DaySession& daySession() {
  static DaySession session;
  return session;
}

void BM_IntegratedAndRangeAfresh24h(benchmark::State& state) {
  HistoryEngine& history = daySession().context.history();
  std::array<int32_t, HistoryEngine::kBins> counts{};
  std::array<double, HistoryEngine::kBins> powers{};
  std::array<int32_t, HistoryEngine::kBins> rangeCounts{};
  std::array<double, HistoryEngine::kBins> rangePowers{};
  for (int b = 0; b < HistoryEngine::kBins; ++b) {
    counts[b] = history.binCount(b);
    powers[b] = history.binPower(b);
    rangeCounts[b] = history.rangeBinCount(b);
    rangePowers[b] = history.rangeBinPower(b);
  }
  const int32_t total = history.totalCount();
  for (auto _ : state) {
    state.PauseTiming();
    history.setHistogram(counts, powers, total);  // drops the cached results
    history.setRangeHistogram(rangeCounts, rangePowers);
    state.ResumeTiming();
    benchmark::DoNotOptimize(history.integratedTenths(true));
    benchmark::DoNotOptimize(history.rangeTenths());
  }
  state.counters["integrated_tenths"] = history.integratedTenths(true);
  state.counters["range_tenths"] = history.rangeTenths();
}
BENCHMARK(BM_IntegratedAndRangeAfresh24h);

void BM_IntegratedAndRangeCached24h(benchmark::State& state) {
  const LoudnessContext& context = daySession().context;
  for (auto _ : state) {
    benchmark::DoNotOptimize(context.integratedTenths());
    benchmark::DoNotOptimize(context.rangeTenths());
  }
}
BENCHMARK(BM_IntegratedAndRangeCached24h);

void BM_MemoryOf24hSession(benchmark::State& state) {
  const LoudnessContext& context = daySession().context;
  for (auto _ : state)
    benchmark::DoNotOptimize(context.memoryBytes());
  state.counters["bytes"] = static_cast<double>(context.memoryBytes());
  state.counters["error_records"] = static_cast<double>(context.record().errors.size());
  state.counters["data_lines"] = static_cast<double>(context.queuedLines().size());
}
BENCHMARK(BM_MemoryOf24hSession);

// A week of a card whose peak and dialnorm flip every payload: about 15 error records a second
// until the session's limit, then summaries. The bytes stay those of the limit.
void BM_MemoryOfAWeekOfFlapping(benchmark::State& state) {
  constexpr uint32_t kWeekPayloads = 7 * kDayPayloads;
  FixedWallClock wall{1709632800};
  LoudnessContext context("Card [1]", wall);
  LoudnessSettings settings;
  settings.dialnormMode = DialnormMode::kCheck;
  context.applySettings(settings);
  context.setStatus(LinkStatus::kLive);
  context.poll(1, 0);
  context.start();
  DecodedPayload over = decoded(1);
  over.truePeakDb.fill(-0.5f);
  over.dialnormPresent = false;
  DecodedPayload fine = decoded(1);
  fine.truePeakDb.fill(-10.0f);
  fine.dialnormPresent = true;
  fine.dialnorm = -23.0f;
  for (uint32_t s = 1; s <= kWeekPayloads; ++s) {
    wall.seconds += s % 10 == 0;
    DecodedPayload& p = s % 2 ? over : fine;
    p.sequence = s;
    context.processPayload(p, s + 1, s * 100);
  }
  for (auto _ : state)
    benchmark::DoNotOptimize(context.memoryBytes());
  uint64_t merged = 0;
  for (const uint32_t n : context.record().mergedErrors)
    merged += n;
  state.counters["bytes"] = static_cast<double>(context.memoryBytes());
  state.counters["error_records"] = static_cast<double>(context.record().errors.size());
  state.counters["merged_records"] = static_cast<double>(merged);
}
BENCHMARK(BM_MemoryOfAWeekOfFlapping)->Iterations(1);

}  // namespace
}  // namespace qelm
