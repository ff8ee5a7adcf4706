#include "app/VlProgressBar.h"

#include <QFont>
#include <QFontMetrics>
#include <QPainter>
#include <QRect>
#include <QRegion>
#include <QString>

#include <algorithm>
#include <iterator>

namespace pelko {

QColor TColor::Resolve(const QPalette& palette) const {
  // The roles Qt's Windows theme fills from these very system colours.
  // clWindowFrame has no role of its own; the window text colour is what
  // schemes give the frame.
  static constexpr QPalette::ColorRole kRoles[] = {
      QPalette::NoRole,      // scNone
      QPalette::Highlight,   // scHighlight
      QPalette::Button,      // scBtnFace
      QPalette::Dark,        // scBtnShadow
      QPalette::Light,       // scBtnHighlight
      QPalette::ButtonText,  // scBtnText
      QPalette::Midlight,    // sc3DLight
      QPalette::Shadow,      // sc3DDkShadow
      QPalette::WindowText,  // scWindowFrame
      QPalette::WindowText,  // scWindowText
  };
  static_assert(std::size(kRoles) == scWindowText + 1);
  if (sys_ == scNone) return QColor(rgb_);
  // A system colour is the same whether or not its window has the focus.
  return palette.color(QPalette::Active, kRoles[sys_]);
}

namespace {

// Stores value unless the field holds it already; tells whether it did.
template <typename T>
bool Change(T& field, T value) {
  if (field == value) return false;
  field = value;
  return true;
}

// n / d to the nearest integer, a half going to the even neighbour; exact,
// where floating point could land a hair off the half.
uint64_t RoundHalfEven(uint64_t n, uint64_t d) {
  uint64_t q = n / d;
  const uint64_t twice = (n % d) * 2;
  if (twice > d || (twice == d && q % 2 == 1)) ++q;
  return q;
}

// A rectangle as the painting steps shrink it: Right and Bottom are the
// first column and row outside it.
struct TRect {
  int Left, Top, Right, Bottom;

  int Width() const { return Right - Left; }
  int Height() const { return Bottom - Top; }
  bool IsEmpty() const { return Right <= Left || Bottom <= Top; }
  QRect ToQRect() const { return {Left, Top, Width(), Height()}; }
  void Shrink(int by) {
    Left += by;
    Top += by;
    Right -= by;
    Bottom -= by;
  }
};

// One-pixel lines along the four sides of r, left and top in c1, right and
// bottom in c2; then r shrinks inside them. Right and bottom are drawn last,
// so they own the top-right and bottom-left corners.
void DrawSides(QPainter& painter, TRect& r, const QColor& c1, const QColor& c2) {
  if (!r.IsEmpty()) {
    painter.fillRect(QRect(r.Left, r.Top, 1, r.Height()), c1);
    painter.fillRect(QRect(r.Left, r.Top, r.Width(), 1), c1);
    painter.fillRect(QRect(r.Right - 1, r.Top, 1, r.Height()), c2);
    painter.fillRect(QRect(r.Left, r.Bottom - 1, r.Width(), 1), c2);
  }
  r.Shrink(1);
}

struct TFrameLine {
  TColor TopLeft, BottomRight;
};
struct TFrameLook {
  int Lines;
  TFrameLine Line[2];  // outer first
};

// In TFrameStyle order. The etched styles are a frame in one colour shifted a
// pixel right and down under a frame in the other; pixel for pixel that is
// two lines with the colours crossed, the corners meeting as DrawSides joins
// them.
constexpr TFrameLook kFrameLooks[] = {
    {0, {}},                                                              // fsNone
    {1, {{clWindowFrame, clWindowFrame}}},                                // fsFlat
    {2, {{clBtnShadow, clBtnHighlight}, {clBtnHighlight, clBtnShadow}}},  // fsGroove
    {2, {{clBtnHighlight, clBtnShadow}, {clBtnShadow, clBtnHighlight}}},  // fsBump
    {2, {{clBtnShadow, clBtnHighlight}, {clBtnText, cl3DLight}}},         // fsLowered
    {2, {{clBtnText, clBtnText}, {clBtnShadow, clBtnShadow}}},            // fsButtonDown
    {2, {{cl3DLight, clBtnText}, {clBtnHighlight, clBtnShadow}}},         // fsRaised
    {2, {{clBtnHighlight, cl3DDkShadow}, {cl3DLight, clBtnShadow}}},      // fsButtonUp
    {1, {{clBtnShadow, clBtnHighlight}}},                                 // fsStatus
    {1, {{clBtnHighlight, clBtnShadow}}},                                 // fsPopup
};
static_assert(std::size(kFrameLooks) == fsPopup + 1);

void DrawFrame(QPainter& painter, const QPalette& palette, TRect& r, TFrameStyle style) {
  const TFrameLook& look = kFrameLooks[style];
  for (int i = 0; i < look.Lines; ++i)
    DrawSides(painter, r, look.Line[i].TopLeft.Resolve(palette),
              look.Line[i].BottomRight.Resolve(palette));
}

// A solid fill with the percentage centred over it. The text is drawn twice,
// each time clipped to one part, so its colour flips exactly where the fill
// ends.
void PaintTraditional(const TVlCustomProgressBar& bar, QPainter& painter, const TRect& r) {
  const QColor back = bar.BackColor().Resolve(bar.palette());
  const QColor fill = bar.BarColor().Resolve(bar.palette());
  const unsigned p = bar.Percent();
  const QString text = bar.ShowPercent() ? QString::number(p) + u'%' : QString();

  TRect filled = r;
  TRect rest = {r.Right, r.Top, r.Right, r.Bottom};
  if (p < 100) {
    rest = r;
    if (bar.Orientation() == orVertical) {
      filled.Top = r.Bottom - int(RoundHalfEven(uint64_t(p) * r.Height(), 100));
      rest.Bottom = filled.Top;
    } else {
      filled.Right = r.Left + int(RoundHalfEven(uint64_t(p) * r.Width(), 100));
      rest.Left = filled.Right;
    }
  }

  // Centred on half of r's right edge, not on r's middle (half a frame
  // further right): the text stays where users of the bar know it.
  const QFontMetrics metrics = painter.fontMetrics();
  const int top = r.Top + (r.Height() - metrics.height()) / 2;
  const QPoint baseline(r.Right / 2 - metrics.horizontalAdvance(text) / 2, top + metrics.ascent());

  auto paintPart = [&](const TRect& part, const QColor& ground, const QColor& ink) {
    if (part.IsEmpty()) return;
    painter.fillRect(part.ToQRect(), ground);
    if (text.isEmpty()) return;
    painter.save();
    painter.setClipRect(part.ToQRect(), Qt::IntersectClip);
    painter.setPen(ink);
    painter.drawText(baseline, text);
    painter.restore();
  };
  paintPart(filled, fill, back);
  paintPart(rest, back, fill);
}

// Segments of equal size along the bar, lit from the left or from the bottom.
void PaintLED(const TVlCustomProgressBar& bar, QPainter& painter, const TRect& r) {
  const bool vertical = bar.Orientation() == orVertical;
  const int length = vertical ? r.Height() : r.Width();
  int count = bar.NumSegments();
  int size = length / count;
  // A short bar shows at most ten segments, so that each stays visible.
  if (length <= 80 && count > 10) {
    count = 10;
    size = length / 10;
  }
  // Room for whole segments beyond the asked number gets them, rather than
  // wide margins.
  if (size > 0) count += (length - size * count) / size;
  const int margin = (length - size * count) / 2;
  const int64_t lit = std::min<int64_t>(count, int64_t(bar.Percent()) * count / 100);

  // The margins (the far one takes an odd pixel left over), the one-pixel
  // outline of every segment that makes the gaps, and the unlit segments are
  // all BackColor; only the inside of a lit segment is not.
  painter.fillRect(r.ToQRect(), bar.BackColor().Resolve(bar.palette()));
  const QColor fill = bar.BarColor().Resolve(bar.palette());
  for (int i = 1; i <= lit; ++i) {
    TRect segment = r;
    if (vertical) {
      segment.Top = r.Top + margin + (count - i) * size;
      segment.Bottom = segment.Top + size;
    } else {
      segment.Left = r.Left + margin + (i - 1) * size;
      segment.Right = segment.Left + size;
    }
    segment.Shrink(1);
    if (!segment.IsEmpty()) painter.fillRect(segment.ToQRect(), fill);
  }
}

}  // namespace

TVlCustomProgressBar::TVlCustomProgressBar(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_OpaquePaintEvent);  // PaintTo covers every pixel
  TVlCustomProgressBar::SetBounds(0, 0, 200, 24);
}

void TVlCustomProgressBar::SetBackColor(TColor value) {
  if (Change(backColor_, value)) update();
}

void TVlCustomProgressBar::SetBarColor(TColor value) {
  if (!Change(barColor_, value)) return;
  fontColor_ = value;
  update();
}

void TVlCustomProgressBar::SetBarStyle(TBarStyle value) {
  if (!Change(barStyle_, value)) return;
  SetShowPercent(value == bsTraditional);
  SetInteriorOffset(value == bsLED ? 1 : 0);
  update();
}

void TVlCustomProgressBar::SetBevelWidth(int value) {
  if (Change(bevelWidth_, std::max(value, 1))) update();
}

void TVlCustomProgressBar::SetBorderColor(TColor value) {
  if (Change(borderColor_, value)) update();
}

void TVlCustomProgressBar::SetBorderInner(TFrameStyle value) {
  if (Change(borderInner_, value)) update();
}

void TVlCustomProgressBar::SetBorderOuter(TFrameStyle value) {
  if (Change(borderOuter_, value)) update();
}

void TVlCustomProgressBar::SetBorderWidth(int value) {
  if (Change(borderWidth_, std::max(value, 0))) update();
}

void TVlCustomProgressBar::SetInteriorOffset(uint8_t value) {
  if (Change(interiorOffset_, value)) update();
}

void TVlCustomProgressBar::SetNumSegments(int value) {
  if (Change(numSegments_, std::clamp(value, 1, 100))) update();
}

void TVlCustomProgressBar::SetOrientation(TOrientation value) {
  if (Change(orientation_, value)) update();
}

void TVlCustomProgressBar::SetPartsComplete(uint32_t value) {
  if (value == partsComplete_) return;
  partsComplete_ = std::min(value, totalParts_);
  if (!loading_ && totalParts_ != 0)
    SetPercent(uint16_t(RoundHalfEven(uint64_t(partsComplete_) * 100, totalParts_)));
  update();
}

void TVlCustomProgressBar::SetPercent(uint16_t value) {
  if (!Change(percent_, value)) return;
  DoChange(value);
  update();
}

void TVlCustomProgressBar::SetShowPercent(bool value) {
  if (Change(showPercent_, value)) update();
}

void TVlCustomProgressBar::SetTotalParts(uint32_t value) {
  if (!Change(totalParts_, value)) return;
  if (!loading_) {
    partsComplete_ = 0;
    SetPercent(0);
  }
  update();
}

void TVlCustomProgressBar::SetBounds(int left, int top, int width, int height) {
  setGeometry(left, top, width, height);
  SetOrientation(this->height() > this->width() ? orVertical : orHorizontal);
}

THitTest TVlCustomProgressBar::HitTest(QPoint point) const {
  return rect().contains(point) && point.x() >= width() - 12 ? htParent : htClient;
}

void TVlCustomProgressBar::DoChange(int percent) {
  if (OnChange) OnChange(*this, percent);
}

void TVlCustomProgressBar::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  PaintTo(painter);
}

void TVlCustomProgressBar::PaintTo(QPainter& painter) const {
  painter.save();
  // Every edge falls on whole pixels, and the two text colours must meet
  // without blended pixels between them.
  painter.setRenderHint(QPainter::Antialiasing, false);
  painter.setRenderHint(QPainter::TextAntialiasing, false);
  QFont textFont = font();
  textFont.setStyleStrategy(QFont::NoAntialias);
  painter.setFont(textFont);

  const QPalette& colors = palette();
  TRect r = {0, 0, width(), height()};
  DrawFrame(painter, colors, r, borderOuter_);
  // Once r is empty, further rings and frames draw nothing.
  const QColor border = borderColor_.Resolve(colors);
  for (int i = 0; i < borderWidth_ && !r.IsEmpty(); ++i) DrawSides(painter, r, border, border);
  DrawFrame(painter, colors, r, borderInner_);
  if (interiorOffset_ > 0) {
    TRect inner = r;
    inner.Shrink(interiorOffset_);
    const QRegion margin = QRegion(r.ToQRect()).subtracted(QRegion(inner.ToQRect()));
    const QColor back = backColor_.Resolve(colors);
    for (const QRect& part : margin) painter.fillRect(part, back);
    r = inner;
  }
  if (!r.IsEmpty()) {
    if (barStyle_ == bsLED)
      PaintLED(*this, painter, r);
    else
      PaintTraditional(*this, painter, r);
  }
  painter.restore();
}

}  // namespace pelko
