#include "platform/socket.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

#include "localhost.h"

namespace qelm::platform {
namespace {

using testing::kLocalhost;

// Retries `step` 1 ms apart for at most 3 real seconds.
template <typename Step>
bool within3s(Step step) {
  for (int i = 0; i < 3000; ++i) {
    if (step()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

TEST(SocketTest, AddressTextIsDottedFirstOctetFirst) {
  EXPECT_EQ(addressText(ipv4(10, 0, 0, 5)), "10.0.0.5");
  EXPECT_EQ(addressText(0xFFFFFFFFu), "255.255.255.255");
}

TEST(SocketTest, OwnershipMovesAndTheLastOwnerCloses) {
  NewSocket made = Socket::createStream(false);
  ASSERT_EQ(made.status, IoStatus::kDone);
  const int fd = made.socket.fd();
  EXPECT_NE(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
  EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
  {
    Socket moved = std::move(made.socket);
    EXPECT_FALSE(made.socket.isOpen());
    EXPECT_EQ(moved.fd(), fd);
  }
  errno = 0;
  EXPECT_EQ(fcntl(fd, F_GETFD), -1);
  EXPECT_EQ(errno, EBADF);
}

class SocketPairTest : public ::testing::Test {
 protected:
  void SetUp() override {
    listener_ = Socket::createStream(false).socket;
    ASSERT_EQ(listener_.listenOn(kLocalhost, 0), 0);
    EXPECT_EQ(listener_.accept(false).status, IoStatus::kNotYet);
    client_ = Socket::createStream(false).socket;
    ASSERT_NE(client_.startConnect(kLocalhost, listener_.localPort()).status, IoStatus::kFailed);
    ASSERT_TRUE(within3s([&] { return (server_ = listener_.accept(false).socket).isOpen(); }));
    ASSERT_TRUE(within3s([&] { return client_.writable(); }));
    EXPECT_EQ(client_.pendingError(), 0);
  }

  Socket listener_;
  Socket client_;
  Socket server_;
};

TEST_F(SocketPairTest, BytesCrossAndAnEmptySocketMeansNotYet) {
  uint8_t buffer[16];
  EXPECT_EQ(server_.receive(buffer, sizeof buffer).status, IoStatus::kNotYet);
  const uint8_t hello[] = {1, 2, 3};
  const IoResult put = client_.send(hello, sizeof hello);
  EXPECT_EQ(put.status, IoStatus::kDone);
  EXPECT_EQ(put.bytes, 3u);
  IoResult got;
  ASSERT_TRUE(within3s([&] { return (got = server_.receive(buffer, sizeof buffer)).bytes > 0; }));
  EXPECT_EQ(got.bytes, 3u);
  EXPECT_EQ(buffer[2], 3);
}

TEST_F(SocketPairTest, VanishedPeerIsReportedAndNeverRaisesSigpipe) {
  server_.close();
  uint8_t buffer[16];
  ASSERT_TRUE(
      within3s([&] { return client_.receive(buffer, sizeof buffer).status == IoStatus::kClosed; }));
  // The first send may still be taken; the reset that answers it makes a later one fail.
  const std::vector<uint8_t> bytes(1000, 0x55);
  IoResult put;
  ASSERT_TRUE(within3s([&] {
    put = client_.send(bytes.data(), bytes.size());
    return put.status == IoStatus::kFailed;
  }));
  EXPECT_TRUE(put.error == EPIPE || put.error == ECONNRESET) << put.error;
}

TEST(SocketTest, RefusedConnectFailsAtOnceOrAsAPendingError) {
  Socket closed = Socket::createStream(false).socket;
  ASSERT_EQ(closed.listenOn(kLocalhost, 0), 0);
  const uint16_t port = closed.localPort();
  closed.close();

  Socket client = Socket::createStream(false).socket;
  const IoResult started = client.startConnect(kLocalhost, port);
  if (started.status == IoStatus::kFailed) {
    EXPECT_EQ(started.error, ECONNREFUSED);
    return;
  }
  ASSERT_TRUE(within3s([&] { return client.writable(); }));
  EXPECT_EQ(client.pendingError(), ECONNREFUSED);
}

TEST(SocketTest, ListeningOnAnAddressOfAnotherMachineFails) {
  Socket socket = Socket::createStream(false).socket;
  EXPECT_EQ(socket.listenOn(ipv4(192, 0, 2, 1), 0), EADDRNOTAVAIL);
  EXPECT_EQ(socket.localPort(), 0);
}

}  // namespace
}  // namespace qelm::platform
