#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "model/value.h"

namespace qelm {

/// TCP port of a frame, and the legacy port tried beside it when legacy support is on.
inline constexpr uint16_t kFramePort = 5253;
inline constexpr uint16_t kLegacyFramePort = 6666;

/// The four bytes every message starts with.
inline constexpr uint32_t kMessageMagic = 0xBAD2ACE5u;
/// Largest message the system builds or accepts, magic included.
inline constexpr int kMaxMessageSize = 260;
/// Address of the panel; cards are 16 + slot; notifications go to all listeners at 2.
inline constexpr uint8_t kPanelAddress = 0;
inline constexpr uint8_t kBroadcastAddress = 2;
inline constexpr uint8_t kFirstCardAddress = 16;

/// Message commands. A response is its request plus 0x80.
enum class Command : uint8_t {
  kGet = 0x49,
  kSet = 0x4A,
  kGetElement = 0x4C,
  kSetElement = 0x4D,
  kGetResponse = 0xC9,
  kSetResponse = 0xCA,
  kGetElementResponse = 0xCC,
  kSetElementResponse = 0xCD,
  kNotification = 0x10,
};

/// Which side builds a message: the panel (client) or a simulated frame (server).
enum class Side { kClient, kServer };

/// A message being built and sent: a fixed buffer, never more than 260 bytes. Each field is
/// written only when it fits whole; one that does not is left out and building goes on, and
/// the length field always counts what was written.
class Message {
 public:
  /// Starts a message: magic, addresses for `side` and `slot`, command, length, status 0, OID,
  /// and the element index for the element commands.
  Message(Side side, Command command, uint8_t slot, uint16_t oid, uint16_t element = 0);

  /// Appends the value block of one value of `type`. False when any part of it was left out
  /// for lack of space (the message then holds what fitted).
  bool appendValue(const Value& value, ValueType type);
  /// Appends a whole-array block: one count byte (low 8 bits of the total), then the elements.
  bool appendArray(const std::vector<Value>& elements, ValueType type);
  /// Appends a raw byte-string block: one count byte, then the bytes (at most 255). False when
  /// it does not fit whole; nothing is written then.
  bool appendBytes(const uint8_t* bytes, int count);

  /// The bytes written so far.
  const uint8_t* data() const { return buffer_.data(); }
  /// Total number of bytes written (the message's size).
  int size() const { return written_; }
  /// Bytes already handed to the socket (kept by the transport).
  int sent = 0;

 private:
  bool fits(int bytes) const { return written_ + bytes <= kMaxMessageSize; }
  bool put(const uint8_t* bytes, int count);
  bool putByte(uint8_t byte) { return put(&byte, 1); }
  bool putWord(uint16_t word);
  bool putLong(uint32_t value);
  void finish();

  std::array<uint8_t, kMaxMessageSize> buffer_{};
  int written_ = 0;
  int lengthAt_ = 0;
  int countedFrom_ = 0;
};

/// One parsed message; valid only during the delivery call.
struct ReceivedMessage {
  uint8_t source = 0;
  uint8_t destination = 0;
  uint8_t command = 0;
  uint8_t status = 0;
  uint16_t oid = 0;
  uint16_t element = 0;  ///< meaningful only for the element commands
  uint8_t count = 0;     ///< number of value bytes
  std::array<uint8_t, 255> value{};
};

/// Byte-at-a-time message parser. Resynchronises on the magic: four consecutive magic bytes
/// start a new message whatever state the parser was in.
class MessageParser {
 public:
  using Deliver = std::function<void(const ReceivedMessage&)>;

  /// `serverSide`: accept requests (a simulated frame) instead of responses and notifications.
  MessageParser(bool serverSide, Deliver deliver);

  /// Feeds one byte; a message completed by it is delivered before this returns.
  void feed(uint8_t byte);
  /// Feeds many bytes.
  void feed(const uint8_t* bytes, size_t count);

 private:
  enum class State {
    kWaitMagic,
    kSource,
    kDestination,
    kCommand,
    kLengthHigh,
    kLengthLow,
    kStatus,
    kOidHigh,
    kOidLow,
    kElementHigh,
    kElementLow,
    kCount,
    kValue,
  };

  bool accepts(uint8_t command) const;
  void complete();

  Deliver deliver_;
  bool serverSide_;
  uint32_t register_ = 0;
  State state_ = State::kWaitMagic;
  uint16_t length_ = 0;
  int counter_ = 0;
  ReceivedMessage message_;
};

/// Decodes the single value of a response, notification or set request for a parameter of
/// `type`; nothing when the command, status or count does not fit the type.
std::optional<Value> decodeValue(const ReceivedMessage& message, ValueType type);

/// Decodes the next element of a whole-array block at `position` (advanced past it); nothing
/// when the element does not fit in what is left.
std::optional<Value> decodeArrayElement(const ReceivedMessage& message, ValueType type,
                                        int& position);

/// The slot a message is for: source - 16 on the client side, destination - 16 on the server
/// side; nothing when that address is below 16.
std::optional<uint8_t> messageSlot(const ReceivedMessage& message, bool serverSide);

}  // namespace qelm
