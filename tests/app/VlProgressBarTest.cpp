#include "app/VlProgressBar.h"

#include <QFont>
#include <QImage>
#include <QPainter>
#include <QPalette>

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace pelko {
namespace {

constexpr QRgb kBack = qRgb(255, 255, 255);
constexpr QRgb kBar = qRgb(200, 0, 0);
constexpr QRgb kUnpainted = qRgb(0, 255, 0);

// A bar in fixed colours and font, placed through SetBounds.
std::unique_ptr<TVlProgressBar> MakeBar(int width, int height) {
  auto bar = std::make_unique<TVlProgressBar>();
  bar->SetBounds(0, 0, width, height);
  bar->SetBarColor(TColor(kBar));
  QFont font("DejaVu Sans");
  font.setPixelSize(12);
  bar->setFont(font);
  return bar;
}

// What PaintTo draws, over a colour the bar never uses, so that any pixel it
// leaves out shows.
QImage Render(const TVlCustomProgressBar& bar) {
  QImage image(bar.size(), QImage::Format_RGB32);
  image.fill(kUnpainted);
  QPainter painter(&image);
  bar.PaintTo(painter);
  return image;
}

// Runs of kBar along a row (or a column) from `from` to before `to`, as
// {first pixel, length}.
std::vector<std::pair<int, int>> BarRuns(const QImage& image, bool column, int line, int from,
                                         int to) {
  std::vector<std::pair<int, int>> runs;
  for (int i = from; i < to; ++i) {
    if ((column ? image.pixel(line, i) : image.pixel(i, line)) != kBar) continue;
    if (!runs.empty() && runs.back().first + runs.back().second == i)
      ++runs.back().second;
    else
      runs.push_back({i, 1});
  }
  return runs;
}

TEST(VlProgressBarTest, PartsDrivePercent) {
  auto bar = MakeBar(200, 24);
  std::vector<int> changes;
  bar->OnChange = [&](TVlCustomProgressBar&, int percent) { changes.push_back(percent); };

  bar->SetPercent(40);
  bar->SetPercent(40);  // the same value: no event
  EXPECT_EQ(changes, std::vector<int>{40});

  // No total yet: nothing to divide by, so Percent stays.
  bar->SetPartsComplete(4);
  EXPECT_EQ(bar->PartsComplete(), 0u);
  EXPECT_EQ(bar->Percent(), 40);

  bar->SetTotalParts(3);  // starts over
  EXPECT_EQ(bar->Percent(), 0);
  bar->SetPartsComplete(1);
  EXPECT_EQ(bar->Percent(), 33);
  bar->SetPartsComplete(5);
  EXPECT_EQ(bar->PartsComplete(), 3u);
  EXPECT_EQ(bar->Percent(), 100);
  EXPECT_EQ(changes, (std::vector<int>{40, 0, 33, 100}));

  // Exact halves go to the even neighbour: 12.5 -> 12, 37.5 -> 38.
  bar->SetTotalParts(8);
  EXPECT_EQ(bar->PartsComplete(), 0u);
  bar->SetPartsComplete(1);
  EXPECT_EQ(bar->Percent(), 12);
  bar->SetPartsComplete(3);
  EXPECT_EQ(bar->Percent(), 38);

  // While loading, restored values stand as they are.
  bar->SetLoading(true);
  bar->SetTotalParts(10);
  EXPECT_EQ(bar->PartsComplete(), 3u);
  bar->SetPartsComplete(5);
  EXPECT_EQ(bar->PartsComplete(), 5u);
  EXPECT_EQ(bar->Percent(), 38);
}

TEST(VlProgressBarTest, SettersCouple) {
  auto bar = MakeBar(200, 24);
  EXPECT_EQ(bar->FontColor(), TColor(kBar));

  bar->SetBarStyle(bsLED);
  EXPECT_FALSE(bar->ShowPercent());
  EXPECT_EQ(bar->InteriorOffset(), 1);
  bar->SetBarStyle(bsTraditional);
  EXPECT_TRUE(bar->ShowPercent());
  EXPECT_EQ(bar->InteriorOffset(), 0);
  // The current style again changes nothing.
  bar->SetShowPercent(false);
  bar->SetBarStyle(bsTraditional);
  EXPECT_FALSE(bar->ShowPercent());

  // Zero segments would divide by zero when painting.
  bar->SetNumSegments(0);
  EXPECT_EQ(bar->NumSegments(), 1);
  bar->SetNumSegments(1000);
  EXPECT_EQ(bar->NumSegments(), 100);
}

TEST(VlProgressBarTest, PlacementSetsOrientationAndHitTest) {
  auto bar = MakeBar(200, 24);
  EXPECT_EQ(bar->Orientation(), orHorizontal);
  bar->SetHeight(201);
  EXPECT_EQ(bar->Orientation(), orVertical);
  bar->SetBounds(5, 5, 30, 30);
  EXPECT_EQ(bar->Orientation(), orHorizontal);
  // An explicit orientation lasts until the next placement.
  bar->SetOrientation(orVertical);
  bar->SetBounds(0, 0, 30, 30);
  EXPECT_EQ(bar->Orientation(), orHorizontal);

  bar->SetWidth(200);
  EXPECT_EQ(bar->HitTest({187, 10}), htClient);
  EXPECT_EQ(bar->HitTest({188, 10}), htParent);
  EXPECT_EQ(bar->HitTest({199, 29}), htParent);
}

TEST(VlProgressBarTest, LedSegmentsFitTheInnerLength) {
  // The default frame (2 pixels) and the LED margin (1) take 3 pixels a side.
  struct Case {
    int length, percent, size, margin, lit;
  } cases[] = {
      {60, 100, 6, 0, 10},   // a short bar shows 10 segments, not 20
      {60, 35, 6, 0, 3},     //
      {200, 45, 10, 0, 9},   //
      {194, 100, 9, 2, 21},  // room for one more segment
      {194, 50, 9, 2, 10},   //
      {194, 300, 9, 2, 21},  // above 100 all are lit
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.length << " pixels at " << c.percent << "%");
    auto bar = MakeBar(c.length + 6, 24);
    bar->SetBarStyle(bsLED);
    bar->SetPercent(c.percent);
    const QImage image = Render(*bar);
    const auto runs = BarRuns(image, false, 12, 0, image.width());
    ASSERT_EQ(runs.size(), size_t(c.lit));
    for (int i = 0; i < c.lit; ++i) {
      // Inside each segment's outline: one pixel of BackColor on each side.
      EXPECT_EQ(runs[i].first, 3 + c.margin + i * c.size + 1);
      EXPECT_EQ(runs[i].second, c.size - 2);
    }
    const int x = runs[0].first;
    EXPECT_EQ(image.pixel(x, 3), kBack);
    EXPECT_EQ(image.pixel(x, 4), kBar);
    EXPECT_EQ(image.pixel(x, 19), kBar);
    EXPECT_EQ(image.pixel(x, 20), kBack);
  }

  // Vertical: segment 1 at the bottom.
  auto bar = MakeBar(24, 66);
  bar->SetBarStyle(bsLED);
  bar->SetPercent(30);
  const QImage image = Render(*bar);
  using Runs = std::vector<std::pair<int, int>>;
  EXPECT_EQ(BarRuns(image, true, 12, 0, 66), (Runs{{46, 4}, {52, 4}, {58, 4}}));
}

TEST(VlProgressBarTest, TraditionalFillRoundsToEven) {
  // Inner width 10: 25% is 2.5 columns -> 2, 35% is 3.5 -> 4.
  struct Case {
    int width, percent, filled;
  } cases[] = {{14, 25, 2}, {14, 35, 4}, {14, 0, 0}, {14, 100, 10}, {14, 999, 10}, {200, 37, 73}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.width << " pixels at " << c.percent << "%");
    auto bar = MakeBar(c.width, 10);  // wider than tall, so horizontal
    bar->SetShowPercent(false);
    bar->SetPercent(c.percent);
    const auto runs = BarRuns(Render(*bar), false, 5, 0, c.width);
    if (c.filled == 0) {
      EXPECT_TRUE(runs.empty());
    } else {
      using Runs = std::vector<std::pair<int, int>>;
      EXPECT_EQ(runs, (Runs{{2, c.filled}}));
    }
  }

  // Vertical: from the bottom up, inner height 100.
  auto bar = MakeBar(24, 104);
  bar->SetShowPercent(false);
  bar->SetPercent(30);
  using Runs = std::vector<std::pair<int, int>>;
  EXPECT_EQ(BarRuns(Render(*bar), true, 12, 0, 104), (Runs{{72, 30}}));
}

TEST(VlProgressBarTest, PercentTextInvertsWhereTheFillEnds) {
  // "50%" centred at x 99 over a fill that ends at x 100.
  auto bar = MakeBar(200, 24);
  bar->SetPercent(50);
  const QImage horizontal = Render(*bar);
  // The same text over the lower half instead.
  bar->SetOrientation(orVertical);
  const QImage vertical = Render(*bar);

  // Text pixels are those not in the ground colour of their part; the two
  // pictures must show the same text, however the parts split it.
  auto textMask = [](const QImage& image, auto inFill) {
    std::vector<bool> mask;
    for (int y = 2; y < 22; ++y) {
      for (int x = 2; x < 198; ++x) {
        const QRgb ground = inFill(x, y) ? kBar : kBack;
        const QRgb ink = inFill(x, y) ? kBack : kBar;
        const QRgb pixel = image.pixel(x, y);
        EXPECT_TRUE(pixel == ground || pixel == ink) << x << "," << y;
        mask.push_back(pixel == ink);
      }
    }
    return mask;
  };
  const auto byColumns = textMask(horizontal, [](int x, int) { return x < 100; });
  const auto byRows = textMask(vertical, [](int, int y) { return y >= 12; });
  EXPECT_EQ(byColumns, byRows);

  // Text on both sides of the fill's end, centred near x 99.
  int left = 198, right = 0, inFill = 0, inRest = 0;
  for (size_t i = 0; i < byColumns.size(); ++i) {
    if (!byColumns[i]) continue;
    const int x = 2 + int(i % 196);
    left = std::min(left, x);
    right = std::max(right, x);
    ++(x < 100 ? inFill : inRest);
  }
  EXPECT_GT(inFill, 0);
  EXPECT_GT(inRest, 0);
  EXPECT_NEAR((left + right + 1) / 2.0, 99, 2);
}

TEST(VlProgressBarTest, FramesAndRingsStackInward) {
  QPalette palette;
  palette.setColor(QPalette::Dark, qRgb(1, 1, 1));        // clBtnShadow
  palette.setColor(QPalette::Light, qRgb(2, 2, 2));       // clBtnHighlight
  palette.setColor(QPalette::ButtonText, qRgb(3, 3, 3));  // clBtnText
  palette.setColor(QPalette::Midlight, qRgb(4, 4, 4));    // cl3DLight
  palette.setColor(QPalette::WindowText, qRgb(5, 5, 5));  // clWindowFrame
  palette.setColor(QPalette::Highlight, qRgb(6, 6, 6));   // clHighlight
  const QRgb shadow = qRgb(1, 1, 1), light = qRgb(2, 2, 2);

  // The default lowered frame: left/top dark then text colour, right/bottom
  // light then 3D light; the right and bottom lines own the far corners.
  auto bar = MakeBar(40, 20);
  bar->setPalette(palette);
  bar->SetBarColor(clHighlight);
  bar->SetPercent(100);
  bar->SetShowPercent(false);
  QImage image = Render(*bar);
  EXPECT_EQ(image.pixel(0, 0), shadow);
  EXPECT_EQ(image.pixel(39, 0), light);
  EXPECT_EQ(image.pixel(0, 19), light);
  EXPECT_EQ(image.pixel(1, 10), qRgb(3, 3, 3));
  EXPECT_EQ(image.pixel(38, 10), qRgb(4, 4, 4));
  EXPECT_EQ(image.pixel(2, 2), qRgb(6, 6, 6));

  // Groove: a light frame one pixel right and down, under a dark one in place.
  bar->SetBorderOuter(fsGroove);
  image = Render(*bar);
  QImage etched(40, 20, QImage::Format_RGB32);
  etched.fill(kUnpainted);
  {
    QPainter painter(&etched);
    painter.setPen(QColor(light));
    painter.drawRect(1, 1, 38, 18);
    painter.setPen(QColor(shadow));
    painter.drawRect(0, 0, 38, 18);
  }
  etched.setPixel(39, 0, light);  // where the two frames meet
  etched.setPixel(0, 19, light);
  for (int y = 0; y < 20; ++y) {
    for (int x = 0; x < 40; ++x) {
      if (x < 2 || y < 2 || x > 37 || y > 17) {
        EXPECT_EQ(image.pixel(x, y), etched.pixel(x, y)) << x << "," << y;
      }
    }
  }

  // Outer frame, rings, inner frame, margin, then the bar, on every side.
  bar->SetBorderOuter(fsFlat);
  bar->SetBorderWidth(2);
  bar->SetBorderColor(TColor(qRgb(7, 7, 7)));
  bar->SetBorderInner(fsStatus);
  bar->SetInteriorOffset(3);
  image = Render(*bar);
  const QRgb fromLeft[] = {qRgb(5, 5, 5), qRgb(7, 7, 7), qRgb(7, 7, 7), shadow,
                           kBack,         kBack,         kBack,         qRgb(6, 6, 6)};
  const QRgb fromRight[] = {qRgb(5, 5, 5), qRgb(7, 7, 7), qRgb(7, 7, 7), light,
                            kBack,         kBack,         kBack,         qRgb(6, 6, 6)};
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(image.pixel(i, 10), fromLeft[i]) << i;
    EXPECT_EQ(image.pixel(39 - i, 10), fromRight[i]) << i;
    EXPECT_EQ(image.pixel(20, i), fromLeft[i]) << i;
  }
}

TEST(VlProgressBarTest, PaintsEveryPixel) {
  // The bar is opaque: whatever it leaves out would show stale pixels.
  auto check = [](TVlCustomProgressBar& bar) {
    const QImage image = Render(bar);
    for (int y = 0; y < image.height(); ++y) {
      for (int x = 0; x < image.width(); ++x) {
        ASSERT_NE(image.pixel(x, y), kUnpainted) << x << "," << y;
      }
    }
  };
  auto bar = MakeBar(67, 24);  // LED length 61: one pixel left over
  bar->SetBarStyle(bsLED);
  bar->SetPercent(60);
  check(*bar);
  bar->SetBounds(0, 0, 24, 67);
  check(*bar);
  bar->SetBarStyle(bsTraditional);
  check(*bar);
  for (int size : {1, 3, 5}) {
    bar->SetBounds(0, 0, size, size);
    bar->SetInteriorOffset(2);
    check(*bar);
    bar->SetBorderWidth(100000);
    check(*bar);
  }
}

}  // namespace
}  // namespace pelko
