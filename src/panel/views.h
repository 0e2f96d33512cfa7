#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "display/drawable.h"
#include "panel/parameter_bar.h"
#include "text/readers.h"

namespace qelm {

class Item;
class ItemList;

/// Longest header, list row or other one-line label a view shows, in bytes.
inline constexpr std::size_t kMaxLineLength = 50;

/// One line across a screen: a main text on the left (a header, or a message stacked over it)
/// and a status text on the right, white on blue.
class ContextBar final : public Drawable {
 public:
  /// Replaces the main text and forgets every stacked message.
  void setHeader(std::string_view text);
  /// Saves the main text and shows `text` in its place.
  void pushMessage(std::string_view text);
  /// Restores the text saved by the last pushMessage; false when none is stacked.
  bool popMessage();
  /// Right-hand text, drawn followed by three spaces when it fits beside the main text.
  void setStatusText(std::string_view text);

  const std::string& mainText() const { return main_; }
  const std::string& statusText() const { return status_; }
  /// Number of messages stacked over the header.
  std::size_t messageDepth() const { return saved_.size(); }
  /// Whether the last paint drew the status text (it did not fit otherwise).
  bool statusShown() const { return statusShown_; }

  void onShow() override;
  void paint() override;

 private:
  void changed();

  std::string main_;
  std::string status_;
  std::vector<std::string> saved_;
  bool dirty_ = false;
  bool statusShown_ = false;
};

/// A window of `rows` rows onto an item list ("%3d %s": number and long name), with one
/// position highlighted. Only rows whose entry or highlight changed are painted again.
class ListBar final : public Drawable {
 public:
  /// `rows`: 3, 4 or 9.
  explicit ListBar(int32_t rows);

  /// Shows `list` (not owned; null for none) from the top, with no highlight.
  void setList(const ItemList* list);
  /// Highlights `position` (-1: none) and moves the window to keep it in view.
  void setPosition(int32_t position);

  const ItemList* list() const { return list_; }
  int32_t position() const { return position_; }
  int32_t rowCount() const { return rows_; }
  /// Entry index shown in the first row.
  int32_t firstRow() const { return first_; }
  /// Text row `row` shows (empty past the end of the list).
  std::string rowText(int32_t row) const;
  /// Number of row paints so far.
  int64_t rowsPainted() const { return rowsPainted_; }

  void onShow() override;
  void paint() override;

  /// First entry shown for a list of `count` entries with `position` highlighted in `rows` rows.
  static int32_t windowStart(int32_t rows, int32_t count, int32_t position);

 private:
  struct RowState {
    const Item* entry = nullptr;
    bool highlighted = false;
    bool valid = false;
  };
  Rect rowRect(int32_t row) const;

  int32_t rows_;
  const ItemList* list_ = nullptr;
  int32_t position_ = -1;
  int32_t first_ = 0;
  std::vector<RowState> drawn_;
  int64_t rowsPainted_ = 0;
};

/// Lines of text written downwards; when every row is used the rows scroll up by one.
class ReportBar final : public Drawable {
 public:
  /// Fills the bar with the background and starts again at the first row.
  void clear();
  /// Writes `line` in the first unused row, scrolling first when none is left.
  void append(std::string_view line);

  /// Rows: the bar's height divided by the line height of font 0 (at least 1).
  int32_t rowCount() const;
  /// Text of row `row` (empty for an unused row).
  const std::string& rowText(int32_t row) const;
  /// Rows written since the last clear, at most rowCount().
  int32_t usedRows() const { return used_; }

  void onShow() override;
  void paint() override;

 private:
  void ensureRows() const;

  mutable std::vector<std::string> lines_;
  mutable std::vector<bool> dirty_;
  mutable int32_t rowHeight_ = 0;
  int32_t used_ = 0;
  int32_t scrollPending_ = 0;
  bool clearPending_ = false;
};

/// View 1: title band with the banner, prompt, device header and the entry text.
class SelectView final : public Drawable {
 public:
  explicit SelectView(std::string banner) : banner_(std::move(banner)) {}
  /// Creates the context bar; called once after placement.
  void layout();

  void setPrompt(std::string_view prompt);
  void setEntryText(std::string_view text);
  /// Draws the entry text in the error colour until the next setEntryText.
  void setError(bool on);

  ContextBar& contextBar() { return *bar_; }
  const ContextBar& contextBar() const { return *bar_; }
  const std::string& banner() const { return banner_; }
  const std::string& prompt() const { return prompt_; }
  const std::string& entryText() const { return entry_; }
  bool error() const { return error_; }

  void onShow() override;
  void paint() override;

 private:
  enum Part : uint8_t { kTitlePart = 1, kPromptPart = 2, kEntryPart = 4 };
  void markDirty(uint8_t parts);

  std::string banner_;
  std::string prompt_;
  std::string entry_;
  bool error_ = false;
  uint8_t dirty_ = 0;
  ContextBar* bar_ = nullptr;
};

/// Which half of the parameter view.
enum class Half : int32_t { kTop = 0, kBottom = 1 };

/// View 2: a parameter bar in each half and the context bar between them.
class ParameterView final : public Drawable {
 public:
  /// Creates the context bar and the two list bars; called once after placement.
  void layout();

  /// Puts a bar of `kind` in `half` unless one of that kind is there already; true when the
  /// bar was replaced (its areas start empty).
  bool setBar(Half half, BarKind kind);
  ParameterBar* bar(Half half) { return bars_[index(half)]; }
  const ParameterBar* bar(Half half) const { return bars_[index(half)]; }
  ContextBar& contextBar() { return *context_; }
  const ContextBar& contextBar() const { return *context_; }
  /// Four-row list shown in place of the half's bar on a single screen.
  ListBar& listBar(Half half) { return *lists_[index(half)]; }

  /// Shows the context bar and the bars, not the list bars.
  void showChildren() override;

 private:
  static std::size_t index(Half half) { return half == Half::kTop ? 0 : 1; }
  Rect halfRect(Half half) const;

  std::array<ParameterBar*, 2> bars_{};
  std::array<ListBar*, 2> lists_{};
  ContextBar* context_ = nullptr;
};

/// View 3: one nine-row list over the whole view.
class ListView final : public Drawable {
 public:
  /// Creates the list bar; called once after placement.
  void layout();
  ListBar& listBar() { return *list_; }
  const ListBar& listBar() const { return *list_; }

 private:
  ListBar* list_ = nullptr;
};

/// View 4: a header line and a scrolling report below it.
class UtilityView final : public Drawable {
 public:
  /// Creates the header and the report; called once after placement.
  void layout();
  ContextBar& header() { return *header_; }
  const ContextBar& header() const { return *header_; }
  ReportBar& report() { return *report_; }
  const ReportBar& report() const { return *report_; }

 private:
  ContextBar* header_ = nullptr;
  ReportBar* report_ = nullptr;
};

/// A view that shows only the background; stands in for views this edition does not draw yet.
class BlankView final : public Drawable {
 public:
  void onShow() override;
  void paint() override;

 private:
  bool dirty_ = false;
};

/// View codes of a panel.
enum class ViewCode : int32_t {
  kNone = 0,
  kSelect = 1,
  kParameters = 2,
  kList = 3,
  kUtility = 4,
  kLoudness = 5,
};

/// One screen: a fixed set of views, one of them shown at a time.
class Panel final : public Drawable {
 public:
  /// Places the panel over the whole of `window` (visible, showing nothing) with the views of a
  /// left panel (`left` true: codes 1..5) or a right panel (codes 2, 3, 5).
  Panel(Window& window, bool left, std::string banner);

  /// Shows view `code`; nothing when it is already shown or the panel has no such view. Code 0
  /// blanks the screen.
  void switchView(ViewCode code);
  ViewCode viewCode() const { return code_; }
  /// Puts `view` (placed over the whole panel by this call, named "loudness") in place of view
  /// 5, destroying the blank view that stood there until the loudness views exist.
  void setLoudnessView(std::unique_ptr<Drawable> view);
  /// The view of `code`, or null.
  Drawable* view(ViewCode code) const;

  SelectView* selectView() const { return select_; }
  ParameterView& parameterView() const { return *parameters_; }
  ListView& listView() const { return *list_; }
  UtilityView* utilityView() const { return utility_; }

  /// Clears the window when a blank screen was asked for since the last call; the displays
  /// call it before flushing the window.
  void paintPendingClear();

  /// Queues the screen clear when nothing is shown.
  void onShow() override;
  /// Shows the current view only.
  void showChildren() override;

 private:
  static std::size_t slot(ViewCode code) { return static_cast<std::size_t>(code); }

  std::array<Drawable*, 6> views_{};
  ViewCode code_ = ViewCode::kNone;
  bool clearPending_ = false;
  SelectView* select_ = nullptr;
  ParameterView* parameters_ = nullptr;
  ListView* list_ = nullptr;
  UtilityView* utility_ = nullptr;
};

}  // namespace qelm
