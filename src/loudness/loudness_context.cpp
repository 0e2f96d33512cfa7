// Sections: [names] [settings] [commands] [inputs] [per payload] [error records] [data log]
#include "loudness/loudness_context.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/log.h"
#include "platform/clock.h"
#include "text/text.h"

namespace qelm {

// ---- [names] ------------------------------------------------------------------------------------

const char* errorTypeName(ErrorType type) {
  switch (type) {
    case ErrorType::kNone:
      return "NONE";
    case ErrorType::kPeak:
      return "PK";
    case ErrorType::kHlt:
      return "HLT";
    case ErrorType::kHigh:
      return "HIGH";
    case ErrorType::kLow:
      return "LOW";
    case ErrorType::kLlt:
      return "LLT";
    case ErrorType::kDialnormHigh:
      return "DNHI";
    case ErrorType::kDialnormLow:
      return "DNLO";
    case ErrorType::kNoDialnorm:
      return "NODN";
  }
  return "";
}

const char* channelName(int index) {
  static constexpr const char* kNames[kMeterChannels] = {"L",  "R",  "C",     "LFE",
                                                         "Ls", "Rs", "Aux L", "Aux R"};
  return index >= 0 && index < kMeterChannels ? kNames[index] : "U";
}

namespace {

// Channel weights of L, R, C, LFE, Ls, Rs.
constexpr std::array<double, kLoudnessChannels> kWeights = {1.0, 1.0, 1.0, 0.0, 1.41, 1.41};
// 10 log10 of 5 and of 2: how far below the limit a channel still counts as contributing.
constexpr float kContributionAll = 6.9897f;
constexpr float kContributionStereo = 3.0103f;
constexpr float kPeakHoldDecayDb = 1.0f;
constexpr float kLowestPeakDb = -150.0f;

size_t at(ErrorCategory category) {
  return static_cast<size_t>(category);
}

std::string tickTime(uint32_t ticks) {
  return formattedText("%02u:%02u:%02u.%u", ticks / 36000, ticks / 600 % 60, ticks / 10 % 60,
                       ticks % 10);
}

std::string realText(float value) {
  return formattedText("%.1f", static_cast<double>(value));
}

int16_t thresholdTenths(float threshold, bool enabled) {
  return enabled ? static_cast<int16_t>(std::lround(threshold * 10.0f)) : kTenthsNoData;
}

// Ticks from `since` to `now`, 0 when the clock went back.
uint32_t ticksSince(uint32_t now, uint32_t since) {
  return now >= since ? now - since : 0;
}

}  // namespace

// ---- [settings] ---------------------------------------------------------------------------------

LoudnessContext::LoudnessContext(std::string deviceName, WallClock& wallClock,
                                 std::unique_ptr<LoudnessOutput> output)
    : deviceName_(std::move(deviceName)),
      wallClock_(wallClock),
      output_(output ? std::move(output) : std::make_unique<LoudnessOutput>()) {
  peakStore_.fill(kNoSignalDb);
  peakNow_.fill(kNoSignalDb);
  record_.meterDb.fill(kNoSignalDb);
  record_.heldPeakDb.fill(kNoSignalDb);
  record_.channelLoudness.fill(kNoSignalDb);
  output_->attach(*this);
  applySettings(settings_);
  clearSession();
}

void LoudnessContext::setDeviceName(std::string name) {
  record_.deviceName = name;
  deviceName_ = std::move(name);
}

void LoudnessContext::applySettings(const LoudnessSettings& settings) {
  wake();
  settings_ = settings;
  mode_ = modeValues(settings_);
  record_.target = mode_.target;
  record_.displayOffset = mode_.displayOffset();
  record_.unitText = mode_.unitText();
  record_.graphMode = settings_.graphMode;
  record_.periodSeconds = mode_.periodSeconds;
  record_.rangeIndex = mode_.rangeIndex;
  record_.relative = mode_.relative;
  record_.lufs = mode_.absoluteUnits == "LUFS";
  record_.gating = mode_.gating;
  record_.highTenths = thresholdTenths(settings_.highThreshold, settings_.highEnabled());
  record_.lowTenths = thresholdTenths(settings_.lowThreshold, settings_.lowEnabled());
  history_.setPeriod(mode_.periodSeconds);
  history_.setRelativeGate(mode_.relativeGateLu);
}

std::string LoudnessContext::loudnessText(int16_t tenths) const {
  if (!isLoudness(tenths)) return "-- LU";
  return formattedText("%+2.1f %s", tenths / 10.0 - static_cast<double>(mode_.displayOffset()),
                       mode_.unitText().c_str());
}

// ---- [commands] ---------------------------------------------------------------------------------

void LoudnessContext::clearSession() {
  SessionRecord& r = record_;
  r.deviceName = deviceName_;
  r.startDate = wallClock_.format("%m/%d/%Y");
  r.startTime = wallClock_.format("%H:%M:%S");
  r.endDate.clear();
  r.endTime.clear();
  r.startTimecode.clear();
  r.endTimecode.clear();
  r.endReason.clear();
  r.channelSources = currentSources_;
  r.errors.clear();
  r.summaryError.fill(-1);
  r.mergedErrors.fill(0);
  r.openError.fill(-1);
  r.worstError.fill(-1);
  r.lastDialnormError = ErrorType::kNone;
  r.timeInError.fill(0);
  r.shortTermSeen = false;
  r.maxShortTerm = kNoSignalDb;
  r.minShortTerm = kNoSignalDb;
  r.maxDialnormSeen = false;
  r.maxDialnorm = 0.0f;
  r.maxPeakSeen = false;
  r.maxTruePeak = kNoSignalDb;
  r.maxPeakChannel = 0;
  r.sessionAverage = kNoSignalDb;
  r.runningTicks = 0;
  r.elapsedTicks = 0;
  r.droppedMessages = 0;
  r.noDataTicks = 0;
  r.dataGaps = 0;
  r.reportProgress = 0;
  r.loudnessState = 0;
  r.dialnormState = ErrorType::kNone;
  r.contributing.fill(false);
  r.state = SessionState::kStopped;
  runningSum_ = 0.0;
  runningCount_ = 0;
  lastSequence_.reset();
  startTimecodeTaken_ = false;
  silentTail_ = false;
  heldLines_.clear();
  silentGapTicks_ = 0;
  inGap_ = false;
  lineLogged_ = false;
  queue_.clear();
  logInterval_ = settings_.logEverySample ? 0 : 5 * static_cast<uint32_t>(mode_.periodSeconds) * 10;
}

void LoudnessContext::enterRunning() {
  setState(SessionState::kRunning);
  inGap_ = false;
  lastTimesTick_.reset();
  if (now_ != 0) lastTimesTick_ = now_;
  // The histogram counts only what the running session measures, never the armed wait.
  if (history_.mode() == HistoryEngine::Mode::kStopped) history_.reset();
  history_.setMode(HistoryEngine::Mode::kRunning);
}

void LoudnessContext::start() {
  wake();
  logMessage(kLogInfo, "Starting session\n");
  if (record_.status != LinkStatus::kLive) return;
  switch (record_.state) {
    case SessionState::kStopped:
      clearSession();
      applySettings(settings_);
      if (settings_.trigger != TriggerMode::kDisabled) {
        setState(SessionState::kWaiting);
        if (history_.mode() == HistoryEngine::Mode::kStopped) history_.reset();
        history_.setMode(HistoryEngine::Mode::kPaused);
        return;
      }
      enterRunning();
      openDataLog();
      return;
    case SessionState::kPaused:
      enterRunning();
      return;
    case SessionState::kWaiting:
      record_.shortTermValid = false;
      applySettings(settings_);
      enterRunning();
      openDataLog();
      return;
    case SessionState::kRunning:
    case SessionState::kBusy:
      return;
  }
}

void LoudnessContext::pause() {
  wake();
  logMessage(kLogInfo, "Pausing session\n");
  if (record_.state != SessionState::kRunning) return;
  closeOpenErrors();
  setState(SessionState::kPaused);
  history_.setMode(HistoryEngine::Mode::kPaused);
}

void LoudnessContext::stop(bool restart) {
  wake();
  logMessage(kLogInfo, "Stopping session\n");
  record_.endReason.clear();
  switch (record_.state) {
    case SessionState::kWaiting:
      setState(SessionState::kStopped);
      break;
    case SessionState::kBusy:
      record_.endReason = "Cancelled by user";
      restartAfterStop_ = false;
      terminate();
      break;
    case SessionState::kRunning:
    case SessionState::kPaused:
      followDataGap(now_, true);
      closeOpenErrors();
      for (std::string& line : heldLines_)
        queue_.push_back(std::move(line));
      heldLines_.clear();
      silentTail_ = false;
      setState(SessionState::kBusy);
      flushDataLog();
      output_->closeDataLog(record_);
      job_ = output_->createReportJob(*this);
      record_.reportProgress = 0;
      restartAfterStop_ = restart;
      break;
    case SessionState::kStopped:
      break;
  }
  history_.setMode(HistoryEngine::Mode::kStopped);
}

void LoudnessContext::terminate() {
  wake();
  logMessage(kLogInfo, "Terminate session\n");
  if (job_) job_->forgetSessionName();
  closeOpenErrors();
  silentTail_ = false;
  heldLines_.clear();
  // What the session measured up to here stays in its data file.
  flushDataLog();
  output_->closeDataLog(record_);
  setState(SessionState::kStopped);
  history_.setMode(HistoryEngine::Mode::kStopped);
}

void LoudnessContext::clear() {
  wake();
  logMessage(kLogInfo, "Clear session\n");
  if (record_.state != SessionState::kStopped) return;
  clearSession();
  history_.reset();
}

void LoudnessContext::toggle() {
  logMessage(kLogInfo, "Toggle session\n");
  if (record_.state == SessionState::kStopped)
    start();
  else if (record_.state == SessionState::kRunning)
    stop(false);
}

void LoudnessContext::finishReport() {
  job_.reset();
  if (record_.state != SessionState::kBusy) return;
  record_.reportProgress = 100;
  setState(SessionState::kStopped);
  if (restartAfterStop_) {
    restartAfterStop_ = false;
    start();
  }
}

void LoudnessContext::finishPendingReport() {
  wake();
  if (job_) {
    // A job is a bounded sequence of steps; the guard only protects against a faulty one.
    for (int guard = 0; guard < 10000000 && job_->step(); ++guard) {
    }
  }
  job_.reset();
  restartAfterStop_ = false;
  if (record_.state == SessionState::kBusy) setState(SessionState::kStopped);
}

namespace {

// Running, paused or waiting: a session that has not ended.
bool sessionGoesOn(SessionState state) {
  return state == SessionState::kRunning || state == SessionState::kPaused ||
         state == SessionState::kWaiting;
}

}  // namespace

// ---- [inputs] -----------------------------------------------------------------------------------

void LoudnessContext::setStatus(LinkStatus status) {
  if (status == record_.status) return;
  record_.status = status;
  record_.statusText = linkStatusName(status);
  record_.changed = true;
  // While a session goes on, its end reason only ever holds the status copied by `poll`: once
  // the card is back that text is no longer true, and left standing it reads as a fault.
  if (status == LinkStatus::kLive && sessionGoesOn(record_.state)) record_.endReason.clear();
}

void LoudnessContext::checkChannelSources(const std::array<std::string, kMeterChannels>& sources) {
  currentSources_ = sources;
  if (record_.state != SessionState::kRunning) {
    record_.channelSources = sources;
    return;
  }
  // A name that was not known yet when the session started (the card's answer came after its
  // first payload) is learned, not a change: only a known name that differs ends the session.
  bool changed = false;
  for (size_t i = 0; i < sources.size(); ++i) {
    std::string& remembered = record_.channelSources[i];
    if (sources[i] == remembered) continue;
    if (remembered.empty()) {
      remembered = sources[i];
      record_.changed = true;
    } else {
      changed = true;
    }
  }
  if (!changed) return;
  record_.endReason = "Channel source changed";
  terminate();
}

void LoudnessContext::rejectPayload(PayloadType type) {
  record_.lastPayloadType = type;
}

void LoudnessContext::poll(uint32_t tick, uint32_t loopMs) {
  now_ = tick;
  loopMs_ = loopMs;
  if (delayedStart_ && tick >= *delayedStart_) {
    delayedStart_.reset();
    start();
  }
  if (record_.status == LinkStatus::kLive) {
    for (int i = 0; i < kMeterChannels; ++i) {
      if (record_.peakOver[static_cast<size_t>(i)] &&
          loopMs - peakSetAt_[static_cast<size_t>(i)] > kPeakIndicatorMs) {
        record_.peakOver[static_cast<size_t>(i)] = false;
        record_.changed = true;
      }
    }
  } else if (sessionGoesOn(record_.state)) {
    record_.endReason = record_.statusText;
  }
  if (lastPayloadMs_ && !record_.dataStale && loopMs - *lastPayloadMs_ >= kNoDataMs) {
    record_.dataStale = true;
    record_.changed = true;
  }
  if (!queue_.empty() && ticksSince(tick, queuedAt_) >= kDataFlushTicks) flushDataLog();
  logDroppedMessages(tick);
  if (job_) {
    const bool more = job_->step();
    record_.reportProgress = job_->progress();
    if (!more) finishReport();
  } else if (record_.state == SessionState::kBusy) {
    finishReport();
  }
  followDataGap(tick, false);
  history_.keepTime(tick);
}

uint32_t LoudnessContext::msUntilDue(uint32_t loopMs) const {
  if (job_ || record_.state == SessionState::kBusy) return 0;
  uint32_t due = std::numeric_limits<uint32_t>::max();
  if (record_.status == LinkStatus::kLive) {
    for (int i = 0; i < kMeterChannels; ++i) {
      if (record_.peakOver[static_cast<size_t>(i)])
        due = std::min(due, platform::msUntil(loopMs, peakSetAt_[static_cast<size_t>(i)],
                                              kPeakIndicatorMs + 1));
    }
  }
  if (lastPayloadMs_ && !record_.dataStale)
    due = std::min(due, platform::msUntil(loopMs, *lastPayloadMs_, kNoDataMs));
  return due;
}

// ---- [per payload] ------------------------------------------------------------------------------

namespace {

// What the signal trigger sees in one payload.
struct SignalInputs {
  bool start = false;    // a considered channel is above the start threshold
  bool present = false;  // a considered channel is at or above the stop threshold
};

// Signal trigger inputs: L, R, and C, Ls, Rs with all channels; never LFE.
SignalInputs signalInputs(const LoudnessSettings& settings, const DecodedPayload& payload) {
  SignalInputs signal;
  if (settings.trigger != TriggerMode::kSignal) return signal;
  static constexpr int kConsidered[] = {0, 1, 2, 4, 5};
  const int considered = settings.allChannels ? 5 : 2;
  for (int k = 0; k < considered; ++k) {
    const float peak = payload.truePeakDb[static_cast<size_t>(kConsidered[k])];
    signal.start = signal.start || peak > settings.startThreshold;
    signal.present = signal.present ||
                     (settings.stopThreshold > kStopThresholdOff && peak >= settings.stopThreshold);
  }
  return signal;
}

// The dialnorm error of a payload; none unless dialnorm is checked.
ErrorType dialnormError(const LoudnessSettings& settings, float target,
                        const DecodedPayload& payload) {
  if (settings.dialnormMode != DialnormMode::kCheck) return ErrorType::kNone;
  // Checked against the target in every display: an absolute display's offset of 0 would flag
  // every ordinary dialnorm as too low.
  if (!payload.dialnormPresent) return ErrorType::kNoDialnorm;
  if (payload.dialnorm > target + settings.dialnormTolerance) return ErrorType::kDialnormHigh;
  if (payload.dialnorm < target - settings.dialnormTolerance) return ErrorType::kDialnormLow;
  return ErrorType::kNone;
}

}  // namespace

void LoudnessContext::processPayload(const DecodedPayload& payload, uint32_t tick,
                                     uint32_t loopMs) {
  now_ = tick;
  loopMs_ = loopMs;
  record_.lastPayloadType = PayloadType::kCurrent;
  record_.dataSeen = true;
  record_.dataStale = false;
  lastPayloadMs_ = loopMs;
  countDroppedMessages(payload.sequence, tick);
  takeLatestValues(payload);

  const PeakOvers overs = updatePeakLevels(payload, loopMs);
  const SignalInputs signal = signalInputs(settings_, payload);
  if (record_.state == SessionState::kWaiting) startOnTrigger(payload, signal.start);
  if (record_.state == SessionState::kRunning && settings_.trigger == TriggerMode::kSignal)
    checkSignalStop(signal.present, tick);
  if (record_.state == SessionState::kRunning && settings_.trigger == TriggerMode::kTimecode)
    checkTimecodeStop(payload);

  // The triggers have had their say: only a session running now counts this payload.
  const bool running = record_.state == SessionState::kRunning;
  if (running) {
    followDataGap(tick, true);
    takeStartTimecode(payload);
    trackPeakError(overs.any, overs.channels, payload, tick);
    noteHighestDialnorm(payload);
  }
  const double power = measureChannelLoudness(payload);
  measureShortTerm(power, tick);
  if (running) accumulateSessionStatistics(power);
  const LoudnessLimits limits = checkLoudnessLimits();
  if (running) {
    trackLoudnessError(ErrorCategory::kHigh, limits.high, tick);
    trackLoudnessError(ErrorCategory::kLow, limits.low, tick);
  }
  const ErrorType dialnorm = dialnormError(settings_, mode_.target, payload);
  record_.dialnormState = dialnorm;
  if (running) {
    trackDialnormError(dialnorm, tick);
    logDataLine(limits, dialnorm != ErrorType::kNone, tick);
  }
  advanceTimes(payload, tick, running);
  if (running) checkDailyRollover();
  record_.changed = true;
}

void LoudnessContext::countDroppedMessages(uint32_t sequence, uint32_t tick) {
  SessionRecord& r = record_;
  const uint32_t dropped = droppedMessages(lastSequence_, sequence);
  if (dropped > 0) {
    lostMessages_ += dropped;
    unloggedDrops_ = dropped > UINT32_MAX - unloggedDrops_ ? UINT32_MAX : unloggedDrops_ + dropped;
    r.droppedMessages =
        dropped > UINT32_MAX - r.droppedMessages ? UINT32_MAX : r.droppedMessages + dropped;
    history_.pushGap(dropped);
  }
  logDroppedMessages(tick);
  lastSequence_ = sequence;
}

// A card that drops messages all the time would fill the log: one line a second at most, with
// the sum of the gaps since the last one.
void LoudnessContext::logDroppedMessages(uint32_t tick) {
  if (unloggedDrops_ == 0 || (dropsLoggedAt_ && ticksSince(tick, *dropsLoggedAt_) < kDropLogTicks))
    return;
  logMessage(kLogInfo, "Dropped %u message(s)\n", unloggedDrops_);
  unloggedDrops_ = 0;
  dropsLoggedAt_ = tick;
}

void LoudnessContext::takeLatestValues(const DecodedPayload& payload) {
  SessionRecord& r = record_;
  r.timecode = payload.timecode;
  r.meterDb = payload.meterDb;
  r.dialnormPresent = payload.dialnormPresent;
  r.dialnorm = payload.dialnorm;
  peakNow_ = payload.truePeakDb;
}

LoudnessContext::PeakOvers LoudnessContext::updatePeakLevels(const DecodedPayload& payload,
                                                             uint32_t loopMs) {
  SessionRecord& r = record_;
  const int reportedPeaks = settings_.allChannels ? kMeterChannels : 2;
  PeakOvers overs;
  float maxPeak = kNoSignalDb;
  int maxPeakChannel = 0;
  for (int i = 0; i < kMeterChannels; ++i) {
    const auto c = static_cast<size_t>(i);
    const float peak = payload.truePeakDb[c];
    const float held = std::max(peak, peakStore_[c]);
    r.heldPeakDb[c] = held;
    peakStore_[c] = std::max(held - kPeakHoldDecayDb, kNoSignalDb);
    if (i < reportedPeaks && (i == 0 || peak > maxPeak)) {
      maxPeak = peak;
      maxPeakChannel = i;
    }
    if (peak > settings_.peakThreshold) {
      r.peakOver[c] = true;
      peakSetAt_[c] = loopMs;
      if (i < reportedPeaks) {
        overs.any = true;
        overs.channels[c] = true;
      }
    }
  }
  if (r.state == SessionState::kRunning && (!r.maxPeakSeen || maxPeak > r.maxTruePeak)) {
    r.maxPeakSeen = true;
    r.maxTruePeak = maxPeak;
    r.maxPeakChannel = maxPeakChannel;
  }
  return overs;
}

void LoudnessContext::startOnTrigger(const DecodedPayload& payload, bool signalStart) {
  const bool timecodeStart = settings_.trigger == TriggerMode::kTimecode &&
                             !payload.timecode.empty() && !settings_.startTimecode.empty() &&
                             compareTimecodes(payload.timecode, settings_.startTimecode) >= 0;
  if ((settings_.trigger == TriggerMode::kSignal && signalStart) || timecodeStart) start();
}

void LoudnessContext::checkSignalStop(bool signalPresent, uint32_t tick) {
  if (!signalPresent) {
    if (!silentTail_) {
      silentTail_ = true;
      silentTick_ = tick;
      silentDate_ = wallClock_.format("%m/%d/%Y");
      silentTime_ = wallClock_.format("%H:%M:%S");
    }
    const float seconds = std::max(settings_.stopDuration, 0.0f);
    if (ticksSince(tick, silentTick_) >= static_cast<uint32_t>(std::lround(seconds * 10.0f))) {
      endSilentTail(tick);
      stop(false);
    }
  } else if (silentTail_) {
    for (std::string& line : heldLines_)
      queueLine(std::move(line));
    heldLines_.clear();
    silentTail_ = false;
    silentGapTicks_ = 0;
  }
}

void LoudnessContext::checkTimecodeStop(const DecodedPayload& payload) {
  if (payload.timecode.empty()) {
    record_.endReason = "Missing timecode";
    terminate();
  } else if (!settings_.stopTimecode.empty() &&
             compareTimecodes(payload.timecode, settings_.stopTimecode) >= 0) {
    stop(false);
  }
}

void LoudnessContext::takeStartTimecode(const DecodedPayload& payload) {
  if (startTimecodeTaken_) return;
  record_.startTimecode = payload.timecode;
  startTimecodeTaken_ = true;
}

void LoudnessContext::noteHighestDialnorm(const DecodedPayload& payload) {
  SessionRecord& r = record_;
  if (payload.dialnormPresent && (!r.maxDialnormSeen || payload.dialnorm > r.maxDialnorm)) {
    r.maxDialnormSeen = true;
    r.maxDialnorm = payload.dialnorm;
  }
}

double LoudnessContext::measureChannelLoudness(const DecodedPayload& payload) {
  SessionRecord& r = record_;
  const int reportedLoudness = settings_.allChannels ? kLoudnessChannels : 2;
  double sum = 0.0;
  for (int i = 0; i < kLoudnessChannels; ++i) {
    const auto c = static_cast<size_t>(i);
    if (i < reportedLoudness) {
      const double weighted = kWeights[c] * payload.powers[c];
      r.channelLoudness[c] = powerToLoudness(weighted);
      sum += weighted;
    } else {
      r.channelLoudness[c] = kNoSignalDb;
    }
  }
  momentaryPower_ = sum;
  r.momentaryLoudness = powerToLoudness(sum);
  return sum;
}

void LoudnessContext::measureShortTerm(double power, uint32_t tick) {
  SessionRecord& r = record_;
  const int16_t shortTerm = history_.push(power, tick);
  r.shortTermValid = isLoudness(shortTerm);
  r.shortTermLoudness = r.shortTermValid ? static_cast<float>(shortTerm / 10.0) : kNoSignalDb;
}

void LoudnessContext::accumulateSessionStatistics(double power) {
  SessionRecord& r = record_;
  runningSum_ += power;
  ++runningCount_;
  const double mean = runningSum_ / runningCount_;
  r.sessionAverage =
      mean > 0.0 ? static_cast<float>(10.0 * std::log10(mean) + kLoudnessOffsetDb) : kNoSignalDb;
  if (r.shortTermValid) {
    if (!r.shortTermSeen || r.shortTermLoudness > r.maxShortTerm)
      r.maxShortTerm = r.shortTermLoudness;
    if (!r.shortTermSeen || r.shortTermLoudness < r.minShortTerm)
      r.minShortTerm = r.shortTermLoudness;
    r.shortTermSeen = true;
  }
}

LoudnessContext::LoudnessLimits LoudnessContext::checkLoudnessLimits() {
  SessionRecord& r = record_;
  const float st = r.shortTermLoudness;
  LoudnessLimits limits;
  limits.high =
      r.shortTermValid && settings_.highEnabled() && st > mode_.target + settings_.highThreshold;
  limits.low =
      r.shortTermValid && settings_.lowEnabled() && st < mode_.target + settings_.lowThreshold;
  r.loudnessState = limits.high ? 2 : limits.low ? -2 : 0;
  r.contributing.fill(false);
  if (limits.high || limits.low) {
    r.loudnessLimit =
        mode_.target + (limits.high ? settings_.highThreshold : settings_.lowThreshold);
    const float margin = settings_.allChannels ? kContributionAll : kContributionStereo;
    for (size_t c = 0; c < kLoudnessChannels; ++c)
      r.contributing[c] = r.channelLoudness[c] > r.loudnessLimit - margin;
  }
  return limits;
}

void LoudnessContext::logDataLine(const LoudnessLimits& limits, bool dialnorm, uint32_t tick) {
  if (logInterval_ != 0 && lineLogged_ && ticksSince(tick, lastLineTick_) < logInterval_) return;
  lineLogged_ = true;
  lastLineTick_ = tick;
  std::string line = dataLine(limits.high, limits.low, dialnorm);
  if (silentTail_)
    heldLines_.push_back(std::move(line));
  else
    queueLine(std::move(line));
}

// A running session has waited `kNoDataTicks` for a payload: the gap is counted once, and the
// data log gets a line flagged "N" at its start (the time, timecode and date of the last payload
// before it), so the log shows where the card fell silent and, by its next line, for how long.
void LoudnessContext::openDataGap() {
  SessionRecord& r = record_;
  inGap_ = true;
  if (r.dataGaps < UINT32_MAX) ++r.dataGaps;
  // Before the session's first payload the gap began at its start.
  const bool measured = !r.endDate.empty();
  std::string line = tickTime(r.elapsedTicks) + ',' + (measured ? r.endTimecode : r.startTimecode) +
                     ',' +
                     (measured ? r.endDate + ' ' + r.endTime : r.startDate + ' ' + r.startTime) +
                     ',' + realText(mode_.target) + ",,,-150,N\n";
  if (silentTail_)
    heldLines_.push_back(std::move(line));
  else
    queueLine(std::move(line));
}

// Moves a running session's clock on to `tick` through a gap: the session runs on, without data,
// so its running and elapsed times do not stand still while the card is silent.
void LoudnessContext::advanceThroughGap(uint32_t tick) {
  const uint32_t delta = ticksSince(tick, *lastTimesTick_);
  if (delta == 0) return;
  lastTimesTick_ = tick;
  SessionRecord& r = record_;
  r.runningTicks += delta;
  r.elapsedTicks += delta;
  r.noDataTicks = delta > UINT32_MAX - r.noDataTicks ? UINT32_MAX : r.noDataTicks + delta;
  if (silentTail_) silentGapTicks_ += delta;
  r.endDate = wallClock_.format("%m/%d/%Y");
  r.endTime = wallClock_.format("%H:%M:%S");
  r.changed = true;
}

// Keeps a running session's clock through a gap: opened once the card has been silent for
// `kNoDataTicks`, then moved on to `tick`; a payload or a stop closes it.
void LoudnessContext::followDataGap(uint32_t tick, bool closing) {
  if (record_.state != SessionState::kRunning || !lastTimesTick_) return;
  if (!inGap_ && ticksSince(tick, *lastTimesTick_) >= kNoDataTicks) openDataGap();
  if (inGap_) advanceThroughGap(tick);
  if (closing) inGap_ = false;
}

void LoudnessContext::advanceTimes(const DecodedPayload& payload, uint32_t tick, bool running) {
  SessionRecord& r = record_;
  const uint32_t delta = lastTimesTick_ ? ticksSince(tick, *lastTimesTick_) : 0;
  lastTimesTick_ = tick;
  if (running) r.runningTicks += delta;
  if (running || r.state == SessionState::kPaused) {
    r.elapsedTicks += delta;
    r.endDate = wallClock_.format("%m/%d/%Y");
    r.endTime = wallClock_.format("%H:%M:%S");
    r.endTimecode = payload.timecode;
  }
}

void LoudnessContext::checkDailyRollover() {
  if (!settings_.rolloverEnabled || record_.runningTicks <= kRolloverMinimumTicks ||
      wallClock_.format("%H:%M:%S").substr(0, 5) != settings_.rolloverTime.substr(0, 5))
    return;
  logMessage(kLogInfo, "Loudness Meter Rollover\n");
  stop(true);
}

// ---- [error records] ----------------------------------------------------------------------------

LoudnessError& LoudnessContext::openRecord(ErrorCategory category,
                                           std::unique_ptr<LoudnessError> error, uint32_t tick) {
  if (record_.errors.size() >= kMostSessionErrors) {
    // The latest record of the type becomes its summary; only a type never seen adds one.
    const auto type = static_cast<size_t>(error->type);
    int32_t& summary = record_.summaryError[type];
    for (size_t i = record_.errors.size(); summary < 0 && i-- > 0;)
      if (record_.errors[i]->type == error->type) summary = static_cast<int32_t>(i);
    if (summary >= 0) return mergeRecord(category, *error, tick);
    summary = static_cast<int32_t>(record_.errors.size());
  }
  error->startTick = tick;
  error->startElapsed = record_.elapsedTicks;
  error->startTimecode = record_.timecode;
  error->startDateTime = wallClock_.format("%m/%d/%Y %H:%M:%S");
  error->lastTick = tick;
  record_.errors.push_back(std::move(error));
  record_.openError[at(category)] = static_cast<int32_t>(record_.errors.size() - 1);
  return *record_.errors.back();
}

// Past the limit a new record of a type becomes part of that type's summary record: its
// worst values are taken in, and the summary stays open as the new record would have.
LoudnessError& LoudnessContext::mergeRecord(ErrorCategory category, const LoudnessError& fresh,
                                            uint32_t tick) {
  SessionRecord& r = record_;
  const auto type = static_cast<size_t>(fresh.type);
  const int32_t summary = r.summaryError[type];
  LoudnessError& into = *r.errors[static_cast<size_t>(summary)];
  if (r.mergedErrors[type] < UINT32_MAX) ++r.mergedErrors[type];
  const bool lower = fresh.type == ErrorType::kLow || fresh.type == ErrorType::kDialnormLow;
  const auto pick = [lower](float a, float b) { return lower ? std::min(a, b) : std::max(a, b); };
  // Peak records get their values from the caller, as a new one would.
  if (category != ErrorCategory::kPeak) into.worst = pick(into.worst, fresh.worst);
  if (category == ErrorCategory::kHigh || category == ErrorCategory::kLow) {
    auto& l = static_cast<ITU1770Error&>(into);
    const auto& f = static_cast<const ITU1770Error&>(fresh);
    for (size_t c = 0; c < kLoudnessChannels; ++c) {
      l.channelWorst[c] = pick(l.channelWorst[c], f.channelWorst[c]);
      l.contributing[c] = l.contributing[c] || f.contributing[c];
    }
  }
  into.lastTick = tick;
  r.openError[at(category)] = summary;
  return into;
}

void LoudnessContext::extendRecord(ErrorCategory category, LoudnessError& error, uint32_t tick) {
  uint32_t& time = record_.timeInError[at(category)];
  const uint32_t grown = ticksSince(tick, error.lastTick);
  time = grown > UINT32_MAX - time ? UINT32_MAX : time + grown;
  error.lastTick = tick;
}

bool LoudnessContext::worse(ErrorCategory category, const LoudnessError& a,
                            const LoudnessError& b) const {
  switch (category) {
    case ErrorCategory::kPeak:
    case ErrorCategory::kHigh:
      return a.worst > b.worst;
    case ErrorCategory::kLow:
      return a.worst < b.worst;
    case ErrorCategory::kDialnorm: {
      const bool aMissing = a.type == ErrorType::kNoDialnorm;
      const bool bMissing = b.type == ErrorType::kNoDialnorm;
      if (aMissing != bMissing) return aMissing;
      return std::fabs(a.worst - mode_.target) > std::fabs(b.worst - mode_.target);
    }
  }
  return false;
}

void LoudnessContext::recomputeWorst(ErrorCategory category) {
  int32_t& worst = record_.worstError[at(category)];
  worst = -1;
  for (size_t i = 0; i < record_.errors.size(); ++i) {
    const LoudnessError& e = *record_.errors[i];
    const bool inCategory = category == ErrorCategory::kPeak   ? e.type == ErrorType::kPeak
                            : category == ErrorCategory::kHigh ? e.type == ErrorType::kHigh
                            : category == ErrorCategory::kLow  ? e.type == ErrorType::kLow
                                                               : e.type >= ErrorType::kDialnormHigh;
    if (inCategory && (worst < 0 || worse(category, e, *record_.error(worst))))
      worst = static_cast<int32_t>(i);
  }
}

void LoudnessContext::trackPeakError(bool active, const std::array<bool, kMeterChannels>& flags,
                                     const DecodedPayload& payload, uint32_t tick) {
  int32_t& open = record_.openError[at(ErrorCategory::kPeak)];
  if (!active) {
    open = -1;
    return;
  }
  ChannelPeakError* error = nullptr;
  if (open < 0) {
    auto fresh = std::make_unique<ChannelPeakError>();
    fresh->type = ErrorType::kPeak;
    fresh->channelPeak.fill(kNoSignalDb);
    error =
        static_cast<ChannelPeakError*>(&openRecord(ErrorCategory::kPeak, std::move(fresh), tick));
  } else {
    error = static_cast<ChannelPeakError*>(record_.errors[static_cast<size_t>(open)].get());
    extendRecord(ErrorCategory::kPeak, *error, tick);
  }
  for (size_t c = 0; c < kMeterChannels; ++c) {
    if (!flags[c]) continue;
    error->exceeded[c] = true;
    error->channelPeak[c] = std::max(error->channelPeak[c], payload.truePeakDb[c]);
    if (error->worst == kNoSignalDb || payload.truePeakDb[c] > error->worst) {
      error->worst = payload.truePeakDb[c];
      error->peakChannel = static_cast<int32_t>(c);
    }
  }
  int32_t& worst = record_.worstError[at(ErrorCategory::kPeak)];
  if (worst < 0 || worse(ErrorCategory::kPeak, *error, *record_.error(worst))) worst = open;
}

void LoudnessContext::trackLoudnessError(ErrorCategory category, bool active, uint32_t tick) {
  int32_t& open = record_.openError[at(category)];
  if (!active) {
    open = -1;
    return;
  }
  const bool high = category == ErrorCategory::kHigh;
  const SessionRecord& r = record_;
  ITU1770Error* error = nullptr;
  if (open < 0) {
    auto fresh = std::make_unique<ITU1770Error>();
    fresh->type = high ? ErrorType::kHigh : ErrorType::kLow;
    fresh->worst = r.shortTermLoudness;
    fresh->channelWorst = r.channelLoudness;
    fresh->contributing = r.contributing;
    error = static_cast<ITU1770Error*>(&openRecord(category, std::move(fresh), tick));
  } else {
    error = static_cast<ITU1770Error*>(record_.errors[static_cast<size_t>(open)].get());
    extendRecord(category, *error, tick);
    const auto pick = [high](float a, float b) { return high ? std::max(a, b) : std::min(a, b); };
    error->worst = pick(error->worst, r.shortTermLoudness);
    for (size_t c = 0; c < kLoudnessChannels; ++c) {
      error->channelWorst[c] = pick(error->channelWorst[c], r.channelLoudness[c]);
      error->contributing[c] = error->contributing[c] || r.contributing[c];
    }
  }
  int32_t& worst = record_.worstError[at(category)];
  if (worst < 0 || worse(category, *error, *record_.error(worst))) worst = open;
}

void LoudnessContext::trackDialnormError(ErrorType type, uint32_t tick) {
  constexpr ErrorCategory kCategory = ErrorCategory::kDialnorm;
  int32_t& open = record_.openError[at(kCategory)];
  if (type == ErrorType::kNone) {
    open = -1;
    return;
  }
  LoudnessError* error = open >= 0 ? record_.errors[static_cast<size_t>(open)].get() : nullptr;
  const float value = record_.dialnormPresent ? record_.dialnorm : 0.0f;
  if (error && error->type == type) {
    extendRecord(kCategory, *error, tick);
    if (type == ErrorType::kDialnormHigh) error->worst = std::max(error->worst, value);
    if (type == ErrorType::kDialnormLow) error->worst = std::min(error->worst, value);
  } else {
    auto fresh = std::make_unique<DialnormError>();
    fresh->type = type;
    fresh->worst = value;
    error = &openRecord(kCategory, std::move(fresh), tick);
    record_.lastDialnormError = type;
  }
  int32_t& worst = record_.worstError[at(kCategory)];
  if (worst < 0 || worse(kCategory, *error, *record_.error(worst))) worst = open;
}

void LoudnessContext::closeOpenErrors() {
  record_.openError.fill(-1);
}

void LoudnessContext::endSilentTail(uint32_t tick) {
  SessionRecord& r = record_;
  const uint32_t tail = ticksSince(tick, silentTick_);
  // Records that began in the silence did not happen; the open ones end where it began.
  while (!r.errors.empty() && r.errors.back()->startTick > silentTick_) {
    const LoudnessError& e = *r.errors.back();
    const size_t category = e.type == ErrorType::kPeak   ? at(ErrorCategory::kPeak)
                            : e.type == ErrorType::kHigh ? at(ErrorCategory::kHigh)
                            : e.type == ErrorType::kLow  ? at(ErrorCategory::kLow)
                                                         : at(ErrorCategory::kDialnorm);
    r.timeInError[category] -= std::min(r.timeInError[category], e.lastTick - e.startTick);
    r.errors.pop_back();
  }
  for (size_t type = 0; type < kErrorTypes; ++type) {
    if (r.summaryError[type] >= static_cast<int32_t>(r.errors.size())) {
      r.summaryError[type] = -1;
      r.mergedErrors[type] = 0;
    }
  }
  for (size_t category = 0; category < kErrorCategories; ++category) {
    LoudnessError* e =
        r.openError[category] >= 0 && static_cast<size_t>(r.openError[category]) < r.errors.size()
            ? r.errors[static_cast<size_t>(r.openError[category])].get()
            : nullptr;
    if (e && e->lastTick > silentTick_) {
      r.timeInError[category] -= std::min(r.timeInError[category], e->lastTick - silentTick_);
      e->lastTick = silentTick_;
    }
    if (r.openError[category] >= static_cast<int32_t>(r.errors.size())) r.openError[category] = -1;
    recomputeWorst(static_cast<ErrorCategory>(category));
  }
  r.runningTicks -= std::min(r.runningTicks, tail);
  r.elapsedTicks -= std::min(r.elapsedTicks, tail);
  // A gap inside the silence went with it.
  r.noDataTicks =
      std::min(r.noDataTicks - std::min(r.noDataTicks, silentGapTicks_), r.runningTicks);
  silentGapTicks_ = 0;
  heldLines_.clear();
  silentTail_ = false;
  // The session ends when the silence began; the tick arriving now is not counted.
  lastTimesTick_ = tick;
  r.endDate = silentDate_;
  r.endTime = silentTime_;
}

// ---- [data log] ---------------------------------------------------------------------------------

std::string LoudnessContext::dataLine(bool high, bool low, bool dialnorm) const {
  const SessionRecord& r = record_;
  float peak = kNoSignalDb;
  const int reported = settings_.allChannels ? kMeterChannels : 2;
  for (int i = 0; i < reported; ++i)
    peak = std::max(peak, peakNow_[static_cast<size_t>(i)]);
  bool anyPeak = false;
  for (const bool on : r.peakOver)
    anyPeak = anyPeak || on;
  std::string flags;
  if (anyPeak) flags += 'P';
  if (high) flags += 'H';
  if (low) flags += 'L';
  if (dialnorm) flags += 'D';
  return tickTime(r.elapsedTicks) + ',' + r.timecode + ',' +
         wallClock_.format("%m/%d/%Y %H:%M:%S") + ',' + realText(mode_.target) + ',' +
         (r.dialnormPresent ? realText(r.dialnorm) : std::string()) + ',' +
         (r.shortTermValid ? realText(r.shortTermLoudness) : std::string()) + ',' +
         (peak < kLowestPeakDb ? std::string("-150") : realText(peak)) + ',' + flags + '\n';
}

void LoudnessContext::openDataLog() {
  fileBase_ = wallClock_.format("%Y-%m-%d_%H-%M-%S");
  queueHour_.clear();
  output_->openDataLog(record_, fileBase_);
}

void LoudnessContext::queueLine(std::string line) {
  if (settings_.logEverySample) {
    const std::string hour = wallClock_.format("%Y%m%d%H");
    // The queue may have been written out in the hour already; the file's hour still counts.
    if (!queueHour_.empty() && hour != queueHour_) {
      flushDataLog();
      openDataLog();
    }
    if (queueHour_.empty()) queueHour_ = hour;
  }
  if (queue_.empty()) queuedAt_ = now_;
  queue_.push_back(std::move(line));
  if (settings_.logEverySample && queue_.size() >= kMostQueuedLines) {
    flushDataLog();
    openDataLog();
  } else if (ticksSince(now_, queuedAt_) >= kDataFlushTicks) {
    flushDataLog();
  }
}

void LoudnessContext::flushDataLog() {
  if (queue_.empty()) return;
  output_->writeDataLines(record_, fileBase_, queue_);
  queue_.clear();
}

LoudnessContext::WorkingValues LoudnessContext::workingValues() const {
  WorkingValues v;
  v.masterTick = now_;
  v.loopMs = loopMs_;
  v.delayedStart = delayedStart_;
  v.peakNow = peakNow_;
  v.peakStore = peakStore_;
  v.peakSetAt = peakSetAt_;
  v.runningSum = runningSum_;
  v.runningCount = runningCount_;
  v.startTimecodeTaken = startTimecodeTaken_;
  v.silentTail = silentTail_;
  v.silentTick = silentTick_;
  v.silentDate = silentDate_;
  v.silentTime = silentTime_;
  v.heldLines = heldLines_;
  v.lineLogged = lineLogged_;
  v.lastLineTick = lastLineTick_;
  v.logInterval = logInterval_;
  v.queueHour = queueHour_;
  v.fileBase = fileBase_;
  v.restartAfterStop = restartAfterStop_;
  return v;
}

void LoudnessContext::setState(SessionState state) {
  if (state == record_.state) return;
  record_.state = state;
  noteStateChange();
}

void LoudnessContext::restoreSession(const LoudnessSettings& settings, SessionRecord record,
                                     HistoryEngine history, WorkingValues values,
                                     std::deque<std::string> queue) {
  wake();
  settings_ = settings;
  mode_ = modeValues(settings_);
  // The link belongs to the card on show now, not to the panel that saved the file.
  record.status = record_.status;
  record.statusText = record_.statusText;
  record.changed = true;
  record_ = std::move(record);
  noteStateChange();
  history_ = std::move(history);
  peakNow_ = values.peakNow;
  peakStore_ = values.peakStore;
  peakSetAt_ = values.peakSetAt;
  runningSum_ = values.runningSum;
  runningCount_ = values.runningCount;
  startTimecodeTaken_ = values.startTimecodeTaken;
  silentTail_ = values.silentTail;
  silentTick_ = values.silentTick;
  silentDate_ = std::move(values.silentDate);
  silentTime_ = std::move(values.silentTime);
  silentGapTicks_ = 0;  // not in the file: a gap in a loaded silence stays counted
  inGap_ = false;
  heldLines_ = std::move(values.heldLines);
  lineLogged_ = values.lineLogged;
  lastLineTick_ = values.lastLineTick;
  logInterval_ = values.logInterval;
  queueHour_ = std::move(values.queueHour);
  fileBase_ = std::move(values.fileBase);
  restartAfterStop_ = values.restartAfterStop;
  queue_ = std::move(queue);
  // The saving panel's sequence numbers and ticks mean nothing to this card's stream.
  lastSequence_.reset();
  lastTimesTick_.reset();
}

size_t LoudnessContext::memoryBytes() const {
  size_t bytes = sizeof(*this) - sizeof(history_) + history_.memoryBytes();
  for (const auto& e : record_.errors)
    bytes += sizeof(ChannelPeakError) + e->startTimecode.capacity() + e->startDateTime.capacity();
  bytes += record_.errors.capacity() * sizeof(void*);
  for (const std::string& line : queue_)
    bytes += sizeof(std::string) + line.capacity();
  return bytes;
}

}  // namespace qelm
