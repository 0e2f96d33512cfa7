#pragma once

#include <string>

#include "comm/protocol.h"

namespace qelm {

/// A watcher of one card's slot that sees every message the card routes (the loudness monitors
/// and simulators). Owned by its card; engine thread only.
class Monitor {
 public:
  virtual ~Monitor() = default;
  /// Periodic work; called once per card poll while the card is active.
  virtual void poll() = 0;
  /// Milliseconds from loop time `now` before `poll` has work, if no message reaches the card
  /// meanwhile; 0 (the default): it may have work at every pass.
  virtual uint32_t msUntilDue(uint32_t now) const {
    (void)now;
    return 0;
  }
  /// Every message of the card's slot, whether or not a target took it.
  virtual void onMessage(const ReceivedMessage& message) = 0;
  /// A session command ("start", "stop", ...); monitors without sessions ignore it.
  virtual void doAction(const std::string& action) { (void)action; }
  /// A name for logs and lists; empty for monitors that have none.
  virtual std::string describe() const { return std::string(); }
};

}  // namespace qelm
