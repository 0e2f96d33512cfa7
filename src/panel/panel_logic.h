#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/input.h"
#include "core/loudness_session.h"
#include "model/device.h"
#include "model/value.h"

namespace qelm {

class PanelScreens;
class PanelSettings;
class Target;

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

/// What the panel asks of the loudness monitor behind an "lm" page. The loudness monitoring
/// provides it; without one, "lm" pages have no monitor and only their global-setting knobs work.
class LoudnessPageControl {
 public:
  virtual ~LoudnessPageControl() = default;

  /// Whether `page` has a loudness monitor (looked up on first need).
  virtual bool hasMonitor(const Page& page) = 0;
  /// Session state of the page's monitor; nothing when the page has no monitor.
  virtual std::optional<SessionState> sessionState(const Page& page) = 0;
  /// Operator session actions from touching the loudness views.
  virtual void startSession(const Page& page) = 0;
  virtual void stopSession(const Page& page) = 0;
  virtual void clearSession(const Page& page) = 0;
  virtual void pauseSession(const Page& page) = 0;
  /// Loads or saves the page's session at `path`; "OK" or the failure text.
  virtual std::string sessionRequest(const Page& page, SessionOperation operation,
                                     const std::string& path) = 0;
  /// Per-pass refresh of the page on show: updates the loudness views when the monitor marked
  /// a change, and asks the card for loudness data at most once per 1000 ms of `loopTick`.
  virtual void refresh(const Page& page, uint32_t loopTick) = 0;
};

/// The panel's controller: turns key, knob and touch events into device and page navigation,
/// value entry and target writes, keeps the key lamps, and refreshes the page on show each pass.
/// Engine thread only; one per engine run.
class PanelLogic {
 public:
  /// `exitCode` is set to 1 by the final event; `loopTick` is the main loop's tick of the pass.
  /// All are kept by reference and must outlive the logic.
  PanelLogic(int32_t& exitCode, DeviceList& devices, PanelScreens& screens, PanelSettings& settings,
             const uint32_t& loopTick);
  ~PanelLogic();

  PanelLogic(const PanelLogic&) = delete;
  PanelLogic& operator=(const PanelLogic&) = delete;

  /// Gives the loudness monitors' side of "lm" pages (null: none). Not owned.
  void setLoudnessControl(LoudnessPageControl* control) { loudness_ = control; }

  /// Handles one event; null is the first, empty event that puts the first device's page on
  /// show. The key lamps are recomputed afterwards. Throws the text "No target for global
  /// setting with code %d" when an "lm" page needs a global setting the settings lack.
  void handleEvent(const InputEvent* event);
  /// The per-pass refresh of the page on show: redraws items whose first target changed
  /// (except the one being entered) and clears their changed flags; refreshes the panel's own
  /// clock first while device 0 is on show. Nothing unless a page is shown.
  void refreshPage();

  /// Load or save request from the shell: the loudness page's reply, "OK" for any other page on
  /// show, empty when no page is shown.
  std::string sessionRequest(SessionOperation operation, const std::string& path);
  /// A page is shown and its loudness session is paused.
  bool sessionPaused() const;
  /// A page is shown and its loudness session is stopped.
  bool sessionStopped() const;

  /// Lamp state per key code 1..16 after the last event.
  const LampStates& lamps() const { return lamps_; }
  PanelMode mode() const { return mode_; }
  /// Device whose pages are browsed; null before start-up or with an empty device list.
  Device* currentDevice() const { return currentDevice_; }
  /// Page on show, or the one to return to from page selection; may be null.
  Page* currentPage() const { return currentPage_; }
  /// Index of the page item being entered, -1 for none.
  int32_t enteredItem() const { return enteredItem_; }
  bool entryActive() const { return entry_.active; }
  /// Text of the open entry as the operator sees it.
  const std::string& entryText() const { return entry_.text; }

  /// Empties the colour-corrector settings stored by a retrieve; they are shared by every
  /// panel logic of the process so that settings can be copied between devices.
  static void clearStoredCorrectorSettings();

 private:
  // What an open entry works on (selection lists and page items alike).
  struct Entry {
    bool active = false;
    Parameter* parameter = nullptr;
    Value value;
    std::string text;
    bool typed = false;
    EntryKind kind = EntryKind::kPageSelectionOrItem;
  };

  void startUp();
  void startDeviceSelection();
  void startPageSelection();
  void showPage(Page& page);
  void showCurrentPage();
  void leavePage();
  void jumpToDevice(int32_t position);
  bool quickSwitchOn();

  void handleEntryEvent(const InputEvent& event);
  void beginEntry(Parameter& parameter, const Value& value, EntryKind kind);
  void typeCharacter(char c);
  void eraseCharacter();
  void stepEntry(int32_t n);
  void acceptEntry(int32_t key);
  void cancelEntry(int32_t key);
  void endItemEntry();
  char contextCharacter() const;

  void handlePageEvent(const InputEvent& event);
  int32_t itemOfKnob(int32_t code) const;
  void turnItem(int32_t code, int32_t n);
  void pushItem(int32_t code);
  void holdKnob(int32_t code);
  void toggleBypass();
  void resetCorrector();
  void retrieveCorrectorSettings();
  void sendCorrectorSettings();
  void showHeldMessage(const std::string& text);
  void clearHeldMessage();
  void updateBypassStatus(const Target& target);

  void turnLoudnessKnob(int32_t knob, int32_t n);
  void touchLoudnessPage(const InputEvent& event);
  void toggleLoudnessView();
  void stepGlobalChoice(int32_t code, int32_t n);
  Target& requireGlobalTarget(int32_t code);
  Parameter* globalParameter(int32_t code) const;
  bool loudnessMonitorShown() const;

  void updateLamps();

  int32_t& exitCode_;
  DeviceList& devices_;
  PanelScreens& screens_;
  PanelSettings& settings_;
  const uint32_t& loopTick_;
  LoudnessPageControl* loudness_ = nullptr;

  PanelMode mode_ = PanelMode::kStart;
  Device* currentDevice_ = nullptr;
  Page* currentPage_ = nullptr;
  const Page* watchedPage_ = nullptr;
  int32_t enteredItem_ = -1;
  Entry entry_;
  bool heldMessageShown_ = false;
  LampStates lamps_{};
};

}  // namespace qelm
