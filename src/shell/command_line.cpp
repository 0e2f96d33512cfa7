#include "shell/command_line.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>

#include "platform/folders.h"

namespace qelm {

namespace {

std::string upperCased(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

// `folder` as an absolute path ending with "/"; a relative folder is taken from the current one,
// so that the engine, the file dialogs and the desktop's file manager all mean the same place.
std::string absoluteFolder(const std::string& folder) {
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(folder, error);
  return platform::withTrailingSlash(error ? folder : absolute.lexically_normal().string());
}

}  // namespace

CVadEDERCommandLineInfo parseCommandLine(const std::vector<std::string>& args) {
  CVadEDERCommandLineInfo info;
  std::optional<std::string>* pending = nullptr;  // the folder the next argument gives
  for (const std::string& arg : args) {
    if (arg.find("-upgrade15") != std::string::npos) info.upgrade = true;
    if (pending != nullptr) {
      if (!arg.empty()) *pending = arg;
      pending = nullptr;
      continue;
    }
    if (arg.size() < 2 || (arg[0] != '/' && arg[0] != '-')) continue;
    const std::string flag = upperCased(arg.substr(1));
    if (flag == "D") pending = &info.dataFolder;
    if (flag == "R") pending = &info.reportFolder;
  }
  return info;
}

Folders desktopFolders(const CVadEDERCommandLineInfo& info, const std::string& programFolder) {
  Folders folders;
  folders.program = platform::withTrailingSlash(programFolder);
  const std::string standard = platform::documentsFolder() + "VadEDER/";
  folders.data = info.dataFolder ? absoluteFolder(*info.dataFolder) : standard;
  folders.report = info.reportFolder ? absoluteFolder(*info.reportFolder) : standard;
  return folders;
}

}  // namespace qelm
