// qelm-engine: the panel engine without a window, for servers that only simulate frames, for
// scripts and for end-to-end tests.
#include <unistd.h>

#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "core/log.h"
#include "core/version.h"
#include "host/engine_help.h"
#include "host/headless_host.h"
#include "host/passwd_command.h"
#include "host/settings_command.h"
#include "host/token_command.h"
#include "lmcard/lm_card.h"
#include "platform/heap_tuning.h"

namespace {

std::atomic<bool> gInterrupted{false};

extern "C" void onSignal(int) {
  gInterrupted.store(true);
}

void catchInterrupts() {
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  qelm::platform::tuneHeap();
  if (argc == 2 && std::string(argv[1]) == "--version") {
    std::cout << "qelm-engine " << qelm::kVersionMajor << '.' << qelm::kVersionMinor << '.'
              << qelm::kVersionBuild << '\n';
    return 0;
  }
  // Under systemd the log's lines go to the journal with their priorities.
  const bool journal = qelm::logToJournalIfConnected();

  const std::vector<std::string> args(argv + 1, argv + argc);
  if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
    std::cout << qelm::engineHelp();
    return 0;
  }
  if (!args.empty() && args[0] == "lmcard") {
    const qelm::ParsedLmCardOptions parsed =
        qelm::parseLmCardOptions(std::vector<std::string>(args.begin() + 1, args.end()));
    if (!parsed.options) {
      std::cerr << qelm::failureLine(journal, "qelm-engine lmcard: " + parsed.error)
                << qelm::lmCardUsage();
      return 64;
    }
    catchInterrupts();
    return qelm::runLmCard(*parsed.options, std::cerr, gInterrupted);
  }
  if (!args.empty() && args[0] == "passwd") {
    const int terminal = ::isatty(STDIN_FILENO) ? STDIN_FILENO : -1;
    return qelm::passwdCommand(std::vector<std::string>(args.begin() + 1, args.end()), std::cin,
                               terminal, std::cout, std::cerr);
  }
  if (!args.empty() && args[0] == "settings")
    return qelm::settingsCommand(std::vector<std::string>(args.begin() + 1, args.end()), std::cout,
                                 std::cerr);
  if (!args.empty() && args[0] == "token")
    return qelm::tokenCommand(std::vector<std::string>(args.begin() + 1, args.end()), std::cout,
                              std::cerr);
  const qelm::ParsedOptions parsed = qelm::parseHostOptions(args);
  if (!parsed.options) {
    std::cerr << qelm::failureLine(journal, "qelm-engine: " + parsed.error) << qelm::hostUsage()
              << qelm::lmCardUsage();
    return 64;
  }
  catchInterrupts();
  return qelm::runHostCommand(*parsed.options, std::cout, gInterrupted);
}
