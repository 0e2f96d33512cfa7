#include "comm/legacy_port.h"

#include <atomic>

namespace qelm {

namespace {

// The one switch the whole process shares; read when a connection is made, written by the
// engine at start-up and by the global setting during a run.
std::atomic<bool> legacyPortSwitch{false};

}  // namespace

void setLegacyPortEnabled(bool on) {
  legacyPortSwitch.store(on, std::memory_order_relaxed);
}

bool legacyPortEnabled() {
  return legacyPortSwitch.load(std::memory_order_relaxed);
}

}  // namespace qelm
