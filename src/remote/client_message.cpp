#include "remote/client_message.h"

#include <nlohmann/json.hpp>

#include "core/input.h"
#include "core/raster_geometry.h"

namespace qelm::remote {

namespace {

using Json = nlohmann::json;

// The names of the kinds in the "t" field.
constexpr std::string_view kReadyName = "ready";
constexpr std::string_view kKeyName = "key";
constexpr std::string_view kTurnName = "turn";
constexpr std::string_view kPushName = "push";
constexpr std::string_view kTouchName = "touch";

std::optional<ClientMessageKind> kindNamed(std::string_view name) {
  if (name == kReadyName) return ClientMessageKind::kReady;
  if (name == kKeyName) return ClientMessageKind::kKey;
  if (name == kTurnName) return ClientMessageKind::kTurn;
  if (name == kPushName) return ClientMessageKind::kPush;
  if (name == kTouchName) return ClientMessageKind::kTouch;
  return std::nullopt;
}

// The integer field `name` of `object` when it lies in lowest..highest. JSON numbers with a
// fraction or an exponent are not integers here, even when whole ("1.0").
std::optional<int32_t> integerField(const Json& object, const char* name, int32_t lowest,
                                    int32_t highest) {
  const auto found = object.find(name);
  if (found == object.end() || !found->is_number_integer()) return std::nullopt;
  if (found->is_number_unsigned()) {
    const uint64_t value = found->get<uint64_t>();
    if (highest < 0 || value > static_cast<uint64_t>(highest)) return std::nullopt;
    if (static_cast<int64_t>(value) < lowest) return std::nullopt;
    return static_cast<int32_t>(value);
  }
  const int64_t value = found->get<int64_t>();
  if (value < lowest || value > highest) return std::nullopt;
  return static_cast<int32_t>(value);
}

std::optional<bool> booleanField(const Json& object, const char* name) {
  const auto found = object.find(name);
  if (found == object.end() || !found->is_boolean()) return std::nullopt;
  return found->get<bool>();
}

std::optional<ClientMessage> readFields(const Json& object, ClientMessageKind kind) {
  ClientMessage message;
  message.kind = kind;
  switch (kind) {
    case ClientMessageKind::kReady:
      return message;
    case ClientMessageKind::kKey: {
      const auto code = integerField(object, "code", kFirstKeyCode, kLastKeyCode);
      if (!code) return std::nullopt;
      message.code = *code;
      return message;
    }
    case ClientMessageKind::kTurn: {
      const auto knob = integerField(object, "knob", 0, kKnobCount - 1);
      const auto steps = integerField(object, "steps", -kMostTurnSteps, kMostTurnSteps);
      if (!knob || !steps || *steps == 0) return std::nullopt;
      message.knob = *knob;
      message.steps = *steps;
      return message;
    }
    case ClientMessageKind::kPush: {
      const auto knob = integerField(object, "knob", 0, kKnobCount - 1);
      const auto down = booleanField(object, "down");
      if (!knob || !down) return std::nullopt;
      message.knob = *knob;
      message.down = *down;
      // Optional: how long the press was held before the browser knew it was a push.
      if (object.contains("held")) {
        const auto held = integerField(object, "held", 0, kMostPushHeldMs);
        if (!held) return std::nullopt;
        message.held = *down ? *held : 0;
      }
      return message;
    }
    case ClientMessageKind::kTouch: {
      const auto screen =
          integerField(object, "screen", codeOf(Screen::kLeft), codeOf(Screen::kRight));
      const auto x = integerField(object, "x", 0, kScreenWidth - 1);
      const auto y = integerField(object, "y", 0, kScreenHeight - 1);
      const auto down = booleanField(object, "down");
      if (!screen || !x || !y || !down) return std::nullopt;
      message.screen = *screen;
      message.x = *x;
      message.y = *y;
      message.down = *down;
      return message;
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<ClientMessage> decodeClientMessage(std::string_view text) {
  // The JSON reader takes a zero byte for the end of its input; what follows it would pass.
  if (text.size() > kMostClientMessageBytes || text.find('\0') != std::string_view::npos)
    return std::nullopt;
  // No exceptions: malformed text gives a discarded value.
  const Json object = Json::parse(text.begin(), text.end(), nullptr, false);
  if (object.is_discarded() || !object.is_object()) return std::nullopt;
  const auto type = object.find("t");
  if (type == object.end() || !type->is_string()) return std::nullopt;
  const std::optional<ClientMessageKind> kind = kindNamed(type->get_ref<const std::string&>());
  if (!kind) return std::nullopt;
  return readFields(object, *kind);
}

std::string encodeHello(std::string_view role, int32_t width, int32_t height, bool loggedIn) {
  return Json{
      {"type", "hello"}, {"role", role}, {"width", width}, {"height", height}, {"login", loggedIn}}
      .dump();
}

}  // namespace qelm::remote
