#include "comm/tcp_link.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <string>
#include <vector>

#include "card_fixture.h"
#include "loopback.h"

namespace qelm {
namespace {

using loopback::bytesOf;
using loopback::kLocalhost;
using loopback::waitFor;

TEST(LinkResultTest, FirstConnectionCountsAtOnceLaterOnesOnlyAfterData) {
  EXPECT_EQ(linkResult(LinkState::kToConnect, 0), LinkStatus::kConnecting);
  EXPECT_EQ(linkResult(LinkState::kToConnect, 3), LinkStatus::kConnecting);
  EXPECT_EQ(linkResult(LinkState::kConnecting, 0), LinkStatus::kConnecting);
  EXPECT_EQ(linkResult(LinkState::kConnecting, 1), LinkStatus::kNoConnection2);
  EXPECT_EQ(linkResult(LinkState::kConnected, 0), LinkStatus::kLive);
  EXPECT_EQ(linkResult(LinkState::kConnected, 1), LinkStatus::kNoConnection3);
  EXPECT_EQ(linkResult(LinkState::kReceiving, 2), LinkStatus::kLive);
  EXPECT_EQ(linkResult(LinkState::kFailed, 1), LinkStatus::kNoConnection4);
}

TEST(SendQueueTest, MakingRoomDropsOldestButNeverAPartlySentHead) {
  SendQueue queue;
  for (uint16_t oid = 1; oid <= 4; ++oid)
    queue.push(loopback::longRequest(oid));
  ASSERT_EQ(queue.bytes(), 4u * 254u);
  queue.front().sent = 10;

  EXPECT_EQ(queue.makeRoom(254, 3 * 254), 2u);
  ASSERT_EQ(queue.count(), 2u);
  EXPECT_EQ(queue.front().sent, 10);  // the head stays, oids 2 and 3 went
  EXPECT_EQ(bytesOf(queue.back()), bytesOf(*loopback::longRequest(4)));
  EXPECT_EQ(queue.bytes(), 2u * 254u);

  queue.clear(true);
  EXPECT_EQ(queue.count(), 1u);
  queue.clear(false);
  EXPECT_TRUE(queue.empty());
  EXPECT_EQ(queue.bytes(), 0u);
}

class TcpLinkTest : public ::testing::Test {
 protected:
  LinkStatus poll(TcpLink& link) { return link.poll(parser_, queue_, clock_.tick()); }
  // Polls until `link` is in `state`, for at most a few real seconds.
  bool pollUntil(TcpLink& link, LinkState state) {
    return waitFor([&] {
      poll(link);
      return link.state() == state;
    });
  }

  platform::ManualClock clock_{1000};
  std::vector<ReceivedMessage> received_;
  MessageParser parser_{false, [this](const ReceivedMessage& m) { received_.push_back(m); }};
  SendQueue queue_;
};

// With the descriptor limit reached the panel shows only "No Conn (1)": the log must say why,
// once, not at every retry.
TEST_F(TcpLinkTest, NoDescriptorLeftIsLoggedOnce) {
  loopback::TestServer server;
  ASSERT_EQ(server.error, 0);
  TcpLink link(clock_, kLocalhost, server.port());
  // The undefined-behaviour sanitizer needs a descriptor the first time it checks a call's
  // type: every kind of call made while none is left has been made once before.
  TcpLink warm(clock_, kLocalhost, server.port());
  poll(warm);
  static_cast<platform::Clock&>(clock_).tick();
  platform::systemClock().tick();  // the log's clock
  testing::LogCapture log;
  std::vector<LinkStatus> results;
  results.reserve(3);
  {
    rlimit saved{};
    getrlimit(RLIMIT_NOFILE, &saved);
    rlimit none = saved;
    none.rlim_cur = 0;
    setrlimit(RLIMIT_NOFILE, &none);
    for (int attempt = 0; attempt < 3; ++attempt) {
      results.push_back(poll(link));
      clock_.advance(TcpLink::kRetryDelayMs);
    }
    setrlimit(RLIMIT_NOFILE, &saved);
  }
  EXPECT_EQ(results, std::vector<LinkStatus>(3, LinkStatus::kNoConnection4));
  EXPECT_EQ(link.failures(), 3);
  EXPECT_EQ(log.lines(),
            std::vector<std::string>{"Host [127.0.0.1:" + std::to_string(server.port()) +
                                     "] could not create a socket: Too many open "
                                     "files"});
  EXPECT_TRUE(pollUntil(link, LinkState::kConnected)) << "it connects once descriptors are free";
}

TEST_F(TcpLinkTest, ConnectsAndCountsAsLiveAtOnceTheFirstTime) {
  loopback::TestServer server;
  ASSERT_EQ(server.error, 0);
  TcpLink link(clock_, kLocalhost, server.port());
  EXPECT_EQ(link.name(), "Host [127.0.0.1:" + std::to_string(server.port()) + "]");
  EXPECT_EQ(link.state(), LinkState::kToConnect);

  ASSERT_TRUE(pollUntil(link, LinkState::kConnected));
  EXPECT_EQ(poll(link), LinkStatus::kLive);
  EXPECT_EQ(link.failures(), 0);
  platform::Socket peer = server.acceptOne();
  EXPECT_TRUE(peer.isOpen());

  // Connected but silent: no silence limit applies before the first data.
  clock_.advance(60000);
  EXPECT_EQ(poll(link), LinkStatus::kLive);
  EXPECT_EQ(link.state(), LinkState::kConnected);
}

TEST_F(TcpLinkTest, RefusedConnectRetriesAfterOneSecondAndReportsNoConn3UntilData) {
  loopback::RefusingPort refusing;
  TcpLink link(clock_, kLocalhost, refusing.port());
  ASSERT_TRUE(pollUntil(link, LinkState::kFailed));
  EXPECT_EQ(poll(link), LinkStatus::kNoConnection4);
  EXPECT_EQ(link.failures(), 1);
  const uint32_t failedAt = link.stateTime();

  clock_.advance(999);
  poll(link);
  EXPECT_EQ(link.state(), LinkState::kFailed);
  EXPECT_EQ(link.stateTime(), failedAt);

  // The peer starts listening on the refused port; the retry is due now.
  ASSERT_EQ(listen(refusing.socket.fd(), 4), 0);
  clock_.advance(1);
  poll(link);
  EXPECT_EQ(link.stateTime(), clock_.tick());
  ASSERT_TRUE(pollUntil(link, LinkState::kConnected));
  EXPECT_EQ(poll(link), LinkStatus::kNoConnection3);

  platform::Socket peer;
  ASSERT_TRUE(waitFor([&] {
    peer = refusing.socket.accept(false).socket;
    return peer.isOpen();
  }));
  ASSERT_TRUE(loopback::sendAll(peer, bytesOf(loopback::intResponse(7, 42))));
  ASSERT_TRUE(pollUntil(link, LinkState::kReceiving));
  EXPECT_EQ(poll(link), LinkStatus::kLive);
  ASSERT_EQ(received_.size(), 1u);
  EXPECT_EQ(received_[0].oid, 7);
}

// The kernel drops connection requests to a listener whose accept queue is full, so a connect
// to it stays in progress: the only way to hold a loopback connect open.
struct FullBacklog {
  FullBacklog() {
    listen(server.socket.fd(), 0);  // a second listen shrinks the backlog to one
    for (int i = 0; i < 8 && !full; ++i) {
      platform::Socket filler = platform::Socket::createStream(false).socket;
      filler.startConnect(kLocalhost, server.port());
      full = !waitFor([&] { return filler.writable(); }, 100);
      fillers.push_back(std::move(filler));
    }
  }
  loopback::TestServer server;
  std::vector<platform::Socket> fillers;
  bool full = false;
};

TEST_F(TcpLinkTest, ConnectStillInProgressAfterOneSecondFailsAndIsRetriedOneSecondLater) {
  FullBacklog backlog;
  if (!backlog.full) GTEST_SKIP() << "this kernel answers connects beyond a full backlog";
  TcpLink link(clock_, kLocalhost, backlog.server.port());
  EXPECT_EQ(poll(link), LinkStatus::kConnecting);
  ASSERT_EQ(link.state(), LinkState::kConnecting);
  waitFor([] { return false; }, 30);
  clock_.advance(999);
  EXPECT_EQ(poll(link), LinkStatus::kConnecting);
  if (link.state() != LinkState::kConnecting) GTEST_SKIP() << "the connect was answered";

  clock_.advance(1);
  EXPECT_EQ(poll(link), LinkStatus::kNoConnection4);
  EXPECT_EQ(link.failures(), 1);

  clock_.advance(999);
  EXPECT_EQ(poll(link), LinkStatus::kNoConnection4);
  clock_.advance(1);
  EXPECT_EQ(poll(link), LinkStatus::kNoConnection2);  // connecting again after a failure
  EXPECT_EQ(link.state(), LinkState::kConnecting);
}

TEST_F(TcpLinkTest, SilenceOfFiveSecondsAfterDataFailsTheLink) {
  loopback::TestServer server;
  TcpLink link(clock_, kLocalhost, server.port());
  ASSERT_TRUE(pollUntil(link, LinkState::kConnected));
  platform::Socket peer = server.acceptOne();
  ASSERT_TRUE(loopback::sendAll(peer, bytesOf(loopback::intResponse(1, 1))));
  ASSERT_TRUE(pollUntil(link, LinkState::kReceiving));

  clock_.advance(4000);
  ASSERT_TRUE(loopback::sendAll(peer, bytesOf(loopback::intResponse(1, 2))));
  ASSERT_TRUE(waitFor([&] {
    poll(link);
    return received_.size() == 2;
  }));
  clock_.advance(4999);  // 8999 ms after the first data, 4999 after the last
  EXPECT_EQ(poll(link), LinkStatus::kLive);

  clock_.advance(1);
  EXPECT_EQ(poll(link), LinkStatus::kNoConnection4);
  EXPECT_EQ(link.lastReceived(), 0u);
  EXPECT_EQ(link.failures(), 1);
}

TEST_F(TcpLinkTest, PeerClosingMidMessageFailsTheLinkWithoutDelivering) {
  loopback::TestServer server;
  TcpLink link(clock_, kLocalhost, server.port());
  ASSERT_TRUE(pollUntil(link, LinkState::kConnected));
  {
    platform::Socket peer = server.acceptOne();
    std::vector<uint8_t> half = bytesOf(loopback::intResponse(1, 1));
    half.resize(8);
    ASSERT_TRUE(loopback::sendAll(peer, half));
  }
  ASSERT_TRUE(pollUntil(link, LinkState::kFailed));
  EXPECT_EQ(poll(link), LinkStatus::kNoConnection4);
  EXPECT_TRUE(received_.empty());
}

TEST_F(TcpLinkTest, AcceptedLinkHasNoSilenceLimitAndStaysFailedOnceItFails) {
  loopback::TestServer server;
  platform::Socket client = platform::Socket::createStream(false).socket;
  client.startConnect(kLocalhost, server.port());
  TcpLink link(clock_, server.acceptOne());
  EXPECT_EQ(link.name(), "Client");
  EXPECT_EQ(link.state(), LinkState::kConnected);
  MessageParser serverParser(true, [this](const ReceivedMessage& m) { received_.push_back(m); });

  ASSERT_TRUE(loopback::sendAll(client, bytesOf(Message(Side::kClient, Command::kGet, 1, 9))));
  ASSERT_TRUE(waitFor([&] {
    link.poll(serverParser, queue_, clock_.tick());
    return !received_.empty();
  }));
  clock_.advance(60000);
  EXPECT_EQ(link.poll(serverParser, queue_, clock_.tick()), LinkStatus::kLive);

  client.close();
  ASSERT_TRUE(
      waitFor([&] { return link.poll(serverParser, queue_, clock_.tick()) != LinkStatus::kLive; }));
  clock_.advance(10000);
  EXPECT_EQ(link.poll(serverParser, queue_, clock_.tick()), LinkStatus::kNoConnection4);
  EXPECT_EQ(link.failures(), 1);
}

TEST_F(TcpLinkTest, FloodingPeerIsReadOneChunkPerPoll) {
  loopback::TestServer server;
  TcpLink link(clock_, kLocalhost, server.port());
  ASSERT_TRUE(pollUntil(link, LinkState::kConnected));
  platform::Socket peer = server.acceptOne();
  std::vector<uint8_t> flood;
  for (int i = 0; i < 200; ++i) {
    const std::vector<uint8_t> one = bytesOf(loopback::intResponse(1, i));
    flood.insert(flood.end(), one.begin(), one.end());
  }
  ASSERT_TRUE(loopback::sendAll(peer, flood));
  waitFor([] { return false; }, 20);  // let loopback hand everything over

  const size_t mostPerPoll = (TcpLink::kReceiveChunk + 14) / 15;
  poll(link);
  EXPECT_LE(received_.size(), mostPerPoll);
  EXPECT_LT(received_.size(), 200u);
  ASSERT_TRUE(waitFor([&] {
    const size_t before = received_.size();
    poll(link);
    EXPECT_LE(received_.size() - before, mostPerPoll);
    return received_.size() == 200;
  }));
  EXPECT_EQ(received_.back().value[1], 199);
}

// A peer that reads nothing: the link's sends soon stop part-way through a message.
class StalledPeerTest : public TcpLinkTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pollUntil(link_, LinkState::kConnected));
    peer_ = server_.acceptOne();
    for (uint16_t oid = 1; oid <= 1000; ++oid)
      queue_.push(loopback::longRequest(oid));
    ASSERT_TRUE(waitFor([&] {
      poll(link_);
      return link_.holdsPartialMessage();
    })) << "no partial send seen";
  }

  loopback::TestServer server_{kLocalhost, 0, true};
  TcpLink link_{clock_, kLocalhost, server_.port()};
  platform::Socket peer_;
};

TEST_F(StalledPeerTest, PartlySentMessageIsFinishedWhereItStoppedOnceThePeerReads) {
  ASSERT_GT(queue_.front().sent, 0);
  std::vector<uint8_t> stream;
  ASSERT_TRUE(waitFor([&] {
    poll(link_);
    const std::vector<uint8_t> got = loopback::receiveBytes(peer_, 1, 0);
    stream.insert(stream.end(), got.begin(), got.end());
    return stream.size() == 1000u * 254u;
  }));
  EXPECT_TRUE(queue_.empty());
  std::vector<uint16_t> oids;
  MessageParser check(true, [&](const ReceivedMessage& m) { oids.push_back(m.oid); });
  check.feed(stream.data(), stream.size());
  ASSERT_EQ(oids.size(), 1000u);
  for (size_t i = 0; i < oids.size(); ++i)
    EXPECT_EQ(oids[i], i + 1) << "at " << i;
}

TEST_F(StalledPeerTest, FailureDropsTheMessageItCutShort) {
  const Message* cut = &queue_.front();
  const size_t queued = queue_.count();
  link_.fail(queue_, clock_.tick());
  EXPECT_FALSE(link_.holdsPartialMessage());
  ASSERT_EQ(queue_.count(), queued - 1);
  EXPECT_NE(&queue_.front(), cut);
  EXPECT_EQ(queue_.front().sent, 0);
}

}  // namespace
}  // namespace qelm
