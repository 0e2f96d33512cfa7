#include "platform/socket_watch.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "localhost.h"
#include "platform/clock.h"
#include "platform/socket.h"

namespace qelm::platform {
namespace {

using testing::kLocalhost;
using Steady = std::chrono::steady_clock;

// A connected pair on loopback: `near` is the socket watched, `far` its peer.
struct Pair {
  Socket listener;
  Socket near;
  Socket far;
};

Pair connectPair() {
  Pair pair;
  pair.listener = Socket::createStream(false).socket;
  EXPECT_EQ(pair.listener.listenOn(kLocalhost, 0), 0);
  pair.near = Socket::createStream(true).socket;
  EXPECT_NE(pair.near.startConnect(kLocalhost, pair.listener.localPort()).status,
            IoStatus::kFailed);
  for (int i = 0; i < 3000 && !pair.far.isOpen(); ++i) {
    pair.far = pair.listener.accept(true).socket;
    if (!pair.far.isOpen()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_TRUE(pair.far.isOpen());
  return pair;
}

void sendByte(Socket& socket) {
  const uint8_t byte = 0x5A;
  ASSERT_EQ(socket.send(&byte, 1).status, IoStatus::kDone);
}

// Looks until `ticket` reads ready (loopback delivery is quick but not instantaneous).
bool becomesReadable(SocketWatch& watch, SocketWatch::Ticket ticket) {
  for (int i = 0; i < 3000; ++i) {
    watch.check();
    if (watch.reading(ticket) == Readiness::kReady) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

TEST(SocketWatchTest, ReportsDataAPeersCloseAndAFinishedConnect) {
  Pair pair = connectPair();
  SocketWatch watch;
  int owner = 0;
  SocketWatch::Ticket ticket = watch.watch(pair.near.fd(), true, true, {}, &owner);
  EXPECT_EQ(watch.reading(ticket), Readiness::kUnknown) << "nothing looked at yet";
  watch.check();
  EXPECT_EQ(watch.reading(ticket), Readiness::kIdle);
  EXPECT_EQ(watch.writing(ticket), Readiness::kReady) << "a connected socket has room";
  EXPECT_EQ(watch.readyOwners(), std::vector<void*>{&owner});

  // Asking for reading alone: the change counts from the next look.
  EXPECT_EQ(watch.watch(pair.near.fd(), true, false, ticket, &owner).slot, ticket.slot);
  EXPECT_EQ(watch.reading(ticket), Readiness::kUnknown);
  watch.check();
  EXPECT_EQ(watch.reading(ticket), Readiness::kIdle);
  EXPECT_EQ(watch.writing(ticket), Readiness::kUnknown) << "not asked about writing";
  EXPECT_TRUE(watch.readyOwners().empty()) << "a quiet socket names no owner";

  sendByte(pair.far);
  ASSERT_TRUE(becomesReadable(watch, ticket));
  EXPECT_EQ(watch.readyOwners(), std::vector<void*>{&owner});
  watch.check();
  EXPECT_EQ(watch.reading(ticket), Readiness::kReady) << "unread data is found again";
  uint8_t byte = 0;
  ASSERT_EQ(pair.near.receive(&byte, 1).bytes, 1u);
  watch.check();
  EXPECT_EQ(watch.reading(ticket), Readiness::kIdle) << "served data no longer counts";

  pair.far.close();
  EXPECT_TRUE(becomesReadable(watch, ticket)) << "a peer's close must be seen";
}

TEST(SocketWatchTest, ForgottenOrForeignTicketsAreUnknown) {
  Pair pair = connectPair();
  SocketWatch watch;
  SocketWatch::Ticket ticket = watch.watch(pair.near.fd(), true, false, {});
  const SocketWatch::Ticket kept = ticket;
  watch.check();
  EXPECT_EQ(watch.reading(ticket), Readiness::kIdle);
  EXPECT_EQ(watch.size(), 1u);
  watch.forget(ticket);
  EXPECT_EQ(ticket.slot, 0u) << "a forgotten ticket is reset";
  EXPECT_EQ(watch.size(), 0u);
  sendByte(pair.far);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  watch.check();
  EXPECT_EQ(watch.reading(kept), Readiness::kUnknown);
  EXPECT_TRUE(watch.readyOwners().empty()) << "a forgotten socket is not looked at";
  EXPECT_EQ(watch.reading(SocketWatch::Ticket{}), Readiness::kUnknown);
  EXPECT_EQ(watch.reading(SocketWatch::Ticket{7, 0}), Readiness::kUnknown);

  // The slot given again names the new registration only.
  Pair other = connectPair();
  const SocketWatch::Ticket next = watch.watch(other.near.fd(), true, false, {});
  EXPECT_EQ(next.slot, kept.slot);
  watch.check();
  EXPECT_EQ(watch.reading(kept), Readiness::kUnknown);
  EXPECT_EQ(watch.reading(next), Readiness::kIdle);
  SocketWatch foreign;
  foreign.check();
  EXPECT_EQ(foreign.reading(next), Readiness::kUnknown);
}

// A closed socket's number given to a new socket must be watched for the new one, or its data
// would never be read.
TEST(SocketWatchTest, ANewSocketOnAReusedNumberIsWatched) {
  SocketWatch watch;
  Pair first = connectPair();
  SocketWatch::Ticket ticket = watch.watch(first.near.fd(), true, false, {});
  watch.check();
  const int number = first.near.fd();
  watch.forget(ticket);
  first = Pair{};  // closes every socket of the first pair

  Pair second = connectPair();
  ASSERT_EQ(second.near.fd(), number) << "the system did not reuse the number; nothing to test";
  ticket = watch.watch(second.near.fd(), true, false, {});
  watch.check();
  EXPECT_EQ(watch.reading(ticket), Readiness::kIdle);
  sendByte(second.far);
  EXPECT_TRUE(becomesReadable(watch, ticket));

  // An owner that closed its socket without forgetting it: the old ticket given with the new
  // socket is dropped, never used to touch the number.
  Pair third = connectPair();
  const SocketWatch::Ticket stale = watch.watch(third.near.fd(), true, false, ticket);
  EXPECT_NE(stale.generation, ticket.generation);
  EXPECT_EQ(watch.size(), 1u);
  sendByte(third.far);
  EXPECT_TRUE(becomesReadable(watch, stale));
}

TEST(SocketWatchTest, TheWaitKeepsItsPaceUnderTrafficAndEndsOnAWakeup) {
  Pair pair = connectPair();
  SocketWatch watch;
  Wakeup wakeup;
  sendByte(pair.far);
  const SocketWatch::Ticket ticket = watch.watch(pair.near.fd(), true, false, {});
  ASSERT_TRUE(becomesReadable(watch, ticket));

  // A socket with data does not cut the pause short, and is reported after it.
  auto start = Steady::now();
  EXPECT_FALSE(watch.wait(30, wakeup));
  EXPECT_GE(Steady::now() - start, std::chrono::milliseconds(30));
  EXPECT_EQ(watch.reading(ticket), Readiness::kReady);

  // A notification given before, or during, the wait ends it at once and is taken.
  wakeup.notify();
  start = Steady::now();
  EXPECT_TRUE(watch.wait(5000, wakeup));
  EXPECT_EQ(watch.reading(ticket), Readiness::kReady);
  std::thread producer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    wakeup.notify();
  });
  EXPECT_TRUE(watch.wait(5000, wakeup));
  producer.join();
  EXPECT_LT(Steady::now() - start, std::chrono::seconds(4));
  start = Steady::now();
  EXPECT_FALSE(watch.wait(20, wakeup)) << "the notification was taken";
  EXPECT_GE(Steady::now() - start, std::chrono::milliseconds(20));

  // Pause after pause ending with the socket ready: the watch looks after each sleep instead
  // of in it, with the same answers, pace and wakeups.
  for (int i = 0; i < 200; ++i) {
    start = Steady::now();
    ASSERT_FALSE(watch.wait(1, wakeup));
    ASSERT_GE(Steady::now() - start, std::chrono::milliseconds(1));
    ASSERT_EQ(watch.reading(ticket), Readiness::kReady);
  }
  wakeup.notify();
  start = Steady::now();
  EXPECT_TRUE(watch.wait(5000, wakeup));
  EXPECT_LT(Steady::now() - start, std::chrono::seconds(4));
  EXPECT_EQ(watch.reading(ticket), Readiness::kReady);
  EXPECT_FALSE(watch.wait(20, wakeup));
}

TEST(SocketWatchTest, ADrivenClockLooksAfterItsSleep) {
  Pair pair = connectPair();
  sendByte(pair.far);
  SocketWatch watch;
  const SocketWatch::Ticket ticket = watch.watch(pair.near.fd(), true, false, {});
  ASSERT_TRUE(becomesReadable(watch, ticket));
  ManualClock clock(10);
  Wakeup wakeup;
  clock.sleepWatching(5, wakeup, watch);
  EXPECT_EQ(clock.tick(), 15u);
  EXPECT_EQ(watch.reading(ticket), Readiness::kReady);
}

}  // namespace
}  // namespace qelm::platform
