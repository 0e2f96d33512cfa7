#pragma once

#include <cstdint>
#include <string>

namespace qelm {

/// Last-write time of `path` in nanoseconds since the epoch; 0 when it cannot be opened.
int64_t lastWriteTime(const std::string& path);

/// Notices that the configuration file was written since it was last looked at.
class ConfigWatch {
 public:
  /// Records the file's current last-write time.
  explicit ConfigWatch(std::string path);

  /// True once for each new last-write time: records it, so the same change is not reported
  /// again whatever the answer to it was. A file that appears later counts as a change.
  bool takeChange();
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  int64_t recorded_;
};

}  // namespace qelm
