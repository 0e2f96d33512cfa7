#include "remote/plant_api.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <nlohmann/json.hpp>
#include <unordered_map>

namespace qelm::remote {

namespace {

// Members in the order written: a vector of them per object, cheaper to build than a tree.
using ApiJson = nlohmann::ordered_json;

constexpr std::string_view kReportsPrefix = "/api/reports/";
constexpr std::string_view kValuesQuery = "values=1";
// Longest report path taken, in bytes (unescaped).
constexpr size_t kMostFileBytes = 512;

struct ActionName {
  std::string_view word;
  PlantRequest::Kind kind;
};
constexpr ActionName kActions[] = {
    {"start", PlantRequest::Kind::kStartSession},
    {"stop", PlantRequest::Kind::kStopSession},
    {"pause", PlantRequest::Kind::kPauseSession},
    {"clear", PlantRequest::Kind::kClearSession},
};

struct FixedRoute {
  std::string_view path;
  ApiRoute route;
};
constexpr FixedRoute kFixedRoutes[] = {
    {"/api/monitors", ApiRoute::kMonitors}, {"/api/devices", ApiRoute::kDevices},
    {"/api/cards", ApiRoute::kCards},       {"/api/reports", ApiRoute::kReports},
    {kEventsPath, ApiRoute::kEvents},       {"/api/openapi.json", ApiRoute::kDescription},
    {kMetricsPath, ApiRoute::kMetrics},
};

// Texts from the cards may hold any bytes; the answer is still JSON.
std::string text(const ApiJson& json) {
  return json.dump(-1, ' ', false, ApiJson::error_handler_t::replace);
}

ApiJson optionalNumber(const std::optional<double>& value) {
  // NaN or an infinity is no value either.
  return value && std::isfinite(*value) ? ApiJson(*value) : ApiJson(nullptr);
}

// The segments of `path` after `kApiPrefix`.
std::vector<std::string_view> segments(std::string_view path) {
  std::vector<std::string_view> out;
  path.remove_prefix(kApiPrefix.size());
  while (!path.empty()) {
    const size_t slash = path.find('/');
    out.push_back(path.substr(0, slash));
    path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
  }
  return out;
}

// A decimal number of 1 to 9 digits, no sign.
std::optional<int32_t> number(std::string_view digits) {
  if (digits.empty() || digits.size() > 9) return std::nullopt;
  int32_t value = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (error != std::errc() || end != digits.data() + digits.size() || digits[0] == '-')
    return std::nullopt;
  return value;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A report's path from a URL; nothing for bad escapes, control characters, ".." or an absolute
// path. Only files the engine listed are served, so this is a first fence, not the only one.
std::optional<std::string> reportFile(std::string_view escaped) {
  std::string file;
  for (size_t i = 0; i < escaped.size(); ++i) {
    char c = escaped[i];
    if (c == '%') {
      if (i + 2 >= escaped.size()) return std::nullopt;
      const int high = hexDigit(escaped[i + 1]);
      const int low = hexDigit(escaped[i + 2]);
      if (high < 0 || low < 0) return std::nullopt;
      c = static_cast<char>(high * 16 + low);
      i += 2;
    }
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f || c == '\\') return std::nullopt;
    file.push_back(c);
    if (file.size() > kMostFileBytes) return std::nullopt;
  }
  if (file.empty() || file.front() == '/' || file == ".." || file.find("../") == 0 ||
      file.find("/../") != std::string::npos ||
      (file.size() >= 3 && file.compare(file.size() - 3, 3, "/..") == 0))
    return std::nullopt;
  return file;
}

bool hasValuesQuery(std::string_view query) {
  while (!query.empty()) {
    const size_t amp = query.find('&');
    if (query.substr(0, amp) == kValuesQuery) return true;
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
  }
  return false;
}

// Built member by member: an initializer list of pairs copies every value twice, which the
// device list of a large plant (tens of thousands of items) feels.
ApiJson itemObject(const PlantItem& item) {
  ApiJson out = ApiJson::object();
  out["index"] = item.index;
  out["name"] = item.name;
  out["shown"] = item.shown;
  out["number"] = optionalNumber(item.number);
  out["choice"] = item.choice ? ApiJson(*item.choice) : ApiJson(nullptr);
  out["choices"] = item.choices;
  out["minimum"] = optionalNumber(item.minimum);
  out["maximum"] = optionalNumber(item.maximum);
  out["step"] = optionalNumber(item.step);
  out["unit"] = item.unit;
  out["writable"] = item.writable;
  out["linkUp"] = item.linkUp;
  return out;
}

ApiJson deviceObject(const PlantDevice& device) {
  ApiJson pages = ApiJson::array();
  for (const PlantPage& page : device.pages) {
    ApiJson items = ApiJson::array();
    for (const PlantItem& item : page.items)
      items.push_back(itemObject(item));
    ApiJson out = ApiJson::object();
    out["number"] = page.number;
    out["name"] = page.name;
    out["type"] = page.type;
    out["items"] = std::move(items);
    pages.push_back(std::move(out));
  }
  ApiJson out = ApiJson::object();
  out["number"] = device.number;
  out["name"] = device.name;
  out["link"] = device.link;
  out["linkUp"] = device.linkUp;
  out["pages"] = std::move(pages);
  return out;
}

ApiJson errorsObject(const PlantMonitor& monitor) {
  ApiJson errors = ApiJson::object();
  for (const auto& [kind, count] : monitor.errors)
    errors[kind] = count;
  return errors;
}

ApiJson monitorObject(const PlantMonitor& monitor) {
  ApiJson out = ApiJson::object();
  out["id"] = monitor.id;
  out["name"] = monitor.name;
  out["device"] = monitor.device;
  out["momentary"] = optionalNumber(monitor.momentary);
  out["shortTerm"] = optionalNumber(monitor.shortTerm);
  out["integrated"] = optionalNumber(monitor.integrated);
  out["range"] = optionalNumber(monitor.range);
  out["truePeak"] = optionalNumber(monitor.truePeak);
  out["target"] = monitor.target;
  out["tolerance"] = monitor.tolerance;
  out["truePeakLimit"] = monitor.truePeakLimit;
  out["state"] = monitor.state;
  out["endReason"] = monitor.endReason;
  out["runningSeconds"] = monitor.runningSeconds;
  out["secondsWithoutData"] = monitor.secondsWithoutData;
  out["linkUp"] = monitor.linkUp;
  out["noData"] = monitor.noData;
  out["errors"] = errorsObject(monitor);
  out["errorSequence"] = monitor.errorSequence;
  out["lastError"] = monitor.lastError;
  return out;
}

ApiJson cardObject(const PlantCard& card) {
  return {{"address", card.address},
          {"name", card.name},
          {"link", card.link},
          {"linkUp", card.linkUp},
          {"watched", card.watched}};
}

}  // namespace

ApiMethod methodOf(ApiRoute route) {
  switch (route) {
    case ApiRoute::kItem:
      return ApiMethod::kPut;
    case ApiRoute::kMonitorAction:
      return ApiMethod::kPost;
    default:
      return ApiMethod::kGet;
  }
}

ApiTarget parseApiTarget(std::string_view target) {
  ApiTarget parsed;
  const size_t mark = target.find('?');
  const std::string_view path = target.substr(0, mark);
  const std::string_view query =
      mark == std::string_view::npos ? std::string_view() : target.substr(mark + 1);
  for (const FixedRoute& fixed : kFixedRoutes)
    if (path == fixed.path) {
      parsed.route = fixed.route;
      parsed.values = fixed.route == ApiRoute::kEvents && hasValuesQuery(query);
      return parsed;
    }
  if (path.substr(0, kReportsPrefix.size()) == kReportsPrefix) {
    if (std::optional<std::string> file = reportFile(path.substr(kReportsPrefix.size()))) {
      parsed.route = ApiRoute::kReport;
      parsed.file = std::move(*file);
    }
    return parsed;
  }
  if (path.substr(0, kApiPrefix.size()) != kApiPrefix) return parsed;
  const std::vector<std::string_view> parts = segments(path);
  if (parts.size() < 2) return parsed;
  const std::optional<int32_t> id = number(parts[1]);
  if (!id) return parsed;
  parsed.id = *id;
  if (parts[0] == "monitors") {
    if (parts.size() == 2) {
      parsed.route = ApiRoute::kMonitor;
    } else if (parts.size() == 3) {
      for (const ActionName& action : kActions)
        if (parts[2] == action.word) {
          parsed.route = ApiRoute::kMonitorAction;
          parsed.action = action.kind;
        }
    }
  } else if (parts[0] == "devices") {
    if (parts.size() == 2) {
      parsed.route = ApiRoute::kDevice;
    } else if (parts.size() == 6 && parts[2] == "pages" && parts[4] == "items") {
      const std::optional<int32_t> page = number(parts[3]);
      const std::optional<int32_t> item = number(parts[5]);
      if (page && item) {
        parsed.route = ApiRoute::kItem;
        parsed.page = *page;
        parsed.item = *item;
      }
    }
  }
  return parsed;
}

std::string reportUrl(std::string_view file) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string url(kReportsPrefix);
  for (const char c : file) {
    const auto byte = static_cast<unsigned char>(c);
    if (std::isalnum(byte) || c == '-' || c == '_' || c == '.' || c == '~' || c == '/') {
      url.push_back(c);
    } else {
      url.push_back('%');
      url.push_back(kHex[byte >> 4]);
      url.push_back(kHex[byte & 15]);
    }
  }
  return url;
}

std::string monitorsJson(const PlantSnapshot& snapshot) {
  ApiJson monitors = ApiJson::array();
  for (const PlantMonitor& monitor : snapshot.monitors)
    monitors.push_back(monitorObject(monitor));
  return text({{"sequence", snapshot.sequence}, {"monitors", std::move(monitors)}});
}

std::optional<std::string> monitorJson(const PlantSnapshot& snapshot, int32_t id) {
  for (const PlantMonitor& monitor : snapshot.monitors)
    if (monitor.id == id) return monitorJson(monitor);
  return std::nullopt;
}

std::string monitorJson(const PlantMonitor& monitor) {
  return text(monitorObject(monitor));
}

std::string devicesJson(const PlantSnapshot& snapshot) {
  ApiJson devices = ApiJson::array();
  for (const PlantDevice& device : snapshot.devices)
    devices.push_back(deviceObject(device));
  return text({{"sequence", snapshot.sequence}, {"devices", std::move(devices)}});
}

std::optional<std::string> deviceJson(const PlantSnapshot& snapshot, int32_t number) {
  for (const PlantDevice& device : snapshot.devices)
    if (device.number == number) return text(deviceObject(device));
  return std::nullopt;
}

std::string itemJson(const PlantItem& item) {
  return text(itemObject(item));
}

std::string cardsJson(const PlantSnapshot& snapshot) {
  ApiJson cards = ApiJson::array();
  for (const PlantCard& card : *snapshot.cards)
    cards.push_back(cardObject(card));
  return text({{"cards", std::move(cards)}});
}

std::string reportsJson(const PlantSnapshot& snapshot) {
  ApiJson reports = ApiJson::array();
  for (const PlantReport& report : snapshot.reports)
    reports.push_back({{"file", report.file},
                       {"session", report.session},
                       {"modified", report.modified},
                       {"bytes", report.bytes},
                       {"url", reportUrl(report.file)}});
  return text({{"reports", std::move(reports)}});
}

std::string errorJson(std::string_view message) {
  return text({{"error", message}});
}

std::string replyJson(const PlantReply& reply) {
  if (!reply.error.empty()) return errorJson(reply.error);
  if (reply.item) {
    // A set's answer also says whether every card has sent the new value back.
    ApiJson item = itemObject(*reply.item);
    item["acknowledged"] = reply.acknowledged;
    return text(item);
  }
  if (reply.monitor) return monitorJson(*reply.monitor);
  return text(ApiJson::object());
}

std::optional<PlantRequest> readItemValue(const ApiTarget& target, std::string_view body,
                                          std::string& error) {
  // Read into a tree: finding a member among many in a vector of them would take their count
  // squared, for a body anyone may send.
  const nlohmann::json json = nlohmann::json::parse(body, nullptr, false);
  if (json.is_discarded() || !json.is_object()) {
    error = "The body is not a JSON object";
    return std::nullopt;
  }
  const auto value = json.find("value");
  if (value == json.end() || json.size() != 1) {
    error = "The body holds \"value\" and nothing else";
    return std::nullopt;
  }
  PlantRequest request;
  request.kind = PlantRequest::Kind::kSetItem;
  request.device = target.id;
  request.page = target.page;
  request.item = target.item;
  if (value->is_number()) {
    const double number = value->get<double>();
    if (!std::isfinite(number)) {
      error = "The value is not a finite number";
      return std::nullopt;
    }
    request.number = number;
  } else if (value->is_string()) {
    const std::string& wanted = value->get_ref<const std::string&>();
    if (wanted.size() > kMostValueBytes) {
      error = "The value is longer than " + std::to_string(kMostValueBytes) + " bytes";
      return std::nullopt;
    }
    request.text = wanted;
  } else {
    error = "The value is neither a number nor a text";
    return std::nullopt;
  }
  return request;
}

EventDiff::Events EventDiff::next(const std::shared_ptr<const PlantSnapshot>& snapshot,
                                  bool values) {
  Events events;
  if (!snapshot) return events;
  // The engine hands on the list of cards while no link changes.
  if (status_ && status_->cards != snapshot->cards) {
    std::unordered_map<std::string_view, const PlantCard*> cards;
    for (const PlantCard& card : *status_->cards)
      cards.emplace(card.address, &card);
    for (const PlantCard& card : *snapshot->cards) {
      const auto before = cards.find(card.address);
      if (before != cards.end() && before->second->link == card.link &&
          before->second->linkUp == card.linkUp)
        continue;
      ApiJson event = cardObject(card);
      event["type"] = "link";
      events.status.push_back(text(event));
    }
  }
  if (status_) {
    std::unordered_map<int32_t, const PlantMonitor*> monitors;
    for (const PlantMonitor& monitor : status_->monitors)
      monitors.emplace(monitor.id, &monitor);
    for (const PlantMonitor& monitor : snapshot->monitors) {
      const auto found = monitors.find(monitor.id);
      const PlantMonitor* before = found == monitors.end() ? nullptr : found->second;
      if (!before || before->state != monitor.state)
        events.status.push_back(
            text({{"type", "session"},
                  {"monitor", monitor.id},
                  {"name", monitor.name},
                  {"state", monitor.state},
                  {"previous", before ? ApiJson(before->state) : ApiJson(nullptr)},
                  {"endReason", monitor.endReason}}));
      if (monitor.errorSequence > (before ? before->errorSequence : 0))
        events.status.push_back(text({{"type", "error"},
                                      {"monitor", monitor.id},
                                      {"name", monitor.name},
                                      {"errorSequence", monitor.errorSequence},
                                      {"lastError", monitor.lastError},
                                      {"errors", errorsObject(monitor)}}));
    }
  }
  status_ = snapshot;
  if (!values || (snapshot->parts & PlantBridge::kDevices) == 0) return events;
  if (devices_) {
    // Keyed by device, page and item number, 21 bits each (the numbers are below 10^6 in practice).
    std::unordered_map<uint64_t, const PlantItem*> items;
    const auto key = [](int32_t device, int32_t page, int32_t item) {
      return static_cast<uint64_t>(static_cast<uint32_t>(device)) << 42 |
             static_cast<uint64_t>(static_cast<uint32_t>(page) & 0x1FFFFF) << 21 |
             (static_cast<uint32_t>(item) & 0x1FFFFF);
    };
    for (const PlantDevice& device : devices_->devices)
      for (const PlantPage& page : device.pages)
        for (const PlantItem& item : page.items)
          items.emplace(key(device.number, page.number, item.index), &item);
    for (const PlantDevice& device : snapshot->devices)
      for (const PlantPage& page : device.pages)
        for (const PlantItem& item : page.items) {
          const auto found = items.find(key(device.number, page.number, item.index));
          if (found != items.end() && found->second->shown == item.shown &&
              found->second->number == item.number && found->second->choice == item.choice)
            continue;
          events.values.push_back(
              text({{"type", "value"},
                    {"device", device.number},
                    {"page", page.number},
                    {"item", item.index},
                    {"name", item.name},
                    {"shown", item.shown},
                    {"number", optionalNumber(item.number)},
                    {"choice", item.choice ? ApiJson(*item.choice) : ApiJson(nullptr)},
                    {"linkUp", item.linkUp}}));
        }
  }
  devices_ = snapshot;
  return events;
}

}  // namespace qelm::remote
