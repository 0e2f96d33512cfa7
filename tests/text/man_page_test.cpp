#include "text/man_page.h"

#include <gtest/gtest.h>

#include <string>

#include "man_page_render.h"

namespace qelm {
namespace {

TEST(ManPageTest, NameSynopsisAndSectionsComeFromTheHelpTextsOwnLines) {
  const std::string page = manPageFromHelp(
      "tool - does things\n\nUsage:\n  tool [-x]\n\nOptions:\n  -x  the x\n\n  -y  the y\n\n", "1",
      "qelm 0.1.0");
  EXPECT_EQ(page.rfind(".TH \"TOOL\" \"1\" \"\" \"qelm 0.1.0\" \"User Commands\"\n", 0), 0u)
      << page;
  EXPECT_NE(page.find(".SH NAME\ntool \\- does things\n"), std::string::npos) << page;
  EXPECT_NE(page.find(".SH \"SYNOPSIS\"\n.nf\n  tool [\\-x]\n.fi\n"), std::string::npos) << page;
  // A blank line inside a section is kept; those around it are the help text's spacing.
  EXPECT_NE(page.find(".SH \"OPTIONS\"\n.nf\n  \\-x  the x\n.sp\n  \\-y  the y\n.fi\n"),
            std::string::npos)
      << page;
}

TEST(ManPageTest, TextThatRoffWouldReadAsRequestsOrEscapesIsKeptAsText) {
  EXPECT_EQ(roffEscaped(".SH gone"), "\\&.SH gone");
  EXPECT_EQ(roffEscaped("'br"), "\\&'br");
  EXPECT_EQ(roffEscaped("C:\\fBdir\\n"), "C:\\efBdir\\en");
  EXPECT_EQ(roffEscaped("a.b 'c' --x"), "a.b 'c' \\-\\-x");
  // A first line without "NAME - SUMMARY" still makes a page, its text the description.
  const std::string page = manPageFromHelp("no summary here\n.ll 10\n", "1", "src \"q\"");
  EXPECT_NE(page.find(".TH \"UNKNOWN\" \"1\" \"\" \"src q\""), std::string::npos) << page;
  EXPECT_NE(page.find(".SH DESCRIPTION\n.nf\nno summary here\n\\&.ll 10\n"), std::string::npos)
      << page;
}

// Through groff itself: every line of the help text comes out of the page as written, so what
// the manual shows cannot differ from what --help prints.
TEST(ManPageTest, GroffShowsEveryLineOfTheHelpTextAsWritten) {
  const std::string help =
      "odd - a text with every character roff treats specially\n"
      "\n"
      "Usage:\n"
      "  odd [--flag] \"A,B\" 'quoted' C:\\path\\n \\fB not bold\n"
      ".TH inside\n"
      "'also inside\n"
      "  100% -- done; a\\-b\n";
  const std::optional<std::string> shown = renderedManPage(manPageFromHelp(help, "1", "t"));
  if (!shown) GTEST_SKIP() << "groff is not installed";
  expectEveryLineShown(help, *shown);
}

}  // namespace
}  // namespace qelm
