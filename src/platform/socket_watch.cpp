#include "platform/socket_watch.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "platform/clock.h"

namespace qelm::platform {

namespace {

constexpr uint32_t kTrouble = EPOLLERR | EPOLLHUP;

int64_t nowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

bool control(int epoll, int operation, int fd, uint32_t events) {
  epoll_event event{};
  event.events = events;
  event.data.fd = fd;
  return ::epoll_ctl(epoll, operation, fd, &event) == 0;
}

}  // namespace

SocketWatch::SocketWatch() : epoll_(::epoll_create1(EPOLL_CLOEXEC)) {}

SocketWatch::~SocketWatch() {
  if (epoll_ >= 0) ::close(epoll_);
}

void SocketWatch::clear() {
  entries_.clear();
  // Round 0 is what a default ticket carries; it never names a real round.
  if (++round_ == 0) round_ = 1;
  looked_ = false;
}

SocketWatch::Ticket SocketWatch::add(int fd, bool read, bool write, Ticket previous) {
  if (fd < 0) return {};
  uint32_t events = 0;
  if (read) events |= EPOLLIN;
  if (write) events |= EPOLLOUT;
  entries_.push_back(Entry{fd, events, 0, previous.round == 0, false});
  looked_ = false;
  return Ticket{round_, static_cast<uint32_t>(entries_.size())};
}

void SocketWatch::synchronize(int wakeFd) {
  // Only descriptors their owners hold open at this moment are told to the system: a fresh
  // socket is added, a known one changed. A descriptor is never removed by number, since a
  // closed socket has left the set by itself and its number may already be another thread's
  // file. A wakeup given up stays in the set; its notifications are not counted any more.
  if (wakeFd != wakeFd_ && wakeFd >= 0) {
    if (control(epoll_, EPOLL_CTL_ADD, wakeFd, EPOLLIN) || errno == EEXIST) wakeFd_ = wakeFd;
  }
  for (Entry& entry : entries_) {
    const auto known = registered_.find(entry.fd);
    if (known != registered_.end() && !entry.fresh) {
      entry.registered = known->second.events == entry.events ||
                         control(epoll_, EPOLL_CTL_MOD, entry.fd, entry.events);
    } else {
      // A number in use again may still carry the registration of a socket that another
      // process shares for a moment (a child between fork and exec): then it is changed.
      entry.registered =
          control(epoll_, EPOLL_CTL_ADD, entry.fd, entry.events) ||
          (errno == EEXIST && control(epoll_, EPOLL_CTL_MOD, entry.fd, entry.events));
    }
    if (entry.registered) {
      registered_[entry.fd] = Registration{entry.events, round_};
    } else {
      registered_.erase(entry.fd);
    }
  }
  // Sockets not asked about this round were closed (and left the set) or are still their
  // owners' to add again; either way what is remembered of them can no longer be trusted.
  std::erase_if(registered_, [this](const auto& known) { return known.second.round != round_; });
}

int SocketWatch::collect(int timeoutMs, int wakeFd) {
  events_.resize(entries_.size() + 1);
  int count = 0;
  do {
    count = ::epoll_wait(epoll_, events_.data(), static_cast<int>(events_.size()), timeoutMs);
  } while (count < 0 && errno == EINTR && timeoutMs == 0);
  if (count < 0) return -1;
  for (Entry& entry : entries_)
    entry.ready = 0;
  bool woken = false;
  for (int i = 0; i < count; ++i) {
    const int fd = events_[static_cast<size_t>(i)].data.fd;
    if (fd == wakeFd && wakeFd >= 0) {
      woken = true;
      continue;
    }
    for (Entry& entry : entries_) {
      if (entry.fd == fd) entry.ready = events_[static_cast<size_t>(i)].events;
    }
  }
  looked_ = true;
  return woken ? 1 : 0;
}

void SocketWatch::check() {
  looked_ = false;
  if (epoll_ < 0) return;
  synchronize(wakeFd_);
  collect(0, -1);
}

bool SocketWatch::wait(uint32_t ms, Wakeup& wakeup) {
  looked_ = false;
  const int wakeFd = wakeup.fd();
  if (epoll_ < 0 || wakeFd < 0) {
    // No set or no descriptor to wait on with it: the wakeup waits on its own, the sockets are
    // looked at after.
    const bool woken = wakeup.waitMs(ms);
    check();
    return woken;
  }
  const int64_t start = nowNs();
  synchronize(wakeFd);
  if (wakeFd_ != wakeFd) {
    const bool woken = wakeup.waitMs(ms);
    collect(0, -1);
    return woken;
  }
  const int result = collect(static_cast<int>(ms), wakeFd);
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
  if (!looked_ || ticket.round != round_ || ticket.slot == 0 || ticket.slot > entries_.size())
    return Readiness::kUnknown;
  const Entry& entry = entries_[ticket.slot - 1];
  if (!entry.registered || (entry.events & wanted) == 0) return Readiness::kUnknown;
  return (entry.ready & (wanted | kTrouble)) != 0 ? Readiness::kReady : Readiness::kIdle;
}

Readiness SocketWatch::reading(Ticket ticket) const {
  return answer(ticket, EPOLLIN);
}

Readiness SocketWatch::writing(Ticket ticket) const {
  return answer(ticket, EPOLLOUT);
}

}  // namespace qelm::platform
