#include "model/link_status.h"

#include <gtest/gtest.h>

namespace qelm {
namespace {

TEST(LinkStatusTest, LiveStatusesShowNoTextOthersTheirNames) {
  EXPECT_EQ(linkStatusName(LinkStatus::kLive), "");
  EXPECT_EQ(linkStatusName(LinkStatus::kConnecting), "");
  EXPECT_EQ(linkStatusName(LinkStatus::kMissingFeature), "Missing Feature");
  EXPECT_EQ(linkStatusName(LinkStatus::kNoConnection4), "No Conn (4)");
  EXPECT_EQ(linkStatusName(LinkStatus::kInactive), "Inactive");
  EXPECT_EQ(linkStatusName(static_cast<LinkStatus>(13)), "Unknown");
  EXPECT_EQ(linkStatusName(static_cast<LinkStatus>(-1)), "Unknown");
  EXPECT_TRUE(isLive(LinkStatus::kConnecting));
  EXPECT_FALSE(isLive(LinkStatus::kNoData));
}

}  // namespace
}  // namespace qelm
