// Results whose columns and rows are bins of axes of their own, made as the integration and
// the file series make them: a cake (2-theta bins across, azimuth bins up) and a stack of
// integrated scans (one row per file, counted from 1).
#pragma once

#include <string>

#include "data/DataSet.h"

struct AxisImageShape {
  const char* name;
  int numX, numY;
  float xStart, xStep;  // centre of bin 0 and the step, in the X label's unit
  const char* xLabel;
  float yStart, yStep;  // centre of row 0 and the step
  const char* yLabel;
};

// A cake of 725 2-theta bins of 0.05 degrees from 2.025 and 36 azimuths of 10 degrees.
inline AxisImageShape CakeShape() {
  return {"cake", 725, 36, 2.025f, 0.05f, "2-Theta (Degrees)", -175.0f, 10.0f,
          "Azimuth (Degrees)"};
}
// Nine integrated scans of 1000 bins of 0.03 degrees from 1.015, stacked one per file.
inline AxisImageShape StackShape() {
  return {"stack", 1000, 9, 1.015f, 0.03f, "2-Theta (Degrees)", 1.0f, 1.0f, "File Number"};
}

// Fills `d` with the shape's axes and value(x, y) in every bin; the geometry fields keep
// whatever a detector image had left there (they say nothing about these bins).
template <class Value>
void MakeAxisImage(DataSet& d, const AxisImageShape& s, Value value, int& status) {
  IInitialiseData(d, status);
  if (!IAllocateData(s.numX, s.numY, d, status)) return;
  for (int y = 0; y < s.numY; ++y)
    for (int x = 0; x < s.numX; ++x) d.data[IIndex(d, x, y)] = value(x, y);
  d.numX = s.numX;
  d.numY = s.numY;
  d.startX = d.startY = 0;
  d.endX = s.numX - 1;
  d.endY = s.numY - 1;
  d.dataDefined = kTrue;
  d.xAxisInPixels = kFalse;
  d.xAxisStart = s.xStart;
  d.pixelSizeX = s.xStep;
  d.yAxisStart = s.yStart;
  d.pixelSizeY = s.yStep;
  d.xLabel = s.xLabel;
  d.yLabel = s.yLabel;
  d.title = s.name;
  d.beamCentreX = 490.0f;
  d.beamCentreY = 520.0f;
}
