// Sections: [encoding] [writing] [reading] [save and load]
//
// Item order of a file (numbers as the comments below use them):
//  1-2 mark and version; 3-11 the session's settings; 12 the record's ten texts; 13 channel
//  sources; 14 latest values and statistics; 15-16 error records and their open and worst
//  positions; 17 the rest of the record; 18 working values; 19 queued data lines; 20 data-log
//  timers; 21 the 400 ms histogram; then our optional range, summary and data-gap blocks.
//
// The timing integers of items 18 and 20, in order:
//  18: master tick, loop ms, 4 reserved (the monitor owns the other timers); 8 peak-indicator
//      loop times; restart-after-stop flag; start ticks of the open peak, high, low and dialnorm
//      records and 2 reserved; dropped-message count.
//  20: tick of the last data line, log interval, 1 when a line was logged this session, hour of
//      the first queued line as %Y%m%d%H (0: none); boolean: the start timecode was taken;
//      delayed-start tick (-1: none).
// Ticks and clocks of the saving panel are written for completeness but not restored: they
// mean nothing to the clock of the panel that loads the file.
#include "loudness/session_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "core/log.h"
#include "loudness/loudness_context.h"
#include "loudness/report_template.h"
#include "platform/stdio_file.h"

namespace qelm {

namespace {

// ---- [encoding] ---------------------------------------------------------------------------------

constexpr int kBins = HistoryEngine::kBins;
// Whatever a session holds can be saved and loaded again: its records, summaries included,
// stay within what a file may hold.
static_assert(kMostSessionErrors + kErrorTypes <= static_cast<size_t>(kMostErrorRecords));
// Smallest encodings, for checking counts against what is left of the file.
constexpr int64_t kTextMinBytes = 4;
constexpr int64_t kErrorMinBytes = 5 + 8 + 8 + 8 + 4 + 4 + 8;
// Power sums above this cannot come from a session and would overflow the histogram's totals.
constexpr double kMostPowerSum = 1e300;

// Defaults of the display settings the file carries but a loudness context does not hold.
constexpr float kLevelScalingDb = -20.0f;
constexpr float kYellowDb = -20.0f;
constexpr float kRedDb = -10.0f;

[[noreturn]] void fail(const char* text) {
  throw std::runtime_error(text);
}

[[noreturn]] void badFormat() {
  fail("Bad format");
}

enum class Kind { kPlain, kPeak, kLoudness, kDialnorm };

Kind kindOf(ErrorType type) {
  switch (type) {
    case ErrorType::kNone:
      return Kind::kPlain;
    case ErrorType::kPeak:
      return Kind::kPeak;
    case ErrorType::kDialnormHigh:
    case ErrorType::kDialnormLow:
    case ErrorType::kNoDialnorm:
      return Kind::kDialnorm;
    default:
      return Kind::kLoudness;
  }
}

// Whether a record of `type` may stand at a position of `category` (the context casts by it).
bool fitsCategory(ErrorType type, int category) {
  switch (static_cast<ErrorCategory>(category)) {
    case ErrorCategory::kPeak:
      return type == ErrorType::kPeak;
    case ErrorCategory::kHigh:
      return type == ErrorType::kHigh || type == ErrorType::kHlt;
    case ErrorCategory::kLow:
      return type == ErrorType::kLow || type == ErrorType::kLlt;
    case ErrorCategory::kDialnorm:
      return kindOf(type) == Kind::kDialnorm;
  }
  return false;
}

using platform::File;

[[noreturn]] void cannotOpen(const std::string& path, const char* purpose) {
  const std::string text =
      "Could not open binary file \"" + path + "\" for " + std::string(purpose) + ".";
  logMessage(kLogLoudness, "%s", text.c_str());
  throw std::runtime_error(text);
}

// ---- [writing] ----------------------------------------------------------------------------------

class Writer {
 public:
  explicit Writer(std::FILE* file) : file_(file) {}

  void i32(int32_t v) { item(static_cast<uint32_t>(v), 4); }
  void u32(uint32_t v) { item(v, 4); }
  void i16(int16_t v) { item(static_cast<uint16_t>(v), 2); }
  void boolean(bool v) { item(v ? 1 : 0, 1); }
  void real(float v) {
    uint32_t bits = 0;
    std::memcpy(&bits, &v, 4);
    item(bits, 4);
  }
  void dbl(double v) {
    uint64_t bits = 0;
    std::memcpy(&bits, &v, 8);
    size(8);
    bytes(bits, 8);
  }
  void text(const std::string& s) {
    if (s.size() > kMostTextBytes) fail("Unable to write value to file");
    size(static_cast<uint32_t>(s.size()));
    if (!s.empty() && std::fwrite(s.data(), 1, s.size(), file_) != s.size())
      fail("Unable to write value to file");
  }
  template <typename Container>
  void texts(const Container& list) {
    if (list.size() > static_cast<size_t>(kMostDataLines)) fail("Unable to write value to file");
    i32(static_cast<int32_t>(list.size()));
    for (const std::string& s : list)
      text(s);
  }
  template <size_t N>
  void reals(const std::array<float, N>& values) {
    for (const float v : values)
      real(v);
  }
  template <size_t N>
  void booleans(const std::array<bool, N>& values) {
    for (const bool v : values)
      boolean(v);
  }

 private:
  void size(uint32_t n) {
    if (!put(n, 4)) fail("Unable to write size of value to file");
  }
  void bytes(uint64_t v, int n) {
    if (!put(v, n)) fail("Unable to write value to file");
  }
  void item(uint64_t v, int n) {
    size(static_cast<uint32_t>(n));
    bytes(v, n);
  }
  bool put(uint64_t v, int n) {
    std::array<unsigned char, 8> b{};
    for (int i = 0; i < n; ++i)
      b[static_cast<size_t>(i)] = static_cast<unsigned char>(v >> (8 * i));
    return std::fwrite(b.data(), 1, static_cast<size_t>(n), file_) == static_cast<size_t>(n);
  }

  std::FILE* file_;
};

// A power sum in the single precision of the common items, finite however large it grew.
float powerReal(double power) {
  if (std::isnan(power)) return 0.0f;
  return static_cast<float>(std::min(power, double{std::numeric_limits<float>::max()}));
}

void writeError(Writer& w, const LoudnessError& e) {
  w.boolean(true);
  w.i32(static_cast<int32_t>(e.type));
  w.u32(e.startTick);
  w.u32(e.startElapsed);
  w.text(e.startTimecode);
  w.text(e.startDateTime);
  w.u32(e.lastTick);
  switch (kindOf(e.type)) {
    case Kind::kLoudness: {
      const auto* l = dynamic_cast<const ITU1770Error*>(&e);
      w.real(e.worst);
      w.reals(l ? l->channelWorst : std::array<float, kLoudnessChannels>{});
      w.booleans(l ? l->contributing : std::array<bool, kLoudnessChannels>{});
      break;
    }
    case Kind::kPeak: {
      const auto* p = dynamic_cast<const ChannelPeakError*>(&e);
      w.real(e.worst);
      w.booleans(p ? p->exceeded : std::array<bool, kMeterChannels>{});
      w.reals(p ? p->channelPeak : std::array<float, kMeterChannels>{});
      w.i32(p ? p->peakChannel : 0);
      break;
    }
    case Kind::kDialnorm:
      w.real(e.worst);
      break;
    case Kind::kPlain:
      break;
  }
}

// Items 1-2.
void writeHeader(Writer& w) {
  w.i32(kSessionFileMark);
  w.i32(kSessionFileVersion);
}

// Items 3-11: the session's settings.
void writeSettings(Writer& w, const LoudnessSettings& s, const ModeValues& m,
                   const SessionRecord& r) {
  w.text(r.sessionName);  // 3
  w.i32(m.periodSeconds);
  w.real(s.peakThreshold);  // 5
  w.real(s.highThreshold);
  w.real(s.lowThreshold);
  w.i32(static_cast<int32_t>(s.trigger));
  w.real(s.startThreshold);  // 7
  w.real(s.stopThreshold);
  w.real(s.stopDuration);
  w.text(s.startTimecode);
  w.text(s.stopTimecode);
  w.real(s.dialnormTolerance);
  w.boolean(s.allChannels);  // 10
  w.boolean(s.logEverySample);
  w.text(s.rolloverTime);
}

// Items 12-13: the record's ten texts and the channel sources.
void writeRecordTexts(Writer& w, const SessionRecord& r) {
  for (const std::string* t :
       {&r.title, &r.operatorName, &r.sessionName, &r.deviceName, &r.startDate, &r.startTime,
        &r.endDate, &r.endTime, &r.startTimecode, &r.endTimecode})
    w.text(*t);
  w.texts(r.channelSources);  // 13
}

// Item 14: latest values and statistics.
void writeLatestValues(Writer& w, const LoudnessSettings& s, const SessionRecord& r,
                       const LoudnessContext::WorkingValues& v) {
  w.boolean(r.dataSeen);
  w.text(r.timecode);
  w.boolean(false);
  w.real(kLevelScalingDb);
  w.real(kYellowDb);
  w.real(kRedDb);
  w.reals(r.meterDb);
  w.reals(r.heldPeakDb);
  w.booleans(r.peakOver);
  w.boolean(r.momentaryLoudness != kNoSignalDb);
  w.booleans(r.contributing);
  w.real(0.0f);
  w.boolean(false);
  w.real(r.displayOffset);
  w.text(r.unitText);
  w.real(r.target);
  w.text(r.lufs ? "LUFS" : "LKFS");
  w.real(r.momentaryLoudness);
  w.real(r.shortTermLoudness);
  w.boolean(r.shortTermValid);
  w.i32(r.loudnessState);
  w.real(r.loudnessLimit);
  w.reals(r.channelLoudness);
  w.i32(static_cast<int32_t>(s.dialnormMode));
  w.text(dialnormModeText(s.dialnormMode));
  w.boolean(r.dialnormPresent);
  w.real(r.dialnorm);
  w.i32(static_cast<int32_t>(r.dialnormState));
  w.i32(codeOf(r.state));
  w.boolean(v.silentTail);
  w.texts(v.heldLines);
  w.u32(r.runningTicks);
  w.u32(r.elapsedTicks);
  w.real(r.sessionAverage);
  w.i32(0);
  for (const uint32_t t : r.timeInError)
    w.u32(t);
}

// Items 15-16: the error records, then their open and worst positions.
void writeErrorRecords(Writer& w, const SessionRecord& r) {
  if (r.errors.size() > static_cast<size_t>(kMostErrorRecords))
    fail("Unable to write value to file");
  w.i32(static_cast<int32_t>(r.errors.size()));
  for (const auto& e : r.errors)
    writeError(w, *e);
  for (const int32_t at : r.openError)  // 16
    w.i32(at);
  for (const int32_t at : r.worstError)
    w.i32(at);
}

// Item 17: the rest of the record.
void writeRecordRest(Writer& w, const LoudnessSettings& s, const SessionRecord& r,
                     bool reportPending) {
  w.i32(static_cast<int32_t>(r.lastDialnormError));
  w.boolean(r.maxDialnormSeen);
  w.real(r.maxDialnorm);
  w.boolean(s.views.worstChoice);
  w.real(r.maxTruePeak);
  w.i32(r.maxPeakChannel);
  w.boolean(r.maxPeakSeen);
  w.real(r.maxShortTerm);
  w.real(r.minShortTerm);
  w.boolean(r.shortTermSeen);
  w.text(r.statusText);
  w.text(r.endReason);
  w.i32(r.reportProgress);
  w.i32(s.views.viewChoice);
  w.i32(s.views.spanMs);
  w.text(s.views.spanName);
  w.i32(static_cast<int32_t>(r.graphMode));
  w.text(graphModeName(r.graphMode));
  w.i32(r.periodSeconds);
  w.i32(r.rangeIndex);
  w.i32(r.relative ? 1 : 0);
  w.i32(r.lufs ? 1 : 0);
  w.boolean(r.gating);
  w.i16(r.highTenths);
  w.i16(r.lowTenths);
  w.i32(static_cast<int32_t>(r.lastPayloadType));
  w.boolean(reportPending);
}

// Item 18: working values (the timing integers as the index at the top lists them).
void writeWorkingValues(Writer& w, const SessionRecord& r,
                        const LoudnessContext::WorkingValues& v) {
  w.u32(v.masterTick);
  w.u32(v.loopMs);
  for (int i = 0; i < 4; ++i)
    w.i32(0);
  w.reals(v.peakNow);
  w.reals(v.peakStore);
  for (const uint32_t t : v.peakSetAt)
    w.u32(t);
  w.boolean(v.restartAfterStop);
  for (const int32_t at : r.openError)
    w.u32(r.error(at) ? r.error(at)->startTick : 0);
  w.i32(0);
  w.i32(0);
  w.u32(r.droppedMessages);
  w.dbl(v.runningSum);
  w.u32(v.runningCount);
  w.u32(v.silentTick);
  w.text(v.silentDate);
  w.text(v.silentTime);
  w.text("");
  w.text("");
  w.text(v.fileBase.empty() ? std::string() : v.fileBase + ".csv");
  w.text(v.fileBase.empty() ? std::string() : v.fileBase + ".html");
}

// Item 20: data-log timers.
void writeDataLogTimers(Writer& w, const LoudnessContext::WorkingValues& v) {
  w.u32(v.lastLineTick);
  w.u32(v.logInterval);
  w.i32(v.lineLogged ? 1 : 0);
  w.i32(v.queueHour.empty() ? 0
                            : static_cast<int32_t>(std::strtol(v.queueHour.c_str(), nullptr, 10)));
  w.boolean(v.startTimecodeTaken);
  w.i32(v.delayedStart ? static_cast<int32_t>(*v.delayedStart) : -1);
}

// Item 21: the 400 ms histogram with single-precision power sums.
void writeHistogram(Writer& w, const HistoryEngine& h) {
  w.i32(static_cast<int32_t>(h.mode()));
  for (int bin = 0; bin < kBins; ++bin) {
    w.i32(h.binCount(bin));
    w.real(powerReal(h.binPower(bin)));
  }
  w.i32(h.totalCount());
  w.i16(static_cast<int16_t>(h.relativeGate() * 10));
}

// Our trailing block: the range histogram, then the 400 ms power sums in double precision.
void writeRangeBlock(Writer& w, const HistoryEngine& h) {
  w.i32(kRangeBlockMark);
  w.i32(kRangeBlockVersion);
  w.boolean(h.rangeExact());
  for (int bin = 0; bin < kBins; ++bin) {
    w.i32(h.rangeBinCount(bin));
    w.dbl(h.rangeBinPower(bin));
  }
  for (int bin = 0; bin < kBins; ++bin)
    w.dbl(h.binPower(bin));
}

// Our second trailing block: per type code, the summary record's position and merged count.
void writeSummaryBlock(Writer& w, const SessionRecord& r) {
  w.i32(kSummaryBlockMark);
  w.i32(kSummaryBlockVersion);
  for (size_t type = 0; type < kErrorTypes; ++type) {
    w.i32(r.summaryError[type]);
    w.u32(r.mergedErrors[type]);
  }
}

// Our third trailing block: the running time without data and its number of gaps.
void writeDataGapBlock(Writer& w, const SessionRecord& r) {
  w.i32(kDataGapBlockMark);
  w.i32(kDataGapBlockVersion);
  w.u32(r.noDataTicks);
  w.u32(r.dataGaps);
}

void writeContext(Writer& w, const LoudnessContext& context) {
  const LoudnessSettings& s = context.settings();
  const SessionRecord& r = context.record();
  const HistoryEngine& h = context.history();
  const LoudnessContext::WorkingValues v = context.workingValues();

  writeHeader(w);
  writeSettings(w, s, context.mode(), r);
  writeRecordTexts(w, r);
  writeLatestValues(w, s, r, v);
  writeErrorRecords(w, r);
  writeRecordRest(w, s, r, context.reportPending());
  writeWorkingValues(w, r, v);
  w.texts(context.queuedLines());  // 19
  writeDataLogTimers(w, v);
  writeHistogram(w, h);
  writeRangeBlock(w, h);
  writeSummaryBlock(w, r);
  writeDataGapBlock(w, r);
}

// ---- [reading] ----------------------------------------------------------------------------------

class Reader {
 public:
  Reader(std::FILE* file, int64_t length) : file_(file), left_(length) {}

  int64_t left() const { return left_; }
  /// Whether the next item is the integer `mark`; consumes it only then. Never fails.
  bool mark(int32_t mark) {
    if (left_ < 8) return false;
    std::array<unsigned char, 8> b{};
    if (std::fread(b.data(), 1, 8, file_) != 8) return false;
    uint64_t v = 0;
    for (size_t i = 0; i < 8; ++i)
      v |= uint64_t{b[i]} << (8 * i);
    if (v != (uint64_t{static_cast<uint32_t>(mark)} << 32 | 4)) return false;
    left_ -= 8;
    return true;
  }

  int32_t i32() { return static_cast<int32_t>(number(4)); }
  uint32_t u32() { return static_cast<uint32_t>(number(4)); }
  int16_t i16() { return static_cast<int16_t>(static_cast<uint16_t>(number(2))); }
  bool boolean() {
    const uint64_t b = number(1);
    if (b > 1) badFormat();
    return b == 1;
  }
  float real() {
    const auto bits = static_cast<uint32_t>(number(4));
    float v = 0.0f;
    std::memcpy(&v, &bits, 4);
    if (std::isnan(v)) badFormat();
    return v;
  }
  double dbl() {
    const uint64_t bits = number(8);
    double v = 0.0;
    std::memcpy(&v, &bits, 8);
    if (std::isnan(v)) badFormat();
    return v;
  }
  std::string text() {
    uint32_t n = 0;
    if (!take(&n, 4)) fail("Unable to read size of string from file");
    if (n > kMostTextBytes) fail("Size of string on file is not within proper limits");
    if (n > left_) fail("Unable to read string from file");
    std::string s(n, '\0');
    if (n > 0 && !take(s.data(), n)) fail("Unable to read string from file");
    return s;
  }
  /// A count of items of at least `itemBytes` each, at most `most`, that the rest can hold.
  int32_t count(int32_t most, int64_t itemBytes) {
    const int32_t n = i32();
    if (n < 0 || n > most) badFormat();
    if (n * itemBytes > left_) fail("Unable to read value from file");
    return n;
  }
  template <typename Container>
  void texts(Container& list, int32_t most) {
    const int32_t n = count(most, kTextMinBytes);
    for (int32_t i = 0; i < n; ++i)
      list.push_back(text());
  }
  template <size_t N>
  void reals(std::array<float, N>& values) {
    for (float& v : values)
      v = real();
  }
  template <size_t N>
  void booleans(std::array<bool, N>& values) {
    for (auto&& v : values)
      v = boolean();
  }
  /// An integer that must lie in `lowest`..`highest`.
  int32_t ranged(int32_t lowest, int32_t highest) {
    const int32_t v = i32();
    if (v < lowest || v > highest) badFormat();
    return v;
  }

 private:
  uint64_t number(uint32_t expected) {
    uint32_t n = 0;
    if (!take(&n, 4)) fail("Unable to read size of value from file");
    if (n != expected) fail("Size of data element does not match item on file");
    std::array<unsigned char, 8> b{};
    if (!take(b.data(), n)) fail("Unable to read value from file");
    uint64_t v = 0;
    for (uint32_t i = 0; i < n; ++i)
      v |= uint64_t{b[i]} << (8 * i);
    return v;
  }
  // The size words are little-endian; so is every machine this builds for.
  bool take(void* into, uint32_t n) {
    if (n > left_) return false;
    if (std::fread(into, 1, n, file_) != n) return false;
    left_ -= n;
    return true;
  }

  std::FILE* file_;
  int64_t left_;
};

std::unique_ptr<LoudnessError> readError(Reader& rd) {
  if (!rd.boolean()) badFormat();  // every listed record is present in a session
  const auto type = static_cast<ErrorType>(rd.ranged(0, 8));
  std::unique_ptr<LoudnessError> e;
  switch (kindOf(type)) {
    case Kind::kPlain:
      e = std::make_unique<LoudnessError>();
      break;
    case Kind::kPeak:
      e = std::make_unique<ChannelPeakError>();
      break;
    case Kind::kLoudness:
      e = std::make_unique<ITU1770Error>();
      break;
    case Kind::kDialnorm:
      e = std::make_unique<DialnormError>();
      break;
  }
  e->type = type;
  e->startTick = rd.u32();
  e->startElapsed = rd.u32();
  e->startTimecode = rd.text();
  e->startDateTime = rd.text();
  e->lastTick = rd.u32();
  switch (kindOf(type)) {
    case Kind::kLoudness: {
      auto& l = static_cast<ITU1770Error&>(*e);
      l.worst = rd.real();
      rd.reals(l.channelWorst);
      rd.booleans(l.contributing);
      break;
    }
    case Kind::kPeak: {
      auto& p = static_cast<ChannelPeakError&>(*e);
      p.worst = rd.real();
      rd.booleans(p.exceeded);
      rd.reals(p.channelPeak);
      p.peakChannel = rd.ranged(0, kMeterChannels - 1);
      break;
    }
    case Kind::kDialnorm:
      e->worst = rd.real();
      break;
    case Kind::kPlain:
      break;
  }
  return e;
}

// Everything a file holds, built aside so that a failed load changes nothing.
struct Loaded {
  LoudnessSettings settings;
  SessionRecord record;
  HistoryEngine history;
  LoudnessContext::WorkingValues values;
  std::deque<std::string> queue;
};

// Items 1-2.
void readHeader(Reader& rd) {
  if (rd.i32() != kSessionFileMark) badFormat();
  if (rd.i32() != kSessionFileVersion) fail("Unsupported version number");
}

// Items 3-11: the session's settings. Returns the moving-average period in seconds.
int32_t readSettings(Reader& rd, LoudnessSettings& s, SessionRecord& r) {
  r.sessionName = rd.text();  // 3
  const int32_t period = rd.ranged(1, 60);
  s.peakThreshold = rd.real();  // 5
  s.highThreshold = rd.real();
  s.lowThreshold = rd.real();
  s.trigger = static_cast<TriggerMode>(rd.ranged(0, 2));
  s.startThreshold = rd.real();  // 7
  s.stopThreshold = rd.real();
  s.stopDuration = rd.real();
  s.startTimecode = rd.text();
  s.stopTimecode = rd.text();
  s.dialnormTolerance = rd.real();
  s.allChannels = rd.boolean();  // 10
  s.logEverySample = rd.boolean();
  s.rolloverTime = rd.text();
  return period;
}

// Items 12-13: the record's ten texts and the channel sources.
void readRecordTexts(Reader& rd, SessionRecord& r) {
  for (std::string* t : {&r.title, &r.operatorName, &r.sessionName, &r.deviceName, &r.startDate,
                         &r.startTime, &r.endDate, &r.endTime, &r.startTimecode, &r.endTimecode})
    *t = rd.text();
  const int32_t sources = rd.count(kMeterChannels, kTextMinBytes);  // 13
  for (int32_t i = 0; i < sources; ++i)
    r.channelSources[static_cast<size_t>(i)] = rd.text();
}

// Item 14: latest values and statistics.
void readLatestValues(Reader& rd, LoudnessSettings& s, SessionRecord& r,
                      LoudnessContext::WorkingValues& v) {
  r.dataSeen = rd.boolean();
  r.timecode = rd.text();
  rd.boolean();  // channel-meter display settings: the panel's own, not the session's
  rd.real();
  rd.real();
  rd.real();
  rd.reals(r.meterDb);
  rd.reals(r.heldPeakDb);
  rd.booleans(r.peakOver);
  rd.boolean();  // loudness data present: follows from the momentary loudness
  rd.booleans(r.contributing);
  rd.real();
  rd.boolean();
  r.displayOffset = rd.real();
  r.unitText = rd.text();
  r.target = rd.real();
  rd.text();  // absolute unit text: follows from the units index
  r.momentaryLoudness = rd.real();
  r.shortTermLoudness = rd.real();
  r.shortTermValid = rd.boolean();
  r.loudnessState = rd.i32();
  if (r.loudnessState != 2 && r.loudnessState != 0 && r.loudnessState != -2) badFormat();
  r.loudnessLimit = rd.real();
  rd.reals(r.channelLoudness);
  const int32_t dialnormMode = rd.i32();
  if (dialnormMode != 0 && dialnormMode != 2) badFormat();
  s.dialnormMode = static_cast<DialnormMode>(dialnormMode);
  rd.text();
  r.dialnormPresent = rd.boolean();
  r.dialnorm = rd.real();
  const int32_t dialnormState = rd.ranged(0, 8);
  if (dialnormState != 0 && dialnormState < 6) badFormat();
  r.dialnormState = static_cast<ErrorType>(dialnormState);
  r.state = static_cast<SessionState>(rd.ranged(0, 4));
  v.silentTail = rd.boolean();
  rd.texts(v.heldLines, kMostDataLines);
  r.runningTicks = rd.u32();
  r.elapsedTicks = rd.u32();
  r.sessionAverage = rd.real();
  rd.i32();
  for (uint32_t& t : r.timeInError)
    t = rd.u32();
}

// Items 15-16: the error records, then their open and worst positions, each of a record that
// fits its category.
void readErrorRecords(Reader& rd, SessionRecord& r) {
  const int32_t errors = rd.count(kMostErrorRecords, kErrorMinBytes);
  r.errors.reserve(static_cast<size_t>(errors));
  for (int32_t i = 0; i < errors; ++i)
    r.errors.push_back(readError(rd));
  for (auto* positions : {&r.openError, &r.worstError}) {  // 16
    for (int category = 0; category < kErrorCategories; ++category) {
      const int32_t at = rd.ranged(-1, errors - 1);
      if (at >= 0 && !fitsCategory(r.error(at)->type, category)) badFormat();
      (*positions)[static_cast<size_t>(category)] = at;
    }
  }
}

// Item 17: the rest of the record, with the view settings it was saved under (kept until the
// panel's own settings next reach the context).
void readRecordRest(Reader& rd, LoudnessSettings& s, SessionRecord& r) {
  const int32_t lastDialnorm = rd.ranged(0, 8);
  if (lastDialnorm != 0 && lastDialnorm < 6) badFormat();
  r.lastDialnormError = static_cast<ErrorType>(lastDialnorm);
  r.maxDialnormSeen = rd.boolean();
  r.maxDialnorm = rd.real();
  s.views.worstChoice = rd.boolean();
  r.maxTruePeak = rd.real();
  r.maxPeakChannel = rd.ranged(0, kMeterChannels - 1);
  r.maxPeakSeen = rd.boolean();
  r.maxShortTerm = rd.real();
  r.minShortTerm = rd.real();
  r.shortTermSeen = rd.boolean();
  r.statusText = rd.text();
  r.endReason = rd.text();
  r.reportProgress = rd.ranged(0, 100);
  s.views.viewChoice = rd.i32();
  s.views.spanMs = rd.i32();
  s.views.spanName = rd.text();
  r.graphMode = static_cast<GraphMode>(rd.ranged(0, 3));
  rd.text();
  r.periodSeconds = rd.ranged(1, 60);
  r.rangeIndex = rd.ranged(0, 1);
  r.relative = rd.ranged(0, 1) == 1;
  r.lufs = rd.ranged(0, 1) == 1;
  r.gating = rd.boolean();
  r.highTenths = rd.i16();
  r.lowTenths = rd.i16();
  r.lastPayloadType = static_cast<PayloadType>(rd.ranged(0, 3));
  rd.boolean();  // a waiting report job is not carried over: saving ran it to its end
}

// The file base of a data file path: other panels write the whole path; the file base is its
// last name without ".csv".
std::string fileBaseOf(std::string csvPath) {
  const size_t slash = csvPath.find_last_of("\\/");
  if (slash != std::string::npos) csvPath.erase(0, slash + 1);
  if (csvPath.size() >= 4 && csvPath.compare(csvPath.size() - 4, 4, ".csv") == 0)
    csvPath.resize(csvPath.size() - 4);
  return csvPath;
}

// Item 18: working values (the timing integers as the index at the top lists them).
void readWorkingValues(Reader& rd, SessionRecord& r, LoudnessContext::WorkingValues& v) {
  for (int i = 0; i < 6; ++i)
    rd.i32();
  rd.reals(v.peakNow);
  rd.reals(v.peakStore);
  for (uint32_t& t : v.peakSetAt)
    t = rd.u32();
  v.restartAfterStop = rd.boolean();
  for (int i = 0; i < 6; ++i)
    rd.i32();
  r.droppedMessages = rd.u32();
  v.runningSum = rd.dbl();
  v.runningCount = rd.u32();
  v.silentTick = rd.u32();
  v.silentDate = rd.text();
  v.silentTime = rd.text();
  rd.text();
  rd.text();
  v.fileBase = fileBaseOf(rd.text());
  rd.text();
}

// Item 20: data-log timers.
void readDataLogTimers(Reader& rd, LoudnessContext::WorkingValues& v) {
  v.lastLineTick = rd.u32();
  v.logInterval = rd.u32();
  v.lineLogged = rd.i32() != 0;
  const int32_t hour = rd.i32();
  v.queueHour = hour > 0 ? std::to_string(hour) : std::string();
  v.startTimecodeTaken = rd.boolean();
  rd.i32();
}

// The 400 ms histogram of item 21 (after its mode) as the file gives it.
struct BlockHistogram {
  std::array<int32_t, kBins> counts{};
  std::array<double, kBins> powers{};
  int32_t total = 0;
  int16_t gate = 0;  // relative gate, tenths of LU: 80 or 100
};

// The short-term histogram behind the loudness range.
struct RangeHistogram {
  std::array<int32_t, kBins> counts{};
  std::array<double, kBins> powers{};
  bool exact = false;
};

// Item 21 after its mode: bins with single-precision power sums, their total and the gate.
BlockHistogram readBlockHistogram(Reader& rd) {
  BlockHistogram h;
  int64_t sum = 0;
  for (int bin = 0; bin < kBins; ++bin) {
    const auto b = static_cast<size_t>(bin);
    h.counts[b] = rd.ranged(0, std::numeric_limits<int32_t>::max());
    h.powers[b] = rd.real();
    if (h.powers[b] < 0.0) badFormat();
    sum += h.counts[b];
  }
  h.total = rd.i32();
  if (h.total != sum) badFormat();
  h.gate = rd.i16();
  if (h.gate != 80 && h.gate != 100) badFormat();
  return h;
}

// Our optional trailing block: the range histogram, and the 400 ms power sums in double
// precision, which replace the single-precision ones. Without it the range is rebuilt from the
// 400 ms blocks and is not exact.
RangeHistogram readRangeBlock(Reader& rd, BlockHistogram& blocks) {
  RangeHistogram range{blocks.counts, blocks.powers, false};
  if (!rd.mark(kRangeBlockMark)) return range;
  if (rd.i32() != kRangeBlockVersion) fail("Unsupported version number");
  range.exact = rd.boolean();
  for (int bin = 0; bin < kBins; ++bin) {
    const auto b = static_cast<size_t>(bin);
    range.counts[b] = rd.ranged(0, std::numeric_limits<int32_t>::max());
    range.powers[b] = rd.dbl();
    if (!(range.powers[b] >= 0.0 && range.powers[b] <= kMostPowerSum)) badFormat();
  }
  for (int bin = 0; bin < kBins; ++bin) {
    const double p = rd.dbl();
    if (!(p >= 0.0 && p <= kMostPowerSum)) badFormat();
    blocks.powers[static_cast<size_t>(bin)] = p;
  }
  return range;
}

// Item 21 and our range block into a history of `period` seconds. Returns the relative gate in
// tenths of LU.
int16_t readHistory(Reader& rd, int32_t period, HistoryEngine& history) {
  history = HistoryEngine(period);
  history.setMode(static_cast<HistoryEngine::Mode>(rd.ranged(0, 2)));
  BlockHistogram blocks = readBlockHistogram(rd);
  history.setRelativeGate(blocks.gate / 10);
  const RangeHistogram range = readRangeBlock(rd, blocks);
  // Anything after the common items that is not our block belongs to someone else: ignored.
  history.setHistogram(blocks.counts, blocks.powers, blocks.total);
  history.setRangeHistogram(range.counts, range.powers, range.exact);
  return blocks.gate;
}

// Our optional summary block; without it no record is a summary.
void readSummaryBlock(Reader& rd, SessionRecord& r) {
  if (!rd.mark(kSummaryBlockMark)) return;
  if (rd.i32() != kSummaryBlockVersion) fail("Unsupported version number");
  const auto records = static_cast<int32_t>(r.errors.size());
  for (size_t type = 0; type < kErrorTypes; ++type) {
    const int32_t at = rd.ranged(-1, records - 1);
    if (at >= 0 && static_cast<size_t>(r.error(at)->type) != type) badFormat();
    r.summaryError[type] = at;
    const uint32_t merged = rd.u32();
    r.mergedErrors[type] = at >= 0 ? merged : 0;
  }
}

// Our optional data-gap block; without it the session had no time without data. Never more
// than the running time it is part of.
void readDataGapBlock(Reader& rd, SessionRecord& r) {
  if (!rd.mark(kDataGapBlockMark)) return;
  if (rd.i32() != kDataGapBlockVersion) fail("Unsupported version number");
  r.noDataTicks = std::min(rd.u32(), r.runningTicks);
  r.dataGaps = rd.u32();
}

// A custom mode's values live in the settings; the loaded mode must give the same ones.
void keepCustomMode(LoudnessSettings& s, const SessionRecord& r, int32_t period, int16_t gate) {
  s.graphMode = r.graphMode;
  if (r.graphMode != GraphMode::kCustom) return;
  s.customTarget = r.target;
  s.customRelative = r.relative;
  s.customRange = r.rangeIndex;
  s.customPeriod = static_cast<float>(period);
  s.customGating = r.gating;
  s.customGate10 = gate == 100;
  s.customLufs = r.lufs;
}

void readContext(Reader& rd, const LoudnessContext& current, Loaded& out) {
  out.settings = current.settings();
  readHeader(rd);
  const int32_t period = readSettings(rd, out.settings, out.record);
  readRecordTexts(rd, out.record);
  readLatestValues(rd, out.settings, out.record, out.values);
  readErrorRecords(rd, out.record);
  readRecordRest(rd, out.settings, out.record);
  readWorkingValues(rd, out.record, out.values);
  rd.texts(out.queue, kMostDataLines);  // 19
  readDataLogTimers(rd, out.values);
  const int16_t gate = readHistory(rd, period, out.history);
  readSummaryBlock(rd, out.record);
  readDataGapBlock(rd, out.record);
  keepCustomMode(out.settings, out.record, period, gate);
}

}  // namespace

// ---- [save and load] ----------------------------------------------------------------------------

SessionReportPaths sessionReportPaths(const std::string& sessionPath) {
  const size_t slash = sessionPath.find_last_of("\\/");
  const size_t dot = sessionPath.find_last_of('.');
  // A dot in a folder name is no extension: cutting there would write beside the folder.
  const bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  const std::string base = hasExtension ? sessionPath.substr(0, dot) : sessionPath;
  return {base + ".html", base + ".csv"};
}

namespace {

std::string failure(const std::exception& e) {
  logMessage(kLogLoudness, "Unable to load the session file.  Reason: %s", e.what());
  return e.what();
}

// The folder of `path` for syncing the rename, "." when it names none.
std::string folderOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// A temporary name beside `target`: the target's name + ".XXXXXX", or a short hidden name in
// its folder when that suffix would make the name too long for the folder.
std::string temporaryNameFor(const std::string& target) {
  constexpr std::string_view kSuffix = ".XXXXXX";
  const size_t slash = target.find_last_of('/');
  const size_t nameBytes = slash == std::string::npos ? target.size() : target.size() - slash - 1;
  if (nameBytes + kSuffix.size() <= NAME_MAX) return target + std::string(kSuffix);
  return (slash == std::string::npos ? std::string() : target.substr(0, slash + 1)) +
         ".qelm-XXXXXX";
}

// A temporary file beside the target that is removed unless it was renamed into place.
class TemporaryFile {
 public:
  explicit TemporaryFile(const std::string& target) : name_(temporaryNameFor(target)) {
    const int fd = mkstemp(name_.data());
    if (fd < 0) {
      name_.clear();
      return;
    }
    // mkstemp makes the file private; a session file is as readable as any other document.
    struct stat old {};
    fchmod(fd, ::stat(target.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0644);
    file_.reset(fdopen(fd, "wb"));
    if (!file_) ::close(fd);
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    file_.reset();
    if (!name_.empty()) ::unlink(name_.c_str());
  }
  std::FILE* file() const { return file_.get(); }
  /// Flushes, syncs and closes the file, then renames it to `target`; false on any failure.
  bool commit(const std::string& target) {
    std::FILE* f = file_.get();
    const bool written = std::fflush(f) == 0 && ::fsync(fileno(f)) == 0;
    const bool closed = std::fclose(file_.release()) == 0;
    if (!written || !closed || std::rename(name_.c_str(), target.c_str()) != 0) return false;
    name_.clear();
    // The rename itself must survive a crash too.
    const int dir = ::open(folderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
      ::fsync(dir);
      ::close(dir);
    }
    return true;
  }

 private:
  std::string name_;
  File file_;
};

}  // namespace

std::string saveSessionFile(const LoudnessContext& context, const std::string& path,
                            SessionReports* reports) {
  try {
    const SessionReportPaths paths = sessionReportPaths(path);
    // The report would be written first and then replaced by the session file.
    if (reports && (path == paths.html || path == paths.csv)) fail(kOwnReportName);
    TemporaryFile temporary(path);
    if (!temporary.file()) cannotOpen(path, "writing");
    Writer writer(temporary.file());
    writeContext(writer, context);
    if (!temporary.commit(path)) fail("Unable to write value to file");
    // Only a saved session gets its reports: a failed save leaves nothing that looks saved.
    if (reports) reports->write(context, paths.html, paths.csv);
    return "OK";
  } catch (const std::exception& e) {
    return failure(e);
  }
}

std::string loadSessionFile(LoudnessContext& context, const std::string& path) {
  try {
    // Non-blocking so that a named pipe cannot hang the engine; only plain files are read.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat info {};
    if (fd < 0) cannotOpen(path, "reading");
    File file(fdopen(fd, "rb"));
    if (!file) {
      ::close(fd);
      cannotOpen(path, "reading");
    }
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) cannotOpen(path, "reading");
    if (info.st_size > kMostSessionFileBytes) badFormat();
    Reader reader(file.get(), info.st_size);
    auto loaded = std::make_unique<Loaded>();
    readContext(reader, context, *loaded);
    context.restoreSession(loaded->settings, std::move(loaded->record), std::move(loaded->history),
                           std::move(loaded->values), std::move(loaded->queue));
    return "OK";
  } catch (const std::exception& e) {
    return failure(e);
  }
}

}  // namespace qelm
