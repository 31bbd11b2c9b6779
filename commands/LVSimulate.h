// "Simulate_Powder": the main store filled with the powder rings of a calibrant at its own
// geometry, for trying the system out and as the known image that integration is checked on.
#pragma once

#include "data/DataSet.h"

// `calibrant` is a calibrant code (300 to 308); any other value asks for it with a pop-up.
int LVSimulatePowder(int calibrant, DataSet& dataSet, int& status);

void LVRegisterSimulationCommands();
