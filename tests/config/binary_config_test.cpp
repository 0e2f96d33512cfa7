#include "config/binary_config.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace qelm {
namespace {

using ::testing::ElementsAre;

class BinaryConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "qelm-bin-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  std::string path(const std::string& name) const { return (folder_ / name).string(); }

  static std::vector<uint8_t> readAll(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
  }

  std::filesystem::path folder_;
};

// Caps the size of files this process may write, so a write fails part-way through as on a full
// disk; restores the limit and the signal on destruction.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    previous_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = saved_;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, previous_);
  }

 private:
  rlimit saved_{};
  void (*previous_)(int) = nullptr;
};

TEST_F(BinaryConfigTest, WritesHeaderThenRecording) {
  const std::string file = path("out.bin");
  std::ofstream(file) << std::string(100, 'z');  // longer than the result: must be truncated
  ASSERT_EQ(writeBinaryConfig(file, {0x01, 0xFD, 'A', 0x00}), "");
  const std::vector<uint8_t> bytes = readAll(file);
  ASSERT_EQ(bytes.size(), 36u);
  EXPECT_THAT(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 4),
              ElementsAre(0xCD, 0xBF, 0x08, 0x06));
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 4, bytes.begin() + 32),
            std::vector<uint8_t>(28, 0));
  EXPECT_THAT(std::vector<uint8_t>(bytes.begin() + 32, bytes.end()),
              ElementsAre(0x01, 0xFD, 'A', 0x00));
  EXPECT_TRUE(isBinaryConfigHeader(bytes.data(), bytes.size()));
  EXPECT_FALSE(isBinaryConfigHeader(bytes.data(), 31));
}

TEST_F(BinaryConfigTest, EmptyRecordingWritesNothing) {
  EXPECT_EQ(writeBinaryConfig(path("none.bin"), {}), "");
  EXPECT_FALSE(std::filesystem::exists(path("none.bin")));
}

TEST_F(BinaryConfigTest, OpenFailure) {
  const std::string file = path("missing/out.bin");
  EXPECT_EQ(writeBinaryConfig(file, {0x01}),
            "Could not open binary file \"" + file + "\" for writing.");
}

TEST_F(BinaryConfigTest, ShortWritesRemoveThePartlyWrittenFile) {
  const std::string file = path("out.bin");
  {
    FileSizeLimit limit(10);
    EXPECT_EQ(writeBinaryConfig(file, {0x01}),
              "Error writing header to binary file \"" + file + "\".");
  }
  EXPECT_FALSE(std::filesystem::exists(file));
  {
    FileSizeLimit limit(40);
    EXPECT_EQ(writeBinaryConfig(file, std::vector<uint8_t>(100, 0x01)),
              "Error writing data to binary file \"" + file + "\".");
  }
  EXPECT_FALSE(std::filesystem::exists(file));
}

TEST_F(BinaryConfigTest, NonRegularTargetIsNeverRemoved) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  EXPECT_EQ(writeBinaryConfig("/dev/full", {0x01}),
            "Error writing header to binary file \"/dev/full\".");
  EXPECT_TRUE(std::filesystem::exists("/dev/full"));
}

}  // namespace
}  // namespace qelm
