#pragma once

#include <cstdint>
#include <string>

#include "comm/protocol.h"
#include "model/target.h"

namespace qelm {

class Card;
class Parameter;

/// A target bound to one parameter of one card at a frame address; owned by the card. While
/// watched it sits in the card's watched set, which keeps the card active.
class HardTarget : public Target {
 public:
  /// A target of `card` for `parameter` (neither owned; both outlive it), unwatched.
  HardTarget(Card& card, Parameter& parameter);
  /// Leaves the card's watched set, which may leave the card inactive.
  ~HardTarget() override;
  HardTarget(const HardTarget&) = delete;
  HardTarget& operator=(const HardTarget&) = delete;

  /// "Model \"<model>\" OID 0x<oid> (\"<parameter>\")".
  std::string describe() const override;

  /// A message the card routed to this target (for its OID, or OID and element index).
  virtual void handleMessage(const ReceivedMessage& message) = 0;
  /// A value received for this parameter by other means (an element of a whole array).
  virtual void storeReceivedValue(const Value& value) { (void)value; }
  /// Periodic work; called once per main-loop pass by the card while the target is watched.
  virtual void poll() = 0;
  /// Milliseconds from loop time `now` before `poll` has anything to do, if nothing reaches the
  /// target meanwhile; 0 (the default): it may have work at every pass.
  virtual uint32_t msUntilDue(uint32_t now) const {
    (void)now;
    return 0;
  }

  /// The parameter served (owned by its model).
  Parameter& parameter() const { return parameter_; }
  /// The owning card.
  Card& card() const { return card_; }
  /// Whether the target is in its card's watched set.
  bool watched() const { return watched_; }
  /// Watchers counted by `watch`; never below 0.
  int32_t watchers() const { return watchers_; }

 protected:
  /// Counts one watcher more (`on`) or less (never below 0); the first joins the card's watched
  /// set and the last leaves it.
  void countWatcher(bool on);

 private:
  friend class Card;

  Parameter& parameter_;
  Card& card_;
  bool watched_ = false;
  int32_t watchers_ = 0;
};

}  // namespace qelm
