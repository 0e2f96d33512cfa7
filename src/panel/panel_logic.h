#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "core/input.h"
#include "core/loudness_session.h"
#include "model/device.h"
#include "model/value.h"
#include "panel/corrector_controls.h"
#include "panel/loudness_page_input.h"

namespace qelm {

class PanelScreens;
class PanelSettings;

/// Where the panel stands: nothing shown yet, choosing a device, choosing a page, or a page on
/// show (with or without an item entry).
enum class PanelMode : int32_t {
  kStart = 0,
  kDeviceSelect = 1,
  kPageSelect = 2,
  kPageShown = 3,
};

/// What an entry chooses, which decides what Select Submenu does during it: cancel (page
/// selection, or an item of a device with several pages), accept (device selection), nothing.
enum class EntryKind : int32_t {
  kPageSelectionOrItem = 0,
  kDeviceSelection = 1,
  kSinglePageItem = 2,  ///< an item of a device with one page
};

/// The panel's controller: turns key, knob and touch events into device and page navigation
/// and value entry, keeps the key lamps, and refreshes the page on show each pass; the colour
/// corrector's keys and the loudness pages' knobs and touches go to their own controls.
/// Engine thread only; one per engine run.
class PanelLogic {
 public:
  /// `loopTick` is the main loop's tick of the pass. All are kept by reference and must outlive
  /// the logic.
  PanelLogic(DeviceList& devices, PanelScreens& screens, PanelSettings& settings,
             const uint32_t& loopTick);
  ~PanelLogic();

  PanelLogic(const PanelLogic&) = delete;
  PanelLogic& operator=(const PanelLogic&) = delete;

  /// Gives the loudness monitors' side of "lm" pages (null: none). Not owned.
  void setLoudnessControl(LoudnessPageControl* control) { loudness_.setControl(control); }

  /// Handles one event; null is the first, empty event that puts the first device's page on
  /// show. The key lamps are recomputed afterwards. Throws the text "No target for global
  /// setting with code %d" when an "lm" page needs a global setting the settings lack.
  void handleEvent(const InputEvent* event);
  /// The per-pass refresh of the page on show: redraws items whose first target changed
  /// (except the one being entered) and clears their changed flags; refreshes the panel's own
  /// clock first while device 0 is on show. Nothing unless a page is shown.
  void refreshPage();
  /// Whether the final event asked the engine to end its run (the engine's exit code 1).
  bool exitRequested() const { return exitRequested_; }

  /// Load or save request from the shell: the loudness page's reply, "OK" for any other page on
  /// show, empty when no page is shown.
  std::string sessionRequest(SessionOperation operation, const std::string& path);
  /// A page is shown and its loudness session is paused.
  bool sessionPaused() const;
  /// A page is shown and its loudness session is stopped.
  bool sessionStopped() const;

  /// Lamp state per key code 1..16 after the last event.
  const LampStates& lamps() const { return lamps_; }
  PanelMode mode() const;
  /// Device whose pages are browsed; null before start-up or with an empty device list.
  Device* currentDevice() const { return currentDevice_; }
  /// Page on show, or the one to return to from page selection; may be null.
  Page* currentPage() const { return currentPage_; }
  /// Index of the page item being entered, -1 for none.
  int32_t enteredItem() const;
  /// Whether an entry is open: always during a selection, on a page while an item is entered.
  bool entryActive() const { return openEntry() != nullptr; }
  /// Text of the open entry as the operator sees it; empty when none is open.
  const std::string& entryText() const;
  /// Kind of the open entry; nothing when none is open.
  std::optional<EntryKind> entryKind() const;

  /// Empties the colour-corrector settings stored by a retrieve (see `CorrectorControls`).
  static void clearStoredCorrectorSettings() { CorrectorControls::clearStoredSettings(); }

 private:
  // What an open entry works on (selection lists and page items alike).
  struct Entry {
    Parameter* parameter = nullptr;
    Value value;
    std::string text;
    bool typed = false;
  };
  // The panel's states, one per mode; each holds only what exists in it, so an entry without a
  // selection or an entered item, or an entered item without its entry, cannot be stated.
  struct Starting {};
  struct DeviceSelection {
    Entry entry;
  };
  struct PageSelection {
    Entry entry;
  };
  struct ItemEntry {
    int32_t item = -1;
    EntryKind kind = EntryKind::kPageSelectionOrItem;  // or kSinglePageItem
    Entry entry;
  };
  struct PageView {
    std::optional<ItemEntry> entered;
    // A hold left a message on the context bar, which its release takes away.
    bool heldMessage = false;
  };
  using State = std::variant<Starting, DeviceSelection, PageSelection, PageView>;

  static Entry makeEntry(Parameter& parameter, const Value& value);
  Entry* openEntry();
  const Entry* openEntry() const;
  PageView* pageView() { return std::get_if<PageView>(&state_); }
  const PageView* pageView() const { return std::get_if<PageView>(&state_); }

  void startUp();
  void startDeviceSelection();
  void startPageSelection();
  void showPage(Page& page);
  void showCurrentPage();
  void leavePage();
  void jumpToDevice(int32_t position);
  bool quickSwitchOn();

  void handleEntryEvent(const InputEvent& event);
  void typeCharacter(char c);
  void eraseCharacter();
  void stepEntry(int32_t n);
  void acceptEntry(bool continueWithPages);
  void cancelEntry(PanelKey key);
  void endItemEntry();
  char contextCharacter() const;

  void handlePageEvent(const InputEvent& event);
  void handlePageKey(PanelKey key);
  void handleHeldKey(PanelKey key);
  int32_t itemOfKnob(int32_t code) const;
  void turnItem(int32_t code, int32_t n);
  void pushItem(int32_t code);
  void holdKnob(int32_t code);
  void showHeldMessage(const std::string& text);
  void clearHeldMessage();
  bool loudnessMonitorShown() const;

  void updateLamps();

  DeviceList& devices_;
  PanelScreens& screens_;
  PanelSettings& settings_;
  const uint32_t& loopTick_;
  CorrectorControls corrector_;
  LoudnessPageInput loudness_;

  State state_;
  Device* currentDevice_ = nullptr;
  Page* currentPage_ = nullptr;
  const Page* watchedPage_ = nullptr;
  bool exitRequested_ = false;
  LampStates lamps_{};
};

}  // namespace qelm
