#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/input.h"

namespace qelm::remote {

/// The picture a browser gets: both screens side by side without the raster's gap between them.
inline constexpr int kViewWidth = 960;
/// Rows of the browser's picture.
inline constexpr int kViewHeight = 272;
/// Column of the browser's picture where the right screen starts.
inline constexpr int kViewRightColumn = 480;

/// The first byte of a screen update.
inline constexpr uint8_t kScreenUpdateKind = 1;
/// Flag bit of an update that covers the whole picture.
inline constexpr uint8_t kWholePictureFlag = 1;
/// Bytes before the first rectangle: kind, flags, 16 lamps, rectangle count.
inline constexpr size_t kUpdateHeaderBytes = 20;
/// Bytes of a rectangle before its compressed pixels: x, y, width, height, length.
inline constexpr size_t kRectangleHeaderBytes = 12;
/// zlib level of the pixels: 6 costs about a third of the time of 9 for a few per cent more
/// bytes, and clearly fewer bytes than 1 (see bench/remote_bench.cpp).
inline constexpr int kPixelCompressionLevel = 6;

/// What one browser shows: the picture and the lamps of its last update, 0x00RRGGBB per pixel.
struct ShownScreen {
  std::vector<uint32_t> pixels = std::vector<uint32_t>(size_t{kViewWidth} * kViewHeight);
  LampStates lamps{};
};

/// The update that brings `shown` to the raster `raster` (the shared raster's layout: 1024
/// pixels a row, the right screen from column 512) and the lamps `lamps`, and records it in
/// `shown`. `whole` sends the whole picture as one rectangle; otherwise each band of changed
/// rows of each screen becomes a rectangle spanning the band's changed columns. Empty when
/// nothing changed and `whole` is false.
std::string encodeUpdate(const uint32_t* raster, ShownScreen& shown, const LampStates& lamps,
                         bool whole, int level = kPixelCompressionLevel);

}  // namespace qelm::remote
