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

HostGroup::HostGroup(std::string name, GroupKind kind, platform::Clock& clock, std::mt19937& random,
                     platform::SocketWatch* watch)
    : name_(std::move(name)),
      kind_(kind),
      clock_(clock),
      random_(random),
      loopTime_(clock.tick()),
      watch_(watch) {}

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

void HostGroup::poll(uint32_t loopTime) {
  loopTime_ = loopTime;
  if (walkStale_) remakeWalk();
  // Without a look at the sockets in this pause, no host may wait for one to be announced.
  const bool looked = watch_ != nullptr && watch_->looked();
  if (looked) {
    for (void* owner : watch_->readyOwners()) {
      Host* host = static_cast<Host*>(owner);
      if (&host->group_ == this) pollSoon(*host);
    }
  }
  polled_ = 0;
  // By index: a host's poll may call `pollSoon`, which writes into the walk (never resizes it).
  for (size_t i = 0; i < walk_.size(); ++i) {
    if (looked && platform::elapsedMs(loopTime, walk_[i].polledAt) < walk_[i].dueInMs) continue;
    Host* host = walk_[i].host;
    walk_[i].polledAt = loopTime;
    walk_[i].dueInMs = UINT32_MAX;
    polling_ = host;
    host->poll();
    polling_ = nullptr;
    ++polled_;
    walk_[i].dueInMs = std::min(walk_[i].dueInMs, host->msUntilPoll(loopTime));
  }
}

void HostGroup::pollSoon(Host& host) {
  // The host being polled says when it is due next once its poll is over.
  if (&host == polling_) return;
  if (&host.group_ == this && host.visit_ < walk_.size() && walk_[host.visit_].host == &host)
    walk_[host.visit_].dueInMs = 0;
}

void HostGroup::noteQueued(Host& host) {
  if (host.queuedNoted_) return;
  host.queuedNoted_ = true;
  queued_.push_back(&host);
}

void HostGroup::flush() {
  // Sending cannot stage again, so the list is stable while it is walked.
  for (StagedValue* target : staged_)
    target->sendStaged();
  staged_.clear();
  // Writing queues nothing more. A host that wrote is polled at the next pass, which takes
  // the failure step of a write that failed and goes on with one the system cut short.
  for (Host* host : queued_) {
    host->queuedNoted_ = false;
    host->flush();
    pollSoon(*host);
  }
  queued_.clear();
}

void HostGroup::addActiveHost(Host& host) {
  activeHosts_.insert(&host);
  walkStale_ = true;
}

void HostGroup::removeActiveHost(Host& host) {
  activeHosts_.erase(&host);
  walkStale_ = true;
}

void HostGroup::remakeWalk() {
  for (const Visit& visit : walk_)
    visit.host->visit_ = SIZE_MAX;
  walk_.clear();
  for (Host* host : activeHosts_) {
    host->visit_ = walk_.size();
    walk_.push_back(Visit{host, loopTime_, 0});
  }
  walkStale_ = false;
}

}  // namespace qelm
