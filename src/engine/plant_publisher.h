#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/loudness_session.h"
#include "core/plant_bridge.h"
#include "loudness/loudness_session.h"
#include "model/link_status.h"
#include "model/value.h"

namespace qelm {

class Card;
class Device;
class DeviceList;
class HostGroup;
class LoudnessMonitor;
class LoudnessRegistry;
class Page;
struct PageItem;

/// The HTTP statuses the engine answers the plant's requests with.
enum class PlantAnswer : int {
  kOk = 200,
  kRefused = 400,      ///< the value does not read, or lies outside the range
  kNotFound = 404,     ///< no such device, page, item or monitor
  kConflict = 409,     ///< the item (read-only, a preset) or the session's state forbids it
  kUnavailable = 503,  ///< the card did not answer and its link is down
};

/// A session state as the plant names it: "stopped", "running", "paused", "waiting", "busy".
const char* sessionStateText(SessionState state);
/// A link status as the panel words it, with "Live" for a live one.
std::string linkText(LinkStatus status);
/// The value `text` (a choice's or a named value's name, ignoring case, else what an operator
/// would type) or `number` for the parameter of `item`, as a knob entry would take it; none
/// when it does not read or lies outside the range.
std::optional<Value> plantValue(const PageItem& item, const std::optional<double>& number,
                                const std::optional<std::string>& text);
/// `item` as the plant shows it.
PlantItem plantItem(const PageItem& item);

/// The engine's side of the plant: fills the snapshots the plant's server reads and answers the
/// requests it queues, on the engine thread, without ever waiting. The devices, the client
/// group and the registry must outlive it.
class PlantPublisher {
 public:
  /// Longest wait for a card to send back a value set by a request, in ms; past it the answer
  /// gives the item as it stands.
  static constexpr uint32_t kSetAnswerWaitMs = 1500;
  /// Most reports a snapshot lists, the newest.
  static constexpr size_t kMostReports = 1000;
  /// Shortest time between two looks at the report folder, in ms; snapshots between them list
  /// what the last look found.
  static constexpr uint32_t kReportScanIntervalMs = 1000;

  /// `reportsFolder` is the folder the sessions write their reports under.
  PlantPublisher(PlantBridge& bridge, DeviceList& devices, HostGroup& client,
                 LoudnessRegistry& registry, std::string reportsFolder);
  ~PlantPublisher();
  PlantPublisher(const PlantPublisher&) = delete;
  PlantPublisher& operator=(const PlantPublisher&) = delete;

  /// Takes the queued requests and answers each (a set once its card sent the value back, or
  /// once `kSetAnswerWaitMs` have passed); before the pass's flush, so a set leaves at once.
  void serveRequests(uint32_t loopTick);
  /// At the end of a pass: publishes the parts asked for, and the status every
  /// `PlantBridge::kWatchIntervalMs` while watched. `onShow` is the page on show (null: none).
  void publishIfDue(uint32_t loopTick, const Page* onShow);
  /// A snapshot of `parts` (`PlantBridge::Part`s; the status is always in it); with
  /// `kSomeDevices`, of the devices numbered `deviceNumbers` (ascending).
  std::shared_ptr<PlantSnapshot> snapshot(uint32_t parts, std::vector<int32_t> deviceNumbers = {});

 private:
  // A set sent to the cards, waiting for them to send the value back.
  struct PendingSet {
    PlantBridge::Pending pending;
    const Page* page = nullptr;
    const PageItem* item = nullptr;
    Value value;
    uint32_t since = 0;
  };
  // Error records counted so far for one session, so a pass reads only the new ones.
  struct ErrorTally {
    const void* first = nullptr;  // the session's first record when counted
    size_t counted = 0;
    std::array<uint64_t, kErrorTypes> byType{};
  };

  void answer(PlantBridge::Pending& pending, uint32_t loopTick);
  void setItem(PlantBridge::Pending& pending, uint32_t loopTick);
  void sessionCommand(PlantBridge::Pending& pending);
  void settleSets(uint32_t loopTick);
  void fillCards(PlantSnapshot& snapshot);
  void fillLiveItems(PlantSnapshot& snapshot);
  void fillMonitors(PlantSnapshot& snapshot);
  PlantMonitor plantMonitor(const LoudnessMonitor& monitor, int32_t id);
  void indexDevices();
  const PlantDevice& shapeOf(size_t position);
  bool shapeAllDevices();
  void fillDevices(PlantSnapshot& snapshot);
  void fillSomeDevices(PlantSnapshot& snapshot);
  void fillDevice(const Device& device, size_t shape, PlantDevice& out);
  void fillReports(PlantSnapshot& snapshot);
  std::vector<PlantReport> scanReports() const;

  PlantBridge& bridge_;
  DeviceList& devices_;
  HostGroup& client_;
  LoudnessRegistry& registry_;
  std::string reportsFolder_;
  std::vector<PendingSet> sets_;
  // What stays for the run, made once: the cards with their addresses and names, the devices
  // with their pages and items' names, ranges and choices, and the cards each device reaches.
  std::vector<std::pair<Card*, PlantCard>> cardShapes_;
  // The list last published, with each card's link and watch as it was made from.
  std::shared_ptr<const std::vector<PlantCard>> publishedCards_;
  std::vector<std::pair<LinkStatus, bool>> publishedLinks_;
  // The devices by position in the list (numbers ascending); each shaped on its first read, or
  // `kShapesPerPass` a pass while the whole list is wanted.
  static constexpr size_t kShapesPerPass = 8;
  std::vector<int32_t> listedNumbers_;
  std::vector<const Device*> listedDevices_;
  std::vector<PlantDevice> deviceShapes_;
  std::vector<std::vector<Card*>> deviceCards_;
  std::vector<bool> shaped_;
  size_t nextShape_ = 0;  // where the whole list's shaping has got to
  std::unordered_map<const LoudnessMonitor*, ErrorTally> tallies_;
  std::optional<uint32_t> lastWatchedPublication_;
  const Page* onShow_ = nullptr;
  std::vector<PlantReport> reports_;
  std::optional<uint32_t> lastReportScan_;
};

}  // namespace qelm
