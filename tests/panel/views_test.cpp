#include "panel/views.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "model/item.h"
#include "panel/parameter_bar.h"
#include "panel_test_support.h"

namespace qelm {
namespace {

using testing::kBlack;
using testing::kBlue;
using testing::kRed;
using testing::kUntouched;
using testing::kWhite;

// Light palette entries the widgets use beyond black, white, red and blue.
constexpr uint32_t kIconBlue = 0x0000FF;  // index 7
constexpr uint32_t kRedTint = 0xFFA0A0;   // index 8

// One window over a raster of untouched pixels, with block fonts (or none).
class ViewsTest : public ::testing::Test {
 protected:
  ViewsTest()
      : raster_(static_cast<std::size_t>(kRasterWidth) * kRasterHeight, kUntouched),
        window_("left", kLeftScreenRegion, &fonts_, raster_.data()) {
    testing::addBlockFonts(fonts_);
  }
  void SetUp() override { fillPalette(ColorTheme::kLight); }

  template <typename T>
  T& place(std::unique_ptr<T> drawable, const Rect& rect) {
    T& placed = *drawable;
    root_.init(&window_, "root", rect);
    root_.addChild(std::move(drawable), "widget", Rect{0, 0, rect.width(), rect.height()});
    return placed;
  }
  uint32_t at(int32_t x, int32_t y) const { return testing::pixelAt(raster_, x, y); }
  void flush() { window_.flushPending(); }

  std::vector<uint32_t> raster_;
  FontRegistry fonts_;
  RasterWindow window_;
  Drawable root_;
};

// ------------------------------------------------------------------------------------------------
// ListBar

class NumberedList {
 public:
  explicit NumberedList(int count) {
    for (int n = 1; n <= count; ++n) {
      items_.push_back(
          std::make_unique<Item>(n, n, std::to_string(n), "Entry " + std::to_string(n)));
      list.append(items_.back().get());
    }
  }
  ItemList list;

 private:
  std::vector<std::unique_ptr<Item>> items_;
};

TEST(ListBarWindow, NineRowsOfTwentyFollowThePosition) {
  EXPECT_EQ(ListBar::windowStart(9, 20, 3), 0);
  EXPECT_EQ(ListBar::windowStart(9, 20, 15), 11);
  EXPECT_EQ(ListBar::windowStart(9, 20, 19), 11);
  EXPECT_EQ(ListBar::windowStart(9, 20, 10), 6);
  EXPECT_EQ(ListBar::windowStart(9, 20, 4), 0);
  EXPECT_EQ(ListBar::windowStart(9, 20, 5), 1);
  EXPECT_EQ(ListBar::windowStart(9, 9, 8), 0);
  EXPECT_EQ(ListBar::windowStart(4, 10, -1), 0);
}

TEST_F(ViewsTest, ListBarShowsNumberedRowsAndClearsRowsPastTheEnd) {
  NumberedList entries(20);
  ListBar& bar = place(std::make_unique<ListBar>(9), Rect{0, 0, 480, 272});
  bar.setVisible(true);
  bar.setList(&entries.list);
  bar.setPosition(15);
  EXPECT_EQ(bar.firstRow(), 11);
  EXPECT_EQ(bar.rowText(0), " 12 Entry 12");
  EXPECT_EQ(bar.rowText(8), " 20 Entry 20");
  flush();
  // Row 4 (entry 15) is highlighted: colour 1 (black) behind colour 3 (white) text.
  const int32_t rowHeight = 272 / 9;
  EXPECT_EQ(at(470, 4 * rowHeight + 1), kBlack);
  EXPECT_EQ(at(470, 3 * rowHeight + 1), kWhite);

  NumberedList few(2);
  bar.setList(&few.list);
  EXPECT_EQ(bar.firstRow(), 0);
  EXPECT_EQ(bar.position(), -1);
  EXPECT_EQ(bar.rowText(2), "");
  flush();
  EXPECT_EQ(at(0, 4 * rowHeight + 1), kWhite);
  // The last row reaches the bottom edge.
  EXPECT_EQ(at(0, 271), kWhite);
}

TEST_F(ViewsTest, ListBarRowTextIsCutToFiftyCharacters) {
  Item long1(7, 7, "7", std::string(80, 'x'));
  ItemList list;
  list.append(&long1);
  ListBar& bar = place(std::make_unique<ListBar>(3), Rect{0, 0, 480, 90});
  bar.setList(&list);
  EXPECT_EQ(bar.rowText(0), "  7 " + std::string(46, 'x'));
}

TEST_F(ViewsTest, ListBarRedrawsOnlyTheRowsThatChanged) {
  NumberedList entries(20);
  ListBar& bar = place(std::make_unique<ListBar>(9), Rect{0, 0, 480, 272});
  bar.setVisible(true);
  bar.setList(&entries.list);
  bar.setPosition(2);
  flush();
  EXPECT_EQ(bar.rowsPainted(), 9);
  bar.setPosition(3);  // window stays at the top: rows 2 and 3 change
  flush();
  EXPECT_EQ(bar.rowsPainted(), 11);
  bar.setPosition(3);
  flush();
  EXPECT_EQ(bar.rowsPainted(), 11);
  bar.setPosition(15);  // the window moves: every row shows another entry
  flush();
  EXPECT_EQ(bar.rowsPainted(), 20);
}

// ------------------------------------------------------------------------------------------------
// ContextBar

TEST_F(ViewsTest, ContextBarMessagesStackOverTheHeader) {
  ContextBar& bar = place(std::make_unique<ContextBar>(), Rect{0, 121, 480, 151});
  bar.setHeader("7 Router");
  bar.pushMessage("Saving changes");
  bar.pushMessage("Restarting");
  EXPECT_EQ(bar.mainText(), "Restarting");
  EXPECT_EQ(bar.messageDepth(), 2u);
  EXPECT_TRUE(bar.popMessage());
  EXPECT_EQ(bar.mainText(), "Saving changes");
  EXPECT_TRUE(bar.popMessage());
  EXPECT_EQ(bar.mainText(), "7 Router");
  EXPECT_FALSE(bar.popMessage());
  EXPECT_EQ(bar.mainText(), "7 Router");

  bar.pushMessage("Reset");
  bar.setHeader("8 Mixer");
  EXPECT_EQ(bar.messageDepth(), 0u);
  EXPECT_FALSE(bar.popMessage());
  EXPECT_EQ(bar.mainText(), "8 Mixer");
}

TEST_F(ViewsTest, ContextBarStatusTextEndsFourPixelsFromTheRightWhenBothFit) {
  ContextBar& bar = place(std::make_unique<ContextBar>(), Rect{0, 121, 480, 151});
  bar.setVisible(true);
  // "BYPASS " and three spaces are 10 characters of 8 pixels; 49 of the main text's fit beside
  // them in 480 - 8 pixels.
  bar.setHeader(std::string(49, 'm'));
  bar.setStatusText("BYPASS ");
  flush();
  EXPECT_TRUE(bar.statusShown());
  const int32_t y = 136;
  const int32_t statusEnd = 476 - 4 * 8;  // "BYPASS" ends where the four blanks begin
  EXPECT_EQ(at(statusEnd - 1, y), kWhite);
  EXPECT_EQ(at(statusEnd, y), kBlue);
  EXPECT_EQ(at(475, y), kBlue);
  EXPECT_EQ(at(479, y), kBlue);
  EXPECT_EQ(at(3, y), kBlue);
  EXPECT_EQ(at(4, y), kWhite);

  bar.setHeader(std::string(50, 'm'));
  flush();
  EXPECT_FALSE(bar.statusShown());
  // The main text runs to the right margin; nothing of the status text remains.
  EXPECT_EQ(at(4 + 50 * 8 - 1, y), kWhite);
  EXPECT_EQ(at(4 + 50 * 8, y), kBlue);
  EXPECT_EQ(at(statusEnd - 1, y), kBlue);
}

// ------------------------------------------------------------------------------------------------
// ReportBar

TEST_F(ViewsTest, ReportBarScrollsWhenEveryRowIsUsed) {
  ReportBar& report = place(std::make_unique<ReportBar>(), Rect{0, 30, 480, 272});
  report.setVisible(true);
  ASSERT_EQ(report.rowCount(), 12);  // 242 / 20
  report.clear();
  // Line n is n characters long, so its width tells which line a row shows.
  auto line = [](int n) { return std::string(static_cast<std::size_t>(n), 'x'); };
  for (int n = 1; n <= 12; ++n)
    report.append(line(n));
  flush();
  EXPECT_EQ(report.usedRows(), 12);
  const int32_t row0 = 30 + 10;
  EXPECT_EQ(at(8 - 1, row0), kBlack);
  EXPECT_EQ(at(8, row0), kWhite);

  report.append(line(13));
  flush();
  EXPECT_EQ(report.rowText(0), line(2));
  EXPECT_EQ(report.rowText(11), line(13));
  EXPECT_EQ(at(2 * 8 - 1, row0), kBlack);
  EXPECT_EQ(at(2 * 8, row0), kWhite);
  const int32_t row11 = 30 + 11 * 20 + 10;
  EXPECT_EQ(at(13 * 8 - 1, row11), kBlack);
  EXPECT_EQ(at(13 * 8, row11), kWhite);
  const int32_t row10 = 30 + 10 * 20 + 10;
  EXPECT_EQ(at(12 * 8 - 1, row10), kBlack);
  EXPECT_EQ(at(12 * 8, row10), kWhite);
  // The two pixel rows below the last row's box are background.
  EXPECT_EQ(at(0, 271), kWhite);

  report.clear();
  report.append("y");
  flush();
  EXPECT_EQ(report.rowText(0), "y");
  EXPECT_EQ(report.rowText(1), "");
  EXPECT_EQ(at(8, row0), kWhite);
  EXPECT_EQ(at(0, row10), kWhite);
}

TEST_F(ViewsTest, ReportBarScrollsTheTextsWrittenBetweenTwoPaints) {
  ReportBar& report = place(std::make_unique<ReportBar>(), Rect{0, 30, 480, 272});
  report.setVisible(true);
  report.clear();
  for (int n = 1; n <= 30; ++n)
    report.append(std::string(static_cast<std::size_t>(n), 'x'));
  flush();
  EXPECT_EQ(report.rowText(0), std::string(19, 'x'));
  EXPECT_EQ(at(19 * 8 - 1, 40), kBlack);
  EXPECT_EQ(at(19 * 8, 40), kWhite);
  for (int n = 31; n <= 33; ++n)
    report.append(std::string(static_cast<std::size_t>(n), 'x'));
  flush();
  EXPECT_EQ(at(22 * 8 - 1, 40), kBlack);
  EXPECT_EQ(at(22 * 8, 40), kWhite);
  EXPECT_EQ(at(33 * 8 - 1, 30 + 11 * 20 + 10), kBlack);
}

// ------------------------------------------------------------------------------------------------
// Panel and views

class PanelTest : public ViewsTest {
 protected:
  void update(Panel& panel) {
    panel.paintPendingClear();
    window_.flushPending();
  }
};

TEST_F(PanelTest, RightPanelHasNoSelectionOrUtilityView) {
  Panel right(window_, false, "");
  right.switchView(ViewCode::kParameters);
  right.switchView(ViewCode::kSelect);
  EXPECT_EQ(right.viewCode(), ViewCode::kParameters);
  right.switchView(ViewCode::kUtility);
  EXPECT_EQ(right.viewCode(), ViewCode::kParameters);
  EXPECT_EQ(right.selectView(), nullptr);
  EXPECT_TRUE(right.parameterView().visible());

  Panel left(window_, true, "Banner");
  left.switchView(ViewCode::kSelect);
  EXPECT_EQ(left.viewCode(), ViewCode::kSelect);
  left.switchView(ViewCode::kUtility);
  EXPECT_EQ(left.viewCode(), ViewCode::kUtility);
  EXPECT_FALSE(left.selectView()->visible());
  EXPECT_TRUE(left.utilityView()->visible());
}

TEST_F(PanelTest, ViewZeroBlanksTheScreenAndSwitchingToTheShownViewDrawsNothing) {
  Panel panel(window_, true, "Banner");
  panel.switchView(ViewCode::kParameters);
  update(panel);
  EXPECT_EQ(at(0, 130), kBlue);  // context bar margin
  const int32_t before = window_.changeCount();
  panel.switchView(ViewCode::kParameters);
  update(panel);
  EXPECT_EQ(window_.changeCount(), before);

  panel.switchView(ViewCode::kNone);
  EXPECT_FALSE(panel.parameterView().visible());
  update(panel);
  EXPECT_EQ(at(0, 130), kWhite);
  EXPECT_EQ(at(479, 271), kWhite);
}

TEST_F(PanelTest, ParameterViewSplitsTwoHundredSeventyTwoRows) {
  Panel panel(window_, true, "");
  ParameterView& view = panel.parameterView();
  EXPECT_EQ(view.contextBar().rect(), (Rect{0, 121, 480, 151}));
  EXPECT_EQ(view.bar(Half::kTop)->rect(), (Rect{0, 0, 480, 121}));
  EXPECT_EQ(view.bar(Half::kBottom)->rect(), (Rect{0, 151, 480, 272}));
  EXPECT_EQ(view.listBar(Half::kTop).rowCount(), 4);
  EXPECT_EQ(panel.listView().listBar().rowCount(), 9);
  EXPECT_EQ(panel.utilityView()->header().rect(), (Rect{0, 0, 480, 30}));
  EXPECT_EQ(panel.utilityView()->report().rect(), (Rect{0, 30, 480, 272}));

  panel.switchView(ViewCode::kParameters);
  EXPECT_TRUE(view.bar(Half::kTop)->visible());
  EXPECT_FALSE(view.listBar(Half::kTop).visible());
}

TEST_F(PanelTest, ReplacingABarKeepsABarOfTheSameKind) {
  Panel panel(window_, true, "");
  ParameterView& view = panel.parameterView();
  panel.switchView(ViewCode::kParameters);
  const ParameterBar* dual = view.bar(Half::kTop);
  EXPECT_FALSE(view.setBar(Half::kTop, BarKind::kDual));
  EXPECT_EQ(view.bar(Half::kTop), dual);
  EXPECT_TRUE(view.setBar(Half::kTop, BarKind::kQuad));
  EXPECT_EQ(view.bar(Half::kTop)->kind(), BarKind::kQuad);
  EXPECT_EQ(view.bar(Half::kTop)->name(), "top_params");
  EXPECT_TRUE(view.bar(Half::kTop)->visible());
  update(panel);
  // Quad bands: the horizontal band at y 59..61 and the vertical one at x 239..241.
  EXPECT_EQ(at(10, 59), kBlue);
  EXPECT_EQ(at(10, 60), kBlue);
  EXPECT_EQ(at(10, 61), kWhite);
  EXPECT_EQ(at(239, 10), kBlue);
  EXPECT_EQ(at(240, 10), kBlue);
  EXPECT_EQ(at(241, 10), kWhite);
}

TEST_F(PanelTest, SelectViewLayoutAndErrorColour) {
  Panel panel(window_, true, "QELM");
  SelectView& select = *panel.selectView();
  EXPECT_EQ(select.contextBar().rect(), (Rect{0, 121, 480, 151}));
  select.setEntryText("1");
  panel.switchView(ViewCode::kSelect);
  update(panel);
  EXPECT_EQ(at(0, 0), kBlue);  // title band 0..60
  EXPECT_EQ(at(0, 59), kBlue);
  EXPECT_EQ(at(4, 30), kWhite);  // banner text, colour 6
  EXPECT_EQ(at(0, 60), kWhite);  // prompt area
  // One entry character of 40 x 100 pixels centred in 151..272.
  EXPECT_EQ(at(240, 211), kBlack);
  select.setError(true);
  update(panel);
  EXPECT_EQ(at(240, 211), kRed);
  select.setEntryText("12");
  EXPECT_FALSE(select.error());
  update(panel);
  EXPECT_EQ(at(239, 211), kBlack);
}

// ------------------------------------------------------------------------------------------------
// Parameter areas and bars

TEST_F(ViewsTest, FullAreaPicksTheLargestFontThatFitsTheValueLine) {
  auto& bar = place(std::make_unique<DualParameterBar>(), Rect{0, 0, 480, 121});
  bar.layout();
  bar.setVisible(true);
  auto& area = static_cast<FullParameterArea&>(*bar.area(0));
  EXPECT_EQ(area.rect(), (Rect{0, 0, 239, 121}));
  EXPECT_EQ(bar.area(1)->rect(), (Rect{241, 0, 480, 121}));
  area.setValueText("<b>12</b>", false);
  area.setUnit("dB");
  flush();
  EXPECT_EQ(area.valueLine(), "12 dB");
  EXPECT_EQ(area.valueFont(), 2);
  area.setValueText("123456789012345", false);  // 18 characters: 288 pixels in font 2
  flush();
  EXPECT_EQ(area.valueFont(), 1);
  area.setValueText(std::string(20, 'x'), true);  // 20 x 12 = 240 > 239
  flush();
  EXPECT_EQ(area.valueFont(), 0);
  EXPECT_EQ(at(240, 60), kBlue);  // band between the areas
}

TEST_F(ViewsTest, FullAreaRedrawsOnlyThePartThatChanged) {
  auto& bar = place(std::make_unique<DualParameterBar>(), Rect{0, 0, 480, 121});
  bar.layout();
  bar.setVisible(true);
  ParameterArea& area = *bar.area(0);
  area.setName("Gain");
  area.setIcon(66);
  area.setValueText("5", false);
  flush();
  // Icon: a 16-pixel block in colour 7, centred in 0..18 by 0..60.
  EXPECT_EQ(at(1, 30), kIconBlue);
  EXPECT_EQ(at(0, 30), kWhite);
  // Sentinels in the name box and the value box.
  raster_[10 * kRasterWidth + 200] = kUntouched;
  raster_[100 * kRasterWidth + 200] = kUntouched;
  area.setValueText("6", false);
  flush();
  EXPECT_EQ(at(200, 10), kUntouched);
  EXPECT_EQ(at(200, 100), kWhite);
  area.setStatusMark(true);
  flush();
  EXPECT_EQ(at(119, 90), kRed);  // "6" in font 2, centred at 119

  area.setHighlight(true);
  area.setIcon(0);
  flush();
  EXPECT_EQ(at(200, 10), kBlack);  // whole area cleared to colour 1
  EXPECT_EQ(at(1, 30), kBlack);
  EXPECT_EQ(area.dirtyParts(), 0);
}

TEST_F(ViewsTest, SimpleAreaDrawsOnlyItsValueCentredAndInTheHighlightPair) {
  auto& bar = place(std::make_unique<ColorCorrectorBar>(), Rect{0, 151, 480, 272});
  bar.layout();
  bar.setVisible(true);
  EXPECT_EQ(bar.area(0), bar.cell(1));
  EXPECT_EQ(bar.area(2), bar.cell(3));
  EXPECT_EQ(bar.area(3), bar.cell(5));
  EXPECT_EQ(bar.area(8), bar.cell(11));
  EXPECT_EQ(bar.area(9), nullptr);
  EXPECT_EQ(bar.cell(0)->valueText(), "Gain");
  EXPECT_EQ(bar.cell(4)->valueText(), "Gamma");
  EXPECT_EQ(bar.cell(8)->valueText(), "Black");
  EXPECT_EQ(bar.cell(5)->name(), "param5");
  EXPECT_EQ(bar.cell(3)->rect(), (Rect{360, 151, 480, 191}));
  EXPECT_EQ(bar.cell(11)->rect(), (Rect{360, 231, 480, 272}));

  flush();
  ParameterArea& red = *bar.area(0);
  red.setName("ignored");
  EXPECT_EQ(red.dirtyParts(), 0);  // the name is not drawn
  red.setValueText("1.00", false);
  flush();
  // Text colour 11 (black) on background 8 (tinted red), centred in 120..240 x 151..191.
  EXPECT_EQ(at(121, 171), kRedTint);
  EXPECT_EQ(at(180, 171), kBlack);
  red.setHighlight(true);
  flush();
  EXPECT_EQ(at(121, 171), kBlack);
  EXPECT_EQ(at(180, 171), kWhite);
  red.setHighlight(false);
  red.setValueText("", false);
  flush();
  EXPECT_EQ(at(180, 171), kRedTint);
  // Eleven characters of font 1 (132 pixels) do not fit 120: font 0 draws them (88 pixels).
  red.setValueText("12345678901", false);
  flush();
  EXPECT_EQ(at(180 - 44, 171), kBlack);
  EXPECT_EQ(at(180 - 45, 171), kRedTint);
}

// A peer can send any text: far longer than the parameter allows, or holding control bytes.
// Whatever it is, an area draws inside its own rectangle and nowhere else.
TEST_F(ViewsTest, NoTextSpillsOutOfItsArea) {
  auto& dual = place(std::make_unique<DualParameterBar>(), Rect{0, 0, 480, 121});
  dual.layout();
  dual.setVisible(true);
  flush();
  std::string hostile(245, 'W');
  for (int i = 0; i < 32; ++i)
    hostile[static_cast<size_t>(i) * 7] = static_cast<char>(i);
  for (const std::string& text : {hostile, std::string(245, 'W'), std::string("a\tb\nc\rd\x7f")}) {
    for (int index : {0, 1}) {
      ParameterArea& area = *dual.area(index);
      const std::vector<uint32_t> before = raster_;
      area.setName(text);
      area.setValueText(text, index == 1);
      area.setUnit(text);
      flush();
      const Rect inside = area.rect();
      for (int32_t y = 0; y < kRasterHeight; ++y) {
        for (int32_t x = 0; x < kRasterWidth; ++x) {
          const bool within = x >= inside.x0 && x < inside.x1 && y >= inside.y0 && y < inside.y1;
          if (within) continue;
          ASSERT_EQ(at(x, y), before[static_cast<size_t>(y) * kRasterWidth + x])
              << "area " << index << " drew at " << x << "," << y;
        }
      }
    }
  }
}

}  // namespace
}  // namespace qelm
