#pragma once

#include <cstdint>
#include <string>

namespace qelm {

class Page;
class PanelScreens;
class Target;

/// The colour corrector's own controls on a "cc" page: Enter toggles the bypass, the held keys
/// reset the corrector and copy its settings between devices, and the context bar says when the
/// corrector is bypassed. Engine thread only; the panel logic owns one.
class CorrectorControls {
 public:
  /// `screens` must outlive the controls.
  explicit CorrectorControls(PanelScreens& screens) : screens_(screens) {}

  /// Item index of knob `slot` (knob code - 18, 0..14) on a "cc" page; -1 for none.
  static int32_t itemOfKnob(int32_t slot);
  /// Whether item `index` is the corrector's enable, whose value the status text follows.
  static bool isBypassItem(int32_t index);
  /// Empties the settings stored by a retrieve. They are shared by every panel logic of the
  /// process, so that settings retrieved on one device can be sent to another.
  static void clearStoredSettings();

  /// Enter: flips the enable of both corrector halves from the first card's value.
  void toggleBypass(const Page& page);
  /// Held back arrow: pulses both resets inside the hold bracket. Returns the message to leave
  /// until the key is released ("Reset"), or empty when the page has no reset.
  std::string reset(const Page& page);
  /// Held ". -": stores the received values of items 0..12. Returns the message to leave.
  std::string retrieveSettings(const Page& page);
  /// Held "0": writes the stored values to the page's items inside the hold bracket. Returns the
  /// message to leave, or empty when nothing was written.
  std::string sendSettings(const Page& page);

  /// Shows the status text for the page just put on show from its enable, if it has one.
  void pageShown(const Page& page);
  /// Shows "BYPASS " as status text while `enable` reads 0, none otherwise.
  void showBypassStatus(const Target& enable);

 private:
  PanelScreens& screens_;
};

}  // namespace qelm
