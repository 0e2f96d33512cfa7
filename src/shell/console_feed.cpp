#include "shell/console_feed.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/log.h"

namespace qelm {

std::vector<std::pair<int32_t, std::string>> ConsoleFeed::take(int limit) {
  std::vector<std::pair<int32_t, std::string>> messages;
  const int32_t count = messageCount();
  // A console that fell more than a full log behind jumps to the oldest message still kept
  // rather than asking for thousands of numbers that can never come back.
  if (count - next_ > kLogCapacity) next_ = count - kLogCapacity;
  while (next_ < count && static_cast<int>(messages.size()) < limit) {
    const int32_t number = next_++;
    // Empty messages are never logged, so an empty text means this one was dropped meanwhile.
    std::string text = messageText(number);
    if (!text.empty()) messages.emplace_back(number, std::move(text));
  }
  return messages;
}

ConsoleLineKind consoleLineKind(std::string_view text) {
  auto startsWith = [&](std::string_view head) { return text.substr(0, head.size()) == head; };
  auto contains = [&](std::string_view word) {
    // Case-blind: the engine writes "WARNING", "Could not" and "could not" alike.
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    for (size_t at = 0; at + word.size() <= text.size(); ++at) {
      size_t i = 0;
      while (i < word.size() && lower(text[at + i]) == word[i])
        ++i;
      if (i == word.size()) return true;
    }
    return false;
  };
  // The font cache tells how each font was sized; the loader how long it took.
  if (startsWith("With Windows cell height of ") || startsWith("Processed configuration in "))
    return ConsoleLineKind::kDiagnostic;
  for (const std::string_view word :
       {"warning", "error", "could not", "cannot", "failed", "problem", "unable", "engine stopped"})
    if (contains(word)) return ConsoleLineKind::kWarning;
  // A configuration error: "at FILE:LINE message".
  if (startsWith("at /")) return ConsoleLineKind::kWarning;
  return ConsoleLineKind::kNormal;
}

std::string localTimeText(std::time_t when) {
  std::tm local{};
  localtime_r(&when, &local);
  char text[64];
  const size_t length = std::strftime(text, sizeof text, "%m/%d/%y %H:%M:%S", &local);
  return std::string(text, length);
}

SystemLogFile::SystemLogFile(const std::string& path)
    : fd_(::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NONBLOCK)) {
  // Only a regular file is a log: a pipe or a device put in its place would stall the window
  // on every line, or at the open itself without O_NONBLOCK.
  struct stat info {};
  if (fd_ >= 0 && (::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode))) {
    ::close(fd_);
    fd_ = -1;
  }
}

SystemLogFile::~SystemLogFile() {
  if (fd_ >= 0) ::close(fd_);
}

void SystemLogFile::write(int32_t number, const std::string& time, const std::string& text) {
  if (fd_ < 0) return;
  const std::string line = std::to_string(number) + ' ' + time + ' ' + text + '\n';
  size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = ::write(fd_, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

}  // namespace qelm
