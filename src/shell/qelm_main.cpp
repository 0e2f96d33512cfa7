// qelm: the desktop panel, the engine in a window with screens, knobs, keys and a console.
#include <iostream>
#include <string>
#include <vector>

#include "core/version.h"
#include "platform/heap_tuning.h"
#include "shell/app.h"
#include "shell/command_line.h"

int main(int argc, char** argv) {
  qelm::platform::tuneHeap();
  // Before the application object, so that no display is needed.
  if (qelm::parseCommandLine(std::vector<std::string>(argv + 1, argv + argc)).version) {
    std::cout << "qelm " << qelm::kVersionMajor << '.' << qelm::kVersionMinor << '.'
              << qelm::kVersionBuild << '\n';
    return 0;
  }
  qelm::CVadEDERApp app(argc, argv);
  return app.run();
}
