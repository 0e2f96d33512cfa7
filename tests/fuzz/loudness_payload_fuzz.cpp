// Feeds arbitrary loudness payloads, as a card would send them in OID 3420, through the decoder
// into a loudness session whose settings and commands also come from the input, and checks that
// the statistics stay within their ranges.
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <span>

#include "loudness/loudness_context.h"
#include "loudness/loudness_payload.h"

namespace {

using namespace qelm;

class TickedWallClock final : public WallClock {
 public:
  std::tm now() override {
    std::tm t{};
    const std::time_t seconds = 1709636390 + static_cast<std::time_t>(ticks / 10);
    gmtime_r(&seconds, &t);
    return t;
  }
  uint32_t ticks = 0;
};

void check(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  TickedWallClock wall;
  LoudnessContext context("Card [1]", wall);
  const uint8_t flags = data[0];
  LoudnessSettings settings;
  settings.allChannels = flags & 1;
  settings.trigger = static_cast<TriggerMode>(((flags >> 1) & 3) % 3);
  settings.logEverySample = flags & 8;
  settings.dialnormMode = flags & 16 ? DialnormMode::kCheck : DialnormMode::kIgnore;
  settings.lowThreshold = -5.0f;
  settings.stopDuration = 0.0f;
  settings.startTimecode = "00:00:01";
  settings.stopTimecode = "10:00:00";
  settings.rolloverEnabled = true;
  settings.graphMode = flags & 32 ? GraphMode::kCustom : GraphMode::kEbu9;
  settings.customPeriod = static_cast<float>(data[1] % 70);
  context.applySettings(settings);
  context.setStatus(LinkStatus::kLive);
  const bool secondary = flags & 64;

  uint32_t tick = 100;
  size_t at = 2;
  // Records: command byte, length byte, then that many payload bytes.
  while (at + 2 <= size) {
    const uint8_t command = data[at];
    const size_t length = data[at + 1];
    at += 2;
    const size_t take = length < size - at ? length : size - at;
    const std::span<const uint8_t> payload(data + at, take);
    at += take;
    tick += 1 + (command >> 5);
    wall.ticks = tick;
    switch (command & 7) {
      case 0:
        context.start();
        break;
      case 1:
        context.stop(command & 8);
        break;
      case 2:
        context.pause();
        break;
      case 3:
        context.clear();
        break;
      case 4:
        context.toggle();
        break;
      default:
        break;
    }
    if (command & 16) context.poll(tick, tick * 100);
    const PayloadType type = classifyPayload(payload);
    if (type != PayloadType::kCurrent) {
      context.rejectPayload(type);
      continue;
    }
    const auto decoded = decodePayload(payload, secondary);
    check(decoded.has_value());
    context.processPayload(*decoded, tick, tick * 100);
    const int16_t integrated = context.integratedTenths();
    check(integrated == kTenthsNoData || (integrated >= -700 && integrated <= kTenthsMaximum));
    const int16_t range = context.rangeTenths();
    check(range == kTenthsNoData || (range >= 1 && range <= 700));
    const SessionRecord& record = context.record();
    for (int i = 0; i < 4; ++i)
      check(record.openError[static_cast<size_t>(i)] < static_cast<int32_t>(record.errors.size()));
  }
  context.stop(false);
  context.finishPendingReport();
  return 0;
}
