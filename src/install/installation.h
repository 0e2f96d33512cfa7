#pragma once

#include <string>

#include "core/app_context.h"

namespace qelm {

/// The report resources copied beside every report.
inline constexpr const char* kReportResources[] = {"logo.jpg", "main.css", "print.css",
                                                   "reset.css"};

/// The uninstaller an older installation keeps in its folder; run once its data are moved.
inline constexpr const char* kOlderUninstaller = "VadEDER-Uninstall";

/// Makes sure the data and report folders exist and seeds them from the program folder: the
/// default configuration becomes "configuration/startup.txt" and the report resources go to
/// "reports/". Never overwrites what the user has, and never leaves a file half written (each
/// is written under a temporary name and renamed when complete). A missing source simply leaves
/// its target absent; a folder that cannot be created or a copy that fails is logged (a failed
/// configuration copy also in the data folder's "error" file). Returns the first failure as a
/// sentence for the user; empty = none. Run at every start, by both programs.
std::string prepareFolders(const Folders& folders);

/// Copies the four report resources from the program folder into `folder` (ending with "/"),
/// never overwriting, each written whole or not at all; failures are logged. Returns the first
/// failure as a sentence; empty = none.
std::string copyReportResources(const Folders& folders, const std::string& folder);

/// Where an older installation kept its data: the local application-data folder
/// ($XDG_DATA_HOME, else ~/.local/share/) + "VadEDER/".
std::string olderInstallationFolder();

/// Outcome of moving an older installation's data.
struct MigrationResult {
  bool ok = true;
  /// Why the migration stopped, e.g. "Unable to migrate bootenv, reason 2"; empty when ok.
  std::string message;
};

/// Moves the data of an older installation in `oldFolder` (ending with "/") into the current
/// folders, overwriting: "bootenv", then every file of "configuration/", then every file of
/// "reports/" (in name order), and finally runs its uninstaller and waits for it. Each copy is
/// written under a temporary name and renamed over the target when complete, so a copy that
/// fails leaves the file that was there. Stops at the first copy that fails, with that copy's
/// message; nothing after it runs. Does nothing when `oldFolder` does not exist.
MigrationResult migrateOldInstallation(const Folders& folders, const std::string& oldFolder);

}  // namespace qelm
