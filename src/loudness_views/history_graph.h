#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "display/drawable.h"

namespace qelm {

/// Row of the graph's plot, 0 (top) .. 195; 255 = no row.
using GraphRow = uint8_t;
/// A row that is not known.
inline constexpr GraphRow kNoRow = 255;

/// One horizontal line of the graph with its scale label.
struct GridLine {
  /// Plot row; rows outside 0..195 draw only their label.
  int32_t row = 0;
  /// Text in the scale strip; empty for none.
  std::string label;
  /// 0 no line, 1 minor, 2 major.
  int32_t kind = 0;
  /// Rows the label sits below (positive) or above the line.
  int32_t labelOffset = 0;
};

/// The scrolling loudness history: 435 columns by 196 rows, one column per sample, newest at
/// the right. Columns are written straight into the raster through three tables of 65,536
/// colours (one per vertical zone) indexed by a 16-bit cell code; scrolling moves pixels.
class Graph final : public Drawable {
 public:
  /// Samples kept: the visible columns and the two neighbours on each side.
  static constexpr int kRingSize = 439;
  /// Visible columns.
  static constexpr int kColumns = 435;
  /// Rows of the plot.
  static constexpr int kRows = 196;

  /// Cell code bits.
  static constexpr uint16_t kMajorShift = 0;
  static constexpr uint16_t kMinorShift = 2;
  static constexpr uint16_t kHighShift = 4;
  static constexpr uint16_t kLowShift = 6;
  static constexpr uint16_t kBandBit = 0x100;
  static constexpr uint16_t kEdgeShift = 9;
  static constexpr uint16_t kTraceShift = 12;

  /// Base colours (0x00RRGGBB) of the upper, middle and lower zone.
  static constexpr uint32_t kUpperColor = 0xFF0000;
  static constexpr uint32_t kMiddleColor = 0x00FF4C;
  static constexpr uint32_t kLowerColor = 0x0094FF;

  Graph();
  ~Graph() override;

  /// Measures the time labels; call once after placement.
  void layout();

  /// Appends a sample (rows 0..195 or kNoRow); `marker` is a time-of-day label or "m". A
  /// `noData` sample (the card sent nothing) is drawn hatched, so an outage reads as a gap
  /// rather than as silence or an empty scale.
  void addSample(GraphRow main, GraphRow bandTop, GraphRow bandBottom,
                 std::optional<std::string> marker = std::nullopt, bool noData = false);
  /// Forgets every sample; the next paint blanks the plot.
  void clear();
  /// Replaces the grid lines; follow with requestFullRepaint.
  void setGridLines(std::vector<GridLine> lines);
  /// Upper and lower zone rows (kNoRow: none); follow with requestFullRepaint.
  void setZones(GraphRow upper, GraphRow lower);
  /// Repaints frame, scale and every column at the next paint, and queues the graph.
  void requestFullRepaint();

  /// Samples added since the last clear.
  int64_t counter() const { return counter_; }
  /// Samples held (at most kRingSize).
  int sampleCount() const { return count_; }
  GraphRow upperZone() const { return upper_; }
  GraphRow lowerZone() const { return lower_; }
  const std::vector<GridLine>& gridLines() const { return grid_; }
  /// Columns written to the raster so far (for tests and measurements).
  int64_t columnsWritten() const { return columnsWritten_; }

  /// The 196 cell codes of the sample at ring position `position` (0 = oldest) as `paint`
  /// computes them; all zero for a position not held.
  std::array<uint16_t, kRows> cellsAt(int position) const;
  /// Marker text of the sample at ring position `position`; nothing without one.
  std::optional<std::string> markerAt(int position) const {
    const Sample* s = at(position);
    return s && s->hasMarker ? std::optional<std::string>(s->marker) : std::nullopt;
  }
  /// Pixel value (0x00RRGGBB) of `code` in zone 0 (upper), 1 (middle) or 2 (lower).
  uint32_t tableColor(int zone, uint16_t code) const;
  /// Colour of a cell code for a zone base colour, by the per-channel rules.
  static uint32_t cellColor(uint16_t code, uint32_t base);

  /// Queues the graph (a full repaint after the screen was drawn over).
  void onShow() override;
  /// The next paint redraws everything.
  void onHide() override;
  void paint() override;

 private:
  struct Sample {
    int64_t timeIndex = 0;
    GraphRow main = kNoRow;
    GraphRow top = kNoRow;
    GraphRow bottom = kNoRow;
    int32_t drawnX = 0;
    bool drawn = false;
    bool hasMarker = false;
    bool labelShown = false;
    bool noData = false;
    std::string marker;
  };
  using Cells = std::array<uint16_t, kRows>;

  Sample* at(int position) { return &samples_[ring_[(start_ + position) % kRingSize]]; }
  const Sample* at(int position) const {
    return position < 0 || position >= count_ ? nullptr
                                              : &samples_[ring_[(start_ + position) % kRingSize]];
  }
  // What drawing the columns did: wrote one, or showed or hid a time label.
  struct ColumnPass {
    bool drew = false;
    bool labelsMoved = false;
  };

  void computeCells(int position, Cells& cells) const;
  void writeBatch();
  void drawTimeStrip();
  // The steps of `paint`, in order; those returning a flag return whether they drew.
  void drawFrameAndScale(Window& w);
  bool preparePlot(Window& w, bool clearing, int64_t advanced);
  ColumnPass drawColumns();
  bool moveTimeStrip(Window& w, bool redraw, int64_t advanced);

  bool fullRepaint_ = true;
  bool clearPending_ = true;
  std::array<Sample, kRingSize> samples_;
  std::array<uint16_t, kRingSize> ring_{};
  int start_ = 0;
  int count_ = 0;
  std::vector<uint16_t> free_;
  int64_t counter_ = 0;
  int64_t paintedCounter_ = 0;

  Rect frame_{0, 0, 437, 198};
  Rect plot_{1, 1, 436, 197};
  Rect timeStrip_;
  Rect scaleStrip_;
  int32_t labelWidth_ = 0;
  std::vector<GridLine> grid_;
  GraphRow upper_ = kNoRow;
  GraphRow lower_ = kNoRow;

  // Columns waiting to be written: window x and buffer column.
  std::array<Cells, 8> buffer_{};
  std::array<int32_t, 4> batchX_{};
  int batchSize_ = 0;
  int nextBuffer_ = 0;
  int64_t columnsWritten_ = 0;
  // One table per zone, 65,536 pixels each.
  std::vector<uint32_t> tables_;
};

}  // namespace qelm
