#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "platform/stdio_file.h"

namespace qelm {

/// Why the line reader stopped; the numbers are part of the reader's contract.
enum class LineReaderError : int32_t {
  kEndOfFile = 0,
  kMismatchedQuotes = 1,
  kReadError = 2,
};

/// Raised by `LineReader::next`: the reason and "<reason> at <path>:<line>".
class LineReaderException : public std::runtime_error {
 public:
  /// `message` is the full text, location included.
  LineReaderException(LineReaderError code, const std::string& message)
      : std::runtime_error(message), code_(code) {}
  /// Why reading stopped.
  LineReaderError code() const { return code_; }

 private:
  LineReaderError code_;
};

/// Turns a UTF-8 configuration text file into raw tokens: handles comments ("#"), double quotes
/// and line numbers. Physical lines are read in pieces of at most 119 bytes, each counted as a
/// line of its own.
class LineReader {
 public:
  /// Longest piece of a physical line taken at once, in bytes.
  static constexpr std::size_t kMaxPiece = 119;

  /// A reader with no file; `open` starts reading.
  LineReader() = default;
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  /// Closes any open file and opens `path`; false when it cannot be opened.
  bool open(const std::string& path);
  /// Closes the file and forgets the line state; the path and line number stay readable.
  void close();

  /// Keeps copies of the lines read for `writeConsumedLines` (export only; off by default so an
  /// ordinary load holds no more than one line).
  void keepHistory(bool keep) { keepHistory_ = keep; }

  /// The next raw token (quotes removed; may be empty for ""). Throws LineReaderException at end
  /// of file, on an unpaired double quote and on a read error; every further call throws again.
  std::string next();

  /// Lines read so far; 0 before the first line.
  int64_t lineNumber() const { return lineNumber_; }
  /// The path as passed to `open`.
  const std::string& path() const { return path_; }

  /// Writes (truncating, or appending when `append`) every kept line up to the line of the token
  /// before the current token's line, each followed by "\n", and forgets them. False when the
  /// file cannot be opened or written.
  bool writeConsumedLines(const std::string& path, bool append);
  /// The same lines written to `out`, which stays open; false when a write fails.
  bool writeConsumedLines(std::FILE* out);

 private:
  enum class ScanState : int32_t {
    kBetween = 0,
    kBare = 1,
    kQuoted = 2,
  };

  bool readPiece();
  void fetchLine();
  void noteTokenLine(int64_t line);
  [[noreturn]] void raise(LineReaderError code, const char* what) const;

  platform::File file_;
  std::string path_;
  int64_t lineNumber_ = 0;

  // Bytes read from the file and not yet split into pieces.
  std::vector<char> input_;
  std::size_t inputPos_ = 0;
  std::size_t inputEnd_ = 0;
  bool inputFailed_ = false;

  // The current piece: line_[cursor_, lineEnd_) is still to be scanned.
  std::array<char, kMaxPiece + 1> line_{};
  std::size_t lineEnd_ = 0;
  std::size_t cursor_ = 0;
  bool needLine_ = true;
  bool atEnd_ = false;

  bool keepHistory_ = false;
  // Kept lines with their numbers, oldest first; the end-of-input line is numbered one past the
  // last line.
  std::deque<std::pair<int64_t, std::string>> history_;
  int64_t tokenLine_ = 0;     // line of the most recent token; 0 = none yet
  int64_t previousLine_ = 0;  // line of the token before tokenLine_; 0 = none
};

}  // namespace qelm
