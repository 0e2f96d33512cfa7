#include "lmcard/lm_card.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <future>
#include <numbers>
#include <random>
#include <sstream>
#include <thread>

#include "../comm/loopback.h"
#include "audio/audio_meter.h"
#include "comm/protocol.h"
#include "platform/socket.h"
#include "wav_file.h"

namespace qelm {
namespace {

constexpr int kRate = 48000;

// Interleaved 16-bit test audio: a 997 Hz tone in the first channel, noise in the second, a
// quiet tone in any third.
std::vector<int16_t> makeAudio(int channels, double seconds) {
  std::mt19937 random(7);
  const int frames = static_cast<int>(seconds * kRate);
  std::vector<int16_t> samples;
  for (int n = 0; n < frames; ++n) {
    const double t = static_cast<double>(n) / kRate;
    const double values[3] = {0.5 * std::sin(2 * std::numbers::pi * 997 * t),
                              0.25 * (static_cast<double>(random()) / 2147483648.0 - 1.0),
                              0.05 * std::sin(2 * std::numbers::pi * 120 * t)};
    for (int c = 0; c < channels; ++c)
      samples.push_back(static_cast<int16_t>(std::lround(values[c % 3] * 32767)));
  }
  return samples;
}

void writeWav(const std::string& path, const std::vector<int16_t>& samples, int channels) {
  testing::writeWav(path, samples, channels, kRate);
}

std::vector<audio::AudioBlock> meterBlocks(const std::vector<int16_t>& samples, int channels) {
  std::string error;
  std::optional<audio::AudioMeter> meter = audio::AudioMeter::create(kRate, channels, error);
  std::vector<audio::AudioBlock> blocks;
  meter->feed(std::span<const int16_t>(samples), blocks);
  return blocks;
}

uint32_t wordAt(const ReceivedMessage& m, int at) {
  return static_cast<uint32_t>(m.value[at]) << 24 | static_cast<uint32_t>(m.value[at + 1]) << 16 |
         static_cast<uint32_t>(m.value[at + 2]) << 8 | m.value[at + 3];
}
float realAt(const ReceivedMessage& m, int at) {
  return std::bit_cast<float>(wordAt(m, at));
}

// The payload's measurements must be the meter's, bit for bit or nearly (the file path reads
// floats, the reference 16-bit samples; both are exact scalings).
void expectPayloadOf(const ReceivedMessage& payload, const audio::AudioBlock& block) {
  for (int c = 0; c < 8; ++c) {
    EXPECT_NEAR(realAt(payload, 32 + 4 * c), block.samplePeak[c], 1e-6) << "channel " << c;
    EXPECT_NEAR(realAt(payload, 96 + 4 * c), block.truePeak[c], 1e-6) << "channel " << c;
  }
  for (int c = 0; c < 6; ++c)
    EXPECT_NEAR(realAt(payload, 160 + 4 * c), block.power[c], 1e-6 * block.power[c] + 1e-12)
        << "channel " << c;
}

// A card served by `runLmCard` on its own thread, and one panel connected to it.
class LmCardRun {
 public:
  explicit LmCardRun(LmCardOptions options) : options_(std::move(options)) {
    thread_ = std::thread([this] {
      code_ = runLmCard(options_, err_, stop_);
      ended_.store(true);
    });
  }
  ~LmCardRun() { finish(); }

  /// Stops the card (when still running) and returns its exit code.
  int finish() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
    return code_;
  }
  /// Waits for the card to end by itself.
  bool waitForEnd() {
    return loopback::waitFor([&] { return ended_.load(); });
  }
  /// What the card wrote; read only after `finish`.
  std::string messages() const { return err_.str(); }

  bool connect() {
    return loopback::waitFor([&] {
      socket_ = platform::Socket::createStream(true).socket;
      const platform::IoResult started = socket_.startConnect(options_.address, kFramePort);
      if (started.status == platform::IoStatus::kDone) return true;
      if (started.status != platform::IoStatus::kNotYet) return false;
      return loopback::waitFor([&] { return socket_.writable(); }, 500) &&
             socket_.pendingError() == 0;
    });
  }
  void request(Command command, uint16_t oid, const std::optional<Value>& value = {},
               ValueType type = ValueType::kNone) {
    Message message(Side::kClient, command, static_cast<uint8_t>(options_.slot), oid);
    if (value) message.appendValue(*value, type);
    ASSERT_TRUE(loopback::sendAll(socket_, loopback::bytesOf(message)));
  }
  // Reads for `limitMs` at most, until `enough` says so; every message read is kept.
  template <typename Enough>
  bool receiveUntil(Enough enough, int limitMs = 3000) {
    return loopback::waitFor(
        [&] {
          uint8_t buffer[4096];
          const platform::IoResult got = socket_.receive(buffer, sizeof buffer);
          parser_.feed(buffer, got.bytes);
          return enough();
        },
        limitMs);
  }
  std::vector<ReceivedMessage> payloads() const {
    std::vector<ReceivedMessage> out;
    for (const ReceivedMessage& m : received_)
      if (m.oid == kLoudnessPayloadOid) out.push_back(m);
    return out;
  }
  const ReceivedMessage* answer(uint8_t command, uint16_t oid) const {
    for (const ReceivedMessage& m : received_)
      if (m.command == command && m.oid == oid) return &m;
    return nullptr;
  }

 private:
  LmCardOptions options_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> ended_{false};
  std::ostringstream err_;
  int code_ = -1;
  platform::Socket socket_;
  std::vector<ReceivedMessage> received_;
  MessageParser parser_{false, [this](const ReceivedMessage& m) { received_.push_back(m); }};
  std::thread thread_;
};

class LmCardTest : public ::testing::Test {
 protected:
  std::string folder_ = ::testing::TempDir() + "lm_card_test/";
  void SetUp() override { std::filesystem::create_directories(folder_); }
};

TEST_F(LmCardTest, ServesTheMeasurementsOfAFileAsPayloadsOfItsSlot) {
  const std::vector<int16_t> audio = makeAudio(3, 1.0);
  writeWav(folder_ + "tone.wav", audio, 3);
  const std::vector<audio::AudioBlock> expected = meterBlocks(audio, 3);
  ASSERT_EQ(expected.size(), 10u);

  LmCardOptions options;
  options.address = platform::ipv4(127, 0, 83, 1);
  options.slot = 3;
  options.files = {folder_ + "tone.wav"};
  options.dialnorm = -23;
  options.timecode = audio::Timecode{10, 0, 0, 0};
  LmCardRun card(options);
  ASSERT_TRUE(card.connect());
  ASSERT_TRUE(card.receiveUntil([&] {
    const auto got = card.payloads();
    return !got.empty() && wordAt(got.back(), 8) == expected.size();
  }));

  const std::vector<ReceivedMessage> payloads = card.payloads();
  ASSERT_GE(payloads.size(), 5u);  // the first may leave before the panel is connected
  uint32_t previous = 0;
  for (const ReceivedMessage& payload : payloads) {
    EXPECT_EQ(payload.command, static_cast<uint8_t>(Command::kGetResponse));
    EXPECT_EQ(payload.source, kFirstCardAddress + 3);
    EXPECT_EQ(payload.destination, kPanelAddress);
    ASSERT_EQ(payload.count, audio::kLoudnessPayloadSize);
    EXPECT_EQ(wordAt(payload, 0), audio::kLoudnessPayloadFormat);
    const uint32_t sequence = wordAt(payload, 8);
    if (previous != 0) {
      EXPECT_EQ(sequence, previous + 1);
    }
    previous = sequence;
    ASSERT_GE(sequence, 1u);
    ASSERT_LE(sequence, expected.size());
    SCOPED_TRACE("sequence " + std::to_string(sequence));
    expectPayloadOf(payload, expected[sequence - 1]);
    EXPECT_EQ(wordAt(payload, 28), 23u);
    // 25 fps: block k starts 2.5 k frames after 10:00:00:00.
    const int frames = static_cast<int>((sequence - 1) * 5 / 2);
    const std::vector<uint8_t> timecode(payload.value.begin() + 20, payload.value.begin() + 28);
    EXPECT_EQ(timecode, (std::vector<uint8_t>{1, 0, 0, 0, 0, 0, static_cast<uint8_t>(frames / 10),
                                              static_cast<uint8_t>(frames % 10)}));
  }
  EXPECT_EQ(card.finish(), 0);
}

TEST_F(LmCardTest, EachFileIsACardOfItsOwnOnTheSlotsFromTheFirstUp) {
  const std::vector<int16_t> tone = makeAudio(3, 1.0);
  const std::vector<int16_t> mono = makeAudio(1, 1.0);
  writeWav(folder_ + "tone3.wav", tone, 3);
  writeWav(folder_ + "mono.wav", mono, 1);
  const std::vector<audio::AudioBlock> expected[2] = {meterBlocks(tone, 3), meterBlocks(mono, 1)};

  LmCardOptions options;
  options.address = platform::ipv4(127, 0, 83, 4);
  options.slot = 5;
  options.files = {folder_ + "tone3.wav", folder_ + "mono.wav"};
  LmCardRun card(options);
  ASSERT_TRUE(card.connect());
  const auto lastSequence = [&](int slot) {
    uint32_t last = 0;
    for (const ReceivedMessage& payload : card.payloads())
      if (payload.source == kFirstCardAddress + slot) last = wordAt(payload, 8);
    return last;
  };
  ASSERT_TRUE(card.receiveUntil([&] { return lastSequence(5) == 10 && lastSequence(6) == 10; }));

  uint32_t previous[2] = {0, 0};
  for (const ReceivedMessage& payload : card.payloads()) {
    ASSERT_GE(payload.source, kFirstCardAddress + 5);
    ASSERT_LE(payload.source, kFirstCardAddress + 6);
    const size_t which = payload.source - (kFirstCardAddress + 5);
    const uint32_t sequence = wordAt(payload, 8);
    if (previous[which] != 0) {
      EXPECT_EQ(sequence, previous[which] + 1);
    }
    previous[which] = sequence;
    ASSERT_GE(sequence, 1u);
    ASSERT_LE(sequence, expected[which].size());
    SCOPED_TRACE("slot " + std::to_string(5 + which) + ", sequence " + std::to_string(sequence));
    expectPayloadOf(payload, expected[which][sequence - 1]);
  }
  ASSERT_TRUE(card.waitForEnd());
  EXPECT_EQ(card.finish(), 0);
  const std::string messages = card.messages();
  EXPECT_NE(messages.find("slot 6 of 127.0.83.4"), std::string::npos) << messages;
  EXPECT_NE(messages.find("end of " + folder_ + "mono.wav"), std::string::npos) << messages;
}

TEST_F(LmCardTest, AStalledStreamKeepsAnsweringAndSendsOnlyWhenAudioComes) {
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  LmCardOptions options;
  options.address = platform::ipv4(127, 0, 83, 2);
  options.fromStdin = true;
  options.stdinRate = kRate;
  options.stdinChannels = 2;
  options.sourceNames = {"Desk L", "Desk R"};
  options.inputFd = pipeFds[0];
  int code = -1;
  std::string messages;
  {
    LmCardRun card(options);
    ASSERT_TRUE(card.connect());
    card.request(Command::kGet, kLoudnessRequestOid);
    card.request(Command::kGet, kLoudnessFormatOid);
    card.request(Command::kGet, kChannelSourceOid + 1);
    card.request(Command::kGet, kChannelSourceOid + 2);
    card.request(Command::kSet, kChannelSourceOid, Value::ofText("Mic"), ValueType::kString);
    ASSERT_TRUE(card.receiveUntil([&] {
      return card.answer(0xC9, kChannelSourceOid + 2) && card.answer(0xCA, kChannelSourceOid);
    }));
    const ReceivedMessage* request = card.answer(0xC9, kLoudnessRequestOid);
    ASSERT_TRUE(request);
    EXPECT_EQ(decodeValue(*request, ValueType::kChoice)->i, 1);
    // The panel keeps the format watched with the request and the sources: it is answered.
    const ReceivedMessage* format = card.answer(0xC9, kLoudnessFormatOid);
    ASSERT_TRUE(format);
    EXPECT_EQ(decodeValue(*format, ValueType::kInt)->i,
              static_cast<int32_t>(audio::kLoudnessPayloadFormat));
    EXPECT_EQ(decodeValue(*card.answer(0xC9, kChannelSourceOid + 1), ValueType::kString)->text,
              "Desk R");
    EXPECT_EQ(decodeValue(*card.answer(0xC9, kChannelSourceOid + 2), ValueType::kString)->text,
              "");  // the stream has no centre channel
    EXPECT_EQ(decodeValue(*card.answer(0xCA, kChannelSourceOid), ValueType::kString)->text, "Mic");

    card.receiveUntil([] { return false; }, 300);
    EXPECT_TRUE(card.payloads().empty()) << "payloads without audio";

    const std::vector<int16_t> audio = makeAudio(2, 0.3);
    ASSERT_EQ(write(pipeFds[1], audio.data(), audio.size() * 2),
              static_cast<ssize_t>(audio.size() * 2));
    const std::vector<audio::AudioBlock> expected = meterBlocks(audio, 2);
    ASSERT_TRUE(card.receiveUntil([&] { return card.payloads().size() == expected.size(); }));
    for (size_t i = 0; i < expected.size(); ++i) {
      EXPECT_EQ(wordAt(card.payloads()[i], 8), i + 1);
      expectPayloadOf(card.payloads()[i], expected[i]);
    }
    close(pipeFds[1]);
    ASSERT_TRUE(card.waitForEnd());
    code = card.finish();
    messages = card.messages();
  }
  close(pipeFds[0]);
  EXPECT_EQ(code, 2);
  EXPECT_NE(messages.find("lmcard: standard input ended"), std::string::npos) << messages;
}

TEST_F(LmCardTest, SourcesItCannotUseEndWithExitCode2AndTheReason) {
  std::ofstream(folder_ + "text.wav") << "not audio at all";
  const auto run = [](LmCardOptions options, std::string& messages) {
    options.address = platform::ipv4(127, 0, 83, 3);
    std::ostringstream err;
    std::atomic<bool> stop{false};
    const int code = runLmCard(options, err, stop);
    messages = err.str();
    return code;
  };
  std::string messages;
  LmCardOptions options;
  options.files = {folder_ + "missing.wav"};
  EXPECT_EQ(run(options, messages), 2);
  EXPECT_NE(messages.find("cannot read \"" + folder_ + "missing.wav\""), std::string::npos)
      << messages;
  options.files = {folder_ + "text.wav"};
  EXPECT_EQ(run(options, messages), 2);
  EXPECT_NE(messages.find("cannot read"), std::string::npos) << messages;

  // A named pipe nobody writes to: opening it to read would wait for a writer for good.
  const std::string fifo = folder_ + "fifo.wav";
  std::filesystem::remove(fifo);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  options.files = {fifo};
  std::string fifoMessages;
  auto fifoRun = std::async(std::launch::async, [&] { return run(options, fifoMessages); });
  if (fifoRun.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
    ADD_FAILURE() << "lmcard waits on a named pipe";
    close(open(fifo.c_str(), O_WRONLY | O_NONBLOCK));  // a writer comes and goes: it ends
  }
  EXPECT_EQ(fifoRun.get(), 2);
  EXPECT_NE(fifoMessages.find("\"" + fifo + "\" is not a regular file"), std::string::npos)
      << fifoMessages;
  options.files = {folder_};
  EXPECT_EQ(run(options, messages), 2);
  EXPECT_NE(messages.find("is not a regular file"), std::string::npos) << messages;

  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  close(pipeFds[1]);  // a stream that ends at once
  options = LmCardOptions{};
  options.fromStdin = true;
  options.inputFd = pipeFds[0];
  options.stdinRate = 1000;
  options.stdinChannels = 2;
  EXPECT_EQ(run(options, messages), 2);
  EXPECT_NE(messages.find("Sample rate 1000 Hz"), std::string::npos) << messages;
  options.stdinRate = kRate;
  options.stdinChannels = 9;
  EXPECT_EQ(run(options, messages), 2);
  EXPECT_NE(messages.find("Channel count 9"), std::string::npos) << messages;
  options.stdinChannels = 2;
  EXPECT_EQ(run(options, messages), 2);
  EXPECT_NE(messages.find("lmcard: standard input ended"), std::string::npos) << messages;
  close(pipeFds[0]);
}

TEST(LmCardOptionsTest, ReadsEveryOptionAndRefusesWhatCannotBeSent) {
  ParsedLmCardOptions parsed = parseLmCardOptions(
      {"--address", "10.1.2.3", "--slot=7", "--stdin", "44100", "6", "--dialnorm", "-24",
       "--timecode", "01:02:03:29", "--fps", "30", "--source-names", "A,,C"});
  ASSERT_TRUE(parsed.options) << parsed.error;
  EXPECT_EQ(parsed.options->address, platform::ipv4(10, 1, 2, 3));
  EXPECT_EQ(parsed.options->slot, 7);
  EXPECT_EQ(parsed.options->stdinRate, 44100);
  EXPECT_EQ(parsed.options->stdinChannels, 6);
  EXPECT_EQ(parsed.options->dialnorm, -24);
  EXPECT_EQ(parsed.options->timecode, (audio::Timecode{1, 2, 3, 29}));
  EXPECT_EQ(parsed.options->sourceNames, (std::vector<std::string>{"A", "", "C"}));
  parsed = parseLmCardOptions(
      {"--address", "10.1.2.3", "--slot", "238", "--file", "a.wav", "--file=b.wav", "--loop"});
  ASSERT_TRUE(parsed.options) << parsed.error;
  EXPECT_EQ(parsed.options->files, (std::vector<std::string>{"a.wav", "b.wav"}));

  const std::vector<std::vector<std::string>> refused = {
      {"--file", "a.wav"},                                            // no address
      {"--address", "10.1.2.3"},                                      // no source
      {"--address", "10.1.2.3", "--file", "a", "--stdin", "1", "1"},  // two sources
      {"--address", "10.1.2.300", "--file", "a"},
      {"--address", "10.1.2.3", "--file", "a", "--slot", "240"},
      {"--address", "10.1.2.3", "--slot", "238", "--file", "a", "--file", "b", "--file", "c"},
      {"--address", "10.1.2.3", "--stdin", "48000", "2", "--loop"},
      {"--address", "10.1.2.3", "--file", "a", "--dialnorm", "0"},
      {"--address", "10.1.2.3", "--file", "a", "--timecode", "10:00:00:25"},  // 25 fps
      {"--address", "10.1.2.3", "--file", "a", "--timecode", "24:00:00:00"},
      {"--address", "10.1.2.3", "--file", "a", "--timecode", "1:00:00:00"},
      {"--address", "10.1.2.3", "--file", "a", "--source-names", "1,2,3,4,5,6,7,8,9"},
      {"--address", "10.1.2.3", "--stdin", "48000"},
      {"--address", "10.1.2.3", "--file", "a", "--bogus"},
  };
  for (const auto& args : refused)
    EXPECT_FALSE(parseLmCardOptions(args).options) << ::testing::PrintToString(args);
}

}  // namespace
}  // namespace qelm
