// Communication costs: the parser's throughput, one "Client" group pass over a large
// installation of simulated frames on loopback, and the latency from a knob's staged value to
// its set request arriving in the frame's socket.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "comm/card.h"
#include "comm/client.h"
#include "comm/host.h"
#include "comm/protocol.h"
#include "comm/server.h"
#include "model/model.h"
#include "model/parameter.h"
#include "platform/clock.h"
#include "platform/socket.h"

namespace qelm {
namespace {

using Clock = std::chrono::steady_clock;

// --- Parser ----------------------------------------------------------------------------------

std::vector<uint8_t> mixedTraffic() {
  std::vector<uint8_t> bytes;
  auto add = [&](const Message& m) { bytes.insert(bytes.end(), m.data(), m.data() + m.size()); };
  for (int i = 0; i < 256; ++i) {
    Message a(Side::kServer, Command::kGetResponse, 3, static_cast<uint16_t>(i));
    a.appendValue(Value::ofInt(i), ValueType::kInt);
    add(a);
    Message b(Side::kServer, Command::kNotification, 4, static_cast<uint16_t>(i));
    b.appendValue(Value::ofFloat(1.5f * i), ValueType::kFloat);
    add(b);
    Message c(Side::kServer, Command::kSetResponse, 5, static_cast<uint16_t>(i));
    c.appendValue(Value::ofText("channel label " + std::to_string(i)), ValueType::kString);
    add(c);
    Message d(Side::kServer, Command::kGetResponse, 6, 0x0400);
    d.appendArray(std::vector<Value>(32, Value::ofInt(i)), ValueType::kInt);
    add(d);
  }
  return bytes;
}

void BM_ParserThroughput(benchmark::State& state) {
  const std::vector<uint8_t> bytes = mixedTraffic();
  size_t delivered = 0;
  MessageParser parser(false, [&](const ReceivedMessage& m) { delivered += m.count; });
  for (auto _ : state) {
    parser.feed(bytes.data(), bytes.size());
    benchmark::DoNotOptimize(delivered);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_ParserThroughput);

// --- A large installation on loopback --------------------------------------------------------

constexpr int kFrames = 50;
constexpr int kCardsPerFrame = 16;
constexpr int kWatchedPerCard = 20;

// A card type of 20 Int parameters, the first announced every second as real frames keep
// their connections and slots alive.
std::unique_ptr<Model> cardModel() {
  auto model = std::make_unique<Model>("BenchCard");
  for (int i = 0; i < kWatchedPerCard; ++i) {
    Parameter* p = model->add(
        Parameter::makeOpenGear(static_cast<uint16_t>(0x100 + i), "P" + std::to_string(i)));
    p->setIntegerRange(0, 1000, 1);
    p->setDefault(Value::ofInt(i));
    if (i == 0) p->setPeriodic(1000);
  }
  return model;
}

uint32_t frameAddress(int n) {
  return platform::ipv4(127, 48, 0, static_cast<uint8_t>(n + 1));
}

void BM_ClientGroupPass(benchmark::State& state) {
  platform::Clock& clock = platform::systemClock();
  std::mt19937 random(1);
  std::unique_ptr<Model> model = cardModel();
  HostGroup simulator("Simulator", GroupKind::kSimulator, clock, random);
  HostGroup client("Client", GroupKind::kClient, clock, random);
  std::vector<Target*> targets;
  // The start-up order of the engine: every device's targets first, then the simulators.
  for (int f = 0; f < kFrames; ++f) {
    for (int slot = 0; slot < kCardsPerFrame; ++slot) {
      model->forEachCardParameter([&](Parameter& p) {
        targets.push_back(client.getTarget({frameAddress(f), slot, false}, p));
        targets.back()->watch(true);
      });
    }
  }
  for (int f = 0; f < kFrames; ++f) {
    for (int slot = 0; slot < kCardsPerFrame; ++slot) {
      model->forEachCardParameter([&](Parameter& p) {
        simulator.getTarget({frameAddress(f), slot, false}, p);
      });
    }
  }
  auto bothPasses = [&] {
    simulator.poll(clock.tick());
    client.poll(clock.tick());
  };
  // Until every value has arrived (each card answers 20 requests over one connection).
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  size_t live = 0;
  while (Clock::now() < deadline) {
    bothPasses();
    live = static_cast<size_t>(std::count_if(targets.begin(), targets.end(), [](Target* t) {
      return t->status() == LinkStatus::kLive;
    }));
    if (live == targets.size()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (live != targets.size()) {
    state.SkipWithError("the simulated frames did not all answer (127.48.0.x:5253 taken?)");
    return;
  }
  for (auto _ : state) {
    simulator.poll(clock.tick());
    const auto start = Clock::now();
    client.poll(clock.tick());
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    // The main loop's 1 ms sleep, so periodic traffic arrives at its real rate.
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  state.counters["targets"] = static_cast<double>(targets.size());
}
BENCHMARK(BM_ClientGroupPass)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(2000);

// --- Knob to wire ----------------------------------------------------------------------------

// Arg 1: passes 1 ms apart as in the main loop; arg 0: passes back to back (the code's own cost).
void BM_KnobToWire(benchmark::State& state) {
  const bool mainLoopSleep = state.range(0) != 0;
  platform::Clock& clock = platform::systemClock();
  std::mt19937 random(1);
  std::unique_ptr<Model> model = cardModel();
  const uint32_t frame = platform::ipv4(127, 48, 1, 1);
  platform::Socket listener = platform::Socket::createStream(false).socket;
  if (listener.listenOn(frame, kFramePort) != 0) {
    state.SkipWithError("port 5253 of 127.48.1.1 is taken");
    return;
  }
  HostGroup client("Client", GroupKind::kClient, clock, random);
  Parameter& parameter = *model->findByOid(0x105);
  Target& knob = *client.getTarget({frame, 2, false}, parameter);
  knob.watch(true);

  platform::Socket peer;
  uint8_t buffer[4096];
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (!peer.isOpen() && Clock::now() < deadline) {
    client.poll(clock.tick());
    peer = listener.accept(false).socket;
  }
  if (!peer.isOpen()) {
    state.SkipWithError("no connection");
    return;
  }
  // The frame answers every request, as a card does, so the slot stays alive and Nagle's
  // algorithm finds its data acknowledged.
  auto answerAll = [&](size_t& got) {
    const platform::IoResult in = peer.receive(buffer, sizeof buffer);
    if (in.status != platform::IoStatus::kDone) return;
    got += in.bytes;
    Message echo(Side::kServer, Command::kSetResponse, 2, 0x105);
    echo.appendValue(Value::ofInt(1), ValueType::kInt);
    peer.send(echo.data(), static_cast<size_t>(echo.size()));
  };
  size_t ignored = 0;
  for (int i = 0; i < 200; ++i) {
    client.poll(clock.tick());
    answerAll(ignored);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

  Message sample(Side::kClient, Command::kSet, 2, 0x105);
  sample.appendValue(Value::ofInt(1), ValueType::kInt);
  const size_t setSize = static_cast<size_t>(sample.size());
  std::vector<double> latencies;
  int32_t value = 0;
  for (auto _ : state) {
    value = (value + 1) % 1000;
    size_t got = 0;
    const auto start = Clock::now();
    // The pass that takes the knob event stages the value and, before it sleeps, flushes:
    // the set leaves without waiting for the next pass.
    knob.setValue(Value::ofInt(value));
    client.flush();
    answerAll(got);
    while (got < setSize && Clock::now() - start < std::chrono::seconds(1)) {
      if (mainLoopSleep) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      client.poll(clock.tick());
      client.flush();
      answerAll(got);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    state.SetIterationTime(seconds);
    latencies.push_back(seconds * 1e6);
    // Let the echo land and the next pass begin as in the main loop.
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    client.poll(clock.tick());
  }
  std::sort(latencies.begin(), latencies.end());
  state.counters["p50_us"] = latencies[latencies.size() / 2];
  state.counters["p99_us"] = latencies[latencies.size() * 99 / 100];
  state.counters["max_us"] = latencies.back();
}
BENCHMARK(BM_KnobToWire)
    ->Arg(1)
    ->Arg(0)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(2000);

}  // namespace
}  // namespace qelm
