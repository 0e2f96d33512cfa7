#pragma once

#include <atomic>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "audio/lm_payload_encoder.h"

namespace qelm {

/// OID of the loudness payload a loudness card sends.
inline constexpr uint16_t kLoudnessPayloadOid = 3420;
/// OID the panel sets about once a second to keep a loudness card sending (Choice, 1 = send).
inline constexpr uint16_t kLoudnessRequestOid = 3410;
/// OID of the payload format the card sends (Int, read-only, `audio::kLoudnessPayloadFormat`);
/// the panel keeps it watched with the request and the channel sources.
inline constexpr uint16_t kLoudnessFormatOid = 3411;
/// OID of the first of eight channel source names (text), channels L .. Aux R.
inline constexpr uint16_t kChannelSourceOid = 3412;
/// Longest channel source name, in bytes.
inline constexpr int kMaxSourceNameLength = 63;

/// The command line of `qelm-engine lmcard`.
struct LmCardOptions {
  /// --address A: the simulated frame's IPv4 address, first octet most significant.
  uint32_t address = 0;
  /// --slot N: the card's slot, 0..239; the first card's when there are several.
  int32_t slot = 1;
  /// --file PATH, repeatable: the sound files to play, one card each, on the slots from `slot`
  /// up, as the loudness cards of one frame. Their payloads leave together, a block at a time.
  std::vector<std::string> files;
  /// --loop: start each file again at its end.
  bool loop = false;
  /// --stdin RATE CHANNELS: 16-bit little-endian PCM from `inputFd` at RATE Hz.
  bool fromStdin = false;
  int stdinRate = 0;
  int stdinChannels = 0;
  /// --dialnorm DB: -31..-1 dB; none when absent.
  std::optional<int> dialnorm;
  /// --timecode HH:MM:SS:FF: timecode of the first block, running on with the audio.
  std::optional<audio::Timecode> timecode;
  /// --fps N: frames per second of the timecode, 1..30.
  int fps = 25;
  /// --source-names "A,B,...": channel source names, channel L first; the rest keep the
  /// channel's own name (empty for channels the source does not have).
  std::vector<std::string> sourceNames;
  /// Descriptor read for --stdin (0; tests give a pipe).
  int inputFd = 0;
};

/// Result of reading the lmcard command line: the options, or why they were refused.
struct ParsedLmCardOptions {
  std::optional<LmCardOptions> options;
  std::string error;  ///< empty when `options` is set
};

/// Reads the arguments after "lmcard", as "--name VALUE" or "--name=VALUE".
ParsedLmCardOptions parseLmCardOptions(const std::vector<std::string>& args);

/// The usage text of the lmcard command.
std::string lmCardUsage();

/// Serves the loudness cards (one per file, or one for standard input) on port 5253 of the
/// options' address, each sending a payload on OID 3420 for every 100 ms of its audio, paced by
/// the wall clock, until `interrupted` is set or every file (not looping) has ended. Messages go
/// to `err`. Returns 0, or 2 when a source cannot be read, has a rate or channel count the meter
/// refuses, or a stream ends.
int runLmCard(const LmCardOptions& options, std::ostream& err,
              const std::atomic<bool>& interrupted);

}  // namespace qelm
