#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "core/plant_bridge.h"
#include "core/raster_geometry.h"
#include "core/win_input.h"
#include "platform/clock.h"

namespace qelm {

/// Receives the engine's "screens changed" notice. It must post and return at once: it is
/// called on the engine thread under no lock, and never waits for the window.
class ScreenNotifier {
 public:
  virtual ~ScreenNotifier() = default;
  virtual void screenChanged() = 0;
};

/// The folders the engine works with; each ends with "/".
struct Folders {
  std::string program;  ///< installation files beside the executable
  std::string data;     ///< configuration, boot environment, error file
  std::string report;   ///< reports and the system log
};

/// What the window thread and the engine thread share. Texts and session flags are guarded by
/// the state lock, the raster by the screen lock, the input queue by its own lock; the atomic
/// words are read and written without a lock. No lock is ever taken while another is held.
class AppContext {
 public:
  explicit AppContext(const Folders& folders, platform::Clock& clock = platform::systemClock());
  AppContext(const AppContext&) = delete;
  AppContext& operator=(const AppContext&) = delete;

  /// Set by the window to end the engine after its current pass.
  std::atomic<bool> stopRequested{false};
  /// Guards `pixels()`.
  std::mutex screenLock;
  /// Where the engine posts "screens changed"; set once before the first run. May be null.
  std::atomic<ScreenNotifier*> notifyWindow{nullptr};
  /// The input source.
  WinInput input;
  /// What the engine publishes for the plant's API, metrics and wall, and what they ask of it.
  PlantBridge plant;
  /// Colour theme in use, published by the engine every pass.
  std::atomic<int32_t> colorTheme{0};
  /// Lamp states of the 16 keys, two bits each, published by the engine every pass.
  std::atomic<uint32_t> lampWord{0};

  /// The raster, 1024 x 272 pixels of 0xAARRGGBB (alpha ignored), rows of 1024 pixels.
  uint32_t* pixels() { return pixels_.data(); }
  /// Fills the raster with dark grey noise (each channel 0..29), the picture of an idle panel.
  /// Called without the screen lock, by the engine thread between runs.
  void fillNoise(std::minstd_rand& random);

  /// The clock the engine and the input source read.
  platform::Clock& clock() { return clock_; }

  // Texts: each access copies the whole text under the state lock.
  std::string programFolder() const;
  std::string dataFolder() const;
  std::string reportFolder() const;
  std::string startupFileName() const;
  void setStartupFileName(const std::string& name);

  // Session requests and replies between the window and the engine.
  std::string saveSessionPath() const;
  void setSaveSessionPath(const std::string& path);
  std::string loadSessionPath() const;
  void setLoadSessionPath(const std::string& path);
  /// Returns the request and clears it in one step (engine side).
  std::string takeSaveSessionPath();
  std::string takeLoadSessionPath();
  std::string sessionReply() const;
  void setSessionReply(const std::string& reply);
  bool canSaveSession() const;
  /// One line per loudness monitor, written by the engine at shutdown after its sessions were
  /// stopped and their reports written: `loudness "NAME" integrated=X range=Y`.
  std::string loudnessSummary() const;
  void setLoudnessSummary(const std::string& summary);
  bool canLoadSession() const;
  /// Stores both session flags at once.
  void setSessionFlags(bool canSave, bool canLoad);
  /// Names of the loudness sessions that are not stopped (running, paused, waiting or busy):
  /// those a quit or a reload would stop. Published by the engine whenever the set changes.
  std::vector<std::string> runningSessions() const;
  /// Stores `names` unless they equal the stored ones; true when they changed.
  bool setRunningSessions(const std::vector<std::string>& names);

  /// Why the last configuration load failed: the loader's message ("at FILE:LINE MESSAGE", or
  /// why the start-up file could not be read); empty once a load succeeded. Written by the
  /// engine; the window reads it to tell the operator when a run ends with a configuration
  /// failure.
  std::string configurationError() const;
  void setConfigurationError(const std::string& error);

 private:
  std::string readText(const std::string& field) const;

  platform::Clock& clock_;
  std::vector<uint32_t> pixels_;
  mutable std::mutex stateLock_;
  std::string programFolder_;
  std::string dataFolder_;
  std::string reportFolder_;
  std::string startupFileName_;
  std::string saveSessionPath_;
  std::string loadSessionPath_;
  std::string sessionReply_;
  std::string loudnessSummary_;
  std::string configurationError_;
  bool canSaveSession_ = false;
  bool canLoadSession_ = false;
  std::vector<std::string> runningSessions_;
};

}  // namespace qelm
