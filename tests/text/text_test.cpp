#include "text/text.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace qelm {
namespace {

TEST(NumberTextTest, SignedAndUnsignedDecimal) {
  EXPECT_EQ(integerText(-5), "-5");
  EXPECT_EQ(integerText(INT32_MIN), "-2147483648");
  EXPECT_EQ(unsignedText(static_cast<uint32_t>(-1)), "4294967295");
  EXPECT_EQ(unsignedText(0), "0");
}

TEST(FormattedTextTest, GrowsBeyondAnySmallBuffer) {
  const std::string long_part(1000, 'x');
  const std::string result = formattedText("[%s|%d]", long_part.c_str(), 42);
  EXPECT_EQ(result, "[" + long_part + "|42]");
  EXPECT_EQ(formattedText("%s", ""), "");
}

TEST(StripTagsTest, RemovesTagRuns) {
  EXPECT_EQ(stripTags("a<b>c</b>d"), "acd");
  EXPECT_EQ(stripTags("x<y"), "x<y");
  EXPECT_EQ(stripTags("<<a>>"), ">");
  EXPECT_EQ(stripTags("a>b<c"), "a>b<c");
  EXPECT_EQ(stripTags("<p>one</p><i>two"), "onetwo");
  EXPECT_EQ(stripTags(""), "");
}

TEST(StripTagsTest, LongTextWithManyTagsStaysLinear) {
  std::string text;
  for (int k = 0; k < 200000; ++k)
    text += "<i>a";
  EXPECT_EQ(stripTags(text), std::string(200000, 'a'));
}

TEST(FileNameTextTest, DropsForbiddenAndControlBytesKeepsUtf8) {
  EXPECT_EQ(fileNameText("Show: 1/2?"), "Show: 12");
  EXPECT_EQ(fileNameText("a<b>c\"d\\e|f*g"), "abcdefg");
  EXPECT_EQ(fileNameText(std::string("tab\there\nnul\0end", 16)), "tabherenulend");
  EXPECT_EQ(fileNameText("Caf\xC3\xA9 \xE2\x82\xAC"), "Caf\xC3\xA9 \xE2\x82\xAC");
  EXPECT_EQ(fileNameText("\x7F"), "\x7F");
}

TEST(LowerCaseCopyTest, FoldsAsciiLettersOnly) {
  EXPECT_EQ(lowerCaseCopy("Gain [DB] z@"), "gain [db] z@");
  EXPECT_EQ(lowerCaseCopy("\xC3\x84"), "\xC3\x84");  // UTF-8 stays byte for byte
}

TEST(CountCharTest, CountsEveryOccurrence) {
  EXPECT_EQ(countChar("1.2.3", '.'), 2u);
  EXPECT_EQ(countChar("", '.'), 0u);
  EXPECT_EQ(countChar("---", '-'), 3u);
}

class Utf8Test : public ::testing::Test {
 protected:
  static constexpr char16_t kBad = 0xFFFD;
};

TEST_F(Utf8Test, WellFormedTextRoundTrips) {
  const std::string text = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x8E\x9B";  // A é € 🎛
  const std::u16string wide = utf8ToWide(text);
  EXPECT_EQ(wide, (std::u16string{u'A', 0x00E9, 0x20AC, 0xD83C, 0xDF9B}));
  EXPECT_EQ(wideToUtf8(wide), text);
  EXPECT_EQ(utf8ToWide(""), u"");
  EXPECT_EQ(wideToUtf8(u""), "");
}

TEST_F(Utf8Test, IllFormedBytesBecomeReplacementCharacters) {
  EXPECT_EQ(utf8ToWide("\x80"), (std::u16string{kBad}));
  EXPECT_EQ(utf8ToWide("\xC0\x80"), (std::u16string{kBad, kBad}));            // overlong
  EXPECT_EQ(utf8ToWide("\xED\xA0\x80"), (std::u16string{kBad, kBad, kBad}));  // surrogate
  EXPECT_EQ(utf8ToWide("\xF4\x90\x80\x80"), (std::u16string{kBad, kBad, kBad, kBad}));
  EXPECT_EQ(utf8ToWide("\xF5"), (std::u16string{kBad}));
  // A sequence that breaks off is replaced once and the next character survives.
  EXPECT_EQ(utf8ToWide("\xE2\x82"
                       "A"),
            (std::u16string{kBad, u'A'}));
  EXPECT_EQ(utf8ToWide("A\xF0\x9F\x8E"), (std::u16string{u'A', kBad}));
}

TEST_F(Utf8Test, UnpairedSurrogatesBecomeReplacementCharacters) {
  const std::string bad = "\xEF\xBF\xBD";
  EXPECT_EQ(wideToUtf8(std::u16string{0xD83C}), bad);
  EXPECT_EQ(wideToUtf8(std::u16string{0xDF9B, u'x'}), bad + "x");
  EXPECT_EQ(wideToUtf8(std::u16string{0xDF9B, 0xD83C}), bad + bad);
}

TEST(AddressTextTest, DottedDecimalFirstOctetMostSignificant) {
  EXPECT_EQ(ipv4Text(0x0A000002u), "10.0.0.2");
  EXPECT_EQ(ipv4Text(0xFFFFFFFFu), "255.255.255.255");
  EXPECT_EQ(hostText(0xC0A80101u, 5253), "192.168.1.1:5253");
  EXPECT_EQ(hostText(0, 65535), "0.0.0.0:65535");
}

}  // namespace
}  // namespace qelm
