// "Simulate_Powder": the main store filled with the powder rings of a calibrant at its own
// geometry, for trying the system out and as the known image that integration is checked on.
#pragma once

#include "data/DataSet.h"

// `calibrant` is a calibrant code (300 to 308); any other value asks for it with a pop-up.
int LVSimulatePowder(int calibrant, DataSet& dataSet, int& status);

// The ramp image: every element of column x holds x; the region is the whole array, the mask
// is released.
int LVSimulate(DataSet& dataSet, int& status);
// "Simulate_Data": a 1100 x 900 ramp named "simulated.dat".
int LVSimulateData(DataSet& dataSet, int& status);
// The timing test: the array cleared, the region set inside a tenth of each edge, and the
// region filled twice (7.5 by index arithmetic, 3.5 by a running pointer), each pass timed.
int LVTest(DataSet& dataSet, int& status);
// "Test_Timing": LVTest on a 4500 x 3900 array named "timing_test_data.dat".
int LVTestTiming(DataSet& dataSet, int& status);

void LVRegisterSimulationCommands();
