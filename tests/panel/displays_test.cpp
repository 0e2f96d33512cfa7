#include "panel/displays.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "display/font_setup.h"
#include "display/screenshot.h"
#include "display/win_rendered_font.h"
#include "panel_test_support.h"

namespace qelm {
namespace {

using testing::kUntouched;
using testing::PageBuilder;
using testing::StubTarget;

constexpr std::string_view kApply = "Press knob or Enter to apply; Cancel to cancel";

class DisplaysTest : public ::testing::Test {
 protected:
  DisplaysTest() : raster_(static_cast<std::size_t>(kRasterWidth) * kRasterHeight, kUntouched) {
    testing::addBlockFonts(fonts_);
    displays_ = std::make_unique<Displays>(raster_.data(), &fonts_, "images/", "QELM-9000", [this] {
      ++drawNowCalls_;
      displays_->update();
    });
  }
  void SetUp() override { fillPalette(ColorTheme::kLight); }

  // An 8-up page "3 Levels" of device "7 Router": item i is "P<i+1>" in slot i + 1 showing
  // "v<i+1>" in dB.
  Page& eightUp(PageType type = PageType::k8Up) {
    Page& page = pages_.page(3, "Levels", type);
    for (int32_t i = 0; i < pageCapacity(type) && i < 8; ++i) {
      page.addItem(i, &pages_.intParameter("P" + std::to_string(i + 1), "dB"),
                   testing::inSlot(i + 1));
      pages_.target(i + 1).text = "v" + std::to_string(i + 1);
    }
    pages_.realize();
    return page;
  }
  // A "cc" page "4 Corrector" with items 1..18 in slots 21..38.
  Page& ccPage() {
    Page& page = pages_.page(4, "Corrector", PageType::kCc);
    for (int32_t i = 0; i < 18; ++i) {
      page.addItem(i, &pages_.intParameter("C" + std::to_string(i + 1)), testing::inSlot(21 + i));
      pages_.target(21 + i).text = "c" + std::to_string(i + 1);
    }
    pages_.realize();
    return page;
  }
  const ParameterBar* bar(Screen screen, Half half) const {
    return displays_->panel(screen).parameterView().bar(half);
  }
  ParameterArea* barArea(Screen screen, Half half, int32_t slot) const {
    return displays_->panel(screen).parameterView().bar(half)->area(slot);
  }
  const std::string& value(int32_t index) const { return displays_->itemArea(index)->valueText(); }

  std::vector<uint32_t> raster_;
  FontRegistry fonts_;
  PageBuilder pages_;
  std::unique_ptr<Displays> displays_;
  int drawNowCalls_ = 0;
};

// ------------------------------------------------------------------------------------------------
// Pages

TEST_F(DisplaysTest, PageHeadersReadNumberAndNameCutToFiftyCharacters) {
  Page& page = eightUp();
  displays_->showPage(pages_.device(), page);
  EXPECT_EQ(displays_->contextBar(Screen::kLeft).mainText(), "7 Router");
  EXPECT_EQ(displays_->contextBar(Screen::kRight).mainText(), "3 Levels");
  EXPECT_EQ(displays_->mode(), ScreenMode::kPage);
  EXPECT_EQ(displays_->pageType(), PageType::k8Up);
  EXPECT_EQ(displays_->viewCode(Screen::kLeft), ViewCode::kParameters);
  EXPECT_EQ(displays_->viewCode(Screen::kRight), ViewCode::kParameters);

  Device longName(12, std::string(60, 'n'));
  displays_->showPage(longName, page);
  EXPECT_EQ(displays_->contextBar(Screen::kLeft).mainText(), "12 " + std::string(47, 'n'));
}

TEST_F(DisplaysTest, ShowingAPageClearsTheStatusTextAndTheMessages) {
  Page& page = eightUp();
  displays_->showPage(pages_.device(), page);
  displays_->setStatusText("BYPASS ");
  displays_->showMessage("Reset");
  EXPECT_EQ(displays_->contextBar(Screen::kLeft).mainText(), "Reset");
  EXPECT_EQ(displays_->contextBar(Screen::kLeft).statusText(), "BYPASS ");
  displays_->clearMessage();
  displays_->clearMessage();  // nothing left to remove
  EXPECT_EQ(displays_->contextBar(Screen::kLeft).mainText(), "7 Router");
  displays_->showMessage("Reset");
  displays_->showPage(pages_.device(), page);
  EXPECT_EQ(displays_->contextBar(Screen::kLeft).mainText(), "7 Router");
  EXPECT_EQ(displays_->contextBar(Screen::kLeft).messageDepth(), 0u);
  EXPECT_EQ(displays_->contextBar(Screen::kLeft).statusText(), "");
}

TEST_F(DisplaysTest, EightUpItemsSitNextToTheirKnobs) {
  displays_->showPage(pages_.device(), eightUp());
  EXPECT_EQ(displays_->itemArea(0), barArea(Screen::kLeft, Half::kTop, 0));
  EXPECT_EQ(displays_->itemArea(1), barArea(Screen::kLeft, Half::kTop, 1));
  EXPECT_EQ(displays_->itemArea(2), barArea(Screen::kLeft, Half::kBottom, 0));
  EXPECT_EQ(displays_->itemArea(3), barArea(Screen::kLeft, Half::kBottom, 1));
  EXPECT_EQ(displays_->itemArea(5), barArea(Screen::kRight, Half::kTop, 1));
  EXPECT_EQ(displays_->itemArea(6), barArea(Screen::kRight, Half::kBottom, 0));
  EXPECT_EQ(displays_->itemArea(8), nullptr);
  EXPECT_EQ(displays_->itemArea(-1), nullptr);
  EXPECT_EQ(displays_->itemArea(6)->itemName(), "P7");
  EXPECT_EQ(displays_->itemArea(6)->unit(), "dB");
  EXPECT_EQ(value(6), "v7");
  EXPECT_EQ(bar(Screen::kRight, Half::kBottom)->kind(), BarKind::kDual);
}

TEST_F(DisplaysTest, FourUpPageLeavesTheRightScreenEmpty) {
  displays_->showPage(pages_.device(), eightUp());
  displays_->showPage(pages_.device(), pages_.page(5, "Four", PageType::k4Up));
  for (int32_t index = 0; index < 8; ++index) {
    EXPECT_EQ(displays_->itemArea(index)->itemName(), "") << index;
    EXPECT_EQ(value(index), "") << index;
  }
}

TEST_F(DisplaysTest, CcPageAfterEightUpKeepsTheRightBarsButNotTheirStaleValues) {
  displays_->showPage(pages_.device(), eightUp());
  displays_->update();
  const ParameterBar* rightTop = bar(Screen::kRight, Half::kTop);
  const ParameterBar* rightBottom = bar(Screen::kRight, Half::kBottom);

  displays_->showPage(pages_.device(), ccPage());
  displays_->update();
  EXPECT_EQ(bar(Screen::kLeft, Half::kTop)->kind(), BarKind::kQuad);
  EXPECT_EQ(bar(Screen::kLeft, Half::kBottom)->kind(), BarKind::kColorCorrector);
  EXPECT_EQ(bar(Screen::kRight, Half::kTop), rightTop);
  EXPECT_EQ(bar(Screen::kRight, Half::kBottom), rightBottom);
  EXPECT_EQ(displays_->contextBar(Screen::kRight).mainText(), "4 Corrector");
  // The previous page's items would no longer be refreshed: they must not stay on show as if
  // they were this device's.
  for (Half half : {Half::kTop, Half::kBottom}) {
    for (int32_t slot = 0; slot < 2; ++slot) {
      EXPECT_EQ(barArea(Screen::kRight, half, slot)->valueText(), "");
      EXPECT_EQ(barArea(Screen::kRight, half, slot)->itemName(), "");
    }
  }
  const uint32_t background = raster_[200 * kRasterWidth + 600];
  for (int32_t x = 512; x < 992; ++x)
    ASSERT_EQ(raster_[60 * kRasterWidth + x] == background || x == 512 + 239 || x == 512 + 240,
              true)
        << x;
}

TEST_F(DisplaysTest, CcItemsFillTheQuadCellsAndTheCorrectorGridInOrder) {
  displays_->showPage(pages_.device(), ccPage());
  auto* grid = static_cast<ColorCorrectorBar*>(
      displays_->panel(Screen::kLeft).parameterView().bar(Half::kBottom));
  EXPECT_EQ(displays_->itemArea(3), barArea(Screen::kLeft, Half::kTop, 3));
  EXPECT_EQ(displays_->itemArea(4), barArea(Screen::kLeft, Half::kBottom, 0));
  EXPECT_EQ(displays_->itemArea(4)->name(), "param1");
  EXPECT_EQ(displays_->itemArea(7)->name(), "param5");    // Gamma red
  EXPECT_EQ(displays_->itemArea(12)->name(), "param11");  // Black blue
  EXPECT_EQ(displays_->itemArea(13), nullptr);
  EXPECT_EQ(value(12), "c13");
  EXPECT_EQ(grid->cell(8)->valueText(), "Black");
  EXPECT_EQ(displays_->itemScreen(12), Screen::kLeft);
  EXPECT_EQ(displays_->itemScreen(14), std::nullopt);
}

TEST_F(DisplaysTest, LoudnessPageSwitchesBothScreensToViewFive) {
  displays_->showPage(pages_.device(), eightUp());
  displays_->showPage(pages_.device(), pages_.page(9, "Loudness", PageType::kLm));
  EXPECT_EQ(displays_->pageType(), PageType::kLm);
  EXPECT_EQ(displays_->viewCode(Screen::kLeft), ViewCode::kLoudness);
  EXPECT_EQ(displays_->viewCode(Screen::kRight), ViewCode::kLoudness);
  EXPECT_EQ(displays_->itemArea(0), nullptr);
  displays_->refreshItem(0);
  displays_->update();
  EXPECT_EQ(testing::pixelAt(raster_, 100, 100), testing::kWhite);
}

// ------------------------------------------------------------------------------------------------
// Item display

TEST_F(DisplaysTest, ItemValueFollowsTheFirstTargetsLinkStatus) {
  Page& page = eightUp();
  StubTarget& first = pages_.target(1);
  displays_->showPage(pages_.device(), page);
  const ParameterArea& area = *displays_->itemArea(0);
  EXPECT_EQ(area.valueText(), "v1");
  EXPECT_FALSE(area.noUnit());
  EXPECT_FALSE(area.statusMarked());

  first.named = true;
  first.setStatus(LinkStatus::kConnecting);
  displays_->refreshItem(0);
  EXPECT_EQ(area.valueText(), "v1");
  EXPECT_TRUE(area.noUnit());

  first.setStatus(LinkStatus::kNoData);
  displays_->refreshItem(0);
  EXPECT_EQ(area.valueText(), "");
  EXPECT_TRUE(area.noUnit());
  EXPECT_FALSE(area.statusMarked());

  first.setStatus(LinkStatus::kNoCardInSlot);
  displays_->refreshItem(0);
  EXPECT_EQ(area.valueText(), "No Card in Slot");
  EXPECT_TRUE(area.noUnit());
  EXPECT_TRUE(area.statusMarked());

  first.setStatus(LinkStatus::kInactive);
  displays_->refreshItem(0);
  EXPECT_EQ(area.valueText(), "Inactive");

  first.setStatus(LinkStatus::kLive);
  first.named = false;
  displays_->refreshItem(0);
  EXPECT_EQ(area.valueText(), "v1");
  EXPECT_FALSE(area.statusMarked());
  EXPECT_FALSE(area.noUnit());
}

TEST_F(DisplaysTest, NamesIconsPresetLabelsAndItemsWithoutTargets) {
  Page& page = pages_.page(1, "Mixed", PageType::k8Up);
  Parameter& readOnly = pages_.intParameter("Temperature", "C");
  readOnly.setReadOnly(true);
  Parameter& slow = pages_.intParameter("Format");
  slow.setSlow(true);
  page.addItem(0, &readOnly, testing::inSlot(1));
  page.addItem(1, &pages_.choiceParameter("Freeze", 1), testing::inSlot(2));
  page.addItem(2, &slow, testing::inSlot(3), "Video Format");
  page.addItem(3, &pages_.intParameter("Pattern"), testing::inSlot(4), "", Value::ofInt(3), "Bars");
  page.addItem(4, &pages_.intParameter("Plain"), testing::inSlot(5));
  page.addItem(5, &pages_.intParameter("Lost"), testing::inSlot(99));
  for (int32_t slot = 1; slot <= 5; ++slot)
    pages_.target(slot).text = "t" + std::to_string(slot);
  pages_.realize();
  displays_->showPage(pages_.device(), page);

  EXPECT_EQ(displays_->itemArea(0)->icon(), kReadOnlyIcon);
  EXPECT_EQ(displays_->itemArea(1)->icon(), kConfirmIcon);
  EXPECT_EQ(displays_->itemArea(2)->icon(), kConfirmIcon);
  EXPECT_EQ(displays_->itemArea(3)->icon(), kConfirmIcon);
  EXPECT_EQ(displays_->itemArea(4)->icon(), 0);
  EXPECT_EQ(displays_->itemArea(2)->itemName(), "Video Format");
  EXPECT_EQ(displays_->itemArea(4)->itemName(), "Plain");
  EXPECT_EQ(value(3), "Bars");
  EXPECT_TRUE(displays_->itemArea(3)->noUnit());
  EXPECT_EQ(value(5), "");  // no target in slot 99
  EXPECT_EQ(displays_->itemArea(5)->itemName(), "Lost");
  EXPECT_EQ(displays_->itemArea(6)->itemName(), "");
}

TEST_F(DisplaysTest, RefreshingAnIndexWithoutItemDoesNothing) {
  displays_->showPage(pages_.device(), ccPage());
  displays_->update();
  const uint32_t sum = displays_->changeSum();
  for (int32_t index : {-5, -1, 13, 14, 17, 18, 100})
    displays_->refreshItem(index);
  displays_->update();
  EXPECT_EQ(displays_->changeSum(), sum);

  displays_->showPage(pages_.device(), pages_.page(5, "Four", PageType::k4Up));
  displays_->refreshItem(6);
  displays_->refreshItem(8);
  EXPECT_EQ(displays_->itemArea(6)->itemName(), "");
}

// ------------------------------------------------------------------------------------------------
// Highlight, messages and choice lists

TEST_F(DisplaysTest, ItemMessageStaysWithinAScreenAndChoiceListsGoToTheOtherScreen) {
  Page& page = eightUp();
  displays_->showPage(pages_.device(), page);
  const ItemList& choices = pages_.choiceParameter("Mode", 5).choices();

  displays_->highlightItem(0, &choices, 2);
  EXPECT_EQ(displays_->highlightedItem(), 0);
  EXPECT_EQ(displays_->contextBar(Screen::kLeft).mainText(), kApply);
  EXPECT_EQ(displays_->viewCode(Screen::kRight), ViewCode::kList);
  EXPECT_EQ(displays_->listBar(Screen::kRight).list(), &choices);
  EXPECT_EQ(displays_->listBar(Screen::kRight).position(), 2);
  EXPECT_TRUE(displays_->itemArea(0)->highlighted());
  EXPECT_EQ(displays_->itemArea(0)->icon(), 0);
  displays_->highlightListPosition(4);
  EXPECT_EQ(displays_->listBar(Screen::kRight).position(), 4);

  displays_->highlightItem(3, nullptr, -1);
  EXPECT_EQ(displays_->contextBar(Screen::kLeft).mainText(), kApply);
  EXPECT_EQ(displays_->contextBar(Screen::kLeft).messageDepth(), 1u);
  EXPECT_EQ(displays_->viewCode(Screen::kRight), ViewCode::kParameters);
  EXPECT_FALSE(displays_->itemArea(0)->highlighted());
  EXPECT_TRUE(displays_->itemArea(3)->highlighted());

  displays_->highlightItem(5, &choices, 0);
  EXPECT_EQ(displays_->contextBar(Screen::kLeft).mainText(), "7 Router");
  EXPECT_EQ(displays_->contextBar(Screen::kRight).mainText(), kApply);
  EXPECT_EQ(displays_->viewCode(Screen::kLeft), ViewCode::kList);
  EXPECT_EQ(displays_->viewCode(Screen::kRight), ViewCode::kParameters);

  displays_->highlightItem(-1, nullptr, -1);
  EXPECT_EQ(displays_->highlightedItem(), -1);
  EXPECT_EQ(displays_->contextBar(Screen::kRight).mainText(), "3 Levels");
  EXPECT_EQ(displays_->contextBar(Screen::kRight).messageDepth(), 0u);
  EXPECT_EQ(displays_->viewCode(Screen::kLeft), ViewCode::kParameters);
  EXPECT_FALSE(displays_->itemArea(5)->highlighted());
}

TEST_F(DisplaysTest, CommandsAndPresetsSayInProgress) {
  Page& page = pages_.page(1, "Actions", PageType::k8Up);
  page.addItem(0, &pages_.choiceParameter("Freeze", 1), testing::inSlot(1));
  page.addItem(4, &pages_.intParameter("Pattern"), testing::inSlot(2), "", Value::ofInt(3), "Bars");
  pages_.target(1);
  pages_.target(2);
  pages_.realize();
  displays_->showPage(pages_.device(), page);
  displays_->highlightItem(0, nullptr, -1);
  EXPECT_EQ(displays_->contextBar(Screen::kLeft).mainText(), "In progress");
  displays_->highlightItem(-1, nullptr, -1);
  displays_->highlightItem(4, nullptr, -1);
  EXPECT_EQ(displays_->contextBar(Screen::kRight).mainText(), "In progress");
  EXPECT_EQ(displays_->contextBar(Screen::kLeft).mainText(), "7 Router");
  displays_->highlightItem(-1, nullptr, -1);
  EXPECT_EQ(displays_->itemArea(4)->icon(), kConfirmIcon);
}

TEST_F(DisplaysTest, CcChoiceListsGoToTheRightScreen) {
  displays_->showPage(pages_.device(), ccPage());
  const ItemList& choices = pages_.choiceParameter("Mode", 3).choices();
  displays_->highlightItem(10, &choices, 1);
  EXPECT_EQ(displays_->viewCode(Screen::kRight), ViewCode::kList);
  EXPECT_EQ(displays_->viewCode(Screen::kLeft), ViewCode::kParameters);
  EXPECT_EQ(displays_->contextBar(Screen::kLeft).mainText(), kApply);
  EXPECT_TRUE(displays_->itemArea(10)->highlighted());
  displays_->highlightItem(-1, nullptr, -1);
  EXPECT_EQ(displays_->viewCode(Screen::kRight), ViewCode::kParameters);
}

TEST_F(DisplaysTest, EntryTextAndErrorGoToTheHighlightedItem) {
  displays_->showPage(pages_.device(), eightUp());
  displays_->highlightItem(6, nullptr, -1);
  displays_->showEntryText("42");
  EXPECT_EQ(value(6), "42");
  displays_->showError();
  EXPECT_TRUE(displays_->itemArea(6)->statusMarked());
  displays_->showEntryText("4");
  EXPECT_FALSE(displays_->itemArea(6)->statusMarked());
  EXPECT_EQ(value(6), "4");
  EXPECT_EQ(value(5), "v6");

  // Removing the highlight shows the target's value and the icon again.
  displays_->highlightItem(-1, nullptr, -1);
  EXPECT_EQ(value(6), "v7");
  EXPECT_FALSE(displays_->itemArea(6)->highlighted());
}

TEST_F(DisplaysTest, ANewPageEndsAHighlightLeftOpen) {
  displays_->showPage(pages_.device(), eightUp());
  const ItemList& choices = pages_.choiceParameter("Mode", 3).choices();
  displays_->highlightItem(5, &choices, 0);
  displays_->showEntryText("9");
  ParameterArea* rightArea = barArea(Screen::kRight, Half::kTop, 1);
  displays_->showPage(pages_.device(), ccPage());
  EXPECT_EQ(displays_->highlightedItem(), -1);
  EXPECT_FALSE(rightArea->highlighted());
  EXPECT_EQ(displays_->viewCode(Screen::kLeft), ViewCode::kParameters);
  EXPECT_EQ(displays_->contextBar(Screen::kRight).messageDepth(), 0u);
}

// ------------------------------------------------------------------------------------------------
// Selection and utility

TEST_F(DisplaysTest, SelectionShowsThePromptOnTheLeftAndTheListOnTheRight) {
  Page& page = eightUp();
  displays_->showPage(pages_.device(), page);
  const ItemList& list = pages_.choiceParameter("Devices", 20).choices();
  displays_->showSelection("Use the keypad or any knob to select a device.", "", list, 15);
  displays_->showEntryText("16");
  EXPECT_EQ(displays_->mode(), ScreenMode::kSelection);
  EXPECT_EQ(displays_->viewCode(Screen::kLeft), ViewCode::kSelect);
  EXPECT_EQ(displays_->viewCode(Screen::kRight), ViewCode::kList);
  EXPECT_EQ(displays_->listBar(Screen::kRight).firstRow(), 11);
  EXPECT_EQ(displays_->selectView().entryText(), "16");
  EXPECT_EQ(displays_->selectView().banner(), "QELM-9000");
  EXPECT_EQ(displays_->selectView().contextBar().mainText(), "");
  displays_->showError();
  EXPECT_TRUE(displays_->selectView().error());
  displays_->showEntryText("1");
  EXPECT_FALSE(displays_->selectView().error());
  displays_->highlightListPosition(3);
  EXPECT_EQ(displays_->listBar(Screen::kRight).firstRow(), 0);

  displays_->showSelection("Use the keypad or any knob to select a submenu.", "7 Router", list, 0);
  EXPECT_EQ(displays_->selectView().contextBar().mainText(), "7 Router");
  displays_->showPage(pages_.device(), page);
  EXPECT_EQ(displays_->viewCode(Screen::kLeft), ViewCode::kParameters);
  EXPECT_EQ(displays_->viewCode(Screen::kRight), ViewCode::kParameters);
}

TEST_F(DisplaysTest, UtilityViewBlanksTheRightScreenAndDrawsItsHeaderAtOnce) {
  displays_->showUtility();
  EXPECT_EQ(displays_->viewCode(Screen::kLeft), ViewCode::kUtility);
  EXPECT_EQ(displays_->viewCode(Screen::kRight), ViewCode::kNone);
  displays_->setUtilityHeader("Firmware");
  EXPECT_EQ(drawNowCalls_, 1);
  EXPECT_EQ(testing::pixelAt(raster_, 1, 15), testing::kBlue);
  EXPECT_EQ(testing::pixelAt(raster_, 600, 100), testing::kWhite);
  displays_->setUtilityHeader("Firmware");
  EXPECT_EQ(drawNowCalls_, 1);
  displays_->clearUtilityReport();
  displays_->appendUtilityReport("10% complete");
  EXPECT_EQ(displays_->utilityView().report().rowText(0), "10% complete");
}

// ------------------------------------------------------------------------------------------------
// Drawing

TEST_F(DisplaysTest, AnIdlePassDrawsNothing) {
  displays_->showPage(pages_.device(), eightUp());
  displays_->update();
  const uint32_t sum = displays_->changeSum();
  displays_->update();
  EXPECT_EQ(displays_->changeSum(), sum);
  for (int32_t index = 0; index < 8; ++index)
    displays_->refreshItem(index);
  displays_->showPage(pages_.device(), *pages_.device().page(3));
  displays_->update();
  EXPECT_EQ(displays_->changeSum(), sum);

  pages_.target(2).text = "changed";
  displays_->refreshItem(1);
  displays_->update();
  EXPECT_NE(displays_->changeSum(), sum);
}

TEST_F(DisplaysTest, AlternatingPageTypesReplacesTheLeftBarsEachTime) {
  Page& eight = eightUp();
  Page& cc = ccPage();
  for (int round = 0; round < 50; ++round) {
    displays_->showPage(pages_.device(), round % 2 ? cc : eight);
    displays_->highlightItem(round % 2 ? 9 : 1, nullptr, -1);
    displays_->update();
  }
  displays_->highlightItem(-1, nullptr, -1);
  displays_->update();
  EXPECT_EQ(bar(Screen::kLeft, Half::kTop)->kind(), BarKind::kQuad);
  EXPECT_EQ(value(9), "c10");
  EXPECT_EQ(displays_->window(Screen::kLeft).pendingCount(), 0u);
}

TEST_F(DisplaysTest, RepaintAllDrawsBothScreensAgain) {
  displays_->showPage(pages_.device(), eightUp());
  displays_->update();
  std::fill(raster_.begin(), raster_.end(), kUntouched);
  displays_->repaintAll();
  displays_->update();
  EXPECT_EQ(testing::pixelAt(raster_, 0, 130), testing::kBlue);
  EXPECT_EQ(testing::pixelAt(raster_, 512, 130), testing::kBlue);
  EXPECT_EQ(testing::pixelAt(raster_, 240, 10), testing::kBlue);  // band between two areas
  EXPECT_EQ(testing::pixelAt(raster_, 479, 271), testing::kWhite);
}

TEST_F(DisplaysTest, DrawNowWithoutCallbackUpdatesDirectly) {
  Displays plain(raster_.data(), nullptr, "", "", nullptr);
  plain.showUtility();
  plain.drawNow();
  EXPECT_EQ(testing::pixelAt(raster_, 600, 100), testing::kWhite);
}

// ------------------------------------------------------------------------------------------------
// Real fonts: a page, a corrector page and a selection screen as the operator sees them. Set
// QELM_PANEL_PNG_DIR to a folder to get the pictures.

class RealFontsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (findTextTypeface().file.empty()) GTEST_SKIP() << "no typeface for the text fonts";
    fillPalette(ColorTheme::kLight);
    ASSERT_TRUE(createFonts(fonts_, QELM_PROGRAM_DIR "fonts"));
  }
  void snapshot(const std::string& name) {
    const char* folder = std::getenv("QELM_PANEL_PNG_DIR");
    if (!folder) return;
    std::string error;
    EXPECT_TRUE(writeScreensPng(raster_.data(), std::string(folder) + "/" + name, error)) << error;
  }

  std::vector<uint32_t> raster_ =
      std::vector<uint32_t>(static_cast<std::size_t>(kRasterWidth) * kRasterHeight, 0);
  FontRegistry fonts_;
  PageBuilder pages_;
};

TEST_F(RealFontsTest, PagesAndSelectionRenderLegibly) {
  Displays displays(raster_.data(), &fonts_, "", "Marvex Vurezoz QELM-9000", nullptr);
  Device& device = pages_.device(3, "Frame Sync A");
  Page& page = pages_.page(1, "Video Processing", PageType::k8Up);
  Parameter& format = pages_.intParameter("Input Format");
  format.setReadOnly(true);
  Parameter& delay = pages_.intParameter("Audio Delay Compensation Offset", "ms");
  page.addItem(0, &pages_.intParameter("Video Gain", "%"), testing::inSlot(1));
  page.addItem(1, &pages_.intParameter("Black Level", "IRE"), testing::inSlot(2));
  page.addItem(2, &format, testing::inSlot(3));
  page.addItem(3, &delay, testing::inSlot(4));
  page.addItem(4, &pages_.choiceParameter("Freeze", 1), testing::inSlot(5));
  page.addItem(5, &pages_.intParameter("Pattern"), testing::inSlot(6), "Test Pattern",
               Value::ofInt(1), "Bars");
  page.addItem(6, &pages_.intParameter("Hue", "deg"), testing::inSlot(7));
  page.addItem(7, &pages_.intParameter("Output Timing", "lines"), testing::inSlot(8));
  const char* texts[] = {"100.0", "7.5", "1080i/59.94", "-12", "Freeze", "", "0.0", "x"};
  for (int32_t slot = 1; slot <= 8; ++slot)
    pages_.target(slot).text = texts[slot - 1];
  pages_.target(8).setStatus(LinkStatus::kNoCardInSlot);
  Page& cc = pages_.page(2, "Color Corrector", PageType::kCc);
  const char* ccNames[] = {"Saturation", "Hue Offset", "Luma Gain", "Chroma Gain"};
  for (int32_t i = 0; i < 13; ++i) {
    cc.addItem(i, &pages_.intParameter(i < 4 ? ccNames[i] : "cc", i < 4 ? "%" : ""),
               testing::inSlot(20 + i));
    pages_.target(20 + i).text = i < 4 ? "100.0" : (i < 7 ? "1.000" : (i < 10 ? "1.00" : "0.0"));
  }
  pages_.realize();

  displays.showPage(device, page);
  displays.setStatusText("");
  displays.update();
  snapshot("panel_8up.png");
  const auto* gain = static_cast<const FullParameterArea*>(displays.itemArea(0));
  EXPECT_EQ(gain->valueFont(), 2);
  // The value line of item 1 has ink of colour 2 (black) in its bottom half.
  bool ink = false;
  for (int32_t x = 0; x < 239 && !ink; ++x)
    ink = testing::pixelAt(raster_, x, 90) == testing::kBlack;
  EXPECT_TRUE(ink);

  displays.highlightItem(1, &pages_.choiceParameter("Mode", 12).choices(), 6);
  displays.showEntryText("7.");
  displays.update();
  snapshot("panel_8up_entry.png");
  displays.highlightItem(-1, nullptr, -1);

  displays.showPage(device, cc);
  displays.setStatusText("BYPASS ");
  displays.update();
  snapshot("panel_cc.png");

  const ItemList& devices = pages_.choiceParameter("Devices", 14).choices();
  displays.showSelection("Use the keypad or any knob to select a device.", "", devices, 2);
  displays.showEntryText("3");
  displays.update();
  snapshot("panel_select.png");
  EXPECT_EQ(displays.viewCode(Screen::kLeft), ViewCode::kSelect);
}

}  // namespace
}  // namespace qelm
