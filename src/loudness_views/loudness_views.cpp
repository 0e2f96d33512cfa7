// Sections: [Settings] [Scale] [LoudnessView] [LoudnessChannelGraph] [LoudnessChannelView]
// [LoudnessLeftPanelBase] [LoudnessSessionView]
#include "loudness_views/loudness_views.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "core/global_codes.h"
#include "display/font.h"
#include "display/palette.h"
#include "globals/global_settings.h"
#include "loudness/loudness_context.h"
#include "loudness_views/loudness_history_view.h"

namespace qelm {

namespace {

constexpr int32_t kBarTop = 82;
constexpr int32_t kBarBottom = 256;
constexpr int32_t kMarkerMostRow = 158;
// Shown in place of the link status while the card sends no loudness data.
constexpr const char* kNoDataFromCard = "No data from card";
constexpr std::array<int32_t, LoudnessChannelView::kChannels> kStripX = {39,  80,  122, 163,
                                                                         205, 246, 305, 346};

std::string format(const char* fmt, double value) {
  char text[64];
  std::snprintf(text, sizeof text, fmt, value);
  return text;
}

// A level as "%.1f", or `none` below -150 (no signal).
std::string levelText(float value, const char* none) {
  return value < -150.0f || !std::isfinite(value) ? std::string(none) : format("%.1f", value);
}

}  // namespace

// ---- Settings ----------------------------------------------------------------------------------

LoudnessViewSettings loudnessViewSettingsFrom(GlobalSettings& globals) {
  auto value = [&](GlobalCode code) {
    const Parameter* p = globals.model().findByGlobalCode(codeOf(code));
    return p ? globals.getGlobal(*p) : Value();
  };
  auto real = [&](GlobalCode code, float fallback) {
    const Value v = value(code);
    return v.valid && std::isfinite(v.f) ? v.f : fallback;
  };
  auto integer = [&](GlobalCode code, int32_t fallback) {
    const Value v = value(code);
    return v.valid ? v.i : fallback;
  };
  LoudnessViewSettings s;
  s.channelRelative = integer(GlobalCode::kChannelMeters, 0) == 1;
  s.levelScaling = real(GlobalCode::kLevelScaling, s.levelScaling);
  s.yellow = real(GlobalCode::kVuYellow, s.yellow);
  s.red = real(GlobalCode::kVuRed, s.red);
  s.oneSecondBar = integer(GlobalCode::kBarDisplayResponse, 0) == 1;
  s.showMaxValue = integer(GlobalCode::kMaxErrorDisplay, 0) == 1;
  s.viewChoice = integer(GlobalCode::kCurrentLoudnessView, 0);
  s.spanMs = integer(GlobalCode::kCurrentGraphScale, s.spanMs);
  return s;
}

const char* spanName(int32_t spanMs) {
  switch (spanMs) {
    case 100:
      return "45 seconds";
    case 200:
      return "90 seconds";
    case 400:
      return "3 minutes";
    case 800:
      return "6 minutes";
    case 1600:
      return "12 minutes";
    case 3200:
      return "24 minutes";
    case 6400:
      return "48 minutes";
    case 12800:
      return "1 hour 36 minutes";
    case 25600:
      return "3 hours 12 minutes";
    case 51200:
      return "6 hours 24 minutes";
    case 102400:
      return "12 hours 48 minutes";
    case 204800:
      return "25 hours 46 minutes";
    default:
      return "";
  }
}

// ---- Scale -------------------------------------------------------------------------------------

int32_t channelScaleRow(int32_t type, float x, float b) {
  if (std::isnan(b) || std::isnan(x)) return 0;
  auto t = [](float v) { return static_cast<int32_t>(std::trunc(v)); };
  int32_t row = 0;
  if (type == 1) {
    const float a = x - 50.0f, c = x - 20.0f, d = x - 10.0f, e = x + 10.0f, f = x + 20.0f;
    if (b < a)
      row = 0;
    else if (b < c)
      row = 2 + t((b - a) * 1.0667f);
    else if (b < d)
      row = 34 + t((b - c) * 2.2f);
    else if (b < e)
      row = 56 + t((b - d) * 4.35f);
    else if (b < f)
      row = 143 + t((b - e) * 2.2f);
    else
      row = 165;
  } else if (type == 2) {
    const float a = x - 10.0f, c = x - 6.0f, d = x + 6.0f, e = x + 10.0f;
    if (b < a)
      row = 0;
    else if (b < c)
      row = 2 + t((b - a) * 6.75f);
    else if (b < d)
      row = 29 + t((b - c) * 9.083f);
    else if (b < e)
      row = 138 + t((b - d) * 6.75f);
    else
      row = 165;
  } else {
    if (b < -70.0f)
      row = 0;
    else if (b < -40.0f)
      row = 2 + t((b + 70.0f) * 1.0667f);
    else if (b < -30.0f)
      row = 34 + t((b + 40.0f) * 2.2f);
    else if (b < -10.0f)
      row = 56 + t((b + 30.0f) * 4.35f);
    else if (b < 0.0f)
      row = 143 + t((b + 10.0f) * 2.2f);
    else
      row = 165;
  }
  return std::clamp(row, 0, 165);
}

// ---- LoudnessView ------------------------------------------------------------------------------

void LoudnessView::showChildren() {
  if (bound_) Drawable::showChildren();
}

void LoudnessView::bind(bool found) {
  if (found == bound_) return;
  bound_ = found;
  if (!visible()) return;
  if (found) {
    showChildren();
    return;
  }
  // Without a session only the background shows: hide the widgets and paint over them.
  for (const auto& child : children())
    child->setVisible(false);
  onShow();
}

void setLabel(Label& label, const std::string& text, ColorIndex foreground) {
  LabelProperties& p = label.props();
  if (p.foreground != foreground) {
    p.foreground = foreground;
    p.dirty = true;
    label.queuePaint();
  }
  label.setText(text);
}

// ---- LoudnessChannelGraph ----------------------------------------------------------------------

LoudnessChannelGraph::LoudnessChannelGraph(std::vector<const Bitmap*> strips,
                                           std::array<const Bitmap*, 4> segments,
                                           const Bitmap* marker)
    : strips_(std::move(strips)), segmentBitmaps_(segments), markerBitmap_(marker) {}

void LoudnessChannelGraph::setSegments(int32_t red, int32_t yellow, int32_t blue, int32_t green) {
  const int32_t a = std::max(red, 0), b = std::max(yellow, 0), c = std::max(blue, 0),
                d = std::max(green, 0);
  Segments s;
  if (c >= kRows + 1) {
    s.blue = kRows;
  } else if (c + d >= kRows + 1) {
    s.blue = c;
    s.green = kRows - c;
  } else if (c + d + b < kRows + 1) {
    s.blue = c;
    s.green = d;
    s.yellow = b;
    s.red = c + d + b + a >= kRows + 1 ? kRows - c - d - b : a;
  } else {
    s.blue = c;
    s.green = d;
    s.yellow = kRows - c - d;
  }
  if (s == segments_) return;
  segments_ = s;
  dirty_ = true;
  queuePaint();
}

void LoudnessChannelGraph::setLevel(int32_t type, float reference, float level, float yellow,
                                    float red) {
  const int32_t f = channelScaleRow(type, reference, level);
  const int32_t g = channelScaleRow(type, reference, red);
  const int32_t h = channelScaleRow(type, reference, yellow);
  const int32_t green = std::max(std::min({h, g, f}), 0);
  const int32_t yellowRows = std::max(std::min(g, f) - green, 0);
  const int32_t redRows = std::max(f - yellowRows - green, 0);
  setSegments(redRows, yellowRows, 0, green);
}

void LoudnessChannelGraph::setMarker(int32_t row) {
  if (row == marker_) return;
  marker_ = row;
  dirty_ = true;
  queuePaint();
}

void LoudnessChannelGraph::clear() {
  segments_ = {};
  marker_ = -1;
  dirty_ = true;
  queuePaint();
}

void LoudnessChannelGraph::onShow() {
  dirty_ = true;
  queuePaint();
}

void LoudnessChannelGraph::paint() {
  if (!dirty_ || !window()) return;
  dirty_ = false;
  if (strips_.empty()) return;
  const size_t index =
      stripIndex_ >= 0 && static_cast<size_t>(stripIndex_) < strips_.size() ? stripIndex_ : 0;
  const Bitmap* strip = strips_[index] ? strips_[index] : strips_[0];
  if (!strip) return;
  // The scratch bitmap keeps its storage between paints.
  scratch_.width = strip->width;
  scratch_.height = strip->height;
  scratch_.pixels.assign(strip->pixels.begin(), strip->pixels.end());

  int32_t bottom = 169;
  const std::array<int32_t, 4> heights = {segments_.blue, segments_.green, segments_.yellow,
                                          segments_.red};
  for (size_t i = 0; i < 4; ++i) {
    if (heights[i] <= 0) continue;
    bottom -= heights[i];
    if (segmentBitmaps_[i]) pasteBitmap(*segmentBitmaps_[i], heights[i], scratch_, 11, bottom, 15);
  }
  const int32_t p = marker_;
  if (p > 0 && markerBitmap_ && markerBitmap_->width >= 27 && markerBitmap_->height >= 7 &&
      scratch_.width >= 32 && scratch_.height >= 169 - p)
    pasteBitmap(*markerBitmap_, 7, scratch_, 5, 162 - p, 27);
  window()->drawBitmap(this, scratch_, 0, 0);
}

// ---- LoudnessChannelView -----------------------------------------------------------------------

void LoudnessChannelView::layout(BitmapCache& bitmaps) {
  auto bmp = [&](const char* name) { return &bitmaps.get(name); };
  background_ = bmp("lml_back.bmp");
  cscale_ = &MultiStateIcon::create(*this, "cscale", 0, kBarTop,
                                    {bmp("lml_leftabs.bmp"), bmp("lml_leftrel.bmp")});
  static constexpr std::array<const char*, kChannels> kErrorNames = {"l",  "r",  "c",     nullptr,
                                                                     "ls", "rs", nullptr, nullptr};
  const std::array<const Bitmap*, 4> segments = {bmp("lml_bluebar.bmp"), bmp("lml_greenbar.bmp"),
                                                 bmp("lml_yellowbar.bmp"), bmp("lml_redbar.bmp")};
  const Bitmap* marker = bmp("lml_orangebug.bmp");
  for (int i = 0; i < kChannels; ++i) {
    const int32_t x = kStripX[static_cast<size_t>(i)];
    const std::string n = std::to_string(i);
    if (const char* suffix = kErrorNames[static_cast<size_t>(i)]) {
      errors_[static_cast<size_t>(i)] =
          &MultiStateIcon::create(*this, "err" + n, x, 11,
                                  {bmp(("lml_blue" + std::string(suffix) + ".bmp").c_str()),
                                   bmp(("lml_red" + std::string(suffix) + ".bmp").c_str())});
    }
    peaks_[static_cast<size_t>(i)] = &MultiStateIcon::create(
        *this, "peak" + n, x, 48, {bmp("lml_ledoff.bmp"), bmp("lml_ledon.bmp")});
    bars_[static_cast<size_t>(i)] =
        &addChild(std::make_unique<LoudnessChannelGraph>(
                      std::vector<const Bitmap*>{bmp("lml_strip1.bmp")}, segments, marker),
                  "graph" + n, Rect{x, kBarTop, x + 37, kBarBottom});
  }
  LabelProperties total;
  total.fontCode = 1;
  total.foreground = palette::kLoudnessText;
  total.centred = true;
  tloud_ = &addChild(std::make_unique<Label>(total), "tloud", Rect{400, 0, 479, 50});
  total_ = &addChild(std::make_unique<LoudnessChannelGraph>(
                         std::vector<const Bitmap*>{bmp("lml_strip2.bmp"), bmp("lml_strip3.bmp")},
                         segments, marker),
                     "tgraph", Rect{411, kBarTop, 448, kBarBottom});
  tscale_ = &MultiStateIcon::create(*this, "tscale", 446, kBarTop, {bmp("lml_rightfs.bmp")});
}

void LoudnessChannelView::update() {
  if (!source_ || !bound_) return;
  const SessionRecord& r = source_->context.record();
  const LoudnessViewSettings& s = source_->settings;
  cscale_->setState(s.channelRelative ? 1 : 0);
  const int32_t type = s.channelRelative ? 1 : 0;
  const float reference = s.channelRelative ? s.levelScaling : 0.0f;
  // Levels the card no longer sends are not shown as if they were live.
  const bool current = r.dataSeen && !r.dataStale;
  for (size_t i = 0; i < kChannels; ++i) {
    const bool contributing = i < r.contributing.size() && r.contributing[i];
    if (errors_[i]) errors_[i]->setState(contributing ? 1 : 0);
    if (current) {
      peaks_[i]->setState(r.peakOver[i] ? 1 : 0);
      bars_[i]->setLevel(type, reference, r.meterDb[i], s.yellow, s.red);
      bars_[i]->setMarker(
          std::min(channelScaleRow(type, reference, r.heldPeakDb[i]), kMarkerMostRow));
    } else {
      peaks_[i]->setState(0);
      // Cleared once: a cleared bar needs no second paint.
      if (bars_[i]->segments() != LoudnessChannelGraph::Segments{} || bars_[i]->marker() != -1)
        bars_[i]->clear();
    }
  }
  tscale_->setState(0);

  const bool highOpen = r.openError[static_cast<size_t>(ErrorCategory::kHigh)] >= 0;
  const bool lowOpen = r.openError[static_cast<size_t>(ErrorCategory::kLow)] >= 0;
  const float shortTerm = current && r.shortTermValid ? r.shortTermLoudness : -200.0f;
  setLabel(*tloud_, levelText(shortTerm, "---"),
           highOpen  ? palette::kLoudnessHigh
           : lowOpen ? palette::kLoudnessLow
                     : palette::kLoudnessText);

  total_->setStripIndex(0);
  if (!current) {
    if (total_->segments() != LoudnessChannelGraph::Segments{}) total_->clear();
  } else {
    const float shown = s.oneSecondBar ? r.momentaryLoudness : shortTerm;
    const int32_t row = channelScaleRow(0, 0.0f, shown);
    switch (r.loudnessState) {
      case 0:
        total_->setSegments(0, 0, 0, row);
        break;
      case -1:
      case -2:
        total_->setSegments(0, 0, row, 0);
        break;
      case 1:
      case 2:
        total_->setSegments(row, 0, 0, 0);
        break;
      default:
        break;
    }
  }
}

void LoudnessChannelView::onShow() {
  queuePaint();
}

void LoudnessChannelView::paint() {
  if (window() && background_) window()->drawBitmap(this, *background_, 0, 0);
}

// ---- LoudnessLeftPanelBase ---------------------------------------------------------------------

LoudnessLeftPanelBase::LoudnessLeftPanelBase(std::string imagesFolder)
    : bitmaps_(std::move(imagesFolder)) {}

LoudnessLeftPanelBase::~LoudnessLeftPanelBase() = default;

void LoudnessLeftPanelBase::layout() {
  const Rect all{0, 0, width(), height()};
  channel_ = &addChild(std::make_unique<LoudnessChannelView>(), "Channel", all);
  channel_->layout(bitmaps_);
  history_ = &addChild(std::make_unique<LoudnessHistoryView>(), "History", all);
  history_->layout();
  current_ = channel_;
}

void LoudnessLeftPanelBase::showChildren() {
  if (current_ && !current_->visible()) current_->setVisible(true);
}

void LoudnessLeftPanelBase::setSource(const LoudnessSource* source) {
  source_ = source;
  channel_->setSource(source);
  history_->setSource(source);
}

void LoudnessLeftPanelBase::bind(bool found) {
  bound_ = found;
  channel_->bind(found);
  history_->bind(found);
}

void LoudnessLeftPanelBase::update() {
  if (!source_ || !bound_) return;
  LoudnessView* wanted = source_->settings.viewChoice == 1 ? static_cast<LoudnessView*>(history_)
                                                           : static_cast<LoudnessView*>(channel_);
  if (wanted != current_) {
    current_->setVisible(false);
    current_ = wanted;
    if (visible()) current_->setVisible(true);
  }
  current_->update();
}

// ---- LoudnessSessionView -----------------------------------------------------------------------

namespace {

struct TableRow {
  const char* prefix;
  const char* initial;
  int32_t y0;
  int32_t y1;
};
constexpr std::array<TableRow, LoudnessSessionView::kErrorRows> kRows = {{
    {"peak", "True Peak", 162, 182},
    {"hi", "LUFS High", 182, 202},
    {"lo", "LUFS Low", 202, 222},
    {"dialnorm", "Dialnorm", 222, 242},
}};
constexpr std::array<int32_t, 5> kColumnX = {24, 153, 268, 322, 480};
constexpr std::array<const char*, 4> kColumnNames = {"_type", "_sec", "_percent", "_worst"};

std::string runningTime(uint32_t ticks) {
  char text[48];
  std::snprintf(text, sizeof text, "%02u:%02u:%02u.%u", ticks / 36000, ticks / 600 % 60,
                ticks / 10 % 60, ticks % 10);
  return text;
}

ColorIndex dialnormColor(ErrorType type) {
  switch (type) {
    case ErrorType::kDialnormHigh:
      return palette::kLoudnessHigh;
    case ErrorType::kDialnormLow:
      return palette::kLoudnessLow;
    case ErrorType::kNoDialnorm:
      return palette::kLoudnessWarning;
    default:
      return palette::kLoudnessText;
  }
}

// The session line: the state, with the report's progress while busy.
std::string sessionStateText(const SessionRecord& r) {
  switch (r.state) {
    case SessionState::kStopped:
      return r.endReason.empty() ? "SESSION: STOPPED" : "SESSION: TERMINATED";
    case SessionState::kRunning:
      return "SESSION: RUNNING";
    case SessionState::kPaused:
      return "SESSION: PAUSED";
    case SessionState::kWaiting:
      return "SESSION: WAITING";
    case SessionState::kBusy: {
      char text[48];
      std::snprintf(text, sizeof text, "SESSION: BUSY (%d%%)", r.reportProgress);
      return text;
    }
  }
  return "";
}

// The "worst" cell of an error row: the session's extreme when `showMaxValue`, otherwise the
// worst error record (`worst`, null: none); empty while there is nothing to show.
std::string worstText(ErrorCategory category, const SessionRecord& r, const LoudnessError* worst,
                      bool showMaxValue) {
  switch (category) {
    case ErrorCategory::kPeak: {
      if (!(showMaxValue ? r.maxPeakSeen : worst != nullptr)) return "";
      float value = r.maxTruePeak;
      int channel = r.maxPeakChannel;
      if (!showMaxValue) {
        value = worst->worst;
        const auto* peak = dynamic_cast<const ChannelPeakError*>(worst);
        channel = peak ? peak->peakChannel : 0;
      }
      return levelText(value, "N/A") + " dBFS (" + channelName(channel) + ")";
    }
    case ErrorCategory::kHigh:
    case ErrorCategory::kLow: {
      if (!(showMaxValue ? r.shortTermSeen : worst != nullptr)) return "";
      const float extreme = category == ErrorCategory::kHigh ? r.maxShortTerm : r.minShortTerm;
      const float value = (showMaxValue ? extreme : worst->worst) - r.displayOffset;
      return levelText(value, "N/A") + " " + r.unitText;
    }
    case ErrorCategory::kDialnorm:
      if (!(showMaxValue ? r.maxDialnormSeen : worst != nullptr)) return "";
      return levelText(showMaxValue ? r.maxDialnorm : worst->worst, "N/A") + " LUFS";
  }
  return "";
}

// Colour of a whole error row: the category's colour while it has a worst record (`worst`),
// the dialnorm row by the last dialnorm error.
ColorIndex rowColor(ErrorCategory category, const SessionRecord& r, const LoudnessError* worst) {
  switch (category) {
    case ErrorCategory::kPeak:
      return worst ? palette::kLoudnessWarning : palette::kLoudnessText;
    case ErrorCategory::kHigh:
      return worst ? palette::kLoudnessHigh : palette::kLoudnessText;
    case ErrorCategory::kLow:
      return worst ? palette::kLoudnessLow : palette::kLoudnessText;
    case ErrorCategory::kDialnorm:
      return dialnormColor(r.lastDialnormError);
  }
  return palette::kLoudnessText;
}

}  // namespace

LoudnessSessionView::LoudnessSessionView(std::string imagesFolder)
    : bitmaps_(std::move(imagesFolder)) {}

Label& LoudnessSessionView::addLabel(const std::string& name, const Rect& rect, int32_t font,
                                     ColorIndex foreground, bool centred, const std::string& text) {
  LabelProperties p;
  p.fontCode = font;
  p.foreground = foreground;
  p.background = kUnderlyingColor;
  p.centred = centred;
  p.text = text;
  Label& label = addChild(std::make_unique<Label>(std::move(p)), name, rect);
  labels_.push_back(&label);
  return label;
}

Label* LoudnessSessionView::label(const std::string& name) const {
  for (Label* l : labels_)
    if (l->name() == name) return l;
  return nullptr;
}

void LoudnessSessionView::layout() {
  auto bmp = [&](const char* name) { return &bitmaps_.get(name); };
  background_ = bmp("lmr_back.bmp");
  start_ = &MultiStateIcon::create(*this, "start_led", 27, 14,
                                   {bmp("lmr_startledoff.bmp"), bmp("lmr_startledon.bmp")});
  stop_ = &MultiStateIcon::create(*this, "stop_led", 104, 14,
                                  {bmp("lmr_stopledoff.bmp"), bmp("lmr_stopledon.bmp")});
  pause_ = &MultiStateIcon::create(*this, "pause_led", 182, 14,
                                   {bmp("lmr_pauseledoff.bmp"), bmp("lmr_pauseledon.bmp")});
  addLabel("session_status", {15, 102, 248, 116}, font::kLabel, palette::kLoudnessText, false, "");
  addLabel("session_error", {15, 120, 248, 134}, font::kCompact, palette::kLoudnessHigh, false, "");
  addLabel("device_name", {250, 0, 480, 26}, font::kCompact, palette::kLoudnessText, true, "");
  addLabel("device_status", {250, 61, 480, 77}, font::kCompact, palette::kLoudnessHigh, true, "");
  addLabel("infinite_lkfs_label", {250, 38, 400, 61}, font::kLabel, palette::kLoudnessText, true,
           "SESSION LU:");
  addLabel("infinite_lkfs_value", {400, 26, 475, 61}, font::kReading, palette::kLoudnessText, true,
           "");
  addLabel("dialnorm_label", {254, 78, 351, 106}, font::kCompact, palette::kLoudnessText, true,
           "Dialnorm:");
  addLabel("dialnorm_value", {254, 106, 351, 131}, font::kSetting, palette::kLoudnessText, true,
           "");
  addLabel("target_label", {352, 78, 469, 106}, font::kCompact, palette::kLoudnessText, true,
           "Target:");
  addLabel("target_value", {374, 106, 445, 131}, font::kSetting, palette::kLoudnessText, true, "");
  addLabel("header_type", {24, 144, 153, 161}, font::kCompact, palette::kLoudnessText, false,
           "ERROR TYPE");
  addLabel("header_sec", {153, 144, 268, 161}, font::kCompact, palette::kLoudnessText, false,
           "ERROR SEC");
  addLabel("header_percent", {268, 144, 322, 161}, font::kCompact, palette::kLoudnessText, false,
           "%");
  addLabel("header_worst", {322, 144, 480, 161}, font::kCompact, palette::kLoudnessText, false, "");
  for (size_t row = 0; row < kErrorRows; ++row) {
    for (size_t col = 0; col < kErrorColumns; ++col) {
      table_[row][col] = &addLabel(std::string(kRows[row].prefix) + kColumnNames[col],
                                   {kColumnX[col], kRows[row].y0, kColumnX[col + 1], kRows[row].y1},
                                   font::kCompact, palette::kLoudnessText, false,
                                   col == 0 ? kRows[row].initial : "");
    }
  }
  addLabel("session_time", {15, 244, 295, 272}, font::kCompact, palette::kLoudnessText, false, "");
  addLabel("timecode_time", {295, 244, 480, 272}, font::kCompact, palette::kLoudnessText, false,
           "");
}

void LoudnessSessionView::update() {
  if (!source_ || !bound_) return;
  const SessionRecord& r = source_->context.record();
  showStateLeds(r);
  showSessionTexts(r);
  showIntegratedLoudness(source_->context);
  showDialnormAndTarget(r);
  showErrorTable(r, source_->settings.showMaxValue);
}

void LoudnessSessionView::showStateLeds(const SessionRecord& r) {
  start_->setState(r.state == SessionState::kRunning ? 1 : 0);
  stop_->setState(r.state == SessionState::kStopped || r.state == SessionState::kBusy ? 1 : 0);
  pause_->setState(r.state == SessionState::kPaused ? 1 : 0);
}

void LoudnessSessionView::showSessionTexts(const SessionRecord& r) {
  label("session_status")->setText(sessionStateText(r));
  label("session_error")->setText(r.endReason);
  label("session_time")->setText("Session: " + runningTime(r.runningTicks));
  label("timecode_time")->setText("Timecode: " + r.timecode);
  label("device_name")->setText(r.sessionName);
  label("device_status")->setText(r.dataStale ? kNoDataFromCard : r.statusText);
  label("infinite_lkfs_label")->setText("SESSION " + r.unitText + ":");
}

void LoudnessSessionView::showIntegratedLoudness(const LoudnessContext& context) {
  const SessionRecord& r = context.record();
  const int16_t integrated = context.history().integratedTenths(r.gating);
  std::string integratedText = "--";
  if (isLoudness(integrated)) {
    const double v = integrated / 10.0 - r.displayOffset;
    integratedText = format(v >= 10.0 ? "%2.1f" : "%+2.1f", v);
  }
  label("infinite_lkfs_value")->setText(integratedText);
}

void LoudnessSessionView::showDialnormAndTarget(const SessionRecord& r) {
  const LoudnessError* openDialnorm =
      r.error(r.openError[static_cast<size_t>(ErrorCategory::kDialnorm)]);
  setLabel(*label("dialnorm_value"), r.dialnormPresent ? levelText(r.dialnorm, "---") : "---",
           openDialnorm ? dialnormColor(openDialnorm->type) : palette::kLoudnessText);
  label("target_label")->setText("Target " + std::string(r.lufs ? "LUFS" : "LKFS"));
  label("target_value")->setText(levelText(r.target, "---"));
}

void LoudnessSessionView::showErrorTable(const SessionRecord& r, bool showMaxValue) {
  label("header_worst")->setText(showMaxValue ? "MAX VALUE" : "MAX ERROR");
  table_[1][0]->setText(r.unitText + " High");
  table_[2][0]->setText(r.unitText + " Low");
  for (size_t row = 0; row < kErrorRows; ++row)
    showErrorRow(row, r, showMaxValue);
}

void LoudnessSessionView::showErrorRow(size_t row, const SessionRecord& r, bool showMaxValue) {
  const ErrorCategory category = static_cast<ErrorCategory>(row);
  const uint32_t inError = r.timeInError[row];
  table_[row][1]->setText(format("%.2f", inError / 10.0));
  table_[row][2]->setText(r.runningTicks == 0 ? std::string("---")
                                              : format("%.1f", inError * 100.0 / r.runningTicks));
  const LoudnessError* worst = r.error(r.worstError[row]);
  table_[row][3]->setText(worstText(category, r, worst, showMaxValue));
  const ColorIndex color = rowColor(category, r, worst);
  for (Label* cell : table_[row])
    setLabel(*cell, cell->props().text, color);
}

void LoudnessSessionView::onShow() {
  queuePaint();
}

void LoudnessSessionView::paint() {
  if (window() && background_) window()->drawBitmap(this, *background_, 0, 0);
}

}  // namespace qelm
