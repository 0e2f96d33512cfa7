#include "globals/global_target.h"

#include "globals/global_settings.h"
#include "model/parameter.h"

namespace qelm {

GlobalTarget::GlobalTarget(Parameter& parameter, GlobalSettings& settings)
    : parameter_(parameter), settings_(settings) {}

std::string GlobalTarget::valueText() const {
  const Value value = receivedValue();
  return value.valid ? parameter_.formatValue(value) : std::string();
}

bool GlobalTarget::hasNamedValue() const {
  const Value value = receivedValue();
  return value.valid && !parameter_.namedValueFor(value).empty();
}

void GlobalTarget::setValue(const Value& value) {
  settings_.setGlobal(parameter_, value);
  changed_ = true;
}

bool GlobalTarget::hasValue() const {
  return receivedValue().valid;
}

Value GlobalTarget::receivedValue() const {
  return settings_.getGlobal(parameter_);
}

}  // namespace qelm
