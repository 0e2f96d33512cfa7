#include "loudness/loudness_registry.h"

#include <algorithm>

#include "loudness/loudness_levels.h"
#include "loudness/loudness_monitor.h"
#include "text/text.h"

namespace qelm {

void LoudnessRegistry::add(LoudnessMonitor& monitor) {
  monitors_.push_back(&monitor);
  monitor.context().applySettings(settings_);
  ++sessionChanges_;
}

void LoudnessRegistry::remove(LoudnessMonitor& monitor) {
  std::erase(monitors_, &monitor);
  ++sessionChanges_;
}

bool LoudnessRegistry::nameInUse(const std::string& name, const LoudnessMonitor* except) const {
  return std::any_of(monitors_.begin(), monitors_.end(), [&](const LoudnessMonitor* m) {
    return m != except && m->sessionName() == name;
  });
}

void LoudnessRegistry::setSettings(const LoudnessSettings& settings) {
  settings_ = settings;
  for (LoudnessMonitor* monitor : monitors_)
    monitor->context().applySettings(settings_);
}

int32_t LoudnessRegistry::activeSessionCount() const {
  return static_cast<int32_t>(std::count_if(monitors_.begin(), monitors_.end(), [](auto* m) {
    return m->context().record().state != SessionState::kStopped;
  }));
}

void LoudnessRegistry::startAll() {
  for (LoudnessMonitor* monitor : monitors_)
    monitor->context().start();
}

void LoudnessRegistry::stopAll() {
  for (LoudnessMonitor* monitor : monitors_)
    monitor->context().stop(false);
}

void LoudnessRegistry::restartAll() {
  for (LoudnessMonitor* monitor : monitors_)
    monitor->context().stop(true);
}

void LoudnessRegistry::finishPendingReports() {
  for (LoudnessMonitor* monitor : monitors_)
    monitor->context().finishPendingReport();
}

LoudnessRegistry& loudnessRegistry() {
  static LoudnessRegistry registry;
  return registry;
}

std::string loudnessSummaryText(const LoudnessRegistry& registry) {
  const auto value = [](int16_t tenths) {
    return isLoudness(tenths) ? formattedText("%.1f", tenths / 10.0) : std::string("--");
  };
  std::string text;
  for (const LoudnessMonitor* monitor : registry.monitors()) {
    const LoudnessContext& context = monitor->context();
    text += formattedText("loudness \"%s\" integrated=%s range=%s\n",
                          monitor->sessionName().c_str(), value(context.integratedTenths()).c_str(),
                          value(context.rangeTenths()).c_str());
  }
  return text;
}

}  // namespace qelm
