// Writes the manual page of a program from its --help text: man_page SECTION SOURCE OUTPUT,
// the help text on standard input.
#include "text/man_page.h"

#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: man_page SECTION SOURCE OUTPUT < HELP_TEXT\n";
    return 64;
  }
  std::ostringstream help;
  help << std::cin.rdbuf();
  if (help.str().empty()) {
    std::cerr << "man_page: no help text on standard input\n";
    return 1;
  }
  std::ofstream out(argv[3], std::ios::binary | std::ios::trunc);
  out << qelm::manPageFromHelp(help.str(), argv[1], argv[2]);
  out.close();
  if (!out) {
    std::cerr << "man_page: could not write \"" << argv[3] << "\"\n";
    return 1;
  }
  return 0;
}
