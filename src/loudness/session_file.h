#pragma once

// Session files: a binary snapshot of one card's loudness context that the operator saves and
// loads again, so that a loaded session shows the same statistics and can continue.
//
// Every item is a 4-byte little-endian size followed by the item's bytes. After the items every
// panel knows, our files carry an optional trailing block with the short-term histogram behind
// the loudness range (and the 400 ms histogram's power sums in double precision); readers that
// know only the common items stop before it. A file without the block loads with its range
// rebuilt from the 400 ms histogram and flagged `HistoryEngine::rangeExact() == false`. A second
// optional block follows: per error type, the summary record that later records were merged
// into and how many (a session past `kMostSessionErrors`); without it no record is a summary.

#include <cstdint>
#include <string>

namespace qelm {

class LoudnessContext;

/// First integer of every session file.
inline constexpr int32_t kSessionFileMark = 0x3658AAFA;
/// The only format version read and written.
inline constexpr int32_t kSessionFileVersion = 3;
/// First integer of the trailing block of the short-term (range) histogram.
inline constexpr int32_t kRangeBlockMark = 0x3658AAFB;
/// Version of the trailing range block.
inline constexpr int32_t kRangeBlockVersion = 1;
/// First integer of the trailing block of the summary records (after the range block).
inline constexpr int32_t kSummaryBlockMark = 0x3658AAFC;
/// Version of the trailing summary block.
inline constexpr int32_t kSummaryBlockVersion = 1;
/// First integer of the trailing block of the time without data (after the summary block).
inline constexpr int32_t kDataGapBlockMark = 0x3658AAFD;
/// Version of the trailing data-gap block.
inline constexpr int32_t kDataGapBlockVersion = 1;
/// Longest text item, bytes.
inline constexpr uint32_t kMostTextBytes = 0x10000;
/// Most error records a file may hold: over 100 times what a day of bad programme opens.
inline constexpr int32_t kMostErrorRecords = 1000000;
/// Most queued or held-back data lines a file may hold: 57 days at the 5 s default interval.
inline constexpr int32_t kMostDataLines = 1000000;
/// Longest file loaded, bytes: room for both caps above with their texts.
inline constexpr int64_t kMostSessionFileBytes = int64_t{512} << 20;

/// Writes the HTML report and the CSV data file of a session beside its session file. The
/// report writer provides it; the engine hands it to `saveSessionFile`.
class SessionReports {
 public:
  virtual ~SessionReports() = default;
  /// Runs the report job of `context` to its end into `htmlPath`, then writes the queued data
  /// lines to `csvPath`; failures write nothing and are not reported.
  virtual void write(const LoudnessContext& context, const std::string& htmlPath,
                     const std::string& csvPath) = 0;
};

/// Where the reports of a session file go.
struct SessionReportPaths {
  std::string html;  ///< the session path without its extension, + ".html"
  std::string csv;   ///< the session path without its extension, + ".csv"
};

/// The report paths of session file `sessionPath`: its extension (from the last "." of the file
/// name, never of a folder) replaced, or ".html" and ".csv" appended when it has none.
SessionReportPaths sessionReportPaths(const std::string& sessionPath);

/// Reply to a save whose path is that of its own HTML report or data file.
inline constexpr const char* kOwnReportName =
    "A session file cannot take the name of its own report or data file";

/// Writes `context` to the session file `path`, through a synced temporary file renamed over
/// it, so a failure leaves any old file whole; then, when `reports` is set and the file was
/// saved, its reports. A path equal to one of its report paths is refused before anything is
/// written. Returns "OK" or the failure text, which is also logged.
std::string saveSessionFile(const LoudnessContext& context, const std::string& path,
                            SessionReports* reports = nullptr);

/// Reads the session file `path` into `context`. The whole file is read and checked first; the
/// context changes only when that succeeded. Returns "OK" or the failure text, which is also
/// logged.
std::string loadSessionFile(LoudnessContext& context, const std::string& path);

}  // namespace qelm
