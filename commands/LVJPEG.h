// JPEG pictures of the display: "Save_JPEG" writes the region of interest of the main
// data-set as the display renders it (intensity range, linear or logarithmic mapping, colour
// table, mask colour), one image pixel per picture pixel whatever the magnification.
#pragma once

#include <string>

#include "data/DataSet.h"

// Writes the picture: RGB, quality 90, progressive, the top row of the region first. The file
// is replaced only after a complete write; a failed write leaves the old file.
int FOutputJPEG(const std::string& fileName, const DataSet& dataSet, int& status);

// "?" asks with the save dialog, proposing the data-set's file name with the extension "jpg".
int LVSaveJPEG(const std::string& argument, DataSet& dataSet, int& status);
