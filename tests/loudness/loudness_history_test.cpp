// The history engine: the absolute gate, gating and range on the histograms, gap filling and the
// sampling of the level rings.
#include "loudness/loudness_history.h"

#include "loudness_support.h"

namespace qelm::testing {
namespace {

class HistoryTest : public ::testing::Test {
 protected:
  HistoryTest() { history_.setMode(HistoryEngine::Mode::kRunning); }
  void push(double lkfs, int payloads) {
    for (int i = 0; i < payloads; ++i)
      history_.push(powerForLoudness(lkfs), ++tick_);
  }
  HistoryEngine history_;
  uint32_t tick_ = 1000;
};

TEST_F(HistoryTest, AbsoluteGateKeepsMinus70OutAndMinus69Point9In) {
  push(-70.0, 8);
  EXPECT_EQ(history_.totalCount(), 0);
  EXPECT_EQ(history_.integratedTenths(true), kTenthsNoData);
  EXPECT_EQ(history_.rangeTenths(), kTenthsNoData);
  history_.reset();
  push(-69.9, 4);  // four payloads make the first whole block
  EXPECT_EQ(history_.totalCount(), 1);
  EXPECT_EQ(history_.binCount(HistoryEngine::binOf(-699)), 1);
  EXPECT_EQ(history_.integratedTenths(false), -699);
}

TEST_F(HistoryTest, HistogramCountsOnlyWhileRunning) {
  history_.setMode(HistoryEngine::Mode::kPaused);
  push(-20.0, 40);
  EXPECT_EQ(history_.totalCount(), 0);
  EXPECT_EQ(history_.shortTermTenths(), -200);  // the history itself keeps time
  history_.setMode(HistoryEngine::Mode::kRunning);
  push(-20.0, 1);
  EXPECT_EQ(history_.totalCount(), 1);
}

TEST_F(HistoryTest, RelativeGateDropsQuietBlocksAndRangeOfAConstantIsOneTenth) {
  push(-20.0, 400);
  EXPECT_EQ(history_.rangeTenths(), 1);
  push(-45.0, 400);  // 25 LU below: under the 10 LU relative gate
  EXPECT_EQ(history_.integratedTenths(true), -200);
  EXPECT_EQ(history_.integratedTenths(false), -230);
  history_.setRelativeGate(8);
  EXPECT_EQ(history_.integratedTenths(true), -200);
  EXPECT_EQ(history_.rangeTenths(), 1);  // -45 is also under the range's 20 LU gate
}

TEST_F(HistoryTest, RangePercentilesCountOnlyValuesAboveTheRelativeGate) {
  // 15 s at -30, 70 s at -20, 80 s far below the gate: among the gated values the lower tenth
  // reaches into -30, so the range is 10 LU (counting all values it would not).
  push(-30.0, 150);
  push(-20.0, 700);
  push(-65.0, 800);
  EXPECT_NEAR(history_.rangeTenths(), 100, 5);
}

TEST_F(HistoryTest, CachedResultsFollowHistogramChanges) {
  push(-20.0, 40);
  EXPECT_EQ(history_.integratedTenths(true), -200);
  push(-10.0, 40);
  EXPECT_NEAR(history_.integratedTenths(true), -126, 2);
  std::array<int32_t, HistoryEngine::kBins> counts{};
  std::array<double, HistoryEngine::kBins> powers{};
  counts[HistoryEngine::binOf(-300)] = 2;
  powers[HistoryEngine::binOf(-300)] = 2 * powerForLoudness(-30.0);
  history_.setHistogram(counts, powers, 2);
  EXPECT_EQ(history_.integratedTenths(true), -300);
}

TEST_F(HistoryTest, GapsInsertNoDataAndBreakTheBlock) {
  push(-20.0, 5);
  EXPECT_EQ(history_.ring(0).filled(), 5);
  history_.pushGap(3);
  EXPECT_EQ(history_.ring(0).filled(), 8);
  EXPECT_EQ(history_.blockTenths(), kTenthsNoData);
  push(-20.0, 3);
  EXPECT_EQ(history_.blockTenths(), kTenthsNoData);  // still a gap inside the 400 ms block
  push(-20.0, 1);
  EXPECT_EQ(history_.blockTenths(), -200);
  history_.pushGap(HistoryEngine::kLongestFilledGap + 1);  // a restart, not a gap
  EXPECT_EQ(history_.ring(0).filled(), 12);
}

TEST_F(HistoryTest, QuietCardIsFilledWithNoDataAfterFiveSeconds) {
  history_.keepTime(tick_ + 100);
  EXPECT_EQ(history_.ring(0).filled(), 0);  // no data has flowed yet
  push(-20.0, 10);
  const uint32_t last = tick_;
  history_.keepTime(last + 50);
  EXPECT_EQ(history_.ring(0).filled(), 10);
  history_.keepTime(last + 51);
  EXPECT_EQ(history_.ring(0).filled(), 61);
  EXPECT_EQ(history_.ring(0).at(0).average, kTenthsNoData);
  EXPECT_EQ(history_.ring(0).at(51).average, -200);
  history_.keepTime(last + 52);
  EXPECT_EQ(history_.ring(0).filled(), 62);
  history_.keepTime(last + 2000);  // at most 30 s in one step
  EXPECT_EQ(history_.ring(0).filled(), 362);
  EXPECT_EQ(history_.ring(0).at(0).average, kTenthsNoData);
}

TEST_F(HistoryTest, EachLevelSamplesPairsOfTheLevelBelow) {
  HistoryEngine history(1);  // level 0 window of one second
  for (int i = 0; i < 64; ++i)
    history.push(powerForLoudness(i % 2 == 0 ? -20.0 : -30.0), static_cast<uint32_t>(i));
  EXPECT_EQ(history.ring(0).filled(), 64);
  EXPECT_EQ(history.ring(1).filled(), 32);
  EXPECT_EQ(history.ring(5).filled(), 2);
  EXPECT_EQ(history.ring(6).filled(), 1);
  EXPECT_EQ(history.ring(7).filled(), 0);
  const HistorySample top = history.ring(6).at(0);
  EXPECT_EQ(top.maximum, -200);
  EXPECT_EQ(top.minimum, -300);
  EXPECT_NEAR(top.average, -226, 1);  // power mean of -20 and -30
  EXPECT_EQ(history.ring(2).at(600).average, kTenthsNoData);
}

}  // namespace
}  // namespace qelm::testing
