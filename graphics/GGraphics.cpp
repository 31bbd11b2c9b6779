#include "graphics/GGraphics.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <vector>

#include "core/status.h"

namespace {

GraphicsState gState;

void Recompute() {
  GraphicsState& s = gState;
  const float w = static_cast<float>(s.width);
  const float h = static_cast<float>(s.height);
  s.scaleX = w * (s.viewRight - s.viewLeft) / (s.worldMaxX - s.worldMinX);
  s.offsetX = w * s.viewLeft - s.worldMinX * s.scaleX;
  s.scaleY = h * (s.viewTop - s.viewBottom) / (s.worldMaxY - s.worldMinY);
  s.offsetY = h * s.viewBottom - s.worldMinY * s.scaleY;
}

int NeedCanvas(const IRoutine& routine, int& status) {
  if (gState.canvas) return kTrue;
  return IFail(routine, kStatusBadHandle, status);
}

void ApplyPen() {
  GraphicsState& s = gState;
  if (!s.canvas) return;
  if (s.lineStyle == 0 && s.lineWidth <= 1 && s.lineRed == 0 && s.lineGreen == 0 &&
      s.lineBlue == 0) {
    s.canvas->SelectStockBlackPen();
  } else {
    s.canvas->SetPen(s.lineWidth, {static_cast<std::uint8_t>(std::clamp(s.lineRed, 0, 255)),
                                   static_cast<std::uint8_t>(std::clamp(s.lineGreen, 0, 255)),
                                   static_cast<std::uint8_t>(std::clamp(s.lineBlue, 0, 255))});
  }
}

// Integer division of the image mappings, truncating toward zero, safe for r = 0.
int Div(int a, int b) { return b == 0 ? 0 : a / b; }

}  // namespace

int GTruncate(double value) {
  if (std::isnan(value)) return 0;
  if (value >= static_cast<double>(INT_MAX)) return INT_MAX;
  if (value <= static_cast<double>(INT_MIN)) return INT_MIN;
  return static_cast<int>(value);
}

GraphicsState& GState() { return gState; }

void GResetState() {
  gState = GraphicsState{};
  Recompute();
}

int GSetWindow(PCanvas* canvas, int& status) {
  static constexpr IRoutine kR{"GSetWindow", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!canvas) return IFail(kR, kStatusBadHandle, status);
  gState.canvas = canvas;
  gState.fontChanged = true;
  ApplyPen();
  Recompute();
  return kTrue;
}

int GSetBP(int width, int height, int x0, int y0, int w, int h, int& status) {
  static constexpr IRoutine kR{"GSetBP", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (x0 < 0 || w < 1) return IFail(kR, kStatusIntRange1, status);
  if (y0 < 0 || h < 1) return IFail(kR, kStatusIntRange2, status);
  gState.width = width;
  gState.height = height;
  gState.heightMinusOne = height - 1;
  gState.imageLeft = x0;
  gState.imageBelow = height - std::min(height, y0 + h);
  Recompute();
  return kTrue;
}

int GSetDDR(float minX, float minY, float maxX, float maxY, int& status) {
  static constexpr IRoutine kR{"GSetDDR", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!(minX < maxX)) return IFail(kR, 17, status);
  if (!(minY < maxY)) return IFail(kR, 18, status);
  gState.worldMinX = minX;
  gState.worldMinY = minY;
  gState.worldMaxX = maxX;
  gState.worldMaxY = maxY;
  Recompute();
  return kTrue;
}

int GGetDDR(float& minX, float& minY, float& maxX, float& maxY, int& status) {
  static constexpr IRoutine kR{"GGetDDR", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  minX = gState.worldMinX;
  minY = gState.worldMinY;
  maxX = gState.worldMaxX;
  maxY = gState.worldMaxY;
  return kTrue;
}

int GGetScaling(float& scaleX, float& scaleY, int& status) {
  static constexpr IRoutine kR{"GGetScaling", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  scaleX = (gState.viewRight - gState.viewLeft) / (gState.worldMaxX - gState.worldMinX);
  scaleY = (gState.viewTop - gState.viewBottom) / (gState.worldMaxY - gState.worldMinY);
  return kTrue;
}

int GSetClipRegion(float minX, float minY, float maxX, float maxY, int& status) {
  static constexpr IRoutine kR{"GSetClipRegion", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  if (!(minX < maxX)) return IFail(kR, 17, status);
  if (!(minY < maxY)) return IFail(kR, 18, status);
  gState.clipMinX = minX;
  gState.clipMaxX = maxX;
  gState.clipMinY = minY;
  gState.clipMaxY = maxY;
  return kTrue;
}

int GClipOn(int& status) {
  static constexpr IRoutine kR{"GClipOn", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  if (!NeedCanvas(kR, status)) return kFalse;
  const GraphicsState& s = gState;
  const int left = GWorldToWindowX(s.clipMinX);
  const int right = GWorldToWindowX(s.clipMaxX);
  const int top = s.height - GTruncate(static_cast<double>(s.scaleY) * s.clipMaxY + s.offsetY);
  const int bottom = s.height - GTruncate(static_cast<double>(s.scaleY) * s.clipMinY + s.offsetY);
  // A device clip rectangle excludes its right and bottom edges.
  s.canvas->SetClip(left, top, right - 1, bottom - 1);
  return kTrue;
}

int GClipOff(int& status) {
  static constexpr IRoutine kR{"GClipOff", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  if (!NeedCanvas(kR, status)) return kFalse;
  gState.canvas->ClearClip();
  return kTrue;
}

int GDefault(int& status) {
  static constexpr IRoutine kR{"GDefault", "V0.4"};
  if (IBad(kR, status)) return kFalse;
  if (!NeedCanvas(kR, status)) return kFalse;
  GSetLineColour(0, 0, 0, status);
  if (gState.fontsToCreate) {
    // Fonts are made on demand by the toolkit; the set of 42 (21 heights, horizontal and
    // vertical) exists from here on.
    gState.fontsToCreate = false;
    gState.fontsCreated = 42;
  }
  return kTrue;
}

int GClose(int& status) {
  static constexpr IRoutine kR{"GClose", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  gState.fontsCreated = 0;
  gState.fontsToCreate = true;
  gState.customFont = false;
  gState.canvas = nullptr;
  return kTrue;
}

int GWorldToWindowX(float x) {
  return GTruncate(static_cast<double>(gState.scaleX) * x + gState.offsetX);
}

int GWorldToWindowY(float y) {
  return GTruncate(gState.height - (static_cast<double>(gState.scaleY) * y + gState.offsetY));
}

int GPolyLine(int n, const float* x, const float* y, int& status) {
  static constexpr IRoutine kR{"GPolyLine", "V0.4"};
  if (IBad(kR, status)) return kFalse;
  if (!NeedCanvas(kR, status)) return kFalse;
  if (n < 2) return IFail(kR, kStatusIntRange1, status);
  // At most 200 points per device call; consecutive pieces share a point so the line is
  // unbroken.
  PPoint points[200];
  int start = 0;
  while (start < n - 1) {
    const int count = std::min(200, n - start);
    for (int i = 0; i < count; ++i) {
      points[i] = {GWorldToWindowX(x[start + i]), GWorldToWindowY(y[start + i])};
    }
    gState.canvas->PolyLine(points, count);
    ++gState.deviceCalls;
    start += count - 1;
  }
  return kTrue;
}

int GLine(float x1, float y1, float x2, float y2, int& status) {
  static constexpr IRoutine kR{"GLine", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  const float x[2] = {x1, x2};
  const float y[2] = {y1, y2};
  return GPolyLine(2, x, y, status);
}

int GSetLineWidth(int width, int& status) {
  static constexpr IRoutine kR{"GSetLineWidth", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  if (width == gState.lineWidth) return kTrue;
  gState.lineWidth = width;
  ApplyPen();
  return kTrue;
}

int GSetLineColour(int red, int green, int blue, int& status) {
  static constexpr IRoutine kR{"GSetLineColour", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  red = red > 254 ? 255 : red;
  green = green > 254 ? 255 : green;
  blue = blue > 254 ? 255 : blue;
  if (red == gState.lineRed && green == gState.lineGreen && blue == gState.lineBlue) return kTrue;
  gState.lineRed = red;
  gState.lineGreen = green;
  gState.lineBlue = blue;
  ApplyPen();
  return kTrue;
}

int GTextHeightClass(int pixels) {
  static constexpr int kBelow[20] = {12, 14, 16, 20, 24, 28, 32, 36, 40, 50,
                                     60, 70, 80, 90, 100, 120, 140, 160, 200, INT_MAX};
  static constexpr int kClass[20] = {10, 12, 14, 16, 20, 24, 28, 32, 36, 40,
                                     50, 60, 70, 80, 90, 100, 120, 140, 160, 200};
  for (int i = 0; i < 20; ++i) {
    if (pixels < kBelow[i]) return kClass[i];
  }
  return 200;
}

int GFontClassFor(int height) {
  static constexpr int kUpTo[20] = {11, 13, 15, 19, 23, 27, 31, 35, 39, 49,
                                    59, 69, 79, 89, 99, 119, 139, 159, 179, 199};
  for (int i = 0; i < 20; ++i) {
    if (height <= kUpTo[i]) return kFontHeights[i];
  }
  return 200;
}

int GSetTextHeight(float fraction, int& status) {
  static constexpr IRoutine kR{"GSetTextHeight", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!(fraction >= 0.00001f && fraction <= 1.0f)) return IFail(kR, kStatusRealRange1, status);
  const int pixels = GTruncate(static_cast<double>(fraction) *
                                   std::max(gState.width, gState.height) +
                               0.4999999);
  const int heightClass = GTextHeightClass(pixels);
  if (heightClass != gState.textHeightClass) {
    gState.textHeightClass = heightClass;
    gState.fontChanged = true;
  }
  return kTrue;
}

int GSetTextAngle(float degrees, int& status) {
  static constexpr IRoutine kR{"GSetTextAngle", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  if (!(degrees >= -180.0f && degrees <= 180.0f)) return IFail(kR, kStatusRealRange1, status);
  const int tenths = GTruncate(static_cast<double>(degrees) * 10.0 + 0.4999999);
  if (tenths != gState.textAngleTenths) {
    gState.textAngleTenths = tenths;
    gState.fontChanged = true;
  }
  return kTrue;
}

int GSetTextAlignment(int horizontal, int vertical, int& status) {
  static constexpr IRoutine kR{"GSetTextAlignment", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  if (horizontal < kAlignLeft || horizontal > kAlignRight) {
    return IFail(kR, kStatusIntRange1, status);
  }
  if (vertical < kAlignTop || vertical > kAlignBottom) return IFail(kR, kStatusIntRange2, status);
  if (!NeedCanvas(kR, status)) return kFalse;
  gState.horizontalAlignment = horizontal;
  gState.verticalAlignment = vertical;
  const PAlignH h = horizontal == kAlignLeft     ? PAlignH::kLeft
                    : horizontal == kAlignCentre ? PAlignH::kCentre
                                                 : PAlignH::kRight;
  gState.canvas->SetTextAlign(h, vertical == kAlignBottom ? PAlignV::kBottom : PAlignV::kTop);
  return kTrue;
}

namespace {

// The font of the current height class and angle, chosen again only after a change.
void SelectCurrentFont() {
  GraphicsState& s = gState;
  if (!s.fontChanged) return;
  const int angle = s.textAngleTenths;
  const int height = GFontClassFor(s.textHeightClass);
  if (angle == 0 || (angle >= 890 && angle <= 910)) {
    s.selectedFontHeight = height;
    s.selectedFontAngle = angle == 0 ? 0 : 900;
  } else {
    s.customFont = true;
    s.customFontTenths = angle;
    s.selectedFontHeight = s.textHeightClass;
    s.selectedFontAngle = angle;
  }
  s.canvas->SelectFont(s.selectedFontHeight, s.selectedFontAngle);
  s.fontChanged = false;
}

}  // namespace

int GTextExtent(const std::string& text, int& width, int& height, int& status) {
  static constexpr IRoutine kR{"GTextExtent", "V0.1"};
  if (IBad(kR, status)) return kFalse;
  if (!NeedCanvas(kR, status)) return kFalse;
  SelectCurrentFont();
  gState.canvas->TextExtent(text, width, height);
  return kTrue;
}

int GText(float x, float y, const std::string& text, int& status) {
  static constexpr IRoutine kR{"GText", "V0.4"};
  if (IBad(kR, status)) return kFalse;
  if (!NeedCanvas(kR, status)) return kFalse;
  GraphicsState& s = gState;
  const int column = GWorldToWindowX(x);
  int row = GWorldToWindowY(y);
  SelectCurrentFont();
  if (s.verticalAlignment == kAlignHalf) row -= s.canvas->TextCellHeight("Xg") / 2;
  if (s.verticalAlignment == kAlignCap) row -= s.canvas->TextCellHeight("X") / 2;
  const PColour colour{static_cast<std::uint8_t>(std::clamp(s.lineRed, 0, 255)),
                       static_cast<std::uint8_t>(std::clamp(s.lineGreen, 0, 255)),
                       static_cast<std::uint8_t>(std::clamp(s.lineBlue, 0, 255))};
  if (!s.canvas->Text(column, row, text, colour)) {
    IErrorMessage("TextOut failed:", 0, status);
    return IFail(kR, kStatusOther, status);
  }
  return kTrue;
}

// ---- Image mappings ---------------------------------------------------------------------

void GSetImageFit(bool on, double fitX, double fitY, int startX, int startY) {
  GraphicsState& s = gState;
  s.imageFitted = on && fitX > 0.0 && fitY > 0.0;
  s.fitX = s.imageFitted ? fitX : 1.0;
  s.fitY = s.imageFitted ? fitY : 1.0;
  s.fitStartX = startX;
  s.fitStartY = startY;
}

namespace {

// The data pixel under a device offset from the fitted image's edge, and back.
int FittedPixel(int offset, double fit, int start) {
  return static_cast<int>(std::floor(offset / fit)) + start;
}
int FittedOffset(double data, double fit, int start) { return GTruncate((data - start) * fit); }

}  // namespace

int GPixelToWindowX(int i, const DataSet& d) {
  const int x0 = gState.imageLeft;
  if (gState.imageFitted) return FittedOffset(i, gState.fitX, gState.fitStartX) + x0;
  if (d.magnification > 0) return (i - d.displayStartX) * d.magnification + x0;
  return Div(i - d.displayStartX, d.reduction) + x0;
}

int GPixelToWindowY(int j, const DataSet& d) {
  const int t = gState.heightMinusOne;
  const int yb = gState.imageBelow;
  if (gState.imageFitted) return t - FittedOffset(j, gState.fitY, gState.fitStartY) - yb;
  if (d.magnification > 0) return t - (j - d.displayStartY) * d.magnification - yb;
  return t - Div(j - d.displayStartY, d.reduction) - yb;
}

int GWindowToPixelX(int px, const DataSet& d) {
  const int x0 = gState.imageLeft;
  int i = gState.imageFitted     ? FittedPixel(px - x0, gState.fitX, gState.fitStartX)
          : d.magnification > 0 ? Div(px - x0, d.magnification) + d.displayStartX
                                : (px - x0) * d.reduction + d.displayStartX;
  if (i < 0) i = 0;
  if (i > d.numX - 1) i = d.numX - 1;
  return i;
}

int GWindowToPixelY(int py, const DataSet& d) {
  const int t = gState.heightMinusOne;
  const int yb = gState.imageBelow;
  int j = gState.imageFitted     ? FittedPixel(t - yb - py, gState.fitY, gState.fitStartY)
          : d.magnification > 0 ? Div(t - yb - py, d.magnification) + d.displayStartY
                                : (t - yb - py) * d.reduction + d.displayStartY;
  if (j < 0) j = 0;
  if (j > d.numY - 1) j = d.numY - 1;
  return j;
}

int GDataToWindowX(float x, const DataSet& d) {
  const int x0 = gState.imageLeft;
  if (gState.imageFitted) return FittedOffset(x, gState.fitX, gState.fitStartX) + x0;
  if (d.magnification > 0) {
    return GTruncate((static_cast<double>(x) - d.displayStartX) * d.magnification) + x0;
  }
  return Div(GTruncate(x) - d.displayStartX, d.reduction) + x0;
}

int GDataToWindowY(float y, const DataSet& d) {
  const int t = gState.heightMinusOne;
  const int yb = gState.imageBelow;
  if (gState.imageFitted) return t - FittedOffset(y, gState.fitY, gState.fitStartY) - yb;
  if (d.magnification > 0) {
    return t - GTruncate((static_cast<double>(y) - d.displayStartY) * d.magnification) - yb;
  }
  return t - Div(GTruncate(y) - d.displayStartY, d.reduction) - yb;
}

float GWindowToDataX(int px, const DataSet& d) {
  const int x0 = gState.imageLeft;
  if (gState.imageFitted) {
    return static_cast<float>((px - x0) / gState.fitX + gState.fitStartX);
  }
  if (d.magnification > 0) {
    return static_cast<float>(px - x0) / static_cast<float>(d.magnification) +
           static_cast<float>(d.displayStartX);
  }
  return static_cast<float>((px - x0) * d.reduction + d.displayStartX);
}

float GWindowToDataY(int py, const DataSet& d) {
  const int t = gState.heightMinusOne;
  const int yb = gState.imageBelow;
  if (gState.imageFitted) {
    return static_cast<float>((t - yb - py) / gState.fitY + gState.fitStartY);
  }
  if (d.magnification > 0) {
    return static_cast<float>(t - yb - py) / static_cast<float>(d.magnification) +
           static_cast<float>(d.displayStartY);
  }
  return static_cast<float>((t - yb - py) * d.reduction + d.displayStartY);
}

namespace {

// The middle of the part of [low, high) that lies on the image's numPixels pixels; a window
// pixel beside the image stands for the edge pixel, as GWindowToPixelX/Y decide it.
float PointInside(double low, double high, int numPixels) {
  const double top = numPixels > 0 ? numPixels : 1;
  const double a = std::max(low, 0.0), b = std::min(high, top);
  if (a < b) return static_cast<float>(0.5 * (a + b));
  return static_cast<float>(low >= top ? top - 0.5 : 0.5);
}

// The data interval under window step k (counted from the image's first displayed pixel).
void WindowStepToData(int k, int start, const DataSet& d, double& low, double& high) {
  if (d.magnification > 0) {
    low = static_cast<double>(k) / d.magnification + start;
    high = low + 1.0 / d.magnification;
  } else {
    const int r = std::max(d.reduction, 1);
    low = static_cast<double>(k) * r + start;
    high = low + r;
  }
}

}  // namespace

float GWindowToPointX(int px, const DataSet& d) {
  double low = 0.0, high = 0.0;
  WindowStepToData(px - gState.imageLeft, d.displayStartX, d, low, high);
  return PointInside(low, high, d.numX);
}

float GWindowToPointY(int py, const DataSet& d) {
  double low = 0.0, high = 0.0;
  WindowStepToData(gState.heightMinusOne - gState.imageBelow - py, d.displayStartY, d, low,
                   high);
  return PointInside(low, high, d.numY);
}

float GWindowToWorldX(int px) {
  const GraphicsState& s = gState;
  if (s.width <= 0) return s.worldMinX;
  return s.worldMinX + (static_cast<float>(px) / static_cast<float>(s.width) - s.viewLeft) *
                           (s.worldMaxX - s.worldMinX) / (s.viewRight - s.viewLeft);
}

float GWindowToWorldY(int py) {
  const GraphicsState& s = gState;
  if (s.height <= 0) return s.worldMinY;
  return s.worldMinY +
         (static_cast<float>(s.height - py) / static_cast<float>(s.height) - s.viewBottom) *
             (s.worldMaxY - s.worldMinY) / (s.viewTop - s.viewBottom);
}

int GWindowToScanPixel(int px, const DataSet& d) {
  const double x = GWindowToWorldX(px);
  if (d.xAxisInPixels) return GTruncate(x + 0.4999999);
  if (d.pixelSizeX == 0.0f) return 0;
  return GTruncate((x - d.xAxisStart) / d.pixelSizeX + 0.4999999);
}
