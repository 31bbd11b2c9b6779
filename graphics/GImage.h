// Image rendering with intensity scaling: the visible part of a data set drawn through the
// colour table, with the range found by one of five methods, linearly or logarithmically.
#pragma once

#include "data/DataSet.h"
#include "graphics/GDisplaySettings.h"
#include "platform/PCanvas.h"

int GSetIntensityScaling(int method, float minimum, float maximum, int& status);
int GGetIntensityScaling(int& method, float& minimum, float& maximum, int& status);
int GSetLinearityMethod(int method, int& status);
int GGetLinearityMethod(int& method, int& status);
void GSetMaskColour(GRGB colour);
int GGetMaskColour(GRGB& colour, int& status);

// Draws the visible part of the data set into the rectangle (x0, y0, width, height) of the
// canvas with the current method, and stores the range used.
int GDrawImage(PCanvas* canvas, int x0, int y0, int width, int height, DataSet& d, int& status);
// Renders the region of interest with the given range and copies it to (x0, y0).
// The region stretched over width x height at (x0, y0), each direction on its own scale (a
// result with axes of its own); the image mappings follow the stretch afterwards.
int GDrawFittedImage(PCanvas* canvas, int x0, int y0, int width, int height, float minimum,
                     float maximum, int linearity, const DataSet& d, int& status);
int GDrawScaledImage(PCanvas* canvas, int x0, int y0, int width, int height, float minimum,
                     float maximum, int linearity, const DataSet& d, int& status);
// The whole region fitted into width x height keeping its aspect (printing).
int GDrawFullImage(PCanvas* canvas, bool stretch, int x, int y, int width, int height,
                   DataSet& d, int& status);
int GDrawFullScaledImage(PCanvas* canvas, bool stretch, int x, int y, int width, int height,
                         float minimum, float maximum, int linearity, const DataSet& d,
                         int& status);

// Menu commands: intensity-range method (despite the name), linearity, log minimum.
int LVCommandSetLUT(int method, int& status);
int LVCommandLinearity(int method, int& status);
int LVSetLogMinimum(int& status);

void LVRegisterImageCommands();
