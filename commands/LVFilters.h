// The filter and background commands on the main data-set: median, top hat, Sobel, rolling
// ball, balloon subtraction, polynomial and elliptical background fits and the removal of
// peaks from scans.
//
// Each filter works on the region of interest: it writes into a scratch data-set of the main
// data's allocated size, and the region is then copied back; pixels outside the region are
// unchanged. Settings are asked with their data-base defaults and written back after use; a
// cancelled question changes nothing.
#pragma once

#include "data/DataSet.h"

int LVFilterMedian(DataSet& data, int& status);
int LVFilterTopHat(DataSet& data, int& status);
int LVFilterSobel(DataSet& data, int& status);
int LVFilterRollingBall(DataSet& data, int& status);
int LVFilterBalloon(DataSet& data, int& status);
// One balloon cycle: the largest-volume ellipsoidal balloon under the region, from coarse to
// fine rebinned copies, subtracted from the region.
int LVSubtractBalloon(DataSet& data, int& status);
int LVDataRemovePeaks(DataSet& data, int& status);
// The fitted background goes to `model` (the chosen store).
int LVFitPolynomial(const DataSet& data, DataSet& model, int& status);
int LVFitElliptical(const DataSet& data, DataSet& model, int& status);
// order > 0; twin: add the twin polar Gaussian to the model.
int LVFitEllipse(const DataSet& data, int order, int twin, DataSet& model, int& status);

void LVRegisterFilterCommands();
