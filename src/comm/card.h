#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "comm/host.h"
#include "comm/protocol.h"
#include "model/link_status.h"
#include "model/value.h"

namespace qelm {

class HardTarget;
class Monitor;
class Parameter;
class Target;
class VirtualTarget;

/// One OpenGear array of a card: its element type, the whole array as last received, and the
/// targets of single elements.
struct ArrayEntry {
  /// Type of every element, taken from the first element parameter seen.
  ValueType type = ValueType::kNone;
  /// The whole array as last received, in index order; empty before the first.
  std::vector<Value> elements;
  /// Targets by element index.
  std::map<uint16_t, std::unique_ptr<HardTarget>> targets;
  /// A whole-array get went out during the current card poll.
  bool requested = false;
};

/// One card in one slot of a frame as one host group sees it: owns the targets of its
/// parameters, its arrays and its monitors, routes the messages of its slot, and tells its host
/// whether it is active (has a watched target or a monitor). Engine thread only.
class Card {
 public:
  /// Highest slot a message can address (address byte 16 + slot).
  static constexpr int32_t kMaxWireSlot = 255 - kFirstCardAddress;

  /// An empty card of `host` at `slot`; `secondary` for the slot's secondary channels.
  Card(Host& host, int32_t slot, bool secondary);
  /// Destroys targets, arrays, monitors and local targets without telling the host.
  ~Card();
  Card(const Card&) = delete;
  Card& operator=(const Card&) = delete;

  /// The target of `parameter`, created on first request: a `VirtualTarget` for a Local
  /// parameter (client groups only), else the group kind's hard target. Null when refused (a
  /// Local parameter outside a client group, an array element whose type differs from its
  /// array's, no target kind for the group). Throws the text "Requested OID for non-OpenGear
  /// parameter" for a Global parameter.
  Target* getTarget(Parameter& parameter);
  /// Puts `target` into (true) or takes it out of (false) the watched set; the first watched
  /// target of a card without monitors activates it, the last deactivates it.
  void watch(HardTarget& target, bool on);
  /// The host's status, or 6 ("No Card in Slot") in a client group when the host is up and
  /// nothing has come from the slot for the card time-out. Also stored as the cached status.
  LinkStatus status();
  /// Stores `status`, polls the watched targets and the monitors, clears the arrays' requested
  /// flags.
  void poll();
  /// Milliseconds from loop time `now` before `poll` has work: 0 with a monitor, else the
  /// soonest of the watched targets' (the largest value with none).
  uint32_t msUntilDue(uint32_t now) const;
  /// Routes one message of the card's slot to the target it names and to every monitor.
  void onMessage(const ReceivedMessage& message);
  /// Sends one whole-array get for `oid` per card poll, however many elements ask.
  void requestWholeArray(uint16_t oid);
  /// Changes element `index` of the array at `oid` to `value` and sends the whole array, when
  /// the array has been received with that element and the value differs; else nothing.
  void setWholeArrayElement(const Value& value, uint16_t oid, uint16_t index);
  /// Creates the monitors the models of the plain targets declare, through `factory`, and
  /// activates the card when any are declared. Writes "RealizeMonitors: card %s".
  void realizeMonitors(const MonitorFactory& factory);
  /// Adds a monitor under `name` (replacing one of that name); activates the card.
  void addMonitor(const std::string& name, std::unique_ptr<Monitor> monitor);
  /// Hands `message` to the host, or drops it when the slot cannot be addressed on the wire.
  void send(std::unique_ptr<Message> message);

  /// Whether 16 + slot fits the address byte (slots 0..239); other cards never send.
  bool addressable() const { return slot_ >= 0 && slot_ <= kMaxWireSlot; }
  /// The slot as messages carry it; meaningful only when `addressable`.
  uint8_t wireSlot() const { return static_cast<uint8_t>(slot_); }

  /// The owning host.
  Host& host() const { return host_; }
  /// The host's group.
  HostGroup& group() const { return host_.group(); }
  /// Frame slot.
  int32_t slot() const { return slot_; }
  /// True for the slot's secondary channels.
  bool secondary() const { return secondary_; }
  /// "Card [<slot>]".
  std::string name() const;
  /// Loop time of the last message for the slot or of the activation; 0 = never.
  uint32_t lastReceived() const { return lastReceived_; }
  /// Whether the card has a watched target or a monitor.
  bool active() const { return !watched_.empty() || !monitors_.empty(); }
  /// Status stored by the last poll.
  LinkStatus polledStatus() const { return status_; }
  /// Status computed by the last `status` call.
  LinkStatus cachedStatus() const { return cachedStatus_; }

  /// Targets of plain OpenGear parameters by OID.
  const std::map<uint16_t, std::unique_ptr<HardTarget>>& plainTargets() const { return plain_; }
  /// Arrays by OID.
  const std::map<uint16_t, ArrayEntry>& arrays() const { return arrays_; }
  /// Targets that are polled and receive messages, ordered by address (kept contiguous: every
  /// pass walks all of them).
  const std::vector<HardTarget*>& watchedTargets() const { return watched_; }
  /// Whether `target` is in the watched set.
  bool isWatched(const HardTarget* target) const;
  /// Monitors by name.
  const std::map<std::string, std::unique_ptr<Monitor>>& monitors() const { return monitors_; }
  /// Local targets by parameter name.
  const std::map<std::string, std::unique_ptr<VirtualTarget>>& localTargets() const {
    return locals_;
  }

 private:
  friend class HardTarget;

  std::unique_ptr<HardTarget> makeTarget(Parameter& parameter);
  // A watched target being destroyed leaves the watched set.
  void forget(HardTarget& target);
  void insertWatched(HardTarget& target);
  void eraseWatched(HardTarget& target);
  void deactivateWhenIdle();
  void takeWholeArray(ArrayEntry& entry, const ReceivedMessage& message);

  Host& host_;
  int32_t slot_;
  bool secondary_;
  bool destroying_ = false;
  uint32_t lastReceived_ = 0;
  std::vector<HardTarget*> watched_;
  std::map<uint16_t, std::unique_ptr<HardTarget>> plain_;
  std::map<uint16_t, ArrayEntry> arrays_;
  std::map<std::string, std::unique_ptr<Monitor>> monitors_;
  std::map<std::string, std::unique_ptr<VirtualTarget>> locals_;
  LinkStatus status_ = LinkStatus::kInactive;
  LinkStatus cachedStatus_ = LinkStatus::kInactive;
};

}  // namespace qelm
