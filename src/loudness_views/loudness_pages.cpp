#include "loudness_views/loudness_pages.h"

#include "comm/card.h"
#include "comm/hard_target.h"
#include "loudness/loudness_monitor.h"
#include "loudness_views/loudness_views.h"
#include "model/device.h"

namespace qelm {
namespace {

// The card of the first target of item 9 (index 8), when that target lives on a card.
LoudnessMonitor* findMonitor(const Page& page) {
  if (page.type() != PageType::kLm) return nullptr;
  auto* target = dynamic_cast<HardTarget*>(page.firstTarget(8));
  if (target == nullptr) return nullptr;
  const auto& monitors = target->card().monitors();
  const auto found = monitors.find("lm");
  if (found == monitors.end()) return nullptr;
  return dynamic_cast<LoudnessMonitor*>(found->second.get());
}

}  // namespace

LoudnessMonitor* LoudnessPages::monitorOf(const Page& page) {
  const auto known = monitors_.find(&page);
  if (known != monitors_.end() && known->second != nullptr) return known->second;
  LoudnessMonitor* monitor = findMonitor(page);
  if (monitor != nullptr) monitors_[&page] = monitor;
  return monitor;
}

void LoudnessPages::bindAll(const DeviceList& devices) {
  for (const auto& [number, device] : devices.devices()) {
    for (const auto& [pageNumber, page] : device->pages()) {
      if (LoudnessMonitor* monitor = monitorOf(*page)) monitor->setGivenName(device->longName());
    }
  }
}

bool LoudnessPages::hasMonitor(const Page& page) {
  return monitorOf(page) != nullptr;
}

std::optional<SessionState> LoudnessPages::sessionState(const Page& page) {
  LoudnessMonitor* monitor = monitorOf(page);
  if (monitor == nullptr) return std::nullopt;
  return monitor->context().record().state;
}

void LoudnessPages::startSession(const Page& page) {
  if (LoudnessMonitor* monitor = monitorOf(page)) monitor->context().start();
}

void LoudnessPages::stopSession(const Page& page) {
  if (LoudnessMonitor* monitor = monitorOf(page)) monitor->context().stop();
}

void LoudnessPages::clearSession(const Page& page) {
  if (LoudnessMonitor* monitor = monitorOf(page)) monitor->context().clear();
}

void LoudnessPages::pauseSession(const Page& page) {
  if (LoudnessMonitor* monitor = monitorOf(page)) monitor->context().pause();
}

std::string LoudnessPages::sessionRequest(const Page& page, SessionOperation operation,
                                          const std::string& path) {
  LoudnessMonitor* monitor = monitorOf(page);
  // An empty reply tells the window that nothing was loaded or saved.
  if (monitor == nullptr || sessionFiles_ == nullptr) return {};
  return operation == SessionOperation::kLoad ? sessionFiles_->load(*monitor, path)
                                              : sessionFiles_->save(*monitor, path);
}

void LoudnessPages::refresh(const Page& page, uint32_t loopTick) {
  LoudnessMonitor* monitor = monitorOf(page);
  if (monitor == nullptr) return;
  bool& changed = monitor->context().record().changed;
  if (changed) {
    viewsDue_ = true;
    changed = false;
  }
  const auto last = lastRequest_.find(&page);
  if (last == lastRequest_.end() || loopTick - last->second >= kRequestIntervalMs) {
    lastRequest_[&page] = loopTick;
    monitor->requestData();
    viewsDue_ = true;
  }
}

bool LoudnessPages::takeViewsDue() {
  const bool due = viewsDue_;
  viewsDue_ = false;
  return due;
}

const LoudnessContext* LoudnessPages::findContext(const Page& page) {
  LoudnessMonitor* monitor = monitorOf(page);
  return monitor != nullptr ? &monitor->context() : nullptr;
}

LoudnessViewSettings LoudnessPages::viewSettings() {
  return globals_ != nullptr ? loudnessViewSettingsFrom(*globals_) : LoudnessViewSettings{};
}

void LoudnessPages::activate(const Page& page) {
  LoudnessMonitor* monitor = monitorOf(page);
  if (monitor == nullptr) return;
  monitor->requestData();
  if (const Device* device = page.device()) monitor->setGivenName(device->longName());
  monitor->context().record().changed = true;
}

}  // namespace qelm
