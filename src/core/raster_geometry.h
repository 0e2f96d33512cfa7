#pragma once

#include "core/rect.h"

namespace qelm {

/// The shared raster: both screens side by side, left in columns 0..479, right in 512..991.
inline constexpr int kRasterWidth = 1024;
/// Rows of the shared raster.
inline constexpr int kRasterHeight = 272;
/// Pixels across one screen.
inline constexpr int kScreenWidth = 480;
/// Pixels down one screen.
inline constexpr int kScreenHeight = 272;
/// Column where the right screen starts in the raster.
inline constexpr int kRightScreenColumn = 512;

/// Region of the left screen in the shared raster (columns 0..479).
inline constexpr Rect kLeftScreenRegion{0, 0, kScreenWidth, kScreenHeight};
/// Region of the right screen in the shared raster (columns 512..991).
inline constexpr Rect kRightScreenRegion{kRightScreenColumn, 0, kRightScreenColumn + kScreenWidth,
                                         kScreenHeight};

}  // namespace qelm
