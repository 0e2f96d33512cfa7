#include "remote/credentials.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/descriptor.h"

namespace qelm::remote {

namespace {

using platform::Descriptor;

// The file as we write it: a comment line, then one "ROLE HASH" line per role that has a
// password. The reader takes blank lines and further "#" comments too, since people edit it.
constexpr std::string_view kHeader =
    "# QELM-9000 remote panel passwords (argon2id); set them with qelm-engine passwd\n";
constexpr std::string_view kHashPrefix = "$argon2id$";
// Longest hash taken, in characters; libsodium's buffer holds the terminating zero as well.
constexpr size_t kMostHashChars = crypto_pwhash_STRBYTES - 1;
// Longest piece of a refused line quoted back in an error.
constexpr size_t kMostQuotedChars = 32;
constexpr Role kRoles[] = {Role::kOperator, Role::kViewer};  // the order check() tries them in

bool sodiumReady() {
  // sodium_init() is thread-safe and may be called again; once is enough.
  static const bool ready = sodium_init() >= 0;
  return ready;
}

size_t slot(Role role) {
  return static_cast<size_t>(role);
}

std::optional<Role> roleNamed(std::string_view name) {
  for (const Role role : kRoles)
    if (roleName(role) == name) return role;
  return std::nullopt;
}

// Characters of libsodium's encoded hash: the "$argon2id$v=19$m=...,t=...,p=...$" fields and
// unpadded base64 of the salt and the hash.
bool isHashChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '/' || c == '$' || c == '=' || c == ',';
}

bool isBlank(char c) {
  return c == ' ' || c == '\t';
}

// `text` for an error message: cut short, anything but printable ASCII shown as '?', so a
// damaged file cannot write control sequences to the terminal.
std::string quoted(std::string_view text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size() && i < kMostQuotedChars; ++i)
    out += text[i] >= 0x20 && text[i] < 0x7f ? text[i] : '?';
  if (text.size() > kMostQuotedChars) out += "...";
  return out + "\"";
}

// Reads one "ROLE HASH" line into `hashes`; empty, or why the line is refused.
std::string readLine(std::string_view line, std::optional<std::string> (&hashes)[2]) {
  size_t at = 0;
  while (at < line.size() && !isBlank(line[at]))
    ++at;
  const std::string_view name = line.substr(0, at);
  while (at < line.size() && isBlank(line[at]))
    ++at;
  size_t end = at;
  while (end < line.size() && !isBlank(line[end]))
    ++end;
  const std::string_view hash = line.substr(at, end - at);
  while (end < line.size() && isBlank(line[end]))
    ++end;

  const std::optional<Role> role = roleNamed(name);
  if (!role) return "unknown role " + quoted(name);
  if (hashes[slot(*role)]) return "a second password for " + std::string(roleName(*role));
  if (hash.empty()) return "no hash after " + std::string(roleName(*role));
  if (end != line.size()) return "text after the hash";
  if (hash.size() > kMostHashChars) return "the hash is too long";
  if (hash.substr(0, kHashPrefix.size()) != kHashPrefix) return "the hash is not argon2id";
  for (const char c : hash)
    if (!isHashChar(c)) return "the hash holds a character it cannot have";
  hashes[slot(*role)] = std::string(hash);
  return {};
}

// Reads the whole file into `text`; empty, or why not. A missing file is `missing`.
std::string readFile(const std::string& path, std::string& text, bool& missing) {
  constexpr size_t kMostFileBytes = Credentials::kMostFileBytes;
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
  const std::string tooLarge = "larger than " + std::to_string(kMostFileBytes / 1024) + " KiB";
  if (info.st_size > static_cast<off_t>(kMostFileBytes)) return tooLarge;
  // One byte more than allowed shows a file that grew since it was measured.
  text.assign(kMostFileBytes + 1, '\0');
  size_t got = 0;
  while (got < text.size()) {
    const ssize_t n = ::read(file.get(), text.data() + got, text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::strerror(errno);
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  if (got > kMostFileBytes) return tooLarge;
  text.resize(got);
  return {};
}

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
    const std::string stem = folderOf(target) + ".remote-passwords-";
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

std::string_view roleName(Role role) {
  return role == Role::kOperator ? "operator" : "viewer";
}

std::optional<Credentials> Credentials::load(const std::string& path, std::string& error) {
  error.clear();
  std::string text;
  bool missing = false;
  if (std::string failure = readFile(path, text, missing); !failure.empty()) {
    error = "\"" + path + "\": " + failure;
    return std::nullopt;
  }
  Credentials credentials;
  if (missing) return credentials;
  size_t number = 0;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string_view line(text.data() + start, end - start);
    start = end + 1;
    ++number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    size_t first = 0;
    while (first < line.size() && isBlank(line[first]))
      ++first;
    if (first == line.size() || line[first] == '#') continue;
    if (std::string why = readLine(line.substr(first), credentials.hashes_); !why.empty()) {
      error = "\"" + path + "\", line " + std::to_string(number) + ": " + why;
      return std::nullopt;
    }
  }
  return credentials;
}

bool Credentials::empty() const {
  return !hashes_[0] && !hashes_[1];
}

bool Credentials::has(Role role) const {
  return hashes_[slot(role)].has_value();
}

std::optional<Role> Credentials::check(std::string_view password) const {
  if (password.empty() || password.size() > kMostPasswordBytes || !sodiumReady())
    return std::nullopt;
  for (const Role role : kRoles) {
    const std::optional<std::string>& hash = hashes_[slot(role)];
    if (hash && crypto_pwhash_str_verify(hash->c_str(), password.data(), password.size()) == 0)
      return role;
  }
  return std::nullopt;
}

bool Credentials::set(Role role, std::string_view password) {
  if (password.empty() || password.size() > kMostPasswordBytes || !sodiumReady()) return false;
  char hash[crypto_pwhash_STRBYTES];
  if (crypto_pwhash_str(hash, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                        crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0)
    return false;  // out of memory
  hashes_[slot(role)] = std::string(hash);
  return true;
}

std::string Credentials::save(const std::string& path) const {
  std::string text(kHeader);
  for (const Role role : kRoles)
    if (const std::optional<std::string>& hash = hashes_[slot(role)])
      text += std::string(roleName(role)) + " " + *hash + "\n";
  const auto failure = [&path](int error) {
    return "Could not write \"" + path + "\": " + std::strerror(error);
  };
  if (!sodiumReady()) return failure(EAGAIN);
  TemporaryFile file(path);
  if (file.error() != 0) return failure(file.error());
  if (const int error = writeAll(file.fd(), text); error != 0) return failure(error);
  if (const int error = file.replace(path); error != 0) return failure(error);
  return {};
}

}  // namespace qelm::remote
