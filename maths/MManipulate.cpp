// Constant and element-wise arithmetic, cropping, rebinning, transposing, statistics, added
// shapes and array helpers.
#include "maths/MManipulate.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "core/status.h"

namespace {

// A result beyond the float range held at its end; NaN passes through unchanged (it can only
// come from NaN input).
inline float Held(float v) { return std::min(std::max(v, -kMHuge), kMHuge); }

bool Defined(const DataSet& d) { return d.dataAllocated && d.dataDefined && d.data; }

bool HasMask(const DataSet& d) { return d.maskAllocated && d.mask; }
bool HasVariances(const DataSet& d) {
  return d.variancesAllocated && d.variancesDefined && d.variances;
}

// Checks a data set's layout and that it holds data; false (status untouched) without data.
int Usable(const IRoutine& r, const DataSet& d, int& status) {
  if (!ICheckDataLayout(r.name, d, status)) return kFalse;
  return Defined(d) ? kTrue : kFalse;
}

// Applies op(row of the region) to every region row.
template <class Op>
void ForRegionRows(DataSet& d, Op op) {
  const int width = d.endX - d.startX + 1;
  for (int y = d.startY; y <= d.endY; ++y) op(d.data.get() + IIndex(d, d.startX, y), width, y);
}

// The element-wise pairing of the operand with the target over the target's region.
template <class Op>
int PairWise(const IRoutine& r, const DataSet& operand, DataSet& target, int& status, Op op) {
  if (IBad(r, status)) return kFalse;
  if (!ICheckDataLayout(r.name, operand, status) || !ICheckDataLayout(r.name, target, status)) {
    return kFalse;
  }
  if (!Defined(operand) || !Defined(target)) return kFalse;
  if (operand.numX <= target.endX) return IFail(r, kStatusROI1, status);
  if (operand.numY <= target.endY) return IFail(r, kStatusROI2, status);
  const int width = target.endX - target.startX + 1;
  for (int y = target.startY; y <= target.endY; ++y) {
    float* t = target.data.get() + IIndex(target, target.startX, y);
    const float* o = operand.data.get() + IIndex(operand, target.startX, y);
    op(t, o, width, target.startX, y);
  }
  return kTrue;
}

// Sizes after rebinning by a factor: at least one element.
int RebinnedSize(int size, int factor) { return std::max(1, size / factor); }

// The rebinning of MRebin and MRebin2; allMaskedMean selects MRebin2's rule for blocks whose
// inputs are all masked.
int Rebin(const IRoutine& r, int fX, int fY, bool allMaskedMean, DataSet& d, int& status) {
  if (IBad(r, status)) return kFalse;
  if (fX <= 0) return IFail(r, kStatusIntRange1, status);
  if (fY <= 0) return IFail(r, kStatusIntRange2, status);
  if (!Usable(r, d, status)) return kFalse;

  const int nX = RebinnedSize(d.numX, fX);
  const int nY = RebinnedSize(d.numY, fY);
  // A block never reaches past the defined data (a factor larger than the data takes all).
  const int bX = std::min(fX, d.numX);
  const int bY = std::min(fY, d.numY);
  const std::int64_t count = static_cast<std::int64_t>(nX) * nY;
  const bool useMask = d.maskInUse && HasMask(d);
  const bool keepMask = HasMask(d);
  const bool keepVariances = HasVariances(d);

  IArray<float> data, variances;
  IArray<unsigned char> mask;
  if (!IAllocateMemory(r.name, count, data, status)) return kFalse;
  if (keepMask && !IAllocateMemory(r.name, count, mask, status)) return kFalse;
  if (keepVariances && !IAllocateMemory(r.name, count, variances, status)) return kFalse;

  // Per output row: sums of values, of unmasked values, of variances, and unmasked counts.
  std::vector<double> all(static_cast<std::size_t>(nX)), used(static_cast<std::size_t>(nX)),
      var(static_cast<std::size_t>(nX)), varUsed(static_cast<std::size_t>(nX));
  std::vector<int> n(static_cast<std::size_t>(nX));
  const double blockSize = static_cast<double>(bX) * bY;
  for (int j = 0; j < nY; ++j) {
    std::fill(all.begin(), all.end(), 0.0);
    std::fill(used.begin(), used.end(), 0.0);
    std::fill(var.begin(), var.end(), 0.0);
    std::fill(varUsed.begin(), varUsed.end(), 0.0);
    std::fill(n.begin(), n.end(), 0);
    for (int y = j * fY; y < j * fY + bY; ++y) {
      const float* row = d.data.get() + IIndex(d, 0, y);
      const unsigned char* m = keepMask ? d.mask.get() + IIndex(d, 0, y) : nullptr;
      const float* v = keepVariances ? d.variances.get() + IIndex(d, 0, y) : nullptr;
      for (int i = 0; i < nX; ++i) {
        const int x0 = i * fX;
        for (int x = x0; x < x0 + bX; ++x) {
          all[i] += row[x];
          if (v) var[i] += v[x];
          if (m && !m[x]) {
            used[i] += row[x];
            if (v) varUsed[i] += v[x];
            ++n[i];
          }
        }
      }
    }
    float* out = data.get() + static_cast<std::size_t>(j) * nX;
    for (int i = 0; i < nX; ++i) {
      const bool allMasked = keepMask && n[i] == 0;
      if (useMask && !allMasked) {
        out[i] = Held(static_cast<float>(used[i] / n[i]));
        if (keepVariances) {
          variances[static_cast<std::size_t>(j) * nX + i] =
              Held(static_cast<float>(varUsed[i] / (static_cast<double>(n[i]) * n[i])));
        }
      } else {
        // Without a mask in use every input counts; with one, a block that is all masked
        // gives 0 (MRebin) or the mean of all (MRebin2).
        const bool mean = !useMask || allMaskedMean;
        out[i] = mean ? Held(static_cast<float>(all[i] / blockSize)) : 0.0f;
        if (keepVariances) {
          variances[static_cast<std::size_t>(j) * nX + i] =
              mean ? Held(static_cast<float>(var[i] / (blockSize * blockSize))) : 0.0f;
        }
      }
      if (keepMask) mask[static_cast<std::size_t>(j) * nX + i] = allMasked ? 1 : 0;
    }
  }

  d.data = std::move(data);
  if (keepMask) d.mask = std::move(mask);
  if (keepVariances) {
    d.variances = std::move(variances);
  } else if (d.variances) {
    // Variances without content would no longer fit the array: released.
    d.variances.reset();
    d.variancesAllocated = d.variancesDefined = kFalse;
  }
  d.dimX = d.numX = nX;
  d.dimY = d.numY = nY;
  // The region scaled; its end kept inside the new data and never before its start.
  d.endX = std::min(nX - 1, std::max(d.endX / fX, 1));
  d.endY = std::min(nY - 1, std::max(d.endY / fY, 1));
  d.startX = std::min(d.startX / fX, d.endX);
  d.startY = std::min(d.startY / fY, d.endY);
  d.beamCentreX /= static_cast<float>(fX);
  d.beamCentreY /= static_cast<float>(fY);
  // A new element covers fX x fY old ones: the pixel (or scan step) grows with it, and a scan's
  // first abscissa becomes the centre of its first block.
  if (!d.xAxisInPixels) d.xAxisStart += 0.5f * static_cast<float>(fX - 1) * d.pixelSizeX;
  d.pixelSizeX *= static_cast<float>(fX);
  d.pixelSizeY *= static_cast<float>(fY);
  d.displayStartX = std::clamp(d.displayStartX / fX, 0, nX - 1);
  d.displayStartY = std::clamp(d.displayStartY / fY, 0, nY - 1);
  return kTrue;
}

// The argument checks shared by the two rectangle moves.
int CheckMove(const IRoutine& r, int sDimX, int sDimY, const void* source, int x0, int y0,
              int x1, int y1, int tDimX, int tDimY, int tX, int tY, const void* target,
              int& status) {
  if (sDimX <= 0 || tDimX <= 0) return IFail(r, kStatusDim1Illegal, status);
  if (sDimY <= 0 || tDimY <= 0) return IFail(r, kStatusDim2Illegal, status);
  if (!source || !target) return IFail(r, kStatusNotAllocated, status);
  if (x0 < 0 || x1 < x0 || x1 >= sDimX || tX < 0 || tX >= tDimX) {
    return IFail(r, kStatusROI1, status);
  }
  if (y0 < 0 || y1 < y0 || y1 >= sDimY || tY < 0 || tY >= tDimY) {
    return IFail(r, kStatusROI2, status);
  }
  if (static_cast<std::int64_t>(tX) + (x1 - x0) >= tDimX) return IFail(r, 41, status);
  if (static_cast<std::int64_t>(tY) + (y1 - y0) >= tDimY) return IFail(r, 42, status);
  return kTrue;
}

std::size_t At(int dimX, int x, int y) {
  return static_cast<std::size_t>(x) + static_cast<std::size_t>(y) * static_cast<std::size_t>(dimX);
}

}  // namespace

// ---- Constants ------------------------------------------------------------------------------

int MConstantAdd(float value, DataSet& d, int& status) {
  static constexpr IRoutine kR{"MConstantAdd", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!Usable(kR, d, status)) return kFalse;
  ForRegionRows(d, [value](float* row, int width, int) {
    for (int i = 0; i < width; ++i) row[i] = Held(row[i] + value);
  });
  return kTrue;
}

int MConstantMultiply(float value, DataSet& d, int& status) {
  static constexpr IRoutine kR{"MConstantMultiply", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!Usable(kR, d, status)) return kFalse;
  ForRegionRows(d, [value](float* row, int width, int) {
    for (int i = 0; i < width; ++i) row[i] = Held(row[i] * value);
  });
  return kTrue;
}

int MROISetValue(float value, DataSet& d, int& status) {
  static constexpr IRoutine kR{"MROISetValue", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  if (!Usable(kR, d, status)) return kFalse;
  ForRegionRows(d, [value](float* row, int width, int) { std::fill(row, row + width, value); });
  return kTrue;
}

// ---- Element-wise arithmetic ----------------------------------------------------------------

int MDatasetsAdd(const DataSet& operand, DataSet& target, int& status) {
  static constexpr IRoutine kR{"MDatasetsAdd", "V0.3"};
  return PairWise(kR, operand, target, status, [](float* t, const float* o, int w, int, int) {
    for (int i = 0; i < w; ++i) t[i] = Held(t[i] + o[i]);
  });
}

int MDatasetsSubtract(const DataSet& operand, DataSet& target, int& status) {
  static constexpr IRoutine kR{"MDatasetsSubtract", "V0.3"};
  return PairWise(kR, operand, target, status, [](float* t, const float* o, int w, int, int) {
    for (int i = 0; i < w; ++i) t[i] = Held(t[i] - o[i]);
  });
}

int MDatasetsMultiply(const DataSet& operand, DataSet& target, int& status) {
  static constexpr IRoutine kR{"MDatasetsMultiply", "V0.3"};
  return PairWise(kR, operand, target, status, [](float* t, const float* o, int w, int, int) {
    for (int i = 0; i < w; ++i) t[i] = Held(t[i] * o[i]);
  });
}

int MDatasetsDivide(const DataSet& operand, DataSet& target, std::int64_t& zeroDivisors,
                    int& status) {
  static constexpr IRoutine kR{"MDatasetsDivide", "V0.4"};
  zeroDivisors = 0;
  std::int64_t zeros = 0;
  const bool maskZeros = target.maskInUse && HasMask(target);
  const int done = PairWise(
      kR, operand, target, status, [&](float* t, const float* o, int w, int x0, int y) {
        // Branch-free, so that the loop vectorises: a zero divisor is replaced by 1 for the
        // division and its result chosen afterwards.
        for (int i = 0; i < w; ++i) {
          const float v = t[i];
          const bool zero = o[i] == 0.0f;
          const float q = Held(v / (zero ? 1.0f : o[i]));
          // By the target's sign; 0 (and NaN) kept as they are.
          const float z = ((v != 0.0f) & (v == v)) ? std::copysign(kMHuge, v) : v;
          t[i] = zero ? z : q;
        }
        // Zero divisors are rare: a second pass only counts and masks them.
        unsigned char* m = maskZeros ? target.mask.get() + IIndex(target, x0, y) : nullptr;
        for (int i = 0; i < w; ++i) {
          if (o[i] == 0.0f) {
            ++zeros;
            if (m) m[i] = 1;
          }
        }
      });
  if (done && maskZeros && zeros > 0) target.maskDefined = kTrue;
  zeroDivisors = zeros;
  return done;
}

int MDatasetsDivide(const DataSet& operand, DataSet& target, int& status) {
  std::int64_t zeros = 0;
  return MDatasetsDivide(operand, target, zeros, status);
}

// ---- Reshaping ------------------------------------------------------------------------------

int MROICropData(DataSet& d, int& status) {
  static constexpr IRoutine kR{"MROICropData", "V0.4"};
  if (IBad(kR, status)) return kFalse;
  if (!Usable(kR, d, status)) return kFalse;
  const int w = d.endX - d.startX + 1;
  const int h = d.endY - d.startY + 1;
  const std::int64_t count = static_cast<std::int64_t>(w) * h;
  const bool keepMask = HasMask(d);
  const bool keepVariances = d.variancesAllocated && d.variances;
  IArray<float> data, variances;
  IArray<unsigned char> mask;
  if (!IAllocateMemory("Function MROICropData: ", count, data, status)) return kFalse;
  if (keepMask && !IAllocateMemory("Function MROICropData: ", count, mask, status)) return kFalse;
  if (keepVariances && !IAllocateMemory("Function MROICropData: ", count, variances, status)) {
    return kFalse;
  }
  const auto width = static_cast<std::size_t>(w);
  for (int y = 0; y < h; ++y) {
    const std::size_t from = IIndex(d, d.startX, d.startY + y);
    const std::size_t to = static_cast<std::size_t>(y) * width;
    std::memcpy(data.get() + to, d.data.get() + from, width * sizeof(float));
    if (keepMask) std::memcpy(mask.get() + to, d.mask.get() + from, width);
    if (keepVariances) {
      std::memcpy(variances.get() + to, d.variances.get() + from, width * sizeof(float));
    }
  }
  d.data = std::move(data);
  if (keepMask) d.mask = std::move(mask);
  if (keepVariances) d.variances = std::move(variances);
  // The beam centre and a scan's first abscissa stay where they were on the detector.
  d.beamCentreX -= static_cast<float>(d.startX);
  d.beamCentreY -= static_cast<float>(d.startY);
  if (!d.xAxisInPixels) d.xAxisStart += static_cast<float>(d.startX) * d.pixelSizeX;
  d.displayStartX = std::clamp(d.displayStartX - d.startX, 0, w - 1);
  d.displayStartY = std::clamp(d.displayStartY - d.startY, 0, h - 1);
  d.dimX = d.numX = w;
  d.dimY = d.numY = h;
  d.startX = d.startY = 0;
  d.endX = w - 1;
  d.endY = h - 1;
  return kTrue;
}

int MRebin(int factorX, int factorY, DataSet& d, int& status) {
  static constexpr IRoutine kR{"MRebin", "V0.4"};
  return Rebin(kR, factorX, factorY, false, d, status);
}

int MRebin2(DataSet& d, int& status) {
  static constexpr IRoutine kR{"MRebin2", "V0.3"};
  return Rebin(kR, 2, 2, true, d, status);
}

int MROIRebin(int fX, int fY, const DataSet& d, int outStartX, int outStartY, DataSet& result,
              int& status) {
  static constexpr IRoutine kR{"MROIRebin", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (fX <= 0) return IFail(kR, kStatusIntRange1, status);
  if (fY <= 0) return IFail(kR, kStatusIntRange2, status);
  if (!Usable(kR, d, status)) return kFalse;
  if (!result.dataAllocated || !result.data) return IFail(kR, kStatusNotAllocated, status);
  const int w = d.endX - d.startX + 1;
  const int h = d.endY - d.startY + 1;
  const int nX = RebinnedSize(w, fX);
  const int nY = RebinnedSize(h, fY);
  const int bX = std::min(fX, w);
  const int bY = std::min(fY, h);
  if (outStartX < 0 || static_cast<std::int64_t>(outStartX) + nX > result.dimX) {
    IWarning(IFormat("MROIRebin: X-overwrite problem: startX = %i, numX = %i, result->dimX = %i",
                     outStartX, nX, result.dimX),
             status);
    return kFalse;
  }
  if (outStartY < 0 || static_cast<std::int64_t>(outStartY) + nY > result.dimY) {
    IWarning(IFormat("MROIRebin: Y-overwrite problem: startY = %i, numY = %i, result->dimY = %i",
                     outStartY, nY, result.dimY),
             status);
    return kFalse;
  }
  std::vector<double> sums(static_cast<std::size_t>(nX));
  const double blockSize = static_cast<double>(bX) * bY;
  for (int j = 0; j < nY; ++j) {
    std::fill(sums.begin(), sums.end(), 0.0);
    for (int y = d.startY + j * fY; y < d.startY + j * fY + bY; ++y) {
      const float* row = d.data.get() + IIndex(d, d.startX, y);
      for (int i = 0; i < nX; ++i) {
        for (int x = i * fX; x < i * fX + bX; ++x) sums[i] += row[x];
      }
    }
    float* out = result.data.get() + IIndex(result, outStartX, outStartY + j);
    for (int i = 0; i < nX; ++i) out[i] = Held(static_cast<float>(sums[i] / blockSize));
  }
  return kTrue;
}

int MDataTranspose(const DataSet& s, DataSet& t, int& status) {
  static constexpr IRoutine kR{"MDataTranspose", "V0.4"};
  if (IBad(kR, status)) return kFalse;
  if (!ICheckDataLayout(kR.name, s, status)) return kFalse;
  if (!s.dataAllocated || !s.data) {
    IWarning("MDataTranspose: Data is not defined", status);
    return kFalse;
  }
  const int sDimX = s.dimX, sDimY = s.dimY;
  const std::int64_t count = static_cast<std::int64_t>(sDimX) * sDimY;
  const bool defined = s.dataDefined != 0;
  const bool hasMask = HasMask(s);
  const bool maskDefined = hasMask && s.maskDefined;
  const bool hasVariances = HasVariances(s) && defined;

  // Everything is built before the target is touched: source and target may be one store.
  IArray<float> data, variances;
  IArray<unsigned char> mask;
  if (!IAllocateMemory("MDataTranspose", count, data, status)) return kFalse;
  if (hasMask && !IAllocateMemory("MDataTranspose", count, mask, status)) return kFalse;
  if (hasVariances && !IAllocateMemory("MDataTranspose", count, variances, status)) return kFalse;
  auto transpose = [&](const auto* from, auto* to) {
    // Source row y becomes target column y; the target's row length is sDimY.
    constexpr int kBlock = 32;
    for (int y0 = 0; y0 < s.numY; y0 += kBlock)
      for (int x0 = 0; x0 < s.numX; x0 += kBlock)
        for (int y = y0; y < std::min(y0 + kBlock, s.numY); ++y)
          for (int x = x0; x < std::min(x0 + kBlock, s.numX); ++x)
            to[At(sDimY, y, x)] = from[At(sDimX, x, y)];
  };
  if (defined) {
    transpose(s.data.get(), data.get());
  } else {
    std::fill(data.get(), data.get() + count, 0.0f);
  }
  if (hasMask) {
    std::memset(mask.get(), 0, static_cast<std::size_t>(count));
    if (maskDefined && defined) transpose(s.mask.get(), mask.get());
  }
  if (hasVariances) transpose(s.variances.get(), variances.get());

  // Copy the description with X and Y exchanged (from locals, so that s may be t).
  const int numX = s.numY, numY = s.numX;
  const int startX = s.startY, startY = s.startX, endX = s.endY, endY = s.endX;
  const int maskInUse = s.maskInUse;
  std::string fileName = s.fileName, title = s.title, zLabel = s.zLabel;
  std::string xLabel = s.yLabel, yLabel = s.xLabel;
  const float beamX = s.beamCentreY, beamY = s.beamCentreX;
  const float pixelX = s.pixelSizeY, pixelY = s.pixelSizeX;
  const float twoTheta = s.twoThetaAngle, distance = s.distance, polarisation = s.polarisation;
  const float tilt = s.tiltAngle, tiltAxis = s.tiltAxisAngle, rotation = s.rotationZ;
  const float wavelength = s.wavelength;
  const int displayX = s.displayStartY, displayY = s.displayStartX;
  const int magnification = s.magnification, reduction = s.reduction;

  t.data = std::move(data);
  t.dataAllocated = kTrue;
  t.dimX = sDimY;
  t.dimY = sDimX;
  t.dataDefined = defined ? kTrue : kFalse;
  if (defined) {
    t.numX = numX;
    t.numY = numY;
    t.startX = startX;
    t.startY = startY;
    t.endX = endX;
    t.endY = endY;
  } else {
    t.numX = t.numY = 0;
    t.startX = t.startY = t.endX = t.endY = 0;
  }
  t.mask = std::move(mask);
  t.maskAllocated = hasMask ? kTrue : kFalse;
  t.maskDefined = maskDefined && defined ? kTrue : kFalse;
  t.maskInUse = maskInUse;
  t.variances = std::move(variances);
  t.variancesAllocated = t.variancesDefined = hasVariances ? kTrue : kFalse;
  t.fileName = std::move(fileName);
  t.title = std::move(title);
  t.zLabel = std::move(zLabel);
  t.xLabel = std::move(xLabel);
  t.yLabel = std::move(yLabel);
  t.beamCentreX = beamX;
  t.beamCentreY = beamY;
  t.pixelSizeX = pixelX;
  t.pixelSizeY = pixelY;
  t.twoThetaAngle = twoTheta;
  t.distance = distance;
  t.polarisation = polarisation;
  t.tiltAngle = tilt;
  t.tiltAxisAngle = tiltAxis;
  t.rotationZ = rotation;
  t.wavelength = wavelength;
  t.displayStartX = displayX;
  t.displayStartY = displayY;
  t.magnification = magnification;
  t.reduction = reduction;
  return kTrue;
}

// ---- Statistics -----------------------------------------------------------------------------

int MROIMeanSigma(const DataSet& d, float& mean, float& sigma, int& status) {
  static constexpr IRoutine kR{"MROIMeanSigma", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!Usable(kR, d, status)) return kFalse;
  double sum = 0.0, squares = 0.0;
  std::int64_t n = 0;
  const bool useMask = d.maskInUse && HasMask(d);
  for (int y = d.startY; y <= d.endY; ++y) {
    const float* row = d.data.get() + IIndex(d, 0, y);
    if (useMask) {
      const unsigned char* m = d.mask.get() + IIndex(d, 0, y);
      for (int x = d.startX; x <= d.endX; ++x) {
        if (m[x]) continue;
        sum += row[x];
        squares += static_cast<double>(row[x]) * row[x];
        ++n;
      }
    } else {
      for (int x = d.startX; x <= d.endX; x += 2) {
        sum += row[x];
        squares += static_cast<double>(row[x]) * row[x];
        ++n;
      }
    }
  }
  if (n <= 1) return kFalse;
  const double m = sum / static_cast<double>(n);
  // Rounding may take the difference a little below zero for constant data.
  const double variance =
      std::max(0.0, (squares - static_cast<double>(n) * m * m) / static_cast<double>(n - 1));
  mean = static_cast<float>(m);
  sigma = static_cast<float>(std::sqrt(variance));
  return kTrue;
}

int MVectorMinMax(int dimension, int n, const float* vector, float& minimum, float& maximum,
                  int& status) {
  static constexpr IRoutine kR{"MVectorMinMax", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  if (n <= 0 || n > dimension || !vector) return IFail(kR, kStatusIntRange1, status);
  float lo = vector[0], hi = vector[0];
  for (int i = 1; i < n; ++i) {
    lo = std::min(lo, vector[i]);
    hi = std::max(hi, vector[i]);
  }
  minimum = lo;
  maximum = hi;
  return kTrue;
}

int MVectorSort(int dimension, int n, float* vector, float* work, int& status) {
  static constexpr IRoutine kR{"MVectorSort", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  if (n <= 1) return kTrue;
  if (n > dimension || !vector || !work) return IFail(kR, kStatusIntRange1, status);
  float* from = vector;
  float* to = work;
  for (int run = 1; run < n; run *= 2) {
    for (int left = 0; left < n; left += 2 * run) {
      const int middle = std::min(left + run, n);
      const int right = std::min(left + 2 * run, n);
      int i = left, j = middle, k = left;
      // Equal values keep their order: the left run wins ties.
      while (i < middle && j < right) to[k++] = from[j] < from[i] ? from[j++] : from[i++];
      while (i < middle) to[k++] = from[i++];
      while (j < right) to[k++] = from[j++];
    }
    std::swap(from, to);
  }
  if (from != vector) std::memcpy(vector, from, static_cast<std::size_t>(n) * sizeof(float));
  return kTrue;
}

// ---- Added shapes ---------------------------------------------------------------------------

int MCircularFunction(const DataSet& profile, DataSet& d, int& status) {
  static constexpr IRoutine kR{"MCircularFunction", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!ICheckDataLayout(kR.name, profile, status) || !ICheckData(kR.name, d, status)) {
    return kFalse;
  }
  if (!Defined(profile) || !Defined(d) || profile.numX < 1) return kFalse;
  const double step = profile.pixelSizeX;
  if (!(step > 0.0) || !std::isfinite(step)) return IFail(kR, kStatusRealRange1, status);
  const float* p = profile.data.get();  // the profile's first row
  const int last = profile.numX - 1;
  const double sizeX = d.pixelSizeX, sizeY = d.pixelSizeY;
  for (int y = d.startY; y <= d.endY; ++y) {
    float* row = d.data.get() + IIndex(d, 0, y);
    const double dy = (y + 0.5 - d.beamCentreY) * sizeY;
    for (int x = d.startX; x <= d.endX; ++x) {
      const double dx = (x + 0.5 - d.beamCentreX) * sizeX;
      const double t = std::sqrt(dx * dx + dy * dy) / step;
      float value = p[last];
      if (t < static_cast<double>(last)) {  // also keeps the index inside the int range
        const int m = static_cast<int>(t);
        const double f = t - m;
        value = static_cast<float>(p[m] * (1.0 - f) + p[m + 1] * f);
      }
      row[x] = Held(row[x] + value);
    }
  }
  return kTrue;
}

int MROIAddPlane(float a, float b, float c, DataSet& d, int& status) {
  static constexpr IRoutine kR{"MROIAddPlane", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  if (!Usable(kR, d, status)) return kFalse;
  for (int y = d.startY; y <= d.endY; ++y) {
    float* row = d.data.get() + IIndex(d, 0, y);
    const float base = a + c * static_cast<float>(y);
    for (int x = d.startX; x <= d.endX; ++x) row[x] = Held(row[x] + base + b * static_cast<float>(x));
  }
  return kTrue;
}

int MROIAddEllipse(float centreX, float centreY, float height, float halfWidthX,
                   float halfWidthY, float angle, DataSet& d, int& status) {
  static constexpr IRoutine kR{"MROIAddEllipse", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  if (angle != 0.0f) {
    IWarning("MROIAddEllipse: Angle non-zero is not implemented yet", status);
    return kFalse;
  }
  if (!(halfWidthX > 0.0f)) return IFail(kR, kStatusRealRange1, status);
  if (!(halfWidthY > 0.0f)) return IFail(kR, kStatusRealRange2, status);
  if (!Usable(kR, d, status)) return kFalse;
  for (int y = d.startY; y <= d.endY; ++y) {
    float* row = d.data.get() + IIndex(d, 0, y);
    const double v = (y + 0.5 - centreY) / halfWidthY;
    for (int x = d.startX; x <= d.endX; ++x) {
      const double u = (x + 0.5 - centreX) / halfWidthX;
      const double r2 = u * u + v * v;
      if (r2 < 1.0) row[x] = Held(row[x] + static_cast<float>(height * std::sqrt(1.0 - r2)));
    }
  }
  return kTrue;
}

// ---- Array helpers --------------------------------------------------------------------------

int MMatrixROIMove(int sDimX, int sDimY, const float* source, int x0, int y0, int x1, int y1,
                   int tDimX, int tDimY, int tX, int tY, float* target, int& status) {
  static constexpr IRoutine kR{"MMatrixROIMove", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  if (!CheckMove(kR, sDimX, sDimY, source, x0, y0, x1, y1, tDimX, tDimY, tX, tY, target,
                 status)) {
    return kFalse;
  }
  const auto width = static_cast<std::size_t>(x1 - x0 + 1);
  for (int y = y0; y <= y1; ++y) {
    std::memmove(target + At(tDimX, tX, tY + (y - y0)), source + At(sDimX, x0, y),
                 width * sizeof(float));
  }
  return kTrue;
}

