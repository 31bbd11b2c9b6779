// The Help menu: the quick start (one page on a first session, docs/quick-start.md built into
// the program) and the about box with the version.
#pragma once

#include <string>

// The quick start in Markdown, as docs/quick-start.md holds it.
std::string LVQuickStartText();
// The about box's lines: the program's name, what it is, its version.
std::string LVAboutText();

// Shows the quick start in a window beside the main window (raised if open already).
void LVShowQuickStart();
// The modal about box, "LV / Lumivane information".
void LVShowAbout();
