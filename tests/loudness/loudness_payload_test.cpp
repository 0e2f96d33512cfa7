// Payload classification and decoding, the coarse logarithm, sequence gaps and the status rule.
#include "loudness/loudness_payload.h"

#include <limits>

#include "loudness/loudness_levels.h"
#include "loudness_support.h"

namespace qelm::testing {
namespace {

TEST(PayloadClassification, SortsFormatsByWordAndLength) {
  std::vector<uint8_t> bytes(224, 0);
  putLong(bytes.data(), 2);
  EXPECT_EQ(classifyPayload(bytes), PayloadType::kCurrent);
  putLong(bytes.data(), 1);
  EXPECT_EQ(classifyPayload(bytes), PayloadType::kOld);  // format 1 refused whatever its length
  putLong(bytes.data(), 2);
  EXPECT_EQ(classifyPayload(std::span(bytes).first(223)), PayloadType::kBad);
  EXPECT_EQ(classifyPayload(std::vector<uint8_t>(76, 0xFF)), PayloadType::kOld);
  EXPECT_EQ(classifyPayload(std::vector<uint8_t>(104, 0)), PayloadType::kOld);
  EXPECT_EQ(classifyPayload(std::vector<uint8_t>(3, 0)), PayloadType::kBad);
  EXPECT_EQ(classifyPayload(std::vector<uint8_t>{}), PayloadType::kBad);
  putLong(bytes.data(), 7);
  EXPECT_EQ(classifyPayload(bytes), PayloadType::kBad);
  EXPECT_FALSE(decodePayload(std::span(bytes).first(100), false).has_value());
}

TEST(PayloadLevels, CoarseLogarithmRoundsDownOnAHundredthGrid) {
  EXPECT_DOUBLE_EQ(coarseLog10(0.1), -1.0);
  EXPECT_DOUBLE_EQ(coarseLog10(0.5), -0.31);  // log10(0.5) = -0.30103
  EXPECT_DOUBLE_EQ(coarseLog10(10.0), 1.0);
  EXPECT_DOUBLE_EQ(coarseLog10(1e6), 1.0);
  EXPECT_DOUBLE_EQ(coarseLog10(5.888e-10), -9.23);
  EXPECT_DOUBLE_EQ(coarseLog10(-3.0), -9.23);
  EXPECT_FLOAT_EQ(amplitudeToDb(0.5f), -6.2f);
  EXPECT_FLOAT_EQ(amplitudeToDb(0.0f), kNoSignalDb);
  EXPECT_FLOAT_EQ(amplitudeToDb(-0.5f), kNoSignalDb);
  EXPECT_FLOAT_EQ(amplitudeToDb(std::numeric_limits<float>::quiet_NaN()), kNoSignalDb);
  EXPECT_FLOAT_EQ(amplitudeToDb(std::numeric_limits<float>::infinity()), kNoSignalDb);
  EXPECT_FLOAT_EQ(powerToLoudness(1.0), -0.691f);
  EXPECT_FLOAT_EQ(powerToLoudness(0.0), kNoSignalDb);
}

TEST(PayloadLevels, PowerToTenthsKeepsItsSentinels) {
  EXPECT_EQ(powerToTenths(-1.0), kTenthsNoData);
  EXPECT_EQ(powerToTenths(-0.5), kTenthsNoData);
  EXPECT_EQ(powerToTenths(0.0), kTenthsSilence);
  EXPECT_EQ(powerToTenths(-0.1), kTenthsSilence);
  EXPECT_EQ(powerToTenths(1.0e-7), kTenthsSilence);
  EXPECT_EQ(powerToTenths(powerForLoudness(-69.9)), -699);
  EXPECT_EQ(powerToTenths(powerForLoudness(-23.04)), -230);
  EXPECT_EQ(powerToTenths(powerForLoudness(-22.96)), -230);
  EXPECT_EQ(powerToTenths(1e9), kTenthsMaximum);
  EXPECT_EQ(powerToTenths(std::numeric_limits<double>::infinity()), kTenthsMaximum);
  EXPECT_EQ(powerToTenths(std::numeric_limits<double>::quiet_NaN()), kTenthsNoData);
}

TEST(PayloadDecoding, ReadsEveryFieldOfThePrimaryBlocks) {
  PayloadFields fields;
  fields.sequence = 77;
  fields.timecode = {1, 0, 5, 9, 5, 8, 2, 4};
  fields.dialnorm = 24;
  fields.peakDb[1] = -2.9;  // levels land on the 0.2 dB grid, rounded down
  fields.meterDb[7] = -11.9;
  fields.powers = {0.01, 0.02, 0.03, 0.04, 0.05, 0.06};
  const auto decoded = decodePayload(makePayload(fields), false);
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(decoded->sequence, 77u);
  EXPECT_EQ(decoded->timecode, "10:59:58.24");
  EXPECT_TRUE(decoded->dialnormPresent);
  EXPECT_FLOAT_EQ(decoded->dialnorm, -24.0f);
  EXPECT_FLOAT_EQ(decoded->truePeakDb[1], -3.0f);
  EXPECT_FLOAT_EQ(decoded->meterDb[7], -12.0f);
  EXPECT_NEAR(decoded->powers[5], 0.06, 1e-7);

  fields.timecode = {};
  fields.dialnorm = -1;
  fields.meterDb[0] = -2000;  // amplitude 0
  const auto plain = decodePayload(makePayload(fields), false);
  EXPECT_EQ(plain->timecode, "");
  EXPECT_FALSE(plain->dialnormPresent);
  EXPECT_FLOAT_EQ(plain->meterDb[0], kNoSignalDb);
}

TEST(PayloadDecoding, SecondaryCardReadsOnlyTheSecondaryBlocks) {
  PayloadFields fields;
  fields.powers = {0.5, 0.5, 0, 0, 0, 0};
  fields.peakDb[0] = -0.9;
  const std::vector<uint8_t> primaryOnly = makePayload(fields);
  const auto secondary = decodePayload(primaryOnly, true);
  EXPECT_DOUBLE_EQ(secondary->powers[0], 0.0);
  EXPECT_FLOAT_EQ(secondary->truePeakDb[0], kNoSignalDb);
  fields.secondary = true;
  const auto fromSecondary = decodePayload(makePayload(fields), true);
  EXPECT_NEAR(fromSecondary->powers[0], 0.5, 1e-7);
  EXPECT_FLOAT_EQ(fromSecondary->truePeakDb[0], -1.0f);
}

TEST(PayloadDecoding, HostileNumbersAreTamed) {
  PayloadFields fields;
  fields.dialnorm = std::numeric_limits<int32_t>::min();
  fields.powers = {-1.0,
                   std::numeric_limits<double>::infinity(),
                   std::numeric_limits<double>::quiet_NaN(),
                   0.1,
                   0,
                   0};
  fields.timecode = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  const auto decoded = decodePayload(makePayload(fields), false);
  EXPECT_FLOAT_EQ(decoded->dialnorm, 2147483648.0f);
  EXPECT_EQ(decoded->powers[0], 0.0);
  EXPECT_EQ(decoded->powers[1], 0.0);
  EXPECT_EQ(decoded->powers[2], 0.0);
  EXPECT_EQ(decoded->timecode, "39:79:79.39");
}

TEST(PayloadSequence, CountsOnlyForwardGaps) {
  EXPECT_EQ(droppedMessages(std::nullopt, 500), 0u);
  EXPECT_EQ(droppedMessages(10u, 11u), 0u);
  EXPECT_EQ(droppedMessages(11u, 15u), 3u);
  EXPECT_EQ(droppedMessages(0xFFFFFFFFu, 0u), 0u);  // counting past the top
  EXPECT_EQ(droppedMessages(0xFFFFFFFEu, 1u), 2u);
  EXPECT_EQ(droppedMessages(15u, 15u), 0u);
  EXPECT_EQ(droppedMessages(5000u, 3u), 0u);  // the card restarted its count
}

TEST(PayloadStatus, FollowsTheCardAndTheLastPayload) {
  EXPECT_EQ(monitorStatus(LinkStatus::kLive, true, PayloadType::kBad, true), LinkStatus::kLive);
  EXPECT_EQ(monitorStatus(LinkStatus::kLive, false, PayloadType::kBad, true),
            LinkStatus::kBadLoudnessMessage);
  EXPECT_EQ(monitorStatus(LinkStatus::kLive, false, PayloadType::kOld, false),
            LinkStatus::kOldLmFormat);
  EXPECT_EQ(monitorStatus(LinkStatus::kLive, false, PayloadType::kCurrent, true),
            LinkStatus::kMissingFeature);
  EXPECT_EQ(monitorStatus(LinkStatus::kLive, false, PayloadType::kNone, false),
            LinkStatus::kNoData);
  EXPECT_EQ(monitorStatus(LinkStatus::kNoCardInSlot, true, PayloadType::kCurrent, false),
            LinkStatus::kNoCardInSlot);
  EXPECT_LT(compareTimecodes("10:00", "10:00:00.00"), 0);
  EXPECT_GT(compareTimecodes("10:00:01.00", "10:00:00.24"), 0);
  EXPECT_EQ(compareTimecodes("", ""), 0);
}

}  // namespace
}  // namespace qelm::testing
