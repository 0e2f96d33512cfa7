#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "comm/connection.h"
#include "comm/hard_target.h"
#include "comm/host.h"

namespace qelm {

/// A real frame reached over one TCP connection, which exists exactly while at least one of its
/// cards is active (hosts of the "Client" and "Auto" groups). Engine thread only.
class ClientHost final : public Host {
 public:
  /// A host of `group` for the frame at `address`, without a connection.
  ClientHost(HostGroup& group, uint32_t address);
  /// Closes the connection, then destroys the cards.
  ~ClientHost() override;

  /// Keeps the active cards; opens the connection (and joins the group's polled hosts) when the
  /// first card becomes active, closes it (and leaves) when the last one goes.
  void setCardActive(Card& card, bool on) override;
  /// Polls the connection, then the active cards.
  void poll() override;
  /// The soonest of the cards' next work and the connection's (see `Connection::msUntilDue`).
  uint32_t msUntilPoll(uint32_t now) const override;
  /// The connection's status (1, 7 or 8); 12 ("Inactive") without a connection.
  LinkStatus status() const override;
  /// Whether the connection has an established socket (see `Connection::connected`).
  bool connected() const override;
  /// Queues `message` on the connection; without one it is dropped.
  void send(std::unique_ptr<Message> message) override;
  /// Writes the connection's queue when a socket of it is established.
  void flush() override;

  /// The connection; null while no card is active.
  Connection* connection() const { return connection_.get(); }
  /// Status seen at the last poll.
  LinkStatus polledStatus() const { return polledStatus_; }
  /// Loop time at which the connection was opened; 0 = never.
  uint32_t openedAt() const { return openedAt_; }

 private:
  std::unique_ptr<Connection> connection_;
  LinkStatus polledStatus_ = LinkStatus::kInactive;
  uint32_t openedAt_ = 0;
};

/// The target behind every parameter the panel shows from a real card: the value last received,
/// a value staged by the user until the card confirms it, the requests that keep the value
/// fresh, and the status that says whether it can be trusted. Engine thread only.
class ClientTarget final : public HardTarget, public StagedValue {
 public:
  /// An unwatched target of `card` for `parameter`, with no values and no times.
  ClientTarget(Card& card, Parameter& parameter);

  /// The shown value formatted by the parameter; empty when there is none.
  std::string valueText() const override;
  /// Whether the shown value has a name among the parameter's named values.
  bool hasNamedValue() const override;
  /// Stages `value` for the next poll (nothing when the same value is still waiting).
  void setValue(const Value& value) override;
  /// Sends a set request for `value` now (a whole-array set when the card refuses elements).
  /// Throws the texts "Requested OID for non-OpenGear parameter" or "Requested OID for
  /// non-OpenGear array element parameter" for a parameter of the wrong kind.
  void sendValue(const Value& value) override;
  /// A staged value waits or was sent less than the echo wait ago, or a value was received.
  bool hasValue() const override;
  bool isChanged() const override { return changed_; }
  void clearChanged() override { changed_ = false; }
  /// The value last received from the card (invalid when none or expired).
  Value receivedValue() const override { return received_; }
  /// The staged value when there is one, else the received value.
  Value currentValue() const override { return pending_.valid ? pending_ : received_; }
  /// Counts watchers; the first and the last join and leave the card's watched set.
  void watch(bool on) override;
  /// The card's status; when that is 1: 5 after an error answer, else 1 for a value received
  /// within the value lifetime, else 2 (an expired value is dropped). A change sets the changed
  /// flag.
  LinkStatus status() const override;

  /// Takes a response or notification for this parameter.
  void handleMessage(const ReceivedMessage& message) override;
  /// Stores a received value; a staged value it confirms is dropped.
  void storeReceivedValue(const Value& value) override;
  /// Requests the value when it is stale, sends a staged value, expires a sent one.
  void poll() override;
  /// Until the next request, the end of the echo wait or of the value's lifetime; none while
  /// the card is not live (a change of its status polls it again), 0 while a value waits.
  uint32_t msUntilDue(uint32_t now) const override;
  void sendStaged() override;

  /// The staged value; invalid when nothing is staged.
  const Value& pending() const { return pending_; }
  /// The staged value has not been sent yet.
  bool dirty() const { return dirty_; }
  /// Loop time of the last send of the staged value; 0 = never.
  uint32_t sentTime() const { return sentTime_; }
  /// Loop time of the last request or send; 0 = never.
  uint32_t lastRequest() const { return lastRequest_; }
  /// Loop time of the last received value; 0 = never.
  uint32_t lastReceived() const { return lastReceived_; }
  /// The card answered the last message for this parameter with a nonzero status.
  bool error() const { return error_; }
  /// The card refused single-element access; whole-array requests serve this element for good.
  bool elementAccessUnsupported() const { return elementAccessUnsupported_; }

 private:
  const Value& shownValue() const;
  // The status rule applied to `cardStatus`.
  LinkStatus updateStatus(LinkStatus cardStatus) const;
  bool withinEchoWait() const;
  void request();
  // Sends the pending value and starts its echo wait.
  void sendPending(uint32_t now);

  // Every pass reads the times and flags of every watched target: they sit together, ahead of
  // the two values, so one poll touches as few cache lines as it can.
  uint32_t sentTime_ = 0;
  uint32_t lastRequest_ = 0;
  uint32_t lastReceived_ = 0;
  mutable LinkStatus lastStatus_ = LinkStatus::kUnused;
  bool dirty_ = false;
  // Noted with the group for its next flush.
  bool noted_ = false;
  // status() may drop an expired value and flag the change, as the status rule asks.
  mutable bool changed_ = false;
  bool error_ = false;
  bool elementAccessUnsupported_ = false;
  Value pending_;
  mutable Value received_;
};

}  // namespace qelm
