#include "comm/card.h"

#include <gtest/gtest.h>

#include <string>

#include "card_fixture.h"
#include "comm/client.h"
#include "comm/server.h"
#include "comm/virtual_target.h"

namespace qelm {
namespace {

using namespace qelm::testing;

class CardTest : public GroupFixture {
 protected:
  explicit CardTest(GroupKind kind = GroupKind::kClient) : GroupFixture(kind) {}

  Card& card(bool secondary = false) { return *host_.findCard(kSlot, secondary, true); }
  ClientTarget& client(Parameter* parameter) {
    return dynamic_cast<ClientTarget&>(*card().getTarget(*parameter));
  }
  void deliver(const Message& message) { feedTo(host_, message); }
  size_t sentWith(Command command) const {
    size_t n = 0;
    for (const auto& bytes : host_.sent)
      n += commandOf(bytes) == static_cast<uint8_t>(command);
    return n;
  }

  RecordingHost host_{group_, platform::ipv4(10, 0, 0, 5)};
};

TEST_F(CardTest, KeepsOneTargetPerOidAndPerElement) {
  Target* gain = card().getTarget(*model_.gain);
  ASSERT_NE(gain, nullptr);
  EXPECT_EQ(card().getTarget(*model_.gain), gain);
  Target* bus1 = card().getTarget(*model_.bus[1]);
  Target* bus2 = card().getTarget(*model_.bus[2]);
  EXPECT_NE(bus1, bus2);
  EXPECT_EQ(card().getTarget(*model_.bus[1]), bus1);
  EXPECT_EQ(card().plainTargets().size(), 1u);
  ASSERT_EQ(card().arrays().count(kBusOid), 1u);
  EXPECT_EQ(card().arrays().at(kBusOid).targets.size(), 2u);
  EXPECT_EQ(card().arrays().at(kBusOid).type, ValueType::kInt);
  EXPECT_EQ(gain->describe(), "Model \"TestCard\" OID 0x0100 (\"Gain\")");
  EXPECT_EQ(card().name(), "Card [3]");
}

TEST_F(CardTest, LocalParametersShareOneTargetPerNameAndGlobalOnesAreRefused) {
  Model other("Other");
  Parameter* note = other.add(Parameter::makeLocal("Note"));
  Target* first = card().getTarget(*model_.note);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(card().getTarget(*note), first);
  EXPECT_EQ(first->describe(), "Model \"TestCard\" param \"Note\"");

  Parameter* global = other.add(Parameter::makeGlobal(5, "Brightness", ""));
  try {
    card().getTarget(*global);
    FAIL() << "a global parameter has no card target";
  } catch (const std::string& error) {
    EXPECT_EQ(error, "Requested OID for non-OpenGear parameter");
  }
}

TEST_F(CardTest, ArrayElementOfAnotherTypeIsRefusedAndLogged) {
  Model other("Other");
  Parameter* floatBus = other.add(Parameter::makeArrayElement(kBusOid, 7, "Float bus"));
  floatBus->setFloatRange(0, 1, 0.1);
  ASSERT_NE(card().getTarget(*model_.bus[0]), nullptr);
  LogCapture log;
  EXPECT_EQ(card().getTarget(*floatBus), nullptr);
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_NE(log.lines()[0].find("OID 0x0200 has mismatching array element types; ignoring index 7"),
            std::string::npos);
  EXPECT_EQ(card().arrays().at(kBusOid).targets.count(7), 0u);
  EXPECT_EQ(card().getTarget(*floatBus), nullptr);  // still refused, not half-created
}

TEST_F(CardTest, FirstWatcherActivatesAndLastDeactivatesOnce) {
  ClientTarget& gain = client(model_.gain);
  ClientTarget& level = client(model_.level);
  gain.watch(true);
  gain.watch(true);
  level.watch(true);
  EXPECT_TRUE(card().active());
  EXPECT_EQ(card().lastReceived(), group_.loopTime());
  EXPECT_EQ(host_.activations, std::vector<bool>({true}));
  gain.watch(false);
  level.watch(false);
  EXPECT_TRUE(card().active());  // gain still has one watcher
  gain.watch(false);
  EXPECT_FALSE(card().active());
  gain.watch(false);  // no watchers left: the count stays at 0, nothing deactivates twice
  EXPECT_EQ(gain.watchers(), 0);
  EXPECT_EQ(host_.activations, std::vector<bool>({true, false}));
}

TEST_F(CardTest, SilentSlotShowsNoCardInSlotFromActivationOnUntilAMessageArrives) {
  ClientTarget& gain = client(model_.gain);
  gain.watch(true);
  advance(4999);
  EXPECT_EQ(card().status(), LinkStatus::kLive);
  advance(1);
  EXPECT_EQ(card().status(), LinkStatus::kNoCardInSlot);
  EXPECT_EQ(gain.status(), LinkStatus::kNoCardInSlot);
  card().poll();
  host_.sent.clear();
  advance(20000);
  card().poll();
  EXPECT_TRUE(host_.sent.empty()) << "no requests into a silent slot";
  deliver(answer(Command::kNotification, kSlot, kLevelOid, Value::ofFloat(1), ValueType::kFloat));
  EXPECT_EQ(card().status(), LinkStatus::kLive);
  host_.status_ = LinkStatus::kNoConnection1;
  EXPECT_EQ(card().status(), LinkStatus::kNoConnection1);
}

TEST_F(CardTest, MessagesReachOnlyWatchedTargetsAndEveryMonitor) {
  std::vector<std::string> seen;
  ClientTarget& gain = client(model_.gain);
  ClientTarget& level = client(model_.level);
  gain.watch(true);
  card().addMonitor("lm", std::make_unique<RecordingMonitor>(seen, "m"));
  deliver(answer(Command::kGetResponse, kSlot, kGainOid, Value::ofInt(5), ValueType::kInt));
  deliver(answer(Command::kGetResponse, kSlot, kLevelOid, Value::ofFloat(2), ValueType::kFloat));
  deliver(answer(Command::kGetResponse, kSlot, 0x0999, Value::ofInt(1), ValueType::kInt));
  EXPECT_EQ(gain.receivedValue().i, 5);
  EXPECT_FALSE(level.receivedValue().valid);
  EXPECT_EQ(seen.size(), 3u);
}

TEST_F(CardTest, BothCardsOfASlotReceiveEveryMessagePrimaryFirst) {
  std::vector<std::string> seen;
  card(true).addMonitor("lm", std::make_unique<RecordingMonitor>(seen, "secondary"));
  card(false).addMonitor("lm", std::make_unique<RecordingMonitor>(seen, "primary"));
  deliver(answer(Command::kNotification, kSlot, kGainOid, Value::ofInt(1), ValueType::kInt));
  EXPECT_EQ(seen, std::vector<std::string>({"primary:16", "secondary:16"}));

  seen.clear();
  for (uint8_t source : {0, 1, 2, 15}) {
    Message message =
        answer(Command::kNotification, kSlot, kGainOid, Value::ofInt(1), ValueType::kInt);
    std::vector<uint8_t> bytes(message.data(), message.data() + message.size());
    bytes[4] = source;
    MessageParser parser(false, [&](const ReceivedMessage& m) { host_.deliver(m); });
    parser.feed(bytes.data(), bytes.size());
  }
  EXPECT_TRUE(seen.empty());
}

TEST_F(CardTest, RequestsAreDroppedOnTheClientSideAndResponsesInAutoGroups) {
  std::vector<std::string> seen;
  card().addMonitor("lm", std::make_unique<RecordingMonitor>(seen, "m"));
  ReceivedMessage request;
  request.source = 0;
  request.destination = 16 + kSlot;
  request.command = static_cast<uint8_t>(Command::kGet);
  card().onMessage(request);
  EXPECT_TRUE(seen.empty());

  HostGroup autoGroup("Auto", GroupKind::kAuto, clock_, random_);
  RecordingHost autoHost(autoGroup, 1);
  Card* autoCard = autoHost.findCard(kSlot, false, true);
  autoCard->addMonitor("lm", std::make_unique<RecordingMonitor>(seen, "auto"));
  ReceivedMessage response = request;
  response.command = static_cast<uint8_t>(Command::kGetResponse);
  autoCard->onMessage(response);
  EXPECT_TRUE(seen.empty());
  EXPECT_EQ(autoCard->getTarget(*model_.gain), nullptr) << "no automatic target kind plugged in";
}

// --- Arrays ----------------------------------------------------------------------------------

class CardArrayTest : public CardTest {
 protected:
  void SetUp() override {
    for (auto* element : model_.bus) {
      targets_.push_back(&client(element));
      targets_.back()->watch(true);
    }
  }
  Message wholeArray(std::vector<Value> elements, Command command = Command::kGetResponse) {
    Message message(Side::kServer, command, kSlot, kBusOid);
    message.appendArray(elements, ValueType::kInt);
    return message;
  }
  void refuseElementAccess() {
    for (uint16_t i = 0; i < 4; ++i) {
      Message refusal(Side::kServer, Command::kGetElementResponse, kSlot, kBusOid, i);
      std::vector<uint8_t> bytes(refusal.data(), refusal.data() + refusal.size());
      bytes[9] = 1;  // status: no element access
      MessageParser parser(false, [&](const ReceivedMessage& m) { host_.deliver(m); });
      parser.feed(bytes.data(), bytes.size());
    }
  }

  std::vector<ClientTarget*> targets_;
};

TEST_F(CardArrayTest, RefusedElementAccessFallsBackToOneWholeArrayRequestPerPass) {
  card().poll();
  EXPECT_EQ(sentWith(Command::kGetElement), 4u);
  refuseElementAccess();
  for (ClientTarget* target : targets_)
    EXPECT_TRUE(target->elementAccessUnsupported());
  host_.sent.clear();
  advance(10001);
  // The slot keeps talking, so the card is alive when the elements ask again.
  deliver(answer(Command::kNotification, kSlot, kGainOid, Value::ofInt(1), ValueType::kInt));
  card().poll();
  ASSERT_EQ(host_.sent.size(), 1u);
  EXPECT_EQ(commandOf(host_.sent[0]), static_cast<uint8_t>(Command::kGet));
  EXPECT_EQ(oidOf(host_.sent[0]), kBusOid);
  EXPECT_FALSE(card().arrays().at(kBusOid).requested);
}

TEST_F(CardArrayTest, WholeArrayResponseFeedsEveryElementAndAShortOneInvalidatesTheRest) {
  deliver(wholeArray({Value::ofInt(10), Value::ofInt(11), Value::ofInt(12), Value::ofInt(13)}));
  for (int i = 0; i < 4; ++i)
    EXPECT_EQ(targets_[i]->receivedValue().i, 10 + i);
  deliver(wholeArray({Value::ofInt(20), Value::ofInt(21)}));
  EXPECT_EQ(targets_[1]->receivedValue().i, 21);
  EXPECT_FALSE(targets_[2]->receivedValue().valid);
  EXPECT_FALSE(targets_[3]->receivedValue().valid);
  EXPECT_EQ(card().arrays().at(kBusOid).elements.size(), 2u);
}

TEST_F(CardArrayTest, ErrorAnswerForAWholeArrayLeavesTheElementsAlone) {
  deliver(wholeArray({Value::ofInt(10), Value::ofInt(11), Value::ofInt(12), Value::ofInt(13)}));
  Message failed = wholeArray({Value::ofInt(99), Value::ofInt(99)});
  std::vector<uint8_t> bytes(failed.data(), failed.data() + failed.size());
  bytes[9] = 4;  // nonzero status: the bytes after it are no array
  MessageParser parser(false, [&](const ReceivedMessage& m) { host_.deliver(m); });
  parser.feed(bytes.data(), bytes.size());
  EXPECT_EQ(card().arrays().at(kBusOid).elements.size(), 4u);
  EXPECT_EQ(targets_[3]->receivedValue().i, 13);
}

TEST_F(CardArrayTest, ElementSetThroughTheWholeArrayOnlyWithinTheReceivedArray) {
  refuseElementAccess();
  targets_[2]->sendValue(Value::ofInt(5));
  EXPECT_TRUE(host_.sent.empty()) << "nothing received yet: nothing to send";
  deliver(wholeArray({Value::ofInt(1), Value::ofInt(2), Value::ofInt(3)}));
  targets_[3]->sendValue(Value::ofInt(5));
  EXPECT_TRUE(host_.sent.empty()) << "index beyond the array last received";
  targets_[2]->sendValue(Value::ofInt(3));
  EXPECT_TRUE(host_.sent.empty()) << "same value";
  targets_[2]->sendValue(Value::ofInt(7));
  ASSERT_EQ(host_.sent.size(), 1u);
  Message expected(Side::kClient, Command::kSet, kSlot, kBusOid);
  expected.appendArray({Value::ofInt(1), Value::ofInt(2), Value::ofInt(7)}, ValueType::kInt);
  EXPECT_EQ(host_.sent[0],
            std::vector<uint8_t>(expected.data(), expected.data() + expected.size()));
}

TEST_F(CardTest, SlotBeyondTheAddressByteNeverSends) {
  Card* far = host_.findCard(300, false, true);
  EXPECT_FALSE(far->addressable());
  auto* target = dynamic_cast<ClientTarget*>(far->getTarget(*model_.gain));
  ASSERT_NE(target, nullptr);
  target->watch(true);
  far->poll();
  target->sendValue(Value::ofInt(1));
  EXPECT_TRUE(host_.sent.empty()) << "16 + 300 would wrap onto slot 44's address";
}

// --- Simulator cards -------------------------------------------------------------------------

class SimulatorCardTest : public CardTest {
 protected:
  SimulatorCardTest() : CardTest(GroupKind::kSimulator) {}
};

TEST_F(SimulatorCardTest, PeriodicTargetsAreWatchedAtOnceAndLocalParametersRefused) {
  model_.gain->setPeriodic(1000);
  EXPECT_NE(card().getTarget(*model_.level), nullptr);
  EXPECT_FALSE(card().active());
  EXPECT_NE(card().getTarget(*model_.gain), nullptr);
  EXPECT_TRUE(card().active());
  EXPECT_EQ(card().getTarget(*model_.note), nullptr);
}

TEST_F(SimulatorCardTest, RefusedPeriodicElementLeavesTheCardInactive) {
  Model other("Other");
  Parameter* floatBus = other.add(Parameter::makeArrayElement(kBusOid, 1, "Float bus"));
  floatBus->setFloatRange(0, 1, 0.1);
  floatBus->setPeriodic(500);
  ASSERT_NE(card().getTarget(*model_.bus[0]), nullptr);
  EXPECT_EQ(card().getTarget(*floatBus), nullptr);
  EXPECT_FALSE(card().active());
  EXPECT_EQ(host_.activations, std::vector<bool>({true, false}));
}

}  // namespace
}  // namespace qelm
