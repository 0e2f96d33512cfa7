#include "model/item.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

namespace qelm {
namespace {

class ItemListTest : public ::testing::Test {
 protected:
  Item* make(int32_t number, int32_t value, const char* shortName) {
    items_.push_back(std::make_unique<Item>(number, value, shortName, "long"));
    return items_.back().get();
  }

  std::vector<std::unique_ptr<Item>> items_;
  ItemList list_;
};

TEST_F(ItemListTest, LooksUpByPositionNumberValueAndName) {
  list_.append(make(1, 10, "Off"));
  list_.append(make(2, 20, "On"));
  list_.append(make(5, 7, "Auto"));
  ASSERT_EQ(list_.count(), 3);
  EXPECT_EQ(list_.at(2)->shortName(), "Auto");
  EXPECT_EQ(list_.at(3), nullptr);
  EXPECT_EQ(list_.at(-1), nullptr);
  EXPECT_EQ(list_.byNumber(5)->value(), 7);
  EXPECT_EQ(list_.byNumber(3), nullptr);
  EXPECT_EQ(list_.positionOfNumber(2), 1);
  EXPECT_EQ(list_.positionOfNumber(9), -1);
  EXPECT_EQ(list_.positionOfValue(20), 1);
  EXPECT_EQ(list_.positionOfValue(21), -1);
  EXPECT_EQ(list_.positionOfShortName("Auto"), 2);
  EXPECT_EQ(list_.positionOfShortName("auto"), -1);  // exact match only
}

TEST_F(ItemListTest, UnusedValueIsNotIndexedUnlessAskedFor) {
  list_.append(make(1, Item::kNoValue, "Menu"));
  EXPECT_EQ(list_.positionOfValue(Item::kNoValue), -1);
  EXPECT_EQ(list_.positionOfNumber(1), 0);
  list_.appendWithValue(make(2, -1, "Auto"));
  EXPECT_EQ(list_.positionOfValue(-1), 1);
}

TEST_F(ItemListTest, FirstEntryKeepsADuplicatedNameOrValue) {
  list_.append(make(1, 3, "Same"));
  list_.append(make(2, 3, "Same"));
  EXPECT_EQ(list_.positionOfValue(3), 0);
  EXPECT_EQ(list_.positionOfShortName("Same"), 0);
  EXPECT_EQ(list_.count(), 2);
}

TEST(NamedValuesTest, AscendingUniqueKeysWithoutNaN) {
  NamedValues names;
  EXPECT_TRUE(names.add(2.0f, "Two"));
  EXPECT_TRUE(names.add(-1.5f, "Minus"));
  EXPECT_TRUE(names.add(0.0f, "Zero"));
  EXPECT_FALSE(names.add(2.0f, "Again"));
  EXPECT_FALSE(names.add(NAN, "NaN"));
  std::vector<float> keys;
  for (const auto& [key, name] : names.entries())
    keys.push_back(key);
  EXPECT_THAT(keys, ::testing::ElementsAre(-1.5f, 0.0f, 2.0f));
  ASSERT_NE(names.find(2.0f), nullptr);
  EXPECT_EQ(*names.find(2.0f), "Two");
  EXPECT_EQ(names.find(1.0f), nullptr);
}

}  // namespace
}  // namespace qelm
