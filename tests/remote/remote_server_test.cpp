// Asio fences its handler calls with std::atomic_thread_fence, which ThreadSanitizer does not
// model (g++ refuses it under -Werror=tsan); every hand-over of a handler between threads also
// passes the scheduler's mutex, which it does see.
#if defined(__SANITIZE_THREAD__)
#pragma GCC diagnostic ignored "-Wtsan"
#endif
#include "remote/remote_server.h"

#include <gtest/gtest.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sodium.h>
#include <zlib.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <thread>

#include "core/log.h"
#include "core/raster_geometry.h"
#include "remote/client_message.h"
#include "remote/credentials.h"
#include "remote/screen_codec.h"

namespace qelm::remote {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;

constexpr const char* kOperatorPassword = "op&secret word";
constexpr const char* kViewerPassword = "viewer-secret";
constexpr const char* kIndexPage = "<html>panel</html>";
constexpr const char* kLoginPage = "<form><!--failed--><input name=password></form>";
// A second client address of our own on loopback.
constexpr const char* kOtherAddress = "127.0.91.2";

bool eventually(const std::function<bool()>& condition) {
  const auto end = std::chrono::steady_clock::now() + 10s;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

// Counts the notices the server passes on.
class CountingNotifier final : public ScreenNotifier {
 public:
  void screenChanged() override { ++count; }
  std::atomic<int> count{0};
};

struct Rectangle {
  int x, y, width, height;
  friend bool operator==(const Rectangle&, const Rectangle&) = default;
};

uint32_t little(const std::string& bytes, size_t at, int count) {
  uint32_t value = 0;
  for (int i = count - 1; i >= 0; --i)
    value = value << 8 | static_cast<uint8_t>(bytes.at(at + static_cast<size_t>(i)));
  return value;
}

// Paints a screen update into `picture` (kViewWidth pixels a row) as the page would; returns
// its rectangles.
std::vector<Rectangle> paintUpdate(const std::string& bytes, std::vector<uint32_t>& picture) {
  std::vector<Rectangle> rectangles;
  EXPECT_EQ(static_cast<uint8_t>(bytes.at(0)), kScreenUpdateKind);
  size_t at = kUpdateHeaderBytes;
  for (uint32_t i = 0, count = little(bytes, 18, 2); i < count; ++i) {
    const Rectangle r{
        static_cast<int>(little(bytes, at, 2)), static_cast<int>(little(bytes, at + 2, 2)),
        static_cast<int>(little(bytes, at + 4, 2)), static_cast<int>(little(bytes, at + 6, 2))};
    const uint32_t length = little(bytes, at + 8, 4);
    at += kRectangleHeaderBytes;
    std::vector<uint8_t> rgb(static_cast<size_t>(r.width) * r.height * 3);
    uLongf size = static_cast<uLongf>(rgb.size());
    EXPECT_EQ(
        uncompress(rgb.data(), &size, reinterpret_cast<const Bytef*>(bytes.data() + at), length),
        Z_OK);
    at += length;
    const uint8_t* from = rgb.data();
    for (int y = r.y; y < r.y + r.height; ++y)
      for (int x = r.x; x < r.x + r.width; ++x, from += 3)
        picture.at(static_cast<size_t>(y) * kViewWidth + x) =
            static_cast<uint32_t>(from[0]) << 16 | from[1] << 8 | from[2];
    rectangles.push_back(r);
  }
  return rectangles;
}

// A request to the server on `port` as a browser sends it (a POST's body is a form).
http::request<http::string_body> requestFor(uint16_t port, http::verb verb,
                                            const std::string& target,
                                            const std::string& cookie = {},
                                            const std::string& body = {}) {
  http::request<http::string_body> request{verb, target, 11};
  request.set(http::field::host, "127.0.0.1:" + std::to_string(port));
  if (!cookie.empty()) request.set(http::field::cookie, cookie);
  if (verb == http::verb::post)
    request.set(http::field::content_type, "application/x-www-form-urlencoded");
  request.body() = body;
  request.prepare_payload();
  return request;
}

// One HTTP exchange on a connection of its own, from `from` when given.
http::response<http::string_body> exchange(uint16_t port, http::verb verb,
                                           const std::string& target,
                                           const std::string& cookie = {},
                                           const std::string& body = {},
                                           const char* from = nullptr) {
  asio::io_context io;
  tcp::socket socket(io);
  socket.open(tcp::v4());
  if (from != nullptr) socket.bind({asio::ip::make_address(from), 0});
  socket.connect({asio::ip::make_address("127.0.0.1"), port});
  http::write(socket, requestFor(port, verb, target, cookie, body));
  beast::flat_buffer buffer;
  http::response<http::string_body> response;
  beast::error_code error;
  http::read(socket, buffer, response, error);
  return response;
}

// The form body of a login with `password`, escaped as a browser does.
std::string loginForm(const std::string& password) {
  std::string body = "password=";
  for (const char c : password) {
    if (std::isalnum(static_cast<unsigned char>(c)) || c == '-') {
      body += c;
    } else if (c == ' ') {
      body += '+';
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned char>(c));
      body += escaped;
    }
  }
  return body;
}

// The "name=value" part of a Set-Cookie header, for a Cookie header.
std::string cookieOf(const http::response<http::string_body>& response) {
  const std::string setCookie(response[http::field::set_cookie]);
  return setCookie.substr(0, setCookie.find(';'));
}

// The answer to a WebSocket upgrade with `cookie` and `origin` (each left out when empty).
http::status upgradeAnswer(uint16_t port, const std::string& cookie, const std::string& origin) {
  asio::io_context io;
  tcp::socket socket(io);
  socket.connect({asio::ip::make_address("127.0.0.1"), port});
  http::request<http::empty_body> request{http::verb::get, "/ws", 11};
  request.set(http::field::host, "127.0.0.1:" + std::to_string(port));
  request.set(http::field::upgrade, "websocket");
  request.set(http::field::connection, "Upgrade");
  request.set(http::field::sec_websocket_key, "dGhlIHNhbXBsZSBub25jZQ==");
  request.set(http::field::sec_websocket_version, "13");
  if (!cookie.empty()) request.set(http::field::cookie, cookie);
  if (!origin.empty()) request.set(http::field::origin, origin);
  http::write(socket, request);
  beast::flat_buffer buffer;
  http::response<http::string_body> response;
  beast::error_code error;
  http::read(socket, buffer, response, error);
  return response.result();
}

// A self-signed certificate for 127.0.0.1 and its key, written as PEM files.
bool writeCertificate(const std::filesystem::path& certificateFile,
                      const std::filesystem::path& keyFile) {
  const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("P-256"),
                                                                &EVP_PKEY_free);
  const std::unique_ptr<X509, decltype(&X509_free)> certificate(X509_new(), &X509_free);
  if (!key || !certificate) return false;
  X509* c = certificate.get();
  X509_set_version(c, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(c), 1);
  X509_gmtime_adj(X509_getm_notBefore(c), -60);
  X509_gmtime_adj(X509_getm_notAfter(c), 3600);
  X509_set_pubkey(c, key.get());
  X509_NAME* name = X509_get_subject_name(c);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
  X509_set_issuer_name(c, name);
  if (X509_sign(c, key.get(), EVP_sha256()) == 0) return false;
  const std::unique_ptr<FILE, decltype(&std::fclose)> certificateOut(
      std::fopen(certificateFile.c_str(), "w"), &std::fclose);
  const std::unique_ptr<FILE, decltype(&std::fclose)> keyOut(std::fopen(keyFile.c_str(), "w"),
                                                             &std::fclose);
  return certificateOut && keyOut && PEM_write_X509(certificateOut.get(), c) == 1 &&
         PEM_write_PrivateKey(keyOut.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1;
}

// A browser's WebSocket, with its picture.
class Browser {
 public:
  Browser() : socket_(io_) {}

  /// Opens the socket; false when the server refused. A `receiveBuffer` other than 0 makes the
  /// system's buffer for what the server sends that small.
  bool open(uint16_t port, const std::string& cookie, const std::string& origin,
            int receiveBuffer = 0) {
    tcp::socket& raw = socket_.next_layer();
    raw.open(tcp::v4());
    if (receiveBuffer > 0) raw.set_option(asio::socket_base::receive_buffer_size(receiveBuffer));
    raw.connect({asio::ip::make_address("127.0.0.1"), port});
    socket_.set_option(websocket::stream_base::decorator([=](websocket::request_type& request) {
      if (!cookie.empty()) request.set(http::field::cookie, cookie);
      if (!origin.empty()) request.set(http::field::origin, origin);
    }));
    beast::error_code error;
    socket_.handshake("127.0.0.1:" + std::to_string(port), "/ws", error);
    return !error;
  }

  /// The next message; empty when the connection ended.
  std::string read() {
    beast::flat_buffer buffer;
    beast::error_code error;
    socket_.read(buffer, error);
    if (error) return {};
    return beast::buffers_to_string(buffer.cdata());
  }

  /// Reads an update and paints it.
  std::vector<Rectangle> readUpdate(bool* whole = nullptr) {
    const std::string bytes = read();
    EXPECT_GE(bytes.size(), kUpdateHeaderBytes);
    if (bytes.size() < kUpdateHeaderBytes) return {};
    if (whole != nullptr) *whole = (bytes[1] & kWholePictureFlag) != 0;
    lamps.assign(bytes.begin() + 2, bytes.begin() + 18);
    return paintUpdate(bytes, picture);
  }

  void send(const std::string& text) {
    beast::error_code error;
    socket_.text(true);
    socket_.write(asio::buffer(text), error);
  }

  std::vector<uint32_t> picture = std::vector<uint32_t>(size_t{kViewWidth} * kViewHeight);
  std::string lamps;

 private:
  asio::io_context io_;
  websocket::stream<tcp::socket> socket_;
};

class RemoteServerTest : public ::testing::Test {
 protected:
  RemoteServerTest()
      : folder_(std::filesystem::temp_directory_path() /
                ("remote_server_test_" + std::to_string(::getpid()))),
        context_(Folders{folder_.string() + "/", folder_.string() + "/", folder_.string() + "/"}) {
    std::filesystem::remove_all(folder_);
    std::filesystem::create_directories(folder_ / "resources");
    write("index.html", kIndexPage);
    write("login.html", kLoginPage);
    write("login.css", "form {}");
    write("panel.js", "// panel");
    uint32_t* pixels = context_.pixels();
    for (int y = 0; y < kRasterHeight; ++y)
      for (int x = 0; x < kRasterWidth; ++x)
        pixels[y * kRasterWidth + x] = static_cast<uint32_t>((x * 3 + y * 5) & 0xFFFFFF);
    context_.notifyWindow.store(&previous_);
  }

  ~RemoteServerTest() override {
    server_.reset();
    std::filesystem::remove_all(folder_);
  }

  void write(const char* name, const char* text) {
    std::ofstream(folder_ / "resources" / name) << text;
  }

  void setPasswords() {
    Credentials credentials;
    ASSERT_TRUE(credentials.set(Role::kOperator, kOperatorPassword));
    ASSERT_TRUE(credentials.set(Role::kViewer, kViewerPassword));
    ASSERT_EQ(credentials.save((folder_ / Credentials::kFileName).string()), "");
  }

  RemoteOptions options() const {
    RemoteOptions options;
    options.dataFolder = folder_.string() + "/";
    options.resourceFolder = (folder_ / "resources").string() + "/";
    return options;
  }

  uint16_t start(RemoteOptions with) {
    server_.emplace(context_, std::move(with));
    const std::string error = server_->start();
    EXPECT_EQ(error, "");
    return server_->port();
  }

  /// A cookie of a session of `password`.
  std::string login(uint16_t port, const std::string& password) {
    return cookieOf(exchange(port, http::verb::post, "/login", {}, loginForm(password)));
  }

  /// Paints the left screen's pixel (x, y) and tells the server as the engine would.
  void paint(int x, int y, uint32_t colour) {
    {
      std::lock_guard<std::mutex> guard(context_.screenLock);
      context_.pixels()[y * kRasterWidth + x] = colour;
    }
    context_.notifyWindow.load()->screenChanged();
  }

  void expectShowsRaster(const Browser& browser) {
    for (int y = 0; y < kViewHeight; ++y)
      for (int x = 0; x < kViewWidth; ++x) {
        const int column = x < kViewRightColumn ? x : x - kViewRightColumn + kRightScreenColumn;
        ASSERT_EQ(browser.picture[y * kViewWidth + x],
                  context_.pixels()[y * kRasterWidth + column] & 0xFFFFFF)
            << x << "," << y;
      }
  }

  std::filesystem::path folder_;
  AppContext context_;
  CountingNotifier previous_;
  std::optional<RemoteServer> server_;
};

TEST_F(RemoteServerTest, WithoutPasswordsEveryBrowserIsAnOperatorOnLoopbackOnly) {
  RemoteOptions anywhere = options();
  anywhere.address = "0.0.0.0";
  RemoteServer refused(context_, anywhere);
  const std::string error = refused.start();
  EXPECT_NE(error.find("no password is set"), std::string::npos) << error;
  EXPECT_EQ(refused.port(), 0);

  const int32_t firstLog = messageCount();
  const uint16_t port = start(options());
  ASSERT_NE(port, 0);
  EXPECT_EQ(messageText(messageCount() - 1),
            "Remote panel serving http://127.0.0.1:" + std::to_string(port) + "/");
  EXPECT_GE(messageCount(), firstLog + 1);

  const auto page = exchange(port, http::verb::get, "/");
  EXPECT_EQ(page.result(), http::status::ok);
  EXPECT_EQ(page.body(), kIndexPage);
  EXPECT_EQ(page[http::field::content_type], "text/html; charset=utf-8");
  EXPECT_EQ(page[http::field::cache_control], "no-store");
  EXPECT_EQ(page["X-Content-Type-Options"], "nosniff");
  EXPECT_EQ(page["X-Frame-Options"], "DENY");
  EXPECT_EQ(page["Content-Security-Policy"], "default-src 'self'");
  EXPECT_EQ(exchange(port, http::verb::get, "/../remote-passwords").result(),
            http::status::not_found);
  EXPECT_EQ(exchange(port, http::verb::get, "/layout.json").result(), http::status::not_found)
      << "a page file that is missing";

  Browser browser;
  ASSERT_TRUE(browser.open(port, {}, "http://127.0.0.1:" + std::to_string(port)));
  EXPECT_EQ(browser.read(),
            R"({"height":272,"login":false,"role":"operator","type":"hello","width":960})");
  bool whole = false;
  EXPECT_EQ(browser.readUpdate(&whole), (std::vector<Rectangle>{{0, 0, kViewWidth, kViewHeight}}));
  EXPECT_TRUE(whole);
  expectShowsRaster(browser);
  EXPECT_TRUE(eventually([&] { return server_->clients() == 1; }));

  server_->stop();
  EXPECT_EQ(browser.read(), "") << "the stop ends the connection";
  EXPECT_EQ(context_.notifyWindow.load(), &previous_) << "the stop puts the notifier back";
}

TEST_F(RemoteServerTest, UpdatesWaitForReadyAndCarryOnlyWhatChanged) {
  const uint16_t port = start(options());
  Browser browser;
  ASSERT_TRUE(browser.open(port, {}, "http://127.0.0.1:" + std::to_string(port)));
  browser.read();
  browser.readUpdate();

  // Two changes before the browser is ready: the next update holds both, so nothing was sent
  // for the first alone.
  paint(10, 10, 0xFF0000);
  EXPECT_EQ(previous_.count.load(), 1) << "the notifier found installed still hears";
  std::this_thread::sleep_for(30ms);
  paint(11, 12, 0x00FF00);
  std::this_thread::sleep_for(30ms);
  browser.send(R"({"t":"ready"})");
  bool whole = true;
  EXPECT_EQ(browser.readUpdate(&whole), (std::vector<Rectangle>{{10, 10, 2, 3}}));
  EXPECT_FALSE(whole);
  expectShowsRaster(browser);

  // Ready first, then a change on the right screen: sent at once. Lamps alone also make an
  // update, found after the browser's input.
  browser.send(R"({"t":"ready"})");
  paint(kRightScreenColumn + 5, 200, 0x0000FF);
  EXPECT_EQ(browser.readUpdate(), (std::vector<Rectangle>{{kViewRightColumn + 5, 200, 1, 1}}));
  browser.send(R"({"t":"ready"})");
  LampStates lamps{};
  lamps[codeOf(PanelKey::kEnter)] = LampState::kBright;
  context_.lampWord.store(packLampWord(lamps));
  browser.send(R"({"t":"key","code":1})");
  EXPECT_EQ(browser.readUpdate(), std::vector<Rectangle>{});
  EXPECT_EQ(static_cast<uint8_t>(browser.lamps.at(codeOf(PanelKey::kEnter) - 1)),
            static_cast<uint8_t>(LampState::kBright));
}

// What a browser costs is bounded: one that never says "ready" or never reads what it asked
// for is dropped, and one that says "ready" at once gets no more than an update per interval.
TEST_F(RemoteServerTest, SilentOrUnreadBrowsersAreDroppedAndUpdatesArePaced) {
  RemoteOptions limited = options();
  limited.limits.readyTime = 300ms;
  limited.limits.leastUpdateInterval = 100ms;
  limited.limits.mostUnsentBytes = 64 * 1024;
  const uint16_t port = start(limited);
  const std::string origin = "http://127.0.0.1:" + std::to_string(port);

  Browser silent;
  ASSERT_TRUE(silent.open(port, {}, origin));
  silent.read();
  silent.readUpdate();
  EXPECT_TRUE(eventually([&] { return server_->clients() == 0; }));

  // Ready after every update while the engine draws every 5 ms: paced, not one per drawing.
  std::atomic<bool> drawing{true};
  std::thread engine([&] {
    for (uint32_t colour = 1; drawing.load(); ++colour) {
      paint(static_cast<int>(colour % 400), 20, colour);
      std::this_thread::sleep_for(5ms);
    }
  });
  {
    Browser eager;
    ASSERT_TRUE(eager.open(port, {}, origin));
    eager.read();
    eager.readUpdate();
    int updates = 0;
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < 1s) {
      eager.send(R"({"t":"ready"})");
      eager.readUpdate();
      ++updates;
    }
    EXPECT_GE(updates, 3);
    EXPECT_LE(updates, 11) << "at most one update per 100 ms";
  }
  ASSERT_TRUE(eventually([&] { return server_->clients() == 0; }));

  // Ready without reading, while every drawing changes the whole screen: what waits to be sent
  // passes the bound once the system's buffers are full, and the browser is dropped.
  std::minstd_rand noise(7);
  Browser greedy;
  ASSERT_TRUE(greedy.open(port, {}, origin, 4096));
  const int32_t logged = messageCount();
  EXPECT_TRUE(eventually([&] {
    {
      std::lock_guard<std::mutex> guard(context_.screenLock);
      for (size_t i = 0; i < size_t{kRasterWidth} * kRasterHeight; ++i)
        context_.pixels()[i] = noise() & 0xFFFFFF;
    }
    context_.notifyWindow.load()->screenChanged();
    greedy.send(R"({"t":"ready"})");
    std::this_thread::sleep_for(20ms);
    return server_->clients() == 0;
  }));
  std::string said;
  for (int32_t number = logged; number < messageCount(); ++number)
    said += messageText(number) + "\n";
  EXPECT_NE(said.find("dropped: more than 65536 bytes unsent"), std::string::npos) << said;
  drawing = false;
  engine.join();
}

TEST_F(RemoteServerTest, ConnectionsAndBrowsersPastTheirBoundsAreTurnedAway) {
  RemoteOptions limited = options();
  limited.limits.mostClients = 2;
  limited.limits.mostConnections = 3;
  const uint16_t port = start(limited);
  const std::string origin = "http://127.0.0.1:" + std::to_string(port);
  Browser first;
  Browser second;
  Browser third;
  ASSERT_TRUE(first.open(port, {}, origin));
  ASSERT_TRUE(second.open(port, {}, origin));
  EXPECT_EQ(upgradeAnswer(port, {}, origin), http::status::service_unavailable);
  EXPECT_FALSE(third.open(port, {}, origin));

  // A third connection waits for its request; a fourth is closed at once.
  asio::io_context io;
  tcp::socket waiting(io);
  waiting.connect({asio::ip::make_address("127.0.0.1"), port});
  tcp::socket turnedAway(io);
  turnedAway.connect({asio::ip::make_address("127.0.0.1"), port});
  char byte = 0;
  beast::error_code ended;
  turnedAway.async_read_some(asio::buffer(&byte, 1),
                             [&](beast::error_code error, size_t) { ended = error; });
  io.run_for(3s);
  EXPECT_TRUE(ended == asio::error::eof || ended == asio::error::connection_reset)
      << ended.message();
}

TEST_F(RemoteServerTest, BrowsersShowingTheSamePictureShareAnUpdateAndALateOneCatchesUp) {
  const uint16_t port = start(options());
  const std::string origin = "http://127.0.0.1:" + std::to_string(port);
  Browser first, second, late;
  for (Browser* browser : {&first, &second, &late}) {
    ASSERT_TRUE(browser->open(port, {}, origin));
    browser->read();
    browser->readUpdate();
  }
  // The late browser says ready only after two changes; the others after each.
  for (const int x : {20, 300}) {
    first.send(R"({"t":"ready"})");
    second.send(R"({"t":"ready"})");
    std::this_thread::sleep_for(30ms);
    paint(x, 40, 0x123456);
    const auto shown = first.readUpdate();
    EXPECT_EQ(second.readUpdate(), shown);
    EXPECT_EQ(shown, (std::vector<Rectangle>{{x, 40, 1, 1}}));
  }
  late.send(R"({"t":"ready"})");
  EXPECT_EQ(late.readUpdate(), (std::vector<Rectangle>{{20, 40, 281, 1}}));
  for (const Browser* browser : {&first, &second, &late})
    expectShowsRaster(*browser);
}

TEST_F(RemoteServerTest, AnOperatorsInputReachesTheEngine) {
  const uint16_t port = start(options());
  Browser browser;
  ASSERT_TRUE(browser.open(port, {}, "http://127.0.0.1:" + std::to_string(port)));
  browser.send(R"({"t":"key","code":13})");
  browser.send(R"({"t":"turn","knob":2,"steps":-3})");
  browser.send(R"({"t":"push","knob":7,"down":true})");
  browser.send(R"({"t":"key","code":99})");
  ASSERT_TRUE(eventually([&] { return context_.input.queuedCount() == 6; }));
  const InputEvent key{codeOf(PanelKey::kSelectDevice), EventKind::kKeyPressed, 0, -1, -1, -1};
  EXPECT_EQ(context_.input.nextEvent(), key);
  context_.input.nextEvent();
  for (int step = 0; step < 3; ++step)
    EXPECT_EQ(context_.input.nextEvent(),
              (InputEvent{kFirstKnobCode + 2, EventKind::kTurnedOneWay, 1, -1, -1, -1}));
  EXPECT_EQ(context_.input.nextEvent(),
            (InputEvent{kFirstKnobCode + 7, EventKind::kKnobPushed, 0, -1, -1, -1}));

  browser.send(R"({"t":"touch","screen":1,"x":100,"y":50,"down":true})");
  std::optional<InputEvent> touch;
  ASSERT_TRUE(eventually([&] { return (touch = context_.input.nextEvent()).has_value(); }));
  EXPECT_EQ(touch->kind, EventKind::kTouched);
  EXPECT_EQ(touch->screen, codeOf(Screen::kRight));
  EXPECT_EQ(touch->x, 100);
  EXPECT_EQ(touch->y, 50);
}

TEST_F(RemoteServerTest, OversizedMessagesAndFloodsCloseTheConnection) {
  const uint16_t port = start(options());
  const std::string origin = "http://127.0.0.1:" + std::to_string(port);
  Browser big;
  ASSERT_TRUE(big.open(port, {}, origin));
  big.read();
  big.readUpdate();
  std::string text = R"({"t":"key","code":1,"pad":""})";
  text.insert(text.size() - 2, kMostClientMessageBytes + 1 - text.size(), 'x');
  big.send(text);
  EXPECT_EQ(big.read(), "");
  EXPECT_EQ(context_.input.queuedCount(), 0u);

  Browser flood;
  ASSERT_TRUE(flood.open(port, {}, origin));
  flood.read();
  flood.readUpdate();
  for (int i = 0; i < 300; ++i)
    flood.send(R"({"t":"push","knob":0,"down":false})");
  EXPECT_EQ(flood.read(), "");
  EXPECT_LE(context_.input.queuedCount(), 200u);
}

TEST_F(RemoteServerTest, RequestsOverTheirBoundsAreRefused) {
  const uint16_t port = start(options());
  EXPECT_EQ(exchange(port, http::verb::post, "/login", {}, std::string(2000, 'a')).result(),
            http::status::payload_too_large);
  EXPECT_EQ(exchange(port, http::verb::get, "/", "a=" + std::string(9000, 'b')).result(),
            http::status::request_header_fields_too_large);
  EXPECT_EQ(exchange(port, http::verb::put, "/").result(), http::status::method_not_allowed);
}

TEST_F(RemoteServerTest, PasswordsOpenSessionsByRole) {
  setPasswords();
  const uint16_t port = start(options());
  const std::string origin = "http://127.0.0.1:" + std::to_string(port);

  auto answer = exchange(port, http::verb::get, "/");
  EXPECT_EQ(answer.result(), http::status::see_other);
  EXPECT_EQ(answer[http::field::location], "/login");
  EXPECT_EQ(exchange(port, http::verb::get, "/panel.js").result(), http::status::forbidden);
  EXPECT_EQ(exchange(port, http::verb::get, "/login.css").result(), http::status::ok);
  EXPECT_EQ(exchange(port, http::verb::get, "/login").body(), "<form><input name=password></form>");
  EXPECT_NE(exchange(port, http::verb::get, "/login?failed=1").body().find("Wrong password"),
            std::string::npos);
  EXPECT_EQ(upgradeAnswer(port, {}, origin), http::status::forbidden);

  // A wrong password, then the right one too soon from the same address: 429 without a look
  // at it. Another address is not slowed.
  const int32_t firstLog = messageCount();
  answer = exchange(port, http::verb::post, "/login", {}, loginForm("guess"), kOtherAddress);
  EXPECT_EQ(answer.result(), http::status::see_other);
  EXPECT_EQ(answer[http::field::location], "/login?failed=1");
  EXPECT_EQ(answer.count(http::field::set_cookie), 0u);
  answer =
      exchange(port, http::verb::post, "/login", {}, loginForm(kOperatorPassword), kOtherAddress);
  EXPECT_EQ(answer.result(), http::status::too_many_requests);
  EXPECT_EQ(answer.count(http::field::set_cookie), 0u);

  answer = exchange(port, http::verb::post, "/login", {}, loginForm(kOperatorPassword));
  EXPECT_EQ(answer.result(), http::status::see_other);
  EXPECT_EQ(answer[http::field::location], "/");
  const std::string setCookie(answer[http::field::set_cookie]);
  const std::string cookie = cookieOf(answer);
  const std::string id = cookie.substr(cookie.find('=') + 1);
  EXPECT_EQ(cookie, "qelm_session=" + id);
  EXPECT_EQ(id.size(), 43u);
  EXPECT_EQ(setCookie.substr(cookie.size()), "; HttpOnly; SameSite=Strict; Path=/; Max-Age=43200");

  EXPECT_EQ(exchange(port, http::verb::get, "/", cookie).body(), kIndexPage);
  EXPECT_EQ(exchange(port, http::verb::get, "/panel.js", cookie).result(), http::status::ok);
  EXPECT_EQ(upgradeAnswer(port, cookie, "http://evil.example"), http::status::forbidden);
  EXPECT_EQ(upgradeAnswer(port, cookie, {}), http::status::forbidden);
  EXPECT_EQ(upgradeAnswer(port, cookie, origin), http::status::switching_protocols);
  Browser operatorBrowser;
  ASSERT_TRUE(operatorBrowser.open(port, cookie, origin));
  EXPECT_NE(operatorBrowser.read().find(R"("role":"operator")"), std::string::npos);

  // A viewer sees but does not work the panel.
  Browser viewer;
  ASSERT_TRUE(viewer.open(port, login(port, kViewerPassword), origin));
  EXPECT_NE(viewer.read().find(R"("role":"viewer")"), std::string::npos);
  viewer.readUpdate();
  viewer.send(R"({"t":"key","code":5})");
  viewer.send(R"({"t":"ready"})");
  paint(1, 1, 0xABCDEF);
  viewer.readUpdate();  // the key was read before the ready that let this update go
  EXPECT_EQ(context_.input.queuedCount(), 0u);

  // Logging out ends the session and its socket.
  operatorBrowser.readUpdate();
  answer = exchange(port, http::verb::post, "/logout", cookie);
  EXPECT_EQ(answer[http::field::location], "/login");
  EXPECT_EQ(exchange(port, http::verb::get, "/", cookie).result(), http::status::see_other);
  EXPECT_EQ(operatorBrowser.read(), "");

  // Every login, refusal and logout is logged with its address, never a password or an id.
  std::string log;
  for (int32_t n = firstLog; n < messageCount(); ++n)
    log += messageText(n) + "\n";
  for (const char* line : {"wrong password from 127.0.91.2", "login from 127.0.91.2 refused",
                           "operator logged in from 127.0.0.1", "viewer logged in from 127.0.0.1",
                           "logged out from 127.0.0.1", "from 127.0.0.1 refused: foreign origin"})
    EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
  for (const std::string& secret : {id, std::string(kOperatorPassword), std::string("guess")})
    EXPECT_EQ(log.find(secret), std::string::npos) << secret;
}

// A password's check takes a tenth of a second or more: the server goes on serving meanwhile,
// and a client cannot have a second guess checked before the first has failed.
TEST_F(RemoteServerTest, APasswordIsCheckedBesideTheServerOneGuessAtATime) {
  // The most work a password file may ask (about half a second here), so that the check is
  // surely still running while the other requests come and go.
  ASSERT_GE(sodium_init(), 0);
  char hash[crypto_pwhash_STRBYTES];
  ASSERT_EQ(crypto_pwhash_str(hash, kOperatorPassword, std::strlen(kOperatorPassword),
                              crypto_pwhash_OPSLIMIT_MODERATE, crypto_pwhash_MEMLIMIT_MODERATE),
            0);
  std::ofstream(folder_ / Credentials::kFileName) << "operator " << hash << "\n";
  const uint16_t port = start(options());

  asio::io_context io;
  tcp::socket guess(io);
  guess.connect({asio::ip::make_address("127.0.0.1"), port});
  http::write(guess, requestFor(port, http::verb::post, "/login", {}, loginForm("guess")));
  std::this_thread::sleep_for(50ms);  // the server has read it

  EXPECT_EQ(exchange(port, http::verb::get, "/login.css").result(), http::status::ok);
  auto answer = exchange(port, http::verb::post, "/login", {}, loginForm(kOperatorPassword));
  EXPECT_EQ(answer.result(), http::status::too_many_requests);
  EXPECT_EQ(answer[http::field::retry_after], "1");
  EXPECT_EQ(guess.available(), 0u) << "the check ended too soon to show anything";

  beast::flat_buffer buffer;
  http::response<http::string_body> verdict;
  http::read(guess, buffer, verdict);
  EXPECT_EQ(verdict[http::field::location], "/login?failed=1");
  // The failure counts: the right password must wait now.
  EXPECT_EQ(exchange(port, http::verb::post, "/login", {}, loginForm(kOperatorPassword)).result(),
            http::status::too_many_requests);
  EXPECT_NE(messageText(messageCount() - 1).find("s still to wait"), std::string::npos);
}

TEST_F(RemoteServerTest, UnderTlsTheCookieIsSecureAndTheSocketEncrypted) {
  setPasswords();
  const auto certificate = folder_ / "certificate.pem";
  const auto key = folder_ / "key.pem";
  ASSERT_TRUE(writeCertificate(certificate, key));
  RemoteOptions tls = options();
  tls.certificateFile = certificate.string();
  RemoteServer keyless(context_, tls);
  EXPECT_NE(keyless.start().find("both a certificate and a key"), std::string::npos);
  tls.keyFile = key.string();
  const uint16_t port = start(tls);
  EXPECT_EQ(messageText(messageCount() - 1),
            "Remote panel serving https://127.0.0.1:" + std::to_string(port) + "/");

  asio::io_context io;
  asio::ssl::context trust(asio::ssl::context::tls_client);
  trust.load_verify_file(certificate.string());
  trust.set_verify_mode(asio::ssl::verify_peer);
  const std::string host = "127.0.0.1:" + std::to_string(port);
  websocket::stream<beast::ssl_stream<tcp::socket>> socket(io, trust);
  beast::get_lowest_layer(socket).connect({asio::ip::make_address("127.0.0.1"), port});
  socket.next_layer().handshake(asio::ssl::stream_base::client);

  // The login over the encrypted stream, then the upgrade on the same connection.
  http::write(socket.next_layer(),
              requestFor(port, http::verb::post, "/login", {}, loginForm(kOperatorPassword)));
  beast::flat_buffer buffer;
  http::response<http::string_body> answer;
  http::read(socket.next_layer(), buffer, answer);
  const std::string setCookie(answer[http::field::set_cookie]);
  EXPECT_EQ(setCookie.substr(setCookie.size() - 8), "; Secure") << setCookie;

  socket.set_option(websocket::stream_base::decorator([&](websocket::request_type& upgrade) {
    upgrade.set(http::field::cookie, cookieOf(answer));
    upgrade.set(http::field::origin, "https://" + host);
  }));
  socket.handshake(host, "/ws");
  beast::flat_buffer hello;
  socket.read(hello);
  EXPECT_EQ(beast::buffers_to_string(hello.cdata()),
            R"({"height":272,"login":true,"role":"operator","type":"hello","width":960})");
  beast::flat_buffer update;
  socket.read(update);
  EXPECT_EQ(static_cast<uint8_t>(beast::buffers_to_string(update.cdata()).at(0)),
            kScreenUpdateKind);
}

}  // namespace
}  // namespace qelm::remote
