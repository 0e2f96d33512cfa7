#include "config/binary_config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qelm {
namespace {

/// Owns one file descriptor; -1 = none.
class FileHandle {
 public:
  explicit FileHandle(int fd) : fd_(fd) {}
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  ~FileHandle() { close(); }

  int get() const { return fd_; }
  /// False when the close reported an error (a write that failed late).
  bool close() {
    if (fd_ < 0) return true;
    const int result = ::close(fd_);
    fd_ = -1;
    return result == 0;
  }

 private:
  int fd_;
};

bool writeAll(int fd, const uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

}  // namespace

bool isBinaryConfigHeader(const uint8_t* header, std::size_t size) {
  return size >= kBinaryConfigHeaderSize &&
         std::memcmp(header, kBinaryConfigMagic.data(), kBinaryConfigMagic.size()) == 0;
}

std::string writeBinaryConfig(const std::string& path, const std::vector<uint8_t>& recording) {
  if (recording.empty()) return {};
  const std::string quoted = "\"" + path + "\"";
  FileHandle file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (file.get() < 0) return "Could not open binary file " + quoted + " for writing.";
  // Only a regular file is removed after a failed write: the path may name a device or a pipe
  // that must survive.
  struct stat info {};
  const bool regular = ::fstat(file.get(), &info) == 0 && S_ISREG(info.st_mode);
  auto discard = [&](const char* what) {
    file.close();
    if (regular) ::unlink(path.c_str());
    return std::string(what) + quoted + ".";
  };

  std::array<uint8_t, kBinaryConfigHeaderSize> header{};
  std::memcpy(header.data(), kBinaryConfigMagic.data(), kBinaryConfigMagic.size());
  if (!writeAll(file.get(), header.data(), header.size()))
    return discard("Error writing header to binary file ");
  if (!writeAll(file.get(), recording.data(), recording.size()) || !file.close())
    return discard("Error writing data to binary file ");
  return {};
}

}  // namespace qelm
