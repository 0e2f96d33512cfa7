#include "automation/auto_action.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "../comm/card_fixture.h"
#include "../comm/loopback.h"
#include "comm/client.h"
#include "comm/legacy_port.h"

namespace qelm {
namespace {

using testing::TestModel;

// An action that writes its tag into a shared list each time it fires.
class TaggedAction final : public AutoAction {
 public:
  TaggedAction(const Model& model, std::vector<std::string>& fired, std::string tag)
      : AutoAction(model, {}), fired_(fired), tag_(std::move(tag)) {}
  void realize(HostGroup&, HostGroup&) override {}
  void fire() override { fired_.push_back(tag_); }

 private:
  std::vector<std::string>& fired_;
  std::string tag_;
};

// A monitor that keeps the session commands it is given.
class ActionMonitor final : public Monitor {
 public:
  explicit ActionMonitor(std::vector<std::string>& actions) : actions_(actions) {}
  void poll() override {}
  void onMessage(const ReceivedMessage&) override {}
  void doAction(const std::string& action) override { actions_.push_back(action); }

 private:
  std::vector<std::string>& actions_;
};

// Sets the process-wide legacy port switch for one test and restores it afterwards.
class LegacyPortScope {
 public:
  explicit LegacyPortScope(bool on) : before_(legacyPortEnabled()) { setLegacyPortEnabled(on); }
  ~LegacyPortScope() { setLegacyPortEnabled(before_); }

 private:
  bool before_;
};

class InputEvaluationTest : public ::testing::Test {
 protected:
  void add(int line, bool high, const std::string& tag) {
    table_.addAction(std::make_unique<TaggedAction>(*model_.model, fired_, tag),
                     lineTrigger(line, high));
  }
  // What `evaluate(lines)` fired, in order.
  std::vector<std::string> evaluate(uint32_t lines) {
    fired_.clear();
    table_.evaluate(lines);
    return fired_;
  }

  TestModel model_;
  InputActionTable table_;
  std::vector<std::string> fired_;
};

using Fired = std::vector<std::string>;

// The bytes of the panel's set request for an Int `value` of `oid` in `slot`.
std::vector<uint8_t> setRequest(uint8_t slot, uint16_t oid, int32_t value) {
  Message message(Side::kClient, Command::kSet, slot, oid);
  message.appendValue(Value::ofInt(value), ValueType::kInt);
  return loopback::bytesOf(message);
}

TEST_F(InputEvaluationTest, FirstEvaluationFiresEveryTriggerWhoseLevelAlreadyHolds) {
  add(3, true, "3 high");
  add(3, false, "3 low");
  add(1, false, "1 low");
  add(12, true, "12 high");
  // Lines 3 and 12 high at start-up: triggers in key order (mask, then level).
  EXPECT_EQ(evaluate(0b1000'0000'0100), (Fired{"1 low", "3 high", "12 high"}));
  EXPECT_EQ(evaluate(0b1000'0000'0100), Fired{}) << "nothing changed";
}

TEST_F(InputEvaluationTest, LinesAtZeroFireEachLowTriggerOnceAndNoHighTrigger) {
  add(2, false, "2 low");
  add(2, true, "2 high");
  add(7, false, "7 low");
  EXPECT_EQ(evaluate(0), (Fired{"2 low", "7 low"}));
  for (int pass = 0; pass < 5; ++pass)
    EXPECT_EQ(evaluate(0), Fired{});
}

TEST_F(InputEvaluationTest, TriggerFiresOnlyWhenItsOwnLineChangesIntoItsLevel) {
  add(2, false, "2 low");
  add(2, true, "2 high");
  evaluate(0);
  EXPECT_EQ(evaluate(1u << 4), Fired{}) << "only line 5 changed, though line 2 is low";
  EXPECT_EQ(evaluate(1u << 1 | 1u << 4), Fired{"2 high"});
  EXPECT_EQ(evaluate(1u << 1), Fired{}) << "line 5 fell; line 2 stays high";
  EXPECT_EQ(evaluate(0), Fired{"2 low"});
  // Lines above the twelfth and bits no trigger looks at change nothing.
  EXPECT_EQ(evaluate(0xFFFF'F000u), Fired{});
}

TEST_F(InputEvaluationTest, ActionsOfOneTriggerFireInTheOrderAdded) {
  add(4, true, "first");
  add(4, true, "second");
  add(4, false, "low");
  add(4, true, "third");
  evaluate(0);
  EXPECT_EQ(evaluate(1u << 3), (Fired{"first", "second", "third"}));
}

// --- Automatic sets through the "Auto" group ----------------------------------------------------

class AutoSetterTest : public testing::GroupFixture {
 protected:
  AutoSetterTest()
      : testing::GroupFixture(GroupKind::kAuto),
        client_("Client", GroupKind::kClient, clock_, random_) {}

  AutoSetter& addSetter(std::vector<CardAddress> addresses, Parameter& parameter, Value value,
                        InputTrigger trigger) {
    auto setter = std::make_unique<AutoSetter>(*model_.model, std::move(addresses), parameter,
                                               std::move(value));
    AutoSetter& made = *setter;
    table_.addAction(std::move(setter), trigger);
    return made;
  }

  // One main-loop pass as the engine runs it for the auto group.
  void pass(uint32_t lines) {
    advance(1);
    table_.evaluate(lines);
    group_.poll(clock_.tick());
    group_.flush();
  }

  HostGroup client_;
  InputActionTable table_;
};

TEST_F(AutoSetterTest, RealizeMakesWatchedAutoTargetsAndOpensTheHostsConnections) {
  const CardAddress a{platform::ipv4(127, 0, 62, 10), 2, false};
  const CardAddress b{platform::ipv4(127, 0, 62, 11), 3, true};
  AutoSetter& gain = addSetter({a, b}, *model_.gain, Value::ofInt(5), lineTrigger(1, true));
  AutoSetter& local = addSetter({a}, *model_.note, Value::ofInt(1), lineTrigger(1, true));
  table_.realizeAll(group_, client_);

  ASSERT_EQ(gain.targets().size(), 2u);
  EXPECT_TRUE(local.targets().empty()) << "local parameters live only in the client group";
  for (AutoTarget* target : gain.targets()) {
    EXPECT_TRUE(target->watched());
    EXPECT_EQ(target->status(), LinkStatus::kLive);
    EXPECT_EQ(target->valueText(), "[none]");
    EXPECT_FALSE(target->hasValue());
    auto& host = dynamic_cast<ClientHost&>(target->card().host());
    EXPECT_NE(host.connection(), nullptr) << "connected from start-up on";
  }
  EXPECT_EQ(group_.activeHosts().size(), 2u);
  EXPECT_TRUE(client_.hosts().empty()) << "a setter creates nothing in the client group";
}

TEST_F(AutoSetterTest, TargetStagesOneValueAndBuildsTheSetRequestOfItsParameterKind) {
  testing::RecordingHost host(group_, platform::ipv4(10, 0, 0, 1));
  Card& card = *host.findCard(4, false, true);
  AutoTarget gain(card, *model_.gain);
  AutoTarget bus(card, *model_.bus[2]);

  host.status_ = LinkStatus::kConnecting;
  gain.setValue(Value::ofInt(7));
  gain.setValue(Value::ofInt(7));
  gain.poll();
  EXPECT_TRUE(host.sent.empty()) << "held while the connection is not up";
  EXPECT_TRUE(gain.staged());

  host.status_ = LinkStatus::kLive;
  gain.poll();
  gain.poll();
  ASSERT_EQ(host.sent.size(), 1u) << "two firings of the same value make one request";
  EXPECT_EQ(host.sent[0], setRequest(4, testing::kGainOid, 7));

  // A different value before the poll replaces the staged one; only the last is sent.
  gain.setValue(Value::ofInt(8));
  gain.setValue(Value::ofInt(9));
  gain.poll();
  ASSERT_EQ(host.sent.size(), 2u);
  EXPECT_EQ(host.sent[1], setRequest(4, testing::kGainOid, 9));

  bus.setValue(Value::ofInt(300));
  bus.poll();
  ASSERT_EQ(host.sent.size(), 3u);
  Message element(Side::kClient, Command::kSetElement, 4, testing::kBusOid, 2);
  element.appendValue(Value::ofInt(300), ValueType::kInt);
  EXPECT_EQ(host.sent[2], loopback::bytesOf(element));

  // Whatever a frame says about the parameter, an automatic set neither reads nor retries it.
  testing::feedTo(host, testing::answer(Command::kSetResponse, 4, testing::kGainOid,
                                        Value::ofInt(1), ValueType::kInt));
  EXPECT_FALSE(gain.hasValue());
  EXPECT_EQ(gain.valueText(), "[none]");
  gain.poll();
  EXPECT_EQ(host.sent.size(), 3u);
}

// A frame on 127.0.62.x:5253 played by the test: it accepts the auto host's connection, speaks
// first unless `silent` (a reconnected link counts as up only once its peer has said
// something) and parses what the panel sends.
class TestFrame {
 public:
  explicit TestFrame(uint32_t address, bool silent = false) : address_(address), silent_(silent) {}
  bool listen() {
    server_ = std::make_unique<loopback::TestServer>(address_, kFramePort);
    return server_->error == 0;
  }
  bool accept() {
    peer_ = server_->acceptOne();
    if (!peer_.isOpen()) return false;
    if (silent_) return true;
    Message hello(Side::kServer, Command::kNotification, 2, 0x7000);
    hello.appendValue(Value::ofInt(0), ValueType::kInt);
    return loopback::sendAll(peer_, loopback::bytesOf(hello));
  }
  // Requests that arrived within `limitMs` real ms (stops early once `expected` arrived).
  std::vector<ReceivedMessage> requests(size_t expected, int limitMs = 300) {
    loopback::waitFor(
        [&] {
          uint8_t buffer[1024];
          const platform::IoResult got = peer_.receive(buffer, sizeof buffer);
          parser_.feed(buffer, got.bytes);
          return received_.size() >= expected;
        },
        limitMs);
    return received_;
  }

 private:
  uint32_t address_;
  bool silent_;
  std::unique_ptr<loopback::TestServer> server_;
  platform::Socket peer_;
  std::vector<ReceivedMessage> received_;
  MessageParser parser_{true, [this](const ReceivedMessage& m) { received_.push_back(m); }};
};

TEST_F(AutoSetterTest, SetFiredBeforeTheConnectionIsUpIsSentOnceWhenItComesUp) {
  LegacyPortScope legacy(false);
  const uint32_t address = platform::ipv4(127, 0, 62, 1);
  TestFrame frame(address);
  // Nobody listens yet: the first connect is refused, as for a frame still booting.
  addSetter({{address, 2, false}}, *model_.gain, Value::ofInt(-3), lineTrigger(3, true));
  table_.realizeAll(group_, client_);
  AutoTarget& target = *dynamic_cast<AutoSetter&>(*table_.actions()[0]).targets()[0];
  auto& host = dynamic_cast<ClientHost&>(target.card().host());

  pass(1u << 2);  // line 3 already high at start-up: fires in the first pass
  EXPECT_TRUE(target.staged());
  ASSERT_TRUE(loopback::waitFor([&] {
    pass(1u << 2);
    return host.status() == LinkStatus::kNoConnection1;
  }));
  EXPECT_TRUE(target.staged()) << "kept while the connection is down";

  if (!frame.listen()) GTEST_SKIP() << "port 5253 of 127.0.62.1 is taken";
  advance(TcpLink::kRetryDelayMs);
  ASSERT_TRUE(loopback::waitFor([&] {
    pass(1u << 2);
    return host.connection()->candidates()[0]->state() == LinkState::kConnected;
  }));
  ASSERT_TRUE(frame.accept());
  ASSERT_TRUE(loopback::waitFor([&] {
    pass(1u << 2);
    return !target.staged();
  }));
  for (int i = 0; i < 20; ++i)
    pass(1u << 2);
  const std::vector<ReceivedMessage> got = frame.requests(2);
  ASSERT_EQ(got.size(), 1u) << "sent once";
  EXPECT_EQ(got[0].command, static_cast<uint8_t>(Command::kSet));
  EXPECT_EQ(got[0].destination, 16 + 2);
  EXPECT_EQ(got[0].oid, testing::kGainOid);
  EXPECT_EQ(decodeValue(got[0], ValueType::kInt)->i, -3);
}

TEST_F(AutoSetterTest, SilentFrameGetsEverySetOnceItsConnectionIsEstablished) {
  LegacyPortScope legacy(false);
  const uint32_t address = platform::ipv4(127, 0, 62, 2);
  // A frame that came up after the panel and never says anything on its own.
  TestFrame frame(address, true);
  addSetter({{address, 2, false}}, *model_.gain, Value::ofInt(-3), lineTrigger(3, true));
  addSetter({{address, 2, false}}, *model_.gain, Value::ofInt(9), lineTrigger(4, true));
  table_.realizeAll(group_, client_);
  AutoTarget& target = *dynamic_cast<AutoSetter&>(*table_.actions()[0]).targets()[0];
  auto& host = dynamic_cast<ClientHost&>(target.card().host());
  constexpr uint32_t line3 = 1u << 2;

  pass(line3);
  ASSERT_TRUE(loopback::waitFor([&] {
    pass(line3);
    return host.status() == LinkStatus::kNoConnection1;
  }));
  EXPECT_TRUE(target.staged()) << "kept while there is no socket";

  if (!frame.listen()) GTEST_SKIP() << "port 5253 of 127.0.62.2 is taken";
  advance(TcpLink::kRetryDelayMs);
  ASSERT_TRUE(loopback::waitFor([&] {
    pass(line3);
    return host.connection()->candidates()[0]->state() == LinkState::kConnected;
  }));
  ASSERT_TRUE(frame.accept());
  ASSERT_TRUE(loopback::waitFor([&] {
    pass(line3);
    return !target.staged();
  })) << "held for ever while the frame stays silent";
  EXPECT_EQ(host.status(), LinkStatus::kNoConnection1) << "not live until the frame speaks";
  std::vector<ReceivedMessage> got = frame.requests(1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(decodeValue(got[0], ValueType::kInt)->i, -3);

  // Long after, with the frame still silent, line 4 rises: the pass that reads it writes the set.
  for (int i = 0; i < 3; ++i) {
    advance(TcpLink::kReceiveTimeoutMs);
    pass(line3);
  }
  pass(line3 | 1u << 3);
  got = frame.requests(2);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(decodeValue(got[1], ValueType::kInt)->i, 9);
  EXPECT_EQ(host.status(), LinkStatus::kNoConnection1);
}

// --- Monitor actions ---------------------------------------------------------------------------

TEST_F(AutoSetterTest, MonitorActionReachesTheNamedMonitorsOfExistingCardsOnly) {
  std::vector<std::string> actions;
  const uint32_t frame = platform::ipv4(10, 0, 0, 7);
  Card& primary = *client_.findOrCreateHost(frame).findCard(2, false, true);
  primary.addMonitor("lm", std::make_unique<ActionMonitor>(actions));
  primary.addMonitor("other", std::make_unique<ActionMonitor>(actions));

  auto action = std::make_unique<AutoMonitorAction>(
      *model_.model,
      std::vector<CardAddress>{{frame, 2, false}, {frame, 2, true}, {frame, 9, false}}, "LM",
      "Start");
  AutoMonitorAction& made = *action;
  table_.addAction(std::move(action), lineTrigger(1, false));
  table_.realizeAll(group_, client_);

  EXPECT_EQ(made.monitors().size(), 1u) << "the name is matched ignoring case";
  EXPECT_EQ(client_.findOrCreateHost(frame).cards().size(), 1u) << "no card is created";
  EXPECT_TRUE(group_.hosts().empty());
  table_.evaluate(0);
  EXPECT_EQ(actions, std::vector<std::string>{"Start"});
}

}  // namespace
}  // namespace qelm
