#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/app_context.h"

namespace qelm {

/// What the desktop program takes from its command line.
struct CVadEDERCommandLineInfo {
  /// "--help" or "-h" appeared: print `desktopHelp()` and end without a window.
  bool help = false;
  /// "--version" appeared: print the version and end without a window.
  bool version = false;
  /// "-upgrade15" appeared somewhere: prepare the folders, move an older installation's data
  /// and end without a window.
  bool upgrade = false;
  std::optional<std::string> dataFolder;    ///< the folder after "/D" or "-D"
  std::optional<std::string> reportFolder;  ///< the folder after "/R" or "-R"
};

/// Reads the arguments after the program name. A flag starts with "/" or "-" and is compared
/// upper-cased; the argument after the flag "D" (or "R") is the data (report) folder even when
/// it starts with "/", as absolute paths do. Other flags and arguments are ignored.
CVadEDERCommandLineInfo parseCommandLine(const std::vector<std::string>& args);

/// The text `qelm --help` prints, from which the build also writes the manual page: first line
/// "qelm - SUMMARY", then sections headed by a line ending with ':'.
std::string desktopHelp();

/// The folders of the desktop program: `programFolder`, and the data and report folders from
/// the command line (made absolute), else the user's documents folder + "VadEDER/". Every
/// folder ends with "/".
Folders desktopFolders(const CVadEDERCommandLineInfo& info, const std::string& programFolder);

}  // namespace qelm
