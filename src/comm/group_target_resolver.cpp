#include "comm/group_target_resolver.h"

namespace qelm {

Target* GroupTargetResolver::cardTarget(const CardAddress& address, Parameter& parameter) {
  return group_.getTarget(address, parameter);
}

Target* GroupTargetResolver::panelTarget(Parameter& parameter) {
  (void)parameter;
  return nullptr;
}

}  // namespace qelm
