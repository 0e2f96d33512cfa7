// Feeds arbitrary bytes to the reader of the browser's messages; whatever it accepts must lie
// within the ranges the server hands on to the input source unchecked.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/input.h"
#include "core/raster_geometry.h"
#include "remote/client_message.h"

namespace {

bool within(int32_t value, int32_t lowest, int32_t highest) {
  return value >= lowest && value <= highest;
}

bool sound(const qelm::remote::ClientMessage& message) {
  using qelm::remote::ClientMessageKind;
  switch (message.kind) {
    case ClientMessageKind::kReady:
      return true;
    case ClientMessageKind::kKey:
      return within(message.code, qelm::kFirstKeyCode, qelm::kLastKeyCode);
    case ClientMessageKind::kTurn:
      return within(message.knob, 0, qelm::kKnobCount - 1) && message.steps != 0 &&
             within(message.steps, -qelm::remote::kMostTurnSteps, qelm::remote::kMostTurnSteps);
    case ClientMessageKind::kPush:
      return within(message.knob, 0, qelm::kKnobCount - 1);
    case ClientMessageKind::kTouch:
      return within(message.screen, 0, 1) && within(message.x, 0, qelm::kScreenWidth - 1) &&
             within(message.y, 0, qelm::kScreenHeight - 1);
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto message = qelm::remote::decodeClientMessage(text);
  if (message && (size > qelm::remote::kMostClientMessageBytes || !sound(*message)))
    __builtin_trap();
  return 0;
}
