#include "comm/host.h"

#include "comm/card.h"
#include "comm/client.h"
#include "comm/server.h"
#include "core/log.h"
#include "model/parameter.h"
#include "platform/socket.h"

namespace qelm {

// --- Host ------------------------------------------------------------------------------------

bool Host::CardOrder::operator()(const Card* a, const Card* b) const {
  if (a->slot() != b->slot()) return a->slot() < b->slot();
  return a->secondary() < b->secondary();
}

Host::Host(HostGroup& group, uint32_t address)
    : group_(group), address_(address), sequence_(group.nextSequence_++) {}

Host::~Host() {
  destroyCards();
}

void Host::destroyCards() {
  activeCards_.clear();
  cards_.clear();
}

void Host::setCardActive(Card& card, bool on) {
  if (on) {
    activeCards_.insert(&card);
  } else {
    activeCards_.erase(&card);
  }
}

void Host::poll() {
  for (Card* card : activeCards_)
    card->poll();
}

void Host::pollCards(uint32_t now) {
  rescheduled_ = false;
  uint32_t dueIn = kLongestCardWaitMs;
  for (Card* card : activeCards_) {
    card->poll();
    dueIn = std::min(dueIn, card->msUntilDue(now));
  }
  cardsPolledAt_ = now;
  // A card's poll may have staged a value or reached another card: look again at once.
  cardsDueInMs_ = rescheduled_ ? 0 : dueIn;
  rescheduled_ = false;
}

Card* Host::findCard(int32_t slot, bool secondary, bool create) {
  const CardKey key{slot, secondary};
  const auto found = cards_.find(key);
  if (found != cards_.end()) return found->second.get();
  if (!create) return nullptr;
  auto card = std::make_unique<Card>(*this, slot, secondary);
  Card* made = card.get();
  cards_.emplace(key, std::move(card));
  return made;
}

void Host::deliver(const ReceivedMessage& message) {
  const std::optional<uint8_t> slot = messageSlot(message, group_.kind() == GroupKind::kSimulator);
  if (!slot) return;
  Card* primary = findCard(*slot, false, false);
  Card* secondary = findCard(*slot, true, false);
  if (primary) primary->onMessage(message);
  if (secondary) secondary->onMessage(message);
  // What a frame sends changes the times and statuses its cards' polls look at; a simulated
  // card answers requests here and has nothing more to do for them.
  if ((primary || secondary) && group_.kind() != GroupKind::kSimulator) rescheduleCards();
}

std::string Host::name() const {
  return "Host [" + platform::addressText(address_) + "]";
}

// --- HostGroup -------------------------------------------------------------------------------

bool HostGroup::HostOrder::operator()(const Host* a, const Host* b) const {
  return a->sequence() < b->sequence();
}

HostGroup::HostGroup(std::string name, GroupKind kind, platform::Clock& clock, std::mt19937& random)
    : name_(std::move(name)),
      kind_(kind),
      clock_(clock),
      random_(random),
      loopTime_(clock.tick()) {}

HostGroup::~HostGroup() {
  activeHosts_.clear();
  for (auto& host : hosts_)
    host.reset();
}

Host& HostGroup::findOrCreateHost(uint32_t address) {
  const auto found = byAddress_.find(address);
  if (found != byAddress_.end()) return *found->second;
  std::unique_ptr<Host> host;
  if (kind_ == GroupKind::kSimulator) {
    host = std::make_unique<ServerHost>(*this, address);
  } else {
    host = std::make_unique<ClientHost>(*this, address);
  }
  Host& made = *host;
  hosts_.push_back(std::move(host));
  byAddress_.emplace(address, &made);
  return made;
}

Target* HostGroup::getTarget(const CardAddress& address, Parameter& parameter) {
  Host& host = findOrCreateHost(address.address);
  Card* card = host.findCard(address.slot, address.secondaryChannels, true);
  return card->getTarget(parameter);
}

void HostGroup::realizeMonitors(const MonitorFactory& factory) {
  for (const auto& host : hosts_) {
    logMessage(kLogInfo, "RealizeMonitors: host %s\n", host->name().c_str());
    for (const auto& [key, card] : host->cards())
      card->realizeMonitors(factory);
  }
}

void HostGroup::poll(uint32_t loopTime, const platform::SocketWatch* watch) {
  loopTime_ = loopTime;
  watch_ = watch;
  for (Host* host : walk())
    host->poll();
  watch_ = nullptr;
}

void HostGroup::watchSockets(platform::SocketWatch& watch) {
  for (Host* host : walk())
    host->watchSockets(watch);
}

void HostGroup::flush() {
  // Sending cannot stage again, so the list is stable while it is walked.
  for (StagedValue* target : staged_)
    target->sendStaged();
  staged_.clear();
  for (Host* host : walk())
    host->flush();
}

void HostGroup::addActiveHost(Host& host) {
  activeHosts_.insert(&host);
  walkStale_ = true;
}

void HostGroup::removeActiveHost(Host& host) {
  activeHosts_.erase(&host);
  walkStale_ = true;
}

const std::vector<Host*>& HostGroup::walk() {
  if (walkStale_) {
    walk_.assign(activeHosts_.begin(), activeHosts_.end());
    walkStale_ = false;
  }
  return walk_;
}

}  // namespace qelm
