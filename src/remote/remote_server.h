#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "core/app_context.h"

namespace qelm::remote {

/// What one browser and all of them together may cost the server; tests make them small.
struct RemoteLimits {
  /// A browser that has not said "ready" this long after an update is dropped.
  std::chrono::milliseconds readyTime{30000};
  /// A browser whose unsent bytes pass this is dropped.
  size_t mostUnsentBytes = 4u << 20;
  /// Least time between two updates to one browser: one that draws and says "ready" at once
  /// while the screens change every pass would otherwise pass the message rate on readies alone.
  std::chrono::milliseconds leastUpdateInterval{10};
  /// Connections of any kind at once; past it a new one is closed at once.
  size_t mostConnections = 256;
  /// Panel WebSockets at once; past it an upgrade is answered 503.
  size_t mostClients = 32;
};

/// Where and how the remote panel serves.
struct RemoteOptions {
  std::string address = "127.0.0.1";  ///< an IPv4 or IPv6 address to listen on
  uint16_t port = 0;                  ///< 0: a free port the system chooses (see `port()`)
  std::string dataFolder;             ///< holds `remote-passwords`; ends with "/"
  std::string resourceFolder;         ///< the page's files (`<program>/resources/remote/`)
  std::string certificateFile;        ///< PEM certificate chain; with `keyFile`, serves TLS
  std::string keyFile;                ///< PEM private key of the certificate
  RemoteLimits limits;
};

/// The panel in a browser: serves the page, logs browsers in and relays the screens, lamps and
/// input over WebSocket, on a thread of its own; beside the panel, the plant's JSON API
/// (`/api/`), its event stream and its metrics (`/metrics`), from what the engine publishes in
/// `context.plant`. Everything a client sends is read by Boost.Beast with bounds on every length
/// and time.
///
/// Owned by whoever runs the engine (the headless host, the desktop): construct it with the
/// engine's context, `start()` it once the engine runs, `stop()` it before the engine stops. It
/// chains itself into `context.notifyWindow`, calling the notifier found there on every notice;
/// `stop()` puts that notifier back. The object must outlive any notice the engine may still be
/// delivering to it: destroy it after the engine stopped, or at least after `stop()` returned.
class RemoteServer {
 public:
  RemoteServer(AppContext& context, RemoteOptions options);
  ~RemoteServer();
  RemoteServer(const RemoteServer&) = delete;
  RemoteServer& operator=(const RemoteServer&) = delete;

  /// Reads the passwords, binds and starts serving; empty on success, else why it could not.
  /// Refuses an address other than loopback while no password and no API token is set.
  std::string start();
  /// Ends every connection and the thread; the server may be started again. Also done by the
  /// destructor.
  void stop();
  /// The port listened on (the system's choice for port 0); 0 when not serving.
  uint16_t port() const;
  /// WebSockets open: browsers showing the panel and API clients' event streams.
  size_t clients() const;
  /// True while serving.
  bool running() const;
  /// Processor time the server's thread has used, in seconds (for measurements); 0 without one.
  double threadCpuSeconds() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qelm::remote
