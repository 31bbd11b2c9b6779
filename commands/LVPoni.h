// "Load_PONI" and "Save_PONI": the main store's geometry from and to a PONI geometry file, so
// that a calibration made with another program is used here and back.
#pragma once

#include <string>

#include "data/DataSet.h"

// A file-name argument "?" asks with a file dialog; an empty one is an error. Both ask whether
// the geometry belongs to the image turned upside down (rows counted from the last, as some
// calibration programs show images) and mirror it across the rows of the image when it does.
int LVLoadPONI(const std::string& argument, DataSet& dataSet, int& status);
int LVSavePONI(const std::string& argument, DataSet& dataSet, int& status);

void LVRegisterPoniCommands();
