#pragma once

#include <atomic>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "core/app_context.h"

namespace qelm {

/// Where `run --http` serves the panel to browsers.
struct HttpEndpoint {
  std::string address = "127.0.0.1";  ///< an IPv4 or IPv6 address (written in brackets on the
                                      ///< command line when it holds a colon)
  uint16_t port = 0;                  ///< 0: a free port, named in the log
};

/// The command line of the programs: a command and the folder and run options.
struct HostOptions {
  std::string command;                       ///< "run", "check", "export" or "download"
  std::vector<std::string> arguments;        ///< the command's files
  std::optional<std::string> dataFolder;     ///< --data DIR, /D DIR, -D DIR
  std::optional<std::string> reportFolder;   ///< --report DIR, /R DIR, -R DIR
  std::optional<std::string> programFolder;  ///< --program DIR
  std::optional<double> seconds;             ///< --seconds N: stop after N seconds
  std::optional<std::string> screenshot;     ///< --screenshot FILE: PNG of both screens at the end
  std::optional<std::string> input;          ///< --input FILE: a script of timed input events
  bool lamps = false;                        ///< --lamps: print the final lamp word at exit
  bool loudnessSummary = false;  ///< --loudness-summary: each monitor's statistics at exit
  bool startupTime = false;      ///< --startup-time: end at the first drawn screen, print the time
  std::optional<HttpEndpoint> http;            ///< --http [ADDRESS:]PORT: the panel in a browser
  std::optional<std::string> httpCertificate;  ///< --http-cert FILE: serve over TLS
  std::optional<std::string> httpKey;          ///< --http-key FILE: the certificate's key
};

/// Result of reading the command line: the options, or the reason they were refused.
struct ParsedOptions {
  std::optional<HostOptions> options;
  std::string error;  ///< empty when `options` is set
};

/// Reads the arguments after the program name. Options may come before or after the command,
/// as "--name VALUE" or "--name=VALUE".
ParsedOptions parseHostOptions(const std::vector<std::string>& args);

/// The usage text printed for a refused command line.
std::string hostUsage();

/// The folders of a run: the options' folders, else the program's own folder and the user's
/// documents folder + "VadEDER/". Every folder ends with "/".
Folders resolveFolders(const HostOptions& options);

/// Copies new log messages to a stream the way the console shows them ("%i: %s"), skipping
/// numbers that were dropped from the log before they could be shown.
class ConsolePrinter {
 public:
  /// Prints every message from the last one printed up to the log's current count.
  void printNew(std::ostream& out);

 private:
  int32_t next_ = 0;
};

/// Loads the configuration FILE as the start-up does (configuration folder = the file's folder);
/// the loader's message (located error, or why the file could not be read), or empty when it
/// loads.
std::string configurationError(const std::string& file);

/// `check FILE`: loads the configuration as the start-up does (configuration folder = the
/// file's folder) and prints "OK", or the error message. Returns 0 or 2.
int checkConfiguration(const std::string& file, std::ostream& out);

/// `export FILE BINARY_OUT [EXPORT_FOLDER]`: writes the binary form of a text configuration,
/// and the model and template files below EXPORT_FOLDER when given. Returns 0 or 2.
int exportConfiguration(const std::vector<std::string>& arguments, std::ostream& out);

/// Runs the command of `options` (run, check, export or download); returns the process exit
/// code.
int runHostCommand(const HostOptions& options, std::ostream& out,
                   const std::atomic<bool>& interrupted);

/// Runs the engine thread as the desktop does until `interrupted` is set, the time limit
/// passes, or the engine ends by itself. Returns the process exit code: 0, or 2 when the
/// configuration could not be processed.
int runHeadless(const HostOptions& options, std::ostream& out,
                const std::atomic<bool>& interrupted);

}  // namespace qelm
