// The mask operations.
#include "maths/MMask.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/status.h"

namespace {

constexpr unsigned char kMasked = 255;

// The data a mask operation works on: checked, defined, and with a mask when `allocate`.
int MaskTarget(const IRoutine& routine, DataSet& d, bool allocate, int& status) {
  if (!ICheckDataLayout(std::string(routine.name) + ":", d, status)) return kFalse;
  if (!d.dataDefined || !d.data) return IFail(routine, kStatusNotAllocated, status);
  if (allocate && (!d.maskAllocated || !d.mask)) {
    if (!IAllocateMask(d, status)) return kFalse;
  }
  return kTrue;
}

bool MaskDefined(const DataSet& d) { return d.maskDefined && d.maskAllocated && d.mask; }

// Converts a real coordinate to a pixel index by truncation, kept inside [low, high] so
// that far-away vertices never overflow an int.
int TruncateInto(double value, int low, int high) {
  if (!(value > static_cast<double>(low))) return low;
  if (value >= static_cast<double>(high)) return high;
  return static_cast<int>(value);
}

// Window statistics leaving out the pixels whose byte in `excluded` (laid out like the mask)
// is non-zero; none when it is null.
//
// Sums run in double precision and move with the window: each column keeps the sums of the
// rows its window covers (one row enters and one leaves per step down), and along a row the
// window sum gains the entering column and loses the leaving one. A pixel costs the same
// whatever the window size.
int WindowStatistics(const IRoutine& kR, int width, int height, int outWidth, int outHeight,
                     float* means, float* sigmas, const DataSet& d, const unsigned char* excluded,
                     int& status) {
  if (width <= 0) return IFail(kR, kStatusIntRange1, status);
  if (height <= 0) return IFail(kR, kStatusIntRange2, status);
  const int regionWidth = d.endX - d.startX + 1;
  const int regionHeight = d.endY - d.startY + 1;
  if (outWidth < regionWidth || outHeight < regionHeight || !means || !sigmas) {
    return IFail(kR, kStatusDim1Illegal, status);
  }
  if (regionWidth < width) return IFail(kR, 17, status);
  if (regionHeight < height) return IFail(kR, 18, status);

  const int low1 = static_cast<int>((width - 0.5) * 0.5);
  const int high1 = width / 2;
  const int low2 = static_cast<int>((height - 0.5) * 0.5);
  const int high2 = height / 2;

  IArray<double> columnSum, columnSquares;
  IArray<int> columnCount;
  if (!IAllocateMemory("MWindowMeansSigmas: SUMS", regionWidth, columnSum, status) ||
      !IAllocateMemory("MWindowMeansSigmas: SQUARES", regionWidth, columnSquares, status) ||
      !IAllocateMemory("MWindowMeansSigmas: COUNTS", regionWidth, columnCount, status)) {
    return kFalse;
  }
  std::fill(columnSum.get(), columnSum.get() + regionWidth, 0.0);
  std::fill(columnSquares.get(), columnSquares.get() + regionWidth, 0.0);
  std::fill(columnCount.get(), columnCount.get() + regionWidth, 0);

  // Adds (sign +1) or removes (sign -1) region row `row` from the column sums.
  auto moveRow = [&](int row, int sign) {
    const std::size_t base = IIndex(d, d.startX, d.startY + row);
    const float* values = d.data.get() + base;
    const unsigned char* masked = excluded ? excluded + base : nullptr;
    for (int c = 0; c < regionWidth; ++c) {
      if (masked && masked[c]) continue;
      const double v = values[c];
      columnSum[c] += sign * v;
      columnSquares[c] += sign * v * v;
      columnCount[c] += sign;
    }
  };

  for (int r = 0; r <= std::min(regionHeight - 1, high2); ++r) moveRow(r, +1);
  for (int y = 0; y < regionHeight; ++y) {
    if (y > 0) {
      if (y + high2 < regionHeight) moveRow(y + high2, +1);
      if (y - low2 - 1 >= 0) moveRow(y - low2 - 1, -1);
    }
    double sum = 0.0, squares = 0.0;
    long long count = 0;
    for (int c = 0; c <= std::min(regionWidth - 1, high1); ++c) {
      sum += columnSum[c];
      squares += columnSquares[c];
      count += columnCount[c];
    }
    float* meanRow = means + static_cast<std::size_t>(y) * static_cast<std::size_t>(outWidth);
    float* sigmaRow = sigmas + static_cast<std::size_t>(y) * static_cast<std::size_t>(outWidth);
    for (int x = 0; x < regionWidth; ++x) {
      if (x > 0) {
        const int entering = x + high1;
        const int leaving = x - low1 - 1;
        if (entering < regionWidth) {
          sum += columnSum[entering];
          squares += columnSquares[entering];
          count += columnCount[entering];
        }
        if (leaving >= 0) {
          sum -= columnSum[leaving];
          squares -= columnSquares[leaving];
          count -= columnCount[leaving];
        }
      }
      double mean = 0.0, sigma = 0.0;
      if (count > 0) {
        const auto n = static_cast<double>(count);
        mean = sum / n;
        if (count > 1) {
          // Rounding in the moving sums can leave a flat window a hair below zero.
          const double variance = (squares - n * mean * mean) / (n - 1.0);
          sigma = variance > 0.0 ? std::sqrt(variance) : 0.0;
        }
      }
      meanRow[x] = static_cast<float>(mean);
      sigmaRow[x] = static_cast<float>(sigma);
    }
  }
  return kTrue;
}

// One erosion/fill engine for both neighbourhood sizes; `rule` decides a pixel's new value
// from the masked count k, the clipped window size n and its old value.
template <class Rule>
int ErodeFill(const IRoutine& kR, int radius, int erode, int fill, int cycles, DataSet& d,
              Rule rule, int& status) {
  if (erode >= fill || cycles <= 0) return IFail(kR, kStatusIntRange1, status);
  if (!MaskTarget(kR, d, false, status)) return kFalse;
  if (!MaskDefined(d)) return kFalse;

  IArray<unsigned char> scratch;
  if (!IAllocateMemory("MMaskErodeFill: SCRATCH", static_cast<std::int64_t>(IElementCount(d)),
                       scratch, status)) {
    return kFalse;
  }
  std::memset(scratch.get(), 0, IElementCount(d));
  // Masked counts down each column of the band of rows around the current row, over the
  // region's columns widened by the radius.
  const int first = std::max(0, d.startX - radius);
  const int last = std::min(d.numX - 1, d.endX + radius);
  IArray<int> columnCounts;
  if (!IAllocateMemory("MMaskErodeFill: COUNTS", last - first + 1, columnCounts, status)) {
    return kFalse;
  }

  const unsigned char* mask = d.mask.get();
  for (int cycle = 0; cycle < cycles; ++cycle) {
    for (int y = d.startY; y <= d.endY; ++y) {
      const int top = std::max(0, y - radius);
      const int bottom = std::min(d.numY - 1, y + radius);
      const int rows = bottom - top + 1;
      for (int x = first; x <= last; ++x) {
        int k = 0;
        for (int r = top; r <= bottom; ++r) k += mask[IIndex(d, x, r)] != 0;
        columnCounts[x - first] = k;
      }
      for (int x = d.startX; x <= d.endX; ++x) {
        const int left = std::max(0, x - radius);
        const int right = std::min(d.numX - 1, x + radius);
        int k = 0;
        for (int c = left; c <= right; ++c) k += columnCounts[c - first];
        const int n = (right - left + 1) * rows;
        const std::size_t i = IIndex(d, x, y);
        scratch[i] = rule(k, n, mask[i]);
      }
    }
    if (!MMaskCopy(scratch.get(), d, status)) return kFalse;
  }
  return kTrue;
}

double Orientation(double px, double py, double qx, double qy, double sx, double sy) {
  return (qx - px) * (sy - py) - (qy - py) * (sx - px);
}

bool OnSegment(double ax, double ay, double bx, double by, double tx, double ty) {
  return Orientation(ax, ay, bx, by, tx, ty) == 0.0 && tx >= std::min(ax, bx) &&
         tx <= std::max(ax, bx) && ty >= std::min(ay, by) && ty <= std::max(ay, by);
}

}  // namespace

int MMaskCircle(int centreX, int centreY, int diameter, DataSet& d, int& status) {
  static constexpr IRoutine kR{"MMaskCircle", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!ICheckDataLayout("MMaskCircle:", d, status)) return kFalse;
  if (diameter <= 0) return IFail(kR, kStatusIntRange1, status);
  if (!MaskTarget(kR, d, true, status)) return kFalse;
  const std::int64_t r = diameter / 2;
  const std::int64_t top = std::max<std::int64_t>(0, centreY - r);
  const std::int64_t bottom = std::min<std::int64_t>(d.numY - 1, centreY + r);
  const std::int64_t left = std::max<std::int64_t>(0, centreX - r);
  const std::int64_t right = std::min<std::int64_t>(d.numX - 1, centreX + r);
  for (std::int64_t y = top; y <= bottom; ++y) {
    for (std::int64_t x = left; x <= right; ++x) {
      const std::int64_t dx = x - centreX, dy = y - centreY;
      if (r * r >= dx * dx + dy * dy) {
        d.mask[IIndex(d, static_cast<int>(x), static_cast<int>(y))] = kMasked;
      }
    }
  }
  return kTrue;
}

int MROISetMask(unsigned char value, DataSet& d, int& status) {
  static constexpr IRoutine kR{"MROISetMask", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  if (!ICheckDataLayout("MROISetMask:", d, status)) return kFalse;
  if (!d.maskAllocated || !d.mask || !d.dataDefined) return kTrue;
  const auto width = static_cast<std::size_t>(d.endX - d.startX + 1);
  for (int y = d.startY; y <= d.endY; ++y)
    std::memset(&d.mask[IIndex(d, d.startX, y)], value, width);
  return kTrue;
}

int MMaskThreshold(int useLower, float lower, int useUpper, float upper, DataSet& d, int& status) {
  static constexpr IRoutine kR{"MMaskThreshold", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!MaskTarget(kR, d, true, status)) return kFalse;
  for (int y = d.startY; y <= d.endY; ++y) {
    for (int x = d.startX; x <= d.endX; ++x) {
      const std::size_t i = IIndex(d, x, y);
      const float v = d.data[i];
      if ((useLower && v <= lower) || (useUpper && v >= upper)) d.mask[i] = kMasked;
    }
  }
  return kTrue;
}

int MWindowMeansSigmas(int width, int height, int outWidth, int outHeight, float* means,
                       float* sigmas, const DataSet& d, int& status) {
  static constexpr IRoutine kR{"MWindowMeansSigmas", "V0.4"};
  if (IBad(kR, status)) return kFalse;
  if (!ICheckDataLayout("MWindowMeansSigmas:", d, status)) return kFalse;
  if (!d.dataDefined || !d.data) return IFail(kR, kStatusNotAllocated, status);
  const unsigned char* excluded = d.maskInUse && d.maskAllocated ? d.mask.get() : nullptr;
  return WindowStatistics(kR, width, height, outWidth, outHeight, means, sigmas, d, excluded,
                          status);
}

int MMaskSignificant(int width, int height, float sigmas, int cycles, DataSet& d, int& status) {
  static constexpr IRoutine kR{"MMaskSignificant", "V0.4"};
  if (IBad(kR, status)) return kFalse;
  if (!ICheckDataLayout("MMaskSignificant:", d, status)) return kFalse;
  if (cycles < 1 || cycles > 100) return IFail(kR, kStatusIntRange1, status);
  if (!MaskTarget(kR, d, true, status)) return kFalse;

  const int regionWidth = d.endX - d.startX + 1;
  const int regionHeight = d.endY - d.startY + 1;
  const std::int64_t count = static_cast<std::int64_t>(regionWidth) * regionHeight;
  IArray<float> means, deviations;
  if (!IAllocateMemory("MMaskSignificant: MEANS", count, means, status) ||
      !IAllocateMemory("MMaskSignificant: SIGMAS", count, deviations, status)) {
    return kFalse;
  }
  // Every cycle leaves the pixels the earlier cycles masked out of the statistics, or
  // repeating would change nothing; pixels masked before the call are left out only while
  // the mask is in use.
  IArray<unsigned char> excluded;
  if (!IAllocateMemory("MMaskSignificant: EXCLUDED", static_cast<std::int64_t>(IElementCount(d)),
                       excluded, status)) {
    return kFalse;
  }
  if (d.maskInUse) {
    std::memcpy(excluded.get(), d.mask.get(), IElementCount(d));
  } else {
    std::memset(excluded.get(), 0, IElementCount(d));
  }
  for (int cycle = 0; cycle < cycles; ++cycle) {
    if (!WindowStatistics(kR, width, height, regionWidth, regionHeight, means.get(),
                          deviations.get(), d, excluded.get(), status)) {
      return kFalse;
    }
    // All statistics of the cycle are known before any pixel is masked.
    for (int y = 0; y < regionHeight; ++y) {
      const std::size_t base = IIndex(d, d.startX, d.startY + y);
      const std::size_t out = static_cast<std::size_t>(y) * static_cast<std::size_t>(regionWidth);
      for (int x = 0; x < regionWidth; ++x) {
        const float sigma = deviations[out + x];
        if (sigma > 1e-20f && d.data[base + x] >= means[out + x] + sigmas * sigma) {
          d.mask[base + x] = kMasked;
          excluded[base + x] = 1;
        }
      }
    }
  }
  return kTrue;
}

int MMask3ErodeFill(int erode, int fill, int cycles, DataSet& d, int& status) {
  static constexpr IRoutine kR{"MMask3ErodeFill", "V0.4"};
  if (IBad(kR, status)) return kFalse;
  // Full and edge windows (9 and 6 pixels) compare strictly; a corner's 2 x 2 window uses
  // halved thresholds and compares inclusively.
  auto rule = [erode, fill](int k, int n, unsigned char old) -> unsigned char {
    if (n >= 6) {
      if (k < erode) return 0;
      if (k > fill) return kMasked;
    } else if (n == 4) {
      if (k <= erode / 2) return 0;
      if (k >= fill / 2) return kMasked;
    }
    return old;
  };
  return ErodeFill(kR, 1, erode, fill, cycles, d, rule, status);
}

int MMask5ErodeFill(int erode, int fill, int cycles, DataSet& d, int& status) {
  static constexpr IRoutine kR{"MMask5ErodeFill", "V0.4"};
  if (IBad(kR, status)) return kFalse;
  // Inclusive comparisons at every window size; the thresholds shrink with the window.
  auto rule = [erode, fill](int k, int n, unsigned char old) -> unsigned char {
    const int divisor = n >= 20 ? 1 : n >= 12 ? 2 : n >= 6 ? 4 : 0;
    if (divisor == 0) return old;
    if (k <= erode / divisor) return 0;
    if (k >= fill / divisor) return kMasked;
    return old;
  };
  return ErodeFill(kR, 2, erode, fill, cycles, d, rule, status);
}

int MMask3Grow(int cycles, DataSet& d, int& status) {
  static constexpr IRoutine kR{"MMask3Grow", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (cycles <= 0) return IFail(kR, kStatusIntRange1, status);
  if (!MaskTarget(kR, d, false, status)) return kFalse;
  if (!MaskDefined(d)) return kFalse;
  IArray<unsigned char> scratch;
  if (!IAllocateMemory("MMask3Grow: SCRATCH", static_cast<std::int64_t>(IElementCount(d)), scratch,
                       status)) {
    return kFalse;
  }
  std::memset(scratch.get(), 0, IElementCount(d));
  const unsigned char* mask = d.mask.get();
  const std::size_t row = static_cast<std::size_t>(d.dimX);
  for (int cycle = 0; cycle < cycles; ++cycle) {
    for (int y = d.startY; y <= d.endY; ++y) {
      for (int x = d.startX; x <= d.endX; ++x) {
        const std::size_t i = IIndex(d, x, y);
        const bool masked = mask[i] || (x > 0 && mask[i - 1]) || (x < d.numX - 1 && mask[i + 1]) ||
                            (y > 0 && mask[i - row]) || (y < d.numY - 1 && mask[i + row]);
        scratch[i] = masked ? kMasked : 0;
      }
    }
    if (!MMaskCopy(scratch.get(), d, status)) return kFalse;
  }
  return kTrue;
}

int MMaskInvert(DataSet& d, int& status) {
  static constexpr IRoutine kR{"MMaskInvert", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  if (!MaskTarget(kR, d, false, status)) return kFalse;
  if (!MaskDefined(d)) return kFalse;
  for (int y = d.startY; y <= d.endY; ++y) {
    for (int x = d.startX; x <= d.endX; ++x) {
      unsigned char& m = d.mask[IIndex(d, x, y)];
      m = m == 0 ? 1 : 0;
    }
  }
  return kTrue;
}

int MInPolygon(float referenceX, float referenceY, int count, const float* xs, const float* ys,
               float testX, float testY) {
  if (count < 3 || !xs || !ys) return kFalse;
  const double rx = referenceX, ry = referenceY, tx = testX, ty = testY;
  // A point on the boundary belongs to the polygon, whichever way the segment meets it.
  for (int i = 0; i < count; ++i) {
    const int j = i + 1 < count ? i + 1 : 0;
    if (OnSegment(xs[i], ys[i], xs[j], ys[j], tx, ty)) return kTrue;
  }
  // An edge is crossed when its ends lie on opposite sides of the segment's line and the
  // reference and test points on opposite sides of the edge's line. A vertex lying on the
  // segment's line counts with the side to its left, so a segment through a vertex counts
  // one crossing where the boundary passes through and none or two where it only touches,
  // and an edge lying along the segment is decided by its neighbours.
  bool inside = false;
  for (int i = 0; i < count; ++i) {
    const int j = i + 1 < count ? i + 1 : 0;
    const double ax = xs[i], ay = ys[i], bx = xs[j], by = ys[j];
    const bool sideA = Orientation(rx, ry, tx, ty, ax, ay) >= 0.0;
    const bool sideB = Orientation(rx, ry, tx, ty, bx, by) >= 0.0;
    if (sideA == sideB) continue;
    const bool referenceSide = Orientation(ax, ay, bx, by, rx, ry) > 0.0;
    const bool testSide = Orientation(ax, ay, bx, by, tx, ty) > 0.0;
    if (referenceSide != testSide) inside = !inside;
  }
  return inside ? kTrue : kFalse;
}

int MMaskPolygon(int mask, int capacity, int count, const float* xs, const float* ys, DataSet& d,
                 int& status) {
  static constexpr IRoutine kR{"MMaskPolygon", "V0.5"};
  if (IBad(kR, status)) return kFalse;
  if (!ICheckDataLayout("MMaskPolygon:", d, status)) return kFalse;
  if (count <= 0 || count > capacity || !xs || !ys) return IFail(kR, kStatusIntRange1, status);
  for (int i = 0; i < count; ++i) {
    if (!std::isfinite(xs[i]) || !std::isfinite(ys[i])) {
      return IFail(kR, kStatusRealRange1, status);
    }
  }
  if (count < 3) return kTrue;
  if (!MaskTarget(kR, d, true, status)) return kFalse;

  const auto [minX, maxX] = std::minmax_element(xs, xs + count);
  const auto [minY, maxY] = std::minmax_element(ys, ys + count);
  const int x0 = TruncateInto(*minX, 0, d.numX - 1);
  const int x1 = TruncateInto(*maxX, 0, d.numX - 1);
  const int y0 = TruncateInto(*minY, 0, d.numY - 1);
  const int y1 = TruncateInto(*maxY, 0, d.numY - 1);
  // A polygon wholly beside the image touches no pixel.
  if (*maxX < 0.0f || *maxY < 0.0f || *minX >= static_cast<float>(d.numX) ||
      *minY >= static_cast<float>(d.numY)) {
    return kTrue;
  }

  // Row by row: the edges crossing the line through the pixel centres give, by parity, the
  // pixels inside, exactly as MInPolygon decides them; pixel centres on an edge are found by
  // the same exact test MInPolygon makes and belong to the polygon.
  const int width = x1 - x0 + 1;
  IArray<double> crossings;
  IArray<unsigned char> inside;
  if (!IAllocateMemory("MMaskPolygon: CROSSINGS", count, crossings, status) ||
      !IAllocateMemory("MMaskPolygon: ROW", width, inside, status)) {
    return kFalse;
  }
  const unsigned char value = mask ? kMasked : 0;
  for (int y = y0; y <= y1; ++y) {
    const double yc = y + 0.5;
    int m = 0;
    for (int i = 0; i < count; ++i) {
      const int j = i + 1 < count ? i + 1 : 0;
      const double ay = ys[i], by = ys[j];
      if ((ay > yc) != (by > yc)) {
        const double ax = xs[i], bx = xs[j];
        crossings[m++] = ax + (yc - ay) * (bx - ax) / (by - ay);
      }
    }
    std::sort(crossings.get(), crossings.get() + m);
    std::memset(inside.get(), 0, static_cast<std::size_t>(width));
    for (int k = 0; k + 1 < m; k += 2) {
      // Centres x + 0.5 in (crossings[k], crossings[k + 1]].
      const double from = std::floor(crossings[k] - 0.5) + 1.0;
      const double to = std::floor(crossings[k + 1] - 0.5);
      const int a = TruncateInto(std::max(from, static_cast<double>(x0)), x0, x1 + 1);
      const int b = TruncateInto(std::min(to, static_cast<double>(x1)), x0 - 1, x1);
      for (int x = a; x <= b; ++x) inside[x - x0] = 1;
    }
    for (int i = 0; i < count; ++i) {
      const int j = i + 1 < count ? i + 1 : 0;
      const double ax = xs[i], ay = ys[i], bx = xs[j], by = ys[j];
      if (yc < std::min(ay, by) || yc > std::max(ay, by)) continue;
      double from, to;
      if (ay == by) {
        from = std::min(ax, bx) - 0.5;
        to = std::max(ax, bx) - 0.5;
      } else {
        const double x = ax + (yc - ay) * (bx - ax) / (by - ay);
        from = std::floor(x - 0.5) - 1.0;
        to = from + 3.0;
      }
      const int a = TruncateInto(std::max(std::ceil(from), static_cast<double>(x0)), x0, x1 + 1);
      const int b = TruncateInto(std::min(std::floor(to), static_cast<double>(x1)), x0 - 1, x1);
      for (int x = a; x <= b; ++x) {
        if (!inside[x - x0] && OnSegment(ax, ay, bx, by, x + 0.5, yc)) inside[x - x0] = 1;
      }
    }
    unsigned char* maskRow = &d.mask[IIndex(d, x0, y)];
    for (int x = 0; x < width; ++x) {
      if (inside[x]) maskRow[x] = value;
    }
  }

  // Close the single-pixel gaps along the outline over the bounding box. The region of
  // interest is borrowed for it and given back on every path.
  struct RegionKeeper {
    DataSet& d;
    int startX, startY, endX, endY;
    ~RegionKeeper() {
      d.startX = startX;
      d.startY = startY;
      d.endX = endX;
      d.endY = endY;
    }
  } keeper{d, d.startX, d.startY, d.endX, d.endY};
  d.startX = x0;
  d.startY = y0;
  d.endX = x1;
  d.endY = y1;
  if (MaskDefined(d) && !MMask3ErodeFill(1, 5, 3, d, status)) return kFalse;
  return kTrue;
}

int MMaskCopy(const unsigned char* source, DataSet& d, int& status) {
  static constexpr IRoutine kR{"MMaskCopy", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  if (!source) return IFail(kR, kStatusNotAllocated, status);
  if (!MaskTarget(kR, d, true, status)) return kFalse;
  const auto width = static_cast<std::size_t>(d.endX - d.startX + 1);
  for (int y = d.startY; y <= d.endY; ++y) {
    const std::size_t i = IIndex(d, d.startX, y);
    std::memcpy(&d.mask[i], source + i, width);
  }
  return kTrue;
}
