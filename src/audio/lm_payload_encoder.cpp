#include "audio/lm_payload_encoder.h"

#include <bit>

namespace qelm::audio {

namespace {

// Offsets of the payload's fields, in bytes.
constexpr int kFormatAt = 0;
constexpr int kSequenceAt = 8;
constexpr int kTimecodeAt = 20;
constexpr int kDialnormAt = 28;
constexpr int kMeterAt = 32;
constexpr int kTruePeakAt = 96;
constexpr int kPowerAt = 160;
// Channels whose loudness power the payload carries (L, R, C, LFE, Ls, Rs).
constexpr int kPowerChannels = 6;

constexpr uint64_t kSecondsPerDay = 24 * 60 * 60;

void putWord(std::array<uint8_t, kLoudnessPayloadSize>& out, int at, uint32_t word) {
  out[at] = static_cast<uint8_t>(word >> 24);
  out[at + 1] = static_cast<uint8_t>(word >> 16);
  out[at + 2] = static_cast<uint8_t>(word >> 8);
  out[at + 3] = static_cast<uint8_t>(word);
}

void putReal(std::array<uint8_t, kLoudnessPayloadSize>& out, int at, float value) {
  putWord(out, at, std::bit_cast<uint32_t>(value));
}

}  // namespace

Timecode advanceTimecode(const Timecode& start, uint64_t frames, int fps) {
  const uint64_t rate = static_cast<uint64_t>(fps);
  const uint64_t startFrames =
      ((static_cast<uint64_t>(start.hours) * 60 + start.minutes) * 60 + start.seconds) * rate +
      start.frames;
  const uint64_t total = (startFrames + frames % (kSecondsPerDay * rate)) % (kSecondsPerDay * rate);
  const uint64_t seconds = total / rate;
  Timecode out;
  out.frames = static_cast<int>(total % rate);
  out.seconds = static_cast<int>(seconds % 60);
  out.minutes = static_cast<int>(seconds / 60 % 60);
  out.hours = static_cast<int>(seconds / 3600);
  return out;
}

std::array<uint8_t, kLoudnessPayloadSize> encodeLoudnessPayload(const AudioBlock& block,
                                                                const PayloadHeader& header) {
  std::array<uint8_t, kLoudnessPayloadSize> out{};
  putWord(out, kFormatAt, kLoudnessPayloadFormat);
  putWord(out, kSequenceAt, header.sequence);
  if (header.timecode) {
    const Timecode& tc = *header.timecode;
    // One BCD digit per byte; the masks keep a field out of range from spilling into others.
    const int digits[8] = {tc.hours / 10 & 0x3,   tc.hours % 10 & 0xF,   tc.minutes / 10 & 0x7,
                           tc.minutes % 10 & 0xF, tc.seconds / 10 & 0x7, tc.seconds % 10 & 0xF,
                           tc.frames / 10 & 0x3,  tc.frames % 10 & 0xF};
    for (int i = 0; i < 8; ++i)
      out[kTimecodeAt + i] = static_cast<uint8_t>(digits[i]);
  }
  // The wire holds minus the dialnorm; -1 says there is none.
  putWord(out, kDialnormAt,
          static_cast<uint32_t>(header.dialnorm ? -*header.dialnorm : int32_t{-1}));
  for (int channel = 0; channel < kMaxChannels; ++channel) {
    putReal(out, kMeterAt + 4 * channel, block.samplePeak[channel]);
    putReal(out, kTruePeakAt + 4 * channel, block.truePeak[channel]);
  }
  for (int channel = 0; channel < kPowerChannels; ++channel)
    putReal(out, kPowerAt + 4 * channel, block.power[channel]);
  return out;
}

}  // namespace qelm::audio
