#include "model/device.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <utility>
#include <vector>

#include "model/model.h"
#include "model/target.h"

namespace qelm {
namespace {

using ::testing::ElementsAre;

// A pool of numbered targets that write every watch and unwatch into one shared record, so a
// test sees the order in which a page change reached them.
class FakeTargets {
 public:
  using WatchEvent = std::pair<std::size_t, bool>;

  FakeTargets() {
    for (std::size_t i = 0; i < targets_.size(); ++i)
      targets_[i].init(i, &events);
  }
  Target* at(std::size_t i) { return &targets_.at(i); }
  std::size_t indexOf(const Target* t) const {
    return static_cast<std::size_t>(static_cast<const Numbered*>(t) - targets_.data());
  }

  std::vector<WatchEvent> events;

 private:
  class Numbered final : public Target {
   public:
    void init(std::size_t number, std::vector<WatchEvent>* events) {
      number_ = number;
      events_ = events;
    }
    std::string describe() const override { return "target " + std::to_string(number_); }
    void setValue(const Value&) override {}
    void sendValue(const Value&) override {}
    void watch(bool on) override { events_->emplace_back(number_, on); }

   private:
    std::size_t number_ = 0;
    std::vector<WatchEvent>* events_ = nullptr;
  };

  std::array<Numbered, 64> targets_{};
};

// Hands out one fake target per request, in order, and records what was asked; slot 99 makes no
// target.
class RecordingResolver : public TargetResolver {
 public:
  explicit RecordingResolver(FakeTargets& targets) : targets_(targets) {}

  Target* cardTarget(const CardAddress& address, Parameter& parameter) override {
    calls.push_back(parameter.name() + "@" + address.text());
    if (address.slot == 99) return nullptr;
    return targets_.at(next_++);
  }
  Target* panelTarget(Parameter& parameter) override {
    calls.push_back(parameter.name() + "@panel");
    return targets_.at(next_++);
  }

  std::vector<std::string> calls;

 private:
  FakeTargets& targets_;
  std::size_t next_ = 0;
};

class DeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gain_ = add(Parameter::makeOpenGear(1, "Gain"));
    mode_ = add(Parameter::makeOpenGear(2, "Mode"));
    backlight_ = add(Parameter::makeGlobal(14, "Backlight", "backlight"));
  }
  Parameter* add(std::unique_ptr<Parameter> p) {
    p->setIntegerRange(0, 10, 1);
    return model_.add(std::move(p));
  }
  static CardAddress card(int32_t slot) { return CardAddress{0x0A000002, slot, false}; }

  static std::unique_ptr<Device> deviceWithPages(int32_t number, std::vector<int32_t> pages,
                                                 const Template* link = nullptr) {
    auto d = std::make_unique<Device>(number, "Device " + std::to_string(number));
    for (int32_t p : pages)
      d->addPage(std::make_unique<Page>(p, "Page", PageType::k8Up));
    d->setTemplateLink(link);
    return d;
  }

  static std::vector<int32_t> entryNumbers(const Parameter& list) {
    std::vector<int32_t> numbers;
    for (const Item* item : list.choices().items())
      numbers.push_back(item->number());
    return numbers;
  }

  Model model_{"Amp"};
  Parameter* gain_ = nullptr;
  Parameter* mode_ = nullptr;
  Parameter* backlight_ = nullptr;
  FakeTargets targets_;
};

TEST_F(DeviceTest, ItemsMustFitTheLayout) {
  Page page(1, "Main", PageType::k4Up);
  EXPECT_FALSE(page.addItem(4, gain_, {card(1)}));
  EXPECT_FALSE(page.addItem(-1, gain_, {card(1)}));
  EXPECT_TRUE(page.addItem(3, gain_, {card(1)}));
  EXPECT_NE(page.item(3), nullptr);
  EXPECT_EQ(page.items().size(), 1u);
}

TEST_F(DeviceTest, AddingReplacesAndANullParameterClears) {
  Page page(1, "Main", PageType::k8Up);
  page.addItem(0, gain_, {card(1)}, "G");
  page.addItem(0, mode_, {card(2)}, "", Value::ofInt(1), "One");
  const PageItem* item = page.item(0);
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(item->parameter, mode_);
  EXPECT_EQ(item->displayName, "");
  EXPECT_EQ(item->setText, "One");
  EXPECT_TRUE(page.addItem(0, nullptr, {}));
  EXPECT_EQ(page.item(0), nullptr);

  // Clearing or replacing one item leaves its neighbours where they are.
  page.addItem(7, gain_, {card(7)});
  page.addItem(2, gain_, {card(2)});
  page.addItem(4, mode_, {card(4)});
  EXPECT_TRUE(page.addItem(4, nullptr, {}));
  EXPECT_TRUE(page.addItem(5, nullptr, {}));
  page.addItem(2, mode_, {card(3)});
  std::vector<int32_t> indexes;
  for (const PageItem& entry : page.items())
    indexes.push_back(entry.index);
  EXPECT_THAT(indexes, ElementsAre(2, 7));
  EXPECT_EQ(page.item(2)->parameter, mode_);
  EXPECT_EQ(page.item(7)->addresses.front().slot, 7);
}

TEST_F(DeviceTest, RealizeBindsItemsInIndexOrderAndSkipsMissingTargets) {
  Page page(1, "Main", PageType::k8Up);
  page.addItem(5, mode_, {card(2)});
  page.addItem(0, gain_, {card(1), card(99), card(3)});
  page.addItem(2, backlight_, {});
  page.addItem(3, mode_, {card(99)});
  RecordingResolver resolver(targets_);
  page.realize(resolver);
  EXPECT_THAT(resolver.calls,
              ElementsAre("Gain@10.0.0.2 [1]", "Gain@10.0.0.2 [99]", "Gain@10.0.0.2 [3]",
                          "Backlight@panel", "Mode@10.0.0.2 [99]", "Mode@10.0.0.2 [2]"));
  EXPECT_THAT(page.item(0)->targets, ElementsAre(targets_.at(0), targets_.at(1)));
  EXPECT_EQ(page.firstTarget(2), targets_.at(2));
  EXPECT_EQ(page.firstTarget(3), nullptr);
  EXPECT_EQ(page.firstTarget(4), nullptr);
  // Only items with a target are watched and refreshed.
  EXPECT_THAT(page.indexSet(), ElementsAre(0, 2, 5));
}

TEST_F(DeviceTest, RealizingAgainReplacesTargets) {
  Page page(1, "Main", PageType::k8Up);
  page.addItem(0, gain_, {card(1)});
  RecordingResolver first(targets_);
  page.realize(first);
  RecordingResolver second(targets_);
  page.realize(second);
  EXPECT_EQ(page.item(0)->targets.size(), 1u);
}

TEST_F(DeviceTest, AddresslessItemNeedsAGlobalParameter) {
  Page page(1, "Main", PageType::k8Up);
  page.addItem(0, gain_, {});
  RecordingResolver resolver(targets_);
  try {
    page.realize(resolver);
    FAIL() << "realize accepted a card parameter without a card";
  } catch (const std::string& text) {
    EXPECT_EQ(text, "Requested global code for non-global parameter");
  }
  EXPECT_TRUE(resolver.calls.empty());
}

TEST_F(DeviceTest, IndexSetFollowsItemChanges) {
  Page page(1, "Main", PageType::k8Up);
  page.addItem(0, gain_, {card(1)});
  EXPECT_TRUE(page.indexSet().empty());  // nothing realized yet
  RecordingResolver resolver(targets_);
  page.realize(resolver);
  EXPECT_THAT(page.indexSet(), ElementsAre(0));
  page.addItem(0, nullptr, {});
  EXPECT_TRUE(page.indexSet().empty());
}

TEST_F(DeviceTest, NewPageIsWatchedBeforeTheOldIsUnwatched) {
  Page left(1, "Left", PageType::k8Up);
  Page right(2, "Right", PageType::k8Up);
  left.addItem(0, gain_, {card(1)});
  right.addItem(0, gain_, {card(1)});
  right.addItem(1, mode_, {card(2), card(3)});
  RecordingResolver resolver(targets_);
  left.realize(resolver);
  right.realize(resolver);

  std::vector<FakeTargets::WatchEvent>& events = targets_.events;
  changeWatchedPage(nullptr, &left);
  EXPECT_THAT(events, ElementsAre(std::pair{std::size_t{0}, true}));
  events.clear();
  changeWatchedPage(&left, &right);
  EXPECT_THAT(events,
              ElementsAre(std::pair{std::size_t{1}, true}, std::pair{std::size_t{2}, true},
                          std::pair{std::size_t{3}, true}, std::pair{std::size_t{0}, false}));
  events.clear();
  changeWatchedPage(&right, &right);
  EXPECT_TRUE(events.empty());
}

TEST_F(DeviceTest, DevicePagesAndPageList) {
  Device device(4, "Cam 4");
  EXPECT_EQ(device.shortName(), "4");
  EXPECT_EQ(device.value(), 4);
  EXPECT_TRUE(device.addPage(std::make_unique<Page>(3, "C", PageType::k8Up)));
  EXPECT_TRUE(device.addPage(std::make_unique<Page>(1, "A", PageType::k8Up)));
  EXPECT_FALSE(device.addPage(std::make_unique<Page>(3, "Again", PageType::k8Up)));
  EXPECT_EQ(device.page(3)->longName(), "C");
  EXPECT_EQ(device.page(3)->device(), &device);
  EXPECT_EQ(device.firstPage()->number(), 1);

  Parameter& list = device.pageList();
  EXPECT_EQ(list.name(), "[Page List]");
  EXPECT_EQ(list.type(), ValueType::kChoice);
  EXPECT_THAT(entryNumbers(list), ElementsAre(1, 3));
  EXPECT_EQ(list.choices().byNumber(3), device.page(3));
  device.addPage(std::make_unique<Page>(2, "B", PageType::k8Up));
  EXPECT_THAT(entryNumbers(device.pageList()), ElementsAre(1, 2, 3));
}

TEST_F(DeviceTest, DeviceListOrdersDevicesThenThePanelsOwn) {
  DeviceList list;
  Device panel(0, "This Control Panel");
  for (int32_t n : {3, 1, 2})
    EXPECT_TRUE(list.add(deviceWithPages(n, {1})));
  EXPECT_FALSE(list.add(deviceWithPages(2, {1})));
  list.setPanelDevice(&panel);
  Parameter& devices = list.deviceList();
  EXPECT_EQ(devices.name(), "[Device List]");
  EXPECT_THAT(entryNumbers(devices), ElementsAre(1, 2, 3, 0));
  EXPECT_EQ(devices.choices().at(3), &panel);

  EXPECT_TRUE(list.add(deviceWithPages(4, {1})));
  EXPECT_THAT(entryNumbers(list.deviceList()), ElementsAre(1, 2, 3, 4, 0));
  EXPECT_EQ(list.device(4)->number(), 4);
  EXPECT_EQ(list.device(5), nullptr);
}

TEST_F(DeviceTest, RealizingTheListSkipsThePanelsOwnDevice) {
  DeviceList list;
  auto configured = deviceWithPages(1, {1});
  configured->page(1)->addItem(0, gain_, {card(1)});
  list.add(std::move(configured));
  Device panel(0, "This Control Panel");
  panel.addPage(std::make_unique<Page>(1, "Display", PageType::k8Up));
  panel.page(1)->addItem(0, backlight_, {});
  list.setPanelDevice(&panel);
  RecordingResolver resolver(targets_);
  list.realize(resolver);
  EXPECT_THAT(resolver.calls, ElementsAre("Gain@10.0.0.2 [1]"));
}

TEST_F(DeviceTest, NewDeviceKeepsThePageNumberOnlyForTheSameTemplate) {
  // Templates are only compared, so any distinct addresses do.
  std::array<char, 2> templates{};
  const auto* t = reinterpret_cast<const Template*>(&templates[0]);
  const auto* other = reinterpret_cast<const Template*>(&templates[1]);
  auto a = deviceWithPages(1, {1, 2, 3}, t);
  auto b = deviceWithPages(2, {1, 2, 3}, t);
  auto changed = deviceWithPages(3, {1, 2, 3}, nullptr);
  auto elsewhere = deviceWithPages(4, {1, 2, 3}, other);

  const Page* showing = a->page(3);
  EXPECT_EQ(b->choosePage(showing), b->page(3));
  EXPECT_EQ(changed->choosePage(showing), changed->page(1));
  EXPECT_EQ(elsewhere->choosePage(showing), elsewhere->page(1));
  EXPECT_EQ(b->choosePage(nullptr), b->page(1));
  // From a device without a link, even to one with a link: the first page.
  EXPECT_EQ(b->choosePage(changed->page(2)), b->page(1));
  EXPECT_EQ(Device(9, "Empty").choosePage(showing), nullptr);
}

TEST(CardAddressTest, TextAndOrder) {
  EXPECT_EQ((CardAddress{0x0A000005, 3, false}.text()), "10.0.0.5 [3]");
  EXPECT_EQ((CardAddress{0xC0A80101, 12, true}.text()), "192.168.1.1 [12]");
  const CardAddress lowFrame{0x0A000001, 9, true};
  const CardAddress primary{0x0A000002, 1, false};
  const CardAddress secondary{0x0A000002, 1, true};
  const CardAddress nextSlot{0x0A000002, 2, false};
  EXPECT_LT(lowFrame, primary);
  EXPECT_LT(primary, secondary);
  EXPECT_LT(secondary, nextSlot);
  EXPECT_EQ(primary, (CardAddress{0x0A000002, 1, false}));
}

}  // namespace
}  // namespace qelm
