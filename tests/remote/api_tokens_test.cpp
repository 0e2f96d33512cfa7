#include "remote/api_tokens.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace qelm::remote {
namespace {

namespace fs = std::filesystem;

class ApiTokensTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::remove_all(folder_);
    fs::create_directories(folder_);
  }
  void TearDown() override { fs::remove_all(folder_); }

  std::optional<ApiTokens> load() { return ApiTokens::load(path_, error_); }

  const fs::path folder_ =
      fs::temp_directory_path() / ("api_tokens_test_" + std::to_string(::getpid()));
  const std::string path_ = (folder_ / ApiTokens::kFileName).string();
  std::string error_;
};

TEST_F(ApiTokensTest, OnlyTheHashIsKeptOwnerOnlyAndOnlyTheWholeTokenOpens) {
  ApiTokens tokens;
  const std::optional<std::string> token = tokens.add("cue-stack", Role::kOperator, error_);
  ASSERT_TRUE(token);
  EXPECT_GE(token->size(), 43u);  // 256 bits in base64url
  EXPECT_FALSE(tokens.add("cue-stack", Role::kViewer, error_)) << "a name is taken once";
  ASSERT_EQ(tokens.save(path_), "");

  struct stat info {};
  ASSERT_EQ(::stat(path_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  std::stringstream text;
  text << std::ifstream(path_).rdbuf();
  EXPECT_EQ(text.str().find(*token), std::string::npos);

  const std::optional<ApiTokens> again = load();
  ASSERT_TRUE(again) << error_;
  EXPECT_EQ(again->check(*token), Role::kOperator);
  EXPECT_EQ(again->check(*token + "x"), std::nullopt);
  EXPECT_EQ(again->check(std::string(ApiTokens::kMostTokenBytes + 1, 'a')), std::nullopt);
}

TEST_F(ApiTokensTest, ADamagedFileIsRefusedWithItsLine) {
  const std::string hash(2 * ApiTokens::kHashBytes, 'a');
  for (const std::string& line :
       {"show operator " + hash.substr(1), "show admin " + hash, "show operator " + hash + " x",
        "sh/ow operator " + hash, "show operator " + std::string(hash.size(), 'z'),
        "ok operator " + hash}) {
    std::ofstream(path_) << "# comment\n\nok viewer " << hash << "\n" << line << "\n";
    EXPECT_FALSE(load()) << line;
    EXPECT_NE(error_.find("line 4"), std::string::npos) << error_;
  }
  std::ofstream(path_) << std::string(ApiTokens::kMostFileBytes + 1, '#');
  EXPECT_FALSE(load());
}

}  // namespace
}  // namespace qelm::remote
