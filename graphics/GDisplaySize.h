// Display size and panning: each store's magnification or reduction and display start, the
// scroll bars, and the automatic choice of size after a file is read or to fit the region.
#pragma once

#include "data/DataSet.h"

enum GMoveAction : int {
  kMoveValidate = 875,
  kMovePageLeft = 876,
  kMovePageRight = 877,
  kMovePageUp = 878,
  kMovePageDown = 879,
  kMoveLineLeft = 880,
  kMoveLineRight = 881,
  kMoveLineUp = 882,
  kMoveLineDown = 883,
};

// The quantities of the display for a client area of width x height.
struct GDisplayGeometry {
  int visibleColumns = 0, visibleRows = 0;
  int maxStartX = 0, maxStartY = 0;
  int pageX = 0, pageY = 0, lineX = 1, lineY = 1;
};
GDisplayGeometry GDisplayGeometryFor(const DataSet& d, int width, int height);

// A result with axes of its own (a cake, a stack of scans) fills the image area, stretched in
// each direction as its shape needs: nine rows of a thousand bins are no strip nine pixels
// high. It is shown whole; there is nothing to pan.
bool GImageFillsArea(const DataSet& d);

int GMoveDisplay(int action, DataSet& d, int& status);
int GMoveDisplayX(int position, DataSet& d, int& status);
int GMoveDisplayY(int position, DataSet& d, int& status);
int GSetDisplayScrollbars(const DataSet& d, int& status);
int LVAutosetMagnification(DataSet& d, int& status);
int LVZoomROI(DataSet& d, int& status);
int LVUnZoom(DataSet& d, int& status);

// The display-size menu item of a store's state (130..144).
int GDisplaySizeMenuItem(const DataSet& d);

void LVRegisterDisplaySizeCommands();
