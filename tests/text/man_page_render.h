#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

namespace qelm {

// The page as a terminal shows it (groff, plain ASCII, no bold or underline), or empty when
// groff is not installed.
inline std::optional<std::string> renderedManPage(const std::string& page) {
  if (::access("/usr/bin/groff", X_OK) != 0) return std::nullopt;
  const std::filesystem::path file =
      std::filesystem::temp_directory_path() / ("man_page_test_" + std::to_string(::getpid()));
  std::ofstream(file) << page;
  const std::string command =
      "/usr/bin/groff -man -Tascii -P-c -P-b -P-u -rLL=200n '" + file.string() + "' 2>&1";
  std::string shown;
  if (std::FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[4096];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
      shown.append(buffer, n);
    ::pclose(pipe);
  }
  std::filesystem::remove(file);
  return shown;
}

// Each non-blank line of `help` after the first (trimmed) is a line of `shown` (trimmed).
inline void expectEveryLineShown(const std::string& help, const std::string& shown) {
  const auto trimmed = [](std::string line) {
    line.erase(0, line.find_first_not_of(' '));
    line.erase(line.find_last_not_of(' ') + 1);
    return line;
  };
  std::string shownLines = "\n";
  std::istringstream shownStream(shown);
  for (std::string line; std::getline(shownStream, line);)
    shownLines += trimmed(line) + "\n";
  std::istringstream helpStream(help);
  std::string line;
  std::getline(helpStream, line);  // the NAME line is reworded as "name - summary"
  while (std::getline(helpStream, line)) {
    if (trimmed(line).empty() || (line[0] != ' ' && line.back() == ':')) continue;  // headings
    EXPECT_NE(shownLines.find("\n" + trimmed(line) + "\n"), std::string::npos)
        << "not shown as written: \"" << line << "\"\n"
        << shown;
  }
}

}  // namespace qelm
