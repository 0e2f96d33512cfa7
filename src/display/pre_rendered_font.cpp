#include "display/pre_rendered_font.h"

#include <cstdio>

#include "display/glyph_row.h"
#include "platform/stdio_file.h"
#include "text/text.h"

namespace qelm {

namespace {

constexpr std::size_t kHeaderSize = 24;
constexpr std::size_t kGlyphDescriptorSize = 8;
constexpr std::size_t kLineDescriptorSize = 4;
constexpr std::size_t kKerningEntrySize = 4;
constexpr uint64_t kMaxTableBytes = 0x100000;
// The longest file whose every byte the loader can use: the header, 255 glyph records of 255
// line descriptors each, and the largest tables. Reading stops there, so a huge file costs no
// more memory than a valid one.
constexpr std::size_t kMaxUsefulFileBytes =
    kHeaderSize + 255 * (kGlyphDescriptorSize + 255 * kLineDescriptorSize) + kMaxTableBytes;

uint32_t bigEndian(const uint8_t* p, int size) {
  uint32_t value = 0;
  for (int i = 0; i < size; ++i)
    value = value << 8 | p[i];
  return value;
}

// Consumes the file's bytes front to back; running short fails with the given text.
class Cursor {
 public:
  Cursor(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  const uint8_t* take(std::size_t count, const char* failure) {
    if (size_ - offset_ < count) throw FontException(failure);
    const uint8_t* at = data_ + offset_;
    offset_ += count;
    return at;
  }

 private:
  const uint8_t* data_;
  std::size_t size_;
  std::size_t offset_ = 0;
};

}  // namespace

const uint8_t* PreRenderedGlyph::row(int32_t k) const {
  const int64_t index = int64_t{k} - firstRow_;
  if (index < 0 || index >= static_cast<int64_t>(rowOffsets_.size())) return nullptr;
  const int32_t offset = rowOffsets_[static_cast<std::size_t>(index)];
  return offset < 0 ? nullptr : font_.lineTable().data() + offset;
}

void PreRenderedFont::clear() {
  glyphs_.clear();
  kerning_.clear();
  lineTable_.clear();
  metricA_ = metricB_ = 0;
  height_ = firstCode_ = codeCount_ = 0;
}

bool PreRenderedFont::load(const std::string& path) {
  clear();
  std::vector<uint8_t> bytes;
  {
    const platform::File file(std::fopen(path.c_str(), "rb"));
    if (!file) {
      lastError_ = "cannot open file";
      return false;
    }
    bytes.resize(kMaxUsefulFileBytes);
    bytes.resize(std::fread(bytes.data(), 1, bytes.size(), file.get()));
  }
  return loadFromBytes(bytes.data(), bytes.size());
}

bool PreRenderedFont::loadFromBytes(const uint8_t* data, std::size_t size) {
  clear();
  try {
    parse(data, size);
  } catch (const FontException& error) {
    clear();
    lastError_ = error.what();
    return false;
  }
  lastError_.clear();
  return true;
}

void PreRenderedFont::parse(const uint8_t* data, std::size_t size) {
  Cursor in(data, size);
  const uint8_t* header = in.take(kHeaderSize, "failed to read header");
  if (header[0] != 'F' || header[1] != 'N') throw FontException("bad header magic number");
  // Unsigned, so that no size can be negative and slip under the limit.
  const uint32_t glyphTableSize = bigEndian(header + 12, 4);
  const uint32_t lineTableSize = bigEndian(header + 16, 4);
  const uint32_t kerningTableSize = bigEndian(header + 20, 4);
  if (uint64_t{glyphTableSize} + lineTableSize + kerningTableSize > kMaxTableBytes)
    throw FontException("table size information appears corrupt");
  if (glyphTableSize % 4 != 0 || kerningTableSize % 4 != 0)
    throw FontException("glyph or kerning table not multiple of 4 bytes");

  height_ = header[3];
  firstCode_ = header[5];
  const int32_t lastCode = header[6];
  codeCount_ = lastCode >= firstCode_ ? lastCode - firstCode_ + 1 : 0;
  metricA_ = header[10];
  metricB_ = header[11];
  glyphs_.resize(static_cast<std::size_t>(codeCount_));

  for (int record = 0; record < header[4]; ++record) {
    const uint8_t* d = in.take(kGlyphDescriptorSize, "error reading glyph descriptor");
    if (d[0] != 'G' || d[4] != 'L') throw FontException("glyph descriptor magic number is bad");
    const int32_t code = d[1];
    const int32_t slot = code - firstCode_;
    if (slot < 0 || slot >= codeCount_ || glyphs_[static_cast<std::size_t>(slot)])
      throw FontException(formattedText("illegal or duplicate glyph (0x%02x)", code));

    int32_t firstRow = 0;
    int32_t previousRow = 0;
    std::vector<int32_t> offsets;
    for (int i = 0; i < d[3]; ++i) {
      const uint8_t* line = in.take(kLineDescriptorSize, "error reading line descriptor");
      const int32_t rowNumber = line[0];
      if (i == 0) {
        firstRow = rowNumber;
      } else {
        for (int32_t skipped = previousRow + 1; skipped < rowNumber; ++skipped)
          offsets.push_back(-1);
      }
      offsets.push_back(static_cast<int32_t>(bigEndian(line + 1, 3)));
      previousRow = rowNumber;
    }
    glyphs_[static_cast<std::size_t>(slot)] =
        std::make_unique<PreRenderedGlyph>(*this, static_cast<int8_t>(d[5]), d[6],
                                           static_cast<int8_t>(d[7]), firstRow, std::move(offsets));
  }

  const uint8_t* lines = in.take(lineTableSize, "error reading line table");
  lineTable_.assign(lines, lines + lineTableSize);
  // Every row a glyph names must start inside the table and end there with 0xFF, or drawing
  // would read past the table. Offsets are checked before any pointer is formed from them.
  for (const auto& glyph : glyphs_) {
    if (!glyph) continue;
    for (const int32_t offset : glyph->rowOffsets()) {
      if (offset < 0) continue;
      const std::size_t start = static_cast<std::size_t>(offset);
      if (start >= lineTable_.size() ||
          encodedRowLength(lineTable_.data() + start, lineTable_.size() - start) == 0)
        throw FontException("error reading line table");
    }
  }

  if (kerningTableSize > 0) {
    kerning_.assign(static_cast<std::size_t>(codeCount_) * codeCount_, 0);
    for (uint32_t i = 0; i < kerningTableSize / kKerningEntrySize; ++i) {
      const uint8_t* entry = in.take(kKerningEntrySize, "error reading kerning entry");
      const int32_t left = entry[0] - firstCode_;
      const int32_t right = entry[1] - firstCode_;
      if (left < 0 || left >= codeCount_ || right < 0 || right >= codeCount_)
        throw FontException("invalid character code in kerning entry");
      kerning_[static_cast<std::size_t>(left) * codeCount_ + right] = static_cast<int8_t>(entry[2]);
    }
  }
}

const PreRenderedGlyph* PreRenderedFont::glyph(int32_t code) const {
  const int32_t slot = code - firstCode_;
  if (slot < 0 || slot >= codeCount_) return nullptr;
  return glyphs_[static_cast<std::size_t>(slot)].get();
}

int32_t PreRenderedFont::kerning(int32_t left, int32_t right) const {
  if (kerning_.empty()) return 0;
  const int32_t l = left - firstCode_;
  const int32_t r = right - firstCode_;
  if (l < 0 || l >= codeCount_ || r < 0 || r >= codeCount_) return 0;
  return kerning_[static_cast<std::size_t>(l) * codeCount_ + r];
}

void PreRenderedFont::layout(std::string_view text, std::vector<GlyphPlacement>& placements) {
  const std::size_t start = placements.size();
  int32_t previousCode = -1;
  for (const char c : text) {
    const int32_t code = static_cast<uint8_t>(c);
    const PreRenderedGlyph* g = glyph(code);
    if (!g) continue;
    // The spacing after a glyph is only known once the next glyph is: kerning between the two
    // and the next glyph's lead are added then. Bytes without a glyph in between are skipped.
    if (placements.size() > start)
      placements.back().spacing += kerning(previousCode, code) + g->lead();
    placements.push_back({g, g->trail()});
    previousCode = code;
  }
}

}  // namespace qelm
