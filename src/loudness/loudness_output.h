#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>

namespace qelm {

class LoudnessContext;
struct SessionRecord;

/// One report being written a step at a time from the monitor's poll.
class ReportJob {
 public:
  virtual ~ReportJob() = default;
  /// Performs one step; false once the job is finished.
  virtual bool step() = 0;
  /// Percent done, 0..100.
  virtual int32_t progress() const = 0;
  /// The session was terminated: the job keeps running but names no session.
  virtual void forgetSessionName() {}
};

/// Where a session's files go: the data file of the queued data lines and the report made when
/// a session stops. The default writes nothing.
class LoudnessOutput {
 public:
  virtual ~LoudnessOutput() = default;
  /// The context this output serves; called once by the context that owns it.
  virtual void attach(const LoudnessContext& context) { (void)context; }
  /// A data log opens for `record` (start, or a new hour); `fileBase` is the local time as
  /// "%Y-%m-%d_%H-%M-%S" and names its files.
  virtual void openDataLog(const SessionRecord& record, const std::string& fileBase) {
    (void)record;
    (void)fileBase;
  }
  /// Writes `lines` (each ending in "\n") to the data file named by `fileBase`.
  virtual void writeDataLines(const SessionRecord& record, const std::string& fileBase,
                              const std::deque<std::string>& lines) {
    (void)record;
    (void)fileBase;
    (void)lines;
  }
  /// The session's data log ends (stop or terminate): its last file is complete.
  virtual void closeDataLog(const SessionRecord& record) { (void)record; }
  /// The report job of a session that just stopped; null when there is nothing to write.
  virtual std::unique_ptr<ReportJob> createReportJob(const LoudnessContext& context) {
    (void)context;
    return nullptr;
  }
};

}  // namespace qelm
