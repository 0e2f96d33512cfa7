#pragma once

// The log's machinery, visible to its own tests so that numbering, eviction and the debugger line
// can be checked on a private instance with a manual clock. No other module includes this.

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

#include "core/log.h"
#include "platform/clock.h"

namespace qelm::detail {

/// Most messages kept; older ones are dropped from the front.
inline constexpr std::size_t kMaxLogEntries = static_cast<std::size_t>(kLogCapacity);

/// Receives one message's finished output lines, each ending with LF; empty = no output.
using LineSink = std::function<void(std::string_view lines)>;

/// Syslog priorities that prefix journal lines ("<6>Running."), as systemd reads them from a
/// service's standard error.
enum class JournalPriority : int { kError = 3, kWarning = 4, kInfo = 6 };

/// printf-style formatting into a string of exactly the needed size; empty on a format error.
std::string formatText(const char* format, va_list args);

/// Drops every trailing CR and LF.
void trimLineEnds(std::string& text);

/// The debugger line: `elapsedMs` in decimal, ": ", `text`, one LF.
std::string formatDebuggerLine(uint32_t elapsedMs, std::string_view text);

/// The priority of a kept message: its level's error or warning bit when set; else a text starting
/// with "warning" (any case) is a warning, loudness-monitoring messages (kLogLoudness) are its
/// errors and the rest information.
JournalPriority journalPriority(int level, std::string_view text);

/// One journal line per line of `text` (LF or CR LF separated, empty lines left out), each
/// "<N>" + line + LF, so that every line of a multi-line message keeps the priority.
std::string formatJournalLines(JournalPriority priority, std::string_view text);

/// True when `journalStream` (the JOURNAL_STREAM variable, "DEVICE:INODE" in decimal; null when
/// unset) names the file with `device` and `inode`: systemd connected that stream to the journal.
bool isJournalStream(const char* journalStream, uint64_t device, uint64_t inode);

/// A bounded, numbered message log. The process has one (see processLog); tests make their own.
class MessageLog {
 public:
  /// `clock` must outlive the log; it supplies the debugger time base in milliseconds.
  MessageLog(platform::Clock& clock, LineSink sink);
  MessageLog(const MessageLog&) = delete;
  MessageLog& operator=(const MessageLog&) = delete;

  /// From now on the sink is `sink` and receives journal lines instead of debugger lines.
  void writeJournalTo(LineSink sink);
  /// Filters by level, formats, trims, feeds the sink and appends.
  void emit(int level, const char* format, va_list args);
  /// Variadic form of emit.
  void emitf(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));
  /// Number of the next message; wraps to negative only after 2^31 messages.
  int32_t count() const { return count_.load(std::memory_order_acquire); }
  /// Text of message `number`, or empty when not (or no longer) held.
  std::string text(int32_t number) const;

 private:
  platform::Clock& clock_;
  // Time base of the debugger output, captured on the first emitted message.
  std::once_flag baseOnce_;
  uint32_t baseTick_ = 0;

  // Guards the sink too: it may change while other threads log, and its lines come out in the
  // order of the messages' numbers.
  mutable std::mutex mutex_;
  LineSink sink_;
  bool journal_ = false;
  std::atomic<int32_t> count_{0};
  std::deque<std::pair<int32_t, std::string>> entries_;
};

/// The process-wide log, created on first use; debugger lines go to standard error when
/// QELM_DEBUG_OUTPUT is set to a non-empty value other than "0" (until logToJournalIfConnected
/// switches to journal lines).
MessageLog& processLog();

}  // namespace qelm::detail
