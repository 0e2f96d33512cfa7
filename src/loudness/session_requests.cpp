#include "loudness/session_requests.h"

#include "loudness/loudness_monitor.h"
#include "loudness/report_file.h"
#include "loudness/report_job.h"
#include "loudness/report_template.h"

namespace qelm {

namespace {

constexpr const char* kDataTemplateName = "lmdatatemplate.txt";

// The data template beside the report template at `reportTemplatePath`.
std::string dataTemplateBeside(const std::string& reportTemplatePath) {
  const size_t slash = reportTemplatePath.find_last_of('/');
  return (slash == std::string::npos ? std::string() : reportTemplatePath.substr(0, slash + 1)) +
         kDataTemplateName;
}

// The header of a data file beside a session file, as the data log heads its own files.
std::string dataHeader(const LoudnessContext& context, const std::string& dataTemplatePath) {
  const std::string section =
      applyChannelRule(templateSection(loadTemplate(dataTemplatePath), "lmheader"), false);
  if (section.empty()) return kMissingDataHeader;
  return substitute(section,
                    reportPlaceholders(reportSessionOf(context, false), "", TextEscape::kPlain));
}

}  // namespace

SessionRequests::SessionRequests(const std::string& reportTemplatePath,
                                 std::string dataTemplatePath)
    : dataTemplatePath_(dataTemplatePath.empty() ? dataTemplateBeside(reportTemplatePath)
                                                 : std::move(dataTemplatePath)) {
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
  if (!csv.open(csvPath) || !csv.write(dataHeader(context, dataTemplatePath_))) return;
  for (const std::string& line : context.queuedLines()) {
    if (!csv.write(line)) return;
  }
  csv.commit();
}

}  // namespace qelm
