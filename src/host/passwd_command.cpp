#include "host/passwd_command.h"

#include <signal.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <istream>
#include <iterator>
#include <optional>
#include <ostream>

#include "host/headless_host.h"
#include "remote/credentials.h"

namespace qelm {

namespace {

using remote::Credentials;
using remote::Role;

// What the command line asks for.
struct PasswdOptions {
  Role role = Role::kOperator;
  std::optional<std::string> dataFolder;
};

// The options, or why the command line is refused (in `error`).
std::optional<PasswdOptions> parsePasswdOptions(const std::vector<std::string>& args,
                                                std::string& error) {
  PasswdOptions options;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& word = args[i];
    if (word == "--viewer") {
      options.role = Role::kViewer;
      continue;
    }
    std::optional<std::string> value;
    if (word.rfind("--data=", 0) == 0) {
      value = word.substr(word.find('=') + 1);
    } else if (word == "--data" || word == "/D" || word == "-D") {
      if (i + 1 >= args.size()) {
        error = "option " + word + " needs a value";
        return std::nullopt;
      }
      value = args[++i];
    } else {
      error = (!word.empty() && (word[0] == '-' || word[0] == '/') ? "unknown option \""
                                                                   : "unexpected argument \"") +
              word + "\"";
      return std::nullopt;
    }
    if (value->empty()) {
      error = "option " + word.substr(0, word.find('=')) + " needs a folder";
      return std::nullopt;
    }
    options.dataFolder = std::move(value);
  }
  return options;
}

// A password in memory, overwritten when it goes.
class Secret {
 public:
  // Room for the longest line read, so the text is never moved to a new buffer unwiped.
  Secret() { text_.reserve(Credentials::kMostPasswordBytes + 2); }
  ~Secret() { wipe(); }
  Secret(const Secret&) = delete;
  Secret& operator=(const Secret&) = delete;

  std::string& text() { return text_; }
  const std::string& text() const { return text_; }
  void wipe() {
    // The whole buffer, since a shorter text may have replaced a longer one.
    text_.resize(text_.capacity());
    ::explicit_bzero(text_.data(), text_.size());
    text_.clear();
  }

 private:
  std::string text_;
};

// How reading a password ended.
enum class ReadEnd : uint8_t {
  kLine = 0,         ///< a line was read
  kNothing = 1,      ///< the input ended before any character
  kTooLong = 2,      ///< the line passed `Credentials::kMostPasswordBytes`
  kInterrupted = 3,  ///< a signal ended the wait at the terminal
  kFailed = 4,       ///< the input could not be read
};

// Adds `c` to the line in `secret` unless it is already too long; false when it is.
bool takeChar(char c, Secret& secret) {
  if (secret.text().size() > Credentials::kMostPasswordBytes) return false;
  secret.text() += c;
  return true;
}

// The line read, without its end ("\n" or "\r\n").
ReadEnd endLine(Secret& secret, bool tooLong, bool anything) {
  if (tooLong) return ReadEnd::kTooLong;
  if (!anything) return ReadEnd::kNothing;
  if (!secret.text().empty() && secret.text().back() == '\r') secret.text().pop_back();
  return secret.text().size() > Credentials::kMostPasswordBytes ? ReadEnd::kTooLong
                                                                : ReadEnd::kLine;
}

// One line of `in`; what the line holds past the limit is not kept.
ReadEnd readStreamLine(std::istream& in, Secret& secret) {
  bool anything = false;
  bool tooLong = false;
  char c = 0;
  while (in.get(c) && c != '\n') {
    anything = true;
    if (!takeChar(c, secret)) tooLong = true;
    if (tooLong) break;  // a pipe may hold far more; nothing past the limit is wanted
  }
  if (c == '\n') anything = true;
  return endLine(secret, tooLong, anything);
}

// One line typed at the terminal `fd`. The whole line is consumed even when too long, so its
// rest does not become the next answer.
ReadEnd readTerminalLine(int fd, Secret& secret) {
  bool anything = false;
  bool tooLong = false;
  for (;;) {
    char c = 0;
    const ssize_t n = ::read(fd, &c, 1);
    if (n < 0) return errno == EINTR ? ReadEnd::kInterrupted : ReadEnd::kFailed;
    if (n == 0 || c == '\n') {
      if (n > 0) anything = true;
      break;
    }
    anything = true;
    if (!takeChar(c, secret)) tooLong = true;
  }
  return endLine(secret, tooLong, anything);
}

extern "C" void interruptRead(int) {
  // Nothing to do: the handler exists so that the signal ends read() with EINTR instead of the
  // process, and the terminal gets its echo back.
}

// While it lives, the signals that end a program from the terminal end a blocked read instead.
class SignalsInterruptRead {
 public:
  SignalsInterruptRead() {
    struct sigaction action {};
    action.sa_handler = interruptRead;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: the read must return
    for (size_t i = 0; i < kCount; ++i)
      ::sigaction(kSignals[i], &action, &saved_[i]);
  }
  ~SignalsInterruptRead() {
    for (size_t i = 0; i < kCount; ++i)
      ::sigaction(kSignals[i], &saved_[i], nullptr);
  }
  SignalsInterruptRead(const SignalsInterruptRead&) = delete;
  SignalsInterruptRead& operator=(const SignalsInterruptRead&) = delete;

 private:
  static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
  static constexpr size_t kCount = std::size(kSignals);
  struct sigaction saved_[kCount] {};
};

// While it lives, the terminal `fd` does not show what is typed (the Enter still moves to the
// next line).
class EchoOff {
 public:
  explicit EchoOff(int fd) : fd_(fd) {
    if (::tcgetattr(fd_, &saved_) != 0) return;
    termios quiet = saved_;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    active_ = ::tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
  }
  ~EchoOff() {
    if (active_) ::tcsetattr(fd_, TCSAFLUSH, &saved_);
  }
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;

  bool active() const { return active_; }

 private:
  int fd_;
  termios saved_{};
  bool active_ = false;
};

// The message for a read that gave no password, or empty for a line.
std::string readError(ReadEnd end) {
  switch (end) {
    case ReadEnd::kLine:
      return {};
    case ReadEnd::kNothing:
      return "No password given";
    case ReadEnd::kTooLong:
      return "The password is longer than " + std::to_string(Credentials::kMostPasswordBytes) +
             " bytes";
    case ReadEnd::kInterrupted:
      return "Interrupted";
    case ReadEnd::kFailed:
      return std::string("Could not read the password: ") + std::strerror(errno);
  }
  return "Could not read the password";
}

// Asks for the password twice at the terminal `fd`; empty, or why no password was taken.
std::string askTwice(int fd, Secret& password, std::ostream& err) {
  const SignalsInterruptRead signals;
  const EchoOff echoOff(fd);
  if (!echoOff.active()) return "Could not turn off the terminal's echo";
  err << "New password: " << std::flush;
  if (std::string error = readError(readTerminalLine(fd, password)); !error.empty()) return error;
  Secret again;
  err << "Repeat password: " << std::flush;
  if (std::string error = readError(readTerminalLine(fd, again)); !error.empty()) return error;
  if (again.text() != password.text()) return "The passwords differ";
  return {};
}

}  // namespace

std::string passwdUsage() {
  return "usage: qelm-engine passwd [--viewer] [--data DIR]\n"
         "  passwd     set the remote panel's operator password (with --viewer the viewer's) in\n"
         "             the data folder's remote-passwords; asked twice at a terminal, else the\n"
         "             first line of standard input\n";
}

int passwdCommand(const std::vector<std::string>& args, std::istream& in, int terminal,
                  std::ostream& out, std::ostream& err) {
  std::string error;
  const std::optional<PasswdOptions> options = parsePasswdOptions(args, error);
  if (!options) {
    err << "qelm-engine passwd: " << error << "\n" << passwdUsage();
    return kPasswdRefused;
  }
  HostOptions folders;
  folders.dataFolder = options->dataFolder;
  const std::string dataFolder = resolveFolders(folders).data;
  const std::string path = dataFolder + Credentials::kFileName;
  // The other role's password stays; a damaged file is reported before anything is typed.
  std::optional<Credentials> credentials = Credentials::load(path, error);
  if (!credentials) {
    err << error << "\n";
    return kPasswdFailed;
  }

  Secret password;
  error =
      terminal >= 0 ? askTwice(terminal, password, err) : readError(readStreamLine(in, password));
  if (error.empty() && password.text().empty()) error = "The password is empty";
  if (!error.empty()) {
    err << error << "; nothing changed\n";
    return kPasswdFailed;
  }
  if (!credentials->set(options->role, password.text())) {
    err << "Could not hash the password\n";
    return kPasswdFailed;
  }
  password.wipe();

  std::error_code made;
  std::filesystem::create_directories(dataFolder, made);
  if (made) {
    err << "Could not create \"" << dataFolder << "\": " << made.message() << "\n";
    return kPasswdFailed;
  }
  error = credentials->save(path);
  if (!error.empty()) {
    err << error << "\n";
    return kPasswdFailed;
  }
  out << "Password set for " << remote::roleName(options->role) << " in " << path << "\n";
  return kPasswdDone;
}

}  // namespace qelm
