#include "text/man_page.h"

#include <cctype>
#include <vector>

namespace qelm {

namespace {

std::vector<std::string_view> linesOf(std::string_view text) {
  std::vector<std::string_view> lines;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    at = end + 1;
  }
  return lines;
}

std::string upperCased(std::string_view text) {
  std::string upper(text);
  for (char& c : upper)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return upper;
}

bool isHeading(std::string_view line) {
  return line.size() >= 2 && line.back() == ':' &&
         std::isalpha(static_cast<unsigned char>(line.front())) != 0;
}

// A title for .TH and .SH: quoted, so its own quotes are dropped.
std::string quotedArgument(std::string_view text) {
  std::string quoted = "\"";
  for (const char c : roffEscaped(text))
    if (c != '"') quoted += c;
  return quoted + "\"";
}

}  // namespace

std::string roffEscaped(std::string_view line) {
  std::string out;
  out.reserve(line.size() + 8);
  // A control character at the start of a line would make the line a request.
  if (!line.empty() && (line.front() == '.' || line.front() == '\'')) out += "\\&";
  for (const char c : line) {
    if (c == '\\')
      out += "\\e";
    else if (c == '-')
      out += "\\-";  // a minus sign, so options copied from the page still work
    else
      out += c;
  }
  return out;
}

std::string manPageFromHelp(std::string_view help, std::string_view section,
                            std::string_view source) {
  std::vector<std::string_view> lines = linesOf(help);
  std::string name = "unknown";
  std::string summary;
  size_t first = 0;
  if (!lines.empty()) {
    const size_t dash = lines[0].find(" - ");
    if (dash != std::string_view::npos && dash > 0) {
      name = std::string(lines[0].substr(0, dash));
      summary = std::string(lines[0].substr(dash + 3));
      first = 1;
    }
  }
  std::string page = ".TH " + quotedArgument(upperCased(name)) + " " + quotedArgument(section) +
                     " \"\" " + quotedArgument(source) + " \"User Commands\"\n";
  page += ".SH NAME\n" + roffEscaped(name) + " \\- " + roffEscaped(summary) + "\n";
  bool inBlock = false;
  const auto closeBlock = [&] {
    if (inBlock) page += ".fi\n";
    inBlock = false;
  };
  // Blank lines at a section's start or end are the help text's spacing, not the page's.
  while (first < lines.size() && lines[first].empty())
    ++first;
  size_t pendingBlanks = 0;
  bool sectionOpen = false;
  for (size_t i = first; i < lines.size(); ++i) {
    const std::string_view line = lines[i];
    if (isHeading(line)) {
      closeBlock();
      pendingBlanks = 0;
      const std::string title = upperCased(line.substr(0, line.size() - 1));
      page += ".SH " + quotedArgument(title == "USAGE" ? "SYNOPSIS" : title) + "\n";
      sectionOpen = true;
      continue;
    }
    if (line.empty()) {
      ++pendingBlanks;
      continue;
    }
    if (!sectionOpen) {
      page += ".SH DESCRIPTION\n";
      sectionOpen = true;
    }
    if (!inBlock) {
      page += ".nf\n";
      inBlock = true;
    } else {
      for (; pendingBlanks > 0; --pendingBlanks)
        page += ".sp\n";
    }
    pendingBlanks = 0;
    page += roffEscaped(line) + "\n";
  }
  closeBlock();
  return page;
}

}  // namespace qelm
