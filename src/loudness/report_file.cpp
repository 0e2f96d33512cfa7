#include "loudness/report_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "platform/descriptor.h"
#include "text/readers.h"

namespace qelm {

namespace {

constexpr std::string_view kTemporarySuffix = ".part";
constexpr size_t kRandomLetters = 6;
constexpr int kMostTemporaryTries = 100;
constexpr size_t kBufferBytes = 64 * 1024;

// Moves `from` to `to` unless `to` exists; errno EEXIST when it does.
bool moveWithoutReplacing(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // File systems without the flag: a hard link fails on an existing name just the same.
  if (::link(from.c_str(), to.c_str()) != 0) return false;
  ::unlink(from.c_str());
  return true;
}

// Makes a rename in the folder of `path` durable; best effort, since the file is already
// complete under its name and only a crash right now could take the name back.
void syncFolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "."
                             : slash == 0               ? "/"
                                                        : path.substr(0, slash);
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

// A name for the temporary file of `finalPath` with `letters` in place of its random part:
// "<final name>.<letters>.part" beside it, or, when that would be longer than a name may be,
// the final name cut short to make room (always in the same folder, so the rename stays
// within one file system).
std::string temporaryPathOf(const std::string& finalPath, std::string_view letters) {
  const size_t slash = finalPath.rfind('/');
  const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  const size_t extra = 1 + letters.size() + kTemporarySuffix.size();
  std::string name = finalPath.substr(nameStart);
  if (name.size() + extra > ReportFile::kMostTemporaryNameBytes)
    name = cutText(name, ReportFile::kMostTemporaryNameBytes - extra);
  return finalPath.substr(0, nameStart) + name + "." + std::string(letters) +
         std::string(kTemporarySuffix);
}

// Creates a new temporary file for `finalPath`; its path goes to `path`. -1 when none can be
// made.
int createTemporary(const std::string& finalPath, std::string& path) {
  static constexpr std::string_view kLetters =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  for (int attempt = 0; attempt < kMostTemporaryTries; ++attempt) {
    std::array<unsigned char, kRandomLetters> random{};
    if (::getrandom(random.data(), random.size(), 0) != static_cast<ssize_t>(random.size()))
      return -1;
    std::string letters;
    for (const unsigned char r : random)
      letters.push_back(kLetters[r % kLetters.size()]);
    path = temporaryPathOf(finalPath, letters);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// Moves the complete file `temporary` to `finalPath`, or to the first free numbered name
// beside it, and makes the name last; the name taken, or empty when none could be.
std::string moveToFreeName(const std::string& temporary, const std::string& finalPath) {
  for (int n = 1; n <= ReportFile::kMostNames; ++n) {
    std::string target = n == 1 ? finalPath : numberedPath(finalPath, n);
    if (moveWithoutReplacing(temporary, target)) {
      syncFolderOf(target);
      return target;
    }
    if (errno != EEXIST) break;
  }
  return {};
}

using platform::Descriptor;

// Size of the whole lines at the start of the file `fd` of `size` bytes: up to its last "\n".
off_t wholeLinesSize(int fd, off_t size) {
  std::array<char, 4096> block{};
  for (off_t end = size; end > 0;) {
    const off_t start =
        end > static_cast<off_t>(block.size()) ? end - static_cast<off_t>(block.size()) : 0;
    const ssize_t got = ::pread(fd, block.data(), static_cast<size_t>(end - start), start);
    if (got != end - start) return -1;
    for (off_t i = end - start; i > 0; --i) {
      if (block[static_cast<size_t>(i - 1)] == '\n') return start + i;
    }
    end = start;
  }
  return 0;
}

}  // namespace

std::string temporaryFinalPath(const std::string& temporaryPath) {
  // "<final name>.XXXXXX.part"
  const size_t suffix = 1 + kRandomLetters + kTemporarySuffix.size();
  const size_t slash = temporaryPath.rfind('/');
  const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  if (temporaryPath.size() < nameStart + suffix + 1 || !temporaryPath.ends_with(kTemporarySuffix) ||
      temporaryPath[temporaryPath.size() - suffix] != '.')
    return {};
  return temporaryPath.substr(0, temporaryPath.size() - suffix);
}

RecoveredFile recoverLeftFile(const std::string& temporaryPath, const std::string& finalPath) {
  Descriptor fd(::open(temporaryPath.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  struct stat info {};
  if (fd.get() < 0 || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode))
    return {RecoveryOutcome::kFailed, {}};
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0)
    return {errno == EWOULDBLOCK ? RecoveryOutcome::kInUse : RecoveryOutcome::kFailed, {}};
  const off_t whole = wholeLinesSize(fd.get(), info.st_size);
  if (whole < 0) return {RecoveryOutcome::kFailed, {}};
  if (whole == 0) {
    ::unlink(temporaryPath.c_str());
    return {RecoveryOutcome::kEmpty, {}};
  }
  if ((whole != info.st_size && ::ftruncate(fd.get(), whole) != 0) || ::fsync(fd.get()) != 0)
    return {RecoveryOutcome::kFailed, {}};
  std::string name = moveToFreeName(temporaryPath, finalPath);
  if (name.empty()) return {RecoveryOutcome::kFailed, {}};
  return {RecoveryOutcome::kCompleted, std::move(name)};
}

std::string numberedPath(const std::string& path, int number) {
  const size_t slash = path.rfind('/');
  const size_t dot = path.rfind('.');
  const size_t cut = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1)
                         ? dot
                         : path.size();
  return path.substr(0, cut) + "-" + std::to_string(number) + path.substr(cut);
}

ReportFile::~ReportFile() {
  discard();
}

bool ReportFile::open(const std::string& finalPath) {
  discard();
  failed_ = false;
  committedPath_.clear();
  finalPath_ = finalPath;
  std::string path;
  const int fd = createTemporary(finalPath, path);
  if (fd < 0) return false;
  ::fchmod(fd, kPermissions);
  // Held while the file is written: a start-up that looks for files left by a crash leaves
  // alone those that another running engine is still writing.
  ::flock(fd, LOCK_EX | LOCK_NB);
  temporaryPath_ = std::move(path);
  file_.reset(::fdopen(fd, "wb"));
  if (!file_) {
    ::close(fd);
    ::unlink(temporaryPath_.c_str());
    temporaryPath_.clear();
    return false;
  }
  std::setvbuf(file_.get(), nullptr, _IOFBF, kBufferBytes);
  return true;
}

bool ReportFile::write(std::string_view text) {
  if (!file_ || failed_) return false;
  if (!text.empty() && std::fwrite(text.data(), 1, text.size(), file_.get()) != text.size())
    failed_ = true;
  return !failed_;
}

bool ReportFile::flush() {
  if (!file_ || failed_) return false;
  if (std::fflush(file_.get()) != 0) failed_ = true;
  return !failed_;
}

bool ReportFile::commit() {
  if (!file_) return false;
  // The content reaches the disk before the file takes its name: after a crash the name never
  // shows an empty or cut report.
  bool ok = !failed_ && std::fflush(file_.get()) == 0 && !std::ferror(file_.get()) &&
            ::fsync(fileno(file_.get())) == 0;
  ok = std::fclose(file_.release()) == 0 && ok;
  if (ok) committedPath_ = moveToFreeName(temporaryPath_, finalPath_);
  if (committedPath_.empty()) ::unlink(temporaryPath_.c_str());
  temporaryPath_.clear();
  return !committedPath_.empty();
}

void ReportFile::discard() {
  if (file_) file_.reset();
  if (!temporaryPath_.empty()) {
    ::unlink(temporaryPath_.c_str());
    temporaryPath_.clear();
  }
}

}  // namespace qelm
