#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/clock.h"

namespace qelm {

// What the engine tells the plant (the JSON API, the metrics, the loudness wall) and what the
// plant asks of it. Everything here is plain data: the engine fills it on its own thread from
// its devices and monitors, and the server reads it on its thread without touching the engine.

/// One item of a page, as the panel shows it.
struct PlantItem {
  int32_t index = 0;                  ///< the item's place on its page (1..capacity)
  std::string name;                   ///< the parameter's name as the panel shows it
  std::string shown;                  ///< the value as the panel shows it, unit included
  std::optional<double> number;       ///< the value as a number, where it is one
  std::optional<std::string> choice;  ///< the value's name, where the parameter names values
  std::vector<std::string> choices;   ///< every name the parameter offers, in order
  std::optional<double> minimum;      ///< the range a knob entry keeps to, where there is one
  std::optional<double> maximum;
  std::optional<double> step;  ///< one knob step, where there is one
  std::string unit;
  bool writable = false;  ///< an operator may set it (a knob entry would)
  bool linkUp = false;    ///< the item's card is live
};

struct PlantPage {
  int32_t number = 0;
  std::string name;
  std::string type;  ///< "8-up", "loudness", ... as the configuration names page types
  std::vector<PlantItem> items;
};

struct PlantDevice {
  int32_t number = 0;
  std::string name;
  std::string link;     ///< the link status as the panel words it ("Live", "No Conn (1)", ...)
  bool linkUp = false;  ///< every card the device reaches is live
  std::vector<PlantPage> pages;
};

/// One card the panel reaches (the client group's targets), by its address.
struct PlantCard {
  std::string address;  ///< as the configuration writes it ("1.2.3.4:5/7", ...)
  std::string name;     ///< the card's text name, where it told one
  std::string link;     ///< the link status as the panel words it
  bool linkUp = false;
  /// The panel asks the card for its values (a page of it on show, a set in flight): only then
  /// does its link say anything ("Inactive" otherwise).
  bool watched = false;
};

/// One loudness monitor. Levels are LUFS (true peak dBTP); none while there is nothing to show
/// (no signal yet, or the card's data is stale).
struct PlantMonitor {
  int32_t id = 0;      ///< 1.. in the monitors' order, stable for one run of the engine
  std::string name;    ///< the session's name
  std::string device;  ///< the card's name
  std::optional<double> momentary;
  std::optional<double> shortTerm;
  std::optional<double> integrated;
  std::optional<double> range;  ///< loudness range, LU
  std::optional<double> truePeak;
  double target = -23.0;        ///< the target loudness, LUFS
  double tolerance = 1.0;       ///< the band either side of the target, LU
  double truePeakLimit = -1.0;  ///< dBTP
  std::string state;            ///< "stopped", "running", "paused", "waiting", "busy"
  /// Why the session ended or why it stands, as the loudness page says it: a fault that ended
  /// it ("Channel source changed", the card's status), "Cancelled by user" for a cancelled
  /// report; empty for a session stopped as asked, or never run.
  std::string endReason;
  double runningSeconds = 0.0;
  double secondsWithoutData = 0.0;
  bool linkUp = false;
  bool noData = false;  ///< no payload for 2 s or more
  /// Error records by kind, named as the reports name them.
  std::vector<std::pair<std::string, uint64_t>> errors;
  uint64_t errorSequence = 0;  ///< grows with every new error record of the session
  std::string lastError;       ///< the newest record as the report words it
};

/// A report written by a loudness session.
struct PlantReport {
  std::string file;      ///< path below the report folder's "reports/"
  std::string session;   ///< the session it reports
  int64_t modified = 0;  ///< seconds since 1970
  uint64_t bytes = 0;
};

/// The main loop's pass time: counts of passes at or under each bound, then the total.
struct PassHistogram {
  static constexpr std::array<double, 10> kBounds{0.0001, 0.00025, 0.0005, 0.001, 0.0025,
                                                  0.005,  0.01,    0.025,  0.05,  0.1};
  std::array<uint64_t, kBounds.size()> atOrUnder{};  ///< cumulative, as Prometheus counts
  uint64_t count = 0;
  double sumSeconds = 0.0;
};

/// A page item whose value is kept live: on the page on show, or being set by a request.
struct PlantLiveItem {
  int32_t device = 0;  ///< the device's number
  int32_t page = 0;    ///< the page's number
  PlantItem item;
};

/// The empty list every snapshot holds until cards are published.
std::shared_ptr<const std::vector<PlantCard>> noCards();

/// What the engine published at one pass.
struct PlantSnapshot {
  uint64_t sequence = 0;  ///< grows with every publication
  uint32_t parts = 0;     ///< the `PlantBridge::Part`s filled; the status always is
  /// With `kSomeDevices`: the device numbers asked for, ascending, whether a device of that
  /// number exists or not (the ones that do are in `devices`).
  std::vector<int32_t> deviceNumbers;
  /// Every card. A plant has thousands and their links change seldom, while most publications
  /// answer the read of one device: one list is shared by the publications until a link
  /// changes, so the same pointer means the same links. Never null; empty before the first.
  std::shared_ptr<const std::vector<PlantCard>> cards = noCards();
  std::vector<PlantMonitor> monitors;
  uint64_t droppedLoudnessMessages = 0;
  /// Only with `kDevices` (all of them: they cost the most) or `kSomeDevices` (those asked for).
  std::vector<PlantDevice> devices;
  std::vector<PlantReport> reports;  ///< only with `kReports` (a look at the report folder)
  /// With the status: the items whose values the cards keep sending now (only those of the page
  /// on show and of sets in flight are asked for), as they stand. Value events come from
  /// comparing them with the previous publication's.
  std::vector<PlantLiveItem> liveItems;
};

/// What a client of the plant asks the engine to do.
struct PlantRequest {
  enum class Kind { kSetItem, kStartSession, kStopSession, kPauseSession, kClearSession };
  Kind kind = Kind::kSetItem;
  int32_t device = 0;               ///< kSetItem: the device's number
  int32_t page = 0;                 ///< kSetItem: the page's number
  int32_t item = 0;                 ///< kSetItem: the item's index
  std::optional<double> number;     ///< kSetItem: the value as a number, or
  std::optional<std::string> text;  ///< the value's name or text as an operator would enter it
  int32_t monitor = 0;              ///< the session kinds: the monitor's id
};

/// The engine's answer: empty `error` on success, with the item as it stands after the set.
struct PlantReply {
  int status = 200;  ///< an HTTP status the API can answer with (400, 404, 409, 503 ...)
  std::string error;
  std::optional<PlantItem> item;
  std::optional<PlantMonitor> monitor;
  /// kSetItem: every card of the item sent the value back; false when the engine stopped
  /// waiting for that (a second or two) and answered with the item as it then stood.
  bool acknowledged = false;
};

/// The exchange between the engine and the plant's server. Every member may be called from any
/// thread; the engine never waits on the server and the server never waits on the engine.
class PlantBridge {
 public:
  /// The status (cards, monitors, counters) is cheap and always published; devices and reports
  /// only when asked for: every device, or (`kSomeDevices`) the ones asked for by number.
  enum Part : uint32_t { kStatus = 1, kDevices = 2, kReports = 4, kSomeDevices = 8 };

  // The server's side.

  /// The engine's pause ends early on `wakeup`: a read or a request then waits for a pass that
  /// starts at once rather than for the end of the pause. Set once, before any other thread
  /// uses the bridge.
  void wakeEngineWith(platform::Wakeup& wakeup) { wakeup_ = &wakeup; }
  /// Asks the engine to publish `parts` at the end of its next pass.
  void want(uint32_t parts) {
    wanted_.fetch_or(parts, std::memory_order_release);
    wakeEngine();
  }
  /// Asks the engine to publish device `number` (with the status) at the end of its next pass,
  /// with every other number asked for meanwhile. Past `kMostWantedDevices` numbers waiting,
  /// every device is asked for instead.
  void wantDevice(int32_t number);
  static constexpr size_t kMostWantedDevices = 64;
  /// While positive the engine publishes the status every `kWatchIntervalMs` on its own (the
  /// wall and the event stream); one count per watcher.
  void watch(int delta) { watchers_.fetch_add(delta, std::memory_order_acq_rel); }
  static constexpr uint32_t kWatchIntervalMs = 100;
  /// The newest snapshot; null before the first.
  std::shared_ptr<const PlantSnapshot> latest() const;
  /// Called on the engine thread after every publication: it must post and return at once.
  /// Once `onPublished` returns, the notice it replaced is no longer running nor called.
  void onPublished(std::function<void()> notice);
  /// Queues `request`; `done` is called on the engine thread with the answer (it must post and
  /// return at once). A queue past `kMostRequests` is answered 503 at once, on the caller's
  /// thread.
  void submit(PlantRequest request, std::function<void(PlantReply)> done);
  static constexpr size_t kMostRequests = 256;

  /// Every pass's time, recorded by the engine (lock-free).
  void recordPass(double seconds);
  PassHistogram passes() const;

  // The engine's side.

  /// The parts asked for since the last call (and cleared).
  uint32_t takeWanted() { return wanted_.exchange(0, std::memory_order_acq_rel); }
  /// The device numbers asked for since the last call, ascending, each once (and cleared).
  std::vector<int32_t> takeWantedDevices();
  int watchers() const { return watchers_.load(std::memory_order_acquire); }
  /// Publishes `snapshot` (its sequence is set here) and calls the notice.
  void publish(std::shared_ptr<PlantSnapshot> snapshot);
  struct Pending {
    PlantRequest request;
    std::function<void(PlantReply)> done;
  };
  /// The queued requests, oldest first (and cleared).
  std::vector<Pending> takeRequests();
  /// Cheap test for the pass: anything queued?
  bool hasRequests() const { return requestCount_.load(std::memory_order_acquire) > 0; }

 private:
  void wakeEngine() {
    if (wakeup_ != nullptr) wakeup_->notify();
  }

  platform::Wakeup* wakeup_ = nullptr;
  std::atomic<uint32_t> wanted_{0};
  std::atomic<int> watchers_{0};
  mutable std::mutex lock_;  // guards everything below
  std::shared_ptr<const PlantSnapshot> latest_;
  uint64_t sequence_ = 0;
  std::vector<int32_t> wantedDevices_;
  std::mutex noticeLock_;  // held while the notice runs; never with `lock_`
  std::function<void()> notice_;
  std::vector<Pending> requests_;
  std::atomic<size_t> requestCount_{0};
  std::array<std::atomic<uint64_t>, PassHistogram::kBounds.size()> passBuckets_{};
  std::atomic<uint64_t> passCount_{0};
  std::atomic<uint64_t> passNanoseconds_{0};
};

/// `snapshot` holds device `number` as it stood (or, when the device does not exist, says so).
bool holdsDevice(const PlantSnapshot& snapshot, int32_t number);

}  // namespace qelm
