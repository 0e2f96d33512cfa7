#include "comm/listener.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <vector>

#include "card_fixture.h"
#include "loopback.h"

namespace qelm {
namespace {

using loopback::kLocalhost;
using loopback::waitFor;

class ListenerTest : public ::testing::Test {
 protected:
  platform::ManualClock clock_{1000};
};

TEST_F(ListenerTest, SimulatedFrameListensOnPort5253AndHandsOverNonBlockingSockets) {
  const uint32_t frame = platform::ipv4(127, 46, 0, 1);
  Listener listener(clock_, frame);
  EXPECT_EQ(listener.name(), "Listener");
  EXPECT_FALSE(listener.accept().has_value());  // not listening yet

  listener.poll(clock_.tick());
  if (listener.lastError() == EADDRINUSE) GTEST_SKIP() << "port 5253 of 127.46.0.1 is taken";
  ASSERT_EQ(listener.state(), ListenerState::kListening);
  EXPECT_EQ(listener.boundPort(), kFramePort);
  EXPECT_EQ(listener.lastAttempt(), clock_.tick());
  EXPECT_FALSE(listener.accept().has_value());  // nobody waiting

  std::vector<platform::Socket> panels;
  for (int i = 0; i < 3; ++i) {
    panels.push_back(platform::Socket::createStream(false).socket);
    panels.back().startConnect(frame, kFramePort);
  }
  std::vector<platform::Socket> accepted;
  waitFor([&] {
    while (std::optional<platform::Socket> socket = listener.accept()) {
      accepted.push_back(std::move(*socket));
    }
    return accepted.size() == 3;
  });
  ASSERT_EQ(accepted.size(), 3u);
  EXPECT_NE(fcntl(accepted[0].fd(), F_GETFL) & O_NONBLOCK, 0);
  EXPECT_NE(fcntl(accepted[0].fd(), F_GETFD) & FD_CLOEXEC, 0);
}

TEST_F(ListenerTest, PortInUseIsRetriedEveryFiveSecondsAndLoggedOnce) {
  auto blocker = std::make_unique<loopback::TestServer>();
  const uint16_t port = blocker->port();
  Listener listener(clock_, kLocalhost, port);
  testing::LogCapture log;
  listener.poll(clock_.tick());
  EXPECT_EQ(listener.state(), ListenerState::kNotListening);
  EXPECT_EQ(listener.lastError(), EADDRINUSE);
  const uint32_t firstAttempt = listener.lastAttempt();
  EXPECT_EQ(firstAttempt, clock_.tick());
  clock_.advance(Listener::kRetryIntervalMs);
  listener.poll(clock_.tick());
  clock_.advance(Listener::kRetryIntervalMs);
  listener.poll(clock_.tick());
  // Another engine on the same address must not go unnoticed, nor fill the log.
  EXPECT_EQ(log.lines(),
            std::vector<std::string>{"Listener could not listen on 127.0.0.1:" +
                                     std::to_string(port) + ": Address already in use"});

  blocker.reset();
  const uint32_t lastAttempt = listener.lastAttempt();
  clock_.advance(Listener::kRetryIntervalMs - 1);
  listener.poll(clock_.tick());
  EXPECT_EQ(listener.state(), ListenerState::kNotListening);
  EXPECT_EQ(listener.lastAttempt(), lastAttempt);

  clock_.advance(1);
  listener.poll(clock_.tick());
  EXPECT_EQ(listener.state(), ListenerState::kListening);
  EXPECT_EQ(listener.lastAttempt(), clock_.tick());
  EXPECT_EQ(listener.boundPort(), port);
}

TEST_F(ListenerTest, AddressThatIsNotThisMachinesNeverListens) {
  Listener listener(clock_, platform::ipv4(192, 0, 2, 1));  // documentation range
  for (int attempt = 0; attempt < 3; ++attempt) {
    listener.poll(clock_.tick());
    EXPECT_EQ(listener.state(), ListenerState::kNotListening);
    EXPECT_EQ(listener.lastError(), EADDRNOTAVAIL);
    EXPECT_EQ(listener.lastAttempt(), clock_.tick());
    clock_.advance(Listener::kRetryIntervalMs);
  }
  EXPECT_FALSE(listener.accept().has_value());
}

}  // namespace
}  // namespace qelm
