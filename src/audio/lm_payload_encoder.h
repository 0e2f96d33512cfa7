#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "audio/audio_meter.h"

namespace qelm::audio {

/// Size of a current-format (format 2) loudness payload, in bytes.
inline constexpr int kLoudnessPayloadSize = 224;
/// Format word of the current loudness payload.
inline constexpr uint32_t kLoudnessPayloadFormat = 2;
/// Highest frame rate a payload's timecode can carry: the frames tens digit has two bits.
inline constexpr int kMaxTimecodeFps = 30;

/// A timecode hours:minutes:seconds:frames; every field a whole number inside its range
/// (hours 0..23, minutes and seconds 0..59, frames 0..fps-1).
struct Timecode {
  int hours = 0;
  int minutes = 0;
  int seconds = 0;
  int frames = 0;

  /// Same four fields.
  friend bool operator==(const Timecode&, const Timecode&) = default;
};

/// `start` advanced by `frames` frames at `fps` frames per second (1..30), wrapping at 24 h.
[[nodiscard]] Timecode advanceTimecode(const Timecode& start, uint64_t frames, int fps);

/// What a payload carries besides the measurements.
struct PayloadHeader {
  /// Message sequence number; increases by one per payload.
  uint32_t sequence = 0;
  /// Dialnorm in dB (-31..-1); none when absent (sent as -1).
  std::optional<int> dialnorm;
  /// Timecode of the block's start; none when absent (sent as eight zero bytes).
  std::optional<Timecode> timecode;
};

/// The format-2 loudness payload of one 100 ms block: big-endian, IEEE single-precision reals;
/// the block's channels fill the primary blocks, the secondary blocks and the words nobody
/// reads are zero. Channel powers beyond Rs (the Aux pair) are not carried.
[[nodiscard]] std::array<uint8_t, kLoudnessPayloadSize> encodeLoudnessPayload(
    const AudioBlock& block, const PayloadHeader& header);

}  // namespace qelm::audio
