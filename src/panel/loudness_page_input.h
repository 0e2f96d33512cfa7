#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/input.h"
#include "core/loudness_session.h"

namespace qelm {

class DeviceList;
class Page;
class PanelSettings;
class Parameter;
class Target;

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
  /// `page` was put on show: its monitor asks for data at once and its views repaint.
  virtual void activate(const Page& page) = 0;
};

/// The operator's input on an "lm" page on show: knobs 0..2 work the loudness view settings
/// (global settings), touches work the monitor's session, and the window's session file
/// requests reach the monitor. Engine thread only; the panel logic owns one.
class LoudnessPageInput {
 public:
  /// `devices` (for the panel device's setting lists) and `settings` must outlive the input.
  LoudnessPageInput(DeviceList& devices, PanelSettings& settings)
      : devices_(devices), settings_(settings) {}

  /// Gives the loudness monitors' side of "lm" pages (null: none). Not owned.
  void setControl(LoudnessPageControl* control) { control_ = control; }

  /// Whether `page` is an "lm" page with a loudness monitor behind it.
  bool hasMonitor(const Page& page) const;
  /// Knob `knob` (0..7) turned by `n` steps: 2 toggles the view; in the graph view 1 steps the
  /// graph scale and 0 the graph mode (fixed while a session is active). Throws the text "No
  /// target for global setting with code %d" when a setting it needs is missing.
  void turnKnob(int32_t knob, int32_t n);
  /// A touch (kind 11 first, 12 still touched) of `page`'s views: session buttons on the right
  /// screen, the view toggle on the left. Nothing without a monitor.
  void touch(const Page& page, const InputEvent& event);
  /// The monitor's reply to a load or save of `page`'s session; empty (refused) for an "lm" page
  /// without monitors, "OK" for any other page.
  std::string sessionRequest(const Page& page, SessionOperation operation, const std::string& path);
  /// Session state of the monitor of `page` (which `hasMonitor`); nothing without monitors.
  std::optional<SessionState> sessionState(const Page& page) const;
  /// Per-pass refresh of `page`, which has a monitor.
  void refresh(const Page& page, uint32_t loopTick);
  /// `page` was put on show; nothing for pages other than "lm".
  void activate(const Page& page);

 private:
  void toggleView();
  void stepGlobalChoice(int32_t code, int32_t n);
  Target& requireGlobalTarget(int32_t code);
  Parameter* globalParameter(int32_t code) const;

  DeviceList& devices_;
  PanelSettings& settings_;
  LoudnessPageControl* control_ = nullptr;
};

}  // namespace qelm
