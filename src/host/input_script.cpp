#include "host/input_script.h"

#include <algorithm>
#include <charconv>
#include <optional>

namespace qelm {

namespace {

// The whitespace-separated fields of one line, at most `limit` of them (one more means too many).
std::vector<std::string_view> fieldsOf(std::string_view line, size_t limit) {
  std::vector<std::string_view> fields;
  size_t at = 0;
  while (at < line.size() && fields.size() <= limit) {
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t' || line[at] == '\r'))
      ++at;
    if (at >= line.size()) break;
    const size_t start = at;
    while (at < line.size() && line[at] != ' ' && line[at] != '\t' && line[at] != '\r')
      ++at;
    fields.push_back(line.substr(start, at - start));
  }
  return fields;
}

std::optional<int64_t> number(std::string_view field, int64_t low, int64_t high) {
  int64_t value = 0;
  const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), value);
  if (error != std::errc() || end != field.data() + field.size() || value < low || value > high)
    return std::nullopt;
  return value;
}

// Decimal, or hexadecimal after "0x" / "0X"; no sign.
std::optional<uint32_t> lineMask(std::string_view field) {
  int base = 10;
  if (field.size() > 2 && field[0] == '0' && (field[1] == 'x' || field[1] == 'X')) {
    field.remove_prefix(2);
    base = 16;
  }
  if (field.empty() || field.front() == '-' || field.front() == '+') return std::nullopt;
  uint32_t mask = 0;
  const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), mask, base);
  if (error != std::errc() || end != field.data() + field.size() || mask > kMaxInputLineMask)
    return std::nullopt;
  return mask;
}

bool knownKind(int64_t kind) {
  return (kind >= 1 && kind <= 8) || kind == 11 || kind == 12;
}

}  // namespace

InputScript parseInputScript(std::string_view text) {
  InputScript script;
  size_t lineNumber = 0;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(at, end - at);
    at = end + 1;
    ++lineNumber;
    const auto fail = [&](const std::string& why) {
      script.events.clear();
      script.error = "line " + std::to_string(lineNumber) + ": " + why;
      return script;
    };
    const std::vector<std::string_view> fields = fieldsOf(line, 7);
    if (fields.empty() || fields[0].front() == '#') continue;
    if (script.events.size() >= kMaxScriptEvents) return fail("too many events");
    if (fields.size() >= 2 && (fields[1] == "save" || fields[1] == "load")) {
      const auto ms = number(fields[0], 0, 86400000);
      if (!ms) return fail("bad time");
      // The path is the rest of the line, spaces included.
      size_t from = static_cast<size_t>(fields[1].data() + fields[1].size() - line.data());
      size_t to = line.size();
      while (from < to && (line[from] == ' ' || line[from] == '\t'))
        ++from;
      while (to > from && (line[to - 1] == ' ' || line[to - 1] == '\t' || line[to - 1] == '\r'))
        --to;
      if (from == to) return fail("a session request needs a PATH");
      ScriptedEvent request;
      request.atMs = static_cast<uint32_t>(*ms);
      request.sessionPath = std::string(line.substr(from, to - from));
      request.operation = fields[1] == "save" ? SessionOperation::kSave : SessionOperation::kLoad;
      script.events.push_back(std::move(request));
      continue;
    }
    if (fields.size() >= 2 && fields[1] == "lines") {
      if (fields.size() != 3) return fail("expected MS lines MASK");
      const auto ms = number(fields[0], 0, 86400000);
      if (!ms) return fail("bad time");
      const auto mask = lineMask(fields[2]);
      if (!mask) return fail("bad line mask (0..4095 or 0x0..0xFFF)");
      ScriptedEvent lines;
      lines.atMs = static_cast<uint32_t>(*ms);
      lines.inputLines = *mask;
      script.events.push_back(std::move(lines));
      continue;
    }
    if (fields.size() != 4 && fields.size() != 7)
      return fail("expected MS CODE KIND COUNT or MS 0 KIND 1 SCREEN X Y");
    const auto ms = number(fields[0], 0, 86400000);
    const auto code = number(fields[1], 0, kFirstKnobCode + kKnobCount - 1);
    const auto kind = number(fields[2], 0, 12);
    const auto count = number(fields[3], -1000, 1000);
    if (!ms) return fail("bad time");
    if (!code || *code == kFinalEventCode) return fail("bad code");
    if (!kind || !knownKind(*kind)) return fail("bad kind");
    if (!count) return fail("bad count");
    ScriptedEvent scripted;
    scripted.atMs = static_cast<uint32_t>(*ms);
    scripted.event.code = static_cast<int32_t>(*code);
    scripted.event.kind = static_cast<EventKind>(*kind);
    scripted.event.count = static_cast<int32_t>(*count);
    if (*code == kTouchCode) {
      if (fields.size() != 7) return fail("a touch needs SCREEN X Y");
      if (*kind != 11 && *kind != 2) return fail("a touch is kind 11 (down) or 2 (up)");
      const auto screen = number(fields[4], 0, 1);
      const auto x = number(fields[5], 0, 479);
      const auto y = number(fields[6], 0, 271);
      if (!screen || !x || !y) return fail("bad touch position");
      scripted.event.screen = static_cast<int32_t>(*screen);
      scripted.event.x = static_cast<int32_t>(*x);
      scripted.event.y = static_cast<int32_t>(*y);
    } else if (fields.size() != 4) {
      return fail("only touches carry SCREEN X Y");
    }
    script.events.push_back(scripted);
  }
  // Events of the same time keep their written order.
  std::stable_sort(script.events.begin(), script.events.end(),
                   [](const ScriptedEvent& a, const ScriptedEvent& b) { return a.atMs < b.atMs; });
  return script;
}

}  // namespace qelm
