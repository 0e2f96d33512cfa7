#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "display/bitmap.h"
#include "display/drawable.h"

namespace qelm {

class GlobalSettings;
class LoudnessContext;
class LoudnessHistoryView;
struct SessionRecord;

/// The global settings the loudness views show by (read live: the operator turns them on the
/// loudness page).
struct LoudnessViewSettings {
  bool channelRelative = false;  ///< "lm_abs_rel" = 1: channel meters relative to levelScaling
  float levelScaling = -20.0f;   ///< "lm_ls", dBFS: the 0 dB point of relative meters
  float yellow = -20.0f;         ///< "lm_gy", dBFS: green turns yellow
  float red = -10.0f;            ///< "lm_yr", dBFS: yellow turns red
  bool oneSecondBar = false;     ///< "lm_lb" = 1: the total bar shows the momentary loudness
  bool showMaxValue = false;     ///< "lm_wcd" = 1: the error table shows session extremes
  int32_t viewChoice = 0;        ///< "lm2_view": 1 = history view, otherwise channel view
  int32_t spanMs = 100;          ///< "lm2_scale": ms of one graph column
};

/// Reads the view settings from the panel's global settings (defaults for missing ones).
LoudnessViewSettings loudnessViewSettingsFrom(GlobalSettings& globals);
/// Short name of a graph span in ms ("45 seconds" for 100); "" for a span not offered.
const char* spanName(int32_t spanMs);

/// What one update reads: the monitor's context (never kept past the update), the settings and
/// the wall-clock time in seconds since 1970.
struct LoudnessSource {
  const LoudnessContext& context;
  LoudnessViewSettings settings;
  int64_t nowSeconds = 0;
};

/// Scale row 0..165 of a level `b` (dB) on a channel bar: type 0 absolute, 1 relative to `x`
/// dB, 2 narrow around `x`; 0 for a value that is not a number.
int32_t channelScaleRow(int32_t type, float x, float b);

/// Base of the loudness views: a drawable that reads a monitor's session record during an
/// update and shows only its background while it has no session ("unbound").
class LoudnessView : public Drawable {
 public:
  /// Shows the children only while bound.
  void showChildren() override;
  /// Refreshes the widgets from the source; nothing without one.
  virtual void update() = 0;
  /// Binds to a session (`found`) or unbinds: an unbound view hides its widgets and shows its
  /// background only.
  virtual void bind(bool found);
  /// Gives the source the next updates read (null: none); the caller clears it before the
  /// context can go away.
  virtual void setSource(const LoudnessSource* source) { source_ = source; }

  /// Whether a session is bound.
  bool bound() const { return bound_; }

 protected:
  const LoudnessSource* source_ = nullptr;
  bool bound_ = false;
};

/// A vertical level bar of 165 rows composed in a scratch bitmap: a strip background, then the
/// blue, green, yellow and red segments from the bottom and an optional peak marker.
class LoudnessChannelGraph final : public Drawable {
 public:
  /// Segment heights in rows, bottom to top: blue, green, yellow, red.
  struct Segments {
    int32_t blue = 0;
    int32_t green = 0;
    int32_t yellow = 0;
    int32_t red = 0;
    bool operator==(const Segments&) const = default;
  };
  /// Most rows the segments fill.
  static constexpr int32_t kRows = 165;

  /// `strips`: the backgrounds (first one used unless the strip index says otherwise);
  /// `segments`: blue, green, yellow, red; `marker`: the 27 x 7 peak marker.
  LoudnessChannelGraph(std::vector<const Bitmap*> strips, std::array<const Bitmap*, 4> segments,
                       const Bitmap* marker);

  /// Fits the heights into 165 rows (blue first, then green, yellow, red); queues on a change.
  void setSegments(int32_t red, int32_t yellow, int32_t blue, int32_t green);
  /// Green up to the yellow threshold, yellow up to red, red above, from scale rows of `type`.
  void setLevel(int32_t type, float reference, float level, float yellow, float red);
  /// Peak marker row (<= 0: none); queues on a change.
  void setMarker(int32_t row);
  /// Empty bar without marker; always queues.
  void clear();
  /// Selects the background strip (out of range: the first).
  void setStripIndex(int32_t index) { stripIndex_ = index; }

  const Segments& segments() const { return segments_; }
  int32_t marker() const { return marker_; }

  void onShow() override;
  void paint() override;

 private:
  std::vector<const Bitmap*> strips_;
  std::array<const Bitmap*, 4> segmentBitmaps_;
  const Bitmap* markerBitmap_;
  int32_t stripIndex_ = 0;
  Segments segments_;
  int32_t marker_ = -1;
  bool dirty_ = false;
  Bitmap scratch_;
};

/// Left screen: per-channel meters with peak lights and contribution marks, and the total
/// loudness bar.
class LoudnessChannelView final : public LoudnessView {
 public:
  /// Channel strips.
  static constexpr int kChannels = 8;

  /// Creates the widgets from `bitmaps` (which must outlive the view); once, after placement.
  void layout(BitmapCache& bitmaps);
  void update() override;

  LoudnessChannelGraph& bar(int channel) { return *bars_[static_cast<size_t>(channel)]; }
  LoudnessChannelGraph& totalBar() { return *total_; }
  Label& totalLabel() { return *tloud_; }
  MultiStateIcon* errorIcon(int channel) { return errors_[static_cast<size_t>(channel)]; }
  MultiStateIcon& peakLight(int channel) { return *peaks_[static_cast<size_t>(channel)]; }

  void onShow() override;
  void paint() override;

 private:
  const Bitmap* background_ = nullptr;
  MultiStateIcon* cscale_ = nullptr;
  MultiStateIcon* tscale_ = nullptr;
  std::array<MultiStateIcon*, kChannels> errors_{};
  std::array<MultiStateIcon*, kChannels> peaks_{};
  std::array<LoudnessChannelGraph*, kChannels> bars_{};
  Label* tloud_ = nullptr;
  LoudnessChannelGraph* total_ = nullptr;
};

/// Left screen of a loudness page: the channel view or the history view, by "lm2_view".
class LoudnessLeftPanelBase final : public LoudnessView {
 public:
  /// Artwork is read from `imagesFolder` (the view owns its bitmap cache).
  explicit LoudnessLeftPanelBase(std::string imagesFolder);
  ~LoudnessLeftPanelBase() override;

  /// Creates both views; once, after placement.
  void layout();
  void update() override;
  void bind(bool found) override;
  void setSource(const LoudnessSource* source) override;
  /// Shows the current view (which shows its background even while unbound).
  void showChildren() override;

  LoudnessChannelView& channelView() { return *channel_; }
  LoudnessHistoryView& historyView() { return *history_; }
  /// The view shown: the channel or the history view.
  LoudnessView& currentView() { return *current_; }

 private:
  BitmapCache bitmaps_;
  LoudnessChannelView* channel_ = nullptr;
  LoudnessHistoryView* history_ = nullptr;
  LoudnessView* current_ = nullptr;
};

/// Right screen of a loudness page: session state LEDs, totals and the error table.
class LoudnessSessionView final : public LoudnessView {
 public:
  /// Error table rows: peak, high, low, dialnorm.
  static constexpr int kErrorRows = 4;
  /// Error table columns: type, seconds, percent, worst value.
  static constexpr int kErrorColumns = 4;

  /// Artwork is read from `imagesFolder` (the view owns its bitmap cache).
  explicit LoudnessSessionView(std::string imagesFolder);

  /// Creates the widgets; once, after placement.
  void layout();
  void update() override;

  /// The label named `name`, or null.
  Label* label(const std::string& name) const;
  MultiStateIcon& startLed() { return *start_; }
  MultiStateIcon& stopLed() { return *stop_; }
  MultiStateIcon& pauseLed() { return *pause_; }

  void onShow() override;
  void paint() override;

 private:
  Label& addLabel(const std::string& name, const Rect& rect, int32_t font, ColorIndex foreground,
                  bool centred, const std::string& text);
  // The steps of `update`, in the order it takes them.
  void showStateLeds(const SessionRecord& r);
  void showSessionTexts(const SessionRecord& r);
  void showIntegratedLoudness(const LoudnessContext& context);
  void showDialnormAndTarget(const SessionRecord& r);
  void showErrorTable(const SessionRecord& r, bool showMaxValue);
  void showErrorRow(size_t row, const SessionRecord& r, bool showMaxValue);

  BitmapCache bitmaps_;
  const Bitmap* background_ = nullptr;
  MultiStateIcon* start_ = nullptr;
  MultiStateIcon* stop_ = nullptr;
  MultiStateIcon* pause_ = nullptr;
  std::vector<Label*> labels_;
  std::array<std::array<Label*, kErrorColumns>, kErrorRows> table_{};
};

/// Sets a label's text and colour; queues it only when either differs.
void setLabel(Label& label, const std::string& text, ColorIndex foreground);

}  // namespace qelm
