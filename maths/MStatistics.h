// Extremes and statistics of the region of interest, and the intensity ranges the display
// derives from them.
#pragma once

#include "data/DataSet.h"

struct MStatistics {
  float minimum = 0.0f;
  float maximum = 0.0f;
  float mean = 0.0f;
  long long n = 0;
  double sum = 0.0;
  float sigma = 0.0f;
  float rms = 0.0f;
  float skewness = 0.0f;
};

// Smallest and largest region value, masked elements left out while the mask is in use;
// with no element 3.4028235e38 and -3.4028235e38.
int MROIMinMax(const DataSet& d, float& minimum, float& maximum, int& status);
// Over every second column of each region row; true when any element was used.
int MROIStatistics(const DataSet& d, MStatistics& statistics, int& status);
// Extremes of the means of the reduction x reduction blocks of the region (reduced display).
int MROIRebinMinMax(const DataSet& d, float& minimum, float& maximum, int& status);
// The automatic weak-peak range of the region.
int MROIWeakPeakScaling(DataSet& d, float& minimum, float& maximum, int& status);
// The `low` and `high` percentiles (0 to 100) of the finite values of the region, leaving out
// masked elements while the mask is in use. Regions above 4M elements are sampled on a fixed
// grid of about 4M of them. False (status good) when no value counts.
int MROIPercentiles(const DataSet& d, double low, double high, float& lower, float& upper,
                    int& status);
// Extremes of value -/+ sqrt(variance) (graphs with error bars).
int MROIErrorMinMax(const DataSet& d, float& minimum, float& maximum, int& status);
