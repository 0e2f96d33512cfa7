#include "shell/zoom.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QTest>
#include <cmath>
#include <mutex>
#include <set>
#include <vector>

#include "core/app_context.h"
#include "shell/screen_control.h"

namespace qelm {
namespace {

TEST(ZoomTest, DefaultFollowsTheMonitorsScalingAndStepsStayOnTheLevels) {
  EXPECT_EQ(defaultZoomFor(1.0), 100);
  EXPECT_EQ(defaultZoomFor(1.25), 150);  // a tie goes to the larger
  EXPECT_EQ(defaultZoomFor(1.5), 150);
  EXPECT_EQ(defaultZoomFor(1.75), 200);
  EXPECT_EQ(defaultZoomFor(2.0), 200);
  EXPECT_EQ(defaultZoomFor(2.5), 300);
  EXPECT_EQ(defaultZoomFor(4.0), 300);
  EXPECT_EQ(defaultZoomFor(0.0), 100);
  EXPECT_EQ(defaultZoomFor(std::nan("")), 100);

  EXPECT_EQ(steppedZoom(100, 1), 150);
  EXPECT_EQ(steppedZoom(300, 1), 300);
  EXPECT_EQ(steppedZoom(150, -1), 100);
  EXPECT_EQ(steppedZoom(100, -1), 100);
  EXPECT_EQ(steppedZoom(175, 1), 100);  // not a level: back to the plain size
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

TEST_P(ScreenZoomTest, EveryPointShowsAndTouchesTheSameScreenPixel) {
  const int zoom = GetParam();
  ScreenControl screen(1, &context_);
  screen.setZoom(zoom);
  ASSERT_EQ(screen.size(), QSize(kScreenWidth * zoom / 100, kScreenHeight * zoom / 100));
  const QImage picture = screen.grab().toImage();

  // Along one row and one column of the control, every point shows the pixel its touch
  // reaches, and together they reach every pixel of the screen.
  std::set<int> columns;
  std::set<int> rows;
  const int row = screen.height() / 3;
  const int column = screen.width() * 2 / 3;
  for (int x = 0; x < screen.width(); ++x) {
    const QPoint touched = screen.screenPixelAt(QPointF(x, row));
    ASSERT_EQ(pixelOf(picture.pixel(x, row)), touched) << "at x " << x;
    columns.insert(touched.x());
  }
  for (int y = 0; y < screen.height(); ++y) {
    const QPoint touched = screen.screenPixelAt(QPointF(column, y));
    ASSERT_EQ(pixelOf(picture.pixel(column, y)), touched) << "at y " << y;
    rows.insert(touched.y());
  }
  EXPECT_EQ(columns.size(), static_cast<size_t>(kScreenWidth));
  EXPECT_EQ(rows.size(), static_cast<size_t>(kScreenHeight));
  EXPECT_EQ(*columns.rbegin(), kScreenWidth - 1);
  EXPECT_EQ(*rows.rbegin(), kScreenHeight - 1);

  // A click at either end of a zoomed pixel reaches the engine as that pixel.
  // (Not at the origin: a test click there goes to the middle of the control.)
  for (const QPoint pixel : {QPoint(0, 5), QPoint(313, 97), QPoint(479, 271)}) {
    const int first = (pixel.x() * zoom + 99) / 100;
    const int last = ((pixel.x() + 1) * zoom + 99) / 100 - 1;
    const int y = (pixel.y() * zoom + 99) / 100;
    for (const int x : {first, last}) {
      QTest::mousePress(&screen, Qt::LeftButton, Qt::NoModifier, QPoint(x, y));
      const auto event = context_.input.nextEvent();
      QTest::mouseRelease(&screen, Qt::LeftButton, Qt::NoModifier, QPoint(x, y));
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
