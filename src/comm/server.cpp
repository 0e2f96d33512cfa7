#include "comm/server.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "comm/card.h"
#include "core/log.h"
#include "model/parameter.h"

namespace qelm {

// --- ServerHost ------------------------------------------------------------------------------

ServerHost::ServerHost(HostGroup& group, uint32_t address)
    : Host(group, address), listener_(group.clock(), address, kFramePort) {
  listener_.attach(group.socketWatch(), static_cast<Host*>(this));
  group.addActiveHost(*this);
}

ServerHost::~ServerHost() {
  peers_.clear();
  destroyCards();
}

void ServerHost::poll() {
  const uint32_t now = group().loopTime();
  for (auto& peer : peers_) {
    // Requests are answered while their bytes are parsed, inside the peer's poll.
    asking_ = peer.get();
    peer->poll(now);
  }
  asking_ = nullptr;
  std::erase_if(peers_, [](const std::unique_ptr<Connection>& peer) {
    return peer->status() != LinkStatus::kLive;
  });
  listener_.poll(now);
  acceptPeers();
  // A simulated card's poll has work only when one of its periodic notifications is due (or it
  // has a monitor): between those times the frame's cards are left alone, rather than each
  // finding nothing to do at every pass.
  if (cardsDue(now)) pollCards(now);
}

void ServerHost::flush() {
  for (auto& peer : peers_)
    peer->flush();
}

void ServerHost::acceptPeers() {
  for (int taken = 0; taken < kMaxAcceptsPerPoll; ++taken) {
    if (listener_.state() != ListenerState::kListening) return;
    std::optional<platform::Socket> socket = listener_.accept();
    if (!socket) return;
    if (peers_.size() >= kMaxPeers) {
      if (!limitLogged_) {
        limitLogged_ = true;
        logMessage(kLogInfo,
                   "%s serves at most %zu panels; each new one takes the place of the one "
                   "silent longest\n",
                   name().c_str(), kMaxPeers);
      }
      evictLongestSilent();
    }
    peers_.push_back(std::make_unique<Connection>(
        group().clock(), std::move(*socket),
        [this](const ReceivedMessage& message) { deliver(message); }, group().loopTime()));
    peers_.back()->attach(group().socketWatch(), static_cast<Host*>(this));
  }
}

void ServerHost::evictLongestSilent() {
  const uint32_t now = group().loopTime();
  // A peer that has never said anything counts as more silent than any that has: a panel may
  // ask only every few seconds while its values arrive unasked, and must keep its place.
  const auto silence = [now](const Connection& peer) {
    return std::pair(!peer.heardFrom(), platform::elapsedMs(now, peer.lastHeard()));
  };
  const auto longest = std::max_element(
      peers_.begin(), peers_.end(),
      [&](const std::unique_ptr<Connection>& a, const std::unique_ptr<Connection>& b) {
        return silence(*a) < silence(*b);
      });
  if (longest == peers_.end()) return;
  logMessage(kLogInfo, "%s closed the panel at %s, silent for %u ms, to serve a new one\n",
             name().c_str(), (*longest)->peerText().c_str(),
             static_cast<unsigned>(silence(**longest).second));
  peers_.erase(longest);
  ++evicted_;
}

void ServerHost::send(std::unique_ptr<Message> message) {
  if (!message) return;
  // The last peer that takes a copy gets the message itself.
  Connection* last = nullptr;
  for (auto& peer : peers_) {
    const bool shared = asking_ != nullptr && peer.get() != asking_;
    if (shared && peer->queue().bytes() >= kMaxSharedBacklog) {
      ++withheld_;
      continue;
    }
    if (last != nullptr) {
      auto copy = std::make_unique<Message>(*message);
      copy->sent = 0;
      last->enqueue(std::move(copy));
    }
    last = peer.get();
  }
  if (last == nullptr) return;
  last->enqueue(std::move(message));
  group().noteQueued(*this);
}

// --- ServerTarget ----------------------------------------------------------------------------

ServerTarget::ServerTarget(Card& card, Parameter& parameter)
    : HardTarget(card, parameter), served_(parameter.initialValue(card.group().random())) {}

void ServerTarget::respond(Command command, const Value& value) {
  Parameter& param = parameter();
  std::unique_ptr<Message> message;
  if (param.kind() == ParameterKind::kArrayElement) {
    message = std::make_unique<Message>(Side::kServer, command, card().wireSlot(), param.oid(),
                                        param.elementIndex());
  } else {
    message = std::make_unique<Message>(Side::kServer, command, card().wireSlot(), param.oid());
  }
  message->appendValue(value, param.type());
  card().send(std::move(message));
  lastSent_ = card().group().loopTime();
}

void ServerTarget::handleMessage(const ReceivedMessage& message) {
  const bool element = parameter().kind() == ParameterKind::kArrayElement;
  const auto command = static_cast<Command>(message.command);
  switch (command) {
    case Command::kGet:
    case Command::kGetElement: {
      if (element != (command == Command::kGetElement)) return;
      if (!served_.valid) return;
      respond(element ? Command::kGetElementResponse : Command::kGetResponse, served_);
      return;
    }
    case Command::kSet:
    case Command::kSetElement: {
      if (element != (command == Command::kSetElement)) return;
      std::optional<Value> value = decodeValue(message, parameter().type());
      if (!value) return;
      // A panel may send a text longer than the parameter holds; the card keeps what fits.
      *value = parameter().limitText(*value);
      respond(element ? Command::kSetElementResponse : Command::kSetResponse, *value);
      if (!valuesEqual(*value, served_, parameter().type())) served_ = *value;
      return;
    }
    default:
      return;
  }
}

uint32_t ServerTarget::msUntilDue(uint32_t now) const {
  const uint16_t interval = parameter().periodic();
  // No interval: the poll never sends, whatever the time.
  if (interval == 0) return std::numeric_limits<uint32_t>::max();
  if (lastSent_ == 0) return 0;
  const uint32_t elapsed = platform::elapsedMs(now, lastSent_);
  return elapsed >= interval ? 0 : interval - elapsed;
}

void ServerTarget::poll() {
  const uint16_t interval = parameter().periodic();
  if (interval == 0) return;
  const uint32_t now = card().group().loopTime();
  if (lastSent_ != 0 && platform::elapsedMs(now, lastSent_) < interval) return;
  // A parameter with nothing to serve (an empty choice list) has nothing to announce.
  if (!served_.valid) return;
  const bool element = parameter().kind() == ParameterKind::kArrayElement;
  respond(element ? Command::kSetElementResponse : Command::kNotification, served_);
}

}  // namespace qelm
