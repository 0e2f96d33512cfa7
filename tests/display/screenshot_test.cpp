#include "display/screenshot.h"

#include <gtest/gtest.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "../file_size_limit.h"
#include "core/app_context.h"

namespace qelm {
namespace {

namespace fs = std::filesystem;

TEST(ScreenshotTest, WritesBothScreensSideBySide) {
  std::vector<uint32_t> raster(static_cast<std::size_t>(kRasterWidth) * kRasterHeight, 0x808080);
  auto put = [&](int x, int y, uint32_t pixel) { raster[y * kRasterWidth + x] = pixel; };
  put(0, 0, 0xFF0000);
  put(479, 0, 0x00FF00);
  for (int x = 480; x < 512; ++x)
    put(x, 0, 0x0000FF);  // between the screens: left out
  put(512, 0, 0xFFFFFF);
  put(991, 271, 0x123456);
  put(992, 271, 0x0000FF);

  // Named by process, so builds testing side by side do not share the file.
  const std::string path =
      (fs::temp_directory_path() / ("qelm-screenshot-" + std::to_string(getpid()) + ".png"))
          .string();
  std::string error;
  ASSERT_TRUE(writeScreensPng(raster.data(), path, error)) << error;

  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  ASSERT_NE(png_image_begin_read_from_file(&image, path.c_str()), 0) << image.message;
  image.format = PNG_FORMAT_RGB;
  std::vector<uint8_t> rgb(PNG_IMAGE_SIZE(image));
  ASSERT_NE(png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr), 0) << image.message;
  fs::remove(path);
  ASSERT_EQ(image.width, 960u);
  ASSERT_EQ(image.height, 272u);
  auto at = [&](int x, int y) {
    const uint8_t* p = rgb.data() + (static_cast<std::size_t>(y) * 960 + x) * 3;
    return uint32_t{p[0]} << 16 | uint32_t{p[1]} << 8 | p[2];
  };
  EXPECT_EQ(at(0, 0), 0xFF0000u);
  EXPECT_EQ(at(479, 0), 0x00FF00u);
  EXPECT_EQ(at(480, 0), 0xFFFFFFu);
  EXPECT_EQ(at(481, 0), 0x808080u);
  EXPECT_EQ(at(959, 271), 0x123456u);
}

TEST(ScreenshotTest, UnwritablePathIsReported) {
  std::vector<uint32_t> raster(static_cast<std::size_t>(kRasterWidth) * kRasterHeight, 0);
  std::string error;
  EXPECT_FALSE(writeScreensPng(raster.data(), "/nonexistent/folder/shot.png", error));
  EXPECT_FALSE(error.empty());

  // A pipe nobody reads would hold the writer for good: it is refused at once.
  const fs::path pipe = fs::temp_directory_path() / ("qelm-shot-fifo-" + std::to_string(getpid()));
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  error.clear();
  EXPECT_FALSE(writeScreensPng(raster.data(), pipe.string(), error));
  EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
  fs::remove(pipe);
}

std::string contentsOf(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

TEST(ScreenshotTest, AFailedWriteLeavesTheOldPictureWholeAndNoCutOne) {
  const fs::path folder =
      fs::temp_directory_path() / ("qelm-shot-replace-" + std::to_string(getpid()));
  fs::remove_all(folder);
  fs::create_directories(folder);
  const std::string path = (folder / "screens.png").string();
  std::vector<uint32_t> raster(static_cast<std::size_t>(kRasterWidth) * kRasterHeight, 0x102030);
  std::string error;
  ASSERT_TRUE(writeScreensPng(raster.data(), path, error)) << error;
  const std::string old = contentsOf(path);

  // A disk that fills up halfway through the new picture (noise does not compress).
  for (std::size_t i = 0; i < raster.size(); ++i)
    raster[i] = static_cast<uint32_t>(i * 2654435761u);
  {
    const testing::FileSizeLimit disk(old.size() + 100);
    EXPECT_FALSE(writeScreensPng(raster.data(), path, error));
  }
  EXPECT_FALSE(error.empty());
  EXPECT_TRUE(contentsOf(path) == old) << "the old picture stays whole";
  EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1)
      << "no temporary file is left behind";

  // With room again the new picture replaces the old one.
  ASSERT_TRUE(writeScreensPng(raster.data(), path, error)) << error;
  EXPECT_GT(contentsOf(path).size(), old.size() + 100);
  EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
  fs::remove_all(folder);
}

}  // namespace
}  // namespace qelm
