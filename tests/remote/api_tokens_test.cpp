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
  ApiTokensTest()
      : folder_(fs::temp_directory_path() / ("api_tokens_test_" + std::to_string(::getpid()))),
        path_((folder_ / ApiTokens::kFileName).string()) {
    fs::remove_all(folder_);
    fs::create_directories(folder_);
  }
  ~ApiTokensTest() override { fs::remove_all(folder_); }

  std::optional<ApiTokens> load() {
    std::string error;
    std::optional<ApiTokens> tokens = ApiTokens::load(path_, error);
    lastError_ = error;
    return tokens;
  }

  std::string text() const {
    std::stringstream out;
    out << std::ifstream(path_).rdbuf();
    return out.str();
  }

  fs::path folder_;
  std::string path_;
  std::string lastError_;
};

TEST_F(ApiTokensTest, MadeTokensOpenTheirRoleAfterAReadBackAndOnlyTheirHashIsKept) {
  std::optional<ApiTokens> tokens = load();
  ASSERT_TRUE(tokens && tokens->empty());
  std::string error;
  const std::optional<std::string> operatorToken = tokens->add("cue-stack", Role::kOperator, error);
  const std::optional<std::string> viewerToken = tokens->add("wall.2", Role::kViewer, error);
  ASSERT_TRUE(operatorToken && viewerToken);
  EXPECT_GE(operatorToken->size(), 43u);  // 256 bits in base64url
  EXPECT_NE(*operatorToken, *viewerToken);
  EXPECT_FALSE(tokens->add("cue-stack", Role::kViewer, error)) << "a name is taken once";
  EXPECT_FALSE(tokens->add("bad name", Role::kViewer, error));
  ASSERT_EQ(tokens->save(path_), "");

  struct stat info {};
  ASSERT_EQ(::stat(path_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(text().find(*operatorToken), std::string::npos);

  std::optional<ApiTokens> again = load();
  ASSERT_TRUE(again) << lastError_;
  EXPECT_EQ(again->check(*operatorToken), Role::kOperator);
  EXPECT_EQ(again->check(*viewerToken), Role::kViewer);
  std::string altered = *viewerToken;
  altered.back() = altered.back() == 'A' ? 'B' : 'A';
  EXPECT_EQ(again->check(altered), std::nullopt);
  EXPECT_EQ(again->check(""), std::nullopt);
  EXPECT_EQ(again->check(std::string(ApiTokens::kMostTokenBytes + 1, 'a')), std::nullopt);

  ASSERT_TRUE(again->revoke("wall.2"));
  EXPECT_FALSE(again->revoke("wall.2"));
  EXPECT_EQ(again->check(*viewerToken), std::nullopt);
  EXPECT_EQ(again->check(*operatorToken), Role::kOperator);
}

TEST_F(ApiTokensTest, ADamagedFileIsRefusedWithItsLine) {
  const std::string hash(2 * ApiTokens::kHashBytes, 'a');
  for (const std::string& line :
       {"show operator " + hash.substr(1), "show admin " + hash, "show operator " + hash + " x",
        "sh/ow operator " + hash, "show operator " + std::string(hash.size(), 'z')}) {
    std::ofstream(path_) << "# comment\n\nok viewer " << hash << "\n" << line << "\n";
    EXPECT_FALSE(load()) << line;
    EXPECT_NE(lastError_.find("line 4"), std::string::npos) << lastError_;
  }
  std::ofstream(path_) << "a viewer " << hash << "\na operator " << hash << "\n";
  EXPECT_FALSE(load()) << "a name twice";
  std::ofstream(path_) << std::string(ApiTokens::kMostFileBytes + 1, '#');
  EXPECT_FALSE(load());
}

}  // namespace
}  // namespace qelm::remote
