#include "config/line_reader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace qelm {
namespace {

using ::testing::ElementsAre;

class LineReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "qelm-lr-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  std::string write(const std::string& text, const std::string& name = "config.txt") {
    const std::string path = (folder_ / name).string();
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }

  // Every token up to the end of file; the reader's error, if another one stops it, in `error`.
  std::vector<std::string> tokensOf(const std::string& text) {
    EXPECT_TRUE(reader_.open(write(text)));
    std::vector<std::string> tokens;
    for (;;) {
      try {
        tokens.push_back(reader_.next());
      } catch (const LineReaderException& e) {
        code_ = e.code();
        message_ = e.what();
        return tokens;
      }
    }
  }

  static std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  std::filesystem::path folder_;
  LineReader reader_;
  LineReaderError code_ = LineReaderError::kEndOfFile;
  std::string message_;
};

TEST_F(LineReaderTest, ByteOrderMarkIsWhitespaceAnywhere) {
  const std::vector<std::string> plain = tokensOf("banner X\nmodel M\n");
  EXPECT_EQ(tokensOf("\xEF\xBB\xBF"
                     "banner X\nmodel M\n"),
            plain);
  EXPECT_THAT(tokensOf("a\xEF\xBB\xBF"
                       "b"),
              ElementsAre("a", "b"));
  // An incomplete mark is an ordinary character.
  EXPECT_THAT(tokensOf("a\xEF\xBB"
                       "b c"),
              ElementsAre("a\xEF\xBB"
                          "b",
                          "c"));
}

TEST_F(LineReaderTest, CommentsAndQuotes) {
  EXPECT_THAT(tokensOf("model \"My Model\" # comment with \"quotes\n"),
              ElementsAre("model", "My Model"));
  EXPECT_THAT(tokensOf("text \"a # b\"\n"), ElementsAre("text", "a # b"));
  EXPECT_THAT(tokensOf("\"abc\"def \"\" x\"y\"z"), ElementsAre("abc", "def", "", "x\"y\"z"));
  EXPECT_THAT(tokensOf("# only a comment\n\n   \t\nlast"), ElementsAre("last"));
  EXPECT_EQ(code_, LineReaderError::kEndOfFile);
}

TEST_F(LineReaderTest, MultiByteCharactersStayInTokens) {
  EXPECT_THAT(tokensOf("caf\xC3\xA9 \xE2\x82\xAC"
                       "5\r\n"),
              ElementsAre("caf\xC3\xA9",
                          "\xE2\x82\xAC"
                          "5"));
}

TEST_F(LineReaderTest, OddQuoteCountStopsOnThatLine) {
  EXPECT_THAT(tokensOf("banner A\nbanner \"x\" \"y\n"), ElementsAre("banner", "A"));
  EXPECT_EQ(code_, LineReaderError::kMismatchedQuotes);
  EXPECT_EQ(message_, "mismatched double quotes at " + (folder_ / "config.txt").string() + ":2");
}

TEST_F(LineReaderTest, QuotedTokenWithoutClosingQuoteIsRefused) {
  // Two quotes on the line, but the first one belongs to a bare token, so the quoted token that
  // follows never closes: refused instead of running past the line.
  EXPECT_THAT(tokensOf("a\"b \"c"), ElementsAre("a\"b"));
  EXPECT_EQ(code_, LineReaderError::kMismatchedQuotes);
}

TEST_F(LineReaderTest, LongLinesAreReadInCountedPieces) {
  // 150 characters: a 119-byte piece and a 31-byte piece, each a line.
  const std::string longToken(150, 'x');
  EXPECT_THAT(tokensOf(longToken + "\n\"open\n"),
              ElementsAre(std::string(119, 'x'), std::string(31, 'x')));
  EXPECT_EQ(code_, LineReaderError::kMismatchedQuotes);
  EXPECT_EQ(reader_.lineNumber(), 3);  // an editor shows line 2

  // Exactly 119 characters leave the line end as a piece (and a line) of its own.
  EXPECT_THAT(tokensOf(std::string(119, 'y') + "\nz\n"), ElementsAre(std::string(119, 'y'), "z"));
  EXPECT_EQ(reader_.lineNumber(), 3);
}

TEST_F(LineReaderTest, EndOfFileRepeatsWithItsLocation) {
  EXPECT_THAT(tokensOf("a\nb\n"), ElementsAre("a", "b"));
  EXPECT_EQ(message_, "end of file at " + (folder_ / "config.txt").string() + ":2");
  for (int i = 0; i < 3; ++i) {
    try {
      reader_.next();
      FAIL() << "a token after the end";
    } catch (const LineReaderException& e) {
      EXPECT_EQ(e.code(), LineReaderError::kEndOfFile);
    }
  }
}

TEST_F(LineReaderTest, NulEndsTheLineText) {
  EXPECT_THAT(tokensOf(std::string("ab\0cd ef\ngh", 11)), ElementsAre("ab", "gh"));
}

TEST_F(LineReaderTest, FailuresToOpenAndRead) {
  EXPECT_FALSE(reader_.open((folder_ / "missing").string()));
  // A folder opens on this system but cannot be read.
  ASSERT_TRUE(reader_.open(folder_.string()));
  try {
    reader_.next();
    FAIL() << "a token from a folder";
  } catch (const LineReaderException& e) {
    EXPECT_EQ(e.code(), LineReaderError::kReadError);
    EXPECT_EQ(std::string(e.what()), "read error at " + folder_.string() + ":0");
  }
  // A closed reader reports a read error instead of touching a freed buffer.
  reader_.close();
  EXPECT_THROW(reader_.next(), LineReaderException);
}

TEST_F(LineReaderTest, ReopeningStartsAfresh) {
  tokensOf("a\nb\nc\n");
  EXPECT_THAT(tokensOf("d"), ElementsAre("d"));
  EXPECT_EQ(reader_.lineNumber(), 1);
}

class LineHistoryTest : public LineReaderTest {
 protected:
  void openKeeping(const std::string& text) {
    reader_.keepHistory(true);
    ASSERT_TRUE(reader_.open(write(text)));
  }
};

TEST_F(LineHistoryTest, WritesTheLinesBeforeTheCurrentTokensLine) {
  openKeeping("# head\nbanner A\n\n# about B\nbanner B\nbanner C banner D\n");
  const std::string out = (folder_ / "copy.txt").string();
  for (int i = 0; i < 3; ++i)
    reader_.next();  // banner A banner(B)
  ASSERT_TRUE(reader_.writeConsumedLines(out, false));
  EXPECT_EQ(readAll(out), "# head\nbanner A\n");

  // The comment between the directives goes with the next one.
  for (int i = 0; i < 2; ++i)
    reader_.next();  // B banner(C)
  ASSERT_TRUE(reader_.writeConsumedLines(out, true));
  EXPECT_EQ(readAll(out), "# head\nbanner A\n\n# about B\nbanner B\n");

  // Two directives on one line: the line goes with the first.
  for (int i = 0; i < 2; ++i)
    reader_.next();  // C banner(D)
  ASSERT_TRUE(reader_.writeConsumedLines(out, true));
  EXPECT_EQ(readAll(out), "# head\nbanner A\n\n# about B\nbanner B\nbanner C banner D\n");
  reader_.next();
  EXPECT_THROW(reader_.next(), LineReaderException);
  ASSERT_TRUE(reader_.writeConsumedLines(out, false));
  EXPECT_EQ(readAll(out), "");  // nothing is written twice, and no end-of-file line
}

TEST_F(LineHistoryTest, UnwritablePathFails) {
  openKeeping("a\nb\n");
  reader_.next();
  reader_.next();
  EXPECT_FALSE(reader_.writeConsumedLines((folder_ / "no" / "such.txt").string(), false));
}

TEST_F(LineHistoryTest, WithoutHistoryNothingIsKept) {
  ASSERT_TRUE(reader_.open(write("a\nb\n")));
  reader_.next();
  reader_.next();
  const std::string out = (folder_ / "copy.txt").string();
  ASSERT_TRUE(reader_.writeConsumedLines(out, false));
  EXPECT_EQ(readAll(out), "");
}

}  // namespace
}  // namespace qelm
