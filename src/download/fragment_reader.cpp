#include "download/fragment_reader.h"

#include <algorithm>

namespace qelm {

namespace {

constexpr char kDeviceWord[] = "device";
constexpr size_t kDeviceWordLength = sizeof(kDeviceWord) - 1;

// The blanks a scanf white-space directive skips, less the line end, which ends the line.
bool isBlank(char byte) {
  return byte == ' ' || byte == '\t' || byte == '\v' || byte == '\f';
}

bool isDigit(char byte) {
  return byte >= '0' && byte <= '9';
}

// Past either limit the exact value no longer matters: it saturates.
constexpr int64_t kSaturation = int64_t{1} << 40;

}  // namespace

bool FragmentReader::feed(const char* data, size_t size) {
  if (overflowed_) return false;
  for (size_t i = 0; i < size; ++i) {
    const char byte = data[i];
    if (byte == '\r') continue;
    if (text_.size() >= maxBytes_) {
      overflowed_ = true;
      return false;
    }
    text_.push_back(byte);
    take(byte);
  }
  return true;
}

void FragmentReader::finish() {
  if (state_ == State::kDigits) endNumber();
  state_ = State::kLineStart;
}

void FragmentReader::take(char byte) {
  if (byte == '\n') {
    if (state_ == State::kDigits) endNumber();
    state_ = State::kLineStart;
    return;
  }
  switch (state_) {
    case State::kLineStart:
      wordMatched_ = 0;
      negative_ = false;
      number_ = 0;
      state_ = State::kWord;
      [[fallthrough]];
    case State::kWord:
      if (byte != kDeviceWord[wordMatched_]) {
        state_ = State::kRestOfLine;
      } else if (++wordMatched_ == kDeviceWordLength) {
        state_ = State::kBlanks;
      }
      break;
    case State::kBlanks:
      if (isBlank(byte)) break;
      if (byte == '-' || byte == '+') {
        negative_ = byte == '-';
        state_ = State::kSign;
      } else if (isDigit(byte)) {
        number_ = byte - '0';
        state_ = State::kDigits;
      } else {
        state_ = State::kRestOfLine;
      }
      break;
    case State::kSign:
      if (isDigit(byte)) {
        number_ = byte - '0';
        state_ = State::kDigits;
      } else {
        state_ = State::kRestOfLine;
      }
      break;
    case State::kDigits:
      if (isDigit(byte)) {
        number_ = std::min(number_ * 10 + (byte - '0'), kSaturation);
      } else {
        endNumber();
        state_ = State::kRestOfLine;
      }
      break;
    case State::kRestOfLine:
      break;
    default:
      state_ = State::kRestOfLine;
      break;
  }
}

void FragmentReader::endNumber() {
  const int64_t value =
      std::clamp<int64_t>(negative_ ? -number_ : number_, kMinDeviceNumber, kMaxDeviceNumber);
  const auto number = static_cast<int32_t>(value);
  last_ = number;
  lowest_ = lowest_ ? std::min(*lowest_, number) : number;
  ++deviceCount_;
}

}  // namespace qelm
