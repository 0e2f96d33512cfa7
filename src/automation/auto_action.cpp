#include "automation/auto_action.h"

#include <cassert>

namespace qelm {

AutoAction::AutoAction(const Model& model, std::vector<CardAddress> addresses)
    : model_(&model), addresses_(std::move(addresses)) {}

AutoAction::~AutoAction() = default;

AutoSetter::AutoSetter(const Model& model, std::vector<CardAddress> addresses, Parameter& parameter,
                       Value value)
    : AutoAction(model, std::move(addresses)), parameter_(&parameter), value_(std::move(value)) {}

AutoSetter::~AutoSetter() = default;

AutoMonitorAction::AutoMonitorAction(const Model& model, std::vector<CardAddress> addresses,
                                     std::string monitorName, std::string actionCode)
    : AutoAction(model, std::move(addresses)),
      monitorName_(std::move(monitorName)),
      actionCode_(std::move(actionCode)) {}

AutoMonitorAction::~AutoMonitorAction() = default;

InputTrigger lineTrigger(int line, bool high) {
  assert(line >= 1 && line <= kInputLineCount && "input lines are numbered 1..12");
  const uint32_t bit = uint32_t{1} << (line - 1);
  return InputTrigger{bit, high ? bit : 0u};
}

InputActionTable::InputActionTable() = default;

InputActionTable::~InputActionTable() = default;

void InputActionTable::addAction(std::unique_ptr<AutoAction> action, InputTrigger trigger) {
  triggers_[trigger].push_back(action.get());
  actions_.push_back(std::move(action));
}

}  // namespace qelm
