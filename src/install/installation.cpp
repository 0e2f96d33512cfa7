#include "install/installation.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <system_error>
#include <vector>

#include "core/log.h"
#include "loudness/report_file.h"
#include "platform/descriptor.h"
#include "platform/folders.h"

extern char** environ;

namespace qelm {

namespace {

namespace fs = std::filesystem;

using platform::Descriptor;

// Writes all `size` bytes; 0 or the errno of the write that failed.
int writeAll(int fd, const char* bytes, size_t size) {
  while (size > 0) {
    const ssize_t put = ::write(fd, bytes, size);
    if (put < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (put == 0) return EIO;
    bytes += put;
    size -= static_cast<size_t>(put);
  }
  return 0;
}

// Copies `from` (a regular file) into a temporary file beside `to`, every write checked and the
// data flushed, and only then gives it the name `to` (never replacing what is there when not
// `replace`). A full disk therefore leaves no half-written target. A copy gets `permissions`,
// or those of its source when none are given. 0 on success (or when `to` already exists and
// may not be replaced), ENOENT when the source is missing, else the errno of the step that
// failed.
int writeWhole(const std::string& to, const char* bytes, size_t size, const std::string* from,
               bool replace, std::optional<mode_t> permissions = std::nullopt) {
  // Non-blocking, so a pipe in the program folder cannot hold the start; it is refused below.
  Descriptor source(from != nullptr ? ::open(from->c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)
                                    : -1);
  struct stat sourceInfo {};
  if (from != nullptr) {
    if (source.get() < 0) return errno;
    if (::fstat(source.get(), &sourceInfo) != 0) return errno;
    if (!S_ISREG(sourceInfo.st_mode)) return EINVAL;
  }
  std::string temporary = to + ".XXXXXX";
  Descriptor target(::mkostemp(temporary.data(), O_CLOEXEC));
  if (target.get() < 0) return errno;
  int error = 0;
  if (from == nullptr) {
    error = writeAll(target.get(), bytes, size);
  } else {
    char buffer[65536];
    for (;;) {
      const ssize_t got = ::read(source.get(), buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) error = errno;
      if (got <= 0) break;
      if ((error = writeAll(target.get(), buffer, static_cast<size_t>(got))) != 0) break;
    }
    // A copy keeps the permissions of its source, as the platform's file copy does, unless told
    // otherwise (best effort: the temporary file's own are private).
    ::fchmod(target.get(), permissions.value_or(sourceInfo.st_mode & 0777));
  }
  if (error == 0 && ::fsync(target.get()) != 0) error = errno;
  if (const int closed = target.close(); error == 0) error = closed;
  if (error == 0) {
    if (replace) {
      if (::rename(temporary.c_str(), to.c_str()) != 0) error = errno;
    } else if (::link(temporary.c_str(), to.c_str()) != 0 && errno != EEXIST) {
      // EEXIST: the user's file appeared meanwhile and stays.
      error = errno;
    }
  }
  if (error != 0 || !replace) ::unlink(temporary.c_str());
  return error;
}

// Copies `from` to `to` unless `to` exists. A missing source leaves the target absent without
// a word; any other failure is returned as a sentence for the log.
std::string copyIfAbsent(const std::string& from, const std::string& to,
                         std::optional<mode_t> permissions = std::nullopt) {
  std::error_code error;
  if (fs::exists(fs::symlink_status(to, error))) return {};
  const int code = writeWhole(to, nullptr, 0, &from, false, permissions);
  if (code == 0 || code == ENOENT) return {};
  return "Could not copy \"" + from + "\" to \"" + to + "\": " + std::strerror(code);
}

// Creates `folder` with its missing parents; empty, or the failure as a sentence for the log.
std::string createFolder(const std::string& folder, const char* what) {
  std::error_code error;
  fs::create_directories(folder, error);
  if (!error && fs::is_directory(folder, error)) return {};
  if (!error) error = std::make_error_code(std::errc::not_a_directory);
  return std::string("Could not create the ") + what + " folder \"" + folder +
         "\": " + error.message();
}

// Copies `from` over `to`, written whole under a temporary name first, so an interrupted copy
// leaves the file that was there; returns the system error code, 0 on success.
int copyOver(const std::string& from, const std::string& to) {
  return writeWhole(to, nullptr, 0, &from, true);
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

std::string prepareFolders(const Folders& folders) {
  std::string first;
  const auto note = [&first](const std::string& problem) {
    if (problem.empty()) return;
    logMessage(kLogError, "%s\n", problem.c_str());
    if (first.empty()) first = problem;
  };
  const std::string dataFolder = createFolder(folders.data + "configuration", "data");
  note(dataFolder);
  if (dataFolder.empty()) {
    const std::string seeded = copyIfAbsent(folders.program + "configuration/startup.bak",
                                            folders.data + "configuration/startup.txt");
    note(seeded);
    if (!seeded.empty()) {
      // Without a configuration the start fails; the error file is where the user looks then.
      const std::string errorFile = folders.data + "error";
      const std::string text = seeded + "\n";
      if (writeWhole(errorFile, text.data(), text.size(), nullptr, true) != 0)
        logMessage(kLogError, "Could not write error file \"%s\".\n", errorFile.c_str());
    }
  }
  const std::string reportFolder = createFolder(folders.report + "reports", "report");
  note(reportFolder);
  if (reportFolder.empty()) {
    const std::string resources = copyReportResources(folders, folders.report + "reports/");
    if (first.empty()) first = resources;  // copyReportResources has logged it
  }
  return first;
}

std::string copyReportResources(const Folders& folders, const std::string& folder) {
  std::string first;
  for (const char* name : kReportResources) {
    // The reports' own permissions, whatever the installation gave the sources.
    const std::string problem = copyIfAbsent(folders.program + "resources/" + name, folder + name,
                                             ReportFile::kPermissions);
    if (problem.empty()) continue;
    logMessage(kLogError, "%s\n", problem.c_str());
    if (first.empty()) first = problem;
  }
  return first;
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
