#include "core/boot_env.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace qelm {
namespace {

constexpr std::size_t kCrcSize = 4;
constexpr std::size_t kEntryAreaSize = kBootEnvImageSize - kCrcSize;
// A name clash on the temporary file is practically impossible; a few retries cover it anyway.
constexpr int kTempNameAttempts = 16;

/// Owns one file descriptor; -1 = none.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  /// Closes now; false when the close reported an error (e.g. delayed write failure).
  bool close() {
    if (fd_ < 0) return true;
    const int result = ::close(fd_);
    fd_ = -1;
    return result == 0;
  }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

/// A freshly created file beside the target that is removed again unless committed.
class TempFile {
 public:
  explicit TempFile(const std::string& target) {
    for (int attempt = 0; attempt < kTempNameAttempts && !fd_; ++attempt) {
      name_ = target + ".tmp-" + randomSuffix(attempt);
      // Mode 0666 so the process umask decides, as for any file the program creates.
      fd_.reset(::open(name_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
      if (!fd_ && errno != EEXIST) break;
    }
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() {
    const bool created = static_cast<bool>(fd_) || closed_;
    fd_.reset();
    if (created && !committed_) ::unlink(name_.c_str());
  }

  explicit operator bool() const { return static_cast<bool>(fd_); }
  int fd() const { return fd_.get(); }
  const std::string& name() const { return name_; }
  bool close() {
    closed_ = true;
    return fd_.close();
  }
  /// The file now lives under another name; nothing to remove.
  void commit() { committed_ = true; }

 private:
  static std::string randomSuffix(int attempt) {
    uint64_t bits = 0;
    if (::getrandom(&bits, sizeof bits, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bits)) {
      // No entropy yet (early boot): the process id and attempt still separate writers.
      bits = (static_cast<uint64_t>(::getpid()) << 16) ^ static_cast<uint64_t>(attempt);
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(bits));
    return text;
  }

  std::string name_;
  UniqueFd fd_;
  bool closed_ = false;
  bool committed_ = false;
};

uint32_t crcOf(const uint8_t* data, std::size_t size) {
  uLong crc = crc32(0L, Z_NULL, 0);
  return static_cast<uint32_t>(crc32(crc, data, static_cast<uInt>(size)));
}

bool writeAll(int fd, const uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

std::string folderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Makes the rename itself durable. Best effort: without it a crash may bring back the old image,
// which is still a whole one.
void syncFolder(const std::string& folder) {
  UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir) ::fsync(dir.get());
}

// Reads "name=value\0" texts until an empty text, a text without "=", or the end of the data; a
// last text without its zero byte is not an entry that save could have written and is ignored.
void parseEntries(const uint8_t* data, std::size_t size, StandardFileBootEnv::Entries& entries) {
  std::size_t pos = 0;
  while (pos < size) {
    const void* zero = std::memchr(data + pos, 0, size - pos);
    if (zero == nullptr) break;
    const std::size_t end = static_cast<std::size_t>(static_cast<const uint8_t*>(zero) - data);
    const std::string_view text(reinterpret_cast<const char*>(data + pos), end - pos);
    const std::size_t equals = text.find('=');
    if (text.empty() || equals == std::string_view::npos) break;
    // try_emplace keeps the first value of a repeated name.
    entries.try_emplace(std::string(text.substr(0, equals)), text.substr(equals + 1));
    pos = end + 1;
  }
}

std::vector<uint8_t> buildImage(const StandardFileBootEnv::Entries& entries) {
  std::vector<uint8_t> image(kBootEnvImageSize, 0);
  std::size_t pos = kCrcSize;
  for (const auto& [name, value] : entries) {
    const std::size_t room = kBootEnvImageSize - pos;
    // Checked against the room left, not the whole entry area, so the sum of entries can never
    // run past the image; this entry and all later ones are left out.
    if (name.size() >= room || value.size() + 2 > room - name.size()) break;
    std::memcpy(image.data() + pos, name.data(), name.size());
    pos += name.size();
    image[pos++] = '=';
    std::memcpy(image.data() + pos, value.data(), value.size());
    pos += value.size();
    image[pos++] = 0;
  }
  const uint32_t crc = crcOf(image.data() + kCrcSize, kEntryAreaSize);
  image[0] = static_cast<uint8_t>(crc >> 24);
  image[1] = static_cast<uint8_t>(crc >> 16);
  image[2] = static_cast<uint8_t>(crc >> 8);
  image[3] = static_cast<uint8_t>(crc);
  return image;
}

}  // namespace

bool StandardFileBootEnv::load() {
  entries_.clear();
  // Non-blocking so a FIFO in place of the file cannot stall the engine; regular files ignore it.
  UniqueFd fd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd) return false;
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return false;

  // One byte more than an image tells an oversized file apart without reading all of it.
  std::vector<uint8_t> buffer(kBootEnvImageSize + 1);
  std::size_t got = 0;
  while (got < buffer.size()) {
    const ssize_t n = ::read(fd.get(), buffer.data() + got, buffer.size() - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  fd.close();

  // Too short to hold a CRC, or longer than save ever writes: damaged, as a CRC mismatch is.
  if (got < kCrcSize || got > kBootEnvImageSize) return true;
  buffer.resize(got);
  buffer.shrink_to_fit();

  const uint32_t stored =
      (static_cast<uint32_t>(buffer[0]) << 24) | (static_cast<uint32_t>(buffer[1]) << 16) |
      (static_cast<uint32_t>(buffer[2]) << 8) | static_cast<uint32_t>(buffer[3]);
  if (crcOf(buffer.data() + kCrcSize, got - kCrcSize) != stored) return true;

  parseEntries(buffer.data() + kCrcSize, got - kCrcSize, entries_);
  return true;
}

bool StandardFileBootEnv::save() {
  const std::vector<uint8_t> image = buildImage(entries_);

  struct stat old {};
  const bool keepMode = ::stat(path_.c_str(), &old) == 0 && S_ISREG(old.st_mode);

  // Never truncate the live file: a crash between truncation and the last write would lose every
  // setting. The new image is made durable under a temporary name and then renamed over it.
  TempFile temp(path_);
  if (!temp) return false;
  if (keepMode) ::fchmod(temp.fd(), old.st_mode & 07777);
  if (!writeAll(temp.fd(), image.data(), image.size())) return false;
  if (::fsync(temp.fd()) != 0) return false;
  if (!temp.close()) return false;
  if (::rename(temp.name().c_str(), path_.c_str()) != 0) return false;
  temp.commit();
  syncFolder(folderOf(path_));
  return true;
}

std::string StandardFileBootEnv::get(std::string_view name) const {
  const auto it = entries_.find(name);
  return it == entries_.end() ? std::string() : it->second;
}

void StandardFileBootEnv::set(std::string_view name, std::string_view value) {
  if (name.find('=') != std::string_view::npos || name.find('\0') != std::string_view::npos ||
      value.find('\0') != std::string_view::npos) {
    return;
  }
  const auto it = entries_.find(name);
  if (it != entries_.end()) entries_.erase(it);
  if (!value.empty()) entries_.emplace(std::string(name), std::string(value));
}

}  // namespace qelm
