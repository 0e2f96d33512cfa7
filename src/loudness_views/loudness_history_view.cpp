#include "loudness_views/loudness_history_view.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "core/log.h"
#include "display/font.h"
#include "display/palette.h"
#include "loudness/loudness_context.h"

namespace qelm {

namespace {

constexpr const char* kNoValue = "-- LU";

constexpr Rect kModeBox{0, 0, 109, 32};
constexpr Rect kShortTermBox{110, 0, 219, 32};
constexpr Rect kIntegratedBox{220, 0, 328, 32};
constexpr Rect kRangeBox{329, 0, 437, 32};
constexpr Rect kMiniBox{438, 0, 480, 32};
constexpr Rect kGraphBox{0, 33, 463, 247};
constexpr Rect kMomentaryBox{464, 33, 479, 231};
constexpr Rect kSpanBox{0, 250, 235, 272};

constexpr int kSegmentHeight = 3;
constexpr int kSegmentPitch = 4;

struct GridRow {
  const char* label;
  int32_t row;
  int32_t kind;
  int32_t offset;
};
// Rows under the initial scale (target -23, 27 LU); they stay, only the labels follow the scale.
constexpr std::array<GridRow, 11> kGridRows = {{{"+9.0", 0, 0, 3},
                                                {"+4.5", 32, 2, 1},
                                                {"+3.0", 42, 1, 1},
                                                {"+1.5", 53, 1, 1},
                                                {"  0", 64, 2, 1},
                                                {"-1.5", 75, 1, 1},
                                                {"-3.0", 86, 1, 1},
                                                {"-4.5", 97, 2, 1},
                                                {"-9.0", 129, 2, 1},
                                                {"-13.5", 162, 2, 1},
                                                {"-18.0", 196, 0, -1}}};
constexpr std::array<double, 11> kGridFactors = {9, 4.5, 3, 1.5, 0, -1.5, -3, -4.5, -9, -13.5, -18};

struct Intervals {
  int32_t span;
  int32_t minor;
  int32_t major;
};
constexpr std::array<Intervals, 12> kIntervals = {{{100, 5, 10},
                                                   {200, 10, 30},
                                                   {400, 15, 60},
                                                   {800, 30, 120},
                                                   {1600, 75, 300},
                                                   {3200, 150, 600},
                                                   {6400, 225, 900},
                                                   {12800, 450, 1800},
                                                   {25600, 900, 3600},
                                                   {51200, 1800, 7200},
                                                   {102400, 3600, 14400},
                                                   {204800, 7200, 28800}}};

std::string formatted(const char* fmt, double value, const char* unit = nullptr) {
  char text[64];
  if (unit) {
    std::snprintf(text, sizeof text, fmt, value, unit);
  } else {
    std::snprintf(text, sizeof text, fmt, value);
  }
  return text;
}

bool noValue(int32_t tenths) {
  return tenths == kTenthsNoData || tenths == kTenthsSilence || tenths == kTenthsNotComputed;
}

// Row 0..27 of a mini-meter level in dB (27 = off the bottom).
int32_t miniRow(float db) {
  if (!(db >= -999.9f)) return 27;
  const int32_t tenths = static_cast<int32_t>(std::trunc(db * 10.0f));
  const int32_t row = static_cast<int32_t>(std::floor(-8.0 * tenths / 256.0));
  return std::clamp(row, 0, 27);
}

Label& makeLabel(Drawable& parent, const std::string& name, const Rect& rect, int32_t font,
                 ColorIndex background, bool centred, const Rect& clip, std::string text) {
  LabelProperties p;
  p.fontCode = font;
  p.foreground = palette::kLoudnessText;
  p.background = background;
  p.centred = centred;
  p.clip = clip;
  p.text = std::move(text);
  return parent.addChild(std::make_unique<Label>(std::move(p)), name, rect);
}

}  // namespace

// ---- MomentaryBar ------------------------------------------------------------------------------

void MomentaryBar::setZones(int32_t green, int32_t blue, int32_t red) {
  const int32_t most = std::max((height() + 1) / kSegmentPitch, 0);
  blue_ = std::clamp(blue, 0, most);
  green_ = std::clamp(green, 0, most - blue_);
  red_ = std::clamp(red, 0, most - blue_ - green_);
  segments_.clear();
  const int32_t h = height();
  for (int32_t k = 0; k < blue_ + green_ + red_; ++k)
    segments_.push_back(
        {{0, h - kSegmentHeight - kSegmentPitch * k, width(), h - kSegmentPitch * k}, -1});
  queuePaint();
}

ColorIndex MomentaryBar::zoneColor(int32_t k) const {
  return k < blue_            ? palette::kMeterBlue
         : k < blue_ + green_ ? palette::kMeterGreen
                              : palette::kMeterRed;
}

void MomentaryBar::setLevel(int32_t level) {
  if (level == level_) return;
  level_ = level;
  queuePaint();
}

void MomentaryBar::onShow() {
  fullRepaint_ = true;
  queuePaint();
}

void MomentaryBar::paint() {
  Window* w = window();
  if (!w) return;
  if (fullRepaint_) {
    w->clear(this, palette::kLoudnessBackground);
    for (Segment& s : segments_)
      s.shown = -1;
    fullRepaint_ = false;
  }
  for (int32_t i = 0; i < segmentCount(); ++i) {
    Segment& s = segments_[static_cast<size_t>(i)];
    const ColorIndex wanted = i < level_ ? zoneColor(i) : palette::kLoudnessGrey;
    if (wanted == s.shown) continue;
    w->fillRect(this, s.rect, wanted);
    s.shown = wanted;
  }
}

// ---- MiniSixChan -------------------------------------------------------------------------------

void MiniSixChan::layout() {
  bitmap_ = solidBitmap(width() - 4, height() - 2, 0x000000);
}

void MiniSixChan::setChannels(const std::array<Channel, 6>& channels) {
  if (channels == channels_ && barsValid_) return;
  channels_ = channels;
  barsValid_ = false;
  queuePaint();
}

void MiniSixChan::onShow() {
  frame_ = true;
  queuePaint();
}

void MiniSixChan::paint() {
  Window* w = window();
  if (!w || !bitmap_) return;
  Bitmap& b = *bitmap_;
  if (!barsValid_) {
    std::fill(b.pixels.begin(), b.pixels.end(), 0x000000);
    for (int k = 0; k < 6; ++k) {
      const Channel& c = channels_[static_cast<size_t>(k)];
      int32_t y = b.height - 2;
      auto run = [&](int32_t count, uint32_t pixel, bool draw) {
        for (int32_t i = 0; i < count && y >= 0; ++i, --y) {
          if (!draw) continue;
          for (int32_t x = 5 + 5 * k; x < 9 + 5 * k && x < b.width; ++x)
            b.pixels[static_cast<size_t>(y) * b.width + x] = pixel;
        }
      };
      run(c.green, paletteColor(24), true);
      run(c.yellow, paletteColor(25), true);
      run(c.red, paletteColor(26), true);
      run(c.gap, 0, false);
      run(c.marker, paletteColor(27), true);
    }
    barsValid_ = true;
  }
  if (frame_) {
    w->clear(this, palette::kLoudnessBackground);
    w->drawFrame(this, {0, 0, width(), height()}, palette::kLoudnessGrey, true);
    frame_ = false;
  }
  w->drawBitmap(this, b, 2, 1);
}

// ---- LoudnessHistoryView -----------------------------------------------------------------------

void LoudnessHistoryView::layout() {
  const std::array<Rect, 4> boxes = {kModeBox, kShortTermBox, kIntegratedBox, kRangeBox};
  const std::array<const char*, 4> titles = {"Mode", "Short Term", "Integrated", "Loudness Range"};
  const std::array<const char*, 4> names = {"mode", "short_term", "integrated", "range"};
  for (size_t i = 0; i < boxes.size(); ++i) {
    const Rect& b = boxes[i];
    const Rect titleClip = i >= 2 ? Rect{0, 0, b.x1 - b.x0, 32} : Rect{};
    makeLabel(*this, std::string(names[i]) + "_title", {b.x0 + 6, b.y0 + 2, b.x1 - 6, b.y0 + 12},
              font::kTiny, palette::kLoudnessBackground, true, titleClip, titles[i]);
    values_[i] =
        &makeLabel(*this, std::string(names[i]) + "_value",
                   {b.x0 + 6, b.y0 + 13, b.x1 - 6, b.y0 + 33}, font::kSmall, kUnderlyingColor, true,
                   {0, 0, b.x1 - b.x0 - 2, 18}, i == 0 ? "EBU +18" : kNoValue);
  }
  mini_ = &addChild(std::make_unique<MiniSixChan>(), "mini6", kMiniBox);
  mini_->layout();
  graph_ = &addChild(std::make_unique<Graph>(), "Loudness graph", kGraphBox);
  graph_->layout();
  momentary_ = &addChild(std::make_unique<MomentaryBar>(), "Momentary bar", kMomentaryBox);
  const Rect& s = kSpanBox;
  makeLabel(*this, "span_title", {s.x0 + 6, s.y0 + 5, s.x0 + 60, s.y1 - 1}, font::kCompact,
            palette::kLoudnessBackground, false, {0, 0, 40, 18}, "Span");
  values_[4] = &makeLabel(*this, "span_value", {s.x0 + 53, s.y0 + 2, s.x1 - 3, s.y1 + 2},
                          font::kSmall, kUnderlyingColor, false, {0, 0, s.x1 - s.x0 - 56, 18}, "");

  for (const GridRow& g : kGridRows)
    grid_.push_back({g.row, g.label, g.kind, g.offset});
  graph_->setGridLines(grid_);
  graph_->requestFullRepaint();
  // The initial scale: a target of -23 with an upper zone 8 LU above it, no lower zone.
  momentary_->setZones(48, 0, 1);
  momentary_->setLevel(1);
  mini_->setChannels({});
}

GraphRow LoudnessHistoryView::row(int32_t tenths) const {
  if (tenths == kTenthsNoData) return kNoRow;
  const int64_t t = (static_cast<int64_t>(tenths) * factor_ + offset_) >> 8;
  if (t <= 0) return 0;
  if (t >= 196) return 195;
  return static_cast<GraphRow>(t);
}

void LoudnessHistoryView::scaleFor(int32_t targetTenths, bool wide, int32_t& factor,
                                   int32_t& offset) {
  const int64_t p = targetTenths + (wide ? 180 : 90);
  const int64_t q = targetTenths - (wide ? 360 : 180);
  if (p == 0) {
    // The top is row 0 and the bottom the last row, without the division by the top.
    factor = static_cast<int32_t>(256 * 196 / (q - p));
    offset = static_cast<int32_t>(-p * factor);
    return;
  }
  const int64_t f = -802816 * p / (64 * (q - p));
  offset = static_cast<int32_t>(4 * f);
  factor = static_cast<int32_t>(-256 * f / (64 * p));
}

void LoudnessHistoryView::resetFeeding() {
  if (graph_) graph_->clear();
  fed_ = 0;
  nextMajor_ = 0;
  nextMinor_ = 0;
  epochKey_ = 0;
  epochSeconds_ = 0;
}

void LoudnessHistoryView::bind(bool found) {
  LoudnessView::bind(found);
  resetFeeding();
  textCount_ = -1;
}

void LoudnessHistoryView::rescale(const SessionRecord& record, int32_t targetTenths, bool wide) {
  resetFeeding();
  values_[0]->setText(graphModeName(record.graphMode));
  scaleFor(targetTenths, wide, factor_, offset_);
  const GraphRow upper =
      record.highTenths == kTenthsNoData ? kNoRow : row(targetTenths + record.highTenths);
  const GraphRow lower =
      record.lowTenths == kTenthsNoData ? kNoRow : row(targetTenths + record.lowTenths);
  const double m = wide ? 2.0 : 1.0;
  const bool whole = wide && targetTenths % 10 == 0;
  for (size_t i = 0; i < grid_.size(); ++i) {
    const double value = kGridFactors[i] * m + (record.target - record.displayOffset);
    std::string text = formatted(whole ? "%+2.0f" : "%+2.1f", value);
    if (text == "+0.0" || text == "+0" || text == "-0.0" || text == "-0") text = " 0";
    grid_[i].label = text;
  }
  graph_->setGridLines(grid_);
  graph_->setZones(upper, lower);
  graph_->requestFullRepaint();

  const int32_t up = upper == kNoRow ? -1 : upper;
  const int32_t blue = lower == kNoRow ? 0 : std::max(197 - lower, 0) / 4;
  if (up < 0) {
    // No upper zone: green fills the bar above the blue zone.
    momentary_->setZones(std::max((momentary_->height() + 1) / 4 - blue, 0), blue, 0);
  } else {
    const int32_t green = std::max(197 - 4 * blue - up, 0) / 4 + 1;
    const int32_t red = up >= 2 ? (up - 1) / 4 : 0;
    momentary_->setZones(green, blue, red);
  }
}

void LoudnessHistoryView::setSpan(int32_t spanMs) {
  resetFeeding();
  span_ = spanMs;
  const auto it = std::find_if(kIntervals.begin(), kIntervals.end(),
                               [&](const Intervals& i) { return i.span == spanMs; });
  if (it != kIntervals.end()) {
    minorInterval_ = it->minor;
    majorInterval_ = it->major;
  } else {
    minorInterval_ = static_cast<int64_t>(spanMs) * 100 / 2000;
    majorInterval_ = static_cast<int64_t>(spanMs) * 100 / 1000;
  }
  // Intervals of 0 would never advance the marker times.
  minorInterval_ = std::max<int64_t>(minorInterval_, 1);
  majorInterval_ = std::max<int64_t>(majorInterval_, 1);
  values_[4]->setText(spanName(spanMs));
}

void LoudnessHistoryView::setFirstMarkers(int64_t first) {
  const std::time_t t = static_cast<std::time_t>(first);
  std::tm local{};
  if (!localtime_r(&t, &local)) return;
  const int64_t intoDay = local.tm_sec + (local.tm_min + local.tm_hour * 60) * 60;
  const int64_t boundary = first - intoDay % majorInterval_;
  nextMajor_ = boundary + (first - boundary + majorInterval_ - 1) / majorInterval_ * majorInterval_;
  nextMinor_ = boundary + (first - boundary + minorInterval_ - 1) / minorInterval_ * minorInterval_;
}

void LoudnessHistoryView::feed(int level, int64_t count, int n) {
  const HistoryRing& ring = source_->context.history().ring(level);
  for (int k = 0; k < n; ++k) {
    const int64_t i = count - n + k;
    const int age = n - 1 - k;
    const HistorySample sample = ring.at(age);
    // A sample older than the history is the empty time before it, not an outage.
    const bool noData = sample.average == kTenthsNoData && age < ring.filled();
    const int64_t time = epochSeconds_ + i * span_ / 1000;
    std::optional<std::string> marker;
    if (nextMajor_ != 0 && time >= nextMajor_) {
      const std::time_t t = static_cast<std::time_t>(nextMajor_);
      std::tm local{};
      char text[16];
      if (localtime_r(&t, &local) && std::strftime(text, sizeof text, "%H:%M:%S", &local) > 0)
        marker = std::string(text);
      nextMajor_ += majorInterval_;
    }
    if (nextMinor_ != 0 && time >= nextMinor_) {
      if (!marker) marker = std::string("m");
      nextMinor_ += minorInterval_;
    }
    graph_->addSample(row(sample.average), row(sample.maximum), row(sample.minimum),
                      std::move(marker), noData);
  }
}

void LoudnessHistoryView::updateTexts(bool force) {
  const LoudnessContext& context = source_->context;
  const SessionRecord& r = context.record();
  const HistoryEngine& history = context.history();

  const GraphRow momentary = row(history.blockTenths());
  momentary_->setLevel(momentary == kNoRow ? 1 : ((196 - momentary) >> 2) + 1);

  std::array<MiniSixChan::Channel, 6> channels{};
  if (r.dataSeen && !r.dataStale) {  // levels the card no longer sends are not shown
    for (size_t k = 0; k < channels.size(); ++k) {
      const int32_t c = miniRow(r.meterDb[k]);
      const int32_t e = miniRow(r.heldPeakDb[k]);
      const int32_t f = 28 - c;
      MiniSixChan::Channel& ch = channels[k];
      ch.green = std::min(f, 14);
      ch.yellow = std::min(std::max(f - 14, 0), 7);
      ch.red = std::max(f - 21, 0);
      const int32_t lit = ch.green + ch.yellow + ch.red;
      const int32_t gap = 28 - lit - e;
      ch.gap = lit < 27 && gap >= 0 ? gap : 0;
      ch.marker = 1;
    }
  }
  mini_->setChannels(channels);

  auto loudness = [&](int32_t tenths) {
    return noValue(tenths)
               ? std::string(kNoValue)
               : formatted("%+2.1f %s", tenths / 10.0 - r.displayOffset, r.unitText.c_str());
  };
  const int32_t shortTerm = history.ring(0).at(0).average;
  if (force || shortTerm != shownShortTerm_) values_[1]->setText(loudness(shortTerm));
  shownShortTerm_ = shortTerm;
  const int32_t integrated = history.integratedTenths(r.gating);
  if (force || integrated != shownIntegrated_) values_[2]->setText(loudness(integrated));
  shownIntegrated_ = integrated;
  const int32_t range = history.rangeTenths();
  if (force || range != shownRange_)
    values_[3]->setText(noValue(range) ? std::string(kNoValue)
                                       : formatted("%2.1f LU", range / 10.0));
  shownRange_ = range;
}

void LoudnessHistoryView::update() {
  if (!source_ || !bound_ || !graph_) return;
  const LoudnessContext& context = source_->context;
  const SessionRecord& r = context.record();
  const HistoryEngine& history = context.history();
  const auto started = std::chrono::steady_clock::now();
  bool timed = false;
  bool force = false;

  const int32_t spanMs = source_->settings.spanMs > 0 ? source_->settings.spanMs : 100;
  if (spanMs != span_) {
    setSpan(spanMs);
    timed = force = true;
  }
  const int32_t targetTenths = static_cast<int32_t>(std::trunc(r.target * 10.0f));
  const int32_t wide = r.rangeIndex == 1 ? 1 : 0;
  const int32_t mode = static_cast<int32_t>(r.graphMode);
  if (mode != mode_ || r.highTenths != high_ || r.lowTenths != low_ ||
      r.displayOffset != displayOffset_ || wide != wide_ || targetTenths != target_) {
    mode_ = mode;
    high_ = r.highTenths;
    low_ = r.lowTenths;
    displayOffset_ = r.displayOffset;
    wide_ = wide;
    target_ = targetTenths;
    rescale(r, targetTenths, wide == 1);
    timed = force = true;
  }

  int level = 0;
  while (level + 1 < HistoryEngine::kLevels && (100 << (level + 1)) <= spanMs)
    ++level;
  const int64_t count = history.ring(level).count();
  const uint64_t key = static_cast<uint64_t>(history.resets()) + 1;
  bool epochChanged = false;
  int64_t n = 0;
  if (key != epochKey_ || count < fed_) {
    graph_->clear();
    epochKey_ = key;
    // The history does not keep wall-clock time; its first sample lies as many level-0 periods
    // back as it has taken samples.
    epochSeconds_ = source_->nowSeconds - history.ring(0).count() / 10;
    nextMajor_ = nextMinor_ = 0;
    epochChanged = true;
    n = kFeedMost;
  } else {
    n = count - fed_;
    if (n > kFeedMost) {
      graph_->clear();
      n = kFeedMost;
    }
  }
  if (epochChanged || n != 0) {
    if (nextMajor_ == 0) setFirstMarkers(epochSeconds_ + (count - n) * spanMs / 1000);
    feed(level, count, static_cast<int>(n));
    fed_ = count;
  }

  const int64_t count0 = history.ring(0).count();
  if (force || count0 != textCount_) {
    updateTexts(force);
    textCount_ = count0;
  }
  if (timed) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - started);
    logMessage(1, "timing for feeding new data: %d ", static_cast<int>(ms.count()));
  }
}

void LoudnessHistoryView::onShow() {
  queuePaint();
  update();
}

void LoudnessHistoryView::paint() {
  Window* w = window();
  if (!w) return;
  w->clear(this, palette::kLoudnessBackground);
  for (const Rect& box : {kModeBox, kShortTermBox, kIntegratedBox, kRangeBox, kSpanBox})
    w->drawFrame(this, box, palette::kLoudnessGrey, true);
}

}  // namespace qelm
