#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "comm/protocol.h"
#include "platform/clock.h"
#include "platform/socket.h"
#include "platform/socket_watch.h"

namespace qelm {

/// The states of a listener, numbered as the system has them.
enum class ListenerState : int32_t {
  kNotListening = 1,  ///< no socket; the next attempt waits for the retry interval
  kListening = 2,     ///< bound and listening
};

/// The listening socket of a simulated frame, driven by `poll` from the engine thread; a bind
/// that fails (address not this machine's, port taken) is retried every 5000 ms. A failure to
/// listen, and one to accept, is logged once with the address and the reason, until it works.
class Listener {
 public:
  /// Pause between two attempts to listen, in ms.
  static constexpr uint32_t kRetryIntervalMs = 5000;

  /// A listener for `address` (first octet most significant) and `port` (0 = any free port),
  /// not yet listening.
  Listener(platform::Clock& clock, uint32_t address, uint16_t port = kFramePort);
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  /// Watches the listening socket with `watch` from now on, naming `owner` when a panel waits
  /// or the socket fails; `watch` must outlive the listener.
  void attach(platform::SocketWatch* watch, void* owner);
  /// One step at loop time `loopTime` (ms tick): tries to listen when due, or drops a listening
  /// socket that has gone bad. With a watch, a socket it found idle is not asked for errors.
  void poll(uint32_t loopTime);
  /// Takes one waiting connection as a non-blocking socket (Nagle on); nothing when not
  /// listening, none is waiting (or the watch found none), or accepting failed.
  std::optional<platform::Socket> accept();

  /// "Listener".
  const std::string& name() const { return name_; }
  /// Current state.
  ListenerState state() const { return state_; }
  /// Address listened on.
  uint32_t address() const { return address_; }
  /// Port asked for (5253 for a simulated frame).
  uint16_t port() const { return port_; }
  /// Port actually bound while listening (differs from `port` only when that is 0); else 0.
  uint16_t boundPort() const;
  /// Loop time of the last attempt to listen; 0 = none.
  uint32_t lastAttempt() const { return lastAttempt_; }
  /// errno of the last failed attempt or of the error that closed the socket; 0 = none.
  int lastError() const { return lastError_; }

 private:
  // Keeps `error` as the last one and logs the failure to `what` the address, once.
  void reportFailure(const char* what, int error);

  platform::Clock& clock_;
  std::string name_ = "Listener";
  platform::Socket socket_;
  uint32_t address_;
  uint16_t port_;
  ListenerState state_ = ListenerState::kNotListening;
  uint32_t lastAttempt_ = 0;
  int lastError_ = 0;
  bool failureLogged_ = false;
  bool acceptFailureLogged_ = false;
  // After the socket: forgotten before it closes.
  platform::WatchedSocket watched_;
};

}  // namespace qelm
