#include "config/line_reader.h"

#include <algorithm>
#include <cstring>

namespace qelm {
namespace {

// Large reads keep the per-byte cost of a multi-megabyte configuration low; the 119-byte pieces
// are cut from this buffer.
constexpr std::size_t kInputChunk = 64 * 1024;

// Length of the whitespace code point at line[pos] (0 when it is not whitespace): bytes 9..13
// and 32, and U+FEFF (EF BB BF). Scanning bytes instead of code points finds exactly the same
// characters: none of these bytes, nor EF, can be a continuation byte of a longer sequence, and a
// sequence is cut at the first byte that is not a continuation.
std::size_t spaceLength(const char* line, std::size_t pos, std::size_t end) {
  const auto byte = static_cast<unsigned char>(line[pos]);
  if (byte == ' ' || (byte >= 9 && byte <= 13)) return 1;
  if (byte == 0xEF && end - pos >= 3 && static_cast<unsigned char>(line[pos + 1]) == 0xBB &&
      static_cast<unsigned char>(line[pos + 2]) == 0xBF)
    return 3;
  return 0;
}

bool endsWithSpace(const char* line, std::size_t end, std::size_t& length) {
  if (end == 0) return false;
  const auto last = static_cast<unsigned char>(line[end - 1]);
  if (last == ' ' || (last >= 9 && last <= 13)) {
    length = 1;
    return true;
  }
  if (end >= 3 && std::memcmp(line + end - 3, "\xEF\xBB\xBF", 3) == 0) {
    length = 3;
    return true;
  }
  return false;
}

}  // namespace

bool LineReader::open(const std::string& path) {
  close();
  path_ = path;
  lineNumber_ = 0;
  history_.clear();
  tokenLine_ = 0;
  previousLine_ = 0;
  file_.reset(std::fopen(path.c_str(), "r"));
  if (!file_) return false;
  input_.assign(kInputChunk, '\0');
  return true;
}

void LineReader::close() {
  file_.reset();
  std::vector<char>().swap(input_);
  inputPos_ = 0;
  inputEnd_ = 0;
  inputFailed_ = false;
  lineEnd_ = 0;
  cursor_ = 0;
  needLine_ = true;
  atEnd_ = false;
}

void LineReader::raise(LineReaderError code, const char* what) const {
  throw LineReaderException(code,
                            std::string(what) + " at " + path_ + ":" + std::to_string(lineNumber_));
}

bool LineReader::readPiece() {
  std::size_t length = 0;
  bool lineDone = false;
  while (length < kMaxPiece && !lineDone) {
    if (inputPos_ == inputEnd_) {
      if (!file_ || inputFailed_) break;
      inputPos_ = 0;
      inputEnd_ = std::fread(input_.data(), 1, input_.size(), file_.get());
      if (inputEnd_ == 0) {
        inputFailed_ = std::ferror(file_.get()) != 0;
        break;
      }
    }
    const char* start = input_.data() + inputPos_;
    const std::size_t want = std::min(kMaxPiece - length, inputEnd_ - inputPos_);
    const void* newline = std::memchr(start, '\n', want);
    const std::size_t take =
        newline != nullptr ? static_cast<std::size_t>(static_cast<const char*>(newline) - start) + 1
                           : want;
    std::memcpy(line_.data() + length, start, take);
    length += take;
    inputPos_ += take;
    lineDone = newline != nullptr;
  }
  if (length == 0) return false;
  // A NUL ends the text of the piece: a token holding one could not survive the binary form,
  // whose strings end at a zero byte.
  const void* nul = std::memchr(line_.data(), '\0', length);
  lineEnd_ = nul != nullptr ? static_cast<std::size_t>(static_cast<const char*>(nul) -
                                                       static_cast<const char*>(line_.data()))
                            : length;
  line_[lineEnd_] = '\0';
  return true;
}

void LineReader::fetchLine() {
  for (;;) {
    if (atEnd_) raise(LineReaderError::kEndOfFile, "end of file");
    if (!readPiece()) {
      if (inputFailed_ || !file_) raise(LineReaderError::kReadError, "read error");
      atEnd_ = true;
      // The end of input sits on a line of its own, so the last real line counts as consumed.
      if (keepHistory_) history_.emplace_back(lineNumber_ + 1, std::string());
      noteTokenLine(lineNumber_ + 1);
      raise(LineReaderError::kEndOfFile, "end of file");
    }
    ++lineNumber_;

    std::size_t trailing = 0;
    while (endsWithSpace(line_.data(), lineEnd_, trailing))
      lineEnd_ -= trailing;
    if (keepHistory_) history_.emplace_back(lineNumber_, std::string(line_.data(), lineEnd_));

    cursor_ = 0;
    while (cursor_ < lineEnd_) {
      const std::size_t space = spaceLength(line_.data(), cursor_, lineEnd_);
      if (space == 0) break;
      cursor_ += space;
    }
    // Cut the comment and check the quotes before any token of the line is handed out, so an
    // unpaired quote stops reading whatever token was sought.
    bool inQuotes = false;
    for (std::size_t i = cursor_; i < lineEnd_; ++i) {
      if (line_[i] == '"') {
        inQuotes = !inQuotes;
      } else if (line_[i] == '#' && !inQuotes) {
        lineEnd_ = i;
        break;
      }
    }
    if (inQuotes) raise(LineReaderError::kMismatchedQuotes, "mismatched double quotes");
    if (cursor_ < lineEnd_) {
      needLine_ = false;
      return;
    }
  }
}

void LineReader::noteTokenLine(int64_t line) {
  if (line == tokenLine_) return;
  previousLine_ = tokenLine_;
  tokenLine_ = line;
}

std::string LineReader::next() {
  ScanState state = ScanState::kBetween;
  std::size_t start = 0;
  for (;;) {
    switch (state) {
      case ScanState::kBetween: {
        if (needLine_ || cursor_ >= lineEnd_) {
          needLine_ = true;
          fetchLine();
        }
        const std::size_t space = spaceLength(line_.data(), cursor_, lineEnd_);
        if (space != 0) {
          cursor_ += space;
          break;
        }
        noteTokenLine(lineNumber_);
        if (line_[cursor_] == '"') {
          start = ++cursor_;
          state = ScanState::kQuoted;
        } else {
          start = cursor_;
          state = ScanState::kBare;
        }
        break;
      }
      case ScanState::kBare: {
        while (cursor_ < lineEnd_ && spaceLength(line_.data(), cursor_, lineEnd_) == 0)
          ++cursor_;
        return std::string(line_.data() + start, cursor_ - start);
      }
      case ScanState::kQuoted: {
        const void* close = std::memchr(line_.data() + start, '"', lineEnd_ - start);
        // The line's quotes pair up, but a quote inside a bare token still counts for that check
        // (`a"b "c`), so a quoted token can lack its closing quote.
        if (close == nullptr) raise(LineReaderError::kMismatchedQuotes, "mismatched double quotes");
        cursor_ = static_cast<std::size_t>(static_cast<const char*>(close) - line_.data());
        std::string token(line_.data() + start, cursor_ - start);
        ++cursor_;
        return token;
      }
      default:
        state = ScanState::kBetween;
        break;
    }
  }
}

bool LineReader::writeConsumedLines(const std::string& path, bool append) {
  platform::File out(std::fopen(path.c_str(), append ? "a" : "w"));
  if (!out) return false;
  const bool written = writeConsumedLines(out.get());
  return std::fclose(out.release()) == 0 && written;
}

bool LineReader::writeConsumedLines(std::FILE* out) {
  bool ok = true;
  while (!history_.empty()) {
    const auto& [number, text] = history_.front();
    if (previousLine_ != 0 && number > previousLine_) break;
    if (std::fwrite(text.data(), 1, text.size(), out) != text.size() ||
        std::fputc('\n', out) == EOF)
      ok = false;
    history_.pop_front();
  }
  previousLine_ = 0;
  return ok;
}

}  // namespace qelm
