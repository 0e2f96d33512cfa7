#include "config/template.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace qelm {
namespace {

using ::testing::ElementsAre;

class TemplateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto p = Parameter::makeOpenGear(0x0101, "Gain");
    p->setIntegerRange(-100, 100, 1);
    gain_ = model_.add(std::move(p));
  }

  TemplateItem itemWith(int32_t index, std::vector<int32_t> indexes) {
    TemplateItem item;
    item.index = index;
    item.parameter = gain_;
    item.addressIndexes = std::move(indexes);
    return item;
  }

  static std::vector<int32_t> slots(const PageItem* item) {
    std::vector<int32_t> result;
    for (const CardAddress& a : item->addresses)
      result.push_back(a.slot);
    return result;
  }

  Model model_{"Amp"};
  Parameter* gain_ = nullptr;
  Template template_{"T", model_};
  const std::vector<CardAddress> two_{{0x0A000002, 3, false}, {0x0A000002, 4, false}};
};

TEST_F(TemplateTest, PagesComeOutInNumberOrderWithTheirLayout) {
  template_.addPage(7, "Seven", PageType::kLm);
  template_.addPage(2, "Two", PageType::k4Up);
  EXPECT_EQ(template_.addPage(2, "Again", PageType::k8Up), nullptr);
  const auto pages = template_.makePages(two_);
  ASSERT_EQ(pages.size(), 2u);
  EXPECT_EQ(pages[0]->number(), 2);
  EXPECT_EQ(pages[0]->longName(), "Two");
  EXPECT_EQ(pages[0]->type(), PageType::k4Up);
  EXPECT_EQ(pages[1]->number(), 7);
  EXPECT_EQ(pages[1]->type(), PageType::kLm);
}

TEST_F(TemplateTest, AddressIndexesPickTheDevicesAddresses) {
  TemplatePage& page = *template_.addPage(1, "Main", PageType::k8Up);
  page.addItem(itemWith(0, {0, 1}));
  page.addItem(itemWith(1, {1}));
  page.addItem(itemWith(2, {0, 5}));

  auto both = template_.makePages(two_);
  EXPECT_THAT(slots(both[0]->item(0)), ElementsAre(3, 4));
  EXPECT_THAT(slots(both[0]->item(1)), ElementsAre(4));
  EXPECT_THAT(slots(both[0]->item(2)), ElementsAre(3));

  auto one = template_.makePages({two_[0]});
  EXPECT_THAT(slots(one[0]->item(0)), ElementsAre(3));
  // Only a later address was named: the item is kept without one; the device decides.
  ASSERT_NE(one[0]->item(1), nullptr);
  EXPECT_TRUE(one[0]->item(1)->addresses.empty());
}

TEST_F(TemplateTest, ItemsBeyondTheLayoutAreLeftOut) {
  TemplatePage& page = *template_.addPage(1, "Main", PageType::k4Up);
  page.addItem(itemWith(3, {0}));
  page.addItem(itemWith(4, {0}));
  page.addItem(itemWith(8, {0}));
  const auto pages = template_.makePages(two_);
  std::vector<int32_t> indexes;
  for (const PageItem& item : pages[0]->items())
    indexes.push_back(item.index);
  EXPECT_THAT(indexes, ElementsAre(3));
}

TEST_F(TemplateTest, ItemsStayInIndexOrderAndAnIndexIsTakenOnce) {
  TemplatePage& page = *template_.addPage(1, "Main", PageType::k8Up);
  EXPECT_TRUE(page.addItem(itemWith(5, {0})));
  EXPECT_TRUE(page.addItem(itemWith(1, {1})));
  EXPECT_TRUE(page.addItem(itemWith(3, {0})));
  EXPECT_FALSE(page.addItem(itemWith(1, {0})));
  EXPECT_FALSE(page.addItem(itemWith(5, {1})));
  std::vector<int32_t> indexes;
  for (const TemplateItem& item : page.items)
    indexes.push_back(item.index);
  EXPECT_THAT(indexes, ElementsAre(1, 3, 5));
  // The first item at an index stays.
  EXPECT_THAT(page.item(1)->addressIndexes, ElementsAre(1));
  EXPECT_EQ(page.item(2), nullptr);
  EXPECT_EQ(page.item(6), nullptr);
}

}  // namespace
}  // namespace qelm
