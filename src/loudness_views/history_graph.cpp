#include "loudness_views/history_graph.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "core/log.h"
#include "core/raster_geometry.h"
#include "display/font.h"
#include "display/palette.h"

namespace qelm {

namespace {

constexpr int kTableSize = 65536;
// Rows between the lines that hatch a column without data.
constexpr int kHatchSpacing = 6;

// g[n] = 0xFF0000 / n: the per-row step of a ramp over n rows, in 1/65536ths of full.
const std::array<uint32_t, 256>& ramp() {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> g{};
    for (uint32_t n = 1; n < 256; ++n)
      g[n] = 0xFF0000u / n;
    return g;
  }();
  return table;
}

uint32_t channel(uint32_t color, int shift) {
  return (color >> shift) & 0xFF;
}

uint32_t lighten(uint32_t color, uint32_t light, uint32_t a) {
  uint32_t out = 0;
  for (int shift : {16, 8, 0}) {
    uint32_t c = channel(color, shift);
    const uint32_t lit = a * channel(light, shift);
    if (lit >= 255 * c) c = std::min<uint32_t>(lit >> 8, 255);
    out |= c << shift;
  }
  return out;
}

bool known(const GraphRow row) {
  return row != kNoRow;
}

// Moves window rows [yBegin, yEnd) `by` pixels to the left between the window columns `left`
// and `right` (already inside the window); rows outside the window are skipped.
void scrollLeft(Window& w, int32_t yBegin, int32_t yEnd, int32_t left, int32_t right, int32_t by) {
  if (right - left <= by) return;
  const Rect& region = w.region();
  uint32_t* raster = w.pixels();
  for (int32_t y = yBegin; y < yEnd; ++y) {
    if (y < 0 || y >= region.height()) continue;
    uint32_t* line = raster + static_cast<size_t>(region.y0 + y) * kRasterWidth + region.x0;
    std::memmove(line + left, line + left + by,
                 sizeof(uint32_t) * static_cast<size_t>(right - left - by));
  }
}

enum class EdgeEnd { kFromPrevious, kToNext };
enum class Role { kFarPrevious, kPrevious, kNext, kFarNext };

// ORs a ramp value's bits `mask` into a cell only when the whole code is below the value.
void orRamp(uint16_t& cell, uint32_t value, uint16_t mask) {
  if (cell < value) cell = static_cast<uint16_t>(cell | (value & mask));
}

void edge(std::array<uint16_t, Graph::kRows>& cells, GraphRow from, GraphRow to, EdgeEnd side) {
  constexpr uint16_t kMask = 7 << Graph::kEdgeShift;
  if (from == to) {
    if (from < Graph::kRows) cells[from] |= kMask;
    return;
  }
  const int lo = std::min(from, to);
  const int hi = std::max(from, to);
  const int n = hi - lo;
  const uint32_t step = ramp()[static_cast<size_t>(n)];
  const bool falling = (to < from) != (side == EdgeEnd::kToNext);
  for (int k = 0; k < n; ++k) {
    if (lo + k >= Graph::kRows) break;
    const uint32_t value = falling ? (step * static_cast<uint32_t>(n - k)) >> 12
                                   : (step * static_cast<uint32_t>(k)) >> 12;
    orRamp(cells[static_cast<size_t>(lo + k)], value, kMask);
  }
}

void trace(std::array<uint16_t, Graph::kRows>& cells, GraphRow from, GraphRow to, Role role) {
  constexpr uint16_t kMask = 0xF000;
  auto full = [&](int row) {
    if (row >= 0 && row < Graph::kRows) cells[static_cast<size_t>(row)] |= kMask;
  };
  auto ramped = [&](int row, uint32_t value) {
    if (row >= 0 && row < Graph::kRows) orRamp(cells[static_cast<size_t>(row)], value, kMask);
  };
  const int a = from;
  const int b = to;
  if (std::abs(a - b) <= 1) {
    if (role != Role::kPrevious && role != Role::kNext) return;
    if (a != b) {
      full(a);
      full(b);
    } else if (a == 0) {
      full(0);
      full(1);
    } else {
      full(a);
      full(a - 1);
    }
    return;
  }
  const int lo = std::min(a, b);
  const int hi = std::max(a, b);
  const int n = hi - lo;
  const int half = n / 2;
  const int mid = lo + half;
  const uint32_t step = ramp()[static_cast<size_t>(n)];
  const bool flag = b < a;
  switch (role) {
    case Role::kPrevious:
    case Role::kNext: {
      const bool up = role == Role::kNext ? flag : !flag;
      if (up) {
        for (int k = 0; lo + k < mid; ++k)
          ramped(lo + k, (step * static_cast<uint32_t>(half + k)) >> 8);
        for (int row = mid; row < hi; ++row)
          full(row);
      } else {
        for (int row = lo; row < mid; ++row)
          full(row);
        for (int k = 0; mid + k < hi; ++k)
          ramped(mid + k, (step * static_cast<uint32_t>(n - k)) / 256);
      }
      break;
    }
    case Role::kFarPrevious:
    case Role::kFarNext: {
      const bool up = role == Role::kFarNext ? flag : !flag;
      if (up) {
        for (int k = 0; mid + k < hi; ++k)
          ramped(mid + k, (step * static_cast<uint32_t>(k)) >> 8);
      } else {
        for (int k = 0; lo + k < mid; ++k)
          ramped(lo + k, (step * static_cast<uint32_t>(half - k)) >> 8);
      }
      break;
    }
  }
}

}  // namespace

uint32_t Graph::cellColor(uint16_t code, uint32_t base) {
  const uint32_t major = code & 3;
  const uint32_t minor = (code >> kMinorShift) & 3;
  const uint32_t high = (code >> kHighShift) & 3;
  const uint32_t low = (code >> kLowShift) & 3;
  const bool band = (code & kBandBit) != 0;
  const uint32_t edgeLevel = (code >> kEdgeShift) & 7;
  const uint32_t traceLevel = (code >> kTraceShift) & 15;

  uint32_t c = low == 1 ? 0x1A1E4B : low == 2 ? 0x343C96 : 0x000000;
  if (high == 1) {
    uint32_t out = 0;
    for (int shift : {16, 8, 0})
      out |= ((channel(c, shift) + channel(0x6E0415, shift)) >> 1) << shift;
    c = out;
  } else if (high == 2) {
    c = 0x6E0415;
  }
  if (minor == 1) c = lighten(c, 0xFFFFFF, 48);
  if (minor == 2) c = lighten(c, 0xFFFFFF, 96);
  if (band) c = lighten(c, 0xFFFFFF, 72);
  if (major == 1) c = lighten(c, 0xDDDDDD, 96);
  if (major == 2) c = lighten(c, 0xDDDDDD, 192);
  uint32_t out = 0;
  for (int shift : {16, 8, 0}) {
    uint32_t x = channel(c, shift);
    x = (x * (256 - 32 * edgeLevel) + 5440 * edgeLevel) >> 8;
    x = (x * (256 - 16 * traceLevel) + channel(base, shift) * 16 * traceLevel) >> 8;
    out |= std::min<uint32_t>(x, 255) << shift;
  }
  return out;
}

Graph::Graph() : tables_(3 * static_cast<size_t>(kTableSize)) {
  free_.reserve(kRingSize);
  for (int i = kRingSize - 1; i >= 0; --i)
    free_.push_back(static_cast<uint16_t>(i));
  const std::array<uint32_t, 3> bases = {kUpperColor, kMiddleColor, kLowerColor};
  for (size_t zone = 0; zone < 3; ++zone)
    for (int code = 0; code < kTableSize; ++code)
      tables_[zone * kTableSize + static_cast<size_t>(code)] =
          cellColor(static_cast<uint16_t>(code), bases[zone]);
}

Graph::~Graph() = default;

void Graph::layout() {
  timeStrip_ = {1, 198, 436, height()};
  scaleStrip_ = {437, 0, width(), 198};
  labelWidth_ = (window() ? window()->measureText("00:00:00", font::kCompact).width : 0) + 4;
}

uint32_t Graph::tableColor(int zone, uint16_t code) const {
  return tables_[static_cast<size_t>(std::clamp(zone, 0, 2)) * kTableSize + code];
}

void Graph::addSample(GraphRow main, GraphRow bandTop, GraphRow bandBottom,
                      std::optional<std::string> marker, bool noData) {
  const int64_t t = counter_++;
  while (count_ > 0 && at(0)->timeIndex <= t - kRingSize) {
    free_.push_back(ring_[static_cast<size_t>(start_)]);
    start_ = (start_ + 1) % kRingSize;
    --count_;
  }
  // Every sample more than kRingSize - 1 old has left, so a record is always free here.
  const uint16_t index = free_.back();
  free_.pop_back();
  Sample& s = samples_[index];
  s.timeIndex = t;
  s.main = main < kRows ? main : kNoRow;
  s.top = bandTop < kRows ? bandTop : kNoRow;
  s.bottom = bandBottom < kRows ? bandBottom : kNoRow;
  s.drawn = false;
  s.labelShown = false;
  s.noData = noData;
  s.hasMarker = marker.has_value();
  if (marker) {
    s.marker = std::move(*marker);
  } else {
    s.marker.clear();
  }
  // The lines of the last two columns join the new sample.
  for (int back = 1; back <= 2 && back <= count_; ++back)
    at(count_ - back)->drawn = false;
  ring_[static_cast<size_t>((start_ + count_) % kRingSize)] = index;
  ++count_;
  queuePaint();
}

void Graph::clear() {
  clearPending_ = true;
  while (count_ > 0) {
    free_.push_back(ring_[static_cast<size_t>(start_)]);
    start_ = (start_ + 1) % kRingSize;
    --count_;
  }
  start_ = 0;
  counter_ = 0;
  paintedCounter_ = 0;
  queuePaint();
}

void Graph::setGridLines(std::vector<GridLine> lines) {
  grid_ = std::move(lines);
}

void Graph::setZones(GraphRow upper, GraphRow lower) {
  upper_ = upper;
  lower_ = lower;
}

void Graph::requestFullRepaint() {
  fullRepaint_ = true;
  // Zones and grid lines change every column's colours.
  for (int i = 0; i < count_; ++i)
    at(i)->drawn = false;
  queuePaint();
}

void Graph::onShow() {
  // The owner's background is painted over the plot whenever the screen is drawn again.
  fullRepaint_ = true;
  clearPending_ = true;
  queuePaint();
}

void Graph::onHide() {
  fullRepaint_ = true;
  clearPending_ = true;
}

std::array<uint16_t, Graph::kRows> Graph::cellsAt(int position) const {
  Cells cells{};
  if (position >= 0 && position < count_) computeCells(position, cells);
  return cells;
}

void Graph::computeCells(int position, Cells& cells) const {
  const Sample* self = at(position);
  const Sample* prev = at(position - 1);
  const Sample* prev2 = at(position - 2);
  const Sample* next = at(position + 1);
  const Sample* next2 = at(position + 2);

  auto major = [](const Sample* s) { return s && s->hasMarker && s->marker != "m"; };
  auto minor = [](const Sample* s) { return s && s->hasMarker && s->marker == "m"; };
  auto tooHigh = [&](const Sample* s) {
    return s && known(s->main) && known(upper_) && s->main < upper_;
  };
  auto tooLow = [&](const Sample* s) {
    return s && known(s->main) && known(lower_) && s->main > lower_;
  };
  auto level = [](bool own, bool neighbour) -> uint16_t { return own ? 2 : neighbour ? 1 : 0; };

  const uint16_t start =
      static_cast<uint16_t>(level(major(self), major(prev) || major(next)) << kMajorShift |
                            level(minor(self), minor(prev) || minor(next)) << kMinorShift |
                            level(tooHigh(self), tooHigh(prev) || tooHigh(next)) << kHighShift |
                            level(tooLow(self), tooLow(prev) || tooLow(next)) << kLowShift);
  cells.fill(start);
  if (self->noData) {
    // Diagonal hatching in the faint grid shade, rising to the right.
    constexpr uint16_t kMinorField = 3 << kMinorShift;
    for (int row =
             static_cast<int>((kHatchSpacing - self->timeIndex % kHatchSpacing) % kHatchSpacing);
         row < kRows; row += kHatchSpacing) {
      uint16_t& c = cells[static_cast<size_t>(row)];
      if ((c & kMinorField) >> kMinorShift < 2)
        c = static_cast<uint16_t>((c & ~kMinorField) | (2 << kMinorShift));
    }
  }

  for (const GridLine& line : grid_) {
    if (line.kind != 1 && line.kind != 2) continue;
    const int shift = line.kind == 2 ? kMajorShift : kMinorShift;
    const uint16_t field = static_cast<uint16_t>(3 << shift);
    if (line.row >= 0 && line.row < kRows) {
      uint16_t& c = cells[static_cast<size_t>(line.row)];
      c = static_cast<uint16_t>((c & ~field) | (2 << shift));
    }
    for (int row : {line.row - 1, line.row + 1}) {
      if (row < 0 || row >= kRows) continue;
      uint16_t& c = cells[static_cast<size_t>(row)];
      if ((c & field) == 0) c = static_cast<uint16_t>(c | (1 << shift));
    }
  }

  if (known(self->top) && known(self->bottom)) {
    for (int row = self->top; row < self->bottom; ++row)
      cells[static_cast<size_t>(row)] |= kBandBit;
  }

  auto row = [](const Sample* s, GraphRow Sample::*field) { return s ? s->*field : kNoRow; };
  auto edgeIf = [&](GraphRow from, GraphRow to, EdgeEnd side) {
    if (known(from) && known(to)) edge(cells, from, to, side);
  };
  edgeIf(row(prev, &Sample::top), self->top, EdgeEnd::kFromPrevious);
  edgeIf(self->top, row(next, &Sample::top), EdgeEnd::kToNext);
  edgeIf(row(prev, &Sample::bottom), self->bottom, EdgeEnd::kFromPrevious);
  edgeIf(self->bottom, row(next, &Sample::bottom), EdgeEnd::kToNext);

  auto traceIf = [&](GraphRow from, GraphRow to, Role role) {
    if (known(from) && known(to)) trace(cells, from, to, role);
  };
  traceIf(row(prev2, &Sample::main), row(prev, &Sample::main), Role::kFarPrevious);
  traceIf(row(prev, &Sample::main), self->main, Role::kPrevious);
  traceIf(self->main, row(next, &Sample::main), Role::kNext);
  traceIf(row(next, &Sample::main), row(next2, &Sample::main), Role::kFarNext);
}

void Graph::writeBatch() {
  if (batchSize_ == 0) return;
  Window& w = *window();
  const Rect& region = w.region();
  uint32_t* raster = w.pixels();
  const int32_t top = rect().y0 + plot_.y0;
  const uint32_t* upper = tables_.data();
  const uint32_t* middle = upper + kTableSize;
  const uint32_t* lower = middle + kTableSize;
  for (int row = 0; row < kRows; ++row) {
    const int32_t y = top + row;
    if (y < 0 || y >= region.height()) continue;
    const uint32_t* table = known(upper_) && row < upper_    ? upper
                            : !known(lower_) || row < lower_ ? middle
                                                             : lower;
    uint32_t* line = raster + static_cast<size_t>(region.y0 + y) * kRasterWidth + region.x0;
    for (int i = 0; i < batchSize_; ++i) {
      const int32_t x = batchX_[static_cast<size_t>(i)];
      if (x < 0 || x >= region.width()) continue;
      line[x] = table[buffer_[static_cast<size_t>(i)][static_cast<size_t>(row)]];
    }
  }
  columnsWritten_ += batchSize_;
  batchSize_ = 0;
}

void Graph::drawTimeStrip() {
  Window& w = *window();
  w.fillRect(this, timeStrip_, palette::kLoudnessBackground);
  for (int i = 0; i < count_; ++i) {
    const Sample* s = at(i);
    if (!s->labelShown) continue;
    const int32_t x = s->drawnX - rect().x0;
    const Rect box{x - labelWidth_ / 2, timeStrip_.y0, x + labelWidth_ / 2, timeStrip_.y1};
    w.drawText(this, s->marker, font::kCompact, true, palette::kLoudnessText,
               palette::kLoudnessBackground, box);
  }
}

void Graph::paint() {
  Window* w = window();
  if (!w) return;
  const bool clearing = clearPending_;
  const auto started = std::chrono::steady_clock::now();
  const int64_t advanced = counter_ - paintedCounter_;

  bool drew = false;
  if (fullRepaint_) {
    drawFrameAndScale(*w);
    drew = true;
  }
  drew |= preparePlot(*w, clearing, advanced);
  const ColumnPass columns = drawColumns();
  drew |= columns.drew;
  drew |= moveTimeStrip(*w, clearing || columns.labelsMoved, advanced);

  paintedCounter_ = counter_;
  fullRepaint_ = false;
  clearPending_ = false;
  if (drew) w->markChanged();
  if (clearing) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - started);
    logMessage(1, "timing for graph redraw: %d ", static_cast<int>(ms.count()));
  }
}

void Graph::drawFrameAndScale(Window& w) {
  w.drawFrame(this, frame_, palette::kLoudnessText, false);
  w.fillRect(this, scaleStrip_, palette::kLoudnessBackground);
  const Rect clip = {scaleStrip_.x0, scaleStrip_.y0, scaleStrip_.x1, scaleStrip_.y1};
  for (const GridLine& line : grid_) {
    if (line.label.empty()) continue;
    const int32_t y = line.row + line.labelOffset;
    w.drawText(this, line.label, font::kTiny, true, palette::kLoudnessText,
               palette::kLoudnessBackground, {scaleStrip_.x0, y - 6, scaleStrip_.x1, y + 6}, &clip);
  }
}

bool Graph::preparePlot(Window& w, bool clearing, int64_t advanced) {
  if (clearing) {
    if (counter_ < kColumns + 1)
      w.fillRect(this, {1, 1, static_cast<int32_t>(436 - counter_), 197},
                 palette::kLoudnessBackground);
    for (int i = 0; i < count_; ++i)
      at(i)->drawn = false;
    return true;
  }
  if (advanced > 0 && advanced < kColumns) {
    const int32_t v = static_cast<int32_t>(advanced);
    const int32_t top = rect().y0 + plot_.y0;
    scrollLeft(w, top, top + kRows, std::max(rect().x0 + plot_.x0, 0),
               std::min(rect().x0 + plot_.x1, w.region().width()), v);
    for (int i = 0; i < count_; ++i)
      at(i)->drawnX -= v;
  } else if (advanced >= kColumns) {
    for (int i = 0; i < count_; ++i)
      at(i)->drawn = false;
  }
  return false;
}

Graph::ColumnPass Graph::drawColumns() {
  ColumnPass pass;
  const int32_t plotLeft = rect().x0 + plot_.x0;
  const int32_t plotRight = rect().x0 + plot_.x1;
  for (int i = 0; i < count_; ++i) {
    Sample* s = at(i);
    const int32_t x = plotLeft + kColumns - static_cast<int32_t>(counter_ - s->timeIndex);
    if (s->hasMarker && s->marker != "m") {
      const bool shown = x >= plotLeft + labelWidth_ / 2 && x < plotRight - labelWidth_ / 2;
      if (shown != s->labelShown) {
        s->labelShown = shown;
        pass.labelsMoved = true;
      }
    }
    if (x < plotLeft || x >= plotRight || (s->drawn && s->drawnX == x)) continue;
    computeCells(i, buffer_[static_cast<size_t>(batchSize_)]);
    batchX_[static_cast<size_t>(batchSize_)] = x;
    ++batchSize_;
    s->drawn = true;
    s->drawnX = x;
    pass.drew = true;
    if (batchSize_ == 4 || (x & 3) == 3) writeBatch();
  }
  writeBatch();
  return pass;
}

bool Graph::moveTimeStrip(Window& w, bool redraw, int64_t advanced) {
  if (redraw) {
    drawTimeStrip();
    return true;
  }
  if (advanced > 0 && advanced < timeStrip_.width())
    scrollLeft(w, rect().y0 + timeStrip_.y0, rect().y0 + timeStrip_.y1,
               std::max(rect().x0 + timeStrip_.x0, 0),
               std::min(rect().x0 + timeStrip_.x1, w.region().width()),
               static_cast<int32_t>(advanced));
  return false;
}

}  // namespace qelm
