// The plant's API on a real server over loopback, with the test's thread playing the engine:
// it publishes snapshots when asked and answers requests as the engine would.
#if defined(__SANITIZE_THREAD__)
#pragma GCC diagnostic ignored "-Wtsan"
#endif
#include "remote/plant_api.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "core/log.h"
#include "remote/api_tokens.h"
#include "remote/credentials.h"
#include "remote/remote_server.h"

namespace qelm::remote {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using Json = nlohmann::json;
using namespace std::chrono_literals;
using Kind = PlantRequest::Kind;
using Verb = http::verb;
using Status = http::status;

constexpr const char* kViewerPassword = "viewer-secret";
constexpr double kGainMinimum = -60.0;
constexpr double kGainMaximum = 12.0;
constexpr const char* kLive = "Live";
constexpr const char* kNoConnection = "No Conn (1)";
constexpr const char* kRunning = "running";
constexpr const char* kStopped = "stopped";
constexpr const char* kGainItem = "/api/devices/1/pages/1/items/1";

bool eventually(const std::function<bool()>& condition) {
  const auto end = std::chrono::steady_clock::now() + 10s;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

// The engine's side of the bridge: a device with a gain and a choice, a second device, one card,
// one monitor.
class FakeEngine {
 public:
  explicit FakeEngine(PlantBridge& bridge) : bridge_(bridge) {
    state_.cards = std::make_shared<const std::vector<PlantCard>>(
        std::vector<PlantCard>{{"127.0.92.1:5253/16", "LM card", kLive, true}});
    PlantMonitor monitor;
    monitor.id = 1;
    monitor.state = kStopped;
    monitor.shortTerm = -23.1;
    state_.monitors = {monitor};
    const PlantItem gain{1,   "Gain", "-3.0 dB", -3.0, {}, {}, kGainMinimum, kGainMaximum,
                         0.5, "dB",   true,      true};
    const PlantItem mode{2, "Mode", "Off", {}, "Off", {"Off", "On"}, {}, {}, {}, "", true, true};
    state_.devices = {{1, "Mixer", kLive, true, {{1, "Main", "8-up", {gain, mode}}}},
                      {2, "Router", kLive, true, {{1, "Main", "8-up", {mode}}}}};
    state_.reports = {{"html/programme.html", "Programme", 1765000000, 3}};
    thread_ = std::thread([this] { run(); });
  }
  ~FakeEngine() {
    stop_ = true;
    thread_.join();
  }

  /// While held, requests stay queued unanswered.
  std::atomic<bool> holdRequests{false};
  /// While held, what is wanted is gathered and published once let go.
  std::atomic<bool> holdPublications{false};

  /// The device numbers asked for and not yet published; those of each publication.
  std::set<int32_t> asked() {
    std::lock_guard<std::mutex> guard(lock_);
    return numbers_;
  }
  std::vector<std::set<int32_t>> publications() {
    std::lock_guard<std::mutex> guard(lock_);
    return publications_;
  }

  void change(const std::function<void(PlantSnapshot&)>& edit) {
    std::lock_guard<std::mutex> guard(lock_);
    edit(state_);
  }

 private:
  void run() {
    auto lastWatch = std::chrono::steady_clock::now();
    while (!stop_) {
      std::this_thread::sleep_for(1ms);
      if (!holdRequests)
        for (PlantBridge::Pending& pending : bridge_.takeRequests())
          pending.done(answer(pending.request));
      std::lock_guard<std::mutex> guard(lock_);
      parts_ |= bridge_.takeWanted();
      if (parts_ & PlantBridge::kSomeDevices)
        for (const int32_t number : bridge_.takeWantedDevices())
          numbers_.insert(number);
      if (bridge_.watchers() > 0 && std::chrono::steady_clock::now() - lastWatch >= 100ms) {
        parts_ |= PlantBridge::kStatus;
        lastWatch = std::chrono::steady_clock::now();
      }
      if (parts_ == 0 || holdPublications) continue;
      auto snapshot = std::make_shared<PlantSnapshot>(state_);
      snapshot->parts = parts_ | PlantBridge::kStatus;
      if ((parts_ & PlantBridge::kDevices) == 0) {
        std::erase_if(snapshot->devices,
                      [&](const PlantDevice& d) { return !numbers_.count(d.number); });
        snapshot->deviceNumbers.assign(numbers_.begin(), numbers_.end());
      }
      if ((parts_ & PlantBridge::kReports) == 0) snapshot->reports.clear();
      publications_.push_back(numbers_);
      parts_ = 0;
      numbers_.clear();
      bridge_.publish(std::move(snapshot));
    }
  }

  PlantReply answer(const PlantRequest& request) {
    std::lock_guard<std::mutex> guard(lock_);
    if (request.kind != Kind::kSetItem) {
      state_.monitors[0].state = request.kind == Kind::kStartSession ? kRunning : kStopped;
      return {200, "", {}, state_.monitors[0]};
    }
    PlantItem& item = state_.devices[0].pages[0].items[static_cast<size_t>(request.item - 1)];
    if (request.item == 2 && request.text) {
      item.choice = item.shown = *request.text;
    } else if (request.number && *request.number >= kGainMinimum &&
               *request.number <= kGainMaximum) {
      item.number = request.number;
      item.shown = std::to_string(*request.number) + " dB";
    } else {
      return {400, "Out of range", {}, {}};
    }
    return {200, "", item, {}};
  }

  PlantBridge& bridge_;
  std::mutex lock_;
  PlantSnapshot state_;
  uint32_t parts_ = 0;  // wanted, not yet published
  std::set<int32_t> numbers_;
  std::vector<std::set<int32_t>> publications_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

struct Call {
  Call(Verb verb_, std::string target_, std::string body_ = {})
      : verb(verb_), target(std::move(target_)), body(std::move(body_)) {}
  Verb verb;
  std::string target;
  std::string body;
  std::string token;
  std::string cookie;
  std::string type = std::string(kJsonType);
  std::string origin;
  std::string host;
};

http::response<http::string_body> exchange(uint16_t port, const Call& call) {
  asio::io_context io;
  tcp::socket socket(io);
  socket.connect({asio::ip::make_address("127.0.0.1"), port});
  http::request<http::string_body> request{call.verb, call.target, 11};
  request.set(http::field::host,
              call.host.empty() ? "127.0.0.1:" + std::to_string(port) : call.host);
  if (!call.token.empty()) request.set(http::field::authorization, "Bearer " + call.token);
  if (!call.cookie.empty()) request.set(http::field::cookie, call.cookie);
  if (!call.origin.empty()) request.set(http::field::origin, call.origin);
  if (!call.body.empty()) request.set(http::field::content_type, call.type);
  request.body() = call.body;
  request.prepare_payload();
  http::write(socket, request);
  beast::flat_buffer buffer;
  http::response<http::string_body> response;
  beast::error_code error;
  http::read(socket, buffer, response, error);
  return response;
}

Json body(const http::response<http::string_body>& response) {
  return Json::parse(response.body(), nullptr, false);
}

class PlantApiTest : public ::testing::Test {
 protected:
  PlantApiTest()
      : folder_(std::filesystem::temp_directory_path() /
                ("plant_api_test_" + std::to_string(::getpid()))),
        context_(Folders{folder_.string() + "/", folder_.string() + "/", folder_.string() + "/"}) {
    std::filesystem::remove_all(folder_);
    std::filesystem::create_directories(folder_ / "resources");
    std::filesystem::create_directories(folder_ / "reports" / "html");
    std::ofstream(folder_ / "reports" / "html" / "programme.html") << "<p>";
  }
  ~PlantApiTest() override {
    server_.reset();
    engine_.reset();
    std::filesystem::remove_all(folder_);
  }

  uint16_t start(bool withEngine = true) {
    if (withEngine) engine_.emplace(context_.plant);
    RemoteOptions options;
    options.dataFolder = folder_.string() + "/";
    options.resourceFolder = (folder_ / "resources").string() + "/";
    server_.emplace(context_, options);
    EXPECT_EQ(server_->start(), "");
    return server_->port();
  }

  Status status(const Call& call) { return exchange(server_->port(), call).result(); }
  Json json(const Call& call) { return body(exchange(server_->port(), call)); }

  std::string tokensPath() const { return (folder_ / ApiTokens::kFileName).string(); }

  std::filesystem::path folder_;
  AppContext context_;
  std::optional<FakeEngine> engine_;
  std::optional<RemoteServer> server_;
};

TEST_F(PlantApiTest, TokensAndSessionsGrantTheirRolesAndTokensNeverReachTheLog) {
  std::string error;
  ApiTokens tokens;
  const std::string operatorToken = *tokens.add("show-control", Role::kOperator, error);
  const std::string viewerToken = *tokens.add("dashboard", Role::kViewer, error);
  ASSERT_EQ(tokens.save(tokensPath()), "");
  Credentials credentials;
  ASSERT_TRUE(credentials.set(Role::kViewer, kViewerPassword));
  ASSERT_EQ(credentials.save((folder_ / Credentials::kFileName).string()), "");
  const uint16_t port = start();
  const int32_t firstLog = messageCount();
  const auto as = [](Call call, std::string token, std::string origin = {}) {
    call.token = std::move(token);
    call.origin = std::move(origin);
    return call;
  };
  const Call read{Verb::get, "/api/monitors"};
  const Call write{Verb::put, kGainItem, R"({"value":-6})"};

  EXPECT_EQ(status(read), Status::unauthorized);
  EXPECT_EQ(status(as(read, "forged" + operatorToken)), Status::unauthorized);
  EXPECT_EQ(status(as(read, viewerToken)), Status::ok);
  EXPECT_EQ(status(as(write, viewerToken)), Status::forbidden);
  EXPECT_EQ(status(as(write, operatorToken)), Status::ok);
  EXPECT_EQ(status(as(write, operatorToken, "http://evil.example")), Status::forbidden);
  EXPECT_EQ(status(as({Verb::get, std::string(kMetricsPath)}, viewerToken)), Status::ok);

  // A logged-in browser reads with its session's role.
  Call form{Verb::post, "/login", std::string("password=") + kViewerPassword};
  form.type = "application/x-www-form-urlencoded";
  const std::string setCookie(exchange(port, form)[http::field::set_cookie]);
  Call byCookie{Verb::get, "/api/cards"};
  byCookie.cookie = setCookie.substr(0, setCookie.find(';'));
  EXPECT_EQ(status(byCookie), Status::ok);

  // A revoked token stops working without a restart.
  ASSERT_TRUE(tokens.revoke("dashboard"));
  ASSERT_EQ(tokens.save(tokensPath()), "");
  EXPECT_TRUE(eventually([&] { return status(as(read, viewerToken)) == Status::unauthorized; }));
  EXPECT_EQ(status(as(read, operatorToken)), Status::ok);

  bool refusalLogged = false;
  for (int32_t number = firstLog; number < messageCount(); ++number) {
    const std::string line = messageText(number);
    EXPECT_EQ(line.find(operatorToken), std::string::npos) << line;
    EXPECT_EQ(line.find(viewerToken), std::string::npos) << line;
    refusalLogged |= line.find("unknown token") != std::string::npos;
  }
  EXPECT_TRUE(refusalLogged);
}

TEST_F(PlantApiTest, ReadsAnswerTheEnginesSnapshotInTheAgreedShape) {
  start();
  const Json monitors = json({Verb::get, "/api/monitors"});
  EXPECT_GT(monitors["sequence"].get<uint64_t>(), 0u);
  const Json& monitor = monitors["monitors"].at(0);
  EXPECT_EQ(monitor["state"], kStopped);
  EXPECT_TRUE(monitor["momentary"].is_null());
  EXPECT_DOUBLE_EQ(monitor["shortTerm"].get<double>(), -23.1);
  EXPECT_TRUE(monitor["errors"].is_object());
  EXPECT_EQ(json({Verb::get, "/api/monitors/1"}), monitor);

  const Json items = json({Verb::get, "/api/devices"})["devices"].at(0)["pages"].at(0)["items"];
  EXPECT_DOUBLE_EQ(items.at(0)["minimum"].get<double>(), kGainMinimum);
  EXPECT_TRUE(items.at(0)["choice"].is_null());
  EXPECT_EQ(items.at(1)["choices"], Json::array({"Off", "On"}));
  EXPECT_EQ(json({Verb::get, "/api/devices/1"})["pages"][0]["items"], items);
  EXPECT_EQ(json({Verb::get, "/api/cards"})["cards"].at(0)["link"], kLive);
  const std::string url = json({Verb::get, "/api/reports"})["reports"].at(0)["url"];
  EXPECT_EQ(exchange(server_->port(), {Verb::get, url}).body(), "<p>");

  // What is not there, a path out of the report folder, and the wrong method.
  for (const char* missing :
       {"/api/devices/7", "/api/monitors/99", "/api/nothing", "/api/reports/..%2Fremote-passwords",
        "/api/reports/html/x.html", "/api/devices/1/pages/x/items/1", "/api/devices/12345678901"})
    EXPECT_EQ(status({Verb::get, missing}), Status::not_found) << missing;
  EXPECT_EQ(json({Verb::delete_, "/api/monitors"})["error"].type(), Json::value_t::string);

  // Open to all, only requests sent to a loopback name are answered.
  Call rebound{Verb::get, "/api/monitors"};
  rebound.host = "attacker.example";
  EXPECT_EQ(status(rebound), Status::unauthorized);
}

TEST_F(PlantApiTest, DeviceReadsWaitingTogetherAskForTheirDevicesOnlyAndShareAPublication) {
  start();
  engine_->holdPublications = true;
  Json mixer;
  Json router;
  std::thread first([&] { mixer = json({Verb::get, "/api/devices/1"}); });
  std::thread second([&] { router = json({Verb::get, "/api/devices/2"}); });
  const bool bothAsked = eventually([&] { return engine_->asked().size() == 2; });
  engine_->holdPublications = false;
  first.join();
  second.join();
  ASSERT_TRUE(bothAsked) << "each read asks for its device, not the whole list";
  EXPECT_EQ(mixer["name"], "Mixer");
  EXPECT_EQ(router["name"], "Router");
  EXPECT_EQ(engine_->publications(), (std::vector<std::set<int32_t>>{{1, 2}}));
}

TEST_F(PlantApiTest, WritesGoThroughTheEngineAndLaterReadsShowThem) {
  start();
  // Read first: the snapshot this read is answered from is fresh, but older than the write.
  ASSERT_EQ(status({Verb::get, "/api/devices/1"}), Status::ok);
  EXPECT_DOUBLE_EQ(json({Verb::put, kGainItem, R"({"value": -6.5})"})["number"].get<double>(),
                   -6.5);
  EXPECT_DOUBLE_EQ(
      json({Verb::get, "/api/devices/1"})["pages"][0]["items"][0]["number"].get<double>(), -6.5);
  EXPECT_EQ(json({Verb::put, "/api/devices/1/pages/1/items/2", R"({"value":"On"})"})["choice"],
            "On");
  const auto refused = exchange(server_->port(), {Verb::put, kGainItem, R"({"value": 99})"});
  EXPECT_EQ(refused.result(), Status::bad_request);
  EXPECT_EQ(body(refused)["error"], "Out of range");

  // The list of monitors too, whose answer is kept for the snapshot it was made from.
  EXPECT_EQ(json({Verb::get, "/api/monitors"})["monitors"][0]["state"], kStopped);
  EXPECT_EQ(json({Verb::post, "/api/monitors/1/start"})["state"], kRunning);
  EXPECT_EQ(json({Verb::get, "/api/monitors/1"})["state"], kRunning);
  EXPECT_EQ(json({Verb::get, "/api/monitors"})["monitors"][0]["state"], kRunning);
}

TEST_F(PlantApiTest, BadBodiesAreRefusedBeforeTheEngineSeesThem) {
  start();
  engine_->holdRequests = true;
  for (const std::string& bad : std::vector<std::string>{
           "not json", "[1]", R"({"value":true})", R"({"value":null})", R"({"value":1,"x":2})",
           R"({"other":1})", R"({"value":")" + std::string(kMostValueBytes + 1, 'a') + "\"}",
           R"({"value":1e999})"}) {
    const auto response = exchange(server_->port(), {Verb::put, kGainItem, bad});
    EXPECT_EQ(response.result(), Status::bad_request) << bad;
    EXPECT_TRUE(body(response)["error"].is_string()) << bad;
  }
  Call plain{Verb::put, kGainItem, R"({"value":1})"};
  plain.type = "text/plain";
  EXPECT_EQ(status(plain), Status::unsupported_media_type);
  const std::string huge = R"({"value":")" + std::string(4000, 'a') + "\"}";
  EXPECT_EQ(status({Verb::put, kGainItem, huge}), Status::payload_too_large);
  EXPECT_FALSE(context_.plant.hasRequests());
}

TEST_F(PlantApiTest, RequestsTheEngineLeavesAreAnsweredOrDroppedSafely) {
  // No publication at all: a read gives up after its bound; the metrics need none.
  start(false);
  EXPECT_EQ(status({Verb::get, "/api/monitors"}), Status::service_unavailable);
  EXPECT_EQ(status({Verb::get, std::string(kMetricsPath)}), Status::ok);
  server_.reset();

  // A write waiting for the engine when the server stops; the engine answers afterwards.
  const uint16_t port = start();
  engine_->holdRequests = true;
  asio::io_context io;
  tcp::socket socket(io);
  socket.connect({asio::ip::make_address("127.0.0.1"), port});
  http::request<http::string_body> put{Verb::put, kGainItem, 11};
  put.set(http::field::host, "127.0.0.1");
  put.set(http::field::content_type, std::string(kJsonType));
  put.body() = R"({"value":-1})";
  put.prepare_payload();
  http::write(socket, put);
  ASSERT_TRUE(eventually([&] { return context_.plant.hasRequests(); }));
  server_->stop();
  engine_->holdRequests = false;
  EXPECT_TRUE(eventually([&] { return !context_.plant.hasRequests(); }));
}

TEST_F(PlantApiTest, AReadOutwaitsAnEngineLateToPublishInsteadOfFailing) {
  // A pass held up for longer than a read's usual wait (a busy machine): the read has no
  // snapshot of its device to fall back on, and is answered once the engine publishes.
  start();
  engine_->holdPublications = true;
  auto read = std::async(std::launch::async, [&] { return status({Verb::get, "/api/devices/2"}); });
  std::this_thread::sleep_for(300ms);
  engine_->holdPublications = false;
  EXPECT_EQ(read.get(), Status::ok);
}

TEST_F(PlantApiTest, TheEventStreamTellsLinksSessionsErrorsAndValues) {
  const uint16_t port = start();
  asio::io_context io;
  websocket::stream<tcp::socket> socket(io);
  socket.next_layer().connect({asio::ip::make_address("127.0.0.1"), port});
  socket.handshake("127.0.0.1", std::string(kEventsPath) + "?values=1");
  const auto next = [&](const std::string& type) {
    for (;;) {
      beast::flat_buffer buffer;
      beast::error_code error;
      socket.read(buffer, error);
      if (error) return Json();
      Json event = Json::parse(beast::buffers_to_string(buffer.cdata()), nullptr, false);
      if (event["type"] == type) return event;
    }
  };
  ASSERT_TRUE(eventually([&] { return context_.plant.watchers() == 1; }));
  std::this_thread::sleep_for(250ms);  // the baselines: a status and a devices publication

  engine_->change([](PlantSnapshot& state) {
    // The engine makes a new list of cards when a link changes.
    auto cards = *state.cards;
    cards[0].link = kNoConnection;
    state.cards = std::make_shared<const std::vector<PlantCard>>(std::move(cards));
    state.monitors[0].state = kRunning;
    state.monitors[0].errorSequence = 1;
    state.monitors[0].errors = {{"truePeak", 1}};
  });
  EXPECT_EQ(next("link")["link"], kNoConnection);
  EXPECT_EQ(next("session")["previous"], kStopped);
  EXPECT_EQ(next("error")["errors"]["truePeak"], 1);
  ASSERT_EQ(status({Verb::put, kGainItem, R"({"value":2})"}), Status::ok);
  const Json value = next("value");
  EXPECT_EQ(value["item"], 1);
  EXPECT_DOUBLE_EQ(value["number"].get<double>(), 2.0);
}

}  // namespace
}  // namespace qelm::remote
