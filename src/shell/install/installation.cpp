#include "shell/install/installation.h"

#include <filesystem>
#include <system_error>

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

}  // namespace qelm
