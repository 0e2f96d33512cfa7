#include "panel/panel_logic.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/win_input.h"
#include "model/model.h"
#include "panel_logic_fakes.h"

namespace qelm {
namespace {

using namespace qelm::testing;
using ::testing::ElementsAre;

constexpr PanelKey kZero = PanelKey::kDigit0;
constexpr PanelKey kContext = PanelKey::kContext;
constexpr PanelKey kBack = PanelKey::kBack;
constexpr PanelKey kSelectDevice = PanelKey::kSelectDevice;
constexpr PanelKey kSelectSubmenu = PanelKey::kSelectSubmenu;
constexpr PanelKey kCancel = PanelKey::kCancel;
constexpr PanelKey kEnter = PanelKey::kEnter;
constexpr LampState kOff = LampState::kOff;
constexpr LampState kLit = LampState::kLit;
constexpr LampState kBright = LampState::kBright;

constexpr const char* kDevicePrompt = "Use the keypad or any knob to select a device.";
constexpr const char* kPagePrompt = "Use the keypad or any knob to select a submenu.";

// Devices 1 "Alpha" and 5 "Bravo" made from one template (pages 1, 2 "8-up" and 3 "cc"),
// device 7 "Charlie" with one "lm" page, and the panel's own device 0 whose page holds the
// loudness view settings. Quick Switch is on.
class PanelLogicTest : public ::testing::Test {
 protected:
  PanelLogicTest() {
    PanelLogic::clearStoredCorrectorSettings();
    level_ = intParameter("Level", 0, 9, 2);
    gain_ = intParameter("Gain", 0, 50, 1);
    gain_->setDefault(Value::ofInt(25));
    offset_ = intParameter("Offset", -10, 10, 1);
    slow_ = intParameter("Delay", 0, 100, 5);
    slow_->setSlow(true);
    locked_ = intParameter("Temperature", 0, 100, 1);
    locked_->setReadOnly(true);
    trim_ = cardParameter("Trim");
    trim_->setFloatRange(0.0, 10.0, 0.5);
    mode_ = cardParameter("Mode");
    mode_->addChoice(1, 10, "Off", "Off");
    mode_->addChoice(2, 20, "Low", "Low");
    mode_->addChoice(3, 30, "High", "High");
    command_ = cardParameter("Reboot");
    command_->addChoice(1, 7, "Go", "Go");

    alpha_ = addDevice(1, "Alpha", true, {PageType::k8Up, PageType::k8Up, PageType::kCc});
    bravo_ = addDevice(5, "Bravo", true, {PageType::k8Up, PageType::k8Up, PageType::kCc});
    charlie_ = addDevice(7, "Charlie", false, {PageType::kLm});

    panel_ = std::make_unique<Device>(0, "This Control Panel");
    panel_->addPage(std::make_unique<CountingPage>(1, "Loudness Meter Presets", PageType::k8Up));
    Parameter* view = globalChoice(codeOf(GlobalCode::kCurrentLoudnessView), {0, 1});
    Parameter* scale = globalChoice(codeOf(GlobalCode::kCurrentGraphScale), {100, 200, 400});
    Parameter* graphMode = globalChoice(codeOf(GlobalCode::kCurrentGraphMode), {0, 1, 2, 3});
    panel_->page(1)->addItem(0, view, {});
    panel_->page(1)->addItem(1, scale, {});
    panel_->page(1)->addItem(2, graphMode, {});
    devices_.setPanelDevice(panel_.get());

    settings_.targets[codeOf(GlobalCode::kQuickSwitch)] = &card("quick", Value::ofInt(1));
  }

  Parameter* cardParameter(std::string name) {
    return model_.add(Parameter::makeOpenGear(nextOid_++, std::move(name)));
  }
  Parameter* intParameter(std::string name, int32_t low, int32_t high, int32_t step) {
    Parameter* parameter = cardParameter(std::move(name));
    parameter->setIntegerRange(low, high, step);
    return parameter;
  }
  Parameter* globalChoice(int32_t code, std::vector<int32_t> values) {
    Parameter* parameter = globals_.add(Parameter::makeGlobal(code, std::to_string(code), ""));
    for (std::size_t i = 0; i < values.size(); ++i) {
      const auto number = static_cast<int32_t>(i + 1);
      parameter->addChoice(number, values[i], std::to_string(values[i]), "");
    }
    return parameter;
  }
  Device* addDevice(int32_t number, std::string name, bool fromTemplate,
                    std::vector<PageType> types) {
    auto device = std::make_unique<Device>(number, std::move(name));
    for (std::size_t i = 0; i < types.size(); ++i) {
      const auto page = static_cast<int32_t>(i + 1);
      device->addPage(
          std::make_unique<CountingPage>(page, "Page " + std::to_string(page), types[i]));
    }
    if (fromTemplate) device->setTemplateLink(reinterpret_cast<const Template*>(&templateTag_));
    Device* kept = device.get();
    devices_.add(std::move(device));
    return kept;
  }
  static CountingPage& page(Device* device, int32_t number) {
    return static_cast<CountingPage&>(*device->page(number));
  }

  FakeTarget& card(std::string name, Value value) {
    return targets_.emplace_back(std::move(name), std::move(value), journal_);
  }
  // Puts an item on `page` bound to `cards`, one card slot per target.
  void put(Page& page, int32_t index, Parameter* parameter, std::vector<FakeTarget*> cards,
           Value preset = {}, std::string label = {}) {
    std::vector<CardAddress> addresses;
    for (FakeTarget* target : cards) {
      resolver_.bySlot[nextSlot_] = target;
      addresses.push_back(CardAddress{0x0A000001, nextSlot_++, false});
    }
    page.addItem(index, parameter, std::move(addresses), {}, std::move(preset), std::move(label));
  }

  void start() {
    devices_.realize(resolver_);
    panel_->realize(resolver_);
    logic_ = std::make_unique<PanelLogic>(devices_, screens_, settings_, tick_);
    logic_->handleEvent(nullptr);
  }

  void send(InputEvent event) { logic_->handleEvent(&event); }
  void press(PanelKey key) { send({codeOf(key), EventKind::kKeyPressed}); }
  void type(std::string_view digits) {
    for (const char c : digits)
      press(digitKey(c - '0'));
  }
  LampState lamp(PanelKey key) const { return logic_->lamps()[codeOf(key)]; }
  void turn(int32_t knob, int32_t n) {
    send({kFirstKnobCode + knob, n < 0 ? EventKind::kTurnedOneWay : EventKind::kTurnedOtherWay,
          std::abs(n)});
  }
  void push(int32_t knob) { send({kFirstKnobCode + knob, EventKind::kKnobReleased}); }
  void hold(int32_t code) { send({code, EventKind::kHeld, 1}); }
  void hold(PanelKey key) { hold(codeOf(key)); }
  void releaseHold(int32_t code) { send({code, EventKind::kReleasedAfterHold}); }
  void releaseHold(PanelKey key) { releaseHold(codeOf(key)); }
  void touch(EventKind kind, Screen screen, int32_t x, int32_t y) {
    send({kTouchCode, kind, 1, codeOf(screen), x, y});
  }

  Model model_{"Card"};
  Model globals_{"globals"};
  uint16_t nextOid_ = 1;
  int32_t nextSlot_ = 1;
  int templateTag_ = 0;
  Journal journal_;
  std::deque<FakeTarget> targets_;
  FakeScreens screens_{journal_};
  FakeSettings settings_;
  FakeResolver resolver_{settings_};
  std::unique_ptr<Device> panel_;
  DeviceList devices_;
  Device* alpha_ = nullptr;
  Device* bravo_ = nullptr;
  Device* charlie_ = nullptr;
  Parameter* level_ = nullptr;
  Parameter* gain_ = nullptr;
  Parameter* offset_ = nullptr;
  Parameter* slow_ = nullptr;
  Parameter* locked_ = nullptr;
  Parameter* trim_ = nullptr;
  Parameter* mode_ = nullptr;
  Parameter* command_ = nullptr;
  uint32_t tick_ = 4711;
  std::unique_ptr<PanelLogic> logic_;
};

TEST_F(PanelLogicTest, DevicesAndPagesAreChosenByNumberWithTheKeypad) {
  FakeTarget& a = card("a", Value::ofInt(1));
  FakeTarget& b = card("b", Value::ofInt(1));
  put(page(alpha_, 2), 0, level_, {&a});
  put(page(bravo_, 2), 0, level_, {&b});
  start();
  EXPECT_EQ(logic_->mode(), PanelMode::kPageShown);
  EXPECT_EQ(screens_.page, &page(alpha_, 1));
  EXPECT_EQ(page(alpha_, 1).activations, 1);
  EXPECT_EQ(settings_.lockRefreshes, 1);

  press(kSelectSubmenu);
  EXPECT_EQ(screens_.prompt, kPagePrompt);
  EXPECT_EQ(screens_.header, "1 Alpha");
  type("2");
  press(kEnter);
  EXPECT_EQ(logic_->currentPage(), &page(alpha_, 2));
  EXPECT_EQ(page(alpha_, 1).deactivations, 1);
  EXPECT_EQ(settings_.commits, 1);
  EXPECT_EQ(a.watchers, 1);

  press(kSelectDevice);
  EXPECT_EQ(logic_->mode(), PanelMode::kDeviceSelect);
  EXPECT_EQ(screens_.prompt, kDevicePrompt);
  EXPECT_EQ(screens_.header, "");
  EXPECT_EQ(screens_.listPosition, 0);
  EXPECT_EQ(screens_.entryText, "1");
  EXPECT_EQ(settings_.commits, 2);

  // An unknown number stays open and marked; the back arrow edits what was typed.
  type("9");
  press(kEnter);
  EXPECT_EQ(logic_->mode(), PanelMode::kDeviceSelect);
  EXPECT_TRUE(logic_->entryActive());
  EXPECT_TRUE(screens_.error);
  press(kBack);
  EXPECT_EQ(screens_.entryText, "");
  type("5");
  press(kEnter);
  // Same template: the page of the same number.
  EXPECT_EQ(logic_->currentDevice(), bravo_);
  EXPECT_EQ(screens_.page, &page(bravo_, 2));
  EXPECT_EQ(b.watchers, 1);
  EXPECT_EQ(a.watchers, 0);

  // Select Submenu accepts the device and goes on to its pages.
  press(kSelectDevice);
  type("7");
  press(kSelectSubmenu);
  EXPECT_EQ(logic_->mode(), PanelMode::kPageSelect);
  EXPECT_EQ(screens_.header, "7 Charlie");
  EXPECT_EQ(screens_.entryText, "1");
  press(kEnter);
  EXPECT_EQ(screens_.page, &page(charlie_, 1));

  // The panel's own device always continues with page selection.
  press(kSelectDevice);
  type("0");
  press(kEnter);
  EXPECT_EQ(logic_->mode(), PanelMode::kPageSelect);
  EXPECT_EQ(screens_.header, "0 This Control Panel");
}

TEST_F(PanelLogicTest, SelectionsAreCancelledOrMovedByKnob) {
  start();
  press(kSelectSubmenu);
  press(kCancel);
  EXPECT_EQ(logic_->mode(), PanelMode::kPageShown);
  EXPECT_EQ(screens_.page, &page(alpha_, 1));
  EXPECT_EQ(page(alpha_, 1).activations, 2);

  press(kSelectSubmenu);
  press(kSelectSubmenu);
  EXPECT_EQ(logic_->mode(), PanelMode::kPageShown);

  press(kSelectSubmenu);
  press(kSelectDevice);
  EXPECT_EQ(logic_->mode(), PanelMode::kDeviceSelect);
  type("5");
  press(kCancel);
  EXPECT_EQ(logic_->mode(), PanelMode::kDeviceSelect);
  EXPECT_EQ(screens_.entryText, "1");
  EXPECT_EQ(logic_->currentDevice(), alpha_);

  // Any knob moves the selection, within the list; a push accepts.
  press(kSelectDevice);
  turn(3, -1);
  EXPECT_EQ(screens_.entryText, "1");
  EXPECT_EQ(screens_.listPosition, 0);
  turn(5, 2);
  EXPECT_EQ(screens_.entryText, "7");
  EXPECT_EQ(screens_.listPosition, 2);
  turn(0, 10);
  EXPECT_EQ(screens_.entryText, "0");
  EXPECT_EQ(screens_.listPosition, 3);
  push(6);
  EXPECT_EQ(logic_->mode(), PanelMode::kPageSelect);
  EXPECT_EQ(logic_->currentDevice(), panel_.get());
}

TEST_F(PanelLogicTest, QuickSwitchJumpsByListPositionOnly) {
  start();
  press(PanelKey::kDigit2);  // second device
  EXPECT_EQ(logic_->currentDevice(), bravo_);
  EXPECT_EQ(screens_.page, &page(bravo_, 1));
  EXPECT_EQ(settings_.commits, 1);

  const std::size_t before = journal_.lines.size();
  press(PanelKey::kDigit2);  // the device on show
  press(PanelKey::kDigit9);  // beyond the list
  press(PanelKey::kDigit4);  // the panel's own device
  press(kZero);              // position 9
  EXPECT_EQ(journal_.lines.size(), before);
  EXPECT_EQ(settings_.commits, 1);

  settings_.targets[codeOf(GlobalCode::kQuickSwitch)]->setValue(Value::ofInt(0));
  press(PanelKey::kDigit1);
  EXPECT_EQ(logic_->currentDevice(), bravo_);
}

TEST_F(PanelLogicTest, TurningMovesEveryCardOfAnItemFromTheFirstCardsValue) {
  FakeTarget& first = card("first", Value::ofInt(5));
  FakeTarget& second = card("second", Value::ofInt(3));
  FakeTarget& slow = card("slow", Value::ofInt(10));
  FakeTarget& locked = card("locked", Value::ofInt(10));
  FakeTarget& preset = card("preset", Value::ofInt(1));
  Page& main = page(alpha_, 1);
  put(main, 2, level_, {&first, &second});  // knob 1
  put(main, 0, slow_, {&slow});             // knob 0
  put(main, 1, locked_, {&locked});         // knob 2
  put(main, 3, level_, {&preset}, Value::ofInt(4), "Bars");
  start();

  turn(1, 3);
  EXPECT_EQ(first.currentValue().i, 9);
  EXPECT_EQ(second.currentValue().i, 9);
  turn(1, -1);
  EXPECT_EQ(first.currentValue().i, 7);
  EXPECT_EQ(second.currentValue().i, 7);

  turn(0, 1);
  turn(2, 1);
  turn(3, 1);
  EXPECT_TRUE(slow.sets.empty());
  EXPECT_TRUE(locked.sets.empty());
  EXPECT_TRUE(preset.sets.empty());
}

TEST_F(PanelLogicTest, ConfirmedItemsAreEnteredWithTheirOwnKnob) {
  FakeTarget& slow = card("slow", Value::ofInt(10));
  FakeTarget& other = card("other", Value::ofInt(1));
  FakeTarget& mode = card("mode", Value::ofInt(20));
  Page& main = page(alpha_, 1);
  put(main, 0, slow_, {&slow});    // knob 0
  put(main, 2, level_, {&other});  // knob 1
  put(main, 1, mode_, {&mode});    // knob 2
  start();

  push(0);
  EXPECT_TRUE(logic_->entryActive());
  EXPECT_EQ(logic_->enteredItem(), 0);
  EXPECT_EQ(screens_.highlighted, 0);
  EXPECT_EQ(screens_.entryText, "10");
  turn(1, 1);
  push(1);
  EXPECT_TRUE(other.sets.empty());
  EXPECT_EQ(logic_->enteredItem(), 0);
  turn(0, 2);
  EXPECT_EQ(screens_.entryText, "20");
  EXPECT_TRUE(slow.sets.empty());
  press(kEnter);
  ASSERT_EQ(slow.sets.size(), 1u);
  EXPECT_EQ(slow.sets[0].i, 20);
  EXPECT_FALSE(logic_->entryActive());
  EXPECT_EQ(screens_.highlighted, -1);
  EXPECT_TRUE(journal_.has("refresh(0)"));

  // A choice shows its list and follows the knob; pushing the knob accepts.
  push(2);
  EXPECT_EQ(screens_.choices, &mode_->choices());
  EXPECT_EQ(screens_.listPosition, 1);
  turn(2, 5);
  EXPECT_EQ(screens_.entryText, "High");
  EXPECT_EQ(screens_.listPosition, 2);
  push(2);
  ASSERT_EQ(mode.sets.size(), 1u);
  EXPECT_EQ(mode.sets[0].i, 30);
}

TEST_F(PanelLogicTest, TypedEntriesAreCheckedLimitedAndCancellable) {
  FakeTarget& gain = card("gain", Value::ofInt(10));
  put(page(alpha_, 1), 0, gain_, {&gain});
  start();

  push(0);
  type("99");
  press(kEnter);
  EXPECT_TRUE(logic_->entryActive());
  EXPECT_TRUE(screens_.error);
  EXPECT_TRUE(gain.sets.empty());
  press(kBack);
  EXPECT_EQ(screens_.entryText, "9");
  press(kEnter);
  ASSERT_EQ(gain.sets.size(), 1u);
  EXPECT_EQ(gain.sets[0].i, 9);

  push(0);
  type("1234567");
  EXPECT_EQ(logic_->entryText(), "123456");
  press(kCancel);
  EXPECT_FALSE(logic_->entryActive());
  EXPECT_EQ(screens_.highlighted, -1);
  EXPECT_EQ(gain.sets.size(), 1u);
}

TEST_F(PanelLogicTest, PresetsAndCommandsAreSentWhileHighlighted) {
  FakeTarget& a = card("a", Value::ofInt(0));
  FakeTarget& b = card("b", Value::ofInt(0));
  FakeTarget& reboot = card("reboot", Value::ofInt(0));
  put(page(alpha_, 1), 0, level_, {&a, &b}, Value::ofInt(4), "Bars");
  put(page(alpha_, 1), 2, command_, {&reboot});
  start();

  journal_.lines.clear();
  push(0);
  EXPECT_THAT(journal_.lines,
              ElementsAre("highlight(0)", "drawNow", "a.send(4)", "b.send(4)", "highlight(-1)"));
  EXPECT_FALSE(logic_->entryActive());
  push(1);
  ASSERT_EQ(reboot.sends.size(), 1u);
  EXPECT_EQ(reboot.sends[0].i, 7);
}

TEST_F(PanelLogicTest, ContextKeyGivesMinusOrPointWhereTheValueCanHaveOne) {
  FakeTarget& offset = card("offset", Value::ofInt(3));
  FakeTarget& trim = card("trim", Value::ofFloat(2.5f));
  FakeTarget& gain = card("gain", Value::ofInt(5));
  put(page(alpha_, 1), 0, offset_, {&offset});  // knob 0
  put(page(alpha_, 1), 2, trim_, {&trim});      // knob 1
  put(page(alpha_, 1), 1, gain_, {&gain});      // knob 2
  start();

  push(0);
  EXPECT_EQ(lamp(kContext), kBright);
  press(kContext);
  type("5");
  EXPECT_EQ(logic_->entryText(), "-5");
  EXPECT_EQ(lamp(kContext), kOff);
  press(kContext);
  press(kEnter);
  EXPECT_EQ(offset.sets.back().i, -5);

  push(1);
  EXPECT_EQ(lamp(kContext), kOff);
  type("1");
  EXPECT_EQ(lamp(kContext), kBright);
  press(kContext);
  type("5");
  EXPECT_EQ(logic_->entryText(), "1.5");
  press(kEnter);
  EXPECT_EQ(trim.sets.back().f, 1.5f);

  push(2);
  press(kContext);
  EXPECT_EQ(logic_->entryText(), "5");
}

TEST_F(PanelLogicTest, HeldKnobsResetToTheDefaultOrSayWhyNot) {
  FakeTarget& gain = card("gain", Value::ofInt(10));
  FakeTarget& locked = card("locked", Value::ofInt(10));
  FakeTarget& level = card("level", Value::ofInt(1));
  put(page(alpha_, 1), 0, gain_, {&gain});      // knob 0
  put(page(alpha_, 1), 2, locked_, {&locked});  // knob 1
  put(page(alpha_, 1), 1, level_, {&level});    // knob 2
  start();

  hold(kFirstKnobCode);
  ASSERT_EQ(gain.sends.size(), 1u);
  EXPECT_EQ(gain.sends[0].i, 25);
  EXPECT_THAT(screens_.messages, ElementsAre("Reset to default value"));
  releaseHold(kFirstKnobCode);
  EXPECT_TRUE(screens_.messages.empty());

  hold(kFirstKnobCode + 1);
  EXPECT_THAT(screens_.messages, ElementsAre("Not editable"));
  hold(kFirstKnobCode + 2);
  EXPECT_THAT(screens_.messages, ElementsAre("No default value"));
  releaseHold(kFirstKnobCode + 2);
  EXPECT_TRUE(screens_.messages.empty());
  EXPECT_TRUE(locked.sends.empty());
  EXPECT_TRUE(level.sends.empty());
}

TEST_F(PanelLogicTest, CorrectorSettingsAreCopiedBetweenDevicesAndBypassToggles) {
  std::vector<FakeTarget*> from;
  std::vector<FakeTarget*> to;
  for (int32_t i = 0; i < 13; ++i) {
    from.push_back(&card("from" + std::to_string(i), Value::ofInt(100 + i)));
    to.push_back(&card("to" + std::to_string(i), Value::ofInt(0)));
    put(page(alpha_, 3), i, level_, {from.back()});
    put(page(bravo_, 3), i, level_, {to.back()});
  }
  FakeTarget& enable = card("enable", Value::ofInt(1));
  FakeTarget& enable2 = card("enable2", Value::ofInt(1));
  FakeTarget& reset1 = card("reset1", Value::ofInt(0));
  FakeTarget& reset2 = card("reset2", Value::ofInt(0));
  FakeTarget& holdControl = card("hold", Value::ofInt(1));
  Page& target = page(bravo_, 3);
  put(target, 13, level_, {&enable});
  put(target, 14, level_, {&enable2});
  put(target, 15, level_, {&reset1});
  put(target, 16, level_, {&reset2});
  put(target, 17, level_, {&holdControl});
  start();

  press(kSelectSubmenu);
  type("3");
  press(kEnter);
  hold(kContext);
  EXPECT_THAT(screens_.messages, ElementsAre("Retrieved settings from device"));
  releaseHold(kContext);
  press(PanelKey::kDigit2);  // Quick Switch to Bravo keeps page 3
  ASSERT_EQ(screens_.page, &target);

  journal_.lines.clear();
  hold(kZero);
  EXPECT_EQ(journal_.lines.front(), "hold.send(0)");
  EXPECT_EQ(journal_.lines.back(), "hold.send(1)");
  for (int32_t i = 0; i < 13; ++i)
    EXPECT_EQ(to[i]->currentValue().i, 100 + i) << i;
  EXPECT_THAT(screens_.messages, ElementsAre("Sent settings to device"));
  releaseHold(kZero);
  for (const PanelKey key : {kContext, kZero, kBack, kEnter})
    EXPECT_EQ(lamp(key), kBright) << codeOf(key);

  press(kEnter);
  EXPECT_EQ(enable.currentValue().i, 0);
  EXPECT_EQ(enable2.currentValue().i, 0);
  enable.changed = true;
  logic_->refreshPage();
  EXPECT_EQ(screens_.status, "BYPASS ");
  EXPECT_FALSE(enable.changed);
  // Shown again, the page says it is bypassed at once.
  press(kSelectSubmenu);
  press(kCancel);
  EXPECT_EQ(screens_.status, "BYPASS ");

  journal_.lines.clear();
  hold(kBack);
  EXPECT_THAT(journal_.lines,
              ElementsAre("hold.send(0)", "reset1.set(1)", "reset2.set(1)", "hold.send(1)"));
  EXPECT_THAT(screens_.messages, ElementsAre("Reset"));
  releaseHold(kBack);

  journal_.lines.clear();
  turn(7, 1);  // the knob of item 13
  turn(5, 1);  // no item
  EXPECT_THAT(journal_.lines, ElementsAre("to12.set(9)"));

  // Nothing stored, nothing written: no claim that settings were sent.
  PanelLogic::clearStoredCorrectorSettings();
  hold(kZero);
  EXPECT_TRUE(screens_.messages.empty());
}

TEST_F(PanelLogicTest, LampsFollowTheMode) {
  start();
  LampStates shown{};
  const auto set = [](LampStates& lamps, PanelKey key, LampState state) {
    lamps[codeOf(key)] = state;
  };
  set(shown, kSelectDevice, kLit);
  set(shown, kSelectSubmenu, kLit);
  for (int32_t digit = 1; digit <= 3; ++digit)  // the three card devices
    set(shown, digitKey(digit), kBright);
  EXPECT_EQ(logic_->lamps(), shown);

  press(kSelectDevice);
  LampStates entry{};
  for (int32_t digit = 0; digit <= 9; ++digit)
    set(entry, digitKey(digit), kBright);
  for (const PanelKey key : {kBack, kCancel, kEnter, kSelectDevice})
    set(entry, key, kBright);
  set(entry, kSelectSubmenu, kLit);
  EXPECT_EQ(logic_->lamps(), entry);

  press(kSelectSubmenu);
  set(entry, kSelectDevice, kLit);
  set(entry, kSelectSubmenu, kBright);
  EXPECT_EQ(logic_->lamps(), entry);

  settings_.targets[codeOf(GlobalCode::kQuickSwitch)]->setValue(Value::ofInt(0));
  press(kCancel);
  for (int32_t digit = 1; digit <= 3; ++digit)
    set(shown, digitKey(digit), kOff);
  EXPECT_EQ(logic_->lamps(), shown);
}

TEST_F(PanelLogicTest, FinalEventLeavesThePageAndAsksForARestart) {
  start();
  send({kFinalEventCode, EventKind::kNone, 0});
  EXPECT_TRUE(logic_->exitRequested());
  EXPECT_EQ(page(alpha_, 1).deactivations, 1);
  EXPECT_EQ(settings_.commits, 1);
}

TEST_F(PanelLogicTest, PerPassRefreshRedrawsChangedItemsButNotTheEnteredOne) {
  FakeTarget& entered = card("entered", Value::ofInt(1));
  FakeTarget& other = card("other", Value::ofInt(1));
  put(page(alpha_, 1), 0, level_, {&entered});
  put(page(alpha_, 1), 2, level_, {&other});
  start();

  push(0);
  entered.changed = other.changed = true;
  journal_.lines.clear();
  logic_->refreshPage();
  EXPECT_THAT(journal_.lines, ElementsAre("refresh(2)"));
  EXPECT_TRUE(entered.changed);
  EXPECT_FALSE(other.changed);
  EXPECT_EQ(settings_.clockRefreshes, 0);

  press(kCancel);
  press(kSelectDevice);
  type("0");
  press(kEnter);
  press(kEnter);
  ASSERT_EQ(logic_->mode(), PanelMode::kPageShown);
  logic_->refreshPage();
  EXPECT_EQ(settings_.clockRefreshes, 1);
}

TEST_F(PanelLogicTest, LoudnessPagesWorkTheirSettingsAndTheirMonitor) {
  start();
  press(kSelectDevice);
  type("7");
  press(kEnter);
  ASSERT_EQ(screens_.page, &page(charlie_, 1));
  try {
    turn(2, 1);
    ADD_FAILURE() << "no error for a missing setting";
  } catch (const std::string& text) {
    EXPECT_EQ(text, "No target for global setting with code 51");
  }

  FakeTarget& view = card("view", Value::ofInt(0));
  FakeTarget& scale = card("scale", Value::ofInt(100));
  FakeTarget& graphMode = card("graphMode", Value::ofInt(0));
  FakeTarget& active = card("active", Value::ofInt(0));
  settings_.targets[codeOf(GlobalCode::kCurrentLoudnessView)] = &view;
  settings_.targets[codeOf(GlobalCode::kCurrentGraphScale)] = &scale;
  settings_.targets[codeOf(GlobalCode::kCurrentGraphMode)] = &graphMode;
  settings_.targets[codeOf(GlobalCode::kActiveSessions)] = &active;

  turn(1, 1);  // the graph knobs work only in the graph view
  EXPECT_TRUE(scale.sets.empty());
  turn(2, -1);
  EXPECT_EQ(view.currentValue().i, 1);
  turn(1, 3);
  EXPECT_EQ(scale.currentValue().i, 200);
  turn(0, -1);
  EXPECT_TRUE(graphMode.sets.empty());
  turn(0, 1);
  EXPECT_EQ(graphMode.currentValue().i, 1);
  active.received = Value::ofInt(1);
  turn(0, 1);
  EXPECT_EQ(graphMode.currentValue().i, 1);

  EXPECT_EQ(logic_->sessionRequest(SessionOperation::kSave, "a.ses"), "")
      << "no monitor, nothing saved";
  FakeLoudness loudness(journal_);
  logic_->setLoudnessControl(&loudness);
  EXPECT_EQ(logic_->sessionRequest(SessionOperation::kSave, "a.ses"), "1:a.ses");
  loudness.state = SessionState::kPaused;
  EXPECT_TRUE(logic_->sessionPaused());
  EXPECT_FALSE(logic_->sessionStopped());
  loudness.state = SessionState::kStopped;
  EXPECT_TRUE(logic_->sessionStopped());

  journal_.lines.clear();
  touch(EventKind::kTouched, Screen::kRight, 10, 50);
  touch(EventKind::kStillTouched, Screen::kRight, 10, 50);
  touch(EventKind::kTouched, Screen::kRight, 100, 50);
  touch(EventKind::kStillTouched, Screen::kRight, 100, 50);
  touch(EventKind::kTouched, Screen::kRight, 200, 50);
  touch(EventKind::kTouched, Screen::kRight, 200, 140);
  logic_->refreshPage();
  EXPECT_THAT(journal_.lines,
              ElementsAre("start", "stop", "clear", "pause", "loudness refresh 4711"));
  touch(EventKind::kStillTouched, Screen::kLeft, 450, 20);
  EXPECT_EQ(view.currentValue().i, 0);

  press(kSelectSubmenu);
  EXPECT_EQ(logic_->sessionRequest(SessionOperation::kLoad, "a.ses"), "");
  EXPECT_FALSE(logic_->sessionStopped());
}

TEST_F(PanelLogicTest, ScreenButtonsActOnClicksWhosePressAndReleaseCameInOnePass) {
  start();
  press(kSelectDevice);
  type("7");
  press(kEnter);
  FakeTarget& view = card("view", Value::ofInt(0));
  settings_.targets[codeOf(GlobalCode::kCurrentLoudnessView)] = &view;
  FakeLoudness loudness(journal_);
  logic_->setLoudnessControl(&loudness);
  journal_.lines.clear();

  // Each click is pressed and released before the pass hands the input to the panel.
  platform::ManualClock clock(1000);
  WinInput input(clock);
  const auto click = [&](Screen screen, int32_t x, int32_t y) {
    input.setTouch(codeOf(screen), x, y, true);
    input.setTouch(codeOf(screen), x, y, false);
    while (const std::optional<InputEvent> event = input.nextEvent())
      send(*event);
    clock.advance(1);
  };
  click(Screen::kRight, 40, 60);
  click(Screen::kRight, 120, 60);
  click(Screen::kRight, 200, 60);
  EXPECT_THAT(journal_.lines, ElementsAre("start", "stop", "pause"));
  click(Screen::kLeft, 450, 20);
  EXPECT_EQ(view.currentValue().i, 1) << "the view toggle";
}

}  // namespace
}  // namespace qelm
