#include "loudness_views/loudness_screens.h"

#include <ctime>
#include <memory>
#include <utility>

#include "loudness/loudness_context.h"
#include "loudness_views/loudness_history_view.h"
#include "panel/displays.h"

namespace qelm {

namespace {

// Clears the views' source when the refresh ends, however it ends.
class SourceScope {
 public:
  SourceScope(LoudnessView* left, LoudnessView* right, const LoudnessSource* source)
      : left_(left), right_(right) {
    if (left_) left_->setSource(source);
    if (right_) right_->setSource(source);
  }
  ~SourceScope() {
    if (left_) left_->setSource(nullptr);
    if (right_) right_->setSource(nullptr);
  }
  SourceScope(const SourceScope&) = delete;
  SourceScope& operator=(const SourceScope&) = delete;

 private:
  LoudnessView* left_;
  LoudnessView* right_;
};

}  // namespace

LoudnessScreens::LoudnessScreens(Displays& displays, LoudnessViewLookup& lookup,
                                 std::function<int64_t()> nowSeconds)
    : displays_(displays), lookup_(lookup), nowSeconds_(std::move(nowSeconds)) {
  if (!nowSeconds_) nowSeconds_ = [] { return static_cast<int64_t>(std::time(nullptr)); };
  const std::string& folder = displays.imagesFolder();
  auto left = std::make_unique<LoudnessLeftPanelBase>(folder);
  LoudnessLeftPanelBase& leftView = *left;
  displays.panel(Screen::kLeft).setLoudnessView(std::move(left));
  leftView.layout();
  auto right = std::make_unique<LoudnessSessionView>(folder);
  LoudnessSessionView& rightView = *right;
  displays.panel(Screen::kRight).setLoudnessView(std::move(right));
  rightView.layout();
}

LoudnessLeftPanelBase* LoudnessScreens::leftView() const {
  return dynamic_cast<LoudnessLeftPanelBase*>(
      displays_.panel(Screen::kLeft).view(ViewCode::kLoudness));
}

LoudnessSessionView* LoudnessScreens::rightView() const {
  return dynamic_cast<LoudnessSessionView*>(
      displays_.panel(Screen::kRight).view(ViewCode::kLoudness));
}

void LoudnessScreens::refresh(bool refreshDue) {
  const Page* page = displays_.mode() == ScreenMode::kPage && displays_.pageType() == PageType::kLm
                         ? displays_.page()
                         : nullptr;
  if (!page) {
    // Coming back to a loudness page binds it afresh.
    page_ = nullptr;
    return;
  }
  LoudnessLeftPanelBase* left = leftView();
  LoudnessSessionView* right = rightView();
  const LoudnessContext* context = lookup_.findContext(*page);
  const bool found = context != nullptr;
  const bool rebind = page != page_ || found != found_;
  if (!rebind && !refreshDue) return;
  page_ = page;
  found_ = found;

  if (!context) {
    if (rebind && left) left->bind(false);
    if (rebind && right) right->bind(false);
    return;
  }
  const LoudnessSource source{*context, lookup_.viewSettings(), nowSeconds_()};
  const SourceScope scope(left, right, &source);
  if (rebind) {
    if (left) left->bind(true);
    if (right) right->bind(true);
  }
  if (left) left->update();
  if (right) right->update();
}

}  // namespace qelm
