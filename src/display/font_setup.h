#pragma once

#include <cstdint>
#include <string>

#include "display/font.h"
#include "display/win_rendered_font.h"

namespace qelm {

/// Name of the icon font file, appended to the fonts folder as it stands (hence the "/").
inline constexpr const char* kIconFontFileName = "/MarvexIcons16x16.fnt";
/// Font code of the icon font.
inline constexpr int32_t kIconFontCode = 4;

/// Loads the icon font from `path` and registers it under kIconFontCode; false, with nothing
/// registered and nothing logged, when the file does not load.
bool registerIconFont(FontRegistry& registry, const std::string& path);

/// Creates and registers the start-up fonts in order: text fonts 0, 1, 2, 3, the icon font from
/// `fontsFolder` + kIconFontFileName (absent when it does not load), text fonts 5, 6, 7, 8, 41.
/// A FontException ends the creation, is logged as "Problem occurred during font cache
/// initialization: <text>." and gives false; the fonts made before it stay registered.
/// An empty `typeface` is looked up once with findTextTypeface.
bool createFonts(FontRegistry& registry, const std::string& fontsFolder,
                 const Typeface& typeface = {});

}  // namespace qelm
