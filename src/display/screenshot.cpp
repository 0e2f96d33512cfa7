#include "display/screenshot.h"

#include <fcntl.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

#include "core/raster_geometry.h"
#include "display/window.h"

namespace qelm {

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
  // Non-blocking, so that a pipe with no reader cannot hold the caller; only a regular file
  // (new or replaced) is written.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
  struct stat info {};
  if (fd < 0 || ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    if (fd >= 0) ::close(fd);
    error = "not a regular file that can be written: " + path;
    return false;
  }
  std::FILE* file = ::fdopen(fd, "wb");
  if (file == nullptr || ::ftruncate(fd, 0) != 0) {
    if (file != nullptr)
      std::fclose(file);
    else
      ::close(fd);
    error = "cannot write " + path;
    return false;
  }
  bool written = png_image_write_to_stdio(&image, file, 0, rgb.data(), kScreenshotWidth * kChannels,
                                          nullptr) != 0;
  if (!written) error = image.message[0] ? image.message : "cannot write " + path;
  png_image_free(&image);
  if (std::fclose(file) != 0 && written) {
    written = false;
    error = "cannot write " + path;
  }
  return written;
}

}  // namespace qelm
