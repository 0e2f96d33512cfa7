#include "lmcard/lm_card.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstring>
#include <memory>
#include <ostream>
#include <random>
#include <span>
#include <thread>

#include "audio/audio_meter.h"
#include "comm/card.h"
#include "comm/host.h"
#include "comm/server.h"
#include "lmcard/audio_source.h"
#include "model/card_address.h"
#include "model/model.h"
#include "model/parameter.h"
#include "platform/clock.h"
#include "platform/socket.h"

namespace qelm {

namespace {

using SteadyClock = std::chrono::steady_clock;
using Nanoseconds = std::chrono::nanoseconds;

constexpr int64_t kNanosPerSecond = 1'000'000'000;
// Longest sleep between two passes: requests are answered and an interrupt is seen this soon.
constexpr auto kMaxWait = std::chrono::milliseconds(10);
// Frames read from the source at once.
constexpr size_t kReadFrames = 4096;
// Blocks per second of audio (one payload each).
constexpr uint64_t kBlocksPerSecond = 10;
constexpr int kSourceChannels = 8;
constexpr int32_t kMaxSlot = Card::kMaxWireSlot;
constexpr int kMinDialnorm = -31;
constexpr int kMaxDialnorm = -1;
const char* const kChannelNames[kSourceChannels] = {"L",  "R",  "C",     "LFE",
                                                    "Ls", "Rs", "Aux L", "Aux R"};

// ---- Command line -----------------------------------------------------------------------------

bool parseInt(const std::string& text, int& out) {
  const char* end = text.data() + text.size();
  const auto [at, code] = std::from_chars(text.data(), end, out);
  return code == std::errc() && at == end && !text.empty();
}

std::optional<audio::Timecode> parseTimecode(const std::string& text) {
  audio::Timecode tc;
  int* fields[4] = {&tc.hours, &tc.minutes, &tc.seconds, &tc.frames};
  size_t at = 0;
  for (int i = 0; i < 4; ++i) {
    const size_t colon = i < 3 ? text.find(':', at) : text.size();
    if (colon == std::string::npos || colon - at != 2) return std::nullopt;
    if (!parseInt(text.substr(at, 2), *fields[i]) || *fields[i] < 0) return std::nullopt;
    at = colon + 1;
  }
  if (tc.hours > 23 || tc.minutes > 59 || tc.seconds > 59) return std::nullopt;
  return tc;
}

std::vector<std::string> splitNames(const std::string& text) {
  std::vector<std::string> names;
  size_t at = 0;
  while (true) {
    const size_t comma = text.find(',', at);
    names.push_back(text.substr(at, comma == std::string::npos ? std::string::npos : comma - at));
    if (comma == std::string::npos) return names;
    at = comma + 1;
  }
}

// ---- Pacing -----------------------------------------------------------------------------------

// Whole frames at `rate` Hz in `elapsed` (0 for negative times), without overflowing for runs
// of any length.
uint64_t framesIn(Nanoseconds elapsed, int rate) {
  const int64_t ns = std::max<int64_t>(elapsed.count(), 0);
  const auto r = static_cast<uint64_t>(rate);
  return static_cast<uint64_t>(ns / kNanosPerSecond) * r +
         static_cast<uint64_t>(ns % kNanosPerSecond) * r / kNanosPerSecond;
}

// The time at which frame `frames` is due, rounded up so that `framesIn` of it is `frames`.
Nanoseconds timeOf(uint64_t frames, int rate) {
  const auto r = static_cast<uint64_t>(rate);
  return Nanoseconds(static_cast<int64_t>((frames / r) * kNanosPerSecond +
                                          ((frames % r) * kNanosPerSecond + r - 1) / r));
}

// The frame at which block `index` is complete, or a frame later (at rates not divisible by
// 10 the meter's blocks differ by one frame; waking one frame late costs nothing).
uint64_t blockEnd(uint64_t index, int rate) {
  return ((index + 1) * static_cast<uint64_t>(rate) + kBlocksPerSecond - 1) / kBlocksPerSecond;
}

// ---- The card ---------------------------------------------------------------------------------

// The parameters a loudness card serves besides its payload.
std::unique_ptr<Model> makeCardModel(const LmCardOptions& options, int channels) {
  auto model = std::make_unique<Model>("LM Card");
  Parameter* request = model->add(Parameter::makeOpenGear(kLoudnessRequestOid, "LM Request"));
  request->addChoice(0, 0, "Off", "Off");
  request->addChoice(1, 1, "On", "On");
  request->setDefault(Value::ofInt(1));
  Parameter* format = model->add(Parameter::makeOpenGear(kLoudnessFormatOid, "Loudness Format"));
  format->setIntegerRange(0, 255, 1);
  format->setReadOnly(true);
  format->setDefault(Value::ofInt(static_cast<int32_t>(audio::kLoudnessPayloadFormat)));
  for (int channel = 0; channel < kSourceChannels; ++channel) {
    Parameter* source =
        model->add(Parameter::makeOpenGear(static_cast<uint16_t>(kChannelSourceOid + channel),
                                           std::string("Source ") + kChannelNames[channel]));
    source->setString(kMaxSourceNameLength);
    std::string name = channel < channels ? kChannelNames[channel] : "";
    if (static_cast<size_t>(channel) < options.sourceNames.size())
      name = options.sourceNames[static_cast<size_t>(channel)];
    source->setDefault(Value::ofText(name));
  }
  return model;
}

void sendPayload(Card& card, const std::array<uint8_t, audio::kLoudnessPayloadSize>& payload) {
  // The payload goes out as a whole-array block of 32-bit words: the same bytes, one count byte.
  std::vector<Value> words;
  words.reserve(payload.size() / 4);
  for (size_t at = 0; at < payload.size(); at += 4)
    words.push_back(Value::ofUnsigned(
        static_cast<uint32_t>(payload[at]) << 24 | static_cast<uint32_t>(payload[at + 1]) << 16 |
        static_cast<uint32_t>(payload[at + 2]) << 8 | payload[at + 3]));
  auto message = std::make_unique<Message>(Side::kServer, Command::kGetResponse, card.wireSlot(),
                                           kLoudnessPayloadOid);
  message->appendArray(words, ValueType::kUInt32);
  card.send(std::move(message));
}

// ---- Serving ----------------------------------------------------------------------------------

// Exit codes of a run.
constexpr int kExitDone = 0;          // interrupted, or the file (not looping) ended
constexpr int kExitSourceFailed = 2;  // the source is unusable, failed or (a stream) ended

// The audio a card meters: the source and a meter for its rate and channels.
struct MeteredSource {
  std::unique_ptr<AudioSource> source;
  audio::AudioMeter meter;
  int rate = 0;
  int channels = 0;
};

// Opens the source the options name and its meter; nothing, with the reason written to `err`,
// when the file cannot be opened or the meter refuses its format. Standard input is opened
// only once the meter has taken its rate and channels.
std::optional<MeteredSource> openMeteredSource(const LmCardOptions& options, std::ostream& err) {
  std::string error;
  std::unique_ptr<AudioSource> source;
  if (options.file) {
    source = openSoundFile(*options.file, options.loop, error);
    if (!source) {
      err << "lmcard: " << error << "\n";
      return std::nullopt;
    }
  }
  const int rate = source ? source->sampleRate() : options.stdinRate;
  const int channels = source ? source->channels() : options.stdinChannels;
  std::optional<audio::AudioMeter> meter = audio::AudioMeter::create(rate, channels, error);
  if (!meter) {
    err << "lmcard: " << (source ? source->describe() : "standard input") << ": " << error << "\n";
    return std::nullopt;
  }
  if (!source) source = openPcmStream(options.inputFd, rate, channels);
  return MeteredSource{std::move(source), std::move(*meter), rate, channels};
}

// One run of the card: meters the source at the pace of the wall clock and serves a payload
// for every block on the card's slot, answering requests between blocks.
class LmCardRun {
 public:
  LmCardRun(const LmCardOptions& options, std::ostream& err, MeteredSource metered);
  LmCardRun(const LmCardRun&) = delete;
  LmCardRun& operator=(const LmCardRun&) = delete;

  // Says what is metered and where it is served.
  void announce();
  // Serves until `interrupted` is set or the source ends; the exit code.
  int serve(const std::atomic<bool>& interrupted);

 private:
  uint64_t dueFrames(SteadyClock::time_point now);
  bool readDueAudio(SteadyClock::time_point now);
  void sendBlocks();
  void reportListener();
  int finish();
  void sleepUntilNextBlock() const;

  const LmCardOptions& options_;
  std::ostream& err_;
  MeteredSource metered_;
  // The model outlives the group: targets point at its parameters.
  const std::unique_ptr<Model> model_;
  std::mt19937 random_;
  platform::Clock& clock_;
  HostGroup group_;
  ServerHost* host_ = nullptr;
  Card* card_ = nullptr;

  std::vector<float> samples_;
  std::vector<audio::AudioBlock> blocks_;
  uint64_t fed_ = 0;         // frames measured since the start
  uint64_t nextBlock_ = 0;   // index of the next block the meter completes
  uint64_t blockStart_ = 0;  // first frame of that block
  uint32_t sequence_ = 1;
  bool ended_ = false;
  std::optional<ListenerState> reported_;
  // Frame f is due at anchor + f / rate. Only stalls and long suspensions move the anchor, so
  // the payloads keep the audio's pace with no drift however long the run.
  SteadyClock::time_point anchor_;
};

LmCardRun::LmCardRun(const LmCardOptions& options, std::ostream& err, MeteredSource metered)
    : options_(options),
      err_(err),
      metered_(std::move(metered)),
      model_(makeCardModel(options, metered_.channels)),
      random_(kFramePort),
      clock_(platform::systemClock()),
      group_("Simulator", GroupKind::kSimulator, clock_, random_),
      samples_(kReadFrames * static_cast<size_t>(metered_.channels)) {
  group_.setLoopTime(clock_.tick());
  const CardAddress at{options.address, options.slot, false};
  for (const auto& parameter : model_->parameters())
    group_.getTarget(at, *parameter);
  host_ = &static_cast<ServerHost&>(group_.findOrCreateHost(options.address));
  card_ = host_->findCard(options.slot, false, true);
}

void LmCardRun::announce() {
  err_ << "lmcard: slot " << options_.slot << " of " << platform::addressText(options_.address)
       << " port " << kFramePort << ", metering " << metered_.source->describe() << " ("
       << metered_.rate << " Hz, " << metered_.channels << " channels)\n";
}

int LmCardRun::serve(const std::atomic<bool>& interrupted) {
  anchor_ = SteadyClock::now();
  while (!interrupted.load()) {
    if (!readDueAudio(SteadyClock::now())) return kExitSourceFailed;
    sendBlocks();
    group_.poll(clock_.tick());
    reportListener();
    if (ended_) return finish();
    sleepUntilNextBlock();
  }
  return kExitDone;
}

// The frames due by `now`.
uint64_t LmCardRun::dueFrames(SteadyClock::time_point now) {
  const int rate = metered_.rate;
  const uint64_t due = framesIn(now - anchor_, rate);
  if (due <= fed_ + static_cast<uint64_t>(rate)) return due;
  // More than a second behind (the process was stopped): carry on from now, no burst.
  anchor_ = now - timeOf(fed_, rate);
  return fed_;
}

// Meters the audio due by `now` that the source has; false when a read failed.
bool LmCardRun::readDueAudio(SteadyClock::time_point now) {
  const uint64_t due = dueFrames(now);
  AudioSource& source = *metered_.source;
  while (fed_ < due && !ended_) {
    const AudioRead got = source.read(samples_.data(), std::min<uint64_t>(due - fed_, kReadFrames));
    if (got.status == AudioReadStatus::kData) {
      metered_.meter.feed(std::span<const float>(samples_.data(), got.frames * metered_.channels),
                          blocks_);
      fed_ += got.frames;
    } else if (got.status == AudioReadStatus::kNoData) {
      // A stalled stream: the audio that comes later is due from when it comes.
      anchor_ = now - timeOf(fed_, metered_.rate);
      break;
    } else if (got.status == AudioReadStatus::kFailed) {
      err_ << "lmcard: reading " << source.describe() << " failed: " << source.error() << "\n";
      return false;
    } else {
      ended_ = true;
    }
  }
  return true;
}

// Sends a payload for every block the meter completed.
void LmCardRun::sendBlocks() {
  for (const audio::AudioBlock& block : blocks_) {
    audio::PayloadHeader header{sequence_++, options_.dialnorm, std::nullopt};
    if (options_.timecode)
      header.timecode = audio::advanceTimecode(
          *options_.timecode, blockStart_ * static_cast<uint64_t>(options_.fps) / metered_.rate,
          options_.fps);
    sendPayload(*card_, audio::encodeLoudnessPayload(block, header));
    blockStart_ += static_cast<uint64_t>(block.frames);
    nextBlock_ = block.index + 1;
  }
  blocks_.clear();
}

// Says when the listener starts listening or cannot.
void LmCardRun::reportListener() {
  const Listener& listener = host_->listener();
  const ListenerState state = listener.state();
  if (state == reported_) return;
  if (state == ListenerState::kListening)
    err_ << "lmcard: listening on " << platform::addressText(options_.address) << ":" << kFramePort
         << "\n";
  else if (reported_ || listener.lastError() != 0)
    err_ << "lmcard: cannot listen on " << platform::addressText(options_.address) << ":"
         << kFramePort << " (" << std::strerror(listener.lastError()) << "); trying again every "
         << Listener::kRetryIntervalMs / 1000 << " s\n";
  reported_ = state;
}

// The source has ended: lets the last payloads leave and says why the run ends.
int LmCardRun::finish() {
  // Give the last payloads a moment to leave.
  std::this_thread::sleep_for(kMaxWait);
  group_.poll(clock_.tick());
  if (options_.fromStdin) {
    err_ << "lmcard: standard input ended\n";
    return kExitSourceFailed;
  }
  err_ << "lmcard: end of " << metered_.source->describe() << "\n";
  return kExitDone;
}

// Sleeps until the next block is complete, but at most kMaxWait.
void LmCardRun::sleepUntilNextBlock() const {
  const SteadyClock::time_point wake =
      anchor_ + timeOf(blockEnd(nextBlock_, metered_.rate), metered_.rate);
  std::this_thread::sleep_until(std::min(wake, SteadyClock::now() + kMaxWait));
}

}  // namespace

ParsedLmCardOptions parseLmCardOptions(const std::vector<std::string>& args) {
  ParsedLmCardOptions parsed;
  LmCardOptions options;
  bool haveAddress = false;
  bool haveFps = false;
  const auto refuse = [&](std::string why) {
    parsed.error = std::move(why);
    return parsed;
  };
  for (size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::vector<std::string> values;
    const size_t equals = name.find('=');
    if (name.rfind("--", 0) == 0 && equals != std::string::npos) {
      values.push_back(name.substr(equals + 1));
      name.resize(equals);
    }
    const auto take = [&](size_t count) {
      while (values.size() < count && i + 1 < args.size())
        values.push_back(args[++i]);
      return values.size() == count;
    };
    const size_t wanted = name == "--loop" ? 0 : name == "--stdin" ? 2 : 1;
    if (name != "--loop" && name != "--stdin" && name != "--address" && name != "--slot" &&
        name != "--file" && name != "--dialnorm" && name != "--timecode" && name != "--fps" &&
        name != "--source-names")
      return refuse("unknown argument \"" + args[i] + "\"");
    if (!take(wanted) || values.size() != wanted)
      return refuse(name + " needs " + std::to_string(wanted) + " value(s)");

    if (name == "--address") {
      in_addr parsedAddress{};
      if (inet_pton(AF_INET, values[0].c_str(), &parsedAddress) != 1)
        return refuse("--address: \"" + values[0] + "\" is not an IPv4 address");
      options.address = ntohl(parsedAddress.s_addr);
      haveAddress = true;
    } else if (name == "--slot") {
      if (!parseInt(values[0], options.slot) || options.slot < 0 || options.slot > kMaxSlot)
        return refuse("--slot: a slot from 0 to " + std::to_string(kMaxSlot) + " is needed");
    } else if (name == "--file") {
      options.file = values[0];
    } else if (name == "--loop") {
      options.loop = true;
    } else if (name == "--stdin") {
      if (!parseInt(values[0], options.stdinRate) || !parseInt(values[1], options.stdinChannels))
        return refuse("--stdin: RATE and CHANNELS are whole numbers");
      options.fromStdin = true;
    } else if (name == "--dialnorm") {
      int db = 0;
      if (!parseInt(values[0], db) || db < kMinDialnorm || db > kMaxDialnorm)
        return refuse("--dialnorm: a whole number of dB from -31 to -1 is needed");
      options.dialnorm = db;
    } else if (name == "--timecode") {
      options.timecode = parseTimecode(values[0]);
      if (!options.timecode) return refuse("--timecode: HH:MM:SS:FF is needed");
    } else if (name == "--fps") {
      if (!parseInt(values[0], options.fps) || options.fps < 1 ||
          options.fps > audio::kMaxTimecodeFps)
        return refuse("--fps: a whole number from 1 to 30 is needed");
      haveFps = true;
    } else if (name == "--source-names") {
      options.sourceNames = splitNames(values[0]);
      if (options.sourceNames.size() > kSourceChannels)
        return refuse("--source-names: at most 8 names");
      for (const std::string& text : options.sourceNames)
        if (text.size() > kMaxSourceNameLength)
          return refuse("--source-names: a name is longer than 63 bytes");
    }
  }
  if (!haveAddress) return refuse("--address is needed");
  if (options.file.has_value() == options.fromStdin)
    return refuse("one source is needed: --file PATH or --stdin RATE CHANNELS");
  if (options.loop && !options.file) return refuse("--loop needs --file");
  if (haveFps && !options.timecode) return refuse("--fps needs --timecode");
  if (options.timecode && options.timecode->frames >= options.fps)
    return refuse("--timecode: frames must be below " + std::to_string(options.fps));
  parsed.options = std::move(options);
  return parsed;
}

std::string lmCardUsage() {
  return "usage: qelm-engine lmcard --address A [--slot N] SOURCE [--dialnorm DB]\n"
         "                          [--timecode HH:MM:SS:FF [--fps N]] [--source-names "
         "\"L,R,...\"]\n"
         "  SOURCE: --file PATH [--loop] | --stdin RATE CHANNELS (16-bit little-endian PCM)\n";
}

int runLmCard(const LmCardOptions& options, std::ostream& err,
              const std::atomic<bool>& interrupted) {
  std::optional<MeteredSource> metered = openMeteredSource(options, err);
  if (!metered) return kExitSourceFailed;
  LmCardRun run(options, err, std::move(*metered));
  run.announce();
  return run.serve(interrupted);
}

}  // namespace qelm
