#pragma once

#include <climits>
#include <cstddef>
#include <deque>
#include <memory>
#include <string>

#include "loudness/loudness_output.h"
#include "loudness/report_file.h"

namespace qelm {

class SettingsStore;

/// Where a monitor's report files come from and go to.
struct ReportLocations {
  std::string reportDirectory;     ///< root of the session folders, ending in "/"
  std::string reportTemplatePath;  ///< the HTML report template
  std::string dataTemplatePath;    ///< the data-file header template

  /// The paths the engine put in `settings` at start-up.
  static ReportLocations fromSettings(const SettingsStore& settings);
  /// reportFolder + "reports/", programFolder + "resources/lmtemplate.html" and
  /// "resources/lmdatatemplate.txt"; both folders end in "/".
  static ReportLocations fromFolders(const std::string& reportFolder,
                                     const std::string& programFolder);
};

/// The report files of one monitor's sessions: under reportDirectory + session name, the data
/// files "csv/<base>.csv" (one per session, or one per hour when every sample is logged) and
/// the report "html/<base>.html", <base> being the local time the data log opened as
/// "%Y-%m-%d_%H-%M-%S". Data files grow under a temporary name, flushed at every write, and
/// take their name when complete; reports are written by an `HtmlReportJob`.
class FileLoudnessOutput final : public LoudnessOutput {
 public:
  /// Output to `locations`; `reportTemplate` is the HTML template's text when the caller loaded
  /// it once for all monitors (null: read from reportTemplatePath now).
  explicit FileLoudnessOutput(ReportLocations locations,
                              std::shared_ptr<const std::string> reportTemplate = nullptr);
  ~FileLoudnessOutput() override;

  void attach(const LoudnessContext& context) override { context_ = &context; }
  void openDataLog(const SessionRecord& record, const std::string& fileBase) override;
  void writeDataLines(const SessionRecord& record, const std::string& fileBase,
                      const std::deque<std::string>& lines) override;
  void closeDataLog(const SessionRecord& record) override;
  std::unique_ptr<ReportJob> createReportJob(const LoudnessContext& context) override;

  /// The folder of the current (or last) session's files, ending in "/"; empty before any.
  const std::string& sessionFolder() const { return sessionFolder_; }

 private:
  void beginSession(const SessionRecord& record, const std::string& fileBase);
  bool startDataFile(const std::string& fileBase);
  void finishDataFile();

  ReportLocations locations_;
  std::shared_ptr<const std::string> reportTemplate_;
  const LoudnessContext* context_ = nullptr;
  std::string sessionFolder_;
  std::string sessionBase_;
  bool logOpen_ = false;
  std::string dataBase_;
  ReportFile dataFile_;
  bool dataFailed_ = false;
};

/// Longest name of one folder or file that the file systems take, in bytes.
inline constexpr size_t kMostNameBytes = NAME_MAX;

/// `name` as one folder name: at most `kMostNameBytes` bytes, cut between UTF-8 characters;
/// "/" and control characters become "_"; "", "." and ".." become "_", "_." and "_..".
std::string folderName(const std::string& name);

/// Completes the data files that a crash left under their temporary names in the session
/// folders below `reportDirectory` (their whole lines, under their final names), and logs
/// each; files that a running engine is writing are left alone.
void recoverDataFiles(const std::string& reportDirectory);

/// The file base "%Y-%m-%d_%H-%M-%S" of a session start date "%m/%d/%Y" and time "%H:%M:%S";
/// "session" when they are not in those forms.
std::string fileBaseOf(const std::string& startDate, const std::string& startTime);

}  // namespace qelm
