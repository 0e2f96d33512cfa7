#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "display/font.h"

namespace qelm {

class PreRenderedFont;

/// A glyph of a pre-rendered font; its rows point into the font's line table.
class PreRenderedGlyph final : public Glyph {
 public:
  /// `rowOffsets[i]`: offset in the line table of row firstRow + i, or -1 when blank.
  PreRenderedGlyph(const PreRenderedFont& font, int32_t lead, int32_t width, int32_t trail,
                   int32_t firstRow, std::vector<int32_t> rowOffsets)
      : Glyph(lead, width, trail),
        font_(font),
        firstRow_(firstRow),
        rowOffsets_(std::move(rowOffsets)) {}

  /// Row `k` from the line table; nullptr outside firstRow..firstRow + rowCount - 1 or blank.
  const uint8_t* row(int32_t k) const override;
  /// Row number of the first line descriptor, 0 without descriptors.
  int32_t firstRow() const { return firstRow_; }
  /// Rows from firstRow on that the glyph describes (blank ones included).
  int32_t rowCount() const { return static_cast<int32_t>(rowOffsets_.size()); }
  /// Line-table offset of each described row, -1 for a blank one.
  const std::vector<int32_t>& rowOffsets() const { return rowOffsets_; }

 private:
  const PreRenderedFont& font_;
  int32_t firstRow_;
  std::vector<int32_t> rowOffsets_;
};

/// A font read from a ".fnt" file of pre-rendered glyph rows with an optional kerning table
/// (the icon font). Bytes of a text are character codes.
class PreRenderedFont final : public OFont {
 public:
  PreRenderedFont() = default;

  /// Replaces the font with the file's; false (font left empty) on any failure, whose text
  /// lastError() keeps.
  bool load(const std::string& path);
  /// The same from bytes in memory.
  bool loadFromBytes(const uint8_t* data, std::size_t size);
  /// Text of the FontException that failed the last load; empty after a success.
  const std::string& lastError() const { return lastError_; }

  /// Header byte 3; 0 for an empty font.
  int32_t height() const override { return height_; }
  /// One placement per byte that has a glyph; spacing = trail + kerning with the next glyph
  /// byte + that glyph's lead.
  void layout(std::string_view text, std::vector<GlyphPlacement>& placements) override;

  /// Character code of glyph slot 0.
  int32_t firstCode() const { return firstCode_; }
  /// Number of glyph slots (last code - first code + 1; 0 when last < first).
  int32_t codeCount() const { return codeCount_; }
  /// The glyph of `code`, or nullptr.
  const PreRenderedGlyph* glyph(int32_t code) const;
  /// Kerning in pixels between two codes; 0 without a table or outside the codes.
  int32_t kerning(int32_t left, int32_t right) const;
  /// Header byte 10, kept and unused.
  uint8_t metricA() const { return metricA_; }
  /// Header byte 11, kept and unused.
  uint8_t metricB() const { return metricB_; }
  /// The encoded rows of all glyphs.
  const std::vector<uint8_t>& lineTable() const { return lineTable_; }

 private:
  void clear();
  void parse(const uint8_t* data, std::size_t size);

  std::vector<uint8_t> lineTable_;
  uint8_t metricA_ = 0;
  uint8_t metricB_ = 0;
  int32_t height_ = 0;
  int32_t firstCode_ = 0;
  int32_t codeCount_ = 0;
  std::vector<std::unique_ptr<PreRenderedGlyph>> glyphs_;
  std::vector<int8_t> kerning_;  // codeCount x codeCount, empty without a kerning table
  std::string lastError_;
};

}  // namespace qelm
