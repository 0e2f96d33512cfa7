#include "display/pre_rendered_font.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "display/glyph_row.h"
#include "display_test_support.h"

namespace qelm {
namespace {

using Bytes = std::vector<uint8_t>;
using Picture = std::vector<std::string>;

void putBigEndian(Bytes& out, uint32_t value, int size) {
  for (int i = size - 1; i >= 0; --i)
    out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// A font file made field by field, so each test can break exactly one thing.
struct FontFile {
  struct Line {
    uint8_t row;
    uint32_t offset;
  };
  struct GlyphRecord {
    uint8_t code;
    int8_t lead;
    uint8_t width;
    int8_t trail;
    std::vector<Line> lines;
    uint8_t magicG = 'G';
    uint8_t magicL = 'L';
  };

  uint8_t height = 4;
  uint8_t first = 'A';
  uint8_t last = 'D';
  uint8_t metricA = 11;
  uint8_t metricB = 12;
  std::optional<uint8_t> recordCount;
  std::optional<uint32_t> glyphTableSize;
  std::optional<uint32_t> lineTableSize;
  std::optional<uint32_t> kerningTableSize;
  std::vector<GlyphRecord> glyphs;
  Bytes lineTable;
  std::vector<std::array<uint8_t, 4>> kerning;

  Bytes bytes() const {
    Bytes records;
    for (const GlyphRecord& g : glyphs) {
      records.insert(records.end(),
                     {g.magicG, g.code, 0, static_cast<uint8_t>(g.lines.size()), g.magicL,
                      static_cast<uint8_t>(g.lead), g.width, static_cast<uint8_t>(g.trail)});
      for (const Line& line : g.lines) {
        records.push_back(line.row);
        putBigEndian(records, line.offset, 3);
      }
    }
    Bytes file = {
        'F',     'N',    0, height, recordCount.value_or(static_cast<uint8_t>(glyphs.size())),
        first,   last,   0, 0,      0,
        metricA, metricB};
    putBigEndian(file, glyphTableSize.value_or(static_cast<uint32_t>(records.size())), 4);
    putBigEndian(file, lineTableSize.value_or(static_cast<uint32_t>(lineTable.size())), 4);
    putBigEndian(file, kerningTableSize.value_or(static_cast<uint32_t>(4 * kerning.size())), 4);
    file.insert(file.end(), records.begin(), records.end());
    file.insert(file.end(), lineTable.begin(), lineTable.end());
    for (const auto& entry : kerning)
      file.insert(file.end(), entry.begin(), entry.end());
    return file;
  }
};

// "A": two inked rows sharing nothing; "B": rows 2 and 5 only; "C": no rows (a space).
FontFile sampleFont() {
  FontFile f;
  f.lineTable = {0x0F, 0x08, kRowEnd, 0x1F, 0x02, kRowEnd};
  f.glyphs = {
      {'A', 1, 2, 1, {{0, 0}, {1, 3}}}, {'B', 0, 2, 0, {{2, 3}, {5, 0}}}, {'C', 0, 3, 0, {}}};
  return f;
}

class PreRenderedFontTest : public ::testing::Test {
 protected:
  bool load(const FontFile& file) {
    const Bytes bytes = file.bytes();
    return font_.loadFromBytes(bytes.data(), bytes.size());
  }
  std::vector<GlyphPlacement> layout(std::string_view text) {
    std::vector<GlyphPlacement> placements;
    font_.layout(text, placements);
    return placements;
  }
  PreRenderedFont font_;
};

TEST_F(PreRenderedFontTest, LoadsHeaderGlyphsAndRows) {
  ASSERT_TRUE(load(sampleFont())) << font_.lastError();
  EXPECT_EQ(font_.height(), 4);
  EXPECT_EQ(font_.firstCode(), 'A');
  EXPECT_EQ(font_.codeCount(), 4);
  EXPECT_EQ(font_.metricA(), 11);
  EXPECT_EQ(font_.metricB(), 12);
  const PreRenderedGlyph* a = font_.glyph('A');
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->lead(), 1);
  EXPECT_EQ(a->width(), 2);
  EXPECT_EQ(a->trail(), 1);
  EXPECT_EQ(decodeGlyphRow(a->row(0)), (Bytes{15, 8}));
  EXPECT_EQ(decodeGlyphRow(a->row(1)), (Bytes{15, 15}));
  EXPECT_EQ(a->row(2), nullptr);
  EXPECT_EQ(font_.glyph('D'), nullptr);
}

TEST_F(PreRenderedFontTest, RowsNoDescriptorNamesAreBlank) {
  ASSERT_TRUE(load(sampleFont()));
  const PreRenderedGlyph* b = font_.glyph('B');
  EXPECT_EQ(b->firstRow(), 2);
  EXPECT_EQ(b->rowCount(), 4);
  for (int32_t k : {-1, 0, 1, 3, 4, 6, 7})
    EXPECT_EQ(b->row(k), nullptr) << k;
  // Rows may share line-table bytes.
  EXPECT_EQ(b->row(2), font_.glyph('A')->row(1));
  EXPECT_EQ(b->row(5), font_.glyph('A')->row(0));
}

TEST_F(PreRenderedFontTest, FontWithoutGlyphsLaysOutNothing) {
  FontFile f;
  ASSERT_TRUE(load(f)) << font_.lastError();
  EXPECT_TRUE(layout("ABCD").empty());
  // With the last code below the first there are no slots at all.
  f.first = 'D';
  f.last = 'A';
  ASSERT_TRUE(load(f));
  EXPECT_EQ(font_.codeCount(), 0);
  f.kerning = {{'A', 'A', 1, 0}};
  EXPECT_FALSE(load(f));
  EXPECT_EQ(font_.lastError(), "invalid character code in kerning entry");
}

TEST_F(PreRenderedFontTest, LayoutFoldsTrailKerningAndNextLeadIntoTheSpacing) {
  FontFile f = sampleFont();
  f.kerning = {{'A', 'B', 0xFE, 0}, {'B', 'A', 5, 0}, {'B', 'A', 3, 0}};
  f.glyphs[1].lead = 2;
  ASSERT_TRUE(load(f)) << font_.lastError();
  // "x" and "Z" have no glyph: skipped, and kerning applies across them.
  const auto placements = layout("AxBZA");
  ASSERT_EQ(placements.size(), 3u);
  EXPECT_EQ(placements[0].glyph, font_.glyph('A'));
  EXPECT_EQ(placements[0].spacing, 1 - 2 + 2);  // trail, kerning 0xFE, lead of "B"
  EXPECT_EQ(placements[1].spacing, 0 + 3 + 1);  // the later kerning entry wins
  EXPECT_EQ(placements[2].spacing, 1);          // the last keeps its trail
  EXPECT_EQ(textWidth(placements), 1 + (2 + 1) + (2 + 4) + (2 + 1));
}

TEST_F(PreRenderedFontTest, EveryDamagedFileIsRefusedWithItsMessage) {
  struct Case {
    const char* what;
    std::function<Bytes()> file;
    const char* message;
  };
  auto changed = [](std::function<void(FontFile&)> change) {
    return [change] {
      FontFile f = sampleFont();
      change(f);
      return f.bytes();
    };
  };
  auto cut = [](std::size_t size) {
    return [size] {
      Bytes bytes = sampleFont().bytes();
      bytes.resize(size);
      return bytes;
    };
  };
  const std::size_t recordsEnd = 24 + 8 + 2 * 4 + 8 + 2 * 4 + 8;
  const std::vector<Case> cases = {
      {"short header", cut(23), "failed to read header"},
      {"bad magic",
       [] {
         Bytes b = sampleFont().bytes();
         b[1] = 'X';
         return b;
       },
       "bad header magic number"},
      {"tables over 1 MiB", changed([](FontFile& f) { f.lineTableSize = 0x100000; }),
       "table size information appears corrupt"},
      {"size negative as signed", changed([](FontFile& f) {
         f.glyphTableSize = 0xFFFFFFF0u;
         f.kerningTableSize = 0x20;
       }),
       "table size information appears corrupt"},
      {"glyph table size", changed([](FontFile& f) { f.glyphTableSize = 6; }),
       "glyph or kerning table not multiple of 4 bytes"},
      {"kerning table size", changed([](FontFile& f) { f.kerningTableSize = 3; }),
       "glyph or kerning table not multiple of 4 bytes"},
      {"truncated line descriptor", cut(24 + 8 + 6), "error reading line descriptor"},
      {"missing glyph record", changed([](FontFile& f) { f.recordCount = 4; }),
       "error reading glyph descriptor"},
      {"truncated glyph record", cut(24 + 16 + 5), "error reading glyph descriptor"},
      {"descriptor magic", changed([](FontFile& f) { f.glyphs[2].magicL = 'X'; }),
       "glyph descriptor magic number is bad"},
      {"duplicate glyph", changed([](FontFile& f) { f.glyphs[2].code = 'A'; }),
       "illegal or duplicate glyph (0x41)"},
      {"glyph outside the codes", changed([](FontFile& f) { f.glyphs[2].code = 'Z'; }),
       "illegal or duplicate glyph (0x5a)"},
      {"short line table", cut(recordsEnd + 5), "error reading line table"},
      {"no line table at all", changed([](FontFile& f) { f.lineTable.clear(); }),
       "error reading line table"},
      {"offset past the table", changed([](FontFile& f) { f.glyphs[0].lines[1].offset = 6; }),
       "error reading line table"},
      {"row without end", changed([](FontFile& f) { f.lineTable[5] = 0x0F; }),
       "error reading line table"},
      {"end taken as a run count", changed([](FontFile& f) {
         f.lineTable = {0x0F, 0x08, kRowEnd, 0x1F, kRowEnd};
       }),
       "error reading line table"},
      {"short kerning table", changed([](FontFile& f) {
         f.kerning = {{'A', 'B', 1, 0}};
         f.kerningTableSize = 8;
       }),
       "error reading kerning entry"},
      {"kerning code", changed([](FontFile& f) {
         f.kerning = {{'A', 'Z', 1, 0}};
       }),
       "invalid character code in kerning entry"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes bytes = c.file();
    EXPECT_FALSE(font_.loadFromBytes(bytes.data(), bytes.size()));
    EXPECT_EQ(font_.lastError(), c.message);
  }
}

TEST_F(PreRenderedFontTest, FailedLoadLeavesNothingOfTheEarlierFont) {
  ASSERT_TRUE(load(sampleFont()));
  FontFile broken = sampleFont();
  broken.glyphs[2].code = 'A';
  EXPECT_FALSE(load(broken));
  EXPECT_EQ(font_.height(), 0);
  EXPECT_EQ(font_.glyph('A'), nullptr);
  EXPECT_TRUE(layout("ABC").empty());
}

TEST_F(PreRenderedFontTest, MissingFileCannotBeOpened) {
  EXPECT_FALSE(font_.load("/nonexistent/MarvexIcons16x16.fnt"));
  EXPECT_EQ(font_.lastError(), "cannot open file");
}

TEST_F(PreRenderedFontTest, InstalledIconFontHoldsTheIconsTheScreensDraw) {
  ASSERT_TRUE(font_.load(QELM_PROGRAM_DIR "fonts/MarvexIcons16x16.fnt")) << font_.lastError();
  EXPECT_EQ(font_.height(), 16);
  for (char code : {'A', 'B'}) {
    const PreRenderedGlyph* g = font_.glyph(code);
    ASSERT_NE(g, nullptr) << code;
    // The item's icon box is 18 pixels wide.
    EXPECT_LE(g->lead() + g->width() + g->trail(), 18) << code;
    EXPECT_GT(g->width(), 0) << code;
  }
}

class PreRenderedFontDrawingTest : public ::testing::Test, public testing::RasterFixture {
 protected:
  void SetUp() override {
    fillPalette(ColorTheme::kLight);
    FontFile f;
    f.height = 1;
    f.lineTable = {0x1F, 3, kRowEnd, 0x00, 0x0F, 0x00, kRowEnd};
    f.glyphs = {{'A', 0, 3, 1, {{0, 0}}}, {'B', 0, 3, 0, {{0, 3}}}, {'C', 1, 2, 1, {}}};
    f.kerning = {{'A', 'B', 0xFE, 0}};
    auto font = std::make_unique<PreRenderedFont>();
    const Bytes bytes = f.bytes();
    ASSERT_TRUE(font->loadFromBytes(bytes.data(), bytes.size())) << font->lastError();
    fonts_.add(4, std::move(font));
  }
};

TEST_F(PreRenderedFontDrawingTest, KerningPullsTheRightGlyphOverTheLeftOne) {
  // Trail 1 and kerning -2 give spacing -1: "B"'s first column (background) lies over "A"'s
  // last and is not written; its ink follows.
  left_.drawText(nullptr, "AB", 4, false, 1, 0, Rect{0, 0, 8, 1});
  EXPECT_EQ(picture(0, 0, 9, 1), Picture{"KKKKWWWW."});
}

TEST_F(PreRenderedFontDrawingTest, GlyphWithoutRowsIsBlankSpace) {
  left_.drawText(nullptr, "ACA", 4, false, 1, 0, Rect{0, 0, 12, 1});
  // "A", its trail and the lead of "C", the two blank columns of "C" and its trail, "A" again.
  EXPECT_EQ(picture(0, 0, 13, 1), Picture{"KKKWWWWWKKKW."});
}

}  // namespace
}  // namespace qelm
