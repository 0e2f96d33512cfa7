#pragma once

// A fuzz input written to a file for readers that take a path, removed however the run ends.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace qelm::fuzz {

class ScratchFile {
 public:
  /// Writes `size` bytes to a new file named after `prefix`; `path()` is empty when that failed.
  ScratchFile(const uint8_t* data, size_t size, const char* prefix) {
    // Memory-backed when available: some readers sync what they write, which is slow on a disk.
    std::error_code error;
    const std::filesystem::path folder = std::filesystem::is_directory("/dev/shm", error)
                                             ? std::filesystem::path("/dev/shm")
                                             : std::filesystem::temp_directory_path();
    std::string pattern = (folder / (std::string(prefix) + "-XXXXXX")).string();
    const int fd = mkstemp(pattern.data());
    if (fd < 0) return;
    path_ = pattern;
    size_t done = 0;
    while (done < size) {
      const ssize_t n = write(fd, data + done, size - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    close(fd);
  }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;
  /// Removes the file, or whatever was saved over it under the same name.
  ~ScratchFile() {
    if (!path_.empty()) unlink(path_.c_str());
  }
  const std::string& path() const { return path_; }
  /// Whether a reader's refusal of this file reads as the owner-only files' refusals do: it
  /// starts with the quoted path and carries only printable ASCII (no byte of the file).
  bool isRefusal(const std::string& error) const {
    if (error.rfind("\"" + path_ + "\"", 0) != 0) return false;
    for (const char c : error)
      if (c < 0x20 || c >= 0x7f) return false;
    return true;
  }

 private:
  std::string path_;
};

}  // namespace qelm::fuzz
