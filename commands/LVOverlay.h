// Drawing over the main window from inside a command (search annuli, found points, a fitted
// beam centre) and setting the beam centre a command has found. Overlays are a courtesy:
// without a window there is nothing to draw on, and they are left out.
#pragma once

#include "data/DataSet.h"

class PCanvas;

// The main window's canvas, or null when there is no window.
PCanvas* LVOverlayCanvas();
// Shows what was drawn on the canvas (nothing without a window).
void LVOverlayPresent();
// An inverted ellipse; centre and radii in metres from the image's corner, angle in radians.
void LVOverlayEllipse(const DataSet& dataSet, float centreX, float centreY, float radius1,
                      float radius2, float angle, int& status);
// A marker at each point (metres from the image's corner).
void LVOverlayMarkers(const DataSet& dataSet, int points, const float x[], const float y[],
                      int& status);

// Stores a beam centre (pixels) in the data set and the data-base and says so.
int LVSetBeamCentre(DataSet& dataSet, float x, float y, int& status);
