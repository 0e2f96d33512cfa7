#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qelm::remote {

// The remote panel's secret files (password hashes, token hashes): small, owner-only, and
// replaced whole or not at all.

/// Reads the file at `path` whole into `text`; empty on success, else why not. A missing file
/// sets `missing` and is no error; a file past `mostBytes`, or not a regular file, is.
std::string readOwnerFile(const std::string& path, size_t mostBytes, std::string& text,
                          bool& missing);

/// Writes `text` as the file at `path`, mode 0600, whole or not at all (a new file beside it,
/// synced, then renamed over it); 0, or the errno of the failure.
int writeOwnerFile(const std::string& path, std::string_view text);

}  // namespace qelm::remote
