#pragma once

#include <string>

#include "engine/core/app_context.h"

namespace qelm {

/// The report resources copied beside every report.
inline constexpr const char* kReportResources[] = {"logo.jpg", "main.css", "print.css",
                                                   "reset.css"};

/// Makes sure the data and report folders exist and seeds them from the program folder: the
/// default configuration becomes "configuration/startup.txt" and the report resources go to
/// "reports/". Never overwrites what the user has; failures are silent (a missing source simply
/// leaves its target absent). Run at every start, by both programs.
void prepareFolders(const Folders& folders);

/// Copies the four report resources from the program folder into `folder` (ending with "/"),
/// never overwriting; failures are silent.
void copyReportResources(const Folders& folders, const std::string& folder);

}  // namespace qelm
