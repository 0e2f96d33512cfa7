// The panel in a browser: what one knob step and one whole redraw cost in bytes and time at each
// zlib level, the delay from the engine's notice of a screen change to the update read by a
// browser's WebSocket on loopback (p50/p99), the delay from a browser's knob turn to the set
// request at the frame, and what browsers cost the server's thread and the engine: idle, and
// while a knob turns 20 steps a second.
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
#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <ctime>
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
  /// Reads what the panel sent and answers with the values; the bytes read.
  size_t serve() {
    const size_t got = receive();
    if (got == 0) return 0;
    for (int i = 0; i < kItems; ++i) {
      Message m(Side::kServer, Command::kGetResponse, kSlot, static_cast<uint16_t>(0x101 + i));
      m.appendValue(Value::ofInt(values_[i]), ValueType::kInt);
      send(m);
    }
    return got;
  }
  /// The first value one step up, as the card takes the panel's set.
  void step() { ++values_[0]; }

 private:
  int32_t values_[kItems] = {-12345, -8774, -5203, -1632, 1939, 5510, 9081, 12652};
};

std::string eightUpConfiguration(const std::string& frame = "127.48.9.1") {
  std::ostringstream config;
  config << "model Amp\n";
  for (int i = 0; i < kItems; ++i)
    config << "  parameter 0x" << std::hex << (0x101 + i) << std::dec << " \"Level " << i + 1
           << "\" int -30000 30000 1 unit dB\n";
  config << "device 1 \"Amp\" page 1 \"Levels\"\n";
  for (int i = 0; i < kItems; ++i)
    config << "  item " << i + 1 << " \"Level " << i + 1 << "\" from-model Amp " << frame << " "
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

// Passes until the page shows every value and stays still for a while; false after 5 s.
bool settle(EngineLife& run, BusyFrame& frame) {
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
  return still >= 200;
}

Pictures drawPictures() {
  Pictures pictures;
  BusyFrame frame(platform::ipv4(127, 48, 9, 1));
  if (!frame.ok()) return {{}, {}, "port 5253 of 127.48.9.1 is taken"};
  bench::EngineInstallation installation("qelm_remote_bench", eightUpConfiguration(),
                                         platform::systemClock());
  if (!installation.started()) return {{}, {}, "no start-up"};
  EngineLife& run = installation.run();
  if (!settle(run, frame)) return {{}, {}, "the page did not settle"};
  const uint32_t sum = run.displays()->changeSum();
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
    // The server has taken the ready before the change, and the last update is older than the
    // least interval between two, so no pacing is timed.
    std::this_thread::sleep_for(std::chrono::milliseconds(12));
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

// An engine with the busy page on its own frame and the remote panel serving it on loopback.
struct ServedEngine {
  explicit ServedEngine(uint8_t octet)
      : address("127.48.9." + std::to_string(octet)),
        frame(platform::ipv4(127, 48, 9, octet)),
        installation("qelm_remote_bench_" + std::to_string(octet), eightUpConfiguration(address),
                     platform::systemClock()) {}

  /// Empty when the page is up, the values shown and the server serving; else why not.
  std::string start() {
    if (!frame.ok()) return "port 5253 of " + address + " is taken";
    if (!installation.started()) return "no start-up";
    EngineLife& run = installation.run();
    if (!settle(run, frame)) return "the page did not settle";
    folder = (std::filesystem::temp_directory_path() / ("qelm_remote_bench_served_" + address))
                 .string() +
             "/";
    std::filesystem::create_directories(folder);
    remote::RemoteOptions options;
    options.dataFolder = folder;
    options.resourceFolder = folder;
    server.emplace(installation.context(), options);
    return server->start();
  }
  ~ServedEngine() {
    if (server) server->stop();
    if (!folder.empty()) std::filesystem::remove_all(folder);
  }

  std::string address;
  BusyFrame frame;
  bench::EngineInstallation installation;
  std::optional<remote::RemoteServer> server;
  std::string folder;
};

// A browser's WebSocket on the server at `port`, past the hello and the first whole picture.
class Browser {
 public:
  explicit Browser(uint16_t port) : socket_(io_) {
    namespace beast = boost::beast;
    socket_.next_layer().connect({boost::asio::ip::make_address("127.0.0.1"), port});
    const std::string host = "127.0.0.1:" + std::to_string(port);
    socket_.set_option(
        beast::websocket::stream_base::decorator([host](beast::websocket::request_type& request) {
          request.set(beast::http::field::origin, "http://" + host);
        }));
    socket_.handshake(host, "/ws");
    beast::flat_buffer buffer;
    socket_.read(buffer);  // the hello
    buffer.clear();
    socket_.read(buffer);  // the whole picture
    socket_.text(true);
  }
  void send(const std::string& text) { socket_.write(boost::asio::buffer(text)); }
  /// Reads updates and says ready for each until the socket is shut; counts the bytes.
  void follow() {
    boost::beast::flat_buffer buffer;
    boost::beast::error_code error;
    send(R"({"t":"ready"})");
    while (!error) {
      socket_.read(buffer, error);
      if (error) break;
      bytes += buffer.size();
      buffer.clear();
      socket_.write(boost::asio::buffer(std::string(R"({"t":"ready"})")), error);
    }
  }
  /// Ends a `follow` on another thread.
  void shut() {
    boost::beast::error_code ignored;
    socket_.next_layer().shutdown(boost::asio::ip::tcp::socket::shutdown_both, ignored);
  }

  std::atomic<size_t> bytes{0};

 private:
  boost::asio::io_context io_;
  boost::beast::websocket::stream<boost::asio::ip::tcp::socket> socket_;
};

// From a browser's knob turn written to its WebSocket to the set request read by the frame: the
// server's read and decode, the input source, the engine's pass (woken as by the desktop's
// knob) and the write to the frame.
void BM_BrowserTurnToWire(benchmark::State& state) {
  ServedEngine served(2);
  if (const std::string error = served.start(); !error.empty())
    return state.SkipWithError(error.c_str());
  Browser browser(served.server->port());
  Message sample(Side::kClient, Command::kSet, kSlot, 0x101);
  sample.appendValue(Value::ofInt(1), ValueType::kInt);
  bench::timeToWire(
      state, served.installation.run(), served.frame, static_cast<size_t>(sample.size()), 13,
      [&] { return served.frame.serve(); },
      [&] { browser.send(R"({"t":"turn","knob":0,"steps":1})"); },
      // Within the server's limit of 200 messages a second.
      6000, 8000);
}
BENCHMARK(BM_BrowserTurnToWire)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(1000);

double threadCpuSeconds() {
  timespec used{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used);
  return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) * 1e-9;
}

// `viewers` browsers following the panel for two seconds while a knob turns `turns` steps a
// second (0: nothing changes): the server thread's and the engine thread's share of one core,
// and the bytes each browser received a second.
void BM_Viewers(benchmark::State& state) {
  const auto viewers = static_cast<size_t>(state.range(0));
  const auto turns = static_cast<int>(state.range(1));
  ServedEngine served(static_cast<uint8_t>(3 + viewers % 100 + turns));
  if (const std::string error = served.start(); !error.empty())
    return state.SkipWithError(error.c_str());
  std::vector<std::unique_ptr<Browser>> browsers;
  std::vector<std::thread> readers;
  for (size_t i = 0; i < viewers; ++i)
    browsers.push_back(std::make_unique<Browser>(served.server->port()));
  for (auto& browser : browsers)
    readers.emplace_back([&b = *browser] { b.follow(); });
  // Let the readers' first ready reach the server before anything is measured.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  for (auto& browser : browsers)
    browser->bytes = 0;

  constexpr double kSeconds = 2.0;
  std::atomic<bool> stop{false};
  double engineCpu = 0.0;
  int64_t passes = 0;
  std::thread engine([&] {
    const double before = threadCpuSeconds();
    while (!stop.load()) {
      served.installation.run().pass();
      served.frame.serve();
      ++passes;
    }
    engineCpu = threadCpuSeconds() - before;
  });
  const double serverBefore = served.server->threadCpuSeconds();
  const auto start = SteadyClock::now();
  for (auto _ : state) {
    int step = 0;
    while (SteadyClock::now() - start < std::chrono::duration<double>(kSeconds)) {
      if (turns > 0) {
        served.installation.context().input.queueKnobTurn(0, step++ % 2 == 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(1000 / turns));
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
    }
  }
  const double wall = std::chrono::duration<double>(SteadyClock::now() - start).count();
  const double serverCpu = served.server->threadCpuSeconds() - serverBefore;
  stop = true;
  engine.join();
  size_t bytes = 0;
  for (auto& browser : browsers) {
    bytes += browser->bytes;
    browser->shut();
  }
  for (auto& reader : readers)
    reader.join();
  state.counters["server_cpu_pct"] = 100.0 * serverCpu / wall;
  state.counters["engine_cpu_pct"] = 100.0 * engineCpu / wall;
  state.counters["engine_us_per_pass"] =
      passes > 0 ? 1e6 * engineCpu / static_cast<double>(passes) : 0.0;
  state.counters["bytes_per_viewer_s"] =
      viewers > 0 ? static_cast<double>(bytes) / static_cast<double>(viewers) / wall : 0.0;
}
BENCHMARK(BM_Viewers)
    ->Args({0, 0})
    ->Args({20, 0})
    ->Args({0, 20})
    ->Args({20, 20})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace qelm
