#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "loudness/loudness_history.h"
#include "loudness/loudness_output.h"
#include "loudness/loudness_payload.h"
#include "loudness/loudness_session.h"
#include "loudness/loudness_settings.h"
#include "loudness/wall_clock.h"
#include "model/link_status.h"

namespace qelm {

/// The loudness state of one monitored card: its settings, session record, history and the
/// working values of the session commands and the per-payload accumulation. Times are
/// master-clock ticks (100 ms) and loop times (ms) given by the monitor; dates and times come
/// from the wall clock. Engine thread only.
class LoudnessContext {
 public:
  /// Peak-over-threshold indicators are cleared this long after they were last set, in ms.
  static constexpr uint32_t kPeakIndicatorMs = 400;
  /// A session must have run this long before a daily rollover stops it, in ticks.
  static constexpr uint32_t kRolloverMinimumTicks = 900;
  /// Queued data lines that force a write when every sample is logged.
  static constexpr size_t kMostQueuedLines = 60000;
  /// Longest a queued data line waits for the data log, in ticks (a crash loses no more).
  static constexpr uint32_t kDataFlushTicks = 600;
  /// Shortest time between two "Dropped N message(s)" lines, in ticks; N sums the gaps between.
  static constexpr uint32_t kDropLogTicks = 10;
  /// Loop time without a payload after which the levels count as stale, in ms: two of the
  /// once-a-second data requests have gone unanswered.
  static constexpr uint32_t kNoDataMs = 2000;
  /// `kNoDataMs` in master-clock ticks: a longer time between two payloads of a running
  /// session counts as time without data.
  static constexpr uint32_t kNoDataTicks = kNoDataMs / 100;

  /// A stopped session of the card named `deviceName`, with default settings; `output`
  /// receives data lines and makes reports (null: nothing is written).
  LoudnessContext(std::string deviceName, WallClock& wallClock,
                  std::unique_ptr<LoudnessOutput> output = nullptr);
  LoudnessContext(const LoudnessContext&) = delete;
  LoudnessContext& operator=(const LoudnessContext&) = delete;

  /// Names the session's device (the panel device whose page shows the card); kept for every
  /// later clear.
  void setDeviceName(std::string name);
  /// Takes new settings (changed global settings, and at every start).
  void applySettings(const LoudnessSettings& settings);
  const LoudnessSettings& settings() const { return settings_; }
  /// The values of the current graph mode.
  const ModeValues& mode() const { return mode_; }

  // --- Commands, each logged before it acts ---------------------------------------------------

  /// "Starting session": only with status 1; stopped to running or waiting, paused or waiting
  /// to running.
  void start();
  /// "Pausing session": running to paused.
  void pause();
  /// "Stopping session": running or paused to busy (report job), waiting to stopped, busy to
  /// stopped ("Cancelled by user"). `restart` starts again once the report is done.
  void stop(bool restart = false);
  /// "Terminate session": stopped at once, without a report.
  void terminate();
  /// "Clear session": only when stopped.
  void clear();
  /// "Toggle session": stopped starts, running stops; nothing otherwise.
  void toggle();
  /// Starts the session when the master clock reaches `tick`.
  void scheduleStart(uint32_t tick) {
    delayedStart_ = tick;
    wake();
  }
  /// Called by every command and setting: the owner polls the context at its next chance
  /// rather than when it next expected work.
  void setWake(std::function<void()> wake) { wake_ = std::move(wake); }
  /// Has `listener` called whenever the session's state changes or a saved session replaces
  /// the record.
  void setStateListener(std::function<void()> listener) { stateListener_ = std::move(listener); }

  // --- Inputs from the monitor ----------------------------------------------------------------

  /// The monitor's status; a change stores its text. Turning 1 clears the end reason that a
  /// session still going took from the status while the card was lost.
  void setStatus(LinkStatus status);
  /// The card's channel sources of this message: remembered while not running; a change while
  /// running terminates the session ("Channel source changed").
  void checkChannelSources(const std::array<std::string, kMeterChannels>& sources);
  /// A payload that was not decoded, of `type`.
  void rejectPayload(PayloadType type);
  /// One decoded payload at master tick `tick` and loop time `loopMs`: sequence check, then the
  /// accumulation and checks in order.
  void processPayload(const DecodedPayload& payload, uint32_t tick, uint32_t loopMs);
  /// Periodic work: delayed start, indicators, end reason, stale data, report job, history
  /// time keeping.
  void poll(uint32_t tick, uint32_t loopMs);
  /// Milliseconds from loop time `loopMs` before `poll` has work that is timed in
  /// milliseconds (a peak indicator or the data going stale), if no payload comes meanwhile;
  /// 0 while a report is being written. Work timed in master ticks is the caller's to time.
  uint32_t msUntilDue(uint32_t loopMs) const;
  /// Runs a pending report job to its end and leaves the session stopped.
  void finishPendingReport();

  // --- Results --------------------------------------------------------------------------------

  const SessionRecord& record() const { return record_; }
  SessionRecord& record() { return record_; }
  const HistoryEngine& history() const { return history_; }
  HistoryEngine& history() { return history_; }
  /// Integrated loudness in tenths (gated when the mode gates); -2001 = no data.
  int16_t integratedTenths() const { return history_.integratedTenths(mode_.gating); }
  /// Loudness range in tenths; -2001 = no data.
  int16_t rangeTenths() const { return history_.rangeTenths(); }
  /// A tenths loudness for display: "%+2.1f %s" relative to the display offset, "-- LU" without
  /// a value.
  std::string loudnessText(int16_t tenths) const;
  /// Data lines waiting for the data log, each ending in "\n".
  const std::deque<std::string>& queuedLines() const { return queue_; }
  /// Whether a report job is pending.
  bool reportPending() const { return job_ != nullptr; }
  /// Weighted momentary power sum of the latest payload.
  double momentaryPower() const { return momentaryPower_; }
  /// Messages lost in the card's sequence gaps since the context was made; unlike the record's
  /// count it survives a clear, so it only grows.
  uint64_t lostMessages() const { return lostMessages_; }
  /// Bytes held by the session (record, error records, queued lines, history).
  size_t memoryBytes() const;

  // --- Session files ----------------------------------------------------------------------------

  /// The working values a session file carries beside the settings, record, history and queue.
  struct WorkingValues {
    uint32_t masterTick = 0;               ///< latest master tick seen; live clock, not restored
    uint32_t loopMs = 0;                   ///< latest loop time, ms; live clock, not restored
    std::optional<uint32_t> delayedStart;  ///< master tick; live clock, not restored
    std::array<float, kMeterChannels> peakNow{};       ///< current true peaks, dBFS
    std::array<float, kMeterChannels> peakStore{};     ///< decaying peak holds, dBFS
    std::array<uint32_t, kMeterChannels> peakSetAt{};  ///< loop ms each indicator was last set
    double runningSum = 0.0;                           ///< momentary powers while running
    uint32_t runningCount = 0;
    bool startTimecodeTaken = false;
    bool silentTail = false;
    uint32_t silentTick = 0;            ///< master tick the silence began
    std::string silentDate;             ///< "%m/%d/%Y"
    std::string silentTime;             ///< "%H:%M:%S"
    std::deque<std::string> heldLines;  ///< data lines held back during the silence
    bool lineLogged = false;            ///< a data line was logged this session
    uint32_t lastLineTick = 0;          ///< master tick of the last data line
    uint32_t logInterval = 0;           ///< ticks between data lines; 0 = every payload
    std::string queueHour;              ///< "%Y%m%d%H" of the first queued line
    std::string fileBase;               ///< "%Y-%m-%d_%H-%M-%S" naming the data files
    bool restartAfterStop = false;
  };
  /// A copy of the working values (without the queued lines: see `queuedLines`).
  WorkingValues workingValues() const;
  /// Replaces settings, record, history, working values and queued lines at once (a loaded
  /// session file). The live link status, channel sources, clock, delayed start and report job
  /// stay; the sequence and the times restart with the next payload.
  void restoreSession(const LoudnessSettings& settings, SessionRecord record, HistoryEngine history,
                      WorkingValues values, std::deque<std::string> queue);

 private:
  void setState(SessionState state);
  void noteStateChange() const {
    if (stateListener_) stateListener_();
  }
  void wake() const {
    if (wake_) wake_();
  }
  // The reported channels whose true peak is over the peak threshold in one payload.
  struct PeakOvers {
    bool any = false;
    std::array<bool, kMeterChannels> channels{};
  };
  // Whether the short-term loudness is beyond the high or the low threshold.
  struct LoudnessLimits {
    bool high = false;
    bool low = false;
  };

  // The steps of `processPayload`, in the order it takes them.
  void countDroppedMessages(uint32_t sequence, uint32_t tick);
  void logDroppedMessages(uint32_t tick);
  void takeLatestValues(const DecodedPayload& payload);
  PeakOvers updatePeakLevels(const DecodedPayload& payload, uint32_t loopMs);
  void startOnTrigger(const DecodedPayload& payload, bool signalStart);
  void checkSignalStop(bool signalPresent, uint32_t tick);
  void checkTimecodeStop(const DecodedPayload& payload);
  void takeStartTimecode(const DecodedPayload& payload);
  void noteHighestDialnorm(const DecodedPayload& payload);
  double measureChannelLoudness(const DecodedPayload& payload);
  void measureShortTerm(double power, uint32_t tick);
  void accumulateSessionStatistics(double power);
  LoudnessLimits checkLoudnessLimits();
  void logDataLine(const LoudnessLimits& limits, bool dialnorm, uint32_t tick);
  void openDataGap();
  void advanceThroughGap(uint32_t tick);
  void followDataGap(uint32_t tick, bool closing);
  void advanceTimes(const DecodedPayload& payload, uint32_t tick, bool running);
  void checkDailyRollover();

  void clearSession();
  void enterRunning();
  void openDataLog();
  void queueLine(std::string line);
  void flushDataLog();
  void closeOpenErrors();
  void finishReport();
  void endSilentTail(uint32_t tick);
  void trackPeakError(bool active, const std::array<bool, kMeterChannels>& flags,
                      const DecodedPayload& payload, uint32_t tick);
  void trackLoudnessError(ErrorCategory category, bool active, uint32_t tick);
  void trackDialnormError(ErrorType type, uint32_t tick);
  LoudnessError& openRecord(ErrorCategory category, std::unique_ptr<LoudnessError> error,
                            uint32_t tick);
  LoudnessError& mergeRecord(ErrorCategory category, const LoudnessError& fresh, uint32_t tick);
  void extendRecord(ErrorCategory category, LoudnessError& error, uint32_t tick);
  void recomputeWorst(ErrorCategory category);
  bool worse(ErrorCategory category, const LoudnessError& a, const LoudnessError& b) const;
  std::string dataLine(bool high, bool low, bool dialnorm) const;

  std::string deviceName_;
  WallClock& wallClock_;
  std::unique_ptr<LoudnessOutput> output_;
  LoudnessSettings settings_;
  ModeValues mode_;
  SessionRecord record_;
  HistoryEngine history_;

  uint32_t now_ = 0;
  uint32_t loopMs_ = 0;
  std::optional<uint32_t> lastSequence_;
  std::optional<uint32_t> lastPayloadMs_;  // loop time of the latest decoded payload
  uint32_t unloggedDrops_ = 0;             // dropped messages not yet logged
  uint64_t lostMessages_ = 0;
  std::optional<uint32_t> dropsLoggedAt_;  // tick of the last "Dropped" line
  std::array<float, kMeterChannels> peakNow_{};
  std::array<float, kMeterChannels> peakStore_{};
  std::array<uint32_t, kMeterChannels> peakSetAt_{};
  std::array<std::string, kMeterChannels> currentSources_;
  double momentaryPower_ = 0.0;
  double runningSum_ = 0.0;
  uint32_t runningCount_ = 0;
  // Tick the running and elapsed times count from; none until the clock has been seen.
  std::optional<uint32_t> lastTimesTick_;
  bool startTimecodeTaken_ = false;

  bool silentTail_ = false;
  uint32_t silentTick_ = 0;
  std::string silentDate_;
  std::string silentTime_;
  std::deque<std::string> heldLines_;
  uint32_t silentGapTicks_ = 0;  // time without data inside the current silent tail
  bool inGap_ = false;           // the running session waits for data (its clock runs on)

  bool lineLogged_ = false;
  uint32_t lastLineTick_ = 0;
  uint32_t logInterval_ = 0;
  std::deque<std::string> queue_;
  uint32_t queuedAt_ = 0;  // tick of the oldest queued line
  std::string queueHour_;  // "%Y%m%d%H" of the data file's first line; empty before it
  std::string fileBase_;

  std::unique_ptr<ReportJob> job_;
  std::function<void()> wake_;
  std::function<void()> stateListener_;
  std::optional<uint32_t> delayedStart_;
  bool restartAfterStop_ = false;
};

}  // namespace qelm
