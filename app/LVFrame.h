// The program's frame: start-up and shut-down in their fixed order, and the one-time
// initialisation of menus and display from the data-base.
#pragma once

#include <string>

inline constexpr const char* kLogFileName = "lumivane.log";
inline constexpr const char* kDataBaseFileName = "Lumivane.idb";

// Start-up up to the window: status reset, log file, data-base, "#Starting_Directory".
int LVStartUp(int& status);
// Shut-down: rectangles to the data-base, back to the start directory, data-base saved,
// status report, "Exit", log closed.
int LVShutDown(int& status);

// Menu states and display settings from the data-base (run by the first command).
int LVInitialise(int& status);

// What the first command does before its own work: LVInitialise, the information window,
// the welcome lines, the stores emptied and their menus named, a first redraw (the
// interpreter runs it, see LVSetFirstCommandSteps).
int LVFirstCommandSteps(int& status);

// The information window's rectangle (drawn once the main window exists).
int LVCreateInfoWindow(int left, int top, int width, int height, int& status);
