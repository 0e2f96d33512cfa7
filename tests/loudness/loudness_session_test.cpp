// The session state machine with its log lines, the error records, the signal and timecode
// triggers, the data lines, and the daily rollover, on a loudness context driven tick by tick.
#include <algorithm>
#include <cstdio>
#include <deque>

#include "loudness/loudness_context.h"
#include "loudness/report_template.h"
#include "loudness_support.h"

namespace qelm::testing {
namespace {

/// Records what the session hands to its files.
struct OutputLog {
  int reportJobs = 0;
  int jobSteps = 0;
  std::vector<std::string> writtenLines;
  std::vector<std::string> logsOpened;
};

class StepJob final : public ReportJob {
 public:
  StepJob(OutputLog& log, int steps) : log_(log), left_(steps) {}
  bool step() override {
    ++log_.jobSteps;
    return --left_ > 0;
  }
  int32_t progress() const override { return left_ > 0 ? 50 : 100; }

 private:
  OutputLog& log_;
  int left_;
};

class RecordingOutput final : public LoudnessOutput {
 public:
  explicit RecordingOutput(OutputLog& log) : log_(log) {}
  void openDataLog(const SessionRecord&, const std::string& fileBase) override {
    log_.logsOpened.push_back(fileBase);
  }
  void writeDataLines(const SessionRecord&, const std::string&,
                      const std::deque<std::string>& lines) override {
    log_.writtenLines.insert(log_.writtenLines.end(), lines.begin(), lines.end());
  }
  std::unique_ptr<ReportJob> createReportJob(const LoudnessContext&) override {
    ++log_.reportJobs;
    return std::make_unique<StepJob>(log_, 2);
  }

 private:
  OutputLog& log_;
};

class SessionTest : public ::testing::Test {
 protected:
  SessionTest() : context_("Card [3]", wall_, std::make_unique<RecordingOutput>(output_)) {
    context_.setStatus(LinkStatus::kLive);
    poll();
  }

  /// One payload 100 ms after the last, at loudness `lkfs` in L and R together.
  DecodedPayload payload(double lkfs) const {
    DecodedPayload p;
    p.truePeakDb.fill(-40.0f);
    p.meterDb.fill(-40.0f);
    p.powers = {powerForLoudness(lkfs) / 2, powerForLoudness(lkfs) / 2, 0, 0, 0, 0};
    return p;
  }
  void feed(DecodedPayload p) {
    ++tick_;
    p.sequence = ++sequence_;
    context_.processPayload(p, tick_, tick_ * 100);
  }
  void feed(double lkfs, int count = 1) {
    for (int i = 0; i < count; ++i)
      feed(payload(lkfs));
  }
  void poll() { context_.poll(tick_, tick_ * 100); }
  /// The payload power that makes the short-term value over the last `n` payloads `lkfs`.
  DecodedPayload shortTerm(double lkfs) {
    const size_t n = static_cast<size_t>(context_.mode().periodSeconds) * 10;
    double others = 0;
    for (size_t i = 0; i + 1 < n && i < window_.size(); ++i)
      others += window_[window_.size() - 1 - i];
    const double count = static_cast<double>(std::min(window_.size() + 1, n));
    const double p = std::max(0.0, powerForLoudness(lkfs) * count - others);
    window_.push_back(p);
    DecodedPayload d = payload(-100);
    d.powers = {p, 0, 0, 0, 0, 0};
    return d;
  }
  const SessionRecord& record() const { return context_.record(); }

  ManualWallClock wall_{10, 0, 0};
  OutputLog output_;
  LoudnessContext context_;
  uint32_t tick_ = 5000;
  uint32_t sequence_ = 0;
  std::vector<double> window_;
};

TEST_F(SessionTest, CommandsMoveThroughTheStatesAndLogFirst) {
  LogLines log;
  context_.setStatus(LinkStatus::kNoData);
  context_.start();
  EXPECT_EQ(record().state, SessionState::kStopped);  // no data: stays stopped
  context_.setStatus(LinkStatus::kLive);
  context_.start();
  EXPECT_EQ(record().state, SessionState::kRunning);
  EXPECT_EQ(record().startDate, "03/05/2024");
  EXPECT_EQ(record().startTime, "10:00:00");
  context_.pause();
  EXPECT_EQ(record().state, SessionState::kPaused);
  context_.toggle();
  EXPECT_EQ(record().state, SessionState::kPaused);  // toggle leaves a paused session alone
  context_.clear();
  EXPECT_EQ(record().state, SessionState::kPaused);  // clear only when stopped
  context_.start();
  EXPECT_EQ(record().state, SessionState::kRunning);
  context_.toggle();
  EXPECT_EQ(record().state, SessionState::kBusy);
  EXPECT_EQ(output_.reportJobs, 1);
  poll();
  EXPECT_EQ(record().state, SessionState::kBusy);  // the job takes two steps
  poll();
  EXPECT_EQ(record().state, SessionState::kStopped);
  EXPECT_EQ(output_.jobSteps, 2);
  const std::vector<std::string> expected = {
      "Starting session", "Starting session", "Pausing session", "Toggle session",
      "Clear session",    "Starting session", "Toggle session",  "Stopping session"};
  EXPECT_EQ(log.lines(), expected);
}

TEST_F(SessionTest, StoppingABusySessionCancelsItAndRestartStartsAfterTheReport) {
  context_.start();
  context_.stop(true);
  EXPECT_EQ(record().state, SessionState::kBusy);
  poll();
  poll();
  EXPECT_EQ(record().state, SessionState::kRunning);  // restarted once the report was written
  context_.stop(true);
  LogLines log;
  context_.stop();
  EXPECT_EQ(record().state, SessionState::kStopped);
  EXPECT_EQ(record().endReason, "Cancelled by user");
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"Stopping session", "Terminate session"}));
  poll();
  poll();
  EXPECT_EQ(record().state, SessionState::kStopped);  // the job ran out, no restart
}

TEST_F(SessionTest, HighErrorOverThreePayloadsIsOneRecord) {
  context_.start();
  feed(shortTerm(-20.0));
  feed(shortTerm(-15.0));  // exactly target + 8: no error
  EXPECT_TRUE(record().errors.empty());
  EXPECT_EQ(record().loudnessState, 0);
  feed(shortTerm(-14.5));
  feed(shortTerm(-14.0));
  feed(shortTerm(-14.8));
  feed(shortTerm(-15.5));
  ASSERT_EQ(record().errors.size(), 1u);
  const auto& error = static_cast<const ITU1770Error&>(*record().errors[0]);
  EXPECT_EQ(error.type, ErrorType::kHigh);
  EXPECT_EQ(std::string(errorTypeName(error.type)), "HIGH");
  EXPECT_EQ(error.lastTick - error.startTick, 2u);
  EXPECT_EQ(record().timeInError[static_cast<size_t>(ErrorCategory::kHigh)], 2u);
  EXPECT_NEAR(error.worst, -14.0f, 0.05f);
  EXPECT_TRUE(error.contributing[0]);
  EXPECT_FALSE(error.contributing[1]);
  EXPECT_EQ(record().worstError[static_cast<size_t>(ErrorCategory::kHigh)], 0);
  EXPECT_EQ(record().openError[static_cast<size_t>(ErrorCategory::kHigh)], -1);
  EXPECT_EQ(error.startDateTime, "03/05/2024 10:00:00");
}

TEST_F(SessionTest, LowErrorsAreCheckedOnlyWhenEnabled) {
  LoudnessSettings settings;
  settings.lowThreshold = -10.0f;
  context_.applySettings(settings);
  context_.start();
  feed(shortTerm(-34.0));
  ASSERT_EQ(record().errors.size(), 1u);
  EXPECT_EQ(record().errors[0]->type, ErrorType::kLow);
  EXPECT_EQ(record().loudnessState, -2);
  EXPECT_FLOAT_EQ(record().loudnessLimit, -33.0f);
  EXPECT_EQ(record().lowTenths, -100);
  settings.lowThreshold = -40.1f;
  context_.applySettings(settings);
  feed(shortTerm(-60.0));
  EXPECT_EQ(record().loudnessState, 0);
  EXPECT_EQ(record().lowTenths, kTenthsNoData);
}

TEST_F(SessionTest, ReportChannelsDecideWhatCountsAndLfeNeverDoes) {
  LoudnessSettings settings;
  settings.allChannels = false;
  context_.applySettings(settings);
  context_.start();
  DecodedPayload p = payload(-100);
  p.powers = {0, 0, 0.1, 0.1, 0.1, 0.1};
  p.truePeakDb[2] = -0.5f;  // C above the peak threshold
  feed(p);
  EXPECT_EQ(context_.momentaryPower(), 0.0);
  EXPECT_TRUE(record().peakOver[2]);     // the indicator shows it ...
  EXPECT_TRUE(record().errors.empty());  // ... but it is no error with L and R only
  EXPECT_FLOAT_EQ(record().channelLoudness[2], kNoSignalDb);

  settings.allChannels = true;
  context_.applySettings(settings);
  p.powers = {0, 0, 0, 0.5, 0, 0};
  p.truePeakDb[2] = -40.0f;
  feed(p);
  EXPECT_EQ(context_.momentaryPower(), 0.0);  // LFE weighs nothing
  p.powers = {0, 0, 0, 0, 0.1, 0};
  feed(p);
  EXPECT_DOUBLE_EQ(context_.momentaryPower(), 0.141);
}

TEST_F(SessionTest, PeakErrorsCollectChannelsAndTheHighestPeak) {
  context_.start();
  DecodedPayload p = payload(-30);
  p.truePeakDb[0] = -0.6f;
  feed(p);
  p.truePeakDb[1] = -0.2f;
  feed(p);
  feed(payload(-30));
  ASSERT_EQ(record().errors.size(), 1u);
  const auto& error = static_cast<const ChannelPeakError&>(*record().errors[0]);
  EXPECT_EQ(error.type, ErrorType::kPeak);
  EXPECT_TRUE(error.exceeded[0] && error.exceeded[1] && !error.exceeded[2]);
  EXPECT_FLOAT_EQ(error.worst, -0.2f);
  EXPECT_EQ(error.peakChannel, 1);
  EXPECT_EQ(record().timeInError[static_cast<size_t>(ErrorCategory::kPeak)], 1u);
  EXPECT_FLOAT_EQ(record().maxTruePeak, -0.2f);
  // Indicators fall 400 ms after they were last set.
  EXPECT_TRUE(record().peakOver[1]);
  tick_ += 3;
  poll();
  EXPECT_TRUE(record().peakOver[1]);
  tick_ += 2;
  poll();
  EXPECT_FALSE(record().peakOver[1]);
}

TEST_F(SessionTest, DialnormErrorsChangeRecordWithTheirType) {
  LoudnessSettings settings;
  settings.dialnormMode = DialnormMode::kCheck;
  context_.applySettings(settings);
  context_.start();
  DecodedPayload p = payload(-23);
  p.dialnormPresent = true;
  p.dialnorm = -10.0f;  // above -23 + 6
  feed(p);
  p.dialnorm = -12.0f;
  feed(p);
  p.dialnormPresent = false;
  feed(p);
  p.dialnormPresent = true;
  p.dialnorm = -24.0f;
  feed(p);
  ASSERT_EQ(record().errors.size(), 2u);
  EXPECT_EQ(record().errors[0]->type, ErrorType::kDialnormHigh);
  EXPECT_FLOAT_EQ(record().errors[0]->worst, -10.0f);
  EXPECT_EQ(record().errors[1]->type, ErrorType::kNoDialnorm);
  EXPECT_EQ(record().worstError[static_cast<size_t>(ErrorCategory::kDialnorm)], 1);
  EXPECT_EQ(record().timeInError[static_cast<size_t>(ErrorCategory::kDialnorm)], 1u);
  EXPECT_FLOAT_EQ(record().maxDialnorm, -10.0f);
  EXPECT_EQ(record().dialnormState, ErrorType::kNone);
}

TEST_F(SessionTest, SignalTriggerArmsStartsAndCutsTheSilentTail) {
  LoudnessSettings settings;
  settings.trigger = TriggerMode::kSignal;
  settings.startThreshold = -30.0f;
  settings.stopThreshold = -50.0f;
  settings.stopDuration = 2.0f;
  context_.applySettings(settings);
  context_.start();
  EXPECT_EQ(record().state, SessionState::kWaiting);
  feed(-20.0, 5);  // peaks at -40: below the start threshold
  EXPECT_EQ(record().state, SessionState::kWaiting);
  EXPECT_EQ(context_.history().totalCount(), 0);  // the wait is not measured
  DecodedPayload loud = shortTerm(-10.0);
  loud.truePeakDb.fill(-20.0f);
  feed(loud);
  EXPECT_EQ(record().state, SessionState::kRunning);
  for (int i = 0; i < 9; ++i) {
    DecodedPayload p = shortTerm(-10.0);
    p.truePeakDb.fill(-20.0f);
    feed(p);
  }
  const uint32_t runningBeforeSilence = record().runningTicks;
  wall_.advance(1);
  DecodedPayload quiet = payload(-80);
  quiet.truePeakDb.fill(-70.0f);
  feed(quiet);  // the silence begins; the high error from the window goes on
  const uint32_t silenceStart = tick_;
  wall_.advance(1);
  for (int i = 0; i < 19; ++i)
    feed(quiet);
  EXPECT_EQ(record().state, SessionState::kRunning);
  feed(quiet);  // 2 s of silence
  EXPECT_EQ(record().state, SessionState::kBusy);
  EXPECT_EQ(record().runningTicks, runningBeforeSilence);
  EXPECT_EQ(record().endTime, "10:00:01");
  ASSERT_FALSE(record().errors.empty());
  for (const auto& error : record().errors)
    EXPECT_LE(error->lastTick, silenceStart);
}

TEST_F(SessionTest, TimecodeTriggerStartsStopsAndTerminatesWithoutTimecode) {
  LoudnessSettings settings;
  settings.trigger = TriggerMode::kTimecode;
  settings.startTimecode = "10:00:00";
  settings.stopTimecode = "10:00:05.00";
  context_.applySettings(settings);
  context_.start();
  DecodedPayload p = payload(-23);
  p.timecode = "09:59:59.24";
  feed(p);
  EXPECT_EQ(record().state, SessionState::kWaiting);
  p.timecode = "10:00:00.00";
  feed(p);
  EXPECT_EQ(record().state, SessionState::kRunning);
  EXPECT_EQ(record().startTimecode, "10:00:00.00");
  p.timecode = "10:00:05.00";
  feed(p);
  EXPECT_EQ(record().state, SessionState::kBusy);
  poll();
  poll();
  context_.start();
  p.timecode = "10:00:00.10";
  feed(p);
  ASSERT_EQ(record().state, SessionState::kRunning);
  LogLines log;
  p.timecode.clear();
  feed(p);
  EXPECT_EQ(record().state, SessionState::kStopped);
  EXPECT_EQ(record().endReason, "Missing timecode");
  EXPECT_EQ(log.count("Terminate session"), 1);
}

TEST_F(SessionTest, DataLinesFollowTheLogIntervalAndAreWrittenAtStop) {
  context_.start();
  DecodedPayload p = payload(-23);
  p.dialnormPresent = true;
  p.dialnorm = -24.0f;
  p.timecode = "01:02:03.04";
  p.truePeakDb[0] = -0.4f;
  feed(p);
  ASSERT_EQ(context_.queuedLines().size(), 1u);
  EXPECT_EQ(context_.queuedLines()[0],
            "00:00:00.0,01:02:03.04,03/05/2024 10:00:00,-23.0,-24.0,-23.0,-0.4,P\n");
  feed(-23.0, 149);
  EXPECT_EQ(context_.queuedLines().size(), 1u);  // every 15 s with a 3 s period
  feed(-23.0, 1);
  EXPECT_EQ(context_.queuedLines().size(), 2u);
  EXPECT_EQ(context_.queuedLines()[1].substr(0, 10), "00:00:15.0");
  context_.stop();
  EXPECT_EQ(output_.writtenLines.size(), 2u);
  EXPECT_TRUE(context_.queuedLines().empty());
}

TEST_F(SessionTest, EverySampleIsLoggedAndEachHourGetsItsFile) {
  LoudnessSettings settings;
  settings.logEverySample = true;
  context_.applySettings(settings);
  wall_.setTime(10, 59, 59);
  context_.start();
  feed(-23.0, 5);
  EXPECT_EQ(context_.queuedLines().size(), 5u);
  wall_.setTime(11, 0, 0);
  feed(-23.0, 1);
  EXPECT_EQ(output_.writtenLines.size(), 5u);
  EXPECT_EQ(context_.queuedLines().size(), 1u);
  EXPECT_EQ(output_.logsOpened,
            (std::vector<std::string>{"2024-03-05_10-59-59", "2024-03-05_11-00-00"}));
}

TEST_F(SessionTest, RolloverStopsOnlySessionsOlderThanNinetySeconds) {
  LoudnessSettings settings;
  settings.rolloverEnabled = true;
  settings.rolloverTime = "12:00:00";
  context_.applySettings(settings);
  wall_.setTime(11, 59, 30);
  context_.start();
  LogLines log;
  for (int s = 0; s < 89; ++s) {  // to 12:00:59
    feed(-23.0, 10);
    wall_.advance(1);
  }
  EXPECT_EQ(record().state, SessionState::kRunning);
  EXPECT_EQ(log.count("Loudness Meter Rollover"), 0);

  context_.stop();
  poll();
  poll();
  wall_.setTime(11, 58, 29);
  context_.start();
  for (int s = 0; s < 95 && record().state == SessionState::kRunning; ++s) {
    feed(-23.0, 10);
    wall_.advance(1);
  }
  EXPECT_EQ(record().state, SessionState::kBusy);
  EXPECT_EQ(log.count("Loudness Meter Rollover"), 1);
  poll();
  poll();
  EXPECT_EQ(record().state, SessionState::kRunning);  // restarted with a fresh record
  EXPECT_EQ(record().startTime, "12:00:01");          // the loop moved the clock on after the stop
  EXPECT_EQ(record().runningTicks, 0u);
}

TEST_F(SessionTest, DroppedMessagesAreLoggedCountedAndLeaveGapsInTheHistory) {
  context_.start();
  LogLines log;
  DecodedPayload p = payload(-23);
  p.sequence = 10;
  context_.processPayload(p, ++tick_, 0);
  p.sequence = 11;
  context_.processPayload(p, ++tick_, 0);
  const int before = context_.history().ring(0).filled();
  p.sequence = 15;
  context_.processPayload(p, ++tick_, 0);
  EXPECT_EQ(log.count("Dropped 3 message(s)"), 1);
  EXPECT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(record().droppedMessages, 3u);
  EXPECT_EQ(context_.history().ring(0).filled(), before + 4);
  // The session's count goes with a clear; the card's lifetime count, which the metrics
  // serve as a counter, never goes down.
  context_.stop();
  context_.finishPendingReport();
  context_.clear();
  EXPECT_EQ(record().droppedMessages, 0u);
  EXPECT_EQ(context_.lostMessages(), 3u);
}

TEST_F(SessionTest, TimeWithoutDataIsCountedLoggedAndClosedAtTheStop) {
  context_.start();
  feed(-23.0, 10);  // to 00:00:00.9
  const std::string lastBefore = context_.queuedLines().back();
  tick_ += LoudnessContext::kNoDataTicks - 2;  // a short gap is only late payloads
  feed(-23.0, 1);
  EXPECT_EQ(record().dataGaps, 0u);
  tick_ += 300;  // 30 s without a payload
  wall_.advance(30);
  feed(-23.0, 10);
  EXPECT_EQ(record().noDataTicks, 301u);
  EXPECT_EQ(record().dataGaps, 1u);
  // The log marks where the card fell silent, with the last payload's times; the next line
  // says when it came back.
  const std::deque<std::string>& lines = context_.queuedLines();
  ASSERT_GE(lines.size(), 2u);
  const auto marked = std::find_if(lines.begin(), lines.end(), [](const std::string& line) {
    return line.ends_with(",,,-150,N\n");
  });
  ASSERT_NE(marked, lines.end());
  EXPECT_EQ(marked->substr(0, 10), "00:00:02.9") << *marked;
  EXPECT_EQ(marked->substr(12, 19), lastBefore.substr(12, 19));

  // Silent again: the session's clock runs on (the operator must not see it stand still), and
  // a stop closes the gap and ends the session there.
  const uint32_t runningBefore = record().runningTicks;
  tick_ += 50;
  wall_.advance(5);
  poll();
  EXPECT_EQ(record().runningTicks, runningBefore + 50);
  EXPECT_EQ(record().dataGaps, 2u);
  poll();
  context_.stop();
  EXPECT_EQ(record().noDataTicks, 351u);
  EXPECT_EQ(record().dataGaps, 2u);
  EXPECT_EQ(record().runningTicks, runningBefore + 50);
  EXPECT_EQ(record().endTime, wall_.format("%H:%M:%S"));
  const auto placeholders = reportPlaceholders(reportSessionOf(context_), "", TextEscape::kPlain);
  EXPECT_EQ(placeholders.at("$time_without_data$"), "00:00:35.1");
  EXPECT_EQ(placeholders.at("$data_gaps$"), "2");
}

TEST_F(SessionTest, AGapInsideACutSilenceIsCutWithIt) {
  LoudnessSettings settings;
  settings.trigger = TriggerMode::kSignal;
  settings.stopDuration = 10.0f;
  context_.applySettings(settings);
  context_.start();
  DecodedPayload loud = payload(-23);
  loud.truePeakDb.fill(-10.0f);
  DecodedPayload quiet = payload(-90);
  quiet.truePeakDb.fill(-120.0f);
  feed(loud);
  feed(loud);
  ASSERT_EQ(record().state, SessionState::kRunning);
  feed(quiet);
  tick_ += 50;  // silent, then nothing for 5 s
  feed(quiet);
  EXPECT_EQ(record().noDataTicks, 51u);
  for (int i = 0; i < 60 && record().state == SessionState::kRunning; ++i)
    feed(quiet);
  EXPECT_EQ(record().state, SessionState::kBusy);
  EXPECT_EQ(record().noDataTicks, 0u);
}

TEST_F(SessionTest, DropsAreLoggedAtMostOnceASecondWithTheirSum) {
  context_.start();
  feed(-23);
  LogLines log;
  // A card that loses every other message for three seconds.
  for (int i = 0; i < 30; ++i) {
    ++sequence_;
    feed(-23);
  }
  tick_ += 10;
  poll();
  const std::vector<std::string> lines = log.lines();
  EXPECT_LE(lines.size(), 4u);
  uint32_t logged = 0;
  for (const std::string& line : lines) {
    unsigned n = 0;
    ASSERT_EQ(std::sscanf(line.c_str(), "Dropped %u message(s)", &n), 1) << line;
    logged += n;
  }
  EXPECT_EQ(logged, 30u);
  EXPECT_EQ(record().droppedMessages, 30u);
}

// A card whose peak and dialnorm flip every payload opens records without end; past the limit
// they merge into one summary per type, which the time in error and the worst values follow.
TEST_F(SessionTest, FlappingRecordsMergeIntoASummaryPerTypePastTheLimit) {
  LoudnessSettings s;
  s.dialnormMode = DialnormMode::kCheck;
  context_.applySettings(s);
  context_.start();
  DecodedPayload over = payload(-23);
  over.truePeakDb[0] = -0.5f;
  DecodedPayload fine = payload(-23);
  fine.dialnormPresent = true;
  fine.dialnorm = -23.0f;
  while (record().errors.size() < kMostSessionErrors) {
    feed(over);
    feed(fine);
  }
  const size_t bytesAtLimit = context_.memoryBytes();
  const uint32_t peakTime = record().timeInError[0];
  over.truePeakDb[1] = 3.0f;
  for (int i = 0; i < 5000; ++i) {
    feed(over);
    feed(fine);
  }
  const SessionRecord& r = record();
  EXPECT_LE(r.errors.size(), kMostSessionErrors + kErrorTypes);
  const int32_t summary = r.summaryError[static_cast<size_t>(ErrorType::kPeak)];
  ASSERT_GE(summary, 0);
  EXPECT_EQ(r.mergedErrors[static_cast<size_t>(ErrorType::kPeak)], 5000u);
  EXPECT_EQ(r.error(r.worstError[0]), r.error(summary));
  EXPECT_EQ(r.error(summary)->worst, 3.0f);
  EXPECT_EQ(r.error(summary)->lastTick, tick_ - 1);
  EXPECT_EQ(r.timeInError[0], peakTime);  // one payload each: no time in error, as before
  EXPECT_LT(context_.memoryBytes(), bytesAtLimit + 4096);
  EXPECT_LT(context_.memoryBytes(), size_t{20} << 20);
  // The report says which row stands for the merged records.
  const ReportSession report = reportSessionOf(context_);
  EXPECT_NE(report.rows[static_cast<size_t>(summary)].startDateTime.find("(+5000 later merged)"),
            std::string::npos);
}

TEST_F(SessionTest, DisplayTextsFollowTheMode) {
  EXPECT_EQ(context_.loudnessText(-215), "+1.5 LU");
  EXPECT_EQ(context_.loudnessText(kTenthsNoData), "-- LU");
  LoudnessSettings settings;
  settings.graphMode = GraphMode::kCustom;
  settings.customRelative = false;
  settings.customLufs = true;
  context_.applySettings(settings);
  EXPECT_EQ(context_.loudnessText(-215), "-21.5 LUFS");
  EXPECT_EQ(record().displayOffset, 0.0f);
  EXPECT_EQ(context_.history().relativeGate(), 8);
}

}  // namespace
}  // namespace qelm::testing
