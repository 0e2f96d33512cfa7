#pragma once

#include <string>
#include <string_view>

namespace qelm {

/// Turns a program's `--help` text into a manual page (roff, man macros), so the page is made
/// from the very text the program prints. The help text's first line is "NAME - SUMMARY"; a
/// line at column 0 ending with ':' starts a section ("Usage:" becomes SYNOPSIS); every other
/// line is kept as written, in no-fill mode. `section` is the manual section ("1"), `source`
/// the product and version shown in the footer. Never fails: text without the first-line form
/// becomes the DESCRIPTION of a page named "unknown".
std::string manPageFromHelp(std::string_view help, std::string_view section,
                            std::string_view source);

/// One line of text escaped for roff: backslashes and minus signs written out, and a leading
/// '.' or '\'' kept from being read as a request.
std::string roffEscaped(std::string_view line);

}  // namespace qelm
