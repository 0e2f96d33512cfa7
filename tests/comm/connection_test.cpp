#include "comm/connection.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <vector>

#include "comm/legacy_port.h"
#include "comm/listener.h"
#include "loopback.h"

namespace qelm {
namespace {

using loopback::bytesOf;
using loopback::kLocalhost;
using loopback::waitFor;

// Sets the process-wide legacy port switch for one test and restores it afterwards.
class LegacyPortScope {
 public:
  explicit LegacyPortScope(bool on) : before_(legacyPortEnabled()) { setLegacyPortEnabled(on); }
  ~LegacyPortScope() { setLegacyPortEnabled(before_); }

 private:
  bool before_;
};

class ConnectionTest : public ::testing::Test {
 protected:
  MessageParser::Deliver collect() {
    return [this](const ReceivedMessage& m) { received_.push_back(m); };
  }
  bool pollUntil(Connection& connection, LinkStatus status) {
    return waitFor([&] { return connection.poll(clock_.tick()) == status; });
  }

  platform::ManualClock clock_{1000};
  std::vector<ReceivedMessage> received_;
};

TEST_F(ConnectionTest, ClientAndAcceptedConnectionsTalkOverTheFramePort) {
  const uint32_t frame = platform::ipv4(127, 45, 0, 1);
  LegacyPortScope legacy(false);
  Listener listener(clock_, frame);
  listener.poll(clock_.tick());
  if (listener.lastError() == EADDRINUSE) GTEST_SKIP() << "port 5253 of 127.45.0.1 is taken";
  ASSERT_EQ(listener.state(), ListenerState::kListening);

  Connection client(clock_, frame, collect());
  ASSERT_EQ(client.candidates().size(), 1u);
  EXPECT_EQ(client.candidates()[0]->name(), "Host [127.45.0.1:5253]");
  EXPECT_EQ(client.status(), LinkStatus::kConnecting);
  ASSERT_TRUE(pollUntil(client, LinkStatus::kLive));

  std::optional<platform::Socket> accepted;
  ASSERT_TRUE(waitFor([&] { return (accepted = listener.accept()).has_value(); }));
  std::vector<ReceivedMessage> requests;
  Connection server(clock_, std::move(*accepted),
                    [&](const ReceivedMessage& m) { requests.push_back(m); });

  client.enqueue(std::make_unique<Message>(Side::kClient, Command::kGet, 3, 0x0102));
  ASSERT_TRUE(waitFor([&] {
    client.poll(clock_.tick());
    server.poll(clock_.tick());
    return !requests.empty();
  }));
  EXPECT_EQ(requests[0].oid, 0x0102);
  EXPECT_TRUE(client.queue().empty());

  server.enqueue(std::make_unique<Message>(loopback::intResponse(0x0102, 5)));
  ASSERT_TRUE(waitFor([&] {
    server.poll(clock_.tick());
    client.poll(clock_.tick());
    return !received_.empty();
  }));
  EXPECT_EQ(received_[0].value[1], 5);
  EXPECT_EQ(server.status(), LinkStatus::kLive);
}

TEST_F(ConnectionTest, LegacyCandidateIsTriedFirstAndDroppedWhenTheFramePortWins) {
  const uint32_t frame = platform::ipv4(127, 45, 0, 2);
  loopback::TestServer server(frame, kFramePort);
  if (server.error == EADDRINUSE) GTEST_SKIP() << "port 5253 of 127.45.0.2 is taken";
  ASSERT_EQ(server.error, 0);

  LegacyPortScope legacy(true);
  Connection client(clock_, frame, collect());
  ASSERT_EQ(client.candidates().size(), 2u);
  EXPECT_EQ(client.candidates()[0]->port(), kLegacyFramePort);
  EXPECT_EQ(client.candidates()[1]->port(), kFramePort);

  ASSERT_TRUE(pollUntil(client, LinkStatus::kLive));
  ASSERT_EQ(client.candidates().size(), 1u);
  EXPECT_EQ(client.candidates()[0]->port(), kFramePort);

  // The switch is read when a connection is made; it does not change a live one.
  setLegacyPortEnabled(false);
  EXPECT_EQ(Connection(clock_, frame, collect()).candidates().size(), 1u);
}

TEST_F(ConnectionTest, QueuedMessagesAreDroppedWhileNoCandidateIsUp) {
  loopback::RefusingPort refusing;
  Connection client(clock_, kLocalhost, {refusing.port()}, collect());
  client.enqueue(loopback::longRequest(1));
  EXPECT_EQ(client.poll(clock_.tick()), LinkStatus::kConnecting);
  EXPECT_TRUE(client.queue().empty());
  ASSERT_TRUE(pollUntil(client, LinkStatus::kNoConnection1));
  EXPECT_EQ(client.candidates()[0]->state(), LinkState::kFailed);
}

TEST_F(ConnectionTest, ReconnectForgetsAMessageCutShortAndStillSendsWhatIsQueued) {
  loopback::TestServer server;
  Connection client(clock_, kLocalhost, {server.port()}, collect());
  ASSERT_TRUE(pollUntil(client, LinkStatus::kLive));
  {
    // The frame dies two bytes before the end of a message.
    platform::Socket first = server.acceptOne();
    std::vector<uint8_t> cut = bytesOf(loopback::intResponse(1, 1));
    cut.resize(cut.size() - 2);
    ASSERT_TRUE(loopback::sendAll(first, cut));
  }
  ASSERT_TRUE(pollUntil(client, LinkStatus::kNoConnection1));

  clock_.advance(TcpLink::kRetryDelayMs);
  ASSERT_TRUE(waitFor([&] {
    client.poll(clock_.tick());
    return client.candidates()[0]->state() == LinkState::kConnected;
  }));
  platform::Socket second = server.acceptOne();

  // Reconnected but silent: not up (8), yet what is queued still goes out before it is dropped.
  client.enqueue(std::make_unique<Message>(Side::kClient, Command::kGet, 1, 2));
  EXPECT_EQ(client.poll(clock_.tick()), LinkStatus::kNoConnection1);
  EXPECT_EQ(loopback::receiveBytes(second, 12),
            bytesOf(Message(Side::kClient, Command::kGet, 1, 2)));

  // The new stream's first bytes must not complete the old message.
  ASSERT_TRUE(loopback::sendAll(second, bytesOf(loopback::intResponse(3, 77))));
  ASSERT_TRUE(pollUntil(client, LinkStatus::kLive));
  ASSERT_EQ(received_.size(), 1u);
  EXPECT_EQ(received_[0].oid, 3);
  EXPECT_EQ(received_[0].value[1], 77);
}

TEST_F(ConnectionTest, ClientQueueKeepsTheNewestWithinItsCapAndNeverCutsAMessage) {
  loopback::TestServer server(kLocalhost, 0, true);
  Connection client(clock_, kLocalhost, {server.port()}, collect());
  ASSERT_TRUE(pollUntil(client, LinkStatus::kLive));
  platform::Socket frame = server.acceptOne();

  uint16_t oid = 0;
  ASSERT_TRUE(waitFor([&] {
    client.enqueue(loopback::longRequest(++oid));
    client.poll(clock_.tick());
    return client.candidates()[0]->holdsPartialMessage();
  }));
  const Message* cut = &client.queue().front();
  const int cutAt = cut->sent;
  for (int i = 0; i < 3000; ++i) {
    client.enqueue(loopback::longRequest(++oid));
    ASSERT_LE(client.queue().bytes(), Connection::kMaxQueuedBytes);
  }
  EXPECT_GT(client.droppedMessages(), 0u);
  EXPECT_EQ(&client.queue().front(), cut);
  EXPECT_EQ(cut->sent, cutAt);
  EXPECT_EQ(bytesOf(client.queue().back()), bytesOf(*loopback::longRequest(oid)));

  // The frame finally reads exactly the messages not dropped, whole and in queueing order.
  const size_t expected = (oid - client.droppedMessages()) * 254;
  std::vector<uint8_t> stream;
  waitFor(
      [&] {
        client.poll(clock_.tick());
        const std::vector<uint8_t> got = loopback::receiveBytes(frame, 1, 0);
        stream.insert(stream.end(), got.begin(), got.end());
        return stream.size() >= expected;
      },
      10000);
  ASSERT_EQ(stream.size(), expected);
  std::vector<uint16_t> oids;
  MessageParser check(true, [&](const ReceivedMessage& m) { oids.push_back(m.oid); });
  check.feed(stream.data(), stream.size());
  ASSERT_EQ(oids.size(), expected / 254);
  for (size_t i = 1; i < oids.size(); ++i)
    ASSERT_LT(oids[i - 1], oids[i]) << "at " << i;
  EXPECT_EQ(oids.back(), oid);
}

TEST_F(ConnectionTest, AcceptedPeerThatStopsReadingIsDropped) {
  loopback::TestServer server;
  platform::Socket panel = platform::Socket::createStream(false).socket;
  loopback::makeSlowReader(panel);
  panel.startConnect(kLocalhost, server.port());
  Connection accepted(clock_, server.acceptOne(), collect());
  ASSERT_EQ(accepted.poll(clock_.tick()), LinkStatus::kLive);

  for (int i = 0; i < 10000 && accepted.status() == LinkStatus::kLive; ++i) {
    auto message = std::make_unique<Message>(Side::kServer, Command::kSetResponse, 1, 1);
    message->appendValue(Value::ofText(std::string(240, 'y')), ValueType::kString);
    accepted.enqueue(std::move(message));
    ASSERT_LE(accepted.queue().bytes(), Connection::kMaxQueuedBytes);
    if (i % 16 == 0) accepted.poll(clock_.tick());
  }
  accepted.poll(clock_.tick());
  EXPECT_EQ(accepted.status(), LinkStatus::kNoConnection1);
  EXPECT_EQ(accepted.candidates()[0]->state(), LinkState::kFailed);
  EXPECT_TRUE(accepted.queue().empty());
  EXPECT_GT(accepted.droppedMessages(), 0u);
}

}  // namespace
}  // namespace qelm
