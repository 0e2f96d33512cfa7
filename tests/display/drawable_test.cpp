#include "display/drawable.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "display/bitmap.h"
#include "display_test_support.h"

namespace qelm {
namespace {

using testing::levelsRow;
using testing::TestFont;
using Picture = std::vector<std::string>;
using Log = std::vector<std::string>;

constexpr int32_t kFont = 7;  // height 2: "a" = two ink columns, "b" = ink and background

// Records what the window and the visibility rules call.
class Probe : public Drawable {
 public:
  explicit Probe(Log& log) : log_(log) {}
  void onShow() override {
    log_.push_back("show " + name());
    queuePaint();
  }
  void onHide() override { log_.push_back("hide " + name()); }
  void paint() override {
    log_.push_back("paint " + name());
    if (onPaint) onPaint();
  }
  std::function<void()> onPaint;

 private:
  Log& log_;
};

class DrawableTest : public ::testing::Test, public testing::RasterFixture {
 protected:
  void SetUp() override {
    fillPalette(ColorTheme::kLight);
    auto font = std::make_unique<TestFont>(2);
    font->add('a', 0, 2, 1, {levelsRow("FF"), levelsRow("FF")});
    font->add('b', 0, 2, 1, {levelsRow("F0"), levelsRow("F0")});
    font->add(' ', 0, 2, 0, {{}, {}});
    fonts_.add(kFont, std::move(font));
    root_.init(&left_, "root", Rect{10, 20, 110, 120});
  }
  Probe& child(Drawable& parent, const std::string& name, const Rect& rect = {0, 0, 10, 10}) {
    return parent.addChild(std::make_unique<Probe>(log_), name, rect);
  }

  Log log_;
  Probe root_{log_};
};

TEST_F(DrawableTest, ChildrenArePlacedRelativeToTheirParent) {
  Probe& a = child(root_, "a", Rect{5, 5, 15, 15});
  Probe& a1 = child(a, "a1", Rect{1, 2, 3, 4});
  EXPECT_EQ(a.rect(), (Rect{15, 25, 25, 35}));
  EXPECT_EQ(a1.rect(), (Rect{16, 27, 18, 29}));
  EXPECT_EQ(a1.depth(), 2);
  EXPECT_EQ(a1.window(), &left_);
  EXPECT_EQ(a1.parent(), &a);
  EXPECT_FALSE(a1.visible());
  EXPECT_EQ(left_.pendingCount(), 0u);
}

TEST_F(DrawableTest, HidingHidesDescendantsFirstAndShowingShowsThemInOrder) {
  Probe& a = child(root_, "a");
  child(a, "a1");
  child(root_, "b");
  root_.setVisible(true);
  EXPECT_EQ(log_, (Log{"show root", "show a", "show a1", "show b"}));
  log_.clear();
  root_.setVisible(false);
  EXPECT_EQ(log_, (Log{"hide a1", "hide a", "hide b", "hide root"}));
  for (const auto& c : root_.children())
    EXPECT_FALSE(c->visible());
  log_.clear();
  root_.setVisible(false);
  EXPECT_TRUE(log_.empty());
}

TEST_F(DrawableTest, ShowingSkipsChildrenAlreadyVisible) {
  Probe& a = child(root_, "a");
  child(a, "a1");
  child(root_, "b");
  a.setVisible(true);
  log_.clear();
  root_.setVisible(true);
  EXPECT_EQ(log_, (Log{"show root", "show b"}));
}

TEST_F(DrawableTest, FlushPaintsParentsFirstAndSkipsHiddenOnes) {
  Probe& a = child(root_, "a");
  Probe& hidden = child(root_, "hidden");
  root_.setVisible(true);
  hidden.setVisible(false);
  a.queuePaint();
  hidden.queuePaint();
  root_.queuePaint();
  a.queuePaint();
  log_.clear();
  left_.flushPending();
  EXPECT_EQ(log_, (Log{"paint root", "paint a"}));
  EXPECT_EQ(left_.pendingCount(), 0u);
}

TEST_F(DrawableTest, QueuedDuringTheFlushIsPaintedOnlyWhenItComesLater) {
  Probe& a = child(root_, "a");
  Probe& a1 = child(a, "a1");
  root_.setVisible(true);
  left_.flushPending();
  log_.clear();
  a.onPaint = [&] {
    root_.queuePaint();  // depth 0, before "a": dropped
    a1.queuePaint();     // depth 2, after "a": painted in this walk
  };
  a.queuePaint();
  left_.flushPending();
  EXPECT_EQ(log_, (Log{"paint a", "paint a1"}));
  EXPECT_EQ(left_.pendingCount(), 0u);
}

TEST_F(DrawableTest, DrawableDestroyedWhileQueuedIsNotPainted) {
  Probe& a = child(root_, "a");
  Probe& b = child(root_, "b");
  root_.setVisible(true);
  left_.flushPending();
  log_.clear();
  a.queuePaint();
  b.queuePaint();
  std::unique_ptr<Drawable> detached = root_.detachChild(b);
  ASSERT_EQ(detached.get(), &b);
  EXPECT_EQ(b.parent(), nullptr);
  EXPECT_EQ(root_.detachChild(b), nullptr);
  detached.reset();
  // A paint may also destroy a drawable queued after it (a child comes after its parent).
  Probe& c = child(root_, "c");
  Probe& d = child(c, "d");
  c.setVisible(true);
  c.onPaint = [&] { c.detachChild(d).reset(); };
  c.queuePaint();
  d.queuePaint();
  log_.clear();
  left_.flushPending();
  EXPECT_EQ(log_.size(), 2u);
  EXPECT_NE(std::find(log_.begin(), log_.end(), "paint a"), log_.end());
  EXPECT_NE(std::find(log_.begin(), log_.end(), "paint c"), log_.end());
}

TEST_F(DrawableTest, RepaintAllReachesVisibleDescendantsOfHiddenParents) {
  Probe& a = child(root_, "a");
  Probe& a1 = child(a, "a1");
  child(root_, "b");
  a1.setVisible(true);
  log_.clear();
  root_.repaintAll();
  EXPECT_EQ(log_, (Log{"show a1"}));
}

class LabelTest : public DrawableTest {
 protected:
  Label& label(const Rect& rect) {
    Label& l = root_.addChild(std::make_unique<Label>(), "label", rect);
    l.props().fontCode = kFont;
    l.props().background = 0;
    root_.setVisible(true);
    left_.flushPending();
    return l;
  }
};

TEST_F(LabelTest, SameTextTwiceQueuesOnce) {
  Label& l = label(Rect{0, 0, 20, 4});
  l.setText("ab");
  l.setText("ab");
  EXPECT_EQ(left_.pendingCount(), 1u);
  const int32_t before = left_.changeCount();
  left_.flushPending();
  EXPECT_EQ(left_.changeCount(), before + 1);
  l.setText("ab");
  EXPECT_EQ(left_.pendingCount(), 0u);
  // Painting again without a change draws nothing.
  l.paint();
  EXPECT_EQ(left_.changeCount(), before + 1);
}

TEST_F(LabelTest, PaintsItsTextInItsBoxAndClip) {
  Label& l = label(Rect{0, 0, 8, 2});
  l.setText("ab");
  left_.flushPending();
  EXPECT_EQ(picture(10, 20, 19, 21), Picture{"KKWKWWWW."});
  l.props().clip = Rect{0, 0, 4, 2};
  l.props().text = "aa";
  l.props().dirty = true;
  l.queuePaint();
  left_.flushPending();
  // Clipped after four columns; the rest keeps the earlier picture.
  EXPECT_EQ(picture(10, 20, 19, 21), Picture{"KKWKWWWW."});
  l.props().clip = Rect{};
  l.setText("ba");
  left_.flushPending();
  EXPECT_EQ(picture(10, 20, 19, 21), Picture{"KWWKKWWW."});
}

TEST_F(LabelTest, EmptyTextPaintsOnlyTheBackground) {
  Label& l = label(Rect{0, 0, 3, 2});
  l.setText("x");
  l.setText("");
  left_.flushPending();
  EXPECT_EQ(picture(9, 19, 14, 23), (Picture{".....", ".WWW.", ".WWW.", "....."}));
}

TEST_F(LabelTest, DefaultBackgroundKeepsTheColourUnderTheBox) {
  Label& l = root_.addChild(std::make_unique<Label>(), "label", Rect{0, 0, 4, 2});
  l.props().fontCode = kFont;
  put(10, 20, 0x00AA00);
  root_.setVisible(true);
  l.setText("b");
  left_.flushPending();
  EXPECT_EQ(picture(10, 20, 14, 21, {{0x00AA00, 'G'}}), Picture{"KGGG"});
}

TEST_F(LabelTest, RepeatedRebuildsAndRedrawsLeaveNothingBehind) {
  // Under the sanitizers this catches leaks and stale queue entries of destroyed widgets.
  root_.setVisible(true);
  for (int i = 0; i < 300; ++i) {
    Probe& panel = child(root_, "panel", Rect{0, 0, 20, 4});
    Label& l = panel.addChild(std::make_unique<Label>(), "label", Rect{0, 0, 8, 2});
    l.props().fontCode = kFont;
    panel.setVisible(true);
    l.setText(i % 2 ? "ab" : "ba");
    left_.flushPending();
    l.setText(i % 2 ? "ba" : "ab");
    root_.detachChild(panel).reset();
  }
  EXPECT_EQ(left_.pendingCount(), 0u);
  EXPECT_TRUE(root_.children().empty());
}

class MultiStateIconTest : public DrawableTest {
 protected:
  void SetUp() override {
    DrawableTest::SetUp();
    white_ = solidBitmap(2, 1, 0xFFFFFF);
    black_ = solidBitmap(2, 1, 0x000000);
  }
  std::unique_ptr<Bitmap> white_;
  std::unique_ptr<Bitmap> black_;
};

TEST_F(MultiStateIconTest, SizeIsTheLargestWidthAndHeight) {
  const auto a = solidBitmap(10, 12, 0);
  const auto b = solidBitmap(14, 8, 0);
  MultiStateIcon& icon = MultiStateIcon::create(root_, "icon", 3, 4, {a.get(), nullptr, b.get()});
  EXPECT_EQ(icon.rect(), (Rect{13, 24, 27, 36}));
  EXPECT_EQ(icon.state(), -1);
  EXPECT_EQ(MultiStateIcon::create(root_, "empty", 0, 0, {}).rect(), (Rect{10, 20, 11, 21}));
}

TEST_F(MultiStateIconTest, DrawsTheBitmapOfItsStateAndKeepsItForStatesWithout) {
  MultiStateIcon& icon =
      MultiStateIcon::create(root_, "icon", 0, 0, {white_.get(), nullptr, black_.get()});
  root_.setVisible(true);
  left_.flushPending();
  EXPECT_EQ(picture(10, 20, 12, 21), Picture{".."});  // state -1 has no bitmap
  icon.setState(2);
  left_.flushPending();
  EXPECT_EQ(picture(10, 20, 12, 21), Picture{"KK"});
  for (int32_t state : {1, 7, -1}) {
    icon.setState(state);
    left_.flushPending();
    EXPECT_EQ(picture(10, 20, 12, 21), Picture{"KK"}) << state;
  }
  icon.setState(0);
  left_.flushPending();
  EXPECT_EQ(picture(10, 20, 12, 21), Picture{"WW"});
}

TEST_F(MultiStateIconTest, IconWithoutParentNeverDraws) {
  MultiStateIcon icon({white_.get()});
  icon.setState(0);
  icon.setVisible(true);
  icon.paint();
  EXPECT_EQ(icon.window(), nullptr);
  EXPECT_EQ(picture(0, 0, 3, 3), Picture(3, "..."));
}

class TwoLineTextTest : public DrawableTest {
 protected:
  Picture draw(std::string_view text) {
    drawTwoLineText(root_, text, Rect{0, 0, 18, 4}, kFont, 1, 0);
    return picture(10, 20, 28, 24);
  }
};

TEST_F(TwoLineTextTest, TextThatFitsIsOneCentredLine) {
  EXPECT_EQ(draw("ab"), (Picture{"WWWWWWWWWWWWWWWWWW", "WWWWWWKKWKWWWWWWWW", "WWWWWWKKWKWWWWWWWW",
                                 "WWWWWWWWWWWWWWWWWW"}));
}

TEST_F(TwoLineTextTest, WordsFillTheFirstLineThenTheSecond) {
  const Picture expected = {"WWKKWKWWWWKKWKWWWW", "WWKKWKWWWWKKWKWWWW", "WWWWWWKKWKWWWWWWWW",
                            "WWWWWWKKWKWWWWWWWW"};
  EXPECT_EQ(draw("ab ab ab"), expected);
  // Runs of whitespace separate words like one space.
  EXPECT_EQ(draw(" ab \t  ab\nab "), expected);
}

TEST_F(TwoLineTextTest, WordsBeyondTheSecondLineAreLeftOut) {
  EXPECT_EQ(draw("ab ab ab ab ab"), (Picture{"WWKKWKWWWWKKWKWWWW", "WWKKWKWWWWKKWKWWWW",
                                             "WWKKWKWWWWKKWKWWWW", "WWKKWKWWWWKKWKWWWW"}));
}

TEST_F(TwoLineTextTest, OneWordWiderThanTheBoxIsDrawnAloneAndCut) {
  // Centred, the 36-column word starts nine columns left of the box.
  EXPECT_EQ(draw("abababababab ab"), (Picture{"WWWWWWWWWWWWWWWWWW", "KWWKKWKWWKKWKWWKKW",
                                              "KWWKKWKWWKKWKWWKKW", "WWWWWWWWWWWWWWWWWW"}));
}

}  // namespace
}  // namespace qelm
