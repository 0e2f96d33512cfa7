#include "platform/socket_watch.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/clock.h"
#include "platform/socket.h"

namespace qelm::platform {
namespace {

constexpr uint32_t kLocalhost = ipv4(127, 0, 0, 1);
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
bool becomesReadable(SocketWatch& watch, Socket& socket, SocketWatch::Ticket& ticket) {
  for (int i = 0; i < 3000; ++i) {
    watch.clear();
    ticket = watch.add(socket.fd(), true, false, ticket);
    watch.check();
    if (watch.reading(ticket) == Readiness::kReady) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

TEST(SocketWatchTest, ReportsDataAPeersCloseAndAFinishedConnect) {
  Pair pair = connectPair();
  SocketWatch watch;
  SocketWatch::Ticket ticket = watch.add(pair.near.fd(), true, true, {});
  EXPECT_EQ(watch.reading(ticket), Readiness::kUnknown) << "nothing looked at yet";
  watch.check();
  EXPECT_EQ(watch.reading(ticket), Readiness::kIdle);
  EXPECT_EQ(watch.writing(ticket), Readiness::kReady) << "a connected socket has room";

  sendByte(pair.far);
  ASSERT_TRUE(becomesReadable(watch, pair.near, ticket));
  EXPECT_EQ(watch.writing(ticket), Readiness::kUnknown) << "not asked about writing this round";
  uint8_t byte = 0;
  ASSERT_EQ(pair.near.receive(&byte, 1).bytes, 1u);
  watch.clear();
  ticket = watch.add(pair.near.fd(), true, false, ticket);
  watch.check();
  EXPECT_EQ(watch.reading(ticket), Readiness::kIdle) << "served data no longer counts";

  pair.far.close();
  EXPECT_TRUE(becomesReadable(watch, pair.near, ticket)) << "a peer's close must be seen";
}

TEST(SocketWatchTest, TicketsOfAnotherRoundOrWatchAreUnknown) {
  Pair pair = connectPair();
  SocketWatch watch;
  const SocketWatch::Ticket old = watch.add(pair.near.fd(), true, false, {});
  watch.check();
  EXPECT_EQ(watch.reading(old), Readiness::kIdle);
  watch.clear();
  watch.check();
  EXPECT_EQ(watch.reading(old), Readiness::kUnknown);
  EXPECT_EQ(watch.reading(SocketWatch::Ticket{}), Readiness::kUnknown);
  EXPECT_EQ(watch.reading(SocketWatch::Ticket{old.round + 1, 7}), Readiness::kUnknown);
}

// The set remembers sockets between rounds; a closed socket's number given to a new socket
// must be watched for the new one, or its data would never be read.
TEST(SocketWatchTest, ANewSocketOnAReusedNumberIsWatched) {
  SocketWatch watch;
  Pair first = connectPair();
  SocketWatch::Ticket ticket = watch.add(first.near.fd(), true, false, {});
  watch.check();
  const int number = first.near.fd();
  first = Pair{};  // closes every socket of the first pair

  Pair second = connectPair();
  ASSERT_EQ(second.near.fd(), number) << "the system did not reuse the number; nothing to test";
  watch.clear();
  ticket = watch.add(second.near.fd(), true, false, {});
  watch.check();
  EXPECT_EQ(watch.reading(ticket), Readiness::kIdle);
  sendByte(second.far);
  EXPECT_TRUE(becomesReadable(watch, second.near, ticket));
}

TEST(SocketWatchTest, TheWaitKeepsItsPaceUnderTrafficAndEndsOnAWakeup) {
  Pair pair = connectPair();
  SocketWatch watch;
  Wakeup wakeup;
  sendByte(pair.far);
  SocketWatch::Ticket ticket;
  ASSERT_TRUE(becomesReadable(watch, pair.near, ticket));

  // A socket with data does not cut the pause short, and is reported after it.
  watch.clear();
  ticket = watch.add(pair.near.fd(), true, false, ticket);
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
}

TEST(SocketWatchTest, ADrivenClockLooksAfterItsSleep) {
  Pair pair = connectPair();
  sendByte(pair.far);
  SocketWatch watch;
  SocketWatch::Ticket ticket;
  ASSERT_TRUE(becomesReadable(watch, pair.near, ticket));
  ManualClock clock(10);
  Wakeup wakeup;
  watch.clear();
  ticket = watch.add(pair.near.fd(), true, false, ticket);
  clock.sleepWatching(5, wakeup, watch);
  EXPECT_EQ(clock.tick(), 15u);
  EXPECT_EQ(watch.reading(ticket), Readiness::kReady);
}

}  // namespace
}  // namespace qelm::platform
