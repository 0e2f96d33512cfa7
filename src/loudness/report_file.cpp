#include "loudness/report_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace qelm {

namespace {

constexpr const char* kTemporarySuffix = ".XXXXXX.part";
constexpr int kSuffixLength = 5;  // ".part", after the six random characters
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

}  // namespace

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
  std::vector<char> name(finalPath.begin(), finalPath.end());
  name.insert(name.end(), kTemporarySuffix,
              kTemporarySuffix + std::char_traits<char>::length(kTemporarySuffix));
  name.push_back('\0');
  const int fd = ::mkostemps(name.data(), kSuffixLength, O_CLOEXEC);
  if (fd < 0) return false;
  // mkstemp makes the file private; a report is for everyone who may read the folder.
  ::fchmod(fd, 0644);
  temporaryPath_ = name.data();
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
  if (ok) {
    for (int n = 1; n <= kMostNames; ++n) {
      const std::string target = n == 1 ? finalPath_ : numberedPath(finalPath_, n);
      if (moveWithoutReplacing(temporaryPath_, target)) {
        syncFolderOf(target);
        committedPath_ = target;
        temporaryPath_.clear();
        return true;
      }
      if (errno != EEXIST) break;
    }
  }
  ::unlink(temporaryPath_.c_str());
  temporaryPath_.clear();
  return false;
}

void ReportFile::abandon() {
  file_.reset();
  temporaryPath_.clear();
}

void ReportFile::discard() {
  if (file_) file_.reset();
  if (!temporaryPath_.empty()) {
    ::unlink(temporaryPath_.c_str());
    temporaryPath_.clear();
  }
}

}  // namespace qelm
