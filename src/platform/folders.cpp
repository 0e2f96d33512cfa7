#include "platform/folders.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <utility>
#include <vector>

namespace qelm::platform {

namespace {

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

// Reads at most `limit` bytes: the file is the user's, not ours, and may be anything.
std::string readSmallFile(const std::string& path, size_t limit) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::string text;
  text.resize(limit);
  in.read(text.data(), static_cast<std::streamsize>(limit));
  text.resize(static_cast<size_t>(in.gcount()));
  return text;
}

}  // namespace

std::string withTrailingSlash(std::string folder) {
  if (!folder.empty() && folder.back() != '/') folder.push_back('/');
  return folder;
}

std::string executableFolder() {
  std::vector<char> buffer(4096);
  const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  if (n <= 0) return "./";
  std::string path(buffer.data(), static_cast<size_t>(n));
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
}

std::string homeFolder() {
  std::string home = environment("HOME");
  if (home.empty()) {
    if (const passwd* entry = getpwuid(getuid()); entry != nullptr && entry->pw_dir != nullptr)
      home = entry->pw_dir;
  }
  if (home.empty()) return std::string(1, '/');
  return withTrailingSlash(std::move(home));
}

std::string documentsFromUserDirs(std::string_view fileText, const std::string& home) {
  constexpr std::string_view kKey = "XDG_DOCUMENTS_DIR=";
  std::string result;
  size_t pos = 0;
  while (pos < fileText.size()) {
    size_t end = fileText.find('\n', pos);
    if (end == std::string_view::npos) end = fileText.size();
    std::string_view line = fileText.substr(pos, end - pos);
    pos = end + 1;
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t'))
      line.remove_prefix(1);
    if (line.substr(0, kKey.size()) != kKey) continue;
    line.remove_prefix(kKey.size());
    if (line.size() < 2 || line.front() != '"') continue;
    const size_t close = line.find('"', 1);
    if (close == std::string_view::npos) continue;
    std::string_view value = line.substr(1, close - 1);
    std::string path;
    if (value.substr(0, 5) == "$HOME") {
      std::string base = home;
      while (base.size() > 1 && base.back() == '/')
        base.pop_back();
      path = base + std::string(value.substr(5));
    } else {
      path = std::string(value);
    }
    if (path.empty() || path.front() != '/') continue;
    result = withTrailingSlash(path);  // the last valid line wins, as in xdg-user-dirs
  }
  return result;
}

std::string documentsFolder() {
  const std::string home = homeFolder();
  std::string config = environment("XDG_CONFIG_HOME");
  if (config.empty() || config.front() != '/') config = home + ".config";
  const std::string text = readSmallFile(withTrailingSlash(config) + "user-dirs.dirs", 64 * 1024);
  std::string documents = documentsFromUserDirs(text, home);
  return documents.empty() ? home + "Documents/" : documents;
}

std::string dataHomeFolder() {
  std::string data = environment("XDG_DATA_HOME");
  if (data.empty() || data.front() != '/') return homeFolder() + ".local/share/";
  return withTrailingSlash(data);
}

}  // namespace qelm::platform
