#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/plant_bridge.h"

namespace qelm::remote {

// The plant's JSON API as text: what each route answers from a snapshot, what a write's body
// asks for, and the event stream's messages. The server does the waiting and the sockets.

constexpr std::string_view kApiPrefix = "/api/";
constexpr std::string_view kMetricsPath = "/metrics";
constexpr std::string_view kEventsPath = "/api/events";
constexpr std::string_view kJsonType = "application/json";
constexpr std::string_view kMetricsType = "text/plain; version=0.0.4";

/// What a path of the API names.
enum class ApiRoute : uint8_t {
  kNone = 0,           ///< no route of the API
  kMonitors = 1,       ///< GET /api/monitors
  kMonitor = 2,        ///< GET /api/monitors/{id}
  kMonitorAction = 3,  ///< POST /api/monitors/{id}/start|stop|pause|clear
  kDevices = 4,        ///< GET /api/devices
  kDevice = 5,         ///< GET /api/devices/{n}
  kItem = 6,           ///< PUT /api/devices/{n}/pages/{p}/items/{i}
  kCards = 7,          ///< GET /api/cards
  kReports = 8,        ///< GET /api/reports
  kReport = 9,         ///< GET /api/reports/{file}
  kEvents = 10,        ///< GET /api/events (WebSocket)
  kDescription = 11,   ///< GET /api/openapi.json
  kMetrics = 12,       ///< GET /metrics
};

/// The request method a route takes.
enum class ApiMethod : uint8_t { kGet = 0, kPut = 1, kPost = 2 };
ApiMethod methodOf(ApiRoute route);

/// A request's target as the API reads it.
struct ApiTarget {
  ApiRoute route = ApiRoute::kNone;
  int32_t id = 0;    ///< the monitor's id or the device's number
  int32_t page = 0;  ///< kItem
  int32_t item = 0;  ///< kItem
  PlantRequest::Kind action = PlantRequest::Kind::kStartSession;  ///< kMonitorAction
  std::string file;     ///< kReport: the report's path below the report folder, unescaped
  bool values = false;  ///< kEvents: "?values=1" asks for value events as well
};

/// What `target` (a request's path and query) names; kNone for anything else, a number out of
/// range or a badly escaped file name included.
ApiTarget parseApiTarget(std::string_view target);

/// The URL of a report, its file name escaped.
std::string reportUrl(std::string_view file);

// Answers, as JSON text. Texts from cards are not trusted to be UTF-8: bad bytes become U+FFFD.
std::string monitorsJson(const PlantSnapshot& snapshot);
/// Nothing when there is no monitor `id`.
std::optional<std::string> monitorJson(const PlantSnapshot& snapshot, int32_t id);
std::string monitorJson(const PlantMonitor& monitor);
std::string devicesJson(const PlantSnapshot& snapshot);
/// Nothing when there is no device `number`.
std::optional<std::string> deviceJson(const PlantSnapshot& snapshot, int32_t number);
std::string itemJson(const PlantItem& item);
std::string cardsJson(const PlantSnapshot& snapshot);
std::string reportsJson(const PlantSnapshot& snapshot);
std::string errorJson(std::string_view message);
/// The answer to a write: the error, else the item or the monitor as it now stands, else `{}`.
std::string replyJson(const PlantReply& reply);

/// The request an item's PUT body (`{"value": NUMBER}` or `{"value": "TEXT"}`) makes for the
/// target's item; nothing, with why in `error`, for any other body.
std::optional<PlantRequest> readItemValue(const ApiTarget& target, std::string_view body,
                                          std::string& error);
/// Longest text value taken, in bytes.
constexpr size_t kMostValueBytes = 256;

/// The event stream: the messages between one snapshot and the next. Status events (links,
/// sessions, error records) come from every snapshot, value events from snapshots with devices,
/// each compared with the last one that had them. The first snapshot of either kind only sets
/// the baseline.
class EventDiff {
 public:
  struct Events {
    std::vector<std::string> status;  ///< "link", "session" and "error" messages
    std::vector<std::string> values;  ///< "value" messages
  };
  /// The events up to `snapshot`; value events only when `values` (someone wants them).
  Events next(const std::shared_ptr<const PlantSnapshot>& snapshot, bool values);
  /// The next snapshot with devices only sets the values' baseline (a first client for them).
  void forgetValues() { devices_.reset(); }

 private:
  std::shared_ptr<const PlantSnapshot> status_;
  std::shared_ptr<const PlantSnapshot> devices_;
};

}  // namespace qelm::remote
