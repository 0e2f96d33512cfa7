#include "comm/listener.h"

#include <utility>

namespace qelm {

Listener::Listener(platform::Clock& clock, uint32_t address, uint16_t port)
    : clock_(clock), address_(address), port_(port) {}

void Listener::poll(uint32_t loopTime) {
  if (state_ == ListenerState::kNotListening) {
    if (lastAttempt_ != 0 && platform::elapsedMs(clock_.tick(), lastAttempt_) < kRetryIntervalMs) {
      return;
    }
    lastAttempt_ = loopTime;
    platform::NewSocket created = platform::Socket::createStream(false);
    if (created.status != platform::IoStatus::kDone) {
      lastError_ = created.error;
      return;
    }
    if (const int error = created.socket.listenOn(address_, port_); error != 0) {
      lastError_ = error;
      return;  // the socket closes with `created`
    }
    socket_ = std::move(created.socket);
    lastError_ = 0;
    state_ = ListenerState::kListening;
    return;
  }
  if (const int error = socket_.pendingError(); error != 0) {
    lastError_ = error;
    socket_.close();
    state_ = ListenerState::kNotListening;
    lastAttempt_ = loopTime;
  }
}

std::optional<platform::Socket> Listener::accept() {
  if (state_ != ListenerState::kListening) return std::nullopt;
  platform::NewSocket taken = socket_.accept(false);
  if (taken.status != platform::IoStatus::kDone) return std::nullopt;
  return std::move(taken.socket);
}

uint16_t Listener::boundPort() const {
  return state_ == ListenerState::kListening ? socket_.localPort() : 0;
}

}  // namespace qelm
