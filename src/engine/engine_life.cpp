#include "engine/engine_life.h"

#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "comm/group_target_resolver.h"
#include "comm/host.h"
#include "comm/legacy_port.h"
#include "comm/monitor.h"
#include "comm/virtual_target.h"
#include "config/config_loader.h"
#include "core/boot_env.h"
#include "core/log.h"
#include "core/settings_keys.h"
#include "core/settings_store.h"
#include "core/version.h"
#include "display/font_setup.h"
#include "display/palette.h"
#include "engine/plant_publisher.h"
#include "globals/global_settings.h"
#include "loudness/loudness_monitor.h"
#include "loudness/loudness_registry.h"
#include "loudness/session_requests.h"
#include "loudness_views/loudness_pages.h"
#include "loudness_views/loudness_screens.h"
#include "model/model.h"
#include "panel/displays.h"
#include "panel/error_screens.h"
#include "panel/panel_logic.h"
#include "text/text.h"

namespace qelm {

EngineLife::EngineLife(EngineState& state) : state_(state), context_(*state.context) {}

EngineLife::~EngineLife() {
  // A run left by an exception still takes everything down in the order shutdown would.
  plant_.reset();
  panel_.reset();
  displays_.reset();
  if (globals_ != nullptr) {
    globals_->setScreens(nullptr);
    state_.catalog.devices.setPanelDevice(nullptr);
  }
}

platform::Clock& EngineLife::clock() {
  return context_.clock();
}

int EngineLife::run() {
  if (!startUp()) return static_cast<int>(ExitCode::kConfigFailed);
  while (exitCode_ == static_cast<int32_t>(ExitCode::kKeepRunning)) {
    if (context_.stopRequested.load(std::memory_order_relaxed)) break;
    pass();
  }
  shutDown();
  return exitCode_;
}

bool EngineLife::startUp() {
  state_.random.seed(clock().tick());
  nameFiles();
  if (!loadConfiguration()) return false;
  readBootEnvironment();
  initializeGlobalSettings();
  logMessage(kLogInfo, "Initializing NTP client.\n");
  realizeClientTargets();
  realizeSimulatorTargets();
  realizeAutoTargets();
  setUpInputAndFonts();
  initializeDisplays();
  setUpPanelLogic();
  setUpPlant();
  logMessage(kLogInfo, "Running.\n");
  state_.loopTick = clock().tick();
  return true;
}

void EngineLife::nameFiles() {
  const std::string programFolder = context_.programFolder();
  const std::string dataFolder = context_.dataFolder();
  startupFile_ = dataFolder + "configuration/" + context_.startupFileName();
  bootEnvFile_ = dataFolder + "bootenv";
  fontsFolder_ = programFolder + "fonts";
  imagesFolder_ = programFolder + "images";
  errorFolder_ = dataFolder + "error";
  configurationFolder_ = dataFolder + "configuration/";
}

bool EngineLife::loadConfiguration() {
  logMessage(kLogInfo, "Processing configuration.\n");
  const uint32_t loadStart = clock().tick();
  state_.catalog.banner = kProductName;
  loader_ = std::make_unique<ConfigLoader>(errorFolder_, configurationFolder_, state_.catalog);
  const int32_t firstMessage = messageCount();
  const bool loaded = loader_->load(startupFile_);
  // The loader reports why it failed as its last message: the located error it also wrote to
  // the error file, or why the start-up file could not be read.
  const int32_t lastMessage = messageCount() - 1;
  const std::string error =
      loaded || lastMessage < firstMessage ? std::string() : messageText(lastMessage);
  logMessage(kLogInfo, "Processed configuration in %d ticks\n",
             static_cast<int>(platform::elapsedMs(clock().tick(), loadStart)));
  context_.setConfigurationError(error);
  if (loaded) {
    // The error of an earlier load no longer holds.
    std::error_code ignored;
    std::filesystem::remove(errorFolder_, ignored);
    return true;
  }
  loader_.reset();
  // No run follows to light them; lamps of an earlier run would invite keys that do nothing.
  context_.lampWord.store(0, std::memory_order_relaxed);
  state_.errorOnScreens = showConfigurationError(error);
  return false;
}

bool EngineLife::showConfigurationError(const std::string& error) {
  // The fonts a normal run draws with; without them the runner's noise is all there is to show.
  FontRegistry fonts;
  createFonts(fonts, fontsFolder_);
  bool drawn = false;
  {
    std::lock_guard<std::mutex> guard(context_.screenLock);
    drawn = drawConfigurationError(context_.pixels(), fonts, error);
  }
  if (drawn) notifyScreenChange();
  return drawn;
}

void EngineLife::readBootEnvironment() {
  logMessage(kLogInfo, "Reading boot environment.\n");
  bootEnv_ = std::make_unique<StandardFileBootEnv>(bootEnvFile_);
  bootEnv_->load();
}

void EngineLife::initializeGlobalSettings() {
  logMessage(kLogInfo, "Initializing global settings.\n");
  const std::string programFolder = context_.programFolder();
  settings_ = std::make_unique<SettingsStore>();
  settings_->setText(settings_key::kReportTemplatePath,
                     programFolder + "resources/lmtemplate.html");
  settings_->setText(settings_key::kReportDirectory, context_.reportFolder() + "reports/");
  settings_->setText(settings_key::kDataTemplatePath,
                     programFolder + "resources/lmdatatemplate.txt");
  settings_->setBool(settings_key::kShowNetworkSettingsPages, false);
  settings_->setBool(settings_key::kShowTimeSettingsPages, false);
  settings_->setText(
      settings_key::kApplicationVersion,
      formattedText("%d.%d.%d.%d", kVersionMajor, kVersionMinor, kVersionBuild, kVersionRevision));
  globals_ = std::make_unique<GlobalSettings>(*bootEnv_, *settings_, clock());
  globals_->setLoudnessSessions(&loudnessSessions_);
  loudnessSessions_.applySettings(*globals_);
}

void EngineLife::realizeClientTargets() {
  logMessage(kLogInfo, "Realizing control panel targets.\n");
  client_ =
      std::make_unique<HostGroup>("Client", GroupKind::kClient, clock(), state_.random, &watch_);
  client_->setLoopTime(clock().tick());
  GroupTargetResolver resolver(*client_);
  state_.catalog.devices.realize(resolver);
  state_.catalog.devices.setPanelDevice(&globals_->device());

  logMessage(kLogInfo, "Initializing virtual target values.\n");
  initializeLocalValues(*client_, state_.catalog.localCardValues);

  logMessage(kLogInfo, "Realizing monitors.\n");
  client_->realizeMonitors(
      loudnessMonitorFactory(loudnessRegistry(), ReportLocations::fromSettings(*settings_)));
}

void EngineLife::realizeSimulatorTargets() {
  logMessage(kLogInfo, "Realizing simulator targets.\n");
  const ReportLocations locations = ReportLocations::fromSettings(*settings_);
  sessionRequests_ =
      std::make_unique<SessionRequests>(locations.reportTemplatePath, locations.dataTemplatePath);
  loudnessPages_ = std::make_unique<LoudnessPages>(sessionRequests_.get());
  loudnessPages_->bindAll(state_.catalog.devices);
  simulator_ = std::make_unique<HostGroup>("Simulator", GroupKind::kSimulator, clock(),
                                           state_.random, &watch_);
  simulator_->setLoopTime(clock().tick());
  for (const auto& [address, model] : state_.catalog.simulators) {
    const CardAddress card = address;
    model->forEachCardParameter(
        [this, &card](Parameter& parameter) { simulator_->getTarget(card, parameter); });
  }
  simulator_->realizeMonitors(loudnessMonitorFactory(loudnessRegistry()));
}

void EngineLife::realizeAutoTargets() {
  logMessage(kLogInfo, "Realizing auto-setter targets.\n");
  auto_ = std::make_unique<HostGroup>("Auto", GroupKind::kAuto, clock(), state_.random, &watch_);
  auto_->setLoopTime(clock().tick());
  state_.catalog.inputActions.realizeAll(*auto_, *client_);
}

void EngineLife::setUpInputAndFonts() {
  logMessage(kLogInfo, "Setting up for fake input.\n");
  globals_->setKnobInput(&context_.input);
  fonts_ = std::make_unique<FontRegistry>();
  createFonts(*fonts_, fontsFolder_);
}

void EngineLife::initializeDisplays() {
  logMessage(kLogInfo, "Initializing displays.\n");
  globals_->fillPaletteForTheme();
  displays_ = std::make_unique<Displays>(context_.pixels(), fonts_.get(), imagesFolder_,
                                         state_.catalog.banner, [this] { updateDisplays(); });
  // Legacy port 6666 support starts on whatever the stored setting says; the setting changes it
  // later in the run.
  setLegacyPortEnabled(true);
  globals_->setScreens(displays_.get());
  loudnessPages_->setGlobals(globals_.get());
  loudnessScreens_ = std::make_unique<LoudnessScreens>(*displays_, *loudnessPages_);
}

void EngineLife::setUpPanelLogic() {
  logMessage(kLogInfo, "Setting up UI logic.\n");
  panel_ =
      std::make_unique<PanelLogic>(state_.catalog.devices, *displays_, *globals_, state_.loopTick);
  state_.loopTick = clock().tick();
  panel_->setLoudnessControl(loudnessPages_.get());
  panel_->handleEvent(nullptr);
  takeExitRequests();
}

void EngineLife::setUpPlant() {
  plant_ =
      std::make_unique<PlantPublisher>(context_.plant, state_.catalog.devices, *client_,
                                       loudnessRegistry(), context_.reportFolder() + "reports/");
}

void EngineLife::pass() {
  // The 1 ms pause between passes; an operator action queued meanwhile starts the pass at once.
  // After it one look finds the sockets with something for this pass: the groups poll only
  // their hosts, and ask only the sockets, that have work.
  clock().sleepWatching(1, context_.input.wakeup(), watch_);
  // The pass's own work, without the pause, is what the plant's metrics count.
  const auto workStart = std::chrono::steady_clock::now();
  state_.loopTick = clock().tick();

  simulator_->poll(state_.loopTick);
  client_->poll(state_.loopTick);

  // Between the client and auto polls, so a set fired by a line change is sent in this pass.
  state_.catalog.inputActions.evaluate(context_.input.inputLines());
  auto_->poll(state_.loopTick);

  updateDisplays();

  while (std::optional<InputEvent> event = context_.input.nextEvent())
    panel_->handleEvent(&*event);
  // A page left by an event may have committed a setting that needs a restart.
  takeExitRequests();

  context_.lampWord.store(packLampWord(panel_->lamps()), std::memory_order_relaxed);
  context_.colorTheme.store(globals_->colorTheme(), std::memory_order_relaxed);

  const bool pageShown = panel_->mode() == PanelMode::kPageShown;
  if (pageShown) panel_->refreshPage();
  loudnessScreens_->refresh(loudnessPages_->takeViewsDue());
  context_.setSessionFlags(pageShown && panel_->sessionPaused(),
                           pageShown && panel_->sessionStopped());
  serveSessionRequests();
  plant_->serveRequests(state_.loopTick);
  publishRunningSessions();

  // What this pass queued leaves now rather than at the next pass's poll, one pause later.
  simulator_->flush();
  client_->flush();
  auto_->flush();

  plant_->publishIfDue(state_.loopTick, pageShown ? panel_->currentPage() : nullptr);
  context_.plant.recordPass(
      std::chrono::duration<double>(std::chrono::steady_clock::now() - workStart).count());
}

void EngineLife::publishRunningSessions() {
  // The window names these before a quit or a reload would stop them. They change seldom: the
  // monitors are looked at only after a session changed, and the list is handed over (under
  // the window's lock) only when it differs.
  const uint64_t changes = loudnessRegistry().sessionChanges();
  if (sessionsPublished_ && changes == sessionChangesSeen_) return;
  sessionsPublished_ = true;
  sessionChangesSeen_ = changes;
  size_t same = 0;
  bool differs = false;
  for (const LoudnessMonitor* monitor : loudnessRegistry().monitors()) {
    if (monitor->context().record().state == SessionState::kStopped) continue;
    if (same < runningSessions_.size() && runningSessions_[same] == monitor->sessionName()) {
      ++same;
    } else {
      differs = true;
      break;
    }
  }
  if (!differs && same == runningSessions_.size()) return;
  runningSessions_.clear();
  for (const LoudnessMonitor* monitor : loudnessRegistry().monitors())
    if (monitor->context().record().state != SessionState::kStopped)
      runningSessions_.push_back(monitor->sessionName());
  context_.setRunningSessions(runningSessions_);
}

void EngineLife::takeExitRequests() {
  // The loop ends at the end of the pass in which either asked; a run never returns to running.
  if (panel_->exitRequested() || globals_->restartRequested()) {
    exitCode_ = static_cast<int32_t>(ExitCode::kRestart);
  }
}

void EngineLife::updateDisplays() {
  uint32_t changeSum = 0;
  {
    std::lock_guard<std::mutex> guard(context_.screenLock);
    displays_->update();
    changeSum = displays_->changeSum();
  }
  if (changeSum != notifiedChangeSum_) {
    notifiedChangeSum_ = changeSum;
    notifyScreenChange();
  }
}

void EngineLife::notifyScreenChange() {
  // Acquire: a notifier installed while the engine runs (the remote panel) is seen whole.
  if (ScreenNotifier* notifier = context_.notifyWindow.load(std::memory_order_acquire))
    notifier->screenChanged();
}

void EngineLife::serveSessionRequests() {
  // A load is answered before a save in the same pass; without a page that can serve them the
  // reply is empty, which the window reports.
  const std::string loadPath = context_.takeLoadSessionPath();
  if (!loadPath.empty())
    context_.setSessionReply(panel_->sessionRequest(SessionOperation::kLoad, loadPath));
  const std::string savePath = context_.takeSaveSessionPath();
  if (!savePath.empty())
    context_.setSessionReply(panel_->sessionRequest(SessionOperation::kSave, savePath));
}

void EngineLife::shutDown() {
  const InputEvent finalEvent{kFinalEventCode, EventKind::kNone, 0, -1, -1, -1};
  panel_->handleEvent(&finalEvent);
  globals_->finishForShutdown();
  takeExitRequests();
  context_.setLoudnessSummary(loudnessSummaryText(loudnessRegistry()));
  logMessage(kLogInfo, "Exiting.\n");

  globals_->setScreens(nullptr);
  plant_.reset();
  loudnessScreens_.reset();
  displays_.reset();
  panel_.reset();
  loudnessPages_.reset();
  fonts_.reset();
  auto_.reset();
  simulator_.reset();
  client_.reset();
  state_.catalog.devices.setPanelDevice(nullptr);
  globals_.reset();
  loader_.reset();
}

int runEngine(EngineState& state) {
  EngineLife run(state);
  return run.run();
}

}  // namespace qelm
