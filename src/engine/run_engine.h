#pragma once

#include <array>
#include <cstdint>
#include <random>

#include "config/config_catalog.h"
#include "engine/core/app_context.h"

namespace qelm {

/// The product's name as the panel shows it.
inline constexpr const char* kProductName = "Marvex Vurezoz QELM-9000";

/// What a run of the engine asks of its runner when it ends.
enum class ExitCode : int32_t {
  kKeepRunning = 0,   ///< still running (never returned by a finished run on its own)
  kRestart = 1,       ///< run again after the restart pause
  kConfigFailed = 2,  ///< the configuration could not be processed
};

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
};

/// Packs the lamp states two bits each, from the most significant pair down in the order of key
/// codes 16, 15, 14, 13, 12, 10, 7, 4, 1, 9, 6, 3, 11, 8, 5, 2.
uint32_t packLampWord(const LampStates& lamps);

/// Decodes a lamp word back into states by key code (what the window does to light its keys).
LampStates unpackLampWord(uint32_t word);

/// One complete life of the engine: start-up, main loop, shutdown. Returns 0, 1 or 2 (see
/// `ExitCode`); may throw a text exception (a std::string) out of any step.
int runEngine(EngineState& state);

}  // namespace qelm
