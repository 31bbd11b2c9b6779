#include "maths/MStatistics.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "core/status.h"

namespace {

constexpr float kHuge = 3.4028235e38f;

bool Masked(const DataSet& d, std::size_t index) {
  return d.maskInUse && d.mask && d.mask[index] != 0;
}

// A temporary region for one box, restored on every path.
struct RegionScope {
  DataSet& d;
  int startX, startY, endX, endY;
  explicit RegionScope(DataSet& data)
      : d(data), startX(data.startX), startY(data.startY), endX(data.endX), endY(data.endY) {}
  ~RegionScope() {
    d.startX = startX;
    d.startY = startY;
    d.endX = endX;
    d.endY = endY;
  }
};

// The range of one box from the statistics of its unmasked pixels; false when the box has
// too few pixels to say anything.
bool BoxRange(DataSet& d, int x1, int x2, int y1, int y2, float& low, float& high,
              int& status) {
  if (x2 < x1 || y2 < y1) return false;
  RegionScope scope(d);
  d.startX = x1;
  d.endX = x2;
  d.startY = y1;
  d.endY = y2;
  MStatistics s;
  if (!MROIStatistics(d, s, status) || s.n < 2) return false;
  const float g = std::fabs(s.skewness);
  const float factor = g >= 1.0f ? g : 1.0f;
  low = std::max(s.mean - 3.0f * s.sigma / factor, s.minimum);
  high = std::min(s.mean + 5.0f * s.sigma / factor, s.maximum);
  return true;
}

}  // namespace

int MROIMinMax(const DataSet& d, float& minimum, float& maximum, int& status) {
  static constexpr IRoutine kR{"MROIMinMax", "V0.4"};
  if (IBad(kR, status)) return kFalse;
  float lo = kHuge;
  float hi = -kHuge;
  if (d.data) {
    for (int y = d.startY; y <= d.endY; ++y) {
      const float* row = d.data.get() + IIndex(d, 0, y);
      if (d.maskInUse && d.mask) {
        const unsigned char* mask = d.mask.get() + IIndex(d, 0, y);
        for (int x = d.startX; x <= d.endX; ++x) {
          if (mask[x]) continue;
          lo = std::min(lo, row[x]);
          hi = std::max(hi, row[x]);
        }
      } else {
        for (int x = d.startX; x <= d.endX; ++x) {
          lo = std::min(lo, row[x]);
          hi = std::max(hi, row[x]);
        }
      }
    }
  }
  minimum = lo;
  maximum = hi;
  return kTrue;
}

int MROIStatistics(const DataSet& d, MStatistics& out, int& status) {
  static constexpr IRoutine kR{"MROIStatistics", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  double sum = 0.0, sum2 = 0.0, sum3 = 0.0;
  long long n = 0;
  float lo = kHuge, hi = -kHuge;
  if (d.data) {
    for (int y = d.startY; y <= d.endY; ++y) {
      for (int x = d.startX; x <= d.endX; x += 2) {
        const std::size_t index = IIndex(d, x, y);
        if (Masked(d, index)) continue;
        const double v = d.data[index];
        if (!std::isfinite(v)) continue;
        sum += v;
        sum2 += v * v;
        sum3 += v * v * v;
        lo = std::min(lo, static_cast<float>(v));
        hi = std::max(hi, static_cast<float>(v));
        ++n;
      }
    }
  }
  out = MStatistics{};
  out.n = n;
  if (n == 0) return kFalse;
  const double mean = sum / static_cast<double>(n);
  out.minimum = lo;
  out.maximum = hi;
  out.mean = static_cast<float>(mean);
  out.sum = sum;
  out.rms = static_cast<float>(std::sqrt(sum2 / static_cast<double>(n)));
  if (n > 1) {
    const double variance = std::max(0.0, (sum2 - static_cast<double>(n) * mean * mean) /
                                              static_cast<double>(n - 1));
    const double sigma = std::sqrt(variance);
    out.sigma = static_cast<float>(sigma);
    if (sigma >= 1e-30) {
      const double third = (sum3 - 3.0 * mean * sum2 + 3.0 * mean * mean * sum -
                            static_cast<double>(n) * mean * mean * mean) /
                           static_cast<double>(n);
      out.skewness = static_cast<float>(third / (sigma * sigma * sigma));
    }
  }
  return kTrue;
}

int MROIRebinMinMax(const DataSet& d, float& minimum, float& maximum, int& status) {
  static constexpr IRoutine kR{"MROIRebinMinMax", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  const int r = std::max(1, d.reduction);
  const int columns = d.endX - d.startX + 1;
  const int rows = d.endY - d.startY + 1;
  const int blocksX = std::max(1, columns / r);
  const int blocksY = std::max(1, rows / r);
  float lo = kHuge, hi = -kHuge;
  for (int by = 0; by < blocksY; ++by) {
    for (int bx = 0; bx < blocksX; ++bx) {
      double sum = 0.0;
      int count = 0;
      for (int y = d.startY + by * r; y < d.startY + (by + 1) * r && y < d.numY; ++y) {
        for (int x = d.startX + bx * r; x < d.startX + (bx + 1) * r && x < d.numX; ++x) {
          const std::size_t index = IIndex(d, x, y);
          if (Masked(d, index)) continue;
          sum += d.data[index];
          ++count;
        }
      }
      const float mean = count > 0 ? static_cast<float>(sum / count) : 0.0f;
      lo = std::min(lo, mean);
      hi = std::max(hi, mean);
    }
  }
  minimum = lo;
  maximum = hi;
  return kTrue;
}

int MROIWeakPeakScaling(DataSet& d, float& minimum, float& maximum, int& status) {
  static constexpr IRoutine kR{"MROIWeakPeakScaling", "V0.4"};
  if (IBad(kR, status)) return kFalse;
  // The boxes are taken as temporary regions of the data set; it is restored before return.
  const int a = d.startX, c = d.endX, b = d.startY, e = d.endY;
  const int width = c - a + 1;
  const int height = e - b + 1;
  const int centreX = (a + c) / 2;
  const int centreY = (b + e) / 2;

  bool any = false;
  float lo = kHuge, hi = -kHuge;
  auto merge = [&](int x1, int x2, int y1, int y2) {
    float boxLow = 0.0f, boxHigh = 0.0f;
    // A box with fewer than two usable pixels has no spread: it contributes nothing.
    if (!BoxRange(d, x1, x2, y1, y2, boxLow, boxHigh, status)) return;
    lo = std::min(lo, boxLow);
    hi = std::max(hi, boxHigh);
    any = true;
  };

  const int dx = std::max(80, width / 5);
  const int dy = std::max(80, height / 5);
  merge(std::max(a, centreX - dx), std::min(c, centreX + dx), std::max(b, centreY - dy),
        std::min(e, centreY + dy));
  if (width > 240 && height > 240) {
    merge(a, a + 80, b, b + 80);
    merge(c - 80, c, e - 80, e);
    merge(std::max(a, centreX - 120), std::min(c, centreX - 60), std::max(b, centreY - 120),
          std::min(e, centreY - 60));
    merge(std::max(a, centreX + 60), std::min(c, centreX + 120), std::max(b, centreY + 60),
          std::min(e, centreY + 120));
  }
  if (width >= 1000 && height >= 1000) {
    merge(std::max(a, centreX - 260), std::min(c, centreX - 200), std::max(b, centreY + 200),
          std::min(e, centreY + 260));
    merge(std::max(a, centreX + 200), std::min(c, centreX + 260), std::max(b, centreY - 260),
          std::min(e, centreY - 200));
  }
  if (!any) return MROIMinMax(d, minimum, maximum, status);  // no usable box: the full range
  minimum = lo;
  maximum = hi;
  return kTrue;
}

int MROIErrorMinMax(const DataSet& d, float& minimum, float& maximum, int& status) {
  static constexpr IRoutine kR{"MROIErrorMinMax", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  if (!d.variancesDefined || !d.variances) return IFail(kR, 1022, status);
  float lo = kHuge, hi = -kHuge;
  for (int y = d.startY; y <= d.endY; ++y) {
    for (int x = d.startX; x <= d.endX; ++x) {
      const std::size_t index = IIndex(d, x, y);
      if (Masked(d, index)) continue;
      const float error = std::sqrt(std::max(0.0f, d.variances[index]));
      lo = std::min(lo, d.data[index] - error);
      hi = std::max(hi, d.data[index] + error);
    }
  }
  minimum = lo;
  maximum = hi;
  return kTrue;
}

int MROIPercentiles(const DataSet& d, double low, double high, float& lower, float& upper,
                    int& status) {
  static constexpr IRoutine kR{"MROIPercentiles", "V0.1"};
  if (IBad(kR, status)) return kFalse;
  if (!d.data || d.endX < d.startX || d.endY < d.startY) return kFalse;
  if (!(low >= 0.0 && low <= high && high <= 100.0)) return IFail(kR, kStatusIntRange1, status);
  const std::int64_t columns = d.endX - d.startX + 1;
  const std::int64_t rows = d.endY - d.startY + 1;
  // A fixed sampling step keeps the work bounded on large images and the answer repeatable.
  constexpr std::int64_t kSamples = std::int64_t{1} << 22;
  std::int64_t step = 1;
  while ((columns / step) * (rows / step) > kSamples) ++step;
  const bool masked = d.maskInUse && d.mask;
  std::vector<float> values;
  values.reserve(static_cast<std::size_t>(((columns + step - 1) / step) * ((rows + step - 1) / step)));
  for (std::int64_t y = d.startY; y <= d.endY; y += step) {
    for (std::int64_t x = d.startX; x <= d.endX; x += step) {
      const std::size_t i = IIndex(d, static_cast<int>(x), static_cast<int>(y));
      if (masked && d.mask[i]) continue;
      const float v = d.data[i];
      if (std::isfinite(v)) values.push_back(v);
    }
  }
  if (values.empty()) return kFalse;
  auto at = [&](double percent) {
    const auto k = static_cast<std::size_t>(
        std::llround(percent / 100.0 * static_cast<double>(values.size() - 1)));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(k), values.end());
    return values[k];
  };
  lower = at(low);
  upper = at(high);
  return kTrue;
}
