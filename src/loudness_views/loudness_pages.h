#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "loudness/session_requests.h"
#include "loudness_views/loudness_screens.h"
#include "panel/loudness_page_input.h"

namespace qelm {

class DeviceList;
class GlobalSettings;
class LoudnessMonitor;
class Page;

/// The loudness side of "lm" pages: each page's monitor is the "lm" monitor of the card behind
/// the first target of its item 9, found on first need and kept for the run (cards and their
/// monitors live as long as the run's client group). Engine thread only.
class LoudnessPages final : public LoudnessPageControl, public LoudnessViewLookup {
 public:
  using SessionFiles = qelm::SessionFiles;

  /// Session file requests go through `sessionFiles`; both must outlive the pages' use.
  explicit LoudnessPages(SessionFiles* sessionFiles = nullptr) : sessionFiles_(sessionFiles) {}

  /// The settings the loudness views read (null: defaults). Not owned.
  void setGlobals(GlobalSettings* globals) { globals_ = globals; }
  /// Whether the views of the page on show should repaint now (its monitor marked a change, or
  /// its once-a-second refresh came); asking clears it.
  bool takeViewsDue();

  const LoudnessContext* findContext(const Page& page) override;
  LoudnessViewSettings viewSettings() override;

  /// Finds the monitor of every "lm" page of `devices` and gives it its device's name.
  void bindAll(const DeviceList& devices);
  /// The monitor of `page`; null for other pages or when its card has none.
  LoudnessMonitor* monitorOf(const Page& page);

  bool hasMonitor(const Page& page) override;
  std::optional<SessionState> sessionState(const Page& page) override;
  void startSession(const Page& page) override;
  void stopSession(const Page& page) override;
  void clearSession(const Page& page) override;
  void pauseSession(const Page& page) override;
  std::string sessionRequest(const Page& page, SessionOperation operation,
                             const std::string& path) override;
  void refresh(const Page& page, uint32_t loopTick) override;
  /// The page was put on show: request data at once, name the monitor after the device and
  /// mark its record changed so the views repaint on the next pass.
  void activate(const Page& page) override;

  /// Loop tick of the last data request per page; refreshes ask at most once per this.
  static constexpr uint32_t kRequestIntervalMs = 1000;

 private:
  std::map<const Page*, LoudnessMonitor*> monitors_;
  std::map<const Page*, uint32_t> lastRequest_;
  SessionFiles* sessionFiles_;
  GlobalSettings* globals_ = nullptr;
  bool viewsDue_ = false;
};

}  // namespace qelm
