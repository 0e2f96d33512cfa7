#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace qelm {

/// Reads one server's configuration fragment as it arrives, in pieces of any size: keeps every
/// byte but CR, and notes the numbers of the lines that begin "device N" (the word at the very
/// start, optional blanks, an optionally signed decimal number), however long the lines are.
class FragmentReader {
 public:
  /// Largest device number kept; larger numbers count as this, so one more still fits.
  static constexpr int32_t kMaxDeviceNumber = INT32_MAX - 1;
  /// Smallest device number kept; smaller numbers count as this.
  static constexpr int32_t kMinDeviceNumber = INT32_MIN;

  /// `maxBytes`: the most text kept; a fragment beyond it is refused.
  explicit FragmentReader(size_t maxBytes) : maxBytes_(maxBytes) {}

  /// Takes the next piece of the body. False once the kept text would pass `maxBytes`; the
  /// fragment is then incomplete and nothing more is taken.
  bool feed(const char* data, size_t size);
  /// Ends the body: a device line without a line end still counts.
  void finish();

  /// The body without its CR bytes (LF kept).
  const std::string& text() const { return text_; }
  /// Number of the last device line; none when there was none.
  std::optional<int32_t> lastDevice() const { return last_; }
  /// Lowest number of any device line; none when there was none.
  std::optional<int32_t> lowestDevice() const { return lowest_; }
  /// Device lines seen; 0 = none.
  size_t deviceCount() const { return deviceCount_; }
  /// Whether `maxBytes` was passed.
  bool overflowed() const { return overflowed_; }

 private:
  enum class State { kLineStart, kWord, kBlanks, kSign, kDigits, kRestOfLine };

  void take(char byte);
  void endNumber();

  size_t maxBytes_;
  std::string text_;
  State state_ = State::kLineStart;
  size_t wordMatched_ = 0;
  bool negative_ = false;
  int64_t number_ = 0;
  std::optional<int32_t> last_;
  std::optional<int32_t> lowest_;
  size_t deviceCount_ = 0;
  bool overflowed_ = false;
};

}  // namespace qelm
