// The integration and projection commands: a scan type chosen from a pop-up, the over-sampling
// and scan range asked from the user, and the scan written into the output store.
#pragma once

#include "data/DataSet.h"
#include "maths/MIntegrate.h"

// The scan-type pop-up ("Distance", "2-Theta", "Q-Space", "D-Spacing"): true with the type
// (732 to 735); false, status good, when the user cancels.
int LVSelectScanType(int& scanType, int& status);

// The scan of a data-set's region for a scan type: bins = over-sampling x the farthest corner's
// distance in pixels, from 0 to the farthest corner (the maximum d-spacing for d-spacing
// scans), obliquity and polarisation corrections on, no variances.
int LVIntegrationParameters(int scanType, const DataSet& data, int oversampling, float maximumD,
                            IntegrationParameters& parameters, int& status);

// "Integrate_2Theta", "Integrate_QSpace", "Integrate_DSpacings" (scan types 733 to 735).
int LVIntegrate(int scanType, DataSet& data, DataSet& result, int& status);
// "Integrate_Distance".
int LVIntegrateRadially(DataSet& data, DataSet& result, int& status);

// The projection region (four corners, pixel coordinates) and the over-sampling factor.
int LVInpProjection(DataSet& data, int& oversampling, float x[4], float y[4], int& status);
// "Projection".
int LVProjection(DataSet& data, DataSet& result, int& status);

void LVRegisterIntegrationCommands();
