#include "shell/zoom.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QMouseEvent>
#include <QTest>
#include <cmath>
#include <mutex>
#include <set>
#include <tuple>
#include <utility>
#include <vector>

#include "core/app_context.h"
#include "shell/screen_control.h"

namespace qelm {
namespace {

// The window: a 1362 x 293 panel at 100 % under a 60-pixel menu bar and status line.
TEST(ZoomTest, OnlyLevelsThatFitTheMonitorAreOffered) {
  const QSize fixed(0, 60);
  const QSize window = QSize(1362, 293) + fixed;
  // 200 % would be 2724 pixels wide: more than a 2560-pixel monitor has.
  EXPECT_EQ(fittingZoomLevels(window, fixed, QSize(2560, 1400)), (std::vector<int>{100, 150}));
  EXPECT_EQ(fittingZoomLevels(window, fixed, QSize(4086, 1400)),
            (std::vector<int>{100, 150, 200, 300}));
  EXPECT_EQ(fittingZoomLevels(window, fixed, QSize(4085, 1400)), (std::vector<int>{100, 150, 200}));
  // Height counts too, and the menu bar and status line do not grow with the zoom.
  EXPECT_EQ(fittingZoomLevels(window, fixed, QSize(5000, 646)), (std::vector<int>{100, 150, 200}));
  EXPECT_EQ(fittingZoomLevels(window, fixed, QSize(5000, 645)), (std::vector<int>{100, 150}));
  // 100 % is offered even where nothing fits.
  EXPECT_EQ(fittingZoomLevels(window, fixed, QSize(800, 600)), (std::vector<int>{100}));
}

TEST(ZoomTest, DefaultFollowsTheMonitorsScalingAndStepsStayOnTheLevels) {
  // A tie (1.25) goes to the larger level; no scaling at all, or none known, is 100 %.
  const std::pair<double, int> defaults[] = {{1.0, 100},  {1.25, 150}, {1.5, 150},
                                             {1.75, 200}, {2.0, 200},  {2.5, 300},
                                             {4.0, 300},  {0.0, 100},  {std::nan(""), 100}};
  for (const auto& [scaling, zoom] : defaults)
    EXPECT_EQ(defaultZoomFor(scaling), zoom) << "scaling " << scaling;
  // 175 is not a level: a step from it goes back to the plain size.
  const std::tuple<int, int, int> steps[] = {
      {100, 1, 150}, {300, 1, 300}, {150, -1, 100}, {100, -1, 100}, {175, 1, 100}};
  for (const auto& [from, step, zoom] : steps)
    EXPECT_EQ(steppedZoom(from, step), zoom) << from << " by " << step;
}

// Every screen pixel a colour of its own, so a picture tells which pixel each point shows.
class ScreenZoomTest : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    std::lock_guard<std::mutex> guard(context_.screenLock);
    for (int y = 0; y < kScreenHeight; ++y) {
      for (int x = 0; x < kScreenWidth; ++x)
        context_.pixels()[y * kRasterWidth + kRightScreenColumn + x] = colourOf(x, y);
    }
  }
  static uint32_t colourOf(int x, int y) { return static_cast<uint32_t>(x << 9 | y); }
  static QPoint pixelOf(QRgb colour) {
    const uint32_t value = colour & 0x00FFFFFFu;
    return QPoint(static_cast<int>(value >> 9), static_cast<int>(value & 0x1FF));
  }

  platform::ManualClock clock_{5000};
  AppContext context_{Folders{}, clock_};
};

// Runs at the desktop's scaling too: QT_SCALE_FACTOR=1.5 or 2 in the environment.
TEST_P(ScreenZoomTest, EveryPointShowsAndTouchesTheSameScreenPixel) {
  const int zoom = GetParam();
  ScreenControl screen(1, &context_);
  screen.setZoom(zoom);
  const double ratio = screen.devicePixelRatioF();
  const int width = kScreenWidth * zoom / 100;  // in monitor pixels
  const int height = kScreenHeight * zoom / 100;
  ASSERT_EQ(screen.size(), QSize(static_cast<int>(std::ceil(width / ratio)),
                                 static_cast<int>(std::ceil(height / ratio))));
  const QImage picture = screen.grab().toImage();
  ASSERT_GE(picture.width(), width);
  // Where the pointer is at monitor pixel (x, y): Qt reports it in scaled units.
  auto at = [ratio](int x, int y) { return QPointF(x / ratio, y / ratio); };

  // Along one row and one column, every monitor pixel shows the screen pixel its touch
  // reaches, and together they reach every pixel of the screen.
  std::set<int> columns;
  std::set<int> rows;
  const int row = height / 3;
  const int column = width * 2 / 3;
  for (int x = 0; x < width; ++x) {
    const QPoint touched = screen.screenPixelAt(at(x, row));
    ASSERT_EQ(pixelOf(picture.pixel(x, row)), touched) << "at x " << x;
    columns.insert(touched.x());
  }
  for (int y = 0; y < height; ++y) {
    const QPoint touched = screen.screenPixelAt(at(column, y));
    ASSERT_EQ(pixelOf(picture.pixel(column, y)), touched) << "at y " << y;
    rows.insert(touched.y());
  }
  EXPECT_EQ(columns.size(), static_cast<size_t>(kScreenWidth));
  EXPECT_EQ(rows.size(), static_cast<size_t>(kScreenHeight));
  EXPECT_EQ(*columns.rbegin(), kScreenWidth - 1);
  EXPECT_EQ(*rows.rbegin(), kScreenHeight - 1);

  // A click at either end of a zoomed pixel reaches the engine as that pixel.
  for (const QPoint pixel : {QPoint(0, 0), QPoint(313, 97), QPoint(479, 271)}) {
    const int first = firstZoomedPixel(pixel.x(), zoom);
    const int last = firstZoomedPixel(pixel.x() + 1, zoom) - 1;
    const int y = firstZoomedPixel(pixel.y(), zoom);
    for (const int x : {first, last}) {
      QMouseEvent press(QEvent::MouseButtonPress, at(x, y), screen.mapToGlobal(at(x, y)),
                        Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
      QApplication::sendEvent(&screen, &press);
      const auto event = context_.input.nextEvent();
      QMouseEvent release(QEvent::MouseButtonRelease, at(x, y), screen.mapToGlobal(at(x, y)),
                          Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
      QApplication::sendEvent(&screen, &release);
      EXPECT_FALSE(context_.input.nextEvent().has_value());  // the touch ends
      ASSERT_TRUE(event.has_value());
      EXPECT_EQ(*event, (InputEvent{0, EventKind::kTouched, 1, 1, pixel.x(), pixel.y()}))
          << "zoom " << zoom << " at " << x << "," << y;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(EveryZoom, ScreenZoomTest, ::testing::ValuesIn(kZoomLevels),
                         [](const auto& zoom) { return std::to_string(zoom.param); });

}  // namespace
}  // namespace qelm
