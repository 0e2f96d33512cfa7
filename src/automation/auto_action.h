#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "comm/hard_target.h"
#include "model/card_address.h"
#include "model/model.h"
#include "model/parameter.h"
#include "model/value.h"

namespace qelm {

class Card;
class HostGroup;
class Monitor;

/// Number of input lines; lines are numbered 1..kInputLineCount.
inline constexpr int kInputLineCount = 12;

/// Something an input line does when it changes to a given level: the configured data, and
/// once the host groups exist, the targets or monitors it works on.
class AutoAction {
 public:
  virtual ~AutoAction();
  AutoAction(const AutoAction&) = delete;
  AutoAction& operator=(const AutoAction&) = delete;

  /// Finds what the action works on: targets in `autoGroup` (a group of kind Auto whose cards
  /// make `AutoTarget`s), monitors in `clientGroup`. Called once at start-up.
  virtual void realize(HostGroup& autoGroup, HostGroup& clientGroup) = 0;
  /// Carries the action out on what `realize` found; nothing when it found nothing.
  virtual void fire() = 0;

  /// Model named by the configuration for these cards.
  const Model& model() const { return *model_; }
  /// Cards the action works on, in configuration order.
  const std::vector<CardAddress>& addresses() const { return addresses_; }

 protected:
  /// `model` must outlive the action (the catalog keeps models longer than actions).
  AutoAction(const Model& model, std::vector<CardAddress> addresses);

 private:
  const Model* model_;
  std::vector<CardAddress> addresses_;
};

/// The target an automatic set goes through (cards of the "Auto" group): it stages a value and
/// sends one set request per staged value, and never reads anything back. Owned by its card,
/// which watches it from creation on. Engine thread only.
class AutoTarget final : public HardTarget {
 public:
  /// A target of `card` for `parameter`, nothing staged.
  AutoTarget(Card& card, Parameter& parameter);

  /// Stages `value`; nothing when the same value is already staged.
  void setValue(const Value& value) override;
  /// Builds the set request for `value` (0x4D with the element index for an array element,
  /// else 0x4A) and hands it to the card's host. Throws "Requested OID for non-OpenGear
  /// parameter" for a parameter that has no OID.
  void sendValue(const Value& value) override;
  /// Messages for an automatic set are never read.
  void handleMessage(const ReceivedMessage& message) override { (void)message; }
  /// Sends the staged value once, as soon as the host's socket is established, whether or not
  /// the frame has said anything on it yet; until then the value stays staged (a request queued
  /// on a connection without a socket would be dropped).
  void poll() override;

  /// Whether a value waits to be sent.
  bool staged() const { return staged_; }
  /// The value waiting; meaningful while `staged`.
  const Value& stagedValue() const { return stagedValue_; }

 private:
  bool staged_ = false;
  Value stagedValue_;
};

/// Makes `AutoTarget`s for the "Auto" group's cards (its `HardTargetFactory`).
std::unique_ptr<HardTarget> makeAutoTarget(Card& card, Parameter& parameter);

/// Sets one parameter to a fixed value on every card of its list.
class AutoSetter : public AutoAction {
 public:
  /// `parameter` belongs to `model`.
  AutoSetter(const Model& model, std::vector<CardAddress> addresses, Parameter& parameter,
             Value value);
  ~AutoSetter() override;

  /// The parameter to set.
  Parameter& parameter() const { return *parameter_; }
  /// The value to send.
  const Value& value() const { return value_; }

  /// Asks the auto group for the parameter's target on every card of the list (hosts and cards
  /// are created, so their connections open from start-up on) and keeps the `AutoTarget`s.
  void realize(HostGroup& autoGroup, HostGroup& clientGroup) override;
  /// Stages the value on every target found.
  void fire() override;
  /// The targets found by `realize`, in card order.
  const std::vector<AutoTarget*>& targets() const { return targets_; }

 private:
  Parameter* parameter_;
  Value value_;
  std::vector<AutoTarget*> targets_;
};

/// Sends an action ("start", "stop", "pause", "clear", "toggle") to a monitor of every card of
/// its list.
class AutoMonitorAction : public AutoAction {
 public:
  /// `monitorName` and `actionCode` as written (monitors compare them ignoring case).
  AutoMonitorAction(const Model& model, std::vector<CardAddress> addresses, std::string monitorName,
                    std::string actionCode);
  ~AutoMonitorAction() override;

  /// Monitor module name, e.g. "lm".
  const std::string& monitorName() const { return monitorName_; }
  /// Action passed to the monitor.
  const std::string& actionCode() const { return actionCode_; }

  /// Finds, in `clientGroup`, the monitor of that name (ignoring case) on every card of the
  /// list that exists; cards are never created here.
  void realize(HostGroup& autoGroup, HostGroup& clientGroup) override;
  /// Passes the action to every monitor found.
  void fire() override;
  /// The monitors found by `realize`, in card order.
  const std::vector<Monitor*>& monitors() const { return monitors_; }

 private:
  std::string monitorName_;
  std::string actionCode_;
  std::vector<Monitor*> monitors_;
};

/// When a trigger fires: the lines it looks at and the levels they must have.
struct InputTrigger {
  /// Bit n-1 set for line n.
  uint32_t mask = 0;
  /// Bit n-1 set when line n must be high, clear when low; only bits of `mask` count.
  uint32_t level = 0;

  /// Mask, then level.
  friend auto operator<=>(const InputTrigger&, const InputTrigger&) = default;
};

/// The trigger of line `line` (1..kInputLineCount) going high (`high`) or low.
InputTrigger lineTrigger(int line, bool high);

/// The automatic actions of the configuration, owned, with the triggers that fire them.
class InputActionTable {
 public:
  InputActionTable();
  ~InputActionTable();
  InputActionTable(const InputActionTable&) = delete;
  InputActionTable& operator=(const InputActionTable&) = delete;

  /// Takes `action` and files it under `trigger`, after the actions already there.
  void addAction(std::unique_ptr<AutoAction> action, InputTrigger trigger);
  /// Lets `autoGroup` make `AutoTarget`s and realizes every action, in the order added.
  void realizeAll(HostGroup& autoGroup, HostGroup& clientGroup);
  /// Fires the actions of every trigger whose lines changed into its levels since the last
  /// call, in trigger order, given `lines` (bit n-1 = line n). The first call fires every
  /// trigger whose levels already hold.
  void evaluate(uint32_t lines);
  /// Every action in the order added.
  const std::vector<std::unique_ptr<AutoAction>>& actions() const { return actions_; }
  /// Actions per trigger in trigger order; each list in the order added.
  const std::map<InputTrigger, std::vector<AutoAction*>>& triggers() const { return triggers_; }

 private:
  std::vector<std::unique_ptr<AutoAction>> actions_;
  std::map<InputTrigger, std::vector<AutoAction*>> triggers_;
  // The lines at the last evaluation; none before the first.
  std::optional<uint32_t> lastLines_;
};

}  // namespace qelm
