#include "panel/error_screens.h"

#include <algorithm>
#include <memory>
#include <tuple>
#include <utility>

#include "core/raster_geometry.h"
#include "display/font.h"
#include "display/palette.h"
#include "display/raster_window.h"
#include "display/win_rendered_font.h"
#include "panel/views.h"
#include "text/readers.h"

namespace qelm {

namespace {

// Blank columns at both sides of the paragraphs, and rows between the header and the first line.
constexpr int32_t kTextMargin = 8;
constexpr int32_t kGap = 6;
// Blank rows between two lines of text.
constexpr int32_t kLeading = 2;
// Most bytes of an error message looked at: more than two screens of the compact font hold.
constexpr std::size_t kMaxErrorBytes = 4096;
constexpr std::string_view kEllipsis = "...";

constexpr std::string_view kErrorHeader = "Configuration error";
constexpr std::string_view kAdviceHeader = "What to do";
constexpr std::string_view kStoppedNote = "The panel stays stopped until the configuration loads.";

bool isBlank(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte <= ' ' || byte == 0x7F;
}

// Bytes of the longest run of whole characters at the start of `text` that fits `width`; at least
// one character, so that a line always takes something.
std::size_t fittingPrefix(Window& window, std::string_view text, int32_t fontCode, int32_t width) {
  std::size_t cut = characterLength(text);
  while (cut < text.size()) {
    const std::size_t next = cut + characterLength(text.substr(cut));
    if (window.measureText(text.substr(0, next), fontCode).width > width) break;
    cut = next;
  }
  return cut;
}

// Where to break `text`, of which the first `cut` bytes fit: after the last path separator of
// those bytes when it lies in their second half and does not start a word, else at `cut`.
std::size_t pathBreak(std::string_view text, std::size_t cut) {
  const std::size_t separator = text.substr(0, cut).find_last_of("/\\");
  if (separator == std::string_view::npos || separator == 0 || isBlank(text[separator - 1]) ||
      separator + 1 < cut / 2)
    return cut;
  return separator + 1;
}

}  // namespace

ConfigurationErrorText splitConfigurationError(std::string_view text) {
  ConfigurationErrorText split;
  constexpr std::string_view kAt = "at ";
  constexpr std::string_view kBinary = " [binary] ";
  if (text.substr(0, kAt.size()) == kAt) {
    const std::string_view located = text.substr(kAt.size());
    // The location ends at the first ":LINE " (a path may hold colons, rarely followed by
    // digits and a space) or at " [binary] ".
    for (std::size_t colon = located.find(':'); colon != std::string_view::npos;
         colon = located.find(':', colon + 1)) {
      std::size_t end = colon + 1;
      int64_t line = 0;
      while (end < located.size() && located[end] >= '0' && located[end] <= '9' &&
             line < 1'000'000'000)
        line = line * 10 + (located[end++] - '0');
      if (end > colon + 1 && end < located.size() && located[end] == ' ') {
        split.file = located.substr(0, colon);
        split.line = line;
        split.message = located.substr(end + 1);
        return split;
      }
    }
    if (const std::size_t binary = located.find(kBinary); binary != std::string_view::npos) {
      split.file = located.substr(0, binary);
      split.message = located.substr(binary + kBinary.size());
      return split;
    }
  }
  split.message = text;
  return split;
}

std::vector<std::string> wrapText(Window& window, std::string_view text, int32_t fontCode,
                                  int32_t width, std::size_t maxLines) {
  std::vector<std::string> lines;
  std::string line;
  const auto fits = [&](std::string_view candidate) {
    return window.measureText(candidate, fontCode).width <= width;
  };
  std::size_t at = 0;
  while (lines.size() < maxLines) {
    while (at < text.size() && isBlank(text[at]))
      ++at;
    if (at >= text.size()) break;
    std::size_t end = at;
    while (end < text.size() && !isBlank(text[end]))
      ++end;
    std::string_view word = text.substr(at, end - at);
    at = end;

    std::string candidate = line.empty() ? std::string(word) : line + ' ' + std::string(word);
    if (fits(candidate)) {
      line = std::move(candidate);
      continue;
    }
    if (fits(word)) {
      lines.push_back(std::move(line));
      line = word;
      continue;
    }
    // A word wider than a whole line (a path) goes on where the line stands and is broken
    // between characters.
    std::string_view rest = candidate;
    while (lines.size() < maxLines && !fits(rest)) {
      const std::size_t cut = pathBreak(rest, fittingPrefix(window, rest, fontCode, width));
      lines.emplace_back(rest.substr(0, cut));
      rest.remove_prefix(cut);
    }
    line = rest;
  }
  if (!line.empty() && lines.size() < maxLines) lines.push_back(std::move(line));
  return lines;
}

// ------------------------------------------------------------------------------------------------
// NoticeView

void NoticeView::layout() {
  header_ = &addChild(std::make_unique<ContextBar>(), "header", Rect{0, 0, width(), height() / 9});
}

void NoticeView::setNotice(std::string_view header, std::vector<NoticeParagraph> paragraphs) {
  if (header_ != nullptr) header_->setHeader(header);
  paragraphs_ = std::move(paragraphs);
  dirty_ = true;
  queuePaint();
}

void NoticeView::onShow() {
  dirty_ = true;
  queuePaint();
}

std::vector<NoticeParagraph> NoticeView::wrapped(int32_t fontCode, std::size_t maxLines) {
  std::vector<NoticeParagraph> lines;
  const int32_t textWidth = width() - 2 * kTextMargin;
  for (const NoticeParagraph& paragraph : paragraphs_) {
    if (lines.size() > maxLines) break;
    if (paragraph.text.empty()) {
      lines.push_back({std::string(), paragraph.color});
      continue;
    }
    for (std::string& text :
         wrapText(*window(), paragraph.text, fontCode, textWidth, maxLines + 1 - lines.size()))
      lines.push_back({std::move(text), paragraph.color});
  }
  return lines;
}

void NoticeView::paint() {
  Window* w = window();
  if (!dirty_ || w == nullptr || w->fonts() == nullptr) return;
  dirty_ = false;
  w->clear(this, palette::kBackground);
  const int32_t top = (header_ != nullptr ? header_->height() : 0) + kGap;
  const auto rowsIn = [&](int32_t fontCode) {
    const OFont* font = w->fonts()->find(fontCode);
    const int32_t lineHeight = font != nullptr ? font->height() + kLeading : 0;
    return std::pair<int32_t, std::size_t>(
        lineHeight, lineHeight > 0 ? static_cast<std::size_t>((height() - top) / lineHeight) : 0);
  };
  drawnFont_ = font::kSmall;
  auto [lineHeight, rows] = rowsIn(font::kSmall);
  std::vector<NoticeParagraph> lines = wrapped(font::kSmall, rows);
  if (lines.size() > rows && rowsIn(font::kCompact).second > rows) {
    drawnFont_ = font::kCompact;
    std::tie(lineHeight, rows) = rowsIn(font::kCompact);
    lines = wrapped(font::kCompact, rows);
  }
  if (lines.size() > rows) {
    lines.resize(rows);
    if (!lines.empty()) {
      // The last line that fits says that more would follow.
      std::string& last = lines.back().text;
      const int32_t textWidth = width() - 2 * kTextMargin;
      while (!last.empty() &&
             w->measureText(last + std::string(kEllipsis), drawnFont_).width > textWidth)
        last = cutText(last, last.size() - 1);
      last += kEllipsis;
    }
  }
  drawnLines_.clear();
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const int32_t y = top + static_cast<int32_t>(i) * lineHeight;
    w->drawText(this, lines[i].text, drawnFont_, false, lines[i].color, palette::kBackground,
                Rect{kTextMargin, y, width() - kTextMargin, y + lineHeight});
    drawnLines_.push_back(std::move(lines[i].text));
  }
}

// ------------------------------------------------------------------------------------------------

bool drawConfigurationError(uint32_t* raster, FontRegistry& fonts, std::string_view text) {
  if (fonts.find(font::kSmall) == nullptr) return false;
  const ConfigurationErrorText error = splitConfigurationError(cutText(text, kMaxErrorBytes));
  std::vector<NoticeParagraph> where;
  if (!error.file.empty()) where.push_back({"File: " + error.file, palette::kText});
  if (error.line > 0) where.push_back({"Line: " + std::to_string(error.line), palette::kText});
  if (!where.empty()) where.push_back({std::string(), palette::kText});
  where.push_back({error.message, palette::kErrorText});

  RasterWindow left("left", kLeftScreenRegion, &fonts, raster);
  RasterWindow right("right", kRightScreenRegion, &fonts, raster);
  const Rect screen{0, 0, kScreenWidth, kScreenHeight};
  NoticeView leftView;
  leftView.init(&left, "error", screen);
  leftView.layout();
  leftView.setNotice(kErrorHeader, std::move(where));
  NoticeView rightView;
  rightView.init(&right, "advice", screen);
  rightView.layout();
  rightView.setNotice(kAdviceHeader, {{std::string(kConfigurationErrorAdvice), palette::kText},
                                      {std::string(), palette::kText},
                                      {std::string(kStoppedNote), palette::kText}});
  leftView.setVisible(true);
  rightView.setVisible(true);
  left.flushPending();
  right.flushPending();
  return true;
}

}  // namespace qelm
