#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "core/input.h"
#include "display/raster_window.h"
#include "model/device.h"
#include "panel/screens.h"
#include "panel/views.h"

namespace qelm {

class FontRegistry;
struct PageItem;

/// Both screens of the panel: the windows over the shared raster, a `Panel` on each, and the
/// screen operations of navigation and editing. Engine thread only; the raster is written only
/// by `update` (and `drawNow`), which the engine calls under its screen lock.
class Displays final : public PanelScreens {
 public:
  /// `raster`: the shared kRasterWidth x kRasterHeight raster (not owned); `fonts` not owned,
  /// may be null; `imagesFolder` for the loudness views' pictures; `banner` the selection
  /// view's title; `drawNow` what drawNow() runs (it must end in a call of update() under the
  /// screen lock); when empty, drawNow() calls update() itself.
  Displays(uint32_t* raster, FontRegistry* fonts, std::string imagesFolder, std::string banner,
           std::function<void()> drawNow);
  ~Displays() override;
  Displays(const Displays&) = delete;
  Displays& operator=(const Displays&) = delete;

  /// Paints what changed: each panel's pending screen clear, then each window's queued
  /// drawables. Nothing is drawn when nothing changed.
  void update();
  /// Sum of both windows' change counters; only inequality between readings matters.
  uint32_t changeSum() const;

  /// Selection or page screen (kNone before the first).
  ScreenMode mode() const { return mode_; }
  /// Index of the highlighted page item; -1 for none.
  int32_t highlightedItem() const { return highlighted_; }
  /// Type of the page last put on the screens.
  PageType pageType() const { return pageType_; }
  /// The page last put on the screens; null before the first.
  const Page* page() const { return page_; }

  // PanelScreens
  void showSelection(std::string_view prompt, std::string_view deviceHeader, const ItemList& list,
                     int32_t position) override;
  void showPage(const Device& device, const Page& page) override;
  void refreshItem(int32_t index) override;
  void highlightItem(int32_t index, const ItemList* choices, int32_t position) override;
  void showEntryText(std::string_view text) override;
  void showError() override;
  void highlightListPosition(int32_t position) override;
  void showMessage(std::string_view text) override;
  void clearMessage() override;
  void setStatusText(std::string_view text) override;
  void showUtility() override;
  void setUtilityHeader(std::string_view text) override;
  void clearUtilityReport() override;
  void appendUtilityReport(std::string_view line) override;
  void drawNow() override;
  void repaintAll() override;

  // Inspection
  RasterWindow& window(Screen screen) { return screen == Screen::kLeft ? left_ : right_; }
  const RasterWindow& window(Screen screen) const {
    return screen == Screen::kLeft ? left_ : right_;
  }
  Panel& panel(Screen screen) { return screen == Screen::kLeft ? leftPanel_ : rightPanel_; }
  const Panel& panel(Screen screen) const {
    return screen == Screen::kLeft ? leftPanel_ : rightPanel_;
  }
  /// View the panel of `screen` shows.
  ViewCode viewCode(Screen screen) const { return panel(screen).viewCode(); }
  /// Context bar of the parameter view of `screen`.
  const ContextBar& contextBar(Screen screen) const {
    return panel(screen).parameterView().contextBar();
  }
  /// List of the list view of `screen`.
  const ListBar& listBar(Screen screen) const { return panel(screen).listView().listBar(); }
  /// The area showing item `index` of the page on show, or null.
  const ParameterArea* itemArea(int32_t index) const { return areaOf(index); }
  /// Screen item `index` of the page on show sits on; none when it is not shown.
  std::optional<Screen> itemScreen(int32_t index) const;
  const SelectView& selectView() const { return *leftPanel_.selectView(); }
  const UtilityView& utilityView() const { return *leftPanel_.utilityView(); }
  /// Folder of the loudness views' pictures, ending in "/".
  const std::string& imagesFolder() const { return imagesFolder_; }

 private:
  struct Slot {
    Screen screen;
    Half half;
    int32_t slot;
  };
  std::optional<Slot> slotOf(int32_t index) const;
  ParameterArea* areaOf(int32_t index) const;
  const PageItem* pageItem(int32_t index) const;
  // Sets what item `index` shows from its targets; name and unit too when `nameAndUnit`.
  void showItem(int32_t index, bool nameAndUnit);
  // Takes the item message off the bar that shows it.
  void dropItemMessage();
  // Returns the screen that shows a choice list to view 2.
  void dropChoiceList();
  ParameterView& parameterView(Screen screen) { return panel(screen).parameterView(); }

  RasterWindow left_;
  RasterWindow right_;
  Panel leftPanel_;
  Panel rightPanel_;
  std::string imagesFolder_;
  std::function<void()> drawNow_;

  ScreenMode mode_ = ScreenMode::kNone;
  int32_t highlighted_ = -1;
  PageType pageType_ = PageType::k8Up;
  const Page* page_ = nullptr;
  // Screen whose context bar carries the highlighted item's message.
  std::optional<Screen> messageScreen_;
  // Screen switched to its list view for a choice entry.
  std::optional<Screen> choiceScreen_;
};

}  // namespace qelm
