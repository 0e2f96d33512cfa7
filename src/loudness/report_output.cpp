#include "loudness/report_output.h"

#include <filesystem>
#include <system_error>

#include "core/log.h"
#include "core/settings_keys.h"
#include "core/settings_store.h"
#include "loudness/loudness_context.h"
#include "loudness/report_job.h"
#include "loudness/report_template.h"
#include "text/readers.h"

namespace qelm {

namespace {

void makeFolder(const std::string& path) {
  std::error_code error;
  std::filesystem::create_directories(path, error);  // failures show when a file is opened
}

bool allDigits(const std::string& text, size_t from, size_t count) {
  for (size_t i = from; i < from + count; ++i) {
    if (i >= text.size() || text[i] < '0' || text[i] > '9') return false;
  }
  return true;
}

}  // namespace

ReportLocations ReportLocations::fromSettings(const SettingsStore& settings) {
  return {settings.getText(settings_key::kReportDirectory),
          settings.getText(settings_key::kReportTemplatePath),
          settings.getText(settings_key::kDataTemplatePath)};
}

ReportLocations ReportLocations::fromFolders(const std::string& reportFolder,
                                             const std::string& programFolder) {
  return {reportFolder + "reports/", programFolder + "resources/lmtemplate.html",
          programFolder + "resources/lmdatatemplate.txt"};
}

std::string folderName(const std::string& name) {
  if (name == "." || name == "..") return "_" + name;
  // A longer name (from a card or a session file) would make every file of the session fail.
  std::string out = cutText(name, kMostNameBytes);
  if (out.empty()) return "_";
  for (char& c : out) {
    if (c == '/' || static_cast<unsigned char>(c) < 32) c = '_';
  }
  return out;
}

std::string fileBaseOf(const std::string& startDate, const std::string& startTime) {
  // "%m/%d/%Y" and "%H:%M:%S".
  const bool dateOk = startDate.size() == 10 && allDigits(startDate, 0, 2) && startDate[2] == '/' &&
                      allDigits(startDate, 3, 2) && startDate[5] == '/' &&
                      allDigits(startDate, 6, 4);
  const bool timeOk = startTime.size() == 8 && allDigits(startTime, 0, 2) && startTime[2] == ':' &&
                      allDigits(startTime, 3, 2) && startTime[5] == ':' &&
                      allDigits(startTime, 6, 2);
  if (!dateOk || !timeOk) return "session";
  return startDate.substr(6, 4) + "-" + startDate.substr(0, 2) + "-" + startDate.substr(3, 2) +
         "_" + startTime.substr(0, 2) + "-" + startTime.substr(3, 2) + "-" + startTime.substr(6, 2);
}

void recoverDataFiles(const std::string& reportDirectory) {
  namespace fs = std::filesystem;
  std::error_code error;
  for (fs::directory_iterator session(reportDirectory, error), end; !error && session != end;
       session.increment(error)) {
    std::error_code inner;
    if (!session->is_directory(inner)) continue;
    const fs::path csv = session->path() / "csv";
    for (fs::directory_iterator file(csv, inner); !inner && file != end; file.increment(inner)) {
      const std::string path = file->path().string();
      const std::string finalPath = temporaryFinalPath(path);
      if (finalPath.empty() || !finalPath.ends_with(".csv")) continue;
      const RecoveredFile recovered = recoverLeftFile(path, finalPath);
      switch (recovered.outcome) {
        case RecoveryOutcome::kCompleted:
          logMessage(kLogInfo, "Completed the loudness data file %s left by an earlier run\n",
                     recovered.path.c_str());
          break;
        case RecoveryOutcome::kFailed:
          logMessage(kLogError, "Could not complete the loudness data file %s\n", path.c_str());
          break;
        case RecoveryOutcome::kEmpty:
        case RecoveryOutcome::kInUse:
          break;
      }
    }
  }
}

FileLoudnessOutput::FileLoudnessOutput(ReportLocations locations,
                                       std::shared_ptr<const std::string> reportTemplate)
    : locations_(std::move(locations)), reportTemplate_(std::move(reportTemplate)) {
  if (!reportTemplate_) {
    std::string text = loadTemplate(locations_.reportTemplatePath);
    if (text.empty()) text = kMissingReportTemplate;
    reportTemplate_ = std::make_shared<const std::string>(std::move(text));
  }
}

FileLoudnessOutput::~FileLoudnessOutput() {
  // A data file cut short by the end of the program still holds whole lines: keep it.
  finishDataFile();
}

void FileLoudnessOutput::beginSession(const SessionRecord& record, const std::string& fileBase) {
  sessionFolder_ = locations_.reportDirectory + folderName(record.sessionName) + "/";
  sessionBase_ = fileBase;
  makeFolder(sessionFolder_ + "html");
  makeFolder(sessionFolder_ + "csv");
}

void FileLoudnessOutput::openDataLog(const SessionRecord& record, const std::string& fileBase) {
  if (logOpen_)
    finishDataFile();  // the next hour of the same session
  else
    beginSession(record, fileBase);
  logOpen_ = true;
  dataBase_ = fileBase;
}

void FileLoudnessOutput::closeDataLog(const SessionRecord& record) {
  (void)record;
  finishDataFile();
  logOpen_ = false;
}

bool FileLoudnessOutput::startDataFile(const std::string& fileBase) {
  dataFailed_ = false;
  const std::string path = sessionFolder_ + "csv/" + fileBase + ".csv";
  std::string header;
  if (context_) {
    const std::string data = loadTemplate(locations_.dataTemplatePath);
    const std::string section = applyChannelRule(templateSection(data, "lmheader"), false);
    header = section.empty()
                 ? std::string(kMissingDataHeader)
                 : substitute(section, reportPlaceholders(reportSessionOf(*context_, false),
                                                          "../../", TextEscape::kPlain));
  } else {
    header = kMissingDataHeader;
  }
  if (dataFile_.open(path) && dataFile_.write(header)) return true;
  dataFile_.discard();
  dataFailed_ = true;
  logMessage(kLogError, "Could not write the loudness data file %s\n", path.c_str());
  return false;
}

void FileLoudnessOutput::writeDataLines(const SessionRecord& record, const std::string& fileBase,
                                        const std::deque<std::string>& lines) {
  if (!logOpen_) openDataLog(record, fileBase);
  if (fileBase != dataBase_) {
    finishDataFile();
    dataBase_ = fileBase;
  }
  if (!dataFile_.isOpen() && (dataFailed_ || !startDataFile(fileBase))) return;
  for (const std::string& line : lines)
    dataFile_.write(line);
  if (!dataFile_.flush()) {
    // What did reach the file would be cut short: nothing is left to pass for a data file.
    dataFile_.discard();
    dataFailed_ = true;
    logMessage(kLogError, "Could not write the loudness data file %s\n",
               (sessionFolder_ + "csv/" + fileBase + ".csv").c_str());
  }
}

void FileLoudnessOutput::finishDataFile() {
  dataFailed_ = false;
  if (!dataFile_.isOpen()) return;
  if (!dataFile_.commit())
    logMessage(kLogError, "Could not write the loudness data file %s\n",
               (sessionFolder_ + "csv/" + dataBase_ + ".csv").c_str());
}

std::unique_ptr<ReportJob> FileLoudnessOutput::createReportJob(const LoudnessContext& context) {
  const SessionRecord& record = context.record();
  finishDataFile();
  logOpen_ = false;
  if (sessionFolder_.empty() || sessionBase_.empty())
    beginSession(record, fileBaseOf(record.startDate, record.startTime));
  else
    makeFolder(sessionFolder_ + "html");
  return std::make_unique<HtmlReportJob>(reportTemplate_, reportSessionOf(context),
                                         sessionFolder_ + "html/" + sessionBase_ + ".html", false);
}

}  // namespace qelm
