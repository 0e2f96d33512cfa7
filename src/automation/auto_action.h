#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "model/card_address.h"
#include "model/model.h"
#include "model/parameter.h"
#include "model/value.h"

namespace qelm {

/// Number of input lines; lines are numbered 1..kInputLineCount.
inline constexpr int kInputLineCount = 12;

/// Something an input line does when it changes to a given level. Finding the targets or
/// monitors it works on and carrying it out belong to the host groups, which are built later
/// in the start-up; here it is the configured data only.
class AutoAction {
 public:
  virtual ~AutoAction();
  AutoAction(const AutoAction&) = delete;
  AutoAction& operator=(const AutoAction&) = delete;

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

 private:
  Parameter* parameter_;
  Value value_;
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

 private:
  std::string monitorName_;
  std::string actionCode_;
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
  /// Every action in the order added.
  const std::vector<std::unique_ptr<AutoAction>>& actions() const { return actions_; }
  /// Actions per trigger in trigger order; each list in the order added.
  const std::map<InputTrigger, std::vector<AutoAction*>>& triggers() const { return triggers_; }

 private:
  std::vector<std::unique_ptr<AutoAction>> actions_;
  std::map<InputTrigger, std::vector<AutoAction*>> triggers_;
};

}  // namespace qelm
