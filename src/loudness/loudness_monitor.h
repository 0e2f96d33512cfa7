#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "comm/host.h"
#include "comm/monitor.h"
#include "loudness/loudness_context.h"
#include "loudness/report_output.h"
#include "loudness/wall_clock.h"

namespace qelm {

class Card;
class LoudnessRegistry;
class Model;
class Target;

/// Whether an automatic action may name monitor `kind` with `action`: "lm" with "start",
/// "stop", "pause", "clear" or "toggle", both ignoring case.
bool isValidMonitorAction(const std::string& kind, const std::string& action);

/// The loudness monitor of one card ("lm"): decodes the card's loudness payloads (OID 3420),
/// keeps its status, watches OIDs 3410..3419, names and drives the card's loudness session.
/// Registers with its registry for its lifetime. Owned by its card; engine thread only.
class LoudnessMonitor final : public Monitor {
 public:
  /// Ticks after the card first turns current before an automatic start (2 s).
  static constexpr uint32_t kAutostartDelayTicks = 20;
  /// Ticks between the requests for loudness data (1 s).
  static constexpr uint32_t kRequestIntervalTicks = 10;
  /// Age up to which the last accepted payload keeps the status at 1, in ms.
  static constexpr uint32_t kFreshDataMs = 1000;

  /// A monitor of `card` (whose model is `model`), registered in `registry`; `name` is a name
  /// given to it (may be empty). Watches OIDs 3410..3419, logging those it cannot watch.
  LoudnessMonitor(Card& card, Model& model, LoudnessRegistry& registry, std::string name = "",
                  WallClock& wallClock = systemWallClock(),
                  std::unique_ptr<LoudnessOutput> output = nullptr);
  ~LoudnessMonitor() override;
  LoudnessMonitor(const LoudnessMonitor&) = delete;
  LoudnessMonitor& operator=(const LoudnessMonitor&) = delete;

  /// Requests loudness data each second, updates the master clock, the status and the session
  /// name, schedules the automatic start, and polls the session.
  void poll() override;
  /// Until the next master tick, or sooner when the data stops being fresh or the session has
  /// work timed in milliseconds; 0 while a report is being written.
  uint32_t msUntilDue(uint32_t now) const override;
  /// Processes payloads of OID 3420; ignores every other message.
  void onMessage(const ReceivedMessage& message) override;
  /// "start", "stop", "pause", "clear" or "toggle" (any case); anything else is logged.
  void doAction(const std::string& action) override;
  /// "LM <card name>".
  std::string describe() const override;

  /// The session's state and statistics.
  LoudnessContext& context() { return context_; }
  const LoudnessContext& context() const { return context_; }
  /// Master clock: 100 ms ticks of the system counter, wrap-arounds included.
  uint32_t masterClock() const { return masterClock_; }
  /// The session name.
  const std::string& sessionName() const { return context_.record().sessionName; }
  /// Names the monitor (an "lm" page gives it its device's name): the session takes this name
  /// when the card's "lm-name" names none.
  void setGivenName(std::string name);
  /// The card monitored.
  Card& card() const { return card_; }
  /// Asks the card for loudness data (sets OID 3410), at most once per request interval.
  void requestData();
  /// Payloads in the current format that did not decode, since the monitor was made (those of
  /// other formats show in the status instead).
  uint64_t undecodedPayloads() const { return undecodedPayloads_; }

 private:
  void updateMasterClock();

  void updateStatus();
  void updateSessionName();
  const Target* nameTarget() const;
  std::string preferredName();
  std::array<std::string, kMeterChannels> channelSources() const;

  Card& card_;
  Model& model_;
  LoudnessRegistry& registry_;
  std::string givenName_;
  LoudnessContext context_;
  uint32_t masterClock_ = 0;
  uint32_t lastReading_ = 0;
  uint32_t wraps_ = 0;
  std::optional<uint32_t> lastRequest_;
  std::optional<uint32_t> lastAcceptedMs_;
  bool becameCurrent_ = false;
  std::optional<std::string> lastNameSource_;
  std::optional<uint32_t> lastNameTick_;  // the master tick of the last look at the name
  // Payloads have been refused since the last one read, and the first was logged.
  bool refusing_ = false;
  uint64_t undecodedPayloads_ = 0;
};

/// The simulated loudness card of a simulated frame: sends a 112-byte format-1 payload as an
/// unsolicited get response for OID 3420 at most every 100 ms. Owned by its card.
class LoudnessSimulator final : public Monitor {
 public:
  /// Loop time between payloads, in ms.
  static constexpr uint32_t kIntervalMs = 100;

  explicit LoudnessSimulator(Card& card) : card_(card) {}
  void poll() override;
  /// Until the next payload is due.
  uint32_t msUntilDue(uint32_t now) const override;
  /// Has no effect on what is sent.
  void onMessage(const ReceivedMessage& message) override { (void)message; }
  /// "LM simulator <card name>".
  std::string describe() const override;

  /// The payload with sequence number `sequence`, levels drawn from `random`.
  static std::array<uint8_t, kSimulatorPayloadSize> makePayload(uint32_t sequence,
                                                                std::mt19937& random);

 private:
  Card& card_;
  uint32_t sequence_ = 0;
  std::optional<uint32_t> lastSent_;
};

/// Makes "lm" monitors: a `LoudnessMonitor` in client groups (registered in `registry`), a
/// `LoudnessSimulator` in simulator groups, nothing elsewhere or for other names.
/// With `reports`, each client monitor writes its data files and reports there.
MonitorFactory loudnessMonitorFactory(LoudnessRegistry& registry,
                                      std::optional<ReportLocations> reports = std::nullopt);

}  // namespace qelm
