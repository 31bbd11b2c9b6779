// The spy-glass: a framed square over the main window that shows the image around the pixel
// under the mouse magnified nine times, with a cross-hair through the centre pixel. Dragging
// its inside moves it, dragging its 5-pixel border resizes it. Its state and rectangle persist
// in the data-base ("SpyGlass_On", "SpyGlass_StartX" ... "SpyGlass_EndY").
#pragma once

#include "data/DataSet.h"
#include "platform/PCanvas.h"
#include "platform/Platform.h"

// What a drag over the spy-glass changes.
enum GSpyGlassDragMode : int {
  kSpyGlassNone = 670,
  kSpyGlassTop = 671,
  kSpyGlassBottom = 672,
  kSpyGlassLeft = 673,
  kSpyGlassRight = 674,
  kSpyGlassMove = 675,
  kSpyGlassTopLeft = 676,
  kSpyGlassTopRight = 677,
  kSpyGlassBottomLeft = 678,
  kSpyGlassBottomRight = 679,
};

int GSpyGlassCreate(int left, int top, int width, int height, int& status);
int GSpyGlassStart(int& status);
int GSpyGlassStop(int& status);
int GSpyGlassDestroy(int& status);
int GSpyGlassShown();
void GSpyGlassNotDrawn();
int GSpyGlassCheckPosition(int& status);
int GSpyGlassGetPosition(int& left, int& top, int& width, int& height, int& status);
// The empty frame (each paint).
int GSpyGlassDraw(PCanvas* canvas, int& status);
// The magnified view around data pixel (column, row).
int GSpyGlassUpdate(int column, int row, const DataSet& dataSet, int& status);
// The centre of the last view, in client pixels.
void GSpyGlassCentre(int& x, int& y);
// Offered every mouse message of the main window first: true when the spy-glass takes it;
// redraw is set when the window must be redrawn.
int GSpyGlassMoveRegion(const PMouseEvent& event, int& redraw, int& status);
// A click inside the spy-glass as a data coordinate to a ninth of a pixel, the view centred on
// data pixel (column, row); false when the spy-glass is off or the click is outside it.
int GSpyGlassCoordinate(int column, int row, const DataSet& dataSet, int clickX, int clickY,
                        float& x, float& y, int& status);
// Menu item 250.
int LVToggleSpyGlass(int& status);
// Back to the state at program start (tests).
void GSpyGlassReset();
