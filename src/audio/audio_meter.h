#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "audio/k_weighting.h"
#include "audio/true_peak.h"

namespace qelm::audio {

/// Most channels a meter measures, in the order L, R, C, LFE, Ls, Rs, Aux L, Aux R.
inline constexpr int kMaxChannels = 8;
/// Sample rates a meter accepts, in Hz.
inline constexpr int kMinSampleRate = 8000;
inline constexpr int kMaxSampleRate = 192000;
/// Magnitude at which samples are clipped before measuring (60 dB over full scale); NaN reads
/// as 0. One wild sample must not leave the filters at infinity for the rest of the stream.
inline constexpr float kSampleLimit = 1000.0f;

/// What a meter measured over one 100 ms block. Single precision, as the loudness payload
/// carries it; entries of channels the meter does not have are 0.
struct AudioBlock {
  /// Position of the block in the stream: 0 for the first since creation or `reset`.
  uint64_t index = 0;
  /// Frames the block covers: a tenth of the sample rate (at rates not divisible by 10 the
  /// blocks of each second differ by one frame, so ten of them make exactly one second).
  int frames = 0;
  /// Mean square of the K-weighted signal ("channel loudness power"), full scale 1.0, without
  /// channel weights: a 997 Hz sine at amplitude a gives about a^2 / 2 * 1.172.
  std::array<float, kMaxChannels> power{};
  /// Largest sample magnitude (linear, 1.0 = full scale): the "channel meter amplitude".
  std::array<float, kMaxChannels> samplePeak{};
  /// Largest magnitude of the oversampled signal (linear), never below `samplePeak`; the points
  /// between samples trail the block by 6 samples (the interpolator's delay).
  std::array<float, kMaxChannels> truePeak{};
};

/// Measures interleaved PCM per channel in 100 ms blocks: K-weighted power, sample peak and
/// true peak. Pure computation, one thread at a time.
class AudioMeter {
 public:
  /// A meter for `channels` (1..8) at `sampleRate` Hz (8000..192000); none, with the reason in
  /// `error`, for anything else.
  [[nodiscard]] static std::optional<AudioMeter> create(int sampleRate, int channels,
                                                        std::string& error);

  /// Measures interleaved samples (linear, full scale 1.0) and appends a block to `blocks` for
  /// every 100 ms completed. Any count is accepted: a partial frame or block waits for the next
  /// call, so the results do not depend on how the stream is split.
  void feed(std::span<const float> samples, std::vector<AudioBlock>& blocks);
  /// The same for 16-bit samples (full scale 32768).
  void feed(std::span<const int16_t> samples, std::vector<AudioBlock>& blocks);
  /// Forgets everything fed so far; the next block has index 0.
  void reset();

  /// Sample rate in Hz.
  int sampleRate() const { return sampleRate_; }
  /// Channels per frame.
  int channels() const { return channels_; }
  /// Oversampling factor of the true peaks: 4 below 96000 Hz, 2 from there up.
  int truePeakFactor() const { return truePeakFactor_; }

 private:
  AudioMeter(int sampleRate, int channels);
  void measure(const float* frames, size_t count, std::vector<AudioBlock>& blocks);
  void finishBlock(std::vector<AudioBlock>& blocks);
  int framesOfBlock(uint64_t index) const;
  // Where channel `channel`'s samples of the current pass start (its history just before).
  float* channelScratch(int channel);

  int sampleRate_;
  int channels_;
  int truePeakFactor_;
  TruePeakInterpolator interpolator_;
  std::vector<KWeightingFilter> filters_;
  // Per channel: the interpolator's history followed by the frames being measured.
  std::vector<float> scratch_;
  // A frame whose samples have not all arrived yet.
  std::array<float, kMaxChannels> partialFrame_{};
  int partialSamples_ = 0;
  // The block being measured.
  AudioBlock block_;
  int blockFrames_ = 0;
  int framesInBlock_ = 0;
  std::array<double, kMaxChannels> sums_{};
};

/// Weight of channel `channel` in a loudness sum: 1.0 for L, R and C (0..2), 1.41 for Ls and Rs
/// (4, 5), 0 for LFE, the Aux pair and any other index.
[[nodiscard]] double channelWeight(int channel);
/// Weighted sum of a block's channel powers.
[[nodiscard]] double weightedPower(const AudioBlock& block);
/// Loudness in LUFS of a weighted power: -0.691 + 10 log10(power); -infinity for 0 or less.
[[nodiscard]] double loudnessOfPower(double power);
/// Loudness in LUFS of consecutive blocks taken as one window (four blocks: the 400 ms
/// momentary loudness; one: the block's own); -infinity for no blocks or silence.
[[nodiscard]] double windowLoudness(std::span<const AudioBlock> blocks);

}  // namespace qelm::audio
