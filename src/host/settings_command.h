#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace qelm {

/// Exit codes of `settings`.
constexpr int kSettingsDone = 0;
constexpr int kSettingsFailed = 1;
constexpr int kSettingsRefused = 64;  ///< the command line was refused

/// The usage lines of `settings`, for the help and a refused command line.
std::string settingsUsage();

/// `settings [--data DIR] [NAME [VALUE]]` (`args` follow the word "settings"): the panel's own
/// settings kept in the data folder's boot environment, without a window. With no NAME every
/// stored setting is listed as `NAME = VALUE`; with NAME alone its value and what it takes;
/// with a VALUE (a choice's name or a number, as the panel shows it) the setting is stored for
/// the engine's next start. Names are matched ignoring case. Returns kSettingsDone,
/// kSettingsFailed or kSettingsRefused.
int settingsCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace qelm
