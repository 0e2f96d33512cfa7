#include "text/readers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qelm {
namespace {

TEST(ReadersTest, RealGrammarDiffersOnlyInTheLeadingPlus) {
  for (const char* text : {"1", "-1", ".5", "5.", "1e3", "1E-3", "-0.25e+2"}) {
    EXPECT_TRUE(isDecimalRealText(text, SignRule::kMinusOnly)) << text;
    EXPECT_TRUE(isDecimalRealText(text, SignRule::kPlusOrMinus)) << text;
  }
  EXPECT_FALSE(isDecimalRealText("+1", SignRule::kMinusOnly));
  EXPECT_TRUE(isDecimalRealText("+1", SignRule::kPlusOrMinus));
  for (const char* text :
       {"", "-", ".", "e3", "1e", "1e+", "inf", "nan", "0x1p3", " 1", "1 ", "1.2.3", "--1"}) {
    EXPECT_FALSE(isDecimalRealText(text, SignRule::kPlusOrMinus)) << text;
  }
}

TEST(ReadersTest, Ipv4DigitLimitAndTrailingText) {
  EXPECT_EQ(readIpv4Text("10.1.2.3", 3, TrailingText::kRefused), 0x0A010203u);
  EXPECT_EQ(readIpv4Text("255.255.255.255", 3, TrailingText::kRefused), 0xFFFFFFFFu);
  EXPECT_EQ(readIpv4Text("10.1.2.3x", 3, TrailingText::kRefused), std::nullopt);
  EXPECT_EQ(readIpv4Text("10.1.2.3x", 3, TrailingText::kIgnored), 0x0A010203u);
  EXPECT_EQ(readIpv4Text("010.001.002.0003", 3, TrailingText::kRefused), std::nullopt);
  EXPECT_EQ(readIpv4Text("010.001.002.0003", std::string::npos, TrailingText::kRefused),
            0x0A010203u);
  for (const char* text : {"", "1.2.3", "1.2.3.", "1..2.3", "1.2.3.256", "a.b.c.d", ".1.2.3"})
    EXPECT_EQ(readIpv4Text(text, std::string::npos, TrailingText::kIgnored), std::nullopt) << text;
}

TEST(ReadersTest, CutNeverSplitsAUtf8Sequence) {
  const std::string text = "ab\xC3\xA9\xE2\x82\xAC";  // "ab", e acute (2 bytes), euro (3 bytes)
  EXPECT_EQ(cutText(text, 100), text);
  EXPECT_EQ(cutText(text, 3), "ab");
  EXPECT_EQ(cutText(text, 4), "ab\xC3\xA9");
  EXPECT_EQ(cutText(text, 6), "ab\xC3\xA9");
  EXPECT_EQ(cutText(text, 0), "");
  EXPECT_EQ(cutText("\x80\x80\x80", 2), "");  // stray continuation bytes give nothing back
}

TEST(ReadersTest, BigEndianRoundTripAndCaseFolding) {
  std::vector<uint8_t> bytes;
  appendBigEndian16(bytes, 0xBAD2);
  appendBigEndian32(bytes, 0xACE51234u);
  EXPECT_EQ(bytes, (std::vector<uint8_t>{0xBA, 0xD2, 0xAC, 0xE5, 0x12, 0x34}));
  EXPECT_EQ(readBigEndian16(bytes.data()), 0xBAD2);
  EXPECT_EQ(readBigEndian32(bytes.data() + 2), 0xACE51234u);

  EXPECT_TRUE(equalsIgnoringCase("Gain-Left", "gAIN-lEFT"));
  EXPECT_FALSE(equalsIgnoringCase("gain", "gains"));
  EXPECT_FALSE(equalsIgnoringCase("\xC3\x89", "\xC3\xA9"));  // only ASCII letters fold
}

}  // namespace
}  // namespace qelm
