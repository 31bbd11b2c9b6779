// Printing the main store: an image fitted to the page, or a scan as a graph.
#pragma once

#include "data/DataSet.h"

int LVPrintData(DataSet& dataSet, int& status);
void LVRegisterPrintCommands();
