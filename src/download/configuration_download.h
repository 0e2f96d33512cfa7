#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "download/instances.h"

namespace qelm {

/// Caption of every download failure shown to the user.
inline constexpr const char* kDownloadFailedCaption = "Configuration Failed";

/// Loads the configuration file `file` as the start-up does, taking models and templates on
/// demand from the file's own folder (`file` lies beside "startup.txt"). Returns the loader's
/// message ("at FILE:LINE TEXT", or why the file could not be read), or empty when it loads.
using ConfigurationCheck = std::function<std::string(const std::string& file)>;

/// Limits of one download.
struct DownloadOptions {
  /// Seconds to wait for a connection, and how long an answer may stay slower than
  /// `minBytesPerSecond` (silence included) before it is given up; 0 = neither limit.
  long timeoutSeconds = 30;
  /// Slowest rate, in bytes a second, an answer may keep up for `timeoutSeconds`.
  long minBytesPerSecond = 1024;
  /// Seconds each instance has from its request to the end of its answer, redirects included;
  /// 0 = no limit.
  long deadlineSeconds = 120;
  /// Most bytes of configuration taken from all instances together.
  size_t maxBytes = 16u << 20;
  /// When set (by another thread or a signal handler), the download stops soon; may be null.
  const std::atomic<bool>* cancel = nullptr;
};

/// What one instance sent.
struct InstanceReport {
  std::string host;                   ///< as listed
  std::string url;                    ///< the address asked
  size_t bytes = 0;                   ///< text received, without CR bytes
  size_t devices = 0;                 ///< device lines received
  std::optional<int32_t> firstAsked;  ///< the first-device number sent; none when not sent
  std::optional<int32_t> lastDevice;  ///< number of its last device line; none without any
};

/// Outcome of a download.
struct DownloadResult {
  /// The message for the user; empty on success.
  std::string error;
  /// The instances fetched, in order (on failure, those before the failing one).
  std::vector<InstanceReport> instances;
};

/// The query that asks an instance for its part: "?prepend=\"%41%20\"&no-header=1&first-device=6"
/// with the parts that apply (prefix not empty; not the first instance; first device not 1),
/// or empty when none does.
std::string instanceQuery(const std::string& prefix, bool firstInstance, int32_t firstDevice);

/// "http://HOST/cgi-bin/qelm.pl" + `query`.
std::string instanceUrl(const std::string& host, const std::string& query);

/// dataFolder (ending with "/") + "configuration/startup.txt".
std::string startupFilePath(const std::string& dataFolder);

/// Fetches the instances in order, each numbering its devices on from the last one before it,
/// and, only when all of them answered and `check` loads their joined text, replaces the data
/// folder's "configuration/startup.txt" with the UTF-8 byte-order mark and that text with CR LF
/// line ends; a fragment without a final line end gets one before the next fragment. A redirect
/// is followed only on the listed host and port. On any failure the old file is left as it was
/// and `error` says why. Blocks until done or timed out. `check` must be set.
DownloadResult downloadConfiguration(const std::string& dataFolder,
                                     const std::vector<TrelkInstance>& instances,
                                     const ConfigurationCheck& check,
                                     const DownloadOptions& options = {});

}  // namespace qelm
