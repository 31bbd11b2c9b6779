// Window-side drawing helpers: client size, backgrounds, bitmaps and scroll bars.
#pragma once

#include "platform/PCanvas.h"

enum WBackground : int {
  kBackgroundHatchWhite = 444,
  kBackgroundBlack = 445,
  kBackgroundWhite = 446,
  kBackgroundHatchGrey = 447,
};

int WWindowSize(int& width, int& height, int& status);

// The information window is docked when it spans the bottom of the client area: it touches
// the bottom and both sides, and leaves at least this many rows above it for drawing.
inline constexpr int kSmallestDrawingHeight = 64;

// Whether the information window is docked now; DockInfoWindow docks it, keeping its height,
// across the width and on the bottom of the present client area (false when it would leave
// too few rows above it). The program keeps the docking across runs: a client area of
// another size (another screen, a run without a display) must not set it floating.
bool WInfoWindowDocked();
bool WDockInfoWindow(int& status);

// The part of the client area, from its top-left corner, that images and graphs are laid out
// in: the rows above a docked information window, otherwise the whole client area (an
// information window dragged elsewhere floats over the drawing).
int WDrawingAreaSize(int& width, int& height, int& status);

// Clips a canvas of the main window to the drawing area for the life of the object, then
// gives it back the drawing area it had. Images, graphs, markers and rubber boxes are drawn
// under one, so they stay off a docked information window. With toDrawingArea false it lifts
// the clip instead (the information window itself draws under such a one).
class WDrawingAreaClip {
 public:
  explicit WDrawingAreaClip(PCanvas* canvas, bool toDrawingArea = true);
  ~WDrawingAreaClip();
  WDrawingAreaClip(const WDrawingAreaClip&) = delete;
  WDrawingAreaClip& operator=(const WDrawingAreaClip&) = delete;

 private:
  PCanvas* canvas_;
  bool had_ = false;
  int left_ = 0, top_ = 0, right_ = -1, bottom_ = -1;
};
int WDrawBackground(PCanvas* canvas, int code, int& status);
// A 24-bit bitmap with its width rounded up to a multiple of 4 pixels (returned as stride).
int WCreateBitmap(PCanvas* canvas, int width, int height, int& stride, PBitmap& bitmap,
                  int& status);
int WBitmapToWindow(PCanvas* canvas, int x, int y, int width, int height, const PBitmap& bitmap,
                    int& status);
int WStretchBitmapToWindow(PCanvas* canvas, int sourceWidth, int sourceHeight,
                           const PBitmap& bitmap, int x, int y, int width, int height,
                           int& status);
int WSetScrollbar(bool horizontal, bool apply, int minimum, int maximum, int position, int page,
                  int& status);
int WGetScrollbar(bool horizontal, int& minimum, int& maximum, int& position, int& page,
                  int& status);

// Redraws the main window now: the paint routine runs before it returns. The program installs
// the paint routine at start-up (it lives above this layer).
using WPaintRoutine = int (*)(int& status);
void WSetPaintRoutine(WPaintRoutine routine);
int WDrawWindow(int& status);
