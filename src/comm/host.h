#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "comm/protocol.h"
#include "model/card_address.h"
#include "model/link_status.h"
#include "platform/clock.h"
#include "platform/socket_watch.h"

namespace qelm {

class Card;
class HardTarget;
class HostGroup;
class Model;
class Monitor;
class Parameter;
class Target;

/// The role of a host group; it decides the kind of hosts and targets and how messages route.
enum class GroupKind : int32_t {
  kClient = 0,     ///< real frames the panel shows and edits (`ClientHost`, `ClientTarget`)
  kAuto = 1,       ///< real frames written by automatic actions (`ClientHost`)
  kSimulator = 2,  ///< simulated frames served to other panels (`ServerHost`, `ServerTarget`)
};

/// Makes the monitor called `name` (lower case) that `model` declares for `card`; null: none.
using MonitorFactory =
    std::function<std::unique_ptr<Monitor>(const std::string& name, Model& model, Card& card)>;

/// Makes the target of `parameter` on `card` for a group whose kind has no built-in target
/// (the automatic actions' group); null refuses the parameter.
using HardTargetFactory =
    std::function<std::unique_ptr<HardTarget>(Card& card, Parameter& parameter)>;

/// One frame, named by its IPv4 address: owns the frame's cards and carries their messages.
/// Engine thread only.
class Host {
 public:
  /// A card's key: slot, then secondary flag (primary first).
  using CardKey = std::pair<int32_t, bool>;
  /// Orders active cards by key, so every pass polls them in the same order.
  struct CardOrder {
    bool operator()(const Card* a, const Card* b) const;
  };

  /// A host of `group` for the frame at `address` (first octet most significant), no cards.
  Host(HostGroup& group, uint32_t address);
  /// Destroys the cards.
  virtual ~Host();
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  /// Adds `card` to (true) or removes it from (false) the active cards.
  virtual void setCardActive(Card& card, bool on);
  /// Longest wait between two polls of the cards, in ms (the longest periodic interval).
  static constexpr uint32_t kLongestCardWaitMs = 65535;

  /// Polls every active card once.
  virtual void poll();
  /// Something a card's poll looks at changed outside it (its watched targets, its monitors, a
  /// staged value, a message from the frame): a host that polls its cards only when they have
  /// work due polls them at its next poll.
  void rescheduleCards();
  /// How long after loop time `now` the host's next poll may first find work that none of its
  /// watched sockets announces; 0 (the default) polls the host at every pass.
  virtual uint32_t msUntilPoll(uint32_t now) const {
    (void)now;
    return 0;
  }
  /// The host's link status; 1 for a host that is always up.
  virtual LinkStatus status() const { return LinkStatus::kLive; }
  /// Whether a message handed to `send` now is written to the frame: the host is up, or its
  /// socket is established though the frame has not said anything on it yet (which `status`
  /// does not count as up).
  virtual bool connected() const { return status() == LinkStatus::kLive; }
  /// Takes `message` and transmits it (or drops it when there is nowhere to send it).
  virtual void send(std::unique_ptr<Message> message) = 0;
  /// Writes what the host's connections have queued since their poll; nothing by default.
  virtual void flush() {}

  /// The card at (`slot`, `secondary`); created empty when missing and `create`, else null.
  Card* findCard(int32_t slot, bool secondary, bool create);
  /// Routes a parsed message by its slot byte (source on the client side, destination on the
  /// simulator side) to the primary card of that slot, then the secondary one; never creates
  /// cards; drops messages for addresses below 16.
  void deliver(const ReceivedMessage& message);

  /// The owning group.
  HostGroup& group() const { return group_; }
  /// Frame IPv4 address, first octet most significant.
  uint32_t address() const { return address_; }
  /// "Host [a.b.c.d]".
  std::string name() const;
  /// Cards by key.
  const std::map<CardKey, std::unique_ptr<Card>>& cards() const { return cards_; }
  /// The cards being polled.
  const std::set<Card*, CardOrder>& activeCards() const { return activeCards_; }
  /// Rank of this host among the hosts its group ever made (0 first).
  uint64_t sequence() const { return sequence_; }

 protected:
  /// Destroys every card now; the derived destructors call it while their own parts still live.
  void destroyCards();
  /// Whether a card may have work at loop time `now`: the soonest time the last `pollCards`
  /// found has come, or `rescheduleCards` was called since.
  bool cardsDue(uint32_t now) const {
    return platform::elapsedMs(now, cardsPolledAt_) >= cardsDueInMs_;
  }
  /// Polls every active card once and notes when the soonest of them has work again.
  void pollCards(uint32_t now);
  /// How long after loop time `now` the cards' next poll is due; 0 when it is.
  uint32_t msUntilCardsDue(uint32_t now) const {
    const uint32_t gone = platform::elapsedMs(now, cardsPolledAt_);
    return gone >= cardsDueInMs_ ? 0 : cardsDueInMs_ - gone;
  }

 private:
  friend class HostGroup;

  HostGroup& group_;
  uint32_t address_;
  uint64_t sequence_;
  std::map<CardKey, std::unique_ptr<Card>> cards_;
  std::set<Card*, CardOrder> activeCards_;
  // Loop time of the last poll of the cards, how long after it the next one is due, and whether
  // something asked for a poll while the cards were being polled.
  uint32_t cardsPolledAt_ = 0;
  uint32_t cardsDueInMs_ = 0;
  bool rescheduled_ = false;
  // The group's bookkeeping: the host's place in its walk, and whether it is noted for the
  // group's next flush.
  size_t visit_ = SIZE_MAX;
  bool queuedNoted_ = false;
};

/// The hosts that play one role ("Client", "Simulator", "Auto"): creates them on first use,
/// finds the target of any parameter of any card, and polls the active ones. Owns its hosts.
/// Engine thread only.
/// A target whose value was staged since its card's last poll; the group's `flush` sends it
/// before the main loop's pause.
class StagedValue {
 public:
  /// Sends the staged value now if the card can take it; else the next poll does.
  virtual void sendStaged() = 0;

 protected:
  ~StagedValue() = default;
};

class HostGroup {
 public:
  /// Silence after which a client card shows "No Card in Slot", in ms.
  static constexpr uint32_t kCardTimeoutMs = 5000;
  /// Quiet time after which a watched client parameter is requested again, in ms.
  static constexpr uint32_t kRequestIntervalMs = 10000;
  /// Age at which a received client value is dropped, in ms.
  static constexpr uint32_t kValueLifetimeMs = 20000;
  /// Longest time a sent value is shown before the card's echo, in ms.
  static constexpr uint32_t kEchoWaitMs = 1000;

  /// Orders active hosts by creation, so every pass polls them in the same order.
  struct HostOrder {
    bool operator()(const Host* a, const Host* b) const;
  };

  /// A group called `name` of `kind`. `clock` times the transport; `random` draws the values of
  /// simulated parameters without defaults. Both must outlive the group. With `watch` (which
  /// must outlive it too) the hosts' sockets are watched, and a host is polled only when one of
  /// its sockets is ready or it has work due; without one every host is polled at every pass.
  HostGroup(std::string name, GroupKind kind, platform::Clock& clock, std::mt19937& random,
            platform::SocketWatch* watch = nullptr);
  /// Empties the active hosts, then destroys the hosts in creation order.
  ~HostGroup();
  HostGroup(const HostGroup&) = delete;
  HostGroup& operator=(const HostGroup&) = delete;

  /// The host for `address` (first octet most significant), created on first use: a
  /// `ServerHost` in a simulator group (active at once), else a `ClientHost`.
  Host& findOrCreateHost(uint32_t address);
  /// The target of `parameter` on the card at `address` (host and card created when missing);
  /// null when the card refuses the parameter. Throws the text "Requested OID for non-OpenGear
  /// parameter" for a parameter that no card can hold.
  Target* getTarget(const CardAddress& address, Parameter& parameter);
  /// Lets every card of every host, in order, create the monitors its models declare through
  /// `factory`, with the log line "RealizeMonitors: host %s".
  void realizeMonitors(const MonitorFactory& factory);
  /// Stores `loopTime` (ms tick of this main-loop pass) and polls the active hosts once each:
  /// every one without a watch (or when the watch's last look failed), else those with a
  /// socket the watch found ready, work due (`Host::msUntilPoll`) or a call of `pollSoon`.
  void poll(uint32_t loopTime);
  /// The watch of the hosts' sockets; null without one.
  platform::SocketWatch* socketWatch() const { return watch_; }
  /// Has `host` polled at the next `poll` whatever its due time (an active host of this group).
  void pollSoon(Host& host);
  /// Notes `host` for the next `flush` (hosts call this when they queue a message).
  void noteQueued(Host& host);
  /// Number of hosts the last `poll` polled.
  size_t polledHosts() const { return polled_; }
  /// Sends the values staged during this pass and writes what the hosts queued, so a set
  /// leaves before the main loop's pause instead of at the next poll. Touches only the hosts
  /// that queued something.
  void flush();
  /// Notes `target` for the next `flush` (targets call this when a value is staged).
  void noteStaged(StagedValue& target) { staged_.push_back(&target); }

  /// Puts `host` among the polled hosts (hosts call this themselves).
  void addActiveHost(Host& host);
  /// Takes `host` out of the polled hosts (hosts call this themselves).
  void removeActiveHost(Host& host);

  /// Loop time of the current pass (ms tick); the clock's tick at creation before any poll.
  uint32_t loopTime() const { return loopTime_; }
  /// Sets the loop time outside `poll` (start-up, tests).
  void setLoopTime(uint32_t loopTime) { loopTime_ = loopTime; }
  /// The transport's clock.
  platform::Clock& clock() const { return clock_; }
  /// Generator for simulated values.
  std::mt19937& random() const { return random_; }

  /// "Client", "Simulator" or "Auto".
  const std::string& name() const { return name_; }
  /// The group's role.
  GroupKind kind() const { return kind_; }

  /// Card time-out in ms (5000).
  uint32_t cardTimeoutMs() const { return cardTimeoutMs_; }
  /// Request interval in ms (10000).
  uint32_t requestIntervalMs() const { return requestIntervalMs_; }
  /// Value lifetime in ms (20000).
  uint32_t valueLifetimeMs() const { return valueLifetimeMs_; }
  /// Echo wait in ms (1000).
  uint32_t echoWaitMs() const { return echoWaitMs_; }

  /// Makes targets in place of the kind's own where the kind has none (the "Auto" group).
  void setTargetFactory(HardTargetFactory factory) { targetFactory_ = std::move(factory); }
  /// The factory set by `setTargetFactory`; empty when none.
  const HardTargetFactory& targetFactory() const { return targetFactory_; }

  /// Every host ever created, in creation order.
  const std::vector<std::unique_ptr<Host>>& hosts() const { return hosts_; }
  /// The hosts polled by `poll`.
  const std::set<Host*, HostOrder>& activeHosts() const { return activeHosts_; }

 private:
  friend class Host;

  uint32_t cardTimeoutMs_ = kCardTimeoutMs;
  uint32_t requestIntervalMs_ = kRequestIntervalMs;
  uint32_t valueLifetimeMs_ = kValueLifetimeMs;
  uint32_t echoWaitMs_ = kEchoWaitMs;
  std::string name_;
  GroupKind kind_;
  platform::Clock& clock_;
  std::mt19937& random_;
  uint32_t loopTime_;
  platform::SocketWatch* watch_;
  size_t polled_ = 0;
  // The host whose poll is in progress; null between polls.
  Host* polling_ = nullptr;
  // Targets noted by `noteStaged` and hosts noted by `noteQueued` since the last flush.
  std::vector<StagedValue*> staged_;
  std::vector<Host*> queued_;
  HardTargetFactory targetFactory_;
  std::vector<std::unique_ptr<Host>> hosts_;
  std::map<uint32_t, Host*> byAddress_;
  uint64_t nextSequence_ = 0;
  std::set<Host*, HostOrder> activeHosts_;
  // The active hosts in their order, each with the loop time of its last poll and how long
  // after it the next one is due: a pass reads these together and touches only the hosts it
  // polls. Remade at the start of the next poll after a change, so a host joining or leaving
  // during a walk does not disturb it (hosts live as long as the group); a remade walk polls
  // every host once.
  struct Visit {
    Host* host;
    uint32_t polledAt;
    uint32_t dueInMs;
  };
  std::vector<Visit> walk_;
  bool walkStale_ = false;
  void remakeWalk();
};

inline void Host::rescheduleCards() {
  cardsDueInMs_ = 0;
  rescheduled_ = true;
  group_.pollSoon(*this);
}

}  // namespace qelm
