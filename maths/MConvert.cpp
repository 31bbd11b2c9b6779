#include "maths/MConvert.h"

#include <cmath>
#include <limits>

#include "core/status.h"

namespace {

// The rounding of integer formats: add 0.4999999 and truncate toward zero, so 2.5 gives 2,
// 2.6 gives 3 and -1.2 gives 0. The sum is formed in double: in float 2.5 + 0.4999999 would
// already round up to 3.
std::int32_t ToInteger(float value, std::int64_t& clamped) {
  if (std::isnan(value)) {
    ++clamped;
    return 0;
  }
  const double shifted = static_cast<double>(value) + 0.4999999;
  constexpr double kLow = std::numeric_limits<std::int32_t>::min();
  constexpr double kHigh = std::numeric_limits<std::int32_t>::max();
  if (shifted >= kHigh + 1.0) {
    ++clamped;
    return std::numeric_limits<std::int32_t>::max();
  }
  if (shifted <= kLow - 1.0) {
    ++clamped;
    return std::numeric_limits<std::int32_t>::min();
  }
  return static_cast<std::int32_t>(shifted);  // truncates toward zero
}

}  // namespace

int MMatrixR2IROIMove(int sourceDimX, int sourceDimY, const float* source, int x0, int y0, int x1,
                      int y1, int targetDimX, int targetDimY, int targetX, int targetY,
                      std::int32_t* target, std::int64_t& clamped, int& status) {
  static constexpr IRoutine kR{"MMatrixR2IROIMove", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  if (sourceDimX <= 0 || targetDimX <= 0) return IFail(kR, kStatusDim1Illegal, status);
  if (sourceDimY <= 0 || targetDimY <= 0) return IFail(kR, kStatusDim2Illegal, status);
  if (x0 < 0 || x1 < x0 || x1 >= sourceDimX || targetX < 0 || targetX >= targetDimX) {
    return IFail(kR, kStatusROI1, status);
  }
  if (y0 < 0 || y1 < y0 || y1 >= sourceDimY || targetY < 0 || targetY >= targetDimY) {
    return IFail(kR, kStatusROI2, status);
  }
  if (targetX + (x1 - x0) >= targetDimX) return IFail(kR, 41, status);
  if (targetY + (y1 - y0) >= targetDimY) return IFail(kR, 42, status);
  if (!source || !target) return IFail(kR, kStatusNotAllocated, status);
  clamped = 0;
  for (int y = y0; y <= y1; ++y) {
    const float* in = source + static_cast<std::size_t>(y) * static_cast<std::size_t>(sourceDimX);
    std::int32_t* out = target +
                        static_cast<std::size_t>(targetY + (y - y0)) *
                            static_cast<std::size_t>(targetDimX) +
                        static_cast<std::size_t>(targetX);
    for (int x = x0; x <= x1; ++x) out[x - x0] = ToInteger(in[x], clamped);
  }
  return kTrue;
}

int MVectorI2RCopy(std::int64_t n, const std::int32_t* integers, float* reals, int& status) {
  static constexpr IRoutine kR{"MVectorI2RCopy", "V0.1"};
  if (IBad(kR, status)) return kFalse;
  if (n <= 0) return IFail(kR, kStatusIntRange1, status);
  if (!integers || !reals) return IFail(kR, kStatusNotAllocated, status);
  for (std::int64_t i = 0; i < n; ++i) reals[i] = static_cast<float>(integers[i]);
  return kTrue;
}
