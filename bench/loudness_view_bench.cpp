// Drawing costs of the loudness views: one new history column, a full graph redraw, and a
// channel-view update with all eight bars changed.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "core/raster_geometry.h"
#include "display/raster_window.h"
#include "loudness/loudness_context.h"
#include "loudness/wall_clock.h"
#include "loudness_views/history_graph.h"
#include "loudness_views/loudness_views.h"

namespace qelm {
namespace {

struct Screen {
  Screen()
      : raster(static_cast<size_t>(kRasterWidth) * kRasterHeight),
        window("left", kLeftScreenRegion, nullptr, raster.data()) {
    root.init(&window, "root", {0, 0, 480, 272});
  }
  std::vector<uint32_t> raster;
  RasterWindow window;
  Drawable root;
};

Graph& filledGraph(Screen& s) {
  Graph& graph = s.root.addChild(std::make_unique<Graph>(), "graph", Rect{0, 33, 463, 247});
  graph.layout();
  graph.setGridLines({{32, "+4.5", 2, 1}, {64, " 0", 2, 1}, {86, "-3.0", 1, 1}});
  graph.setZones(6, 150);
  s.root.setVisible(true);
  for (int i = 0; i < Graph::kColumns; ++i)
    graph.addSample(static_cast<GraphRow>(60 + i % 20), static_cast<GraphRow>(50 + i % 20),
                    static_cast<GraphRow>(75 + i % 20));
  s.window.flushPending();
  return graph;
}

void BM_NewHistoryColumn(benchmark::State& state) {
  Screen s;
  Graph& graph = filledGraph(s);
  int i = 0;
  for (auto _ : state) {
    ++i;
    graph.addSample(static_cast<GraphRow>(60 + i % 20), static_cast<GraphRow>(50 + i % 20),
                    static_cast<GraphRow>(75 + i % 20),
                    i % 50 == 0 ? std::optional<std::string>("m") : std::nullopt);
    s.window.flushPending();
  }
}
BENCHMARK(BM_NewHistoryColumn);

void BM_FullGraphRedraw(benchmark::State& state) {
  Screen s;
  Graph& graph = filledGraph(s);
  for (auto _ : state) {
    graph.onHide();
    graph.onShow();
    s.window.flushPending();
  }
}
BENCHMARK(BM_FullGraphRedraw);

class Clock final : public WallClock {
 public:
  std::tm now() override { return std::tm{}; }
};

void BM_ChannelViewEightBars(benchmark::State& state) {
  Screen s;
  BitmapCache bitmaps(QELM_PROGRAM_DIR "images");
  auto& view =
      s.root.addChild(std::make_unique<LoudnessChannelView>(), "Channel", Rect{0, 0, 480, 272});
  view.layout(bitmaps);
  Clock clock;
  LoudnessContext context("bench", clock);
  SessionRecord& r = context.record();
  r.dataSeen = true;
  view.bind(true);
  s.root.setVisible(true);
  s.window.flushPending();
  int i = 0;
  for (auto _ : state) {
    ++i;
    r.meterDb.fill(i % 2 ? -12.0f : -30.0f);
    r.heldPeakDb.fill(i % 2 ? -6.0f : -20.0f);
    const LoudnessSource source{context, LoudnessViewSettings{}, 0};
    view.setSource(&source);
    view.update();
    view.setSource(nullptr);
    s.window.flushPending();
  }
}
BENCHMARK(BM_ChannelViewEightBars);

}  // namespace
}  // namespace qelm

BENCHMARK_MAIN();
