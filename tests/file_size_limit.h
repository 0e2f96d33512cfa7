#pragma once

// A disk that takes only so many bytes per file, for the tests of writers that must notice a
// full disk: past the limit writes fail with EFBIG (SIGXFSZ is ignored meanwhile), as they fail
// with ENOSPC on a full disk.

#include <sys/resource.h>

#include <csignal>

namespace qelm::testing {

/// Limits every file this process writes to `bytes` while it lives.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    previous_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = saved_;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, previous_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit saved_{};
  void (*previous_)(int) = SIG_DFL;
};

}  // namespace qelm::testing
