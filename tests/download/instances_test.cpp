#include "download/instances.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "download/fragment_reader.h"

namespace qelm {
namespace {

namespace fs = std::filesystem;

TEST(InstancesTest, LinesReadAsTheFileIsWritten) {
  const std::string text =
      "studio-a\n"
      "\"host with space\" \"Prefix \"\r\n"
      "\t 10.0.0.7   \"\"  ignored \"tokens\"\n"
      "\n"
      "\"\" \"empty host\"\n"
      "ho\"st prefix\n"
      "\"unclosed prefix\n"
      "\"quoted\"glued\n"
      "good \"broken prefix\n"
      "last-without-line-end P";
  const std::vector<TrelkInstance> expected = {{"studio-a", ""},
                                               {"host with space", "Prefix "},
                                               {"10.0.0.7", ""},
                                               {"last-without-line-end", "P"}};
  EXPECT_EQ(parseInstances(text), expected);

  // What is written reads back the same, empty prefixes and spaces included.
  const std::vector<TrelkInstance> list = {{"a", ""}, {"b c", " d "}, {"10.1.2.3:8080", "X"}};
  EXPECT_EQ(formatInstances(list), "\"a\" \"\"\n\"b c\" \" d \"\n\"10.1.2.3:8080\" \"X\"\n");
  EXPECT_EQ(parseInstances(formatInstances(list)), list);
}

TEST(InstancesTest, AnOverlongLineIsSkippedWholeNotSplitIntoInstances) {
  const std::string longHost(kMaxInstanceLineBytes + 10, 'h');
  const std::string text = longHost + " tail\nnext P\n" + std::string(300, 'x') + " \"Y\"\n";
  const std::vector<TrelkInstance> expected = {{"next", "P"}, {std::string(300, 'x'), "Y"}};
  EXPECT_EQ(parseInstances(text), expected);
}

class FileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() /
              ("qelm-instances-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(folder_);
    fs::create_directories(folder_);
  }
  void TearDown() override { fs::remove_all(folder_); }
  static std::string read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  fs::path folder_;
};

TEST_F(FileTest, ReplacingAFileIsAllOrNothing) {
  const std::string path = (folder_ / "startup.txt").string();
  EXPECT_TRUE(readInstancesFile((folder_ / "missing.txt").string()).empty());
  { std::ofstream(path) << "old"; }
  EXPECT_EQ(replaceFile(path, "new text"), "");
  EXPECT_EQ(read(path), "new text");
  EXPECT_EQ(fs::status(path).permissions() & fs::perms::others_read, fs::perms::others_read);

  const std::string nowhere = (folder_ / "no-such-folder" / "startup.txt").string();
  EXPECT_EQ(replaceFile(nowhere, "x"),
            "Could not create \"" + nowhere + "\": No such file or directory");
  // A write that fails half way (here: the file size limit) leaves the old file whole.
  rlimit saved{};
  ::getrlimit(RLIMIT_FSIZE, &saved);
  const auto previous = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = saved;
  small.rlim_cur = 4;
  ::setrlimit(RLIMIT_FSIZE, &small);
  const std::string partial = replaceFile(path, "longer than four bytes");
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previous);
  EXPECT_EQ(partial, "Could not create \"" + path + "\": File too large");
  EXPECT_EQ(read(path), "new text");

  // A folder in the way of the name: the rename fails, the temporary file goes.
  fs::create_directories(folder_ / "taken");
  EXPECT_NE(replaceFile((folder_ / "taken").string(), "x"), "");
  size_t files = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(folder_))
    ++files;
  EXPECT_EQ(files, 2u);  // startup.txt and the folder
}

// Runs `body` through a reader in pieces of `piece` bytes.
FragmentReader readInPieces(const std::string& body, size_t piece, size_t maxBytes = 1 << 20) {
  FragmentReader reader(maxBytes);
  for (size_t at = 0; at < body.size(); at += piece)
    reader.feed(body.data() + at, std::min(piece, body.size() - at));
  reader.finish();
  return reader;
}

TEST(FragmentReaderTest, DeviceLinesAreFoundAsScanfWouldMatchThem) {
  const std::string body =
      "# device 90 in a comment\r\n"
      " device 91 indented\n"
      "Device 92 capitalised\n"
      "devices 93\n"
      "device 3 \"A\"\r\n"
      "device\t 7\n"
      "device12abc\n"
      "device -\n"
      "device +4 x\n"
      "device";
  for (const size_t piece : {body.size(), size_t{1}, size_t{3}}) {
    const FragmentReader reader = readInPieces(body, piece);
    EXPECT_EQ(reader.deviceCount(), 4u) << "pieces of " << piece;
    EXPECT_EQ(reader.lastDevice(), 4);
    EXPECT_EQ(reader.lowestDevice(), 3);
    EXPECT_EQ(reader.text().find('\r'), std::string::npos);
    EXPECT_EQ(reader.text().size(), body.size() - 2);
  }
  EXPECT_EQ(readInPieces("a\ndevice -2", 1).lastDevice(), -2);
  EXPECT_EQ(readInPieces("x", 1).lastDevice(), std::nullopt);
  // Numbers past the 32-bit range saturate, so one more still fits.
  EXPECT_EQ(readInPieces("device 99999999999999999999999\n", 5).lastDevice(),
            FragmentReader::kMaxDeviceNumber);
}

}  // namespace
}  // namespace qelm
