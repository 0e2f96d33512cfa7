#include "engine/engine_thread.h"

#include <exception>
#include <string>
#include <utility>

#include "core/log.h"
#include "engine/engine_state.h"

namespace qelm {

EngineRunner::EngineRunner(const Folders& folders, platform::Clock& clock, RunFunction run)
    : context_(folders, clock), run_(std::move(run)) {}

EngineRunner::~EngineRunner() {
  stop();
}

void EngineRunner::start() {
  if (thread_.joinable()) stop();
  context_.stopRequested.store(false, std::memory_order_relaxed);
  finished_.store(false, std::memory_order_release);
  thread_ = std::thread([this] { loop(); });
}

void EngineRunner::stop() {
  if (!thread_.joinable()) return;
  context_.stopRequested.store(true, std::memory_order_relaxed);
  thread_.join();
}

void EngineRunner::loop() {
  platform::Clock& clock = context_.clock();
  std::minstd_rand noise(clock.tick() | 1u);
  int result = 0;
  while (!context_.stopRequested.load(std::memory_order_relaxed)) {
    bool errorOnScreens = false;
    {
      EngineState state(context_);
      try {
        result = run_(state);
      } catch (const std::string& text) {
        // An engine error ends the run; the result of the previous run decides what follows.
        logMessage(kLogError, "Engine stopped: %s\n", text.c_str());
      } catch (const std::exception& error) {
        // Anything else thrown out of a run would end the whole program; treat it as an engine
        // error instead, so an operator keeps a panel that can restart.
        logMessage(kLogError, "Engine stopped: %s\n", error.what());
      }
      errorOnScreens = state.errorOnScreens;
    }
    result_.store(result, std::memory_order_release);
    // A configuration error drawn on the screens stays there for the operator to read.
    if (!errorOnScreens) {
      // The window copies the raster under the screen lock, so the noise fill takes it too.
      std::lock_guard<std::mutex> guard(context_.screenLock);
      context_.fillNoise(noise);
    }
    context_.input.reset();
    if (context_.stopRequested.load(std::memory_order_relaxed)) break;
    if (result != static_cast<int>(ExitCode::kRestart)) break;
    // Sleep the pause in short steps so a stop during it ends the thread without another run.
    for (uint32_t waited = 0; waited < kRestartPauseMs; waited += 10) {
      if (context_.stopRequested.load(std::memory_order_relaxed)) break;
      clock.sleepMs(10);
    }
  }
  finished_.store(true, std::memory_order_release);
}

}  // namespace qelm
