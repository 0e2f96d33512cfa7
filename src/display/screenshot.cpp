#include "display/screenshot.h"

#include <fcntl.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <utility>
#include <vector>

#include "core/raster_geometry.h"
#include "display/window.h"

namespace qelm {

namespace {

// Temporary names tried before giving up; a clash is practically impossible.
constexpr int kTemporaryNameAttempts = 16;

// The new picture under a temporary name in the folder of its final one, removed again unless
// it was moved into place.
class TemporaryPicture {
 public:
  explicit TemporaryPicture(const std::string& target) {
    std::random_device random;
    for (int attempt = 0; attempt < kTemporaryNameAttempts; ++attempt) {
      char suffix[16];
      std::snprintf(suffix, sizeof suffix, ".%08x.part", static_cast<unsigned>(random()));
      name_ = target + suffix;
      // Mode 0666 so that the umask decides, as for any new file; exclusive, so that nothing
      // already there is ever written through.
      const int fd = ::open(name_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd >= 0) {
        file_ = ::fdopen(fd, "wb");
        if (file_ == nullptr) ::close(fd);
        created_ = true;
        return;
      }
      if (errno != EEXIST) break;
    }
    name_.clear();
  }
  TemporaryPicture(const TemporaryPicture&) = delete;
  TemporaryPicture& operator=(const TemporaryPicture&) = delete;
  ~TemporaryPicture() {
    if (file_ != nullptr) std::fclose(file_);
    if (created_) ::unlink(name_.c_str());
  }

  std::FILE* file() const { return file_; }

  // Hands everything written to the disk, closes the file and renames it to `target`; 0, or
  // the errno of the step that failed (the file is removed then).
  int moveTo(const std::string& target) {
    std::FILE* file = std::exchange(file_, nullptr);
    int failure = std::fflush(file) == 0 && ::fsync(fileno(file)) == 0 ? 0 : errno;
    if (std::fclose(file) != 0 && failure == 0) failure = errno;
    if (failure == 0 && ::rename(name_.c_str(), target.c_str()) != 0) failure = errno;
    if (failure != 0) return failure;
    created_ = false;
    // The rename itself should survive a crash as well; without it the old picture may return.
    const std::string folder = std::filesystem::path(target).parent_path().string();
    const int dir =
        ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
      ::fsync(dir);
      ::close(dir);
    }
    return 0;
  }

 private:
  std::string name_;
  std::FILE* file_ = nullptr;
  bool created_ = false;
};

}  // namespace

bool writeScreensPng(const uint32_t* raster, const std::string& path, std::string& error) {
  constexpr int kChannels = 3;
  std::vector<uint8_t> rgb(static_cast<std::size_t>(kScreenshotWidth) * kScreenshotHeight *
                           kChannels);
  uint8_t* out = rgb.data();
  for (int y = 0; y < kScreenshotHeight; ++y) {
    const uint32_t* row = raster + static_cast<std::size_t>(y) * kRasterWidth;
    for (const Rect& screen : {kLeftScreenRegion, kRightScreenRegion}) {
      for (int x = screen.x0; x < screen.x1; ++x) {
        *out++ = static_cast<uint8_t>(row[x] >> 16);
        *out++ = static_cast<uint8_t>(row[x] >> 8);
        *out++ = static_cast<uint8_t>(row[x]);
      }
    }
  }

  // libpng's simplified interface reports failures in the image record instead of jumping out
  // of the caller, which keeps it safe to call from C++.
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = kScreenshotWidth;
  image.height = kScreenshotHeight;
  image.format = PNG_FORMAT_RGB;
  // Only a regular file is replaced (a pipe with no reader would hold the caller). A link
  // stays a link: the file it leads to is the one replaced.
  std::string target = path;
  struct stat old {};
  const bool replacing = ::stat(path.c_str(), &old) == 0;
  if (replacing) {
    std::error_code resolveError;
    const std::filesystem::path resolved = std::filesystem::canonical(path, resolveError);
    if (!S_ISREG(old.st_mode) || resolveError) {
      error = "not a regular file that can be written: " + path;
      return false;
    }
    target = resolved.string();
  }
  // The picture is written beside the old one and renamed over it only when complete: a full
  // disk or a failed write leaves the old picture whole and no cut one under its name.
  TemporaryPicture picture(target);
  if (picture.file() == nullptr) {
    error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  if (replacing) ::fchmod(fileno(picture.file()), old.st_mode & 07777);
  bool written = png_image_write_to_stdio(&image, picture.file(), 0, rgb.data(),
                                          kScreenshotWidth * kChannels, nullptr) != 0;
  if (!written) error = image.message[0] ? image.message : "cannot write " + path;
  png_image_free(&image);
  if (written) {
    if (const int failure = picture.moveTo(target); failure != 0) {
      written = false;
      error = "cannot write " + path + ": " + std::strerror(failure);
    }
  }
  return written;
}

}  // namespace qelm
