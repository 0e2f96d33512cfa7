#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qelm {

/// The text fonts' codes by what the screens use them for (the cell heights of the typeface
/// each is made at in parentheses).
namespace font {
inline constexpr int32_t kSmall = 0;    ///< (20) item names and values, error lines
inline constexpr int32_t kMedium = 1;   ///< (30)
inline constexpr int32_t kLarge = 2;    ///< (40) titles
inline constexpr int32_t kEntry = 3;    ///< (100) the value being entered
inline constexpr int32_t kReading = 5;  ///< (24) the loudness session's own reading
inline constexpr int32_t kSetting = 6;  ///< (14, taller glyphs) the loudness settings' values
inline constexpr int32_t kCompact = 7;  ///< (14) texts that do not fit font kSmall, loudness texts
inline constexpr int32_t kLabel = 8;    ///< (14) the loudness session's labels
inline constexpr int32_t kTiny = 41;    ///< (10) graph scales, small loudness labels
/// Every text font, in the order they are made at start-up (the icon font comes before 5).
inline constexpr int32_t kTextCodes[] = {0, 1, 2, 3, 5, 6, 7, 8, 41};
}  // namespace font

/// A font file or font creation error; what() is the text that start-up logs.
class FontException : public std::runtime_error {
 public:
  /// `message`: the text without a trailing period.
  explicit FontException(const std::string& message) : std::runtime_error(message) {}
};

/// A glyph's rows decoded to one level byte (0..15) per column, so that drawing copies columns
/// instead of decoding runs.
struct GlyphLevels {
  /// Columns of a blank row (a row the glyph has no encoded row for).
  static constexpr int32_t kBlankRow = -1;
  /// Where one row's levels start in `levels`, and its decoded columns (kBlankRow when blank).
  struct Row {
    uint32_t offset = 0;
    int32_t columns = kBlankRow;
  };
  /// Rows 0..height-1 of the font's line.
  int32_t height = 0;
  /// True when every inked row has exactly the glyph's width in columns, as a text font's
  /// glyphs do: the pen then moves alike over the glyph in every row.
  bool rowsAsWide = true;
  /// One entry per row, top first.
  std::vector<Row> rows;
  /// Inked rows one after the other, one byte per column: its level in the low nibble and the
  /// next column's level in the high nibble (0 after a row's last column), so that a drawing
  /// can look two columns up at once.
  std::vector<uint8_t> levels;
};

/// Most level bytes one glyph keeps decoded: a text font's glyph needs at most about a third of
/// it (code 3: 100 rows of at most 1.5 cell heights, 231 columns); a glyph above it (only a
/// hand-made or hostile font file) is drawn from its encoded rows instead.
inline constexpr std::size_t kMaxGlyphLevelBytes = 64 * 1024;
/// Most rows of a decoded glyph, for the same reason (a screen has 272).
inline constexpr int32_t kMaxGlyphLevelRows = 1024;

/// One character's picture: `width` pixel columns between `lead` and `trail` blank columns, and
/// one encoded row (see glyph_row.h) per row of the font's line.
class Glyph {
 public:
  Glyph() = default;
  /// Columns; lead and trail may be negative.
  Glyph(int32_t lead, int32_t width, int32_t trail) : lead_(lead), width_(width), trail_(trail) {}
  virtual ~Glyph();
  Glyph(const Glyph&) = delete;
  Glyph& operator=(const Glyph&) = delete;

  /// Encoded row `k` (0 = top row of the line), ending with 0xFF; nullptr when the row is blank
  /// or `k` lies outside the line.
  virtual const uint8_t* row(int32_t k) const = 0;

  /// Blank columns before the pixel columns; may be negative.
  int32_t lead() const { return lead_; }
  /// Number of pixel columns, 0 or more.
  int32_t width() const { return width_; }
  /// Blank columns after the pixel columns; may be negative.
  int32_t trail() const { return trail_; }

  /// Rows 0..`height`-1 decoded, built on the first call and kept with the glyph (engine thread
  /// only); nullptr when they would exceed kMaxGlyphLevelBytes or kMaxGlyphLevelRows.
  const GlyphLevels* levels(int32_t height) const {
    if (height != levelsHeight_) decodeLevels(height);
    return levels_.get();
  }

 protected:
  int32_t lead_ = 0;
  int32_t width_ = 0;
  int32_t trail_ = 0;

 private:
  void decodeLevels(int32_t height) const;

  // A cache of what row() describes: it changes no observable state of the glyph.
  mutable std::unique_ptr<GlyphLevels> levels_;
  mutable int32_t levelsHeight_ = -1;
};

/// One laid-out character: its glyph (owned by the font) and the blank columns to leave after
/// the glyph's pixel columns; a negative spacing makes the next glyph overlap this one.
struct GlyphPlacement {
  /// Owned by the font.
  const Glyph* glyph = nullptr;
  /// Blank columns after the glyph's pixel columns; negative overlaps the next glyph.
  int32_t spacing = 0;
};

/// Pixels: the first glyph's lead plus width + spacing over all placements; 0 for none.
int32_t textWidth(const std::vector<GlyphPlacement>& placements);

/// A font: a line height and a way to turn text into glyph placements.
class OFont {
 public:
  OFont() = default;
  virtual ~OFont() = default;
  OFont(const OFont&) = delete;
  OFont& operator=(const OFont&) = delete;

  /// Line height in pixels, which is also the number of rows of every glyph.
  virtual int32_t height() const = 0;
  /// Appends one placement per character of `text` that has a glyph, in text order. May render
  /// and cache glyphs, hence not const.
  virtual void layout(std::string_view text, std::vector<GlyphPlacement>& placements) = 0;
};

/// Fonts by code (0, 1, 2, 3, 5, 6, 7, 8, 41 text fonts; 4 the icon font), owned; built once at
/// start-up and shared by both windows.
class FontRegistry {
 public:
  /// Stores `font` under `code`, replacing (and destroying) any font held there.
  void add(int32_t code, std::unique_ptr<OFont> font);
  /// The font of `code`, or nullptr when none is registered.
  OFont* find(int32_t code) const;
  /// Number of registered fonts.
  std::size_t size() const { return fonts_.size(); }

 private:
  std::map<int32_t, std::unique_ptr<OFont>> fonts_;
};

}  // namespace qelm
