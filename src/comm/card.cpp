#include "comm/card.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>

#include "comm/client.h"
#include "comm/hard_target.h"
#include "comm/monitor.h"
#include "comm/server.h"
#include "comm/virtual_target.h"
#include "core/log.h"
#include "model/model.h"
#include "model/parameter.h"

namespace qelm {

namespace {

bool isFromCard(Command command) {
  switch (command) {
    case Command::kNotification:
    case Command::kGetResponse:
    case Command::kSetResponse:
    case Command::kGetElementResponse:
    case Command::kSetElementResponse:
      return true;
    default:
      return false;
  }
}

bool isRequest(Command command) {
  switch (command) {
    case Command::kGet:
    case Command::kSet:
    case Command::kGetElement:
    case Command::kSetElement:
      return true;
    default:
      return false;
  }
}

bool isElementCommand(Command command) {
  return command == Command::kGetElement || command == Command::kSetElement ||
         command == Command::kGetElementResponse || command == Command::kSetElementResponse;
}

}  // namespace

Card::Card(Host& host, int32_t slot, bool secondary)
    : host_(host), slot_(slot), secondary_(secondary) {
  if (!addressable()) {
    logMessage(kLogWarning, "%s on %s cannot be addressed on the wire; it is never contacted\n",
               name().c_str(), host.name().c_str());
  }
}

Card::~Card() {
  // Targets leaving the watched set now must not reach back into a host being torn down.
  destroying_ = true;
  plain_.clear();
  arrays_.clear();
  monitors_.clear();
  locals_.clear();
  watched_.clear();
}

std::string Card::name() const {
  return "Card [" + std::to_string(slot_) + "]";
}

std::unique_ptr<HardTarget> Card::makeTarget(Parameter& parameter) {
  switch (group().kind()) {
    case GroupKind::kClient:
      return std::make_unique<ClientTarget>(*this, parameter);
    case GroupKind::kSimulator:
      return std::make_unique<ServerTarget>(*this, parameter);
    case GroupKind::kAuto:
      break;
  }
  const HardTargetFactory& factory = group().targetFactory();
  return factory ? factory(*this, parameter) : nullptr;
}

Target* Card::getTarget(Parameter& parameter) {
  switch (parameter.kind()) {
    case ParameterKind::kLocal: {
      if (group().kind() != GroupKind::kClient) return nullptr;
      std::unique_ptr<VirtualTarget>& local = locals_[parameter.name()];
      if (!local) local = std::make_unique<VirtualTarget>(parameter);
      return local.get();
    }
    case ParameterKind::kArrayElement: {
      const auto entry = arrays_.find(parameter.oid());
      if (entry != arrays_.end()) {
        const auto found = entry->second.targets.find(parameter.elementIndex());
        if (found != entry->second.targets.end()) return found->second.get();
      }
      break;
    }
    case ParameterKind::kOpenGear: {
      const auto found = plain_.find(parameter.oid());
      if (found != plain_.end()) return found->second.get();
      break;
    }
    default:
      throw std::string("Requested OID for non-OpenGear parameter");
  }

  std::unique_ptr<HardTarget> target = makeTarget(parameter);
  if (!target) return nullptr;
  HardTarget* made = target.get();
  // Automatic sets and periodic notifications need polling without anyone watching.
  if (group().kind() == GroupKind::kAuto ||
      (group().kind() == GroupKind::kSimulator && parameter.periodic() != 0)) {
    watch(*made, true);
  }

  if (parameter.kind() == ParameterKind::kArrayElement) {
    const uint16_t oid = parameter.oid();
    const uint16_t index = parameter.elementIndex();
    auto [entry, inserted] = arrays_.try_emplace(oid);
    if (inserted) entry->second.type = parameter.type();
    if (entry->second.type != parameter.type()) {
      logMessage(kLogInfo,
                 "Card 0x%08x, OID 0x%04x has mismatching array element types; ignoring index "
                 "%d\n",
                 static_cast<unsigned>(reinterpret_cast<uintptr_t>(this)), oid, index);
      return nullptr;  // `target` goes here, leaving the watched set if it joined
    }
    entry->second.targets.emplace(index, std::move(target));
  } else {
    plain_.emplace(parameter.oid(), std::move(target));
  }
  return made;
}

bool Card::isWatched(const HardTarget* target) const {
  return std::binary_search(watched_.begin(), watched_.end(), target);
}

void Card::insertWatched(HardTarget& target) {
  const auto at = std::lower_bound(watched_.begin(), watched_.end(), &target);
  if (at == watched_.end() || *at != &target) watched_.insert(at, &target);
  target.watched_ = true;
}

void Card::eraseWatched(HardTarget& target) {
  const auto at = std::lower_bound(watched_.begin(), watched_.end(), &target);
  if (at != watched_.end() && *at == &target) watched_.erase(at);
  target.watched_ = false;
}

void Card::watch(HardTarget& target, bool on) {
  if (on) {
    if (!active()) {
      host_.setCardActive(*this, true);
      lastReceived_ = group().loopTime();
    }
    insertWatched(target);
    host_.rescheduleCards();
  } else {
    eraseWatched(target);
    deactivateWhenIdle();
  }
}

void Card::forget(HardTarget& target) {
  eraseWatched(target);
  if (!destroying_) deactivateWhenIdle();
}

void Card::deactivateWhenIdle() {
  if (!active()) host_.setCardActive(*this, false);
}

LinkStatus Card::status() {
  LinkStatus status = host_.status();
  if (status == LinkStatus::kLive && group().kind() == GroupKind::kClient && lastReceived_ != 0 &&
      platform::elapsedMs(group().loopTime(), lastReceived_) >= group().cardTimeoutMs()) {
    status = LinkStatus::kNoCardInSlot;
  }
  cachedStatus_ = status;
  return status;
}

uint32_t Card::msUntilDue(uint32_t now) const {
  uint32_t due = std::numeric_limits<uint32_t>::max();
  for (const auto& [name, monitor] : monitors_)
    due = std::min(due, monitor->msUntilDue(now));
  for (const HardTarget* target : watched_)
    due = std::min(due, target->msUntilDue(now));
  // A card of a live frame that stays silent for the card time-out changes its status then.
  if (status_ == LinkStatus::kLive && group().kind() == GroupKind::kClient && lastReceived_ != 0)
    due = std::min(due, platform::msUntil(now, lastReceived_, group().cardTimeoutMs()));
  return due;
}

void Card::poll() {
  status_ = status();
  for (HardTarget* target : watched_)
    target->poll();
  for (auto& [name, monitor] : monitors_)
    monitor->poll();
  for (auto& [oid, entry] : arrays_)
    entry.requested = false;
}

void Card::takeWholeArray(ArrayEntry& entry, const ReceivedMessage& message) {
  // An error answer carries no array, whatever bytes follow its status.
  if (message.status != 0) return;
  entry.elements.clear();
  int position = 0;
  while (std::optional<Value> element = decodeArrayElement(message, entry.type, position))
    entry.elements.push_back(std::move(*element));
  for (auto& [index, target] : entry.targets)
    target->storeReceivedValue(index < entry.elements.size() ? entry.elements[index] : Value());
}

void Card::onMessage(const ReceivedMessage& message) {
  lastReceived_ = group().loopTime();
  const GroupKind kind = group().kind();
  const auto command = static_cast<Command>(message.command);
  if (isFromCard(command)) {
    if (kind == GroupKind::kAuto) return;
    if (kind == GroupKind::kClient) {
      if (!active()) return;
      if (command == Command::kGetResponse || command == Command::kSetResponse) {
        const auto entry = arrays_.find(message.oid);
        if (entry != arrays_.end()) {
          takeWholeArray(entry->second, message);
          return;
        }
      }
    }
  } else if (isRequest(command)) {
    if (kind != GroupKind::kSimulator) return;
  } else {
    return;
  }

  HardTarget* target = nullptr;
  if (isElementCommand(command)) {
    const auto entry = arrays_.find(message.oid);
    if (entry != arrays_.end()) {
      const auto found = entry->second.targets.find(message.element);
      if (found != entry->second.targets.end()) target = found->second.get();
    }
  } else {
    const auto found = plain_.find(message.oid);
    if (found != plain_.end()) target = found->second.get();
  }
  if (target && (kind == GroupKind::kSimulator || target->watched()))
    target->handleMessage(message);
  for (auto& [name, monitor] : monitors_)
    monitor->onMessage(message);
}

void Card::requestWholeArray(uint16_t oid) {
  const auto entry = arrays_.find(oid);
  if (entry == arrays_.end() || entry->second.requested) return;
  if (addressable()) send(std::make_unique<Message>(Side::kClient, Command::kGet, wireSlot(), oid));
  entry->second.requested = true;
}

void Card::setWholeArrayElement(const Value& value, uint16_t oid, uint16_t index) {
  const auto found = arrays_.find(oid);
  if (found == arrays_.end()) return;
  ArrayEntry& entry = found->second;
  if (index >= entry.elements.size()) return;
  if (valuesEqual(value, entry.elements[index], entry.type)) return;
  entry.elements[index] = value;
  auto message = std::make_unique<Message>(Side::kClient, Command::kSet, wireSlot(), oid);
  message->appendArray(entry.elements, entry.type);
  send(std::move(message));
}

void Card::realizeMonitors(const MonitorFactory& factory) {
  std::map<std::string, Model*> declared;
  for (const auto& [oid, target] : plain_) {
    Model* model = target->parameter().model();
    if (!model) continue;
    for (const std::string& name : model->monitorModules())
      declared.try_emplace(name, model);
  }
  logMessage(kLogInfo, "RealizeMonitors: card %s\n", name().c_str());
  if (declared.empty()) return;
  if (!host_.activeCards().contains(this)) lastReceived_ = group().loopTime();
  host_.setCardActive(*this, true);
  if (!factory) return;
  for (const auto& [name, model] : declared) {
    std::unique_ptr<Monitor> monitor = factory(name, *model, *this);
    if (monitor) monitors_[name] = std::move(monitor);
  }
  host_.rescheduleCards();
}

void Card::addMonitor(const std::string& name, std::unique_ptr<Monitor> monitor) {
  if (!monitor) return;
  if (!host_.activeCards().contains(this)) {
    host_.setCardActive(*this, true);
    lastReceived_ = group().loopTime();
  }
  monitors_[name] = std::move(monitor);
  host_.rescheduleCards();
}

void Card::send(std::unique_ptr<Message> message) {
  // 16 + slot would wrap into another card's (or the panel's) address.
  if (!addressable()) return;
  host_.send(std::move(message));
}

}  // namespace qelm
