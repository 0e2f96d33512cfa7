// qelm-engine: the panel engine without a window, for servers that only simulate frames, for
// scripts and for end-to-end tests.
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "host/headless_host.h"

namespace {

std::atomic<bool> gInterrupted{false};

extern "C" void onSignal(int) {
  gInterrupted.store(true);
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  const qelm::ParsedOptions parsed = qelm::parseHostOptions(args);
  if (!parsed.options) {
    std::cerr << "qelm-engine: " << parsed.error << "\n" << qelm::hostUsage();
    return 64;
  }
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  return qelm::runHostCommand(*parsed.options, std::cout, gInterrupted);
}
