#include "remote/screen_codec.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <vector>

#include "core/raster_geometry.h"

namespace qelm::remote {
namespace {

struct Rectangle {
  int x, y, width, height;
  friend bool operator==(const Rectangle&, const Rectangle&) = default;
};

// An update as the browser reads it, applied to its picture by the protocol alone.
struct ReadUpdate {
  bool whole = false;
  uint8_t lamps[16] = {};
  std::vector<Rectangle> rectangles;
};

uint32_t little(const std::string& bytes, size_t at, int count) {
  uint32_t value = 0;
  for (int i = count - 1; i >= 0; --i)
    value = value << 8 | static_cast<uint8_t>(bytes.at(at + static_cast<size_t>(i)));
  return value;
}

// Reads `bytes` and paints its rectangles into `picture` (0x00RRGGBB, kViewWidth a row).
ReadUpdate readUpdate(const std::string& bytes, std::vector<uint32_t>& picture) {
  ReadUpdate update;
  EXPECT_EQ(static_cast<uint8_t>(bytes.at(0)), kScreenUpdateKind);
  update.whole = (bytes.at(1) & kWholePictureFlag) != 0;
  std::memcpy(update.lamps, bytes.data() + 2, 16);
  const uint32_t count = little(bytes, 18, 2);
  size_t at = kUpdateHeaderBytes;
  for (uint32_t i = 0; i < count; ++i) {
    const Rectangle r{
        static_cast<int>(little(bytes, at, 2)), static_cast<int>(little(bytes, at + 2, 2)),
        static_cast<int>(little(bytes, at + 4, 2)), static_cast<int>(little(bytes, at + 6, 2))};
    const uint32_t length = little(bytes, at + 8, 4);
    at += kRectangleHeaderBytes;
    EXPECT_LE(r.x + r.width, kViewWidth);
    EXPECT_LE(r.y + r.height, kViewHeight);
    std::vector<uint8_t> rgb(static_cast<size_t>(r.width) * r.height * 3);
    uLongf size = static_cast<uLongf>(rgb.size());
    EXPECT_EQ(
        uncompress(rgb.data(), &size, reinterpret_cast<const Bytef*>(bytes.data() + at), length),
        Z_OK);
    EXPECT_EQ(size, rgb.size());
    at += length;
    const uint8_t* from = rgb.data();
    for (int y = r.y; y < r.y + r.height; ++y)
      for (int x = r.x; x < r.x + r.width; ++x, from += 3)
        picture[static_cast<size_t>(y) * kViewWidth + x] =
            static_cast<uint32_t>(from[0]) << 16 | from[1] << 8 | from[2];
    update.rectangles.push_back(r);
  }
  EXPECT_EQ(at, bytes.size());
  return update;
}

class ScreenCodecTest : public ::testing::Test {
 protected:
  ScreenCodecTest() : raster_(static_cast<size_t>(kRasterWidth) * kRasterHeight) {
    // Both screens busy, the gap between them and the alpha byte full of what must not show.
    for (int y = 0; y < kRasterHeight; ++y)
      for (int x = 0; x < kRasterWidth; ++x)
        at(x, y) = 0xAB000000u | static_cast<uint32_t>((x * 7 + y * 13) % 256) << 16 |
                   static_cast<uint32_t>(x / 16 % 256) << 8 | static_cast<uint32_t>(y % 256);
    picture_.assign(static_cast<size_t>(kViewWidth) * kViewHeight, 0);
  }

  uint32_t& at(int x, int y) { return raster_[static_cast<size_t>(y) * kRasterWidth + x]; }

  // The browser's picture equals both screens of the raster.
  void expectPictureShowsRaster() {
    for (int y = 0; y < kViewHeight; ++y)
      for (int x = 0; x < kViewWidth; ++x) {
        const int column = x < kViewRightColumn ? x : x - kViewRightColumn + kRightScreenColumn;
        ASSERT_EQ(picture_[static_cast<size_t>(y) * kViewWidth + x], at(column, y) & 0xFFFFFF)
            << x << "," << y;
      }
  }

  void paint(int left, int top, int right, int bottom, uint32_t colour) {
    for (int y = top; y < bottom; ++y)
      for (int x = left; x < right; ++x)
        at(x, y) = colour;
  }

  std::vector<uint32_t> raster_;
  std::vector<uint32_t> picture_;
  ShownScreen shown_;
  LampStates lamps_{};
};

TEST_F(ScreenCodecTest, TheFirstUpdateCarriesBothScreensAndTheLamps) {
  lamps_[static_cast<size_t>(codeOf(PanelKey::kDigit0))] = LampState::kLit;
  lamps_[static_cast<size_t>(codeOf(PanelKey::kEnter))] = LampState::kBright;
  const std::string bytes = encodeUpdate(raster_.data(), shown_, lamps_, true);
  const ReadUpdate update = readUpdate(bytes, picture_);
  EXPECT_TRUE(update.whole);
  EXPECT_EQ(update.rectangles, (std::vector<Rectangle>{{0, 0, kViewWidth, kViewHeight}}));
  EXPECT_EQ(update.lamps[0], static_cast<uint8_t>(LampState::kLit));
  EXPECT_EQ(update.lamps[15], static_cast<uint8_t>(LampState::kBright));
  EXPECT_EQ(update.lamps[7], static_cast<uint8_t>(LampState::kOff));
  expectPictureShowsRaster();
  EXPECT_EQ(shown_.pixels, picture_);
  EXPECT_TRUE(encodeUpdate(raster_.data(), shown_, lamps_, false).empty()) << "nothing changed";
}

TEST_F(ScreenCodecTest, ChangesBecomeOneRectanglePerBandAndScreen) {
  readUpdate(encodeUpdate(raster_.data(), shown_, lamps_, true), picture_);

  // One change on each screen on the same rows; the alpha byte alone is no change.
  paint(10, 20, 30, 25, 0x00FF0000);
  paint(kRightScreenColumn + 100, 21, kRightScreenColumn + 101, 23, 0x0000FF00);
  at(300, 200) ^= 0xFF000000u;
  ReadUpdate update = readUpdate(encodeUpdate(raster_.data(), shown_, lamps_, false), picture_);
  EXPECT_FALSE(update.whole);
  EXPECT_EQ(update.rectangles,
            (std::vector<Rectangle>{{10, 20, 20, 5}, {kViewRightColumn + 100, 21, 1, 2}}));
  expectPictureShowsRaster();

  // Rows a few apart join one band spanning both rows' columns; far apart, two bands.
  at(5, 100) = 1;
  at(50, 103) = 2;
  at(7, 200) = 3;
  update = readUpdate(encodeUpdate(raster_.data(), shown_, lamps_, false), picture_);
  EXPECT_EQ(update.rectangles, (std::vector<Rectangle>{{5, 100, 46, 4}, {7, 200, 1, 1}}));
  expectPictureShowsRaster();

  // The last pixel of each screen.
  at(kScreenWidth - 1, kRasterHeight - 1) = 4;
  at(kRightScreenColumn + kScreenWidth - 1, kRasterHeight - 1) = 5;
  update = readUpdate(encodeUpdate(raster_.data(), shown_, lamps_, false), picture_);
  EXPECT_EQ(update.rectangles, (std::vector<Rectangle>{{kScreenWidth - 1, kRasterHeight - 1, 1, 1},
                                                       {kViewWidth - 1, kRasterHeight - 1, 1, 1}}));
  expectPictureShowsRaster();
}

TEST_F(ScreenCodecTest, LampsAloneGiveAnUpdateWithoutRectangles) {
  encodeUpdate(raster_.data(), shown_, lamps_, true);
  lamps_[static_cast<size_t>(codeOf(PanelKey::kCancel))] = LampState::kLit;
  const std::string bytes = encodeUpdate(raster_.data(), shown_, lamps_, false);
  ASSERT_EQ(bytes.size(), kUpdateHeaderBytes);
  EXPECT_EQ(readUpdate(bytes, picture_).lamps[codeOf(PanelKey::kCancel) - 1],
            static_cast<uint8_t>(LampState::kLit));
  EXPECT_TRUE(encodeUpdate(raster_.data(), shown_, lamps_, false).empty());
}

}  // namespace
}  // namespace qelm::remote
