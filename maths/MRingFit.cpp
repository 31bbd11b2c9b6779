#include "maths/MRingFit.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "core/status.h"
#include "maths/MModelFit.h"

namespace {

// A point set handed to the objective functions through the parameters' client words.
struct PointSet {
  int count = 0;
  const float* x = nullptr;
  const float* y = nullptr;
};

constexpr double kTwoPi = 2.0 * M_PI;

double IntoPlusMinusPi(double angle) {
  if (!std::isfinite(angle)) return angle;
  while (angle > M_PI) angle -= kTwoPi;
  while (angle < -M_PI) angle += kTwoPi;
  return angle;
}

// The one-row data set the point fits run on: one element per point.
int PointData(const char* routine, int points, DataSet& data, int& status) {
  (void)routine;
  if (!IAllocateData(points, 1, data, status)) return kFalse;
  IDefineWholeImage(data, points, 1);
  std::fill(data.data.get(), data.data.get() + points, 0.0f);
  return kTrue;
}

ModelControl PointControl(ObjectiveFunction objective) {
  ModelControl c;
  c.weighted = kFalse;
  c.subtractData = kFalse;
  c.sameCoordinates = kTrue;
  c.maximumEvaluations = 100;
  c.tolerance = 1.0e-5f;
  c.stepFactor = 50.0f;
  c.differenceStep = 1.0e-5f;
  c.outputLevel = kModelSilent;
  c.objective = objective;
  return c;
}

bool AllFinite(std::initializer_list<float> values) {
  for (float v : values)
    if (!std::isfinite(v)) return false;
  return true;
}

}  // namespace

// Residual of a point: its distance from the centre minus the radius.
int MObFunCircle(const DataSet& data, const ModelParameters& p, DataSet& model, int& status) {
  (void)data;
  (void)status;
  const auto* set = static_cast<const PointSet*>(p.clientWords[0]);
  const double cx = p.values[0], cy = p.values[1], r = p.values[2];
  for (int i = 0; i < set->count; ++i) {
    const double dx = set->x[i] - cx, dy = set->y[i] - cy;
    model.data[static_cast<std::size_t>(i)] = static_cast<float>(std::sqrt(dx * dx + dy * dy) - r);
  }
  return kTrue;
}

// Residual of a point: radius 1 x (the elliptical distance of the point - 1).
int MObFunEllipse(const DataSet& data, const ModelParameters& p, DataSet& model, int& status) {
  (void)data;
  (void)status;
  const auto* set = static_cast<const PointSet*>(p.clientWords[0]);
  const double cx = p.values[0], cy = p.values[1];
  const double r1 = std::fabs(p.values[2]), r2 = std::fabs(p.values[3]);
  const double c = std::cos(p.values[4]), s = std::sin(p.values[4]);
  for (int i = 0; i < set->count; ++i) {
    const double dx = set->x[i] - cx, dy = set->y[i] - cy;
    const double u = c * dx + s * dy, v = -s * dx + c * dy;
    double residual = 0.0;
    if (r1 > 0.0 && r2 > 0.0) {
      residual = r1 * (std::sqrt((u / r1) * (u / r1) + (v / r2) * (v / r2)) - 1.0);
    } else {
      residual = std::sqrt(dx * dx + dy * dy);  // a degenerate ellipse fits nothing
    }
    model.data[static_cast<std::size_t>(i)] = static_cast<float>(residual);
  }
  return kTrue;
}

int MVectorMean(int dimension, int n, const float vector[], float& mean, int& status) {
  static constexpr IRoutine kR{"MVectorMean", "V0.21"};
  if (IBad(kR, status)) return kFalse;
  if (n < 1 || n > dimension) return IFail(kR, kStatusIntRange1, status);
  double sum = 0.0;
  for (int i = 0; i < n; ++i) sum += vector[i];
  mean = static_cast<float>(sum / n);
  return kTrue;
}

int MVectorCentreOfMass(int dimension, int start, int end, const float values[],
                        int subtractBackground, float& centre, int& status) {
  static constexpr IRoutine kR{"MVectorCentreOfMass", "V0.21"};
  if (IBad(kR, status)) return kFalse;
  // end is the last element used: it must lie inside the vector.
  if (start < 0 || end < start || end >= dimension) return IFail(kR, kStatusIntRange1, status);
  double x1 = start + 0.5, x2 = end + 0.5, y1 = values[start], y2 = values[end];
  if (end - start + 1 >= 9) {
    x1 = start + 1.5;
    x2 = end - 0.5;
    y1 = (static_cast<double>(values[start]) + values[start + 1] + values[start + 2]) / 3.0;
    y2 = (static_cast<double>(values[end]) + values[end - 1] + values[end - 2]) / 3.0;
  }
  const double slope = x2 != x1 ? (y2 - y1) / (x2 - x1) : 0.0;
  double weight = 0.0, moment = 0.0;
  for (int i = start; i <= end; ++i) {
    const double x = i + 0.5;
    double v = values[i];
    if (subtractBackground) v -= y1 + slope * (x - x1);
    weight += v;
    moment += x * v;
  }
  if (!(weight > 0.0) || !std::isfinite(moment)) return kFalse;
  centre = static_cast<float>(moment / weight);
  return kTrue;
}

int MFitCircle(int maxPoints, int points, const float x[], const float y[], float& centreX,
               float& centreY, float& radius, float& rms, int& status) {
  static constexpr IRoutine kR{"MFitCircle", "V0.21"};
  if (IBad(kR, status)) return kFalse;
  if (points < 3 || points > maxPoints) return IFail(kR, kStatusIntRange1, status);
  DataSet data, model;
  if (!PointData(kR.name, points, data, status)) return kFalse;
  PointSet set{points, x, y};
  ModelParameters p;
  p.Resize(3);
  p.values = {centreX, centreY, radius};
  const float scale = radius != 0.0f ? 0.02f * std::fabs(radius) : 1.0f;
  p.scales = {scale, scale, scale};
  p.clientWords[0] = &set;
  ModelResult result;
  if (!MModelMinimise(data, PointControl(MObFunCircle), p, model, result, status)) return kFalse;
  // The RMS of the returned circle (the last evaluation may have been a trial).
  int m = 0;
  double sum = 0.0;
  for (int i = 0; i < points; ++i) {
    const double dx = x[i] - p.values[0], dy = y[i] - p.values[1];
    const double r = std::sqrt(dx * dx + dy * dy) - std::fabs(p.values[2]);
    sum += r * r;
    ++m;
  }
  const float fittedRms = static_cast<float>(std::sqrt(sum / m));
  if (!AllFinite({p.values[0], p.values[1], p.values[2], fittedRms})) {
    IWarning("MFitCircle: The circle fit did not converge", status);
    return kFalse;
  }
  centreX = p.values[0];
  centreY = p.values[1];
  radius = std::fabs(p.values[2]);
  rms = fittedRms;
  return kTrue;
}

int MFitEllipse(int maxPoints, int points, const float x[], const float y[], int centreFree,
                float& centreX, float& centreY, float& radius1, float& radius2, float& angle,
                float& rms, int& status) {
  static constexpr IRoutine kR{"MFitEllipse", "V0.21"};
  if (IBad(kR, status)) return kFalse;
  if (points < 5 || points > maxPoints) return IFail(kR, kStatusIntRange1, status);
  DataSet data, model;
  if (!PointData(kR.name, points, data, status)) return kFalse;
  PointSet set{points, x, y};
  ModelParameters p;
  p.Resize(5);
  p.values = {centreX, centreY, radius1, radius2, angle};
  float scale = 0.01f * std::max(std::fabs(radius1), std::fabs(radius2));
  if (!(scale > 0.0f)) scale = 1.0f;
  p.scales = {scale, scale, scale, scale, 0.1f};
  p.fixed[0] = p.fixed[1] = centreFree ? 0 : 1;
  p.clientWords[0] = &set;
  ModelResult result;
  if (!MModelMinimise(data, PointControl(MObFunEllipse), p, model, result, status)) return kFalse;
  // The residuals of the returned ellipse give its RMS.
  if (!MObFunEllipse(data, p, model, status)) return kFalse;
  double sum = 0.0;
  for (int i = 0; i < points; ++i) sum += static_cast<double>(model.data[i]) * model.data[i];
  float r1 = std::fabs(p.values[2]), r2 = std::fabs(p.values[3]);
  double a = p.values[4];
  if (r2 > r1) {
    std::swap(r1, r2);
    a += M_PI / 2.0;
  }
  a = IntoPlusMinusPi(a);
  const auto fittedRms = static_cast<float>(std::sqrt(sum / points));
  if (!AllFinite({p.values[0], p.values[1], r1, r2, static_cast<float>(a), fittedRms}) ||
      !(r2 > 0.0f)) {
    IWarning("MFitEllipse: The ellipse fit did not converge", status);
    return kFalse;
  }
  centreX = p.values[0];
  centreY = p.values[1];
  radius1 = r1;
  radius2 = r2;
  angle = static_cast<float>(a);
  rms = fittedRms;
  return kTrue;
}

bool MPowderRadius(const PowderGeometry& g, double x, double y, double& radius) {
  double path = 0.0;
  return MPowderRadiusAndPath(g, x, y, radius, path);
}

bool MPowderRadiusAndPath(const PowderGeometry& g, double x, double y, double& radius,
                          double& path) {
  const double alpha = M_PI / 2.0 - g.tiltAxisAngle;
  const double sa = std::sin(alpha), ca = std::cos(alpha);
  const double gx = x - g.beamX, hy = y - g.beamY;
  const double l = sa * gx + ca * hy;
  const double gt = ca * gx - sa * hy;
  const double d = g.distance;
  const double z = d - gt * std::sin(static_cast<double>(g.tiltAngle));
  if (!(z > 0.0)) return false;
  const double m = std::cos(static_cast<double>(g.tiltAngle)) * d * gt / z;
  const double lt = d * l / z;
  radius = std::sqrt(m * m + lt * lt);
  const double across = std::cos(static_cast<double>(g.tiltAngle)) * gt;
  path = std::sqrt(across * across + l * l + z * z);
  return std::isfinite(radius) && std::isfinite(path);
}

bool MPowderResidual(const PowderGeometry& g, double twoTheta, double x, double y,
                     double& residual) {
  double r = 0.0;
  if (!MPowderRadius(g, x, y, r)) return false;
  residual = r - static_cast<double>(g.distance) * std::tan(twoTheta);
  return std::isfinite(residual);
}

namespace {

double RingTwoTheta(double wavelength, double dSpacing) {
  const double sine = wavelength / (2.0 * dSpacing);
  return 2.0 * std::asin(std::clamp(sine, -1.0, 1.0));
}

PowderGeometry GeometryOf(const ModelParameters& p) {
  return {p.values[0], p.values[1], p.values[2], p.values[3], p.values[4], p.values[5]};
}

}  // namespace

// One residual per point, ring after ring: r - D tan 2theta_k.
int MObFunPowderRings(const DataSet& data, const ModelParameters& p, DataSet& model,
                      int& status) {
  (void)data;
  (void)status;
  const auto* t = static_cast<const RingTable*>(p.clientWords[0]);
  const PowderGeometry g = GeometryOf(p);
  std::size_t m = 0;
  for (int k = 0; k < t->rings; ++k) {
    const double twoTheta = RingTwoTheta(g.wavelength, p.values[static_cast<std::size_t>(6 + k)]);
    const std::size_t base = static_cast<std::size_t>(k) * static_cast<std::size_t>(t->maxPoints);
    for (int i = 0; i < t->counts[k]; ++i) {
      double residual = 0.0;
      // A point the sample cannot see is as far off as the detector is away.
      if (!MPowderResidual(g, twoTheta, t->x[base + i], t->y[base + i], residual)) {
        residual = g.distance;
      }
      model.data[m++] = static_cast<float>(residual);
    }
  }
  return kTrue;
}

int MFitPowderRings(const RingTable& t, const PowderFitFlags& flags, PowderGeometry& geometry,
                    float dSpacings[], float& rms, int& status) {
  static constexpr IRoutine kR{"MFitPowderRings", "V0.21"};
  if (IBad(kR, status)) return kFalse;
  if (t.maxPoints < 6) return IFail(kR, kStatusIntRange1, status);
  if (t.maxRings < 1 || t.rings < 1) return IFail(kR, kStatusIntRange2, status);
  if (t.rings > t.maxRings) return IFail(kR, 18, status);
  int total = 0;
  for (int k = 0; k < t.rings; ++k) {
    if (t.counts[k] < 0 || t.counts[k] > t.maxPoints) return IFail(kR, kStatusIntRange1, status);
    total += t.counts[k];
  }
  if (total < 1) return IFail(kR, kStatusIntRange1, status);

  DataSet data, model;
  if (!PointData(kR.name, total, data, status)) return kFalse;
  ModelParameters p;
  p.Resize(6 + t.rings);
  p.values[0] = geometry.beamX;
  p.values[1] = geometry.beamY;
  p.values[2] = geometry.distance;
  p.values[3] = geometry.wavelength;
  p.values[4] = geometry.tiltAxisAngle;
  p.values[5] = geometry.tiltAngle;
  const float scales[6] = {1.0e-4f, 1.0e-4f, 0.001f, 1.0e-13f, 0.1f, 0.008f};
  for (int i = 0; i < 6; ++i) p.scales[i] = scales[i];
  for (int k = 0; k < t.rings; ++k) {
    p.values[6 + k] = dSpacings[k];
    p.scales[6 + k] = 0.0025f * dSpacings[k];
  }
  std::fill(p.fixed.begin(), p.fixed.end(), 1);
  if (flags.beamCentre) p.fixed[0] = p.fixed[1] = 0;
  if (flags.distance) p.fixed[2] = 0;
  if (flags.wavelength) p.fixed[3] = 0;
  if (flags.tilt) p.fixed[4] = p.fixed[5] = 0;
  if (flags.dSpacings)
    for (int k = 0; k < t.rings; ++k) p.fixed[6 + k] = 0;
  p.clientWords[0] = &t;

  ModelControl c = PointControl(MObFunPowderRings);
  c.maximumEvaluations = 15 * (t.rings + 6);
  c.outputLevel = kModelInitialFinal;
  ModelResult result;
  if (!MModelMinimise(data, c, p, model, result, status)) {
    if (status == kStatusGood) IWarning("MFitPowderRings: The powder rings could not be fitted", status);
    return kFalse;
  }
  // Angles into [-pi, pi], the tilt axis made positive.
  double axis = IntoPlusMinusPi(p.values[4]);
  double tilt = IntoPlusMinusPi(p.values[5]);
  if (axis < 0.0) {
    axis += M_PI;
    tilt = -tilt;
  }
  p.values[4] = static_cast<float>(axis);
  p.values[5] = static_cast<float>(tilt);
  // The RMS of the returned geometry.
  if (!MObFunPowderRings(data, p, model, status)) return kFalse;
  double sum = 0.0;
  for (int i = 0; i < total; ++i) sum += static_cast<double>(model.data[i]) * model.data[i];
  const auto fittedRms = static_cast<float>(std::sqrt(sum / total));
  bool usable = std::isfinite(fittedRms) && p.values[2] > 0.0f && p.values[3] > 0.0f;
  for (float v : p.values) usable = usable && std::isfinite(v);
  for (int k = 0; k < t.rings && usable; ++k) usable = p.values[6 + k] > 0.0f;
  if (!usable) {
    IWarning("MFitPowderRings: The powder ring fit did not converge; geometry unchanged", status);
    return kFalse;
  }
  geometry = GeometryOf(p);
  for (int k = 0; k < t.rings; ++k) dSpacings[k] = p.values[6 + k];
  rms = fittedRms;
  return kTrue;
}

int MRingRejectOutliers(const PowderGeometry& g, float dSpacing, float rms, float factor,
                        int maxPoints, int& points, float x[], float y[], int& status) {
  static constexpr IRoutine kR{"MRingRejectOutliers", "V0.21"};
  if (IBad(kR, status)) return kFalse;
  if (points < 0 || points > maxPoints) return IFail(kR, kStatusIntRange1, status);
  const double limit = static_cast<double>(factor) * rms;
  const double twoTheta = RingTwoTheta(g.wavelength, dSpacing);
  int kept = 0;
  for (int i = 0; i < points; ++i) {
    double residual = 0.0;
    // Points beyond the limit on either side of the predicted ring go.
    if (!MPowderResidual(g, twoTheta, x[i], y[i], residual) || std::fabs(residual) > limit) {
      continue;
    }
    x[kept] = x[i];
    y[kept] = y[i];
    ++kept;
  }
  points = kept;
  return kTrue;
}

int LVRingDSpacings(const DataSet& d, const PowderGeometry& g, float referenceDSpacing,
                    int maximum, const float x[], const float y[], int& count,
                    float dSpacings[], int& status) {
  static constexpr IRoutine kR{"LVRingDSpacings", "V0.21"};
  if (IBad(kR, status)) return kFalse;
  if (count < 0 || count + 1 > maximum) return IFail(kR, kStatusIntRange1, status);
  dSpacings[0] = referenceDSpacing;
  for (int i = 0; i < count; ++i) {
    double r = 0.0;
    float value = 0.0f;
    if (MPowderRadius(g, static_cast<double>(x[i]) * d.pixelSizeX,
                      static_cast<double>(y[i]) * d.pixelSizeY, r) &&
        r > 0.0) {
      const double theta = std::atan2(r, static_cast<double>(g.distance)) / 2.0;
      value = static_cast<float>(g.wavelength / (2.0 * std::sin(theta)));
    }
    dSpacings[i + 1] = value;
  }
  ++count;
  return kTrue;
}

int MPredictRingEllipse(const PowderGeometry& g, double twoTheta, float& centreX, float& centreY,
                        float& radius1, float& radius2, float& angle, int& status) {
  static constexpr IRoutine kR{"MPredictRingEllipse", "V0.1"};
  if (IBad(kR, status)) return kFalse;
  const double d = g.distance;
  const double radius = d * std::tan(twoTheta);
  if (!(radius > 0.0) || !std::isfinite(radius)) return kFalse;
  const double alpha = M_PI / 2.0 - g.tiltAxisAngle;
  const double sa = std::sin(alpha), ca = std::cos(alpha);
  const double st = std::sin(static_cast<double>(g.tiltAngle));
  const double ct = std::cos(static_cast<double>(g.tiltAngle));
  constexpr int kPoints = 72;
  float xs[kPoints], ys[kPoints];
  for (int i = 0; i < kPoints; ++i) {
    const double phi = kTwoPi * i / kPoints;
    const double xc = radius * std::cos(phi), yc = radius * std::sin(phi);
    // Back from the corrected position to the detector: the transform of MPowderRadius
    // inverted.
    const double m = ca * xc - sa * yc, lt = sa * xc + ca * yc;
    const double denominator = ct * d + m * st;
    if (!(std::fabs(denominator) > 0.0)) return kFalse;
    const double gt = m * d / denominator;
    const double z = d - gt * st;
    if (!(z > 0.0)) return kFalse;
    const double l = lt * z / d;
    xs[i] = static_cast<float>(g.beamX + sa * l + ca * gt);
    ys[i] = static_cast<float>(g.beamY + ca * l - sa * gt);
  }
  float cx = 0.0f, cy = 0.0f, r = static_cast<float>(radius), rms = 0.0f;
  if (!MVectorMean(kPoints, kPoints, xs, cx, status) ||
      !MVectorMean(kPoints, kPoints, ys, cy, status)) {
    return kFalse;
  }
  float r1 = 1.01f * r, r2 = 0.99f * r, a = 0.0f;
  if (!MFitEllipse(kPoints, kPoints, xs, ys, kTrue, cx, cy, r1, r2, a, rms, status)) {
    return kFalse;
  }
  centreX = cx;
  centreY = cy;
  radius1 = r1;
  radius2 = r2;
  angle = a;
  return kTrue;
}
