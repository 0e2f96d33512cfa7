#include "remote/login_guard.h"

#include <gtest/gtest.h>

#include <set>

namespace qelm::remote {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

const SteadyTime kStart = SteadyTime() + std::chrono::hours(1000);
// 256 random bits in base64url without padding.
constexpr size_t kIdChars = 43;

TEST(SessionTableTest, IdsAreRandomCookieSafeAndUnique) {
  SessionTable table;
  std::set<std::string> ids;
  for (size_t i = 0; i < SessionTable::kMostSessions; ++i) {
    const std::string id = table.open(i % 2 ? Role::kViewer : Role::kOperator, kStart);
    ASSERT_EQ(id.size(), kIdChars);
    ASSERT_EQ(
        id.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
        std::string::npos)
        << id;
    ids.insert(id);
  }
  EXPECT_EQ(ids.size(), SessionTable::kMostSessions);
  EXPECT_EQ(table.size(), SessionTable::kMostSessions);
  // Every id keeps its own role.
  size_t operators = 0;
  for (const std::string& id : ids)
    operators += table.find(id, kStart) == Role::kOperator;
  EXPECT_EQ(operators, SessionTable::kMostSessions / 2);
}

TEST(SessionTableTest, ASessionLastsItsLifetimeUntilClosed) {
  SessionTable table;
  const std::string viewer = table.open(Role::kViewer, kStart);
  const std::string op = table.open(Role::kOperator, kStart + seconds(1));
  const SteadyTime viewerEnd = kStart + SessionTable::kLifetime;
  EXPECT_EQ(table.find(viewer, viewerEnd - milliseconds(1)), Role::kViewer);
  EXPECT_EQ(table.find(viewer, viewerEnd), std::nullopt);
  EXPECT_EQ(table.size(), 1u) << "an ended session is forgotten when it is looked up";
  EXPECT_EQ(table.find(viewer, kStart), std::nullopt) << "and stays ended";

  // Near misses of a real id.
  std::string altered = op;
  altered[10] = altered[10] == 'A' ? 'B' : 'A';
  EXPECT_EQ(table.find(altered, kStart), std::nullopt);
  EXPECT_EQ(table.find(op.substr(1), kStart), std::nullopt);
  EXPECT_EQ(table.find(op + "A", kStart), std::nullopt);
  EXPECT_EQ(table.find("", kStart), std::nullopt);

  table.close(altered);
  EXPECT_EQ(table.find(op, kStart), Role::kOperator);
  table.close(op);
  EXPECT_EQ(table.find(op, kStart), std::nullopt);
  EXPECT_EQ(table.size(), 0u);
}

TEST(SessionTableTest, AFullTableEndsTheSessionClosestToItsEnd) {
  SessionTable table;
  std::vector<std::string> ids;
  for (size_t i = 0; i < SessionTable::kMostSessions; ++i)
    ids.push_back(table.open(Role::kViewer, kStart + seconds(i)));
  const std::string newest = table.open(Role::kOperator, kStart + seconds(5000));
  EXPECT_EQ(table.size(), SessionTable::kMostSessions);
  const SteadyTime now = kStart + seconds(5000);
  EXPECT_EQ(table.find(ids[0], now), std::nullopt);
  EXPECT_EQ(table.find(ids[1], now), Role::kViewer);
  EXPECT_EQ(table.find(newest, now), Role::kOperator);

  // Sessions already over make room before any live one is ended.
  const SteadyTime later = kStart + SessionTable::kLifetime + seconds(10);
  table.open(Role::kViewer, later);
  EXPECT_EQ(table.find(ids.back(), later), Role::kViewer);
  EXPECT_EQ(table.size(), SessionTable::kMostSessions - 9);
}

TEST(LoginThrottleTest, TheWaitDoublesUpToItsCapAndASuccessForgetsIt) {
  LoginThrottle throttle;
  const std::string address = "192.0.2.7";
  EXPECT_EQ(throttle.wait(address, kStart), milliseconds(0));
  SteadyTime now = kStart;
  std::vector<seconds> waits;
  for (int i = 0; i < 9; ++i) {
    throttle.failed(address, now);
    const milliseconds wait = throttle.wait(address, now);
    waits.push_back(std::chrono::duration_cast<seconds>(wait));
    EXPECT_EQ(throttle.wait(address, now + wait - std::chrono::microseconds(1)), milliseconds(1));
    EXPECT_EQ(throttle.wait(address, now + wait), milliseconds(0));
    now += wait;
  }
  EXPECT_EQ(waits,
            (std::vector<seconds>{LoginThrottle::kFirstWait, seconds(2), seconds(4), seconds(8),
                                  seconds(16), seconds(32), LoginThrottle::kLongestWait,
                                  LoginThrottle::kLongestWait, LoginThrottle::kLongestWait}));
  EXPECT_EQ(throttle.wait("192.0.2.8", kStart), milliseconds(0)) << "each address on its own";

  throttle.succeeded(address);
  EXPECT_EQ(throttle.wait(address, now), milliseconds(0));
  throttle.failed(address, now);
  EXPECT_EQ(throttle.wait(address, now), LoginThrottle::kFirstWait);
}

TEST(LoginThrottleTest, TheAddressWhoseWaitEndedLongestAgoMakesRoom) {
  LoginThrottle throttle;
  const auto address = [](size_t i) { return "2001:db8::" + std::to_string(i); };
  for (size_t i = 0; i < LoginThrottle::kMostAddresses; ++i)
    throttle.failed(address(i), kStart + milliseconds(i));
  const SteadyTime now = kStart + seconds(10);
  // The first address fails again, so the second one is now the oldest and makes room.
  throttle.failed(address(0), now);
  throttle.failed("newcomer", now);
  EXPECT_EQ(throttle.wait("newcomer", now), LoginThrottle::kFirstWait);
  EXPECT_EQ(throttle.wait(address(0), now), seconds(2));
  throttle.failed(address(2), now);
  EXPECT_EQ(throttle.wait(address(2), now), seconds(2)) << "remembered";
  // Forgotten, it starts again from the first wait (and makes room in its turn).
  throttle.failed(address(1), now);
  EXPECT_EQ(throttle.wait(address(1), now), LoginThrottle::kFirstWait);
}

}  // namespace
}  // namespace qelm::remote
