#include "display/screenshot.h"

#include <png.h>

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
  const bool written = png_image_write_to_file(&image, path.c_str(), 0, rgb.data(),
                                               kScreenshotWidth * kChannels, nullptr) != 0;
  if (!written) error = image.message[0] ? image.message : "cannot write " + path;
  png_image_free(&image);
  return written;
}

}  // namespace qelm
