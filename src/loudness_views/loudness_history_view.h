#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "display/bitmap.h"
#include "display/drawable.h"
#include "loudness_views/history_graph.h"
#include "loudness_views/loudness_views.h"

namespace qelm {

struct SessionRecord;

/// A column of coloured segments (3 pixels high, 1 pixel apart) from the bottom: blue, green
/// and red zones; the lit segments show the momentary loudness.
class MomentaryBar final : public Drawable {
 public:
  /// Rebuilds the segments (cut to what fits the bar); every segment paints again.
  void setZones(int32_t green, int32_t blue, int32_t red);
  /// Number of lit segments; queues on a change.
  void setLevel(int32_t level);

  int32_t level() const { return level_; }
  int32_t segmentCount() const { return static_cast<int32_t>(segments_.size()); }
  /// Zone colour of segment `k` (0 = bottom).
  ColorIndex zoneColor(int32_t k) const;

  void onShow() override;
  void onHide() override { fullRepaint_ = true; }
  void paint() override;

 private:
  struct Segment {
    Rect rect;
    ColorIndex shown = -1;
  };
  int32_t blue_ = 0;
  int32_t green_ = 0;
  int32_t red_ = 0;
  bool fullRepaint_ = true;
  int32_t level_ = -1;
  std::vector<Segment> segments_;
};

/// Six small channel meters (L, R, C, LFE, Ls, Rs), 28 pixels high, drawn off screen.
class MiniSixChan final : public Drawable {
 public:
  /// Pixel heights of one channel's meter, bottom to top.
  struct Channel {
    int32_t green = 1;
    int32_t yellow = 0;
    int32_t red = 0;
    int32_t gap = 0;
    int32_t marker = 1;
    bool operator==(const Channel&) const = default;
  };

  /// Makes the off-screen bitmap; once, after placement.
  void layout();
  /// Takes the channels; queues when any changed.
  void setChannels(const std::array<Channel, 6>& channels);
  const std::array<Channel, 6>& channels() const { return channels_; }

  void onShow() override;
  void onHide() override { frame_ = true; }
  void paint() override;

 private:
  std::array<Channel, 6> channels_{};
  std::unique_ptr<Bitmap> bitmap_;
  bool barsValid_ = false;
  bool frame_ = true;
};

/// Left screen alternative: the loudness history graph with its scale and time labels, the
/// momentary bar, the mini meter and boxes with mode, short-term, integrated, range and span.
class LoudnessHistoryView final : public LoudnessView {
 public:
  /// Columns fed at most per update; more arrivals clear the graph first.
  static constexpr int kFeedMost = 435;

  /// Creates the widgets; once, after placement.
  void layout();
  void update() override;
  /// Binds like every view and clears the graph and the feeding state.
  void bind(bool found) override;

  /// Row 0..195 of a loudness in tenths under the current scale; 255 for -2001.
  GraphRow row(int32_t tenths) const;
  int32_t scaleFactor() const { return factor_; }
  int32_t scaleOffset() const { return offset_; }
  /// Computes the scale factor and offset for target `targetTenths` (27 LU, or 54 LU `wide`).
  static void scaleFor(int32_t targetTenths, bool wide, int32_t& factor, int32_t& offset);

  Graph& graph() { return *graph_; }
  MomentaryBar& momentaryBar() { return *momentary_; }
  MiniSixChan& miniMeter() { return *mini_; }
  /// Value labels: 0 mode, 1 short term, 2 integrated, 3 range, 4 span.
  Label& valueLabel(int index) { return *values_[static_cast<size_t>(index)]; }
  /// History samples fed so far (of the level in use).
  int64_t fed() const { return fed_; }
  int64_t nextMajorTime() const { return nextMajor_; }
  int64_t nextMinorTime() const { return nextMinor_; }

  void onShow() override;
  void paint() override;

 private:
  void resetFeeding();
  void rescale(const SessionRecord& record, int32_t targetTenths, bool wide);
  void setSpan(int32_t spanMs);
  void setFirstMarkers(int64_t first);
  void feed(int level, int64_t count, int n);
  void updateTexts(bool force);

  Graph* graph_ = nullptr;
  MomentaryBar* momentary_ = nullptr;
  MiniSixChan* mini_ = nullptr;
  std::array<Label*, 5> values_{};
  std::vector<GridLine> grid_;
  int32_t factor_ = -185;
  int32_t offset_ = -26016;

  int32_t span_ = -1;
  int32_t mode_ = -1;
  int32_t high_ = 0;
  int32_t low_ = 0;
  float displayOffset_ = 0.0f;
  int32_t wide_ = -1;
  int32_t target_ = 0;

  int64_t fed_ = 0;
  int64_t nextMajor_ = 0;
  int64_t nextMinor_ = 0;
  uint64_t epochKey_ = 0;
  int64_t epochSeconds_ = 0;
  int64_t majorInterval_ = 10;
  int64_t minorInterval_ = 5;

  int32_t shownShortTerm_ = -2002;
  int32_t shownIntegrated_ = -2002;
  int32_t shownRange_ = -2002;
  int64_t textCount_ = -1;
};

}  // namespace qelm
