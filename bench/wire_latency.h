// A frame on a raw socket and the timing of an operator's action to the request at that
// frame, for the benchmarks that measure how fast an action reaches the wire.
#pragma once

#include <benchmark/benchmark.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <random>
#include <thread>
#include <vector>

#include "comm/protocol.h"
#include "engine/engine_life.h"
#include "platform/socket.h"

namespace qelm::bench {

/// Port 5253 of `address` listened on with a plain socket, serving one panel at a time: the
/// benchmark itself plays the frame, so nothing of ours stands between the panel and the wire.
class FrameSocket {
 public:
  explicit FrameSocket(uint32_t address) {
    listener_ = platform::Socket::createStream(false).socket;
    ok_ = listener_.listenOn(address, kFramePort) == 0;
  }
  /// Whether the port could be listened on.
  bool ok() const { return ok_; }
  /// Whether a panel is connected.
  bool connected() const { return peer_.isOpen(); }
  /// Reads what the panel sent (taking a waiting panel first): the number of bytes, 0 = none.
  size_t receive() {
    if (!peer_.isOpen()) peer_ = listener_.accept(false).socket;
    if (!peer_.isOpen()) return 0;
    uint8_t buffer[4096];
    const platform::IoResult in = peer_.receive(buffer, sizeof buffer);
    return in.status == platform::IoStatus::kDone ? in.bytes : 0;
  }
  /// Sends `message` to the connected panel.
  void send(const Message& message) {
    if (peer_.isOpen()) peer_.send(message.data(), static_cast<size_t>(message.size()));
  }
  /// Blocks until the panel's bytes arrive or `ms` pass, leaving the processor to the engine.
  void waitReadable(int ms) {
    if (!peer_.isOpen()) return;
    pollfd wanted{peer_.fd(), POLLIN, 0};
    ::poll(&wanted, 1, ms);
  }

 private:
  platform::Socket listener_;
  platform::Socket peer_;
  bool ok_ = false;
};

/// Runs `run`'s main loop on its own thread, with its real pause, and times each iteration of
/// `state` from `act()` (called on this thread at a random moment 2 to 4 ms, or as given, after
/// the last) to
/// `requestSize` bytes read by `serve()` (the frame's read-and-answer step, bytes read), which
/// also keeps the frame answering between actions. Reports p50_us, p99_us and max_us.
template <typename Serve, typename Act>
void timeToWire(benchmark::State& state, EngineLife& run, FrameSocket& frame, size_t requestSize,
                uint32_t seed, Serve serve, Act act, int leastPauseUs = 2000,
                int longestPauseUs = 4000) {
  using SteadyClock = std::chrono::steady_clock;
  std::atomic<bool> stop{false};
  std::thread engine([&] {
    while (!stop.load())
      run.pass();
  });
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> pause(leastPauseUs, longestPauseUs);
  std::vector<double> latencies;
  for (auto _ : state) {
    const auto resume = SteadyClock::now() + std::chrono::microseconds(pause(random));
    while (SteadyClock::now() < resume)
      serve();
    size_t got = 0;
    const auto start = SteadyClock::now();
    act();
    while (got < requestSize && SteadyClock::now() - start < std::chrono::seconds(1)) {
      frame.waitReadable(10);
      got += serve();
    }
    const double seconds = std::chrono::duration<double>(SteadyClock::now() - start).count();
    state.SetIterationTime(seconds);
    latencies.push_back(seconds * 1e6);
  }
  stop = true;
  engine.join();
  if (latencies.empty()) return;
  std::sort(latencies.begin(), latencies.end());
  state.counters["p50_us"] = latencies[latencies.size() / 2];
  state.counters["p99_us"] = latencies[latencies.size() * 99 / 100];
  state.counters["max_us"] = latencies.back();
}

}  // namespace qelm::bench
