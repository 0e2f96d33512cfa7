#include "host/engine_help.h"

#include <gtest/gtest.h>

#include "../text/man_page_render.h"
#include "host/headless_host.h"
#include "lmcard/lm_card.h"
#include "text/man_page.h"

namespace qelm {
namespace {

// The manual page says what --help says, line for line, including the usage lines of every
// command (added to the usage functions, they must reach both).
TEST(EngineHelpTest, TheManualPageShowsEveryLineOfTheHelp) {
  const std::string help = engineHelp();
  EXPECT_NE(help.find(hostUsage()), std::string::npos);
  EXPECT_NE(help.find(lmCardUsage()), std::string::npos);
  const std::optional<std::string> shown = renderedManPage(manPageFromHelp(help, "1", "qelm"));
  if (!shown) GTEST_SKIP() << "groff is not installed";
  expectEveryLineShown(help, *shown);
}

}  // namespace
}  // namespace qelm
