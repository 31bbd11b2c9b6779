#pragma once

#include "data/DataSet.h"

// Fills the data set with the demonstration image.
int LVMakeDemoImage(DataSet& dataSet, int& status);
