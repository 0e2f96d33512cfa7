#pragma once

#include <array>
#include <cstdint>

namespace qelm {

/// A colour as the drawing operations take it: 0..27 select a palette entry, anything else is
/// black, except kUnderlyingColor as the background of drawText.
using ColorIndex = int32_t;

/// Number of palette entries.
inline constexpr int kPaletteSize = 28;
/// Background index of drawText meaning "the colour already at the box's top-left pixel".
inline constexpr ColorIndex kUnderlyingColor = 29;

/// The palette's entries by what the screens draw with them. Entries 0 to 13 follow the theme;
/// 14 to 27 are the loudness screens' own and the same in both themes.
namespace palette {
inline constexpr ColorIndex kBackground = 0;
inline constexpr ColorIndex kHighlightBackground = 1;
inline constexpr ColorIndex kText = 2;
inline constexpr ColorIndex kHighlightText = 3;
inline constexpr ColorIndex kErrorText = 4;
/// The context bars and the parameter bar's band.
inline constexpr ColorIndex kBarBackground = 5;
inline constexpr ColorIndex kBarText = 6;
inline constexpr ColorIndex kIcon = 7;
/// The momentary bar's zones.
inline constexpr ColorIndex kMeterRed = 14;
inline constexpr ColorIndex kMeterGreen = 15;
inline constexpr ColorIndex kMeterBlue = 23;
inline constexpr ColorIndex kLoudnessText = 17;
inline constexpr ColorIndex kLoudnessWarning = 18;
inline constexpr ColorIndex kLoudnessBackground = 19;
inline constexpr ColorIndex kLoudnessHigh = 20;
inline constexpr ColorIndex kLoudnessLow = 21;
/// Frames and unlit meter segments.
inline constexpr ColorIndex kLoudnessGrey = 22;
}  // namespace palette

/// The global setting "theme": which backgrounds the screens use.
enum class ColorTheme : int32_t {
  kLight = 0,  ///< "Light Backgrounds"
  kDark = 1,   ///< "Dark Backgrounds"
};

/// The 28 pixel values (0x00RRGGBB) of `theme`; any value other than kDark gives the light set.
std::array<uint32_t, kPaletteSize> themeColors(ColorTheme theme);

/// Fills the process-wide palette for `theme`; what is drawn afterwards uses the new colours.
/// Until the first call the palette holds the light set.
void fillPalette(ColorTheme theme);

/// Pixel value (0x00RRGGBB) of `index` in the process-wide palette; 0x000000 for an index
/// outside 0..27 (kUnderlyingColor included).
uint32_t paletteColor(ColorIndex index);

}  // namespace qelm
