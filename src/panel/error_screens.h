#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "display/drawable.h"

namespace qelm {

class ContextBar;
class FontRegistry;

/// What the operator is told to do about a configuration that did not load.
inline constexpr std::string_view kConfigurationErrorAdvice =
    "To continue, fix the file and choose Reload.";

/// A failed configuration load as the screens tell it: where the error lies and what it is.
struct ConfigurationErrorText {
  /// The file the error lies in; empty when the message names no location.
  std::string file;
  /// Its line, 1 or more; 0 when the location has none (a binary file) or there is no location.
  int64_t line = 0;
  /// What went wrong; the whole message when it names no location.
  std::string message;
};

/// Splits the loader's message: "at FILE:LINE MESSAGE", "at FILE [binary] MESSAGE", or any other
/// text (a start-up file that could not be read), which is all message.
ConfigurationErrorText splitConfigurationError(std::string_view text);

/// Lines of `text` no wider than `width` pixels in font `fontCode` of `window`: broken at spaces
/// where it can, inside a word where it must, never inside a UTF-8 character. At most
/// `maxLines` lines; control characters count as spaces.
std::vector<std::string> wrapText(Window& window, std::string_view text, int32_t fontCode,
                                  int32_t width, std::size_t maxLines);

/// One paragraph of a notice: its text and colour.
struct NoticeParagraph {
  std::string text;  ///< empty for a blank line
  ColorIndex color;
};

/// A screen that tells the operator something: a header bar across the top and wrapped
/// paragraphs below it, in font 0, or in the compact font when font 0 would need more lines than
/// fit; what fits in neither is cut, its last line ending in "...".
class NoticeView final : public Drawable {
 public:
  /// Creates the header bar; called once after placement.
  void layout();
  /// Sets what the view shows and queues a paint.
  void setNotice(std::string_view header, std::vector<NoticeParagraph> paragraphs);

  /// The lines the last paint drew, after wrapping.
  const std::vector<std::string>& drawnLines() const { return drawnLines_; }
  /// Font code the last paint drew the paragraphs in.
  int32_t drawnFont() const { return drawnFont_; }

  void onShow() override;
  void paint() override;

 private:
  // The paragraphs wrapped in `fontCode`, one entry per line with its colour; at most one line
  // more than `maxLines`, so that a caller sees what does not fit.
  std::vector<NoticeParagraph> wrapped(int32_t fontCode, std::size_t maxLines);

  ContextBar* header_ = nullptr;
  std::vector<NoticeParagraph> paragraphs_;
  std::vector<std::string> drawnLines_;
  int32_t drawnFont_ = 0;
  bool dirty_ = false;
};

/// Draws the configuration error `text` (the loader's message) over both screens of `raster`
/// (kRasterWidth x kRasterHeight, not owned): the left screen says where and what, the right
/// what to do. The caller holds the screen lock. False, with nothing drawn, when `fonts` lacks
/// font 0.
bool drawConfigurationError(uint32_t* raster, FontRegistry& fonts, std::string_view text);

}  // namespace qelm
