#pragma once

#include "comm/host.h"
#include "model/device.h"

namespace qelm {

/// Realizes device pages against the cards of one host group (the "Client" group).
class GroupTargetResolver final : public TargetResolver {
 public:
  /// Resolves through `group`, which must outlive the resolver.
  explicit GroupTargetResolver(HostGroup& group) : group_(group) {}

  /// The group's target for `parameter` on the card at `address` (created on first request);
  /// null when the card refuses it.
  Target* cardTarget(const CardAddress& address, Parameter& parameter) override;
  /// Null: panel-side targets belong to the global settings.
  Target* panelTarget(Parameter& parameter) override;

 private:
  HostGroup& group_;
};

}  // namespace qelm
