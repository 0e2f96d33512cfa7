// Feeds arbitrary bytes, as a frame would send them, through a client-side parser into a host
// whose cards watch Int, Float, String, Choice and array-element parameters, and through a
// server-side parser into a simulated card; the cards are polled as time passes, so requests,
// fallbacks to whole arrays, expiry and the answers of the simulator all run on hostile input.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <random>
#include <string>

#include "comm/card.h"
#include "comm/client.h"
#include "comm/hard_target.h"
#include "comm/host.h"
#include "comm/protocol.h"
#include "comm/server.h"
#include "model/model.h"
#include "model/parameter.h"
#include "platform/clock.h"

namespace {

using namespace qelm;

// Sends nowhere; its status comes from the input.
class FuzzHost final : public Host {
 public:
  using Host::Host;
  LinkStatus status() const override { return status_; }
  void send(std::unique_ptr<Message> message) override {
    if (message->size() > kMaxMessageSize) __builtin_trap();
  }
  LinkStatus status_ = LinkStatus::kLive;
};

struct Fixture {
  Fixture() : model("Fuzz") {
    Parameter* p = model.add(Parameter::makeOpenGear(0x0010, "Int"));
    p->setIntegerRange(-1000, 1000, 1);
    p = model.add(Parameter::makeOpenGear(0x0011, "Float"));
    p->setFloatRange(-100, 100, 0.5);
    p->setPeriodic(100);
    p = model.add(Parameter::makeOpenGear(0x0012, "Text"));
    p->setString(32);
    p = model.add(Parameter::makeOpenGear(0x0013, "Choice"));
    p->addChoice(0, 0, "A", "A");
    p->addChoice(1, 5, "B", "B");
    p = model.add(Parameter::makeOpenGear(0x0014, "Serial"));
    p->setUInt32Range(0, 100000, 1);
    for (uint16_t i = 0; i < 6; ++i) {
      p = model.add(Parameter::makeArrayElement(0x0020, i, "IntBus" + std::to_string(i)));
      p->setIntegerRange(0, 100, 1);
      p = model.add(Parameter::makeArrayElement(0x0021, i, "TextBus" + std::to_string(i)));
      p->setString(8);
    }
  }
  Model model;
};

void realize(Host& host, Model& model, bool watch) {
  for (int slot = 0; slot < 3; ++slot) {
    for (bool secondary : {false, true}) {
      Card* card = host.findCard(slot, secondary, true);
      model.forEachCardParameter([&](Parameter& parameter) {
        Target* target = card->getTarget(parameter);
        if (target && watch) target->watch(true);
      });
    }
  }
}

void check(const Host& host) {
  for (const auto& [key, card] : host.cards()) {
    for (const auto& [oid, entry] : card->arrays()) {
      // A block of at most 255 bytes holds at most 128 elements.
      if (entry.elements.size() > 128) __builtin_trap();
    }
    for (const auto& [oid, target] : card->plainTargets()) {
      (void)target->valueText();
      (void)target->status();
      (void)target->hasNamedValue();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Fixture fixture;  // the model is read-only; every run builds its own hosts
  platform::ManualClock clock(1);
  std::mt19937 random(1);
  HostGroup client("Client", GroupKind::kClient, clock, random);
  HostGroup simulator("Simulator", GroupKind::kSimulator, clock, random);
  FuzzHost clientHost(client, 1);
  FuzzHost serverHost(simulator, 1);
  realize(clientHost, fixture.model, true);
  realize(serverHost, fixture.model, false);
  MessageParser clientParser(false, [&](const ReceivedMessage& m) { clientHost.deliver(m); });
  MessageParser serverParser(true, [&](const ReceivedMessage& m) { serverHost.deliver(m); });

  for (size_t at = 0; at < size; at += 32) {
    const size_t chunk = size - at < 32 ? size - at : 32;
    clientParser.feed(data + at, chunk);
    serverParser.feed(data + at, chunk);
    // Let time and the link state move with the input.
    const uint8_t step = data[at];
    clock.advance(static_cast<uint32_t>(step) * 97u);
    client.setLoopTime(clock.tick());
    simulator.setLoopTime(clock.tick());
    clientHost.status_ = (step & 0x0F) == 0 ? LinkStatus::kNoConnection1 : LinkStatus::kLive;
    if (step & 0x10) {
      for (const auto& [key, card] : clientHost.cards()) {
        for (const auto& [oid, target] : card->plainTargets())
          target->setValue(Value::ofInt(step));
      }
    }
    clientHost.poll();
    serverHost.poll();
    check(clientHost);
  }
  return 0;
}
