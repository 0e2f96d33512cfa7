#include "display/bitmap.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdio>
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

void putLittleEndian(Bytes& out, uint32_t value, int size) {
  for (int i = 0; i < size; ++i)
    out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// The fields of a BMP file's first 54 bytes, preset for a 2 x 2, 24-bit image whose rows are
// padded from 6 to 8 bytes.
struct BmpFile {
  uint16_t magic = 0x4D42;
  uint32_t pixelOffset = 54;
  int32_t width = 2;
  int32_t height = 2;
  uint16_t planes = 1;
  uint16_t bitCount = 24;
  uint32_t compression = 0;
  uint32_t imageSize = 16;
  // Bottom row first: (blue, green, red) per pixel, then two bytes of padding.
  Bytes pixels = {1, 2, 3, 4, 5, 6, 0xEE, 0xEE, 7, 8, 9, 10, 11, 12, 0xEE, 0xEE};

  Bytes bytes() const {
    Bytes out;
    putLittleEndian(out, magic, 2);
    putLittleEndian(out, 54 + static_cast<uint32_t>(pixels.size()), 4);
    putLittleEndian(out, 0, 4);
    putLittleEndian(out, pixelOffset, 4);
    putLittleEndian(out, 40, 4);
    putLittleEndian(out, static_cast<uint32_t>(width), 4);
    putLittleEndian(out, static_cast<uint32_t>(height), 4);
    putLittleEndian(out, planes, 2);
    putLittleEndian(out, bitCount, 2);
    putLittleEndian(out, compression, 4);
    putLittleEndian(out, imageSize, 4);
    out.resize(54, 0);
    out.insert(out.end(), pixels.begin(), pixels.end());
    return out;
  }
};

bool imageMagickAvailable() {
  if (access("/usr/bin/convert", X_OK) != 0) return false;
  std::FILE* pipe = popen("/usr/bin/convert -version 2>/dev/null", "r");
  if (!pipe) return false;
  std::string output;
  std::array<char, 256> buffer{};
  while (std::fgets(buffer.data(), buffer.size(), pipe))
    output += buffer.data();
  pclose(pipe);
  return output.find("ImageMagick") != std::string::npos;
}

class BitmapTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "qelm-bitmap-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
  }
  void TearDown() override { fs::remove_all(folder_); }

  std::string path(const std::string& name) const { return (folder_ / name).string(); }
  std::string write(const std::string& name, const Bytes& bytes) const {
    std::ofstream out(path(name), std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
    return path(name);
  }
  Bytes read(const std::string& name) const {
    std::ifstream in(path(name), std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
  }
  // The message Load throws for `file`, or "" when it loads.
  static std::string failure(const std::string& file) {
    try {
      loadBitmap(file);
    } catch (const std::string& message) {
      return message;
    }
    return "";
  }
  std::string failureOf(const BmpFile& bmp) const {
    const std::string file = write("test.bmp", bmp.bytes());
    const std::string message = failure(file);
    const std::string prefix = "Error loading bitmap from " + file + ": ";
    if (message.rfind(prefix, 0) != 0) return "unwrapped: " + message;
    return message.substr(prefix.size());
  }

  fs::path folder_;
};

TEST_F(BitmapTest, HandMadeFileLoadsBottomRowLastAndSkipsPadding) {
  const std::string file = write("plain.bmp", BmpFile{}.bytes());
  const Bitmap bitmap = loadBitmap(file);
  EXPECT_EQ(bitmap.path, file);
  EXPECT_EQ(bitmap.width, 2);
  EXPECT_EQ(bitmap.height, 2);
  EXPECT_EQ(bitmap.pixels, (std::vector<uint32_t>{0x090807, 0x0C0B0A, 0x030201, 0x060504}));
}

TEST_F(BitmapTest, ImageMagickFilesLoadWithTheirPixels) {
  if (!imageMagickAvailable()) GTEST_SKIP() << "ImageMagick's convert is not installed";
  // 3 x 2 pads each 9-byte row to 12; 4 x 1 needs no padding; 1 x 3 pads 3 bytes to 4.
  struct Image {
    int width;
    int height;
    std::vector<uint32_t> pixels;
  };
  const std::vector<Image> images = {
      {3, 2, {0xFF0000, 0x00FF00, 0x0000FF, 0x010203, 0xC86432, 0xFFFFFF}},
      {4, 1, {0x102030, 0x405060, 0x708090, 0xA0B0C0}},
      {1, 3, {0xFEDCBA, 0x000001, 0x800000}},
  };
  for (const Image& image : images) {
    std::string ppm =
        "P3\n" + std::to_string(image.width) + " " + std::to_string(image.height) + "\n255\n";
    for (uint32_t p : image.pixels)
      ppm += std::to_string(p >> 16) + " " + std::to_string((p >> 8) & 0xFF) + " " +
             std::to_string(p & 0xFF) + "\n";
    write("in.ppm", Bytes(ppm.begin(), ppm.end()));
    // BMP3 has the 40-byte header; BMP the 124-byte one, which the loader skips over.
    for (const char* format : {"BMP3", "BMP"}) {
      SCOPED_TRACE(std::string(format) + " " + std::to_string(image.width) + "x" +
                   std::to_string(image.height));
      const std::string out = path("out.bmp");
      const std::string command =
          "/usr/bin/convert " + path("in.ppm") + " -type TrueColor " + format + ":" + out;
      ASSERT_EQ(std::system(command.c_str()), 0);
      const Bitmap bitmap = loadBitmap(out);
      EXPECT_EQ(bitmap.width, image.width);
      EXPECT_EQ(bitmap.height, image.height);
      EXPECT_EQ(bitmap.pixels, image.pixels);
    }
  }
}

TEST_F(BitmapTest, ImageMagickFilesOfOtherKindsAreRefused) {
  if (!imageMagickAvailable()) GTEST_SKIP() << "ImageMagick's convert is not installed";
  const std::string ppm = "P3\n2 2\n255\n255 0 0 0 255 0 0 0 255 9 9 9\n";
  write("in.ppm", Bytes(ppm.begin(), ppm.end()));
  const std::string in = path("in.ppm");
  const std::vector<std::string> options = {
      "-alpha set -channel A -evaluate set 50% +channel BMP:" + path("alpha.bmp"),
      "-type Palette -compress RLE BMP3:" + path("rle.bmp"),
      "-type TrueColor BMP3:" + path("flip.bmp")};
  for (const std::string& option : options)
    ASSERT_EQ(std::system(("/usr/bin/convert " + in + " " + option).c_str()), 0) << option;

  for (const char* name : {"alpha.bmp", "rle.bmp"})
    EXPECT_EQ(failure(path(name)),
              "Error loading bitmap from " + path(name) + ": bitmap is in unsupported format");
  Bytes flipped = read("flip.bmp");
  const Bytes minusTwo = {0xFE, 0xFF, 0xFF, 0xFF};
  std::copy(minusTwo.begin(), minusTwo.end(), flipped.begin() + 22);
  write("flip.bmp", flipped);
  EXPECT_EQ(failure(path("flip.bmp")), "Error loading bitmap from " + path("flip.bmp") +
                                           ": top-down bitmaps are not supported");
}

TEST_F(BitmapTest, ShortFilesNameTheFieldThatIsMissing) {
  const Bytes whole = BmpFile{}.bytes();
  const std::vector<std::pair<std::size_t, const char*>> cuts = {
      {0, "magic number"}, {1, "magic number"},      {5, "file size"},    {7, "reserved-1"},
      {9, "reserved-2"},   {13, "offset to pixels"}, {17, "header size"}, {21, "width"},
      {25, "height"},      {27, "planes"},           {29, "bit count"},   {33, "compression"},
      {37, "image size"}};
  for (const auto& [size, field] : cuts) {
    SCOPED_TRACE(size);
    const std::string file = write("short.bmp", Bytes(whole.begin(), whole.begin() + size));
    EXPECT_EQ(failure(file),
              "Error loading bitmap from " + file + ": could not read " + std::string(field));
  }
}

TEST_F(BitmapTest, EveryHeaderRefusalHasItsMessage) {
  struct Case {
    const char* what;
    BmpFile file;
    std::string message;
  };
  std::vector<Case> cases;
  auto add = [&](const char* what, auto change, const std::string& message) {
    BmpFile f;
    change(f);
    cases.push_back({what, f, message});
  };
  add(
      "magic", [](BmpFile& f) { f.magic = 0x4D43; }, "magic number");
  add(
      "top-down", [](BmpFile& f) { f.height = -2; }, "top-down bitmaps are not supported");
  add(
      "width 0", [](BmpFile& f) { f.width = 0; }, "bitmap dimensions are invalid");
  add(
      "negative width", [](BmpFile& f) { f.width = -2; }, "bitmap dimensions are invalid");
  add(
      "height 0", [](BmpFile& f) { f.height = 0; }, "bitmap dimensions are invalid");
  add(
      "planes", [](BmpFile& f) { f.planes = 2; }, "bitmap is in unsupported format");
  add(
      "32 bits", [](BmpFile& f) { f.bitCount = 32; }, "bitmap is in unsupported format");
  add(
      "compressed", [](BmpFile& f) { f.compression = 1; }, "bitmap is in unsupported format");
  add(
      "offset past the end", [](BmpFile& f) { f.pixelOffset = 71; },
      "could not seek to first pixel");
  add(
      "size not rows", [](BmpFile& f) { f.imageSize = 15; },
      "image size disagrees with width and height");
  // The next two pass the divisibility test but leave rows shorter than three bytes a pixel.
  add(
      "size 0", [](BmpFile& f) { f.imageSize = 0; }, "image size disagrees with width and height");
  add(
      "rows too short", [](BmpFile& f) { f.imageSize = 10; },
      "image size disagrees with width and height");
  add(
      "more than the file holds", [](BmpFile& f) { f.imageSize = 24; }, "could not read 24 bytes");
  add(
      "huge size", [](BmpFile& f) { f.imageSize = 4000000000u; },
      "could not read 4000000000 bytes");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(failureOf(c.file), c.message);
  }
}

TEST_F(BitmapTest, MissingFileMessageIsNotWrapped) {
  EXPECT_EQ(failure(path("none.bmp")), "Could not open \"" + path("none.bmp") + "\" for reading");
}

TEST_F(BitmapTest, CacheServesTheRedFallbackOnceForAFailedName) {
  BitmapCache cache(folder_.string());
  const Bitmap& missing = cache.get("later.bmp");
  EXPECT_EQ(missing.width, 1);
  EXPECT_EQ(missing.height, 1);
  EXPECT_EQ(missing.pixels, std::vector<uint32_t>{0xFF0000});
  // The name is not tried again, even once the file exists.
  write("later.bmp", BmpFile{}.bytes());
  EXPECT_EQ(&cache.get("later.bmp"), &missing);
  EXPECT_EQ(&cache.get("other-missing.bmp"), &missing);
}

TEST_F(BitmapTest, CacheLoadsEachNameOnce) {
  write("a.bmp", BmpFile{}.bytes());
  BitmapCache cache(folder_.string());
  const Bitmap& first = cache.get("a.bmp");
  EXPECT_EQ(first.width, 2);
  EXPECT_EQ(first.path, path("a.bmp"));
  fs::remove(path("a.bmp"));
  EXPECT_EQ(&cache.get("a.bmp"), &first);
  EXPECT_EQ(cache.size(), 1u);
}

TEST_F(BitmapTest, CacheFolderGetsExactlyOneSlash) {
  EXPECT_EQ(BitmapCache("images").folder(), "images/");
  EXPECT_EQ(BitmapCache("images/").folder(), "images/");
  EXPECT_EQ(BitmapCache("").folder(), "");
  write("a.bmp", BmpFile{}.bytes());
  EXPECT_EQ(BitmapCache(folder_.string() + "/").get("a.bmp").path, folder_.string() + "/a.bmp");
}

TEST(BitmapOperationsTest, PasteCopiesTheTopLeftBlockOnlyWhenItFits) {
  const auto source = solidBitmap(3, 3, 7);
  source->pixels[0] = 1;
  source->pixels[1] = 2;
  source->pixels[3] = 3;
  auto destination = solidBitmap(4, 3, 0);
  pasteBitmap(*source, 2, *destination, 2, 1, 2);
  EXPECT_EQ(destination->pixels, (std::vector<uint32_t>{0, 0, 0, 0, 0, 0, 1, 2, 0, 0, 3, 7}));

  auto untouched = solidBitmap(4, 3, 0);
  pasteBitmap(*source, 2, *untouched, 3, 1, 2);   // one column over the edge
  pasteBitmap(*source, 2, *untouched, -1, 0, 2);  // left of the destination
  pasteBitmap(*source, 4, *untouched, 0, 0, 2);   // more rows than the source has
  pasteBitmap(*source, -1, *untouched, 0, 0, 2);
  EXPECT_EQ(untouched->pixels, std::vector<uint32_t>(12, 0));
  EXPECT_TRUE(solidBitmap(-1, 4, 0)->pixels.empty());
}

}  // namespace
}  // namespace qelm
