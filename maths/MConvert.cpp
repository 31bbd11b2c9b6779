#include "maths/MConvert.h"

#include <cmath>
#include <limits>

#include "core/status.h"

namespace {

// The rounding of integer formats: 0.4999999 is added to the magnitude, which is then
// truncated, so 2.5 gives 2, 2.6 gives 3 and -1.2 gives -1. Negative values are rounded as
// their magnitudes are: adding 0.4999999 to the value itself would move every negative
// integer one step toward zero (the -1 and -2 that detectors write into their gaps and bad
// pixels would come back as 0 and -1). The sum is formed in double: in float 2.5 + 0.4999999
// would already round up to 3.
std::int32_t ToInteger(float value, std::int64_t& clamped) {
  if (std::isnan(value)) {
    ++clamped;
    return 0;
  }
  const double magnitude = std::trunc(std::fabs(static_cast<double>(value)) + 0.4999999);
  const double rounded = value < 0.0f ? -magnitude : magnitude;
  if (rounded > static_cast<double>(std::numeric_limits<std::int32_t>::max())) {
    ++clamped;
    return std::numeric_limits<std::int32_t>::max();
  }
  if (rounded < static_cast<double>(std::numeric_limits<std::int32_t>::min())) {
    ++clamped;
    return std::numeric_limits<std::int32_t>::min();
  }
  return static_cast<std::int32_t>(rounded);
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
