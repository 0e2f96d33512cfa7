#include "host/headless_host.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <ostream>
#include <thread>
#include <vector>

#include "config/config_catalog.h"
#include "config/config_loader.h"
#include "core/log.h"
#include "display/screenshot.h"
#include "engine/engine_state.h"
#include "engine/engine_thread.h"
#include "host/download_command.h"
#include "host/input_script.h"
#include "install/installation.h"
#include "platform/folders.h"
#include "remote/remote_server.h"

namespace qelm {

namespace {

// Exit codes of the commands, as the help lists them.
constexpr int kExitDone = 0;
constexpr int kExitFailed = 2;  // a configuration could not be processed, a screenshot not written
constexpr int kExitRefused = 64;  // the command line, or a file it names, was refused

enum class OptionName {
  kData,
  kReport,
  kProgram,
  kSeconds,
  kScreenshot,
  kInput,
  kHttp,
  kHttpCertificate,
  kHttpKey
};

std::optional<OptionName> optionName(const std::string& word) {
  if (word == "--data" || word == "/D" || word == "-D") return OptionName::kData;
  if (word == "--report" || word == "/R" || word == "-R") return OptionName::kReport;
  if (word == "--program") return OptionName::kProgram;
  if (word == "--seconds") return OptionName::kSeconds;
  if (word == "--screenshot") return OptionName::kScreenshot;
  if (word == "--input") return OptionName::kInput;
  if (word == "--http") return OptionName::kHttp;
  if (word == "--http-cert") return OptionName::kHttpCertificate;
  if (word == "--http-key") return OptionName::kHttpKey;
  return std::nullopt;
}

std::optional<double> readSeconds(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || !std::isfinite(value) || value < 0 || value > 1e7)
    return std::nullopt;
  return value;
}

// "[ADDRESS:]PORT", an IPv6 address in brackets ("[::1]:8080"); the address is checked when the
// server starts.
std::optional<HttpEndpoint> readEndpoint(const std::string& text) {
  HttpEndpoint endpoint;
  std::string port = text;
  if (!text.empty() && text[0] == '[') {
    const size_t close = text.find(']');
    if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':')
      return std::nullopt;
    endpoint.address = text.substr(1, close - 1);
    port = text.substr(close + 2);
  } else if (const size_t colon = text.find(':'); colon != std::string::npos) {
    endpoint.address = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (port.find(':') != std::string::npos) return std::nullopt;
  }
  if (endpoint.address.empty() || port.empty() || port.size() > 5) return std::nullopt;
  uint32_t number = 0;
  for (const char c : port) {
    if (c < '0' || c > '9') return std::nullopt;
    number = number * 10 + static_cast<uint32_t>(c - '0');
  }
  if (number > 65535) return std::nullopt;
  endpoint.port = static_cast<uint16_t>(number);
  return endpoint;
}

}  // namespace

std::string hostUsage() {
  return "usage: qelm-engine run [--data DIR] [--report DIR] [--program DIR] [--seconds N]\n"
         "                       [--screenshot FILE] [--input FILE] [--lamps]\n"
         "                       [--loudness-summary] [--http [ADDRESS:]PORT\n"
         "                       [--http-cert FILE --http-key FILE]]\n"
         "       qelm-engine check FILE\n"
         "       qelm-engine export FILE BINARY_OUT [EXPORT_FOLDER]\n"
         "       qelm-engine download [--data DIR]\n"
         "  run        run the panel engine without a window, printing the log\n"
         "  check      load a configuration file as the start-up does; print OK or the error\n"
         "  export     write the binary form of a configuration, and with EXPORT_FOLDER its\n"
         "             models/ and templates/ files\n"
         "  download   fetch the configuration from the TRELK instances listed in\n"
         "             configuration/instances.txt into configuration/startup.txt\n"
         "  --data     data folder (configuration, boot environment); default ~/Documents/VadEDER\n"
         "  --report   report folder; default ~/Documents/VadEDER\n"
         "  --program  program folder (fonts, images, resources); default the program's own\n"
         "  --seconds  stop after N seconds (default: run until interrupted)\n"
         "  --screenshot  write both screens side by side as a PNG when the run ends\n"
         "  --input    play a script of timed input events: \"MS CODE KIND COUNT\" per line, or\n"
         "             \"MS 0 KIND 1 SCREEN X Y\" for a touch (kind 11 down, 2 up)\n"
         "  --lamps    print the final key-lamp word in hexadecimal at exit\n"
         "  --loudness-summary  print each loudness monitor's integrated loudness and range at\n"
         "             exit, after the shutdown stopped the sessions and wrote their reports\n"
         "  --startup-time  end the run once the engine has drawn its first screen and print\n"
         "             \"startup: N ms\", the time since the process started\n"
         "  --http     serve the panel to browsers on PORT (0: a free one, named in the log) of\n"
         "             ADDRESS (default 127.0.0.1; an IPv6 address in brackets); an address\n"
         "             other than loopback needs a password (qelm-engine passwd) or an API\n"
         "             token (qelm-engine token)\n"
         "  --http-cert, --http-key  serve over TLS with this PEM certificate and key\n";
}

ParsedOptions parseHostOptions(const std::vector<std::string>& args) {
  HostOptions options;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string word = args[i];
    std::optional<std::string> inlineValue;
    if (word.rfind("--", 0) == 0) {
      if (const size_t eq = word.find('='); eq != std::string::npos) {
        inlineValue = word.substr(eq + 1);
        word = word.substr(0, eq);
      }
    }
    if (word == "--loudness-summary") {
      options.loudnessSummary = true;
      continue;
    }
    if (word == "--lamps") {
      options.lamps = true;
      continue;
    }
    if (word == "--startup-time") {
      options.startupTime = true;
      continue;
    }
    const std::optional<OptionName> name = optionName(word);
    if (!name) {
      // "/X" is a Windows-style switch; anything longer after a slash is an absolute path.
      if (!word.empty() && (word[0] == '-' || (word[0] == '/' && word.size() == 2)))
        return {std::nullopt, "unknown option \"" + word + "\""};
      if (options.command.empty()) {
        if (word != "run" && word != "check" && word != "export" && word != "download")
          return {std::nullopt, "unknown command \"" + word + "\""};
        options.command = word;
      } else {
        options.arguments.push_back(word);
      }
      continue;
    }
    std::string value;
    if (inlineValue) {
      value = *inlineValue;
    } else {
      if (i + 1 >= args.size()) return {std::nullopt, "option " + word + " needs a value"};
      value = args[++i];
    }
    switch (*name) {
      case OptionName::kData:
      case OptionName::kReport:
      case OptionName::kProgram:
        if (value.empty()) return {std::nullopt, "option " + word + " needs a folder"};
        (*name == OptionName::kData     ? options.dataFolder
         : *name == OptionName::kReport ? options.reportFolder
                                        : options.programFolder) = value;
        break;
      case OptionName::kInput:
        if (value.empty()) return {std::nullopt, "option " + word + " needs a file"};
        options.input = value;
        break;
      case OptionName::kScreenshot:
        if (value.empty()) return {std::nullopt, "option " + word + " needs a file"};
        options.screenshot = value;
        break;
      case OptionName::kSeconds:
        options.seconds = readSeconds(value);
        if (!options.seconds) return {std::nullopt, "bad number of seconds \"" + value + "\""};
        break;
      case OptionName::kHttp:
        options.http = readEndpoint(value);
        if (!options.http) return {std::nullopt, "bad address and port \"" + value + "\""};
        break;
      case OptionName::kHttpCertificate:
      case OptionName::kHttpKey:
        if (value.empty()) return {std::nullopt, "option " + word + " needs a file"};
        (*name == OptionName::kHttpKey ? options.httpKey : options.httpCertificate) = value;
        break;
    }
  }
  if ((options.httpCertificate || options.httpKey) && !options.http)
    return {std::nullopt, "options --http-cert and --http-key need --http"};
  if (options.httpCertificate.has_value() != options.httpKey.has_value())
    return {std::nullopt, "options --http-cert and --http-key go together"};
  if (options.command.empty()) return {std::nullopt, "no command given"};
  if (options.http && options.command != "run")
    return {std::nullopt, "option --http is only for run"};
  const size_t count = options.arguments.size();
  const bool fits = options.command == "run" || options.command == "download" ? count == 0
                    : options.command == "check"                              ? count == 1
                                                 : count == 2 || count == 3;
  if (!fits) {
    if (count > 0 && (options.command == "run" || options.command == "download"))
      return {std::nullopt, "unexpected argument \"" + options.arguments[0] + "\""};
    return {std::nullopt, "wrong number of arguments for " + options.command};
  }
  return {options, {}};
}

Folders resolveFolders(const HostOptions& options) {
  Folders folders;
  folders.program = options.programFolder ? platform::withTrailingSlash(*options.programFolder)
                                          : platform::executableFolder();
  const std::string standard = platform::documentsFolder() + "VadEDER/";
  folders.data = options.dataFolder ? platform::withTrailingSlash(*options.dataFolder) : standard;
  folders.report =
      options.reportFolder ? platform::withTrailingSlash(*options.reportFolder) : standard;
  return folders;
}

void ConsolePrinter::printNew(std::ostream& out) {
  const int32_t count = messageCount();
  for (; next_ < count; ++next_) {
    // An empty text comes back only for a number already dropped from the log.
    const std::string text = messageText(next_);
    if (!text.empty()) out << next_ << ": " << text << '\n';
  }
  out.flush();
}

namespace {

// The folder of `file` with a trailing "/", or empty for a bare file name (the current folder).
std::string folderOf(const std::string& file) {
  const size_t slash = file.rfind('/');
  return slash == std::string::npos ? std::string("./") : file.substr(0, slash + 1);
}

// The loader reports a failure as its last log line: the location-prefixed message, or the
// reason the file could not be read.
std::string lastLogLine() {
  const int32_t count = messageCount();
  return count > 0 ? messageText(count - 1) : std::string();
}

}  // namespace

std::string configurationError(const std::string& file) {
  ConfigCatalog catalog;
  catalog.banner = kProductName;
  ConfigLoader loader(std::string(), folderOf(file), catalog);
  if (loader.load(file)) return {};
  const std::string message = lastLogLine();
  return message.empty() ? "\"" + file + "\" could not be loaded" : message;
}

int checkConfiguration(const std::string& file, std::ostream& out) {
  const std::string error = configurationError(file);
  if (!error.empty()) {
    out << error << '\n';
    return kExitFailed;
  }
  out << "OK\n";
  return kExitDone;
}

int exportConfiguration(const std::vector<std::string>& arguments, std::ostream& out) {
  const std::string& file = arguments.at(0);
  const std::string& binaryOut = arguments.at(1);
  std::string exportFolder;
  if (arguments.size() > 2) {
    exportFolder = platform::withTrailingSlash(arguments[2]);
    std::error_code error;
    std::filesystem::create_directories(exportFolder + "models", error);
    std::filesystem::create_directories(exportFolder + "templates", error);
  }
  ConfigCatalog catalog;
  catalog.banner = kProductName;
  ConfigLoader loader(std::string(), folderOf(file), catalog);
  if (!loader.load(file, binaryOut, exportFolder)) {
    out << lastLogLine() << '\n';
    return kExitFailed;
  }
  out << "OK\n";
  return kExitDone;
}

int runHostCommand(const HostOptions& options, std::ostream& out,
                   const std::atomic<bool>& interrupted) {
  if (options.command == "check") return checkConfiguration(options.arguments.at(0), out);
  if (options.command == "export") return exportConfiguration(options.arguments, out);
  if (options.command == "download")
    return downloadCommand(resolveFolders(options).data, out, interrupted);
  return runHeadless(options, out, interrupted);
}

namespace {

// Closes a descriptor when it leaves scope.
struct ClosesOnExit {
  int fd;
  ~ClosesOnExit() { ::close(fd); }
};

// Longest input script, in bytes: it is the user's, not ours.
constexpr size_t kMaxScriptBytes = 16u << 20;

// Reads the whole script file, refusing what is not a regular file (a pipe with no writer
// would hold the run before it starts) and what is larger than `kMaxScriptBytes` (cutting it
// would drop events, or split a line into a false syntax error).
bool readScript(const std::string& path, InputScript& script, std::ostream& out) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    out << "Could not read input script \"" << path << "\"\n";
    return false;
  }
  const ClosesOnExit closer{fd};
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    out << "Input script \"" << path << "\" is not a regular file\n";
    return false;
  }
  const auto tooLarge = [&] {
    out << "Input script \"" << path << "\" is larger than 16 MiB\n";
    return false;
  };
  if (info.st_size > static_cast<off_t>(kMaxScriptBytes)) return tooLarge();
  // One byte more than allowed shows a file that grew since it was measured.
  std::string text(static_cast<size_t>(info.st_size) + 1, '\0');
  size_t got = 0;
  while (got < text.size()) {
    const ssize_t n = ::read(fd, text.data() + got, text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      out << "Could not read input script \"" << path << "\"\n";
      return false;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
    if (got == text.size() && got <= kMaxScriptBytes) text.resize(kMaxScriptBytes + 1);
  }
  if (got > kMaxScriptBytes) return tooLarge();
  text.resize(got);
  script = parseInputScript(text);
  if (!script.error.empty()) {
    out << "Input script \"" << path << "\", " << script.error << '\n';
    return false;
  }
  return true;
}

// Milliseconds on the boot-time clock, the clock the kernel records a process's start on.
double bootClockMs() {
  timespec now{};
  ::clock_gettime(CLOCK_BOOTTIME, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// When this process started, in milliseconds on the boot-time clock (to the kernel's tick of
// usually 10 ms), from field 22 of /proc/self/stat; empty when that cannot be read.
std::optional<double> processStartMs() {
  std::FILE* file = std::fopen("/proc/self/stat", "re");
  if (file == nullptr) return std::nullopt;
  char text[1024];
  const size_t n = std::fread(text, 1, sizeof text - 1, file);
  std::fclose(file);
  text[n] = '\0';
  // The name in parentheses may hold spaces and ')'; the fields after its last ')' are plain.
  const char* at = std::strrchr(text, ')');
  if (at == nullptr) return std::nullopt;
  ++at;
  // Field 3 (the state) follows the name; the start time is field 22.
  for (int field = 3; field < 22; ++field) {
    while (*at == ' ')
      ++at;
    while (*at != ' ' && *at != '\0')
      ++at;
    if (*at == '\0') return std::nullopt;
  }
  char* end = nullptr;
  const unsigned long long ticks = std::strtoull(at, &end, 10);
  const long perSecond = ::sysconf(_SC_CLK_TCK);
  if (end == at || perSecond <= 0) return std::nullopt;
  return static_cast<double>(ticks) * 1e3 / static_cast<double>(perSecond);
}

// Notes when the engine first tells of drawn screens, as the window's repaint would follow.
class FirstScreenWatch final : public ScreenNotifier {
 public:
  void screenChanged() override {
    if (!drawn_.load(std::memory_order_relaxed)) {
      atMs_.store(bootClockMs(), std::memory_order_relaxed);
      drawn_.store(true, std::memory_order_release);
    }
  }
  /// The boot-clock time of the first notice, or empty before it.
  std::optional<double> drawnAtMs() const {
    if (!drawn_.load(std::memory_order_acquire)) return std::nullopt;
    return atMs_.load(std::memory_order_relaxed);
  }

 private:
  std::atomic<bool> drawn_{false};
  std::atomic<double> atMs_{0};
};

// Hands every scripted event that is due to the input source, as the window would.
void playDue(const InputScript& script, size_t& next, uint32_t elapsedMs, AppContext& context) {
  WinInput& input = context.input;
  for (; next < script.events.size() && script.events[next].atMs <= elapsedMs; ++next) {
    const ScriptedEvent& scripted = script.events[next];
    if (scripted.inputLines) {
      input.setInputLines(*scripted.inputLines);
      // A line change is input like a key: the engine reads it now, not after its pause.
      input.wakeup().notify();
      continue;
    }
    if (!scripted.sessionPath.empty()) {
      if (scripted.operation == SessionOperation::kSave)
        context.setSaveSessionPath(scripted.sessionPath);
      else
        context.setLoadSessionPath(scripted.sessionPath);
      continue;
    }
    const InputEvent& event = scripted.event;
    if (event.code == kTouchCode)
      input.setTouch(event.screen, event.x, event.y, event.kind == EventKind::kTouched);
    else
      input.queueEvent(event);
  }
}

// False, with the reason printed, when the screenshot's path names something other than a
// regular file. Refused before the run rather than after it: opening a pipe with no reader
// would never end.
bool screenshotFileUsable(const std::string& path, std::ostream& out) {
  std::error_code error;
  const auto status = std::filesystem::status(path, error);
  if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
    out << "Screenshot file \"" << path << "\" is not a regular file\n";
    return false;
  }
  return true;
}

// Prints the start-up time once the first screen is drawn; false before that.
bool printedStartupTime(const FirstScreenWatch& firstScreen, ConsolePrinter& console,
                        std::ostream& out) {
  const std::optional<double> drawnAt = firstScreen.drawnAtMs();
  if (!drawnAt) return false;
  // Printed before the stop, so whoever waits for the line does not wait for the stop.
  console.printNew(out);
  const std::optional<double> startedAt = processStartMs();
  if (startedAt)
    out << "startup: " << std::lround(*drawnAt - *startedAt) << " ms" << std::endl;
  else
    out << "startup: unknown (the process start time could not be read)" << std::endl;
  return true;
}

// The engine's answer to a scripted save or load, as the window would show it.
void printSessionReply(AppContext& context, std::ostream& out) {
  if (const std::string reply = context.sessionReply(); !reply.empty()) {
    context.setSessionReply("");
    out << "session: " << reply << '\n';
  }
}

// Once the engine runs, plays the script, copies the log and shows session replies until the
// run is interrupted, its time is up, the engine ends by itself or, for a start-up measurement,
// the first screen is drawn. The script's times count from the first drawn screen, which
// follows the engine's first pass: a slow start (a loaded machine, an instrumented build) moves
// the whole script rather than running its first events before the engine reads any input.
void runUntilDone(const HostOptions& options, const InputScript& script, EngineRunner& runner,
                  const FirstScreenWatch& firstScreen, ConsolePrinter& console, std::ostream& out,
                  const std::atomic<bool>& interrupted) {
  using Clock = std::chrono::steady_clock;
  size_t nextEvent = 0;
  const auto started = Clock::now();
  std::optional<Clock::time_point> running;
  while (!interrupted.load() && !runner.finished()) {
    if (options.startupTime && printedStartupTime(firstScreen, console, out)) break;
    if (options.seconds) {
      const std::chrono::duration<double> elapsed = Clock::now() - started;
      if (elapsed.count() >= *options.seconds) break;
    }
    if (!running && firstScreen.drawnAtMs()) running = Clock::now();
    if (running) {
      const std::chrono::duration<double, std::milli> sinceRunning = Clock::now() - *running;
      playDue(script, nextEvent, static_cast<uint32_t>(sinceRunning.count()), runner.context());
    }
    console.printNew(out);
    printSessionReply(runner.context(), out);
    // A start-up measurement is ended as soon as the screen is drawn, so its runs are short.
    const int pauseMs = options.startupTime ? 1 : script.events.empty() ? 20 : 2;
    std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
  }
}

// The whole raster (both screens side by side), read under the screen lock.
std::vector<uint32_t> copyScreens(AppContext& context) {
  std::lock_guard<std::mutex> guard(context.screenLock);
  const uint32_t* pixels = context.pixels();
  return std::vector<uint32_t>(pixels, pixels + static_cast<size_t>(kRasterWidth) * kRasterHeight);
}

// What the options ask to be told at the end, after the engine has stopped.
void printEndFigures(const HostOptions& options, AppContext& context, std::ostream& out) {
  if (options.loudnessSummary) out << context.loudnessSummary();
  if (options.lamps) {
    char word[16];
    std::snprintf(word, sizeof word, "%08X", context.lampWord.load());
    out << "lamps: 0x" << word << '\n';
  }
}

bool writeScreenshot(const std::vector<uint32_t>& screens, const std::string& path,
                     std::ostream& out) {
  std::string error;
  if (!writeScreensPng(screens.data(), path, error)) {
    out << "Could not write screenshot: " << error << '\n';
    return false;
  }
  return true;
}

}  // namespace

int runHeadless(const HostOptions& options, std::ostream& out,
                const std::atomic<bool>& interrupted) {
  InputScript script;
  if (options.input && !readScript(*options.input, script, out)) return kExitRefused;
  if (options.screenshot && !screenshotFileUsable(*options.screenshot, out)) return kExitRefused;
  const Folders folders = resolveFolders(options);
  prepareFolders(folders);
  EngineRunner runner(folders);
  runner.context().setStartupFileName("startup.txt");
  FirstScreenWatch firstScreen;
  runner.context().notifyWindow.store(&firstScreen);
  ConsolePrinter console;
  runner.start();
  // Started after the engine and stopped before it; kept until the engine has stopped, since
  // it may still be receiving a notice until then.
  std::optional<remote::RemoteServer> server;
  if (options.http) {
    remote::RemoteOptions remote;
    remote.address = options.http->address;
    remote.port = options.http->port;
    remote.dataFolder = folders.data;
    remote.resourceFolder = folders.program + "resources/remote/";
    remote.certificateFile = options.httpCertificate.value_or("");
    remote.keyFile = options.httpKey.value_or("");
    server.emplace(runner.context(), remote);
    if (const std::string error = server->start(); !error.empty()) {
      runner.stop();
      runner.context().notifyWindow.store(nullptr);
      // Logged, so that a service's journal says why the run was refused.
      logMessage(kLogError, "%s\n", error.c_str());
      console.printNew(out);
      return kExitRefused;
    }
  }
  runUntilDone(options, script, runner, firstScreen, console, out, interrupted);
  if (server) server->stop();
  const bool endedByItself = runner.finished();
  // The screens as the run leaves them: taken before the stop, since a stopped engine shows
  // its idle noise.
  std::vector<uint32_t> screens;
  if (options.screenshot) screens = copyScreens(runner.context());
  runner.stop();
  runner.context().notifyWindow.store(nullptr);
  console.printNew(out);
  printEndFigures(options, runner.context(), out);
  if (options.screenshot && !writeScreenshot(screens, *options.screenshot, out)) return kExitFailed;
  if (endedByItself && runner.result() == static_cast<int>(ExitCode::kConfigFailed))
    return kExitFailed;
  return kExitDone;
}

}  // namespace qelm
