#include "display/win_rendered_font.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/log.h"
#include "display/font.h"
#include "display/font_setup.h"
#include "display/glyph_row.h"
#include "text/text.h"

namespace qelm {
namespace {

using Bytes = std::vector<uint8_t>;

// The rows of a glyph as levels, for comparing two glyphs.
std::vector<Bytes> levels(const Glyph& glyph, int32_t rows) {
  std::vector<Bytes> out;
  for (int32_t k = 0; k < rows; ++k)
    out.push_back(glyph.row(k) ? decodeGlyphRow(glyph.row(k)) : Bytes{});
  return out;
}

TEST(CoverageTest, ClampingLeavesLevelsZeroOneToThirteenAndFifteen) {
  EXPECT_EQ(coverageLevel(0), 0);
  EXPECT_EQ(coverageLevel(25), 0);  // below 0.1
  EXPECT_EQ(coverageLevel(26), 1);  // 26 / 255 x 15 = 1.53
  EXPECT_EQ(coverageLevel(34), 2);  // exactly 2, not 1.999
  EXPECT_EQ(coverageLevel(128), 7);
  EXPECT_EQ(coverageLevel(229), 13);  // 0.898
  EXPECT_EQ(coverageLevel(230), 15);  // above 0.9
  EXPECT_EQ(coverageLevel(255), 15);
}

TEST(CoverageTest, RowsAreRunsOfEqualClampedCoverage) {
  EXPECT_EQ(encodeCoverageRow(Bytes{0, 0, 255, 240, 231, 128, 26}),
            (Bytes{0x10, 2, 0x1F, 3, 7, 1, kRowEnd}));
  // Equal levels from different coverage are separate runs; both clamp ends join.
  EXPECT_EQ(encodeCoverageRow(Bytes{100, 101, 10, 20}), (Bytes{5, 5, 0x10, 2, kRowEnd}));
  EXPECT_TRUE(encodeCoverageRow(Bytes{0, 12, 25, 0}).empty());
  EXPECT_TRUE(encodeCoverageRow(Bytes{}).empty());
}

TEST(CoverageTest, RunsLongerThan255AreSplit) {
  EXPECT_EQ(encodeCoverageRow(Bytes(600, 255)), (Bytes{0x1F, 255, 0x1F, 255, 0x1F, 90, kRowEnd}));
  EXPECT_EQ(encodeCoverageRow(Bytes(256, 255)), (Bytes{0x1F, 255, 15, kRowEnd}));
  Bytes wide(300, 0);
  wide.push_back(255);
  const Bytes row = encodeCoverageRow(wide);
  EXPECT_EQ(row, (Bytes{0x10, 255, 0x10, 45, 15, kRowEnd}));
  EXPECT_EQ(decodeGlyphRow(row.data()).size(), 301u);
}

TEST(CharacterLengthTest, LeadBytesAnnounceUpToSixBytesCutAtANonContinuation) {
  EXPECT_EQ(characterLength(""), 0u);
  EXPECT_EQ(characterLength("Ab"), 1u);
  EXPECT_EQ(characterLength("\xC3\xA9x"), 2u);
  EXPECT_EQ(characterLength("\xE2\x82\xAC"), 3u);
  EXPECT_EQ(characterLength("\xF0\x9F\x98\x80"), 4u);
  EXPECT_EQ(characterLength("\xF8\x80\x80\x80\x80"), 5u);
  EXPECT_EQ(characterLength("\xFC\x80\x80\x80\x80\x80\x80"), 6u);
  EXPECT_EQ(characterLength("\xE2\x82"
                            "A"),
            2u);
  EXPECT_EQ(characterLength("\xC3"), 1u);
  EXPECT_EQ(characterLength("\x80\x80"), 1u);
  EXPECT_EQ(characterLength("\xFF\x80"), 1u);
}

TEST(WinFontTargetTest, UnsupportedCodesAreRefused) {
  for (int32_t code : {4, 9, -1, 42}) {
    try {
      winFontTarget(code);
      ADD_FAILURE() << code;
    } catch (const FontException& e) {
      EXPECT_EQ(
          std::string(e.what()),
          "Attempt to create WinRenderedFont with unsupported font code " + std::to_string(code));
    }
  }
  EXPECT_THROW(WinRenderedFont font(4), FontException);
}

// The fonts need a typeface; fontconfig finds its default sans face where the panel's own is
// not installed.
class WinRenderedFontTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    face_ = findTextTypeface();
    try {
      font0_ = std::make_unique<WinRenderedFont>(0, face_);
    } catch (const FontException& e) {
      skipReason_ = e.what();
    }
  }
  static void TearDownTestSuite() { font0_.reset(); }
  void SetUp() override {
    if (!font0_) GTEST_SKIP() << "no typeface: " << skipReason_;
  }

  static Typeface face_;
  static std::unique_ptr<WinRenderedFont> font0_;
  static std::string skipReason_;
};

Typeface WinRenderedFontTest::face_;
std::unique_ptr<WinRenderedFont> WinRenderedFontTest::font0_;
std::string WinRenderedFontTest::skipReason_;

TEST_F(WinRenderedFontTest, EveryCodeFitsItsTargetAndLogsItsSizing) {
  for (int32_t code : font::kTextCodes) {
    SCOPED_TRACE(code);
    WinRenderedFont font(code, face_);
    const WinFontTarget target = winFontTarget(code);
    EXPECT_GT(font.height(), 0);
    EXPECT_LE(font.height(), target.targetHeight);
    EXPECT_LE(font.cellHeight(), target.initialCellHeight);
    EXPECT_EQ(font.height(), font.bottomRow() - font.topRow() + 1);
    const std::string logged = messageText(messageCount() - 1);
    const std::string prefix = formattedText(
        "With Windows cell height of %d, %d pixels (%d..%d) are used (extremes are \"",
        font.cellHeight(), font.height(), font.topRow(), font.bottomRow());
    EXPECT_EQ(logged.rfind(prefix, 0), 0u) << logged;
  }
}

TEST_F(WinRenderedFontTest, FontsWithoutDescenderSamplesCutDescenders) {
  WinRenderedFont withDescenders(7, face_);
  WinRenderedFont withoutDescenders(6, face_);  // same 14-row target, samples "A" and "9" only
  // The descender of "p" lies below every row of "9", so the font without "p" keeps its
  // bottom row at the baseline and its glyph of "p" is cut there.
  const WinRenderedGlyph& p = withoutDescenders.glyphFor("p");
  const WinRenderedGlyph& nine = withoutDescenders.glyphFor("9");
  EXPECT_NE(p.row(p.rowCount() - 1), nullptr);
  EXPECT_NE(nine.row(nine.rowCount() - 1), nullptr);
  const WinRenderedGlyph& pFull = withDescenders.glyphFor("p");
  const WinRenderedGlyph& nineFull = withDescenders.glyphFor("9");
  EXPECT_EQ(nineFull.row(nineFull.rowCount() - 1), nullptr);
  EXPECT_NE(pFull.row(pFull.rowCount() - 1), nullptr);
}

TEST_F(WinRenderedFontTest, GraveAccentIsDrawnAsDelta) {
  const WinRenderedGlyph& grave = font0_->glyphFor("`");
  const WinRenderedGlyph& delta = font0_->glyphFor("\xCE\x94");
  EXPECT_NE(&grave, &delta);
  EXPECT_EQ(grave.lead(), delta.lead());
  EXPECT_EQ(grave.width(), delta.width());
  EXPECT_EQ(grave.trail(), delta.trail());
  EXPECT_EQ(levels(grave, font0_->height()), levels(delta, font0_->height()));
  EXPECT_GT(grave.width(), 0);
}

TEST_F(WinRenderedFontTest, SpaceIsABlankAdvance) {
  const WinRenderedGlyph& space = font0_->glyphFor(" ");
  EXPECT_EQ(space.lead(), 0);
  EXPECT_EQ(space.trail(), 0);
  EXPECT_GT(space.width(), 0);
  for (int32_t k = 0; k < font0_->height(); ++k)
    EXPECT_EQ(space.row(k), nullptr) << k;
}

TEST_F(WinRenderedFontTest, GlyphsAreCachedByTheirBytes) {
  const std::size_t before = font0_->cachedGlyphCount();
  const WinRenderedGlyph& a = font0_->glyphFor("Q");
  EXPECT_EQ(&font0_->glyphFor("Q"), &a);
  // Two different ill-formed sequences both draw U+FFFD, yet are two cache entries.
  const WinRenderedGlyph& bad1 = font0_->glyphFor("\xFF");
  const WinRenderedGlyph& bad2 = font0_->glyphFor("\xFE");
  EXPECT_NE(&bad1, &bad2);
  EXPECT_EQ(levels(bad1, font0_->height()), levels(bad2, font0_->height()));
  EXPECT_EQ(font0_->cachedGlyphCount(), before + 3);
}

// A card sending a new character in every value must not grow the cache for as long as the
// panel runs; what is drawn after the cache starts afresh is the same.
TEST_F(WinRenderedFontTest, TheCacheIsBoundedAndDrawsTheSameAfterStartingAfresh) {
  std::vector<GlyphPlacement> placements;
  font0_->layout("Q", placements);
  const int32_t width = textWidth(placements);
  const std::vector<Bytes> qLevels = levels(font0_->glyphFor("Q"), font0_->height());
  for (uint32_t n = 0; n < 3 * WinRenderedFont::kMaxCachedGlyphs; ++n) {
    // Three-byte sequences, each a different character.
    const char bytes[] = {static_cast<char>(0xE4 + (n >> 12)),
                          static_cast<char>(0x80 | ((n >> 6) & 0x3F)),
                          static_cast<char>(0x80 | (n & 0x3F)), 0};
    placements.clear();
    font0_->layout(bytes, placements);
    ASSERT_EQ(placements.size(), 1u);
    EXPECT_LE(font0_->cachedGlyphCount(), WinRenderedFont::kMaxCachedGlyphs);
  }
  placements.clear();
  font0_->layout("Q", placements);
  EXPECT_EQ(textWidth(placements), width);
  EXPECT_EQ(levels(font0_->glyphFor("Q"), font0_->height()), qLevels);

  // A layout appending to earlier placements keeps the glyphs they point to.
  placements.clear();
  font0_->layout("A", placements);
  const Glyph* first = placements[0].glyph;
  for (uint32_t n = 0; n < WinRenderedFont::kMaxCachedGlyphs; ++n) {
    const char bytes[] = {static_cast<char>(0xE8), static_cast<char>(0x80 | ((n >> 6) & 0x3F)),
                          static_cast<char>(0x80 | (n & 0x3F)), 0};
    font0_->layout(bytes, placements);
  }
  EXPECT_EQ(placements[0].glyph, first);
  EXPECT_EQ(first, &font0_->glyphFor("A"));
}

TEST_F(WinRenderedFontTest, LayoutGivesEveryCharacterAPlacement) {
  std::vector<GlyphPlacement> placements;
  font0_->layout("A\xC3V\xE2\x82\xAC", placements);
  ASSERT_EQ(placements.size(), 4u);
  const WinRenderedGlyph& a = font0_->glyphFor("A");
  const WinRenderedGlyph& cut = font0_->glyphFor("\xC3");
  EXPECT_EQ(placements[0].glyph, &a);
  EXPECT_EQ(placements[0].spacing, a.trail() + cut.lead());
  EXPECT_EQ(placements[3].glyph, &font0_->glyphFor("\xE2\x82\xAC"));
  EXPECT_EQ(placements[3].spacing, placements[3].glyph->trail());
}

TEST_F(WinRenderedFontTest, RowsDescribeExactlyTheGlyphWidth) {
  WinRenderedFont big(3, face_);
  for (const char* character : {"A", "g", "W", "%", "@", "\xC3\x89", "|"}) {
    for (WinRenderedFont* font : {font0_.get(), &big}) {
      const WinRenderedGlyph& glyph = font->glyphFor(character);
      EXPECT_EQ(glyph.rowCount(), font->height());
      for (int32_t k = 0; k < glyph.rowCount(); ++k) {
        if (!glyph.row(k)) continue;
        EXPECT_EQ(decodeGlyphRow(glyph.row(k)).size(), static_cast<std::size_t>(glyph.width()))
            << character << " row " << k;
      }
    }
  }
}

}  // namespace
}  // namespace qelm
