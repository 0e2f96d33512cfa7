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
    // Not a folder given after /D or /R: those take any word, "--help" included.
    if (pending == nullptr && (arg == "--help" || arg == "-h")) info.help = true;
    if (pending == nullptr && arg == "--version") info.version = true;
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

std::string desktopHelp() {
  return "qelm - the QELM-9000 desktop control panel\n"
         "\n"
         "Usage:\n"
         "  qelm [/D DIR] [/R DIR]\n"
         "  qelm -upgrade15\n"
         "  qelm --help\n"
         "  qelm --version\n"
         "\n"
         "Description:\n"
         "  The panel in a window: both screens, the knobs, the keypad with its lamps, and the\n"
         "  console (View menu). The engine runs beside the window; it is restarted when the\n"
         "  configuration file changed (asked when the window is activated) or a setting needs\n"
         "  it. The companion program qelm-engine runs the same engine without a window.\n"
         "\n"
         "Options:\n"
         "  /D DIR, -D DIR  data folder: the configuration, the boot environment and the error\n"
         "                  file (default: the documents folder + VadEDER/)\n"
         "  /R DIR, -R DIR  report folder: loudness reports and their data files (default: the\n"
         "                  documents folder + VadEDER/)\n"
         "  -upgrade15      move the data of an older installation ($XDG_DATA_HOME/VadEDER)\n"
         "                  into the current folders, run its VadEDER-Uninstall and exit\n"
         "  --help, -h      print this text and exit\n"
         "  --version       print the version and exit\n"
         "\n"
         "Files:\n"
         "  DATA/configuration/startup.txt  the configuration; copied from the program\n"
         "                  folder's configuration/startup.bak when absent\n"
         "  DATA/bootenv    the panel's own settings (\"This Control Panel\")\n"
         "  REPORT/reports/ loudness session reports (html/) and data files (csv/)\n"
         "  The program folder (fonts, images, resources, the default configuration) is the\n"
         "  executable's own folder; nothing is written there. The documents folder is the\n"
         "  XDG documents folder (user-dirs.dirs), else ~/Documents/.\n"
         "\n"
         "Environment:\n"
         "  QELM_DEBUG_OUTPUT=1  copy every log message, with the milliseconds since the\n"
         "                  first one, to standard error\n";
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
