#pragma once

#include <cstdint>
#include <functional>

#include "loudness_views/loudness_views.h"

namespace qelm {

class Displays;
class LoudnessContext;
class LoudnessHistoryView;
class Page;

/// How the loudness screens find what an "lm" page shows. The engine implements it over its
/// monitors and global settings.
class LoudnessViewLookup {
 public:
  virtual ~LoudnessViewLookup() = default;
  /// The context of the "lm" monitor of the card behind item 9 of `page`, or null when there
  /// is none now. Asked on every refresh; the pointer is not kept past that refresh.
  virtual const LoudnessContext* findContext(const Page& page) = 0;
  /// The view settings as they are now (see loudnessViewSettingsFrom).
  virtual LoudnessViewSettings viewSettings() = 0;
};

/// Puts the loudness views into view 5 of both screens and keeps them on the monitor of the
/// "lm" page on show. It keeps no pointer to a monitor or context between calls: each refresh
/// looks the context up again, so a monitor that went away leaves the views unbound (background
/// only), never reading freed memory. Engine thread only; must not outlive `displays`.
class LoudnessScreens {
 public:
  /// Installs the views in both panels of `displays` (artwork from its images folder).
  /// `nowSeconds` gives the wall-clock time in seconds since 1970 (default: the system's).
  LoudnessScreens(Displays& displays, LoudnessViewLookup& lookup,
                  std::function<int64_t()> nowSeconds = {});

  /// Every main-loop pass, after the input was handled: when the page on show is an "lm" page
  /// and it changed (or its monitor appeared or went away) the views are bound and updated at
  /// once; otherwise they are updated only when `refreshDue` (the loudness refresh interval).
  void refresh(bool refreshDue);

  /// The left view (channel or history), or null when the panel has none.
  LoudnessLeftPanelBase* leftView() const;
  /// The right view, or null when the panel has none.
  LoudnessSessionView* rightView() const;

 private:
  Displays& displays_;
  LoudnessViewLookup& lookup_;
  std::function<int64_t()> nowSeconds_;
  // Compared only, never followed: the page the views were last bound for.
  const Page* page_ = nullptr;
  bool found_ = false;
};

}  // namespace qelm
