#include "graphics/GRender.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "core/database.h"
#include "core/status.h"
#include "graphics/GDisplaySettings.h"
#include "graphics/GGraphics.h"

namespace {

// value -> colour index, linear.
struct LinearMap {
  float minimum, maximum, factor;
  LinearMap(float lo, float hi, bool reduced) : minimum(lo), maximum(hi) {
    float range = hi - lo;
    if (range == 0.0f) range = lo == 0.0f ? 1.0f : 0.1f * lo;
    factor = (reduced ? 1023.0f : 1024.0f) / range;
  }
  int operator()(float value) const {
    if (value <= minimum) return 0;
    if (value >= maximum) return kColourLevels - 1;
    const int index = GTruncate((value - minimum) * factor);  // NaN gives 0
    return std::clamp(index, 0, kColourLevels - 1);
  }
};

// value -> colour index, logarithmic: the largest i with T[i] <= value. A table over the top
// sixteen bits of the value's bit pattern gives the answer for the smallest value of that
// pattern; at most a step or two along the thresholds finds the exact index, the same one a
// binary search over the thresholds gives.
struct LogMap {
  float minimum, maximum;
  float thresholds[kColourLevels];
  std::vector<std::uint16_t> start;  // by the top 16 bits of a positive float
  LogMap(float lo, float hi) : start(32768) {
    float logMinimum = 1.0e-6f;
    int local = kStatusGood;
    IGetDBRealItem("Log_Minimum", logMinimum, local);
    if (lo <= logMinimum) lo = logMinimum;
    if (!(lo > 0.0f)) lo = 1.0e-6f;  // a non-positive stored minimum has no logarithm
    hi = std::max(hi, lo + 1.0e-10f);
    minimum = lo;
    maximum = hi;
    const float base = std::log10(lo);
    const float step = (std::log10(hi) - base) * 0.0009775171f;
    for (int i = 0; i < kColourLevels; ++i) {
      thresholds[i] = std::pow(10.0f, base + static_cast<float>(i) * step);
    }
    int index = 0;
    for (std::uint32_t prefix = 0; prefix < 32768; ++prefix) {
      const std::uint32_t bits = prefix << 16;
      float smallest;
      std::memcpy(&smallest, &bits, sizeof smallest);
      while (index < kColourLevels - 1 && smallest >= thresholds[index + 1]) ++index;
      start[prefix] = static_cast<std::uint16_t>(index);
    }
  }
  int operator()(float value) const {
    if (value <= minimum) return 0;
    if (value >= maximum) return kColourLevels - 1;
    if (std::isnan(value)) return 0;
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    int index = start[bits >> 16];  // value > minimum > 0: the sign bit is clear
    while (index < kColourLevels - 1 && value >= thresholds[index + 1]) ++index;
    return index;
  }
};

inline void Put(std::uint8_t* pixel, const GRGB& colour) {
  pixel[0] = colour.blue;
  pixel[1] = colour.green;
  pixel[2] = colour.red;
}

bool Masked(const DataSet& d, std::size_t index) {
  return d.maskInUse && d.mask && d.mask[index] != 0;
}

std::size_t RowBytes(int stride) { return static_cast<std::size_t>(stride) * 3; }

bool Check(const IRoutine& routine, const DataSet& d, int width, int height, int stride,
           const std::uint8_t* bits, int& status) {
  if (IBad(routine, status)) return false;
  if (!d.data || !bits || width <= 0 || height <= 0 || stride < width) {
    IFail(routine, kStatusIntRange1, status);
    return false;
  }
  return true;
}

// Magnification 1 and above: each data pixel an m x m square, cut at the bitmap edge.
template <class Map>
int Magnified(const IRoutine& routine, const Map& map, int m, int startX, int startY,
              const DataSet& d, int width, int height, int stride, std::uint8_t* bits,
              int& status) {
  if (!Check(routine, d, width, height, stride, bits, status)) return kFalse;
  const auto& colours = GDisplay().colours;
  const GRGB mask = GDisplay().maskColour;
  const int dataColumns = std::min((width + m - 1) / m, d.dimX - startX);
  for (int row = 0; row < height; ++row) {
    std::uint8_t* out = bits + static_cast<std::size_t>(row) * RowBytes(stride);
    const int y = startY + row / m;
    if (row % m != 0) {
      std::memcpy(out, out - RowBytes(stride), static_cast<std::size_t>(width) * 3);
      continue;
    }
    if (y >= d.dimY) {
      std::memset(out, 0, static_cast<std::size_t>(width) * 3);
      continue;
    }
    const std::size_t base = IIndex(d, 0, y);
    int column = 0;
    for (int k = 0; k < dataColumns && column < width; ++k) {
      const std::size_t index = base + static_cast<std::size_t>(startX + k);
      const GRGB colour = Masked(d, index) ? mask : colours[static_cast<std::size_t>(map(d.data[index]))];
      for (int repeat = 0; repeat < m && column < width; ++repeat, ++column) {
        Put(out + static_cast<std::size_t>(column) * 3, colour);
      }
    }
    if (column < width) std::memset(out + column * 3, 0, static_cast<std::size_t>(width - column) * 3);
  }
  return kTrue;
}

// Reduced display: each bitmap pixel the mean of the unmasked pixels of an r x r block.
template <class Map>
int Reduced(const IRoutine& routine, const Map& map, int r, int startX, int startY,
            const DataSet& d, int width, int height, int stride, std::uint8_t* bits,
            int& status) {
  if (!Check(routine, d, width, height, stride, bits, status)) return kFalse;
  const auto& colours = GDisplay().colours;
  const GRGB mask = GDisplay().maskColour;
  std::vector<double> sums(static_cast<std::size_t>(width));
  std::vector<int> counts(static_cast<std::size_t>(width));
  const bool useMask = d.maskInUse && d.mask;
  for (int row = 0; row < height; ++row) {
    std::fill(sums.begin(), sums.end(), 0.0);
    std::fill(counts.begin(), counts.end(), 0);
    for (int y = startY + row * r; y < startY + (row + 1) * r && y < d.dimY; ++y) {
      const float* values = d.data.get() + IIndex(d, 0, y);
      const unsigned char* masks = useMask ? d.mask.get() + IIndex(d, 0, y) : nullptr;
      for (int column = 0; column < width; ++column) {
        const int x0 = startX + column * r;
        const int x1 = std::min(x0 + r, d.dimX);
        double sum = 0.0;
        int count = 0;
        for (int x = x0; x < x1; ++x) {
          if (masks && masks[x]) continue;
          sum += values[x];
          ++count;
        }
        sums[static_cast<std::size_t>(column)] += sum;
        counts[static_cast<std::size_t>(column)] += count;
      }
    }
    std::uint8_t* out = bits + static_cast<std::size_t>(row) * RowBytes(stride);
    for (int column = 0; column < width; ++column) {
      const int count = counts[static_cast<std::size_t>(column)];
      const GRGB colour =
          count == 0 ? mask
                     : colours[static_cast<std::size_t>(
                           map(static_cast<float>(sums[static_cast<std::size_t>(column)] / count)))];
      Put(out + static_cast<std::size_t>(column) * 3, colour);
    }
  }
  return kTrue;
}

// Fit to size: bitmap pixel (i, j) shows data pixel (startX + i / scale, startY + j / scale)
// with the scale of the region's larger fitted side.
template <class Map>
int Resampled(const IRoutine& routine, const Map& map, int startX, int startY, const DataSet& d,
              int width, int height, int stride, std::uint8_t* bits, int& status) {
  if (!Check(routine, d, width, height, stride, bits, status)) return kFalse;
  const auto& colours = GDisplay().colours;
  const GRGB mask = GDisplay().maskColour;
  const int columns = std::max(1, d.endX - d.startX + 1);
  const int rows = std::max(1, d.endY - d.startY + 1);
  const double scaleX = static_cast<double>(width) / columns;
  const double scaleY = static_cast<double>(height) / rows;
  for (int j = 0; j < height; ++j) {
    const int y = std::min(d.dimY - 1, startY + GTruncate(j / scaleY));
    std::uint8_t* out = bits + static_cast<std::size_t>(j) * RowBytes(stride);
    for (int i = 0; i < width; ++i) {
      const int x = std::min(d.dimX - 1, startX + GTruncate(i / scaleX));
      const std::size_t index = IIndex(d, x, y);
      Put(out + static_cast<std::size_t>(i) * 3,
          Masked(d, index) ? mask : colours[static_cast<std::size_t>(map(d.data[index]))]);
    }
  }
  return kTrue;
}

}  // namespace

int GLinearIndex(float value, float minimum, float maximum, bool reduced) {
  return LinearMap(minimum, maximum, reduced)(value);
}

int GLogIndex(float value, float minimum, float maximum) {
  return LogMap(minimum, maximum)(value);
}

int GLinearScaledImage(float minimum, float maximum, int startX, int startY, const DataSet& d,
                       int width, int height, int stride, std::uint8_t* bits, int& status) {
  static constexpr IRoutine kR{"GLinearScaledImage", "V0.5"};
  return Magnified(kR, LinearMap(minimum, maximum, false), 1, startX, startY, d, width, height,
                   stride, bits, status);
}

int GLinearMagScaledImage(float minimum, float maximum, int startX, int startY, const DataSet& d,
                          int width, int height, int stride, std::uint8_t* bits, int& status) {
  static constexpr IRoutine kR{"GLinearMagScaledImage", "V0.4"};
  return Magnified(kR, LinearMap(minimum, maximum, false), std::max(1, d.magnification), startX,
                   startY, d, width, height, stride, bits, status);
}

int GLinearRebinScaledImage(float minimum, float maximum, int startX, int startY,
                            const DataSet& d, int width, int height, int stride,
                            std::uint8_t* bits, int& status) {
  static constexpr IRoutine kR{"GLinearRebinScaledImage", "V0.4"};
  return Reduced(kR, LinearMap(minimum, maximum, true), std::max(1, d.reduction), startX, startY,
                 d, width, height, stride, bits, status);
}

int GLogScaledImage(float minimum, float maximum, int startX, int startY, const DataSet& d,
                    int width, int height, int stride, std::uint8_t* bits, int& status) {
  static constexpr IRoutine kR{"GLogScaledImage", "V0.5"};
  if (IBad(kR, status)) return kFalse;
  if (minimum > maximum) return IFail(kR, 17, status);
  if (startX < 0 || startX > d.numX - 1) return IFail(kR, kStatusROI1, status);
  if (startY < 0 || startY > d.numY - 1) return IFail(kR, kStatusROI2, status);
  const LogMap map(minimum, maximum);
  return Magnified(kR, map, 1, startX, startY, d, width, height, stride, bits, status);
}

int GLogMagScaledImage(float minimum, float maximum, int startX, int startY, const DataSet& d,
                       int width, int height, int stride, std::uint8_t* bits, int& status) {
  static constexpr IRoutine kR{"GLogMagScaledImage", "V0.4"};
  const LogMap map(minimum, maximum);
  return Magnified(kR, map, std::max(1, d.magnification), startX, startY, d, width, height,
                   stride, bits, status);
}

int GLogRebinScaledImage(float minimum, float maximum, int startX, int startY, const DataSet& d,
                         int width, int height, int stride, std::uint8_t* bits, int& status) {
  static constexpr IRoutine kR{"GLogRebinScaledImage", "V0.4"};
  const LogMap map(minimum, maximum);
  return Reduced(kR, map, std::max(1, d.reduction), startX, startY, d, width, height, stride,
                 bits, status);
}

int GLinearResampledImage(float minimum, float maximum, int startX, int startY,
                          const DataSet& d, int width, int height, int stride,
                          std::uint8_t* bits, int& status) {
  static constexpr IRoutine kR{"GLinearResampledImage", "V0.2"};
  return Resampled(kR, LinearMap(minimum, maximum, false), startX, startY, d, width, height,
                   stride, bits, status);
}

int GLogResampledImage(float minimum, float maximum, int startX, int startY, const DataSet& d,
                       int width, int height, int stride, std::uint8_t* bits, int& status) {
  static constexpr IRoutine kR{"GLogResampledImage", "V0.2"};
  const LogMap map(minimum, maximum);
  return Resampled(kR, map, startX, startY, d, width, height, stride, bits, status);
}
