// The information window: a framed region of the main window's client area that shows the
// last 100 message lines of the run, newest at the bottom, wrapped to its width. The user
// moves and resizes it by dragging with either mouse button. One line, the dynamic line,
// is overwritten in place by live reports (the pixel under the moving mouse).
//
// It draws into the main window's back-buffer, remembered from the last repaint; before the
// first repaint lines are only kept.
#pragma once

#include <string>
#include <vector>

#include "platform/PCanvas.h"
#include "platform/Platform.h"

inline constexpr int kInfoRingSize = 100;

// Sets the rectangle (left, top, width, height in client pixels; values outside 0..10000 are
// replaced) and empties the ring. The title is kept for the record only.
int IInfoCreateWindow(const std::string& title, int left, int top, int width, int height,
                      int& status);
// A new line (at most 255 characters kept) at the bottom; the text is redrawn.
int IInfoAddLine(const std::string& text, int& status);
// A live report: the first after any other line starts a new line, the next ones overwrite
// it. With a canvas, only that line is redrawn on it.
int IInfoDynamic(PCanvas* canvas, const std::string& text, int& status);
// Frame and text; remembers the canvas for the lines that follow.
int IInfoDraw(PCanvas* canvas, int& status);
// The text area alone; false while no repaint has supplied a canvas.
int IInfoDrawText(int& status);
// Keeps the rectangle inside the client area.
int IInfoCheckPosition(int& status);
int IInfoGetPosition(int& left, int& top, int& width, int& height, int& status);
// Moves the rectangle (left, top, width, height in client pixels) and keeps it inside the
// client area; the lines stay. Sizes below 1 are refused.
int IInfoSetPosition(int left, int top, int width, int height, int& status);
// Offered every mouse message of the main window first: true when the information window
// takes it (grab, drag, release, or a move over it); redraw is set when the window must be
// redrawn.
int IInfoMoveRegion(const PMouseEvent& event, int& redraw, int& status);

// The lines held, oldest first.
std::vector<std::string> IInfoLines();
// Empties the ring and forgets the canvas (the rectangle stays).
void IInfoClear();
