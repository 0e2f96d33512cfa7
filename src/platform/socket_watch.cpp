#include "platform/socket_watch.h"

#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "platform/clock.h"

namespace qelm::platform {

namespace {

constexpr uint32_t kTrouble = EPOLLERR | EPOLLHUP;
// Marks a wakeup descriptor's answers apart from every ticket (whose slot is never 0).
constexpr uint64_t kWakeKey = uint64_t{1} << 63;
// Above this share of pauses ending with sockets ready, a second wake-up would cost more than
// a separate look after each sleep.
constexpr double kBusyShare = 0.1;

int64_t nowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

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

int SocketWatch::look(int timeoutMs, int wakeFd) {
  looked_ = false;
  readyOwners_.clear();
  // One answer per registration at most: room for all of them (and a wakeup) means none is
  // left unsaid.
  events_.resize(watched_ + 2);
  int count = 0;
  do {
    count = ::epoll_wait(epoll_, events_.data(), static_cast<int>(events_.size()), timeoutMs);
  } while (count < 0 && errno == EINTR && timeoutMs == 0);
  if (count < 0) return -1;
  ++looks_;
  bool woken = false;
  bool ready = false;
  for (int i = 0; i < count; ++i) {
    const epoll_event& event = events_[static_cast<size_t>(i)];
    if ((event.data.u64 & kWakeKey) != 0) {
      // A wakeup given up (another one waits now) is no notification of this one.
      woken =
          woken || (wakeFd >= 0 && event.data.u64 == (kWakeKey | static_cast<uint32_t>(wakeFd)));
      continue;
    }
    const Ticket named{static_cast<uint32_t>(event.data.u64),
                       static_cast<uint32_t>(event.data.u64 >> 32)};
    Entry* entry = find(named);
    if (entry == nullptr) continue;
    entry->ready = event.events;
    entry->readyLook = looks_;
    ready = true;
    if (entry->owner != nullptr) readyOwners_.push_back(entry->owner);
  }
  looked_ = true;
  busy_ += ((ready ? 1.0 : 0.0) - busy_) / 64;
  return woken ? 1 : 0;
}

void SocketWatch::check() {
  looked_ = false;
  readyOwners_.clear();
  if (epoll_ >= 0) look(0, -1);
}

bool SocketWatch::watchWakeup(int wakeFd) {
  if (wakeFd == wakeFd_) return true;
  // A wakeup given up stays in the set (its number may be another file's by now); its
  // notifications are told apart by the number in their key.
  if (!control(epoll_, EPOLL_CTL_ADD, wakeFd, EPOLLIN, kWakeKey | static_cast<uint32_t>(wakeFd)) &&
      errno != EEXIST)
    return false;
  wakeFd_ = wakeFd;
  return true;
}

bool SocketWatch::wait(uint32_t ms, Wakeup& wakeup) {
  const int wakeFd = wakeup.fd();
  if (busy_ >= kBusyShare || epoll_ < 0 || wakeFd < 0 || !watchWakeup(wakeFd)) {
    const bool woken = wakeup.waitMs(ms);
    check();
    return woken;
  }
  const int64_t start = nowNs();
  const int result = look(static_cast<int>(ms), wakeFd);
  if (result == 1) {
    wakeup.take();
    return true;
  }
  // A socket with something to do, or an interrupted or failed wait, ended the pause early:
  // the rest of it waits on the wakeup alone, the sockets' answers staying as they are.
  const int64_t left = static_cast<int64_t>(ms) * 1'000'000 - (nowNs() - start);
  return left > 0 && wakeup.waitNs(left);
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

void WatchedSocket::attach(SocketWatch* watch, void* owner) {
  if (watch != watch_) forget();
  watch_ = watch;
  owner_ = owner;
}

void WatchedSocket::watch(int fd, bool read, bool write) {
  if (watch_ != nullptr) ticket_ = watch_->watch(fd, read, write, ticket_, owner_);
}

void WatchedSocket::forget() {
  if (watch_ != nullptr) watch_->forget(ticket_);
  ticket_ = {};
}

Readiness WatchedSocket::reading() const {
  return watch_ != nullptr ? watch_->reading(ticket_) : Readiness::kUnknown;
}

Readiness WatchedSocket::writing() const {
  return watch_ != nullptr ? watch_->writing(ticket_) : Readiness::kUnknown;
}

}  // namespace qelm::platform
