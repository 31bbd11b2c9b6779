// The window program: start-up with the main window, the message loop, and shut-down.
#pragma once

#include <string>

// Runs the program with its main window; `file` (possibly quoted) opens at the first paint.
// Returns the exit code.
int LVRunWindow(int argc, char** argv, const std::string& file);

// The two halves of LVRunWindow around the message loop, for tests that drive the window:
// start-up to the shown main window (false when another start took over), and shut-down.
class PQtBackend;
bool LVStartWindow(const std::string& file, bool singleInstance);
PQtBackend* LVWindowBackend();
int LVStopWindow();

// The single-instance socket's name: one per user and display (X and Wayland), so a start on
// another display gets a window of its own instead of handing its file to one it cannot see.
std::string LVInstanceName();
// A file named on the command line (possibly quoted) as an absolute name; empty stays empty.
std::string LVAbsoluteFileArgument(const std::string& argument);

// Close the window after a time, grabbing a picture of it first (demonstrations).
struct LVWindowTestHooks {
  int exitAfterMs = 0;              // close the window this long after start (0: never)
  std::string screenshot;           // grab the window to this PNG before closing
  bool closeWithoutAsking = false;  // no exit confirmation (tests)
};
void LVSetWindowTestHooks(const LVWindowTestHooks& hooks);
