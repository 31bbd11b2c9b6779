// Everyday operations on a data set: constant and element-wise arithmetic, cropping,
// rebinning, transposing, region statistics, added shapes, and the array helpers beneath
// them (rectangle moves between arrays, conversions, sorting).
//
// The arithmetic works in place over the data set's region of interest and leaves mask and
// variances alone. No routine lets infinities or NaNs arise from finite data: a result beyond
// the float range is held at +/-3.4028235e38 (kMHuge), the value a division by zero gives.
// Reshaping routines (crop, rebin, transpose) keep data, mask and variances aligned, build the
// new arrays before any old one is released, and leave the data set unchanged on failure.
#pragma once

#include <cstdint>

#include "data/DataSet.h"

inline constexpr float kMHuge = 3.4028235e38f;

// ---- Constants ------------------------------------------------------------------------------
int MConstantAdd(float value, DataSet& data, int& status);
int MConstantMultiply(float value, DataSet& data, int& status);
int MROISetValue(float value, DataSet& data, int& status);

// ---- Element-wise arithmetic with a second data set ----------------------------------------
// target(x, y) op= operand(x, y) over the target's region; the operand must hold every element
// of that region (status 9 or 10 otherwise).
int MDatasetsAdd(const DataSet& operand, DataSet& target, int& status);
int MDatasetsSubtract(const DataSet& operand, DataSet& target, int& status);
int MDatasetsMultiply(const DataSet& operand, DataSet& target, int& status);
// Where the operand is 0 a non-zero target element becomes +/-kMHuge by its sign and a zero
// one stays 0; while the target's mask is in use those elements are also masked.
// zeroDivisors counts them.
int MDatasetsDivide(const DataSet& operand, DataSet& target, std::int64_t& zeroDivisors,
                    int& status);
int MDatasetsDivide(const DataSet& operand, DataSet& target, int& status);

// ---- Reshaping ------------------------------------------------------------------------------
// The data becomes its region (mask and variances with it); the beam centre keeps its place
// on the detector.
int MROICropData(DataSet& data, int& status);
// Block averages of fX x fY (status 21 or 22 for a non-positive factor). New sizes are
// numX / fX and numY / fY, at least 1: trailing columns and rows that do not fill a block are
// dropped; a factor larger than the data averages all of it. With the mask in use each output
// is the mean of the unmasked inputs (0 when all are masked) and is masked when all are.
int MRebin(int factorX, int factorY, DataSet& data, int& status);
// MRebin for 2 x 2, except that a block whose four inputs are all masked gives their mean.
int MRebin2(DataSet& data, int& status);
// Averages fX x fY blocks of the data's region (mask ignored) into result's array from
// (outStartX, outStartY); an output that would not fit gives a warning and no output.
int MROIRebin(int factorX, int factorY, const DataSet& data, int outStartX, int outStartY,
              DataSet& result, int& status);
// target := the transpose of source, geometry and labels exchanged between X and Y.
int MDataTranspose(const DataSet& source, DataSet& target, int& status);

// ---- Statistics -----------------------------------------------------------------------------
// Mean and standard deviation of the region: over the unmasked elements while the mask is in
// use, else over every second element of each region row. False (status untouched) with fewer
// than two elements.
int MROIMeanSigma(const DataSet& data, float& mean, float& sigma, int& status);
// Smallest and largest of the first n values; n must be 1 to dimension (status 21).
int MVectorMinMax(int dimension, int n, const float* vector, float& minimum, float& maximum,
                  int& status);
// Ascending bottom-up merge sort of the first n values with a work array of the same length.
int MVectorSort(int dimension, int n, float* vector, float* work, int& status);

// ---- Added shapes ---------------------------------------------------------------------------
// Adds a radial 1-D profile (its X step is profile.pixelSizeX, in metres) around data's beam
// centre to every region pixel, interpolating linearly; beyond its end the last value.
int MCircularFunction(const DataSet& profile, DataSet& data, int& status);
// Adds a + b*x + c*y (element indices) to every region element.
int MROIAddPlane(float a, float b, float c, DataSet& data, int& status);
// Adds height * sqrt(1 - r^2) inside the ellipse; a non-zero angle is not supported (warning,
// false, status untouched).
int MROIAddEllipse(float centreX, float centreY, float height, float halfWidthX,
                   float halfWidthY, float angle, DataSet& data, int& status);

// ---- Array helpers --------------------------------------------------------------------------
// Copies the source rectangle (x0, y0) to (x1, y1) to (targetX, targetY) of the target.
// Status 1 / 2: a non-positive first / second dimension; 9 / 10: the rectangle outside the
// source or the target start outside the target in X / Y; 41 / 42: the rectangle does not fit
// the target in X / Y.
int MMatrixROIMove(int sourceDimX, int sourceDimY, const float* source, int x0, int y0, int x1,
                   int y1, int targetDimX, int targetDimY, int targetX, int targetY,
                   float* target, int& status);
// The same into 32-bit integers: value + 0.4999999 truncated toward zero, held to the int
// range; NaN gives 0.
int MMatrixR2IROIMove(int sourceDimX, int sourceDimY, const float* source, int x0, int y0,
                      int x1, int y1, int targetDimX, int targetDimY, int targetX, int targetY,
                      std::int32_t* target, int& status);
// One value converted as MMatrixR2IROIMove converts it.
std::int32_t MRealToInt(float value);
// n integers to reals; n <= 0 gives status 21.
int MVectorI2RCopy(int n, const std::int32_t* integers, float* reals, int& status);
