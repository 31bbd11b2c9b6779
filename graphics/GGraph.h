// X-Y graphs of one-row data sets (scans): a framed pair of ticked and numbered axes, the
// data line with optional error bars, the title and the axis labels.
//
// Tick positions fall on 1, 2 or 5 times a power of ten, chosen so that about ten major ticks
// span the axis; nine minor ticks divide each interval.
#pragma once

#include "data/DataSet.h"
#include "platform/PCanvas.h"

// One axis as GDrawAxis draws it. World coordinates throughout; "minus side" is below an X
// axis or left of a Y axis.
struct GAxis {
  int horizontal = -1;     // truth value: an X axis, drawn horizontally
  float position = 0.0f;   // world coordinate of the axis line on the other axis
  float start = 0.0f, end = 1.0f;
  int linear = -1;         // false: logarithmic, the axis values are decades (log10)
  int automaticTicks = -1; // false: the three fields below place the major ticks
  float firstTick = 0.0f, tickSpacing = 1.0f;
  int tickCount = 0;
  int ticksMinusSide = 0;
  int ticksPlusSide = -1;
  int minorTicks = 9;      // between two major ticks
  int numbers = -1;
  int numbersMinusSide = -1;
};

// The whole graph of the data set's region in the width x height area at (x0, y0): white
// background, frame with axes, the data clipped to its range, title, X label and (upright)
// the intensity label.
int GDrawXYGraph(PCanvas* canvas, int x0, int y0, int width, int height, const DataSet& d,
                 int& status);
// Images whose columns and rows stand for physical values: an X axis (xAxisStart, pixelSizeX
// at bin centres) and a Y axis (yAxisStart, pixelSizeY) of azimuths ("Azimuth (Degrees)", the
// cake) or files ("File Number", the scans of a file series).
bool GHasAxisImage(const DataSet& d);
// Around the part of such an image in view (drawn by GDrawImage just before): a frame with
// numbered axes and the two labels. The image's mapping for the mouse is left as it was.
int GDrawImageAxes(int width, int height, const DataSet& d, int& status);
// The room such an image needs around it on a width x height canvas for its numbers and
// labels at the current text size, in device pixels.
int GImageAxesMargins(PCanvas* canvas, int width, int height, const DataSet& d, int& left,
                      int& right, int& top, int& below, int& status);
// The data line of the region's single row, with error bars when variances are defined.
int GDrawDataXY(const DataSet& d, int& status);
// The frame of the world window with a numbered X axis along its bottom and Y axis along its
// left side, ticks pointing in.
int GDrawAxisFrame(int& status);
int GDrawAxis(const GAxis& axis, int& status);

// Major tick positions of a linear axis over start..end: the first tick, the spacing and the
// number of ticks.
int GCalTickPositions(double start, double end, double& first, double& spacing, int& count,
                      int& status);
int GDrawLinearNumbers(const GAxis& axis, double first, double spacing, int count,
                       float numberPosition, int& status);
int GDrawLinearTicks(const GAxis& axis, double first, double spacing, int count,
                     float tickLength, int& status);
// Logarithmic axes: the exponent at every whole decade; on an axis of at most two decades
// also the mantissas 2 and 5 between them.
int GDrawLogNumbers(const GAxis& axis, float numberPosition, int& status);
int GDrawLogTicks(const GAxis& axis, float tickLength, int& status);
