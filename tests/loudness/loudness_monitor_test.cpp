// The monitor on a card: message handling, status, requests, names, automatic start, actions,
// the registry's panel-wide commands and the simulator's payloads.
#include "loudness/loudness_monitor.h"

#include "loudness_support.h"
#include "model/target.h"

namespace qelm::testing {
namespace {

using MonitorTest = MonitorFixture;

TEST_F(MonitorTest, RefusedPayloadsAreLoggedAndTurnTheStatusASecondLater) {
  LoudnessMonitor& monitor = addMonitor();
  makeCurrent(monitor);
  ASSERT_EQ(monitor.context().record().status, LinkStatus::kLive);
  LogLines log;
  std::vector<uint8_t> old = makePayload(PayloadFields{});
  putLong(old.data(), 1);
  pass(100);
  deliver(3420, old);
  EXPECT_EQ(log.count("LM: Unsupported loudness message (type 2) (length 224)"), 1);
  pass(800);
  EXPECT_EQ(monitor.context().record().status, LinkStatus::kLive);
  pass(200);
  EXPECT_EQ(monitor.context().record().status, LinkStatus::kOldLmFormat);
  EXPECT_EQ(monitor.context().record().statusText, "Old LM Format");
  deliver(3420, std::vector<uint8_t>(10, 0));
  pass(1);
  EXPECT_EQ(monitor.context().record().status, LinkStatus::kBadLoudnessMessage);
  deliver(3421, std::vector<uint8_t>(10, 0));  // other OIDs are not looked at
  EXPECT_EQ(log.lines().size(), 1u) << "one notice for the whole run of refused payloads";

  // A card that keeps sending refused payloads, of whatever kind or length, is said once until
  // one is read.
  for (size_t i = 0; i < 50; ++i) {
    std::vector<uint8_t> longer = old;
    longer.resize(old.size() + i % 20);
    deliver(3420, i % 7 ? longer : std::vector<uint8_t>(10, 0));
  }
  EXPECT_EQ(log.lines().size(), 1u);
  feed(PayloadFields{});
  deliver(3420, old);
  EXPECT_EQ(log.count("LM: Unsupported loudness message (type 2) (length 224)"), 2);
}

TEST_F(MonitorTest, SequenceGapIsLoggedOnceAndTheFirstMessageNever) {
  addMonitor();
  LogLines log;
  PayloadFields fields;
  for (const uint32_t sequence : {10u, 11u, 15u}) {
    fields.sequence = sequence;
    pass(100);
    deliver(3420, makePayload(fields));
  }
  EXPECT_EQ(log.lines(), std::vector<std::string>{"Dropped 3 message(s)"});
}

TEST_F(MonitorTest, SecondaryMonitorReadsTheSecondaryChannels) {
  LoudnessMonitor& primary = addMonitor(3, false);
  LoudnessMonitor& secondary = addMonitor(3, true);
  PayloadFields fields;
  fields.meterDb[0] = -9.9;
  feed(fields);
  EXPECT_FLOAT_EQ(primary.context().record().meterDb[0], -10.0f);
  EXPECT_FLOAT_EQ(secondary.context().record().meterDb[0], kNoSignalDb);
  EXPECT_EQ(secondary.sessionName(), "Card [3]-secondary");
  EXPECT_EQ(primary.describe(), "LM Card [3]");
}

TEST_F(MonitorTest, RequestsDataEverySecondAndWatchesItsParameters) {
  LogLines log;
  auto lean = std::make_unique<Model>("Lean");
  lean->add(Parameter::makeOpenGear(3410, "LM Feature"))->addChoice(1, 1, "On", "On");
  Card& card = *host_.findCard(5, false, true);
  card.addMonitor("lm", std::make_unique<LoudnessMonitor>(card, *lean, registry_, "", wall_));
  EXPECT_EQ(log.count("Warning: Loudness Monitor: OID 3411 not found on associated Model \"Lean\""),
            1);
  EXPECT_EQ(log.lines().size(), 9u);  // 3411..3419
  ASSERT_EQ(card.watchedTargets().size(), 1u);
  host_.sent.clear();
  pass(1);
  pass(1);
  EXPECT_EQ(setRequests(host_.sent, 3410), 1);
}

TEST_F(MonitorTest, SessionNamesAreUniqueAndCleaned) {
  LoudnessMonitor& a = addMonitor(3);
  LoudnessMonitor& b = addMonitor(4, false, "My/Stu?dio*");
  EXPECT_EQ(a.sessionName(), "Card [3]");
  EXPECT_EQ(b.sessionName(), "MyStudio");
  deliverText(0x500, "Stu<dio>", 3);
  pass(1);
  EXPECT_EQ(a.sessionName(), "Studio");
  deliverText(0x500, "Studio", 4);
  pass(1);
  EXPECT_EQ(b.sessionName(), "MyStudio");  // taken: the change is refused
  EXPECT_TRUE(registry_.nameInUse("Studio", &b));
}

TEST_F(MonitorTest, ANameGivenByThePageNamesTheSessionButNotTheDevice) {
  LoudnessMonitor& monitor = addMonitor(3);
  monitor.setGivenName("Programme Loudness");
  EXPECT_EQ(monitor.sessionName(), "Programme Loudness");
  EXPECT_EQ(monitor.context().record().deviceName, "Card [3]");
  monitor.context().clear();
  EXPECT_EQ(monitor.context().record().deviceName, "Card [3]") << "a clear keeps it";
  deliverText(0x500, "Studio 4", 3);
  pass(1);
  EXPECT_EQ(monitor.sessionName(), "Studio 4") << "the card's own name comes first";
}

TEST_F(MonitorTest, ALocalNameParameterNamesTheSession) {
  auto model = std::make_unique<Model>("LocalName");
  Parameter* naming = model->add(Parameter::makeLocal("lm-name"));
  naming->setString(32);
  Card& card = *host_.findCard(6, false, true);
  Target* local = card.getTarget(*naming);
  ASSERT_NE(local, nullptr);
  local->sendValue(Value::ofText("Studio/9"));  // as a configured card line sets it
  auto owned = std::make_unique<LoudnessMonitor>(card, *model, registry_, "Device", wall_);
  LoudnessMonitor& monitor = *owned;
  card.addMonitor("lm", std::move(owned));
  EXPECT_EQ(monitor.sessionName(), "Studio9");
  // Later changes are followed within a master tick (100 ms).
  local->sendValue(Value::ofText("Studio 10"));
  pass(100);
  EXPECT_EQ(monitor.sessionName(), "Studio 10");
  local->sendValue(Value::ofText(""));
  pass(100);
  EXPECT_EQ(monitor.sessionName(), "Device") << "an empty value names nothing";
}

TEST_F(MonitorTest, AutostartFollowsTwoSecondsAfterTheCardTurnsCurrent) {
  LoudnessSettings settings;
  settings.autostart = true;
  registry_.setSettings(settings);
  LoudnessMonitor& monitor = addMonitor();
  feed(PayloadFields{});
  pass(1);
  ASSERT_EQ(monitor.context().record().status, LinkStatus::kLive);
  for (int i = 0; i < 19; ++i)
    feed(PayloadFields{});
  EXPECT_EQ(monitor.context().record().state, SessionState::kStopped);
  feed(PayloadFields{});
  pass(1);
  EXPECT_EQ(monitor.context().record().state, SessionState::kRunning);
  EXPECT_EQ(registry_.activeSessionCount(), 1);
}

TEST_F(MonitorTest, BetweenPayloadsTheCardIsPolledEachMasterTickAndACommandAtTheNextPass) {
  LoudnessMonitor& monitor = addMonitor();
  makeCurrent(monitor);
  const int polls = host_.cardPolls;
  for (int i = 0; i < 999; ++i)
    pass(1);
  // Ten master ticks and the end of the fresh data; not a poll at every pass.
  EXPECT_GE(host_.cardPolls - polls, 10);
  EXPECT_LE(host_.cardPolls - polls, 12);
  pass(1);
  EXPECT_EQ(monitor.context().record().status, LinkStatus::kNoData)
      << "a second without payloads is seen when it ends";

  feed(PayloadFields{});
  pass(1);
  ASSERT_FALSE(host_.cardsDue(group_.loopTime()));
  monitor.context().start();
  EXPECT_TRUE(host_.cardsDue(group_.loopTime())) << "a command wakes the card's frame";
  pass(0);
  EXPECT_FALSE(host_.cardsDue(group_.loopTime()));
}

TEST_F(MonitorTest, ActionsIgnoreCaseAndUnknownOnesAreWarnedAbout) {
  LoudnessMonitor& monitor = addMonitor();
  makeCurrent(monitor);
  monitor.doAction("START");
  EXPECT_EQ(monitor.context().record().state, SessionState::kRunning);
  monitor.doAction("Pause");
  EXPECT_EQ(monitor.context().record().state, SessionState::kPaused);
  LogLines log;
  monitor.doAction("rewind");
  EXPECT_EQ(log.lines(), std::vector<std::string>{"Warning: unrecognized action \"rewind\""});
  EXPECT_TRUE(isValidMonitorAction("LM", "Toggle"));
  EXPECT_FALSE(isValidMonitorAction("lm", "rewind"));
  EXPECT_FALSE(isValidMonitorAction("vu", "start"));
}

TEST_F(MonitorTest, ChannelSourceChangeTerminatesARunningSession) {
  LoudnessMonitor& monitor = addMonitor();
  deliverText(3412, "Mic 1");
  makeCurrent(monitor);
  monitor.doAction("start");
  feed(PayloadFields{});
  EXPECT_EQ(monitor.context().record().channelSources[0], "Mic 1");
  deliverText(3412, "Mic 2");
  LogLines log;
  feed(PayloadFields{});
  EXPECT_EQ(monitor.context().record().state, SessionState::kStopped);
  EXPECT_EQ(monitor.context().record().endReason, "Channel source changed");
  EXPECT_EQ(log.count("Terminate session"), 1);
}

TEST_F(MonitorTest, ASourceNameArrivingAfterTheStartIsLearnedNotAChange) {
  LoudnessMonitor& monitor = addMonitor();
  makeCurrent(monitor);
  monitor.doAction("start");
  feed(PayloadFields{});  // the card's first payload came before its answer with the names
  deliverText(3413, "Mic R");
  feed(PayloadFields{});
  EXPECT_EQ(monitor.context().record().state, SessionState::kRunning);
  EXPECT_EQ(monitor.context().record().channelSources[1], "Mic R");
  deliverText(3413, "Mic 3");
  feed(PayloadFields{});
  EXPECT_EQ(monitor.context().record().endReason, "Channel source changed");
}

TEST_F(MonitorTest, LostCardEndsWithItsStatusAsTheReason) {
  LoudnessMonitor& monitor = addMonitor();
  makeCurrent(monitor);
  monitor.doAction("start");
  pass(6000);  // nothing from the slot for longer than the card time-out
  EXPECT_EQ(monitor.context().record().status, LinkStatus::kNoCardInSlot);
  EXPECT_EQ(monitor.context().record().endReason, "No Card in Slot");
}

// The frame drops off the network for 30 s while a session runs, then comes back.
TEST_F(MonitorTest, ACardThatComesBackIsAskedAtOnceAndItsStatusClearsWithItsData) {
  LoudnessMonitor& monitor = addMonitor();
  makeCurrent(monitor);
  monitor.doAction("start");
  const SessionRecord& r = monitor.context().record();
  host_.linkStatus = LinkStatus::kNoConnection1;
  host_.socketUp = false;
  for (int i = 0; i < 300; ++i)
    pass(100);
  EXPECT_EQ(r.statusText, "No Conn (1)");
  EXPECT_EQ(r.endReason, "No Conn (1)");
  EXPECT_TRUE(r.dataStale);

  // The new socket is up, but the link counts as up only once the frame says something, and
  // the card says nothing until asked.
  host_.socketUp = true;
  host_.sent.clear();
  for (int i = 0; i < 11; ++i)
    pass(100);
  EXPECT_EQ(setRequests(host_.sent, 3410), 1);

  host_.linkStatus = LinkStatus::kLive;
  feed(PayloadFields{});
  EXPECT_EQ(r.status, LinkStatus::kLive);
  EXPECT_EQ(r.statusText, "");
  EXPECT_EQ(r.endReason, "");
  EXPECT_FALSE(r.dataStale);
  EXPECT_EQ(r.state, SessionState::kRunning);
}

TEST_F(MonitorTest, MasterClockCountsTickWrapsWithoutRollover) {
  clock_.set(0xFFFFFF00u);
  LoudnessMonitor& monitor = addMonitor();
  const uint32_t before = monitor.masterClock();
  LogLines log;
  pass(0x200);
  EXPECT_EQ(monitor.masterClock(), (0x100000000ull + 0x100) / 100);
  EXPECT_GT(monitor.masterClock(), before);
  EXPECT_EQ(log.count("rollover of master count"), 0);
}

TEST_F(MonitorTest, RegistryCommandsReachEverySession) {
  LoudnessMonitor& a = addMonitor(3);
  LoudnessMonitor& b = addMonitor(4);
  for (int i = 0; i < 3; ++i) {
    feed(PayloadFields{}, 3);
    deliver(3420, makePayload(PayloadFields{}), 4);
  }
  pass(1);
  // The registry counts every change of a session's state, and nothing else.
  uint64_t changes = registry_.sessionChanges();
  pass(1);
  EXPECT_EQ(registry_.sessionChanges(), changes) << "a pass with no news changes no session";
  registry_.startAll();
  EXPECT_EQ(registry_.activeSessionCount(), 2);
  EXPECT_GT(registry_.sessionChanges(), changes);
  changes = registry_.sessionChanges();
  registry_.restartAll();
  EXPECT_EQ(a.context().record().state, SessionState::kBusy);
  EXPECT_GT(registry_.sessionChanges(), changes);
  changes = registry_.sessionChanges();
  pass(1);
  EXPECT_EQ(b.context().record().state, SessionState::kRunning);
  EXPECT_GT(registry_.sessionChanges(), changes) << "the report written, the session restarted";
  changes = registry_.sessionChanges();
  registry_.stopAll();
  registry_.finishPendingReports();
  EXPECT_EQ(registry_.activeSessionCount(), 0);
  EXPECT_GT(registry_.sessionChanges(), changes);
  LoudnessSettings settings;
  settings.peakThreshold = -6.0f;
  registry_.setSettings(settings);
  EXPECT_FLOAT_EQ(b.context().settings().peakThreshold, -6.0f);
}

TEST(LoudnessSimulator, SendsFormatOnePayloadsEveryHundredMilliseconds) {
  platform::ManualClock clock{5000};
  std::mt19937 random{3};
  HostGroup group("Simulator", GroupKind::kSimulator, clock, random);
  SilentHost host(group, platform::ipv4(10, 0, 0, 1));
  Card& card = *host.findCard(2, false, true);
  auto simulator = std::make_unique<LoudnessSimulator>(card);
  EXPECT_EQ(simulator->describe(), "LM simulator Card [2]");
  card.addMonitor("lm", std::move(simulator));
  for (uint32_t t = 0; t < 250; t += 10) {
    group.setLoopTime(5000 + t);
    host.poll();
  }
  ASSERT_EQ(host.sent.size(), 3u);  // at 0, 100 and 200 ms
  const std::vector<uint8_t>& m = host.sent[1];
  ASSERT_EQ(m.size(), 12u + 1 + 112);
  EXPECT_EQ(m[6], 0xC9);
  EXPECT_EQ(m[10] << 8 | m[11], 3420);
  const uint8_t* p = &m[13];
  EXPECT_EQ(classifyPayload(std::span(p, 112)), PayloadType::kOld);
  EXPECT_EQ(p[7], 2);  // sequence 2
  EXPECT_EQ(p[111], 20);
  const auto real = [p](size_t at) {
    const uint32_t bits =
        static_cast<uint32_t>(p[at]) << 24 | p[at + 1] << 16 | p[at + 2] << 8 | p[at + 3];
    float f;
    std::memcpy(&f, &bits, 4);
    return static_cast<double>(f);
  };
  for (size_t i = 0; i < 8; ++i) {
    EXPECT_GE(20 * std::log10(real(16 + 4 * i)), -15.0 - 1e-4);
    EXPECT_LE(20 * std::log10(real(16 + 4 * i)), -10.1 + 1e-4);
    EXPECT_LE(20 * std::log10(real(48 + 4 * i)), -15.1 + 1e-4);
  }
  EXPECT_GE(10 * std::log10(real(80)) - 0.691, -30.0 - 1e-4);
  EXPECT_GE(10 * std::log10(real(104)) - 0.691, -20.0 - 1e-4);
}

}  // namespace
}  // namespace qelm::testing
