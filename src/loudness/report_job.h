#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "loudness/loudness_output.h"
#include "loudness/report_file.h"
#include "loudness/report_template.h"

namespace qelm {

/// Writes a session's HTML report in small steps: start, sections, open, header, rows (at
/// most `kRowsPerStep` a step), footer. The report appears under its name only when complete.
class HtmlReportJob final : public ReportJob {
 public:
  /// Error rows written by one step.
  static constexpr size_t kRowsPerStep = 5;

  /// The report of `session` from `templateText` to `outputPath`; `besideSessionFile` (a report
  /// saved with a session file) finds the report resources beside it, else two folders up.
  HtmlReportJob(std::shared_ptr<const std::string> templateText, ReportSession session,
                std::string outputPath, bool besideSessionFile);

  bool step() override;
  /// done x 100 / (rows + 6).
  int32_t progress() const override;

  /// Whether the job has finished with the report in place.
  bool succeeded() const { return succeeded_; }
  /// Where the report ended up (empty unless it succeeded).
  const std::string& writtenPath() const { return file_.committedPath(); }

 private:
  enum class Stage : int32_t {
    kStart = 0,
    kSections = 1,
    kOpen = 2,
    kHeader = 3,
    kRows = 4,
    kFooter = 5,
    kDone = 6,
  };

  bool fail();

  std::shared_ptr<const std::string> template_;
  ReportSession session_;
  std::string outputPath_;
  bool besideSessionFile_;
  Stage stage_ = Stage::kStart;
  std::string header_;
  std::string footer_;
  ReportFile file_;
  size_t nextRow_ = 0;
  size_t done_ = 0;
  bool succeeded_ = false;
};

}  // namespace qelm
