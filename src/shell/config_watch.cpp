#include "shell/config_watch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

namespace qelm {

int64_t lastWriteTime(const std::string& path) {
  // Without O_NONBLOCK a pipe in the file's place would stall the window at the open.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return 0;
  struct stat info {};
  const bool known = ::fstat(fd, &info) == 0;
  ::close(fd);
  if (!known) return 0;
  return static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
}

ConfigWatch::ConfigWatch(std::string path)
    : path_(std::move(path)), recorded_(lastWriteTime(path_)) {}

bool ConfigWatch::takeChange() {
  const int64_t now = lastWriteTime(path_);
  if (now == recorded_) return false;
  recorded_ = now;
  return true;
}

}  // namespace qelm
