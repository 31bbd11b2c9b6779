#include "graphics/GOverlay.h"

#include <algorithm>
#include <climits>

#include "core/status.h"
#include "graphics/GGraphics.h"
#include "maths/MGeometry.h"
#include "platform/PCanvas.h"
#include "platform/Platform.h"
#include "ui/WWindow.h"

int GDrawInvertedLine(PCanvas* canvas, const DataSet& d, float x1, float y1, float x2, float y2,
                      int& status) {
  static constexpr IRoutine kR{"GDrawInvertedLine", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  WDrawingAreaClip clip(canvas);
  return WDrawInvertedLine(canvas, GDataToWindowX(x1, d), GDataToWindowY(y1, d),
                           GDataToWindowX(x2, d), GDataToWindowY(y2, d), status);
}

int GInitRubberBox(RubberShape& shape, int& status) {
  static constexpr IRoutine kR{"GInitRubberBox", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  WInitRubberBox(shape);
  return kTrue;
}

int GDrawRubberBox(PCanvas* canvas, int startX, int startY, int endX, int endY,
                   const DataSet& d, RubberShape& shape, int& status) {
  static constexpr IRoutine kR{"GDrawRubberBox", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  const int lowX = std::min(startX, endX), highX = std::max(startX, endX);
  const int lowY = std::min(startY, endY), highY = std::max(startY, endY);
  // A pixel's mapping gives its left column and its bottom row; a magnified pixel covers more,
  // and the box takes in all of the last column and the top row. At magnification 1 this is
  // the pixel's own column and row.
  const int left = GPixelToWindowX(lowX, d);
  const int bottom = GPixelToWindowY(lowY, d);
  int right = GPixelToWindowX(highX, d);
  int top = GPixelToWindowY(highY, d);
  if (highX < INT_MAX) right = std::max(right, GPixelToWindowX(highX + 1, d) - 1);
  if (highY < INT_MAX) top = std::min(top, GPixelToWindowY(highY + 1, d) + 1);
  WDrawingAreaClip clip(canvas);
  return WDrawRubberBox(canvas, left, top, right, bottom, shape, status);
}

int LVDrawInvertedEllipse(PCanvas* canvas, const DataSet& d, const FittedEllipse& ellipse,
                          int& status) {
  static constexpr IRoutine kR{"LVDrawInvertedEllipse", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  float centreX = ellipse.centreX, centreY = ellipse.centreY;
  float radius1 = ellipse.radius1, radius2 = ellipse.radius2;
  float angle = ellipse.angle;
  MEllipse2IPC(d, centreX, centreY, radius1, radius2, angle);
  const int x = GDataToWindowX(centreX, d);
  const int y = GDataToWindowY(centreY, d);
  double scale = 1.0;
  if (d.magnification > 0) {
    scale = d.magnification;
  } else if (d.reduction > 0) {
    scale = 1.0 / d.reduction;
  }
  const int a = GTruncate(radius1 * scale + 0.4999999);
  const int b = GTruncate(radius2 * scale + 0.4999999);
  WDrawingAreaClip clip(canvas);
  // A ring larger than the image stays on the image, never on the background around it.
  if (canvas == PCurrentBackend().Canvas()) {
    int left = 0, top = 0, right = 0, bottom = 0;
    int imageLeft = std::min(GDataToWindowX(0.0f, d), GDataToWindowX(static_cast<float>(d.numX), d));
    int imageRight = std::max(GDataToWindowX(0.0f, d), GDataToWindowX(static_cast<float>(d.numX), d)) - 1;
    int imageTop = std::min(GDataToWindowY(0.0f, d), GDataToWindowY(static_cast<float>(d.numY), d));
    int imageBottom = std::max(GDataToWindowY(0.0f, d), GDataToWindowY(static_cast<float>(d.numY), d)) - 1;
    if (canvas->DrawingArea(left, top, right, bottom)) {
      imageLeft = std::max(imageLeft, left), imageTop = std::max(imageTop, top);
      imageRight = std::min(imageRight, right), imageBottom = std::min(imageBottom, bottom);
    }
    if (imageRight < imageLeft || imageBottom < imageTop) return kTrue;
    canvas->SetDrawingArea(imageLeft, imageTop, imageRight, imageBottom);
  }
  return WDrawInvertedEllipse(canvas, x, y, a, b, angle, status);
}
