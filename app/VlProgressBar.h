// The dialog's progress bar: a framed bar that fills with Percent, either
// solid with a centred percentage whose colours invert where the fill ends,
// or as a row of LED segments. It can also be driven by parts done of a total.
#pragma once

#include <QtGui/qrgb.h>
#include <QColor>
#include <QPalette>
#include <QPoint>
#include <QSize>
#include <QWidget>

#include <cstdint>
#include <functional>

class QPainter;

namespace pelko {

// The system colours the bar uses. They follow the user's colour scheme, so a
// colour property holding one is looked up in the palette only when painting.
enum TSysColor : uint8_t {
  scNone,
  scHighlight,
  scBtnFace,
  scBtnShadow,
  scBtnHighlight,
  scBtnText,
  sc3DLight,
  sc3DDkShadow,
  scWindowFrame,
  scWindowText,
};

// A colour property's value: a fixed RGB colour or a system colour.
class TColor {
 public:
  constexpr TColor() = default;  // black
  constexpr explicit TColor(QRgb rgb) : rgb_(rgb & RGB_MASK) {}
  static constexpr TColor System(TSysColor id) {
    TColor c;
    c.sys_ = id;
    return c;
  }

  constexpr TSysColor SystemColor() const { return sys_; }
  // The colour to paint with, system colours taken from the palette.
  QColor Resolve(const QPalette& palette) const;

  friend constexpr bool operator==(const TColor&, const TColor&) = default;

 private:
  QRgb rgb_ = 0;
  TSysColor sys_ = scNone;
};

inline constexpr TColor clWhite{qRgb(255, 255, 255)};
inline constexpr TColor clHighlight = TColor::System(scHighlight);
inline constexpr TColor clBtnFace = TColor::System(scBtnFace);
inline constexpr TColor clBtnShadow = TColor::System(scBtnShadow);
inline constexpr TColor clBtnHighlight = TColor::System(scBtnHighlight);
inline constexpr TColor clBtnText = TColor::System(scBtnText);
inline constexpr TColor cl3DLight = TColor::System(sc3DLight);
inline constexpr TColor cl3DDkShadow = TColor::System(sc3DDkShadow);
inline constexpr TColor clWindowFrame = TColor::System(scWindowFrame);
inline constexpr TColor clWindowText = TColor::System(scWindowText);

enum TBarStyle : uint8_t { bsTraditional, bsLED };
enum TOrientation : uint8_t { orHorizontal, orVertical };
enum TFrameStyle : uint8_t {
  fsNone,
  fsFlat,
  fsGroove,
  fsBump,
  fsLowered,
  fsButtonDown,
  fsRaised,
  fsButtonUp,
  fsStatus,
  fsPopup,
};

// Where a point of the bar belongs: to the bar, or to the parent, whose size
// grip may lie under the bar's right end.
enum THitTest : uint8_t { htClient, htParent };

class TVlCustomProgressBar : public QWidget {
  Q_OBJECT

 public:
  explicit TVlCustomProgressBar(QWidget* parent = nullptr);

  // Raised after Percent changes, with the new value.
  std::function<void(TVlCustomProgressBar& sender, int percent)> OnChange;

  TColor BackColor() const { return backColor_; }
  TColor BarColor() const { return barColor_; }
  TBarStyle BarStyle() const { return barStyle_; }
  int BevelWidth() const { return bevelWidth_; }
  TColor BorderColor() const { return borderColor_; }
  TFrameStyle BorderInner() const { return borderInner_; }
  TFrameStyle BorderOuter() const { return borderOuter_; }
  int BorderWidth() const { return borderWidth_; }
  uint8_t InteriorOffset() const { return interiorOffset_; }
  int NumSegments() const { return numSegments_; }
  TOrientation Orientation() const { return orientation_; }
  uint32_t PartsComplete() const { return partsComplete_; }
  uint16_t Percent() const { return percent_; }
  bool ShowPercent() const { return showPercent_; }
  uint32_t TotalParts() const { return totalParts_; }

  // Each setter ignores the current value; otherwise it stores and repaints.
  virtual void SetBackColor(TColor value);
  // Also sets the font colour.
  virtual void SetBarColor(TColor value);
  // Also shows the percentage for bsTraditional only, and gives bsLED a
  // one-pixel margin inside the frames.
  virtual void SetBarStyle(TBarStyle value);
  // At least 1. Kept for the published property; painting does not use it.
  virtual void SetBevelWidth(int value);
  virtual void SetBorderColor(TColor value);
  virtual void SetBorderInner(TFrameStyle value);
  virtual void SetBorderOuter(TFrameStyle value);
  // At least 0: the number of one-pixel BorderColor rings.
  virtual void SetBorderWidth(int value);
  virtual void SetInteriorOffset(uint8_t value);
  // 1 to 100.
  virtual void SetNumSegments(int value);
  virtual void SetOrientation(TOrientation value);
  // Cut to TotalParts; when TotalParts is not 0, Percent follows.
  virtual void SetPartsComplete(uint32_t value);
  virtual void SetPercent(uint16_t value);
  virtual void SetShowPercent(bool value);
  // Starts over: PartsComplete and Percent go to 0.
  virtual void SetTotalParts(uint32_t value);

  // The font's colour, which a QFont does not carry. SetBarColor sets it;
  // the painting chooses its text colours itself.
  TColor FontColor() const { return fontColor_; }
  void SetFontColor(TColor value) { fontColor_ = value; }

  // While the properties are being restored from saved settings,
  // SetTotalParts keeps PartsComplete and Percent, and SetPartsComplete
  // leaves Percent as restored.
  bool Loading() const { return loading_; }
  void SetLoading(bool value) { loading_ = value; }

  // Places the bar, then makes it vertical when it is taller than wide.
  // Width and height changes go through here too.
  virtual void SetBounds(int left, int top, int width, int height);
  void SetWidth(int value) { SetBounds(x(), y(), value, height()); }
  void SetHeight(int value) { SetBounds(x(), y(), width(), value); }

  // point is in the bar's coordinates. The rightmost 12 pixels belong to the
  // parent, so that a size grip of the parent under the bar keeps working.
  virtual THitTest HitTest(QPoint point) const;

  // Paints the whole bar onto a device of the bar's size.
  void PaintTo(QPainter& painter) const;

  QSize sizeHint() const override { return {200, 24}; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  virtual void DoChange(int percent);

 private:
  TColor backColor_ = clWhite;
  TColor barColor_ = clHighlight;
  TBarStyle barStyle_ = bsTraditional;
  int bevelWidth_ = 1;
  TColor borderColor_ = clBtnFace;
  TFrameStyle borderInner_ = fsNone;
  TFrameStyle borderOuter_ = fsLowered;
  int borderWidth_ = 0;
  uint8_t interiorOffset_ = 0;
  int numSegments_ = 20;
  TOrientation orientation_ = orHorizontal;
  uint32_t partsComplete_ = 0;
  uint16_t percent_ = 0;
  bool showPercent_ = true;
  uint32_t totalParts_ = 0;
  TColor fontColor_ = clWindowText;
  bool loading_ = false;
};

// The bar as the dialog places it; 200 x 24 pixels until placed.
class TVlProgressBar final : public TVlCustomProgressBar {
  Q_OBJECT

 public:
  explicit TVlProgressBar(QWidget* parent = nullptr) : TVlCustomProgressBar(parent) {}
};

}  // namespace pelko
