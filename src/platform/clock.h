#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace qelm::platform {

class SocketWatch;

/// Ends a wait early: producers `notify` from any thread; a notification that comes while
/// nobody waits ends the next wait at once. One waiting thread at a time. Backed by an event
/// descriptor; when the system has no descriptor to give, by a condition variable.
class Wakeup {
 public:
  Wakeup();
  ~Wakeup();
  Wakeup(const Wakeup&) = delete;
  Wakeup& operator=(const Wakeup&) = delete;

  /// Wakes the waiting thread, or the next one to wait.
  void notify();
  /// Waits until notified or `ms` milliseconds have passed; true when notified. Clears the
  /// notification.
  bool waitMs(uint32_t ms);
  /// As `waitMs`, for `ns` nanoseconds.
  bool waitNs(int64_t ns);
  /// The event descriptor, readable while a notification is pending; -1 without one.
  int fd() const { return fd_; }
  /// Clears a pending notification without waiting.
  void take();

 private:
  int fd_ = -1;
  std::mutex lock_;
  std::condition_variable signal_;
  bool notified_ = false;
};

/// Monotonic millisecond tick and sleep, as the engine sees time. Ticks are 32 bits and wrap
/// after about 49.7 days, so elapsed times are always computed as unsigned differences.
class Clock {
 public:
  virtual ~Clock() = default;
  /// Milliseconds since an arbitrary start; wraps modulo 2^32.
  virtual uint32_t tick() = 0;
  /// Blocks the calling thread for about `ms` milliseconds.
  virtual void sleepMs(uint32_t ms) = 0;
  /// Sleeps as `sleepMs`, but a real clock returns early when `wakeup` is notified; clocks
  /// that tests drive sleep as `sleepMs` does.
  virtual void sleepOrWake(uint32_t ms, Wakeup& wakeup) {
    (void)wakeup;
    sleepMs(ms);
  }
  /// Sleeps as `sleepOrWake`, and looks at the sockets of `watch`: a real clock in the same
  /// system call as the sleep, a driven one after it.
  virtual void sleepWatching(uint32_t ms, Wakeup& wakeup, SocketWatch& watch);
};

/// The real clock: CLOCK_MONOTONIC in milliseconds, truncated to 32 bits.
class SystemClock final : public Clock {
 public:
  uint32_t tick() override;
  void sleepMs(uint32_t ms) override;
  void sleepOrWake(uint32_t ms, Wakeup& wakeup) override { wakeup.waitMs(ms); }
  void sleepWatching(uint32_t ms, Wakeup& wakeup, SocketWatch& watch) override;
};

/// The process's system clock (stateless, shared by everyone who has no clock of their own).
Clock& systemClock();

/// A clock that tests drive. `sleepMs` advances the tick by the requested time and returns at
/// once (after yielding the processor), so time-outs are tested without waiting. Thread-safe.
class ManualClock final : public Clock {
 public:
  explicit ManualClock(uint32_t start = 1) : now_(start) {}
  uint32_t tick() override { return now_.load(std::memory_order_relaxed); }
  void sleepMs(uint32_t ms) override;
  /// Moves time forward by `ms` (wrapping like the real tick).
  void advance(uint32_t ms) { now_.fetch_add(ms, std::memory_order_relaxed); }
  void set(uint32_t now) { now_.store(now, std::memory_order_relaxed); }

 private:
  std::atomic<uint32_t> now_;
};

/// Milliseconds from `since` to `now`, correct across one wrap of the tick.
inline uint32_t elapsedMs(uint32_t now, uint32_t since) {
  return now - since;
}

/// Milliseconds from `now` until `after` ms have passed since `since`; 0 once they have.
inline uint32_t msUntil(uint32_t now, uint32_t since, uint32_t after) {
  const uint32_t elapsed = elapsedMs(now, since);
  return elapsed >= after ? 0 : after - elapsed;
}

}  // namespace qelm::platform
