// Points given by clicking on the image: the analysis commands that need a beam-centre
// estimate, the corners of a polygon or points on a ring collect them here. A small modeless
// control dialog offers "FINISH INPUT", "CANCEL OPERATION" and "KEYBOARD ENTRY" while each
// click on the image adds the data point under it (the middle of the data under the
// screen pixel; a scripted click gives its point exactly), with markers, connecting lines and a
// rubber line or box that follows the mouse from the last point. In two-click mode
// ("Two_Click_Mode", kept between runs) the first click centres the spy-glass on a pixel and
// the second, inside the spy-glass, picks the point to a ninth of a pixel.
#pragma once

#include <string>

#include "data/DataSet.h"
#include "platform/PCanvas.h"

// Control dialog button ids.
enum GCoordinateButton : int {
  kCoordinateFinish = 5030,
  kCoordinateCancel = 5031,
  kCoordinateMode = 5032,
  kCoordinateKeyboard = 5033,
};

struct CoordinateRequest {
  const DataSet& dataSet;  // the data set shown (for the image mappings)
  std::string prompt;
  int drawMarkers;   // a marker at each point
  int drawLines;     // join consecutive points
  int rubberBox;     // with drawLines: a rubber box from the last point (else a rubber line)
  int closePolygon;  // at the end, join the last point to the first (more than 2 points)
  int maxCoordinates;  // capacity of x and y
  int& count;        // in: points wanted (below 1: any number until FINISH); out: points given
  float* x;
  float* y;
  int& status;
};

// True when the input ended normally (the wanted count, the capacity, or FINISH INPUT in
// any-number mode); false when cancelled (the points given stay, count tells how many) or on a
// bad status.
int GGetCoordinates(const CoordinateRequest& request);
// One point (flags: a marker at the click).
int GGetCoordinate(const DataSet& dataSet, const std::string& prompt, int drawMarker, float& x,
                   float& y, int& status);
// Stores (x, y) at index count, takes away the rubber shape and draws the connecting line from
// the previous point when drawLines; count grows by one.
int GAddCoordinate(PCanvas* canvas, const DataSet& dataSet, int drawLines, int rubberBox, float x,
                   float y, int& count, float* xs, float* ys, int& status);
// True except between the two clicks of a two-click point.
int GCoordinateAwaitingFirstClick();
// The control dialog's width in dialog units for a prompt of n characters.
int GCoordinatesDialogWidth(int promptLength);
