// The masking commands: each asks its values (defaults from the data-base, written back after
// success), runs the mask operation on the main data-set, sets the mask flags and reports.
//
// Circles and polygons take points clicked on the image: LVMaskCircles asks the diameter with
// LVMaskAskCircleDiameter, collects the clicks with the prompts below (any number, until
// FINISH INPUT), and hands the points to LVMaskCirclesAt or LVMaskPolygonPoints. A cancelled
// input changes nothing.
#pragma once

#include "data/DataSet.h"

inline constexpr const char* kMaskCirclesPrompt = "CLICK ON COORDINATES TO MASK WITH CIRCLES:";
inline constexpr const char* kMaskPolygonPrompt = "CLICK ON COORDINATES OF POLYGON TO MASK:";
inline constexpr int kMaskPolygonMaxVertices = 500;

int LVMaskClear(DataSet& dataSet, int& status);
int LVMaskClearROI(DataSet& dataSet, int& status);
int LVMaskErode(DataSet& dataSet, int& status);
// size 3 or 5 (status 21 otherwise).
int LVMaskErodeFill(int size, DataSet& dataSet, int& status);
int LVMaskGrow(DataSet& dataSet, int& status);
int LVMaskInvert(DataSet& dataSet, int& status);
int LVMaskLoad(DataSet& dataSet, int& status);
int LVMaskSave(DataSet& dataSet, int& status);
int LVMaskSignificant(DataSet& dataSet, int& status);
int LVMaskThreshold(DataSet& dataSet, int& status);

// "ENTER DIAMETER IN PIXELS OF MASKING CIRCLES" (1 to the defined width), default from
// "Mask_Circle_Diameter"; false when cancelled.
int LVMaskAskCircleDiameter(const DataSet& dataSet, int& diameter, int& status);
// Masks a circle at each clicked point (data coordinates, truncated to pixels) and reports
// it; sets the mask flags when any point was given; stores the diameter.
int LVMaskCirclesAt(int diameter, int count, const float* xs, const float* ys, DataSet& dataSet,
                    int& status);
// Masks (mask true) or clears the polygon of the clicked vertices. Fewer than three vertices
// change nothing and give false.
int LVMaskPolygonPoints(int mask, int count, const float* xs, const float* ys, DataSet& dataSet,
                        int& status);

int LVMaskCircles(DataSet& dataSet, int& status);
// Masks (mask true) or clears the polygon of clicked vertices.
int LVMaskPolygon(int mask, DataSet& dataSet, int& status);

// Whether an image opens with the mask its file gives (detector gaps and bad pixels marked -1
// and -2, an HDF5 pixel mask): "Mask_Detector_Marks" in the data-base, on unless turned off.
bool LVMaskDetectorMarks();

void LVRegisterMaskCommands();
