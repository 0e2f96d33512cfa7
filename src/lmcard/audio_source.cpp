#include "lmcard/audio_source.h"

#include <fcntl.h>
#include <poll.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/descriptor.h"

namespace qelm {

namespace {

struct SndfileCloser {
  void operator()(SNDFILE* file) const { sf_close(file); }
};

using platform::Descriptor;

// Opens `path` for reading only when it names a regular file. The library would open a pipe or
// a device itself and wait there for a writer before anything could look at what it opened;
// here the open cannot wait and the check comes first. Holds -1, with the reason in `error`,
// when the file cannot be used.
Descriptor openRegularFile(const std::string& path, std::string& error) {
  Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) {
    error = "cannot read \"" + path + "\": " + std::strerror(errno);
    return fd;
  }
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    error = "\"" + path + "\" is not a regular file (use --stdin for streams)";
    return Descriptor(-1);
  }
  // A regular file never makes a read wait; the library gets the descriptor as a plain one.
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags >= 0) ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
  return fd;
}

class SoundFileSource final : public AudioSource {
 public:
  SoundFileSource(std::string path, Descriptor fd, std::unique_ptr<SNDFILE, SndfileCloser> file,
                  const SF_INFO& info, bool loop)
      : path_(std::move(path)),
        fd_(std::move(fd)),
        file_(std::move(file)),
        info_(info),
        loop_(loop) {}

  int sampleRate() const override { return info_.samplerate; }
  int channels() const override { return info_.channels; }
  std::string error() const override { return error_; }
  std::string describe() const override { return path_; }

  AudioRead read(float* out, size_t frames) override {
    // Two tries: the end of the file, then (looping) its start.
    for (int attempt = 0; attempt < 2; ++attempt) {
      const sf_count_t got = sf_readf_float(file_.get(), out, static_cast<sf_count_t>(frames));
      if (got > 0) return {AudioReadStatus::kData, static_cast<size_t>(got)};
      if (sf_error(file_.get()) != SF_ERR_NO_ERROR) {
        error_ = sf_strerror(file_.get());
        return {AudioReadStatus::kFailed, 0};
      }
      if (!loop_ || frames == 0) break;
      if (sf_seek(file_.get(), 0, SEEK_SET) < 0) {
        error_ = "cannot return to the start of the file";
        return {AudioReadStatus::kFailed, 0};
      }
    }
    return {frames == 0 ? AudioReadStatus::kNoData : AudioReadStatus::kEnded, 0};
  }

 private:
  std::string path_;
  // The library reads through the descriptor and is closed before it.
  Descriptor fd_;
  std::unique_ptr<SNDFILE, SndfileCloser> file_;
  SF_INFO info_;
  bool loop_;
  std::string error_;
};

class PcmStreamSource final : public AudioSource {
 public:
  PcmStreamSource(int fd, int sampleRate, int channels)
      : fd_(fd), sampleRate_(sampleRate), channels_(channels) {}

  int sampleRate() const override { return sampleRate_; }
  int channels() const override { return channels_; }
  std::string error() const override { return error_; }
  std::string describe() const override { return "standard input"; }

  AudioRead read(float* out, size_t frames) override {
    const size_t frameBytes = static_cast<size_t>(channels_) * 2;
    if (frames == 0 || frameBytes == 0) return {AudioReadStatus::kNoData, 0};
    pollfd ready{fd_, POLLIN, 0};
    int polled;
    do {
      polled = ::poll(&ready, 1, 0);
    } while (polled < 0 && errno == EINTR);
    if (polled < 0) return fail();
    if (polled == 0) return {AudioReadStatus::kNoData, 0};

    // Bytes of a frame that arrived split stay at the front of the buffer.
    const size_t wanted = std::min(frames, kMaxFramesPerRead) * frameBytes;
    bytes_.resize(std::max(bytes_.size(), wanted));
    ssize_t got;
    do {
      got = ::read(fd_, bytes_.data() + pending_, wanted - pending_);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) return {AudioReadStatus::kNoData, 0};
      return fail();
    }
    if (got == 0) return {AudioReadStatus::kEnded, 0};
    const size_t available = pending_ + static_cast<size_t>(got);
    const size_t whole = available / frameBytes;
    const size_t samples = whole * static_cast<size_t>(channels_);
    for (size_t i = 0; i < samples; ++i) {
      const auto low = static_cast<uint16_t>(bytes_[2 * i]);
      const auto high = static_cast<uint16_t>(bytes_[2 * i + 1]);
      out[i] = static_cast<float>(static_cast<int16_t>(low | high << 8)) * (1.0f / 32768.0f);
    }
    pending_ = available - whole * frameBytes;
    std::memmove(bytes_.data(), bytes_.data() + whole * frameBytes, pending_);
    if (whole == 0) return {AudioReadStatus::kNoData, 0};
    return {AudioReadStatus::kData, whole};
  }

 private:
  // Bounds the buffer whatever a caller asks for.
  static constexpr size_t kMaxFramesPerRead = 8192;

  AudioRead fail() {
    error_ = std::strerror(errno);
    return {AudioReadStatus::kFailed, 0};
  }

  int fd_;
  int sampleRate_;
  int channels_;
  std::vector<uint8_t> bytes_;
  size_t pending_ = 0;
  std::string error_;
};

}  // namespace

std::unique_ptr<AudioSource> openSoundFile(const std::string& path, bool loop, std::string& error) {
  Descriptor fd = openRegularFile(path, error);
  if (fd.get() < 0) return nullptr;
  SF_INFO info{};
  std::unique_ptr<SNDFILE, SndfileCloser> file(sf_open_fd(fd.get(), SFM_READ, &info, SF_FALSE));
  if (!file) {
    error = "cannot read \"" + path + "\": " + sf_strerror(nullptr);
    return nullptr;
  }
  if (info.frames <= 0) {
    error = "\"" + path + "\" holds no audio";
    return nullptr;
  }
  error.clear();
  return std::make_unique<SoundFileSource>(path, std::move(fd), std::move(file), info, loop);
}

std::unique_ptr<AudioSource> openPcmStream(int fd, int sampleRate, int channels) {
  return std::make_unique<PcmStreamSource>(fd, sampleRate, channels);
}

}  // namespace qelm
