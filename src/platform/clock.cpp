#include "platform/clock.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <thread>

#include "platform/socket_watch.h"

namespace qelm::platform {

uint32_t SystemClock::tick() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const uint64_t ms =
      static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

void SystemClock::sleepMs(uint32_t ms) {
  timespec request{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  // Sleep the whole interval even when a signal interrupts it.
  while (nanosleep(&request, &request) != 0 && errno == EINTR) {
  }
}

void Clock::sleepWatching(uint32_t ms, Wakeup& wakeup, SocketWatch& watch) {
  sleepOrWake(ms, wakeup);
  watch.check();
}

void SystemClock::sleepWatching(uint32_t ms, Wakeup& wakeup, SocketWatch& watch) {
  watch.wait(ms, wakeup);
}

Wakeup::Wakeup() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

Wakeup::~Wakeup() {
  if (fd_ >= 0) ::close(fd_);
}

void Wakeup::notify() {
  if (fd_ >= 0) {
    const uint64_t one = 1;
    // A full counter (EAGAIN) is a pending notification already.
    while (::write(fd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
    return;
  }
  {
    std::lock_guard<std::mutex> guard(lock_);
    notified_ = true;
  }
  signal_.notify_one();
}

void Wakeup::take() {
  if (fd_ >= 0) {
    uint64_t count = 0;
    while (::read(fd_, &count, sizeof count) < 0 && errno == EINTR) {
    }
    return;
  }
  std::lock_guard<std::mutex> guard(lock_);
  notified_ = false;
}

bool Wakeup::waitMs(uint32_t ms) {
  return waitNs(static_cast<int64_t>(ms) * 1'000'000);
}

bool Wakeup::waitNs(int64_t ns) {
  const auto duration = std::chrono::nanoseconds(std::max<int64_t>(ns, 0));
  if (fd_ >= 0) {
    pollfd entry{fd_, POLLIN, 0};
    const auto deadline = std::chrono::steady_clock::now() + duration;
    for (;;) {
      const auto left = std::max(std::chrono::nanoseconds(0),
                                 std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     deadline - std::chrono::steady_clock::now()));
      const timespec timeout{static_cast<time_t>(left.count() / 1'000'000'000),
                             static_cast<long>(left.count() % 1'000'000'000)};
      const int result = ::ppoll(&entry, 1, &timeout, nullptr);
      if (result < 0 && errno == EINTR) continue;
      if (result > 0 && (entry.revents & POLLIN) != 0) {
        take();
        return true;
      }
      // A failed wait still keeps the pause, so a caller's loop never spins.
      if (result < 0) std::this_thread::sleep_for(left);
      return false;
    }
  }
  std::unique_lock<std::mutex> guard(lock_);
  const bool notified = signal_.wait_for(guard, duration, [this] { return notified_; });
  notified_ = false;
  return notified;
}

Clock& systemClock() {
  static SystemClock clock;
  return clock;
}

void ManualClock::sleepMs(uint32_t ms) {
  advance(ms);
  std::this_thread::yield();
}

}  // namespace qelm::platform
