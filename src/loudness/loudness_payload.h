#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "model/link_status.h"

namespace qelm {

/// OIDs of the loudness parameters of a monitored card.
inline constexpr uint16_t kPayloadOid = 3420;
inline constexpr uint16_t kFeatureOid = 3410;
inline constexpr uint16_t kFirstSourceOid = 3412;
inline constexpr uint16_t kFirstWatchedOid = 3410;
inline constexpr uint16_t kLastWatchedOid = 3419;

/// Meter channels, and the channels that carry loudness powers (L, R, C, LFE, Ls, Rs).
inline constexpr int kMeterChannels = 8;
inline constexpr int kLoudnessChannels = 6;

/// Size of the current payload format in bytes.
inline constexpr size_t kCurrentPayloadSize = 224;
/// Size of the older format the simulator produces.
inline constexpr size_t kSimulatorPayloadSize = 112;

/// What a payload was taken for, as the session record keeps it.
enum class PayloadType : int32_t {
  kNone = 0,     ///< no payload yet
  kBad = 1,      ///< not recognised
  kOld = 2,      ///< an older format, refused
  kCurrent = 3,  ///< format 2, decoded
};

/// One decoded current payload, reduced to what the panel uses.
struct DecodedPayload {
  /// Message sequence number.
  uint32_t sequence = 0;
  /// "hh:mm:ss.ff", or empty when the payload carried no timecode.
  std::string timecode;
  /// Whether a dialnorm was given.
  bool dialnormPresent = false;
  /// Dialnorm in dB (negative for ordinary values); meaningful when present.
  float dialnorm = 0.0f;
  /// Channel meter levels in dBFS on the coarse grid; -1000 = no signal.
  std::array<float, kMeterChannels> meterDb{};
  /// True peak levels in dBFS on the coarse grid; -1000 = no signal.
  std::array<float, kMeterChannels> truePeakDb{};
  /// K-weighted mean-square powers of L, R, C, LFE, Ls, Rs; never negative or non-finite.
  std::array<double, kLoudnessChannels> powers{};
};

/// Sorts a payload: 76 or 104 bytes, or a format word of 1, is old; format 2 with exactly 224
/// bytes is current; anything else is bad.
PayloadType classifyPayload(std::span<const uint8_t> payload);

/// Decodes a current payload, reading the secondary channel blocks when `secondary`; nothing
/// when the payload is not current. Negative or non-finite powers read as 0.
std::optional<DecodedPayload> decodePayload(std::span<const uint8_t> payload, bool secondary);

/// The timecode text of the eight BCD bytes at offset 20; empty when all are zero.
std::string timecodeText(std::span<const uint8_t, 8> bytes);

/// Messages missing between sequence numbers `previous` (none before the first) and `current`:
/// 0 for the first, the next, a repeated or an earlier number (a card that restarted counting).
uint32_t droppedMessages(std::optional<uint32_t> previous, uint32_t current);

/// The monitor status for a card status: when the card is live (1), stays 1 while the last
/// accepted payload is recent, else 4 after a bad payload, 3 after an old one, 5 when the card
/// refused the feature request, 2 otherwise; any other card status passes unchanged.
LinkStatus monitorStatus(LinkStatus cardStatus, bool recentData, PayloadType lastType,
                         bool featureError);

/// Orders timecode texts bytewise over the shorter length, the shorter one first when equal
/// there: negative, 0 or positive like `strcmp`.
int compareTimecodes(const std::string& a, const std::string& b);

}  // namespace qelm
