// From an input line changing to the automatic set request arriving at the frame's socket. The
// engine runs its main loop on its own thread with the real 1 ms pause between passes; the line
// changes from this thread at a random moment, as the headless host's script makes it: the new
// mask, then a wake of the main loop (arg 1), or the mask alone, read after the pause (arg 0).
#include <benchmark/benchmark.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "comm/protocol.h"
#include "engine/engine_life.h"
#include "engine_installation.h"
#include "platform/clock.h"
#include "platform/socket.h"
#include "wire_latency.h"

namespace qelm {
namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr uint8_t kSlot = 2;
constexpr uint16_t kOid = 0x0101;

// The frame the automatic sets go to, on a raw socket: it answers each set as a card would, so
// the panel's data is acknowledged at once.
class SetFrame : public bench::FrameSocket {
 public:
  using FrameSocket::FrameSocket;
  // Reads what arrived and answers it; the number of bytes read.
  size_t serve() {
    const size_t got = receive();
    if (got == 0) return 0;
    Message echo(Side::kServer, Command::kSetResponse, kSlot, kOid);
    echo.appendValue(Value::ofInt(0), ValueType::kInt);
    send(echo);
    return got;
  }
};

// The configuration that sets Level on `frame` to 1 when line 1 rises and to 0 when it falls.
std::string lineConfiguration(const std::string& frame) {
  const std::string card = frame + " " + std::to_string(int(kSlot));
  return "model Amp\n"
         "  parameter 0x0101 Level int 0 1\n"
         "input line 1 high from-model Amp " +
         card + " set Level 1\ninput line 1 low from-model Amp " + card + " set Level 0\n";
}

void BM_InputLineToWire(benchmark::State& state) {
  const bool wake = state.range(0) != 0;
  SetFrame frame(platform::ipv4(127, 48, 3, 1));
  if (!frame.ok()) return state.SkipWithError("port 5253 of 127.48.3.1 is taken");
  bench::EngineInstallation installation("qelm_input_line_bench", lineConfiguration("127.48.3.1"),
                                         platform::systemClock());
  if (!installation.started()) return state.SkipWithError("no start-up");
  Message sample(Side::kClient, Command::kSet, kSlot, kOid);
  sample.appendValue(Value::ofInt(1), ValueType::kInt);
  const size_t setSize = static_cast<size_t>(sample.size());

  // Every line reads 0 at start-up: the set of line 1 going low arrives once connected.
  size_t first = 0;
  const auto deadline = SteadyClock::now() + std::chrono::seconds(5);
  while (first < setSize && SteadyClock::now() < deadline) {
    installation.run().pass();
    first += frame.serve();
  }
  if (first < setSize) return state.SkipWithError("the start-up set did not arrive");

  uint32_t lines = 0;
  bench::timeToWire(
      state, installation.run(), frame, setSize, 11, [&] { return frame.serve(); },
      [&] {
        lines ^= 1u;
        installation.context().input.setInputLines(lines);
        if (wake) installation.context().input.wakeup().notify();
      });
}
BENCHMARK(BM_InputLineToWire)
    ->Arg(1)
    ->Arg(0)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(1000);

}  // namespace
}  // namespace qelm
