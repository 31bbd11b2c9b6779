// Conversions between the reals of a data set and the signed 32-bit integers of integer file
// formats (CBF).
#pragma once

#include <cstdint>

// Copies the rectangle (x0, y0)-(x1, y1), inclusive, of a sourceDimX x sourceDimY real array
// into a targetDimX x targetDimY integer array at (targetX, targetY), each value rounded by
// adding 0.4999999 to its magnitude and truncating (2.5 gives 2, -1.2 gives -1, integers stay
// as they are, negative ones included). Values beyond the signed 32-bit range are
// clamped to its ends and NaN becomes 0, never a wrapped or undefined integer; `clamped`
// counts them. Status 1 and 2 for non-positive dimensions, 9 and 10 for corners or a target
// position outside the arrays, 41 and 42 when the rectangle does not fit the target.
int MMatrixR2IROIMove(int sourceDimX, int sourceDimY, const float* source, int x0, int y0, int x1,
                      int y1, int targetDimX, int targetDimY, int targetX, int targetY,
                      std::int32_t* target, std::int64_t& clamped, int& status);

// The same without the count.
inline int MMatrixR2IROIMove(int sourceDimX, int sourceDimY, const float* source, int x0, int y0,
                             int x1, int y1, int targetDimX, int targetDimY, int targetX,
                             int targetY, std::int32_t* target, int& status) {
  std::int64_t clamped = 0;
  return MMatrixR2IROIMove(sourceDimX, sourceDimY, source, x0, y0, x1, y1, targetDimX, targetDimY,
                           targetX, targetY, target, clamped, status);
}

// Converts n signed 32-bit integers to reals; n <= 0 gives status 21.
int MVectorI2RCopy(std::int64_t n, const std::int32_t* integers, float* reals, int& status);
