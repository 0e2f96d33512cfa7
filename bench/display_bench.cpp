// Drawing speed of the display: one 30-character line of text in fonts 0 and 2 with every glyph
// already cached (glyphs per second), a short value as a page item shows it, and filling a
// whole screen.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "core/app_context.h"
#include "display/palette.h"
#include "display/raster_window.h"
#include "display/win_rendered_font.h"

namespace {

constexpr const char* kLine = "Integrated -23.0 LUFS, Gain 12";  // 30 characters

class Screen {
 public:
  Screen()
      : raster_(static_cast<std::size_t>(qelm::kRasterWidth) * qelm::kRasterHeight),
        window_("left", qelm::kLeftScreenRegion, &fonts_, raster_.data()) {}
  qelm::FontRegistry& fonts() { return fonts_; }
  qelm::RasterWindow& window() { return window_; }

 private:
  std::vector<uint32_t> raster_;
  qelm::FontRegistry fonts_;
  qelm::RasterWindow window_;
};

// Draws `text` in `box` with font `code` (state.range(0)), glyphs cached beforehand.
void drawCachedText(benchmark::State& state, const std::string& text, const qelm::Rect& box,
                    bool centred) {
  const int32_t code = static_cast<int32_t>(state.range(0));
  Screen screen;
  try {
    screen.fonts().add(code, std::make_unique<qelm::WinRenderedFont>(code));
  } catch (const qelm::FontException& e) {
    state.SkipWithError(e.what());
    return;
  }
  screen.window().drawText(nullptr, text, code, centred, 1, 0, box);  // renders and caches
  for (auto _ : state) {
    screen.window().drawText(nullptr, text, code, centred, 1, 0, box);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(text.size()));
  state.SetLabel("glyphs");
}

void drawTextLine(benchmark::State& state) {
  drawCachedText(state, kLine, qelm::Rect{0, 100, qelm::kScreenWidth, 150}, true);
}
BENCHMARK(drawTextLine)->Arg(0)->Arg(2);

// A value in its field: a few glyphs, where what each text costs before its first pixel counts
// as much as the pixels.
void drawValue(benchmark::State& state) {
  drawCachedText(state, "-23.0", qelm::Rect{300, 100, 420, 140}, false);
}
BENCHMARK(drawValue)->Arg(7)->Arg(2);

void fillScreen(benchmark::State& state) {
  Screen screen;
  qelm::ColorIndex color = 0;
  for (auto _ : state) {
    screen.window().fillRect(nullptr, qelm::Rect{0, 0, qelm::kScreenWidth, qelm::kScreenHeight},
                             color);
    color ^= 1;
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * qelm::kScreenWidth * qelm::kScreenHeight * 4);
}
BENCHMARK(fillScreen);

}  // namespace
