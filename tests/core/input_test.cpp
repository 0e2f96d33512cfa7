#include "core/input.h"

#include <gtest/gtest.h>

namespace qelm {
namespace {

TEST(LampWordTest, PairsArePackedFromEnterDownToDigitOne) {
  LampStates lamps{};
  lamps[16] = 3;  // Enter: bits 31..30
  lamps[2] = 2;   // digit 1: bits 1..0
  EXPECT_EQ(packLampWord(lamps), 0xC0000002u);

  lamps = {};
  lamps[1] = 2;  // digit 0 is ninth in the order: bits 15..14
  EXPECT_EQ(packLampWord(lamps), 0x00008000u);

  lamps = {};
  lamps[13] = 7;  // only the low two bits of a state count
  EXPECT_EQ(packLampWord(lamps), 3u << 24);
}

TEST(LampWordTest, UnpackingGivesBackEveryKeysState) {
  LampStates lamps{};
  for (int code = 1; code <= 16; ++code)
    lamps[static_cast<size_t>(code)] = static_cast<uint8_t>(code % 4);
  EXPECT_EQ(unpackLampWord(packLampWord(lamps)), lamps);
}

}  // namespace
}  // namespace qelm
