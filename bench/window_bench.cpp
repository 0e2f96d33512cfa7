// What the operator's eyes cost, on Qt's offscreen platform with the engine idle, so only
// painting counts: a repaint of the whole window (background, knobs, keys and both screens), and
// the repaint of both screens that every timer tick and every engine change asks for.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <QApplication>
#include <QStandardPaths>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "engine/engine_state.h"
#include "shell/main_dialog.h"
#include "shell/screen_control.h"

namespace qelm {
namespace {

namespace fs = std::filesystem;

// The window over an idle engine, shown at `zoom`, its screens full of varied pixels.
std::unique_ptr<CVadEDERDlg> shownWindow(int zoom) {
  const std::string folder = (fs::temp_directory_path() / "qelm_window_bench").string() + "/";
  auto window =
      std::make_unique<CVadEDERDlg>(Folders{folder, folder, folder}, [](EngineState& state) {
        while (!state.context->stopRequested.load())
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return 1;
      });
  AppContext& context = window->runner().context();
  {
    std::lock_guard<std::mutex> guard(context.screenLock);
    for (int i = 0; i < kRasterWidth * kRasterHeight; ++i)
      context.pixels()[i] = static_cast<uint32_t>(i) * 2654435761u;
  }
  window->setZoom(zoom);
  window->show();
  QCoreApplication::processEvents();
  return window;
}

struct Parts {
  QWidget* panel;
  ScreenControl* left;
  ScreenControl* right;
};

Parts partsOf(CVadEDERDlg& window) {
  return {window.findChild<QWidget*>("panel"), window.findChild<ScreenControl*>("screen0"),
          window.findChild<ScreenControl*>("screen1")};
}

// A repaint of the panel does not repaint the screens inside it (they paint only themselves),
// so the whole window is the panel and then each screen.
void BM_WindowRepaint(benchmark::State& state) {
  auto window = shownWindow(static_cast<int>(state.range(0)));
  const Parts parts = partsOf(*window);
  const int paintsBefore = parts.left->paintCount();
  for (auto _ : state) {
    parts.panel->repaint();
    parts.left->repaint();
    parts.right->repaint();
  }
  state.counters["width"] = window->width();
  state.counters["height"] = window->height();
  state.counters["screenPaints"] = parts.left->paintCount() - paintsBefore;
}
BENCHMARK(BM_WindowRepaint)->Arg(100)->Arg(200)->Arg(300)->Unit(benchmark::kMillisecond);

// Both screens as every engine change and timer tick repaints them, with a band of 40 rows (an
// item's value) changed on each: the comparison with the raster, the zoom of the changed rows
// and the drawing of the whole screens.
void BM_ScreensRepaint(benchmark::State& state) {
  auto window = shownWindow(static_cast<int>(state.range(0)));
  const Parts parts = partsOf(*window);
  AppContext& context = window->runner().context();
  uint32_t colour = 0;
  for (auto _ : state) {
    {
      std::lock_guard<std::mutex> guard(context.screenLock);
      ++colour;
      for (int y = 100; y < 140; ++y)
        std::fill_n(context.pixels() + y * kRasterWidth, kRasterWidth, colour);
    }
    parts.left->repaint();
    parts.right->repaint();
  }
}
BENCHMARK(BM_ScreensRepaint)->Arg(100)->Arg(150)->Arg(200)->Arg(300)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace qelm

// The application must exist before the first window and go before the program ends; its
// settings live in a folder of their own, never the user's.
int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  const fs::path config =
      fs::temp_directory_path() / ("qelm_window_bench_config_" + std::to_string(::getpid()));
  fs::create_directories(config);
  qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(config.string()));
  QStandardPaths::setTestModeEnabled(true);
  int status = 0;
  {
    int qtArgc = 1;
    QApplication application(qtArgc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
      status = 1;
    } else {
      benchmark::RunSpecifiedBenchmarks();
      benchmark::Shutdown();
    }
  }
  fs::remove_all(config);
  return status;
}
