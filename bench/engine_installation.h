// An engine started on a data folder of its own, for benchmarks that run whole passes.
#pragma once

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "engine/engine_life.h"
#include "platform/clock.h"

namespace qelm::bench {

/// A data folder under the temporary folder whose start-up file is `configuration`, and an
/// engine started on it with `clock`; both are taken down with the object.
class EngineInstallation {
 public:
  EngineInstallation(const std::string& folderName, const std::string& configuration,
                     platform::Clock& clock)
      : folder_(std::filesystem::temp_directory_path() / folderName) {
    std::filesystem::remove_all(folder_);
    std::filesystem::create_directories(folder_ / "configuration");
    std::ofstream(folder_ / "configuration" / "startup.txt") << configuration;
    const std::string data = folder_.string() + "/";
    context_ = std::make_unique<AppContext>(Folders{QELM_PROGRAM_DIR, data, data}, clock);
    context_->setStartupFileName("startup.txt");
    state_ = std::make_unique<EngineState>(*context_);
    run_ = std::make_unique<EngineLife>(*state_);
    started_ = run_->startUp();
  }
  ~EngineInstallation() {
    if (started_) run_->shutDown();
    run_.reset();
    state_.reset();
    context_.reset();
    std::filesystem::remove_all(folder_);
  }
  EngineInstallation(const EngineInstallation&) = delete;
  EngineInstallation& operator=(const EngineInstallation&) = delete;

  /// The configuration loaded and the engine is ready for passes.
  bool started() const { return started_; }
  EngineLife& run() { return *run_; }
  AppContext& context() { return *context_; }

 private:
  std::filesystem::path folder_;
  std::unique_ptr<AppContext> context_;
  std::unique_ptr<EngineState> state_;
  std::unique_ptr<EngineLife> run_;
  bool started_ = false;
};

}  // namespace qelm::bench
