// Display size: the magnification chosen automatically after a file is read.
#pragma once

#include "data/DataSet.h"

int LVAutosetMagnification(DataSet& dataSet, int& status);
