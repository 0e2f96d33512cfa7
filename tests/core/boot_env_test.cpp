#include "core/boot_env.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace qelm {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

Bytes bytesOf(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

// CRC bytes (big-endian) followed by `area`, for hand-made files; the CRC here only has to be
// right for the test input, the saved format is checked against fixed reference values below.
Bytes withCrc(const Bytes& area) {
  const uint32_t crc = static_cast<uint32_t>(
      crc32(crc32(0L, Z_NULL, 0), area.data(), static_cast<uInt>(area.size())));
  Bytes file(4 + area.size());
  file[0] = static_cast<uint8_t>(crc >> 24);
  file[1] = static_cast<uint8_t>(crc >> 16);
  file[2] = static_cast<uint8_t>(crc >> 8);
  file[3] = static_cast<uint8_t>(crc);
  std::copy(area.begin(), area.end(), file.begin() + 4);
  return file;
}

class BootEnvTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "qelm-bootenv-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
    path_ = (folder_ / "bootenv").string();
  }
  void TearDown() override {
    fs::permissions(folder_, fs::perms::owner_all);
    fs::remove_all(folder_);
  }

  Bytes readFile() const {
    std::ifstream in(path_, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
  }
  void writeFile(const Bytes& bytes) const {
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
  }
  // Loads the file into a fresh store, expecting `load` to succeed.
  StandardFileBootEnv::Entries loaded() const {
    StandardFileBootEnv env(path_);
    EXPECT_TRUE(env.load());
    return env.entries();
  }
  std::vector<std::string> folderListing() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder_))
      names.push_back(entry.path().filename().string());
    return names;
  }

  fs::path folder_;
  std::string path_;
};

uint32_t storedCrc(const Bytes& file) {
  return (uint32_t{file[0]} << 24) | (uint32_t{file[1]} << 16) | (uint32_t{file[2]} << 8) |
         uint32_t{file[3]};
}

TEST_F(BootEnvTest, SavedImageHasExactLayoutAndReferenceCrc) {
  StandardFileBootEnv env(path_);
  env.set("netmask", "255.255.255.0");
  ASSERT_TRUE(env.save());

  const Bytes file = readFile();
  ASSERT_EQ(file.size(), kBootEnvImageSize);
  Bytes area = bytesOf(std::string_view("netmask=255.255.255.0\0", 22));
  area.resize(kBootEnvImageSize - 4, 0);
  EXPECT_TRUE(std::equal(area.begin(), area.end(), file.begin() + 4));
  // python3 -c "import binascii; b=b'netmask=255.255.255.0\0';
  // print(hex(binascii.crc32(b+b'\0'*(65532-len(b)))))"
  EXPECT_EQ(storedCrc(file), 0x550594E5u);
}

TEST_F(BootEnvTest, EntriesAreWrittenInNameOrderWithReferenceCrc) {
  StandardFileBootEnv env(path_);
  env.set("tzname", "CET-1CEST,M3.5.0,M10.5.0/3");
  env.set("dhcp", "1");
  env.set("netmask", "255.255.255.0");
  ASSERT_TRUE(env.save());

  const Bytes file = readFile();
  ASSERT_EQ(file.size(), kBootEnvImageSize);
  const std::string_view expected(
      "dhcp=1\0netmask=255.255.255.0\0tzname=CET-1CEST,M3.5.0,M10.5.0/3\0\0", 65);
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), file.begin() + 4));
  // Same python3 binascii.crc32 over the 65532 bytes of the area: the three entries sorted by
  // name, each b'name=value\0', padded with zeros.
  EXPECT_EQ(storedCrc(file), 0x2EB9FAD0u);
}

TEST_F(BootEnvTest, SavedFileLoadsBackTheSameEntries) {
  StandardFileBootEnv env(path_);
  env.set("ip", "10.0.0.2");
  env.set("formula", "a=b=c");              // values may hold "="
  env.set("name", "K\xC3\xB6ln \xFF\x01");  // stored byte for byte
  env.set("", "empty name");
  ASSERT_TRUE(env.save());
  EXPECT_EQ(loaded(), env.entries());
}

TEST_F(BootEnvTest, SetWithEmptyValueDeletesAndSetReplaces) {
  StandardFileBootEnv env(path_);
  env.set("dhcp", "1");
  env.set("dhcp", "0");
  EXPECT_EQ(env.get("dhcp"), "0");
  env.set("dhcp", "");
  EXPECT_EQ(env.get("dhcp"), "");
  EXPECT_TRUE(env.entries().empty());
}

TEST_F(BootEnvTest, AnyChangedByteMakesTheStoreEmpty) {
  StandardFileBootEnv env(path_);
  env.set("netmask", "255.255.255.0");
  ASSERT_TRUE(env.save());
  const Bytes good = readFile();
  for (std::size_t at : {std::size_t{0}, std::size_t{3}, std::size_t{4}, std::size_t{10},
                         std::size_t{30}, kBootEnvImageSize - 1}) {
    Bytes bad = good;
    bad[at] ^= 0x01;
    writeFile(bad);
    EXPECT_TRUE(loaded().empty()) << "byte " << at;
  }
}

TEST_F(BootEnvTest, MissingFileFailsAndClearsEarlierEntries) {
  StandardFileBootEnv env(path_);
  env.set("dhcp", "1");
  EXPECT_FALSE(env.load());
  EXPECT_TRUE(env.entries().empty());
}

TEST_F(BootEnvTest, FilesTooShortForACrcLoadEmpty) {
  for (std::size_t size = 0; size < 4; ++size) {
    writeFile(Bytes(size, 0));
    EXPECT_TRUE(loaded().empty()) << size << " bytes";
  }
}

// Hand-made files with a matching CRC: the reader stays within the bytes it read and stops at the
// first text that is not a complete "name=value" entry.
TEST_F(BootEnvTest, HandMadeImagesParseWithinTheirBytes) {
  Bytes noZeroAtAll(kBootEnvImageSize - 4, 'v');
  noZeroAtAll[0] = 'k';
  noZeroAtAll[1] = '=';
  const struct {
    const char* what;
    Bytes area;
    StandardFileBootEnv::Entries expected;
  } cases[] = {
      {"shorter than an image",
       bytesOf(std::string_view("a=1\0b=2\0", 8)),
       {{"a", "1"}, {"b", "2"}}},
      {"last text without zero", bytesOf(std::string_view("a=1\0b=2", 7)), {{"a", "1"}}},
      {"repeated name, text without =",
       bytesOf(std::string_view("a=1\0a=2\0junk\0b=3\0", 18)),
       {{"a", "1"}}},
      {"full image without any zero", noZeroAtAll, {}},
      {"nothing after the CRC", {}, {}},
  };
  for (const auto& c : cases) {
    writeFile(withCrc(c.area));
    EXPECT_EQ(loaded(), c.expected) << c.what;
  }
}

TEST_F(BootEnvTest, OversizedFilesLoadEmpty) {
  StandardFileBootEnv env(path_);
  env.set("netmask", "255.255.255.0");
  ASSERT_TRUE(env.save());
  Bytes file = readFile();
  file.push_back(0);  // one byte too many, CRC of the first image still "valid"
  writeFile(file);
  EXPECT_TRUE(loaded().empty());

  writeFile(Bytes(4 * 1024 * 1024, 0));
  EXPECT_TRUE(loaded().empty());
}

TEST_F(BootEnvTest, FifoInPlaceOfTheFileFailsWithoutBlocking) {
  ASSERT_EQ(mkfifo(path_.c_str(), 0600), 0);
  StandardFileBootEnv env(path_);
  EXPECT_FALSE(env.load());
}

TEST_F(BootEnvTest, LargestEntryThatFitsIsKeptOneByteMoreIsNot) {
  StandardFileBootEnv env(path_);
  // "a=" + value + zero fills the 65532-byte area exactly.
  const std::string fits(kBootEnvImageSize - 4 - 3, 'x');
  env.set("a", fits);
  ASSERT_TRUE(env.save());
  EXPECT_EQ(loaded(), env.entries());

  env.set("a", fits + "x");
  ASSERT_TRUE(env.save());
  const Bytes file = readFile();
  ASSERT_EQ(file.size(), kBootEnvImageSize);
  EXPECT_TRUE(std::all_of(file.begin() + 4, file.end(), [](uint8_t b) { return b == 0; }));
  EXPECT_TRUE(loaded().empty());
}

TEST_F(BootEnvTest, EntriesThatTogetherOverflowStopAtTheFirstMisfit) {
  StandardFileBootEnv env(path_);
  const std::string big(29998, 'v');  // "x=" + 29998 + zero = 30001 bytes each
  env.set("a", big);
  env.set("b", big);
  env.set("c", big);  // would need 30001 of the 5530 bytes left
  env.set("d", "1");  // small, but after the misfit
  ASSERT_TRUE(env.save());
  ASSERT_EQ(readFile().size(), kBootEnvImageSize);
  const StandardFileBootEnv::Entries expected = {{"a", big}, {"b", big}};
  EXPECT_EQ(loaded(), expected);
}

TEST_F(BootEnvTest, NamesWithEqualsAndTextsWithZeroBytesAreRefused) {
  StandardFileBootEnv env(path_);
  env.set("keep", "1");
  env.set("dhcp=0", "1");
  env.set(std::string_view("a\0b", 3), "1");
  env.set("keep", std::string_view("2\0z=9", 5));  // would cut the entries after it on reload
  const StandardFileBootEnv::Entries expected = {{"keep", "1"}};
  EXPECT_EQ(env.entries(), expected);
}

TEST_F(BootEnvTest, SaveLeavesOnlyTheFileAndKeepsItsPermissions) {
  StandardFileBootEnv env(path_);
  env.set("dhcp", "1");
  ASSERT_TRUE(env.save());
  fs::permissions(path_, fs::perms::owner_read | fs::perms::owner_write);
  env.set("dhcp", "0");
  ASSERT_TRUE(env.save());
  EXPECT_EQ(folderListing(), std::vector<std::string>{"bootenv"});
  EXPECT_EQ(fs::status(path_).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(loaded().at("dhcp"), "0");
}

TEST_F(BootEnvTest, SaveIntoMissingFolderFails) {
  StandardFileBootEnv env((folder_ / "absent" / "bootenv").string());
  env.set("dhcp", "1");
  EXPECT_FALSE(env.save());
}

TEST_F(BootEnvTest, FailedRenameRemovesTheTemporaryFile) {
  // A directory in place of the file: the temporary image is written, the rename cannot happen.
  fs::create_directory(path_);
  std::ofstream(fs::path(path_) / "inside").put('x');
  StandardFileBootEnv env(path_);
  env.set("dhcp", "1");
  EXPECT_FALSE(env.save());
  EXPECT_EQ(folderListing(), std::vector<std::string>{"bootenv"});
  EXPECT_TRUE(fs::is_directory(path_));
}

// Root may write anywhere, so the save runs in a child that gives up root first; an ordinary user
// is kept out of the folder by its mode alone.
TEST_F(BootEnvTest, UnwritableFolderFailsAndLeavesTheOldFileIntact) {
  StandardFileBootEnv env(path_);
  env.set("netmask", "255.255.255.0");
  ASSERT_TRUE(env.save());
  const Bytes before = readFile();
  fs::permissions(folder_, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                               fs::perms::group_exec | fs::perms::others_read |
                               fs::perms::others_exec);

  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
      _exit(2);
    env.set("netmask", "255.0.0.0");
    _exit(env.save() ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: save reported success, 2: could not drop root";
  EXPECT_EQ(readFile(), before);
  EXPECT_EQ(folderListing(), std::vector<std::string>{"bootenv"});
}

}  // namespace
}  // namespace qelm
