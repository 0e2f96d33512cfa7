// The remote panel's server: one io_context on a thread of its own; every connection object
// lives on that thread only.
//
// [1] Limits, routes and the answers' common parts
// [2] The engine's notices (screens, plant publications and answers), relayed and posted
// [3] Connection, Client, EventSink: what the server knows of each socket
// [4] The server's state: routes, logins, screen updates, input, the plant's API
// [5] SocketClient: the WebSocket of one browser
// [6] EventClient: the event stream of one API client
// [7] HttpConnection: requests until a WebSocket upgrade
// [8] RemoteServer: start and stop
// Asio fences its handler calls with std::atomic_thread_fence, which ThreadSanitizer does not
// model (g++ refuses it under -Werror=tsan); every hand-over of a handler between threads also
// passes the scheduler's mutex, which it does see.
#if defined(__SANITIZE_THREAD__)
#pragma GCC diagnostic ignored "-Wtsan"
#endif
#include "remote/remote_server.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sodium.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <array>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <future>
#include <optional>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/log.h"
#include "core/raster_geometry.h"
#include "remote/api_tokens.h"
#include "remote/client_message.h"
#include "remote/credentials.h"
#include "remote/login_guard.h"
#include "remote/metrics.h"
#include "remote/plant_api.h"
#include "remote/screen_codec.h"

namespace qelm::remote {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;
using namespace std::chrono_literals;

// ---------------------------------------------------------------------------------------------
// [1] Limits, routes and the answers' common parts

constexpr size_t kMostHeaderBytes = 8 * 1024;
constexpr size_t kMostBodyBytes = 1024;
constexpr auto kRequestTime = 30s;
constexpr int kMostMessagesPerSecond = 200;
// After a browser's input the lamps are looked at again this soon and this late: lamps change
// without a screen notice.
constexpr auto kLampLookSoon = 20ms;
constexpr auto kLampLookLate = 200ms;
// Largest page file served.
constexpr size_t kMostFileBytes = 4u << 20;
// How long the stop waits for the connections to end before it stops the loop outright.
constexpr auto kStopWait = 2s;
// How long accepting pauses after a failed accept.
constexpr auto kAcceptPause = 100ms;
// A quiet browser costs nothing: no WebSocket pings and no timers while the screens stand
// still. A browser that vanished (a tablet switched off) is found by the system's TCP
// keep-alive instead: first probe after this long without traffic, then every interval, and
// given up after that many unanswered probes.
constexpr int kKeepAliveIdleSeconds = 60;
constexpr int kKeepAliveIntervalSeconds = 10;
constexpr int kKeepAliveProbes = 6;

// Turns on the system's keep-alive probes on `socket` (best effort: a failure leaves a dead
// browser to the stop or to the write that finds it).
void keepAlive(tcp::socket& socket) {
  beast::error_code ignored;
  socket.set_option(asio::socket_base::keep_alive(true), ignored);
  const int fd = socket.native_handle();
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepAliveIdleSeconds, sizeof(int));
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepAliveIntervalSeconds, sizeof(int));
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepAliveProbes, sizeof(int));
}

// The plant's API. A read answers at once from the newest snapshot that holds what it shows
// when that came no longer ago than its part's freshness; otherwise it asks the engine for the
// part and waits for the next publication that has it, shared by every read waiting then, at
// most `kPlantReadWait`, after which the newest there is answers. A read with nothing to answer
// from (the engine has not yet published that part or device) waits on for the engine, up to
// `kPlantReadLongest`, so that a pass held up by a busy machine delays the answer instead of
// failing it; after that, 503. After a
// write the snapshots published before it are stale whatever their age. A read of one device
// asks for that device only; reads of several devices waiting together share a publication.
constexpr auto kStatusFresh = 50ms;
constexpr auto kDevicesFresh = 50ms;
// Snapshots of devices asked for by number kept for the reads that follow, the newest, while
// they are fresh.
constexpr size_t kMostSomeDevicesHeld = 16;
// Logins whose passwords wait for the worker thread or are being checked there (each check takes
// 64 MiB while it runs, one at a time).
constexpr size_t kMostLoginChecks = 4;
constexpr auto kReportsFresh = 1s;
constexpr auto kPlantReadWait = 50ms;
constexpr auto kPlantReadLongest = 2s;
// A write the engine has not answered in this long is answered 503 (it may still be made).
constexpr auto kPlantWriteWait = 2s;
// How often waiting reads and writes are looked at while there are any.
constexpr auto kPlantSweep = 10ms;
// While an event client wants values, the devices are asked for this often.
constexpr auto kValuesInterval = 200ms;
// Event streams at once; past it an upgrade is answered 503.
constexpr size_t kMostEventClients = 32;
// An event client with this many messages unsent is dropped.
constexpr size_t kMostEventBacklog = 4096;
// The tokens file is looked at (its size and time) at most this often, so a revoked token
// stops working within this long without a restart.
constexpr auto kTokensLook = 1s;
// A bearer token: "Authorization: Bearer TOKEN".
constexpr std::string_view kBearerScheme = "Bearer ";

constexpr std::string_view kCookieName = "qelm_session";
constexpr int kCookieSeconds = 43200;
static_assert(std::chrono::seconds(kCookieSeconds) == SessionTable::kLifetime);

constexpr std::string_view kRootPath = "/";
constexpr std::string_view kLoginPath = "/login";
constexpr std::string_view kLogoutPath = "/logout";
constexpr std::string_view kSocketPath = "/ws";
constexpr const char* kDescriptionFile = "openapi.json";
constexpr std::string_view kFailedLoginTarget = "/login?failed=1";
constexpr std::string_view kFailedQuery = "failed=1";
constexpr std::string_view kPasswordField = "password";
// Where login.html wants the failure notice, replaced after a wrong password.
constexpr std::string_view kFailedMarker = "<!--failed-->";
constexpr std::string_view kFailedNotice = "<p class=\"failed\" role=\"alert\">Wrong password</p>";

// The page's files by path; `open` files are served without a session.
struct PageFile {
  std::string_view path;
  const char* file;
  const char* type;
  bool open;
};
constexpr PageFile kPageFiles[] = {
    {kRootPath, "index.html", "text/html; charset=utf-8", false},
    {kLoginPath, "login.html", "text/html; charset=utf-8", true},
    {"/login.css", "login.css", "text/css; charset=utf-8", true},
    {"/favicon.ico", "favicon.ico", "image/x-icon", true},
    {"/panel.js", "panel.js", "text/javascript; charset=utf-8", false},
    {"/panel.css", "panel.css", "text/css; charset=utf-8", false},
    {"/layout.json", "layout.json", "application/json", false},
    // The loudness wall: every monitor at once, from the plant's API.
    {"/wall", "wall.html", "text/html; charset=utf-8", false},
    {"/wall.js", "wall.js", "text/javascript; charset=utf-8", false},
    {"/wall.css", "wall.css", "text/css; charset=utf-8", false},
};

const PageFile* pageFile(std::string_view path) {
  for (const PageFile& file : kPageFiles)
    if (file.path == path) return &file;
  return nullptr;
}

// Every answer, the WebSocket upgrade's included, carries these.
template <class Fields>
void addCommonHeaders(Fields& fields) {
  fields.set(http::field::cache_control, "no-store");
  fields.set("X-Content-Type-Options", "nosniff");
  fields.set("X-Frame-Options", "DENY");
  fields.set("Content-Security-Policy", "default-src 'self'");
}

Response answer(const Request& request, http::status status, std::string body = {},
                const char* type = "text/plain; charset=utf-8") {
  Response response{status, request.version()};
  addCommonHeaders(response);
  response.set(http::field::content_type, type);
  response.keep_alive(request.keep_alive());
  response.body() = std::move(body);
  response.prepare_payload();
  return response;
}

Response redirect(const Request& request, std::string_view target) {
  Response response = answer(request, http::status::see_other);
  response.set(http::field::location, beast::string_view(target.data(), target.size()));
  return response;
}

Response jsonAnswer(const Request& request, http::status status, std::string body) {
  return answer(request, status, std::move(body), kJsonType.data());
}

Response apiError(const Request& request, http::status status, std::string_view message) {
  return jsonAnswer(request, status, errorJson(message));
}

// The type a report file is served with.
const char* reportType(std::string_view file) {
  const auto endsWith = [file](std::string_view end) {
    return file.size() >= end.size() && file.substr(file.size() - end.size()) == end;
  };
  if (endsWith(".html") || endsWith(".htm")) return "text/html; charset=utf-8";
  if (endsWith(".csv")) return "text/csv; charset=utf-8";
  if (endsWith(".txt")) return "text/plain; charset=utf-8";
  return "application/octet-stream";
}

// Reads a page file whole; nothing when it is missing or larger than `kMostFileBytes`.
std::optional<std::string> readPageFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text(kMostFileBytes + 1, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  const size_t got = static_cast<size_t>(in.gcount());
  if (got > kMostFileBytes) return std::nullopt;
  text.resize(got);
  return text;
}

// The value of cookie `name` in a Cookie header ("a=1; b=2"); empty when absent.
std::string_view cookieValue(std::string_view header, std::string_view name) {
  while (!header.empty()) {
    const size_t end = header.find(';');
    std::string_view pair = header.substr(0, end);
    header = end == std::string_view::npos ? std::string_view() : header.substr(end + 1);
    while (!pair.empty() && pair.front() == ' ')
      pair.remove_prefix(1);
    const size_t equals = pair.find('=');
    if (equals != std::string_view::npos && pair.substr(0, equals) == name)
      return pair.substr(equals + 1);
  }
  return {};
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The field `name` of a form body (application/x-www-form-urlencoded), decoded; nothing when
// absent or badly escaped.
std::optional<std::string> formField(std::string_view body, std::string_view name) {
  while (!body.empty()) {
    const size_t end = body.find('&');
    const std::string_view pair = body.substr(0, end);
    body = end == std::string_view::npos ? std::string_view() : body.substr(end + 1);
    const size_t equals = pair.find('=');
    if (equals == std::string_view::npos || pair.substr(0, equals) != name) continue;
    const std::string_view encoded = pair.substr(equals + 1);
    std::string value;
    value.reserve(encoded.size());
    for (size_t i = 0; i < encoded.size(); ++i) {
      if (encoded[i] == '+') {
        value.push_back(' ');
      } else if (encoded[i] == '%') {
        if (i + 2 >= encoded.size()) return std::nullopt;
        const int high = hexDigit(encoded[i + 1]);
        const int low = hexDigit(encoded[i + 2]);
        if (high < 0 || low < 0) return std::nullopt;
        value.push_back(static_cast<char>(high * 16 + low));
        i += 2;
      } else {
        value.push_back(encoded[i]);
      }
    }
    return value;
  }
  return std::nullopt;
}

// Whether the Origin header ("http://host:port") names the same host and port as the Host
// header: a page of another site may not open the panel's socket with the user's cookie.
bool sameOrigin(std::string_view origin, std::string_view host) {
  const size_t scheme = origin.find("://");
  if (scheme == std::string_view::npos || host.empty()) return false;
  const std::string_view authority = origin.substr(scheme + 3);
  if (authority.size() != host.size()) return false;
  for (size_t i = 0; i < host.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(authority[i])) !=
        std::tolower(static_cast<unsigned char>(host[i])))
      return false;
  return true;
}

bool startsWithNoCase(std::string_view text, std::string_view start) {
  if (text.size() < start.size()) return false;
  for (size_t i = 0; i < start.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(text[i])) !=
        std::tolower(static_cast<unsigned char>(start[i])))
      return false;
  return true;
}

// Whether a Host header ("127.0.0.1:8080", "[::1]:80", "localhost") names this computer.
bool loopbackHost(std::string_view host) {
  if (!host.empty() && host.front() == '[') {
    host = host.substr(1, host.find(']') == std::string_view::npos ? 0 : host.find(']') - 1);
  } else {
    host = host.substr(0, host.find(':'));
  }
  if (beast::iequals(beast::string_view(host.data(), host.size()), "localhost")) return true;
  beast::error_code error;
  const asio::ip::address address = asio::ip::make_address(std::string(host), error);
  return !error && address.is_loopback();
}

std::string_view pathOf(std::string_view target) {
  return target.substr(0, target.find('?'));
}

std::string_view queryOf(std::string_view target) {
  const size_t mark = target.find('?');
  return mark == std::string_view::npos ? std::string_view() : target.substr(mark + 1);
}

std::string_view view(beast::string_view text) {
  return {text.data(), text.size()};
}

// ---------------------------------------------------------------------------------------------
// [2] The engine's notices (screens, plant publications and answers), relayed and posted

// Installed in the context's `notifyWindow`: calls the notifier it replaced, then posts one
// look at the screens to the server's loop unless one is still waiting there.
class ScreenRelay final : public ScreenNotifier {
 public:
  void screenChanged() override {
    if (ScreenNotifier* previous = previous_.load(std::memory_order_acquire))
      previous->screenChanged();
    std::lock_guard<std::mutex> guard(lock_);
    if (target_ && !posted_.exchange(true, std::memory_order_acq_rel)) asio::post(*target_, look_);
  }

  /// Starts posting `look` to `io`, chained after the context's current notifier.
  void attach(AppContext& context, asio::io_context& io, std::function<void()> look) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      target_ = &io;
      look_ = std::move(look);
      posted_.store(false);
    }
    previous_.store(context.notifyWindow.load());
    context.notifyWindow.store(this);
  }

  /// Stops posting and puts the previous notifier back, unless another replaced this one.
  void detach(AppContext& context) {
    ScreenNotifier* expected = this;
    context.notifyWindow.compare_exchange_strong(expected, previous_.load());
    std::lock_guard<std::mutex> guard(lock_);
    target_ = nullptr;
    look_ = nullptr;
  }

  /// Called by the posted look before it looks: a notice from now on posts again.
  void taken() { posted_.store(false, std::memory_order_release); }

 private:
  std::atomic<ScreenNotifier*> previous_{nullptr};
  std::atomic<bool> posted_{false};
  std::mutex lock_;  // guards target_ and look_ against the stop
  asio::io_context* target_ = nullptr;
  std::function<void()> look_;
};

class ServerCore;

// Where the engine's plant notices and answers enter the server's loop. Shared with the
// callbacks given to the engine, which may come after the server stopped: then they find the
// mailbox closed and post nothing. A posted job runs only while the loop runs, so the core it
// names is still there.
class PlantMailbox : public std::enable_shared_from_this<PlantMailbox> {
 public:
  void open(asio::io_context& io, ServerCore& core) {
    std::lock_guard<std::mutex> guard(lock_);
    io_ = &io;
    core_ = &core;
    noticePosted_.store(false);
  }
  void close() {
    std::lock_guard<std::mutex> guard(lock_);
    io_ = nullptr;
    core_ = nullptr;
  }
  /// Runs `job` on the server's loop, unless the server stopped.
  void post(std::function<void(ServerCore&)> job) {
    std::lock_guard<std::mutex> guard(lock_);
    if (io_ == nullptr) return;
    asio::post(*io_, [core = core_, job = std::move(job)] { job(*core); });
  }
  /// A publication: one look at it is posted unless one is still waiting.
  void published();

 private:
  std::mutex lock_;
  asio::io_context* io_ = nullptr;
  ServerCore* core_ = nullptr;
  std::atomic<bool> noticePosted_{false};
};

// ---------------------------------------------------------------------------------------------
// [3] Connection, Client, EventSink: what the server knows of each socket

// Any open socket, so the stop can close it.
class Connection {
 public:
  explicit Connection(ServerCore& core);
  virtual ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  /// Closes the socket; the pending operations end with an error.
  virtual void closeNow() = 0;

 protected:
  ServerCore& core_;
};

// A browser's WebSocket as the screen updates see it.
class Client : public Connection {
 public:
  Client(ServerCore& core, Role role, std::string address, std::string session)
      : Connection(core), role_(role), address_(std::move(address)), session_(std::move(session)) {}

  /// Queues one message; drops the client when its unsent bytes pass the bound.
  virtual void send(std::string bytes, bool binary) = 0;
  /// Starts (or with false, stops) the wait for the browser's "ready".
  virtual void awaitReady(bool waiting) = 0;
  /// Offers the browser an update again at `due` (once, however often asked before then).
  virtual void offerAt(std::chrono::steady_clock::time_point due) = 0;

  Role role() const { return role_; }
  const std::string& address() const { return address_; }
  /// The session the socket was opened with; empty while no password is set.
  const std::string& session() const { return session_; }
  /// What the browser shows (shared with every browser that shows the same), and its version;
  /// none before the first update.
  const std::shared_ptr<const ShownScreen>& shown() const { return shown_; }
  uint64_t shownVersion() const { return shownVersion_; }
  void show(std::shared_ptr<const ShownScreen> shown, uint64_t version) {
    shown_ = std::move(shown);
    shownVersion_ = version;
  }
  /// An update was sent and its "ready" has not come.
  bool waiting() const { return waiting_; }
  void setWaiting(bool waiting) { waiting_ = waiting; }
  /// When the last update was sent.
  std::chrono::steady_clock::time_point lastUpdate() const { return lastUpdate_; }
  void setLastUpdate(std::chrono::steady_clock::time_point at) { lastUpdate_ = at; }
  /// True once per message when it is more than the rate allows.
  bool tooFast(std::chrono::steady_clock::time_point now) {
    if (now - windowStart_ >= 1s) {
      windowStart_ = now;
      messagesInWindow_ = 0;
    }
    return ++messagesInWindow_ > kMostMessagesPerSecond;
  }

 private:
  const Role role_;
  const std::string address_;
  const std::string session_;
  std::shared_ptr<const ShownScreen> shown_;
  uint64_t shownVersion_ = 0;
  bool waiting_ = false;
  std::chrono::steady_clock::time_point lastUpdate_{};
  std::chrono::steady_clock::time_point windowStart_{};
  int messagesInWindow_ = 0;
};

// An API client's event stream as the server sees it.
class EventSink : public Connection {
 public:
  EventSink(ServerCore& core, std::string address, std::string session, bool values)
      : Connection(core),
        address_(std::move(address)),
        session_(std::move(session)),
        values_(values) {}

  /// Queues one message; drops the client when too many wait.
  virtual void send(std::shared_ptr<const std::string> message) = 0;

  const std::string& address() const { return address_; }
  const std::string& session() const { return session_; }
  /// The client asked for value events.
  bool values() const { return values_; }

 private:
  const std::string address_;
  const std::string session_;
  const bool values_;
};

// ---------------------------------------------------------------------------------------------
// [4] The server's state: routes, logins, screen updates, input, the plant's API

// What the connections share; used on the server's thread only (the counters are read from
// others).
class ServerCore {
 public:
  ServerCore(AppContext& context, const RemoteOptions& options, Credentials credentials,
             ApiTokens tokens, bool loopbackOnly, bool tls, std::atomic<size_t>& clientCount,
             std::shared_ptr<PlantMailbox> mailbox)
      : clientCount_(clientCount),
        context_(context),
        options_(options),
        credentials_(std::make_shared<const Credentials>(std::move(credentials))),
        tokens_(std::move(tokens)),
        tokensPath_(options.dataFolder + ApiTokens::kFileName),
        tokensStamp_(stampOf(tokensPath_)),
        tokensLooked_(std::chrono::steady_clock::now()),
        loopbackOnly_(loopbackOnly),
        tls_(tls),
        mailbox_(std::move(mailbox)),
        snapshot_(static_cast<size_t>(kRasterWidth) * kRasterHeight) {}

  void added(Connection* connection) { connections_.insert(connection); }
  void removed(Connection* connection) { connections_.erase(connection); }
  bool full() const { return connections_.size() >= options_.limits.mostConnections; }
  const RemoteLimits& limits() const { return options_.limits; }

  /// Closes every socket, so that the loop runs out of work.
  void closeAll() {
    // The requests waiting for the engine go first: their connections may go with them.
    {
      std::vector<WaitingRead> reads;
      reads.swap(waiting_);
      std::unordered_map<uint64_t, HeldRequest> writes;
      writes.swap(writes_);
      std::vector<HeldRequest> lists;
      lists.swap(listWaiting_);
      std::unordered_map<uint64_t, PendingLogin> logins;
      logins.swap(logins_);
    }
    const std::vector<Connection*> all(connections_.begin(), connections_.end());
    for (Connection* connection : all)
      connection->closeNow();
  }

  bool tls() const { return tls_; }

  /// The role a request's session grants: an operator while no password and no token is set.
  std::optional<Role> roleOf(const Request& request) {
    if (openToAll()) return Role::kOperator;
    const std::string_view id = sessionOf(request);
    if (id.empty()) return std::nullopt;
    return sessions_.find(id, std::chrono::steady_clock::now());
  }

  static std::string_view sessionOf(const Request& request) {
    return cookieValue(view(request[http::field::cookie]), kCookieName);
  }

  /// The answer to every request but a WebSocket upgrade, a login, the API and the metrics.
  Response route(const Request& request, const std::string& address) {
    const std::string_view target = view(request.target());
    const std::string_view path = pathOf(target);
    if (request.method() == http::verb::post) {
      if (path == kLogoutPath) return logout(request, address);
      return answer(request, http::status::method_not_allowed, "Method not allowed\n");
    }
    if (request.method() != http::verb::get)
      return answer(request, http::status::method_not_allowed, "Method not allowed\n");
    const PageFile* file = pageFile(path);
    if (file == nullptr) return answer(request, http::status::not_found, "Not found\n");
    if (!file->open && !roleOf(request)) {
      if (path == kRootPath) return redirect(request, kLoginPath);
      logMessage(kLogInfo, "Remote panel: %s from %s refused: no session", file->file,
                 address.c_str());
      return answer(request, http::status::forbidden, "Forbidden\n");
    }
    std::optional<std::string> text = readPageFile(options_.resourceFolder + file->file);
    if (!text) return answer(request, http::status::not_found, "Not found\n");
    if (path == kLoginPath) markFailure(*text, queryOf(target) == kFailedQuery);
    return answer(request, http::status::ok, std::move(*text), file->type);
  }

  /// Why an upgrade to a WebSocket from `address` is refused, or its role.
  std::optional<Role> admit(const Request& request, const std::string& address,
                            http::status& refusal) {
    refusal = http::status::forbidden;
    const std::optional<Role> role = roleOf(request);
    if (!role) {
      logMessage(kLogInfo, "Remote panel: WebSocket from %s refused: no session", address.c_str());
      return std::nullopt;
    }
    if (!sameOrigin(view(request[http::field::origin]), view(request[http::field::host]))) {
      logMessage(kLogInfo, "Remote panel: WebSocket from %s refused: foreign origin",
                 address.c_str());
      return std::nullopt;
    }
    if (clients_.size() >= options_.limits.mostClients) {
      logMessage(kLogInfo, "Remote panel: WebSocket from %s refused: %zu browsers connected",
                 address.c_str(), clients_.size());
      refusal = http::status::service_unavailable;
      return std::nullopt;
    }
    return role;
  }

  using Reply = std::function<void(Response)>;

  /// A login (`POST /login`). Its password is checked on the worker thread: an argon2id hash
  /// takes about a tenth of a second and 64 MiB, which on this thread would hold up every
  /// browser and every API read meanwhile. One check at a time per address, so that a client
  /// cannot guess in parallel before its first failure makes it wait, and a few in all.
  void login(Request request, const std::string& address, Reply reply) {
    if (credentials_->empty()) return reply(redirect(request, kRootPath));
    const auto now = std::chrono::steady_clock::now();
    const std::chrono::milliseconds wait = throttle_.wait(address, now);
    if (wait.count() > 0) {
      const long seconds = static_cast<long>((wait.count() + 999) / 1000);
      logMessage(kLogInfo, "Remote panel: login from %s refused: %ld s still to wait",
                 address.c_str(), seconds);
      return reply(loginRefusal(request, http::status::too_many_requests, seconds));
    }
    size_t fromAddress = 0;
    for (const auto& [id, pending] : logins_)
      fromAddress += pending.address == address ? 1 : 0;
    if (fromAddress > 0 || logins_.size() >= kMostLoginChecks) {
      logMessage(kLogInfo, "Remote panel: login from %s refused: %zu login(s) being checked",
                 address.c_str(), fromAddress > 0 ? fromAddress : logins_.size());
      return reply(loginRefusal(
          request,
          fromAddress > 0 ? http::status::too_many_requests : http::status::service_unavailable,
          1));
    }
    std::optional<std::string> password = formField(request.body(), kPasswordField);
    sodium_memzero(request.body().data(), request.body().size());
    if (!password || worker_ == nullptr) {
      const std::optional<Role> role = password ? credentials_->check(*password) : std::nullopt;
      if (password) sodium_memzero(password->data(), password->size());
      return reply(loggedIn(request, address, role));
    }
    const uint64_t id = ++lastLogin_;
    logins_.emplace(id, PendingLogin{std::move(request), address, std::move(reply)});
    asio::post(*worker_, [credentials = credentials_, password = std::move(*password), id,
                          mailbox = mailbox_]() mutable {
      const std::optional<Role> role = credentials->check(password);
      sodium_memzero(password.data(), password.size());
      mailbox->post([id, role](ServerCore& core) { core.loginChecked(id, role); });
    });
  }

  /// The worker's verdict on login `id`; nothing when its connection went meanwhile.
  void loginChecked(uint64_t id, std::optional<Role> role) {
    const auto found = logins_.find(id);
    if (found == logins_.end()) return;
    PendingLogin pending = std::move(found->second);
    logins_.erase(found);
    pending.reply(loggedIn(pending.request, pending.address, role));
  }

  /// Answers a request of the plant's API or its metrics through `reply`: at once, or once the
  /// engine has published or answered.
  void plant(Request request, const std::string& address, Reply reply) {
    const ApiTarget target = parseApiTarget(view(request.target()));
    if (target.route == ApiRoute::kNone)
      return reply(apiError(request, http::status::not_found, "No such resource"));
    const ApiMethod method = methodOf(target.route);
    if (request.method() != verbOf(method)) {
      Response response =
          apiError(request, http::status::method_not_allowed, "Method not allowed here");
      response.set(http::field::allow, http::to_string(verbOf(method)));
      return reply(std::move(response));
    }
    const std::optional<Role> role = apiRole(request, address);
    if (!role) return reply(unauthorized(request));
    if (method != ApiMethod::kGet) {
      if (*role != Role::kOperator)
        return reply(apiError(request, http::status::forbidden, "Only an operator may do this"));
      if (foreignOrigin(request)) {
        logMessage(kLogInfo, "Remote panel: API write from %s refused: foreign origin",
                   address.c_str());
        return reply(apiError(request, http::status::forbidden, "Foreign origin"));
      }
      return write(std::move(request), target, std::move(reply));
    }
    if (target.route == ApiRoute::kDescription) {
      std::optional<std::string> text = readPageFile(options_.resourceFolder + kDescriptionFile);
      if (!text) return reply(apiError(request, http::status::not_found, "No description here"));
      return reply(jsonAnswer(request, http::status::ok, std::move(*text)));
    }
    if (target.route == ApiRoute::kEvents)
      return reply(
          apiError(request, http::status::upgrade_required, "The event stream is a WebSocket"));
    read(std::move(request), target, std::move(reply));
  }

  /// The engine published: waiting reads are answered and the event streams told.
  void published() {
    std::shared_ptr<const PlantSnapshot> snapshot = context_.plant.latest();
    if (!snapshot || snapshot->sequence == lastSequence_) return;
    lastSequence_ = snapshot->sequence;
    const auto now = std::chrono::steady_clock::now();
    for (const Need need : kNeeds)
      if (holds(*snapshot, need)) held_[index(need)] = {snapshot, now};
    if (snapshot->parts & PlantBridge::kSomeDevices) someDevices_.push_back({snapshot, now});
    while (!someDevices_.empty() && (someDevices_.size() > kMostSomeDevicesHeld ||
                                     now - someDevices_.front().at > kDevicesFresh))
      someDevices_.pop_front();
    if (snapshot->sequence > staleUpTo_) answerWaiting(snapshot);
    sendEvents(snapshot);
  }

  /// The engine's answer to write `id`; nothing when it was answered already (timed out).
  void written(uint64_t id, const PlantReply& reply) {
    const auto found = writes_.find(id);
    if (found == writes_.end()) return;
    HeldRequest pending = std::move(found->second);
    writes_.erase(found);
    // What was published before the write may show the old value, however new it is.
    if (const auto latest = context_.plant.latest())
      staleUpTo_ = std::max(staleUpTo_, latest->sequence);
    http::status status = http::int_to_status(static_cast<unsigned>(reply.status));
    const auto kind = http::to_status_class(status);
    if (kind == http::status_class::unknown ||
        (!reply.error.empty() && kind != http::status_class::client_error &&
         kind != http::status_class::server_error))
      status = reply.error.empty() ? http::status::ok : http::status::internal_server_error;
    const bool failed = to_status_class(status) != http::status_class::successful;
    pending.reply(jsonAnswer(
        pending.request, status,
        failed && reply.error.empty() ? errorJson("The engine refused") : replyJson(reply)));
  }

  /// Why an event stream from `address` is refused, or its role.
  std::optional<Role> admitEvents(const Request& request, const std::string& address,
                                  http::status& refusal) {
    refusal = http::status::unauthorized;
    const std::optional<Role> role = apiRole(request, address);
    if (!role) return std::nullopt;
    refusal = http::status::forbidden;
    if (foreignOrigin(request)) {
      logMessage(kLogInfo, "Remote panel: event stream from %s refused: foreign origin",
                 address.c_str());
      return std::nullopt;
    }
    if (eventClients_.size() >= kMostEventClients) {
      logMessage(kLogInfo, "Remote panel: event stream from %s refused: %zu open", address.c_str(),
                 eventClients_.size());
      refusal = http::status::service_unavailable;
      return std::nullopt;
    }
    return role;
  }

  void eventJoined(EventSink& client) {
    // A first client starts from what comes next, not from an old picture.
    if (eventClients_.empty()) diff_ = EventDiff();
    eventClients_.insert(&client);
    context_.plant.watch(+1);
    if (client.values() && valueClients_++ == 0) {
      diff_.forgetValues();
      askForValues();
    }
    clientCount_.store(clients_.size() + eventClients_.size());
    logMessage(kLogInfo, "Remote panel: event stream opened from %s", client.address().c_str());
  }

  void eventLeft(EventSink& client) {
    if (eventClients_.erase(&client) == 0) return;
    context_.plant.watch(-1);
    if (client.values()) --valueClients_;
    clientCount_.store(clients_.size() + eventClients_.size());
  }

  /// Arms the plant's timers (the sweep of waiting requests, the devices asked for values) and
  /// its worker thread.
  void setPlant(asio::steady_timer* sweep, asio::steady_timer* values, asio::thread_pool* worker) {
    sweep_ = sweep;
    valuesTick_ = values;
    worker_ = worker;
  }

  /// The device list of snapshot `sequence`, made on the worker thread.
  void listMade(uint64_t sequence, const std::string& text) {
    listMaking_ = false;
    devicesText_ = {sequence, text};
    std::vector<HeldRequest> ready;
    ready.swap(listWaiting_);
    for (HeldRequest& read : ready)
      read.reply(jsonAnswer(read.request, http::status::ok, devicesText_.second));
  }

  /// A browser's WebSocket is open: the hello, then the whole picture.
  void joined(Client& client) {
    clients_.insert(&client);
    clientCount_.store(clients_.size() + eventClients_.size());
    logMessage(kLogInfo, "Remote panel: %s connected from %s",
               std::string(roleName(client.role())).c_str(), client.address().c_str());
    client.send(
        encodeHello(roleName(client.role()), kViewWidth, kViewHeight, !credentials_->empty()),
        false);
    takeScreens();
    sendUpdate(client, true);
  }

  void left(Client& client) {
    if (clients_.erase(&client) == 0) return;
    clientCount_.store(clients_.size() + eventClients_.size());
  }

  /// A message of a browser; only text ones mean anything.
  void received(Client& client, std::string_view text, bool isText) {
    if (client.tooFast(std::chrono::steady_clock::now())) {
      logMessage(kLogInfo, "Remote panel: %s sent more than %d messages a second, closed",
                 client.address().c_str(), kMostMessagesPerSecond);
      client.closeNow();
      return;
    }
    if (!isText) return;
    const std::optional<ClientMessage> message = decodeClientMessage(text);
    if (!message) return;
    if (message->kind == ClientMessageKind::kReady) {
      if (!client.waiting()) return;
      client.setWaiting(false);
      client.awaitReady(false);
      offerUpdate(client);
      return;
    }
    if (client.role() != Role::kOperator) return;
    operate(*message);
  }

  /// The engine drew: every browser waiting for nothing gets the difference.
  void screensChanged() {
    screensDirty_ = true;
    updateReady();
  }

  /// Sends `client` the difference unless it has not said "ready" yet; when its last update
  /// went out too recently, later.
  void offerUpdate(Client& client) {
    if (client.waiting()) return;
    const auto now = std::chrono::steady_clock::now();
    const auto due = client.lastUpdate() + options_.limits.leastUpdateInterval;
    if (now < due) return client.offerAt(due);
    takeScreens();
    sendUpdate(client, false);
  }

  /// Arms the lamp looks of `kLampLookSoon` and `kLampLookLate` (with the loop's timers).
  void setLampTimers(asio::steady_timer* soon, asio::steady_timer* late) {
    lampSoon_ = soon;
    lampLate_ = late;
  }

 private:
  // Sends the difference to every browser that said "ready" for its last update.
  void updateReady() {
    const std::vector<Client*> all(clients_.begin(), clients_.end());
    for (Client* client : all)
      offerUpdate(*client);
  }

  // Copies the raster when the engine drew since the last copy; reads the lamps always (they
  // change without a notice). Either change makes a new version, and the updates encoded for
  // the last one are forgotten.
  void takeScreens() {
    if (screensDirty_) {
      screensDirty_ = false;
      std::lock_guard<std::mutex> guard(context_.screenLock);
      std::memcpy(snapshot_.data(), context_.pixels(), snapshot_.size() * sizeof(uint32_t));
      newVersion();
    }
    const LampStates lamps = unpackLampWord(context_.lampWord.load(std::memory_order_relaxed));
    if (lamps != lamps_) {
      lamps_ = lamps;
      newVersion();
    }
  }

  void newVersion() {
    ++version_;
    encoded_.clear();
  }

  // Browsers that show the same picture (they nearly always do) get the same update: it is
  // found and compressed once per version they show, and they share the picture it leads to.
  void sendUpdate(Client& client, bool whole) {
    const bool fromNothing = whole || !client.shown();
    const uint64_t from = fromNothing ? kWholeUpdate : client.shownVersion();
    auto found = encoded_.find(from);
    if (found == encoded_.end()) {
      auto next = fromNothing ? std::make_shared<ShownScreen>()
                              : std::make_shared<ShownScreen>(*client.shown());
      std::string bytes = encodeUpdate(snapshot_.data(), *next, lamps_, fromNothing);
      found = encoded_.emplace(from, EncodedUpdate{std::move(bytes), std::move(next)}).first;
    }
    client.show(found->second.shown, version_);
    if (found->second.bytes.empty()) return;
    client.setWaiting(true);
    client.setLastUpdate(std::chrono::steady_clock::now());
    client.awaitReady(true);
    client.send(found->second.bytes, true);
  }

  void operate(const ClientMessage& message) {
    WinInput& input = context_.input;
    switch (message.kind) {
      case ClientMessageKind::kKey:
        input.queueKey(message.code);
        break;
      case ClientMessageKind::kTurn:
        // Clockwise (positive) is the desktop's wheel turned towards the user.
        for (int32_t step = 0; step < std::abs(message.steps); ++step)
          input.queueKnobTurn(message.knob, message.steps < 0);
        break;
      case ClientMessageKind::kPush:
        input.queueKnobButton(message.knob, message.down, static_cast<uint32_t>(message.held));
        break;
      case ClientMessageKind::kTouch:
        input.setTouch(message.screen, message.x, message.y, message.down);
        break;
      case ClientMessageKind::kReady:
        return;
    }
    lookAtLamps();
  }

  // The early look comes 20 ms after the first input of a burst, and again after the next
  // input once it came; the late one 200 ms after the last input, so a steady stream of input
  // neither hides the lamps until it ends nor misses what its last input lit.
  void lookAtLamps() {
    if (lampSoon_ == nullptr || lampLate_ == nullptr) return;
    if (!lampSoonPending_) {
      lampSoonPending_ = true;
      lampSoon_->expires_after(kLampLookSoon);
      lampSoon_->async_wait([this](beast::error_code error) {
        lampSoonPending_ = false;
        if (!error) updateReady();
      });
    }
    lampLate_->expires_after(kLampLookLate);
    lampLate_->async_wait([this](beast::error_code error) {
      if (!error) updateReady();
    });
  }

  // What a read shows, by the part of the snapshot it needs.
  enum class Need : uint8_t { kStatus = 0, kDevices = 1, kReports = 2 };
  static constexpr Need kNeeds[] = {Need::kStatus, Need::kDevices, Need::kReports};
  static size_t index(Need need) { return static_cast<size_t>(need); }
  static PlantBridge::Part partOf(Need need) {
    switch (need) {
      case Need::kDevices:
        return PlantBridge::kDevices;
      case Need::kReports:
        return PlantBridge::kReports;
      case Need::kStatus:
        break;
    }
    return PlantBridge::kStatus;
  }
  static std::chrono::milliseconds freshness(Need need) {
    switch (need) {
      case Need::kDevices:
        return kDevicesFresh;
      case Need::kReports:
        return kReportsFresh;
      case Need::kStatus:
        break;
    }
    return kStatusFresh;
  }
  static Need needOf(ApiRoute route) {
    switch (route) {
      case ApiRoute::kDevices:
      case ApiRoute::kDevice:
        return Need::kDevices;
      case ApiRoute::kReports:
      case ApiRoute::kReport:
        return Need::kReports;
      default:
        return Need::kStatus;
    }
  }
  // The status is in every publication.
  static bool holds(const PlantSnapshot& snapshot, Need need) {
    return need == Need::kStatus || (snapshot.parts & partOf(need)) != 0;
  }
  static http::verb verbOf(ApiMethod method) {
    switch (method) {
      case ApiMethod::kPut:
        return http::verb::put;
      case ApiMethod::kPost:
        return http::verb::post;
      case ApiMethod::kGet:
        break;
    }
    return http::verb::get;
  }

  struct Held {
    std::shared_ptr<const PlantSnapshot> snapshot;
    std::chrono::steady_clock::time_point at{};  // when it came
  };
  struct WaitingRead {
    Request request;
    ApiTarget target;
    Reply reply;
    Need need;
    std::chrono::steady_clock::time_point deadline;  // then answered from the newest there is
    std::chrono::steady_clock::time_point giveUp;    // then answered 503 when there is none
  };
  // A write waiting for the engine, or a read waiting for the worker.
  struct HeldRequest {
    Request request;
    Reply reply;
    std::chrono::steady_clock::time_point deadline;  // writes only
  };

  struct PendingLogin {
    Request request;  // its password wiped
    std::string address;
    Reply reply;
  };

  // The identity of the tokens file as it was read: a save renames a new file into place.
  struct FileStamp {
    ino_t inode = 0;
    off_t size = -1;
    time_t seconds = 0;
    long nanoseconds = 0;
    friend bool operator==(const FileStamp&, const FileStamp&) = default;
  };
  static FileStamp stampOf(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return {};
    return {info.st_ino, info.st_size, info.st_mtim.tv_sec, info.st_mtim.tv_nsec};
  }

  // Reads the tokens again when their file changed; a file that cannot be read takes no token
  // and never opens the server to all.
  void refreshTokens() {
    const auto now = std::chrono::steady_clock::now();
    if (now - tokensLooked_ < kTokensLook) return;
    tokensLooked_ = now;
    const FileStamp stamp = stampOf(tokensPath_);
    if (stamp == tokensStamp_) return;
    tokensStamp_ = stamp;
    std::string error;
    std::optional<ApiTokens> loaded = ApiTokens::load(tokensPath_, error);
    if (!loaded) {
      logMessage(kLogInfo, "Remote panel: no API token is taken: %s", error.c_str());
      tokens_ = ApiTokens();
      tokensDamaged_ = true;
      return;
    }
    tokens_ = std::move(*loaded);
    tokensDamaged_ = false;
    logMessage(kLogInfo, "Remote panel: %zu API tokens read again", tokens_.entries().size());
  }

  // No password and no token, serving loopback only: whoever reaches the port operates.
  bool openToAll() {
    refreshTokens();
    return credentials_->empty() && tokens_.empty() && !tokensDamaged_ && loopbackOnly_;
  }

  // The role an API request's bearer token or session grants. A refusal is logged with the
  // address only: a token never reaches the log.
  std::optional<Role> apiRole(const Request& request, const std::string& address) {
    const std::string_view authorization = view(request[http::field::authorization]);
    if (authorization.empty()) {
      // Open to all, the API answers only requests sent to a loopback name: a page of another
      // site that had its name resolve to 127.0.0.1 passes the origin check, not this one.
      if (openToAll() && !loopbackHost(view(request[http::field::host]))) {
        logMessage(kLogInfo, "Remote panel: API request from %s refused: not sent to loopback",
                   address.c_str());
        return std::nullopt;
      }
      const std::optional<Role> role = roleOf(request);
      if (!role)
        logMessage(kLogInfo, "Remote panel: API request from %s refused: no token or session",
                   address.c_str());
      return role;
    }
    refreshTokens();
    std::optional<Role> role;
    if (authorization.size() > kBearerScheme.size() &&
        startsWithNoCase(authorization, kBearerScheme))
      role = tokens_.check(authorization.substr(kBearerScheme.size()));
    if (!role)
      logMessage(kLogInfo, "Remote panel: API request from %s refused: unknown token",
                 address.c_str());
    return role;
  }

  static Response unauthorized(const Request& request) {
    Response response =
        apiError(request, http::status::unauthorized, "A token or a session is needed");
    response.set(http::field::www_authenticate, "Bearer");
    return response;
  }

  // A browser's request made by a page of another site (no Origin: not a browser's).
  static bool foreignOrigin(const Request& request) {
    const std::string_view origin = view(request[http::field::origin]);
    return !origin.empty() && !sameOrigin(origin, view(request[http::field::host]));
  }

  void read(Request request, const ApiTarget& target, Reply reply) {
    const Need need = needOf(target.route);
    const auto now = std::chrono::steady_clock::now();
    if (target.route == ApiRoute::kDevice) {
      if (auto snapshot = deviceSnapshot(target.id, now, true))
        return answerRead(std::move(request), target, snapshot, std::move(reply));
    } else {
      const Held& held = held_[index(need)];
      if (held.snapshot && now - held.at <= freshness(need) && held.snapshot->sequence > staleUpTo_)
        return answerRead(std::move(request), target, held.snapshot, std::move(reply));
    }
    ask(target);
    waiting_.push_back({std::move(request), target, std::move(reply), need, now + kPlantReadWait,
                        now + kPlantReadLongest});
    armSweep();
  }

  // Asks the engine for what a read of `target` shows.
  void ask(const ApiTarget& target) {
    if (target.route == ApiRoute::kDevice) return context_.plant.wantDevice(target.id);
    context_.plant.want(partOf(needOf(target.route)));
  }

  // The newest snapshot holding device `number`, of every device or of some; with `freshOnly`,
  // only one fresh enough and newer than the last write.
  std::shared_ptr<const PlantSnapshot> deviceSnapshot(int32_t number,
                                                      std::chrono::steady_clock::time_point now,
                                                      bool freshOnly) const {
    std::shared_ptr<const PlantSnapshot> newest;
    const auto consider = [&](const Held& held) {
      if (!held.snapshot || !holdsDevice(*held.snapshot, number)) return;
      if (freshOnly && (now - held.at > kDevicesFresh || held.snapshot->sequence <= staleUpTo_))
        return;
      if (!newest || held.snapshot->sequence > newest->sequence) newest = held.snapshot;
    };
    consider(held_[index(Need::kDevices)]);
    for (const Held& held : someDevices_)
      consider(held);
    return newest;
  }

  static bool covers(const PlantSnapshot& snapshot, const WaitingRead& read) {
    if (read.target.route == ApiRoute::kDevice) return holdsDevice(snapshot, read.target.id);
    return holds(snapshot, read.need);
  }

  Response readAnswer(const Request& request, const ApiTarget& target,
                      const PlantSnapshot& snapshot) {
    const auto found = [&](std::optional<std::string> text, const char* missing) {
      return text ? jsonAnswer(request, http::status::ok, std::move(*text))
                  : apiError(request, http::status::not_found, missing);
    };
    switch (target.route) {
      case ApiRoute::kMonitors:
        // Every wall asks for them ten times a second: made once per snapshot.
        if (monitorsText_.first != snapshot.sequence)
          monitorsText_ = {snapshot.sequence, monitorsJson(snapshot)};
        return jsonAnswer(request, http::status::ok, monitorsText_.second);
      case ApiRoute::kMonitor:
        return found(monitorJson(snapshot, target.id), "No such monitor");
      case ApiRoute::kDevices:
        // The whole list is the largest answer: made once per snapshot.
        if (devicesText_.first != snapshot.sequence)
          devicesText_ = {snapshot.sequence, devicesJson(snapshot)};
        return jsonAnswer(request, http::status::ok, devicesText_.second);
      case ApiRoute::kDevice:
        return found(deviceJson(snapshot, target.id), "No such device");
      case ApiRoute::kCards:
        return jsonAnswer(request, http::status::ok, cardsJson(snapshot));
      case ApiRoute::kReports:
        return jsonAnswer(request, http::status::ok, reportsJson(snapshot));
      case ApiRoute::kReport:
        return reportFile(request, target, snapshot);
      case ApiRoute::kMetrics:
        return metricsAnswer(request);
      default:
        return apiError(request, http::status::not_found, "No such resource");
    }
  }

  // The metrics need no snapshot: the pass times and the viewers are there without one.
  Response metricsAnswer(const Request& request) {
    return answer(request, http::status::ok,
                  renderMetrics({context_.plant.latest(), context_.plant.passes(),
                                 clients_.size() + eventClients_.size()}),
                  kMetricsType.data());
  }

  // Only a file the engine listed is served, so no name reaches outside the report folder.
  Response reportFile(const Request& request, const ApiTarget& target,
                      const PlantSnapshot& snapshot) {
    for (const PlantReport& report : snapshot.reports) {
      if (report.file != target.file) continue;
      std::optional<std::string> text =
          readPageFile(context_.reportFolder() + "reports/" + report.file);
      if (!text) break;
      return answer(request, http::status::ok, std::move(*text), reportType(report.file));
    }
    return apiError(request, http::status::not_found, "No such report");
  }

  void write(Request request, const ApiTarget& target, Reply reply) {
    PlantRequest wanted;
    if (target.route == ApiRoute::kItem) {
      const std::string_view type = view(request[http::field::content_type]);
      if (!startsWithNoCase(type, kJsonType))
        return reply(apiError(request, http::status::unsupported_media_type,
                              "The body must be application/json"));
      std::string error;
      std::optional<PlantRequest> parsed = readItemValue(target, request.body(), error);
      if (!parsed) return reply(apiError(request, http::status::bad_request, error));
      wanted = std::move(*parsed);
    } else {
      wanted.kind = target.action;
      wanted.monitor = target.id;
    }
    const uint64_t id = ++lastWrite_;
    writes_.emplace(id, HeldRequest{std::move(request), std::move(reply),
                                    std::chrono::steady_clock::now() + kPlantWriteWait});
    armSweep();
    context_.plant.submit(std::move(wanted), [mailbox = mailbox_, id](PlantReply answer) {
      mailbox->post(
          [id, answer = std::move(answer)](ServerCore& core) { core.written(id, answer); });
    });
  }

  void answerWaiting(const std::shared_ptr<const PlantSnapshot>& snapshot) {
    std::vector<WaitingRead> ready;
    for (auto it = waiting_.begin(); it != waiting_.end();) {
      if (covers(*snapshot, *it)) {
        ready.push_back(std::move(*it));
        it = waiting_.erase(it);
      } else {
        ++it;
      }
    }
    for (WaitingRead& read : ready)
      answerRead(std::move(read.request), read.target, snapshot, std::move(read.reply));
  }

  // Answers a read from `snapshot`. The whole device list, the one answer that takes long in a
  // large plant (about 0.1 s for 32,000 items), is made on the worker thread, once per snapshot
  // for every read waiting for it, so the server's thread goes on serving meanwhile.
  void answerRead(Request request, const ApiTarget& target,
                  const std::shared_ptr<const PlantSnapshot>& snapshot, Reply reply) {
    if (target.route != ApiRoute::kDevices || worker_ == nullptr ||
        devicesText_.first == snapshot->sequence)
      return reply(readAnswer(request, target, *snapshot));
    listWaiting_.push_back({std::move(request), std::move(reply), {}});
    if (listMaking_) return;
    listMaking_ = true;
    asio::post(*worker_, [snapshot, mailbox = mailbox_] {
      auto text = std::make_shared<const std::string>(devicesJson(*snapshot));
      mailbox->post([sequence = snapshot->sequence, text](ServerCore& core) {
        core.listMade(sequence, *text);
      });
    });
  }

  void armSweep() {
    if (sweepPending_ || sweep_ == nullptr) return;
    sweepPending_ = true;
    sweep_->expires_after(kPlantSweep);
    sweep_->async_wait([this](beast::error_code error) {
      sweepPending_ = false;
      if (!error) sweepWaiting();
    });
  }

  // Answers the reads that waited long enough from the newest snapshot there is, and the
  // writes the engine left unanswered; asks again for what the rest wait for, in case the
  // publication they wanted was overtaken by a later one without it.
  void sweepWaiting() {
    const auto now = std::chrono::steady_clock::now();
    std::vector<WaitingRead> late;
    for (auto it = waiting_.begin(); it != waiting_.end();) {
      if (it->deadline <= now) {
        late.push_back(std::move(*it));
        it = waiting_.erase(it);
      } else {
        ask(it->target);
        ++it;
      }
    }
    std::vector<HeldRequest> unanswered;
    for (auto it = writes_.begin(); it != writes_.end();) {
      if (it->second.deadline <= now) {
        unanswered.push_back(std::move(it->second));
        it = writes_.erase(it);
      } else {
        ++it;
      }
    }
    for (WaitingRead& read : late) {
      const std::shared_ptr<const PlantSnapshot> newest =
          read.target.route == ApiRoute::kDevice ? deviceSnapshot(read.target.id, now, false)
                                                 : held_[index(read.need)].snapshot;
      if (newest) {
        answerRead(std::move(read.request), read.target, newest, std::move(read.reply));
      } else if (read.target.route == ApiRoute::kMetrics) {
        read.reply(metricsAnswer(read.request));
      } else if (now < read.giveUp) {
        ask(read.target);
        waiting_.push_back(std::move(read));
      } else {
        read.reply(apiError(read.request, http::status::service_unavailable,
                            "The engine has not published this in time; try again"));
      }
    }
    for (HeldRequest& write : unanswered)
      write.reply(apiError(write.request, http::status::service_unavailable,
                           "The engine did not answer in time; the change may still be made"));
    if (!waiting_.empty() || !writes_.empty()) armSweep();
  }

  void sendEvents(const std::shared_ptr<const PlantSnapshot>& snapshot) {
    if (eventClients_.empty()) return;
    const EventDiff::Events events = diff_.next(snapshot, valueClients_ > 0);
    if (events.status.empty() && events.values.empty()) return;
    const auto shared = [](const std::vector<std::string>& texts) {
      std::vector<std::shared_ptr<const std::string>> out;
      out.reserve(texts.size());
      for (const std::string& text : texts)
        out.push_back(std::make_shared<const std::string>(text));
      return out;
    };
    const auto status = shared(events.status);
    const auto values = shared(events.values);
    const std::vector<EventSink*> all(eventClients_.begin(), eventClients_.end());
    for (EventSink* client : all) {
      for (const auto& message : status)
        client->send(message);
      if (client->values())
        for (const auto& message : values)
          client->send(message);
    }
  }

  // While a client wants values, the engine publishes its devices every `kValuesInterval`.
  void askForValues() {
    if (valuesPending_ || valuesTick_ == nullptr) return;
    context_.plant.want(PlantBridge::kDevices);
    valuesPending_ = true;
    valuesTick_->expires_after(kValuesInterval);
    valuesTick_->async_wait([this](beast::error_code error) {
      valuesPending_ = false;
      if (!error && valueClients_ > 0) askForValues();
    });
  }

  Response loggedIn(const Request& request, const std::string& address, std::optional<Role> role) {
    const auto now = std::chrono::steady_clock::now();
    if (!role) {
      throttle_.failed(address, now);
      logMessage(kLogInfo, "Remote panel: wrong password from %s", address.c_str());
      return redirect(request, kFailedLoginTarget);
    }
    throttle_.succeeded(address);
    const std::string id = sessions_.open(*role, now);
    logMessage(kLogInfo, "Remote panel: %s logged in from %s", std::string(roleName(*role)).c_str(),
               address.c_str());
    Response response = redirect(request, kRootPath);
    response.set(http::field::set_cookie, cookie(id, kCookieSeconds));
    return response;
  }

  static Response loginRefusal(const Request& request, http::status status, long seconds) {
    Response response = answer(request, status, "Too many logins\n");
    response.set(http::field::retry_after, std::to_string(seconds));
    return response;
  }

  Response logout(const Request& request, const std::string& address) {
    const std::string_view id = sessionOf(request);
    if (!id.empty()) {
      sessions_.close(id);
      // The session's sockets end with it.
      const std::vector<Client*> all(clients_.begin(), clients_.end());
      for (Client* client : all)
        if (client->session() == id) client->closeNow();
      const std::vector<EventSink*> streams(eventClients_.begin(), eventClients_.end());
      for (EventSink* stream : streams)
        if (stream->session() == id) stream->closeNow();
    }
    logMessage(kLogInfo, "Remote panel: logged out from %s", address.c_str());
    Response response = redirect(request, kLoginPath);
    response.set(http::field::set_cookie, cookie("", 0));
    return response;
  }

  std::string cookie(std::string_view id, int seconds) const {
    std::string text = std::string(kCookieName) + "=" + std::string(id) +
                       "; HttpOnly; SameSite=Strict; Path=/; Max-Age=" + std::to_string(seconds);
    if (tls_) text += "; Secure";
    return text;
  }

  static void markFailure(std::string& page, bool failed) {
    const size_t at = page.find(kFailedMarker);
    if (at == std::string::npos) return;
    page.replace(at, kFailedMarker.size(), failed ? kFailedNotice : std::string_view());
  }

  std::atomic<size_t>& clientCount_;  // read by other threads
  AppContext& context_;
  const RemoteOptions& options_;
  // Shared with the password checks on the worker thread, which only read it.
  const std::shared_ptr<const Credentials> credentials_;
  ApiTokens tokens_;
  const std::string tokensPath_;
  FileStamp tokensStamp_;
  std::chrono::steady_clock::time_point tokensLooked_;
  bool tokensDamaged_ = false;
  const bool loopbackOnly_;
  const bool tls_;
  const std::shared_ptr<PlantMailbox> mailbox_;
  SessionTable sessions_;
  LoginThrottle throttle_;
  std::unordered_set<Connection*> connections_;
  std::unordered_set<Client*> clients_;
  // The plant: the newest snapshot holding each part, the reads and writes waiting for the
  // engine (after `connections_`, so they go first), and the event streams.
  std::array<Held, std::size(kNeeds)> held_;
  std::deque<Held> someDevices_;  // oldest first
  uint64_t lastSequence_ = 0;
  uint64_t staleUpTo_ = 0;
  std::pair<uint64_t, std::string> devicesText_;
  std::pair<uint64_t, std::string> monitorsText_;
  asio::thread_pool* worker_ = nullptr;
  std::unordered_map<uint64_t, PendingLogin> logins_;  // being checked on the worker
  uint64_t lastLogin_ = 0;
  bool listMaking_ = false;
  std::vector<HeldRequest> listWaiting_;
  std::vector<WaitingRead> waiting_;
  std::unordered_map<uint64_t, HeldRequest> writes_;
  uint64_t lastWrite_ = 0;
  asio::steady_timer* sweep_ = nullptr;
  bool sweepPending_ = false;
  std::unordered_set<EventSink*> eventClients_;
  EventDiff diff_;
  size_t valueClients_ = 0;
  asio::steady_timer* valuesTick_ = nullptr;
  bool valuesPending_ = false;
  std::vector<uint32_t> snapshot_;
  // The version of `snapshot_` and `lamps_` (versions start at 1), and the updates encoded to
  // it, by the version their browsers showed (`kWholeUpdate` for a whole picture).
  struct EncodedUpdate {
    std::string bytes;
    std::shared_ptr<const ShownScreen> shown;
  };
  static constexpr uint64_t kWholeUpdate = 0;
  uint64_t version_ = 1;
  std::unordered_map<uint64_t, EncodedUpdate> encoded_;
  bool screensDirty_ = true;
  LampStates lamps_{};
  asio::steady_timer* lampSoon_ = nullptr;
  asio::steady_timer* lampLate_ = nullptr;
  bool lampSoonPending_ = false;
};

Connection::Connection(ServerCore& core) : core_(core) {
  core_.added(this);
}

Connection::~Connection() {
  core_.removed(this);
}

template <class Stream>
constexpr bool kTlsStream = !std::is_same_v<Stream, beast::tcp_stream>;

template <class Stream>
void closeSocket(Stream& stream) {
  beast::error_code ignored;
  tcp::socket& socket = beast::get_lowest_layer(stream).socket();
  socket.shutdown(tcp::socket::shutdown_both, ignored);
  socket.close(ignored);
}

// A WebSocket as the server keeps them: a bounded handshake, then no timer and no ping while it
// is quiet (TCP keep-alive finds a vanished peer), the common headers, small messages only.
template <class Socket>
void prepareWebSocket(Socket& socket) {
  beast::get_lowest_layer(socket).expires_never();
  websocket::stream_base::timeout timeout{};
  timeout.handshake_timeout = kRequestTime;
  timeout.idle_timeout = websocket::stream_base::none();
  timeout.keep_alive_pings = false;
  socket.set_option(timeout);
  keepAlive(beast::get_lowest_layer(socket).socket());
  socket.set_option(websocket::stream_base::decorator(
      [](websocket::response_type& response) { addCommonHeaders(response); }));
  socket.read_message_max(kMostClientMessageBytes);
}

// ---------------------------------------------------------------------------------------------
// [5] SocketClient: the WebSocket of one browser

template <class Stream>
class SocketClient final : public Client,
                           public std::enable_shared_from_this<SocketClient<Stream>> {
 public:
  SocketClient(ServerCore& core, Role role, std::string address, std::string session,
               Stream&& stream)
      : Client(core, role, std::move(address), std::move(session)),
        socket_(std::move(stream)),
        readyTimer_(socket_.get_executor()),
        offerTimer_(socket_.get_executor()) {}

  ~SocketClient() override { core_.left(*this); }

  void accept(Request request) {
    request_ = std::move(request);
    prepareWebSocket(socket_);
    socket_.async_accept(request_, [self = this->shared_from_this()](beast::error_code error) {
      self->accepted(error);
    });
  }

  void send(std::string bytes, bool binary) override {
    unsentBytes_ += bytes.size();
    if (unsentBytes_ > core_.limits().mostUnsentBytes) {
      logMessage(kLogInfo, "Remote panel: %s dropped: more than %zu bytes unsent",
                 address().c_str(), core_.limits().mostUnsentBytes);
      closeNow();
      return;
    }
    outgoing_.push_back({std::move(bytes), binary});
    if (!writing_) writeNext();
  }

  void awaitReady(bool waiting) override {
    if (!waiting) {
      readyTimer_.cancel();
      return;
    }
    readyTimer_.expires_after(core_.limits().readyTime);
    readyTimer_.async_wait([self = this->weak_from_this()](beast::error_code error) {
      const auto client = self.lock();
      if (error || !client) return;
      logMessage(kLogInfo, "Remote panel: %s dropped: no \"ready\" for %.1f s",
                 client->address().c_str(),
                 std::chrono::duration<double>(client->core_.limits().readyTime).count());
      client->closeNow();
    });
  }

  void offerAt(std::chrono::steady_clock::time_point due) override {
    if (offerPending_ || closed_) return;
    offerPending_ = true;
    offerTimer_.expires_at(due);
    offerTimer_.async_wait([self = this->weak_from_this()](beast::error_code error) {
      const auto client = self.lock();
      if (!client) return;
      client->offerPending_ = false;
      if (!error && !client->closed_) client->core_.offerUpdate(*client);
    });
  }

  void closeNow() override {
    closed_ = true;
    readyTimer_.cancel();
    offerTimer_.cancel();
    closeSocket(socket_);
  }

 private:
  struct Outgoing {
    std::string bytes;
    bool binary;
  };

  void accepted(beast::error_code error) {
    if (error || closed_) return;
    core_.joined(*this);
    read();
  }

  void read() {
    socket_.async_read(readBuffer_,
                       [self = this->shared_from_this()](beast::error_code error, size_t) {
                         self->receivedMessage(error);
                       });
  }

  void receivedMessage(beast::error_code error) {
    if (error) {
      // A message over the bound fails the read; Beast has then closed with "too big".
      if (error == websocket::error::message_too_big)
        logMessage(kLogInfo, "Remote panel: %s sent a message over %zu bytes, closed",
                   address().c_str(), kMostClientMessageBytes);
      closeNow();
      return;
    }
    const auto data = readBuffer_.cdata();
    core_.received(*this, std::string_view(static_cast<const char*>(data.data()), data.size()),
                   socket_.got_text());
    readBuffer_.clear();
    if (!closed_) read();
  }

  void writeNext() {
    if (outgoing_.empty() || closed_) {
      writing_ = false;
      return;
    }
    writing_ = true;
    socket_.binary(outgoing_.front().binary);
    socket_.async_write(asio::buffer(outgoing_.front().bytes),
                        [self = this->shared_from_this()](beast::error_code error, size_t) {
                          self->written(error);
                        });
  }

  void written(beast::error_code error) {
    unsentBytes_ -= outgoing_.front().bytes.size();
    outgoing_.pop_front();
    if (error) {
      writing_ = false;
      closeNow();
      return;
    }
    writeNext();
  }

  websocket::stream<Stream> socket_;
  Request request_;
  asio::steady_timer readyTimer_;
  asio::steady_timer offerTimer_;
  bool offerPending_ = false;
  beast::flat_buffer readBuffer_;
  std::deque<Outgoing> outgoing_;
  size_t unsentBytes_ = 0;
  bool writing_ = false;
  bool closed_ = false;
};

// ---------------------------------------------------------------------------------------------
// [6] EventClient: the event stream of one API client

template <class Stream>
class EventClient final : public EventSink,
                          public std::enable_shared_from_this<EventClient<Stream>> {
 public:
  EventClient(ServerCore& core, std::string address, std::string session, bool values,
              Stream&& stream)
      : EventSink(core, std::move(address), std::move(session), values),
        socket_(std::move(stream)) {}

  ~EventClient() override { core_.eventLeft(*this); }

  void accept(Request request) {
    request_ = std::move(request);
    prepareWebSocket(socket_);
    socket_.async_accept(request_, [self = this->shared_from_this()](beast::error_code error) {
      if (!error && !self->closed_) {
        self->core_.eventJoined(*self);
        self->read();
      }
    });
  }

  void send(std::shared_ptr<const std::string> message) override {
    if (closed_) return;
    if (outgoing_.size() >= kMostEventBacklog) {
      logMessage(kLogInfo, "Remote panel: event stream of %s dropped: %zu messages unsent",
                 address().c_str(), outgoing_.size());
      closeNow();
      return;
    }
    outgoing_.push_back(std::move(message));
    if (!writing_) writeNext();
  }

  void closeNow() override {
    closed_ = true;
    closeSocket(socket_);
  }

 private:
  // The stream only speaks: what a client says is read, within bounds, and let go.
  void read() {
    socket_.async_read(readBuffer_,
                       [self = this->shared_from_this()](beast::error_code error, size_t) {
                         self->readBuffer_.clear();
                         if (error) return self->closeNow();
                         const auto now = std::chrono::steady_clock::now();
                         if (now - self->windowStart_ >= 1s) {
                           self->windowStart_ = now;
                           self->messagesInWindow_ = 0;
                         }
                         if (++self->messagesInWindow_ > kMostMessagesPerSecond) {
                           logMessage(kLogInfo,
                                      "Remote panel: %s sent more than %d messages a "
                                      "second, closed",
                                      self->address().c_str(), kMostMessagesPerSecond);
                           return self->closeNow();
                         }
                         if (!self->closed_) self->read();
                       });
  }

  void writeNext() {
    if (outgoing_.empty() || closed_) {
      writing_ = false;
      return;
    }
    writing_ = true;
    socket_.text(true);
    socket_.async_write(asio::buffer(*outgoing_.front()),
                        [self = this->shared_from_this()](beast::error_code error, size_t) {
                          self->outgoing_.pop_front();
                          if (error) {
                            self->writing_ = false;
                            return self->closeNow();
                          }
                          self->writeNext();
                        });
  }

  websocket::stream<Stream> socket_;
  Request request_;
  beast::flat_buffer readBuffer_;
  std::deque<std::shared_ptr<const std::string>> outgoing_;
  bool writing_ = false;
  bool closed_ = false;
  std::chrono::steady_clock::time_point windowStart_{};
  int messagesInWindow_ = 0;
};

// ---------------------------------------------------------------------------------------------
// [7] HttpConnection: requests until a WebSocket upgrade

template <class Stream>
class HttpConnection final : public Connection,
                             public std::enable_shared_from_this<HttpConnection<Stream>> {
 public:
  template <class... Args>
  HttpConnection(ServerCore& core, std::string address, tcp::socket&& socket, Args&... tls)
      : Connection(core), address_(std::move(address)), stream_(std::move(socket), tls...) {}

  void start() {
    if constexpr (kTlsStream<Stream>) {
      beast::get_lowest_layer(stream_).expires_after(kRequestTime);
      stream_.async_handshake(ssl::stream_base::server,
                              [self = this->shared_from_this()](beast::error_code error) {
                                if (!error) self->read();
                              });
    } else {
      read();
    }
  }

  void closeNow() override {
    if (!upgraded_) closeSocket(stream_);
  }

 private:
  void read() {
    parser_.emplace();
    parser_->header_limit(kMostHeaderBytes);
    parser_->body_limit(kMostBodyBytes);
    beast::get_lowest_layer(stream_).expires_after(kRequestTime);
    http::async_read(stream_, buffer_, *parser_,
                     [self = this->shared_from_this()](beast::error_code error, size_t) {
                       self->requestRead(error);
                     });
  }

  void requestRead(beast::error_code error) {
    if (error == http::error::body_limit) return refuse(http::status::payload_too_large);
    if (error == http::error::header_limit)
      return refuse(http::status::request_header_fields_too_large);
    if (error == http::error::end_of_stream || error == beast::error::timeout ||
        error == asio::error::operation_aborted || error == asio::error::eof ||
        error == asio::error::connection_reset) {
      return closeSocket(stream_);
    }
    if (error) return refuse(http::status::bad_request);
    Request request = parser_->release();
    const std::string_view path = pathOf(view(request.target()));
    if (websocket::is_upgrade(request)) {
      if (path == kSocketPath) return upgrade(std::move(request));
      if (path == kEventsPath) return upgradeEvents(std::move(request));
    }
    if (path == kLoginPath && request.method() == http::verb::post)
      return core_.login(std::move(request), address_,
                         [self = this->shared_from_this()](Response response) {
                           self->respond(std::move(response));
                         });
    if (path.substr(0, kApiPrefix.size()) == kApiPrefix || path == kMetricsPath)
      return core_.plant(std::move(request), address_,
                         [self = this->shared_from_this()](Response response) {
                           self->respond(std::move(response));
                         });
    respond(core_.route(request, address_));
  }

  void upgradeEvents(Request request) {
    http::status refusal{};
    if (!core_.admitEvents(request, address_, refusal)) {
      Response response = apiError(request, refusal, "The event stream is refused");
      response.keep_alive(false);
      return respond(std::move(response));
    }
    upgraded_ = true;
    const bool values = parseApiTarget(view(request.target())).values;
    const std::string session(ServerCore::sessionOf(request));
    std::make_shared<EventClient<Stream>>(core_, address_, session, values, std::move(stream_))
        ->accept(std::move(request));
  }

  void upgrade(Request request) {
    http::status refusal{};
    const std::optional<Role> role = core_.admit(request, address_, refusal);
    if (!role) {
      Response response = answer(request, refusal, "Forbidden\n");
      response.keep_alive(false);
      return respond(std::move(response));
    }
    upgraded_ = true;
    const std::string session(ServerCore::sessionOf(request));
    std::make_shared<SocketClient<Stream>>(core_, *role, address_, session, std::move(stream_))
        ->accept(std::move(request));
  }

  // Answers a request that could not be read, and closes.
  void refuse(http::status status) {
    Request request;
    request.version(11);
    Response response =
        answer(request, status, std::string(view(http::obsolete_reason(status))) + "\n");
    response.keep_alive(false);
    respond(std::move(response));
  }

  void respond(Response response) {
    response_ = std::move(response);
    http::async_write(stream_, *response_,
                      [self = this->shared_from_this()](beast::error_code error, size_t) {
                        self->responded(error);
                      });
  }

  void responded(beast::error_code error) {
    const bool again = !error && response_->keep_alive();
    response_.reset();
    if (again) return read();
    closeSocket(stream_);
  }

  const std::string address_;
  Stream stream_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  std::optional<Response> response_;
  bool upgraded_ = false;
};

}  // namespace

void PlantMailbox::published() {
  std::lock_guard<std::mutex> guard(lock_);
  if (io_ == nullptr || noticePosted_.exchange(true)) return;
  asio::post(*io_, [self = shared_from_this(), core = core_] {
    self->noticePosted_.store(false);
    core->published();
  });
}

// ---------------------------------------------------------------------------------------------
// [8] RemoteServer: start and stop

struct RemoteServer::State {
  State(AppContext& context_, RemoteOptions options_)
      : context(context_), options(std::move(options_)) {}

  AppContext& context;
  const RemoteOptions options;
  ScreenRelay relay;
  const std::shared_ptr<PlantMailbox> mailbox = std::make_shared<PlantMailbox>();
  std::atomic<uint16_t> boundPort{0};
  std::atomic<size_t> clientCount{0};
  // Declared before the loop and its objects, so they go first.
  std::optional<ServerCore> core;
  std::optional<asio::io_context> io;
  std::optional<ssl::context> tlsContext;
  std::optional<tcp::acceptor> acceptor;
  std::optional<asio::steady_timer> lampSoon;
  std::optional<asio::steady_timer> lampLate;
  std::optional<asio::steady_timer> acceptPause;
  std::optional<asio::steady_timer> plantSweep;
  std::optional<asio::steady_timer> valuesTick;
  // Makes the answers too long to make on the loop's thread.
  std::optional<asio::thread_pool> worker;
  std::thread thread;
  std::future<void> ended;

  void acceptNext() {
    acceptor->async_accept([this](beast::error_code error, tcp::socket socket) {
      if (error == asio::error::operation_aborted || !acceptor->is_open()) return;
      if (!error) {
        serve(std::move(socket));
        return acceptNext();
      }
      // Out of descriptors or memory: try again a little later rather than spin.
      acceptPause->expires_after(kAcceptPause);
      acceptPause->async_wait([this](beast::error_code paused) {
        if (!paused && acceptor->is_open()) acceptNext();
      });
    });
  }

  void serve(tcp::socket socket) {
    beast::error_code error;
    const tcp::endpoint peer = socket.remote_endpoint(error);
    if (error || core->full()) return;
    std::string address = peer.address().to_string();
    if (tlsContext) {
      std::make_shared<HttpConnection<beast::ssl_stream<beast::tcp_stream>>>(
          *core, std::move(address), std::move(socket), *tlsContext)
          ->start();
    } else {
      std::make_shared<HttpConnection<beast::tcp_stream>>(*core, std::move(address),
                                                          std::move(socket))
          ->start();
    }
  }

  // Everything the loop owns, once its thread has ended.
  void release() {
    lampSoon.reset();
    lampLate.reset();
    acceptPause.reset();
    plantSweep.reset();
    valuesTick.reset();
    worker.reset();
    acceptor.reset();
    io.reset();
    tlsContext.reset();
    core.reset();
    boundPort.store(0);
    clientCount.store(0);
  }

  std::string open(const Credentials& credentials, const ApiTokens& tokens) {
    beast::error_code error;
    const asio::ip::address address = asio::ip::make_address(options.address, error);
    if (error) return "Remote panel: \"" + options.address + "\" is not an IP address";
    if (credentials.empty() && tokens.empty() && !address.is_loopback())
      return "Remote panel: no password is set, nor an API token, so it serves only loopback "
             "addresses such as 127.0.0.1, not " +
             options.address +
             "; set a password with \"qelm-engine passwd\" or make a token with \"qelm-engine "
             "token\"";
    const bool tls = !options.certificateFile.empty();
    if (tls != !options.keyFile.empty())
      return "Remote panel: TLS needs both a certificate and a key file";
    io.emplace(1);
    if (tls) {
      tlsContext.emplace(ssl::context::tls_server);
      tlsContext->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                              ssl::context::no_sslv3 | ssl::context::no_tlsv1 |
                              ssl::context::no_tlsv1_1 | ssl::context::single_dh_use);
      tlsContext->use_certificate_chain_file(options.certificateFile, error);
      if (error)
        return "Remote panel: could not read the certificate \"" + options.certificateFile +
               "\": " + error.message();
      tlsContext->use_private_key_file(options.keyFile, ssl::context::pem, error);
      if (error)
        return "Remote panel: could not read the key \"" + options.keyFile +
               "\": " + error.message();
    }
    core.emplace(context, options, credentials, tokens, address.is_loopback(), tls, clientCount,
                 mailbox);
    const tcp::endpoint endpoint(address, options.port);
    acceptor.emplace(*io);
    if (acceptor->open(endpoint.protocol(), error) ||
        acceptor->set_option(asio::socket_base::reuse_address(true), error) ||
        acceptor->bind(endpoint, error) ||
        acceptor->listen(asio::socket_base::max_listen_connections, error))
      return "Remote panel: could not listen on " + options.address + " port " +
             std::to_string(options.port) + ": " + error.message();
    boundPort.store(acceptor->local_endpoint(error).port());
    lampSoon.emplace(*io);
    lampLate.emplace(*io);
    acceptPause.emplace(*io);
    plantSweep.emplace(*io);
    valuesTick.emplace(*io);
    worker.emplace(1);
    core->setLampTimers(&*lampSoon, &*lampLate);
    core->setPlant(&*plantSweep, &*valuesTick, &*worker);
    return {};
  }
};

RemoteServer::RemoteServer(AppContext& context, RemoteOptions options)
    : state_(std::make_unique<State>(context, std::move(options))) {}

RemoteServer::~RemoteServer() {
  stop();
}

std::string RemoteServer::start() {
  State& state = *state_;
  if (state.thread.joinable()) return "Remote panel: already serving";
  std::string error;
  std::optional<Credentials> credentials =
      Credentials::load(state.options.dataFolder + Credentials::kFileName, error);
  if (!credentials) return "Remote panel: " + error;
  const std::optional<ApiTokens> tokens =
      ApiTokens::load(state.options.dataFolder + ApiTokens::kFileName, error);
  if (!tokens) return "Remote panel: " + error;
  error = state.open(*credentials, *tokens);
  if (!error.empty()) {
    state.release();
    return error;
  }
  state.acceptNext();
  state.relay.attach(state.context, *state.io, [&state] {
    state.relay.taken();
    state.core->screensChanged();
  });
  state.mailbox->open(*state.io, *state.core);
  state.context.plant.onPublished([mailbox = state.mailbox] { mailbox->published(); });
  std::promise<void> ended;
  state.ended = ended.get_future();
  state.thread = std::thread([&state, done = std::move(ended)]() mutable {
    // A handler that throws (memory ran out) loses its connection, not the server.
    for (;;) {
      try {
        state.io->run();
        break;
      } catch (const std::exception& failure) {
        logMessage(kLogInfo, "Remote panel: %s", failure.what());
      }
    }
    done.set_value();
  });
  const std::string scheme = state.tlsContext ? "https" : "http";
  const bool bracketed = state.options.address.find(':') != std::string::npos;
  logMessage(kLogInfo, "Remote panel serving %s://%s%s%s:%u/", scheme.c_str(), bracketed ? "[" : "",
             state.options.address.c_str(), bracketed ? "]" : "",
             static_cast<unsigned>(state.boundPort.load()));
  return {};
}

void RemoteServer::stop() {
  State& state = *state_;
  if (!state.thread.joinable()) return;
  state.relay.detach(state.context);
  // From here the engine's notices and answers post nothing.
  state.context.plant.onPublished(nullptr);
  state.mailbox->close();
  asio::post(*state.io, [&state] {
    beast::error_code ignored;
    state.acceptor->close(ignored);
    state.lampSoon->cancel();
    state.lampLate->cancel();
    state.acceptPause->cancel();
    state.plantSweep->cancel();
    state.valuesTick->cancel();
    state.core->closeAll();
  });
  if (state.ended.wait_for(kStopWait) != std::future_status::ready) state.io->stop();
  state.thread.join();
  state.worker->join();
  state.release();
}

double RemoteServer::threadCpuSeconds() const {
  if (!state_ || !state_->thread.joinable()) return 0.0;
  clockid_t clock{};
  timespec used{};
  if (pthread_getcpuclockid(state_->thread.native_handle(), &clock) != 0 ||
      clock_gettime(clock, &used) != 0)
    return 0.0;
  return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) * 1e-9;
}

uint16_t RemoteServer::port() const {
  return state_->boundPort.load();
}

size_t RemoteServer::clients() const {
  return state_->clientCount.load();
}

bool RemoteServer::running() const {
  return state_->thread.joinable();
}

}  // namespace qelm::remote
