// Menu enabling by the kind of data in the main store: the 1-D, 2-D and mask command groups.
#pragma once

#include "data/DataSet.h"

int LVSetDataCommands(const DataSet& dataSet, int& status);
int LVSet1DDataCommands(bool enabled, int& status);
int LVSet2DDataCommands(bool enabled, int& status);
int LVSetMaskCommands(bool enabled, int& status);
