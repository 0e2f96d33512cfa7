#include "core/settings_store.h"

#include <gtest/gtest.h>

#include <string>

namespace qelm {
namespace {

class SettingsStoreTest : public ::testing::Test {
 protected:
  SettingsStore store_;
};

TEST_F(SettingsStoreTest, AbsentNameReadsAsEmptyFalseAndMissing) {
  EXPECT_EQ(store_.getText("LM_REPORT_DIRECTORY"), "");
  EXPECT_FALSE(store_.getBool("SHOW_NETWORK_SETTINGS_PAGES"));
  EXPECT_FALSE(store_.contains("VADEDER_APPLICATION_VERSION"));
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
  store_.setBool("SHOW_TIME_SETTINGS_PAGES", false);
  EXPECT_TRUE(store_.contains("SHOW_TIME_SETTINGS_PAGES"));
  EXPECT_EQ(store_.getText("SHOW_TIME_SETTINGS_PAGES"), "0");
  store_.setBool("SHOW_TIME_SETTINGS_PAGES", true);
  EXPECT_EQ(store_.getText("SHOW_TIME_SETTINGS_PAGES"), "1");
  EXPECT_TRUE(store_.getBool("SHOW_TIME_SETTINGS_PAGES"));
}

TEST_F(SettingsStoreTest, SecondSetReplacesFirst) {
  store_.setText("LM_REPORT_DIRECTORY", "/first/");
  store_.setText("LM_REPORT_DIRECTORY", "/second/");
  EXPECT_EQ(store_.getText("LM_REPORT_DIRECTORY"), "/second/");
}

TEST_F(SettingsStoreTest, EmptyValueIsStillPresent) {
  store_.setText("VADEDER_APPLICATION_VERSION", "");
  EXPECT_TRUE(store_.contains("VADEDER_APPLICATION_VERSION"));
  EXPECT_EQ(store_.getText("VADEDER_APPLICATION_VERSION"), "");
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
