// The panel in a browser: what one knob step and one whole redraw cost in bytes and time at each
// zlib level, and the delay from the engine's notice of a screen change to the update read by a
// browser's WebSocket on loopback (p50/p99).
//
// The pictures are the engine's own: an "8-up" page of eight live values drawn by a real engine
// life, before and after one knob step on its first item.
// Asio fences its handler calls with std::atomic_thread_fence, which ThreadSanitizer does not
// model (g++ refuses it under -Werror=tsan); every hand-over of a handler between threads also
// passes the scheduler's mutex, which it does see.
#if defined(__SANITIZE_THREAD__)
#pragma GCC diagnostic ignored "-Wtsan"
#endif
#include <benchmark/benchmark.h>

#include <algorithm>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "comm/protocol.h"
#include "core/raster_geometry.h"
#include "engine/engine_life.h"
#include "engine_installation.h"
#include "panel/displays.h"
#include "panel/panel_logic.h"
#include "platform/clock.h"
#include "remote/remote_server.h"
#include "remote/screen_codec.h"
#include "wire_latency.h"

namespace qelm {
namespace {

using SteadyClock = std::chrono::steady_clock;
using Raster = std::vector<uint32_t>;

constexpr int kItems = 8;
constexpr uint8_t kSlot = 2;

// A frame that answers whatever the panel sends with eight busy values.
class BusyFrame : public bench::FrameSocket {
 public:
  using FrameSocket::FrameSocket;
  void serve() {
    if (receive() == 0) return;
    for (int i = 0; i < kItems; ++i) {
      Message m(Side::kServer, Command::kGetResponse, kSlot, static_cast<uint16_t>(0x101 + i));
      m.appendValue(Value::ofInt(values_[i]), ValueType::kInt);
      send(m);
    }
  }
  /// The first value one step up, as the card takes the panel's set.
  void step() { ++values_[0]; }

 private:
  int32_t values_[kItems] = {-12345, -8774, -5203, -1632, 1939, 5510, 9081, 12652};
};

std::string eightUpConfiguration() {
  std::ostringstream config;
  config << "model Amp\n";
  for (int i = 0; i < kItems; ++i)
    config << "  parameter 0x" << std::hex << (0x101 + i) << std::dec << " \"Level " << i + 1
           << "\" int -30000 30000 1 unit dB\n";
  config << "device 1 \"Amp\" page 1 \"Levels\"\n";
  for (int i = 0; i < kItems; ++i)
    config << "  item " << i + 1 << " \"Level " << i + 1 << "\" from-model Amp 127.48.9.1 "
           << int(kSlot) << "\n";
  return config.str();
}

// The engine's rasters before and after one knob step on a busy page.
struct Pictures {
  Raster before;
  Raster after;
  std::string error;
};

Raster copyOf(AppContext& context) {
  const uint32_t* pixels = context.pixels();
  return Raster(pixels, pixels + static_cast<size_t>(kRasterWidth) * kRasterHeight);
}

Pictures drawPictures() {
  Pictures pictures;
  BusyFrame frame(platform::ipv4(127, 48, 9, 1));
  if (!frame.ok()) return {{}, {}, "port 5253 of 127.48.9.1 is taken"};
  bench::EngineInstallation installation("qelm_remote_bench", eightUpConfiguration(),
                                         platform::systemClock());
  if (!installation.started()) return {{}, {}, "no start-up"};
  EngineLife& run = installation.run();
  // Passes until the page shows every value and stays still for a while.
  const auto deadline = SteadyClock::now() + std::chrono::seconds(5);
  uint32_t sum = run.displays()->changeSum();
  int still = 0;
  while (SteadyClock::now() < deadline && still < 200) {
    run.pass();
    frame.serve();
    const uint32_t now = run.displays()->changeSum();
    still = now == sum && run.panel()->currentPage() != nullptr ? still + 1 : 0;
    sum = now;
  }
  if (still < 200) return {{}, {}, "the page did not settle"};
  pictures.before = copyOf(installation.context());
  installation.context().input.queueKnobTurn(0, true);
  frame.step();
  for (int pass = 0; pass < 2000 && run.displays()->changeSum() == sum; ++pass) {
    run.pass();
    frame.serve();
  }
  if (run.displays()->changeSum() == sum) return {{}, {}, "the knob step drew nothing"};
  pictures.after = copyOf(installation.context());
  return pictures;
}

const Pictures& pictures() {
  static const Pictures drawn = drawPictures();
  return drawn;
}

// One knob step's update, to and fro, at the zlib level of arg 0.
void BM_KnobStepUpdate(benchmark::State& state) {
  const Pictures& p = pictures();
  if (!p.error.empty()) return state.SkipWithError(p.error.c_str());
  const int level = static_cast<int>(state.range(0));
  remote::ShownScreen shown;
  const LampStates lamps{};
  remote::encodeUpdate(p.before.data(), shown, lamps, true, level);
  bool forth = true;
  size_t bytes = 0;
  for (auto _ : state) {
    const std::string update =
        remote::encodeUpdate((forth ? p.after : p.before).data(), shown, lamps, false, level);
    bytes += update.size();
    forth = !forth;
  }
  state.counters["bytes"] =
      static_cast<double>(bytes) / static_cast<double>(std::max<int64_t>(state.iterations(), 1));
}
BENCHMARK(BM_KnobStepUpdate)->Arg(1)->Arg(6)->Arg(9)->Unit(benchmark::kMicrosecond);

// The whole picture, as a browser's first update, at the zlib level of arg 0.
void BM_WholeUpdate(benchmark::State& state) {
  const Pictures& p = pictures();
  if (!p.error.empty()) return state.SkipWithError(p.error.c_str());
  const int level = static_cast<int>(state.range(0));
  const LampStates lamps{};
  size_t bytes = 0;
  for (auto _ : state) {
    remote::ShownScreen shown;
    bytes = remote::encodeUpdate(p.after.data(), shown, lamps, true, level).size();
  }
  state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_WholeUpdate)->Arg(1)->Arg(6)->Arg(9)->Unit(benchmark::kMillisecond);

// The worst picture there is: the dark grey noise of a stopped engine, every pixel its own.
void BM_WholeUpdateOfIdleNoise(benchmark::State& state) {
  const std::string folder = std::filesystem::temp_directory_path().string() + "/";
  AppContext context(Folders{folder, folder, folder});
  std::minstd_rand random(7);
  context.fillNoise(random);
  const LampStates lamps{};
  size_t bytes = 0;
  for (auto _ : state) {
    remote::ShownScreen shown;
    bytes = remote::encodeUpdate(context.pixels(), shown, lamps, true).size();
  }
  state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_WholeUpdateOfIdleNoise)->Unit(benchmark::kMillisecond);

// From the engine's notice of a knob step on the screens to the update read by a browser on
// loopback: the server's copy of the raster, the encoding, the write and the read.
void BM_ScreenChangeToBrowser(benchmark::State& state) {
  namespace beast = boost::beast;
  namespace asio = boost::asio;
  const Pictures& p = pictures();
  if (!p.error.empty()) return state.SkipWithError(p.error.c_str());
  const std::string folder =
      (std::filesystem::temp_directory_path() / "qelm_remote_bench_server").string() + "/";
  std::filesystem::create_directories(folder);
  AppContext context(Folders{folder, folder, folder});
  std::memcpy(context.pixels(), p.before.data(), p.before.size() * sizeof(uint32_t));
  remote::RemoteOptions options;
  options.dataFolder = folder;
  options.resourceFolder = folder;
  remote::RemoteServer server(context, options);
  if (const std::string error = server.start(); !error.empty())
    return state.SkipWithError(error.c_str());

  asio::io_context io;
  beast::websocket::stream<asio::ip::tcp::socket> socket(io);
  socket.next_layer().connect({asio::ip::make_address("127.0.0.1"), server.port()});
  const std::string host = "127.0.0.1:" + std::to_string(server.port());
  socket.set_option(
      beast::websocket::stream_base::decorator([&](beast::websocket::request_type& request) {
        request.set(beast::http::field::origin, "http://" + host);
      }));
  socket.handshake(host, "/ws");
  beast::flat_buffer buffer;
  socket.read(buffer);  // the hello
  buffer.clear();
  socket.read(buffer);  // the whole picture
  buffer.clear();
  socket.text(true);

  std::vector<double> micros;
  bool forth = true;
  size_t bytes = 0;
  for (auto _ : state) {
    socket.write(asio::buffer(std::string(R"({"t":"ready"})")));
    // The server has taken the ready before the change; the pause also keeps the browser's
    // messages under the rate that closes its connection.
    std::this_thread::sleep_for(std::chrono::milliseconds(6));
    const Raster& next = forth ? p.after : p.before;
    forth = !forth;
    const auto start = SteadyClock::now();
    {
      std::lock_guard<std::mutex> guard(context.screenLock);
      std::memcpy(context.pixels(), next.data(), next.size() * sizeof(uint32_t));
    }
    context.notifyWindow.load()->screenChanged();
    socket.read(buffer);
    const std::chrono::duration<double> took = SteadyClock::now() - start;
    bytes += buffer.size();
    buffer.clear();
    state.SetIterationTime(took.count());
    micros.push_back(took.count() * 1e6);
  }
  std::sort(micros.begin(), micros.end());
  if (!micros.empty()) {
    state.counters["p50_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[micros.size() * 99 / 100];
    state.counters["bytes"] = static_cast<double>(bytes) / static_cast<double>(micros.size());
  }
  beast::error_code ignored;
  socket.close(beast::websocket::close_code::normal, ignored);
  server.stop();
  std::filesystem::remove_all(folder);
}
BENCHMARK(BM_ScreenChangeToBrowser)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(500);

}  // namespace
}  // namespace qelm
