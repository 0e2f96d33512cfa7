#include "loudness_views/loudness_history_view.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "../display/display_test_support.h"
#include "../loudness/loudness_support.h"
#include "display/palette.h"
#include "loudness/loudness_context.h"
#include "loudness_views/history_graph.h"

namespace qelm {
namespace {

using Cells = std::array<uint16_t, Graph::kRows>;

uint16_t trace(uint16_t level) {
  return static_cast<uint16_t>(level << Graph::kTraceShift);
}

// A graph placed as the history view places it, at (0, 33) of the left screen.
class GraphTest : public ::testing::Test, public testing::RasterFixture {
 protected:
  GraphTest() {
    root_.init(&left_, "root", {0, 0, 480, 272});
    graph_ = &root_.addChild(std::make_unique<Graph>(), "graph", Rect{0, 33, 463, 247});
    graph_->layout();
    root_.setVisible(true);
  }
  void add(GraphRow main) { graph_->addSample(main, kNoRow, kNoRow); }
  // Pixel of plot column `column` (0..434), plot row `row`.
  uint32_t plot(int column, int row) const { return at(1 + column, 34 + row); }

  Drawable root_;
  Graph* graph_ = nullptr;
};

TEST_F(GraphTest, ColourTablesFollowTheChannelRules) {
  EXPECT_EQ(Graph::cellColor(0, Graph::kMiddleColor), 0x000000u);
  // Full trace: 240/256 of the zone's base colour.
  EXPECT_EQ(Graph::cellColor(trace(15), Graph::kMiddleColor), 0x00EF47u);
  EXPECT_EQ(Graph::cellColor(trace(15), Graph::kUpperColor), 0xEF0000u);
  EXPECT_EQ(Graph::cellColor(2 << Graph::kLowShift, Graph::kMiddleColor), 0x343C96u);
  // High tint 2 replaces the low tint; high tint 1 averages with it.
  EXPECT_EQ(Graph::cellColor(2 << Graph::kHighShift | 2 << Graph::kLowShift, 0), 0x6E0415u);
  EXPECT_EQ(Graph::cellColor(1 << Graph::kHighShift | 1 << Graph::kLowShift, 0), 0x441130u);
  EXPECT_EQ(Graph::cellColor(Graph::kBandBit, 0), 0x474747u);
  EXPECT_EQ(Graph::cellColor(2, 0), 0xA5A5A5u);                        // major line
  EXPECT_EQ(Graph::cellColor(1 << Graph::kMinorShift, 0), 0x2F2F2Fu);  // minor beside
  EXPECT_EQ(Graph::cellColor(7 << Graph::kEdgeShift, 0), 0x949494u);   // full edge
  // Lightening never darkens: a bright channel stays.
  EXPECT_EQ(Graph::cellColor(2 << Graph::kHighShift | Graph::kBandBit, 0), 0x6E4747u);
  for (uint16_t code : {0, 0x1234, 0xF3A5, 0xFFFF}) {
    EXPECT_EQ(graph_->tableColor(0, code), Graph::cellColor(code, Graph::kUpperColor));
    EXPECT_EQ(graph_->tableColor(1, code), Graph::cellColor(code, Graph::kMiddleColor));
    EXPECT_EQ(graph_->tableColor(2, code), Graph::cellColor(code, Graph::kLowerColor));
  }
}

TEST_F(GraphTest, TraceCellsOfCloseAndDistantRows) {
  add(10);
  add(10);
  Cells c = graph_->cellsAt(1);
  EXPECT_EQ(c[9], trace(15));
  EXPECT_EQ(c[10], trace(15));
  EXPECT_EQ(c[11], 0);

  graph_->clear();
  add(0);
  add(0);
  c = graph_->cellsAt(1);
  EXPECT_EQ(c[0], trace(15));
  EXPECT_EQ(c[1], trace(15));

  graph_->clear();
  add(10);
  add(11);
  for (int position : {0, 1}) {
    c = graph_->cellsAt(position);
    EXPECT_EQ(c[10], trace(15)) << position;
    EXPECT_EQ(c[11], trace(15)) << position;
  }

  // From row 20 to row 30: step 0xFF0000 / 10; the new column ramps up to full at the middle,
  // the old column is full to the middle and fades below it.
  graph_->clear();
  add(20);
  add(30);
  const Cells newer = graph_->cellsAt(1);
  const Cells older = graph_->cellsAt(0);
  const std::vector<uint16_t> rising = {7, 9, 11, 12, 14, 15, 15, 15, 15, 15};
  const std::vector<uint16_t> falling = {15, 15, 15, 15, 15, 15, 14, 12, 11, 9};
  for (int k = 0; k < 10; ++k) {
    EXPECT_EQ(newer[static_cast<size_t>(20 + k)], trace(rising[static_cast<size_t>(k)])) << k;
    EXPECT_EQ(older[static_cast<size_t>(20 + k)], trace(falling[static_cast<size_t>(k)])) << k;
  }
  EXPECT_EQ(newer[30], 0);
  EXPECT_EQ(newer[19], 0);
}

TEST_F(GraphTest, GridLinesBandEdgesAndTints) {
  graph_->setGridLines({{64, "", 2, 1}, {66, "", 2, 1}, {100, "", 1, 1}, {120, "", 0, 1}});
  graph_->setZones(50, 150);
  graph_->addSample(40, 30, 34);
  graph_->addSample(100, 26, 34);
  graph_->addSample(160, kNoRow, kNoRow);
  Cells c = graph_->cellsAt(1);
  // Major line 64 and 66 share row 65 (a 1 beside both); the minor line 100 is in its own field.
  EXPECT_EQ(c[63] & 3, 1);
  EXPECT_EQ(c[64] & 3, 2);
  EXPECT_EQ(c[65] & 3, 1);
  EXPECT_EQ(c[66] & 3, 2);
  EXPECT_EQ(c[67] & 3, 1);
  EXPECT_EQ(c[119], c[118]);  // kind 0 draws nothing
  EXPECT_EQ((c[100] >> Graph::kMinorShift) & 3, 2);
  EXPECT_EQ((c[101] >> Graph::kMinorShift) & 3, 1);
  // Main row 100 is inside both zones; neighbours are too high (40) and too low (160).
  EXPECT_EQ((c[5] >> Graph::kHighShift) & 3, 1);
  EXPECT_EQ((c[5] >> Graph::kLowShift) & 3, 1);
  EXPECT_EQ((graph_->cellsAt(0)[5] >> Graph::kHighShift) & 3, 2);
  EXPECT_EQ((graph_->cellsAt(2)[5] >> Graph::kLowShift) & 3, 2);
  // Band 26..33; top edge from 30 up to 26 (ramp strongest at this column's end, row 26);
  // equal bottoms give a full edge on row 34.
  EXPECT_EQ(c[25] & Graph::kBandBit, 0);
  EXPECT_NE(c[26] & Graph::kBandBit, 0);
  EXPECT_NE(c[33] & Graph::kBandBit, 0);
  EXPECT_EQ(c[34] & Graph::kBandBit, 0);
  const auto edge = [](uint16_t cell) { return (cell >> Graph::kEdgeShift) & 7; };
  EXPECT_EQ(edge(c[26]), 7);  // 0xFF0 of the ramp
  EXPECT_EQ(edge(c[27]), 5);
  EXPECT_EQ(edge(c[28]), 3);
  EXPECT_EQ(edge(c[29]), 1);
  EXPECT_EQ(edge(c[34]), 7);
  // Rows far from every line carry no trace or band.
  const Cells empty = graph_->cellsAt(2);
  EXPECT_EQ(empty[10] & 0xFF00, 0);
}

TEST_F(GraphTest, ColumnsScrollAndNothingRepaintsWithoutNewSamples) {
  graph_->setZones(kNoRow, kNoRow);
  for (int i = 0; i < 10; ++i)
    add(static_cast<GraphRow>(100));
  left_.flushPending();
  // Left of the 10 samples the plot is blank, and the frame is drawn.
  EXPECT_EQ(plot(0, 50), paletteColor(palette::kLoudnessBackground));
  EXPECT_EQ(plot(424, 50), paletteColor(palette::kLoudnessBackground));
  EXPECT_EQ(plot(434, 99), graph_->tableColor(1, trace(15)));
  EXPECT_EQ(plot(425, 100), graph_->tableColor(1, trace(15)));
  EXPECT_EQ(at(0, 33), paletteColor(palette::kLoudnessText));
  const int64_t written = graph_->columnsWritten();
  EXPECT_EQ(written, 10);

  left_.flushPending();
  EXPECT_EQ(left_.pendingCount(), 0u);
  EXPECT_EQ(graph_->columnsWritten(), written);

  // One more sample: scroll by one, redraw the last two old columns and the new one.
  add(50);
  left_.flushPending();
  EXPECT_EQ(graph_->columnsWritten(), written + 3);
  EXPECT_EQ(plot(424, 100), graph_->tableColor(1, trace(15)));
  EXPECT_EQ(plot(434, 50), graph_->tableColor(1, trace(15)));
  EXPECT_EQ(plot(423, 50), paletteColor(palette::kLoudnessBackground));

  // No upper zone: nothing uses the red table.
  graph_->clear();
  add(0);
  add(0);
  left_.flushPending();
  EXPECT_EQ(plot(434, 0), graph_->tableColor(1, trace(15)));
}

TEST_F(GraphTest, RingKeepsTheLast439Samples) {
  for (int i = 0; i < Graph::kRingSize; ++i)
    add(static_cast<GraphRow>(i % 196));
  EXPECT_EQ(graph_->sampleCount(), Graph::kRingSize);
  add(5);
  EXPECT_EQ(graph_->sampleCount(), Graph::kRingSize);
  EXPECT_EQ(graph_->counter(), Graph::kRingSize + 1);
  left_.flushPending();
  EXPECT_EQ(graph_->columnsWritten(), Graph::kColumns);
}

// ---- History view ------------------------------------------------------------------------------

class HistoryViewTest : public GraphTest {
 protected:
  HistoryViewTest() : context_("Card", clock_) {
    setenv("TZ", "UTC", 1);
    tzset();
    view_ =
        &root_.addChild(std::make_unique<LoudnessHistoryView>(), "History", Rect{0, 0, 480, 272});
    view_->layout();
  }
  // `n` payloads of a steady loudness (LKFS).
  void push(int n, double lkfs = -23.0) {
    for (int i = 0; i < n; ++i)
      context_.history().push(std::pow(10.0, (lkfs + 0.691) / 10.0), tick_++);
  }
  void update() {
    const LoudnessSource source{context_, settings_, now_};
    view_->setSource(&source);
    view_->update();
    view_->setSource(nullptr);
  }

  testing::ZeroWallClock clock_;
  LoudnessContext context_;
  LoudnessViewSettings settings_;
  LoudnessHistoryView* view_ = nullptr;
  uint32_t tick_ = 1;
  int64_t now_ = 0;
};

TEST_F(HistoryViewTest, ScaleRowsAndFactors) {
  EXPECT_EQ(view_->row(-230), 64);
  EXPECT_EQ(view_->row(-140), 0);
  EXPECT_EQ(view_->row(-410), 194);
  EXPECT_EQ(view_->row(-2001), kNoRow);
  int32_t s = 0, o = 0;
  LoudnessHistoryView::scaleFor(-230, false, s, o);
  EXPECT_EQ(s, -185);
  EXPECT_EQ(o, -26016);
  LoudnessHistoryView::scaleFor(-240, true, s, o);
  EXPECT_EQ(s, -92);
  EXPECT_EQ(o, -5572);
  // A top of exactly 0 maps the top to row 0 and the bottom to the last row.
  LoudnessHistoryView::scaleFor(-90, false, s, o);
  EXPECT_EQ((0 * s + o) >> 8, 0);
  EXPECT_GE((-270 * s + o) >> 8, 195);
}

TEST_F(HistoryViewTest, RescaleSetsLabelsZonesAndMomentaryZones) {
  SessionRecord& r = context_.record();
  r.graphMode = GraphMode::kEbu18;
  r.rangeIndex = 1;
  r.target = -23.0f;
  r.displayOffset = -23.0f;
  r.highTenths = 80;
  view_->bind(true);
  update();
  std::vector<std::string> labels;
  for (const GridLine& line : view_->graph().gridLines())
    labels.push_back(line.label);
  EXPECT_EQ(labels, (std::vector<std::string>{"+18", "+9", "+6", "+3", " 0", "-3", "-6", "-9",
                                              "-18", "-27", "-36"}));
  EXPECT_EQ(view_->valueLabel(0).props().text, "EBU +18");
  EXPECT_EQ(view_->valueLabel(4).props().text, "45 seconds");
  EXPECT_EQ(view_->graph().lowerZone(), kNoRow);

  r.graphMode = GraphMode::kCustom;
  r.rangeIndex = 0;
  r.target = -23.5f;
  r.displayOffset = 0.0f;
  r.highTenths = kTenthsNoData;
  update();
  EXPECT_EQ(view_->graph().gridLines()[0].label, "-14.5");
  EXPECT_EQ(view_->graph().gridLines()[1].label, "-19.0");
  EXPECT_EQ(view_->graph().gridLines()[10].label, "-41.5");
  EXPECT_EQ(view_->graph().upperZone(), kNoRow);
  // Without an upper zone the bar is green above blue, and every segment lies in the bar.
  MomentaryBar& bar = view_->momentaryBar();
  EXPECT_EQ(bar.segmentCount(), 49);
  EXPECT_EQ(bar.zoneColor(48), palette::kMeterGreen);
  // No momentary value lights exactly one segment.
  EXPECT_EQ(bar.level(), 1);
}

TEST_F(HistoryViewTest, FeedsIncrementallyWithTimeMarkers) {
  push(100);
  // The first sample at 12:00:07 UTC: 100 payloads before "now".
  now_ = 12 * 3600 + 7 + 10;
  view_->bind(true);
  update();
  Graph& graph = view_->graph();
  EXPECT_EQ(graph.counter(), LoudnessHistoryView::kFeedMost);
  EXPECT_EQ(view_->fed(), 100);
  // Sample i sits at ring position 335 + i; 12:00:10 is sample 30, the next minor 12:00:15
  // sample 80, and the minor marker due with the major adds nothing.
  EXPECT_EQ(graph.markerAt(335 + 30), std::optional<std::string>("12:00:10"));
  EXPECT_EQ(graph.markerAt(335 + 31), std::nullopt);
  EXPECT_EQ(graph.markerAt(335 + 80), std::optional<std::string>("m"));
  EXPECT_EQ(graph.markerAt(335 + 79), std::nullopt);
  EXPECT_EQ(view_->valueLabel(1).props().text.substr(0, 5), "+0.0 ");

  // Nothing new: nothing fed, nothing queued.
  left_.flushPending();
  update();
  EXPECT_EQ(left_.pendingCount(), 0u);
  EXPECT_EQ(graph.counter(), LoudnessHistoryView::kFeedMost);

  push(5);
  update();
  EXPECT_EQ(graph.counter(), LoudnessHistoryView::kFeedMost + 5);
  EXPECT_EQ(view_->fed(), 105);

  // 436 at once: cleared, and the last 435 fed again.
  push(436);
  update();
  EXPECT_EQ(graph.counter(), LoudnessHistoryView::kFeedMost);
  EXPECT_EQ(view_->fed(), 541);

  // A new history (session cleared) clears the graph; a span change too.
  context_.history().reset();
  push(3);
  update();
  EXPECT_EQ(view_->fed(), 3);
  EXPECT_EQ(graph.counter(), LoudnessHistoryView::kFeedMost);
  settings_.spanMs = 400;
  update();
  EXPECT_EQ(view_->valueLabel(4).props().text, "3 minutes");
  EXPECT_EQ(view_->fed(), 0);  // level 2 has no sample yet
}

TEST_F(HistoryViewTest, AnOutageIsDrawnHatchedAndSilenceIsNot) {
  push(100);
  tick_ += 100;  // ten seconds without a payload
  context_.history().keepTime(tick_);
  push(60, -120.0);  // then silence, which the card did measure
  now_ = 12 * 3600;
  view_->bind(true);
  update();
  const Graph& graph = view_->graph();
  // Cells at the faint-grid level: a few grid rows in every column, every row in a column of
  // a time marker, and every sixth row (a diagonal hatch) in columns without data.
  const auto faintRows = [&](int position) {
    std::vector<int> rows;
    const Cells cells = graph.cellsAt(position);
    for (int row = 0; row < Graph::kRows; ++row)
      if ((cells[static_cast<size_t>(row)] >> Graph::kMinorShift & 3) == 2) rows.push_back(row);
    return rows;
  };
  int hatched = 0;
  int last = -1;
  for (int position = 0; position < graph.sampleCount(); ++position) {
    const size_t faint = faintRows(position).size();
    if (faint < Graph::kRows / 6 || faint > Graph::kRows / 2) continue;
    if (last >= 0) {
      EXPECT_EQ(position, last + 1) << "one gap, drawn as one";
    }
    last = position;
    ++hatched;
  }
  // Not the empty time before the history: the ten seconds less the moving average's window.
  EXPECT_GE(hatched, 60);
  EXPECT_LE(hatched, 101);
  EXPECT_GT(last - hatched, 99);
  // The hatch rises one row per column, so it reads as a pattern rather than as a level.
  const std::vector<int> a = faintRows(last - 1);
  const std::vector<int> b = faintRows(last);
  EXPECT_NE(std::find(a.begin(), a.end(), b.front() + 1), a.end());
}

TEST_F(HistoryViewTest, MiniMeterHeights) {
  SessionRecord& r = context_.record();
  r.dataSeen = true;
  r.meterDb.fill(-1000.0f);
  r.heldPeakDb.fill(-1000.0f);
  r.meterDb[0] = -43.0f;
  r.meterDb[1] = 0.0f;
  view_->bind(true);
  update();
  const auto& c = view_->miniMeter().channels();
  EXPECT_EQ(c[0].green, 14);
  EXPECT_EQ(c[0].yellow, 1);
  EXPECT_EQ(c[0].red, 0);
  EXPECT_EQ(c[1].green, 14);
  EXPECT_EQ(c[1].yellow, 7);
  EXPECT_EQ(c[1].red, 7);
  EXPECT_EQ(c[2].green, 1);
}

}  // namespace
}  // namespace qelm
