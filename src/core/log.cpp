#include "core/log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/log_internal.h"

namespace qelm {
namespace detail {

std::string formatText(const char* format, va_list args) {
  if (format == nullptr) return {};
  // Measure first, then format, so no message is ever cut at an arbitrary buffer size.
  va_list measure;
  va_copy(measure, args);
  const int needed = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (needed <= 0) return {};
  std::string text(static_cast<std::size_t>(needed), '\0');
  va_list fill;
  va_copy(fill, args);
  const int written = std::vsnprintf(text.data(), text.size() + 1, format, fill);
  va_end(fill);
  if (written != needed) return {};
  return text;
}

void trimLineEnds(std::string& text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
    text.pop_back();
}

std::string formatDebuggerLine(uint32_t elapsedMs, std::string_view text) {
  std::string line = std::to_string(elapsedMs);
  line.reserve(line.size() + text.size() + 3);
  line += ": ";
  line += text;
  line += '\n';
  return line;
}

MessageLog::MessageLog(platform::Clock& clock, DebuggerSink sink)
    : clock_(clock), sink_(std::move(sink)) {}

void MessageLog::emitf(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  emit(level, format, args);
  va_end(args);
}

void MessageLog::emit(int level, const char* format, va_list args) {
  if ((level & (kLogInfo | kLogLoudness)) == 0) return;
  std::string text = formatText(format, args);
  trimLineEnds(text);
  if (text.empty()) return;

  std::call_once(baseOnce_, [this] { baseTick_ = clock_.tick(); });
  if (sink_) sink_(formatDebuggerLine(platform::elapsedMs(clock_.tick(), baseTick_), text));

  append(std::move(text));
}

void MessageLog::append(std::string text) {
  std::lock_guard<std::mutex> lock(mutex_);
  const int32_t number = count_.load(std::memory_order_relaxed);
  entries_.emplace_back(number, std::move(text));
  // Unsigned step: after 2^31 messages the numbering wraps instead of overflowing.
  count_.store(static_cast<int32_t>(static_cast<uint32_t>(number) + 1u), std::memory_order_release);
  while (entries_.size() > kMaxLogEntries)
    entries_.pop_front();
}

std::string MessageLog::text(int32_t number) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (entries_.empty()) return {};
  // Numbers in the log are consecutive, so the position is the distance from the front entry;
  // the unsigned difference also rejects numbers below the front.
  const uint32_t offset =
      static_cast<uint32_t>(number) - static_cast<uint32_t>(entries_.front().first);
  if (offset >= entries_.size()) return {};
  return entries_[offset].second;
}

namespace {

bool debuggerOutputWanted() {
  const char* value = std::getenv("QELM_DEBUG_OUTPUT");
  return value != nullptr && value[0] != '\0' && std::strcmp(value, "0") != 0;
}

void writeToStandardError(std::string_view line) {
  std::fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace

MessageLog& processLog() {
  static MessageLog log(platform::systemClock(),
                        debuggerOutputWanted() ? DebuggerSink(writeToStandardError) : nullptr);
  return log;
}

}  // namespace detail

void logMessage(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  detail::processLog().emit(level, format, args);
  va_end(args);
}

int32_t messageCount() {
  return detail::processLog().count();
}

std::string messageText(int32_t number) {
  return detail::processLog().text(number);
}

}  // namespace qelm
