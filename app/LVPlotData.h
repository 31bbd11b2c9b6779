// The paint routine of the main window, the "Plot_Data" command: the main store drawn as a
// graph (one row) or as an image with its overlays, then the information window, the
// spy-glass and the window title.
#pragma once

#include "data/DataSet.h"
#include "ui/WDraw.h"

inline constexpr const char* kProductTitle = "Lumivane V1.17.00";

int LVPlotData(DataSet& d, int& status);

// The rubber box that shows the region of interest over the image; the paint routine draws it
// afresh and the mouse commands drag it.
RubberShape& LVRegionRubberBox();

// The spy-glass step of every paint: draw is true for an image of two or more rows (the
// spy-glass draws itself when it is on), false to mark it as not drawn. None installed: the
// step does nothing.
using LVSpyGlassStep = int (*)(bool draw, int& status);
void LVSetSpyGlassStep(LVSpyGlassStep step);

// Declares "Plot_Data" and makes it the routine every redraw of the window runs.
void LVRegisterPlotCommands();
