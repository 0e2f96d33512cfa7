#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/loudness_session.h"
#include "loudness/loudness_levels.h"
#include "loudness/loudness_payload.h"
#include "loudness/loudness_settings.h"
#include "model/link_status.h"

namespace qelm {

/// Error record types; HLT and LLT are defined but never produced.
enum class ErrorType : int32_t {
  kNone = 0,
  kPeak = 1,
  kHlt = 2,
  kHigh = 3,
  kLow = 4,
  kLlt = 5,
  kDialnormHigh = 6,
  kDialnormLow = 7,
  kNoDialnorm = 8,
};

/// "NONE", "PK", "HLT", "HIGH", "LOW", "LLT", "DNHI", "DNLO", "NODN"; "" for other codes.
const char* errorTypeName(ErrorType type);

/// Channel names "L", "R", "C", "LFE", "Ls", "Rs", "Aux L", "Aux R"; "U" for other indexes.
const char* channelName(int index);

/// One violation of a session's limits, from its first to its last payload.
struct LoudnessError {
  virtual ~LoudnessError() = default;
  ErrorType type = ErrorType::kNone;
  uint32_t startTick = 0;     ///< master tick of the first payload
  uint32_t startElapsed = 0;  ///< session elapsed ticks at the start
  std::string startTimecode;  ///< timecode of the first payload; may be empty
  std::string startDateTime;  ///< "%m/%d/%Y %H:%M:%S"
  uint32_t lastTick = 0;      ///< master tick of the last payload
  float worst = kNoSignalDb;  ///< worst value (dB, LKFS or dBFS by type)
};

/// A high or low loudness error.
struct ITU1770Error final : LoudnessError {
  /// Worst momentary loudness of L, R, C, LFE, Ls, Rs, LKFS.
  std::array<float, kLoudnessChannels> channelWorst{};
  /// Channels that contributed at any time.
  std::array<bool, kLoudnessChannels> contributing{};
};

/// A true peak above the peak threshold.
struct ChannelPeakError final : LoudnessError {
  /// Channels that exceeded the threshold at any time.
  std::array<bool, kMeterChannels> exceeded{};
  /// Highest peak per channel, dBFS.
  std::array<float, kMeterChannels> channelPeak{};
  /// Channel of the highest peak (`worst`).
  int32_t peakChannel = 0;
};

/// A missing dialnorm or one outside the tolerance; `worst` is the value furthest out.
struct DialnormError final : LoudnessError {};

/// Number of error record type codes (0..8).
inline constexpr int kErrorTypes = 9;
/// Error records a session keeps one by one: five days of programme that is wrong every few
/// seconds. Past it each type's later records merge into one summary record of that type, so a
/// session of a card whose values flap holds a few MB however long it runs.
inline constexpr size_t kMostSessionErrors = 50000;

/// Categories of error records, each with its time in error and open and worst record.
enum class ErrorCategory : int32_t {
  kPeak = 0,
  kHigh = 1,
  kLow = 2,
  kDialnorm = 3,
};
inline constexpr int kErrorCategories = 4;

/// Everything a session shows, saves and reports.
struct SessionRecord {
  SessionState state = SessionState::kStopped;

  std::string title;  ///< kept and reported, never filled by the system
  std::string operatorName;
  std::string deviceName;  ///< the card's text name
  std::string sessionName;
  std::string startDate;  ///< "%m/%d/%Y"
  std::string startTime;  ///< "%H:%M:%S"
  std::string endDate;
  std::string endTime;
  std::string startTimecode;
  std::string endTimecode;
  std::string timecode;  ///< of the latest payload
  std::string statusText;
  std::string endReason;
  std::string unitText;  ///< "LKFS", "LUFS" or "LU"
  std::array<std::string, kMeterChannels> channelSources;

  float target = -23.0f;         ///< target loudness, LKFS
  float displayOffset = -23.0f;  ///< subtracted for display
  GraphMode graphMode = GraphMode::kEbu9;
  int32_t periodSeconds = 3;
  int32_t rangeIndex = 0;
  bool relative = true;
  bool lufs = true;
  bool gating = true;
  int16_t highTenths = kTenthsNoData;  ///< high threshold, tenths; -2001 = disabled
  int16_t lowTenths = kTenthsNoData;   ///< low threshold, tenths; -2001 = disabled

  LinkStatus status = LinkStatus::kUnused;
  PayloadType lastPayloadType = PayloadType::kNone;
  bool dataSeen = false;  ///< a payload has been decoded
  /// No payload for `LoudnessContext::kNoDataMs` after data had flowed: the levels are old.
  /// Live state of the card, never saved.
  bool dataStale = false;
  bool changed = false;  ///< set with every accepted payload; views clear it

  std::array<float, kMeterChannels> meterDb{};             ///< dBFS; -1000 = no signal
  std::array<float, kMeterChannels> heldPeakDb{};          ///< dBFS
  std::array<float, kLoudnessChannels> channelLoudness{};  ///< LKFS; -1000 = none
  float momentaryLoudness = kNoSignalDb;                   ///< LKFS
  float shortTermLoudness = kNoSignalDb;                   ///< LKFS
  bool shortTermValid = false;
  bool dialnormPresent = false;
  float dialnorm = 0.0f;                               ///< dB
  std::array<bool, kMeterChannels> peakOver{};         ///< peak-over-threshold indicators
  std::array<bool, kLoudnessChannels> contributing{};  ///< channels in the current error
  int32_t loudnessState = 0;                           ///< 2 high, -2 low, 0 none
  float loudnessLimit = 0.0f;  ///< target + the threshold of the current state, LKFS
  ErrorType dialnormState = ErrorType::kNone;

  bool shortTermSeen = false;
  float maxShortTerm = kNoSignalDb;  ///< LKFS
  float minShortTerm = kNoSignalDb;
  bool maxDialnormSeen = false;
  float maxDialnorm = 0.0f;
  bool maxPeakSeen = false;
  float maxTruePeak = kNoSignalDb;  ///< dBFS
  int32_t maxPeakChannel = 0;
  float sessionAverage = kNoSignalDb;  ///< ungated mean while running, LKFS
  uint32_t runningTicks = 0;
  uint32_t elapsedTicks = 0;
  std::array<uint32_t, kErrorCategories> timeInError{};  ///< ticks per category
  uint32_t droppedMessages = 0;
  /// Running time in which the card sent nothing for `LoudnessContext::kNoDataMs` or more,
  /// in ticks (within `runningTicks`), and the number of such gaps.
  uint32_t noDataTicks = 0;
  uint32_t dataGaps = 0;

  /// Every record in the order opened.
  std::vector<std::unique_ptr<LoudnessError>> errors;
  /// Index into `errors` of the open record per category; -1 = none.
  std::array<int32_t, kErrorCategories> openError{-1, -1, -1, -1};
  /// Index into `errors` of the worst record per category; -1 = none.
  std::array<int32_t, kErrorCategories> worstError{-1, -1, -1, -1};
  ErrorType lastDialnormError = ErrorType::kNone;
  /// Per type code: index into `errors` of the summary record that later records of that type
  /// merge into once `kMostSessionErrors` are kept; -1 = none yet.
  std::array<int32_t, kErrorTypes> summaryError{-1, -1, -1, -1, -1, -1, -1, -1, -1};
  /// Per type code: records merged into the summary record.
  std::array<uint32_t, kErrorTypes> mergedErrors{};

  int32_t reportProgress = 0;  ///< percent

  /// The record at `index` (-1 or out of range: null).
  const LoudnessError* error(int32_t index) const {
    return index >= 0 && static_cast<size_t>(index) < errors.size()
               ? errors[static_cast<size_t>(index)].get()
               : nullptr;
  }
};

}  // namespace qelm
