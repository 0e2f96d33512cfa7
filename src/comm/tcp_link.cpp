#include "comm/tcp_link.h"

#include <array>
#include <cassert>
#include <cstring>
#include <utility>

#include "core/log.h"

namespace qelm {

// ---- SendQueue --------------------------------------------------------------------------------

void SendQueue::push(std::unique_ptr<Message> message) {
  if (!message) return;
  bytes_ += static_cast<size_t>(message->size());
  messages_.push_back(std::move(message));
}

void SendQueue::popFront() {
  assert(!messages_.empty() && "popFront on an empty send queue");
  bytes_ -= static_cast<size_t>(messages_.front()->size());
  messages_.pop_front();
}

size_t SendQueue::makeRoom(size_t incoming, size_t cap) {
  size_t dropped = 0;
  // A partly sent head is half on the wire already: dropping it would cut a message short.
  const size_t keep = (!messages_.empty() && messages_.front()->sent > 0) ? 1 : 0;
  while (messages_.size() > keep && bytes_ + incoming > cap) {
    const auto oldest = messages_.begin() + static_cast<std::ptrdiff_t>(keep);
    bytes_ -= static_cast<size_t>((*oldest)->size());
    messages_.erase(oldest);
    ++dropped;
  }
  return dropped;
}

void SendQueue::clear(bool keepPartialHead) {
  if (keepPartialHead && !messages_.empty() && messages_.front()->sent > 0) {
    while (messages_.size() > 1) {
      bytes_ -= static_cast<size_t>(messages_.back()->size());
      messages_.pop_back();
    }
    return;
  }
  messages_.clear();
  bytes_ = 0;
}

// ---- Result mapping ---------------------------------------------------------------------------

LinkStatus linkResult(LinkState state, int32_t failures) {
  switch (state) {
    case LinkState::kToConnect:
      return LinkStatus::kConnecting;
    case LinkState::kConnecting:
      return failures == 0 ? LinkStatus::kConnecting : LinkStatus::kNoConnection2;
    case LinkState::kConnected:
      return failures == 0 ? LinkStatus::kLive : LinkStatus::kNoConnection3;
    case LinkState::kReceiving:
      return LinkStatus::kLive;
    case LinkState::kFailed:
      return LinkStatus::kNoConnection4;
  }
  return LinkStatus::kConnecting;
}

// ---- TcpLink ----------------------------------------------------------------------------------

TcpLink::TcpLink(platform::Clock& clock, uint32_t address, uint16_t port)
    : clock_(clock),
      name_("Host [" + platform::addressText(address) + ":" + std::to_string(port) + "]"),
      accepted_(false),
      address_(address),
      port_(port),
      state_(LinkState::kToConnect),
      receiveTimeout_(kReceiveTimeoutMs) {}

TcpLink::TcpLink(platform::Clock& clock, platform::Socket accepted)
    : clock_(clock),
      name_("Client"),
      socket_(std::move(accepted)),
      accepted_(true),
      state_(LinkState::kConnected),
      receiveTimeout_(0) {}

void TcpLink::attach(platform::SocketWatch* watch, void* owner) {
  watched_.attach(watch, owner);
  updateWatch();
}

void TcpLink::updateWatch() {
  if (!watched_.attached() || !socket_.isOpen()) return;
  // A link that is holding back its reads stays in the watch with nothing asked, so its
  // unread bytes do not call for a poll at every pass.
  const bool connecting = state_ == LinkState::kConnecting;
  const bool reading =
      (state_ == LinkState::kConnected || state_ == LinkState::kReceiving) && !receiveHeld_;
  watched_.watch(socket_.fd(), reading, connecting);
}

void TcpLink::closeSocket() {
  // Forgotten while the number is still this socket's: once closed it may be anyone's.
  watched_.forget();
  socket_.close();
}

void TcpLink::holdReceiving(bool on) {
  if (on == receiveHeld_) return;
  receiveHeld_ = on;
  updateWatch();
}

uint32_t TcpLink::msUntilDue(uint32_t now) const {
  constexpr uint32_t kNever = UINT32_MAX;
  const auto left = [now](uint32_t from, uint32_t span) {
    const uint32_t gone = platform::elapsedMs(now, from);
    return gone >= span ? 0 : span - gone;
  };
  if (!watched_.attached() || flushFailed_ || receiveHeld_) return 0;
  switch (state_) {
    case LinkState::kToConnect:
      return 0;
    case LinkState::kFailed:
      if (accepted_) return kNever;
      return stateTime_ == 0 ? 0 : left(stateTime_, kRetryDelayMs);
    case LinkState::kConnecting:
      if (!watched_.registered() || stateTime_ == 0) return 0;
      return left(stateTime_, kConnectTimeoutMs);
    case LinkState::kConnected:
      if (!watched_.registered() || lastReceived_ != 0) return 0;
      return kNever;
    case LinkState::kReceiving:
      if (!watched_.registered() || lastReceived_ == 0) return 0;
      return receiveTimeout_ == 0 ? kNever : left(lastReceived_, receiveTimeout_);
  }
  return 0;
}

uint32_t TcpLink::since(uint32_t time) const {
  return platform::elapsedMs(clock_.tick(), time);
}

void TcpLink::setState(LinkState state, uint32_t loopTime) {
  state_ = state;
  stateTime_ = loopTime;
}

void TcpLink::fail(SendQueue& queue, uint32_t loopTime) {
  ++failures_;
  closeSocket();
  if (holdsPartial_) {
    // A new socket starts a new byte stream; the message's rest cannot follow on it.
    queue.popFront();
    holdsPartial_ = false;
  }
  setState(LinkState::kFailed, loopTime);
}

LinkStatus TcpLink::poll(MessageParser& parser, SendQueue& queue, uint32_t loopTime) {
  bool ok = true;
  switch (state_) {
    case LinkState::kFailed:
      if (accepted_ || (stateTime_ != 0 && since(stateTime_) < kRetryDelayMs)) break;
      ok = startConnecting(loopTime);
      break;
    case LinkState::kToConnect:
      ok = startConnecting(loopTime);
      break;
    case LinkState::kConnecting:
      ok = checkConnect(loopTime);
      break;
    case LinkState::kConnected:
    case LinkState::kReceiving:
      ok = exchange(parser, queue, loopTime);
      break;
  }
  if (!ok) {
    fail(queue, loopTime);
  } else if (state_ == LinkState::kConnected && lastReceived_ != 0) {
    setState(LinkState::kReceiving, loopTime);
  } else if (state_ == LinkState::kReceiving && receiveTimeout_ != 0 &&
             (lastReceived_ == 0 || since(lastReceived_) >= receiveTimeout_)) {
    lastReceived_ = 0;
    fail(queue, loopTime);
  }
  updateWatch();
  return linkResult(state_, failures_);
}

bool TcpLink::startConnecting(uint32_t loopTime) {
  platform::NewSocket created = platform::Socket::createStream(false);
  if (created.status != platform::IoStatus::kDone) {
    // Typically the descriptor limit: the panel shows only "No Conn (1)", so the log says why,
    // once per link.
    if (!socketFailureLogged_) {
      socketFailureLogged_ = true;
      logMessage(kLogError, "%s could not create a socket: %s\n", name_.c_str(),
                 std::strerror(created.error));
    }
    return false;
  }
  // Connected at once counts as in progress too: the writable check confirms it next poll.
  if (created.socket.startConnect(address_, port_).status == platform::IoStatus::kFailed) {
    return false;
  }
  socket_ = std::move(created.socket);
  setState(LinkState::kConnecting, loopTime);
  return true;
}

bool TcpLink::checkConnect(uint32_t loopTime) {
  const platform::Readiness seen = watched_.writing();
  const bool writable = seen == platform::Readiness::kUnknown ? socket_.writable()
                                                              : seen == platform::Readiness::kReady;
  if (writable) {
    if (socket_.pendingError() != 0) return false;
    lastReceived_ = 0;
    setState(LinkState::kConnected, loopTime);
    return true;
  }
  return stateTime_ != 0 && since(stateTime_) < kConnectTimeoutMs;
}

void TcpLink::flush(SendQueue& queue) {
  if (flushFailed_ || (state_ != LinkState::kConnected && state_ != LinkState::kReceiving)) return;
  if (!sendFrom(queue)) flushFailed_ = true;
}

bool TcpLink::exchange(MessageParser& parser, SendQueue& queue, uint32_t loopTime) {
  if (flushFailed_) {
    flushFailed_ = false;
    return false;
  }
  // A receive reports a pending socket error itself; only a link not reading this pass asks.
  if (receiveHeld_ && socket_.pendingError() != 0) return false;
  // A socket the watch found idle has nothing to receive, not even a close or an error.
  const bool idle = watched_.reading() == platform::Readiness::kIdle;
  if (!receiveHeld_ && !idle) {
    std::array<uint8_t, kReceiveChunk> buffer;
    const platform::IoResult received = socket_.receive(buffer.data(), buffer.size());
    if (received.status == platform::IoStatus::kClosed ||
        received.status == platform::IoStatus::kFailed) {
      return false;
    }
    if (received.bytes > 0) {
      parser.feed(buffer.data(), received.bytes);
      lastReceived_ = loopTime;
    }
  }
  return sendFrom(queue);
}

bool TcpLink::sendFrom(SendQueue& queue) {
  while (!queue.empty()) {
    Message& message = queue.front();
    // Begun on another candidate's socket: only that socket may carry the rest.
    if (message.sent > 0 && !holdsPartial_) return true;
    const size_t left = static_cast<size_t>(message.size() - message.sent);
    if (left > 0) {
      const platform::IoResult put = socket_.send(message.data() + message.sent, left);
      if (put.status == platform::IoStatus::kNotYet) return true;
      if (put.status != platform::IoStatus::kDone) return false;
      if (put.bytes < left) {
        message.sent += static_cast<int>(put.bytes);
        holdsPartial_ = message.sent > 0;
        return true;
      }
    }
    holdsPartial_ = false;
    queue.popFront();
  }
  return true;
}

}  // namespace qelm
