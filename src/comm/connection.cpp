#include "comm/connection.h"

#include <algorithm>
#include <utility>

#include "comm/legacy_port.h"

namespace qelm {

namespace {

std::vector<uint16_t> framePorts() {
  if (legacyPortEnabled()) return {kLegacyFramePort, kFramePort};
  return {kFramePort};
}

}  // namespace

Connection::Connection(platform::Clock& clock, uint32_t address, MessageParser::Deliver deliver)
    : Connection(clock, address, framePorts(), std::move(deliver)) {}

Connection::Connection(platform::Clock& clock, uint32_t address, const std::vector<uint16_t>& ports,
                       MessageParser::Deliver deliver)
    : accepted_(false), deliver_(std::move(deliver)), parser_(false, deliver_) {
  links_.reserve(ports.size());
  for (const uint16_t port : ports)
    links_.push_back(std::make_unique<TcpLink>(clock, address, port));
}

Connection::Connection(platform::Clock& clock, platform::Socket accepted,
                       MessageParser::Deliver deliver, uint32_t acceptedAt)
    : accepted_(true),
      deliver_(std::move(deliver)),
      parser_(true, deliver_),
      acceptedAt_(acceptedAt) {
  links_.push_back(std::make_unique<TcpLink>(clock, std::move(accepted)));
}

std::string Connection::peerText() const {
  return links_.empty() ? std::string("unknown") : links_.front()->peerText();
}

bool Connection::heardFrom() const {
  return !links_.empty() && links_.front()->lastReceived() != 0;
}

uint32_t Connection::lastHeard() const {
  return heardFrom() ? links_.front()->lastReceived() : acceptedAt_;
}

void Connection::resetParser() {
  parser_ = MessageParser(accepted_, deliver_);
}

void Connection::enqueue(std::unique_ptr<Message> message) {
  if (!message) return;
  const auto size = static_cast<size_t>(message->size());
  if (queue_.bytes() + size <= kMaxQueuedBytes) {
    queue_.push(std::move(message));
    return;
  }
  if (accepted_) {
    // A panel that reads nothing while we keep answering is dropped rather than buffered for.
    dropped_ += queue_.count() + 1;
    queue_.clear(false);
    overflowed_ = true;
    return;
  }
  // The frame is slow to read: the newest messages (latest values) matter most.
  dropped_ += queue_.makeRoom(size, kMaxQueuedBytes);
  queue_.push(std::move(message));
}

bool Connection::connected() const {
  return std::any_of(links_.begin(), links_.end(), [](const std::unique_ptr<TcpLink>& link) {
    return link->state() == LinkState::kConnected || link->state() == LinkState::kReceiving;
  });
}

void Connection::flush() {
  if (queue_.empty()) return;
  // Once up, one candidate has won and only its socket is left. Before that, an established
  // candidate (a reconnected frame that has not spoken yet) writes the queue as its poll would;
  // a link that is not established writes nothing.
  for (auto& link : links_)
    link->flush(queue_);
}

void Connection::attach(platform::SocketWatch* watch, void* owner) {
  for (auto& link : links_)
    link->attach(watch, owner);
}

uint32_t Connection::msUntilDue(uint32_t now) const {
  if (overflowed_ || !queue_.empty()) return 0;
  uint32_t due = UINT32_MAX;
  for (const auto& link : links_)
    due = std::min(due, link->msUntilDue(now));
  return due;
}

LinkStatus Connection::poll(uint32_t loopTime) {
  if (overflowed_) {
    overflowed_ = false;
    for (auto& link : links_) {
      if (link->state() != LinkState::kFailed) link->fail(queue_, loopTime);
    }
  }
  if (accepted_ && !links_.empty())
    links_.front()->holdReceiving(queue_.bytes() >= kReadPauseBytes);
  bool anyConnecting = false;
  for (size_t i = 0; i < links_.size(); ++i) {
    TcpLink& link = *links_[i];
    const int32_t failuresBefore = link.failures();
    const LinkStatus result = link.poll(parser_, queue_, loopTime);
    // A message cut short by the failure must not be finished with bytes of the next socket.
    if (link.failures() != failuresBefore) resetParser();
    if (result == LinkStatus::kLive) {
      std::unique_ptr<TcpLink> winner = std::move(links_[i]);
      for (auto& other : links_) {
        if (other && other->holdsPartialMessage()) queue_.popFront();
      }
      links_.clear();
      links_.push_back(std::move(winner));
      status_ = LinkStatus::kLive;
      return status_;
    }
    if (result == LinkStatus::kConnecting) anyConnecting = true;
  }
  status_ = anyConnecting ? LinkStatus::kConnecting : LinkStatus::kNoConnection1;
  // A partly sent head stays while its socket is still up: its rest must follow it there.
  bool partialHeld = false;
  for (const auto& link : links_)
    partialHeld = partialHeld || link->holdsPartialMessage();
  queue_.clear(partialHeld);
  return status_;
}

}  // namespace qelm
