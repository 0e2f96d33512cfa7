#pragma once

#include <array>
#include <cstdint>
#include <random>

#include "config/config_catalog.h"
#include "core/app_context.h"
#include "engine/engine_thread.h"

namespace qelm {

/// The product's name as the panel shows it.
inline constexpr const char* kProductName = "Marvex Vurezoz QELM-9000";

/// Everything one run of the engine owns beside the objects it builds; made by the runner for
/// each run and destroyed after it.
struct EngineState {
  explicit EngineState(AppContext& appContext) : context(&appContext) {}

  AppContext* context;  ///< not owned
  /// The tick stored once at the start of each main-loop pass: "now" for everything done in
  /// that pass (time-outs, blinking, refresh intervals).
  uint32_t loopTick = 0;
  /// The run's pseudo-random generator (simulated values), seeded with the tick at start-up.
  std::mt19937 random;
  /// What the configuration defines: models, templates, devices, simulators, actions, values.
  ConfigCatalog catalog;
  /// Set by a run whose configuration failed once it has drawn the error on the screens: the
  /// runner leaves them as they are instead of filling them with noise.
  bool errorOnScreens = false;
};

}  // namespace qelm
