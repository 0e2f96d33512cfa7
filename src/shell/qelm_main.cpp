// qelm: the desktop panel, the engine in a window with screens, knobs, keys and a console.
#include "shell/app.h"

int main(int argc, char** argv) {
  qelm::CVadEDERApp app(argc, argv);
  return app.run();
}
