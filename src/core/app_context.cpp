#include "core/app_context.h"

#include <utility>

namespace qelm {

AppContext::AppContext(const Folders& folders, platform::Clock& clock)
    : input(clock),
      clock_(clock),
      pixels_(static_cast<size_t>(kRasterWidth) * kRasterHeight),
      programFolder_(folders.program),
      dataFolder_(folders.data),
      reportFolder_(folders.report) {
  std::minstd_rand random(clock.tick() | 1u);
  fillNoise(random);
  plant.wakeEngineWith(input.wakeup());
}

void AppContext::fillNoise(std::minstd_rand& random) {
  for (uint32_t& pixel : pixels_) {
    const uint32_t grey = static_cast<uint32_t>(random() % 30);
    pixel = 0xFF000000u + grey * 0x10000u + grey * 0x100u + grey;
  }
}

std::string AppContext::readText(const std::string& field) const {
  std::lock_guard<std::mutex> guard(stateLock_);
  return field;
}

std::string AppContext::programFolder() const {
  return readText(programFolder_);
}
std::string AppContext::dataFolder() const {
  return readText(dataFolder_);
}
std::string AppContext::reportFolder() const {
  return readText(reportFolder_);
}
std::string AppContext::startupFileName() const {
  return readText(startupFileName_);
}
std::string AppContext::saveSessionPath() const {
  return readText(saveSessionPath_);
}
std::string AppContext::loadSessionPath() const {
  return readText(loadSessionPath_);
}
std::string AppContext::sessionReply() const {
  return readText(sessionReply_);
}

void AppContext::setStartupFileName(const std::string& name) {
  std::lock_guard<std::mutex> guard(stateLock_);
  startupFileName_ = name;
}

void AppContext::setSaveSessionPath(const std::string& path) {
  std::lock_guard<std::mutex> guard(stateLock_);
  saveSessionPath_ = path;
}

void AppContext::setLoadSessionPath(const std::string& path) {
  std::lock_guard<std::mutex> guard(stateLock_);
  loadSessionPath_ = path;
}

std::string AppContext::takeSaveSessionPath() {
  std::lock_guard<std::mutex> guard(stateLock_);
  return std::exchange(saveSessionPath_, std::string());
}

std::string AppContext::takeLoadSessionPath() {
  std::lock_guard<std::mutex> guard(stateLock_);
  return std::exchange(loadSessionPath_, std::string());
}

void AppContext::setSessionReply(const std::string& reply) {
  std::lock_guard<std::mutex> guard(stateLock_);
  sessionReply_ = reply;
}

std::string AppContext::loudnessSummary() const {
  return readText(loudnessSummary_);
}

void AppContext::setLoudnessSummary(const std::string& summary) {
  std::lock_guard<std::mutex> guard(stateLock_);
  loudnessSummary_ = summary;
}

bool AppContext::canSaveSession() const {
  std::lock_guard<std::mutex> guard(stateLock_);
  return canSaveSession_;
}

bool AppContext::canLoadSession() const {
  std::lock_guard<std::mutex> guard(stateLock_);
  return canLoadSession_;
}

std::string AppContext::configurationError() const {
  return readText(configurationError_);
}

void AppContext::setConfigurationError(const std::string& error) {
  std::lock_guard<std::mutex> guard(stateLock_);
  configurationError_ = error;
}

void AppContext::setSessionFlags(bool canSave, bool canLoad) {
  std::lock_guard<std::mutex> guard(stateLock_);
  canSaveSession_ = canSave;
  canLoadSession_ = canLoad;
}

std::vector<std::string> AppContext::runningSessions() const {
  std::lock_guard<std::mutex> guard(stateLock_);
  return runningSessions_;
}

bool AppContext::setRunningSessions(const std::vector<std::string>& names) {
  std::lock_guard<std::mutex> guard(stateLock_);
  if (names == runningSessions_) return false;
  runningSessions_ = names;
  return true;
}

}  // namespace qelm
