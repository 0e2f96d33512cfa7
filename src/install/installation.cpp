#include "install/installation.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <system_error>
#include <vector>

#include "platform/folders.h"

extern char** environ;

namespace qelm {

namespace {

namespace fs = std::filesystem;

// Copies `from` to `to` unless `to` exists; errors are ignored by design.
void copyIfAbsent(const std::string& from, const std::string& to) {
  std::error_code error;
  fs::copy_file(from, to, fs::copy_options::skip_existing, error);
}

void createFolder(const std::string& folder) {
  std::error_code error;
  fs::create_directories(folder, error);
}

// Copies `from` over `to`; returns the system error code, 0 on success.
int copyOver(const std::string& from, const std::string& to) {
  std::error_code error;
  if (fs::copy_file(from, to, fs::copy_options::overwrite_existing, error)) return 0;
  // A failure the library reports without a system code still has to stop the migration.
  return error ? error.value() : EIO;
}

// The names of the regular files directly in `folder`, sorted; none when it cannot be read.
std::vector<std::string> filesIn(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    std::error_code typeError;
    if (it->is_regular_file(typeError)) names.push_back(it->path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

MigrationResult copyFolder(const std::string& from, const std::string& to) {
  for (const std::string& name : filesIn(from)) {
    if (const int code = copyOver(from + name, to + name); code != 0)
      return {false, "Unable to migrate file " + name + ", reason " + std::to_string(code)};
  }
  return {};
}

// Runs `program` without arguments and waits for it, however long it takes.
void runAndWait(const std::string& program) {
  char* const argv[] = {const_cast<char*>(program.c_str()), nullptr};
  pid_t pid = 0;
  if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ) != 0) return;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

void prepareFolders(const Folders& folders) {
  createFolder(folders.data + "configuration");
  createFolder(folders.report + "reports");
  copyIfAbsent(folders.program + "configuration/startup.bak",
               folders.data + "configuration/startup.txt");
  copyReportResources(folders, folders.report + "reports/");
}

void copyReportResources(const Folders& folders, const std::string& folder) {
  for (const char* name : kReportResources)
    copyIfAbsent(folders.program + "resources/" + name, folder + name);
}

std::string olderInstallationFolder() {
  return platform::dataHomeFolder() + "VadEDER/";
}

MigrationResult migrateOldInstallation(const Folders& folders, const std::string& oldFolder) {
  std::error_code error;
  if (!fs::is_directory(oldFolder, error)) return {};
  if (const int code = copyOver(oldFolder + "bootenv", folders.data + "bootenv"); code != 0)
    return {false, "Unable to migrate bootenv, reason " + std::to_string(code)};
  MigrationResult result =
      copyFolder(oldFolder + "configuration/", folders.data + "configuration/");
  if (!result.ok) return result;
  result = copyFolder(oldFolder + "reports/", folders.report + "reports/");
  if (!result.ok) return result;
  const std::string uninstaller = oldFolder + kOlderUninstaller;
  if (access(uninstaller.c_str(), X_OK) == 0) runAndWait(uninstaller);
  return {};
}

}  // namespace qelm
