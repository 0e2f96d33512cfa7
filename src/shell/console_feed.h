#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qelm {

/// Takes the log's messages in order for the console, a bounded number at a time, skipping any
/// that were dropped from the log before they could be taken.
class ConsoleFeed {
 public:
  /// Most messages the console takes in one timer tick.
  static constexpr int kPerTick = 101;

  /// The messages from the last one taken up to the log's count, at most `limit`, as
  /// (number, text) pairs in number order.
  std::vector<std::pair<int32_t, std::string>> take(int limit = kPerTick);
  /// Number of the next message to take.
  int32_t next() const { return next_; }

 private:
  int32_t next_ = 0;  // the log numbers its messages from 0
};

/// What a console line is to an operator.
enum class ConsoleLineKind : int32_t {
  kNormal = 0,      ///< progress and notices
  kWarning = 1,     ///< something failed or needs attention: shown in colour
  kDiagnostic = 2,  ///< font sizing and timing: shown only with "All messages"
};

/// The kind of the log message `text`.
ConsoleLineKind consoleLineKind(std::string_view text);

/// `when` in local time as "%m/%d/%y %H:%M:%S", the console's and the system log's time stamp.
std::string localTimeText(std::time_t when);

/// The system log file "sys.log" of the report folder, appended to only when it already exists:
/// creating an empty sys.log is how a user asks for one. Write errors are not reported.
class SystemLogFile {
 public:
  /// Opens `path` for appending without creating it.
  explicit SystemLogFile(const std::string& path);
  ~SystemLogFile();
  SystemLogFile(const SystemLogFile&) = delete;
  SystemLogFile& operator=(const SystemLogFile&) = delete;

  bool isOpen() const { return fd_ >= 0; }
  /// Appends "%i %s %s\n": the message number, the local time text and the message.
  void write(int32_t number, const std::string& time, const std::string& text);

 private:
  int fd_ = -1;
};

}  // namespace qelm
