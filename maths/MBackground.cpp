// Polynomial and elliptical background models.
#include "maths/MBackground.h"

#include "maths/MPeaks.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "core/status.h"
#include "maths/MManipulate.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

// c0 / 2 + sum ck Tk(t) by Clenshaw's recurrence.
double Clenshaw(int order, const float* c, double t) {
  double b1 = 0.0, b2 = 0.0;
  for (int k = order; k >= 1; --k) {
    const double b0 = c[k] + 2.0 * t * b1 - b2;
    b2 = b1;
    b1 = b0;
  }
  return 0.5 * c[0] + t * b1 - b2;
}

double Normalised(double x, double minimum, double maximum) {
  if (!(maximum > minimum)) return 0.0;
  const double t = ((x - minimum) - (maximum - x)) / (maximum - minimum);
  return std::clamp(t, -1.0, 1.0);
}

float Held(double v) { return static_cast<float>(std::clamp(v, -3.0e38, 3.0e38)); }

}  // namespace

int MFitPolynomial1D(int order, int weighted, float first, float step, int n, const float* values,
                     const float* weights, float& minimum, float& maximum, float* coefficients,
                     float& rms, int& status) {
  static constexpr IRoutine kR{"MFitPolynomial1D", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (order < 0 || n < 2) return IFail(kR, kStatusIntRange1, status);
  if (n < order + 1) return IFail(kR, kStatusBadGeometry, status);
  if (!(step > 0.0f)) return IFail(kR, kStatusRealRange1, status);
  minimum = first;
  maximum = static_cast<float>(first + static_cast<double>(n - 1) * step);
  const double range = static_cast<double>(n - 1) * step;
  std::vector<double> t, y, w2;
  t.reserve(static_cast<std::size_t>(n));
  for (int k = 0; k < n; ++k) {
    double w = 1.0;
    if (weighted) {
      w = weights ? weights[k] : 1.0;
      if (!(w > 0.0)) continue;
    }
    t.push_back((2.0 * step * k - range) / range);
    y.push_back(values[k]);
    w2.push_back(w * w);
  }
  std::fill(coefficients, coefficients + order + 1, 0.0f);
  const int count = static_cast<int>(t.size());
  if (count == 0) return IFail(kR, kStatusIntRange1, status);
  const int used = std::min(order, count - 1);
  std::vector<double> pPrev(t.size(), 0.0), pCur(t.size(), 1.0), pNext(t.size());
  std::vector<double> cPrev(static_cast<std::size_t>(used) + 2, 0.0), cCur(cPrev), cNext(cPrev);
  std::vector<double> result(static_cast<std::size_t>(used) + 1, 0.0);
  cCur[0] = 1.0;
  double sPrev = 1.0;
  std::vector<double>& r = y;
  for (int j = 0; j <= used; ++j) {
    double s = 0.0, sr = 0.0, st = 0.0;
    for (int k = 0; k < count; ++k) {
      const double p2 = w2[k] * pCur[k] * pCur[k];
      s += p2;
      sr += w2[k] * r[k] * pCur[k];
      st += t[k] * p2;
    }
    if (!(s > 0.0)) break;
    const double a = sr / s;
    for (int k = 0; k < count; ++k) r[k] -= a * pCur[k];
    for (int k = 0; k <= j; ++k) result[k] += a * cCur[k];
    if (j == used) break;
    const double alpha = 2.0 * st / s, beta = j == 0 ? 0.0 : s / sPrev;
    for (int k = 0; k < count; ++k)
      pNext[k] = (2.0 * t[k] - alpha) * pCur[k] - beta * pPrev[k];
    std::fill(cNext.begin(), cNext.end(), 0.0);
    for (int k = 0; k <= j; ++k) {
      if (k == 0) {
        cNext[1] += 2.0 * cCur[0];
      } else {
        cNext[k + 1] += cCur[k];
        cNext[k - 1] += cCur[k];
      }
      cNext[k] -= alpha * cCur[k] + beta * cPrev[k];
    }
    std::swap(pPrev, pCur);
    std::swap(pCur, pNext);
    std::swap(cPrev, cCur);
    std::swap(cCur, cNext);
    sPrev = s;
  }
  for (int k = 0; k <= used; ++k) coefficients[k] = Held(k == 0 ? 2.0 * result[0] : result[k]);
  double sum = 0.0;
  for (int k = 0; k < count; ++k) sum += w2[k] * r[k] * r[k];
  rms = used < count - 1 && sum > 0.0 ? static_cast<float>(std::sqrt(sum / (count - used - 1)))
                                      : 0.0f;
  return kTrue;
}

int MPolynomial1D(int order, float minimum, float maximum, const float* coefficients,
                  int firstIndex, int n, float* output, int& status) {
  static constexpr IRoutine kR{"MPolynomial1D", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  if (order < 0 || n <= 0 || !output) return IFail(kR, kStatusIntRange1, status);
  if (minimum > maximum) return IFail(kR, kStatusRealRange1, status);
  for (int i = 0; i < n; ++i) {
    const double t = Normalised(firstIndex + i + 0.5, minimum, maximum);
    output[i] = Held(output[i] + Clenshaw(order, coefficients, t));
  }
  return kTrue;
}

int MFitPolynomial2D(int orderX, int orderY, int maskFlag, int weighted, const DataSet& d,
                     Polynomial2D& poly, int& status) {
  static constexpr IRoutine kR{"MFitPolynomial2D", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!ICheckDataLayout(kR.name, d, status)) return kFalse;
  if (!(d.dataDefined && d.data)) return IFail(kR, kStatusNotAllocated, status);
  if (orderX < 0) return IFail(kR, kStatusIntRange1, status);
  if (orderY < 0) return IFail(kR, kStatusIntRange2, status);
  if (weighted && !(d.variancesDefined && d.variances)) {
    IInfo("MPolynomial: Weighted fit requested, but variance values are not defined", status);
    weighted = kFalse;
  }
  const bool masked = maskFlag && d.maskAllocated && d.mask;
  const int rw = d.endX - d.startX + 1, rows = d.endY - d.startY + 1;
  if (rw < orderX + 1 || rw < 2) return IFail(kR, kStatusBadGeometry, status);
  const int nx = orderX + 1;
  std::vector<float> rowCoefficients(static_cast<std::size_t>(rows) * nx, 0.0f);
  std::vector<float> rowWeights(static_cast<std::size_t>(rows), 0.0f);
  std::vector<float> weights(static_cast<std::size_t>(rw));
  const bool anyWeights = masked || weighted;
  // A row with fewer pixels that count than X coefficients cannot tell its coefficients (a
  // wholly masked row has none at all): it weighs 0 in the Y fits and is counted, not fitted.
  int leftOut = 0;
  for (int r = 0; r < rows; ++r) {
    const int y = d.startY + r;
    double total = 0.0;
    int counted = 0;
    for (int i = 0; i < rw; ++i) {
      const std::size_t at = IIndex(d, d.startX + i, y);
      float w = 1.0f;
      if (masked && d.mask[at]) {
        w = 0.0f;
      } else if (weighted) {
        const float v = d.variances[at];
        w = v > 0.0f ? 1.0f / std::sqrt(v) : 0.0f;
      }
      weights[i] = w;
      total += w;
      counted += w > 0.0f;
    }
    if (counted < nx) {
      ++leftOut;
      continue;
    }
    float rms = 0.0f, lo = 0.0f, hi = 0.0f;
    if (!MFitPolynomial1D(orderX, anyWeights ? kTrue : kFalse, d.startX + 0.5f, 1.0f, rw,
                          d.data.get() + IIndex(d, d.startX, y), weights.data(), lo, hi,
                          rowCoefficients.data() + static_cast<std::size_t>(r) * nx, rms,
                          status)) {
      return kFalse;
    }
    rowWeights[r] = static_cast<float>(total);
  }
  const char* pixels = weighted ? "unmasked pixels of positive variance" : "unmasked pixels";
  if (leftOut == rows) {
    IWarning(IFormat("MFitPolynomial2D: No row of the region has %i or more %s: nothing to fit",
                     nx, pixels),
             status);
    return kFalse;
  }
  if (leftOut > 0) {
    IInfo(IFormat("MFitPolynomial2D: %i of the %i rows have fewer than %i %s: left out of the fit",
                  leftOut, rows, nx, pixels),
          status);
  }
  const float minX = d.startX + 0.5f, maxX = static_cast<float>(d.startX + 0.5 + (rw - 1));
  poly.orderX = orderX;
  poly.minimumX = minX, poly.maximumX = maxX;
  poly.minimumY = d.startY + 0.5f, poly.maximumY = d.endY + 0.5f;
  if (rows == 1) {
    poly.orderY = 0;
    poly.coefficients.assign(static_cast<std::size_t>(nx), 0.0f);
    for (int k = 0; k < nx; ++k) poly.coefficients[k] = 2.0f * rowCoefficients[k];
    return kTrue;
  }
  const int oy = std::min(orderY, rows - 1);
  poly.orderY = oy;
  poly.coefficients.assign(static_cast<std::size_t>(nx) * (oy + 1), 0.0f);
  std::vector<float> column(static_cast<std::size_t>(rows));
  for (int k = 0; k < nx; ++k) {
    for (int r = 0; r < rows; ++r) column[r] = rowCoefficients[static_cast<std::size_t>(r) * nx + k];
    float lo = 0.0f, hi = 0.0f, rms = 0.0f;
    if (!MFitPolynomial1D(oy, anyWeights ? kTrue : kFalse, d.startY + 0.5f, 1.0f, rows,
                          column.data(), rowWeights.data(), lo, hi,
                          poly.coefficients.data() + static_cast<std::size_t>(k) * (oy + 1), rms,
                          status)) {
      return kFalse;
    }
    poly.minimumY = lo, poly.maximumY = hi;
  }
  return kTrue;
}

int MPolynomial2D(const Polynomial2D& poly, DataSet& out, int& status) {
  static constexpr IRoutine kR{"MPolynomial2D", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  if (!ICheckDataLayout(kR.name, out, status)) return kFalse;
  if (!out.data) return IFail(kR, kStatusNotAllocated, status);
  if (poly.orderX < 0 || poly.orderY < 0 ||
      poly.coefficients.size() <
          static_cast<std::size_t>(poly.orderX + 1) * static_cast<std::size_t>(poly.orderY + 1)) {
    return IFail(kR, kStatusIntRange1, status);
  }
  const int nx = poly.orderX + 1;
  std::vector<float> xSeries(static_cast<std::size_t>(nx));
  const int rw = out.endX - out.startX + 1;
  for (int y = out.startY; y <= out.endY; ++y) {
    const double ty = Normalised(y + 0.5, poly.minimumY, poly.maximumY);
    for (int k = 0; k < nx; ++k)
      xSeries[k] = Held(Clenshaw(poly.orderY, poly.coefficients.data() +
                                                  static_cast<std::size_t>(k) * (poly.orderY + 1),
                                 ty));
    if (!MPolynomial1D(poly.orderX, poly.minimumX, poly.maximumX, xSeries.data(), out.startX, rw,
                       out.data.get() + IIndex(out, out.startX, y), status)) {
      return kFalse;
    }
  }
  return kTrue;
}

// ---- Elliptical background ----------------------------------------------------------------------

int MEllipticalFunction(const std::vector<float>& profile, float angle, float ellipticity,
                        DataSet& m, int& status) {
  static constexpr IRoutine kR{"MEllipticalFunction", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  if (profile.empty() || !m.data) return IFail(kR, kStatusIntRange1, status);
  if (!(ellipticity > 0.0f)) return IFail(kR, kStatusRealRange2, status);
  const double c = std::cos(angle), s = std::sin(angle);
  const double last = static_cast<double>(profile.size()) - 1.0;
  for (int y = m.startY; y <= m.endY; ++y) {
    float* row = m.data.get() + IIndex(m, 0, y);
    const double Y = (y + 0.5 - m.beamCentreY) * m.pixelSizeY;
    for (int x = m.startX; x <= m.endX; ++x) {
      const double X = (x + 0.5 - m.beamCentreX) * m.pixelSizeX;
      const double u = X * c - Y * s, v = (X * s + Y * c) / ellipticity;
      const double r = std::sqrt(u * u + v * v) / m.pixelSizeX;
      double value;
      if (!(r < last)) {
        value = profile.back();  // beyond the end, or not a number
      } else {
        const auto i = static_cast<std::size_t>(r);
        const double f = r - static_cast<double>(i);
        value = profile[i] * (1.0 - f) + profile[i + 1] * f;
      }
      row[x] = Held(row[x] + value);
    }
  }
  return kTrue;
}

int MPlaneElliptical(float a, float b, float c, float angle, float ellipticity, int order,
                     float minimum, float maximum, const float* coefficients, DataSet& m,
                     int& status) {
  static constexpr IRoutine kR{"MPlaneElliptical", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  if (!(ellipticity > 0.0f)) {
    IWarning(IFormat("MPlaneElliptical: Out of range: ellipticity = %g",
                     static_cast<double>(ellipticity)),
             status);
    return IFail(kR, kStatusRealRange1, status);
  }
  if (order < 0) return IFail(kR, kStatusIntRange1, status);
  if (maximum < minimum) return IFail(kR, kStatusBadGeometry, status);
  if (!m.data || m.numX <= 0 || m.numY <= 0) return IFail(kR, kStatusNotAllocated, status);
  const double diagonal = std::sqrt(static_cast<double>(m.numX) * m.numX +
                                    static_cast<double>(m.numY) * m.numY);
  const int bins = static_cast<int>(std::min(diagonal + 0.999999, 1.0e8));
  std::vector<float> profile(static_cast<std::size_t>(std::max(bins, 1)), 0.0f);
  int local = kStatusGood;
  if (!MPolynomial1D(order, minimum, maximum, coefficients, 0, static_cast<int>(profile.size()),
                     profile.data(), local)) {
    status = local;
    return kFalse;
  }
  if (!MROISetValue(0.0f, m, status) || !MROIAddPlane(a, b, c, m, status)) return kFalse;
  return MEllipticalFunction(profile, angle, ellipticity, m, status);
}

int MAddTwinPolarGaussian(float x, float y, float intensity, float radialSigma,
                          float angularSigma, DataSet& m, int& status) {
  static constexpr IRoutine kR{"MAddTwinPolarGaussian", "V0.1"};
  if (IBad(kR, status)) return kFalse;
  if (!m.data) return IFail(kR, kStatusNotAllocated, status);
  // The peak and its twin at the opposite azimuth, both as strong, about the beam centre.
  PolarGaussianPeak peak;
  peak.symmetryX = m.beamCentreX;
  peak.symmetryY = m.beamCentreY;
  peak.centreX = x;
  peak.centreY = y;
  peak.intensity = intensity;
  peak.radialSigma = std::max(radialSigma, 1.0e-4f);
  peak.azimuthalSigma = std::max(angularSigma, 1.0e-4f);
  peak.twin = kTrue;
  peak.twinRatio = 1.0f;
  peak.maxSigmas = 5;
  peak.method = kGaussianExact;
  return MPolarGaussian2D(peak, m, status);
}

int MObFunPlaneEllipse(const DataSet& data, const ModelParameters& p, DataSet& m, int& status) {
  static constexpr IRoutine kR{"MObFunPlaneEllipse", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!m.dataAllocated || !m.data) return IFail(kR, kStatusNotAllocated, status);
  const int order = *static_cast<const int*>(p.clientWords[0]);
  const float minimum = *static_cast<const float*>(p.clientWords[1]);
  const float maximum = *static_cast<const float*>(p.clientWords[2]);
  if (order < 0 || p.count < order + 6) return IFail(kR, kStatusIntRange1, status);
  const float ellipticity = std::clamp(p.values[4], 0.01f, 10.0f);
  double angle = p.values[3];
  while (angle > kPi) angle -= 2.0 * kPi;
  while (angle < -kPi) angle += 2.0 * kPi;
  if (!std::isfinite(angle)) angle = 0.0;
  (void)data;
  if (!MPlaneElliptical(p.values[0], p.values[1], p.values[2], static_cast<float>(angle),
                        ellipticity, order, minimum, maximum, p.values.data() + 5, m, status)) {
    return kFalse;
  }
  if (p.count >= order + 11) {
    const float* g = p.values.data() + order + 6;
    const float radial = std::max(g[3], 1.0e-4f), angular = std::max(g[4], 1.0e-4f);
    IInfo(IFormat("Polar X, Y = %f %f", static_cast<double>(m.beamCentreX),
                  static_cast<double>(m.beamCentreY)),
          status);
    IInfo(IFormat("X, Y = %f %f, intensity = %f", static_cast<double>(g[0]),
                  static_cast<double>(g[1]), static_cast<double>(g[2])),
          status);
    IInfo(IFormat("radial sigma = %f, angular sigma = %f", static_cast<double>(radial),
                  static_cast<double>(angular)),
          status);
    if (!MAddTwinPolarGaussian(g[0], g[1], g[2], radial, angular, m, status)) return kFalse;
  }
  return kTrue;
}
