#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "loudness/loudness_session.h"
#include "loudness/loudness_settings.h"

namespace qelm {

class LoudnessContext;

/// The HTML template's text when its file cannot be read or is empty.
inline constexpr const char* kMissingReportTemplate = "<html>Could not open template file</html>";
/// A data file's header when the data template has no header section.
inline constexpr const char* kMissingDataHeader = "Could not open header template.\n\n";
/// Largest template file read, in bytes; the rest of a longer file is ignored.
inline constexpr size_t kMostTemplateBytes = 4u << 20;

/// The whole text of the file at `path` (at most `kMostTemplateBytes`); empty when it cannot be
/// opened.
std::string loadTemplate(const std::string& path);

/// The text between the first "<name>" and the first "</name>" after it; empty when either is
/// missing.
std::string templateSection(std::string_view text, std::string_view name);

/// `section` with every "<lmallchannels>" block kept without its tags (`allChannels`) or removed
/// with its content (otherwise). An opening tag without a closing one stays as it is.
std::string applyChannelRule(std::string_view section, bool allChannels);

/// How placeholder values are written into a template.
enum class TextEscape : int32_t {
  kHtml = 0,   ///< &, <, >, " and ' as entities; control characters as spaces
  kPlain = 1,  ///< control characters as spaces
};

/// `text` made safe for a document of kind `escape`.
std::string escapeText(std::string_view text, TextEscape escape);

/// Placeholder names with their `$` signs ("$id$") and their values, already escaped.
using Placeholders = std::map<std::string, std::string, std::less<>>;

/// `text` with every known "$name$" replaced by its value in one pass: replaced values are
/// never searched again, unknown names stay as they are.
std::string substitute(std::string_view text, const Placeholders& values);

/// One error record as a report row needs it.
struct ReportRow {
  ErrorType type = ErrorType::kNone;
  uint32_t startElapsed = 0;   ///< session elapsed ticks at the start
  uint32_t durationTicks = 0;  ///< last tick - start tick + 1
  std::string startTimecode;
  std::string startDateTime;                         ///< "%m/%d/%Y %H:%M:%S"
  float worst = kNoSignalDb;                         ///< LKFS, dBFS or dB by type
  std::array<float, kMeterChannels> channelValue{};  ///< peak (PK) or loudness (HIGH, LOW)
  std::array<bool, kMeterChannels> channelFlag{};    ///< exceeded (PK) or contributed
};

/// What a session's report and data-file header show, copied when the session stops so the
/// files can be written while a new session runs.
struct ReportSession {
  std::string title;
  std::string operatorName;
  std::string sessionName;
  std::string deviceName;
  std::string startDate;  ///< "%m/%d/%Y"
  std::string startTime;  ///< "%H:%M:%S"
  std::string endDate;
  std::string endTime;
  std::string startTimecode;
  std::string endTimecode;
  std::array<std::string, kMeterChannels> channelSources;
  GraphMode graphMode = GraphMode::kEbu9;
  DialnormMode dialnormMode = DialnormMode::kIgnore;
  std::string absoluteUnits = "LUFS";  ///< "LKFS" or "LUFS"
  bool allChannels = true;
  uint32_t elapsedTicks = 0;
  uint32_t runningTicks = 0;
  uint32_t noDataTicks = 0;                  ///< running time in which the card sent nothing
  uint32_t dataGaps = 0;                     ///< the gaps that time was made of
  int16_t integratedTenths = kTenthsNoData;  ///< -2001 = no data
  int16_t rangeTenths = kTenthsNoData;       ///< -2001 = no data
  float target = -23.0f;                     ///< LKFS
  float peakThreshold = -1.0f;               ///< dBFS
  float highThreshold = 8.0f;                ///< LU; >= 40.05 = disabled
  float lowThreshold = -40.1f;               ///< LU; <= -40.05 = disabled
  bool maxPeakSeen = false;
  float maxTruePeak = kNoSignalDb;  ///< dBFS
  int32_t maxPeakChannel = 0;
  std::array<uint32_t, kErrorCategories> timeInError{};  ///< ticks per category
  size_t errorCount = 0;                                 ///< error records of the session
  std::vector<ReportRow> rows;  ///< every error record in the order opened; empty for headers
};

/// The report facts of `context`'s session as it stands, with a row per error record when
/// `withRows`.
ReportSession reportSessionOf(const LoudnessContext& context, bool withRows = true);

/// "Ignore Dialnorm" or "Check Dialnorm against Target LUFS/LKFS".
const char* dialnormModeText(DialnormMode mode);
/// A tick count (100 ms) as "%02d:%02d:%02d.%d".
std::string ticksText(uint32_t ticks);
/// A level as "%.1f"; "N/A" below -150.
std::string levelText(double value);

/// Every placeholder of `session` for a document of kind `escape`; `resourcePrefix` is the
/// path from the document to the report resources ("" or "../../").
Placeholders reportPlaceholders(const ReportSession& session, const std::string& resourcePrefix,
                                TextEscape escape);

/// The HTML table row of record `number` (1-based) of `count`, ending in "\n".
std::string errorRow(const ReportRow& row, size_t number, size_t count, bool allChannels);

}  // namespace qelm
