#include "comm/server.h"

#include <gtest/gtest.h>

#include <vector>

#include "card_fixture.h"
#include "comm/client.h"
#include "loopback.h"

namespace qelm {
namespace {

using namespace qelm::testing;

constexpr uint8_t kServedSlot = 6;

class ServerTargetTest : public GroupFixture {
 protected:
  ServerTargetTest() : GroupFixture(GroupKind::kSimulator) {}

  Card& card() { return *host_.findCard(kServedSlot, false, true); }
  ServerTarget& served(Parameter* parameter) {
    return dynamic_cast<ServerTarget&>(*card().getTarget(*parameter));
  }
  void request(Command command, uint16_t oid, uint16_t element = 0) {
    feedTo(host_, Message(Side::kClient, command, kServedSlot, oid, element));
  }
  void requestSet(Command command, uint16_t oid, const Value& value, ValueType type,
                  uint16_t element = 0) {
    Message message(Side::kClient, command, kServedSlot, oid, element);
    message.appendValue(value, type);
    feedTo(host_, message);
  }

  RecordingHost host_{group_, platform::ipv4(127, 47, 2, 1)};
};

TEST_F(ServerTargetTest, ServesTheDefaultOrAValueInsideTheRange) {
  ServerTarget& gain = served(model_.gain);
  ServerTarget& level = served(model_.level);
  ServerTarget& label = served(model_.label);
  EXPECT_EQ(gain.receivedValue().i, 42);
  ASSERT_TRUE(level.receivedValue().valid);
  EXPECT_GE(level.receivedValue().f, -10.0f);
  EXPECT_LE(level.receivedValue().f, 10.0f);
  EXPECT_EQ(label.receivedValue().text, "***");
  EXPECT_EQ(gain.valueText(), "");
  EXPECT_TRUE(gain.hasValue());
  EXPECT_EQ(gain.status(), LinkStatus::kLive);
  gain.setValue(Value::ofInt(1));
  gain.sendValue(Value::ofInt(1));
  EXPECT_EQ(gain.receivedValue().i, 42);
}

TEST_F(ServerTargetTest, AnswersGetsAndSetsOfTheMatchingKindOnly) {
  served(model_.gain);
  ServerTarget& bus = served(model_.bus[1]);
  request(Command::kGet, kGainOid);
  ASSERT_EQ(host_.sent.size(), 1u);
  Message expected(Side::kServer, Command::kGetResponse, kServedSlot, kGainOid);
  expected.appendValue(Value::ofInt(42), ValueType::kInt);
  EXPECT_EQ(host_.sent[0], loopback::bytesOf(expected));

  request(Command::kGetElement, kGainOid, 0);  // the kind does not match
  request(Command::kGet, kBusOid);             // no target for a whole array
  EXPECT_EQ(host_.sent.size(), 1u);

  requestSet(Command::kSetElement, kBusOid, Value::ofInt(77), ValueType::kInt, 1);
  ASSERT_EQ(host_.sent.size(), 2u);
  EXPECT_EQ(commandOf(host_.sent[1]), static_cast<uint8_t>(Command::kSetElementResponse));
  EXPECT_EQ(bus.receivedValue().i, 77);
  EXPECT_EQ(bus.lastSent(), group_.loopTime());
}

TEST_F(ServerTargetTest, SetOfATextTooLongKeepsAndEchoesWhatFits) {
  ServerTarget& label = served(model_.label);  // 16 bytes at most
  requestSet(Command::kSet, kLabelOid, Value::ofText(std::string(245, 'x')), ValueType::kString);
  EXPECT_EQ(label.receivedValue().text, std::string(16, 'x'));
  ASSERT_EQ(host_.sent.size(), 1u);
  EXPECT_EQ(host_.sent[0].size(), 13u + 16u + 1u) << "the echo carries the stored text";
}

TEST_F(ServerTargetTest, SetThatDoesNotDecodeGetsNoAnswerAndChangesNothing) {
  ServerTarget& gain = served(model_.gain);
  requestSet(Command::kSet, kGainOid, Value::ofInt(5), ValueType::kInt32);  // count 4
  EXPECT_TRUE(host_.sent.empty());
  EXPECT_EQ(gain.receivedValue().i, 42);
  EXPECT_EQ(gain.lastSent(), 0u);
}

TEST_F(ServerTargetTest, PeriodicNotificationIsPostponedByEveryAnswer) {
  model_.gain->setPeriodic(1000);
  ServerTarget& gain = served(model_.gain);
  ASSERT_TRUE(card().active());
  card().poll();
  ASSERT_EQ(host_.sent.size(), 1u);
  EXPECT_EQ(host_.sent[0][5], kBroadcastAddress);
  EXPECT_EQ(commandOf(host_.sent[0]), static_cast<uint8_t>(Command::kNotification));
  for (int i = 0; i < 10; ++i) {
    advance(500);
    request(Command::kGet, kGainOid);
    card().poll();
  }
  for (size_t i = 1; i < host_.sent.size(); ++i)
    EXPECT_EQ(commandOf(host_.sent[i]), static_cast<uint8_t>(Command::kGetResponse));
  advance(999);
  card().poll();
  EXPECT_EQ(host_.sent.size(), 11u);
  advance(1);
  card().poll();
  EXPECT_EQ(commandOf(host_.sent.back()), static_cast<uint8_t>(Command::kNotification));
  EXPECT_EQ(gain.lastSent(), group_.loopTime());
}

// --- The simulated frame over loopback -------------------------------------------------------

class ServerHostTest : public ::testing::Test {
 protected:
  ServerHost& frame(uint32_t address) {
    group_.getTarget({address, kServedSlot, false}, *model_.gain);
    group_.poll(clock_.tick());
    return dynamic_cast<ServerHost&>(group_.findOrCreateHost(address));
  }
  // A main-loop pass as the engine makes it: the sockets are looked at after the pause, and
  // the poll asks only those found ready.
  void pass() {
    clock_.sleepWatching(1, wakeup_, watch_);
    group_.poll(clock_.tick());
  }

  platform::ManualClock clock_{5000};
  platform::Wakeup wakeup_;
  platform::SocketWatch watch_;
  std::mt19937 random_{1};
  TestModel model_;
  HostGroup group_{"Simulator", GroupKind::kSimulator, clock_, random_, &watch_};
};

TEST_F(ServerHostTest, AnswersEveryPanelAndForgetsThoseThatLeave) {
  const uint32_t address = platform::ipv4(127, 47, 3, 1);
  ServerHost& host = frame(address);
  if (host.listener().state() != ListenerState::kListening) GTEST_SKIP() << "no port 5253";
  std::vector<platform::Socket> panels;
  for (int i = 0; i < 2; ++i) {
    panels.push_back(platform::Socket::createStream(false).socket);
    panels.back().startConnect(address, kFramePort);
  }
  ASSERT_TRUE(loopback::waitFor([&] {
    pass();
    return host.peers().size() == 2;
  }));
  ASSERT_TRUE(loopback::sendAll(
      panels[0], loopback::bytesOf(Message(Side::kClient, Command::kGet, kServedSlot, kGainOid))));
  Message expected(Side::kServer, Command::kGetResponse, kServedSlot, kGainOid);
  expected.appendValue(Value::ofInt(42), ValueType::kInt);
  const size_t size = static_cast<size_t>(expected.size());
  std::vector<uint8_t> first;
  std::vector<uint8_t> second;
  ASSERT_TRUE(loopback::waitFor([&] {
    pass();
    uint8_t buffer[64];
    first.insert(first.end(), buffer, buffer + panels[0].receive(buffer, sizeof buffer).bytes);
    second.insert(second.end(), buffer, buffer + panels[1].receive(buffer, sizeof buffer).bytes);
    return first.size() >= size && second.size() >= size;
  }));
  EXPECT_EQ(first, loopback::bytesOf(expected));
  EXPECT_EQ(second, loopback::bytesOf(expected)) << "the panel that did not ask hears it too";

  panels[0].close();
  EXPECT_TRUE(loopback::waitFor([&] {
    pass();
    return host.peers().size() == 1;
  }));
}

// A frame polls its cards only when one has work due; every notification still leaves at the
// first pass at or after its time, as when each card was polled at every pass: the first at
// once, the next a whole interval after the last message, a card's new periodic parameter at
// the next pass, and an answer postponing the parameter it answered for. A monitor is polled at
// every pass.
TEST_F(ServerHostTest, CardsWaitingForTheirNextNotificationKeepEveryTime) {
  class CountingMonitor final : public Monitor {
   public:
    explicit CountingMonitor(int& polls) : polls_(polls) {}
    void poll() override { ++polls_; }
    void onMessage(const ReceivedMessage&) override {}

   private:
    int& polls_;
  };
  const uint32_t address = platform::ipv4(127, 47, 3, 3);
  model_.level->setPeriodic(1000);
  model_.gain->setPeriodic(300);
  const auto* level =
      dynamic_cast<ServerTarget*>(group_.getTarget({address, kServedSlot, false}, *model_.level));
  ASSERT_NE(level, nullptr);
  auto& host = dynamic_cast<ServerHost&>(group_.findOrCreateHost(address));
  const uint32_t start = clock_.tick();
  std::vector<uint32_t> levelSent;
  std::vector<uint32_t> gainSent;
  const ServerTarget* gain = nullptr;
  int monitorPolls = 0;
  for (uint32_t ms = 0; ms <= 4000; ++ms) {
    if (ms == 1500) {
      gain = dynamic_cast<ServerTarget*>(
          group_.getTarget({address, kServedSlot + 1, false}, *model_.gain));
      ASSERT_NE(gain, nullptr);
    }
    if (ms == 3000)
      host.findCard(kServedSlot + 2, false, true)
          ->addMonitor("count", std::make_unique<CountingMonitor>(monitorPolls));
    const uint32_t levelBefore = level->lastSent();
    const uint32_t gainBefore = gain ? gain->lastSent() : 0;
    group_.poll(clock_.tick());
    // A request read during this pass.
    if (ms == 2200) feedTo(host, Message(Side::kClient, Command::kGet, kServedSlot, kLevelOid));
    if (level->lastSent() != levelBefore) levelSent.push_back(level->lastSent() - start);
    if (gain && gain->lastSent() != gainBefore) gainSent.push_back(gain->lastSent() - start);
    clock_.advance(1);
  }
  // 2200: the answer to the get; the notification follows a whole interval after it.
  EXPECT_EQ(levelSent, (std::vector<uint32_t>{0, 1000, 2000, 2200, 3200}));
  EXPECT_EQ(gainSent,
            (std::vector<uint32_t>{1500, 1800, 2100, 2400, 2700, 3000, 3300, 3600, 3900}));
  EXPECT_EQ(monitorPolls, 1001);
}

// Idle connections must not lock panels out: with the table full, each newcomer takes the place
// of the peer silent longest, and a panel that talks keeps its place.
TEST_F(ServerHostTest, FullTableMakesWayForNewPanelsByDroppingTheLongestSilent) {
  const uint32_t address = platform::ipv4(127, 47, 3, 2);
  // A frame speaks unasked now and then, or its panels' links time out.
  model_.level->setPeriodic(1000);
  group_.getTarget({address, kServedSlot, false}, *model_.level);
  ServerHost& host = frame(address);
  if (host.listener().state() != ListenerState::kListening) GTEST_SKIP() << "no port 5253";
  LogCapture log;
  constexpr size_t kIdle = 40;
  std::vector<platform::Socket> idle;
  for (size_t i = 0; i < kIdle; ++i) {
    idle.push_back(platform::Socket::createStream(false).socket);
    idle.back().startConnect(address, kFramePort);
  }
  ASSERT_TRUE(loopback::waitFor([&] {
    const size_t before = host.peers().size() + host.evictedPeers();
    pass();
    // Never more than a few taken per pass.
    EXPECT_LE(host.peers().size() + host.evictedPeers() - before,
              static_cast<size_t>(ServerHost::kMaxAcceptsPerPoll));
    return host.peers().size() + host.evictedPeers() == kIdle;
  }));
  EXPECT_EQ(host.peers().size(), ServerHost::kMaxPeers);
  EXPECT_EQ(host.evictedPeers(), kIdle - ServerHost::kMaxPeers);

  HostGroup panels{"Client", GroupKind::kClient, clock_, random_};
  Target* gain = panels.getTarget({address, kServedSlot, false}, *model_.gain);
  gain->watch(true);
  ASSERT_TRUE(loopback::waitFor([&] {
    pass();
    panels.poll(clock_.tick());
    return gain->status() == LinkStatus::kLive && gain->valueText() == "42";
  }));
  // More idle newcomers push out the older idle ones, never the panel that keeps asking.
  for (size_t i = 0; i < 8; ++i) {
    idle.push_back(platform::Socket::createStream(false).socket);
    idle.back().startConnect(address, kFramePort);
  }
  const size_t evicted = host.evictedPeers();
  ASSERT_TRUE(loopback::waitFor([&] {
    clock_.advance(10);
    pass();
    panels.poll(clock_.tick());
    return host.evictedPeers() == evicted + 8;
  }));
  auto& panel = dynamic_cast<ClientHost&>(panels.findOrCreateHost(address));
  EXPECT_EQ(panel.connection()->candidates().front()->failures(), 0);
  EXPECT_EQ(gain->status(), LinkStatus::kLive);
  EXPECT_EQ(host.evictedPeers(), evicted + 8);

  size_t limitLines = 0;
  size_t evictionLines = 0;
  for (const std::string& line : log.lines()) {
    limitLines += line.find("serves at most 32 panels") != std::string::npos;
    evictionLines += line.find("closed the panel at") != std::string::npos;
  }
  EXPECT_EQ(limitLines, 1u);
  EXPECT_EQ(evictionLines, host.evictedPeers());
}

}  // namespace
}  // namespace qelm
