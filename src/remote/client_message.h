#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qelm::remote {

/// What a browser's message asks for.
enum class ClientMessageKind : uint8_t {
  kReady = 0,  ///< the last screen update is drawn
  kKey = 1,    ///< a panel key pressed and released
  kTurn = 2,   ///< a knob turned some steps
  kPush = 3,   ///< a knob pushed or released
  kTouch = 4,  ///< a screen touched or lifted
};

/// Longest message a browser may send, in bytes.
inline constexpr size_t kMostClientMessageBytes = 256;
/// Most steps one turn message carries, either way.
inline constexpr int32_t kMostTurnSteps = 16;
/// Longest time a push may say it was held in the browser before it was sent, in ms.
inline constexpr int32_t kMostPushHeldMs = 1000;

/// One message from the browser, its fields checked. Fields its kind does not use are 0/false.
struct ClientMessage {
  ClientMessageKind kind = ClientMessageKind::kReady;
  int32_t code = 0;    ///< kKey: key code 1..16 (a `PanelKey`)
  int32_t knob = 0;    ///< kTurn, kPush: knob 0..7
  int32_t steps = 0;   ///< kTurn: -16..16, never 0; positive is clockwise
  bool down = false;   ///< kPush, kTouch: pushed / touched (false: released / lifted)
  int32_t held = 0;    ///< kPush down: ms already held in the browser, 0..kMostPushHeldMs
  int32_t screen = 0;  ///< kTouch: a `Screen` number (0 left, 1 right)
  int32_t x = 0;       ///< kTouch: 0..479
  int32_t y = 0;       ///< kTouch: 0..271

  friend bool operator==(const ClientMessage&, const ClientMessage&) = default;
};

/// Reads one text message of the browser (JSON, at most `kMostClientMessageBytes`); nothing for
/// an unknown kind, a missing field, a field of the wrong type or out of range, or bytes that
/// are not such JSON. Fields the kind does not use are ignored.
std::optional<ClientMessage> decodeClientMessage(std::string_view text);

/// The server's first message on a browser's WebSocket: the browser's role ("operator" or
/// "viewer"), the size of the raster it is sent, and whether it came through a login (without
/// one there is nothing to log out of).
std::string encodeHello(std::string_view role, int32_t width, int32_t height, bool loggedIn);

}  // namespace qelm::remote
