#include "loudness_views/loudness_views.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "../display/display_test_support.h"
#include "../loudness/loudness_support.h"
#include "display/font_setup.h"
#include "display/screenshot.h"
#include "loudness/loudness_context.h"
#include "loudness_views/loudness_history_view.h"
#include "loudness_views/loudness_screens.h"
#include "model/device.h"
#include "panel/displays.h"

namespace qelm {
namespace {

using Segments = LoudnessChannelGraph::Segments;

TEST(ChannelScaleTest, RowsOfTheThreeScales) {
  EXPECT_EQ(channelScaleRow(0, 0, -70.5f), 0);
  EXPECT_EQ(channelScaleRow(0, 0, -70.0f), 2);
  EXPECT_EQ(channelScaleRow(0, 0, -30.0f), 56);
  EXPECT_EQ(channelScaleRow(0, 0, -20.0f), 99);
  EXPECT_EQ(channelScaleRow(0, 0, 0.0f), 165);
  EXPECT_EQ(channelScaleRow(1, -20.0f, -40.0f), 34);  // relative: 20 dB below the 0 dB point
  EXPECT_EQ(channelScaleRow(1, -20.0f, -20.0f), 99);
  EXPECT_EQ(channelScaleRow(2, -23.0f, -23.0f), 29 + 54);
  EXPECT_EQ(channelScaleRow(0, 0, std::nanf("")), 0);
}

// A bar over a strip of 37 x 174 at (0, 0) of the left screen, with 1-pixel-wide segment
// colours so that pictures stay small.
class ChannelGraphTest : public ::testing::Test, public testing::RasterFixture {
 protected:
  ChannelGraphTest()
      : strip_(solidBitmap(37, 174, 0x111111)),
        blue_(solidBitmap(15, 165, 0x0000FF)),
        green_(solidBitmap(15, 165, 0x00FF00)),
        yellow_(solidBitmap(15, 165, 0xFFFF00)),
        red_(solidBitmap(15, 165, 0xFF0000)),
        marker_(solidBitmap(27, 7, 0xFF8000)) {
    root_.init(&left_, "root", {0, 0, 480, 272});
    bar_ = &root_.addChild(
        std::make_unique<LoudnessChannelGraph>(
            std::vector<const Bitmap*>{strip_.get()},
            std::array<const Bitmap*, 4>{blue_.get(), green_.get(), yellow_.get(), red_.get()},
            marker_.get()),
        "graph0", Rect{0, 0, 37, 174});
    root_.setVisible(true);
    left_.flushPending();
  }
  // Column 18 of the bar from row `y0` to `y1`: 'B'lue, 'G'reen, 'Y'ellow, 'R'ed, 'O'range,
  // '-' strip.
  std::string column(int y0, int y1) const {
    const std::map<uint32_t, char> legend = {{0x0000FF, 'B'}, {0x00FF00, 'G'}, {0xFFFF00, 'Y'},
                                             {0xFF0000, 'R'}, {0xFF8000, 'O'}, {0x111111, '-'}};
    std::string out;
    for (const std::string& row : picture(18, y0, 19, y1, legend))
      out += row;
    return out;
  }

  std::unique_ptr<Bitmap> strip_, blue_, green_, yellow_, red_, marker_;
  Drawable root_;
  LoudnessChannelGraph* bar_ = nullptr;
};

TEST_F(ChannelGraphTest, LevelsFitInto165RowsAndPaintFromTheBottom) {
  bar_->setLevel(0, 0, 0.0f, -20.0f, -10.0f);
  EXPECT_EQ(bar_->segments(), (Segments{0, 99, 44, 22}));
  // Yellow threshold above red: green ends at red, no yellow.
  bar_->setLevel(0, 0, 0.0f, -5.0f, -10.0f);
  EXPECT_EQ(bar_->segments(), (Segments{0, 143, 0, 22}));
  bar_->setSegments(0, 0, 170, 10);
  EXPECT_EQ(bar_->segments(), (Segments{165, 0, 0, 0}));
  bar_->setSegments(50, 50, 10, 60);
  EXPECT_EQ(bar_->segments(), (Segments{10, 60, 50, 45}));

  bar_->setSegments(1, 2, 1, 3);
  bar_->setMarker(10);
  left_.flushPending();
  // Rows 162..168 from the bottom: blue 1, green 3, yellow 2, red 1; marker rows 152..158.
  EXPECT_EQ(column(150, 170), "--OOOOOOO---RYYGGGB-");
  // Nothing changed: nothing queued.
  bar_->setSegments(1, 2, 1, 3);
  bar_->setMarker(10);
  EXPECT_EQ(left_.pendingCount(), 0u);
  // A marker on row 0 is not drawn.
  bar_->setMarker(0);
  left_.flushPending();
  EXPECT_EQ(column(150, 170), "------------RYYGGGB-");
}

// ---- Both screens through the binding -----------------------------------------------------------

class FakeLookup final : public LoudnessViewLookup {
 public:
  const LoudnessContext* findContext(const Page& page) override {
    const auto it = contexts.find(&page);
    return it == contexts.end() ? nullptr : it->second;
  }
  LoudnessViewSettings viewSettings() override { return settings; }

  std::map<const Page*, const LoudnessContext*> contexts;
  LoudnessViewSettings settings;
};

class LoudnessScreensTest : public ::testing::Test {
 protected:
  LoudnessScreensTest()
      : raster_(static_cast<size_t>(kRasterWidth) * kRasterHeight, testing::kUntouched),
        displays_(raster_.data(), nullptr, QELM_PROGRAM_DIR "images", "banner", {}),
        screens_(displays_, lookup_, [] { return int64_t{1700000000}; }),
        device_(1, "Card"),
        pageA_(1, "Loudness A", PageType::kLm),
        pageB_(2, "Loudness B", PageType::kLm),
        params_(3, "Params", PageType::k8Up) {
    a_ = std::make_unique<LoudnessContext>("A", clock_);
    b_ = std::make_unique<LoudnessContext>("B", clock_);
    lookup_.contexts = {{&pageA_, a_.get()}, {&pageB_, b_.get()}};
    SessionRecord& r = a_->record();
    r.dataSeen = true;
    r.meterDb.fill(-10.0f);
    r.heldPeakDb.fill(-6.0f);
    r.peakOver[2] = true;
    r.shortTermValid = true;
    r.shortTermLoudness = -23.0f;
    r.runningTicks = 36005;
    r.state = SessionState::kRunning;
  }
  void show(const Page& page) {
    displays_.showPage(device_, page);
    screens_.refresh(false);
    displays_.update();
  }
  LoudnessChannelView& channel() { return screens_.leftView()->channelView(); }
  LoudnessSessionView& session() { return *screens_.rightView(); }
  std::string text(const char* name) { return session().label(name)->props().text; }
  size_t pending() {
    return displays_.window(Screen::kLeft).pendingCount() +
           displays_.window(Screen::kRight).pendingCount();
  }

  std::vector<uint32_t> raster_;
  FakeLookup lookup_;
  Displays displays_;
  LoudnessScreens screens_;
  testing::ZeroWallClock clock_;
  Device device_;
  Page pageA_, pageB_, params_;
  std::unique_ptr<LoudnessContext> a_, b_;
};

TEST_F(LoudnessScreensTest, ShowsTheSessionAndRepaintsOnlyWhatChanged) {
  show(pageA_);
  EXPECT_EQ(displays_.viewCode(Screen::kLeft), ViewCode::kLoudness);
  EXPECT_TRUE(channel().bar(0).visible());
  EXPECT_EQ(channel().bar(0).segments(), (Segments{0, 99, 44, 0}));
  EXPECT_EQ(channel().bar(0).marker(), 143 + 8);
  EXPECT_EQ(channel().peakLight(2).state(), 1);
  EXPECT_EQ(channel().totalBar().segments(), (Segments{0, 86, 0, 0}));
  EXPECT_EQ(channel().totalLabel().props().text, "-23.0");
  EXPECT_EQ(text("session_status"), "SESSION: RUNNING");
  EXPECT_EQ(text("session_time"), "Session: 01:00:00.5");
  EXPECT_EQ(session().startLed().state(), 1);
  EXPECT_EQ(session().stopLed().state(), 0);
  EXPECT_EQ(text("peak_percent"), "0.0");
  EXPECT_EQ(text("hi_type"), "LU High");

  // A refresh with nothing new queues nothing.
  screens_.refresh(true);
  EXPECT_EQ(pending(), 0u);

  // One channel's level changes: only its bar is queued.
  a_->record().meterDb[5] = -30.0f;
  screens_.refresh(true);
  EXPECT_EQ(displays_.window(Screen::kLeft).pendingCount(), 1u);
  EXPECT_EQ(displays_.window(Screen::kRight).pendingCount(), 0u);
  displays_.update();

  // Percent columns before the session ran; a busy report.
  a_->record().runningTicks = 0;
  a_->record().state = SessionState::kBusy;
  a_->record().reportProgress = 40;
  screens_.refresh(true);
  EXPECT_EQ(text("peak_percent"), "---");
  EXPECT_EQ(text("session_status"), "SESSION: BUSY (40%)");
  EXPECT_EQ(session().stopLed().state(), 1);
}

TEST_F(LoudnessScreensTest, PageSwitchDuringAReportLeavesNoStaleBars) {
  show(pageA_);
  a_->record().state = SessionState::kBusy;
  screens_.refresh(true);
  // Another monitor without data: its bars are empty at once, without waiting for a refresh.
  show(pageB_);
  for (int i = 0; i < LoudnessChannelView::kChannels; ++i) {
    EXPECT_EQ(channel().bar(i).segments(), Segments{}) << i;
    EXPECT_EQ(channel().bar(i).marker(), -1) << i;
    EXPECT_EQ(channel().peakLight(i).state(), 0) << i;
  }
  EXPECT_EQ(text("session_status"), "SESSION: STOPPED");
  // Away and back: bound again to A.
  show(params_);
  show(pageA_);
  EXPECT_EQ(channel().bar(0).segments(), (Segments{0, 99, 44, 0}));
}

TEST_F(LoudnessScreensTest, AMonitorThatGoesAwayLeavesOnlyTheBackgrounds) {
  lookup_.settings.viewChoice = 1;
  show(pageA_);
  EXPECT_TRUE(screens_.leftView()->historyView().visible());
  EXPECT_TRUE(screens_.leftView()->historyView().graph().visible());
  // The card goes away: the context is destroyed before the next refresh.
  lookup_.contexts.erase(&pageA_);
  a_.reset();
  screens_.refresh(false);
  displays_.update();
  EXPECT_FALSE(screens_.leftView()->historyView().graph().visible());
  EXPECT_FALSE(session().startLed().visible());
  EXPECT_TRUE(session().visible());
  // Whatever repaints now reads nothing of the old context.
  displays_.repaintAll();
  displays_.update();
  screens_.refresh(true);
  EXPECT_EQ(pending(), 0u);
  // A new monitor for the page binds afresh.
  a_ = std::make_unique<LoudnessContext>("A2", clock_);
  lookup_.contexts[&pageA_] = a_.get();
  screens_.refresh(false);
  EXPECT_TRUE(screens_.leftView()->historyView().graph().visible());
}

TEST_F(LoudnessScreensTest, AClearedSessionEmptiesBarsAndGraph) {
  lookup_.settings.viewChoice = 1;
  for (uint32_t t = 1; t <= 50; ++t)
    a_->history().push(0.005, t);
  show(pageA_);
  LoudnessHistoryView& history = screens_.leftView()->historyView();
  EXPECT_EQ(history.fed(), 50);
  a_->record().state = SessionState::kStopped;
  a_->clear();
  screens_.refresh(true);
  EXPECT_EQ(history.fed(), 0);
  EXPECT_EQ(history.valueLabel(1).props().text, "-- LU");
  // Back to the channel view: the bars of a session without data are empty.
  lookup_.settings.viewChoice = 0;
  a_->record().dataSeen = false;
  screens_.refresh(true);
  EXPECT_TRUE(channel().visible());
  EXPECT_FALSE(history.visible());
  EXPECT_EQ(channel().bar(0).segments(), Segments{});
  displays_.update();
}

// A card that stops sending: its meters go blank within two seconds and the session view says
// why; its next payload brings both back.
TEST_F(LoudnessScreensTest, ACardThatStopsSendingBlanksTheMetersUntilItSendsAgain) {
  uint32_t ms = 50000;
  uint32_t sequence = 0;
  LoudnessContext& card = *b_;
  card.setStatus(LinkStatus::kLive);
  const auto payload = [&] {
    DecodedPayload p;
    p.sequence = ++sequence;
    p.meterDb.fill(-10.0f);
    p.truePeakDb.fill(-8.0f);
    p.powers.fill(0.005);
    card.processPayload(p, ms / 100, ms);
  };
  const auto wait = [&](uint32_t span) {
    for (uint32_t end = ms + span; ms < end;) {
      ms += 100;
      card.poll(ms / 100, ms);
    }
    screens_.refresh(true);
    displays_.update();
  };
  // What the bars draw (the painting itself is ChannelGraphTest's).
  const auto lit = [&] {
    int n = channel().totalBar().segments() != Segments{};
    for (int i = 0; i < LoudnessChannelView::kChannels; ++i)
      n += channel().bar(i).segments() != Segments{};
    return n;
  };
  show(pageB_);
  EXPECT_EQ(lit(), 0);
  for (int i = 0; i < 30; ++i) {
    payload();
    wait(100);
  }
  ASSERT_EQ(lit(), LoudnessChannelView::kChannels + 1);
  EXPECT_EQ(text("device_status"), "");

  wait(1800);  // quiet, but not yet for two seconds
  EXPECT_EQ(lit(), LoudnessChannelView::kChannels + 1);
  wait(200);
  EXPECT_EQ(lit(), 0);
  EXPECT_EQ(channel().bar(0).marker(), -1);
  EXPECT_EQ(channel().totalLabel().props().text, "---");
  EXPECT_EQ(text("device_status"), "No data from card");

  payload();
  screens_.refresh(true);
  EXPECT_EQ(text("device_status"), "");
  EXPECT_EQ(lit(), LoudnessChannelView::kChannels + 1);
}

// Writes both screens of each view to PNG files in $QELM_VIEW_PICTURES (skipped without it).
TEST_F(LoudnessScreensTest, Pictures) {
  const char* folder = std::getenv("QELM_VIEW_PICTURES");
  if (!folder) GTEST_SKIP() << "QELM_VIEW_PICTURES not set";
  FontRegistry fonts;
  ASSERT_TRUE(createFonts(fonts, QELM_PROGRAM_DIR "fonts"));
  Displays displays(raster_.data(), &fonts, QELM_PROGRAM_DIR "images", "banner", {});
  LoudnessScreens screens(displays, lookup_, [] { return int64_t{1700000000}; });
  SessionRecord& r = a_->record();
  r.meterDb = {-12.0f, -14.0f, -30.0f, -45.0f, -19.0f, -22.0f, -60.0f, -8.0f};
  r.heldPeakDb = {-6.0f, -9.0f, -20.0f, -40.0f, -15.0f, -18.0f, -50.0f, -3.0f};
  r.contributing[1] = true;
  r.loudnessState = 2;
  r.shortTermLoudness = -15.2f;
  r.sessionName = "Studio 4 news";
  r.statusText = "No Data";
  r.timecode = "10:00:00:00";
  r.dialnormPresent = true;
  r.dialnorm = -24.0f;
  r.timeInError = {12, 50, 0, 0};
  for (uint32_t t = 1; t <= 600; ++t)
    a_->history().push(0.005 * (1.5 + std::sin(t / 40.0)), t);
  for (int view : {0, 1}) {
    lookup_.settings.viewChoice = view;
    displays.showPage(device_, pageA_);
    screens.refresh(true);
    displays.update();
    std::string error;
    const std::string path =
        std::string(folder) + "/loudness_view_" + std::to_string(view) + ".png";
    ASSERT_TRUE(writeScreensPng(raster_.data(), path, error)) << error;
  }
}

}  // namespace
}  // namespace qelm
