// The plant at full size beside the default configuration, each run as an installation runs
// it: `qelm-engine` processes on loopback addresses of this program's own. The plant is the one
// `tools/plant generate` writes (100 simulated frames of 16 cards of 20 parameters served by one
// simulator engine, 32 loudness cards in two frames, each a `qelm-engine lmcard`, a panel of 999
// devices with 32 loudness pages); the default configuration is the shipped one with its loudness
// card played by an `lmcard` too. Prints one table:
//
//   - start-up to the first drawn screen (`qelm-engine run --startup-time`, timed from outside);
//   - the panel engines' processor time while idle (no operator, no browser, no session),
//     both measured over the same windows so that they see the same load;
//   - the simulator engine's processor time alone, then with the plant's panel connected;
//   - with every loudness session running: the engine's pass times (the difference of two
//     scrapes of its pass histogram), API reads at a steady rate, first with no browser, then
//     with 20 browsers following each panel, metrics scrapes, and the panel's resident memory.
//
// A process's processor time is read from its CPU-time clock (to the nanosecond: a panel idling
// at 2 % of a core takes 20 of the kernel's 10 ms ticks in 10 s, too few to tell 1.25 x from
// 1.35 x); a thread's from /proc/PID/task/TID/stat. The load average is printed with every phase.
//
//   plant_bench [--rounds N] [--seconds S] [--rate R] [--viewers N] [--keep DIR]
#include <unistd.h>

#include <algorithm>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "child_process.h"

namespace {

namespace fs = std::filesystem;
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using SteadyClock = std::chrono::steady_clock;

// Away from a plant of the default network (93) and from the generator's own check (95).
constexpr int kPlantNet = 97;
constexpr const char* kDefaultNet = "127.99.7.";
constexpr int kStartups = 5;

struct Options {
  int rounds = 3;          // idle windows
  double seconds = 10;     // one window
  int rate = 500;          // API reads a second
  double apiSeconds = 10;  // of API reads on each panel
  int viewers = 20;        // browsers on each panel
  int scrapes = 30;        // of /metrics on each panel
  std::string keep;        // work here and keep it
};

std::string readFile(const fs::path& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string loadAverage() {
  std::string text = readFile("/proc/loadavg");
  text = text.substr(0, text.find(' ', text.find(' ', text.find(' ') + 1) + 1));
  return "load " + text;
}

double median(std::vector<double> values) {
  if (values.empty()) return std::nan("");
  std::sort(values.begin(), values.end());
  const size_t middle = values.size() / 2;
  return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// The value at `share` (0.99: p99) of sorted `values`, the nearest rank.
double quantile(const std::vector<double>& sorted, double share) {
  if (sorted.empty()) return std::nan("");
  const auto rank = static_cast<size_t>(std::ceil(share * static_cast<double>(sorted.size())));
  return sorted[std::clamp<size_t>(rank, 1, sorted.size()) - 1];
}

// ---- Processes ------------------------------------------------------------------------------

using qelm::bench::ChildProcess;

/// User plus system processor time in a stat file of /proc (a process's or a thread's),
/// seconds, to the kernel's tick.
double statCpuSeconds(const fs::path& stat) {
  const std::string text = readFile(stat);
  const size_t name = text.rfind(')');
  if (name == std::string::npos) return std::nan("");
  std::istringstream fields(text.substr(name + 1));
  std::string field;
  double ticks = 0;
  // Fields 14 and 15 (utime, stime) of the stat line; the first after the name is field 3.
  for (int at = 3; at <= 15 && fields >> field; ++at)
    if (at >= 14) ticks += std::stod(field);
  return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

double cpuSeconds(pid_t pid) {
  clockid_t clock{};
  timespec time{};
  if (::clock_getcpuclockid(pid, &clock) == 0 && ::clock_gettime(clock, &time) == 0)
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) * 1e-9;
  return statCpuSeconds("/proc/" + std::to_string(pid) + "/stat");
}

/// A line "NAME: N kB" of /proc/PID/status, in MiB.
double statusMiB(pid_t pid, const std::string& name) {
  std::istringstream lines(readFile("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(lines, line);)
    if (line.rfind(name + ":", 0) == 0) return std::stod(line.substr(name.size() + 1)) / 1024;
  return std::nan("");
}

/// The processor time of each thread of `pid`, seconds, by thread id.
std::vector<std::pair<pid_t, double>> threadCpuSeconds(pid_t pid) {
  std::vector<std::pair<pid_t, double>> threads;
  std::error_code error;
  const fs::path tasks = "/proc/" + std::to_string(pid) + "/task";
  for (const fs::directory_entry& task : fs::directory_iterator(tasks, error))
    threads.emplace_back(static_cast<pid_t>(std::stoi(task.path().filename().string())),
                         statCpuSeconds(task.path() / "stat"));
  return threads;
}

/// Runs a program to its end; its exit status (0: done).
int runToEnd(std::vector<std::string> args, const fs::path& log) {
  ChildProcess child(std::move(args), log);
  const int status = child.wait();
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

/// The processor time of several processes over the same window, in percent of one core.
std::vector<double> cpuPercentOver(const std::vector<pid_t>& pids, double seconds) {
  std::vector<double> before;
  for (pid_t pid : pids)
    before.push_back(cpuSeconds(pid));
  const auto start = SteadyClock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const double wall = std::chrono::duration<double>(SteadyClock::now() - start).count();
  std::vector<double> percent;
  for (size_t i = 0; i < pids.size(); ++i)
    percent.push_back(100 * (cpuSeconds(pids[i]) - before[i]) / wall);
  return percent;
}

// ---- HTTP and WebSocket on loopback ---------------------------------------------------------

/// One kept-alive connection to a panel's server; reconnects when the server closed it.
class HttpClient {
 public:
  explicit HttpClient(uint16_t port) : port_(port) {}

  struct Answer {
    int status = 0;  // 0: no answer
    std::string body;
  };
  Answer request(http::verb verb, const std::string& target) {
    for (int attempt = 0; attempt < 2; ++attempt) {
      beast::error_code error;
      if (!stream_) {
        stream_.emplace(io_);
        stream_->connect({asio::ip::make_address("127.0.0.1"), port_}, error);
        if (error) {
          stream_.reset();
          continue;
        }
      }
      http::request<http::string_body> request(verb, target, 11);
      request.set(http::field::host, "127.0.0.1:" + std::to_string(port_));
      request.keep_alive(true);
      request.prepare_payload();
      http::write(*stream_, request, error);
      http::response<http::string_body> response;
      if (!error) http::read(*stream_, buffer_, response, error);
      if (error) {
        stream_.reset();
        buffer_.clear();
        continue;
      }
      if (!response.keep_alive()) stream_.reset();
      return {static_cast<int>(response.result_int()), std::move(response.body())};
    }
    return {};
  }
  Answer get(const std::string& target) { return request(http::verb::get, target); }

 private:
  uint16_t port_;
  asio::io_context io_;
  std::optional<beast::tcp_stream> stream_;
  beast::flat_buffer buffer_;
};

/// A browser following a panel: its WebSocket past the hello and the first picture, then every
/// update read and answered with "ready" on a thread of its own until the object goes.
class Viewer {
 public:
  explicit Viewer(uint16_t port) : socket_(io_) {
    socket_.next_layer().connect({asio::ip::make_address("127.0.0.1"), port});
    const std::string host = "127.0.0.1:" + std::to_string(port);
    socket_.set_option(
        beast::websocket::stream_base::decorator([host](beast::websocket::request_type& request) {
          request.set(http::field::origin, "http://" + host);
        }));
    socket_.handshake(host, "/ws");
    beast::flat_buffer buffer;
    socket_.read(buffer);  // the hello
    buffer.clear();
    socket_.read(buffer);  // the whole picture
    socket_.text(true);
    reader_ = std::thread([this] { follow(); });
  }
  ~Viewer() {
    beast::error_code ignored;
    socket_.next_layer().shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    reader_.join();
  }
  Viewer(const Viewer&) = delete;
  Viewer& operator=(const Viewer&) = delete;

 private:
  void follow() {
    beast::flat_buffer buffer;
    beast::error_code error;
    const std::string ready = R"({"t":"ready"})";
    socket_.write(asio::buffer(ready), error);
    while (!error) {
      socket_.read(buffer, error);
      buffer.clear();
      if (!error) socket_.write(asio::buffer(ready), error);
    }
  }

  asio::io_context io_;
  beast::websocket::stream<asio::ip::tcp::socket> socket_;
  std::thread reader_;
};

// ---- The engine's pass histogram ------------------------------------------------------------

/// Cumulative pass counts by upper bound (seconds), as /metrics gives them.
struct PassCounts {
  std::vector<std::pair<double, double>> atOrUnder;
  double count = 0;

  static std::optional<PassCounts> scrape(HttpClient& client) {
    const HttpClient::Answer answer = client.get("/metrics");
    if (answer.status != 200) return std::nullopt;
    PassCounts counts;
    const std::string prefix = "qelm_engine_pass_seconds_bucket{le=\"";
    std::istringstream lines(answer.body);
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind(prefix, 0) != 0) continue;
      const size_t quote = line.find('"', prefix.size());
      const std::string bound = line.substr(prefix.size(), quote - prefix.size());
      const double value = std::stod(line.substr(line.find(' ', quote) + 1));
      if (bound == "+Inf")
        counts.count = value;
      else
        counts.atOrUnder.emplace_back(std::stod(bound), value);
    }
    if (counts.atOrUnder.empty()) return std::nullopt;
    return counts;
  }

  /// The passes counted since `earlier`.
  PassCounts since(const PassCounts& earlier) const {
    PassCounts delta = *this;
    for (size_t i = 0; i < delta.atOrUnder.size() && i < earlier.atOrUnder.size(); ++i)
      delta.atOrUnder[i].second -= earlier.atOrUnder[i].second;
    delta.count -= earlier.count;
    return delta;
  }
  /// The share of passes over `bound` seconds, in percent.
  double percentOver(double bound) const {
    for (const auto& [upper, passes] : atOrUnder)
      if (upper >= bound) return count > 0 ? 100 * (1 - passes / count) : std::nan("");
    return std::nan("");
  }
  /// The least bound at or under which `share` of the passes fell (infinity: over them all).
  double boundOf(double share) const {
    for (const auto& [upper, passes] : atOrUnder)
      if (passes >= share * count) return upper;
    return std::numeric_limits<double>::infinity();
  }
};

// ---- The installations ----------------------------------------------------------------------

struct Paths {
  fs::path engine = fs::path(QELM_PROGRAM_DIR) / "qelm-engine";
  fs::path plantTool = fs::path(QELM_SOURCE_DIR) / "tools" / "plant";
  fs::path work;
  fs::path plant;        // what tools/plant generated
  fs::path defaultData;  // the default configuration's data folder
};

std::string defaultConfiguration() {
  std::string text = readFile(fs::path(QELM_PROGRAM_DIR) / "configuration" / "startup.bak");
  for (size_t at = text.find("127.0.0."); at != std::string::npos; at = text.find("127.0.0.", at))
    text.replace(at, 8, kDefaultNet);
  return text;
}

int countDevices(const fs::path& startup) {
  std::istringstream lines(readFile(startup));
  int devices = 0;
  for (std::string line; std::getline(lines, line);)
    devices += line.rfind("device ", 0) == 0 ? 1 : 0;
  return devices;
}

void writeConfiguration(const fs::path& data, const std::string& text) {
  fs::create_directories(data / "configuration");
  std::ofstream(data / "configuration" / "startup.txt") << text;
}

/// One start of `qelm-engine run --startup-time` on `data`: seconds from just before the spawn
/// to its "startup:" line, and the engine's own figure in ms; negative when it never came.
std::pair<double, double> startOnce(const Paths& paths, const fs::path& data) {
  const qelm::bench::StartupTime startup =
      qelm::bench::timeStartup(paths.engine.string(), data.string());
  return {startup.seconds, static_cast<double>(startup.ownMs)};
}

/// A panel engine serving on loopback: the process and the port its log names.
class Panel {
 public:
  Panel(const Paths& paths, const fs::path& data, const std::string& name)
      : log_(paths.work / (name + ".log")),
        child_({paths.engine.string(), "run", "--data", data.string(), "--report", data.string(),
                "--http", "127.0.0.1:0"},
               log_) {
    const auto deadline = SteadyClock::now() + std::chrono::seconds(60);
    const std::string serving = "Remote panel serving http://127.0.0.1:";
    while (SteadyClock::now() < deadline && child_.running()) {
      const std::string text = readFile(log_);
      if (const size_t at = text.find(serving); at != std::string::npos) {
        port_ = static_cast<uint16_t>(std::stoi(text.substr(at + serving.size())));
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    throw std::runtime_error(name + " did not serve (" + log_.string() + ")");
  }
  pid_t pid() const { return child_.pid(); }
  uint16_t port() const { return port_; }
  bool running() { return child_.running(); }
  int stop() { return child_.stop(); }

 private:
  fs::path log_;
  ChildProcess child_;
  uint16_t port_ = 0;
};

// ---- Printing -------------------------------------------------------------------------------

struct Row {
  std::string figure;
  std::string plant;
  std::string defaults;
  std::string goal;
  std::string verdict;
};

std::string fixed(double value, int decimals, const std::string& unit = "") {
  if (std::isnan(value)) return "-";
  char text[64];
  std::snprintf(text, sizeof text, "%.*f%s", decimals, value, unit.c_str());
  return text;
}

std::string met(bool held) {
  return held ? "met" : "NOT met";
}

void printTable(const std::vector<Row>& rows) {
  size_t widths[5] = {6, 5, 7, 4, 7};
  for (const Row& row : rows) {
    widths[0] = std::max(widths[0], row.figure.size());
    widths[1] = std::max(widths[1], row.plant.size());
    widths[2] = std::max(widths[2], row.defaults.size());
    widths[3] = std::max(widths[3], row.goal.size());
  }
  const auto line = [&](const std::string& a, const std::string& b, const std::string& c,
                        const std::string& d, const std::string& e) {
    std::printf("| %-*s | %-*s | %-*s | %-*s | %s\n", static_cast<int>(widths[0]), a.c_str(),
                static_cast<int>(widths[1]), b.c_str(), static_cast<int>(widths[2]), c.c_str(),
                static_cast<int>(widths[3]), d.c_str(), e.c_str());
  };
  line("figure", "plant", "default", "goal", "verdict");
  for (const Row& row : rows)
    line(row.figure, row.plant, row.defaults, row.goal, row.verdict);
}

/// The panels' resident memory now, in MiB, as a line of the log.
void printMemory(pid_t plant, pid_t defaults, const std::string& when) {
  std::printf("  RSS %s: plant panel %.1f MiB, default panel %.1f MiB\n", when.c_str(),
              statusMiB(plant, "VmRSS"), statusMiB(defaults, "VmRSS"));
}

void note(const std::string& text) {
  std::printf("# %s (%s)\n", text.c_str(), loadAverage().c_str());
  std::fflush(stdout);
}

// ---- The phases -----------------------------------------------------------------------------

void measureStartup(const Paths& paths, std::vector<Row>& rows) {
  note("start-up: " + std::to_string(kStartups) +
       " starts of each, in turns, nothing else running");
  const fs::path plantData = paths.work / "startup-plant";
  const fs::path defaultData = paths.work / "startup-default";
  writeConfiguration(plantData, readFile(paths.plant / "panel" / "configuration" / "startup.txt"));
  writeConfiguration(defaultData, defaultConfiguration());
  // An untimed first start seeds each data folder, so that every timed one is an ordinary start.
  startOnce(paths, plantData);
  startOnce(paths, defaultData);
  std::vector<double> plant, plantOwn, defaults, defaultsOwn;
  for (int i = 0; i < kStartups; ++i) {
    const auto [plantSeconds, plantMs] = startOnce(paths, plantData);
    const auto [defaultSeconds, defaultMs] = startOnce(paths, defaultData);
    if (plantSeconds < 0 || defaultSeconds < 0) throw std::runtime_error("no first screen");
    plant.push_back(plantSeconds * 1e3);
    plantOwn.push_back(plantMs);
    defaults.push_back(defaultSeconds * 1e3);
    defaultsOwn.push_back(defaultMs);
  }
  const double plantMedian = median(plant);
  rows.push_back(
      {"start-up to the first screen, median (engine's own figure)",
       fixed(plantMedian, 0, " ms") + " (" + fixed(median(plantOwn), 0, " ms") + ")",
       fixed(median(defaults), 0, " ms") + " (" + fixed(median(defaultsOwn), 0, " ms") + ")",
       "<= 100 ms", met(plantMedian <= 100)});
  std::string all = "  plant:";
  for (double ms : plant)
    all += " " + fixed(ms, 0);
  all += "; default:";
  for (double ms : defaults)
    all += " " + fixed(ms, 0);
  std::printf("%s ms\n", all.c_str());
}

/// A summary of windows: "median (lowest to highest)".
std::string spreadText(const std::vector<double>& values, int decimals, const std::string& unit) {
  return fixed(median(values), decimals, unit) + " (" +
         fixed(*std::min_element(values.begin(), values.end()), decimals) + " to " +
         fixed(*std::max_element(values.begin(), values.end()), decimals) + ")";
}

struct ApiFigures {
  bool present = false;
  size_t requests = 0;
  size_t failed = 0;
  double achievedRate = 0;
  std::vector<double> ms;          // sorted
  std::vector<double> monitorsMs;  // sorted, /api/monitors only
  std::vector<double> devicesMs;   // sorted, /api/devices/{n} only
};

/// GET /api/monitors and /api/devices/{n} in turn at `rate` a second for `seconds`, from two
/// connections on threads of their own; each read is timed from when it was due, so a slow
/// answer delays the next ones' figures rather than hiding them.
ApiFigures apiLoad(uint16_t port, int rate, double seconds, int devices) {
  ApiFigures figures;
  {
    HttpClient probe(port);
    figures.present = probe.get("/api/monitors").status == 200;
  }
  if (!figures.present) return figures;
  constexpr int kConnections = 2;
  const auto period = std::chrono::duration<double>(kConnections / static_cast<double>(rate));
  const auto total = static_cast<size_t>(rate * seconds) / kConnections;
  std::vector<std::vector<std::pair<double, bool>>> ms(kConnections);  // ms, a device's
  std::vector<size_t> failed(kConnections, 0);
  const auto start = SteadyClock::now() + std::chrono::milliseconds(50);
  std::vector<std::thread> threads;
  for (int c = 0; c < kConnections; ++c) {
    threads.emplace_back([&, c] {
      HttpClient client(port);
      for (size_t i = 0; i < total; ++i) {
        const auto due = start + std::chrono::duration_cast<SteadyClock::duration>(
                                     period * (static_cast<double>(i) + c / double(kConnections)));
        std::this_thread::sleep_until(due);
        const bool device = (i + static_cast<size_t>(c)) % 2 == 1;
        const std::string target =
            device ? "/api/devices/" + std::to_string((i * kConnections + c) % devices + 1)
                   : std::string("/api/monitors");
        const int status = client.get(target).status;
        ms[c].emplace_back(
            std::chrono::duration<double, std::milli>(SteadyClock::now() - due).count(), device);
        if (status != 200) ++failed[c];
      }
    });
  }
  for (std::thread& thread : threads)
    thread.join();
  const double wall = std::chrono::duration<double>(SteadyClock::now() - start).count();
  for (int c = 0; c < kConnections; ++c) {
    for (const auto& [took, device] : ms[c]) {
      figures.ms.push_back(took);
      (device ? figures.devicesMs : figures.monitorsMs).push_back(took);
    }
    figures.failed += failed[c];
  }
  std::sort(figures.ms.begin(), figures.ms.end());
  std::sort(figures.monitorsMs.begin(), figures.monitorsMs.end());
  std::sort(figures.devicesMs.begin(), figures.devicesMs.end());
  figures.requests = figures.ms.size();
  figures.achievedRate = static_cast<double>(figures.requests) / wall;
  return figures;
}

/// `count` scrapes of /metrics, 100 ms apart: the times in ms (sorted) and the last body's size.
std::pair<std::vector<double>, size_t> scrapeTimes(uint16_t port, int count) {
  HttpClient client(port);
  std::vector<double> ms;
  size_t bytes = 0;
  for (int i = 0; i < count; ++i) {
    const auto start = SteadyClock::now();
    const HttpClient::Answer answer = client.get("/metrics");
    ms.push_back(std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count());
    if (answer.status != 200) return {};
    bytes = answer.body.size();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  std::sort(ms.begin(), ms.end());
  return {ms, bytes};
}

/// Session reports below `folder`: one HTML page per session ended.
size_t countReports(const fs::path& folder) {
  std::error_code error;
  if (!fs::is_directory(folder, error)) return 0;
  size_t reports = 0;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(folder))
    reports += entry.is_regular_file() && entry.path().extension() == ".html" ? 1 : 0;
  return reports;
}

void enableSessionsOnBootup(const Paths& paths, const fs::path& data) {
  if (runToEnd({paths.engine.string(), "settings", "--data", data.string(),
                "Start all sessions on bootup", "Enable"},
               paths.work / "settings.log") != 0)
    throw std::runtime_error("qelm-engine settings refused (settings.log)");
}

void run(const Options& options) {
  Paths paths;
  paths.work = options.keep.empty() ? fs::temp_directory_path() / "qelm_plant_bench"
                                    : fs::path(options.keep);
  fs::remove_all(paths.work);
  fs::create_directories(paths.work);
  paths.plant = paths.work / "plant";
  paths.defaultData = paths.work / "default";
  note("generating the plant in " + paths.plant.string());
  if (runToEnd({"/usr/bin/env", "python3", paths.plantTool.string(), "generate",
                paths.plant.string(), "--net", std::to_string(kPlantNet)},
               paths.work / "generate.log") != 0)
    throw std::runtime_error("tools/plant generate failed (generate.log)");
  const fs::path plantStartup = paths.plant / "panel" / "configuration" / "startup.txt";
  const int plantDevices = countDevices(plantStartup);
  writeConfiguration(paths.defaultData, defaultConfiguration());
  const int defaultDevices = countDevices(paths.defaultData / "configuration" / "startup.txt");

  std::vector<Row> rows;
  measureStartup(paths, rows);

  // The simulator engine and the loudness cards, both installations'.
  const fs::path simulators = paths.plant / "simulators";
  ChildProcess simulator({paths.engine.string(), "run", "--data", simulators.string(), "--report",
                          simulators.string()},
                         paths.work / "simulators.log");
  std::vector<std::unique_ptr<ChildProcess>> cards;
  const nlohmann::json summary = nlohmann::json::parse(readFile(paths.plant / "plant.json"));
  // One lmcard per frame of loudness cards, one file per card; the generator gives a frame's
  // cards in order of slot.
  std::map<std::string, std::vector<std::string>> frames;
  std::map<std::string, int> firstSlots;
  for (const auto& card : summary.at("loudnessCards")) {
    const std::string address = card.at("address");
    std::vector<std::string>& command = frames[address];
    if (command.empty()) {
      firstSlots[address] = card.at("slot").get<int>();
      command = {paths.engine.string(), "lmcard", "--address", address, "--loop"};
    }
    command.push_back("--file");
    command.push_back((paths.plant / card.at("file").get<std::string>()).string());
  }
  for (auto& [address, command] : frames) {
    command.push_back("--slot");
    command.push_back(std::to_string(firstSlots.at(address)));
    cards.push_back(
        std::make_unique<ChildProcess>(command, paths.work / ("lmcard-" + address + ".log")));
  }
  cards.push_back(std::make_unique<ChildProcess>(
      std::vector<std::string>{
          paths.engine.string(), "lmcard", "--address", std::string(kDefaultNet) + "60", "--loop",
          "--file", (fs::path(QELM_PROGRAM_DIR) / "resources" / "lm_test_signal.wav").string()},
      paths.work / "lmcard-default.log"));
  std::this_thread::sleep_for(std::chrono::seconds(5));

  note("the simulator engine alone: " + std::to_string(options.rounds) + " windows of " +
       fixed(options.seconds, 0) + " s");
  std::vector<double> simulatorAlone;
  for (int r = 0; r < options.rounds; ++r)
    simulatorAlone.push_back(cpuPercentOver({simulator.pid()}, options.seconds)[0]);

  std::vector<double> plantIdle, defaultIdle, ratios, simulatorServing;
  {
    Panel plant(paths, paths.plant / "panel", "panel-plant");
    Panel defaults(paths, paths.defaultData, "panel-default");
    std::this_thread::sleep_for(std::chrono::seconds(10));  // every frame connected and asked
    note("idle: both panels, no operator, no browser, no session; " +
         std::to_string(options.rounds) + " windows of " + fixed(options.seconds, 0) + " s");
    for (int r = 0; r < options.rounds; ++r) {
      const std::vector<double> cpu =
          cpuPercentOver({plant.pid(), defaults.pid(), simulator.pid()}, options.seconds);
      plantIdle.push_back(cpu[0]);
      defaultIdle.push_back(cpu[1]);
      ratios.push_back(cpu[0] / std::max(cpu[1], 1e-9));
      simulatorServing.push_back(cpu[2]);
      std::printf("  window %d: plant panel %.2f %%, default panel %.2f %%, simulators %.2f %%\n",
                  r + 1, cpu[0], cpu[1], cpu[2]);
    }
    printMemory(plant.pid(), defaults.pid(), "idle");
    rows.push_back({"panel engine idle, % of a core, median (lowest to highest)",
                    spreadText(plantIdle, 2, " %"), spreadText(defaultIdle, 2, " %"),
                    "<= 1.3 x default",
                    met(median(ratios) <= 1.3) + " (" + spreadText(ratios, 2, " x") + ")"});
    rows.push_back({"simulator engine (1,600 cards), panel not connected",
                    spreadText(simulatorAlone, 2, " %"), "", "<= 3 %",
                    met(median(simulatorAlone) <= 3)});
    rows.push_back({"simulator engine (1,600 cards), plant's panel connected",
                    spreadText(simulatorServing, 2, " %"), "", "<= 3 %",
                    met(median(simulatorServing) <= 3)});
  }

  // Every session started by the panels themselves at start-up, as a headless plant is set up.
  enableSessionsOnBootup(paths, paths.plant / "panel");
  enableSessionsOnBootup(paths, paths.defaultData);
  Panel plant(paths, paths.plant / "panel", "panel-plant-sessions");
  Panel defaults(paths, paths.defaultData, "panel-default-sessions");
  std::this_thread::sleep_for(std::chrono::seconds(5));
  HttpClient plantMetrics(plant.port());
  HttpClient defaultMetrics(defaults.port());
  const std::optional<PassCounts> plantBefore = PassCounts::scrape(plantMetrics);
  const std::optional<PassCounts> defaultBefore = PassCounts::scrape(defaultMetrics);
  // The pass times between two scrapes of each panel's histogram, as a row.
  const auto passRowBetween =
      [&](const std::string& when, const std::optional<PassCounts>& plantFrom,
          const std::optional<PassCounts>& plantTo, const std::optional<PassCounts>& defaultFrom,
          const std::optional<PassCounts>& defaultTo) {
        if (!plantFrom || !defaultFrom || !plantTo || !defaultTo) {
          rows.push_back({"engine pass, " + when, "no pass histogram in this build", "",
                          "p99 < 1 ms", "not measured"});
          return;
        }
        const PassCounts plantPasses = plantTo->since(*plantFrom);
        const PassCounts defaultPasses = defaultTo->since(*defaultFrom);
        const auto passText = [](const PassCounts& passes) {
          return "p99 <= " + fixed(passes.boundOf(0.99) * 1e3, 2) + " ms; " +
                 fixed(passes.percentOver(0.001), 3) + " % over 1 ms; " + fixed(passes.count, 0) +
                 " passes";
        };
        rows.push_back({"engine pass (histogram bucket), " + when, passText(plantPasses),
                        passText(defaultPasses), "p99 < 1 ms",
                        met(plantPasses.percentOver(0.001) < 1)});
      };
  const auto passRow = [&](const std::string& when, const std::optional<PassCounts>& plantFrom,
                           const std::optional<PassCounts>& defaultFrom) {
    passRowBetween(when, plantFrom, PassCounts::scrape(plantMetrics), defaultFrom,
                   PassCounts::scrape(defaultMetrics));
  };
  std::this_thread::sleep_for(std::chrono::duration<double>(options.seconds));
  passRow("sessions", plantBefore, defaultBefore);

  // The API's reads first with no browser, then with the browsers following both panels.
  const auto measureApi = [&](const std::string& when) {
    note("API reads, " + when + ": " + std::to_string(options.rate) + " a second for " +
         fixed(options.apiSeconds, 0) + " s on each panel in turn");
    const std::optional<PassCounts> plantFrom = PassCounts::scrape(plantMetrics);
    const ApiFigures plantApi =
        apiLoad(plant.port(), options.rate, options.apiSeconds, plantDevices);
    const std::optional<PassCounts> plantTo = PassCounts::scrape(plantMetrics);
    const std::optional<PassCounts> defaultFrom = PassCounts::scrape(defaultMetrics);
    const ApiFigures defaultApi =
        apiLoad(defaults.port(), options.rate, options.apiSeconds, defaultDevices);
    const std::optional<PassCounts> defaultTo = PassCounts::scrape(defaultMetrics);
    for (const auto& [name, api] :
         {std::pair{"plant", &plantApi}, std::pair{"default", &defaultApi}}) {
      if (!api->present) continue;
      const auto over = [](const std::vector<double>& ms) {
        return std::to_string(ms.end() - std::upper_bound(ms.begin(), ms.end(), 2.0));
      };
      std::printf(
          "  %s: /api/monitors p50 %.2f p99 %.2f max %.1f ms (%s over 2 ms); "
          "/api/devices/{n} p50 %.2f p99 %.2f max %.1f ms (%s over 2 ms)\n",
          name, quantile(api->monitorsMs, 0.5), quantile(api->monitorsMs, 0.99),
          api->monitorsMs.back(), over(api->monitorsMs).c_str(), quantile(api->devicesMs, 0.5),
          quantile(api->devicesMs, 0.99), api->devicesMs.back(), over(api->devicesMs).c_str());
    }
    printMemory(plant.pid(), defaults.pid(), "after the API reads, " + when);
    if (!plantApi.present) {
      rows.push_back({"API reads, " + when, "no /api/monitors in this build", "",
                      "p99 <= 2 ms at 500/s", "not measured"});
      return;
    }
    const auto apiText = [](const ApiFigures& api) {
      return "p50 " + fixed(quantile(api.ms, 0.5), 2) + ", p99 " +
             fixed(quantile(api.ms, 0.99), 2) + ", max " + fixed(api.ms.back(), 1) + " ms; " +
             fixed(api.achievedRate, 0) + "/s, " + std::to_string(api.failed) + " of " +
             std::to_string(api.requests) + " not 200";
    };
    rows.push_back({"API reads (/api/monitors, /api/devices/{n} in turn), " + when,
                    apiText(plantApi), defaultApi.present ? apiText(defaultApi) : "-",
                    "p99 <= 2 ms at 500/s",
                    met(quantile(plantApi.ms, 0.99) <= 2 && plantApi.failed == 0)});
    passRowBetween("during the API reads, " + when, plantFrom, plantTo, defaultFrom, defaultTo);
  };
  printMemory(plant.pid(), defaults.pid(), "sessions");
  measureApi("sessions, no browser");

  note("sessions running; " + std::to_string(options.viewers) + " browsers on each panel");
  std::vector<std::unique_ptr<Viewer>> viewers;
  for (int v = 0; v < options.viewers; ++v) {
    viewers.push_back(std::make_unique<Viewer>(plant.port()));
    viewers.push_back(std::make_unique<Viewer>(defaults.port()));
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const std::optional<PassCounts> plantBrowsed = PassCounts::scrape(plantMetrics);
  const std::optional<PassCounts> defaultBrowsed = PassCounts::scrape(defaultMetrics);
  const std::vector<std::pair<pid_t, double>> threadsBefore = threadCpuSeconds(plant.pid());
  const std::vector<double> busy =
      cpuPercentOver({plant.pid(), defaults.pid(), simulator.pid()}, options.seconds);
  const std::vector<std::pair<pid_t, double>> threadsAfter = threadCpuSeconds(plant.pid());
  std::printf(
      "  sessions and browsers, %.0f s: plant panel %.2f %%, default panel %.2f %%, "
      "simulators %.2f %%\n  the plant panel's threads:",
      options.seconds, busy[0], busy[1], busy[2]);
  for (const auto& [tid, after] : threadsAfter)
    for (const auto& [earlier, before] : threadsBefore)
      if (earlier == tid && after - before > 0)
        std::printf(" %d %.2f %%", static_cast<int>(tid), 100 * (after - before) / options.seconds);
  std::printf("\n");
  printMemory(plant.pid(), defaults.pid(), "sessions and browsers");
  passRow("sessions and browsers", plantBrowsed, defaultBrowsed);
  measureApi("sessions and " + std::to_string(options.viewers) + " browsers");

  note("metrics scrapes: " + std::to_string(options.scrapes) + " on each panel, 100 ms apart");
  const auto [plantScrapes, plantBytes] = scrapeTimes(plant.port(), options.scrapes);
  const auto [defaultScrapes, defaultBytes] = scrapeTimes(defaults.port(), options.scrapes);
  if (!plantScrapes.empty() && !defaultScrapes.empty()) {
    const auto scrapeText = [](const std::vector<double>& ms, size_t bytes) {
      return "p50 " + fixed(quantile(ms, 0.5), 2) + ", max " + fixed(ms.back(), 2) + " ms; " +
             fixed(static_cast<double>(bytes) / 1024, 0) + " KiB";
    };
    rows.push_back({"GET /metrics", scrapeText(plantScrapes, plantBytes),
                    scrapeText(defaultScrapes, defaultBytes), "<= 5 ms",
                    met(plantScrapes.back() <= 5) + " (max)"});
  } else {
    rows.push_back({"GET /metrics", "no /metrics in this build", "", "<= 5 ms", "not measured"});
  }

  passRow("the whole run: sessions, API reads, browsers, scrapes", plantBefore, defaultBefore);

  rows.push_back({"panel engine RSS now (peak), sessions + browsers, after API and scrapes",
                  fixed(statusMiB(plant.pid(), "VmRSS"), 1, " MiB") + " (" +
                      fixed(statusMiB(plant.pid(), "VmHWM"), 1, " MiB") + ")",
                  fixed(statusMiB(defaults.pid(), "VmRSS"), 1, " MiB") + " (" +
                      fixed(statusMiB(defaults.pid(), "VmHWM"), 1, " MiB") + ")",
                  "<= 64 MB", met(statusMiB(plant.pid(), "VmHWM") * 1.048576 <= 64) + " (peak)"});
  rows.push_back({"simulator engine RSS (peak)",
                  fixed(statusMiB(simulator.pid(), "VmHWM"), 1, " MiB"), "", "", ""});

  viewers.clear();
  const size_t plantReportsBefore = countReports(paths.plant / "panel" / "reports");
  const size_t defaultReportsBefore = countReports(paths.defaultData / "reports");
  plant.stop();
  defaults.stop();
  rows.push_back(
      {"session reports written at the panel's stop",
       std::to_string(countReports(paths.plant / "panel" / "reports") - plantReportsBefore),
       std::to_string(countReports(paths.defaultData / "reports") - defaultReportsBefore),
       "one per session (32; default 1)", ""});
  for (auto& card : cards)
    if (!card->running()) std::printf("# a loudness card ended early (see its log)\n");
  if (!simulator.running()) std::printf("# the simulator engine ended early (simulators.log)\n");
  note("done");
  printTable(rows);
  if (options.keep.empty()) fs::remove_all(paths.work);
}

std::optional<Options> parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    // What every benchmark is given for a brief run (tools/dev test): the shortest whole run.
    if (word.starts_with("--benchmark_min_time=")) {
      options.rounds = 1;
      options.seconds = 1.0;
      options.rate = 100;
      options.viewers = 2;
      options.apiSeconds = 1.0;
      options.scrapes = 5;
      continue;
    }
    if (i + 1 >= argc) return std::nullopt;
    const std::string value = argv[++i];
    if (word == "--rounds")
      options.rounds = std::max(1, std::stoi(value));
    else if (word == "--seconds")
      options.seconds = std::max(1.0, std::stod(value));
    else if (word == "--rate")
      options.rate = std::max(2, std::stoi(value));
    else if (word == "--viewers")
      options.viewers = std::max(0, std::stoi(value));
    else if (word == "--keep")
      options.keep = value;
    else
      return std::nullopt;
  }
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<Options> options;
  try {
    options = parse(argc, argv);
  } catch (const std::exception&) {
  }
  if (!options) {
    std::fprintf(stderr,
                 "usage: plant_bench [--rounds N] [--seconds S] [--rate R] [--viewers N] "
                 "[--keep DIR]\n");
    return 64;
  }
  try {
    run(*options);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "plant_bench: %s\n", error.what());
    return 1;
  }
  return 0;
}
