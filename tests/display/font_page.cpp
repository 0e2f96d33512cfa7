// Draws a test page of every font on both screens and writes it as a screenshot, for people to
// look at (docs/fonts.png): the left screen in the light theme, the right one in the dark theme.
//   display_font_page FILE.png
#include <cstdio>
#include <string>
#include <vector>

#include "core/app_context.h"
#include "display/drawable.h"
#include "display/font_setup.h"
#include "display/palette.h"
#include "display/raster_window.h"
#include "display/screenshot.h"

namespace {

using qelm::Rect;

struct Line {
  int32_t font;
  const char* text;
};

// Writes `lines` top to bottom, each in a box as high as its font, returning the next row.
int32_t drawLines(qelm::RasterWindow& window, const std::vector<Line>& lines, int32_t y,
                  qelm::ColorIndex foreground) {
  for (const Line& line : lines) {
    const int32_t height = window.measureText(line.text, line.font).height;
    window.drawText(nullptr, line.text, line.font, false, foreground, 0,
                    Rect{6, y, qelm::kScreenWidth - 6, y + height});
    y += height + 3;
  }
  return y;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: display_font_page FILE.png\n");
    return 2;
  }
  std::vector<uint32_t> raster(static_cast<std::size_t>(qelm::kRasterWidth) * qelm::kRasterHeight);
  qelm::FontRegistry fonts;
  if (!qelm::createFonts(fonts, QELM_PROGRAM_DIR "fonts")) return 1;
  qelm::RasterWindow left("left", qelm::kLeftScreenRegion, &fonts, raster.data());
  qelm::RasterWindow right("right", qelm::kRightScreenRegion, &fonts, raster.data());

  qelm::fillPalette(qelm::ColorTheme::kLight);
  left.clear(nullptr, 0);
  int32_t y = drawLines(left,
                        {{41, "41: The quick brown fox jumps over the lazy dog. 0123456789"},
                         {7, "7: Loudness Range 12.4 LU  Integrated -23.0 LUFS"},
                         {8, "8: Short Term  Momentary  (gjpqy) {[|]} @#%&"},
                         {6, "6: ABCDEFGHIJKLM 0123456789 gjpqy (cut)"},
                         {0, "0: Gain -12.5 dB  \xC3\x84pfel \xCE\xA9 \xC2\xB5s  \xE2\x82\xAC"},
                         {5, "5: 48000 Hz  ABC xyz"},
                         {1, "1: -23.0 LUFS  Input 3"},
                         {2, "2: EBU +18  `2.5"}},
                        3, 1);
  left.drawText(nullptr, "ABCDEFGHIJKLM", qelm::kIconFontCode, false, 7, 0,
                Rect{6, y, 300, y + 16});

  qelm::fillPalette(qelm::ColorTheme::kDark);
  right.clear(nullptr, 0);
  right.drawText(nullptr, "-23.0", 3, true, 1, 0, Rect{0, 2, qelm::kScreenWidth, 104});
  qelm::Drawable box;
  box.init(&right, "box", Rect{8, 110, 236, 170});
  right.drawFrame(&box, Rect{0, 0, box.width(), box.height()}, 1, true);
  qelm::drawTwoLineText(box, "Audio Channel Mapping Preset", Rect{2, 2, 226, 58}, 0, 1, 0);
  qelm::Drawable icons;
  icons.init(&right, "icons", Rect{244, 110, 472, 170});
  right.fillRect(&icons, Rect{0, 0, icons.width(), icons.height()}, 22);
  right.drawText(&icons, "A B C D E F G H I J K L M", qelm::kIconFontCode, true, 7,
                 qelm::kUnderlyingColor, Rect{0, 0, icons.width(), 30});
  right.drawText(&icons, "Read-only B  Command A", 7, true, 17, qelm::kUnderlyingColor,
                 Rect{0, 30, icons.width(), 60});
  drawLines(right,
            {{1, "1: Loudness `3.2 LU"},
             {0, "0: Dark theme, white on black"},
             {41, "41: Mode  Short Term  Integrated  Loudness Range"}},
            176, 1);

  std::string error;
  if (!qelm::writeScreensPng(raster.data(), argv[1], error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  return 0;
}
