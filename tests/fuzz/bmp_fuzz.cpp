// Feeds arbitrary bytes to the BMP loader as a file. A file that loads must hold exactly
// width x height pixels, and drawing it anywhere on a screen must stay inside the raster.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "core/app_context.h"
#include "display/bitmap.h"
#include "display/raster_window.h"
#include "scratch_file.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qelm::fuzz::ScratchFile file(data, size, "qelm-bmp-fuzz");
  if (file.path().empty()) return 0;
  qelm::Bitmap bitmap;
  try {
    bitmap = qelm::loadBitmap(file.path());
  } catch (const std::string& message) {
    require(!message.empty());
    return 0;
  }
  require(bitmap.width > 0 && bitmap.height > 0);
  require(bitmap.pixels.size() == static_cast<size_t>(bitmap.width) * bitmap.height);

  std::vector<uint32_t> raster(static_cast<size_t>(qelm::kRasterWidth) * qelm::kRasterHeight);
  qelm::RasterWindow right("right", qelm::kRightScreenRegion, nullptr, raster.data());
  const int32_t x = size > 0 ? static_cast<int8_t>(data[size - 1]) * 4 : 0;
  right.drawBitmap(nullptr, bitmap, x, -x / 2);
  right.drawBitmap(nullptr, bitmap, 470, 260);

  auto copy = qelm::copyBitmap(bitmap);
  qelm::pasteBitmap(bitmap, bitmap.height, *copy, 0, 0, bitmap.width);
  require(copy->pixels == bitmap.pixels);
  return 0;
}
