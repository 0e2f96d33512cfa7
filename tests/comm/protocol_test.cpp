#include "comm/protocol.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "loopback.h"

namespace qelm {
namespace {

using Bytes = std::vector<uint8_t>;

using loopback::bytesOf;

// Everything a parser delivers, as plain byte records for easy comparison.
struct Collector {
  std::vector<ReceivedMessage> messages;
  MessageParser::Deliver deliver() {
    return [this](const ReceivedMessage& message) { messages.push_back(message); };
  }
};

TEST(MessageBuildTest, RequestsAndResponsesAreBuiltByteForByte) {
  EXPECT_EQ(bytesOf(Message(Side::kClient, Command::kGet, 3, 0x0102)),
            (Bytes{0xBA, 0xD2, 0xAC, 0xE5, 0x00, 0x13, 0x49, 0x00, 0x03, 0x00, 0x01, 0x02}));

  Message response(Side::kServer, Command::kGetResponse, 3, 0x0102);
  response.appendValue(Value::ofInt(100), ValueType::kInt);
  EXPECT_EQ(bytesOf(response), (Bytes{0xBA, 0xD2, 0xAC, 0xE5, 0x13, 0x00, 0xC9, 0x00, 0x06, 0x00,
                                      0x01, 0x02, 0x02, 0x00, 0x64}));

  Message setFloat(Side::kClient, Command::kSet, 2, 0x0210);
  setFloat.appendValue(Value::ofFloat(1.5f), ValueType::kFloat);
  EXPECT_EQ(bytesOf(setFloat), (Bytes{0xBA, 0xD2, 0xAC, 0xE5, 0x00, 0x12, 0x4A, 0x00, 0x08, 0x00,
                                      0x02, 0x10, 0x04, 0x3F, 0xC0, 0x00, 0x00}));

  Message setText(Side::kClient, Command::kSet, 0, 0x0001);
  setText.appendValue(Value::ofText("abc"), ValueType::kString);
  EXPECT_EQ(bytesOf(setText), (Bytes{0xBA, 0xD2, 0xAC, 0xE5, 0x00, 0x10, 0x4A, 0x00, 0x08, 0x00,
                                     0x00, 0x01, 0x04, 0x61, 0x62, 0x63, 0x00}));

  Message setElement(Side::kClient, Command::kSetElement, 5, 0x0400, 3);
  setElement.appendValue(Value::ofInt(7), ValueType::kInt);
  EXPECT_EQ(bytesOf(setElement), (Bytes{0xBA, 0xD2, 0xAC, 0xE5, 0x00, 0x15, 0x4D, 0x00, 0x08, 0x00,
                                        0x04, 0x00, 0x00, 0x03, 0x02, 0x00, 0x07}));

  Message notification(Side::kServer, Command::kNotification, 4, 0x0300);
  notification.appendValue(Value::ofInt(-2), ValueType::kInt32);
  EXPECT_EQ(bytesOf(notification), (Bytes{0xBA, 0xD2, 0xAC, 0xE5, 0x14, 0x02, 0x10, 0x00, 0x08,
                                          0x00, 0x03, 0x00, 0x04, 0xFF, 0xFF, 0xFF, 0xFE}));

  EXPECT_EQ(
      bytesOf(Message(Side::kClient, Command::kGetElement, 0, 0x0100, 9)),
      (Bytes{0xBA, 0xD2, 0xAC, 0xE5, 0x00, 0x10, 0x4C, 0x00, 0x05, 0x00, 0x01, 0x00, 0x00, 0x09}));
}

TEST(MessageBuildTest, AddressesOnlyAndNoValueBlockForAddressTypes) {
  Message message(Side::kClient, Command::kSet, 1, 0x0005);
  EXPECT_TRUE(message.appendValue(Value::ofAddress(0x0A000001), ValueType::kIpAddress));
  EXPECT_EQ(message.size(), 12) << "no count byte, no value bytes";
  EXPECT_EQ(message.data()[8], 3);
}

TEST(MessageBuildTest, TextsAtTheSizeLimit) {
  Message fits(Side::kClient, Command::kSet, 0, 1);
  EXPECT_TRUE(fits.appendValue(Value::ofText(std::string(246, 'x')), ValueType::kString));
  EXPECT_EQ(fits.size(), kMaxMessageSize);
  EXPECT_EQ(fits.data()[12], 247);
  EXPECT_EQ(fits.data()[259], 0);

  Message tooLong(Side::kClient, Command::kSet, 0, 1);
  EXPECT_FALSE(tooLong.appendValue(Value::ofText(std::string(247, 'x')), ValueType::kString));
  EXPECT_EQ(tooLong.size(), 13) << "the count byte is written, the text left out";
  EXPECT_EQ(tooLong.data()[8], 4) << "the length counts what was written";

  Message huge(Side::kClient, Command::kSet, 0, 1);
  EXPECT_TRUE(huge.appendValue(Value::ofText(std::string(256, 'x')), ValueType::kString));
  EXPECT_EQ(bytesOf(huge).back(), 0);
  EXPECT_EQ(huge.data()[12], 1) << "texts of 256 bytes or more go out empty";
}

TEST(MessageBuildTest, WholeArrayBlocks) {
  Message numbers(Side::kServer, Command::kGetResponse, 0, 0x0400);
  numbers.appendArray({Value::ofInt(1), Value::ofInt(-1)}, ValueType::kInt);
  EXPECT_THAT(Bytes(numbers.data() + 12, numbers.data() + numbers.size()),
              ::testing::ElementsAre(4, 0x00, 0x01, 0xFF, 0xFF));

  Message texts(Side::kServer, Command::kGetResponse, 0, 0x0401);
  texts.appendArray({Value::ofText("ab"), Value::ofText("")}, ValueType::kString);
  EXPECT_THAT(Bytes(texts.data() + 12, texts.data() + texts.size()),
              ::testing::ElementsAre(6, 3, 'a', 'b', 0, 1, 0));
}

class ParserTest : public ::testing::Test {
 protected:
  Bytes response(uint8_t slot, uint16_t oid, int16_t value) {
    Message message(Side::kServer, Command::kGetResponse, slot, oid);
    message.appendValue(Value::ofInt(value), ValueType::kInt);
    return bytesOf(message);
  }
  Collector collector_;
  MessageParser client_{false, collector_.deliver()};
};

TEST_F(ParserTest, DeliversTheSameMessagesInAnySplitOfTheStream) {
  Bytes stream;
  for (int i = 0; i < 20; ++i) {
    const Bytes one = response(static_cast<uint8_t>(i % 4), static_cast<uint16_t>(0x100 + i),
                               static_cast<int16_t>(i * 1000 - 7000));
    stream.insert(stream.end(), one.begin(), one.end());
  }
  std::mt19937 rng(5);
  for (int round = 0; round < 50; ++round) {
    Collector collector;
    MessageParser parser(false, collector.deliver());
    size_t at = 0;
    while (at < stream.size()) {
      const size_t piece = std::min<size_t>(stream.size() - at, 1 + rng() % 40);
      parser.feed(stream.data() + at, piece);
      at += piece;
    }
    ASSERT_EQ(collector.messages.size(), 20u);
    for (int i = 0; i < 20; ++i) {
      const ReceivedMessage& message = collector.messages[static_cast<size_t>(i)];
      EXPECT_EQ(message.source, 16 + i % 4);
      EXPECT_EQ(message.oid, 0x100 + i);
      EXPECT_EQ(decodeValue(message, ValueType::kInt)->i, i * 1000 - 7000);
    }
  }
}

TEST_F(ParserTest, RecoversAfterGarbageABadCommandAndABadLength) {
  Bytes stream = {0x01, 0xBA, 0xD2, 0x00, 0xFF};  // garbage, a broken magic
  const Bytes badCommand = {0xBA, 0xD2, 0xAC, 0xE5, 0x13, 0x00, 0x49, 0x00, 0x03, 0, 1, 2};
  const Bytes badLength = {0xBA, 0xD2, 0xAC, 0xE5, 0x13, 0x00, 0xC9, 0x01, 0x05, 0, 1, 2};
  const Bytes good = response(2, 0x0777, -2);
  for (const Bytes* part : {&badCommand, &badLength, &good})
    stream.insert(stream.end(), part->begin(), part->end());
  client_.feed(stream.data(), stream.size());
  ASSERT_EQ(collector_.messages.size(), 1u);
  EXPECT_EQ(collector_.messages[0].oid, 0x0777);
}

TEST_F(ParserTest, LengthFieldBoundsAreThreeAndTwoHundredSixty) {
  for (uint16_t length : {2, 3, 260, 261}) {
    Collector collector;
    MessageParser parser(false, collector.deliver());
    const Bytes bytes = {0xBA,
                         0xD2,
                         0xAC,
                         0xE5,
                         0x13,
                         0x00,
                         0xC9,
                         static_cast<uint8_t>(length >> 8),
                         static_cast<uint8_t>(length),
                         0,
                         0,
                         1,
                         0};
    parser.feed(bytes.data(), bytes.size());
    EXPECT_EQ(collector.messages.size(), (length == 3 || length == 260) ? 1u : 0u) << length;
  }
}

TEST_F(ParserTest, MagicInsideAMessageRestartsTheParser) {
  // The first message announces 8 value bytes, but a new message starts after two of them.
  Bytes stream = {0xBA, 0xD2, 0xAC, 0xE5, 0x13, 0x00, 0xC9, 0x00, 0x0C, 0, 1, 2, 8, 0x11, 0x22};
  const Bytes good = response(1, 0x0042, 5);
  stream.insert(stream.end(), good.begin(), good.end());
  client_.feed(stream.data(), stream.size());
  ASSERT_EQ(collector_.messages.size(), 1u);
  EXPECT_EQ(collector_.messages[0].oid, 0x0042);
}

TEST_F(ParserTest, ElementResponsesAndStatusRules) {
  // A get-element response with status 1 ends after the element index.
  const Bytes unsupported = {0xBA, 0xD2, 0xAC, 0xE5, 0x13, 0x00, 0xCC, 0x00, 0x05, 1, 4, 0, 0, 2};
  // A get response with a nonzero status still carries its count and value bytes.
  const Bytes failed = {0xBA, 0xD2, 0xAC, 0xE5, 0x13, 0x00, 0xC9, 0x00, 0x06, 3, 0, 9, 2, 0, 1};
  client_.feed(unsupported.data(), unsupported.size());
  client_.feed(failed.data(), failed.size());
  ASSERT_EQ(collector_.messages.size(), 2u);
  EXPECT_EQ(collector_.messages[0].status, 1);
  EXPECT_EQ(collector_.messages[0].element, 2);
  EXPECT_EQ(collector_.messages[0].count, 0);
  EXPECT_EQ(collector_.messages[1].count, 2);
  EXPECT_FALSE(decodeValue(collector_.messages[1], ValueType::kInt)) << "nonzero status";
}

TEST_F(ParserTest, EachSideAcceptsOnlyItsCommands) {
  Collector served;
  MessageParser server(true, served.deliver());
  const Bytes request = bytesOf(Message(Side::kClient, Command::kGet, 7, 0x0102));
  const Bytes answer = response(7, 0x0102, 1);
  for (const Bytes* bytes : {&request, &answer}) {
    server.feed(bytes->data(), bytes->size());
    client_.feed(bytes->data(), bytes->size());
  }
  ASSERT_EQ(served.messages.size(), 1u);
  EXPECT_EQ(served.messages[0].command, 0x49);
  EXPECT_EQ(messageSlot(served.messages[0], true), 7);
  ASSERT_EQ(collector_.messages.size(), 1u);
  EXPECT_EQ(messageSlot(collector_.messages[0], false), 7);
}

TEST(DecodeTest, SingleValuesByType) {
  ReceivedMessage message;
  message.command = static_cast<uint8_t>(Command::kSetResponse);
  message.count = 2;
  message.value[0] = 0xFF;
  message.value[1] = 0xFE;
  EXPECT_EQ(decodeValue(message, ValueType::kInt)->i, -2);
  EXPECT_EQ(decodeValue(message, ValueType::kChoice)->i, -2);
  EXPECT_FALSE(decodeValue(message, ValueType::kInt32)) << "count must be exactly 4";
  EXPECT_FALSE(decodeValue(message, ValueType::kIpAddress));

  message.count = 4;
  message.value = {0x3F, 0xC0, 0x00, 0x00};
  EXPECT_FALSE(decodeValue(message, ValueType::kInt)) << "a 16-bit parameter with count 4";
  EXPECT_EQ(decodeValue(message, ValueType::kFloat)->f, 1.5f);
  EXPECT_EQ(decodeValue(message, ValueType::kUInt32)->i, 0x3FC00000);

  message.count = 5;
  message.value = {'a', 0, 'c', 'd', 'e'};
  EXPECT_EQ(decodeValue(message, ValueType::kString)->text, "a") << "ends at the first zero";
  message.value = {'a', 'b', 'c', 'd', 'e'};
  EXPECT_EQ(decodeValue(message, ValueType::kString)->text, "abcd")
      << "the last byte is always the terminator";

  message.command = static_cast<uint8_t>(Command::kGet);
  EXPECT_FALSE(decodeValue(message, ValueType::kString)) << "a get carries no value";
}

TEST(DecodeTest, ArrayElementsStopAtTheFirstThatDoesNotFit) {
  ReceivedMessage message;
  message.command = static_cast<uint8_t>(Command::kGetResponse);
  message.count = 9;
  message.value = {3, 'a', 'b', 0, 1, 0, 4, 'x', 'y'};
  int position = 0;
  EXPECT_EQ(decodeArrayElement(message, ValueType::kString, position)->text, "ab");
  EXPECT_EQ(decodeArrayElement(message, ValueType::kString, position)->text, "");
  EXPECT_EQ(position, 6);
  EXPECT_FALSE(decodeArrayElement(message, ValueType::kString, position)) << "cut short";

  message.count = 1;
  message.value = {0};
  position = 0;
  EXPECT_FALSE(decodeArrayElement(message, ValueType::kString, position)) << "size byte 0";

  message.count = 5;
  message.value = {0, 1, 0xFF, 0xFF, 9};
  position = 0;
  EXPECT_EQ(decodeArrayElement(message, ValueType::kInt, position)->i, 1);
  EXPECT_EQ(decodeArrayElement(message, ValueType::kInt, position)->i, -1);
  EXPECT_FALSE(decodeArrayElement(message, ValueType::kInt, position));
  EXPECT_EQ(position, 4);
}

}  // namespace
}  // namespace qelm
