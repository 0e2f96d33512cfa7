#pragma once

#include <memory>
#include <string>

#include "loudness/session_file.h"

namespace qelm {

class LoudnessMonitor;

/// The window's Save Session and Load Session as the loudness pages reach them.
class SessionFiles {
 public:
  virtual ~SessionFiles() = default;
  /// "OK" or the failure text.
  virtual std::string load(LoudnessMonitor& monitor, const std::string& path) = 0;
  virtual std::string save(LoudnessMonitor& monitor, const std::string& path) = 0;
};

/// The window's Save Session and Load Session for a loudness page: the session file, and on a
/// save the session's HTML report and data lines beside it. Engine thread only.
class SessionRequests final : public SessionFiles, private SessionReports {
 public:
  /// `reportTemplatePath` is the HTML report template, read once now; `dataTemplatePath` the
  /// data file header template, read at every save (empty: "lmdatatemplate.txt" in the report
  /// template's folder, where the installation puts both).
  explicit SessionRequests(const std::string& reportTemplatePath,
                           std::string dataTemplatePath = {});

  std::string load(LoudnessMonitor& monitor, const std::string& path) override;
  std::string save(LoudnessMonitor& monitor, const std::string& path) override;

 private:
  void write(const LoudnessContext& context, const std::string& htmlPath,
             const std::string& csvPath) override;

  std::shared_ptr<const std::string> reportTemplate_;
  std::string dataTemplatePath_;
};

}  // namespace qelm
