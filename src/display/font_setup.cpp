#include "display/font_setup.h"

#include <memory>

#include "core/log.h"
#include "display/pre_rendered_font.h"

namespace qelm {

bool registerIconFont(FontRegistry& registry, const std::string& path) {
  auto font = std::make_unique<PreRenderedFont>();
  if (!font->load(path)) return false;
  registry.add(kIconFontCode, std::move(font));
  return true;
}

bool createFonts(FontRegistry& registry, const std::string& fontsFolder, const Typeface& typeface) {
  // One lookup for all nine fonts; when it finds nothing, the first font reports it.
  const Typeface face = typeface.file.empty() ? findTextTypeface() : typeface;
  try {
    for (int32_t code : {0, 1, 2, 3})
      registry.add(code, std::make_unique<WinRenderedFont>(code, face));
    registerIconFont(registry, fontsFolder + kIconFontFileName);
    for (int32_t code : {5, 6, 7, 8, 41})
      registry.add(code, std::make_unique<WinRenderedFont>(code, face));
  } catch (const FontException& error) {
    logMessage(kLogError, "Problem occurred during font cache initialization: %s.\n", error.what());
    return false;
  }
  return true;
}

}  // namespace qelm
