// The mouse over the main window: a left-button drag sets the region of interest with a
// rubber box (panning when the pointer reaches the window's edge), a move without a button
// shows the pixel under it on the live line of the information window, and a right click
// marks a pixel and reports its intensity and diffraction geometry. Graphs (one row) take a
// drag as a new X range.
#pragma once

#include "data/DataSet.h"

// Mouse event codes of the window procedure.
enum LVMouseCode : int {
  kMouseLeftDown = 933,
  kMouseLeftUp = 934,
  kMouseRightDown = 935,
  kMouseRightUp = 936,
  kMouseMove = 937,
  kMouseNonClientMove = 938,  // x carries the hit-test code of the edge
};

int LVMouseEvent(int code, int x, int y, DataSet& dataSet, int& status);
int LVMouseEvent2D(int code, int x, int y, DataSet& dataSet, int& status);
int LVMouseEvent1D(int code, int x, int y, DataSet& dataSet, int& status);
// The pixel under window position (x, y): its value, and its geometry when the data set's
// geometry allows; dynamic reports on the live line.
int LVPixelInfo(int dynamic, int x, int y, const DataSet& dataSet, int& status);
// The graph position under the pointer on the live line.
int LVXYPixelInfo(int x, int y, const DataSet& dataSet, int& status);

// Forgets a drag in progress (tests; a new data set).
void LVResetMouse();

// Declares the mouse commands and "Pixel_Info", and puts the spy-glass frame into every
// paint of an image.
void LVRegisterMouseCommands();
