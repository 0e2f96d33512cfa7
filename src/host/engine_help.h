#pragma once

#include <string>

namespace qelm {

/// The text `qelm-engine --help` prints, from which the build also writes the manual page:
/// first line "qelm-engine - SUMMARY", then sections headed by a line ending with ':'. Its usage
/// section is `hostUsage()` and `lmCardUsage()`, so a command added there shows here too.
std::string engineHelp();

}  // namespace qelm
