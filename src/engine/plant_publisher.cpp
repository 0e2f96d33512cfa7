#include "engine/plant_publisher.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <system_error>
#include <utility>

#include "comm/card.h"
#include "comm/hard_target.h"
#include "comm/host.h"
#include "loudness/loudness_levels.h"
#include "loudness/loudness_monitor.h"
#include "loudness/loudness_registry.h"
#include "model/device.h"
#include "model/parameter.h"
#include "model/target.h"
#include "panel/item_text.h"
#include "text/readers.h"
#include "text/text.h"

// Sections: [names] [items] [requests] [status] [devices and reports]

namespace qelm {

namespace {

using Answer = PlantAnswer;

// Entries looked at under the reports folder before the listing stops, however many there are.
constexpr size_t kMostScannedEntries = 100000;
// Bytes of a refused value's text that its refusal repeats.
constexpr size_t kMostEchoedBytes = 40;
// Numbers past this are refused before they become text (no parameter reaches them).
constexpr double kLargestNumber = 1e12;

PlantReply refusal(Answer status, std::string error) {
  PlantReply reply;
  reply.status = static_cast<int>(status);
  reply.error = std::move(error);
  return reply;
}

void send(PlantBridge::Pending& pending, PlantReply reply) {
  if (pending.done) pending.done(std::move(reply));
}

// A value shown by the parameter as a number (display units), where its text is one. Read
// without the locale, which the desktop's toolkit may have set.
// `value` as the decimal it stands for (its shortest form), not its binary expansion: -23.591
// rather than -23.590999603271484 in what a script reads.
double decimalOf(float value) {
  std::array<char, 32> text{};
  double number = static_cast<double>(value);
  const auto [end, error] = std::to_chars(text.data(), text.data() + text.size(), value);
  if (error == std::errc()) std::from_chars(text.data(), end, number);
  return number;
}

std::optional<double> shownNumber(const Parameter& parameter, const Value& value) {
  const std::string text = parameter.formatValue(value, false);
  const char* first = text.data();
  const char* last = text.data() + text.size();
  if (first != last && *first == '+') ++first;
  double number = 0.0;
  const auto [end, error] = std::from_chars(first, last, number);
  if (error != std::errc() || end != last || first == last || !std::isfinite(number))
    return std::nullopt;
  return number;
}

// `number` as the keypad would type it: `decimals` places, no exponent, whatever the locale.
std::string typedNumber(double number, int decimals) {
  std::array<char, 64> text{};
  const auto [end, error] = std::to_chars(text.data(), text.data() + text.size(), number,
                                          std::chars_format::fixed, decimals);
  return error == std::errc() ? std::string(text.data(), end) : std::string();
}

bool numericType(ValueType type) {
  return type == ValueType::kInt || type == ValueType::kInt32 || type == ValueType::kFloat ||
         type == ValueType::kUInt32;
}

// The value of a named-value key in the parameter's type.
Value namedValue(const Parameter& parameter, float key) {
  switch (parameter.type()) {
    case ValueType::kFloat:
      return Value::ofFloat(quantizeFloat(key));
    case ValueType::kUInt32:
      return Value::ofUnsigned(static_cast<uint32_t>(std::llround(key)));
    default:
      return Value::ofInt(static_cast<int32_t>(std::lround(key)));
  }
}

// The range of a numeric parameter in display units, and one knob step.
void fillRange(const Parameter& parameter, PlantItem& out) {
  Value low;
  Value high;
  Value next;
  switch (parameter.type()) {
    case ValueType::kInt:
    case ValueType::kInt32:
      low = Value::ofInt(parameter.intMinimum());
      high = Value::ofInt(parameter.intMaximum());
      next = Value::ofInt(static_cast<int32_t>(std::min<int64_t>(
          int64_t{parameter.intMinimum()} + parameter.intStep(), parameter.intMaximum())));
      break;
    case ValueType::kUInt32:
      low = Value::ofUnsigned(static_cast<uint32_t>(parameter.intMinimum()));
      high = Value::ofUnsigned(static_cast<uint32_t>(parameter.intMaximum()));
      next = Value::ofUnsigned(static_cast<uint32_t>(
          std::min<uint64_t>(uint64_t{static_cast<uint32_t>(parameter.intMinimum())} +
                                 static_cast<uint32_t>(parameter.intStep()),
                             static_cast<uint32_t>(parameter.intMaximum()))));
      break;
    case ValueType::kFloat:
      low = Value::ofFloat(parameter.floatMinimum());
      high = Value::ofFloat(parameter.floatMaximum());
      next = Value::ofFloat(
          quantizeFloat(static_cast<double>(parameter.floatMinimum()) + parameter.floatStep()));
      break;
    default:
      return;
  }
  out.minimum = shownNumber(parameter, low);
  out.maximum = shownNumber(parameter, high);
  const std::optional<double> stepped = shownNumber(parameter, next);
  if (out.minimum && stepped) {
    const double step = std::fabs(*stepped - *out.minimum);
    // Two shown decimals apart by a step of a float parameter: its decimal, not the difference's
    // rounding noise (0.1, not 0.10000000000000142).
    out.step = parameter.type() == ValueType::kFloat ? decimalOf(static_cast<float>(step)) : step;
  }
}

const char* pageTypeText(PageType type) {
  switch (type) {
    case PageType::k8Up:
      return "8-up";
    case PageType::k4Up:
      return "4-up";
    case PageType::kCc:
      return "cc";
    case PageType::kLm:
      return "lm";
  }
  return "";
}

std::optional<double> level(float db) {
  if (!std::isfinite(db) || db <= kNoSignalDb) return std::nullopt;
  return decimalOf(db);
}

std::optional<double> tenthsLevel(int16_t tenths) {
  if (tenths == kTenthsNoData) return std::nullopt;
  return tenths / 10.0;
}

// An error record in the words of a report's row: its type, when it began, its worst value.
std::string errorText(const LoudnessError& error) {
  std::string text = std::string(errorTypeName(error.type)) + " at " + error.startDateTime;
  if (!error.startTimecode.empty()) text += " (" + error.startTimecode + ")";
  const double worst = static_cast<double>(error.worst);
  switch (error.type) {
    case ErrorType::kPeak:
      text += formattedText(", worst %.1f dBTP", worst);
      break;
    case ErrorType::kHigh:
    case ErrorType::kLow:
      text += formattedText(", worst %.1f LUFS", worst);
      break;
    case ErrorType::kDialnormHigh:
    case ErrorType::kDialnormLow:
      text += formattedText(", dialnorm %.0f dB", worst);
      break;
    default:
      break;
  }
  return text;
}

// The link of the item's first target, the one the panel draws.
LinkStatus itemStatus(const PageItem& item) {
  if (item.targets.empty() || item.targets.front() == nullptr) return LinkStatus::kUnused;
  return item.targets.front()->status();
}

}  // namespace

// ---- [names] --------------------------------------------------------------------------------

const char* sessionStateText(SessionState state) {
  switch (state) {
    case SessionState::kStopped:
      return "stopped";
    case SessionState::kRunning:
      return "running";
    case SessionState::kPaused:
      return "paused";
    case SessionState::kWaiting:
      return "waiting";
    case SessionState::kBusy:
      return "busy";
  }
  return "";
}

std::string linkText(LinkStatus status) {
  switch (status) {
    case LinkStatus::kLive:
      return "Live";
    case LinkStatus::kConnecting:
      return "Connecting";
    case LinkStatus::kUnused:
      return "Unused";
    default:
      return linkStatusName(status);
  }
}

// ---- [items] --------------------------------------------------------------------------------

std::optional<Value> plantValue(const PageItem& item, const std::optional<double>& number,
                                const std::optional<std::string>& text) {
  if (item.parameter == nullptr) return std::nullopt;
  const Parameter& parameter = *item.parameter;
  if (text) {
    // A name as the knob would show it, before what the keypad would type.
    const std::string wanted = lowerCaseCopy(*text);
    if (parameter.type() == ValueType::kChoice) {
      for (const Item* entry : parameter.choices().items()) {
        if (lowerCaseCopy(entry->shortName()) == wanted ||
            lowerCaseCopy(entry->longName()) == wanted)
          return Value::ofInt(entry->value());
      }
    }
    if (numericType(parameter.type())) {
      for (const auto& [key, name] : parameter.namedValues().entries()) {
        if (lowerCaseCopy(name) == wanted) return namedValue(parameter, key);
      }
    }
    return parameter.parseValue(*text);
  }
  if (!number || !std::isfinite(*number) || std::fabs(*number) > kLargestNumber)
    return std::nullopt;
  switch (parameter.type()) {
    case ValueType::kInt:
    case ValueType::kInt32:
    case ValueType::kUInt32:
    case ValueType::kChoice:  // the entry's number, as the keypad types it
      if (std::floor(*number) != *number) return std::nullopt;
      return parameter.parseValue(typedNumber(*number, 0));
    case ValueType::kFloat:
      return parameter.parseValue(typedNumber(*number, 5));
    default:
      return std::nullopt;
  }
}

PlantItem itemShape(const PageItem& item) {
  PlantItem out;
  out.index = item.index + 1;
  if (item.parameter == nullptr) return out;
  const Parameter& parameter = *item.parameter;
  out.name = item.displayName.empty() ? parameter.name() : item.displayName;
  out.unit = parameter.unit();
  if (parameter.type() == ValueType::kChoice) {
    for (const Item* entry : parameter.choices().items())
      out.choices.push_back(entry->shortName());
  } else if (numericType(parameter.type())) {
    for (const auto& [key, name] : parameter.namedValues().entries())
      out.choices.push_back(name);
    fillRange(parameter, out);
  }
  return out;
}

void fillItemValue(const PageItem& item, PlantItem& out) {
  if (item.parameter == nullptr) return;
  const Parameter& parameter = *item.parameter;
  out.shown = shownLine(item);
  // The global settings lock some parameters while measuring, so this one is looked at anew.
  out.writable = !parameter.readOnly() && !item.setValue.valid && !item.targets.empty();
  out.linkUp = itemStatus(item) == LinkStatus::kLive;
  out.number.reset();
  out.choice.reset();
  // The value the card last sent (a staged one shows in `shown` only).
  if (!out.linkUp) return;
  const Value value = item.targets.front()->receivedValue();
  if (!value.valid) return;
  if (parameter.type() == ValueType::kChoice) {
    std::string name = parameter.formatValue(value, false);
    if (!name.empty()) out.choice = std::move(name);
  } else if (numericType(parameter.type())) {
    out.number = shownNumber(parameter, value);
    std::string name = parameter.namedValueFor(value);
    if (!name.empty()) out.choice = std::move(name);
  }
}

PlantItem plantItem(const PageItem& item) {
  PlantItem out = itemShape(item);
  fillItemValue(item, out);
  return out;
}

// ---- [requests] -----------------------------------------------------------------------------

PlantPublisher::PlantPublisher(PlantBridge& bridge, DeviceList& devices, HostGroup& client,
                               LoudnessRegistry& registry, std::string reportsFolder)
    : bridge_(bridge),
      devices_(devices),
      client_(client),
      registry_(registry),
      reportsFolder_(std::move(reportsFolder)) {}

PlantPublisher::~PlantPublisher() {
  // The run ends (a restart, or the program): no set waiting now can be answered later.
  for (PendingSet& set : sets_) {
    for (Target* target : set.item->targets)
      target->watch(false);
    send(set.pending, refusal(Answer::kUnavailable, "The engine stopped before the card answered"));
  }
}

void PlantPublisher::serveRequests(uint32_t loopTick) {
  if (bridge_.hasRequests()) {
    for (PlantBridge::Pending& pending : bridge_.takeRequests())
      answer(pending, loopTick);
  }
  if (!sets_.empty()) settleSets(loopTick);
}

void PlantPublisher::answer(PlantBridge::Pending& pending, uint32_t loopTick) {
  switch (pending.request.kind) {
    case PlantRequest::Kind::kSetItem:
      setItem(pending, loopTick);
      return;
    case PlantRequest::Kind::kStartSession:
    case PlantRequest::Kind::kStopSession:
    case PlantRequest::Kind::kPauseSession:
    case PlantRequest::Kind::kClearSession:
      sessionCommand(pending);
      return;
  }
  send(pending, refusal(Answer::kRefused, "Unknown request"));
}

void PlantPublisher::setItem(PlantBridge::Pending& pending, uint32_t loopTick) {
  const PlantRequest& request = pending.request;
  const Device* device = devices_.device(request.device);
  if (device == nullptr)
    return send(pending, refusal(Answer::kNotFound, formattedText("No device %d", request.device)));
  const Page* page = device->page(request.page);
  if (page == nullptr)
    return send(pending, refusal(Answer::kNotFound, formattedText("Device %d has no page %d",
                                                                  request.device, request.page)));
  const PageItem* item = request.item >= 1 ? page->item(request.item - 1) : nullptr;
  if (item == nullptr || item->parameter == nullptr)
    return send(pending, refusal(Answer::kNotFound, formattedText("Page %d has no item %d",
                                                                  request.page, request.item)));
  const Parameter& parameter = *item->parameter;
  if (parameter.readOnly())
    return send(pending, refusal(Answer::kConflict, parameter.name() + " is read-only"));
  if (item->setValue.valid)
    return send(pending, refusal(Answer::kConflict,
                                 parameter.name() + " is a preset: it only stores its own value"));
  if (item->targets.empty())
    return send(pending, refusal(Answer::kConflict, parameter.name() + " reaches no card"));
  if (!request.number && !request.text)
    return send(pending, refusal(Answer::kRefused, "No value given"));

  const std::optional<Value> value = plantValue(*item, request.number, request.text);
  if (!value) {
    PlantItem now = plantItem(*item);
    std::string range;
    if (now.minimum && now.maximum)
      range = formattedText(" (%g .. %g%s%s)", *now.minimum, *now.maximum,
                            now.unit.empty() ? "" : " ", now.unit.c_str());
    else if (!now.choices.empty())
      range = " (one of its " + integerText(static_cast<int32_t>(now.choices.size())) + " names)";
    // What the client sent comes back cut short: it may be anything.
    const std::string given = request.text ? "\"" + cutText(*request.text, kMostEchoedBytes) + "\""
                                           : formattedText("%g", *request.number);
    return send(pending, refusal(Answer::kRefused,
                                 given + " is not a value of " + parameter.name() + range));
  }
  // As a knob entry does: staged on every card of the item, sent at this pass's flush. The
  // targets stay watched until the answer, so a card behind a page not on show connects and
  // sends the value back.
  for (Target* target : item->targets) {
    target->watch(true);
    target->setValue(*value);
  }
  sets_.push_back({std::move(pending), page, item, *value, loopTick});
}

void PlantPublisher::settleSets(uint32_t loopTick) {
  for (auto set = sets_.begin(); set != sets_.end();) {
    const ValueType type = set->item->parameter->type();
    const bool acknowledged =
        std::all_of(set->item->targets.begin(), set->item->targets.end(), [&](const Target* t) {
          const Value held = t->receivedValue();
          return held.valid && valuesEqual(held, set->value, type);
        });
    if (!acknowledged && loopTick - set->since < kSetAnswerWaitMs) {
      ++set;
      continue;
    }
    PlantReply reply;
    reply.item = plantItem(*set->item);
    reply.acknowledged = acknowledged;
    if (!acknowledged && !reply.item->linkUp) {
      reply.status = static_cast<int>(Answer::kUnavailable);
      reply.error =
          "The card did not send the value back; its link: " + linkText(itemStatus(*set->item));
    }
    for (Target* target : set->item->targets)
      target->watch(false);
    send(set->pending, std::move(reply));
    set = sets_.erase(set);
  }
}

void PlantPublisher::sessionCommand(PlantBridge::Pending& pending) {
  const int32_t id = pending.request.monitor;
  const std::vector<LoudnessMonitor*>& monitors = registry_.monitors();
  if (id < 1 || static_cast<size_t>(id) > monitors.size())
    return send(pending, refusal(Answer::kNotFound, formattedText("No loudness monitor %d", id)));
  LoudnessMonitor& monitor = *monitors[static_cast<size_t>(id - 1)];
  LoudnessContext& session = monitor.context();
  const SessionState state = session.record().state;
  const std::string now = std::string("The session is ") + sessionStateText(state);
  // The session's own commands keep these rules silently; the plant is told why.
  switch (pending.request.kind) {
    case PlantRequest::Kind::kStartSession:
      if (state == SessionState::kRunning || state == SessionState::kBusy)
        return send(pending, refusal(Answer::kConflict, now));
      if (session.record().status != LinkStatus::kLive)
        return send(pending, refusal(Answer::kConflict, "The card sends no loudness data: " +
                                                            linkText(session.record().status)));
      session.start();
      break;
    case PlantRequest::Kind::kStopSession:
      if (state == SessionState::kStopped) return send(pending, refusal(Answer::kConflict, now));
      session.stop();
      break;
    case PlantRequest::Kind::kPauseSession:
      if (state != SessionState::kRunning) return send(pending, refusal(Answer::kConflict, now));
      session.pause();
      break;
    case PlantRequest::Kind::kClearSession:
      if (state != SessionState::kStopped)
        return send(pending, refusal(Answer::kConflict, now + "; only a stopped one clears"));
      session.clear();
      break;
    case PlantRequest::Kind::kSetItem:
      break;
  }
  PlantReply reply;
  reply.monitor = plantMonitor(monitor, id);
  send(pending, std::move(reply));
}

// ---- [status] -------------------------------------------------------------------------------

void PlantPublisher::publishIfDue(uint32_t loopTick, const Page* onShow) {
  onShow_ = onShow;
  uint32_t parts = bridge_.takeWanted();
  std::vector<int32_t> deviceNumbers;
  if (parts & PlantBridge::kSomeDevices) deviceNumbers = bridge_.takeWantedDevices();
  // Numbers asked for while the last pass took them leave the bit with none behind it.
  if (deviceNumbers.empty()) parts &= ~uint32_t{PlantBridge::kSomeDevices};
  if (bridge_.watchers() > 0 && (!lastWatchedPublication_ || loopTick - *lastWatchedPublication_ >=
                                                                 PlantBridge::kWatchIntervalMs))
    parts |= PlantBridge::kStatus;
  if (parts == 0) return;
  // Any publication carries the status, so the watchers' interval counts from it.
  lastWatchedPublication_ = loopTick;
  bridge_.publish(snapshot(parts, std::move(deviceNumbers)));
}

std::shared_ptr<PlantSnapshot> PlantPublisher::snapshot(uint32_t parts,
                                                        std::vector<int32_t> deviceNumbers) {
  // Every device's shape at once took 60 ms of one pass for a plant of 999 devices: they are
  // made a few a pass, and the whole list leaves with the pass that makes the last.
  if ((parts & PlantBridge::kDevices) && !shapeAllDevices()) {
    parts &= ~uint32_t{PlantBridge::kDevices};
    bridge_.want(PlantBridge::kDevices);
  }
  auto snapshot = std::make_shared<PlantSnapshot>();
  snapshot->parts = parts | PlantBridge::kStatus;
  // A snapshot of every device needs no list of numbers.
  if ((parts & PlantBridge::kSomeDevices) && !(parts & PlantBridge::kDevices))
    snapshot->deviceNumbers = std::move(deviceNumbers);
  else
    snapshot->parts &= ~uint32_t{PlantBridge::kSomeDevices};
  fillCards(*snapshot);
  fillMonitors(*snapshot);
  fillLiveItems(*snapshot);
  if (parts & PlantBridge::kDevices) fillDevices(*snapshot);
  if (snapshot->parts & PlantBridge::kSomeDevices) fillSomeDevices(*snapshot);
  if (parts & PlantBridge::kReports) fillReports(*snapshot);
  return snapshot;
}

void PlantPublisher::fillCards(PlantSnapshot& snapshot) {
  // Cards are added while the run goes on (a target asked for, a monitor), never removed: the
  // addresses and names are written again only when the count changes.
  size_t count = 0;
  for (const std::unique_ptr<Host>& host : client_.hosts())
    count += host->cards().size();
  if (count != cardShapes_.size()) {
    cardShapes_.clear();
    publishedCards_.reset();
    for (const std::unique_ptr<Host>& host : client_.hosts()) {
      for (const auto& [key, card] : host->cards()) {
        PlantCard shape;
        shape.address = ipv4Text(host->address()) + " " + integerText(card->slot());
        if (card->secondary()) shape.address += " secondary-channels";
        shape.name = card->name();
        cardShapes_.emplace_back(card.get(), std::move(shape));
      }
    }
  }
  // A card nothing watches is not asked for anything, so its host's link says nothing of it.
  const auto linkOf = [](Card& card) {
    return std::pair{card.active() ? card.status() : LinkStatus::kInactive, card.active()};
  };
  // Copying thousands of cards into every publication cost the engine's pass up to a few ms
  // (the copies' allocations): the last list is handed on while every link reads as it did.
  bool same = publishedCards_ != nullptr;
  for (size_t i = 0; same && i < cardShapes_.size(); ++i)
    same = linkOf(*cardShapes_[i].first) == publishedLinks_[i];
  if (!same) {
    auto cards = std::make_shared<std::vector<PlantCard>>();
    cards->reserve(cardShapes_.size());
    publishedLinks_.clear();
    for (const auto& [card, shape] : cardShapes_) {
      const auto [status, watched] = publishedLinks_.emplace_back(linkOf(*card));
      PlantCard& out = cards->emplace_back(shape);
      out.link = linkText(status);
      out.linkUp = status == LinkStatus::kLive;
      out.watched = watched;
    }
    publishedCards_ = std::move(cards);
  }
  snapshot.cards = publishedCards_;
}

void PlantPublisher::fillLiveItems(PlantSnapshot& snapshot) {
  const auto add = [&](const Page& page, const PageItem& item) {
    // The panel's own device is not one of the plant's.
    if (item.parameter == nullptr || page.device() == nullptr || page.device()->number() == 0)
      return;
    for (const PlantLiveItem& live : snapshot.liveItems) {
      if (live.device == page.device()->number() && live.page == page.number() &&
          live.item.index == item.index + 1)
        return;
    }
    snapshot.liveItems.push_back({page.device()->number(), page.number(), plantItem(item)});
  };
  if (onShow_ != nullptr) {
    for (const PageItem& item : onShow_->items())
      add(*onShow_, item);
  }
  for (const PendingSet& set : sets_)
    add(*set.page, *set.item);
}

void PlantPublisher::fillMonitors(PlantSnapshot& snapshot) {
  const std::vector<LoudnessMonitor*>& monitors = registry_.monitors();
  if (tallies_.size() > monitors.size()) tallies_.clear();
  snapshot.monitors.reserve(monitors.size());
  for (size_t i = 0; i < monitors.size(); ++i) {
    const LoudnessMonitor& monitor = *monitors[i];
    snapshot.monitors.push_back(plantMonitor(monitor, static_cast<int32_t>(i + 1)));
    snapshot.droppedLoudnessMessages +=
        monitor.context().lostMessages() + monitor.undecodedPayloads();
  }
}

PlantMonitor PlantPublisher::plantMonitor(const LoudnessMonitor& monitor, int32_t id) {
  const LoudnessContext& session = monitor.context();
  const SessionRecord& record = session.record();
  PlantMonitor out;
  out.id = id;
  out.name = record.sessionName;
  out.device = record.deviceName;
  // The levels of the moment are old once the card stops sending; the session's own figures
  // stay what it measured.
  if (record.dataSeen && !record.dataStale) {
    out.momentary = level(record.momentaryLoudness);
    if (record.shortTermValid) out.shortTerm = level(record.shortTermLoudness);
  }
  out.integrated = tenthsLevel(session.integratedTenths());
  out.range = tenthsLevel(session.rangeTenths());
  if (record.maxPeakSeen) out.truePeak = level(record.maxTruePeak);
  out.target = decimalOf(session.mode().target);
  out.truePeakLimit = decimalOf(session.settings().peakThreshold);
  out.state = sessionStateText(record.state);
  out.endReason = record.endReason;
  out.runningSeconds = record.runningTicks / 10.0;
  out.secondsWithoutData = record.noDataTicks / 10.0;
  out.linkUp = record.status == LinkStatus::kLive;
  out.noData = record.dataStale;

  // Only the records added since the last look are counted; a cleared or loaded session starts
  // the count again.
  ErrorTally& tally = tallies_[&monitor];
  const std::vector<std::unique_ptr<LoudnessError>>& errors = record.errors;
  const void* first = errors.empty() ? nullptr : errors.front().get();
  if (errors.size() < tally.counted || (tally.counted > 0 && first != tally.first))
    tally = ErrorTally{};
  for (size_t e = tally.counted; e < errors.size(); ++e) {
    const auto type = static_cast<size_t>(errors[e]->type);
    if (type < tally.byType.size()) ++tally.byType[type];
  }
  tally.counted = errors.size();
  tally.first = first;
  out.errorSequence = errors.size();
  for (size_t type = 0; type < tally.byType.size(); ++type) {
    const uint64_t merged = record.mergedErrors[type];
    out.errorSequence += merged;
    if (tally.byType[type] + merged > 0)
      out.errors.emplace_back(errorTypeName(static_cast<ErrorType>(type)),
                              tally.byType[type] + merged);
  }
  if (!errors.empty()) out.lastError = errorText(*errors.back());
  return out;
}

// ---- [devices and reports] ------------------------------------------------------------------

void PlantPublisher::indexDevices() {
  // The list is fixed once the engine runs; the panel's own device joins it before.
  listedNumbers_.clear();
  listedDevices_.clear();
  for (const auto& [number, device] : devices_.devices()) {
    listedNumbers_.push_back(number);
    listedDevices_.push_back(device.get());
  }
  deviceShapes_.assign(listedNumbers_.size(), PlantDevice{});
  deviceCards_.assign(listedNumbers_.size(), {});
  shaped_.assign(listedNumbers_.size(), false);
  nextShape_ = 0;
}

const PlantDevice& PlantPublisher::shapeOf(size_t position) {
  if (shaped_[position]) return deviceShapes_[position];
  // What stays for the run: names, ranges, choices, and the cards the device reaches.
  const Device& device = *listedDevices_[position];
  PlantDevice& out = deviceShapes_[position];
  std::vector<Card*>& cards = deviceCards_[position];
  out.number = listedNumbers_[position];
  out.name = device.longName();
  for (const auto& [pageNumber, page] : device.pages()) {
    PlantPage outPage;
    outPage.number = pageNumber;
    outPage.name = page->longName();
    outPage.type = pageTypeText(page->type());
    for (const PageItem& item : page->items()) {
      if (item.parameter == nullptr) continue;
      outPage.items.push_back(itemShape(item));
      for (Target* target : item.targets) {
        auto* hard = dynamic_cast<HardTarget*>(target);
        if (hard != nullptr && std::find(cards.begin(), cards.end(), &hard->card()) == cards.end())
          cards.push_back(&hard->card());
      }
    }
    out.pages.push_back(std::move(outPage));
  }
  shaped_[position] = true;
  return out;
}

bool PlantPublisher::shapeAllDevices() {
  if (listedNumbers_.size() != devices_.devices().size()) indexDevices();
  // Devices read one by one may be shaped already, ahead of the list's place.
  for (size_t budget = kShapesPerPass; nextShape_ < shaped_.size() && budget > 0; ++nextShape_) {
    if (shaped_[nextShape_]) continue;
    shapeOf(nextShape_);
    --budget;
  }
  return nextShape_ == shaped_.size();
}

void PlantPublisher::fillDevices(PlantSnapshot& snapshot) {
  // Only the values and links are new; the shapes are made once.
  snapshot.devices.reserve(deviceShapes_.size());
  for (size_t d = 0; d < deviceShapes_.size(); ++d)
    fillDevice(*listedDevices_[d], d, snapshot.devices.emplace_back(deviceShapes_[d]));
}

void PlantPublisher::fillSomeDevices(PlantSnapshot& snapshot) {
  // A read of one device costs that device, not the plant: it is found by a search of the
  // numbers, and shaped on its first read.
  if (listedNumbers_.size() != devices_.devices().size()) indexDevices();
  for (const int32_t number : snapshot.deviceNumbers) {
    const auto found = std::lower_bound(listedNumbers_.begin(), listedNumbers_.end(), number);
    if (found == listedNumbers_.end() || *found != number) continue;
    const auto position = static_cast<size_t>(found - listedNumbers_.begin());
    const PlantDevice& shape = shapeOf(position);
    fillDevice(*listedDevices_[position], position, snapshot.devices.emplace_back(shape));
  }
}

void PlantPublisher::fillDevice(const Device& device, size_t shape, PlantDevice& out) {
  size_t p = 0;
  for (const auto& [pageNumber, page] : device.pages()) {
    std::vector<PlantItem>& items = out.pages[p++].items;
    size_t i = 0;
    for (const PageItem& item : page->items()) {
      if (item.parameter != nullptr) fillItemValue(item, items[i++]);
    }
  }
  LinkStatus status = LinkStatus::kLive;
  for (Card* card : deviceCards_[shape]) {
    status = card->status();
    if (status != LinkStatus::kLive) break;
  }
  out.link = linkText(status);
  out.linkUp = status == LinkStatus::kLive;
}

void PlantPublisher::fillReports(PlantSnapshot& snapshot) {
  // A look at the folder costs milliseconds with a thousand reports: it is taken at most once
  // per interval, however often the reports are asked for.
  const uint32_t now = client_.loopTime();
  if (!lastReportScan_ || now - *lastReportScan_ >= kReportScanIntervalMs) {
    lastReportScan_ = now;
    reports_ = scanReports();
  }
  snapshot.reports = reports_;
}

std::vector<PlantReport> PlantPublisher::scanReports() const {
  namespace fs = std::filesystem;
  struct Found {
    fs::file_time_type modified;
    PlantReport report;
  };
  std::vector<Found> found;
  std::error_code error;
  const fs::path folder(reportsFolder_);
  fs::recursive_directory_iterator entry(folder, fs::directory_options::skip_permission_denied,
                                         error);
  size_t scanned = 0;
  for (; !error && entry != fs::recursive_directory_iterator() && scanned < kMostScannedEntries;
       entry.increment(error), ++scanned) {
    std::error_code fileError;
    if (!entry->is_regular_file(fileError)) continue;
    Found file;
    file.modified = entry->last_write_time(fileError);
    if (fileError) continue;
    file.report.file = entry->path().lexically_relative(folder).generic_string();
    file.report.session = file.report.file.substr(0, file.report.file.find('/'));
    file.report.bytes = entry->file_size(fileError);
    if (fileError) continue;
    file.report.modified = std::chrono::duration_cast<std::chrono::seconds>(
                               std::chrono::file_clock::to_sys(file.modified).time_since_epoch())
                               .count();
    found.push_back(std::move(file));
  }
  const auto newest = [](const Found& a, const Found& b) { return a.modified > b.modified; };
  const size_t kept = std::min(found.size(), kMostReports);
  std::partial_sort(found.begin(), found.begin() + static_cast<std::ptrdiff_t>(kept), found.end(),
                    newest);
  std::vector<PlantReport> reports;
  reports.reserve(kept);
  for (size_t i = 0; i < kept; ++i)
    reports.push_back(std::move(found[i].report));
  return reports;
}

}  // namespace qelm
