#include "display/font_setup.h"

#include <gtest/gtest.h>

#include <string>

#include "core/log.h"
#include "display/win_rendered_font.h"

namespace qelm {
namespace {

// Texts logged since `from`.
std::vector<std::string> loggedSince(int32_t from) {
  std::vector<std::string> texts;
  for (int32_t n = from; n < messageCount(); ++n)
    texts.push_back(messageText(n));
  return texts;
}

bool typefaceAvailable() {
  return !findTextTypeface().file.empty();
}

class FontSetupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!typefaceAvailable()) GTEST_SKIP() << "no typeface for the text fonts";
  }
};

TEST_F(FontSetupTest, MissingIconFontLeavesCodeFourAbsentAndLogsNothingAboutIt) {
  FontRegistry registry;
  const int32_t from = messageCount();
  EXPECT_TRUE(createFonts(registry, "/nonexistent/fonts"));
  for (int32_t code : font::kTextCodes)
    EXPECT_NE(registry.find(code), nullptr) << code;
  EXPECT_EQ(registry.find(kIconFontCode), nullptr);
  EXPECT_EQ(registry.size(), 9u);
  for (const std::string& text : loggedSince(from))
    EXPECT_EQ(text.find("Problem"), std::string::npos) << text;
}

TEST_F(FontSetupTest, InstalledFontsFolderRegistersTheIconFont) {
  FontRegistry registry;
  EXPECT_TRUE(createFonts(registry, QELM_PROGRAM_DIR "fonts"));
  ASSERT_NE(registry.find(kIconFontCode), nullptr);
  EXPECT_EQ(registry.find(kIconFontCode)->height(), 16);
  EXPECT_EQ(registry.size(), 10u);
}

TEST_F(FontSetupTest, FontExceptionEndsCreationAndIsLogged) {
  FontRegistry registry;
  const int32_t from = messageCount();
  EXPECT_FALSE(createFonts(registry, QELM_PROGRAM_DIR "fonts", Typeface{"/nonexistent/face.ttf"}));
  EXPECT_EQ(registry.size(), 0u);
  const std::vector<std::string> logged = loggedSince(from);
  ASSERT_FALSE(logged.empty());
  EXPECT_EQ(logged.back(),
            "Problem occurred during font cache initialization: Cannot load typeface "
            "\"/nonexistent/face.ttf\" for font code 0.");
}

}  // namespace
}  // namespace qelm
