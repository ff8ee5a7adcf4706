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

// Runs of kBar along a row (or a column), as {first pixel, length}.
using Runs = std::vector<std::pair<int, int>>;
Runs BarRuns(const QImage& image, bool column, int line) {
  Runs runs;
  for (int i = 0; i < (column ? image.height() : image.width()); ++i) {
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
    const Runs runs = BarRuns(image, false, 12);
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
  EXPECT_EQ(BarRuns(Render(*bar), true, 12), (Runs{{46, 4}, {52, 4}, {58, 4}}));
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
    EXPECT_EQ(BarRuns(Render(*bar), false, 5), (c.filled ? Runs{{2, c.filled}} : Runs{}));
  }

  // Vertical: from the bottom up, inner height 100.
  auto bar = MakeBar(24, 104);
  bar->SetShowPercent(false);
  bar->SetPercent(30);
  EXPECT_EQ(BarRuns(Render(*bar), true, 12), (Runs{{72, 30}}));
}

TEST(VlProgressBarTest, PercentTextInvertsWhereTheFillEnds) {
  // "50%" centred at x 99, the fill ending at x 100; then the same text over
  // a fill of the lower half.
  auto bar = MakeBar(200, 24);
  bar->SetPercent(50);
  const QImage horizontal = Render(*bar);
  bar->SetOrientation(orVertical);
  const QImage vertical = Render(*bar);

  // A text pixel differs from the ground of its part. Both pictures must show
  // the same text however the parts split it, and it must lie on both sides.
  int inFill = 0, inRest = 0, left = 200, right = 0;
  for (int y = 2; y < 22; ++y) {
    for (int x = 2; x < 198; ++x) {
      const QRgb h = horizontal.pixel(x, y), v = vertical.pixel(x, y);
      ASSERT_TRUE((h == kBar || h == kBack) && (v == kBar || v == kBack)) << x << "," << y;
      const bool text = h != (x < 100 ? kBar : kBack);
      EXPECT_EQ(text, v != (y >= 12 ? kBar : kBack)) << x << "," << y;
      if (!text) continue;
      ++(x < 100 ? inFill : inRest);
      left = std::min(left, x);
      right = std::max(right, x);
    }
  }
  EXPECT_GT(inFill, 0);
  EXPECT_GT(inRest, 0);
  EXPECT_NEAR((left + right + 1) / 2.0, 99, 2);
}

TEST(VlProgressBarTest, FramesAndRingsStackInward) {
  const QRgb shadow = qRgb(1, 1, 1), light = qRgb(2, 2, 2), text = qRgb(3, 3, 3),
             light3D = qRgb(4, 4, 4), frame = qRgb(5, 5, 5), highlight = qRgb(6, 6, 6),
             ring = qRgb(7, 7, 7);
  QPalette palette;
  palette.setColor(QPalette::Dark, shadow);
  palette.setColor(QPalette::Light, light);
  palette.setColor(QPalette::ButtonText, text);
  palette.setColor(QPalette::Midlight, light3D);
  palette.setColor(QPalette::WindowText, frame);
  palette.setColor(QPalette::Highlight, highlight);
  auto bar = MakeBar(40, 20);
  bar->setPalette(palette);
  bar->SetBarColor(clHighlight);
  bar->SetPercent(100);
  bar->SetShowPercent(false);

  // The default lowered frame; the right and bottom lines own the far corners.
  QImage image = Render(*bar);
  EXPECT_EQ(image.pixel(0, 0), shadow);
  EXPECT_EQ(image.pixel(39, 0), light);
  EXPECT_EQ(image.pixel(0, 19), light);
  EXPECT_EQ(image.pixel(1, 10), text);
  EXPECT_EQ(image.pixel(38, 10), light3D);
  EXPECT_EQ(image.pixel(2, 2), highlight);

  // Groove: a light frame one pixel right and down, under a dark one in place.
  bar->SetBorderOuter(fsGroove);
  image = Render(*bar);
  QImage etched(40, 20, QImage::Format_RGB32);
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
  bar->SetBorderColor(TColor(ring));
  bar->SetBorderInner(fsStatus);
  bar->SetInteriorOffset(3);
  image = Render(*bar);
  const QRgb inward[] = {frame, ring, ring, shadow, kBack, kBack, kBack, highlight};
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(image.pixel(i, 10), inward[i]) << i;
    EXPECT_EQ(image.pixel(20, i), inward[i]) << i;
    EXPECT_EQ(image.pixel(39 - i, 10), i == 3 ? light : inward[i]) << i;
  }
}

TEST(VlProgressBarTest, PaintsEveryPixel) {
  // The bar is opaque: whatever it leaves out would show stale pixels.
  auto check = [](TVlCustomProgressBar& bar) {
    const QImage image = Render(bar);
    const auto* pixels = reinterpret_cast<const QRgb*>(image.constBits());
    EXPECT_EQ(std::count(pixels, pixels + image.width() * image.height(), kUnpainted), 0)
        << bar.width() << "x" << bar.height();
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
