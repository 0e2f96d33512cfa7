// Our text drawing beside Qt's: one 30-character line in font codes 2 and 7, drawn centred in
// a box with its background, glyphs already cached on both sides. Qt draws with QPainter into a
// QImage the size of one screen (480 x 272, 32-bit), with the same typeface file at the same em
// size as our font of that code.
#include <benchmark/benchmark.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_TRUETYPE_TABLES_H

#include <QFont>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/app_context.h"
#include "display/raster_window.h"
#include "display/win_rendered_font.h"

namespace {

constexpr const char* kLine = "Integrated -23.0 LUFS, Gain 12";  // 30 characters
const qelm::Rect kBox{0, 100, qelm::kScreenWidth, 150};

// The em size, in pixels, at which our font of `cellHeight` renders `file`: the cell is the
// face's Windows ascent + descent (OS/2), else its ascender + descender.
std::optional<double> emPixels(const std::string& file, int32_t cellHeight) {
  FT_Library library = nullptr;
  if (FT_Init_FreeType(&library) != 0) return std::nullopt;
  FT_Face face = nullptr;
  std::optional<double> em;
  if (FT_New_Face(library, file.c_str(), 0, &face) == 0) {
    double units = face->ascender - face->descender;
    if (const auto* os2 = static_cast<const TT_OS2*>(FT_Get_Sfnt_Table(face, FT_SFNT_OS2));
        os2 && os2->version != 0xFFFF && os2->usWinAscent + os2->usWinDescent > 0)
      units = os2->usWinAscent + os2->usWinDescent;
    em = cellHeight * face->units_per_EM / std::max(units, 1.0);
    FT_Done_Face(face);
  }
  FT_Done_FreeType(library);
  return em;
}

void ourDrawText(benchmark::State& state) {
  const int32_t code = static_cast<int32_t>(state.range(0));
  std::vector<uint32_t> raster(static_cast<std::size_t>(qelm::kRasterWidth) * qelm::kRasterHeight);
  qelm::FontRegistry fonts;
  qelm::RasterWindow window("left", qelm::kLeftScreenRegion, &fonts, raster.data());
  try {
    fonts.add(code, std::make_unique<qelm::WinRenderedFont>(code));
  } catch (const qelm::FontException& e) {
    return state.SkipWithError(e.what());
  }
  const std::string line = kLine;
  window.drawText(nullptr, line, code, true, 1, 0, kBox);  // renders and caches the glyphs
  for (auto _ : state) {
    window.drawText(nullptr, line, code, true, 1, 0, kBox);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(line.size()));
}
BENCHMARK(ourDrawText)->Arg(2)->Arg(7);

void qtDrawText(benchmark::State& state) {
  const int32_t code = static_cast<int32_t>(state.range(0));
  std::optional<qelm::WinRenderedFont> ours;
  try {
    ours.emplace(code);
  } catch (const qelm::FontException& e) {
    return state.SkipWithError(e.what());
  }
  const std::optional<double> em = emPixels(ours->faceFile(), ours->cellHeight());
  const int id = QFontDatabase::addApplicationFont(QString::fromStdString(ours->faceFile()));
  if (!em || id < 0) return state.SkipWithError("Qt cannot load our typeface file");
  QFont font(QFontDatabase::applicationFontFamilies(id).value(0));
  font.setPixelSize(static_cast<int>(*em + 0.5));
  QImage image(qelm::kScreenWidth, qelm::kScreenHeight, QImage::Format_RGB32);
  image.fill(Qt::black);
  QPainter painter(&image);
  painter.setFont(font);
  painter.setPen(Qt::white);
  const QRect box(kBox.x0, kBox.y0, kBox.x1 - kBox.x0, kBox.y1 - kBox.y0);
  const QString line = QString::fromUtf8(kLine);
  painter.drawText(box, Qt::AlignCenter, line);  // fills Qt's glyph cache
  for (auto _ : state) {
    painter.fillRect(box, Qt::black);
    painter.drawText(box, Qt::AlignCenter, line);
    benchmark::ClobberMemory();
  }
  painter.end();
  state.counters["em_px"] = *em;
  state.SetItemsProcessed(state.iterations() * line.size());
}
BENCHMARK(qtDrawText)->Arg(2)->Arg(7);

}  // namespace

int main(int argc, char** argv) {
  // Fonts and painting need an application object, not a display.
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QGuiApplication application(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
