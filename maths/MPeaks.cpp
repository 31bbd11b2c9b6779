#include "maths/MPeaks.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "core/status.h"
#include "maths/MManipulate.h"

namespace {

constexpr int kTableSize = 601;  // exp(-(0.01 h)^2 / 2) for h = 0 to 600
constexpr float kMinusHuge = -3.4028235e38f;
constexpr int kStatusModelTooSmall = 1014;
constexpr int kFitRuns = 3;
// The start estimate's window stops at 1001 x 1001 pixels: each step scans the whole window,
// and a flat image of many mega-pixels would otherwise take minutes to give up.
constexpr int kMaximumWindowHalf = 500;

const std::array<float, kTableSize>& Table() {
  static const std::array<float, kTableSize> table = [] {
    std::array<float, kTableSize> t{};
    for (int h = 0; h < kTableSize; ++h) {
      const double x = 0.01 * h;
      t[static_cast<std::size_t>(h)] = static_cast<float>(std::exp(-x * x / 2.0));
    }
    return t;
  }();
  return table;
}

bool KnownMethod(int method) {
  return method == kGaussianNearest || method == kGaussianInterpolate || method == kGaussianExact;
}

// MGaussian without the status, for x >= 0 and a known method.
inline float Gauss(double x, int method) {
  if (std::isnan(x)) return 0.0f;
  switch (method) {
    case kGaussianNearest: {
      if (x > 6.0) return 0.0f;
      return Table()[static_cast<std::size_t>(static_cast<int>(100.0 * x + 0.4999999))];
    }
    case kGaussianInterpolate: {
      if (x >= 6.0) return 0.0f;
      const double scaled = 100.0 * x;
      const int i = std::min(static_cast<int>(scaled), kTableSize - 2);
      const double t = scaled - i;
      const auto& table = Table();
      return static_cast<float>(table[static_cast<std::size_t>(i)] +
                                t * (table[static_cast<std::size_t>(i) + 1] -
                                     table[static_cast<std::size_t>(i)]));
    }
    default: return static_cast<float>(std::exp(-x * x / 2.0));
  }
}

bool PositiveFinite(double v) { return std::isfinite(v) && v > 0.0; }

// Columns (or rows) whose centre lies in [low, high], clipped to [first, last]; false when
// none. Done in doubles so a far-away peak never overflows an integer.
bool PixelSpan(double low, double high, int first, int last, int& from, int& to) {
  const double a = std::max(std::ceil(low - 0.5), static_cast<double>(first));
  const double b = std::min(std::floor(high - 0.5), static_cast<double>(last));
  if (!(a <= b)) return false;
  from = static_cast<int>(a);
  to = static_cast<int>(b);
  return true;
}

int CheckPeakControls(const IRoutine& r, int method, int maxSigmas, int& status) {
  if (!KnownMethod(method)) return IFail(r, kStatusIntRange1, status);
  if (maxSigmas < 0 || maxSigmas > 20) return IFail(r, kStatusRealRange1, status);
  return kTrue;
}

// The 2-D Gaussian of parameters 1 to 6 over the model's region, the centre moved by
// (shiftX, shiftY) into the model's own coordinates.
int CalculateShifted(const ModelParameters& p, DataSet& model, double shiftX, double shiftY,
                     int& status) {
  if (!MROISetValue(p.values[0], model, status)) return kFalse;
  Gaussian2DPeak peak;
  peak.centreX = static_cast<float>(p.values[1] - shiftX);
  peak.centreY = static_cast<float>(p.values[2] - shiftY);
  peak.intensity = p.values[3];
  peak.angle = p.values[4];
  peak.sigma1 = std::fabs(p.values[5]);
  peak.sigma2 = std::fabs(p.values[6]);
  peak.maxSigmas = 5;
  peak.method = kGaussianInterpolate;
  // A degenerate trial (a sigma of 0, a value that is not finite) is a flat model.
  if (!PositiveFinite(peak.sigma1) || !PositiveFinite(peak.sigma2) ||
      !std::isfinite(peak.centreX) || !std::isfinite(peak.centreY) ||
      !std::isfinite(peak.intensity) || !std::isfinite(peak.angle)) {
    return kTrue;
  }
  return MGaussian2D(peak, model, status);
}

// The fit's own objective: the model covers the data's region only, from its (0, 0); the
// region start travels in the first client word.
int RegionObjective(const DataSet&, const ModelParameters& p, DataSet& model, int& status) {
  const auto* start = static_cast<const PixelRegion*>(p.clientWords[0]);
  return CalculateShifted(p, model, start ? start->startX : 0, start ? start->startY : 0,
                          status);
}

// Residuals of the objective at the real values in `p` (model - data, weighted as asked).
bool Residuals(const DataSet& data, const ModelControl& c, const ModelParameters& p,
               DataSet& model, std::vector<double>& out, int& status) {
  out.clear();
  if (!c.objective(data, p, model, status)) return false;
  const bool masked = data.maskInUse && data.mask;
  for (int y = data.startY; y <= data.endY; ++y) {
    for (int x = data.startX; x <= data.endX; ++x) {
      const std::size_t i = IIndex(data, x, y);
      if (masked && data.mask[i]) continue;
      const int mx = c.sameCoordinates ? x : x - data.startX;
      const int my = c.sameCoordinates ? y : y - data.startY;
      double r = model.data[IIndex(model, mx, my)];
      if (c.subtractData) r -= data.data[i];
      if (c.weighted) {
        if (!data.variances || !(data.variances[i] > 0.0f)) continue;
        r /= data.variances[i];
      }
      out.push_back(r);
    }
  }
  return true;
}

}  // namespace

double MIntoPlusMinusPi(double angle) {
  if (!std::isfinite(angle)) return angle;
  angle = std::fmod(angle + M_PI, 2.0 * M_PI);
  if (angle < 0.0) angle += 2.0 * M_PI;
  return angle - M_PI;
}

float MGaussian(float x, int method, int& status) {
  static constexpr IRoutine kR{"MGaussian", "V0.2"};
  if (IBad(kR, status)) return 0.0f;
  if (!KnownMethod(method)) {
    IFail(kR, kStatusIntRange1, status);
    return 0.0f;
  }
  if (x < 0.0f) {
    IFail(kR, kStatusIntRange1, status);
    return kMinusHuge;
  }
  return Gauss(x, method);
}

int MGaussian2D(const Gaussian2DPeak& p, DataSet& d, int& status, long long* added) {
  static constexpr IRoutine kR{"MGaussian2D", "V0.3"};
  if (added) *added = 0;
  if (IBad(kR, status)) return kFalse;
  if (!CheckPeakControls(kR, p.method, p.maxSigmas, status)) return kFalse;
  if (!d.dataAllocated || !d.data) return IFail(kR, kStatusNotAllocated, status);
  if (!ICheckDataLayout("MGaussian2D:", d, status)) return kFalse;
  if (!PositiveFinite(p.sigma1) || !PositiveFinite(p.sigma2)) {
    IWarning(IFormat("MGaussian2D: Sigmas must be positive numbers (%g, %g); nothing added",
                     static_cast<double>(p.sigma1), static_cast<double>(p.sigma2)),
             status);
    return kFalse;
  }
  if (!std::isfinite(p.centreX) || !std::isfinite(p.centreY) || !std::isfinite(p.intensity) ||
      !std::isfinite(p.angle)) {
    IWarning("MGaussian2D: Centre, intensity or angle is not a number; nothing added", status);
    return kFalse;
  }
  const double n = p.maxSigmas;
  const double c = std::cos(p.angle), s = std::sin(p.angle);
  const double halfX = n * (p.sigma1 * std::fabs(c) + p.sigma2 * std::fabs(s));
  const double halfY = n * (p.sigma1 * std::fabs(s) + p.sigma2 * std::fabs(c));
  int x0, x1, y0, y1;
  if (!PixelSpan(p.centreX - halfX, p.centreX + halfX, d.startX, d.endX, x0, x1) ||
      !PixelSpan(p.centreY - halfY, p.centreY + halfY, d.startY, d.endY, y0, y1)) {
    return kTrue;  // wholly outside the region
  }
  long long count = 0;
  for (int y = y0; y <= y1; ++y) {
    const double dy = y + 0.5 - p.centreY;
    for (int x = x0; x <= x1; ++x) {
      const double dx = x + 0.5 - p.centreX;
      // (dx, dy) turned by -angle onto the axes.
      const double a = std::fabs(c * dx + s * dy) / p.sigma1;
      const double b = std::fabs(-s * dx + c * dy) / p.sigma2;
      if (std::max(a, b) > n) continue;
      d.data[IIndex(d, x, y)] += p.intensity * Gauss(a, p.method) * Gauss(b, p.method);
      ++count;
    }
  }
  if (added) *added = count;
  return kTrue;
}

int MPolarGaussian2D(const PolarGaussianPeak& p, DataSet& d, int& status, long long* added) {
  static constexpr IRoutine kR{"MPolarGaussian2D", "V0.3"};
  if (added) *added = 0;
  if (IBad(kR, status)) return kFalse;
  if (!CheckPeakControls(kR, p.method, p.maxSigmas, status)) return kFalse;
  if (!d.dataAllocated || !d.data) return IFail(kR, kStatusNotAllocated, status);
  if (!ICheckDataLayout("MPolarGaussian2D:", d, status)) return kFalse;
  if (!PositiveFinite(p.radialSigma) || !PositiveFinite(p.azimuthalSigma)) {
    IWarning(IFormat("MPolarGaussian2D: Sigmas must be positive numbers (%g, %g); nothing added",
                     static_cast<double>(p.radialSigma), static_cast<double>(p.azimuthalSigma)),
             status);
    return kFalse;
  }
  if (!std::isfinite(p.symmetryX) || !std::isfinite(p.symmetryY) || !std::isfinite(p.centreX) ||
      !std::isfinite(p.centreY) || !std::isfinite(p.intensity) ||
      (p.twin && !std::isfinite(p.twinRatio))) {
    IWarning("MPolarGaussian2D: A centre, intensity or twin ratio is not a number; nothing added",
             status);
    return kFalse;
  }
  const double n = p.maxSigmas;
  const double r0 = std::hypot(p.centreX - p.symmetryX, p.centreY - p.symmetryY);
  const double phi0 = std::atan2(p.centreY - p.symmetryY, p.centreX - p.symmetryX);
  const double twinPhi = MIntoPlusMinusPi(phi0 + M_PI);
  const double twinIntensity = static_cast<double>(p.twinRatio) * p.intensity;
  const double reach = n * p.radialSigma + r0;
  int x0, x1, y0, y1;
  if (!PixelSpan(p.symmetryX - reach, p.symmetryX + reach, d.startX, d.endX, x0, x1) ||
      !PixelSpan(p.symmetryY - reach, p.symmetryY + reach, d.startY, d.endY, y0, y1)) {
    return kTrue;
  }
  auto azimuthFactor = [&](double phi, double centre) {
    double difference = std::fabs(phi - centre);
    if (difference > M_PI) difference = std::fabs(difference - 2.0 * M_PI);
    const double b = difference / p.azimuthalSigma;
    return b <= n ? static_cast<double>(Gauss(b, p.method)) : -1.0;
  };
  long long count = 0;
  for (int y = y0; y <= y1; ++y) {
    const double dy = y + 0.5 - p.symmetryY;
    for (int x = x0; x <= x1; ++x) {
      const double dx = x + 0.5 - p.symmetryX;
      const double a = std::fabs(std::hypot(dx, dy) - r0) / p.radialSigma;
      if (a > n) continue;
      const double radial = Gauss(a, p.method);
      const double phi = std::atan2(dy, dx);
      double value = 0.0;
      bool touched = false;
      const double first = azimuthFactor(phi, phi0);
      if (first >= 0.0) {
        value += p.intensity * first * radial;
        touched = true;
      }
      if (p.twin) {
        const double second = azimuthFactor(phi, twinPhi);
        if (second >= 0.0) {
          value += twinIntensity * second * radial;
          touched = true;
        }
      }
      if (!touched) continue;
      d.data[IIndex(d, x, y)] += static_cast<float>(value);
      ++count;
    }
  }
  if (added) *added = count;
  return kTrue;
}

int MModelCalculate(const DataSet&, const ModelParameters& parameters, DataSet& model,
                    int& status) {
  static constexpr IRoutine kR{"MModelCalculate", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  if (parameters.count < 7 || parameters.values.size() < 7) {
    return IFail(kR, kStatusIntRange1, status);
  }
  return CalculateShifted(parameters, model, 0.0, 0.0, status);
}

int MModelErrors(const DataSet& data, const ModelControl& control, ModelParameters& parameters,
                 DataSet& model, std::vector<float>& errors, int& status) {
  static constexpr IRoutine kR{"MModelErrors", "V0.1"};
  errors.assign(static_cast<std::size_t>(parameters.count), 0.0f);
  if (IBad(kR, status)) return kFalse;
  if (!control.objective) return IFail(kR, kStatusIntRange1, status);
  std::vector<int> free;
  for (int j = 0; j < parameters.count; ++j)
    if (!parameters.fixed[static_cast<std::size_t>(j)]) free.push_back(j);
  const int n = static_cast<int>(free.size());
  if (n == 0) return kFalse;

  ModelParameters p = parameters;
  std::vector<double> base;
  if (!Residuals(data, control, p, model, base, status)) return kFalse;
  const int m = static_cast<int>(base.size());
  if (m <= n) return kFalse;
  double sum = 0.0;
  for (double r : base) sum += r * r;

  // Central differences with steps of a tenth of each parameter's scale.
  std::vector<std::vector<double>> columns(static_cast<std::size_t>(n));
  std::vector<double> plus, minus;
  for (int k = 0; k < n; ++k) {
    const std::size_t j = static_cast<std::size_t>(free[static_cast<std::size_t>(k)]);
    double h = 0.1 * std::fabs(parameters.scales[j]);
    if (!(h > 0.0)) h = 1.0e-3 * std::max(1.0, std::fabs(static_cast<double>(p.values[j])));
    const float saved = p.values[j];
    p.values[j] = static_cast<float>(saved + h);
    const double up = p.values[j];
    if (!Residuals(data, control, p, model, plus, status)) return kFalse;
    p.values[j] = static_cast<float>(saved - h);
    const double down = p.values[j];
    if (!Residuals(data, control, p, model, minus, status)) return kFalse;
    p.values[j] = saved;
    if (static_cast<int>(plus.size()) != m || static_cast<int>(minus.size()) != m) return kFalse;
    auto& column = columns[static_cast<std::size_t>(k)];
    column.resize(static_cast<std::size_t>(m));
    for (int i = 0; i < m; ++i) {
      column[static_cast<std::size_t>(i)] =
          (plus[static_cast<std::size_t>(i)] - minus[static_cast<std::size_t>(i)]) / (up - down);
    }
  }
  // The model shows the parameters again.
  if (!Residuals(data, control, p, model, plus, status)) return kFalse;

  // Normal matrix, inverted by Gauss-Jordan elimination with partial pivoting.
  const std::size_t un = static_cast<std::size_t>(n);
  std::vector<double> a(un * 2 * un, 0.0);
  for (std::size_t r = 0; r < un; ++r) {
    for (std::size_t c = 0; c < un; ++c) {
      double dot = 0.0;
      for (int i = 0; i < m; ++i)
        dot += columns[r][static_cast<std::size_t>(i)] * columns[c][static_cast<std::size_t>(i)];
      a[r * 2 * un + c] = dot;
    }
    a[r * 2 * un + un + r] = 1.0;
  }
  double largest = 0.0;
  for (std::size_t r = 0; r < un; ++r) largest = std::max(largest, std::fabs(a[r * 2 * un + r]));
  if (!(largest > 0.0)) return kFalse;
  for (std::size_t col = 0; col < un; ++col) {
    std::size_t pivot = col;
    for (std::size_t r = col + 1; r < un; ++r)
      if (std::fabs(a[r * 2 * un + col]) > std::fabs(a[pivot * 2 * un + col])) pivot = r;
    if (!(std::fabs(a[pivot * 2 * un + col]) > 1.0e-13 * largest)) return kFalse;
    if (pivot != col)
      for (std::size_t c = 0; c < 2 * un; ++c) std::swap(a[col * 2 * un + c], a[pivot * 2 * un + c]);
    const double d = a[col * 2 * un + col];
    for (std::size_t c = 0; c < 2 * un; ++c) a[col * 2 * un + c] /= d;
    for (std::size_t r = 0; r < un; ++r) {
      if (r == col) continue;
      const double f = a[r * 2 * un + col];
      if (f == 0.0) continue;
      for (std::size_t c = 0; c < 2 * un; ++c) a[r * 2 * un + c] -= f * a[col * 2 * un + c];
    }
  }
  // The sandwich form A^-1 (sum r_i^2 g_i g_i^T) A^-1 m / (m - n), g_i the row of J at
  // residual i: right also when the noise differs from pixel to pixel (counting noise under
  // an unweighted fit), where s^2 A^-1 would take the mean noise for every parameter.
  std::vector<double> inverse(un * un);
  for (std::size_t r = 0; r < un; ++r)
    for (std::size_t c = 0; c < un; ++c) inverse[r * un + c] = a[r * 2 * un + un + c];
  std::vector<double> h(un * un, 0.0);  // rows of J A^-1, summed as r^2 (J A^-1)^T (J A^-1)
  std::vector<double> g(un);
  for (int i = 0; i < m; ++i) {
    const double r2 = base[static_cast<std::size_t>(i)] * base[static_cast<std::size_t>(i)];
    for (std::size_t k = 0; k < un; ++k) {
      double dot = 0.0;
      for (std::size_t l = 0; l < un; ++l)
        dot += columns[l][static_cast<std::size_t>(i)] * inverse[l * un + k];
      g[k] = dot;
    }
    for (std::size_t k = 0; k < un; ++k) h[k * un + k] += r2 * g[k] * g[k];
  }
  const double correction = static_cast<double>(m) / (m - n);
  (void)sum;
  for (std::size_t k = 0; k < un; ++k) {
    const double variance = correction * h[k * un + k];
    errors[static_cast<std::size_t>(free[k])] =
        static_cast<float>(variance > 0.0 ? std::sqrt(variance) : 0.0);
  }
  return kTrue;
}

int MDiz2IGaussian(const DataSet& data, float& background, Gaussian2DPeak& peak, DataSet& model,
                   int& status, GaussianFitReport* report) {
  static constexpr IRoutine kR{"MDiz2IGaussian", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  static constexpr float kScales[7] = {5.0f, 0.5f, 0.5f, 5.0f, 0.3141593f, 0.5f, 0.5f};
  return MFitGaussian2D(data, kScales, background, peak, model, status, report);
}

int MFitGaussian2D(const DataSet& data, const float scales[7], float& background,
                   Gaussian2DPeak& peak, DataSet& model, int& status, GaussianFitReport* report) {
  static constexpr IRoutine kR{"MDiz2IGaussian", "V0.3"};
  if (IBad(kR, status)) return kFalse;
  if (!model.dataAllocated || !model.data) return IFail(kR, kStatusNotAllocated, status);
  if (!ICheckData("MDiz2IGaussian: data", data, status)) return kFalse;
  if (data.endX >= model.dimX || data.endY >= model.dimY) {
    return IFail(kR, kStatusModelTooSmall, status);
  }

  // The fit works on a model of the region alone: the caller's model changes only on success.
  PixelRegion region{data.startX, data.startY, data.endX, data.endY};
  DataSet scratch;
  if (!IAllocateData(data.endX - data.startX + 1, data.endY - data.startY + 1, scratch, status)) {
    return kFalse;
  }
  IDefineWholeImage(scratch, scratch.dimX, scratch.dimY);
  IDescriptionCopy(data, scratch);

  ModelControl control;
  control.weighted = kFalse;
  control.subtractData = kTrue;
  control.sameCoordinates = kFalse;
  control.maximumEvaluations = 100;
  control.tolerance = 1.0e-5f;
  control.stepFactor = 100.0f;
  control.differenceStep = 1.0e-5f;
  control.outputLevel = kModelInitialFinal;
  control.objective = RegionObjective;

  ModelParameters p;
  p.Resize(7);
  p.values = {background, peak.centreX, peak.centreY, peak.intensity,
              peak.angle, peak.sigma1,  peak.sigma2};
  p.scales.assign(scales, scales + 7);
  p.clientWords[0] = &region;

  GaussianFitReport local;
  GaussianFitReport& out = report ? *report : local;
  out = GaussianFitReport{};
  // A run that ends at the evaluation limit while still improving goes on from where it
  // stopped, up to kFitRuns runs in all.
  int ran = kFalse;
  int evaluations = 0;
  for (int run = 0; run < kFitRuns; ++run) {
    ran = MModelMinimise(data, control, p, scratch, out.result, status);
    evaluations += out.result.evaluations;
    if (!ran || status != kStatusGood || out.result.code != kModelEvaluations) break;
  }
  out.result.evaluations = evaluations;
  if (status != kStatusGood) return kFalse;

  const auto& v = p.values;
  bool finite = true;
  for (float value : v) finite = finite && std::isfinite(value);
  const bool converged = ran && finite && out.result.code != kModelEvaluations &&
                         out.result.code != kModelRunning && PositiveFinite(std::fabs(v[5])) &&
                         PositiveFinite(std::fabs(v[6]));
  if (!converged) {
    IWarning(IFormat("MDiz2IGaussian: The 2-D Gaussian fit did not converge (result code %i, %i "
                     "function calls); data and model are unchanged",
                     out.result.code, out.result.evaluations),
             status);
    return kFalse;
  }
  if (!MModelErrors(data, control, p, scratch, out.errors, status)) {
    out.errors.assign(7, 0.0f);
    if (status != kStatusGood) return kFalse;
  }

  // Sigmas positive, sigma 1 the larger, the angle in [-pi, pi).
  float s1 = std::fabs(v[5]), s2 = std::fabs(v[6]);
  double angle = v[4];
  if (s2 > s1) {
    std::swap(s1, s2);
    std::swap(out.errors[5], out.errors[6]);
    angle += M_PI / 2.0;
  }
  angle = MIntoPlusMinusPi(angle);
  if (angle >= M_PI / 2.0) angle -= M_PI;  // an axis, not a direction: (-pi/2, pi/2]
  if (angle < -M_PI / 2.0) angle += M_PI;

  background = v[0];
  peak.centreX = v[1];
  peak.centreY = v[2];
  peak.intensity = v[3];
  peak.angle = static_cast<float>(angle);
  peak.sigma1 = s1;
  peak.sigma2 = s2;
  out.converged = kTrue;
  const int m = (data.endX - data.startX + 1) * (data.endY - data.startY + 1);
  out.rms = static_cast<float>(std::sqrt(std::max(0.0f, out.result.sumOfSquares) / std::max(m, 1)));

  // The fitted model over the region of the caller's model.
  ModelParameters fitted = p;
  fitted.values = {background, peak.centreX, peak.centreY, peak.intensity,
                   peak.angle, peak.sigma1,  peak.sigma2};
  if (!RegionObjective(data, fitted, scratch, status)) return kFalse;
  if (!model.dataDefined) {
    std::fill(model.data.get(), model.data.get() + IElementCount(model), 0.0f);
    model.numX = std::min(data.numX, model.dimX);
    model.numY = std::min(data.numY, model.dimY);
    model.dataDefined = kTrue;
  }
  for (int y = data.startY; y <= data.endY; ++y) {
    for (int x = data.startX; x <= data.endX; ++x) {
      model.data[IIndex(model, x, y)] = scratch.data[IIndex(scratch, x - data.startX, y - data.startY)];
    }
  }
  model.startX = data.startX;
  model.startY = data.startY;
  model.endX = data.endX;
  model.endY = data.endY;
  IDataChanged();
  return kTrue;
}

int MInit2DGaussian(int x, int y, const DataSet& d, PixelRegion& region, float& background,
                    Gaussian2DPeak& peak, int& status) {
  static constexpr IRoutine kR{"MInit2DGaussian", "V0.2"};
  if (IBad(kR, status)) return kFalse;
  if (!d.dataDefined || !d.data) {
    IWarning("MInit2DGaussian: Data is not defined", status);
    return kFalse;
  }
  if (!ICheckDataLayout("MInit2DGaussian:", d, status)) return kFalse;
  if (x < d.startX || x > d.endX || y < d.startY || y > d.endY) {
    IWarning(IFormat("MInit2DGaussian: Pixel (%i, %i) is outside the region of interest", x, y),
             status);
    return kFalse;
  }
  auto value = [&](int i, int j) { return d.data[IIndex(d, i, j)]; };
  auto clip = [&](int& x0, int& y0, int& x1, int& y1) {
    x0 = std::max(x0, d.startX);
    y0 = std::max(y0, d.startY);
    x1 = std::min(x1, d.endX);
    y1 = std::min(y1, d.endY);
  };
  int half = 1;
  int maxX = x, maxY = y;
  for (;;) {
    int x0 = x - half, y0 = y - half, x1 = x + half, y1 = y + half;
    clip(x0, y0, x1, y1);
    float inside = -std::numeric_limits<float>::infinity();
    float border = -std::numeric_limits<float>::infinity();
    for (int j = y0; j <= y1; ++j) {
      for (int i = x0; i <= x1; ++i) {
        const float v = value(i, j);
        if (std::isnan(v)) continue;
        const bool onBorder = i == x0 || i == x1 || j == y0 || j == y1;
        if (onBorder) {
          border = std::max(border, v);
        } else if (v > inside) {
          inside = v;
          maxX = i;
          maxY = j;
        }
      }
    }
    // A positive border is needed for the ratio to mean "a peak stands out".
    if (inside > 1.5f * border && inside > border) break;
    if ((x0 == d.startX && y0 == d.startY && x1 == d.endX && y1 == d.endY) ||
        half >= kMaximumWindowHalf) {
      IWarning("MInit2DGaussian: No peak stands out around the pixel", status);
      return kFalse;
    }
    ++half;
  }
  int x0 = x - half - 10, y0 = y - half - 10, x1 = x + half + 10, y1 = y + half + 10;
  clip(x0, y0, x1, y1);
  float minimum = std::numeric_limits<float>::infinity();
  for (int j = y0; j <= y1; ++j)
    for (int i = x0; i <= x1; ++i)
      if (!std::isnan(value(i, j))) minimum = std::min(minimum, value(i, j));
  background = minimum;
  // The window's own edges.
  int wx0 = x - half, wy0 = y - half, wx1 = x + half, wy1 = y + half;
  clip(wx0, wy0, wx1, wy1);
  const int distance = std::max(1, std::min({maxX - wx0, wx1 - maxX, maxY - wy0, wy1 - maxY}));
  peak.intensity = value(maxX, maxY) - background;
  peak.centreX = maxX + 0.5f;
  peak.centreY = maxY + 0.5f;
  peak.sigma1 = 0.7643896f * static_cast<float>(distance);
  peak.sigma2 = 0.95f * peak.sigma1;
  peak.angle = 0.1f;
  const int reach = static_cast<int>(std::ceil(4.0f * peak.sigma1));
  region.startX = std::max(d.startX, maxX - reach);
  region.startY = std::max(d.startY, maxY - reach);
  region.endX = std::min(d.endX, maxX + reach + 1);
  region.endY = std::min(d.endY, maxY + reach + 1);
  return kTrue;
}
