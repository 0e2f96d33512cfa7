#include "comm/client.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "card_fixture.h"
#include "comm/server.h"
#include "loopback.h"

namespace qelm {
namespace {

using namespace qelm::testing;

// --- One target against a recorded host ------------------------------------------------------

class ClientTargetTest : public GroupFixture {
 protected:
  Card& card() { return *host_.findCard(kSlot, false, true); }
  ClientTarget& watched(Parameter* parameter) {
    auto& target = dynamic_cast<ClientTarget&>(*card().getTarget(*parameter));
    target.watch(true);
    return target;
  }
  void reply(uint16_t oid, const Value& value, ValueType type,
             Command command = Command::kGetResponse) {
    feedTo(host_, answer(command, kSlot, oid, value, type));
  }
  // Traffic for another parameter keeps the slot alive without answering the one under test.
  void keepSlotAlive() { reply(0x0999, Value::ofInt(0), ValueType::kInt, Command::kNotification); }
  size_t sentWith(Command command) const {
    size_t n = 0;
    for (const auto& bytes : host_.sent)
      n += commandOf(bytes) == static_cast<uint8_t>(command);
    return n;
  }
  // One pass of a frame of the panel: its cards are polled only when one of them has work due,
  // something arrived or the link changed, so every case here also checks those times.
  void pass() {
    if (host_.status_ != polledStatus_) host_.rescheduleCards();
    polledStatus_ = host_.status_;
    const uint32_t now = group_.loopTime();
    if (host_.cardsDue(now)) {
      host_.pollCards(now);
      ++cardPolls_;
    }
  }

  RecordingHost host_{group_, platform::ipv4(10, 0, 0, 9)};
  LinkStatus polledStatus_ = LinkStatus::kInactive;
  int cardPolls_ = 0;
};

TEST_F(ClientTargetTest, AnsweredParameterIsRequestedOnlyAfterTenQuietSeconds) {
  ClientTarget& gain = watched(model_.gain);
  EXPECT_EQ(gain.status(), LinkStatus::kNoData);
  pass();
  ASSERT_EQ(host_.sent.size(), 1u);
  EXPECT_EQ(host_.sent[0],
            loopback::bytesOf(Message(Side::kClient, Command::kGet, kSlot, kGainOid)));
  reply(kGainOid, Value::ofInt(5), ValueType::kInt);
  EXPECT_EQ(gain.status(), LinkStatus::kLive);
  EXPECT_EQ(gain.valueText(), "5");

  for (int i = 0; i < 4; ++i) {  // 40 s of a card that answers every request
    advance(2500);
    keepSlotAlive();
    pass();
    advance(2500);
    keepSlotAlive();
    pass();
    advance(5001);
    keepSlotAlive();
    pass();
    EXPECT_EQ(gain.status(), LinkStatus::kLive);
    if (sentWith(Command::kGet) == static_cast<size_t>(i + 2))
      reply(kGainOid, Value::ofInt(5), ValueType::kInt);
  }
  EXPECT_EQ(sentWith(Command::kGet), 5u);
  EXPECT_EQ(gain.status(), LinkStatus::kLive);
}

TEST_F(ClientTargetTest, QuietPassesLeaveTheCardAloneUntilItsNextWorkOrNews) {
  ClientTarget& gain = watched(model_.gain);
  pass();
  reply(kGainOid, Value::ofInt(5), ValueType::kInt);
  pass();  // what arrived is looked at the next pass
  int polls = cardPolls_;
  gain.clearChanged();
  for (uint32_t ms = 1; ms < group_.cardTimeoutMs(); ++ms) {
    advance(1);
    pass();
  }
  EXPECT_EQ(cardPolls_, polls) << "nothing was due in the card time-out";
  advance(1);
  pass();
  EXPECT_EQ(cardPolls_, polls + 1);
  EXPECT_EQ(gain.status(), LinkStatus::kNoCardInSlot);
  EXPECT_TRUE(gain.isChanged()) << "the screen learns it at the poll that found it";

  // A silent card has nothing due; news from the slot, a staged value and a link change each
  // poll at the next pass.
  advance(60000);
  pass();
  EXPECT_EQ(cardPolls_, polls + 1);
  reply(kGainOid, Value::ofInt(6), ValueType::kInt);
  pass();
  EXPECT_EQ(cardPolls_, polls + 2);
  EXPECT_EQ(gain.status(), LinkStatus::kLive);
  host_.sent.clear();
  gain.setValue(Value::ofInt(7));
  pass();
  EXPECT_EQ(cardPolls_, polls + 3);
  EXPECT_EQ(sentWith(Command::kSet), 1u);
  polls = cardPolls_;
  host_.status_ = LinkStatus::kNoConnection1;
  pass();
  EXPECT_EQ(cardPolls_, polls + 1);
  EXPECT_EQ(card().polledStatus(), LinkStatus::kNoConnection1);
}

TEST_F(ClientTargetTest, UnansweredParameterShowsNoDataTwentySecondsAfterItsLastValue) {
  ClientTarget& gain = watched(model_.gain);
  pass();
  reply(kGainOid, Value::ofInt(5), ValueType::kInt);
  for (int i = 0; i < 4; ++i) {
    advance(4999);
    keepSlotAlive();
    pass();
  }
  EXPECT_EQ(gain.status(), LinkStatus::kLive);
  gain.clearChanged();
  advance(4);  // 20000 ms since the value
  EXPECT_EQ(gain.status(), LinkStatus::kNoData);
  EXPECT_FALSE(gain.receivedValue().valid);
  EXPECT_TRUE(gain.isChanged());
  EXPECT_EQ(gain.valueText(), "");
}

TEST_F(ClientTargetTest, StagingTwiceSendsOnceAndStagingAgainAfterSendingSendsAgain) {
  ClientTarget& gain = watched(model_.gain);
  pass();
  reply(kGainOid, Value::ofInt(5), ValueType::kInt);
  host_.sent.clear();
  gain.setValue(Value::ofInt(7));
  gain.setValue(Value::ofInt(7));
  EXPECT_EQ(gain.currentValue().i, 7);
  EXPECT_EQ(gain.receivedValue().i, 5);
  pass();
  Message expected(Side::kClient, Command::kSet, kSlot, kGainOid);
  expected.appendValue(Value::ofInt(7), ValueType::kInt);
  ASSERT_EQ(host_.sent.size(), 1u);
  EXPECT_EQ(host_.sent[0], loopback::bytesOf(expected));
  gain.setValue(Value::ofInt(7));
  pass();
  EXPECT_EQ(sentWith(Command::kSet), 2u);
}

TEST_F(ClientTargetTest, SentValueIsShownUntilTheEchoWaitEndsThenTheEcho) {
  ClientTarget& gain = watched(model_.gain);
  pass();
  reply(kGainOid, Value::ofInt(5), ValueType::kInt);
  gain.setValue(Value::ofInt(7));
  pass();
  reply(kGainOid, Value::ofInt(6), ValueType::kInt, Command::kSetResponse);  // card clamps
  EXPECT_EQ(gain.receivedValue().i, 6);
  EXPECT_EQ(gain.valueText(), "7");
  advance(999);
  pass();
  EXPECT_EQ(gain.valueText(), "7");
  advance(2);
  pass();
  EXPECT_FALSE(gain.pending().valid);
  EXPECT_EQ(gain.valueText(), "6");
  EXPECT_EQ(gain.currentValue().i, 6);
}

// The screen redraws only changed targets: the end of the echo wait must count as a change,
// or the sent value stays on screen although the card holds another one (or none was echoed).
TEST_F(ClientTargetTest, EndOfTheEchoWaitRedrawsWithWhatTheCardHolds) {
  ClientTarget& gain = watched(model_.gain);
  pass();
  reply(kGainOid, Value::ofInt(11), ValueType::kInt);
  gain.setValue(Value::ofInt(12));
  pass();
  gain.clearChanged();
  advance(500);
  reply(kGainOid, Value::ofInt(50), ValueType::kInt, Command::kSetResponse);
  EXPECT_TRUE(gain.isChanged());
  EXPECT_EQ(gain.valueText(), "12");
  gain.clearChanged();
  advance(200);
  reply(kGainOid, Value::ofInt(50), ValueType::kInt, Command::kNotification);
  EXPECT_TRUE(gain.isChanged()) << "a value during the wait";
  gain.clearChanged();
  advance(301);
  pass();
  EXPECT_TRUE(gain.isChanged()) << "the wait has ended";
  EXPECT_EQ(gain.valueText(), "50");
  gain.clearChanged();
  advance(11000);  // the re-request brings the same value: nothing more to draw
  keepSlotAlive();
  pass();
  reply(kGainOid, Value::ofInt(50), ValueType::kInt);
  EXPECT_FALSE(gain.isChanged());
  EXPECT_EQ(gain.valueText(), "50");

  gain.setValue(Value::ofInt(12));  // and with no echo at all
  pass();
  gain.clearChanged();
  advance(1001);
  pass();
  EXPECT_TRUE(gain.isChanged());
  EXPECT_EQ(gain.valueText(), "50");
}

TEST_F(ClientTargetTest, MatchingEchoConfirmsButAnUnsignedOneNeverDoes) {
  ClientTarget& gain = watched(model_.gain);
  ClientTarget& serial = watched(model_.serial);
  pass();
  gain.setValue(Value::ofInt(9));
  serial.setValue(Value::ofUnsigned(9));
  pass();
  reply(kGainOid, Value::ofInt(9), ValueType::kInt, Command::kSetResponse);
  reply(kSerialOid, Value::ofUnsigned(9), ValueType::kUInt32, Command::kSetResponse);
  EXPECT_FALSE(gain.pending().valid);
  EXPECT_TRUE(serial.pending().valid);
  gain.clearChanged();
  serial.clearChanged();
  reply(kGainOid, Value::ofInt(9), ValueType::kInt, Command::kNotification);
  reply(kSerialOid, Value::ofUnsigned(9), ValueType::kUInt32, Command::kNotification);
  EXPECT_FALSE(gain.isChanged());
  EXPECT_TRUE(serial.isChanged()) << "an unsigned value always counts as a change";
  advance(1001);
  pass();
  EXPECT_FALSE(serial.pending().valid);
  EXPECT_FALSE(serial.dirty());
}

TEST_F(ClientTargetTest, ErrorAnswerShowsMissingFeatureUntilAGoodAnswer) {
  ClientTarget& mode = watched(model_.mode);
  pass();
  Message refused =
      answer(Command::kGetResponse, kSlot, kModeOid, Value::ofInt(1), ValueType::kChoice);
  std::vector<uint8_t> bytes = loopback::bytesOf(refused);
  bytes[9] = 2;
  MessageParser parser(false, [&](const ReceivedMessage& m) { host_.deliver(m); });
  parser.feed(bytes.data(), bytes.size());
  EXPECT_EQ(mode.status(), LinkStatus::kMissingFeature);
  EXPECT_EQ(linkStatusName(mode.status()), "Missing Feature");
  EXPECT_FALSE(mode.receivedValue().valid);
  reply(kModeOid, Value::ofInt(1), ValueType::kChoice);
  EXPECT_EQ(mode.status(), LinkStatus::kLive);
  EXPECT_EQ(mode.valueText(), "On");
}

TEST_F(ClientTargetTest, NothingIsRequestedOrSentWhileTheHostIsDown) {
  ClientTarget& level = watched(model_.level);
  host_.status_ = LinkStatus::kNoConnection1;
  level.setValue(Value::ofFloat(1.5f));
  pass();
  EXPECT_TRUE(host_.sent.empty());
  EXPECT_EQ(level.status(), LinkStatus::kNoConnection1);
  EXPECT_EQ(level.valueText(), "1.5") << "the staged value is shown while it waits";
  host_.status_ = LinkStatus::kLive;
  pass();
  EXPECT_EQ(sentWith(Command::kGet), 1u);
  EXPECT_EQ(sentWith(Command::kSet), 1u);
}

TEST_F(ClientTargetTest, UndecodableValueKeepsTheOldOne) {
  ClientTarget& gain = watched(model_.gain);
  pass();
  reply(kGainOid, Value::ofInt(5), ValueType::kInt);
  reply(kGainOid, Value::ofInt(6), ValueType::kInt32, Command::kSetResponse);  // count 4
  EXPECT_EQ(gain.receivedValue().i, 5);
  reply(kGainOid, Value::ofInt(-2), ValueType::kInt);
  EXPECT_EQ(gain.receivedValue().i, -2);
}

TEST_F(ClientTargetTest, TextLongerThanTheParameterHoldsIsKeptAtItsLength) {
  ClientTarget& label = watched(model_.label);  // 16 bytes at most
  pass();
  reply(kLabelOid, Value::ofText(std::string(245, 'x')), ValueType::kString);
  EXPECT_EQ(label.receivedValue().text, std::string(16, 'x'));
  // Cut before a character that would not fit whole: "é" is two bytes.
  reply(kLabelOid, Value::ofText(std::string(15, 'y') + "\xC3\xA9z"), ValueType::kString);
  EXPECT_EQ(label.receivedValue().text, std::string(15, 'y'));
}

TEST_F(ClientTargetTest, ArrayElementsUseTheElementCommands) {
  ClientTarget& bus = watched(model_.bus[2]);
  pass();
  ASSERT_EQ(host_.sent.size(), 1u);
  EXPECT_EQ(host_.sent[0],
            loopback::bytesOf(Message(Side::kClient, Command::kGetElement, kSlot, kBusOid, 2)));
  feedTo(host_, answer(Command::kGetElementResponse, kSlot, kBusOid, Value::ofInt(300),
                       ValueType::kInt, 2));
  feedTo(host_, answer(Command::kGetElementResponse, kSlot, kBusOid, Value::ofInt(111),
                       ValueType::kInt, 1));  // another element: not this target's
  EXPECT_EQ(bus.receivedValue().i, 300);
  bus.sendValue(Value::ofInt(7));
  Message expected(Side::kClient, Command::kSetElement, kSlot, kBusOid, 2);
  expected.appendValue(Value::ofInt(7), ValueType::kInt);
  EXPECT_EQ(host_.sent.back(), loopback::bytesOf(expected));
}

TEST_F(ClientTargetTest, UnwatchedTargetIsNeitherPolledNorFed) {
  ClientTarget& gain = watched(model_.gain);
  auto& level = dynamic_cast<ClientTarget&>(*card().getTarget(*model_.level));
  pass();
  EXPECT_EQ(host_.sent.size(), 1u);
  reply(kLevelOid, Value::ofFloat(2), ValueType::kFloat);
  EXPECT_FALSE(level.hasValue());
  gain.watch(false);
  EXPECT_FALSE(card().active());
}

// --- End to end over loopback ----------------------------------------------------------------

// A simulated frame and one or two panels in one process, talking through real sockets on
// 127.47.0.x:5253. Every time-out runs on the manual clock; only the kernel's delivery is waited
// for in real time.
class ClientServerTest : public ::testing::Test {
 protected:
  void SetUp() override { model_.level->setPeriodic(1000); }

  // Realizes the simulated card at `frame` slot 3; false when its port cannot be had.
  bool startSimulator(uint32_t frame) {
    model_.model->forEachCardParameter([&](Parameter& p) {
      simulator_.getTarget({frame, kSlot, false}, p);
    });
    pass();
    auto& host = dynamic_cast<ServerHost&>(simulator_.findOrCreateHost(frame));
    return host.listener().state() == ListenerState::kListening;
  }
  ClientTarget& watched(HostGroup& panel, uint32_t frame, Parameter* parameter,
                        int32_t slot = kSlot) {
    auto& target = dynamic_cast<ClientTarget&>(*panel.getTarget({frame, slot, false}, *parameter));
    target.watch(true);
    return target;
  }
  ServerTarget& served(uint32_t frame, Parameter* parameter) {
    return dynamic_cast<ServerTarget&>(*simulator_.getTarget({frame, kSlot, false}, *parameter));
  }
  void pass() {
    clock_.advance(1);
    simulator_.poll(clock_.tick());
    client_.poll(clock_.tick());
    other_.poll(clock_.tick());
  }
  template <typename Done>
  bool pumpUntil(Done done) {
    return loopback::waitFor([&] {
      pass();
      return done();
    });
  }

  platform::ManualClock clock_{100000};
  std::mt19937 random_{3};
  TestModel model_;
  HostGroup simulator_{"Simulator", GroupKind::kSimulator, clock_, random_};
  HostGroup client_{"Client", GroupKind::kClient, clock_, random_};
  HostGroup other_{"Client", GroupKind::kClient, clock_, random_};
};

TEST_F(ClientServerTest, PanelFetchesSetsAndHearsNotificationsFromASimulatedCard) {
  const uint32_t frame = platform::ipv4(127, 47, 0, 1);
  if (!startSimulator(frame)) GTEST_SKIP() << "port 5253 of 127.47.0.1 is not available";
  ClientTarget& gain = watched(client_, frame, model_.gain);
  ClientTarget& level = watched(client_, frame, model_.level);
  ClientTarget& bus = watched(client_, frame, model_.bus[1]);
  EXPECT_EQ(gain.status(), LinkStatus::kConnecting);

  ASSERT_TRUE(pumpUntil([&] { return gain.status() == LinkStatus::kLive && bus.hasValue(); }));
  EXPECT_EQ(gain.valueText(), "42");
  EXPECT_TRUE(valuesEqual(bus.receivedValue(), served(frame, model_.bus[1]).receivedValue(),
                          ValueType::kInt));

  gain.setValue(Value::ofInt(-7));
  ASSERT_TRUE(pumpUntil([&] { return !gain.pending().valid && gain.receivedValue().i == -7; }));
  EXPECT_EQ(served(frame, model_.gain).receivedValue().i, -7);

  // Level is periodic: after its answer the frame announces it every second unasked.
  ASSERT_TRUE(pumpUntil([&] { return level.hasValue(); }));
  const uint32_t requested = level.lastRequest();
  const uint32_t before = level.lastReceived();
  clock_.advance(1000);
  ASSERT_TRUE(pumpUntil([&] { return level.lastReceived() != before; }));
  EXPECT_EQ(level.lastRequest(), requested);
  EXPECT_EQ(level.status(), LinkStatus::kLive);
}

TEST_F(ClientServerTest, FlushWritesWhatThePollQueuedWithoutWaitingForTheNextPoll) {
  const uint32_t frame = platform::ipv4(127, 47, 0, 6);
  if (!startSimulator(frame)) GTEST_SKIP() << "port 5253 of 127.47.0.6 is not available";
  ClientTarget& gain = watched(client_, frame, model_.gain);
  ASSERT_TRUE(pumpUntil([&] { return gain.status() == LinkStatus::kLive; }));
  const Connection& connection =
      *dynamic_cast<ClientHost&>(client_.findOrCreateHost(frame)).connection();

  // The poll's connection step runs before its cards: the set it queues waits for the flush.
  gain.setValue(Value::ofInt(-5));
  clock_.advance(1);
  client_.poll(clock_.tick());
  ASSERT_FALSE(connection.queue().empty());
  client_.flush();
  EXPECT_TRUE(connection.queue().empty());
  client_.flush();  // nothing queued: nothing to do
  ASSERT_TRUE(loopback::waitFor([&] {
    clock_.advance(1);
    simulator_.poll(clock_.tick());
    return served(frame, model_.gain).receivedValue().i == -5;
  })) << "the frame got the set with no further client poll";
}

TEST_F(ClientServerTest, ValueStagedAfterThePollLeavesWithTheFlushOfThatPass) {
  const uint32_t frame = platform::ipv4(127, 47, 0, 7);
  if (!startSimulator(frame)) GTEST_SKIP() << "port 5253 of 127.47.0.7 is not available";
  ClientTarget& gain = watched(client_, frame, model_.gain);
  ASSERT_TRUE(pumpUntil([&] { return gain.status() == LinkStatus::kLive; }));

  // A knob event is handled after the pass's polls: its value must not wait for the next pass.
  clock_.advance(1);
  client_.poll(clock_.tick());
  gain.setValue(Value::ofInt(9));
  gain.setValue(Value::ofInt(11));  // a second turn in the same pass replaces the first
  client_.flush();
  EXPECT_FALSE(gain.dirty());
  ASSERT_TRUE(loopback::waitFor([&] {
    clock_.advance(1);
    simulator_.poll(clock_.tick());
    return served(frame, model_.gain).receivedValue().i == 11;
  })) << "the frame got the set with no further client poll";

  // The echo wait started with that send: the next poll sends nothing again.
  const uint32_t sent = gain.lastRequest();
  clock_.advance(1);
  client_.poll(clock_.tick());
  EXPECT_EQ(gain.lastRequest(), sent);
}

// A panel that watches its sockets touches a frame only when the frame speaks, a value is
// staged or a timer of the frame's cards or link is due: a plant of quiet frames costs its
// passes nothing.
TEST_F(ClientServerTest, AWatchingPanelPollsAFrameOnlyWhenItSpeaksOrHasWorkDue) {
  const uint32_t frame = platform::ipv4(127, 47, 0, 8);
  if (!startSimulator(frame)) GTEST_SKIP() << "port 5253 of 127.47.0.8 is not available";
  platform::SocketWatch watch;
  HostGroup panel{"Client", GroupKind::kClient, clock_, random_, &watch};
  ClientTarget& gain = watched(panel, frame, model_.gain);
  const auto step = [&] {
    clock_.advance(1);
    simulator_.poll(clock_.tick());
    watch.check();
    panel.poll(clock_.tick());
    panel.flush();
    return panel.polledHosts();
  };
  const auto quietFor = [&](int passes) {
    return loopback::waitFor([&] {
      for (int i = 0; i < passes; ++i)
        if (step() != 0) return false;
      return true;
    });
  };
  ASSERT_TRUE(loopback::waitFor([&] {
    step();
    return gain.status() == LinkStatus::kLive;
  }));
  ASSERT_TRUE(quietFor(50)) << "a frame with nothing to say is left alone";

  // A staged value polls the frame at the next pass; the frame's answer polls it again.
  gain.setValue(Value::ofInt(23));
  EXPECT_EQ(step(), 1u);
  ASSERT_TRUE(loopback::waitFor([&] {
    step();
    return gain.receivedValue().valid && gain.receivedValue().i == 23 && !gain.pending().valid;
  }));
  EXPECT_EQ(served(frame, model_.gain).receivedValue().i, 23);
  ASSERT_TRUE(quietFor(50));

  // The frame's silence outlasts the link's receive time-out with no pass in between: the
  // next pass polls the frame and drops the link.
  const TcpLink& link = *dynamic_cast<const ClientHost&>(panel.findOrCreateHost(frame))
                             .connection()
                             ->candidates()
                             .front();
  const int32_t dropped = link.failures();
  clock_.advance(TcpLink::kReceiveTimeoutMs);
  EXPECT_EQ(step(), 1u);
  EXPECT_EQ(link.failures(), dropped + 1);
  EXPECT_EQ(link.state(), LinkState::kFailed);

  // A frame that is down is tried again when its retry delay is over, not at every pass.
  const uint32_t absent = platform::ipv4(127, 47, 0, 9);
  watched(panel, absent, model_.gain);
  const auto& host = dynamic_cast<const ClientHost&>(panel.findOrCreateHost(absent));
  ASSERT_TRUE(loopback::waitFor([&] {
    step();
    return host.connection()->candidates().front()->state() == LinkState::kFailed;
  }));
  const int32_t failures = host.connection()->candidates().front()->failures();
  for (int i = 0; i < 100; ++i)
    step();
  EXPECT_EQ(host.connection()->candidates().front()->failures(), failures)
      << "no attempt before the retry delay";
  clock_.advance(TcpLink::kRetryDelayMs);
  ASSERT_TRUE(loopback::waitFor([&] {
    step();
    return host.connection()->candidates().front()->failures() > failures;
  }));
}

TEST_F(ClientServerTest, EveryConnectedPanelHearsTheSetResponseOneOfThemCaused) {
  const uint32_t frame = platform::ipv4(127, 47, 0, 2);
  if (!startSimulator(frame)) GTEST_SKIP() << "port 5253 of 127.47.0.2 is not available";
  ClientTarget& mine = watched(client_, frame, model_.label);
  ClientTarget& theirs = watched(other_, frame, model_.label);
  ASSERT_TRUE(pumpUntil([&] { return mine.valueText() == "***" && theirs.valueText() == "***"; }));
  const uint32_t theirRequest = theirs.lastRequest();
  mine.setValue(Value::ofText("studio 4"));
  ASSERT_TRUE(pumpUntil([&] { return theirs.valueText() == "studio 4"; }));
  EXPECT_EQ(theirs.lastRequest(), theirRequest) << "heard without asking";
  EXPECT_EQ(served(frame, model_.label).receivedValue().text, "studio 4");
}

TEST_F(ClientServerTest, EmptySlotOfALiveFrameShowsNoCardInSlotAfterFiveSeconds) {
  const uint32_t frame = platform::ipv4(127, 47, 0, 3);
  if (!startSimulator(frame)) GTEST_SKIP() << "port 5253 of 127.47.0.3 is not available";
  ClientTarget& ghost = watched(client_, frame, model_.gain, 5);
  ASSERT_TRUE(pumpUntil([&] { return ghost.status() == LinkStatus::kNoData; }));
  clock_.advance(5000);
  pass();
  EXPECT_EQ(ghost.status(), LinkStatus::kNoCardInSlot);
  EXPECT_EQ(linkStatusName(ghost.status()), "No Card in Slot");
}

TEST_F(ClientServerTest, UnwatchingTheLastTargetClosesTheConnection) {
  const uint32_t frame = platform::ipv4(127, 47, 0, 4);
  if (!startSimulator(frame)) GTEST_SKIP() << "port 5253 of 127.47.0.4 is not available";
  ClientTarget& gain = watched(client_, frame, model_.gain);
  auto& host = dynamic_cast<ServerHost&>(simulator_.findOrCreateHost(frame));
  ASSERT_TRUE(
      pumpUntil([&] { return gain.status() == LinkStatus::kLive && !host.peers().empty(); }));
  gain.watch(false);
  EXPECT_EQ(gain.status(), LinkStatus::kInactive);
  EXPECT_TRUE(pumpUntil([&] { return host.peers().empty(); })) << "the frame saw the close";
}

// Every answer goes to every panel, and a panel reads one chunk per pass: answers to one
// peer's pipelined gets (12 bytes asked, 15 answered) must not pile up for a panel that reads
// at that pace until the frame drops it.
TEST_F(ClientServerTest, FloodingPeerCostsNoOtherPanelItsConnection) {
  const uint32_t frame = platform::ipv4(127, 47, 0, 5);
  if (!startSimulator(frame)) GTEST_SKIP() << "port 5253 of 127.47.0.5 is not available";
  auto& host = dynamic_cast<ServerHost&>(simulator_.findOrCreateHost(frame));
  // The panel's kernel buffers are kept small so that a backlog shows within a short run.
  platform::Socket panel = platform::Socket::createStream(false).socket;
  loopback::makeSlowReader(panel);
  panel.startConnect(frame, kFramePort);
  platform::Socket flooder = platform::Socket::createStream(false).socket;
  ASSERT_TRUE(pumpUntil([&] { return host.peers().size() == 1; }));
  flooder.startConnect(frame, kFramePort);
  ASSERT_TRUE(pumpUntil([&] { return host.peers().size() == 2; }));

  const std::vector<uint8_t> get =
      loopback::bytesOf(Message(Side::kClient, Command::kGet, kSlot, kGainOid));
  std::vector<uint8_t> gets;
  for (int i = 0; i < 400; ++i)
    gets.insert(gets.end(), get.begin(), get.end());
  size_t offset = 0;
  size_t flooded = 0;
  size_t heard = 0;
  uint8_t buffer[16384];
  for (int i = 0; i < 2500; ++i) {
    const platform::IoResult put = flooder.send(gets.data() + offset, gets.size() - offset);
    offset = (offset + put.bytes) % get.size();  // gets repeat every request
    for (platform::IoResult got = flooder.receive(buffer, sizeof buffer); got.bytes > 0;
         got = flooder.receive(buffer, sizeof buffer))
      flooded += got.bytes;
    if (i % 100 == 0) {
      ASSERT_EQ(panel.send(get.data(), get.size()).bytes, get.size());
    }
    const platform::IoResult got = panel.receive(buffer, TcpLink::kReceiveChunk);
    ASSERT_TRUE(got.status == platform::IoStatus::kDone ||
                got.status == platform::IoStatus::kNotYet)
        << "the panel was dropped at pass " << i;
    heard += got.bytes;
    pass();
  }
  EXPECT_GT(flooded, 500000u) << "the flood itself is served";
  EXPECT_GT(heard, 100000u);
  EXPECT_EQ(host.peers().size(), 2u);
}

}  // namespace
}  // namespace qelm
