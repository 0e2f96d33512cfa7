#include "comm/host.h"

#include <gtest/gtest.h>

#include <string>

#include "card_fixture.h"
#include "comm/client.h"
#include "comm/group_target_resolver.h"
#include "comm/server.h"
#include "model/device.h"

namespace qelm {
namespace {

using namespace qelm::testing;

constexpr uint32_t kFrame = platform::ipv4(10, 1, 2, 3);

class HostGroupTest : public GroupFixture {};

TEST_F(HostGroupTest, StartsWithTheFixedTimesAndMakesOneHostPerAddress) {
  EXPECT_EQ(group_.cardTimeoutMs(), 5000u);
  EXPECT_EQ(group_.requestIntervalMs(), 10000u);
  EXPECT_EQ(group_.valueLifetimeMs(), 20000u);
  EXPECT_EQ(group_.echoWaitMs(), 1000u);
  Host& first = group_.findOrCreateHost(kFrame);
  Host& second = group_.findOrCreateHost(kFrame + 1);
  EXPECT_EQ(&group_.findOrCreateHost(kFrame), &first);
  ASSERT_EQ(group_.hosts().size(), 2u);
  EXPECT_EQ(group_.hosts()[1].get(), &second);
  EXPECT_NE(dynamic_cast<ClientHost*>(&first), nullptr);
  EXPECT_EQ(first.name(), "Host [10.1.2.3]");
  EXPECT_TRUE(group_.activeHosts().empty()) << "client hosts join when they connect";
}

TEST_F(HostGroupTest, SameCardAndParameterGiveTheSameTarget) {
  const CardAddress card{kFrame, 4, false};
  Target* gain = group_.getTarget(card, *model_.gain);
  ASSERT_NE(gain, nullptr);
  EXPECT_EQ(group_.getTarget(card, *model_.gain), gain);
  EXPECT_NE(group_.getTarget({kFrame, 4, true}, *model_.gain), gain);
  EXPECT_EQ(group_.hosts().size(), 1u);
  EXPECT_EQ(group_.hosts()[0]->cards().size(), 2u);
}

TEST_F(HostGroupTest, HostWithoutWatchedTargetsHasNoConnectionAndIsInactive) {
  auto* gain = dynamic_cast<ClientTarget*>(group_.getTarget({kFrame, 4, false}, *model_.gain));
  ASSERT_NE(gain, nullptr);
  auto& host = dynamic_cast<ClientHost&>(group_.findOrCreateHost(kFrame));
  EXPECT_EQ(host.connection(), nullptr);
  EXPECT_EQ(host.status(), LinkStatus::kInactive);
  EXPECT_EQ(gain->status(), LinkStatus::kInactive);
  EXPECT_EQ(linkStatusName(gain->status()), "Inactive");

  gain->watch(true);
  ASSERT_NE(host.connection(), nullptr);
  EXPECT_EQ(host.openedAt(), group_.loopTime());
  EXPECT_EQ(group_.activeHosts().count(&host), 1u);
  EXPECT_EQ(gain->status(), LinkStatus::kConnecting);
  gain->watch(false);
  EXPECT_EQ(host.connection(), nullptr);
  EXPECT_TRUE(group_.activeHosts().empty());
}

TEST_F(HostGroupTest, SimulatorHostsArePolledFromTheStart) {
  HostGroup simulator("Simulator", GroupKind::kSimulator, clock_, random_);
  Host& host = simulator.findOrCreateHost(platform::ipv4(127, 47, 1, 1));
  EXPECT_NE(dynamic_cast<ServerHost*>(&host), nullptr);
  EXPECT_EQ(simulator.activeHosts().count(&host), 1u);
  EXPECT_EQ(host.status(), LinkStatus::kLive);
}

TEST_F(HostGroupTest, RealizeMonitorsLogsEveryHostAndCardAndActivatesDeclaringCards) {
  model_.model->addMonitorModule("LM");
  Model plain("Plain");
  Parameter* other = plain.add(Parameter::makeOpenGear(0x0001, "Other"));
  group_.getTarget({kFrame, 2, false}, *model_.gain);
  group_.getTarget({kFrame, 1, false}, *other);
  group_.getTarget({kFrame + 1, 1, false}, *other);

  std::vector<std::string> made;
  std::vector<std::string> seen;
  LogCapture log;
  group_.realizeMonitors([&](const std::string& name, Model& model, Card& card) {
    made.push_back(name + " " + model.name() + " " + card.name());
    return std::make_unique<RecordingMonitor>(seen, "lm");
  });
  EXPECT_EQ(log.lines(),
            std::vector<std::string>(
                {"RealizeMonitors: host Host [10.1.2.3]", "RealizeMonitors: card Card [1]",
                 "RealizeMonitors: card Card [2]", "RealizeMonitors: host Host [10.1.2.4]",
                 "RealizeMonitors: card Card [1]"}));
  EXPECT_EQ(made, std::vector<std::string>({"lm TestCard Card [2]"}));
  Host& host = group_.findOrCreateHost(kFrame);
  EXPECT_TRUE(host.findCard(2, false, false)->active());
  EXPECT_FALSE(host.findCard(1, false, false)->active());
  EXPECT_EQ(group_.activeHosts().count(&host), 1u) << "a monitored card connects unwatched";
}

TEST_F(HostGroupTest, TearsDownWithWatchedTargetsAndMonitorsInPlace) {
  std::vector<std::string> seen;
  auto group = std::make_unique<HostGroup>("Client", GroupKind::kClient, clock_, random_);
  for (int slot = 0; slot < 4; ++slot) {
    group->getTarget({kFrame, slot, false}, *model_.gain)->watch(true);
    group->getTarget({kFrame, slot, false}, *model_.bus[0])->watch(true);
  }
  group->findOrCreateHost(kFrame)
      .findCard(0, false, false)
      ->addMonitor("lm", std::make_unique<RecordingMonitor>(seen, "m"));
  group->poll(clock_.tick());
  group.reset();  // the sanitizers check that nothing dangles
}

TEST_F(HostGroupTest, DevicesRealizeAgainstTheGroupsCards) {
  GroupTargetResolver resolver(group_);
  Page page(1, "Main", PageType::k8Up);
  ASSERT_TRUE(page.addItem(0, model_.gain, {{kFrame, 1, false}, {kFrame, 2, false}}));
  ASSERT_TRUE(page.addItem(1, model_.note, {{kFrame, 1, false}}));
  page.realize(resolver);
  const PageItem* gain = page.item(0);
  ASSERT_EQ(gain->targets.size(), 2u);
  EXPECT_EQ(gain->targets[0], group_.getTarget({kFrame, 1, false}, *model_.gain));
  EXPECT_EQ(page.item(1)->targets[0], group_.getTarget({kFrame, 1, false}, *model_.note));
  EXPECT_EQ(resolver.panelTarget(*model_.gain), nullptr);
}

}  // namespace
}  // namespace qelm
