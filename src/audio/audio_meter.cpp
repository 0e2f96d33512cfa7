#include "audio/audio_meter.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace qelm::audio {

namespace {

// Frames measured in one pass: bounds the scratch memory (and keeps it in the first-level
// cache) however large a block or a call is.
constexpr size_t kPassFrames = 1024;
constexpr size_t kScratchStride = TruePeakInterpolator::kHistory + kPassFrames;
// Sixteen-bit samples are converted in pieces of this many.
constexpr size_t kConvertSamples = 1024;

float cleanSample(float x) {
  if (std::isnan(x)) return 0.0f;
  return std::clamp(x, -kSampleLimit, kSampleLimit);
}

}  // namespace

std::optional<AudioMeter> AudioMeter::create(int sampleRate, int channels, std::string& error) {
  if (sampleRate < kMinSampleRate || sampleRate > kMaxSampleRate) {
    error = "Sample rate " + std::to_string(sampleRate) + " Hz is not between " +
            std::to_string(kMinSampleRate) + " and " + std::to_string(kMaxSampleRate);
    return std::nullopt;
  }
  if (channels < 1 || channels > kMaxChannels) {
    error = "Channel count " + std::to_string(channels) + " is not between 1 and " +
            std::to_string(kMaxChannels);
    return std::nullopt;
  }
  error.clear();
  return AudioMeter(sampleRate, channels);
}

AudioMeter::AudioMeter(int sampleRate, int channels)
    : sampleRate_(sampleRate),
      channels_(channels),
      truePeakFactor_(audio::truePeakFactor(sampleRate)),
      interpolator_(truePeakFactor_),
      filters_(channels, KWeightingFilter(kWeightingCoefficients(sampleRate))),
      scratch_(channels * kScratchStride, 0.0f) {
  reset();
}

void AudioMeter::reset() {
  for (KWeightingFilter& filter : filters_)
    filter.reset();
  std::fill(scratch_.begin(), scratch_.end(), 0.0f);
  partialSamples_ = 0;
  block_ = AudioBlock{};
  blockFrames_ = framesOfBlock(0);
  framesInBlock_ = 0;
  sums_.fill(0);
}

int AudioMeter::framesOfBlock(uint64_t index) const {
  // Block k of a second ends at frame floor((k + 1) * rate / 10) of that second.
  int k = static_cast<int>(index % 10);
  return (k + 1) * sampleRate_ / 10 - k * sampleRate_ / 10;
}

void AudioMeter::feed(std::span<const float> samples, std::vector<AudioBlock>& blocks) {
  size_t at = 0;
  if (partialSamples_ > 0) {
    while (partialSamples_ < channels_ && at < samples.size())
      partialFrame_[partialSamples_++] = samples[at++];
    if (partialSamples_ < channels_) return;
    partialSamples_ = 0;
    measure(partialFrame_.data(), 1, blocks);
  }
  size_t frames = (samples.size() - at) / channels_;
  measure(samples.data() + at, frames, blocks);
  at += frames * channels_;
  while (at < samples.size())
    partialFrame_[partialSamples_++] = samples[at++];
}

void AudioMeter::feed(std::span<const int16_t> samples, std::vector<AudioBlock>& blocks) {
  std::array<float, kConvertSamples> converted;
  while (!samples.empty()) {
    size_t count = std::min(samples.size(), converted.size());
    for (size_t i = 0; i < count; ++i)
      converted[i] = samples[i] * (1.0f / 32768.0f);
    feed(std::span<const float>(converted.data(), count), blocks);
    samples = samples.subspan(count);
  }
}

float* AudioMeter::channelScratch(int channel) {
  return scratch_.data() + channel * kScratchStride + TruePeakInterpolator::kHistory;
}

void AudioMeter::measure(const float* frames, size_t count, std::vector<AudioBlock>& blocks) {
  constexpr size_t kHistory = TruePeakInterpolator::kHistory;
  while (count > 0) {
    size_t n = std::min({count, kPassFrames, static_cast<size_t>(blockFrames_ - framesInBlock_)});
    for (int c = 0; c < channels_; ++c) {
      float* x = channelScratch(c);
      const float* in = frames + c;
      float peak = block_.samplePeak[c];
      for (size_t i = 0; i < n; ++i) {
        x[i] = cleanSample(in[i * channels_]);
        peak = std::max(peak, std::fabs(x[i]));
      }
      block_.samplePeak[c] = peak;
      block_.truePeak[c] = std::max(block_.truePeak[c], interpolator_.peak(x - kHistory, n));
    }
    // Channels in pairs: two filters side by side run about as fast as one.
    int c = 0;
    for (; c + 1 < channels_; c += 2) {
      KWeightingFilter::addSquaresPair(filters_[c], channelScratch(c), sums_[c], filters_[c + 1],
                                       channelScratch(c + 1), sums_[c + 1], n);
    }
    if (c < channels_) sums_[c] = filters_[c].addSquares(channelScratch(c), n, sums_[c]);
    // The newest samples become the history of the next pass.
    for (c = 0; c < channels_; ++c) {
      float* x = channelScratch(c);
      std::copy(x + n - kHistory, x + n, x - kHistory);
    }
    frames += n * channels_;
    count -= n;
    framesInBlock_ += static_cast<int>(n);
    if (framesInBlock_ == blockFrames_) finishBlock(blocks);
  }
}

void AudioMeter::finishBlock(std::vector<AudioBlock>& blocks) {
  block_.frames = blockFrames_;
  for (int c = 0; c < channels_; ++c) {
    block_.power[c] = static_cast<float>(sums_[c] / blockFrames_);
    block_.truePeak[c] = std::max(block_.truePeak[c], block_.samplePeak[c]);
    filters_[c].flushTinyState();
  }
  blocks.push_back(block_);

  uint64_t next = block_.index + 1;
  block_ = AudioBlock{};
  block_.index = next;
  blockFrames_ = framesOfBlock(next);
  framesInBlock_ = 0;
  sums_.fill(0);
}

double channelWeight(int channel) {
  switch (channel) {
    case 0:
    case 1:
    case 2:
      return 1.0;
    case 4:
    case 5:
      return 1.41;
    default:
      return 0.0;
  }
}

double weightedPower(const AudioBlock& block) {
  double sum = 0;
  for (int c = 0; c < kMaxChannels; ++c)
    sum += channelWeight(c) * block.power[c];
  return sum;
}

double loudnessOfPower(double power) {
  if (!(power > 0)) return -std::numeric_limits<double>::infinity();
  return -0.691 + 10.0 * std::log10(power);
}

double windowLoudness(std::span<const AudioBlock> blocks) {
  if (blocks.empty()) return -std::numeric_limits<double>::infinity();
  double sum = 0;
  for (const AudioBlock& block : blocks)
    sum += weightedPower(block);
  return loudnessOfPower(sum / static_cast<double>(blocks.size()));
}

}  // namespace qelm::audio
