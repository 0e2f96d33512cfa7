#include "host/token_command.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "command_outcome.h"
#include "remote/api_tokens.h"

namespace qelm {
namespace {

namespace fs = std::filesystem;
using remote::ApiTokens;
using remote::Role;

using Outcome = testing::CommandOutcome;

class TokenCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    data_ = (fs::temp_directory_path() / ("qelm-token-" + std::to_string(::getpid()))).string();
    fs::remove_all(data_);
  }
  void TearDown() override { fs::remove_all(data_); }

  Outcome run(std::vector<std::string> args) const {
    args.insert(args.end(), {"--data", data_});
    std::ostringstream out;
    std::ostringstream err;
    const int code = tokenCommand(args, out, err);
    return {code, out.str(), err.str()};
  }

  std::optional<Role> roleOf(const std::string& printed) const {
    std::string error;
    const std::optional<ApiTokens> tokens =
        ApiTokens::load(data_ + "/" + ApiTokens::kFileName, error);
    EXPECT_TRUE(tokens) << error;
    return tokens ? tokens->check(printed.substr(0, printed.find('\n'))) : std::nullopt;
  }

  std::string data_;
};

TEST_F(TokenCommandTest, MakesListsAndRevokesTokensPrintingEachOnlyWhenMade) {
  const Outcome made = run({"--name", "cues"});
  ASSERT_EQ(made.code, kTokenDone) << made.err;
  EXPECT_EQ(roleOf(made.out), Role::kOperator);
  const Outcome viewer = run({"--name", "wall", "--viewer"});
  ASSERT_EQ(viewer.code, kTokenDone) << viewer.err;
  EXPECT_EQ(roleOf(viewer.out), Role::kViewer);
  EXPECT_EQ(run({"--name", "cues"}).code, kTokenFailed);

  const Outcome listed = run({"--list"});
  EXPECT_EQ(listed.out, "cues operator\nwall viewer\n");
  EXPECT_EQ(listed.out.find(made.out.substr(0, 10)), std::string::npos);

  EXPECT_EQ(run({"--revoke", "cues"}).code, kTokenDone);
  EXPECT_EQ(roleOf(made.out), std::nullopt);
  EXPECT_EQ(roleOf(viewer.out), Role::kViewer);
  EXPECT_EQ(run({"--revoke", "cues"}).code, kTokenFailed);
  EXPECT_EQ(run({"--list", "--name", "more"}).code, kTokenRefused);
}

}  // namespace
}  // namespace qelm
