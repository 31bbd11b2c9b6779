// Overlays on the image given in data coordinates: inverted lines, the rubber box of the
// region of interest, and fitted ellipses. They map through the image mappings of the last
// image drawn and are drawn by inverting pixels, so drawing one again removes it.
#pragma once

#include "data/DataSet.h"
#include "platform/PCanvas.h"
#include "ui/WDraw.h"

// An ellipse as the fits give it: centre and semi-axes in metres on the detector, angle of
// the first axis in radians (anticlockwise from the X axis).
struct FittedEllipse {
  float centreX = 0.0f, centreY = 0.0f;
  float radius1 = 0.0f, radius2 = 0.0f;
  float angle = 0.0f;
};

// An inverted line between two points in data coordinates.
int GDrawInvertedLine(PCanvas* canvas, const DataSet& d, float x1, float y1, float x2, float y2,
                      int& status);
int GInitRubberBox(RubberShape& shape, int& status);
// The rubber box around the data pixels startX..endX by startY..endY (corners in any order):
// it encloses the whole of the corner pixels at every magnification.
int GDrawRubberBox(PCanvas* canvas, int startX, int startY, int endX, int endY,
                   const DataSet& d, RubberShape& shape, int& status);
int LVDrawInvertedEllipse(PCanvas* canvas, const DataSet& d, const FittedEllipse& ellipse,
                          int& status);
