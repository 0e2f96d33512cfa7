#pragma once

#include <atomic>
#include <functional>
#include <thread>

#include "core/app_context.h"

namespace qelm {

struct EngineState;

/// What a run of the engine asks of its runner when it ends.
enum class ExitCode : int32_t {
  kKeepRunning = 0,   ///< still running (never returned by a finished run on its own)
  kRestart = 1,       ///< run again after the restart pause
  kConfigFailed = 2,  ///< the configuration could not be processed
};

/// One complete life of the engine: start-up, main loop, shutdown. Returns 0, 1 or 2 (see
/// `ExitCode`); may throw a text exception (a std::string) out of any step.
int runEngine(EngineState& state);

/// Owns the application context and the engine thread, which runs the engine again and again:
/// after a restart request it pauses and runs afresh, after a configuration failure it ends, and
/// when the stop flag is set it ends after the current run. Used from one (window) thread.
class EngineRunner {
 public:
  /// One run of the engine; `runEngine` unless a test puts something else in.
  using RunFunction = std::function<int(EngineState&)>;

  /// Pause between a run that asked for a restart and the next one, in milliseconds.
  static constexpr uint32_t kRestartPauseMs = 1000;

  explicit EngineRunner(const Folders& folders, platform::Clock& clock = platform::systemClock(),
                        RunFunction run = runEngine);
  ~EngineRunner();
  EngineRunner(const EngineRunner&) = delete;
  EngineRunner& operator=(const EngineRunner&) = delete;

  /// Starts the engine thread, stopping a running one first.
  void start();
  /// Sets the stop flag and waits, without a time limit, for the engine thread to end.
  void stop();
  /// True once the engine thread has ended by itself or been stopped (false before `start`).
  bool finished() const { return finished_.load(std::memory_order_acquire); }
  /// The result of the last run that counted (0 before any run).
  int result() const { return result_.load(std::memory_order_acquire); }

  AppContext& context() { return context_; }

 private:
  void loop();

  AppContext context_;
  RunFunction run_;
  std::thread thread_;
  std::atomic<bool> finished_{false};
  std::atomic<int> result_{0};
};

}  // namespace qelm
