#include "loudness/wall_clock.h"

#include <array>

namespace qelm {

std::string WallClock::format(const char* strftimeFormat) {
  const std::tm t = now();
  std::array<char, 64> text{};
  const size_t n = std::strftime(text.data(), text.size(), strftimeFormat, &t);
  return std::string(text.data(), n);
}

std::tm SystemWallClock::now() {
  const std::time_t seconds = std::time(nullptr);
  std::tm t{};
  localtime_r(&seconds, &t);
  return t;
}

std::tm FixedWallClock::now() {
  std::tm t{};
  gmtime_r(&seconds, &t);
  return t;
}

WallClock& systemWallClock() {
  static SystemWallClock clock;
  return clock;
}

}  // namespace qelm
