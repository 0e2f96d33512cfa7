#pragma once

#include <cstdint>
#include <string>

namespace qelm {

/// Whether a value can be trusted, as targets, cards, connections and monitors report it.
enum class LinkStatus : int32_t {
  kUnused = 0,
  kLive = 1,                ///< connected; the value is live
  kNoData = 2,              ///< connected, no value yet or the last one is too old
  kOldLmFormat = 3,         ///< loudness data in an old format
  kBadLoudnessMessage = 4,  ///< unreadable loudness data
  kMissingFeature = 5,      ///< the card answered with a nonzero status
  kNoCardInSlot = 6,        ///< connection up, nothing heard from the slot
  kConnecting = 7,          ///< connecting for the first time
  kNoConnection1 = 8,       ///< no candidate link connected or connecting for the first time
  kNoConnection2 = 9,       ///< a link connecting again after a failure
  kNoConnection3 = 10,      ///< a link reconnected after a failure, nothing received yet
  kNoConnection4 = 11,      ///< a link failed, waiting to retry
  kInactive = 12,           ///< the host has no connection (nothing watched on it)
};

/// The text shown in place of a value for `status`: empty for 0, 1 and 7, "Unknown" for codes
/// outside the table.
std::string linkStatusName(LinkStatus status);

/// Whether a value with this status is live (1 or 7).
inline bool isLive(LinkStatus status) {
  return status == LinkStatus::kLive || status == LinkStatus::kConnecting;
}

}  // namespace qelm
