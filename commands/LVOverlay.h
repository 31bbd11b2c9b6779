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

// How far from the image's corner a beam centre may lie, in pixels. Farther is no detector
// that sees the beam's rings: a value typed or read that far is a mistake, and kept it makes
// an integration ask for gigabytes of bins.
inline constexpr double kBeamCentreLimit = 1.0e6;

// True for a finite beam centre within kBeamCentreLimit pixels; otherwise a warning
// "<routine>: The beam centre (X, Y) must be finite and within 10^6 pixels; nothing changed".
bool LVBeamCentreAcceptable(const char* routine, double x, double y, int& status);

// Stores a beam centre (pixels) in the data set and the data-base and says so; a centre
// LVBeamCentreAcceptable refuses changes nothing and gives false.
int LVSetBeamCentre(DataSet& dataSet, float x, float y, int& status);
