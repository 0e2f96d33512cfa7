#include "loudness/loudness_monitor.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <span>

#include "comm/card.h"
#include "comm/hard_target.h"
#include "comm/host.h"
#include "comm/virtual_target.h"
#include "core/log.h"
#include "loudness/loudness_registry.h"
#include "model/model.h"
#include "model/parameter.h"
#include "text/text.h"

namespace qelm {

namespace {

constexpr const char* kNameParameter = "lm-name";
constexpr uint32_t kMasterTickMs = 100;

// Characters a given session name may not carry (it becomes part of folder names).
std::string withoutNameCharacters(const std::string& name) {
  std::string out;
  for (const char c : name) {
    if (std::strchr("/\\?%*|\"'><", c) == nullptr || c == '\0') out.push_back(c);
  }
  return out;
}

HardTarget* plainTarget(const Card& card, uint16_t oid) {
  const auto found = card.plainTargets().find(oid);
  return found != card.plainTargets().end() ? found->second.get() : nullptr;
}

void putLong(uint8_t* at, uint32_t value) {
  at[0] = static_cast<uint8_t>(value >> 24);
  at[1] = static_cast<uint8_t>(value >> 16);
  at[2] = static_cast<uint8_t>(value >> 8);
  at[3] = static_cast<uint8_t>(value);
}

void putReal(uint8_t* at, double value) {
  const auto f = static_cast<float>(value);
  uint32_t bits = 0;
  std::memcpy(&bits, &f, sizeof bits);
  putLong(at, bits);
}

}  // namespace

bool isValidMonitorAction(const std::string& kind, const std::string& action) {
  if (lowerCaseCopy(kind) != "lm") return false;
  const std::string a = lowerCaseCopy(action);
  return a == "start" || a == "stop" || a == "pause" || a == "clear" || a == "toggle";
}

// ---- LoudnessMonitor ----------------------------------------------------------------------------

LoudnessMonitor::LoudnessMonitor(Card& card, Model& model, LoudnessRegistry& registry,
                                 std::string name, WallClock& wallClock,
                                 std::unique_ptr<LoudnessOutput> output)
    : card_(card),
      model_(model),
      registry_(registry),
      givenName_(std::move(name)),
      context_(card.name(), wallClock, std::move(output)) {
  for (uint16_t oid = kFirstWatchedOid; oid <= kLastWatchedOid; ++oid) {
    Parameter* parameter = model_.findByOid(oid);
    if (!parameter) {
      logMessage(kLogLoudness,
                 "Warning: Loudness Monitor: OID %d not found on associated Model \"%s\"", oid,
                 model_.name().c_str());
      continue;
    }
    Target* target = card_.getTarget(*parameter);
    if (!target) {
      logMessage(kLogLoudness, "Warning: Loudness Monitor: no target on card for OID %d", oid);
      continue;
    }
    target->watch(true);
  }
  // The session name follows "lm-name", so its value is kept current as well.
  if (Parameter* naming = model_.findByName(kNameParameter);
      naming && naming->type() == ValueType::kString &&
      naming->kind() == ParameterKind::kOpenGear) {
    if (Target* target = card_.getTarget(*naming)) target->watch(true);
  }
  updateMasterClock();
  registry_.add(*this);
  updateSessionName();
  // A command or setting given between polls (from a page, the registry or the API) is acted
  // on at the next pass, not when the card next expected work.
  context_.setWake([this] { card_.host().rescheduleCards(); });
  context_.setStateListener([this] { registry_.noteSessionChange(); });
}

LoudnessMonitor::~LoudnessMonitor() {
  // The card destroys its targets before its monitors: nothing here may touch them.
  registry_.remove(*this);
}

void LoudnessMonitor::updateMasterClock() {
  const uint32_t reading = card_.group().clock().tick();
  if (reading < lastReading_) ++wraps_;
  lastReading_ = reading;
  const uint64_t ms = (static_cast<uint64_t>(wraps_) << 32) + reading;
  const auto clock = static_cast<uint32_t>(ms / kMasterTickMs);
  if (clock < masterClock_) logMessage(kLogInfo, "rollover of master count\n");
  masterClock_ = clock;
}

void LoudnessMonitor::requestData() {
  if (lastRequest_ && masterClock_ - *lastRequest_ <= kRequestIntervalTicks) return;
  lastRequest_ = masterClock_;
  HardTarget* feature = plainTarget(card_, kFeatureOid);
  if (!feature || feature->parameter().type() != ValueType::kChoice) return;
  if (card_.polledStatus() != LinkStatus::kLive && card_.host().connected()) {
    // A staged value waits until the card counts as live, and a frame that has just come back
    // counts as live only once something arrives on the new socket, which a loudness card
    // sends only when asked: so ask on the socket at once instead of waiting.
    feature->sendValue(Value::ofInt(1));
    return;
  }
  feature->setValue(Value::ofInt(1));
}

void LoudnessMonitor::updateStatus() {
  const LinkStatus cardStatus = card_.status();
  const uint32_t now = card_.group().loopTime();
  const bool recent = lastAcceptedMs_ && now - *lastAcceptedMs_ < kFreshDataMs;
  const HardTarget* feature = plainTarget(card_, kFeatureOid);
  const bool featureError = feature != nullptr && feature->status() == LinkStatus::kMissingFeature;
  context_.setStatus(
      monitorStatus(cardStatus, recent, context_.record().lastPayloadType, featureError));
}

void LoudnessMonitor::poll() {
  requestData();
  updateMasterClock();
  updateStatus();
  // The name comes from a parameter that changes seldom and names reports and folders: a look
  // each master tick is soon enough, and spares every pass the lookups and the text's cleaning
  // (with many monitors, a tenth of an idle panel's time).
  if (!lastNameTick_ || *lastNameTick_ != masterClock_) {
    lastNameTick_ = masterClock_;
    updateSessionName();
  }
  const SessionRecord& record = context_.record();
  if (!becameCurrent_ && record.status == LinkStatus::kLive) {
    becameCurrent_ = true;
    if (record.state != SessionState::kRunning && context_.settings().autostart)
      context_.scheduleStart(masterClock_ + kAutostartDelayTicks);
  }
  context_.poll(masterClock_, card_.group().loopTime());
}

uint32_t LoudnessMonitor::msUntilDue(uint32_t now) const {
  // Requests, the session's name, the delayed start, the data log and the history's time are
  // timed in master ticks: the next one is due at the next tick.
  const uint64_t ms = (static_cast<uint64_t>(wraps_) << 32) + lastReading_;
  uint32_t due = kMasterTickMs - static_cast<uint32_t>(ms % kMasterTickMs);
  if (lastAcceptedMs_) due = std::min(due, platform::msUntil(now, *lastAcceptedMs_, kFreshDataMs));
  return std::min(due, context_.msUntilDue(now));
}

std::array<std::string, kMeterChannels> LoudnessMonitor::channelSources() const {
  std::array<std::string, kMeterChannels> sources;
  for (int i = 0; i < kMeterChannels; ++i) {
    const HardTarget* target = plainTarget(card_, static_cast<uint16_t>(kFirstSourceOid + i));
    if (!target) continue;
    const Value value = target->currentValue();
    if (value.valid) sources[static_cast<size_t>(i)] = value.text;
  }
  return sources;
}

void LoudnessMonitor::onMessage(const ReceivedMessage& message) {
  if (message.oid != kPayloadOid) return;
  updateMasterClock();
  context_.checkChannelSources(channelSources());
  const std::span<const uint8_t> payload(message.value.data(), message.count);
  const PayloadType type = classifyPayload(payload);
  if (type != PayloadType::kCurrent) {
    context_.rejectPayload(type);
    // A card that keeps sending what we cannot read is said once per run of such payloads, not
    // ten times a second: the flood would push every other line out of the log within minutes.
    // Whatever their type or length (a card changing the length must not defeat it); the
    // status tells which kind the latest was.
    if (!refusing_) {
      refusing_ = true;
      logMessage(kLogLoudness, "LM: Unsupported loudness message (type %d) (length %d)",
                 static_cast<int>(type), static_cast<int>(message.count));
    }
    return;
  }
  refusing_ = false;
  const std::optional<DecodedPayload> decoded = decodePayload(payload, card_.secondary());
  if (!decoded) {
    ++undecodedPayloads_;
    return;
  }
  const uint32_t now = card_.group().loopTime();
  context_.processPayload(*decoded, masterClock_, now);
  lastAcceptedMs_ = now;
  // The status follows the data at once rather than at the next poll.
  updateStatus();
}

void LoudnessMonitor::doAction(const std::string& action) {
  const std::string a = lowerCaseCopy(action);
  if (a == "start")
    context_.start();
  else if (a == "stop")
    context_.stop(false);
  else if (a == "pause")
    context_.pause();
  else if (a == "clear")
    context_.clear();
  else if (a == "toggle")
    context_.toggle();
  else
    logMessage(kLogLoudness, "Warning: unrecognized action \"%s\"\n", action.c_str());
}

std::string LoudnessMonitor::describe() const {
  return "LM " + card_.name();
}

// The target holding the card's "lm-name" value: a card parameter, or a local one that the
// configuration's card line sets.
const Target* LoudnessMonitor::nameTarget() const {
  const Parameter* naming = model_.findByName(kNameParameter);
  if (naming == nullptr || naming->type() != ValueType::kString) return nullptr;
  switch (naming->kind()) {
    case ParameterKind::kOpenGear:
      return plainTarget(card_, naming->oid());
    case ParameterKind::kLocal: {
      const auto found = card_.localTargets().find(naming->name());
      return found != card_.localTargets().end() ? found->second.get() : nullptr;
    }
    case ParameterKind::kArrayElement:
    case ParameterKind::kGlobal:
      break;
  }
  return nullptr;
}

std::string LoudnessMonitor::preferredName() {
  if (const Target* target = nameTarget()) {
    const Value value = target->currentValue();
    if (value.valid) {
      std::string name = fileNameText(value.text);
      if (!name.empty()) return name;
    }
  }
  std::string given = withoutNameCharacters(givenName_);
  if (!given.empty()) return given;
  return card_.secondary() ? card_.name() + "-secondary" : card_.name();
}

void LoudnessMonitor::setGivenName(std::string name) {
  givenName_ = std::move(name);
  updateSessionName();
}

void LoudnessMonitor::updateSessionName() {
  std::string name = preferredName();
  if (lastNameSource_ && *lastNameSource_ == name) return;
  lastNameSource_ = name;
  SessionRecord& record = context_.record();
  if (name == record.sessionName) return;
  if (registry_.nameInUse(name, this)) {
    // Session names name report folders: two sessions must never share one.
    if (!record.sessionName.empty()) return;
    name = card_.secondary() ? card_.name() + "-secondary" : card_.name();
    while (registry_.nameInUse(name, this))
      name += "+";
  }
  record.sessionName = name;
  registry_.noteSessionChange();
}

// ---- LoudnessSimulator --------------------------------------------------------------------------

std::array<uint8_t, kSimulatorPayloadSize> LoudnessSimulator::makePayload(uint32_t sequence,
                                                                          std::mt19937& random) {
  std::array<uint8_t, kSimulatorPayloadSize> p{};
  // Offsets of 0.0 to 4.9 dB in tenths above each range's bottom.
  const auto draw = [&random](double bottom) { return bottom + (random() % 50) / 10.0; };
  size_t at = 0;
  putLong(&p[at], 1);
  at += 4;
  putLong(&p[at], sequence);
  at += 4;
  at += 8;  // no timecode
  for (int i = 0; i < 8; ++i, at += 4)
    putReal(&p[at], std::pow(10.0, draw(-15.0) / 20.0));
  for (int i = 0; i < 8; ++i, at += 4)
    putReal(&p[at], std::pow(10.0, draw(-20.0) / 20.0));
  for (int i = 0; i < 6; ++i, at += 4)
    putReal(&p[at], std::pow(10.0, (draw(-30.0) + 0.691) / 10.0));
  putReal(&p[at], std::pow(10.0, (draw(-20.0) + 0.691) / 10.0));
  at += 4;
  p[at + 3] = 20;  // dialnorm 20
  return p;
}

uint32_t LoudnessSimulator::msUntilDue(uint32_t now) const {
  return lastSent_ ? platform::msUntil(now, *lastSent_, kIntervalMs) : 0;
}

void LoudnessSimulator::poll() {
  const uint32_t now = card_.group().loopTime();
  if (lastSent_ && now - *lastSent_ < kIntervalMs) return;
  lastSent_ = now;
  const auto payload = makePayload(++sequence_, card_.group().random());
  auto message = std::make_unique<Message>(Side::kServer, Command::kGetResponse, card_.wireSlot(),
                                           kPayloadOid);
  message->appendBytes(payload.data(), static_cast<int>(payload.size()));
  card_.send(std::move(message));
}

std::string LoudnessSimulator::describe() const {
  return "LM simulator " + card_.name();
}

MonitorFactory loudnessMonitorFactory(LoudnessRegistry& registry,
                                      std::optional<ReportLocations> reports) {
  // Data files left by a crash are looked for once, as the report side is set up.
  if (reports) recoverDataFiles(reports->reportDirectory);
  return [&registry, reports](const std::string& name, Model& model,
                              Card& card) -> std::unique_ptr<Monitor> {
    if (name != "lm") return nullptr;
    switch (card.group().kind()) {
      case GroupKind::kClient:
        return std::make_unique<LoudnessMonitor>(
            card, model, registry, "", systemWallClock(),
            reports ? std::make_unique<FileLoudnessOutput>(*reports) : nullptr);
      case GroupKind::kSimulator:
        return std::make_unique<LoudnessSimulator>(card);
      case GroupKind::kAuto:
        break;
    }
    return nullptr;
  };
}

}  // namespace qelm
