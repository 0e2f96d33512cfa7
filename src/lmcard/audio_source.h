#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qelm {

/// What one read of an audio source gave.
enum class AudioReadStatus {
  kData,    ///< one or more frames
  kNoData,  ///< nothing available now (a live stream that stalls); try again later
  kEnded,   ///< the stream ended; nothing more will come
  kFailed,  ///< a read error; the reason is in `AudioSource::error`
};

/// Result of `AudioSource::read`.
struct AudioRead {
  AudioReadStatus status = AudioReadStatus::kNoData;
  /// Whole frames written; 0 unless the status is kData.
  size_t frames = 0;
};

/// Interleaved PCM from outside the program, read without waiting: samples as floats, full
/// scale 1.0, channels in the order L, R, C, LFE, Ls, Rs, Aux L, Aux R.
class AudioSource {
 public:
  virtual ~AudioSource() = default;
  /// Frames per second.
  virtual int sampleRate() const = 0;
  /// Samples per frame.
  virtual int channels() const = 0;
  /// Reads up to `frames` frames into `out` (room for `frames` * `channels` floats).
  virtual AudioRead read(float* out, size_t frames) = 0;
  /// What failed, for the last read that reported kFailed.
  virtual std::string error() const = 0;
  /// The source as messages name it: the file's path or "standard input".
  virtual std::string describe() const = 0;
};

/// A sound file in any format libsndfile reads; `loop` starts it again at its end. None, with
/// the reason in `error`, when it cannot be opened, holds no audio, or is not a regular file (a
/// pipe or a device is refused before it is read, since its reads could wait for good).
std::unique_ptr<AudioSource> openSoundFile(const std::string& path, bool loop, std::string& error);

/// Signed 16-bit little-endian interleaved PCM from `fd` (a pipe, terminal or file; read only
/// when poll says it is readable, so the descriptor's own blocking mode is left alone).
/// `sampleRate` and `channels` are taken as given; the meter checks them.
std::unique_ptr<AudioSource> openPcmStream(int fd, int sampleRate, int channels);

}  // namespace qelm
