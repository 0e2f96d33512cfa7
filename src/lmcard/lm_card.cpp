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

// Opens `file`, or standard input when there is none, and its meter; nothing, with the reason
// written to `err`, when the file cannot be opened or the meter refuses its format. Standard
// input is opened only once the meter has taken its rate and channels.
std::optional<MeteredSource> openMeteredSource(const LmCardOptions& options,
                                               const std::string* file, std::ostream& err) {
  std::string error;
  std::unique_ptr<AudioSource> source;
  if (file) {
    source = openSoundFile(*file, options.loop, error);
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

// One card of a run: its audio and where its payloads have got to.
struct FedCard {
  explicit FedCard(MeteredSource source) : metered(std::move(source)) {}

  MeteredSource metered;
  // The card's parameters; targets in the run's group point at them.
  std::unique_ptr<Model> model;
  int32_t slot = 0;
  Card* card = nullptr;
  std::vector<audio::AudioBlock> blocks;  // completed, not yet sent
  uint64_t fed = 0;                       // frames measured since the start
  uint64_t nextBlock = 0;                 // index of the next block the meter completes
  uint64_t blockStart = 0;                // first frame of that block
  uint32_t sequence = 1;
  bool ended = false;
  // Frame f is due at anchor + f / rate. Only stalls and long suspensions move the anchor, so
  // the payloads keep the audio's pace with no drift however long the run. The cards of a run
  // start together, so blocks of the same length complete, and leave, in the same pass.
  SteadyClock::time_point anchor;
};

// One run: meters each card's audio at the pace of the wall clock and serves a payload for
// every block on the card's slot, answering requests between blocks.
class LmCardRun {
 public:
  LmCardRun(const LmCardOptions& options, std::ostream& err, std::vector<MeteredSource> sources);
  LmCardRun(const LmCardRun&) = delete;
  LmCardRun& operator=(const LmCardRun&) = delete;

  // Says what is metered and where it is served.
  void announce();
  // Serves until `interrupted` is set or every source has ended; the exit code.
  int serve(const std::atomic<bool>& interrupted);

 private:
  uint64_t dueFrames(FedCard& fed, SteadyClock::time_point now);
  bool readDueAudio(FedCard& fed, SteadyClock::time_point now);
  void sendBlocks(FedCard& fed);
  bool allEnded() const;
  void reportListener();
  int finish();
  void sleepUntilNextBlock() const;

  const LmCardOptions& options_;
  std::ostream& err_;
  // The cards outlive the group: its targets point at their models' parameters.
  std::vector<FedCard> cards_;
  std::mt19937 random_;
  platform::Clock& clock_;
  HostGroup group_;
  ServerHost* host_ = nullptr;

  std::vector<float> samples_;
  std::optional<ListenerState> reported_;
};

LmCardRun::LmCardRun(const LmCardOptions& options, std::ostream& err,
                     std::vector<MeteredSource> sources)
    : options_(options),
      err_(err),
      random_(kFramePort),
      clock_(platform::systemClock()),
      group_("Simulator", GroupKind::kSimulator, clock_, random_) {
  group_.setLoopTime(clock_.tick());
  host_ = &static_cast<ServerHost&>(group_.findOrCreateHost(options.address));
  int mostChannels = 0;
  cards_.reserve(sources.size());
  for (MeteredSource& source : sources) {
    FedCard& fed = cards_.emplace_back(std::move(source));
    fed.slot = options.slot + static_cast<int32_t>(cards_.size() - 1);
    fed.model = makeCardModel(options, fed.metered.channels);
    const CardAddress at{options.address, fed.slot, false};
    for (const auto& parameter : fed.model->parameters())
      group_.getTarget(at, *parameter);
    fed.card = host_->findCard(fed.slot, false, true);
    mostChannels = std::max(mostChannels, fed.metered.channels);
  }
  samples_.resize(kReadFrames * static_cast<size_t>(mostChannels));
}

void LmCardRun::announce() {
  for (const FedCard& fed : cards_)
    err_ << "lmcard: slot " << fed.slot << " of " << platform::addressText(options_.address)
         << " port " << kFramePort << ", metering " << fed.metered.source->describe() << " ("
         << fed.metered.rate << " Hz, " << fed.metered.channels << " channels)\n";
}

int LmCardRun::serve(const std::atomic<bool>& interrupted) {
  const SteadyClock::time_point start = SteadyClock::now();
  for (FedCard& fed : cards_)
    fed.anchor = start;
  while (!interrupted.load()) {
    const SteadyClock::time_point now = SteadyClock::now();
    for (FedCard& fed : cards_)
      if (!readDueAudio(fed, now)) return kExitSourceFailed;
    for (FedCard& fed : cards_)
      sendBlocks(fed);
    group_.poll(clock_.tick());
    reportListener();
    if (allEnded()) return finish();
    sleepUntilNextBlock();
  }
  return kExitDone;
}

// The frames of `fed`'s audio due by `now`.
uint64_t LmCardRun::dueFrames(FedCard& fed, SteadyClock::time_point now) {
  const int rate = fed.metered.rate;
  const uint64_t due = framesIn(now - fed.anchor, rate);
  if (due <= fed.fed + static_cast<uint64_t>(rate)) return due;
  // More than a second behind (the process was stopped): carry on from now, no burst.
  fed.anchor = now - timeOf(fed.fed, rate);
  return fed.fed;
}

// Meters the audio of `fed` due by `now` that its source has; false when a read failed.
bool LmCardRun::readDueAudio(FedCard& fed, SteadyClock::time_point now) {
  const uint64_t due = dueFrames(fed, now);
  MeteredSource& metered = fed.metered;
  AudioSource& source = *metered.source;
  while (fed.fed < due && !fed.ended) {
    const AudioRead got =
        source.read(samples_.data(), std::min<uint64_t>(due - fed.fed, kReadFrames));
    if (got.status == AudioReadStatus::kData) {
      metered.meter.feed(std::span<const float>(samples_.data(), got.frames * metered.channels),
                         fed.blocks);
      fed.fed += got.frames;
    } else if (got.status == AudioReadStatus::kNoData) {
      // A stalled stream: the audio that comes later is due from when it comes.
      fed.anchor = now - timeOf(fed.fed, metered.rate);
      break;
    } else if (got.status == AudioReadStatus::kFailed) {
      err_ << "lmcard: reading " << source.describe() << " failed: " << source.error() << "\n";
      return false;
    } else {
      fed.ended = true;
    }
  }
  return true;
}

// Sends a payload for every block the meter of `fed` completed.
void LmCardRun::sendBlocks(FedCard& fed) {
  for (const audio::AudioBlock& block : fed.blocks) {
    audio::PayloadHeader header{fed.sequence++, options_.dialnorm, std::nullopt};
    if (options_.timecode)
      header.timecode = audio::advanceTimecode(
          *options_.timecode,
          fed.blockStart * static_cast<uint64_t>(options_.fps) / fed.metered.rate, options_.fps);
    sendPayload(*fed.card, audio::encodeLoudnessPayload(block, header));
    fed.blockStart += static_cast<uint64_t>(block.frames);
    fed.nextBlock = block.index + 1;
  }
  fed.blocks.clear();
}

bool LmCardRun::allEnded() const {
  return std::all_of(cards_.begin(), cards_.end(), [](const FedCard& fed) { return fed.ended; });
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

// Every source has ended: lets the last payloads leave and says why the run ends.
int LmCardRun::finish() {
  // Give the last payloads a moment to leave.
  std::this_thread::sleep_for(kMaxWait);
  group_.poll(clock_.tick());
  if (options_.fromStdin) {
    err_ << "lmcard: standard input ended\n";
    return kExitSourceFailed;
  }
  for (const FedCard& fed : cards_)
    err_ << "lmcard: end of " << fed.metered.source->describe() << "\n";
  return kExitDone;
}

// Sleeps until the next block of any card is complete, but at most kMaxWait.
void LmCardRun::sleepUntilNextBlock() const {
  SteadyClock::time_point wake = SteadyClock::now() + kMaxWait;
  for (const FedCard& fed : cards_)
    if (!fed.ended)
      wake = std::min(
          wake, fed.anchor + timeOf(blockEnd(fed.nextBlock, fed.metered.rate), fed.metered.rate));
  std::this_thread::sleep_until(wake);
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
      options.files.push_back(values[0]);
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
  if (options.files.empty() == !options.fromStdin)
    return refuse("one kind of source is needed: --file PATH or --stdin RATE CHANNELS");
  if (options.loop && options.files.empty()) return refuse("--loop needs --file");
  if (options.slot + static_cast<int64_t>(options.files.size()) - 1 > kMaxSlot)
    return refuse("--file: one card per file on the slots from --slot up, the last at most " +
                  std::to_string(kMaxSlot));
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
         "  SOURCE: --file PATH [--file PATH...] [--loop] | --stdin RATE CHANNELS (16-bit\n"
         "          little-endian PCM); each file is a card of its own, on slot N and up\n";
}

int runLmCard(const LmCardOptions& options, std::ostream& err,
              const std::atomic<bool>& interrupted) {
  std::vector<MeteredSource> sources;
  if (options.fromStdin) {
    std::optional<MeteredSource> metered = openMeteredSource(options, nullptr, err);
    if (!metered) return kExitSourceFailed;
    sources.push_back(std::move(*metered));
  }
  for (const std::string& file : options.files) {
    std::optional<MeteredSource> metered = openMeteredSource(options, &file, err);
    if (!metered) return kExitSourceFailed;
    sources.push_back(std::move(*metered));
  }
  LmCardRun run(options, err, std::move(sources));
  run.announce();
  return run.serve(interrupted);
}

}  // namespace qelm
