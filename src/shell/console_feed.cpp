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
