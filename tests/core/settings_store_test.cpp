#include "core/settings_store.h"

#include <gtest/gtest.h>

#include <string>

#include "core/settings_keys.h"

namespace qelm {
namespace {

class SettingsStoreTest : public ::testing::Test {
 protected:
  SettingsStore store_;
};

TEST_F(SettingsStoreTest, AbsentNameReadsAsEmptyFalseAndMissing) {
  EXPECT_EQ(store_.getText(settings_key::kReportDirectory), "");
  EXPECT_FALSE(store_.getBool(settings_key::kShowNetworkSettingsPages));
  EXPECT_FALSE(store_.contains(settings_key::kApplicationVersion));
}

TEST_F(SettingsStoreTest, OnlyTheExactTextOneIsTrue) {
  for (const char* text : {"0", "", "true", "TRUE", "yes", "01", "1 ", " 1", "2"}) {
    store_.setText("FLAG", text);
    EXPECT_FALSE(store_.getBool("FLAG")) << "value \"" << text << "\"";
  }
  store_.setText("FLAG", "1");
  EXPECT_TRUE(store_.getBool("FLAG"));
}

TEST_F(SettingsStoreTest, BooleansAreStoredAsOneAndZero) {
  store_.setBool(settings_key::kShowTimeSettingsPages, false);
  EXPECT_TRUE(store_.contains(settings_key::kShowTimeSettingsPages));
  EXPECT_EQ(store_.getText(settings_key::kShowTimeSettingsPages), "0");
  store_.setBool(settings_key::kShowTimeSettingsPages, true);
  EXPECT_EQ(store_.getText(settings_key::kShowTimeSettingsPages), "1");
  EXPECT_TRUE(store_.getBool(settings_key::kShowTimeSettingsPages));
}

TEST_F(SettingsStoreTest, SecondSetReplacesFirst) {
  store_.setText(settings_key::kReportDirectory, "/first/");
  store_.setText(settings_key::kReportDirectory, "/second/");
  EXPECT_EQ(store_.getText(settings_key::kReportDirectory), "/second/");
}

TEST_F(SettingsStoreTest, EmptyValueIsStillPresent) {
  store_.setText(settings_key::kApplicationVersion, "");
  EXPECT_TRUE(store_.contains(settings_key::kApplicationVersion));
  EXPECT_EQ(store_.getText(settings_key::kApplicationVersion), "");
}

TEST_F(SettingsStoreTest, NamesAreComparedByteForByte) {
  store_.setText("Name", "upper");
  store_.setText("name", "lower");
  store_.setText(std::string("name\0x", 6), "with zero");
  EXPECT_EQ(store_.getText("Name"), "upper");
  EXPECT_EQ(store_.getText("name"), "lower");
  EXPECT_EQ(store_.getText(std::string("name\0x", 6)), "with zero");
  EXPECT_FALSE(store_.contains("NAME"));
}

}  // namespace
}  // namespace qelm
