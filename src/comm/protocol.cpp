#include "comm/protocol.h"

#include <cstring>
#include <string>

#include "text/readers.h"

namespace qelm {

namespace {

// Texts this long or longer go out as the empty text.
constexpr size_t kLongestSentText = 255;

bool hasElementIndex(uint8_t command) {
  return command == static_cast<uint8_t>(Command::kGetElement) ||
         command == static_cast<uint8_t>(Command::kSetElement) ||
         command == static_cast<uint8_t>(Command::kGetElementResponse) ||
         command == static_cast<uint8_t>(Command::kSetElementResponse);
}

uint32_t floatBits(float value) {
  uint32_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

float bitsToFloat(uint32_t bits) {
  float value = 0;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

uint32_t readLong(const uint8_t* bytes) {
  return readBigEndian32(bytes);
}

int16_t readShort(const uint8_t* bytes) {
  return static_cast<int16_t>(readBigEndian16(bytes));
}

// Bytes a numeric value of `type` takes on the wire; 0 for strings and types without encoding.
int numericSize(ValueType type) {
  switch (type) {
    case ValueType::kInt:
    case ValueType::kChoice:
      return 2;
    case ValueType::kInt32:
    case ValueType::kFloat:
    case ValueType::kUInt32:
      return 4;
    default:
      return 0;
  }
}

uint32_t numericBits(const Value& value, ValueType type) {
  return type == ValueType::kFloat ? floatBits(value.f) : static_cast<uint32_t>(value.i);
}

const std::string& sentText(const Value& value) {
  static const std::string kEmpty;
  return value.text.size() > kLongestSentText - 1 ? kEmpty : value.text;
}

// A 16-bit field arrives high byte first: the high byte alone, then the field with its low byte.
uint16_t highByteOf(uint8_t byte) {
  return static_cast<uint16_t>(byte << 8);
}

uint16_t withLowByte(uint16_t field, uint8_t byte) {
  return static_cast<uint16_t>(field | byte);
}

// The length field counts from the status on: at least the status and the OID, and never more
// than the largest message.
bool lengthAllowed(uint16_t length) {
  return length >= 3 && length <= kMaxMessageSize;
}

// A get request ends with its OID.
bool endsAfterOid(const ReceivedMessage& message) {
  return message.command == static_cast<uint8_t>(Command::kGet);
}

// An element get request, and any element message with a non-zero status, end with the
// element index.
bool endsAfterElement(const ReceivedMessage& message) {
  return message.command == static_cast<uint8_t>(Command::kGetElement) || message.status != 0;
}

// Text made of `size` bytes ending at the first zero byte.
std::string textOf(const uint8_t* bytes, size_t size) {
  const void* zero = std::memchr(bytes, 0, size);
  const size_t length =
      zero != nullptr ? static_cast<size_t>(static_cast<const uint8_t*>(zero) - bytes) : size;
  return std::string(reinterpret_cast<const char*>(bytes), length);
}

}  // namespace

// ---- Building ---------------------------------------------------------------------------------

Message::Message(Side side, Command command, uint8_t slot, uint16_t oid, uint16_t element) {
  putLong(kMessageMagic);
  const auto cardAddress = static_cast<uint8_t>(kFirstCardAddress + slot);
  if (side == Side::kClient) {
    putByte(kPanelAddress);
    putByte(cardAddress);
  } else {
    putByte(cardAddress);
    putByte(command == Command::kNotification ? kBroadcastAddress : kPanelAddress);
  }
  putByte(static_cast<uint8_t>(command));
  lengthAt_ = written_;
  putWord(0);
  countedFrom_ = written_;
  putByte(0);
  putWord(oid);
  if (hasElementIndex(static_cast<uint8_t>(command))) putWord(element);
  finish();
}

bool Message::put(const uint8_t* bytes, int count) {
  if (!fits(count)) return false;
  std::memcpy(buffer_.data() + written_, bytes, static_cast<size_t>(count));
  written_ += count;
  return true;
}

bool Message::putWord(uint16_t word) {
  const uint8_t bytes[2] = {static_cast<uint8_t>(word >> 8), static_cast<uint8_t>(word)};
  return put(bytes, 2);
}

bool Message::putLong(uint32_t value) {
  const uint8_t bytes[4] = {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
                            static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
  return put(bytes, 4);
}

void Message::finish() {
  const int length = written_ - countedFrom_;
  buffer_[static_cast<size_t>(lengthAt_)] = static_cast<uint8_t>(length >> 8);
  buffer_[static_cast<size_t>(lengthAt_) + 1] = static_cast<uint8_t>(length);
}

bool Message::appendValue(const Value& value, ValueType type) {
  bool whole = true;
  if (const int size = numericSize(type); size != 0) {
    whole = putByte(static_cast<uint8_t>(size)) && whole;
    const uint32_t bits = numericBits(value, type);
    whole = (size == 2 ? putWord(static_cast<uint16_t>(bits)) : putLong(bits)) && whole;
  } else if (type == ValueType::kString) {
    const std::string& text = sentText(value);
    whole = putByte(static_cast<uint8_t>(text.size() + 1)) && whole;
    // The text and its terminator go in as one field.
    std::array<uint8_t, kLongestSentText> bytes{};
    std::memcpy(bytes.data(), text.data(), text.size());
    whole = put(bytes.data(), static_cast<int>(text.size()) + 1) && whole;
  }
  finish();
  return whole;
}

bool Message::appendArray(const std::vector<Value>& elements, ValueType type) {
  uint32_t total = 0;
  for (const Value& element : elements) {
    if (const int size = numericSize(type); size != 0)
      total += static_cast<uint32_t>(size);
    else if (type == ValueType::kString)
      total += static_cast<uint32_t>(sentText(element).size()) + 2;
  }
  bool whole = putByte(static_cast<uint8_t>(total));
  for (const Value& element : elements) {
    if (const int size = numericSize(type); size != 0) {
      const uint32_t bits = numericBits(element, type);
      whole = (size == 2 ? putWord(static_cast<uint16_t>(bits)) : putLong(bits)) && whole;
    } else if (type == ValueType::kString) {
      const std::string& text = sentText(element);
      std::array<uint8_t, kLongestSentText + 1> bytes{};
      bytes[0] = static_cast<uint8_t>(text.size() + 1);
      std::memcpy(bytes.data() + 1, text.data(), text.size());
      whole = put(bytes.data(), static_cast<int>(text.size()) + 2) && whole;
    }
  }
  finish();
  return whole;
}

bool Message::appendBytes(const uint8_t* bytes, int count) {
  if (count < 0 || count > 255 || !fits(count + 1)) return false;
  putByte(static_cast<uint8_t>(count));
  if (count > 0) put(bytes, count);
  finish();
  return true;
}

// ---- Parsing ----------------------------------------------------------------------------------

MessageParser::MessageParser(bool serverSide, Deliver deliver)
    : deliver_(std::move(deliver)), serverSide_(serverSide) {}

bool MessageParser::accepts(uint8_t command) const {
  switch (static_cast<Command>(command)) {
    case Command::kGet:
    case Command::kSet:
    case Command::kGetElement:
    case Command::kSetElement:
      return serverSide_;
    case Command::kNotification:
    case Command::kGetResponse:
    case Command::kSetResponse:
    case Command::kGetElementResponse:
    case Command::kSetElementResponse:
      return !serverSide_;
  }
  return false;
}

void MessageParser::feed(const uint8_t* bytes, size_t count) {
  for (size_t i = 0; i < count; ++i)
    feed(bytes[i]);
}

void MessageParser::feed(uint8_t byte) {
  register_ = (register_ << 8) | byte;
  if (register_ == kMessageMagic) {
    state_ = State::kSource;
    message_ = ReceivedMessage();
    return;
  }
  switch (state_) {
    case State::kWaitMagic:
      break;
    case State::kSource:
      message_.source = byte;
      state_ = State::kDestination;
      break;
    case State::kDestination:
      message_.destination = byte;
      state_ = State::kCommand;
      break;
    case State::kCommand:
      if (accepts(byte)) {
        message_.command = byte;
        state_ = State::kLengthHigh;
      } else {
        state_ = State::kWaitMagic;
      }
      break;
    case State::kLengthHigh:
      length_ = highByteOf(byte);
      state_ = State::kLengthLow;
      break;
    case State::kLengthLow:
      length_ = withLowByte(length_, byte);
      if (lengthAllowed(length_)) {
        counter_ = 0;
        state_ = State::kStatus;
      } else {
        state_ = State::kWaitMagic;
      }
      break;
    case State::kStatus:
      message_.status = byte;
      state_ = State::kOidHigh;
      break;
    case State::kOidHigh:
      message_.oid = highByteOf(byte);
      state_ = State::kOidLow;
      break;
    case State::kOidLow:
      message_.oid = withLowByte(message_.oid, byte);
      if (endsAfterOid(message_))
        complete();
      else
        state_ = hasElementIndex(message_.command) ? State::kElementHigh : State::kCount;
      break;
    case State::kElementHigh:
      message_.element = highByteOf(byte);
      state_ = State::kElementLow;
      break;
    case State::kElementLow:
      message_.element = withLowByte(message_.element, byte);
      if (endsAfterElement(message_))
        complete();
      else
        state_ = State::kCount;
      break;
    case State::kCount:
      message_.count = byte;
      counter_ = 0;
      if (byte == 0)
        complete();
      else
        state_ = State::kValue;
      break;
    case State::kValue:
      // In bounds: `count` is one byte, and the value holds 255.
      message_.value[static_cast<size_t>(counter_++)] = byte;
      if (counter_ >= message_.count) complete();
      break;
  }
}

void MessageParser::complete() {
  state_ = State::kWaitMagic;
  if (deliver_) deliver_(message_);
}

// ---- Decoding ---------------------------------------------------------------------------------

std::optional<Value> decodeValue(const ReceivedMessage& message, ValueType type) {
  switch (static_cast<Command>(message.command)) {
    case Command::kNotification:
    case Command::kSet:
    case Command::kSetElement:
    case Command::kGetResponse:
    case Command::kSetResponse:
    case Command::kGetElementResponse:
    case Command::kSetElementResponse:
      break;
    default:
      return std::nullopt;
  }
  if (message.status != 0) return std::nullopt;
  switch (type) {
    case ValueType::kInt:
    case ValueType::kChoice:
      if (message.count != 2) return std::nullopt;
      return Value::ofInt(readShort(message.value.data()));
    case ValueType::kInt32:
    case ValueType::kUInt32:
      if (message.count != 4) return std::nullopt;
      return Value::ofInt(static_cast<int32_t>(readLong(message.value.data())));
    case ValueType::kFloat:
      if (message.count != 4) return std::nullopt;
      return Value::ofFloat(bitsToFloat(readLong(message.value.data())));
    case ValueType::kString:
      if (message.count < 1) return std::nullopt;
      return Value::ofText(textOf(message.value.data(), message.count - 1u));
    default:
      return std::nullopt;
  }
}

std::optional<Value> decodeArrayElement(const ReceivedMessage& message, ValueType type,
                                        int& position) {
  const int count = message.count;
  if (position < 0 || position >= count) return std::nullopt;
  const uint8_t* at = message.value.data() + position;
  switch (type) {
    case ValueType::kInt:
    case ValueType::kChoice:
      if (count - position < 2) return std::nullopt;
      position += 2;
      return Value::ofInt(readShort(at));
    case ValueType::kInt32:
    case ValueType::kUInt32:
    case ValueType::kFloat: {
      if (count - position < 4) return std::nullopt;
      position += 4;
      const uint32_t bits = readLong(at);
      return type == ValueType::kFloat ? Value::ofFloat(bitsToFloat(bits))
                                       : Value::ofInt(static_cast<int32_t>(bits));
    }
    case ValueType::kString: {
      // A size byte of 0 would claim a text of -1 bytes; no sender writes one.
      const int size = at[0];
      if (size == 0) return std::nullopt;
      const int length = size - 1;
      if (position + length + 1 >= count) return std::nullopt;
      position += length + 2;
      return Value::ofText(textOf(at + 1, static_cast<size_t>(length)));
    }
    default:
      return std::nullopt;
  }
}

std::optional<uint8_t> messageSlot(const ReceivedMessage& message, bool serverSide) {
  const uint8_t address = serverSide ? message.destination : message.source;
  if (address < kFirstCardAddress) return std::nullopt;
  return static_cast<uint8_t>(address - kFirstCardAddress);
}

}  // namespace qelm
