#include "loudness/loudness_payload.h"

#include <cmath>
#include <cstring>

#include "loudness/loudness_levels.h"

namespace qelm {

namespace {

constexpr size_t kOldSizeA = 76;
constexpr size_t kOldSizeB = 104;
constexpr size_t kSequenceAt = 8;
constexpr size_t kTimecodeAt = 20;
constexpr size_t kDialnormAt = 28;
constexpr size_t kMeterAt = 32;
constexpr size_t kTruePeakAt = 96;
constexpr size_t kPowerAt = 160;
constexpr size_t kSecondaryMeterOffset = 32;
constexpr size_t kSecondaryPowerOffset = 32;
constexpr int32_t kNoDialnorm = -1;

uint32_t readLong(const uint8_t* at) {
  return static_cast<uint32_t>(at[0]) << 24 | static_cast<uint32_t>(at[1]) << 16 |
         static_cast<uint32_t>(at[2]) << 8 | static_cast<uint32_t>(at[3]);
}

float readReal(const uint8_t* at) {
  const uint32_t bits = readLong(at);
  float value = 0.0f;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

}  // namespace

PayloadType classifyPayload(std::span<const uint8_t> payload) {
  if (payload.size() == kOldSizeA || payload.size() == kOldSizeB) return PayloadType::kOld;
  if (payload.size() < 4) return PayloadType::kBad;
  const uint32_t format = readLong(payload.data());
  if (format == 1) return PayloadType::kOld;
  if (format == 2 && payload.size() == kCurrentPayloadSize) return PayloadType::kCurrent;
  return PayloadType::kBad;
}

std::string timecodeText(std::span<const uint8_t, 8> bytes) {
  bool any = false;
  for (const uint8_t b : bytes)
    any = any || b != 0;
  if (!any) return std::string();
  static constexpr uint8_t kMasks[8] = {0x3, 0xF, 0x7, 0xF, 0x7, 0xF, 0x3, 0xF};
  static constexpr char kAfter[8] = {0, ':', 0, ':', 0, '.', 0, 0};
  std::string text;
  text.reserve(11);
  for (size_t i = 0; i < 8; ++i) {
    const int digit = bytes[i] & kMasks[i];
    // A nibble that is not BCD still yields one character, so the text keeps its shape.
    text.push_back(static_cast<char>('0' + (digit > 9 ? 9 : digit)));
    if (kAfter[i] != 0) text.push_back(kAfter[i]);
  }
  return text;
}

std::optional<DecodedPayload> decodePayload(std::span<const uint8_t> payload, bool secondary) {
  if (classifyPayload(payload) != PayloadType::kCurrent) return std::nullopt;
  const uint8_t* p = payload.data();
  DecodedPayload out;
  out.sequence = readLong(p + kSequenceAt);
  out.timecode = timecodeText(std::span<const uint8_t, 8>(p + kTimecodeAt, 8));
  const auto dialnorm = static_cast<int32_t>(readLong(p + kDialnormAt));
  out.dialnormPresent = dialnorm != kNoDialnorm;
  // Computed in float: negating the most negative integer would overflow.
  out.dialnorm = out.dialnormPresent ? -static_cast<float>(dialnorm) : 0.0f;
  const size_t meterAt = kMeterAt + (secondary ? kSecondaryMeterOffset : 0);
  const size_t peakAt = kTruePeakAt + (secondary ? kSecondaryMeterOffset : 0);
  const size_t powerAt = kPowerAt + (secondary ? kSecondaryPowerOffset : 0);
  for (int i = 0; i < kMeterChannels; ++i) {
    out.meterDb[i] = amplitudeToDb(readReal(p + meterAt + 4 * static_cast<size_t>(i)));
    out.truePeakDb[i] = amplitudeToDb(readReal(p + peakAt + 4 * static_cast<size_t>(i)));
  }
  for (int i = 0; i < kLoudnessChannels; ++i) {
    const float power = readReal(p + powerAt + 4 * static_cast<size_t>(i));
    out.powers[i] = std::isfinite(power) && power > 0.0f ? power : 0.0;
  }
  return out;
}

uint32_t droppedMessages(std::optional<uint32_t> previous, uint32_t current) {
  if (!previous) return 0;
  const uint32_t step = current - *previous;  // modulo 2^32: counting past the top is no gap
  if (step == 0 || step > 0x7FFFFFFFu) return 0;
  return step - 1;
}

LinkStatus monitorStatus(LinkStatus cardStatus, bool recentData, PayloadType lastType,
                         bool featureError) {
  if (cardStatus != LinkStatus::kLive) return cardStatus;
  if (recentData) return LinkStatus::kLive;
  if (lastType == PayloadType::kBad) return LinkStatus::kBadLoudnessMessage;
  if (lastType == PayloadType::kOld) return LinkStatus::kOldLmFormat;
  if (featureError) return LinkStatus::kMissingFeature;
  return LinkStatus::kNoData;
}

int compareTimecodes(const std::string& a, const std::string& b) {
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  const int c = n == 0 ? 0 : std::memcmp(a.data(), b.data(), n);
  if (c != 0) return c;
  return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

}  // namespace qelm
