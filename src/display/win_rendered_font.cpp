#include "display/win_rendered_font.h"

#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_TRUETYPE_TABLES_H

#include <algorithm>
#include <climits>

#include "core/log.h"
#include "display/glyph_row.h"
#include "text/text.h"

namespace qelm {

namespace {

constexpr char32_t kGraveAccent = 0x60;
constexpr char32_t kDelta = 0x394;
constexpr uint8_t kLowCoverage = 25;    // 25 / 255 < 0.1 <= 26 / 255
constexpr uint8_t kHighCoverage = 230;  // 229 / 255 <= 0.9 < 230 / 255

// Coverage after clamping: fully off, fully on, or unchanged; pixels with equal clamped
// coverage share a run.
uint8_t clampedCoverage(uint8_t coverage) {
  if (coverage <= kLowCoverage) return 0;
  if (coverage >= kHighCoverage) return 255;
  return coverage;
}

// The code point drawn for one character: its first UTF-16 unit (surrogate pairs joined), with
// the grave accent standing for a delta.
char32_t drawnCodePoint(std::string_view character) {
  const std::u16string wide = utf8ToWide(character);
  if (wide.empty()) return 0xFFFD;
  char32_t unit = wide[0];
  if (unit >= 0xD800 && unit <= 0xDBFF && wide.size() > 1 && wide[1] >= 0xDC00 && wide[1] <= 0xDFFF)
    unit = 0x10000 + ((unit - 0xD800) << 10) + (wide[1] - 0xDC00);
  return unit == kGraveAccent ? kDelta : unit;
}

struct PatternDeleter {
  void operator()(FcPattern* pattern) const { FcPatternDestroy(pattern); }
};
using Pattern = std::unique_ptr<FcPattern, PatternDeleter>;
struct ConfigDeleter {
  void operator()(FcConfig* config) const { FcConfigDestroy(config); }
};
using Config = std::unique_ptr<FcConfig, ConfigDeleter>;

}  // namespace

// The typeface at one cell height: the cell's rows are 0..cellHeight-1 with the baseline at
// `ascent`, as a Windows font of that height lays a character out.
struct WinRenderedFont::Face {
  FT_Library library = nullptr;
  FT_Face face = nullptr;
  std::string file;
  int32_t cellHeight = 0;
  int32_t ascent = 0;

  Face() = default;
  Face(const Face&) = delete;
  Face& operator=(const Face&) = delete;
  ~Face() {
    if (face) FT_Done_Face(face);
    if (library) FT_Done_FreeType(library);
  }

  bool open(const std::string& path, int index) {
    file = path;
    return FT_Init_FreeType(&library) == 0 &&
           FT_New_Face(library, path.c_str(), index, &face) == 0 && FT_IS_SCALABLE(face);
  }

  // Windows sizes a font by its cell (ascent + descent, from the OS/2 table when the face has
  // one); the em is scaled so that the cell is `height` pixels.
  void setCellHeight(int32_t height) {
    int64_t ascender = face->ascender;
    int64_t descender = -int64_t{face->descender};
    if (const auto* os2 = static_cast<const TT_OS2*>(FT_Get_Sfnt_Table(face, FT_SFNT_OS2));
        os2 && os2->version != 0xFFFF && os2->usWinAscent + os2->usWinDescent > 0) {
      ascender = os2->usWinAscent;
      descender = os2->usWinDescent;
    }
    const int64_t units = std::max<int64_t>(ascender + descender, 1);
    const int64_t emPixels64 = (int64_t{height} * face->units_per_EM * 64 + units / 2) / units;
    FT_Set_Char_Size(face, 0, static_cast<FT_F26Dot6>(std::max<int64_t>(emPixels64, 1)), 72, 72);
    cellHeight = height;
    ascent = static_cast<int32_t>((ascender * height + units / 2) / units);
  }
};

Typeface findTextTypeface() {
  // A configuration of our own, destroyed after the lookup: fontconfig's implicit default one
  // is never released.
  Config config(FcInitLoadConfigAndFonts());
  Pattern pattern(FcNameParse(reinterpret_cast<const FcChar8*>(kTextTypeface)));
  if (!config || !pattern) return {};
  FcConfigSubstitute(config.get(), pattern.get(), FcMatchPattern);
  FcDefaultSubstitute(pattern.get());
  FcResult result = FcResultNoMatch;
  Pattern match(FcFontMatch(config.get(), pattern.get(), &result));
  FcChar8* path = nullptr;
  if (!match || FcPatternGetString(match.get(), FC_FILE, 0, &path) != FcResultMatch || !path)
    return {};
  Typeface typeface;
  typeface.file = reinterpret_cast<const char*>(path);
  if (FcPatternGetInteger(match.get(), FC_INDEX, 0, &typeface.index) != FcResultMatch)
    typeface.index = 0;
  return typeface;
}

const uint8_t* WinRenderedGlyph::row(int32_t k) const {
  if (k < 0 || k >= static_cast<int32_t>(rows_.size())) return nullptr;
  const std::vector<uint8_t>& bytes = rows_[static_cast<std::size_t>(k)];
  return bytes.empty() ? nullptr : bytes.data();
}

WinFontTarget winFontTarget(int32_t code) {
  switch (code) {
    case 0:
      return {0, 20, {"A", "9", "p"}, 30};
    case 1:
      return {1, 30, {"A", "9", "p"}, 42};
    case 2:
      return {2, 40, {"A", "9", "p"}, 55};
    case 3:
      return {3, 100, {"A", "9"}, 177};
    case 5:
      return {5, 24, {"A", "9"}, 45};
    case 6:
      return {6, 14, {"A", "9"}, 26};
    case 7:
      return {7, 14, {"A", "9", "p"}, 19};
    case 8:
      return {8, 14, {"A", "9", "p"}, 19};
    case 41:
      return {41, 10, {"A", "9", "p"}, 12};
    default:
      throw FontException(
          formattedText("Attempt to create WinRenderedFont with unsupported font code %d", code));
  }
}

uint8_t coverageLevel(uint8_t coverage) {
  const uint8_t clamped = clampedCoverage(coverage);
  return static_cast<uint8_t>(clamped * 15 / 255);
}

std::vector<uint8_t> encodeCoverageRow(std::span<const uint8_t> coverage) {
  std::vector<uint8_t> out;
  bool inked = false;
  for (std::size_t i = 0; i < coverage.size();) {
    const uint8_t value = clampedCoverage(coverage[i]);
    std::size_t run = 1;
    while (i + run < coverage.size() && clampedCoverage(coverage[i + run]) == value)
      ++run;
    const uint8_t level = coverageLevel(value);
    inked = inked || level != 0;
    // One count byte holds at most 255 columns; longer runs continue in further runs.
    for (std::size_t left = run; left > 0;) {
      const std::size_t part = std::min<std::size_t>(left, 255);
      if (part == 1) {
        out.push_back(level);
      } else {
        out.push_back(static_cast<uint8_t>(kRunMarker | level));
        out.push_back(static_cast<uint8_t>(part));
      }
      left -= part;
    }
    i += run;
  }
  if (!inked) return {};
  out.push_back(kRowEnd);
  return out;
}

std::size_t characterLength(std::string_view text) {
  if (text.empty()) return 0;
  const uint8_t lead = static_cast<uint8_t>(text[0]);
  std::size_t length = 1;
  if ((lead & 0xE0) == 0xC0) {
    length = 2;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4;
  } else if ((lead & 0xFC) == 0xF8) {
    length = 5;
  } else if ((lead & 0xFE) == 0xFC) {
    length = 6;
  }
  std::size_t used = 1;
  while (used < length && used < text.size() && (static_cast<uint8_t>(text[used]) & 0xC0) == 0x80)
    ++used;
  return used;
}

WinRenderedFont::WinRenderedFont(int32_t code, const Typeface& typeface)
    : target_(winFontTarget(code)), face_(std::make_unique<Face>()) {
  const Typeface chosen = typeface.file.empty() ? findTextTypeface() : typeface;
  if (chosen.file.empty())
    throw FontException(formattedText("No typeface found for font code %d", code));
  if (!face_->open(chosen.file, chosen.index))
    throw FontException(
        formattedText("Cannot load typeface \"%s\" for font code %d", chosen.file.c_str(), code));

  int32_t cell = target_.initialCellHeight;
  std::string_view topExtreme;
  std::string_view bottomExtreme;
  for (;;) {
    face_->setCellHeight(cell);
    int32_t top = INT_MAX;
    int32_t bottom = INT_MIN;
    for (std::string_view sample : target_.samples) {
      const std::unique_ptr<WinRenderedGlyph> trial = render(sample, 0, cell - 1);
      int32_t t = 0;
      while (t < trial->rowCount() && !trial->row(t))
        ++t;
      int32_t b = trial->rowCount() - 1;
      while (b >= 0 && !trial->row(b))
        --b;
      if (t < top) {
        top = t;
        topExtreme = sample;
      }
      if (b > bottom) {
        bottom = b;
        bottomExtreme = sample;
      }
    }
    // Samples without ink keep no rows at all; the rows used can never exceed the cell, so
    // the loop ends by the time the cell is no higher than the target.
    const int64_t used = bottom >= top ? int64_t{bottom} - top + 1 : 0;
    if (used > target_.targetHeight && cell > 1) {
      --cell;
      continue;
    }
    topRow_ = bottom >= top ? top : 0;
    bottomRow_ = bottom >= top ? bottom : -1;
    cellHeight_ = cell;
    break;
  }
  logMessage(kLogInfo,
             "With Windows cell height of %d, %d pixels (%d..%d) are used (extremes are \"%s\" "
             "and \"%s\")\r\n",
             cellHeight_, height(), topRow_, bottomRow_, std::string(topExtreme).c_str(),
             std::string(bottomExtreme).c_str());
}

WinRenderedFont::~WinRenderedFont() = default;

const std::string& WinRenderedFont::faceFile() const {
  return face_->file;
}

std::unique_ptr<WinRenderedGlyph> WinRenderedFont::render(std::string_view character,
                                                          int32_t firstRow, int32_t lastRow) const {
  const int32_t rowCount = std::max(lastRow - firstRow + 1, 0);
  std::vector<std::vector<uint8_t>> rows(static_cast<std::size_t>(rowCount));
  FT_Face face = face_->face;
  const char32_t codePoint = drawnCodePoint(character);
  const bool loaded = FT_Load_Char(face, codePoint, FT_LOAD_RENDER | FT_LOAD_TARGET_LIGHT) == 0 &&
                      face->glyph->bitmap.pixel_mode == FT_PIXEL_MODE_GRAY &&
                      face->glyph->bitmap.pitch >= static_cast<int>(face->glyph->bitmap.width);
  const int32_t advance = loaded ? static_cast<int32_t>((face->glyph->advance.x + 32) >> 6) : 0;
  const FT_Bitmap& bitmap = face->glyph->bitmap;
  // A character without ink (the space above all) is not drawn: it is as wide as its advance.
  if (!loaded || codePoint == U' ' || bitmap.width == 0 || bitmap.rows == 0)
    return std::make_unique<WinRenderedGlyph>(0, advance, 0, std::move(rows));

  // The character lies in a cell twice as wide as high with its origin a half cell in, its
  // baseline at the ascent; ink outside that cell is lost, as on a Windows memory bitmap.
  const int32_t cellWidth = 2 * face_->cellHeight;
  const int32_t originX = face_->cellHeight / 2;
  const int32_t left = originX + face->glyph->bitmap_left;
  const int32_t top = face_->ascent - face->glyph->bitmap_top;
  auto coverageAt = [&](int32_t x, int32_t y) -> uint8_t {
    if (x < 0 || x >= cellWidth || y < 0 || y >= face_->cellHeight) return 0;
    const int32_t bx = x - left;
    const int32_t by = y - top;
    if (bx < 0 || by < 0 || bx >= static_cast<int32_t>(bitmap.width) ||
        by >= static_cast<int32_t>(bitmap.rows))
      return 0;
    return bitmap.buffer[static_cast<std::ptrdiff_t>(by) * bitmap.pitch + bx];
  };

  int32_t leftmost = INT_MAX;
  int32_t rightmost = INT_MIN;
  for (int32_t y = firstRow; y <= lastRow; ++y) {
    for (int32_t x = left; x < left + static_cast<int32_t>(bitmap.width); ++x) {
      if (coverageAt(x, y) == 0) continue;
      leftmost = std::min(leftmost, x);
      rightmost = std::max(rightmost, x);
    }
  }
  if (leftmost > rightmost) {
    // All ink lies outside the kept rows: nothing to draw, the advance stays.
    const int32_t lead = face->glyph->bitmap_left;
    return std::make_unique<WinRenderedGlyph>(lead, 0, advance - lead, std::move(rows));
  }

  // Lead and trail are measured to the ink kept, so that a glyph whose ink the kept rows cut
  // (a descender in a font without descender rows) still sits where its letter belongs.
  const int32_t width = rightmost - leftmost + 1;
  const int32_t lead = leftmost - originX;
  const int32_t trail = advance - lead - width;
  std::vector<uint8_t> coverage(static_cast<std::size_t>(width));
  for (int32_t y = firstRow; y <= lastRow; ++y) {
    for (int32_t x = 0; x < width; ++x)
      coverage[static_cast<std::size_t>(x)] = coverageAt(leftmost + x, y);
    rows[static_cast<std::size_t>(y - firstRow)] = encodeCoverageRow(coverage);
  }
  return std::make_unique<WinRenderedGlyph>(lead, width, trail, std::move(rows));
}

const WinRenderedGlyph& WinRenderedFont::glyphFor(std::string_view character) {
  if (const auto it = cache_.find(character); it != cache_.end()) return *it->second;
  auto glyph = render(character, topRow_, bottomRow_);
  const WinRenderedGlyph& rendered = *glyph;
  cache_.emplace(std::string(character), std::move(glyph));
  return rendered;
}

void WinRenderedFont::layout(std::string_view text, std::vector<GlyphPlacement>& placements) {
  const std::size_t start = placements.size();
  // Texts come from cards too: one sending ever new byte sequences must not grow the cache for
  // as long as the panel runs. Earlier placements point into the cache, so it is dropped only
  // when the list is empty.
  if (start == 0 && cache_.size() >= kMaxCachedGlyphs) cache_.clear();
  while (!text.empty()) {
    const std::size_t length = characterLength(text);
    const WinRenderedGlyph& glyph = glyphFor(text.substr(0, length));
    if (placements.size() > start) placements.back().spacing += glyph.lead();
    placements.push_back({&glyph, glyph.trail()});
    text.remove_prefix(length);
  }
}

}  // namespace qelm
