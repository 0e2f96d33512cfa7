#include "comm/virtual_target.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "card_fixture.h"

namespace qelm {
namespace {

using namespace qelm::testing;

constexpr uint32_t kFrame = platform::ipv4(10, 0, 0, 7);

// The shape of one configured local value, as the catalog keeps them.
struct Setting {
  Parameter* parameter = nullptr;
  std::string name;
  Value value;
};

class VirtualTargetTest : public GroupFixture {
 protected:
  VirtualTarget& local(Parameter* parameter, int32_t slot = 1) {
    return dynamic_cast<VirtualTarget&>(*group_.getTarget({kFrame, slot, false}, *parameter));
  }
};

TEST_F(VirtualTargetTest, StoresValuesAndFlagsOnlyRealChanges) {
  VirtualTarget& note = local(model_.note);
  EXPECT_EQ(note.valueText(), "");
  EXPECT_FALSE(note.hasValue());
  EXPECT_EQ(note.status(), LinkStatus::kLive);
  note.setValue(Value::ofInt(3));
  EXPECT_TRUE(note.isChanged());
  EXPECT_EQ(note.valueText(), "3");
  note.clearChanged();
  note.sendValue(Value::ofInt(3));
  EXPECT_FALSE(note.isChanged());
  note.markChanged();
  EXPECT_TRUE(note.isChanged());
  EXPECT_EQ(note.currentValue().i, 3);
}

TEST_F(VirtualTargetTest, StartUpValuesGoThroughTheModelThatMadeTheTarget) {
  Model other("Other");
  Parameter* otherNote = other.add(Parameter::makeLocal("Note"));
  otherNote->setIntegerRange(0, 9, 1);
  VirtualTarget& note = local(model_.note);  // realized by a page of a TestCard device

  std::map<CardAddress, std::vector<Setting>> values;
  values[{kFrame, 1, false}] = {{model_.note, "note", Value::ofInt(4)},
                                {otherNote, "Note", Value::ofInt(8)}};
  values[{kFrame, 2, false}] = {{nullptr, "Missing", Value::ofInt(1)}};
  LogCapture log;
  initializeLocalValues(group_, values);
  EXPECT_EQ(note.receivedValue().i, 4);
  EXPECT_EQ(&local(otherNote), &note) << "one value per name on a card";
  EXPECT_EQ(log.lines(),
            std::vector<std::string>(
                {"WARNING: card 10.0.0.7 [1] local target \"Note\" was instantiated from model "
                 "\"TestCard\"; cannot set via model \"Other\"",
                 "WARNING: card 10.0.0.7 [2] has no instantiated local target named \"Missing\""}));
}

TEST_F(VirtualTargetTest, OtherGroupsHaveNoLocalTargets) {
  HostGroup simulator("Simulator", GroupKind::kSimulator, clock_, random_);
  LogCapture log;
  initializeLocalValue(simulator, {platform::ipv4(127, 47, 4, 1), 1, false}, model_.note, "Note",
                       Value::ofInt(1));
  EXPECT_EQ(log.lines(), std::vector<std::string>({"WARNING: card 127.47.4.1 [1] has no "
                                                   "instantiated local target named \"Note\""}));
}

}  // namespace
}  // namespace qelm
