#include "audio/lm_payload_encoder.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>

namespace qelm::audio {
namespace {

using Payload = std::array<uint8_t, kLoudnessPayloadSize>;

void expectBytes(const Payload& payload, int at, std::initializer_list<uint8_t> bytes) {
  int offset = at;
  for (uint8_t byte : bytes) {
    EXPECT_EQ(payload[offset], byte) << "at offset " << offset;
    ++offset;
  }
}

TEST(LoudnessPayloadTest, EncodesEveryFieldBigEndianAtItsOffset) {
  AudioBlock block;
  block.samplePeak[0] = 0.5f;   // 3F 00 00 00
  block.samplePeak[7] = -2.0f;  // C0 00 00 00 (Aux R, last meter slot)
  block.truePeak[1] = 1.0f;     // 3F 80 00 00
  block.truePeak[6] = 0.75f;    // 3F 40 00 00
  block.power[0] = 0.1f;        // 3D CC CC CD
  block.power[5] = 0.25f;       // 3E 80 00 00
  block.power[6] = 0.5f;        // Aux L: no power slot, must not appear
  PayloadHeader header;
  header.sequence = 0x01020304;
  header.dialnorm = -24;
  header.timecode = Timecode{10, 59, 58, 24};
  const Payload payload = encodeLoudnessPayload(block, header);

  Payload expected{};
  const auto put = [&](int at, std::initializer_list<uint8_t> bytes) {
    int offset = at;
    for (uint8_t byte : bytes)
      expected[offset++] = byte;
  };
  put(0, {0x00, 0x00, 0x00, 0x02});
  put(8, {0x01, 0x02, 0x03, 0x04});
  put(20, {1, 0, 5, 9, 5, 8, 2, 4});
  put(28, {0x00, 0x00, 0x00, 0x18});
  put(32, {0x3F, 0x00, 0x00, 0x00});
  put(32 + 28, {0xC0, 0x00, 0x00, 0x00});
  put(96 + 4, {0x3F, 0x80, 0x00, 0x00});
  put(96 + 24, {0x3F, 0x40, 0x00, 0x00});
  put(160, {0x3D, 0xCC, 0xCC, 0xCD});
  put(160 + 20, {0x3E, 0x80, 0x00, 0x00});
  EXPECT_EQ(payload, expected);
}

TEST(LoudnessPayloadTest, AbsentDialnormAndTimecodeReadAsNone) {
  const Payload payload = encodeLoudnessPayload(AudioBlock{}, PayloadHeader{7, {}, {}});
  expectBytes(payload, 8, {0, 0, 0, 7});
  expectBytes(payload, 20, {0, 0, 0, 0, 0, 0, 0, 0});
  expectBytes(payload, 28, {0xFF, 0xFF, 0xFF, 0xFF});
}

TEST(LoudnessPayloadTest, TimecodeRunsOnAndWrapsAtMidnight) {
  EXPECT_EQ(advanceTimecode({10, 0, 0, 0}, 25 * 3600 + 26, 25), (Timecode{11, 0, 1, 1}));
  EXPECT_EQ(advanceTimecode({23, 59, 59, 24}, 1, 25), (Timecode{0, 0, 0, 0}));
  EXPECT_EQ(advanceTimecode({23, 59, 59, 29}, 2, 30), (Timecode{0, 0, 0, 1}));
  // Days of frames later, the same time of day.
  EXPECT_EQ(advanceTimecode({1, 2, 3, 4}, uint64_t{24} * 3600 * 24 * 1000, 24),
            (Timecode{1, 2, 3, 4}));
}

}  // namespace
}  // namespace qelm::audio
