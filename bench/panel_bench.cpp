// What the operator feels: one main-loop pass with an "8-up" page on show, idle and with every
// item changed (drawing included), and the delay from a knob turn entering the input queue to
// the set request reaching the card's frame.
#include <benchmark/benchmark.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "comm/protocol.h"
#include "engine/engine_life.h"
#include "engine_installation.h"
#include "model/target.h"
#include "panel/displays.h"
#include "panel/panel_logic.h"
#include "platform/clock.h"
#include "platform/socket.h"
#include "wire_latency.h"

namespace qelm {
namespace {

namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

constexpr int kItems = 8;
constexpr uint8_t kSlot = 2;

// The real tick, without the main loop's sleep, so a pass measures only its own work.
class NoSleepClock final : public platform::Clock {
 public:
  uint32_t tick() override { return platform::systemClock().tick(); }
  void sleepMs(uint32_t) override {}
};

// A frame played by the benchmark on a raw socket: it answers whatever the panel sends with
// the values of all eight parameters, so the card stays live.
class RawFrame : public bench::FrameSocket {
 public:
  using FrameSocket::FrameSocket;
  // Reads what arrived; answers with the current values when anything did. Returns bytes read.
  size_t serve() {
    const size_t got = receive();
    if (got > 0) announce();
    return got;
  }
  // Sends every parameter's value unasked.
  void announce() {
    for (int i = 0; i < kItems; ++i) {
      Message m(Side::kServer, Command::kGetResponse, kSlot, static_cast<uint16_t>(0x101 + i));
      m.appendValue(Value::ofInt(values_[i]), ValueType::kInt);
      send(m);
    }
  }
  void setAll(int32_t v) { std::fill(std::begin(values_), std::end(values_), v); }

 private:
  int32_t values_[kItems] = {};
};

// The configuration of one "8-up" page of eight items on the raw frame 127.48.2.`frameOctet`.
std::string eightUpConfiguration(uint8_t frameOctet) {
  std::ostringstream config;
  config << "model Amp\n";
  for (int i = 0; i < kItems; ++i)
    config << "  parameter 0x" << std::hex << (0x101 + i) << std::dec << " \"Level " << i + 1
           << "\" int -30000 30000 1 unit dB\n";
  config << "device 1 \"Amp\" page 1 \"Levels\"\n";
  for (int i = 0; i < kItems; ++i)
    config << "  item " << i + 1 << " \"Level " << i + 1 << "\" from-model Amp 127.48.2."
           << int(frameOctet) << " " << int(kSlot) << "\n";
  return config.str();
}

// An engine showing the "8-up" page of the raw frame 127.48.2.`frameOctet`.
class BenchInstallation : public bench::EngineInstallation {
 public:
  BenchInstallation(platform::Clock& clock, uint8_t frameOctet)
      : EngineInstallation("qelm_panel_bench_" + std::to_string(frameOctet),
                           eightUpConfiguration(frameOctet), clock) {}

  // Passes until the frame is connected and every item shows a value.
  bool settle(RawFrame& frame) {
    const auto deadline = SteadyClock::now() + std::chrono::seconds(5);
    while (SteadyClock::now() < deadline) {
      run().pass();
      frame.serve();
      Page* page = run().panel()->currentPage();
      if (page == nullptr || !frame.connected()) continue;
      bool live = true;
      for (int i = 0; i < kItems; ++i) {
        Target* t = page->firstTarget(i);
        live = live && t != nullptr && t->status() == LinkStatus::kLive;
      }
      if (live) return true;
    }
    return false;
  }
};

void BM_IdlePass8Up(benchmark::State& state) {
  NoSleepClock clock;
  RawFrame frame(platform::ipv4(127, 48, 2, 1));
  if (!frame.ok()) return state.SkipWithError("port 5253 of 127.48.2.1 is taken");
  BenchInstallation installation(clock, 1);
  if (!installation.started() || !installation.settle(frame))
    return state.SkipWithError("the page did not come up");
  for (auto _ : state) {
    installation.run().pass();
    state.PauseTiming();
    frame.serve();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_IdlePass8Up)->Unit(benchmark::kMicrosecond);

// The panel's own "Control Panel Time" page: the clock refresh runs every pass.
void BM_IdlePassSettingsTimePage(benchmark::State& state) {
  NoSleepClock clock;
  const fs::path folder = fs::temp_directory_path() / "qelm_panel_bench_settings";
  fs::remove_all(folder);
  fs::create_directories(folder / "configuration");
  std::ofstream(folder / "configuration" / "startup.txt") << "banner \"Bench\"\n";
  const std::string data = folder.string() + "/";
  AppContext context(Folders{QELM_PROGRAM_DIR, data, data}, clock);
  context.setStartupFileName("startup.txt");
  EngineState engineState(context);
  EngineLife run(engineState);
  if (!run.startUp()) return state.SkipWithError("no start-up");
  // Select Submenu, 8, Enter: "Control Panel Time".
  for (const PanelKey key : {PanelKey::kSelectSubmenu, PanelKey::kDigit8, PanelKey::kEnter})
    context.input.queueKey(codeOf(key));
  for (int i = 0; i < 5; ++i)
    run.pass();
  if (run.panel()->currentPage() == nullptr ||
      run.panel()->currentPage()->longName() != "Control Panel Time")
    return state.SkipWithError("the time page did not come up");
  for (auto _ : state)
    run.pass();
  run.shutDown();
  fs::remove_all(folder);
}
BENCHMARK(BM_IdlePassSettingsTimePage)->Unit(benchmark::kMicrosecond);

// Every item changes value: the pass that takes the eight new values and the pass that draws
// them.
void BM_AllItemsChanged8Up(benchmark::State& state) {
  NoSleepClock clock;
  RawFrame frame(platform::ipv4(127, 48, 2, 2));
  if (!frame.ok()) return state.SkipWithError("port 5253 of 127.48.2.2 is taken");
  BenchInstallation installation(clock, 2);
  if (!installation.started() || !installation.settle(frame))
    return state.SkipWithError("the page did not come up");
  Displays& displays = *installation.run().displays();
  int32_t value = 0;
  int64_t drawn = 0;
  for (auto _ : state) {
    state.PauseTiming();
    value = value == 999 ? -999 : value + 1;
    frame.setAll(value);
    frame.announce();
    // Let the bytes reach the panel's socket before the timed passes.
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    const uint32_t before = displays.changeSum();
    state.ResumeTiming();
    installation.run().pass();
    installation.run().pass();
    state.PauseTiming();
    if (displays.changeSum() != before) ++drawn;
    state.ResumeTiming();
  }
  state.counters["drawn_share"] =
      static_cast<double>(drawn) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_AllItemsChanged8Up)->Unit(benchmark::kMicrosecond);

// From the knob turn entering the input queue to the set request arriving at the frame. The
// engine runs its main loop on its own thread, with the real 1 ms pause between passes, and
// the turn comes from this thread at a random moment, as the window's would.
void BM_KnobEventToWire(benchmark::State& state) {
  RawFrame frame(platform::ipv4(127, 48, 2, 3));
  if (!frame.ok()) return state.SkipWithError("port 5253 of 127.48.2.3 is taken");
  BenchInstallation installation(platform::systemClock(), 3);
  if (!installation.started() || !installation.settle(frame))
    return state.SkipWithError("the page did not come up");
  Message sample(Side::kClient, Command::kSet, kSlot, 0x101);
  sample.appendValue(Value::ofInt(1), ValueType::kInt);
  // Always upwards: the frame keeps reporting 0, and a value the card already holds would
  // rightly not be sent at all.
  bench::timeToWire(
      state, installation.run(), frame, static_cast<size_t>(sample.size()), 7,
      [&] { return frame.serve(); }, [&] { installation.context().input.queueKnobTurn(0, false); });
}
BENCHMARK(BM_KnobEventToWire)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(1000);

}  // namespace
}  // namespace qelm
