// Builds the icon font file from its pixel-art source (icons.txt):
//   icon_font SOURCE OUTPUT
// The file holds a 24-byte header, one glyph record per glyph (an 8-byte descriptor and a 4-byte
// line descriptor per inked row), the line table of encoded rows, and the kerning table. Rows
// are encoded left to right as runs of equal level (0x10 + level, count) or single columns (the
// level byte), each ending with 0xFF; identical rows are stored once.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr uint64_t kMaxTableBytes = 0x100000;

struct IconGlyph {
  int code = 0;
  int lead = 0;
  int trail = 0;
  int line = 0;                              // source line of "glyph", for messages
  std::vector<std::vector<uint8_t>> levels;  // one entry per row, one level per column
};

struct Kerning {
  int left = 0;
  int right = 0;
  int adjust = 0;
};

struct IconSource {
  int height = 0;
  int metricA = 0;
  int metricB = 0;
  std::vector<IconGlyph> glyphs;
  std::vector<Kerning> kerning;
};

class SourceError {
 public:
  SourceError(int line, std::string message) : line_(line), message_(std::move(message)) {}
  int line() const { return line_; }
  const std::string& message() const { return message_; }

 private:
  int line_;
  std::string message_;
};

std::optional<int> parseCode(const std::string& word) {
  if (word.size() == 1) return static_cast<unsigned char>(word[0]);
  if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
    try {
      std::size_t used = 0;
      const int value = std::stoi(word.substr(2), &used, 16);
      if (used == word.size() - 2 && value >= 0 && value <= 255) return value;
    } catch (const std::exception&) {
    }
  }
  return std::nullopt;
}

int parseNumber(const std::string& word, int line, int low, int high) {
  try {
    std::size_t used = 0;
    const int value = std::stoi(word, &used, 10);
    if (used == word.size() && value >= low && value <= high) return value;
  } catch (const std::exception&) {
  }
  throw SourceError(line, "expected a number from " + std::to_string(low) + " to " +
                              std::to_string(high) + ", found \"" + word + "\"");
}

std::optional<uint8_t> pixelLevel(char c) {
  if (c == '.') return 0;
  if (c == '#') return 15;
  if (c >= '1' && c <= '9') return static_cast<uint8_t>(c - '0');
  if (c >= 'a' && c <= 'e') return static_cast<uint8_t>(c - 'a' + 10);
  return std::nullopt;
}

std::string withoutComment(const std::string& line) {
  std::string text = line.substr(0, line.find('#'));
  while (!text.empty() && (text.back() == ' ' || text.back() == '\r' || text.back() == '\t'))
    text.pop_back();
  return text;
}

IconSource readSource(std::istream& in) {
  IconSource source;
  std::string raw;
  int lineNumber = 0;
  IconGlyph* open = nullptr;
  while (std::getline(in, raw)) {
    ++lineNumber;
    if (open) {
      // Inside a glyph "#" is ink, so only "end" and the art rows are expected.
      std::string row = raw;
      while (!row.empty() && (row.back() == '\r' || row.back() == ' '))
        row.pop_back();
      if (row == "end") {
        if (static_cast<int>(open->levels.size()) != source.height)
          throw SourceError(lineNumber, "glyph has " + std::to_string(open->levels.size()) +
                                            " rows, the font is " + std::to_string(source.height) +
                                            " high");
        open = nullptr;
        continue;
      }
      std::vector<uint8_t> levels;
      for (char c : row) {
        const std::optional<uint8_t> level = pixelLevel(c);
        if (!level) throw SourceError(lineNumber, std::string("bad pixel '") + c + "'");
        levels.push_back(*level);
      }
      if (levels.empty() || levels.size() > 255)
        throw SourceError(lineNumber, "a row holds 1 to 255 pixels");
      if (!open->levels.empty() && levels.size() != open->levels.front().size())
        throw SourceError(lineNumber, "rows of a glyph must be equally wide");
      if (static_cast<int>(open->levels.size()) == source.height)
        throw SourceError(lineNumber, "too many rows (missing \"end\"?)");
      open->levels.push_back(std::move(levels));
      continue;
    }

    std::istringstream words(withoutComment(raw));
    std::string keyword;
    if (!(words >> keyword)) continue;
    std::vector<std::string> args;
    for (std::string word; words >> word;)
      args.push_back(word);

    if (keyword == "height" && args.size() == 1) {
      source.height = parseNumber(args[0], lineNumber, 1, 255);
    } else if (keyword == "metrics" && args.size() == 2) {
      source.metricA = parseNumber(args[0], lineNumber, 0, 255);
      source.metricB = parseNumber(args[1], lineNumber, 0, 255);
    } else if (keyword == "glyph" && !args.empty() && args.size() % 2 == 1) {
      if (source.height == 0) throw SourceError(lineNumber, "\"height\" must come first");
      const std::optional<int> code = parseCode(args[0]);
      if (!code) throw SourceError(lineNumber, "bad character code \"" + args[0] + "\"");
      for (const IconGlyph& other : source.glyphs)
        if (other.code == *code) throw SourceError(lineNumber, "glyph \"" + args[0] + "\" twice");
      IconGlyph glyph;
      glyph.code = *code;
      glyph.line = lineNumber;
      for (std::size_t i = 1; i < args.size(); i += 2) {
        if (args[i] == "lead") {
          glyph.lead = parseNumber(args[i + 1], lineNumber, -128, 127);
        } else if (args[i] == "trail") {
          glyph.trail = parseNumber(args[i + 1], lineNumber, -128, 127);
        } else {
          throw SourceError(lineNumber, "unknown glyph option \"" + args[i] + "\"");
        }
      }
      if (source.glyphs.size() == 255) throw SourceError(lineNumber, "more than 255 glyphs");
      source.glyphs.push_back(std::move(glyph));
      open = &source.glyphs.back();
    } else if (keyword == "kern" && args.size() == 3) {
      const std::optional<int> left = parseCode(args[0]);
      const std::optional<int> right = parseCode(args[1]);
      if (!left || !right) throw SourceError(lineNumber, "bad character code in \"kern\"");
      source.kerning.push_back({*left, *right, parseNumber(args[2], lineNumber, -128, 127)});
    } else {
      throw SourceError(lineNumber, "cannot read \"" + withoutComment(raw) + "\"");
    }
  }
  if (open) throw SourceError(open->line, "glyph without \"end\"");
  if (source.height == 0) throw SourceError(lineNumber, "no \"height\"");
  return source;
}

// Moves blank columns at the sides of the art into lead and trail, so the stored glyph is only
// as wide as its ink.
void trimBlankColumns(IconGlyph& glyph) {
  const std::size_t width = glyph.levels.front().size();
  auto blankColumn = [&](std::size_t x) {
    return std::all_of(glyph.levels.begin(), glyph.levels.end(),
                       [&](const auto& row) { return row[x] == 0; });
  };
  std::size_t left = 0;
  while (left < width && blankColumn(left))
    ++left;
  if (left == width) return;  // a blank glyph keeps its width as a space
  std::size_t right = width;
  while (blankColumn(right - 1))
    --right;
  glyph.lead = std::clamp<int>(glyph.lead + static_cast<int>(left), -128, 127);
  glyph.trail = std::clamp<int>(glyph.trail + static_cast<int>(width - right), -128, 127);
  for (auto& row : glyph.levels)
    row = std::vector<uint8_t>(row.begin() + static_cast<long>(left),
                               row.begin() + static_cast<long>(right));
}

std::vector<uint8_t> encodeRow(const std::vector<uint8_t>& levels) {
  std::vector<uint8_t> out;
  for (std::size_t i = 0; i < levels.size();) {
    std::size_t run = 1;
    while (i + run < levels.size() && levels[i + run] == levels[i])
      ++run;
    for (std::size_t left = run; left > 0;) {
      const std::size_t part = std::min<std::size_t>(left, 255);
      if (part == 1) {
        out.push_back(levels[i]);
      } else {
        out.push_back(static_cast<uint8_t>(0x10 | levels[i]));
        out.push_back(static_cast<uint8_t>(part));
      }
      left -= part;
    }
    i += run;
  }
  out.push_back(0xFF);
  return out;
}

void putBigEndian(std::vector<uint8_t>& out, uint32_t value, int size) {
  for (int i = size - 1; i >= 0; --i)
    out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

std::vector<uint8_t> buildFont(IconSource& source) {
  if (source.glyphs.empty()) throw SourceError(0, "no glyphs");
  std::sort(source.glyphs.begin(), source.glyphs.end(),
            [](const IconGlyph& a, const IconGlyph& b) { return a.code < b.code; });
  const int first = source.glyphs.front().code;
  const int last = source.glyphs.back().code;

  std::vector<uint8_t> records;
  std::vector<uint8_t> lineTable;
  std::map<std::vector<uint8_t>, uint32_t> rowOffsets;
  for (IconGlyph& glyph : source.glyphs) {
    trimBlankColumns(glyph);
    std::vector<std::pair<int, uint32_t>> lines;
    for (int y = 0; y < source.height; ++y) {
      const auto& levels = glyph.levels[static_cast<std::size_t>(y)];
      if (std::all_of(levels.begin(), levels.end(), [](uint8_t l) { return l == 0; })) continue;
      const std::vector<uint8_t> row = encodeRow(levels);
      auto [it, added] = rowOffsets.emplace(row, static_cast<uint32_t>(lineTable.size()));
      if (added) lineTable.insert(lineTable.end(), row.begin(), row.end());
      lines.push_back({y, it->second});
    }
    records.insert(records.end(),
                   {'G', static_cast<uint8_t>(glyph.code), 0, static_cast<uint8_t>(lines.size()),
                    'L', static_cast<uint8_t>(static_cast<int8_t>(glyph.lead)),
                    static_cast<uint8_t>(glyph.levels.front().size()),
                    static_cast<uint8_t>(static_cast<int8_t>(glyph.trail))});
    for (const auto& [y, offset] : lines) {
      records.push_back(static_cast<uint8_t>(y));
      putBigEndian(records, offset, 3);
    }
  }

  std::vector<uint8_t> kerning;
  for (const Kerning& k : source.kerning) {
    if (k.left < first || k.left > last || k.right < first || k.right > last)
      throw SourceError(0, "kerning between codes the font does not hold");
    kerning.insert(kerning.end(), {static_cast<uint8_t>(k.left), static_cast<uint8_t>(k.right),
                                   static_cast<uint8_t>(static_cast<int8_t>(k.adjust)), 0});
  }
  if (uint64_t{records.size()} + lineTable.size() + kerning.size() > kMaxTableBytes)
    throw SourceError(0, "the font's tables exceed 1 MiB");

  std::vector<uint8_t> file = {'F',
                               'N',
                               0,
                               static_cast<uint8_t>(source.height),
                               static_cast<uint8_t>(source.glyphs.size()),
                               static_cast<uint8_t>(first),
                               static_cast<uint8_t>(last),
                               0,
                               0,
                               0,
                               static_cast<uint8_t>(source.metricA),
                               static_cast<uint8_t>(source.metricB)};
  putBigEndian(file, static_cast<uint32_t>(records.size()), 4);
  putBigEndian(file, static_cast<uint32_t>(lineTable.size()), 4);
  putBigEndian(file, static_cast<uint32_t>(kerning.size()), 4);
  file.insert(file.end(), records.begin(), records.end());
  file.insert(file.end(), lineTable.begin(), lineTable.end());
  file.insert(file.end(), kerning.begin(), kerning.end());
  return file;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: icon_font SOURCE OUTPUT\n";
    return 2;
  }
  std::ifstream in(argv[1]);
  if (!in) {
    std::cerr << argv[1] << ": cannot open\n";
    return 1;
  }
  std::vector<uint8_t> font;
  try {
    IconSource source = readSource(in);
    font = buildFont(source);
  } catch (const SourceError& error) {
    std::cerr << argv[1] << ":" << error.line() << ": " << error.message() << "\n";
    return 1;
  }
  // Written under a temporary name and renamed, so an interrupted build never leaves half a
  // font where the program looks for it.
  const std::string temporary = std::string(argv[2]) + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(font.data()),
              static_cast<std::streamsize>(font.size()));
    if (!out.flush()) {
      std::cerr << temporary << ": cannot write\n";
      return 1;
    }
  }
  if (std::rename(temporary.c_str(), argv[2]) != 0) {
    std::cerr << argv[2] << ": cannot replace\n";
    std::remove(temporary.c_str());
    return 1;
  }
  return 0;
}
