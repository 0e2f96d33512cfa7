#include "core/log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
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

JournalPriority journalPriority(int level, std::string_view text) {
  constexpr std::string_view kWarningWord = "warning";
  const bool warning =
      text.size() >= kWarningWord.size() &&
      std::equal(kWarningWord.begin(), kWarningWord.end(), text.begin(), [](char word, char c) {
        return word == std::tolower(static_cast<unsigned char>(c));
      });
  if ((level & kLogError & ~kLogInfo) != 0) return JournalPriority::kError;
  if (warning || (level & kLogWarning & ~kLogInfo) != 0) return JournalPriority::kWarning;
  if ((level & kLogLoudness) != 0) return JournalPriority::kError;
  return JournalPriority::kInfo;
}

std::string formatJournalLines(JournalPriority priority, std::string_view text) {
  const std::string prefix = "<" + std::to_string(static_cast<int>(priority)) + ">";
  std::string lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;
    lines += prefix;
    lines += line;
    lines += '\n';
  }
  return lines;
}

bool isJournalStream(const char* journalStream, uint64_t device, uint64_t inode) {
  if (journalStream == nullptr) return false;
  const char* const end = journalStream + std::strlen(journalStream);
  uint64_t streamDevice = 0;
  uint64_t streamInode = 0;
  const auto [colon, deviceError] = std::from_chars(journalStream, end, streamDevice);
  if (deviceError != std::errc() || colon == end || *colon != ':') return false;
  const auto [last, inodeError] = std::from_chars(colon + 1, end, streamInode);
  if (inodeError != std::errc() || last != end) return false;
  return streamDevice == device && streamInode == inode;
}

MessageLog::MessageLog(platform::Clock& clock, LineSink sink)
    : clock_(clock), sink_(std::move(sink)) {}

void MessageLog::writeJournalTo(LineSink sink) {
  std::lock_guard<std::mutex> lock(mutex_);
  sink_ = std::move(sink);
  journal_ = true;
}

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
  const uint32_t elapsedMs = platform::elapsedMs(clock_.tick(), baseTick_);

  std::lock_guard<std::mutex> lock(mutex_);
  if (sink_) {
    sink_(journal_ ? formatJournalLines(journalPriority(level, text), text)
                   : formatDebuggerLine(elapsedMs, text));
  }
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

void writeToStandardError(std::string_view lines) {
  std::fwrite(lines.data(), 1, lines.size(), stderr);
}

}  // namespace

MessageLog& processLog() {
  static MessageLog log(platform::systemClock(),
                        debuggerOutputWanted() ? LineSink(writeToStandardError) : nullptr);
  return log;
}

}  // namespace detail

void logMessage(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  detail::processLog().emit(level, format, args);
  va_end(args);
}

bool logToJournalIfConnected() {
  struct stat status {};
  if (::fstat(STDERR_FILENO, &status) != 0) return false;
  if (!detail::isJournalStream(std::getenv("JOURNAL_STREAM"), status.st_dev, status.st_ino))
    return false;
  detail::processLog().writeJournalTo(detail::writeToStandardError);
  return true;
}

std::string failureLine(bool journal, std::string_view text) {
  if (journal) return detail::formatJournalLines(detail::JournalPriority::kError, text);
  std::string line(text);
  line += '\n';
  return line;
}

int32_t messageCount() {
  return detail::processLog().count();
}

std::string messageText(int32_t number) {
  return detail::processLog().text(number);
}

}  // namespace qelm
