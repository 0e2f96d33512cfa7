#include "platform/socket_watch.h"

#include <unistd.h>

#include <cerrno>

#include "platform/clock.h"

namespace qelm::platform {

namespace {

constexpr uint32_t kTrouble = EPOLLERR | EPOLLHUP;

uint64_t key(uint32_t slot, uint32_t generation) {
  return (static_cast<uint64_t>(generation) << 32) | slot;
}

bool control(int epoll, int operation, int fd, uint32_t events, uint64_t data) {
  epoll_event event{};
  event.events = events;
  event.data.u64 = data;
  return ::epoll_ctl(epoll, operation, fd, &event) == 0;
}

}  // namespace

SocketWatch::SocketWatch() : epoll_(::epoll_create1(EPOLL_CLOEXEC)) {}

SocketWatch::~SocketWatch() {
  if (epoll_ >= 0) ::close(epoll_);
}

SocketWatch::Entry* SocketWatch::find(Ticket ticket) {
  if (ticket.slot == 0 || ticket.slot > entries_.size()) return nullptr;
  Entry& entry = entries_[ticket.slot - 1];
  return entry.live && entry.generation == ticket.generation ? &entry : nullptr;
}

const SocketWatch::Entry* SocketWatch::find(Ticket ticket) const {
  return const_cast<SocketWatch*>(this)->find(ticket);
}

void SocketWatch::release(uint32_t slot) {
  Entry& entry = entries_[slot - 1];
  entry.live = false;
  entry.owner = nullptr;
  // Tickets of the old registration, and answers the system gave for it, name nothing now.
  ++entry.generation;
  free_.push_back(slot);
  --watched_;
}

SocketWatch::Ticket SocketWatch::watch(int fd, bool read, bool write, Ticket ticket, void* owner) {
  uint32_t events = 0;
  if (read) events |= EPOLLIN;
  if (write) events |= EPOLLOUT;
  if (Entry* entry = find(ticket)) {
    if (entry->fd == fd) {
      entry->owner = owner;
      if (entry->events == events) return ticket;
      if (control(epoll_, EPOLL_CTL_MOD, fd, events, key(ticket.slot, ticket.generation))) {
        entry->events = events;
        entry->since = looks_;
        return ticket;
      }
    }
    // Another descriptor under an old ticket: its owner closed the socket without forgetting
    // it, so the old number is never touched (it may be someone else's file by now).
    release(ticket.slot);
  }
  if (fd < 0 || epoll_ < 0) return {};
  uint32_t slot = 0;
  if (!free_.empty()) {
    slot = free_.back();
    free_.pop_back();
  } else {
    entries_.emplace_back();
    slot = static_cast<uint32_t>(entries_.size());
  }
  Entry& entry = entries_[slot - 1];
  const uint64_t data = key(slot, entry.generation);
  // A number in use again may still be registered for a file another process shares for a
  // moment (a child between fork and exec): that registration is taken over.
  if (!control(epoll_, EPOLL_CTL_ADD, fd, events, data) &&
      !(errno == EEXIST && control(epoll_, EPOLL_CTL_MOD, fd, events, data))) {
    free_.push_back(slot);
    return {};
  }
  entry.fd = fd;
  entry.events = events;
  entry.ready = 0;
  entry.readyLook = 0;
  entry.since = looks_;
  entry.owner = owner;
  entry.live = true;
  ++watched_;
  return Ticket{slot, entry.generation};
}

void SocketWatch::forget(Ticket& ticket) {
  if (find(ticket) != nullptr) {
    epoll_event unused{};
    ::epoll_ctl(epoll_, EPOLL_CTL_DEL, entries_[ticket.slot - 1].fd, &unused);
    release(ticket.slot);
  }
  ticket = {};
}

void SocketWatch::check() {
  looked_ = false;
  readyOwners_.clear();
  if (epoll_ < 0) return;
  // One answer per registration at most: room for all of them means none is left unsaid.
  events_.resize(watched_ + 1);
  int count = 0;
  do {
    count = ::epoll_wait(epoll_, events_.data(), static_cast<int>(events_.size()), 0);
  } while (count < 0 && errno == EINTR);
  if (count < 0) return;
  ++looks_;
  for (int i = 0; i < count; ++i) {
    const epoll_event& event = events_[static_cast<size_t>(i)];
    const Ticket named{static_cast<uint32_t>(event.data.u64),
                       static_cast<uint32_t>(event.data.u64 >> 32)};
    Entry* entry = find(named);
    if (entry == nullptr) continue;
    entry->ready = event.events;
    entry->readyLook = looks_;
    if (entry->owner != nullptr) readyOwners_.push_back(entry->owner);
  }
  looked_ = true;
}

bool SocketWatch::wait(uint32_t ms, Wakeup& wakeup) {
  // Waiting on the wakeup alone and looking after keeps to one wake-up a pass: a set that
  // included busy sockets would end the sleep at every arrival and need a second sleep for
  // the rest of the pause.
  const bool woken = wakeup.waitMs(ms);
  check();
  return woken;
}

Readiness SocketWatch::answer(Ticket ticket, uint32_t wanted) const {
  const Entry* entry = looked_ ? find(ticket) : nullptr;
  if (entry == nullptr || entry->since >= looks_ || (entry->events & wanted) == 0)
    return Readiness::kUnknown;
  const uint32_t ready = entry->readyLook == looks_ ? entry->ready : 0;
  return (ready & (wanted | kTrouble)) != 0 ? Readiness::kReady : Readiness::kIdle;
}

Readiness SocketWatch::reading(Ticket ticket) const {
  return answer(ticket, EPOLLIN);
}

Readiness SocketWatch::writing(Ticket ticket) const {
  return answer(ticket, EPOLLOUT);
}

}  // namespace qelm::platform
