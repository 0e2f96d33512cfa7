#pragma once

#include <ctime>
#include <string>

namespace qelm {

/// Local date and time for the texts of sessions and reports. Tests drive their own.
class WallClock {
 public:
  virtual ~WallClock() = default;
  /// The current local time, broken down.
  virtual std::tm now() = 0;
  /// The current local time formatted with `strftime` (at most 63 characters).
  std::string format(const char* strftimeFormat);
};

/// The system's local time (the process's TZ).
class SystemWallClock final : public WallClock {
 public:
  std::tm now() override;
};

/// A wall clock that reads `seconds` (UTC, seconds since 1970) and moves only when that is
/// changed: for replays, tests and benchmarks.
class FixedWallClock final : public WallClock {
 public:
  explicit FixedWallClock(std::time_t start) : seconds(start) {}
  std::tm now() override;
  std::time_t seconds;
};

/// The process's system wall clock (stateless).
WallClock& systemWallClock();

}  // namespace qelm
