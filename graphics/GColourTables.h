// False-colour tables: eleven tables of 1024 colours built from a few control colours by
// linear interpolation, repeated black-to-colour ramps, or contour bands on a grey ramp.
#pragma once

#include <array>

#include "graphics/GDisplaySettings.h"

struct GControlColour {
  float red, green, blue;
};

int GCalColourTable(int points, const GControlColour* control, int entries, int levels,
                    GRGB* table, int& status);
int GCalRepeatingColourTable(int points, const GControlColour* control, int entries, int levels,
                             GRGB* table, int& status);
// Builds table `code` (701..711) into the display settings.
int GSetColourTable(int code, int levels, int& status);
int GRotateColourTable(int shift, int& status);

void LVRegisterColourCommands();
