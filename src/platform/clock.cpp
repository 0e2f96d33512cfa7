#include "platform/clock.h"

#include <cerrno>
#include <chrono>
#include <ctime>
#include <thread>

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

void Wakeup::notify() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    notified_ = true;
  }
  signal_.notify_one();
}

bool Wakeup::waitMs(uint32_t ms) {
  std::unique_lock<std::mutex> guard(lock_);
  const bool notified =
      signal_.wait_for(guard, std::chrono::milliseconds(ms), [this] { return notified_; });
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
