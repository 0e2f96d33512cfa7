#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace qelm {

/// One TRELK server the configuration is fetched from.
struct TrelkInstance {
  std::string host;    ///< host name or IPv4 address, optionally with ":port"
  std::string prefix;  ///< put in front of the instance's device names by the server; may be empty

  bool operator==(const TrelkInstance&) const = default;
};

/// Longest line of the instances file that is read, in bytes without its line end; a longer
/// line is skipped whole rather than cut into a wrong host or prefix.
inline constexpr size_t kMaxInstanceLineBytes = 1024;
/// Longest instances file read, in bytes; the rest is ignored.
inline constexpr size_t kMaxInstancesFileBytes = 1u << 20;

/// dataFolder (ending with "/") + "configuration/instances.txt".
std::string instancesFilePath(const std::string& dataFolder);

/// The instances of a file's text, one per line: the first token is the host, the second (if
/// any) the prefix. A token is a run without blanks and double quotes, or a double-quoted text
/// followed by a blank or the line end. Lines with a missing, empty or malformed host, or with a
/// malformed prefix, are skipped; further tokens are ignored.
std::vector<TrelkInstance> parseInstances(std::string_view text);

/// The file text for `instances`: "\"HOST\" \"PREFIX\"\n" each, in order.
std::string formatInstances(const std::vector<TrelkInstance>& instances);

/// Reads the instances file at `path`; a missing or unreadable file gives an empty list.
std::vector<TrelkInstance> readInstancesFile(const std::string& path);

/// Looks at the written temporary file (its path given) before it takes the old file's place;
/// returns why it must not, or empty.
using AcceptFile = std::function<std::string(const std::string& temporary)>;

/// Replaces the file at `path` with `text`: written under a temporary name in the same folder,
/// flushed to disk and renamed into place, so a failure leaves the old file as it was. Returns
/// "Could not create \"PATH\": REASON", what `accept` (when set) refused the new file for, or
/// empty on success.
std::string replaceFile(const std::string& path, std::string_view text,
                        const AcceptFile& accept = {});

}  // namespace qelm
