#pragma once

// What the loudness tests share: wall clocks (a fixed one and one they set), payload bytes built
// from levels and powers, a BS.1770 K-weighting filter, and a card with a loudness monitor on a
// recording host driven by a manual clock.

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "comm/card.h"
#include "comm/host.h"
#include "core/log.h"
#include "loudness/loudness_context.h"
#include "loudness/loudness_monitor.h"
#include "loudness/loudness_registry.h"
#include "model/model.h"
#include "model/parameter.h"
#include "platform/clock.h"
#include "platform/socket.h"

namespace qelm::testing {

/// A wall clock that reads the zero time (std::tm{}) at every look.
class ZeroWallClock final : public WallClock {
 public:
  std::tm now() override { return std::tm{}; }
};

/// A wall clock at a time the test sets (UTC, so the process's zone does not matter).
class ManualWallClock final : public WallClock {
 public:
  /// Starts at 2024-03-05 `hh`:`mm`:`ss`.
  explicit ManualWallClock(int hh = 10, int mm = 0, int ss = 0) { setTime(hh, mm, ss); }
  std::tm now() override {
    std::tm t{};
    gmtime_r(&seconds_, &t);
    return t;
  }
  void setTime(int hh, int mm, int ss) { seconds_ = kDay + hh * 3600 + mm * 60 + ss; }
  void advance(std::time_t s) { seconds_ += s; }

 private:
  static constexpr std::time_t kDay = 1709596800;  // 2024-03-05 00:00:00 UTC
  std::time_t seconds_ = kDay;
};

/// Levels of one payload, as the card would measure them.
struct PayloadFields {
  uint32_t sequence = 1;
  std::array<double, 6> powers{};  ///< K-weighted mean squares, L R C LFE Ls Rs
  std::array<double, 8> peakDb{-60, -60, -60, -60, -60, -60, -60, -60};  ///< true peaks, dBFS
  std::array<double, 8> meterDb{-60, -60, -60, -60, -60, -60, -60, -60};
  std::array<uint8_t, 8> timecode{};  ///< BCD digits; all zero = none
  int32_t dialnorm = -1;              ///< -1 = none, else minus the dialnorm in dB
  bool secondary = false;             ///< write the levels into the secondary blocks
};

inline void putLong(uint8_t* at, uint32_t v) {
  at[0] = static_cast<uint8_t>(v >> 24);
  at[1] = static_cast<uint8_t>(v >> 16);
  at[2] = static_cast<uint8_t>(v >> 8);
  at[3] = static_cast<uint8_t>(v);
}

inline void putReal(uint8_t* at, double value) {
  const auto f = static_cast<float>(value);
  uint32_t bits = 0;
  std::memcpy(&bits, &f, 4);
  putLong(at, bits);
}

/// A 224-byte format-2 payload carrying `fields`; the other channel blocks stay zero.
inline std::vector<uint8_t> makePayload(const PayloadFields& fields) {
  std::vector<uint8_t> p(224, 0);
  putLong(&p[0], 2);
  putLong(&p[8], fields.sequence);
  std::memcpy(&p[20], fields.timecode.data(), 8);
  putLong(&p[28], static_cast<uint32_t>(fields.dialnorm));
  const size_t shift = fields.secondary ? 32 : 0;
  for (size_t i = 0; i < 8; ++i) {
    putReal(&p[32 + shift + 4 * i], std::pow(10.0, fields.meterDb[i] / 20.0));
    putReal(&p[96 + shift + 4 * i], std::pow(10.0, fields.peakDb[i] / 20.0));
  }
  for (size_t i = 0; i < 6; ++i)
    putReal(&p[160 + shift + 4 * i], fields.powers[i]);
  return p;
}

/// K-weighted power of a channel whose loudness alone is `lkfs` with weight 1.
inline double powerForLoudness(double lkfs) {
  return std::pow(10.0, (lkfs + 0.691) / 10.0);
}

/// K-weighted mean square of a 1 kHz sine at `dbfs` peak: A^2 / 2 times the filter's gain at
/// 1 kHz, which the -0.691 dB offset cancels.
inline double sinePower(double dbfs) {
  const double a = std::pow(10.0, dbfs / 20.0);
  return a * a / 2.0 * std::pow(10.0, 0.0691);
}

/// The BS.1770 K-weighting at 48 kHz: the high shelf, then the high pass.
class KWeighting {
 public:
  double process(double x) {
    const double y1 = kB1[0] * x + s1_[0];
    s1_[0] = kB1[1] * x - kA1[1] * y1 + s1_[1];
    s1_[1] = kB1[2] * x - kA1[2] * y1;
    const double y2 = kB2[0] * y1 + s2_[0];
    s2_[0] = kB2[1] * y1 - kA2[1] * y2 + s2_[1];
    s2_[1] = kB2[2] * y1 - kA2[2] * y2;
    return y2;
  }

 private:
  static constexpr double kB1[3] = {1.53512485958697, -2.69169618940638, 1.19839281085285};
  static constexpr double kA1[3] = {1.0, -1.69065929318241, 0.73248077421585};
  static constexpr double kB2[3] = {1.0, -2.0, 1.0};
  static constexpr double kA2[3] = {1.0, -1.99004745483398, 0.99007225036621};
  double s1_[2] = {0, 0};
  double s2_[2] = {0, 0};
};

/// Log lines written since construction.
class LogLines {
 public:
  LogLines() : start_(messageCount()) {}
  std::vector<std::string> lines() const {
    std::vector<std::string> out;
    for (int32_t n = start_; n != messageCount(); ++n)
      out.push_back(messageText(n));
    return out;
  }
  int count(const std::string& line) const {
    int n = 0;
    for (const std::string& text : lines())
      n += text == line;
    return n;
  }

 private:
  int32_t start_;
};

/// A host that keeps what it sends; up unless a test says otherwise.
/// A frame that records what is sent to it and polls its cards as a frame of the panel does:
/// when one of them has work due, when something arrived and when its link changed.
class SilentHost final : public Host {
 public:
  using Host::cardsDue;
  using Host::Host;
  void poll() override {
    if (linkStatus != polledStatus_) rescheduleCards();
    polledStatus_ = linkStatus;
    const uint32_t now = group().loopTime();
    if (cardsDue(now)) {
      pollCards(now);
      ++cardPolls;
    }
  }
  LinkStatus status() const override { return linkStatus; }
  bool connected() const override { return socketUp; }
  void send(std::unique_ptr<Message> message) override {
    sent.emplace_back(message->data(), message->data() + message->size());
  }
  std::vector<std::vector<uint8_t>> sent;
  LinkStatus linkStatus = LinkStatus::kLive;
  /// Whether a message sent now reaches the frame (a reconnected socket may not count as up).
  bool socketUp = true;
  int cardPolls = 0;

 private:
  LinkStatus polledStatus_ = LinkStatus::kInactive;
};

/// Set requests (command 0x4A) for `oid` among `sent`.
inline int setRequests(const std::vector<std::vector<uint8_t>>& sent, uint16_t oid) {
  int n = 0;
  for (const auto& bytes : sent)
    n += bytes.size() > 11 && bytes[6] == 0x4A && (bytes[10] << 8 | bytes[11]) == oid;
  return n;
}

/// A loudness card model: feature (3410, choice), channel sources (3412..3419, text), payload
/// (3420, text) and "lm-name", declaring the monitor "lm".
inline std::unique_ptr<Model> loudnessModel(bool withNameParameter = true) {
  auto model = std::make_unique<Model>("LoudCard");
  Parameter* feature = model->add(Parameter::makeOpenGear(3410, "LM Feature"));
  feature->addChoice(1, 0, "Off", "Off");
  feature->addChoice(2, 1, "On", "On");
  model->add(Parameter::makeOpenGear(3411, "LM Spare"))->setIntegerRange(0, 10, 1);
  for (int i = 0; i < 8; ++i)
    model->add(Parameter::makeOpenGear(static_cast<uint16_t>(3412 + i), "Src " + std::to_string(i)))
        ->setString(32);
  model->add(Parameter::makeOpenGear(3420, "LM Data"))->setString(250);
  if (withNameParameter) model->add(Parameter::makeOpenGear(0x500, "lm-name"))->setString(32);
  return model;
}

/// A client group on a manual clock with one frame whose cards carry loudness monitors.
class MonitorFixture : public ::testing::Test {
 protected:
  MonitorFixture()
      : model_(loudnessModel()), group_("Client", GroupKind::kClient, clock_, random_) {
    group_.setLoopTime(clock_.tick());
  }

  /// A monitor on the card in `slot` (`secondary` for its secondary channels).
  LoudnessMonitor& addMonitor(int32_t slot = 3, bool secondary = false, std::string name = "") {
    Card& card = *host_.findCard(slot, secondary, true);
    auto monitor =
        std::make_unique<LoudnessMonitor>(card, *model_, registry_, std::move(name), wall_);
    LoudnessMonitor& ref = *monitor;
    card.addMonitor("lm", std::move(monitor));
    return ref;
  }

  /// Moves time by `ms` and runs one pass of the group.
  void pass(uint32_t ms) {
    clock_.advance(ms);
    group_.setLoopTime(clock_.tick());
    host_.poll();
  }

  /// Delivers an OpenGear answer for `oid` from `slot` with raw value bytes.
  void deliver(uint16_t oid, const std::vector<uint8_t>& bytes, int32_t slot = 3) {
    ReceivedMessage m;
    m.source = static_cast<uint8_t>(16 + slot);
    m.destination = 0;
    m.command = 0xC9;
    m.oid = oid;
    m.count = static_cast<uint8_t>(bytes.size());
    std::memcpy(m.value.data(), bytes.data(), bytes.size());
    host_.deliver(m);
  }

  /// Delivers a text value for `oid` (a channel source or "lm-name").
  void deliverText(uint16_t oid, const std::string& text, int32_t slot = 3) {
    std::vector<uint8_t> bytes(text.begin(), text.end());
    bytes.push_back(0);
    deliver(oid, bytes, slot);
  }

  /// One payload period: 100 ms pass, then the payload of `fields` (sequence numbered here).
  void feed(PayloadFields fields, int32_t slot = 3) {
    pass(100);
    fields.sequence = ++sequence_;
    deliver(3420, makePayload(fields), slot);
  }

  /// Payloads until the monitor is current (status 1).
  void makeCurrent(LoudnessMonitor& monitor) {
    for (int i = 0; i < 3 && monitor.context().record().status != LinkStatus::kLive; ++i)
      feed(PayloadFields{});
    pass(1);
  }

  platform::ManualClock clock_{100000};
  std::mt19937 random_{7};
  ManualWallClock wall_;
  LoudnessRegistry registry_;
  std::unique_ptr<Model> model_;
  HostGroup group_;
  SilentHost host_{group_, platform::ipv4(10, 0, 0, 9)};
  uint32_t sequence_ = 0;
};

}  // namespace qelm::testing
