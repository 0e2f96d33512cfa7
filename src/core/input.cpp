#include "core/input.h"

#include <array>

namespace qelm {
namespace {

constexpr std::array<int, 16> kLampOrder = {16, 15, 14, 13, 12, 10, 7, 4, 1, 9, 6, 3, 11, 8, 5, 2};

}  // namespace

uint32_t packLampWord(const LampStates& lamps) {
  uint32_t word = 0;
  for (int code : kLampOrder)
    word = (word << 2) | (static_cast<uint32_t>(lamps[static_cast<size_t>(code)]) & 3u);
  return word;
}

LampStates unpackLampWord(uint32_t word) {
  LampStates lamps{};
  for (size_t i = 0; i < kLampOrder.size(); ++i) {
    const unsigned shift = static_cast<unsigned>(30 - 2 * i);
    lamps[static_cast<size_t>(kLampOrder[i])] = static_cast<LampState>((word >> shift) & 3u);
  }
  return lamps;
}

}  // namespace qelm
