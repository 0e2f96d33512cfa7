// Feeds arbitrary bytes to the pre-rendered font reader. A font that loads is then drawn with
// every character code, in the clear and clipped, so that its rows go through the glyph row
// decoder: every row the loader accepted must decode inside its line table.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "core/app_context.h"
#include "display/pre_rendered_font.h"
#include "display/raster_window.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto font = std::make_unique<qelm::PreRenderedFont>();
  if (!font->loadFromBytes(data, size)) {
    require(!font->lastError().empty());
    require(font->height() == 0 && font->codeCount() == 0);
    return 0;
  }
  std::string every(256, '\0');
  for (int i = 0; i < 256; ++i)
    every[static_cast<size_t>(i)] = static_cast<char>(i);

  std::vector<uint32_t> raster(static_cast<size_t>(qelm::kRasterWidth) * qelm::kRasterHeight);
  qelm::FontRegistry fonts;
  fonts.add(4, std::move(font));
  qelm::RasterWindow left("left", qelm::kLeftScreenRegion, &fonts, raster.data());
  left.drawText(nullptr, every, 4, false, 1, 0, qelm::Rect{-40, -8, 520, 20});
  left.drawText(nullptr, every, 4, true, 1, 0, qelm::Rect{0, 200, 480, 272});
  const qelm::Rect clip{37, 0, 41, 272};
  qelm::Rect area{0, 0, 480, 272};
  left.drawText(nullptr, std::string(reinterpret_cast<const char*>(data), size > 64 ? 64 : size), 4,
                false, 2, 29, qelm::Rect{30, 100, 300, 140}, &clip, &area);
  const qelm::TextSize measured = left.measureText(every, 4);
  require(measured.width == 0 || measured.height == fonts.find(4)->height());
  return 0;
}
