// Drawing on the main window in device pixels: lines, filled rectangles, the beam-centre
// marker, shapes drawn by inverting pixels, and the rubber boxes and bands that follow the
// mouse; menu item states and the cursor.
//
// Inverted shapes are the overlays of the image display: inverting a pixel twice gives it
// back, so drawing the same shape again removes it without a redraw of the image.
#pragma once

#include <string>

#include "platform/PCanvas.h"

enum WMenuItemState : int {
  kMenuItemEnable = 11,
  kMenuItemGrey = 12,
  kMenuItemCheck = 13,
  kMenuItemUncheck = 14,
};

// A rubber box or rubber band as it is shown on the window (window pixels).
struct RubberShape {
  int shown = 0;  // truth value: the shape is on the window now
  int x1 = 0, y1 = 0, x2 = 0, y2 = 0;
};

// A real to an int, truncating toward zero; NaN gives 0 and values beyond the int range the
// nearest end of it.
int WTruncate(double value);

// A two-point line with the current pen (the end point itself is left out, as for every
// device line).
int WDrawLine(PCanvas* canvas, int x1, int y1, int x2, int y2, int& status);
// Fills the rectangle between two corners given in any order, both corners included.
int WDrawFilledRectangle(PCanvas* canvas, PColour brush, int x1, int y1, int x2, int y2,
                         int& status);
// A white diagonal cross under a black upright cross, centred on (x, y); the black pen stays
// selected.
int WDrawMarker(PCanvas* canvas, int x, int y, int& status);

// Inverts a one-pixel band from (x1, y1) towards (x2, y2), the end point left out.
int WDrawInvertedLine(PCanvas* canvas, int x1, int y1, int x2, int y2, int& status);
// The outline of the rectangle between two corners (both included), each side only where it
// lies inside the canvas' clip box; a box without width or height is one line.
int WDrawInvertedBox(PCanvas* canvas, int x1, int y1, int x2, int y2, int& status);
// Sides of the polygon that stands for a circle or ellipse of this radius (largest semi-axis).
int WPolygonSides(int radius);
int WDrawInvertedCircle(PCanvas* canvas, int cx, int cy, int r, int& status);
// Semi-axes a (first axis) and b; angle in radians, positive turning the first axis
// counter-clockwise on the screen.
int WDrawInvertedEllipse(PCanvas* canvas, int cx, int cy, int a, int b, float angle,
                         int& status);

// Rubber shapes: a new shape first removes the one shown.
void WInitRubberBox(RubberShape& shape);
int WDrawRubberBox(PCanvas* canvas, int x1, int y1, int x2, int y2, RubberShape& shape,
                   int& status);
int WClearRubberBox(PCanvas* canvas, RubberShape& shape, int& status);
void WInitRubberBand(RubberShape& shape);
int WDrawRubberBand(PCanvas* canvas, int x1, int y1, int x2, int y2, RubberShape& shape,
                    int& status);
int WClearRubberBand(PCanvas* canvas, RubberShape& shape, int& status);

// Menu-bar items by id: states 11 enable, 12 grey, 13 check, 14 uncheck.
int WSetMenuItem(int item, int state, int& status);
int WSetMenuItemName(int item, const std::string& text, int& status);
// The busy (hour-glass) cursor, or the arrow.
int WSetCursor(int busy, int& status);
