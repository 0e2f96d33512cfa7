#include "core/plant_bridge.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

namespace qelm {
namespace {

TEST(PlantBridgeTest, PassTimesFormACumulativeHistogramWithSlowPassesOnlyInTheTotal) {
  PlantBridge bridge;
  bridge.recordPass(0.00005);  // first bucket
  bridge.recordPass(0.0001);   // a time on a bound counts at that bound
  bridge.recordPass(0.0007);   // 1 ms
  bridge.recordPass(0.5);      // over every bound: +Inf only
  const PassHistogram passes = bridge.passes();
  EXPECT_EQ(passes.atOrUnder[0], 2u);
  EXPECT_EQ(passes.atOrUnder[2], 2u);
  EXPECT_EQ(passes.atOrUnder[3], 3u);
  EXPECT_EQ(passes.atOrUnder.back(), 3u);
  EXPECT_EQ(passes.count, 4u);
  EXPECT_NEAR(passes.sumSeconds, 0.50085, 1e-6);
}

TEST(PlantBridgeTest, PublicationsAreNumberedAndNoticedUntilTheNoticeIsTakenAway) {
  PlantBridge bridge;
  EXPECT_EQ(bridge.latest(), nullptr);
  int notices = 0;
  bridge.onPublished([&notices] { ++notices; });
  bridge.publish(std::make_shared<PlantSnapshot>());
  bridge.publish(std::make_shared<PlantSnapshot>());
  ASSERT_NE(bridge.latest(), nullptr);
  EXPECT_EQ(bridge.latest()->sequence, 2u);
  bridge.onPublished(nullptr);
  bridge.publish(std::make_shared<PlantSnapshot>());
  EXPECT_EQ(notices, 2);
  EXPECT_EQ(bridge.latest()->sequence, 3u);
}

TEST(PlantBridgeTest, WantedPartsAreTakenOnceAndRequestsPastTheBoundAreRefusedAtOnce) {
  PlantBridge bridge;
  platform::Wakeup wakeup;
  bridge.wakeEngineWith(wakeup);
  bridge.want(PlantBridge::kStatus);
  bridge.want(PlantBridge::kDevices);
  EXPECT_TRUE(wakeup.waitMs(0)) << "the engine's pause ends for what the server asks";
  EXPECT_EQ(bridge.takeWanted(), PlantBridge::kStatus | PlantBridge::kDevices);
  EXPECT_EQ(bridge.takeWanted(), 0u);

  // Devices by number, each once; past the bound, every device.
  constexpr auto kMost = static_cast<int32_t>(PlantBridge::kMostWantedDevices);
  for (int32_t number = kMost; number >= 0; --number)
    bridge.wantDevice(number % kMost + 1);
  EXPECT_EQ(bridge.takeWanted(), PlantBridge::kSomeDevices);
  bridge.wantDevice(kMost + 1);
  EXPECT_EQ(bridge.takeWanted(), PlantBridge::kDevices);
  const std::vector<int32_t> numbers = bridge.takeWantedDevices();
  EXPECT_EQ(numbers.size(), PlantBridge::kMostWantedDevices);
  EXPECT_TRUE(std::is_sorted(numbers.begin(), numbers.end()));

  wakeup.waitMs(0);
  bridge.submit(PlantRequest{}, [](PlantReply) {});
  EXPECT_TRUE(wakeup.waitMs(0));
  int refused = 0;
  for (size_t i = 1; i < PlantBridge::kMostRequests + 2; ++i)
    bridge.submit(PlantRequest{}, [&refused](PlantReply reply) {
      EXPECT_EQ(reply.status, 503);
      ++refused;
    });
  EXPECT_EQ(refused, 2);
  EXPECT_TRUE(bridge.hasRequests());
  EXPECT_EQ(bridge.takeRequests().size(), PlantBridge::kMostRequests);
  EXPECT_FALSE(bridge.hasRequests());
}

TEST(PlantBridgeTest, ANoticeReplacedWhileTheEngineNotifiesIsNeverCalledAfterward) {
  PlantBridge bridge;
  std::atomic<bool> replaced{false};
  std::atomic<int> lateCalls{0};
  bridge.onPublished([&] {
    if (replaced.load()) ++lateCalls;
  });
  std::thread engine([&bridge] {
    for (int i = 0; i < 2000; ++i)
      bridge.publish(std::make_shared<PlantSnapshot>());
  });
  bridge.onPublished(nullptr);
  replaced.store(true);
  engine.join();
  EXPECT_EQ(lateCalls.load(), 0);
}

}  // namespace
}  // namespace qelm
