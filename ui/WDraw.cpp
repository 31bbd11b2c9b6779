#include "ui/WDraw.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <numbers>

#include "core/status.h"
#include "platform/Platform.h"

namespace {

constexpr PColour kWhite{255, 255, 255};

int NeedCanvas(const IRoutine& routine, PCanvas* canvas, int& status) {
  if (canvas) return kTrue;
  return IFail(routine, kStatusBadHandle, status);
}

// Window coordinates far outside any screen are pulled in, so the arithmetic on them never
// overflows.
constexpr int kFar = 1 << 20;
int Near(int v) { return std::clamp(v, -kFar, kFar); }

// Inverts the band without the status idiom (the callers have checked it).
void InvertBand(PCanvas* canvas, int x1, int y1, int x2, int y2) {
  x1 = Near(x1);
  y1 = Near(y1);
  x2 = Near(x2);
  y2 = Near(y2);
  // The band is one pixel thick across the line's main direction, so every column (or row)
  // it passes holds exactly one inverted pixel.
  PPoint corners[4];
  if (std::abs(y2 - y1) < std::abs(x2 - x1)) {
    corners[0] = {x1, y1};
    corners[1] = {x1, y1 + 1};
    corners[2] = {x2, y2 + 1};
    corners[3] = {x2, y2};
  } else {
    corners[0] = {x1, y1};
    corners[1] = {x1 + 1, y1};
    corners[2] = {x2 + 1, y2};
    corners[3] = {x2, y2};
  }
  canvas->InvertPolygon(corners, 4);
}

// The closed polygon of n sides through the points of the unit circle from (-1, 0), each
// point placed by `place`; each side is an inverted band.
template <class Place>
void InvertClosedCurve(PCanvas* canvas, int n, Place place) {
  const double step = 2.0 * std::numbers::pi / n;
  int firstX = 0, firstY = 0;
  place(-1.0, 0.0, firstX, firstY);
  int lastX = firstX, lastY = firstY;
  for (int k = 1; k <= n; ++k) {
    int x = firstX, y = firstY;
    // The last side closes on the first point exactly.
    if (k < n) place(std::cos(std::numbers::pi + k * step), std::sin(std::numbers::pi + k * step),
                     x, y);
    InvertBand(canvas, lastX, lastY, x, y);
    lastX = x;
    lastY = y;
  }
}

}  // namespace

int WTruncate(double value) {
  if (std::isnan(value)) return 0;
  if (value >= static_cast<double>(INT_MAX)) return INT_MAX;
  if (value <= static_cast<double>(INT_MIN)) return INT_MIN;
  return static_cast<int>(value);
}

int WDrawLine(PCanvas* canvas, int x1, int y1, int x2, int y2, int& status) {
  static constexpr IRoutine kR{"WDrawLine", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  if (!NeedCanvas(kR, canvas, status)) return kFalse;
  const PPoint points[2] = {{x1, y1}, {x2, y2}};
  canvas->PolyLine(points, 2);
  return kTrue;
}

int WDrawFilledRectangle(PCanvas* canvas, PColour brush, int x1, int y1, int x2, int y2,
                         int& status) {
  static constexpr IRoutine kR{"WDrawFilledRectangle", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  if (!NeedCanvas(kR, canvas, status)) return kFalse;
  const int left = std::min(x1, x2);
  const int top = std::min(y1, y2);
  // Both corners belong to the rectangle; the device fill leaves out its right and bottom.
  const int right = std::max(x1, x2) == INT_MAX ? INT_MAX : std::max(x1, x2) + 1;
  const int bottom = std::max(y1, y2) == INT_MAX ? INT_MAX : std::max(y1, y2) + 1;
  canvas->FillRect(left, top, right, bottom, brush);
  return kTrue;
}

int WDrawMarker(PCanvas* canvas, int x, int y, int& status) {
  static constexpr IRoutine kR{"WDrawMarker", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!NeedCanvas(kR, canvas, status)) return kFalse;
  // White diagonals first so the black cross stays readable on dark and bright pixels alike.
  canvas->SetPen(1, kWhite);
  const PPoint diagonal1[2] = {{x - 3, y - 3}, {x + 4, y + 4}};
  const PPoint diagonal2[2] = {{x - 3, y + 3}, {x + 4, y - 4}};
  canvas->PolyLine(diagonal1, 2);
  canvas->PolyLine(diagonal2, 2);
  canvas->SelectStockBlackPen();
  const PPoint across[2] = {{x - 4, y}, {x + 5, y}};
  const PPoint upright[2] = {{x, y - 4}, {x, y + 5}};
  canvas->PolyLine(across, 2);
  canvas->PolyLine(upright, 2);
  return kTrue;
}

int WDrawInvertedLine(PCanvas* canvas, int x1, int y1, int x2, int y2, int& status) {
  static constexpr IRoutine kR{"WDrawInvertedLine", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  if (!NeedCanvas(kR, canvas, status)) return kFalse;
  InvertBand(canvas, x1, y1, x2, y2);
  return kTrue;
}

int WDrawInvertedBox(PCanvas* canvas, int x1, int y1, int x2, int y2, int& status) {
  static constexpr IRoutine kR{"WDrawInvertedBox", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!NeedCanvas(kR, canvas, status)) return kFalse;
  const int left = Near(std::min(x1, x2)), right = Near(std::max(x1, x2));
  const int top = Near(std::min(y1, y2)), bottom = Near(std::max(y1, y2));
  if (left == right || top == bottom) {
    if (top == bottom) {
      InvertBand(canvas, left, top, right + 1, top);
    } else {
      InvertBand(canvas, left, top, left, bottom + 1);
    }
    return kTrue;
  }
  int clipLeft = 0, clipTop = 0, clipRight = -1, clipBottom = -1;
  if (!canvas->ClipBox(clipLeft, clipTop, clipRight, clipBottom)) return kTrue;
  const bool spanX = left <= clipRight && right >= clipLeft;
  const bool spanY = top <= clipBottom && bottom >= clipTop;
  // Top and bottom take the corners; the sides fill the rows between, so every pixel of the
  // outline is inverted exactly once.
  if (spanX && top >= clipTop && top <= clipBottom) InvertBand(canvas, left, top, right + 1, top);
  if (spanX && bottom >= clipTop && bottom <= clipBottom) {
    InvertBand(canvas, left, bottom, right + 1, bottom);
  }
  if (spanY && left >= clipLeft && left <= clipRight) {
    InvertBand(canvas, left, top + 1, left, bottom);
  }
  if (spanY && right >= clipLeft && right <= clipRight) {
    InvertBand(canvas, right, top + 1, right, bottom);
  }
  return kTrue;
}

int WPolygonSides(int radius) {
  if (radius <= 9) return 18;
  if (radius < 20) return 36;
  if (radius < 50) return 72;
  if (radius < 100) return 90;
  return 180;
}

int WDrawInvertedCircle(PCanvas* canvas, int cx, int cy, int r, int& status) {
  static constexpr IRoutine kR{"WDrawInvertedCircle", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!NeedCanvas(kR, canvas, status)) return kFalse;
  const double radius = r;
  InvertClosedCurve(canvas, WPolygonSides(r), [&](double u, double v, int& x, int& y) {
    x = WTruncate(cx + radius * u);
    y = WTruncate(cy + radius * v);
  });
  return kTrue;
}

int WDrawInvertedEllipse(PCanvas* canvas, int cx, int cy, int a, int b, float angle,
                         int& status) {
  static constexpr IRoutine kR{"WDrawInvertedEllipse", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!NeedCanvas(kR, canvas, status)) return kFalse;
  // Window rows grow downwards: turning by -angle there turns counter-clockwise on screen.
  const double theta = -static_cast<double>(angle);
  const double c = std::cos(theta), s = std::sin(theta);
  InvertClosedCurve(canvas, WPolygonSides(std::max(a, b)), [&](double u, double v, int& x, int& y) {
    x = WTruncate(cx + a * u * c - b * v * s);
    y = WTruncate(cy + a * u * s + b * v * c);
  });
  return kTrue;
}

void WInitRubberBox(RubberShape& shape) { shape.shown = kFalse; }

int WDrawRubberBox(PCanvas* canvas, int x1, int y1, int x2, int y2, RubberShape& shape,
                   int& status) {
  static constexpr IRoutine kR{"WDrawRubberBox", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!NeedCanvas(kR, canvas, status)) return kFalse;
  if (shape.shown) WDrawInvertedBox(canvas, shape.x1, shape.y1, shape.x2, shape.y2, status);
  shape.x1 = std::min(x1, x2);
  shape.y1 = std::min(y1, y2);
  shape.x2 = std::max(x1, x2);
  shape.y2 = std::max(y1, y2);
  WDrawInvertedBox(canvas, shape.x1, shape.y1, shape.x2, shape.y2, status);
  shape.shown = kTrue;
  return kTrue;
}

int WClearRubberBox(PCanvas* canvas, RubberShape& shape, int& status) {
  static constexpr IRoutine kR{"WClearRubberBox", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  if (!NeedCanvas(kR, canvas, status)) return kFalse;
  if (shape.shown) WDrawInvertedBox(canvas, shape.x1, shape.y1, shape.x2, shape.y2, status);
  shape.shown = kFalse;
  return kTrue;
}

void WInitRubberBand(RubberShape& shape) { shape.shown = kFalse; }

int WDrawRubberBand(PCanvas* canvas, int x1, int y1, int x2, int y2, RubberShape& shape,
                    int& status) {
  static constexpr IRoutine kR{"WDrawRubberBand", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  if (!NeedCanvas(kR, canvas, status)) return kFalse;
  if (shape.shown) InvertBand(canvas, shape.x1, shape.y1, shape.x2, shape.y2);
  shape = {kTrue, x1, y1, x2, y2};
  InvertBand(canvas, x1, y1, x2, y2);
  return kTrue;
}

int WClearRubberBand(PCanvas* canvas, RubberShape& shape, int& status) {
  static constexpr IRoutine kR{"WClearRubberBand", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  if (!NeedCanvas(kR, canvas, status)) return kFalse;
  if (shape.shown) InvertBand(canvas, shape.x1, shape.y1, shape.x2, shape.y2);
  shape.shown = kFalse;
  return kTrue;
}

int WSetMenuItem(int item, int state, int& status) {
  static constexpr IRoutine kR{"WSetMenuItem", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  PBackend& backend = PCurrentBackend();
  switch (state) {
    case kMenuItemEnable: backend.SetMenuItemEnabled(item, true); break;
    case kMenuItemGrey: backend.SetMenuItemEnabled(item, false); break;
    case kMenuItemCheck: backend.SetMenuItemChecked(item, true); break;
    case kMenuItemUncheck: backend.SetMenuItemChecked(item, false); break;
    default:
      IWarning("WSetMenuItem: Unknown flag value", status);
      return kFalse;
  }
  return kTrue;
}

int WSetMenuItemName(int item, const std::string& text, int& status) {
  static constexpr IRoutine kR{"WSetMenuItemName", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  PCurrentBackend().SetMenuItemText(item, text);
  return kTrue;
}

int WSetCursor(int busy, int& status) {
  static constexpr IRoutine kR{"WSetCursor", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  PCurrentBackend().SetBusyCursor(busy != 0);
  return kTrue;
}
