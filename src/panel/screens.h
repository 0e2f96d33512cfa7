#pragma once

#include <cstdint>
#include <string_view>

namespace qelm {

class Device;
class ItemList;
class Page;

/// Which half-screen layout a page uses, and which screen mode the displays are in.
enum class ScreenMode : int32_t {
  kNone = 0,
  kSelection = 1,  ///< device or page selection
  kPage = 2,       ///< a page on show
};

/// The screen operations that navigation, editing and the panel's own settings use. `Displays`
/// draws them on the two screens; tests record them.
class PanelScreens {
 public:
  virtual ~PanelScreens() = default;

  /// Selection screen: the left screen shows the banner, `prompt`, `deviceHeader` (empty for
  /// none) and the entry text; the right screen shows `list` with `position` highlighted (-1:
  /// none). The list must outlive the selection.
  virtual void showSelection(std::string_view prompt, std::string_view deviceHeader,
                             const ItemList& list, int32_t position) = 0;
  /// Puts `page` of `device` on both screens: headers, bars and every item slot.
  virtual void showPage(const Device& device, const Page& page) = 0;
  /// Redraws the value text, no-unit flag, status mark and icon of item `index` of the page on
  /// show from its first target (name and unit stay as `showPage` set them).
  virtual void refreshItem(int32_t index) = 0;
  /// Highlights item `index` of the page on show for entry, with its item message, or removes
  /// the highlight with -1. `choices` (may be null) is shown as a list on the other screen
  /// with `position` highlighted; removing the highlight removes the list.
  virtual void highlightItem(int32_t index, const ItemList* choices, int32_t position) = 0;
  /// The entry text: in the selection view during a selection, in the highlighted item's
  /// value line on a page.
  virtual void showEntryText(std::string_view text) = 0;
  /// Marks the entry as refused: the selection view's error colour, or the highlighted item's
  /// status mark. Cleared by the next `showEntryText`.
  virtual void showError() = 0;
  /// Moves the highlight of the list shown for a selection or a choice entry.
  virtual void highlightListPosition(int32_t position) = 0;
  /// Pushes `text` as the main text of the left screen's context bar.
  virtual void showMessage(std::string_view text) = 0;
  /// Pops the last message; nothing when none is shown.
  virtual void clearMessage() = 0;
  /// Right-hand text of the left screen's context bar (for example "BYPASS ").
  virtual void setStatusText(std::string_view text) = 0;
  /// Left screen: the utility view; right screen: blank.
  virtual void showUtility() = 0;
  /// Header line of the utility view, drawn at once.
  virtual void setUtilityHeader(std::string_view text) = 0;
  /// Empties the utility view's report.
  virtual void clearUtilityReport() = 0;
  /// Appends a line to the utility view's report, scrolling when it is full.
  virtual void appendUtilityReport(std::string_view line) = 0;
  /// Draws what is pending on both screens now and tells the shell, so that a message is
  /// visible before a long operation.
  virtual void drawNow() = 0;
  /// Paints both screens completely again (after the palette changed).
  virtual void repaintAll() = 0;
};

}  // namespace qelm
