#pragma once

// A card model with every kind of parameter, a host that records what it sends instead of
// using sockets, and a monitor that records what it is given: the pieces the host, card,
// client and server tests share.

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "comm/card.h"
#include "comm/hard_target.h"
#include "comm/host.h"
#include "comm/monitor.h"
#include "comm/protocol.h"
#include "core/log.h"
#include "model/model.h"
#include "model/parameter.h"
#include "platform/clock.h"
#include "platform/socket.h"

namespace qelm::testing {

/// The slot of the card the host, card and client tests put under test.
inline constexpr uint8_t kSlot = 3;

inline constexpr uint16_t kGainOid = 0x0100;    // Int -100..100, default 42
inline constexpr uint16_t kLevelOid = 0x0101;   // Float -10..10 step 0.5
inline constexpr uint16_t kLabelOid = 0x0102;   // String of 16
inline constexpr uint16_t kModeOid = 0x0103;    // Choice Off 0 / On 1
inline constexpr uint16_t kSerialOid = 0x0104;  // UInt32
inline constexpr uint16_t kBusOid = 0x0200;     // array of four Int elements

/// A card model "TestCard" with Int, Float, String, Choice, UInt32, a four-element Int array and
/// a local Int "Note".
struct TestModel {
  TestModel() : model(std::make_unique<Model>("TestCard")) {
    gain = model->add(Parameter::makeOpenGear(kGainOid, "Gain"));
    gain->setIntegerRange(-100, 100, 1);
    gain->setDefault(Value::ofInt(42));
    level = model->add(Parameter::makeOpenGear(kLevelOid, "Level"));
    level->setFloatRange(-10.0, 10.0, 0.5);
    label = model->add(Parameter::makeOpenGear(kLabelOid, "Label"));
    label->setString(16);
    mode = model->add(Parameter::makeOpenGear(kModeOid, "Mode"));
    mode->addChoice(0, 0, "Off", "Off");
    mode->addChoice(1, 1, "On", "On");
    serial = model->add(Parameter::makeOpenGear(kSerialOid, "Serial"));
    serial->setUInt32Range(0, 4000000000u, 1);
    for (uint16_t i = 0; i < 4; ++i) {
      bus[i] = model->add(Parameter::makeArrayElement(kBusOid, i, "Bus " + std::to_string(i)));
      bus[i]->setIntegerRange(0, 1000, 1);
    }
    note = model->add(Parameter::makeLocal("Note"));
    note->setIntegerRange(0, 9, 1);
  }

  std::unique_ptr<Model> model;
  Parameter* gain = nullptr;
  Parameter* level = nullptr;
  Parameter* label = nullptr;
  Parameter* mode = nullptr;
  Parameter* serial = nullptr;
  Parameter* bus[4] = {};
  Parameter* note = nullptr;
};

/// A host that keeps what it is asked to send and reports a status the test chooses.
class RecordingHost : public Host {
 public:
  using Host::cardsDue;
  using Host::Host;
  using Host::pollCards;
  LinkStatus status() const override { return status_; }
  void send(std::unique_ptr<Message> message) override {
    sent.emplace_back(message->data(), message->data() + message->size());
  }
  void setCardActive(Card& card, bool on) override {
    Host::setCardActive(card, on);
    activations.push_back(on);
  }

  LinkStatus status_ = LinkStatus::kLive;
  std::vector<std::vector<uint8_t>> sent;
  std::vector<bool> activations;
};

/// A monitor that records the commands it is given, tagged with `tag`, into a shared list.
class RecordingMonitor : public Monitor {
 public:
  RecordingMonitor(std::vector<std::string>& log, std::string tag)
      : log_(log), tag_(std::move(tag)) {}
  void poll() override { ++polls; }
  void onMessage(const ReceivedMessage& message) override {
    log_.push_back(tag_ + ":" + std::to_string(message.command));
  }
  int polls = 0;

 private:
  std::vector<std::string>& log_;
  std::string tag_;
};

/// The command byte of sent bytes.
inline uint8_t commandOf(const std::vector<uint8_t>& bytes) {
  return bytes.size() > 6 ? bytes[6] : 0;
}

/// The OID of sent bytes.
inline uint16_t oidOf(const std::vector<uint8_t>& bytes) {
  return bytes.size() > 11 ? static_cast<uint16_t>(bytes[10] << 8 | bytes[11]) : 0;
}

/// Parses `message` as the receiving side would and hands it to `host`.
inline void feedTo(Host& host, const Message& message) {
  const bool serverSide = host.group().kind() == GroupKind::kSimulator;
  MessageParser parser(serverSide, [&](const ReceivedMessage& m) { host.deliver(m); });
  parser.feed(message.data(), static_cast<size_t>(message.size()));
}

/// A card's answer from `slot` (a server-side message) carrying `value` of `type`.
inline Message answer(Command command, uint8_t slot, uint16_t oid, const Value& value,
                      ValueType type, uint16_t element = 0) {
  Message message(Side::kServer, command, slot, oid, element);
  message.appendValue(value, type);
  return message;
}

/// Log lines written since construction.
class LogCapture {
 public:
  LogCapture() : start_(messageCount()) {}
  std::vector<std::string> lines() const {
    std::vector<std::string> out;
    for (int32_t n = start_; n != messageCount(); ++n)
      out.push_back(messageText(n));
    return out;
  }
  bool contains(const std::string& line) const {
    for (const std::string& text : lines())
      if (text == line) return true;
    return false;
  }

 private:
  int32_t start_;
};

/// A group of `kind` on a manual clock with a fixed generator.
class GroupFixture : public ::testing::Test {
 protected:
  explicit GroupFixture(GroupKind kind = GroupKind::kClient)
      : group_(name(kind), kind, clock_, random_) {}
  static const char* name(GroupKind kind) {
    return kind == GroupKind::kClient ? "Client" : kind == GroupKind::kAuto ? "Auto" : "Simulator";
  }
  /// Moves the clock and the group's loop time forward by `ms`.
  void advance(uint32_t ms) {
    clock_.advance(ms);
    group_.setLoopTime(clock_.tick());
  }

  platform::ManualClock clock_{100000};
  std::mt19937 random_{7};
  TestModel model_;
  HostGroup group_;
};

}  // namespace qelm::testing
