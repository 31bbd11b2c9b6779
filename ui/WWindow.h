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
