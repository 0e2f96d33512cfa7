#include "comm/listener.h"

#include <cstring>
#include <utility>

#include "core/log.h"

namespace qelm {

Listener::Listener(platform::Clock& clock, uint32_t address, uint16_t port)
    : clock_(clock), address_(address), port_(port) {}

void Listener::attach(platform::SocketWatch* watch, void* owner) {
  watched_.attach(watch, owner);
  if (state_ == ListenerState::kListening) watched_.watch(socket_.fd(), true, false);
}

void Listener::poll(uint32_t loopTime) {
  if (state_ == ListenerState::kNotListening) {
    if (lastAttempt_ != 0 && platform::elapsedMs(clock_.tick(), lastAttempt_) < kRetryIntervalMs) {
      return;
    }
    lastAttempt_ = loopTime;
    platform::NewSocket created = platform::Socket::createStream(false);
    if (created.status != platform::IoStatus::kDone) {
      reportFailure("listen on", created.error);
      return;
    }
    if (const int error = created.socket.listenOn(address_, port_); error != 0) {
      reportFailure("listen on", error);
      return;  // the socket closes with `created`
    }
    socket_ = std::move(created.socket);
    lastError_ = 0;
    failureLogged_ = false;
    state_ = ListenerState::kListening;
    watched_.watch(socket_.fd(), true, false);
    return;
  }
  // A pending error makes the socket ready; an idle one has none to ask for.
  if (watched_.reading() == platform::Readiness::kIdle) return;
  if (const int error = socket_.pendingError(); error != 0) {
    lastError_ = error;
    watched_.forget();
    socket_.close();
    state_ = ListenerState::kNotListening;
    lastAttempt_ = loopTime;
  }
}

std::optional<platform::Socket> Listener::accept() {
  if (state_ != ListenerState::kListening) return std::nullopt;
  if (watched_.reading() == platform::Readiness::kIdle) return std::nullopt;
  platform::NewSocket taken = socket_.accept(false);
  if (taken.status == platform::IoStatus::kFailed) reportFailure("accept a panel on", taken.error);
  if (taken.status != platform::IoStatus::kDone) return std::nullopt;
  acceptFailureLogged_ = false;
  return std::move(taken.socket);
}

void Listener::reportFailure(const char* what, int error) {
  lastError_ = error;
  // Every retry fails the same way (another program has the port, the address is not this
  // machine's, no descriptor is left): said once, until it works again.
  bool& logged = state_ == ListenerState::kListening ? acceptFailureLogged_ : failureLogged_;
  if (logged) return;
  logged = true;
  logMessage(kLogError, "%s could not %s %s:%u: %s\n", name_.c_str(), what,
             platform::addressText(address_).c_str(), static_cast<unsigned>(port_),
             std::strerror(error));
}

uint16_t Listener::boundPort() const {
  return state_ == ListenerState::kListening ? socket_.localPort() : 0;
}

}  // namespace qelm
