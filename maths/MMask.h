// The mask operations: circles, polygons, thresholds, significance against a moving window,
// 3 x 3 and 5 x 5 erosion and fill, growth, inversion and region clearing.
//
// A mask byte of 0 is a clear pixel; any other value is masked. Operations that mask write
// 255, inversion writes 1. Neighbourhoods are clipped to the defined image (numX x numY);
// the operations change only the region of interest, except the circle and the polygon,
// which work on the whole defined image. Circle, polygon, threshold and significance
// allocate the mask on first use; erosion, fill, growth and inversion need a defined mask
// and return false without a message when it is not.
#pragma once

#include "data/DataSet.h"

// Masks the pixels whose distance from (centreX, centreY) is at most diameter / 2 (integer
// division). A diameter of 0 or less sets status 21.
int MMaskCircle(int centreX, int centreY, int diameter, DataSet& dataSet, int& status);

// Writes `value` into every mask byte of the region of interest; nothing when no mask exists.
int MROISetMask(unsigned char value, DataSet& dataSet, int& status);

// Masks region pixels with (useLower and value <= lower) or (useUpper and value >= upper).
int MMaskThreshold(int useLower, float lower, int useUpper, float upper, DataSet& dataSet,
                   int& status);

// Moving-window mean and standard deviation of every region pixel. The window of a pixel
// (x, y) runs over columns x - w1 .. x + width / 2 and rows y - h1 .. y + height / 2, with
// w1 = trunc((width - 0.5) / 2), clipped to the region; masked pixels are left out while the
// mask is in use. Results go to means/sigmas at (x - startX) + (y - startY) * outWidth.
// Status: 21 width <= 0, 22 height <= 0, 1 outputs smaller than the region, 17 a region
// narrower than the window, 18 lower than it.
int MWindowMeansSigmas(int width, int height, int outWidth, int outHeight, float* means,
                       float* sigmas, const DataSet& dataSet, int& status);

// Masks, `cycles` times over, every region pixel whose value is at least `sigmas` standard
// deviations above its window mean. The statistics of each cycle leave out the pixels the
// earlier cycles masked, and those masked before while the mask is in use. Cycles must be 1
// to 100 (status 21).
int MMaskSignificant(int width, int height, float sigmas, int cycles, DataSet& dataSet,
                     int& status);

// Erosion and fill over a 3 x 3 (5 x 5) neighbourhood; see the rules in MMask.cpp. The erode
// threshold must be below the fill threshold and cycles positive (status 21).
int MMask3ErodeFill(int erodeThreshold, int fillThreshold, int cycles, DataSet& dataSet,
                    int& status);
int MMask5ErodeFill(int erodeThreshold, int fillThreshold, int cycles, DataSet& dataSet,
                    int& status);

// Each cycle a region pixel becomes 255 when it or one of its four edge neighbours is masked,
// else 0. Cycles of 0 or less set status 21.
int MMask3Grow(int cycles, DataSet& dataSet, int& status);

// Region bytes: 0 becomes 1, anything else 0.
int MMaskInvert(DataSet& dataSet, int& status);

// Sets (mask true) or clears the pixels whose centre lies inside or on the polygon, then
// closes single-pixel gaps over its bounding box with MMask3ErodeFill(1, 5, 3). A count of 0
// or above the capacity sets status 21, a coordinate that is not finite status 25; fewer
// than three vertices enclose nothing and change nothing.
int MMaskPolygon(int mask, int capacity, int count, const float* xs, const float* ys,
                 DataSet& dataSet, int& status);

// True when (testX, testY) lies inside the polygon or on its boundary. The reference point
// must lie outside the polygon; the answer is the parity of the edges crossed by the segment
// from it to the test point.
int MInPolygon(float referenceX, float referenceY, int count, const float* xs, const float* ys,
               float testX, float testY);

// Copies the region of interest of `source` (laid out like the mask, dimX per row) into the
// mask.
int MMaskCopy(const unsigned char* source, DataSet& dataSet, int& status);
