#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "core/plant_bridge.h"

namespace qelm::remote {

/// What the metrics are made of.
struct MetricsInput {
  std::shared_ptr<const PlantSnapshot> snapshot;
  PassHistogram passes;
  size_t viewers = 0;
};

/// The plant's metrics in the Prometheus text format (version 0.0.4).
std::string renderMetrics(const MetricsInput& input);

}  // namespace qelm::remote
