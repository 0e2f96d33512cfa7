#include "loudness/session_requests.h"

#include "loudness/loudness_monitor.h"
#include "loudness/report_file.h"
#include "loudness/report_job.h"
#include "loudness/report_template.h"

namespace qelm {

SessionRequests::SessionRequests(const std::string& reportTemplatePath) {
  std::string text = loadTemplate(reportTemplatePath);
  if (text.empty()) text = kMissingReportTemplate;
  reportTemplate_ = std::make_shared<const std::string>(std::move(text));
}

std::string SessionRequests::load(LoudnessMonitor& monitor, const std::string& path) {
  return loadSessionFile(monitor.context(), path);
}

std::string SessionRequests::save(LoudnessMonitor& monitor, const std::string& path) {
  return saveSessionFile(monitor.context(), path, this);
}

void SessionRequests::write(const LoudnessContext& context, const std::string& htmlPath,
                            const std::string& csvPath) {
  // A save is one operator request: the report is written to its end here, not stepped.
  HtmlReportJob job(reportTemplate_, reportSessionOf(context), htmlPath, true);
  while (job.step()) {
  }
  ReportFile csv;
  if (!csv.open(csvPath)) return;
  for (const std::string& line : context.queuedLines()) {
    if (!csv.write(line)) return;
  }
  csv.commit();
}

}  // namespace qelm
