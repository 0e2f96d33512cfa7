#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/engine_state.h"
#include "loudness/loudness_registry.h"
#include "loudness_views/global_loudness.h"
#include "platform/socket_watch.h"

namespace qelm {

class ConfigLoader;
class Displays;
class FontRegistry;
class GlobalSettings;
class HostGroup;
class LoudnessPages;
class LoudnessScreens;
class SessionRequests;
class PanelLogic;
class PlantPublisher;
class SettingsStore;
class StandardFileBootEnv;
namespace platform {
class Clock;
}

/// One run of the engine: the objects it builds, in creation order, destroyed in reverse when
/// it ends. `runEngine` drives it; tests and benchmarks drive its steps one by one.
class EngineLife {
 public:
  explicit EngineLife(EngineState& state);
  ~EngineLife();
  EngineLife(const EngineLife&) = delete;
  EngineLife& operator=(const EngineLife&) = delete;

  /// Start-up, the main loop until a stop or a restart request, and shutdown; the exit code.
  int run();
  /// Loads the configuration and builds everything; false (nothing built) when the
  /// configuration could not be processed.
  bool startUp();
  /// One main-loop pass.
  void pass();
  /// The final event, the settings' last act, "Exiting." and the teardown.
  void shutDown();

  /// 0 while running; 1 once the panel (final event) or the settings (restart) asked for the
  /// loop to end, as the run learns after handing them events.
  int32_t exitCode() const { return exitCode_; }
  /// Built objects, for tests and benchmarks; null before start-up and after shutdown.
  PanelLogic* panel() { return panel_.get(); }
  Displays* displays() { return displays_.get(); }
  GlobalSettings* globals() { return globals_.get(); }
  HostGroup* client() { return client_.get(); }
  HostGroup* simulator() { return simulator_.get(); }
  HostGroup* autoGroup() { return auto_.get(); }
  PlantPublisher* plant() { return plant_.get(); }

 private:
  // The steps of start-up, in their order.
  void nameFiles();
  bool loadConfiguration();
  void readBootEnvironment();
  void initializeGlobalSettings();
  void realizeClientTargets();
  void realizeSimulatorTargets();
  void realizeAutoTargets();
  void setUpInputAndFonts();
  void initializeDisplays();
  void setUpPanelLogic();
  void setUpPlant();

  // Draws the failed load's `error` on the screens with the run's fonts; false when they could
  // not be made.
  bool showConfigurationError(const std::string& error);
  void takeExitRequests();
  void notifyScreenChange();
  void updateDisplays();
  void serveSessionRequests();
  void publishRunningSessions();
  platform::Clock& clock();

  EngineState& state_;
  AppContext& context_;

  std::string startupFile_;
  std::string bootEnvFile_;
  std::string fontsFolder_;
  std::string imagesFolder_;
  std::string errorFolder_;
  std::string configurationFolder_;
  // The sockets of the three groups, looked at after the pause before each pass; made before
  // the groups and taken down after them.
  platform::SocketWatch watch_;

  // The process-wide loudness monitors as this run's settings reach them; outlives the
  // settings, which hold it.
  RegistrySessions loudnessSessions_{loudnessRegistry()};
  std::unique_ptr<ConfigLoader> loader_;
  std::unique_ptr<StandardFileBootEnv> bootEnv_;
  std::unique_ptr<SettingsStore> settings_;
  std::unique_ptr<GlobalSettings> globals_;
  std::unique_ptr<HostGroup> client_;
  std::unique_ptr<HostGroup> simulator_;
  std::unique_ptr<HostGroup> auto_;
  // Holds the client group's monitors by pointer: made after the groups, destroyed before them.
  std::unique_ptr<SessionRequests> sessionRequests_;
  std::unique_ptr<LoudnessPages> loudnessPages_;
  std::unique_ptr<FontRegistry> fonts_;
  std::unique_ptr<Displays> displays_;
  std::unique_ptr<LoudnessScreens> loudnessScreens_;
  std::unique_ptr<PanelLogic> panel_;
  // Reaches the devices, the client group's cards and the monitors: made last, taken down first.
  std::unique_ptr<PlantPublisher> plant_;
  uint32_t notifiedChangeSum_ = 0;
  // The running sessions' names as last handed to the window, and the registry's count of
  // session changes then.
  std::vector<std::string> runningSessions_;
  uint64_t sessionChangesSeen_ = 0;
  bool sessionsPublished_ = false;
  int32_t exitCode_ = static_cast<int32_t>(ExitCode::kKeepRunning);
};

}  // namespace qelm
