#include "comm/virtual_target.h"

#include "comm/hard_target.h"
#include "comm/host.h"
#include "core/log.h"
#include "model/model.h"
#include "model/parameter.h"

namespace qelm {

namespace {

std::string modelName(const Parameter& parameter) {
  return parameter.model() ? parameter.model()->name() : std::string();
}

// The parameter a target was made for; null for kinds that do not say.
const Parameter* parameterOf(Target& target) {
  if (auto* local = dynamic_cast<VirtualTarget*>(&target)) return &local->parameter();
  if (auto* hard = dynamic_cast<HardTarget*>(&target)) return &hard->parameter();
  return nullptr;
}

}  // namespace

VirtualTarget::VirtualTarget(Parameter& parameter) : parameter_(parameter) {}

std::string VirtualTarget::describe() const {
  return "Model \"" + modelName(parameter_) + "\" param \"" + parameter_.name() + "\"";
}

std::string VirtualTarget::valueText() const {
  return value_.valid ? parameter_.formatValue(value_) : std::string();
}

bool VirtualTarget::hasNamedValue() const {
  return value_.valid && !parameter_.namedValueFor(value_).empty();
}

void VirtualTarget::setValue(const Value& value) {
  if (valuesEqual(value, value_, parameter_.type())) return;
  value_ = value;
  changed_ = true;
}

void initializeLocalValue(HostGroup& client, const CardAddress& card, Parameter* parameter,
                          const std::string& name, const Value& value) {
  Target* target = parameter ? client.getTarget(card, *parameter) : nullptr;
  if (!target) {
    logMessage(kLogInfo, "WARNING: card %s has no instantiated local target named \"%s\"",
               card.text().c_str(), name.c_str());
    return;
  }
  const Parameter* owner = parameterOf(*target);
  if (owner && owner->model() != parameter->model()) {
    logMessage(kLogInfo,
               "WARNING: card %s local target \"%s\" was instantiated from model \"%s\"; cannot "
               "set via model \"%s\"",
               card.text().c_str(), name.c_str(), modelName(*owner).c_str(),
               modelName(*parameter).c_str());
    return;
  }
  target->sendValue(value);
}

}  // namespace qelm
