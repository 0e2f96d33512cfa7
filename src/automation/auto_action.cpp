#include "automation/auto_action.h"

#include <cassert>

#include "comm/card.h"
#include "comm/host.h"
#include "comm/monitor.h"
#include "model/parameter.h"
#include "text/readers.h"

namespace qelm {

// --- AutoTarget ------------------------------------------------------------------------------

AutoTarget::AutoTarget(Card& card, Parameter& parameter) : HardTarget(card, parameter) {}

void AutoTarget::setValue(const Value& value) {
  if (staged_ && valuesEqual(value, stagedValue_, parameter().type())) return;
  stagedValue_ = value;
  staged_ = true;
}

void AutoTarget::sendValue(const Value& value) {
  Parameter& param = parameter();
  std::unique_ptr<Message> message;
  switch (param.kind()) {
    case ParameterKind::kArrayElement:
      message = std::make_unique<Message>(Side::kClient, Command::kSetElement, card().wireSlot(),
                                          param.oid(), param.elementIndex());
      break;
    case ParameterKind::kOpenGear:
      message =
          std::make_unique<Message>(Side::kClient, Command::kSet, card().wireSlot(), param.oid());
      break;
    default:
      throw std::string("Requested OID for non-OpenGear parameter");
  }
  message->appendValue(value, param.type());
  card().send(std::move(message));
}

void AutoTarget::poll() {
  // The card polls its targets right after the connection's poll, so "connected" here means
  // the request is written in this pass (at the latest by the pass's closing flush). A frame
  // that came up after the panel, or restarted, may never speak first: waiting for its status
  // to turn live would hold the set for ever.
  if (!staged_ || !card().host().connected()) return;
  staged_ = false;
  sendValue(stagedValue_);
}

std::unique_ptr<HardTarget> makeAutoTarget(Card& card, Parameter& parameter) {
  return std::make_unique<AutoTarget>(card, parameter);
}

// --- Actions ---------------------------------------------------------------------------------

AutoAction::AutoAction(const Model& model, std::vector<CardAddress> addresses)
    : model_(&model), addresses_(std::move(addresses)) {}

AutoAction::~AutoAction() = default;

AutoSetter::AutoSetter(const Model& model, std::vector<CardAddress> addresses, Parameter& parameter,
                       Value value)
    : AutoAction(model, std::move(addresses)), parameter_(&parameter), value_(std::move(value)) {}

AutoSetter::~AutoSetter() = default;

void AutoSetter::realize(HostGroup& autoGroup, HostGroup& clientGroup) {
  (void)clientGroup;
  targets_.clear();
  for (const CardAddress& address : addresses()) {
    if (auto* target = dynamic_cast<AutoTarget*>(autoGroup.getTarget(address, *parameter_)))
      targets_.push_back(target);
  }
}

void AutoSetter::fire() {
  for (AutoTarget* target : targets_)
    target->setValue(value_);
}

AutoMonitorAction::AutoMonitorAction(const Model& model, std::vector<CardAddress> addresses,
                                     std::string monitorName, std::string actionCode)
    : AutoAction(model, std::move(addresses)),
      monitorName_(std::move(monitorName)),
      actionCode_(std::move(actionCode)) {}

AutoMonitorAction::~AutoMonitorAction() = default;

void AutoMonitorAction::realize(HostGroup& autoGroup, HostGroup& clientGroup) {
  (void)autoGroup;
  monitors_.clear();
  for (const CardAddress& address : addresses()) {
    Card* card = clientGroup.findOrCreateHost(address.address)
                     .findCard(address.slot, address.secondaryChannels, false);
    if (card == nullptr) continue;
    for (const auto& [name, monitor] : card->monitors()) {
      if (equalsIgnoringCase(name, monitorName_)) monitors_.push_back(monitor.get());
    }
  }
}

void AutoMonitorAction::fire() {
  for (Monitor* monitor : monitors_)
    monitor->doAction(actionCode_);
}

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

void InputActionTable::realizeAll(HostGroup& autoGroup, HostGroup& clientGroup) {
  autoGroup.setTargetFactory(&makeAutoTarget);
  for (const auto& action : actions_)
    action->realize(autoGroup, clientGroup);
}

void InputActionTable::evaluate(uint32_t lines) {
  for (const auto& [trigger, actions] : triggers_) {
    const bool changed = !lastLines_ || ((lines ^ *lastLines_) & trigger.mask) != 0;
    if (changed && (lines & trigger.mask) == trigger.level) {
      for (AutoAction* action : actions)
        action->fire();
    }
  }
  lastLines_ = lines;
}

}  // namespace qelm
