// Ring points located by fitting the pixels' intensities against their 2-theta about a
// geometry: each azimuthal segment of each ring is a peak in 2-theta with its neighbours'
// tails and a straight background, fitted by least squares pixel by pixel.
//
// Why not the centre of mass of a radial profile: broad rings overlap, and the tails of the
// neighbours inside a window pull its centre of mass towards them (by half a pixel and more
// for rings 10 pixels wide); the profile along the radius of one centre is not the profile
// across the ring on a tilted detector; and the bins of a profile weigh the pixels that the
// window cuts. In 2-theta every pixel sits where the geometry puts it, the neighbours are
// modelled where the calibrant puts them, and a ring found a little off its predicted 2-theta
// gives a point a little off the predicted ring: fitted again, the geometry converges onto
// the rings themselves.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <system_error>
#include <thread>
#include <vector>

#include "core/cores.h"
#include "core/status.h"
#include "data/memory.h"
#include "maths/MRingFit.h"

namespace {

constexpr double kTwoPi = 2.0 * M_PI;
// The widest window either side of a ring, in pixels; the narrowest.
constexpr double kWidestWindow = 25.0;
constexpr double kNarrowestWindow = 4.0;
// A neighbour whose centre lies within this many of its widths of the window takes part.
constexpr double kTailReach = 4.5;
constexpr int kMostPeaks = 6;
// The widths are medians over every so many segments.
constexpr int kWidthSegmentStep = 4;
constexpr int kMostParameters = 3 + 2 * kMostPeaks;

struct Peak {
  double twoTheta = 0.0;  // radians
  double scale = 0.0;     // pixels per radian of 2-theta, about this peak
  double sigma = 1.5;     // width in pixels
};

// One pixel of a window: its offset from the window's peak (pixels of 2-theta), value and
// azimuth on the detector.
struct Sample {
  float u, value, azimuth;
};

// Pixels of one window gathered in narrow slices of 2-theta (an eighth of a ring width): the
// mean offset and value of the slice's pixels, and their number as its weight. The fit is
// then as long as the window is wide in ring widths, not in pixels.
struct Slice {
  double u = 0.0, value = 0.0, weight = 0.0;
};

// The model of one window: peaks at offsets o_q + shift with widths s_q and heights a_q over
// a straight background b0 + b1 u.
struct WindowModel {
  int peaks = 0;
  int own = 0;
  double offset[kMostPeaks] = {};
  double sigma[kMostPeaks] = {};
  bool sigmaFree[kMostPeaks] = {};
};

struct WindowFit {
  double shift = 0.0, height = 0.0, sigma = 0.0, rms = 0.0;
  bool ok = false;
};

// Solves the symmetric n x n system a x = b in place (Gaussian elimination with pivoting);
// false when singular.
bool Solve(int n, double a[kMostParameters][kMostParameters], double b[kMostParameters]) {
  for (int c = 0; c < n; ++c) {
    int pivot = c;
    for (int r = c + 1; r < n; ++r)
      if (std::fabs(a[r][c]) > std::fabs(a[pivot][c])) pivot = r;
    if (!(std::fabs(a[pivot][c]) > 1.0e-300)) return false;
    if (pivot != c) {
      for (int k = 0; k < n; ++k) std::swap(a[c][k], a[pivot][k]);
      std::swap(b[c], b[pivot]);
    }
    for (int r = c + 1; r < n; ++r) {
      const double f = a[r][c] / a[c][c];
      if (f == 0.0) continue;
      for (int k = c; k < n; ++k) a[r][k] -= f * a[c][k];
      b[r] -= f * b[c];
    }
  }
  for (int r = n - 1; r >= 0; --r) {
    double s = b[r];
    for (int k = r + 1; k < n; ++k) s -= a[r][k] * b[k];
    b[r] = s / a[r][r];
    if (!std::isfinite(b[r])) return false;
  }
  return true;
}

// Parameters: shift, b0, b1, heights (one per peak), then the free widths.
struct Layout {
  int count = 0;
  int width[kMostPeaks] = {};  // index of peak q's width, -1 when fixed
};

Layout LayoutOf(const WindowModel& m) {
  Layout l;
  l.count = 3 + m.peaks;
  for (int q = 0; q < m.peaks; ++q) l.width[q] = m.sigmaFree[q] ? l.count++ : -1;
  return l;
}

double SigmaOf(const WindowModel& m, const Layout& l, const double* p, int q) {
  return l.width[q] >= 0 ? p[l.width[q]] : m.sigma[q];
}

// The model's value at u and, when wanted, its derivatives by every parameter.
double Evaluate(const WindowModel& m, const Layout& l, const double* p, double u, double* grad) {
  double value = p[1] + p[2] * u;
  if (grad) {
    std::fill(grad, grad + l.count, 0.0);
    grad[1] = 1.0;
    grad[2] = u;
  }
  for (int q = 0; q < m.peaks; ++q) {
    const double s = SigmaOf(m, l, p, q);
    const double t = u - m.offset[q] - p[0];
    const double z = 0.5 * t * t / (s * s);
    if (z > 40.0) continue;  // beyond nine widths: nothing of this peak
    const double e = std::exp(-z);
    const double h = p[3 + q];
    value += h * e;
    if (grad) {
      grad[0] += h * e * t / (s * s);
      grad[3 + q] = e;
      if (l.width[q] >= 0) grad[l.width[q]] = h * e * t * t / (s * s * s);
    }
  }
  return value;
}

// Heights and background for the widths and offsets as they are (a linear least-squares
// problem), as the start of the full fit.
bool LinearStart(const WindowModel& m, const Layout& l, const Slice* samples, int n, double* p) {
  const int k = 2 + m.peaks;
  double a[kMostParameters][kMostParameters] = {};
  double b[kMostParameters] = {};
  std::vector<double> basis(static_cast<std::size_t>(k));
  for (int i = 0; i < n; ++i) {
    const double u = samples[i].u;
    basis[0] = 1.0;
    basis[1] = u;
    for (int q = 0; q < m.peaks; ++q) {
      const double s = SigmaOf(m, l, p, q);
      const double t = u - m.offset[q] - p[0];
      basis[static_cast<std::size_t>(2 + q)] = std::exp(-0.5 * t * t / (s * s));
    }
    const double w = samples[i].weight;
    for (int r = 0; r < k; ++r) {
      b[r] += w * basis[static_cast<std::size_t>(r)] * samples[i].value;
      for (int c = 0; c < k; ++c) {
        a[r][c] += w * basis[static_cast<std::size_t>(r)] * basis[static_cast<std::size_t>(c)];
      }
    }
  }
  for (int r = 0; r < k; ++r) a[r][r] *= 1.0 + 1.0e-9;
  if (!Solve(k, a, b)) return false;
  p[1] = b[0];
  p[2] = b[1];
  for (int q = 0; q < m.peaks; ++q) p[3 + q] = b[2 + q];
  return true;
}

double SumOfSquares(const WindowModel& m, const Layout& l, const double* p, const Slice* samples,
                    int n) {
  double sum = 0.0;
  for (int i = 0; i < n; ++i) {
    const double r = samples[i].value - Evaluate(m, l, p, samples[i].u, nullptr);
    sum += samples[i].weight * r * r;
  }
  return sum;
}

// Levenberg-Marquardt on the window's pixels.
WindowFit FitWindow(const WindowModel& m, const Slice* samples, int n, double pixels,
                    double startSigma) {
  WindowFit fit;
  const Layout l = LayoutOf(m);
  if (n < l.count + 3 || pixels < 2 * l.count + 4) return fit;
  double p[kMostParameters] = {};
  for (int q = 0; q < m.peaks; ++q)
    if (l.width[q] >= 0) p[l.width[q]] = q == m.own ? startSigma : m.sigma[q];
  if (!LinearStart(m, l, samples, n, p)) return fit;
  double chi = SumOfSquares(m, l, p, samples, n);
  double lambda = 1.0e-3;
  bool converged = false;
  double lastShiftStep = HUGE_VAL;
  std::vector<double> grad(static_cast<std::size_t>(l.count));
  for (int iteration = 0; iteration < 40 && !converged; ++iteration) {
    double a[kMostParameters][kMostParameters] = {};
    double g[kMostParameters] = {};
    for (int i = 0; i < n; ++i) {
      const double w = samples[i].weight;
      const double r = samples[i].value - Evaluate(m, l, p, samples[i].u, grad.data());
      for (int j = 0; j < l.count; ++j) {
        g[j] += w * grad[static_cast<std::size_t>(j)] * r;
        for (int k = 0; k <= j; ++k) {
          a[j][k] += w * grad[static_cast<std::size_t>(j)] * grad[static_cast<std::size_t>(k)];
        }
      }
    }
    for (int j = 0; j < l.count; ++j)
      for (int k = j + 1; k < l.count; ++k) a[j][k] = a[k][j];
    bool stepped = false;
    for (int attempt = 0; attempt < 8 && !stepped; ++attempt) {
      double damped[kMostParameters][kMostParameters];
      double step[kMostParameters];
      for (int j = 0; j < l.count; ++j) {
        for (int k = 0; k < l.count; ++k) damped[j][k] = a[j][k];
        damped[j][j] = a[j][j] * (1.0 + lambda) + 1.0e-12;
        step[j] = g[j];
      }
      if (!Solve(l.count, damped, step)) {
        lambda *= 10.0;
        continue;
      }
      double trial[kMostParameters];
      for (int j = 0; j < l.count; ++j) trial[j] = p[j] + step[j];
      bool sane = std::fabs(trial[0]) < 1.0e3;
      for (int q = 0; q < m.peaks; ++q) {
        if (l.width[q] >= 0) sane = sane && trial[l.width[q]] > 0.05 && trial[l.width[q]] < 100.0;
      }
      const double trialChi = sane ? SumOfSquares(m, l, trial, samples, n) : HUGE_VAL;
      if (trialChi <= chi) {
        const double change = chi - trialChi;
        std::copy(trial, trial + l.count, p);
        lastShiftStep = std::fabs(step[0]);
        converged = change <= 1.0e-8 * chi || lastShiftStep < 1.0e-4;
        chi = trialChi;
        lambda = std::max(lambda * 0.1, 1.0e-12);
        stepped = true;
      } else {
        lambda *= 10.0;
      }
    }
    if (!stepped) converged = true;  // no step lowers the sum any more: a minimum
  }
  fit.shift = p[0];
  fit.height = p[3 + m.own];
  fit.sigma = SigmaOf(m, l, p, m.own);
  fit.rms = std::sqrt(chi / pixels);
  // Still creeping after the iterations allowed, but by less than a thousandth of a pixel:
  // as good as settled for a point.
  fit.ok = (converged || lastShiftStep < 1.0e-3) && std::isfinite(fit.shift) &&
           std::isfinite(fit.sigma);
  return fit;
}

// The detector position (metres) on the azimuth from the beam centre where 2-theta is the
// target; false when the ray does not reach it.
bool PositionOf(const PowderGeometry& g, double azimuth, double twoTheta, double& x, double& y) {
  const double c = std::cos(azimuth), s = std::sin(azimuth);
  const double target = static_cast<double>(g.distance) * std::tan(twoTheta);
  double t = target, r = 0.0;
  for (int i = 0; i < 30; ++i) {
    if (!MPowderRadius(g, g.beamX + t * c, g.beamY + t * s, r)) return false;
    const double h = 1.0e-6 * std::max(t, 1.0e-3);
    double r2 = 0.0;
    if (!MPowderRadius(g, g.beamX + (t + h) * c, g.beamY + (t + h) * s, r2)) return false;
    const double slope = (r2 - r) / h;
    if (!(slope > 0.0)) return false;
    const double step = (target - r) / slope;
    t += step;
    if (std::fabs(step) < 1.0e-12) break;
  }
  if (!(t > 0.0) || !MPowderRadius(g, g.beamX + t * c, g.beamY + t * s, r) ||
      !(std::fabs(r - target) < 1.0e-9)) {
    return false;
  }
  x = g.beamX + t * c;
  y = g.beamY + t * s;
  return true;
}

// Runs work(part) for every part on the cores this process may use (the calling thread among
// them), each part once; on fewer when threads cannot be started. Parts write disjoint results, so the result
// does not depend on how many threads ran.
template <typename Work>
void RunInParts(int parts, Work&& work) {
  std::atomic<int> next{0};
  auto worker = [&]() {
    for (int part = next++; part < parts; part = next++) work(part);
  };
  const unsigned threads = ICoresAvailable();
  std::vector<std::thread> pool;
  for (unsigned t = 1; t < threads && static_cast<int>(t) < parts; ++t) {
    try {
      pool.emplace_back(worker);
    } catch (const std::system_error&) {
      break;  // the calling thread takes the rest
    }
  }
  worker();
  for (auto& thread : pool) thread.join();
}

}  // namespace

int MRingProfilePoints(const DataSet& d, const PowderGeometry& g, int rings,
                       const float dSpacings[], int segments, int maxPoints, int counts[],
                       float xs[], float ys[], int& status, float widths[]) {
  static constexpr IRoutine kR{"MRingProfilePoints", "V0.1"};
  if (IBad(kR, status)) return kFalse;
  if (rings < 1 || !dSpacings || !counts || !xs || !ys) return IFail(kR, kStatusIntRange1, status);
  if (segments < 1 || maxPoints < 1) return IFail(kR, kStatusIntRange2, status);
  if (!d.dataDefined || !d.data) return IFail(kR, kStatusNotAllocated, status);
  for (int k = 0; k < rings; ++k) counts[k] = 0;
  const double pixel = 0.5 * (static_cast<double>(d.pixelSizeX) + d.pixelSizeY);
  if (!(g.distance > 0.0f) || !(g.wavelength > 0.0f) || !(pixel > 0.0)) return kTrue;

  // The distinct 2-theta of the rings (two rings of one d-spacing are one peak), in order.
  std::vector<Peak> peaks;
  std::vector<int> peakOf(static_cast<std::size_t>(rings), -1);
  {
    std::vector<double> angles;
    for (int k = 0; k < rings; ++k) {
      const double sine = g.wavelength / (2.0 * static_cast<double>(dSpacings[k]));
      if (!(dSpacings[k] > 0.0f) || !(sine > 0.0) || !(sine < std::sin(M_PI / 4.0))) continue;
      angles.push_back(2.0 * std::asin(sine));
    }
    std::sort(angles.begin(), angles.end());
    for (double a : angles) {
      if (!peaks.empty() && a - peaks.back().twoTheta < 1.0e-7) continue;
      const double c = std::cos(a);
      peaks.push_back({a, g.distance / (pixel * c * c), 1.5});
    }
    for (int k = 0; k < rings; ++k) {
      const double sine = g.wavelength / (2.0 * static_cast<double>(dSpacings[k]));
      if (!(dSpacings[k] > 0.0f) || !(sine > 0.0) || !(sine < std::sin(M_PI / 4.0))) continue;
      const double a = 2.0 * std::asin(sine);
      for (std::size_t q = 0; q < peaks.size(); ++q)
        if (std::fabs(peaks[q].twoTheta - a) < 1.0e-7) peakOf[static_cast<std::size_t>(k)] = static_cast<int>(q);
    }
  }
  const int numPeaks = static_cast<int>(peaks.size());
  if (numPeaks == 0) return kTrue;
  // The widths given: every peak of a ring must have one.
  bool widthsGiven = widths != nullptr;
  for (int k = 0; k < rings && widthsGiven; ++k) {
    const int q = peakOf[static_cast<std::size_t>(k)];
    if (q < 0) continue;
    if (!(widths[k] > 0.0f && widths[k] < kWidestWindow)) {
      widthsGiven = false;
      break;
    }
    peaks[static_cast<std::size_t>(q)].sigma = widths[k];
  }
  // The gathering window of each peak: up to its neighbours' centres, at most kWidestWindow.
  std::vector<double> low(peaks.size()), high(peaks.size());
  for (int q = 0; q < numPeaks; ++q) {
    const double widest = kWidestWindow / peaks[static_cast<std::size_t>(q)].scale;
    const double t = peaks[static_cast<std::size_t>(q)].twoTheta;
    low[static_cast<std::size_t>(q)] =
        q > 0 ? std::max(peaks[static_cast<std::size_t>(q) - 1].twoTheta, t - widest) : t - widest;
    high[static_cast<std::size_t>(q)] =
        q + 1 < numPeaks ? std::min(peaks[static_cast<std::size_t>(q) + 1].twoTheta, t + widest)
                         : t + widest;
    if (widthsGiven) {
      // Only the position fits follow, in windows of a few widths: no pixel beyond them is
      // wanted (for narrow rings most of the image lies beyond them).
      const Peak& p = peaks[static_cast<std::size_t>(q)];
      const double reach = std::max(kNarrowestWindow, 6.0 * p.sigma) / p.scale;
      low[static_cast<std::size_t>(q)] = std::max(low[static_cast<std::size_t>(q)], t - reach);
      high[static_cast<std::size_t>(q)] = std::min(high[static_cast<std::size_t>(q)], t + reach);
    }
  }
  // The windows as tan 2-theta (a little wider), so that a pixel outside them all is passed
  // over before its 2-theta is worked out.
  std::vector<double> tanPeak(peaks.size()), tanLow(peaks.size()), tanHigh(peaks.size());
  for (int q = 0; q < numPeaks; ++q) {
    const std::size_t i = static_cast<std::size_t>(q);
    tanPeak[i] = std::tan(peaks[i].twoTheta);
    tanLow[i] = low[i] <= 0.0 ? -INFINITY : std::tan(low[i]) * (1.0 - 1.0e-9);
    tanHigh[i] = high[i] >= M_PI / 2.0 ? INFINITY : std::tan(high[i]) * (1.0 + 1.0e-9);
  }
  // As windowsOf: only the peaks either side can hold the pixel.
  auto inAnyWindow = [&](double tangent) {
    const int above = static_cast<int>(
        std::upper_bound(tanPeak.begin(), tanPeak.end(), tangent) - tanPeak.begin());
    for (int q : {above - 1, above}) {
      if (q < 0 || q >= numPeaks) continue;
      const std::size_t i = static_cast<std::size_t>(q);
      if (tangent >= tanLow[i] && tangent <= tanHigh[i]) return true;
    }
    return false;
  };

  // Every pixel's 2-theta and azimuth; then the pixels of each (segment, peak) window,
  // counted, placed and filled.
  const int x0 = std::max(0, d.startX), x1 = std::min(d.numX - 1, d.endX);
  const int y0 = std::max(0, d.startY), y1 = std::min(d.numY - 1, d.endY);
  if (x1 < x0 || y1 < y0) return kTrue;
  const std::int64_t width = x1 - x0 + 1;
  const std::int64_t pixels = width * (y1 - y0 + 1);
  const std::int64_t buckets = static_cast<std::int64_t>(segments) * numPeaks;
  IArray<float> angle, azimuth, solid;
  IArray<std::int64_t> start;
  if (!IAllocateMemory("MRingProfilePoints: TWO_THETA", pixels, angle, status) ||
      !IAllocateMemory("MRingProfilePoints: AZIMUTH", pixels, azimuth, status) ||
      !IAllocateMemory("MRingProfilePoints: SOLID_ANGLE", pixels, solid, status) ||
      !IAllocateMemory("MRingProfilePoints: WINDOW_STARTS", buckets + 1, start, status)) {
    return kFalse;
  }
  const unsigned char* mask = (d.maskInUse && d.maskAllocated && d.mask) ? d.mask.get() : nullptr;
  const double segmentWidth = kTwoPi / segments;
  std::fill(start.get(), start.get() + buckets + 1, 0);
  // Windows overlap only between neighbours: a pixel belongs to at most two.
  auto windowsOf = [&](double t, int found[2]) {
    const auto it = std::upper_bound(peaks.begin(), peaks.end(), t,
                                     [](double v, const Peak& p) { return v < p.twoTheta; });
    const int above = static_cast<int>(it - peaks.begin());
    int n = 0;
    for (int q : {above - 1, above}) {
      if (q < 0 || q >= numPeaks) continue;
      if (t >= low[static_cast<std::size_t>(q)] && t <= high[static_cast<std::size_t>(q)]) found[n++] = q;
    }
    return n;
  };
  auto segmentOf = [&](double a) {
    return std::min(segments - 1, std::max(0, static_cast<int>(a / segmentWidth)));
  };
  const double alpha = M_PI / 2.0 - g.tiltAxisAngle;
  const double sa = std::sin(alpha), ca = std::cos(alpha);
  const double sinTilt = std::sin(static_cast<double>(g.tiltAngle));
  const double cosTilt = std::cos(static_cast<double>(g.tiltAngle));
  const double distance = g.distance;
  // In bands of rows, each counting its own pixels of each window.
  const int bands = std::min(16, y1 - y0 + 1);
  std::vector<std::vector<std::int64_t>> bandCounts(static_cast<std::size_t>(bands));
  RunInParts(bands, [&](int band) {
    const int bandY0 = y0 + static_cast<int>(static_cast<std::int64_t>(y1 - y0 + 1) * band / bands);
    const int bandY1 = y0 + static_cast<int>(static_cast<std::int64_t>(y1 - y0 + 1) * (band + 1) / bands) - 1;
    std::vector<std::int64_t>& counted = bandCounts[static_cast<std::size_t>(band)];
    counted.assign(static_cast<std::size_t>(buckets) + 1, 0);
    for (int iy = bandY0; iy <= bandY1; ++iy) {
      for (int ix = x0; ix <= x1; ++ix) {
        const std::int64_t i = (ix - x0) + (iy - y0) * width;
        angle[i] = -1.0f;
        const std::size_t index = IIndex(d, ix, iy);
        if (mask && mask[index]) continue;
        if (!std::isfinite(d.data[index])) continue;
        const double x = (ix + 0.5) * d.pixelSizeX, y = (iy + 0.5) * d.pixelSizeY;
        // The transform of MPowderRadiusAndPath with its sines and cosines taken once.
        const double gx = x - g.beamX, hy = y - g.beamY;
        const double l = sa * gx + ca * hy, gt = ca * gx - sa * hy;
        const double z = distance - gt * sinTilt;
        if (!(z > 0.0)) continue;
        const double m = cosTilt * distance * gt / z, lt = distance * l / z;
        const double r = std::sqrt(m * m + lt * lt);
        const double across = cosTilt * gt;
        const double path = std::sqrt(across * across + l * l + z * z);
        if (!std::isfinite(r) || !std::isfinite(path)) continue;
        if (!inAnyWindow(r / distance)) continue;
        const double t = std::atan2(r, static_cast<double>(g.distance));
        int found[2];
        const int n = windowsOf(t, found);
        if (n == 0) continue;  // in no ring's window
        const double reach = path / g.distance;
        solid[i] = static_cast<float>(reach * reach * reach);
        double a = std::atan2(y - g.beamY, x - g.beamX);
        if (a < 0.0) a += kTwoPi;
        angle[i] = static_cast<float>(t);
        azimuth[i] = static_cast<float>(a);
        for (int w = 0; w < n; ++w) ++counted[static_cast<std::size_t>(segmentOf(a) * numPeaks + found[w] + 1)];
      }
    }
  });
  for (const auto& counted : bandCounts)
    for (std::int64_t b = 0; b <= buckets; ++b) start[b] += counted[static_cast<std::size_t>(b)];
  for (std::int64_t b = 0; b < buckets; ++b) start[b + 1] += start[b];
  const std::int64_t total = start[buckets];
  IArray<Sample> samples;
  IArray<std::int64_t> fill;
  if (total < 1) return kTrue;
  if (!IAllocateMemory("MRingProfilePoints: PIXELS", total, samples, status) ||
      !IAllocateMemory("MRingProfilePoints: FILL", buckets, fill, status)) {
    return kFalse;
  }
  std::copy(start.get(), start.get() + buckets, fill.get());
  for (int iy = y0; iy <= y1; ++iy) {
    for (int ix = x0; ix <= x1; ++ix) {
      const std::int64_t i = (ix - x0) + (iy - y0) * width;
      const double t = angle[i];
      if (t < 0.0) continue;
      // Per unit solid angle: a pixel further from the sample sees less of the ring, and
      // across a broad ring on a tilted detector that slope moves the peak.
      const double value = d.data[IIndex(d, ix, iy)] * static_cast<double>(solid[i]);
      int found[2];
      const int n = windowsOf(t, found);
      for (int w = 0; w < n; ++w) {
        const Peak& p = peaks[static_cast<std::size_t>(found[w])];
        const std::int64_t b = static_cast<std::int64_t>(segmentOf(azimuth[i])) * numPeaks + found[w];
        samples[fill[b]++] = {static_cast<float>((t - p.twoTheta) * p.scale),
                              static_cast<float>(value), azimuth[i]};
      }
    }
  }

  // The model of peak q's window [lowU, highU] (pixels about the peak): the peak and the
  // neighbours whose tails reach into it.
  auto modelOf = [&](int q, double lowU, double highU, bool widthsFree, WindowModel& m) {
    const Peak& own = peaks[static_cast<std::size_t>(q)];
    m.peaks = 0;
    m.own = -1;
    // The nearest neighbours first, so that a crowd of rings never pushes out the own one.
    std::vector<int> order;
    for (int j = 0; j < numPeaks; ++j) order.push_back(j);
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
      return std::fabs(peaks[static_cast<std::size_t>(a)].twoTheta - own.twoTheta) <
             std::fabs(peaks[static_cast<std::size_t>(b)].twoTheta - own.twoTheta);
    });
    for (int j : order) {
      if (m.peaks >= kMostPeaks) break;
      const Peak& other = peaks[static_cast<std::size_t>(j)];
      const double offset = (other.twoTheta - own.twoTheta) * own.scale;
      const double reach = kTailReach * other.sigma;
      if (j != q && (offset < lowU - reach || offset > highU + reach)) continue;
      if (j == q) m.own = m.peaks;
      m.offset[m.peaks] = offset;
      m.sigma[m.peaks] = other.sigma;
      m.sigmaFree[m.peaks] = widthsFree || j == q;
      ++m.peaks;
    }
  };
  // Peak q's window in pixels about it: within its gathering window, at most a few widths.
  auto windowOf = [&](int q, double& lowU, double& highU) {
    const Peak& p = peaks[static_cast<std::size_t>(q)];
    const double reach = std::max(kNarrowestWindow, 6.0 * p.sigma);
    lowU = std::max((low[static_cast<std::size_t>(q)] - p.twoTheta) * p.scale, -reach);
    highU = std::min((high[static_cast<std::size_t>(q)] - p.twoTheta) * p.scale, reach);
  };
  // One window's pixels in slices; each thread gathers into its own.
  struct Gathered {
    std::vector<Slice> chosen;
    // Within a segment the azimuth does not wrap round: its plain mean is the segment's.
    double chosenPixels = 0.0, azimuthSum = 0.0;
  };
  auto gather = [&](Gathered& into, std::int64_t b, double lowU, double highU, double sliceWidth) {
    std::vector<Slice>& chosen = into.chosen;
    const int slices = std::max(1, static_cast<int>(std::ceil((highU - lowU) / sliceWidth)));
    chosen.assign(static_cast<std::size_t>(slices), Slice{});
    into.chosenPixels = into.azimuthSum = 0.0;
    for (std::int64_t i = start[b]; i < start[b + 1]; ++i) {
      const double u = samples[i].u;
      if (!(u >= lowU && u <= highU)) continue;
      const int k = std::min(slices - 1, static_cast<int>((u - lowU) / sliceWidth));
      Slice& slice = chosen[static_cast<std::size_t>(k)];
      slice.u += u;
      slice.value += samples[i].value;
      slice.weight += 1.0;
      into.chosenPixels += 1.0;
      into.azimuthSum += samples[i].azimuth;
    }
    std::size_t kept = 0;
    for (const Slice& slice : chosen) {
      if (slice.weight > 0.0) {
        chosen[kept++] = {slice.u / slice.weight, slice.value / slice.weight, slice.weight};
      }
    }
    chosen.resize(kept);
  };

  // Else first the widths: every window fitted with all widths free, from two starts; each
  // peak takes the median of its segments' widths.
  for (int pass = 0; pass < 2 && !widthsGiven; ++pass) {
    std::vector<std::vector<double>> widths(peaks.size());
    // The peaks' windows are independent: fitted side by side.
    RunInParts(numPeaks, [&](int q) {
      Gathered gathered;
      const std::vector<Slice>& chosen = gathered.chosen;
      double lowU = 0.0, highU = 0.0;
      if (pass == 0) {
        lowU = (low[static_cast<std::size_t>(q)] - peaks[static_cast<std::size_t>(q)].twoTheta) *
               peaks[static_cast<std::size_t>(q)].scale;
        highU = (high[static_cast<std::size_t>(q)] - peaks[static_cast<std::size_t>(q)].twoTheta) *
                peaks[static_cast<std::size_t>(q)].scale;
      } else {
        windowOf(q, lowU, highU);
      }
      WindowModel m;
      modelOf(q, lowU, highU, true, m);
      const double sliceWidth = std::clamp(peaks[static_cast<std::size_t>(q)].sigma / 8.0, 0.02, 0.5);
      for (int s = 0; s < segments; s += kWidthSegmentStep) {
        gather(gathered, static_cast<std::int64_t>(s) * numPeaks + q, lowU, highU, sliceWidth);
        WindowFit best;
        double bestRms = HUGE_VAL;
        for (double startSigma : {1.0, 3.0}) {
          if (pass == 1 && startSigma != 1.0) break;
          if (best.ok && startSigma != 1.0 && best.sigma < 2.0) break;  // settled narrow
          const WindowFit fit = FitWindow(m, chosen.data(), static_cast<int>(chosen.size()),
                                          gathered.chosenPixels,
                                          pass == 1 ? peaks[static_cast<std::size_t>(q)].sigma
                                                    : startSigma);
          if (fit.ok && fit.height > 0.0 && fit.rms < bestRms) {
            best = fit;
            bestRms = fit.rms;
          }
        }
        if (best.ok && best.height > 3.0 * best.rms && best.sigma > 0.1 &&
            best.sigma < 0.4 * kWidestWindow && std::fabs(best.shift) < 0.5 * (highU - lowU)) {
          widths[static_cast<std::size_t>(q)].push_back(best.sigma);
        }
      }
    });
    for (int q = 0; q < numPeaks; ++q) {
      std::vector<double>& w = widths[static_cast<std::size_t>(q)];
      if (w.empty()) continue;
      std::nth_element(w.begin(), w.begin() + static_cast<std::ptrdiff_t>(w.size() / 2), w.end());
      peaks[static_cast<std::size_t>(q)].sigma = w[w.size() / 2];
    }
  }

  // Then the positions: each segment's window with the neighbours' widths held, its own free.
  std::vector<double> pointX(static_cast<std::size_t>(buckets), NAN), pointY(pointX.size(), NAN);
  RunInParts(numPeaks, [&](int q) {
    Gathered gathered;
    const std::vector<Slice>& chosen = gathered.chosen;
    const Peak& p = peaks[static_cast<std::size_t>(q)];
    double lowU = 0.0, highU = 0.0;
    windowOf(q, lowU, highU);
    WindowModel m;
    modelOf(q, lowU, highU, false, m);
    const double sliceWidth = std::clamp(p.sigma / 8.0, 0.02, 0.5);
    for (int s = 0; s < segments; ++s) {
      const std::int64_t b = static_cast<std::int64_t>(s) * numPeaks + q;
      gather(gathered, b, lowU, highU, sliceWidth);
      const int n = static_cast<int>(chosen.size());
      const WindowFit fit = FitWindow(m, chosen.data(), n, gathered.chosenPixels, p.sigma);
      if (!fit.ok || !(fit.height > 0.0)) continue;
      // A peak that stands out of the noise, of a width like its ring's, with pixels on
      // both sides of it inside the window.
      if (!(fit.height > 3.0 * fit.rms)) continue;
      if (!(fit.sigma > 0.3 * p.sigma && fit.sigma < 3.0 * p.sigma + 0.5)) continue;
      if (fit.shift - 1.5 * fit.sigma < lowU || fit.shift + 1.5 * fit.sigma > highU) continue;
      double below = 0.0, above = 0.0, inside = 0.0;
      for (const Slice& slice : chosen) {
        const double t = slice.u - fit.shift;
        if (t < -fit.sigma) below += slice.weight;
        if (t > fit.sigma) above += slice.weight;
        if (std::fabs(t) <= fit.sigma) inside += slice.weight;
      }
      if (below < 2.0 || above < 2.0 || inside < 2.0) continue;
      double x = 0.0, y = 0.0;
      if (!PositionOf(g, gathered.azimuthSum / gathered.chosenPixels,
                      p.twoTheta + fit.shift / p.scale, x, y)) {
        continue;
      }
      pointX[static_cast<std::size_t>(b)] = x;
      pointY[static_cast<std::size_t>(b)] = y;
    }
  });
  for (int k = 0; k < rings; ++k) {
    const int q = peakOf[static_cast<std::size_t>(k)];
    if (q < 0) continue;
    if (widths) widths[k] = static_cast<float>(peaks[static_cast<std::size_t>(q)].sigma);
    float* rx = xs + static_cast<std::size_t>(k) * maxPoints;
    float* ry = ys + static_cast<std::size_t>(k) * maxPoints;
    for (int s = 0; s < segments && counts[k] < maxPoints; ++s) {
      const std::size_t b = static_cast<std::size_t>(s) * numPeaks + q;
      if (!std::isfinite(pointX[b])) continue;
      rx[counts[k]] = static_cast<float>(pointX[b]);
      ry[counts[k]] = static_cast<float>(pointY[b]);
      ++counts[k];
    }
  }
  return kTrue;
}
