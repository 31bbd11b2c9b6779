// The graphics layer: one process-wide state, three coordinate systems (world coordinates of
// graphs, data coordinates of images, device pixels), poly-lines, lines and text in a set of
// pre-built fonts, with colour, width, text height, angle, alignment and clipping.
#pragma once

#include <string>

#include "data/DataSet.h"
#include "platform/PCanvas.h"

enum GAlignment : int {
  kAlignLeft = 953,
  kAlignCentre = 954,
  kAlignRight = 955,
  kAlignTop = 956,
  kAlignCap = 957,
  kAlignHalf = 958,
  kAlignBase = 959,
  kAlignBottom = 960,
  kAlignNone = 969,
};

inline constexpr int kFontHeights[21] = {10, 12, 14, 16, 20, 24, 28, 32, 36, 40, 50,
                                          60, 70, 80, 90, 100, 120, 140, 160, 180, 200};

struct GraphicsState {
  PCanvas* canvas = nullptr;  // window and device context in one
  int width = 0, height = 0, heightMinusOne = 0;
  int imageLeft = 4, imageBelow = 4;
  float viewLeft = 0.10f, viewRight = 0.98f, viewBottom = 0.06f, viewTop = 0.95f;
  float worldMinX = 0.0f, worldMaxX = 1.0f, worldMinY = 0.0f, worldMaxY = 1.0f;
  float clipMinX = 0.0f, clipMaxX = 1.0f, clipMinY = 0.0f, clipMaxY = 1.0f;
  float scaleX = 0.0f, offsetX = 0.0f, scaleY = 0.0f, offsetY = 0.0f;
  int lineWidth = 1;
  int lineRed = 0, lineGreen = 0, lineBlue = 0;
  int lineStyle = 0;
  int textHeightClass = 12;
  int textAngleTenths = 0;
  bool fontChanged = true;
  int horizontalAlignment = kAlignLeft;
  int verticalAlignment = kAlignNone;
  bool fontsToCreate = true;
  int customFontTenths = 0;  // the angle of the custom font, when one is made
  bool customFont = false;
  int fontsCreated = 0;      // pre-built fonts made so far (0 or 42)
  int selectedFontHeight = 12;
  int selectedFontAngle = 0;
  int deviceCalls = 0;       // poly-line pieces sent to the device (a count for tests)
  // An image drawn to fill its area (a result with axes of its own): data pixels are fitX
  // device pixels wide and fitY high, from (fitStartX, fitStartY) at the area's bottom-left;
  // the image mappings use these instead of the data set's magnification.
  bool imageFitted = false;
  double fitX = 1.0, fitY = 1.0;
  int fitStartX = 0, fitStartY = 0;
};

GraphicsState& GState();
// Back to the state at program start (tests).
void GResetState();

int GSetWindow(PCanvas* canvas, int& status);
int GSetBP(int width, int height, int x0, int y0, int w, int h, int& status);
int GSetDDR(float minX, float minY, float maxX, float maxY, int& status);
int GGetDDR(float& minX, float& minY, float& maxX, float& maxY, int& status);
int GGetScaling(float& scaleX, float& scaleY, int& status);
int GSetClipRegion(float minX, float minY, float maxX, float maxY, int& status);
int GClipOn(int& status);
int GClipOff(int& status);
int GDefault(int& status);
int GClose(int& status);

int GPolyLine(int n, const float* x, const float* y, int& status);
int GLine(float x1, float y1, float x2, float y2, int& status);
int GSetLineWidth(int width, int& status);
int GSetLineColour(int red, int green, int blue, int& status);
int GSetTextHeight(float fraction, int& status);
int GSetTextAngle(float degrees, int& status);
int GSetTextAlignment(int horizontal, int vertical, int& status);
int GText(float x, float y, const std::string& text, int& status);
// The size in device pixels of a text drawn now (current height class, unrotated): for
// laying out numbers and labels so that they do not meet.
int GTextExtent(const std::string& text, int& width, int& height, int& status);

// The next image mappings follow an image stretched to fill its area (on), or the data set's
// magnification or reduction (off).
void GSetImageFit(bool on, double fitX, double fitY, int startX, int startY);

// World to device.
int GWorldToWindowX(float x);
int GWorldToWindowY(float y);

// Image mappings (no status).
int GPixelToWindowX(int i, const DataSet& d);
int GPixelToWindowY(int j, const DataSet& d);
int GWindowToPixelX(int px, const DataSet& d);
int GWindowToPixelY(int py, const DataSet& d);
int GDataToWindowX(float x, const DataSet& d);
int GDataToWindowY(float y, const DataSet& d);
float GWindowToDataX(int px, const DataSet& d);
float GWindowToDataY(int py, const DataSet& d);
// The data coordinate a click at window pixel px (py) stands for: the middle of the data area
// under that window pixel (a pixel's centre at magnification 1, the middle of the block of
// pixels when reduced, of the pixel's part when magnified), kept on the image.
float GWindowToPointX(int px, const DataSet& d);
float GWindowToPointY(int py, const DataSet& d);

// Graph mappings.
float GWindowToWorldX(int px);
float GWindowToWorldY(int py);
int GWindowToScanPixel(int px, const DataSet& d);

// The text-height class of a pixel height, and the pre-built font class that serves it.
int GTextHeightClass(int pixels);
int GFontClassFor(int height);

// A real to an int, truncating toward zero; NaN gives 0 and values beyond the int range
// the nearest end of it.
int GTruncate(double value);
