#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "comm/connection.h"
#include "comm/hard_target.h"
#include "comm/host.h"
#include "comm/listener.h"

namespace qelm {

/// A simulated frame: listens on port 5253 of its address, serves every panel that connects,
/// and is polled from creation on (hosts of the "Simulator" group). Engine thread only.
class ServerHost final : public Host {
 public:
  /// Panels served at once; with that many connected, each new one takes the place of the peer
  /// silent longest, one that never spoke first (idle connections must not lock panels out).
  static constexpr size_t kMaxPeers = 32;
  /// Connections taken from the listener per poll, bounding the work of one pass.
  static constexpr int kMaxAcceptsPerPoll = 4;
  /// Bytes queued for a panel above which it is not sent copies of answers to other panels'
  /// requests: one peer's flood then never piles up for the others until they are dropped.
  static constexpr size_t kMaxSharedBacklog = 16 * 1024;

  /// A host of `group` for the frame at `address`; joins the group's polled hosts at once.
  ServerHost(HostGroup& group, uint32_t address);
  /// Closes every connection and the listener, then destroys the cards.
  ~ServerHost() override;

  /// Serves the connected panels (dropping those whose link failed), keeps listening, accepts
  /// new panels, then polls the active cards when one of them has work due.
  void poll() override;
  /// Gives `message` to every connected panel; dropped when none is connected. An answer goes
  /// to the panel that asked in any case, and to the others while their backlog is below
  /// `kMaxSharedBacklog`.
  void send(std::unique_ptr<Message> message) override;
  /// Writes what is queued for every connected panel.
  void flush() override;

  /// The listening socket.
  const Listener& listener() const { return listener_; }
  /// Connected panels in acceptance order.
  const std::vector<std::unique_ptr<Connection>>& peers() const { return peers_; }
  /// Peers closed to make way for a new panel while `kMaxPeers` were connected, since creation.
  size_t evictedPeers() const { return evicted_; }
  /// Copies of answers not sent to a panel because its backlog was full, since creation.
  size_t withheldAnswers() const { return withheld_; }

 private:
  void acceptPeers();
  void evictLongestSilent();

  Listener listener_;
  std::vector<std::unique_ptr<Connection>> peers_;
  // The peer whose request is being answered, while its bytes are parsed; else null.
  const Connection* asking_ = nullptr;
  bool limitLogged_ = false;
  size_t evicted_ = 0;
  size_t withheld_ = 0;
};

/// The value of one parameter of a simulated card: answers get and set requests from every
/// connected panel and sends periodic notifications. Engine thread only.
class ServerTarget final : public HardTarget {
 public:
  /// A target of `card` for `parameter` serving the parameter's initial value (its default,
  /// else drawn from the group's generator).
  ServerTarget(Card& card, Parameter& parameter);

  /// Always empty: simulated values are not shown.
  std::string valueText() const override { return std::string(); }
  /// Does nothing: only requests change the served value.
  void setValue(const Value& value) override { (void)value; }
  /// Does nothing.
  void sendValue(const Value& value) override { (void)value; }
  /// Always true.
  bool hasValue() const override { return true; }
  /// The served value.
  Value receivedValue() const override { return served_; }

  /// Answers a get or set request of the matching kind; a set stores the decoded value.
  void handleMessage(const ReceivedMessage& message) override;
  /// Sends the served value when the periodic interval has passed since the last send.
  void poll() override;
  /// The time left of the periodic interval; 0 once it has passed (or nothing was sent yet).
  uint32_t msUntilDue(uint32_t now) const override;

  /// Loop time of the last message sent for this parameter; 0 = never.
  uint32_t lastSent() const { return lastSent_; }

 private:
  void respond(Command command, const Value& value);

  Value served_;
  uint32_t lastSent_ = 0;
};

}  // namespace qelm
