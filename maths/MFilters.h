// Image filters over a data set's region of interest: median, top hat (box), Sobel edges,
// rolling-ball background subtraction and the maximum-balloon search, and the removal of
// peaks from scans.
//
// Each filter reads `data` and writes the region of `output`, which must be allocated at least
// as large as the data's defined area; elements of `output` outside the region are not
// touched. The command copies the region back into the main data.
//
// Moving windows: a window w wide centred on column x spans x - w1 to x + w / 2 with
// w1 = (w - 1) / 2 (an even width reaches one column further on the high side), rows alike,
// and is clipped to the region inclusively, so the region's last column and row take part
// like every other. A window of 0 or fewer pixels sets status 21 (width) or 22 (height); one
// larger than the region gives a warning and no output (false, status untouched).
#pragma once

#include <vector>

#include "data/DataSet.h"

// Median of each clipped window (mean of the two middle values of an even count). Masked
// pixels take part.
int MMedianFilter(const DataSet& data, int width, int height, DataSet& output, int& status);

// Sum of each clipped window, or with `average` the mean over the window's pixels inside the
// region. Running sums: the cost per pixel does not depend on the window size.
int MTopHatConvolution(const DataSet& data, int width, int height, int average,
                       DataSet& output, int& status);

// Gradient magnitude of the 3 x 3 Sobel operator; on the image's own border lines, where the
// operator would reach outside the image, the output is 0.
int MFilterSobel(const DataSet& data, DataSet& output, int& status);

// The ball profile: width x height weights, row-major; 0 where a cell does not take part.
std::vector<float> MBallProfile(float diameterX, float diameterY, int width, int height);

// data - C with C the smallest data / weight over the clipped window's cells that take part
// (masked pixels left out while the mask is in use); data itself where no cell counts.
// Diameters below 1 set status 21 (X) or 22 (Y).
int MFilterRollingBall(const DataSet& data, float diameterX, float diameterY, int width,
                       int height, DataSet& output, int& status);

// The region position with the largest C (as for the rolling ball) and that C, over the
// positions whose whole window lies inside the region; -3.4028235e38 and position (-1, -1)
// when there is none. Only angle 0 is supported.
int MMaximumBalloon(const DataSet& data, float diameterX, float diameterY, float angle,
                    int width, int height, int& column, int& row, float& maximum,
                    int& status);

// Replaces peaks of a scan's region by straight lines (see the command's description).
// Status 1018 for data with more than one row. `rms` receives the noise estimate.
int MRemovePeaks(float significance, DataSet& data, float& rms, int& status);
