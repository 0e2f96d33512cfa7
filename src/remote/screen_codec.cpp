#include "remote/screen_codec.h"

#include <zlib.h>

#include <algorithm>
#include <optional>

#include "core/raster_geometry.h"

namespace qelm::remote {

namespace {

static_assert(kViewWidth == 2 * kScreenWidth && kViewHeight == kRasterHeight);
static_assert(kViewRightColumn == kScreenWidth);

// Unchanged rows between two changed ones that still join them into one band: sending a few
// unchanged rows costs less than the header and the zlib stream of another rectangle.
constexpr int kBandGapRows = 4;

constexpr uint32_t kColourMask = 0x00FFFFFF;

struct Rectangle {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

// The raster column of the picture's column `x`.
constexpr int rasterColumn(int x) {
  return x < kViewRightColumn ? x : x - kViewRightColumn + kRightScreenColumn;
}

// The changed columns of row `y` within the picture's columns first..last-1.
std::optional<std::pair<int, int>> changedSpan(const uint32_t* raster, const ShownScreen& shown,
                                               int y, int first, int last) {
  const uint32_t* rasterRow = raster + static_cast<size_t>(y) * kRasterWidth;
  const uint32_t* shownRow = shown.pixels.data() + static_cast<size_t>(y) * kViewWidth;
  const int offset = rasterColumn(first) - first;
  int left = first;
  while (left < last && ((rasterRow[left + offset] ^ shownRow[left]) & kColourMask) == 0)
    ++left;
  if (left == last) return std::nullopt;
  int right = last;
  while (((rasterRow[right - 1 + offset] ^ shownRow[right - 1]) & kColourMask) == 0)
    --right;
  return std::pair{left, right};
}

// The bands of changed rows of the screen in the picture's columns first..last-1.
void findBands(const uint32_t* raster, const ShownScreen& shown, int first, int last,
               std::vector<Rectangle>& out) {
  std::optional<Rectangle> band;
  int lastChangedRow = 0;
  for (int y = 0; y < kViewHeight; ++y) {
    const auto span = changedSpan(raster, shown, y, first, last);
    if (!span) continue;
    if (band && y - lastChangedRow <= kBandGapRows + 1) {
      const int left = std::min(band->x, span->first);
      const int right = std::max(band->x + band->width, span->second);
      band->x = left;
      band->width = right - left;
      band->height = y - band->y + 1;
    } else {
      if (band) out.push_back(*band);
      band = Rectangle{span->first, y, span->second - span->first, 1};
    }
    lastChangedRow = y;
  }
  if (band) out.push_back(*band);
}

void putLittle16(std::string& out, int value) {
  out.push_back(static_cast<char>(value & 0xFF));
  out.push_back(static_cast<char>((value >> 8) & 0xFF));
}

void putLittle32(std::string& out, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i)
    out[at + static_cast<size_t>(i)] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

// Copies the rectangle's pixels as R, G, B bytes into `rgb` and into `shown`.
void takePixels(const uint32_t* raster, ShownScreen& shown, const Rectangle& rectangle,
                std::vector<uint8_t>& rgb) {
  rgb.resize(static_cast<size_t>(rectangle.width) * rectangle.height * 3);
  uint8_t* to = rgb.data();
  for (int y = rectangle.y; y < rectangle.y + rectangle.height; ++y) {
    const uint32_t* rasterRow = raster + static_cast<size_t>(y) * kRasterWidth;
    uint32_t* shownRow = shown.pixels.data() + static_cast<size_t>(y) * kViewWidth;
    for (int x = rectangle.x; x < rectangle.x + rectangle.width; ++x) {
      const uint32_t pixel = rasterRow[rasterColumn(x)] & kColourMask;
      shownRow[x] = pixel;
      *to++ = static_cast<uint8_t>(pixel >> 16);
      *to++ = static_cast<uint8_t>(pixel >> 8);
      *to++ = static_cast<uint8_t>(pixel);
    }
  }
}

// Appends the rectangle's header and its pixels as one zlib stream.
void appendRectangle(const Rectangle& rectangle, const std::vector<uint8_t>& rgb, int level,
                     std::string& out) {
  putLittle16(out, rectangle.x);
  putLittle16(out, rectangle.y);
  putLittle16(out, rectangle.width);
  putLittle16(out, rectangle.height);
  const size_t lengthAt = out.size();
  out.append(4, '\0');
  uLongf length = compressBound(static_cast<uLong>(rgb.size()));
  const size_t dataAt = out.size();
  out.resize(dataAt + length);
  const int result = compress2(reinterpret_cast<Bytef*>(out.data() + dataAt), &length, rgb.data(),
                               static_cast<uLong>(rgb.size()), level);
  // compressBound always suffices and the level is ours; anything else is a broken zlib.
  if (result != Z_OK) length = 0;
  out.resize(dataAt + length);
  putLittle32(out, lengthAt, static_cast<uint32_t>(length));
}

}  // namespace

std::string encodeUpdate(const uint32_t* raster, ShownScreen& shown, const LampStates& lamps,
                         bool whole, int level) {
  std::vector<Rectangle> rectangles;
  if (whole) {
    rectangles.push_back({0, 0, kViewWidth, kViewHeight});
  } else {
    findBands(raster, shown, 0, kViewRightColumn, rectangles);
    findBands(raster, shown, kViewRightColumn, kViewWidth, rectangles);
    if (rectangles.empty() && lamps == shown.lamps) return {};
  }
  std::string out;
  out.push_back(static_cast<char>(kScreenUpdateKind));
  out.push_back(static_cast<char>(whole ? kWholePictureFlag : 0));
  for (int32_t code = kFirstKeyCode; code <= kLastKeyCode; ++code)
    out.push_back(static_cast<char>(lamps[static_cast<size_t>(code)]));
  putLittle16(out, static_cast<int>(rectangles.size()));
  std::vector<uint8_t> rgb;
  for (const Rectangle& rectangle : rectangles) {
    takePixels(raster, shown, rectangle, rgb);
    appendRectangle(rectangle, rgb, level, out);
  }
  shown.lamps = lamps;
  return out;
}

}  // namespace qelm::remote
