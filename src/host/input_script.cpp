#include "host/input_script.h"

#include <algorithm>
#include <charconv>
#include <optional>

#include "core/raster_geometry.h"

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

// Latest time a script may name: one day after the start, in milliseconds.
constexpr int64_t kLatestEventMs = 86400000;

// Each reader of one kind of line appends its event, or returns why the line was refused;
// an empty text means the line was read.

// "MS save PATH" or "MS load PATH": the path is the rest of the line, spaces included.
std::string readSessionRequest(std::string_view line, const std::vector<std::string_view>& fields,
                               std::vector<ScriptedEvent>& events) {
  const auto ms = number(fields[0], 0, kLatestEventMs);
  if (!ms) return "bad time";
  size_t from = static_cast<size_t>(fields[1].data() + fields[1].size() - line.data());
  size_t to = line.size();
  while (from < to && (line[from] == ' ' || line[from] == '\t'))
    ++from;
  while (to > from && (line[to - 1] == ' ' || line[to - 1] == '\t' || line[to - 1] == '\r'))
    --to;
  if (from == to) return "a session request needs a PATH";
  ScriptedEvent request;
  request.atMs = static_cast<uint32_t>(*ms);
  request.sessionPath = std::string(line.substr(from, to - from));
  request.operation = fields[1] == "save" ? SessionOperation::kSave : SessionOperation::kLoad;
  events.push_back(std::move(request));
  return {};
}

// "MS lines MASK".
std::string readInputLines(const std::vector<std::string_view>& fields,
                           std::vector<ScriptedEvent>& events) {
  if (fields.size() != 3) return "expected MS lines MASK";
  const auto ms = number(fields[0], 0, kLatestEventMs);
  if (!ms) return "bad time";
  const auto mask = lineMask(fields[2]);
  if (!mask) return "bad line mask (0..4095 or 0x0..0xFFF)";
  ScriptedEvent lines;
  lines.atMs = static_cast<uint32_t>(*ms);
  lines.inputLines = *mask;
  events.push_back(std::move(lines));
  return {};
}

// The "SCREEN X Y" of a touch event, fields 4 to 6.
std::string readTouchPosition(const std::vector<std::string_view>& fields, InputEvent& event) {
  if (fields.size() != 7) return "a touch needs SCREEN X Y";
  if (event.kind != EventKind::kTouched && event.kind != EventKind::kKeyReleased)
    return "a touch is kind 11 (down) or 2 (up)";
  const auto screen = number(fields[4], codeOf(Screen::kLeft), codeOf(Screen::kRight));
  const auto x = number(fields[5], 0, kScreenWidth - 1);
  const auto y = number(fields[6], 0, kScreenHeight - 1);
  if (!screen || !x || !y) return "bad touch position";
  event.screen = static_cast<int32_t>(*screen);
  event.x = static_cast<int32_t>(*x);
  event.y = static_cast<int32_t>(*y);
  return {};
}

// "MS CODE KIND COUNT", or "MS 0 KIND 1 SCREEN X Y" for a touch.
std::string readInputEvent(const std::vector<std::string_view>& fields,
                           std::vector<ScriptedEvent>& events) {
  if (fields.size() != 4 && fields.size() != 7)
    return "expected MS CODE KIND COUNT or MS 0 KIND 1 SCREEN X Y";
  const auto ms = number(fields[0], 0, kLatestEventMs);
  const auto code = number(fields[1], 0, kFirstKnobCode + kKnobCount - 1);
  const auto kind = number(fields[2], 0, 12);
  const auto count = number(fields[3], -1000, 1000);
  if (!ms) return "bad time";
  if (!code || *code == kFinalEventCode) return "bad code";
  if (!kind || !knownKind(*kind)) return "bad kind";
  if (!count) return "bad count";
  ScriptedEvent scripted;
  scripted.atMs = static_cast<uint32_t>(*ms);
  scripted.event.code = static_cast<int32_t>(*code);
  scripted.event.kind = static_cast<EventKind>(*kind);
  scripted.event.count = static_cast<int32_t>(*count);
  if (*code == kTouchCode) {
    if (std::string why = readTouchPosition(fields, scripted.event); !why.empty()) return why;
  } else if (fields.size() != 4) {
    return "only touches carry SCREEN X Y";
  }
  events.push_back(scripted);
  return {};
}

// One line of a script; blank lines and comments add nothing.
std::string readScriptLine(std::string_view line, std::vector<ScriptedEvent>& events) {
  const std::vector<std::string_view> fields = fieldsOf(line, 7);
  if (fields.empty() || fields[0].front() == '#') return {};
  if (events.size() >= kMaxScriptEvents) return "too many events";
  if (fields.size() >= 2 && (fields[1] == "save" || fields[1] == "load"))
    return readSessionRequest(line, fields, events);
  if (fields.size() >= 2 && fields[1] == "lines") return readInputLines(fields, events);
  return readInputEvent(fields, events);
}

// The line that starts at `at`, without its newline; `at` moves to the next line.
std::string_view nextLine(std::string_view text, size_t& at) {
  size_t end = text.find('\n', at);
  if (end == std::string_view::npos) end = text.size();
  const std::string_view line = text.substr(at, end - at);
  at = end + 1;
  return line;
}

}  // namespace

InputScript parseInputScript(std::string_view text) {
  InputScript script;
  size_t lineNumber = 0;
  size_t at = 0;
  while (at < text.size()) {
    const std::string_view line = nextLine(text, at);
    ++lineNumber;
    if (const std::string why = readScriptLine(line, script.events); !why.empty()) {
      script.events.clear();
      script.error = "line " + std::to_string(lineNumber) + ": " + why;
      return script;
    }
  }
  // Events of the same time keep their written order.
  std::stable_sort(script.events.begin(), script.events.end(),
                   [](const ScriptedEvent& a, const ScriptedEvent& b) { return a.atMs < b.atMs; });
  return script;
}

}  // namespace qelm
