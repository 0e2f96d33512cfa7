#include "comm/client.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "comm/card.h"
#include "model/parameter.h"

namespace qelm {

// --- ClientHost ------------------------------------------------------------------------------

ClientHost::ClientHost(HostGroup& group, uint32_t address) : Host(group, address) {}

ClientHost::~ClientHost() {
  connection_.reset();
  destroyCards();
}

void ClientHost::setCardActive(Card& card, bool on) {
  Host::setCardActive(card, on);
  if (!connection_ && !activeCards().empty()) {
    connection_ = std::make_unique<Connection>(
        group().clock(), address(), [this](const ReceivedMessage& message) { deliver(message); });
    connection_->attach(group().socketWatch(), static_cast<Host*>(this));
    group().addActiveHost(*this);
    openedAt_ = group().loopTime();
  } else if (connection_ && activeCards().empty()) {
    connection_.reset();
    group().removeActiveHost(*this);
  }
}

void ClientHost::poll() {
  const uint32_t now = group().loopTime();
  if (connection_) connection_->poll(now);
  // The cards are polled when one of them has work due, when the frame sent something and when
  // the link changed; between those times every pass would find them with nothing to do.
  const LinkStatus status = this->status();
  if (status != polledStatus_) rescheduleCards();
  polledStatus_ = status;
  if (cardsDue(now)) pollCards(now);
}

uint32_t ClientHost::msUntilPoll(uint32_t now) const {
  const uint32_t cards = msUntilCardsDue(now);
  return connection_ ? std::min(cards, connection_->msUntilDue(now)) : cards;
}

LinkStatus ClientHost::status() const {
  return connection_ ? connection_->status() : LinkStatus::kInactive;
}

bool ClientHost::connected() const {
  return connection_ && connection_->connected();
}

void ClientHost::send(std::unique_ptr<Message> message) {
  if (!connection_) return;
  connection_->enqueue(std::move(message));
  group().noteQueued(*this);
}

void ClientHost::flush() {
  if (connection_) connection_->flush();
}

// --- ClientTarget ----------------------------------------------------------------------------

ClientTarget::ClientTarget(Card& card, Parameter& parameter) : HardTarget(card, parameter) {}

bool ClientTarget::withinEchoWait() const {
  const HostGroup& group = card().group();
  return sentTime_ != 0 && platform::elapsedMs(group.loopTime(), sentTime_) < group.echoWaitMs();
}

const Value& ClientTarget::shownValue() const {
  if (pending_.valid && (dirty_ || withinEchoWait())) return pending_;
  return received_;
}

std::string ClientTarget::valueText() const {
  const Value& shown = shownValue();
  return shown.valid ? parameter().formatValue(shown) : std::string();
}

bool ClientTarget::hasNamedValue() const {
  const Value& shown = shownValue();
  return shown.valid && !parameter().namedValueFor(shown).empty();
}

void ClientTarget::setValue(const Value& value) {
  if (dirty_ && valuesEqual(value, pending_, parameter().type())) return;
  pending_ = value;
  dirty_ = true;
  card().host().rescheduleCards();
  if (!noted_) {
    noted_ = true;
    card().group().noteStaged(*this);
  }
}

void ClientTarget::sendStaged() {
  noted_ = false;
  if (!dirty_ || card().polledStatus() != LinkStatus::kLive) return;
  sendPending(card().group().loopTime());
}

void ClientTarget::sendPending(uint32_t now) {
  sendValue(pending_);
  lastRequest_ = now;
  sentTime_ = now;
  dirty_ = false;
  // The echo wait that starts now ends in a poll.
  card().host().rescheduleCards();
}

void ClientTarget::sendValue(const Value& value) {
  Parameter& param = parameter();
  if (elementAccessUnsupported_) {
    card().setWholeArrayElement(value, param.oid(), param.elementIndex());
    return;
  }
  std::unique_ptr<Message> message;
  if (param.kind() == ParameterKind::kArrayElement) {
    message = std::make_unique<Message>(Side::kClient, Command::kSetElement, card().wireSlot(),
                                        param.oid(), param.elementIndex());
  } else {
    message =
        std::make_unique<Message>(Side::kClient, Command::kSet, card().wireSlot(), param.oid());
  }
  message->appendValue(value, param.type());
  card().send(std::move(message));
}

bool ClientTarget::hasValue() const {
  if (pending_.valid || dirty_ || withinEchoWait()) return true;
  return received_.valid;
}

void ClientTarget::watch(bool on) {
  countWatcher(on);
}

LinkStatus ClientTarget::status() const {
  return updateStatus(card().status());
}

LinkStatus ClientTarget::updateStatus(LinkStatus cardStatus) const {
  LinkStatus status = cardStatus;
  if (status == LinkStatus::kLive) {
    const HostGroup& group = card().group();
    if (error_) {
      status = LinkStatus::kMissingFeature;
    } else if (!received_.valid) {
      status = LinkStatus::kNoData;
    } else if (lastReceived_ == 0 ||
               platform::elapsedMs(group.loopTime(), lastReceived_) >= group.valueLifetimeMs()) {
      received_ = Value();
      status = LinkStatus::kNoData;
    }
  }
  if (status != lastStatus_) {
    lastStatus_ = status;
    changed_ = true;
  }
  return status;
}

void ClientTarget::request() {
  Parameter& param = parameter();
  if (elementAccessUnsupported_) {
    card().requestWholeArray(param.oid());
    return;
  }
  if (param.kind() == ParameterKind::kArrayElement) {
    card().send(std::make_unique<Message>(Side::kClient, Command::kGetElement, card().wireSlot(),
                                          param.oid(), param.elementIndex()));
  } else {
    card().send(
        std::make_unique<Message>(Side::kClient, Command::kGet, card().wireSlot(), param.oid()));
  }
}

void ClientTarget::poll() {
  const HostGroup& group = card().group();
  const uint32_t now = group.loopTime();
  // The card computed its status for this pass just before polling its targets.
  const LinkStatus cardStatus = card().polledStatus();
  updateStatus(cardStatus);
  // Requests to a frame that is down or a slot that is silent would only be dropped.
  if (cardStatus != LinkStatus::kLive) return;

  const uint32_t interval = group.requestIntervalMs();
  const bool stale = lastReceived_ == 0 || platform::elapsedMs(now, lastReceived_) > interval;
  const bool quiet = lastRequest_ == 0 || platform::elapsedMs(now, lastRequest_) > interval;
  if (stale && quiet) {
    request();
    lastRequest_ = now;
  }
  if (dirty_) sendPending(now);
  if (pending_.valid && platform::elapsedMs(now, sentTime_) > group.echoWaitMs()) {
    pending_ = Value();
    dirty_ = false;
    // The screen showed the sent value; it must now be drawn again with what the card holds.
    changed_ = true;
  }
}

uint32_t ClientTarget::msUntilDue(uint32_t now) const {
  constexpr uint32_t kNever = std::numeric_limits<uint32_t>::max();
  if (card().polledStatus() != LinkStatus::kLive) return kNever;
  if (dirty_) return 0;
  const HostGroup& group = card().group();
  // A request goes once the value is stale and no request is recent: both past the interval.
  const uint32_t interval = group.requestIntervalMs() + 1;
  uint32_t due = 0;
  if (lastReceived_ != 0) due = std::max(due, platform::msUntil(now, lastReceived_, interval));
  if (lastRequest_ != 0) due = std::max(due, platform::msUntil(now, lastRequest_, interval));
  if (pending_.valid)
    due = std::min(due, platform::msUntil(now, sentTime_, group.echoWaitMs() + 1));
  if (received_.valid && lastReceived_ != 0)
    due = std::min(due, platform::msUntil(now, lastReceived_, group.valueLifetimeMs()));
  return due;
}

void ClientTarget::handleMessage(const ReceivedMessage& message) {
  if (message.command == static_cast<uint8_t>(Command::kGetElementResponse) &&
      parameter().kind() == ParameterKind::kArrayElement && message.status == 1) {
    elementAccessUnsupported_ = true;
    return;
  }
  if (message.status != 0) {
    error_ = true;
    return;
  }
  error_ = false;
  if (std::optional<Value> value = decodeValue(message, parameter().type()))
    storeReceivedValue(*value);
}

void ClientTarget::storeReceivedValue(const Value& received) {
  // A card may send a text longer than the parameter holds; it is kept at the declared length.
  const Value value = parameter().limitText(received);
  const ValueType type = parameter().type();
  if (!valuesEqual(value, received_, type)) {
    received_ = value;
    changed_ = true;
  }
  if (pending_.valid) {
    // Whether this confirms the sent value or not, what is shown may change with it.
    changed_ = true;
    if (received_.valid && valuesEqual(pending_, received_, type)) {
      pending_ = Value();
      dirty_ = false;
    }
  }
  lastReceived_ = card().group().loopTime();
}

}  // namespace qelm
