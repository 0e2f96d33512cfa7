#pragma once

#include <atomic>
#include <iosfwd>
#include <string>

#include "download/configuration_download.h"

namespace qelm {

/// `download`: fetches the configuration from the instances in the data folder's
/// "configuration/instances.txt" into its "configuration/startup.txt", as the window's download
/// does; the joined text must load as `check` loads a file. Prints one line per instance and
/// returns 0, or prints the error and returns 2 (also when `interrupted` is set meanwhile).
int downloadCommand(const std::string& dataFolder, std::ostream& out,
                    const std::atomic<bool>& interrupted, DownloadOptions options = {});

}  // namespace qelm
