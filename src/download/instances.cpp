#include "download/instances.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>

namespace qelm {

namespace {

bool isSeparator(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

enum class TokenResult { kNone, kValid, kInvalid };

// Reads the token starting at or after `at` in `line`; moves `at` past it.
TokenResult nextToken(std::string_view line, size_t& at, std::string& token) {
  while (at < line.size() && isSeparator(line[at]))
    ++at;
  if (at >= line.size()) return TokenResult::kNone;
  token.clear();
  if (line[at] == '"') {
    const size_t close = line.find('"', at + 1);
    if (close == std::string_view::npos) {
      at = line.size();
      return TokenResult::kInvalid;
    }
    token.assign(line.substr(at + 1, close - at - 1));
    at = close + 1;
    if (at < line.size() && !isSeparator(line[at])) return TokenResult::kInvalid;
    return TokenResult::kValid;
  }
  const size_t start = at;
  while (at < line.size() && !isSeparator(line[at]) && line[at] != '"')
    ++at;
  token.assign(line.substr(start, at - start));
  if (at < line.size() && line[at] == '"') return TokenResult::kInvalid;
  return TokenResult::kValid;
}

std::optional<TrelkInstance> parseLine(std::string_view line) {
  TrelkInstance instance;
  size_t at = 0;
  if (nextToken(line, at, instance.host) != TokenResult::kValid || instance.host.empty())
    return std::nullopt;
  // A broken prefix would send the wrong device names, so the line goes with it.
  if (nextToken(line, at, instance.prefix) == TokenResult::kInvalid) return std::nullopt;
  return instance;
}

// Closes a descriptor when it leaves scope.
struct Descriptor {
  int fd = -1;
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
};

// Unlinks a file when it leaves scope, unless it was kept.
struct RemovedUnlessKept {
  const std::string& path;
  bool kept = false;
  ~RemovedUnlessKept() {
    if (!kept) ::unlink(path.c_str());
  }
};

std::string folderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
}

}  // namespace

std::string instancesFilePath(const std::string& dataFolder) {
  return dataFolder + "configuration/instances.txt";
}

std::vector<TrelkInstance> parseInstances(std::string_view text) {
  std::vector<TrelkInstance> instances;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.size() <= kMaxInstanceLineBytes) {
      if (auto instance = parseLine(line)) instances.push_back(std::move(*instance));
    }
    start = end + 1;
  }
  return instances;
}

std::string formatInstances(const std::vector<TrelkInstance>& instances) {
  std::string text;
  for (const TrelkInstance& instance : instances)
    text += "\"" + instance.host + "\" \"" + instance.prefix + "\"\n";
  return text;
}

std::vector<TrelkInstance> readInstancesFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::string text(kMaxInstancesFileBytes, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<size_t>(in.gcount()));
  return parseInstances(text);
}

std::string replaceFile(const std::string& path, std::string_view text, const AcceptFile& accept) {
  const auto failure = [&path](int error) {
    return "Could not create \"" + path + "\": " + std::strerror(error);
  };
  std::string temporary = folderOf(path) + ".download-XXXXXX";
  Descriptor file{::mkstemp(temporary.data())};
  if (file.fd < 0) return failure(errno);
  // Whatever ends this function early, an exception included, takes the temporary file away.
  RemovedUnlessKept scratch{temporary};
  for (size_t done = 0; done < text.size();) {
    const ssize_t n = ::write(file.fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return failure(n < 0 ? errno : ENOSPC);
    done += static_cast<size_t>(n);
  }
  if (accept) {
    std::string refusal = accept(temporary);
    if (!refusal.empty()) return refusal;
  }
  // The new file must be on disk before it takes the old one's name.
  if (::fsync(file.fd) != 0) return failure(errno);
  // mkstemp makes the file private; the configuration is readable as the user's files are.
  ::fchmod(file.fd, 0644);
  if (::rename(temporary.c_str(), path.c_str()) != 0) return failure(errno);
  scratch.kept = true;
  return {};
}

}  // namespace qelm
