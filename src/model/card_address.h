#pragma once

#include <compare>
#include <cstdint>
#include <string>

namespace qelm {

/// One card: the frame's IPv4 address, the card's slot in it, and whether the card's secondary
/// channels are meant. Ordered by address, then slot, then flag (primary before secondary).
struct CardAddress {
  /// Frame IPv4 address, first octet in the most significant byte.
  uint32_t address = 0;
  /// Slot number in the frame.
  int32_t slot = 0;
  /// True for the card's secondary channels.
  bool secondaryChannels = false;

  /// Dotted address, a space and the slot in brackets: "10.0.0.5 [3]".
  std::string text() const;

  /// Address, then slot, then flag.
  friend auto operator<=>(const CardAddress&, const CardAddress&) = default;
  /// All three fields equal.
  friend bool operator==(const CardAddress&, const CardAddress&) = default;
};

}  // namespace qelm
