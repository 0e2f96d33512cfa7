#include "core/input.h"

#include <gtest/gtest.h>

namespace qelm {
namespace {

TEST(LampWordTest, PairsArePackedFromEnterDownToDigitOne) {
  LampStates lamps{};
  lamps[codeOf(PanelKey::kEnter)] = LampState::kBright;  // bits 31..30
  lamps[codeOf(PanelKey::kDigit1)] = LampState::kLit;    // bits 1..0
  EXPECT_EQ(packLampWord(lamps), 0xC0000002u);

  lamps = {};
  lamps[codeOf(PanelKey::kDigit0)] = LampState::kLit;  // ninth in the order: bits 15..14
  EXPECT_EQ(packLampWord(lamps), 0x00008000u);

  lamps = {};
  lamps[codeOf(PanelKey::kSelectDevice)] = static_cast<LampState>(7);  // low two bits count
  EXPECT_EQ(packLampWord(lamps), 3u << 24);
}

TEST(LampWordTest, UnpackingGivesBackEveryKeysState) {
  LampStates lamps{};
  for (int code = kFirstKeyCode; code <= kLastKeyCode; ++code)
    lamps[static_cast<size_t>(code)] = static_cast<LampState>(code % 4);
  EXPECT_EQ(unpackLampWord(packLampWord(lamps)), lamps);
}

}  // namespace
}  // namespace qelm
