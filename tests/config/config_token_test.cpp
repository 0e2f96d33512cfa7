#include "config/config_token.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "config/line_reader.h"

namespace qelm {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

constexpr int32_t kWord = static_cast<int32_t>(TokenKind::kWord);
constexpr int32_t kString = static_cast<int32_t>(TokenKind::kString);
constexpr int32_t kShort = static_cast<int32_t>(TokenKind::kShort);
constexpr int32_t kOid = static_cast<int32_t>(TokenKind::kOid);
constexpr int32_t kEnd = static_cast<int32_t>(TokenKind::kEndOfInput);
constexpr int32_t kError = static_cast<int32_t>(TokenKind::kError);

ConfigToken word(const std::string& text) {
  ConfigToken token;
  token.set(kWord, text);
  return token;
}

std::vector<uint8_t> encode(const ConfigToken& token) {
  std::vector<uint8_t> out;
  token.appendBinary(out);
  return out;
}

// Decodes `bytes` held in a buffer of exactly that size, so a read past the end is caught by
// the address sanitizer.
ConfigToken decode(const std::vector<uint8_t>& bytes, std::size_t* used = nullptr) {
  const auto exact = std::make_unique<uint8_t[]>(bytes.size() + (bytes.empty() ? 1 : 0));
  std::copy(bytes.begin(), bytes.end(), exact.get());
  const uint8_t* cursor = exact.get();
  ConfigToken token;
  token.readBinary(cursor, exact.get() + bytes.size());
  if (used != nullptr) *used = static_cast<std::size_t>(cursor - exact.get());
  return token;
}

TEST(ConfigIntegerTest, BasesSignsAndLimits) {
  struct Case {
    const char* text;
    bool ok;
    int32_t value;
  };
  const Case cases[] = {
      {"0", true, 0},
      {"42", true, 42},
      {"-42", true, -42},
      {"+7", true, 7},
      {"010", true, 10},  // no "0x" anywhere: decimal, leading zero or not
      {"0x10", true, 16},
      {"0x1F", true, 31},
      {"-0x10", true, -16},
      {"0X10", false, 0},
      {"1F", false, 0},
      {"0x", false, 0},
      {"10x5", false, 0},
      {"00x5", false, 0},
      {"", false, 0},
      {"-", false, 0},
      {" 5", false, 0},
      {"5 ", false, 0},
      {"2147483647", true, 2147483647},
      {"-2147483648", true, -2147483647 - 1},
      {"2147483648", false, 0},
      {"0x7FFFFFFF", true, 2147483647},
      {"0xFFFFFFFF", false, 0},
      {"99999999999999999999999", false, 0},
  };
  for (const Case& c : cases) {
    int32_t value = 0;
    EXPECT_EQ(readConfigInteger(c.text, value), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(value, c.value) << c.text;
    }
  }
}

TEST(ConfigTokenTest, KeywordsIgnoreCaseAndAreNotReserved) {
  EXPECT_EQ(keywordText(5), "parameter");
  EXPECT_EQ(keywordText(45), "display");
  EXPECT_EQ(keywordText(26), "");
  EXPECT_EQ(keywordText(0), "");
  EXPECT_EQ(keywordText(128), "");

  ConfigToken token = word("PaRaMeTeR");
  EXPECT_FALSE(token.isKeyword(Keyword::kPage));
  EXPECT_EQ(token.kind(), kWord);  // a failed classification changes nothing
  EXPECT_TRUE(token.isKeyword(Keyword::kParameter));
  EXPECT_EQ(token.kind(), 5);
  EXPECT_EQ(token.text(), "PaRaMeTeR");
  EXPECT_TRUE(token.isKeyword(Keyword::kParameter));
  EXPECT_FALSE(token.asString());  // a keyword is no longer a Word

  ConfigToken name = word("parameter");
  EXPECT_TRUE(name.asString());
  EXPECT_FALSE(name.isKeyword(Keyword::kParameter));
  EXPECT_TRUE(word("8-up").isKeyword(Keyword::k8Up) && word("LM").isKeyword(Keyword::kLm));
}

TEST(ConfigTokenTest, Shorts) {
  ConfigToken hex = word("0x1F");
  ASSERT_TRUE(hex.asShort(true));
  EXPECT_EQ(hex.kind(), kShort);
  EXPECT_EQ(hex.signedShort(), 31);

  EXPECT_FALSE(word("1F").asShort(true));
  EXPECT_FALSE(word("-32768").asShort(true));
  EXPECT_FALSE(word("-1").asShort(false));
  EXPECT_FALSE(word("65536").asShort(false));
  ConfigToken top = word("65535");
  EXPECT_FALSE(top.asShort(true));
  ASSERT_TRUE(top.asShort(false));
  EXPECT_EQ(top.unsignedShort(), 65535);
  ConfigToken low = word("-32767");
  ASSERT_TRUE(low.asShort(true));
  EXPECT_EQ(low.signedShort(), -32767);
  EXPECT_TRUE(low.asShort(false));  // already a Short: the signedness is the reader's choice
  EXPECT_FALSE(low.asFloat());
  ConfigToken text = word("5");
  ASSERT_TRUE(text.asString());
  EXPECT_FALSE(text.asShort(true));
}

TEST(ConfigTokenTest, Floats) {
  const std::pair<const char*, float> good[] = {{"0.5", 0.5f},    {"-2", -2.0f}, {"+1.25", 1.25f},
                                                {".5", 0.5f},     {"5.", 5.0f},  {"1e3", 1000},
                                                {"2.5E-1", 0.25f}};
  for (const auto& [text, value] : good) {
    ConfigToken token = word(text);
    ASSERT_TRUE(token.asFloat()) << text;
    EXPECT_EQ(token.floatValue(), value) << text;
  }
  for (const char* text :
       {"", ".", "-", "1e", "1e+", "inf", "nan", "0x1p3", "1.2.3", "1,5", "1e99", "-1e99", " 1"}) {
    ConfigToken token = word(text);
    EXPECT_FALSE(token.asFloat()) << text;
    EXPECT_EQ(token.kind(), kWord);
  }
}

TEST(ConfigTokenTest, Addresses) {
  ConfigToken token = word("10.1.2.3");
  ASSERT_TRUE(token.asIpAddress());
  EXPECT_EQ(token.address(), 0x0A010203u);
  ConfigToken trailing = word("10.1.2.3x");
  ASSERT_TRUE(trailing.asIpAddress());
  EXPECT_EQ(trailing.address(), 0x0A010203u);
  for (const char* text : {"10.1.2.300", "10.1.2", "10.1.2.", "10..2.3", "a.b.c.d", "",
                           "1.2.3.4444", "99999999999.1.1.1"}) {
    ConfigToken bad = word(text);
    EXPECT_FALSE(bad.asIpAddress()) << text;
    EXPECT_EQ(bad.address(), 0xFFFFFFFFu) << text;
  }
}

TEST(ConfigTokenTest, Oids) {
  ConfigToken pair = word("0x0100:2");
  ASSERT_TRUE(pair.asOid());
  EXPECT_EQ(pair.oid(), 256);
  EXPECT_TRUE(pair.oidHasElement());
  EXPECT_EQ(pair.oidElement(), 2);
  EXPECT_EQ(pair.oidText(), "(256, 0x0100):(2, 0x0002)");

  ConfigToken single = word("65535");
  ASSERT_TRUE(single.asOid());
  EXPECT_FALSE(single.oidHasElement());
  EXPECT_EQ(single.oidText(), "(65535, 0xFFFF)");

  for (const char* text : {":2", "5:", "1:2:3", "65536", "-1", "1:65536", "x", ""})
    EXPECT_FALSE(word(text).asOid()) << text;

  // A number already read as a Short becomes a one-part OID of the same 16-bit pattern.
  ConfigToken number = word("-2");
  ASSERT_TRUE(number.asShort(true));
  ASSERT_TRUE(number.asOid());
  EXPECT_EQ(number.kind(), kOid);
  EXPECT_EQ(number.oid(), 0xFFFE);
}

TEST(ConfigTokenTest, BinaryEncodings) {
  ConfigToken oid = word("0x0200:3");
  ASSERT_TRUE(oid.asOid());
  EXPECT_THAT(encode(oid), ElementsAre(0xF9, 0x01, 0x02, 0x00, 0x00, 0x03));
  ConfigToken address = word("10.0.0.2");
  ASSERT_TRUE(address.asIpAddress());
  EXPECT_THAT(encode(address), ElementsAre(0xFA, 0x0A, 0x00, 0x00, 0x02));
  ConfigToken half = word("0.5");
  ASSERT_TRUE(half.asFloat());
  EXPECT_THAT(encode(half), ElementsAre(0xFB, 0x3F, 0x00, 0x00, 0x00));
  EXPECT_TRUE(encode(word("unclassified")).empty());
  ConfigToken end;
  end.set(kEnd, "");
  EXPECT_TRUE(encode(end).empty());

  // A parameter line as a parser classifies it, token by token.
  const std::pair<const char*, int> line[] = {{"model", 'k'},  {"M", 's'},    {"parameter", 'k'},
                                              {"0x0101", 'o'}, {"Gain", 's'}, {"int", 'k'},
                                              {"-5", 'n'},     {"5", 'n'}};
  std::vector<uint8_t> stream;
  for (const auto& [text, as] : line) {
    ConfigToken token = word(text);
    switch (as) {
      case 'k':
        ASSERT_TRUE(token.isKeyword(Keyword::kModel) || token.isKeyword(Keyword::kParameter) ||
                    token.isKeyword(Keyword::kInt));
        break;
      case 's':
        ASSERT_TRUE(token.asString());
        break;
      case 'o':
        ASSERT_TRUE(token.asOid());
        break;
      default:
        ASSERT_TRUE(token.asShort(true));
        break;
    }
    token.appendBinary(stream);
  }
  EXPECT_THAT(stream, ElementsAreArray<uint8_t>({0x02, 0xFD, 0x4D, 0x00, 0x05, 0xF9, 0x00, 0x01,
                                                 0x01, 0x00, 0x00, 0xFD, 0x47, 0x61, 0x69, 0x6E,
                                                 0x00, 0x06, 0xFC, 0xFF, 0xFB, 0xFC, 0x00, 0x05}));
}

TEST(ConfigTokenTest, BinaryRoundTrip) {
  std::vector<ConfigToken> tokens;
  tokens.push_back(word("card"));
  ASSERT_TRUE(tokens.back().isKeyword(Keyword::kCard));
  tokens.push_back(word("1:65535"));
  ASSERT_TRUE(tokens.back().asOid());
  tokens.push_back(word("192.168.0.255"));
  ASSERT_TRUE(tokens.back().asIpAddress());
  tokens.push_back(word("-1.75e2"));
  ASSERT_TRUE(tokens.back().asFloat());
  tokens.push_back(word("-32767"));
  ASSERT_TRUE(tokens.back().asShort(true));
  tokens.push_back(word("caf\xC3\xA9 \"x\""));
  ASSERT_TRUE(tokens.back().asString());
  tokens.push_back(word(""));
  ASSERT_TRUE(tokens.back().asString());

  std::vector<uint8_t> stream;
  for (const ConfigToken& token : tokens)
    token.appendBinary(stream);
  const uint8_t* cursor = stream.data();
  const uint8_t* end = stream.data() + stream.size();
  for (const ConfigToken& expected : tokens) {
    ConfigToken got;
    got.readBinary(cursor, end);
    ASSERT_EQ(got.kind(), expected.kind());
    EXPECT_EQ(encode(got), encode(expected));
    if (got.kind() == kString) {
      EXPECT_EQ(got.text(), expected.text());
    }
  }
  EXPECT_EQ(tokens[1].oidText(), decode(encode(tokens[1])).oidText());
  EXPECT_EQ(decode(encode(tokens[0])).text(), "card");  // keywords keep their text for messages
  ConfigToken last;
  last.readBinary(cursor, end);
  EXPECT_EQ(last.kind(), kEnd);
  last.readBinary(cursor, end);
  EXPECT_EQ(last.kind(), kEnd);
}

TEST(ConfigTokenTest, TruncatedAndInvalidBinaryTokensAreErrors) {
  EXPECT_EQ(decode({}).kind(), kEnd);
  for (const std::vector<uint8_t>& bytes : std::vector<std::vector<uint8_t>>{{0x00},
                                                                             {0x80},
                                                                             {0xF8},
                                                                             {0xFE},
                                                                             {0xFF},
                                                                             {0xFC, 0x01},
                                                                             {0xFB, 1, 2, 3},
                                                                             {0xFA, 1, 2, 3},
                                                                             {0xF9, 1, 0, 1, 0},
                                                                             {0xFD, 'a', 'b'},
                                                                             {0xFD}}) {
    std::size_t used = 0;
    const ConfigToken token = decode(bytes, &used);
    EXPECT_EQ(token.kind(), kError) << static_cast<int>(bytes[0]) << " size " << bytes.size();
    EXPECT_LE(used, bytes.size());
    EXPECT_EQ(token.address(), 0xFFFFFFFFu);
  }
  std::size_t used = 0;
  EXPECT_EQ(decode({0x7F, 0x01}, &used).kind(), 127);
  EXPECT_EQ(used, 1u);
}

TEST(ConfigTokenTest, ReadFromTextReportsEndAndErrorsAsKinds) {
  std::string pattern = (std::filesystem::temp_directory_path() / "qelm-tok-XXXXXX").string();
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  const std::filesystem::path folder = pattern;
  const std::string path = (folder / "c.txt").string();
  std::ofstream(path) << "10.0.0.1 \"quoted text\"\n\"odd\n";

  LineReader reader;
  ASSERT_TRUE(reader.open(path));
  ConfigToken token;
  token.readFrom(reader);
  EXPECT_EQ(token.kind(), kWord);
  EXPECT_EQ(token.text(), "10.0.0.1");
  ASSERT_TRUE(token.asIpAddress());
  token.readFrom(reader);
  EXPECT_EQ(token.kind(), kWord);
  EXPECT_EQ(token.text(), "quoted text");
  EXPECT_EQ(token.address(), 0xFFFFFFFFu);  // every read starts from a cleared token
  token.readFrom(reader);
  EXPECT_EQ(token.kind(), kError);

  std::ofstream(path) << "last";
  ASSERT_TRUE(reader.open(path));
  token.readFrom(reader);
  token.readFrom(reader);
  EXPECT_EQ(token.kind(), kEnd);
  EXPECT_EQ(token.text(), "");
  token.readFrom(reader);
  EXPECT_EQ(token.kind(), kEnd);
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace qelm
