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

/// Receives one finished debugger line ("<ms>: <text>\n"); empty = no debugger output.
using DebuggerSink = std::function<void(std::string_view line)>;

/// printf-style formatting into a string of exactly the needed size; empty on a format error.
std::string formatText(const char* format, va_list args);

/// Drops every trailing CR and LF.
void trimLineEnds(std::string& text);

/// The debugger line: `elapsedMs` in decimal, ": ", `text`, one LF.
std::string formatDebuggerLine(uint32_t elapsedMs, std::string_view text);

/// A bounded, numbered message log. The process has one (see processLog); tests make their own.
class MessageLog {
 public:
  /// `clock` must outlive the log; it supplies the debugger time base in milliseconds.
  MessageLog(platform::Clock& clock, DebuggerSink sink);
  MessageLog(const MessageLog&) = delete;
  MessageLog& operator=(const MessageLog&) = delete;

  /// Filters by level, formats, trims, feeds the debugger sink and appends.
  void emit(int level, const char* format, va_list args);
  /// Variadic form of emit.
  void emitf(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));
  /// Number of the next message; wraps to negative only after 2^31 messages.
  int32_t count() const { return count_.load(std::memory_order_acquire); }
  /// Text of message `number`, or empty when not (or no longer) held.
  std::string text(int32_t number) const;

 private:
  void append(std::string text);

  platform::Clock& clock_;
  DebuggerSink sink_;
  // Time base of the debugger output, captured on the first emitted message.
  std::once_flag baseOnce_;
  uint32_t baseTick_ = 0;

  mutable std::mutex mutex_;
  std::atomic<int32_t> count_{0};
  std::deque<std::pair<int32_t, std::string>> entries_;
};

/// The process-wide log, created on first use; debugger lines go to standard error when
/// QELM_DEBUG_OUTPUT is set to a non-empty value other than "0".
MessageLog& processLog();

}  // namespace qelm::detail
