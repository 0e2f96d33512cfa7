#include "remote/owner_file.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/descriptor.h"
#include "remote/credentials.h"

namespace qelm::remote {

namespace {

using platform::Descriptor;

// Writes all of `text` to `fd`; 0, or the errno of the failure.
int writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return ENOSPC;
    text.remove_prefix(static_cast<size_t>(n));
  }
  return 0;
}

// The folder of `path` with its trailing "/", or "./" for a bare file name.
std::string folderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
}

// A new file beside the target, owner-only from its creation, removed unless it was renamed into
// place.
class TemporaryFile {
 public:
  /// Creates the file; `error()` is non-zero when that failed.
  explicit TemporaryFile(const std::string& target) {
    const size_t slash = target.rfind('/');
    const std::string stem =
        folderOf(target) + "." + target.substr(slash == std::string::npos ? 0 : slash + 1) + "-";
    // A random name, so two writers or a stale file of a crash never collide; a name taken
    // already (O_EXCL) is drawn again.
    for (int attempt = 0; attempt < 8; ++attempt) {
      unsigned char random[8];
      randombytes_buf(random, sizeof random);
      char hex[2 * sizeof random + 1];
      sodium_bin2hex(hex, sizeof hex, random, sizeof random);
      name_ = stem + hex;
      file_.reset(
          ::open(name_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
      if (file_.valid()) {
        error_ = 0;
        // The umask may take bits away but never adds any; the mode is fixed here whatever it is.
        if (::fchmod(file_.get(), 0600) != 0) error_ = errno;
        return;
      }
      error_ = errno;
      if (error_ != EEXIST) break;
    }
    name_.clear();
  }
  ~TemporaryFile() {
    file_.reset();
    if (!name_.empty()) ::unlink(name_.c_str());
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  int error() const { return error_; }
  int fd() const { return file_.get(); }

  /// Syncs and closes the file, then gives it `target`'s name; 0, or the errno of the failure.
  int replace(const std::string& target) {
    // The new file must be on disk before it takes the old one's name.
    if (::fsync(file_.get()) != 0) return errno;
    if (const int closed = file_.close(); closed != 0) return closed;
    if (::rename(name_.c_str(), target.c_str()) != 0) return errno;
    name_.clear();
    // The rename itself should survive a crash as well. Best effort: the file is in place.
    const Descriptor folder{::open(folderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (folder.valid()) ::fsync(folder.get());
    return 0;
  }

 private:
  std::string name_;
  Descriptor file_;
  int error_ = EINVAL;
};

}  // namespace

std::string readOwnerFile(const std::string& path, size_t mostBytes, std::string& text,
                          bool& missing) {
  missing = false;
  // Non-blocking, so a FIFO put in the file's place cannot hold the caller.
  const Descriptor file{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)};
  if (!file.valid()) {
    missing = errno == ENOENT;
    return missing ? std::string() : std::strerror(errno);
  }
  struct stat info {};
  if (::fstat(file.get(), &info) != 0) return std::strerror(errno);
  if (!S_ISREG(info.st_mode)) return "not a regular file";
  const std::string tooLarge = "larger than " + std::to_string(mostBytes / 1024) + " KiB";
  if (info.st_size > static_cast<off_t>(mostBytes)) return tooLarge;
  // One byte more than allowed shows a file that grew since it was measured.
  text.assign(mostBytes + 1, '\0');
  size_t got = 0;
  while (got < text.size()) {
    const ssize_t n = ::read(file.get(), text.data() + got, text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::strerror(errno);
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  if (got > mostBytes) return tooLarge;
  text.resize(got);
  return {};
}

int writeOwnerFile(const std::string& path, std::string_view text) {
  if (!sodiumReady()) return EAGAIN;
  TemporaryFile file(path);
  if (file.error() != 0) return file.error();
  if (const int error = writeAll(file.fd(), text); error != 0) return error;
  return file.replace(path);
}

}  // namespace qelm::remote
