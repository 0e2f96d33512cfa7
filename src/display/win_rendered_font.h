#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "display/font.h"

namespace qelm {

/// Typeface every text font asks for; fontconfig substitutes its closest match (normally its
/// default sans face) where it is not installed.
inline constexpr const char* kTextTypeface = "Malgun Gothic";

/// A typeface file and the index of the face inside it.
struct Typeface {
  /// Path of the font file; empty for "look it up".
  std::string file;
  /// Face inside a collection file; 0 for a single-face file.
  int index = 0;
};

/// fontconfig's match for kTextTypeface (its default sans face when that is not installed);
/// an empty file when fontconfig has none. Reads fontconfig's configuration afresh (some ms).
Typeface findTextTypeface();

/// A glyph rendered from the typeface: one encoded row per font row (empty = blank).
class WinRenderedGlyph final : public Glyph {
 public:
  /// `rows`: one entry per font row, top first; each empty or an encoded row ending in 0xFF.
  WinRenderedGlyph(int32_t lead, int32_t width, int32_t trail,
                   std::vector<std::vector<uint8_t>> rows)
      : Glyph(lead, width, trail), rows_(std::move(rows)) {}

  /// Row `k`, or nullptr when blank or outside 0..rowCount - 1.
  const uint8_t* row(int32_t k) const override;
  /// Rows the glyph was rendered over (the font's height).
  int32_t rowCount() const { return static_cast<int32_t>(rows_.size()); }

 private:
  std::vector<std::vector<uint8_t>> rows_;
};

/// The sizing target of one text font code.
struct WinFontTarget {
  /// Font code (0, 1, 2, 3, 5, 6, 7, 8 or 41).
  int32_t code = 0;
  /// Pixel rows the font may use.
  int32_t targetHeight = 0;
  /// Characters whose ink sets the rows kept ("p" keeps the descenders).
  std::vector<std::string_view> samples;
  /// Cell height in pixels the sizing starts from.
  int32_t initialCellHeight = 0;
};

/// The sizing target of `code`; throws FontException "Attempt to create WinRenderedFont with
/// unsupported font code <code>" for any other code (4 included).
WinFontTarget winFontTarget(int32_t code);

/// Level 0..15 of a coverage byte (0..255 = 0..1): below 0.1 is 0, above 0.9 is 15, else
/// coverage x 15 truncated (so 1..13).
uint8_t coverageLevel(uint8_t coverage);

/// Encoded row of coverage bytes, left to right: runs of equal clamped coverage, one pixel as
/// its level byte, longer runs as 0x10 + level and a count (split at 255), then 0xFF. Empty
/// when every pixel clamps to 0 (a blank row).
std::vector<uint8_t> encodeCoverageRow(std::span<const uint8_t> coverage);

/// A text font rendered with FreeType from fontconfig's match for kTextTypeface, sized so that
/// the rows its sample characters use fit the code's target height. Glyphs are rendered the
/// first time a character is laid out and kept, by the character's UTF-8 bytes.
class WinRenderedFont final : public OFont {
 public:
  /// Sizes the font for `code`, logging the chosen cell height. An empty `typeface` is looked
  /// up with findTextTypeface. Throws FontException for an unsupported code or when no
  /// typeface can be loaded.
  explicit WinRenderedFont(int32_t code, const Typeface& typeface = {});
  /// Releases the typeface and every cached glyph.
  ~WinRenderedFont() override;

  /// Rows kept: bottom row - top row + 1, at most the target height.
  int32_t height() const override { return bottomRow_ - topRow_ + 1; }
  /// Glyphs kept at most (one per distinct byte sequence); past it a layout into an empty list
  /// starts the cache afresh.
  static constexpr std::size_t kMaxCachedGlyphs = 1024;

  /// One placement per UTF-8 character; each character's lead is added to the previous
  /// placement's spacing; the spacing of the last is its trail.
  void layout(std::string_view text, std::vector<GlyphPlacement>& placements) override;

  /// The glyph of one character (its UTF-8 bytes), rendered and cached on first use.
  const WinRenderedGlyph& glyphFor(std::string_view character);

  /// The code the font was made for.
  int32_t code() const { return target_.code; }
  /// Pixel rows the font may use.
  int32_t targetHeight() const { return target_.targetHeight; }
  /// First row of the cell the glyphs keep.
  int32_t topRow() const { return topRow_; }
  /// Last row of the cell the glyphs keep.
  int32_t bottomRow() const { return bottomRow_; }
  /// Cell height in pixels finally chosen.
  int32_t cellHeight() const { return cellHeight_; }
  /// Characters rendered so far.
  std::size_t cachedGlyphCount() const { return cache_.size(); }
  /// Typeface file in use.
  const std::string& faceFile() const;

 private:
  struct Face;
  struct BytesHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view bytes) const {
      return std::hash<std::string_view>{}(bytes);
    }
  };

  std::unique_ptr<WinRenderedGlyph> render(std::string_view character, int32_t firstRow,
                                           int32_t lastRow) const;

  WinFontTarget target_;
  int32_t topRow_ = 0;
  int32_t bottomRow_ = -1;
  int32_t cellHeight_ = 0;
  std::unique_ptr<Face> face_;
  std::unordered_map<std::string, std::unique_ptr<WinRenderedGlyph>, BytesHash, std::equal_to<>>
      cache_;
};

/// Bytes of the first UTF-8 character of `text` as the text fonts split it (0 for an empty
/// text): a lead byte 110xxxxx to 1111110x announces 2 to 6 bytes, cut short at the first byte
/// that is not 10xxxxxx; any other byte is one character.
std::size_t characterLength(std::string_view text);

}  // namespace qelm
