// The integration and projection commands: a scan type chosen from a pop-up, the over-sampling
// and scan range asked from the user, and the scan written into the output store.
#pragma once

#include "data/DataSet.h"

// The scan-type pop-up ("Distance", "2-Theta", "Q-Space", "D-Spacing"): true with the type
// (732 to 735); false, status good, when the user cancels.
int LVSelectScanType(int& scanType, int& status);

// "Integrate_2Theta", "Integrate_QSpace", "Integrate_DSpacings" (scan types 733 to 735).
int LVIntegrate(int scanType, DataSet& data, DataSet& result, int& status);
// "Integrate_Distance".
int LVIntegrateRadially(DataSet& data, DataSet& result, int& status);

// The projection region (four corners, pixel coordinates) and the over-sampling factor.
int LVInpProjection(DataSet& data, int& oversampling, float x[4], float y[4], int& status);
// "Projection".
int LVProjection(DataSet& data, DataSet& result, int& status);

void LVRegisterIntegrationCommands();
