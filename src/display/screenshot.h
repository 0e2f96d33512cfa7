#pragma once

#include <cstdint>
#include <string>

#include "core/raster_geometry.h"

namespace qelm {

/// Pixels per row of a screenshot: the two 480-pixel screens side by side.
inline constexpr int kScreenshotWidth = 2 * kScreenWidth;
/// Rows of a screenshot.
inline constexpr int kScreenshotHeight = kScreenHeight;

/// Writes the screens of `raster` (1024 x 272 pixels of 0x00RRGGBB; left screen columns
/// 0..479, right 512..991) side by side as a 960 x 272 RGB PNG file at `path`. False, with the
/// reason in `error`, when the file cannot be written.
[[nodiscard]] bool writeScreensPng(const uint32_t* raster, const std::string& path,
                                   std::string& error);

}  // namespace qelm
