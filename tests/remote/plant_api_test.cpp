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
#include <nlohmann/json.hpp>
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

constexpr const char* kViewerPassword = "viewer-secret";
constexpr double kGainMinimum = -60.0;
constexpr double kGainMaximum = 12.0;
constexpr const char* kLive = "Live";
constexpr const char* kNoConnection = "No Conn (1)";
constexpr const char* kRunning = "running";
constexpr const char* kStopped = "stopped";

bool eventually(const std::function<bool()>& condition) {
  const auto end = std::chrono::steady_clock::now() + 10s;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

// The engine's side of the bridge: one device with a gain and a choice, one card, one monitor.
class FakeEngine {
 public:
  explicit FakeEngine(PlantBridge& bridge) : bridge_(bridge), thread_([this] { run(); }) {}
  ~FakeEngine() {
    stop_ = true;
    thread_.join();
  }

  /// While held, requests stay queued unanswered.
  std::atomic<bool> holdRequests{false};

  void change(const std::function<void(PlantSnapshot&)>& edit) {
    std::lock_guard<std::mutex> guard(lock_);
    edit(state_);
  }

 private:
  void run() {
    state_.cards = {{"127.0.92.1:5253/16", "LM card", kLive, true}};
    PlantMonitor monitor;
    monitor.id = 1;
    monitor.name = "Programme";
    monitor.device = "LM 1";
    monitor.state = kStopped;
    monitor.linkUp = true;
    monitor.shortTerm = -23.1;
    state_.monitors = {monitor};
    PlantItem gain{1,   "Gain", "-3.0 dB", -3.0, std::nullopt, {}, kGainMinimum, kGainMaximum,
                   0.5, "dB",   true,      true};
    PlantItem mode{2,
                   "Mode",
                   "Off",
                   std::nullopt,
                   "Off",
                   {"Off", "On"},
                   std::nullopt,
                   std::nullopt,
                   std::nullopt,
                   "",
                   true,
                   true};
    state_.devices = {{1, "Mixer", kLive, true, {{1, "Main", "8-up", {gain, mode}}}}};
    state_.reports = {{"html/programme.html", "Programme", 1765000000, 5}};
    auto lastWatch = std::chrono::steady_clock::now();
    while (!stop_) {
      std::this_thread::sleep_for(1ms);
      if (!holdRequests)
        for (PlantBridge::Pending& pending : bridge_.takeRequests())
          pending.done(answer(pending.request));
      uint32_t parts = bridge_.takeWanted();
      const auto now = std::chrono::steady_clock::now();
      if (bridge_.watchers() > 0 && now - lastWatch >= 100ms) {
        parts |= PlantBridge::kStatus;
        lastWatch = now;
      }
      if (parts == 0) continue;
      auto snapshot = std::make_shared<PlantSnapshot>();
      std::lock_guard<std::mutex> guard(lock_);
      snapshot->parts = parts | PlantBridge::kStatus;
      snapshot->cards = state_.cards;
      snapshot->monitors = state_.monitors;
      if (parts & PlantBridge::kDevices) snapshot->devices = state_.devices;
      if (parts & PlantBridge::kReports) snapshot->reports = state_.reports;
      bridge_.publish(std::move(snapshot));
    }
  }

  PlantReply answer(const PlantRequest& request) {
    std::lock_guard<std::mutex> guard(lock_);
    PlantReply reply;
    if (request.kind != Kind::kSetItem) {
      PlantMonitor& monitor = state_.monitors.front();
      if (request.monitor != monitor.id) return {404, "No monitor", {}, {}};
      monitor.state = request.kind == Kind::kStartSession ? kRunning : kStopped;
      reply.monitor = monitor;
      return reply;
    }
    std::vector<PlantItem>& items = state_.devices.front().pages.front().items;
    if (request.device != 1 || request.page != 1 || request.item < 1 || request.item > 2)
      return {404, "No such item", {}, {}};
    PlantItem& item = items[static_cast<size_t>(request.item - 1)];
    if (request.item == 1) {
      if (!request.number || *request.number < kGainMinimum || *request.number > kGainMaximum)
        return {400, "Out of range", {}, {}};
      item.number = request.number;
      item.shown = std::to_string(*request.number) + " dB";
    } else {
      if (!request.text || (*request.text != "Off" && *request.text != "On"))
        return {400, "No such choice", {}, {}};
      item.choice = request.text;
      item.shown = *request.text;
    }
    reply.item = item;
    return reply;
  }

  PlantBridge& bridge_;
  std::mutex lock_;
  PlantSnapshot state_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

struct Call {
  Call(http::verb verb_, std::string target_, std::string body_ = {})
      : verb(verb_), target(std::move(target_)), body(std::move(body_)) {}
  http::verb verb;
  std::string target;
  std::string body;
  std::string token;
  std::string cookie;
  std::string type = std::string(kJsonType);
  std::string origin;
};

http::response<http::string_body> exchange(uint16_t port, const Call& call) {
  asio::io_context io;
  tcp::socket socket(io);
  socket.connect({asio::ip::make_address("127.0.0.1"), port});
  http::request<http::string_body> request{call.verb, call.target, 11};
  request.set(http::field::host, "127.0.0.1:" + std::to_string(port));
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
    std::ofstream(folder_ / "resources" / "openapi.json") << R"({"openapi":"3.0.3"})";
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

  // Makes a token of `role` named `name`; returns its text.
  std::string makeToken(const std::string& name, Role role) {
    std::string error;
    std::optional<ApiTokens> tokens =
        ApiTokens::load((folder_ / ApiTokens::kFileName).string(), error);
    const std::optional<std::string> made = tokens->add(name, role, error);
    EXPECT_EQ(tokens->save((folder_ / ApiTokens::kFileName).string()), "");
    return made.value_or("");
  }

  std::filesystem::path folder_;
  AppContext context_;
  std::optional<FakeEngine> engine_;
  std::optional<RemoteServer> server_;
};

TEST_F(PlantApiTest, TokensAndSessionsGrantTheirRolesAndTokensNeverReachTheLog) {
  const std::string operatorToken = makeToken("show-control", Role::kOperator);
  const std::string viewerToken = makeToken("dashboard", Role::kViewer);
  Credentials credentials;
  ASSERT_TRUE(credentials.set(Role::kViewer, kViewerPassword));
  ASSERT_EQ(credentials.save((folder_ / Credentials::kFileName).string()), "");
  const uint16_t port = start();
  const int32_t firstLog = messageCount();
  const Call put{http::verb::put, "/api/devices/1/pages/1/items/1", R"({"value":-6})"};
  const auto as = [](Call call, std::string token) {
    call.token = std::move(token);
    return call;
  };

  EXPECT_EQ(exchange(port, {http::verb::get, "/api/monitors"}).result(),
            http::status::unauthorized);
  EXPECT_EQ(
      exchange(port, as({http::verb::get, "/api/monitors"}, "forged" + operatorToken)).result(),
      http::status::unauthorized);
  EXPECT_EQ(exchange(port, as({http::verb::get, "/api/monitors"}, viewerToken)).result(),
            http::status::ok);
  EXPECT_EQ(exchange(port, as(put, viewerToken)).result(), http::status::forbidden);
  EXPECT_EQ(exchange(port, as(put, operatorToken)).result(), http::status::ok);
  Call foreign = as(put, operatorToken);
  foreign.origin = "http://evil.example";
  EXPECT_EQ(exchange(port, foreign).result(), http::status::forbidden);
  const auto metrics =
      exchange(port, as({http::verb::get, std::string(kMetricsPath)}, viewerToken));
  EXPECT_EQ(metrics.result(), http::status::ok);
  EXPECT_EQ(std::string(metrics[http::field::content_type]), kMetricsType);

  // A logged-in browser reads with its session's role.
  Call form{http::verb::post, "/login", std::string("password=") + kViewerPassword};
  form.type = "application/x-www-form-urlencoded";
  const auto login = exchange(port, form);
  const std::string setCookie(login[http::field::set_cookie]);
  Call byCookie{http::verb::get, "/api/cards"};
  byCookie.cookie = setCookie.substr(0, setCookie.find(';'));
  EXPECT_EQ(exchange(port, byCookie).result(), http::status::ok);

  // A revoked token stops working without a restart.
  std::string error;
  std::optional<ApiTokens> tokens =
      ApiTokens::load((folder_ / ApiTokens::kFileName).string(), error);
  ASSERT_TRUE(tokens && tokens->revoke("dashboard"));
  ASSERT_EQ(tokens->save((folder_ / ApiTokens::kFileName).string()), "");
  EXPECT_TRUE(eventually([&] {
    return exchange(port, as({http::verb::get, "/api/monitors"}, viewerToken)).result() ==
           http::status::unauthorized;
  }));

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
  const uint16_t port = start();
  const Json monitors = body(exchange(port, {http::verb::get, "/api/monitors"}));
  ASSERT_TRUE(monitors.is_object());
  EXPECT_GT(monitors["sequence"].get<uint64_t>(), 0u);
  const Json& monitor = monitors["monitors"].at(0);
  EXPECT_EQ(monitor["id"], 1);
  EXPECT_EQ(monitor["state"], kStopped);
  EXPECT_TRUE(monitor["momentary"].is_null());
  EXPECT_DOUBLE_EQ(monitor["shortTerm"].get<double>(), -23.1);
  EXPECT_TRUE(monitor["errors"].is_object());
  EXPECT_EQ(body(exchange(port, {http::verb::get, "/api/monitors/1"})), monitor);

  const Json devices = body(exchange(port, {http::verb::get, "/api/devices"}));
  const Json& gain = devices["devices"].at(0)["pages"].at(0)["items"].at(0);
  EXPECT_EQ(gain["name"], "Gain");
  EXPECT_DOUBLE_EQ(gain["minimum"].get<double>(), kGainMinimum);
  EXPECT_TRUE(gain["choice"].is_null());
  const Json mode =
      body(exchange(port, {http::verb::get, "/api/devices/1"}))["pages"][0]["items"][1];
  EXPECT_EQ(mode["choice"], "Off");
  EXPECT_EQ(mode["choices"], Json::array({"Off", "On"}));
  EXPECT_EQ(body(exchange(port, {http::verb::get, "/api/cards"}))["cards"][0]["link"], kLive);

  const Json reports = body(exchange(port, {http::verb::get, "/api/reports"}));
  const std::string url = reports["reports"].at(0)["url"];
  const auto report = exchange(port, {http::verb::get, url});
  EXPECT_EQ(report.result(), http::status::ok);
  EXPECT_EQ(report.body(), "<p>");
  EXPECT_EQ(exchange(port, {http::verb::get, "/api/openapi.json"}).result(), http::status::ok);

  // What is not there, a path outside the folder, and the wrong method.
  EXPECT_EQ(exchange(port, {http::verb::get, "/api/devices/7"}).result(), http::status::not_found);
  EXPECT_EQ(exchange(port, {http::verb::get, "/api/monitors/99"}).result(),
            http::status::not_found);
  EXPECT_EQ(exchange(port, {http::verb::get, "/api/reports/..%2Fremote-passwords"}).result(),
            http::status::not_found);
  EXPECT_EQ(exchange(port, {http::verb::get, "/api/reports/html/other.html"}).result(),
            http::status::not_found);
  const auto wrong = exchange(port, {http::verb::delete_, "/api/monitors"});
  EXPECT_EQ(wrong.result(), http::status::method_not_allowed);
  EXPECT_TRUE(body(wrong)["error"].is_string());
}

TEST_F(PlantApiTest, WritesGoThroughTheEngineAndLaterReadsShowThem) {
  const uint16_t port = start();
  const std::string item = "/api/devices/1/pages/1/items/";
  // Read first: the snapshot this read is answered from is fresh, but older than the write.
  ASSERT_EQ(exchange(port, {http::verb::get, "/api/devices/1"}).result(), http::status::ok);
  auto set = exchange(port, {http::verb::put, item + "1", R"({"value": -6.5})"});
  ASSERT_EQ(set.result(), http::status::ok) << set.body();
  EXPECT_DOUBLE_EQ(body(set)["number"].get<double>(), -6.5);
  const Json device = body(exchange(port, {http::verb::get, "/api/devices/1"}));
  EXPECT_DOUBLE_EQ(device["pages"][0]["items"][0]["number"].get<double>(), -6.5);

  set = exchange(port, {http::verb::put, item + "2", R"({"value":"On"})"});
  EXPECT_EQ(body(set)["choice"], "On");
  set = exchange(port, {http::verb::put, item + "1", R"({"value": 99})"});
  EXPECT_EQ(set.result(), http::status::bad_request);
  EXPECT_EQ(body(set)["error"], "Out of range");
  EXPECT_EQ(exchange(port, {http::verb::put, item + "9", R"({"value":1})"}).result(),
            http::status::not_found);

  const auto started = exchange(port, {http::verb::post, "/api/monitors/1/start"});
  EXPECT_EQ(body(started)["state"], kRunning);
  EXPECT_EQ(body(exchange(port, {http::verb::get, "/api/monitors/1"}))["state"], kRunning);
}

TEST_F(PlantApiTest, BadBodiesAreRefusedBeforeTheEngineSeesThem) {
  const uint16_t port = start();
  const std::string item = "/api/devices/1/pages/1/items/1";
  for (const std::string& bad : std::vector<std::string>{
           "not json", "[1]", R"({"value":true})", R"({"value":null})", R"({"value":1,"x":2})",
           R"({"other":1})", R"({"value":")" + std::string(kMostValueBytes + 1, 'a') + "\"}",
           R"({"value":1e999})"}) {
    const auto response = exchange(port, {http::verb::put, item, bad});
    EXPECT_EQ(response.result(), http::status::bad_request) << bad;
    EXPECT_TRUE(body(response)["error"].is_string()) << bad;
  }
  Call plain{http::verb::put, item, R"({"value":1})"};
  plain.type = "text/plain";
  EXPECT_EQ(exchange(port, plain).result(), http::status::unsupported_media_type);
  const std::string huge = R"({"value":")" + std::string(4000, 'a') + "\"}";
  EXPECT_EQ(exchange(port, {http::verb::put, item, huge}).result(),
            http::status::payload_too_large);
  for (const char* path : {"/api/devices/1/pages/x/items/1", "/api/devices/-1",
                           "/api/devices/12345678901", "/api/monitors/1/explode"})
    EXPECT_EQ(exchange(port, {http::verb::get, path}).result(), http::status::not_found) << path;
}

TEST_F(PlantApiTest, RequestsTheEngineLeavesAreAnsweredOrDroppedSafely) {
  // No publication at all: a read gives up after its bound.
  uint16_t port = start(false);
  const auto nothing = exchange(port, {http::verb::get, "/api/monitors"});
  EXPECT_EQ(nothing.result(), http::status::service_unavailable);
  EXPECT_TRUE(body(nothing)["error"].is_string());
  server_.reset();

  // A write waiting for the engine when the server stops; the engine answers afterwards.
  port = start();
  engine_->holdRequests = true;
  asio::io_context io;
  tcp::socket socket(io);
  socket.connect({asio::ip::make_address("127.0.0.1"), port});
  http::request<http::string_body> put{http::verb::put, "/api/devices/1/pages/1/items/1", 11};
  put.set(http::field::host, "127.0.0.1");
  put.set(http::field::content_type, std::string(kJsonType));
  put.body() = R"({"value":-1})";
  put.prepare_payload();
  http::write(socket, put);
  ASSERT_TRUE(eventually([&] { return context_.plant.hasRequests(); }));
  server_->stop();
  engine_->holdRequests = false;
  EXPECT_TRUE(eventually([&] { return !context_.plant.hasRequests(); }));
  server_.reset();
}

// An API client's WebSocket.
class EventReader {
 public:
  EventReader() : socket_(io_) {}
  bool open(uint16_t port, const std::string& target, const std::string& origin = {}) {
    socket_.next_layer().connect({asio::ip::make_address("127.0.0.1"), port});
    socket_.set_option(websocket::stream_base::decorator([=](websocket::request_type& request) {
      if (!origin.empty()) request.set(http::field::origin, origin);
    }));
    beast::error_code error;
    socket_.handshake("127.0.0.1:" + std::to_string(port), target, error);
    return !error;
  }
  /// The next message of `type`, skipping others.
  Json next(const std::string& type) {
    for (;;) {
      beast::flat_buffer buffer;
      beast::error_code error;
      socket_.read(buffer, error);
      if (error) return nullptr;
      Json event = Json::parse(beast::buffers_to_string(buffer.cdata()), nullptr, false);
      if (event["type"] == type) return event;
    }
  }

 private:
  asio::io_context io_;
  websocket::stream<tcp::socket> socket_;
};

TEST_F(PlantApiTest, TheEventStreamTellsLinksSessionsErrorsAndValues) {
  const uint16_t port = start();
  EventReader foreign;
  EXPECT_FALSE(foreign.open(port, std::string(kEventsPath), "http://evil.example"));
  EventReader reader;
  ASSERT_TRUE(reader.open(port, std::string(kEventsPath) + "?values=1"));
  ASSERT_TRUE(eventually([&] { return context_.plant.watchers() == 1; }));
  std::this_thread::sleep_for(250ms);  // the baselines: a status and a devices publication

  engine_->change([](PlantSnapshot& state) {
    state.cards.front().link = kNoConnection;
    state.cards.front().linkUp = false;
    state.monitors.front().state = kRunning;
    state.monitors.front().errorSequence = 1;
    state.monitors.front().lastError = "True peak over";
    state.monitors.front().errors = {{"truePeak", 1}};
  });
  EXPECT_EQ(reader.next("link")["link"], kNoConnection);
  const Json session = reader.next("session");
  EXPECT_EQ(session["state"], kRunning);
  EXPECT_EQ(session["previous"], kStopped);
  EXPECT_EQ(reader.next("error")["errors"]["truePeak"], 1);

  ASSERT_EQ(exchange(port, {http::verb::put, "/api/devices/1/pages/1/items/1", R"({"value":2})"})
                .result(),
            http::status::ok);
  const Json value = reader.next("value");
  EXPECT_EQ(value["item"], 1);
  EXPECT_DOUBLE_EQ(value["number"].get<double>(), 2.0);
}

}  // namespace
}  // namespace qelm::remote
