#include "commands/LVBeamFit.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "commands/LVOverlay.h"
#include "core/database.h"
#include "core/status.h"
#include "data/DataStores.h"
#include "graphics/GCoordinates.h"
#include "graphics/GGraphics.h"
#include "graphics/GOverlay.h"
#include "maths/MGeometry.h"
#include "maths/MRingFit.h"
#include "platform/Platform.h"
#include "ui/LVCommandRegistry.h"
#include "ui/WDialogs.h"
#include "ui/WDraw.h"

namespace {

constexpr int kMaximumClicks = 500;
constexpr int kRingPoints = 200;    // points per ring
constexpr int kMaximumRings = 50;
constexpr int kSegments = 180;

int gFitCentre = kTrue;
int gFitTilt = kTrue;

int NeedImage(const char* routine, const DataSet& d, int& status) {
  if (!d.dataDefined || !d.data) {
    IWarning(IFormat("%s: Data is not defined", routine), status);
    return kFalse;
  }
  return ICheckData(std::string(routine) + ": data", d, status);
}

// Clicked points, any number until FINISH (at most `capacity`), in data coordinates.
// False when cancelled.
int ClickPoints(const DataSet& d, const std::string& prompt, int capacity, std::vector<float>& x,
                std::vector<float>& y, int& status) {
  x.assign(static_cast<std::size_t>(capacity), 0.0f);
  y.assign(static_cast<std::size_t>(capacity), 0.0f);
  int count = 0;
  const int ok = GGetCoordinates(
      {d, prompt, kTrue, kFalse, kFalse, kFalse, capacity, count, x.data(), y.data(), status});
  x.resize(static_cast<std::size_t>(std::max(count, 0)));
  y.resize(static_cast<std::size_t>(std::max(count, 0)));
  return ok;
}

// Centre = mean of the points, radius = mean distance from it, then the circle fit.
int FitCircleFromPoints(int n, const float x[], const float y[], float& cx, float& cy, float& r,
                        float& rms, int& status) {
  if (!MVectorMean(n, n, x, cx, status) || !MVectorMean(n, n, y, cy, status)) return kFalse;
  double sum = 0.0;
  for (int i = 0; i < n; ++i) sum += std::hypot(x[i] - cx, y[i] - cy);
  r = static_cast<float>(sum / n);
  return MFitCircle(n, n, x, y, cx, cy, r, rms, status);
}

// A "circle" through points on a line has a radius without bound: no beam centre in it.
int UsableRadius(const char* routine, const DataSet& d, double radius, int& status) {
  const double limit = 10.0 * (static_cast<double>(d.numX) + d.numY);
  if (radius > 0.0 && radius <= limit) return kTrue;
  IWarning(IFormat("%s: The points give no usable circle or ellipse (radius %g pixels)", routine,
                   radius),
           status);
  return kFalse;
}

double IntoPlusMinusPi(double angle) {
  while (angle > M_PI) angle -= 2.0 * M_PI;
  while (angle < -M_PI) angle += 2.0 * M_PI;
  return angle;
}

}  // namespace

void LVResetBeamFitAnswers() {
  gFitCentre = kTrue;
  gFitTilt = kTrue;
}

int LVBeamFitCircle(DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVBeamFitCircle", "V0.21"};
  if (IBad(kR, status)) return kFalse;
  if (!NeedImage(kR.name, d, status)) return kFalse;
  std::vector<float> x, y;
  if (!ClickPoints(d, "CLICK ON COORDINATES ON CIRCLE TO FIT:", kMaximumClicks, x, y, status)) {
    return kFalse;
  }
  const int n = static_cast<int>(x.size());
  if (n < 3) {
    IWarning("3 OR MORE COORDINATES MUST BE ENTERED FOR FITTING CIRCLE", status);
    return kFalse;
  }
  float cx = 0.0f, cy = 0.0f, r = 0.0f, rms = 0.0f;
  if (!FitCircleFromPoints(n, x.data(), y.data(), cx, cy, r, rms, status)) return kFalse;
  if (!UsableRadius(kR.name, d, r, status)) return kFalse;
  IInfo(IFormat("Centre of fitted circle = (%f, %f) pixels, radius = %f",
                static_cast<double>(cx), static_cast<double>(cy), static_cast<double>(r)),
        status);
  LVOverlayEllipse(d, cx * d.pixelSizeX, cy * d.pixelSizeY, r * d.pixelSizeX, r * d.pixelSizeY, 0.0f,
              status);
  LVSetBeamCentre(d, cx, cy, status);
  return status == kStatusGood ? kTrue : kFalse;
}

int LVBeamFitEllipse(DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVBeamFitEllipse", "V0.21"};
  if (IBad(kR, status)) return kFalse;
  if (!NeedImage(kR.name, d, status)) return kFalse;
  std::vector<float> x, y;
  if (!ClickPoints(d, "CLICK ON COORDINATES ON ELLIPSE TO FIT:", kMaximumClicks, x, y, status)) {
    return kFalse;
  }
  const int n = static_cast<int>(x.size());
  if (n < 5) {
    IWarning("5 OR MORE COORDINATES MUST BE ENTERED FOR FITTING ELLIPSE", status);
    return kFalse;
  }
  float cx = 0.0f, cy = 0.0f, r = 0.0f, rms = 0.0f;
  if (!FitCircleFromPoints(n, x.data(), y.data(), cx, cy, r, rms, status)) return kFalse;
  float r1 = 1.01f * r, r2 = 0.99f * r, angle = 0.0f;
  if (!MFitEllipse(n, n, x.data(), y.data(), kTrue, cx, cy, r1, r2, angle, rms, status) ||
      !UsableRadius(kR.name, d, r1, status)) {
    return kFalse;
  }
  IInfo(IFormat("Ellipse first axis angle = %g, radius = %g, 2nd axis radius = %g",
                angle * kRadiansToDegrees, static_cast<double>(r1), static_cast<double>(r2)),
        status);
  // The fit ran in pixel units; the overlay takes metres.
  const double px = d.pixelSizeX, py = d.pixelSizeY;
  const double ca = std::cos(angle), sa = std::sin(angle);
  const double ax = r1 * ca * px, ay = r1 * sa * py;
  const double bx = -r2 * sa * px, by = r2 * ca * py;
  LVOverlayEllipse(d, static_cast<float>(cx * px), static_cast<float>(cy * py),
              static_cast<float>(std::hypot(ax, ay)), static_cast<float>(std::hypot(bx, by)),
              static_cast<float>(std::atan2(ay, ax)), status);
  LVSetBeamCentre(d, cx, cy, status);
  return status == kStatusGood ? kTrue : kFalse;
}

namespace {

// The rings of the powder fit: a table of 50 rings of 200 points (metres).
struct Rings {
  std::vector<float> x = std::vector<float>(kMaximumRings * kRingPoints, 0.0f);
  std::vector<float> y = std::vector<float>(kMaximumRings * kRingPoints, 0.0f);
  std::vector<int> counts = std::vector<int>(kMaximumRings, 0);
  std::vector<float> dSpacings = std::vector<float>(kMaximumRings, 0.0f);
  int rings = 0;

  float* X(int k) { return x.data() + static_cast<std::size_t>(k) * kRingPoints; }
  float* Y(int k) { return y.data() + static_cast<std::size_t>(k) * kRingPoints; }
  RingTable Table(int n) const {
    return {kRingPoints, kMaximumRings, n, counts.data(), x.data(), y.data()};
  }
};

// One solution of the powder fit.
struct PowderSolution {
  PowderGeometry geometry;
  Rings rings;
  float rms = 0.0f;
  bool valid = false;
};

// The first ring as the ellipse fit describes it (metres).
struct RingEllipse {
  float cx = 0.0f, cy = 0.0f, r1 = 0.0f, r2 = 0.0f, angle = 0.0f;
};

void ReportRingFit(const char* title, const DataSet& d, const PowderSolution& s, int& status) {
  IInfo(title, status);
  IInfo(IFormat("Tilt axis angle = %f (degrees), tilt angle = %f (degrees)",
                s.geometry.tiltAxisAngle * kRadiansToDegrees,
                s.geometry.tiltAngle * kRadiansToDegrees),
        status);
  IInfo(IFormat("Powder D-spacings = %f Angstroms", s.rings.dSpacings[0] * 1.0e10), status);
  IInfo(IFormat("RMS Radial distance error = %f (pixels)",
                static_cast<double>(s.rms) / d.pixelSizeX),
        status);
}

// Searches ring 0 on the ellipse, fits it, rejects outliers and fits again. False (with a
// warning) when too few points are found or remain.
int FitFirstRing(const DataSet& d, const RingEllipse& e, float limit, const PowderFitFlags& flags,
                 PowderSolution& s, bool alternative, int& status) {
  Rings& r = s.rings;
  int found = 0;
  if (!LVFindRingCoordinates(d, e.cx, e.cy, e.r1, e.r2, e.angle, limit, kSegments, kRingPoints,
                             found, r.X(0), r.Y(0), status)) {
    return kFalse;
  }
  r.counts[0] = found;
  r.rings = 1;
  if (!alternative) {
    IInfo(IFormat("%i coordinates found on powder ring", found), status);
    LVOverlayMarkers(d, found, r.X(0), r.Y(0), status);
  }
  if (found <= 5) {
    IWarning("RING SEARCH FOUND LESS THAN 6 COORDINATES. CANNOT FIT TILT", status);
    return kFalse;
  }
  if (alternative) IInfo("Fitting first ring", status);
  const RingTable table = r.Table(1);
  if (!MFitPowderRings(table, flags, s.geometry, r.dSpacings.data(), s.rms, status)) {
    return kFalse;
  }
  if (alternative) IInfo("Rejecting Out-liers", status);
  if (!MRingRejectOutliers(s.geometry, r.dSpacings[0], s.rms, 4.0f, kRingPoints, r.counts[0],
                           r.X(0), r.Y(0), status)) {
    return kFalse;
  }
  if (r.counts[0] >= 7) {
    if (alternative) IInfo("Re-fitting first ring", status);
    if (!MFitPowderRings(r.Table(1), flags, s.geometry, r.dSpacings.data(), s.rms, status)) {
      return kFalse;
    }
  } else if (alternative) {
    IWarning(IFormat("After rejecting outliers only %i ring coordinates remain", r.counts[0]),
             status);
    return kFalse;
  }
  ReportRingFit(alternative ? "Alternative Fit to coordinates found on ring:"
                            : "Fit to coordinates found on ring:",
                d, s, status);
  return kTrue;
}

// Searches each further ring where the current geometry predicts it, then fits all rings
// together, rejects outliers on every ring and fits again.
int FitAllRings(const DataSet& d, const std::vector<float>& furtherD, float limit,
                const PowderFitFlags& flags, PowderSolution& s, bool alternative, int& status) {
  Rings& r = s.rings;
  r.rings = 1;
  for (float dk : furtherD) {
    if (r.rings >= kMaximumRings) break;
    const int k = r.rings;
    r.counts[k] = 0;
    r.dSpacings[k] = dk;
    const double twoTheta = MRingTwoTheta(s.geometry.wavelength, dk);
    float cx = 0.0f, cy = 0.0f, r1 = 0.0f, r2 = 0.0f, a = 0.0f;
    if (std::isfinite(twoTheta) &&
        MPredictRingEllipse(s.geometry, twoTheta, cx, cy, r1, r2, a, status)) {
      int found = 0;
      if (!LVFindRingCoordinates(d, cx, cy, r1, r2, a, limit, kSegments, kRingPoints, found,
                                 r.X(k), r.Y(k), status)) {
        return kFalse;
      }
      r.counts[k] = found;
      if (!alternative) LVOverlayMarkers(d, found, r.X(k), r.Y(k), status);
    }
    if (status != kStatusGood) return kFalse;
    ++r.rings;
  }
  if (r.rings == 1) return kTrue;  // no further ring: the first ring's fit stands
  PowderFitFlags all = flags;
  all.dSpacings = kTrue;
  if (alternative) IInfo("Fitting all rings", status);
  if (!MFitPowderRings(r.Table(r.rings), all, s.geometry, r.dSpacings.data(), s.rms, status)) {
    return kFalse;
  }
  if (alternative) IInfo("Rejecting Out-liers from all rings:", status);
  for (int k = 0; k < r.rings; ++k) {
    if (!MRingRejectOutliers(s.geometry, r.dSpacings[k], s.rms, 4.0f, kRingPoints, r.counts[k],
                             r.X(k), r.Y(k), status)) {
      return kFalse;
    }
  }
  if (alternative) IInfo("Re-fitting all rings:", status);
  return MFitPowderRings(r.Table(r.rings), all, s.geometry, r.dSpacings.data(), s.rms, status);
}

}  // namespace

int LVBeamFitPowder(DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVBeamFitPowder", "V0.21"};
  if (IBad(kR, status)) return kFalse;
  if (!NeedImage(kR.name, d, status)) return kFalse;

  // 1. What to fit.
  int fitCentre = gFitCentre, fitTilt = gFitTilt;
  if (!WGetBoolean({"DO YOU WANT TO FIT THE BEAM CENTRE", kTrue, fitCentre, status})) return kFalse;
  gFitCentre = fitCentre ? kTrue : kFalse;
  if (!WGetBoolean({"DO YOU WANT TO FIT THE DETECTOR NON-ORTHOGONALITY", kTrue, fitTilt, status})) {
    return kFalse;
  }
  gFitTilt = fitTilt ? kTrue : kFalse;
  if (!gFitCentre && !gFitTilt) {
    IWarning("NOTHING TO FIT; NEITHER BEAM CENTRE, NOR DETECTOR TILT !", status);
    return kFalse;
  }
  const double px = d.pixelSizeX, py = d.pixelSizeY;

  // 2. Points on the first ring, a circle and an ellipse through them.
  std::vector<float> x, y;
  if (!ClickPoints(d, "CLICK ON 5 OR MORE COORDINATES ON INITIAL POWDER RING TO FIT:",
                   kRingPoints, x, y, status)) {
    return kFalse;
  }
  const int n = static_cast<int>(x.size());
  if (n < 5) {
    IWarning("5 OR MORE COORDINATES MUST BE ENTERED FOR FITTING POWDER RING", status);
    return kFalse;
  }
  for (int i = 0; i < n; ++i) {
    x[i] = static_cast<float>(x[i] * px);
    y[i] = static_cast<float>(y[i] * py);
  }
  float cx = 0.0f, cy = 0.0f, radius = 0.0f, rms = 0.0f;
  if (!FitCircleFromPoints(n, x.data(), y.data(), cx, cy, radius, rms, status)) return kFalse;
  IInfo("Circle Parameters:", status);
  IInfo(IFormat("Centre of fitted circle = (%f, %f) pixels, radius = %f", cx / px, cy / py,
                radius / px),
        status);
  RingEllipse e{cx, cy, 1.01f * radius, 0.99f * radius, 0.0f};
  if (!MFitEllipse(n, n, x.data(), y.data(), kTrue, e.cx, e.cy, e.r1, e.r2, e.angle, rms,
                   status)) {
    return kFalse;
  }
  if (!UsableRadius(kR.name, d, e.r1 / px, status)) return kFalse;
  IInfo("Results of initial fit of an ellipse to powder ring coordinates:", status);
  IInfo(IFormat("Centre of fitted ellipse = (%f, %f) pixels", e.cx / px, e.cy / py), status);
  IInfo(IFormat("Radius of first axis = %f, Radius of second axis = %f (metres)",
                static_cast<double>(e.r1), static_cast<double>(e.r2)),
        status);
  IInfo(IFormat("Angle of first axis = %f (degrees)", e.angle * kRadiansToDegrees), status);

  // Starting geometry: the ellipse's centre lies off the beam on the side the detector
  // leans away; the two solutions put the beam on either side.
  const double shiftX = 2.0 * (e.r1 - e.r2) * std::cos(e.angle);
  const double shiftY = 2.0 * (e.r1 - e.r2) * std::sin(e.angle);
  auto start = [&](int sign) {
    PowderGeometry g;
    g.distance = d.distance;
    g.wavelength = d.wavelength;
    if (gFitCentre) {
      g.beamX = static_cast<float>(e.cx + sign * shiftX);
      g.beamY = static_cast<float>(e.cy + sign * shiftY);
    } else {
      g.beamX = static_cast<float>(d.beamCentreX * px);
      g.beamY = static_cast<float>(d.beamCentreY * py);
    }
    if (gFitTilt) {
      g.tiltAxisAngle = static_cast<float>(IntoPlusMinusPi(e.angle + M_PI / 2.0));
      g.tiltAngle = static_cast<float>(sign * -std::acos(std::clamp(e.r2 / e.r1, 0.0f, 1.0f)));
    } else {
      g.tiltAxisAngle = d.tiltAxisAngle;
      g.tiltAngle = d.tiltAngle;
    }
    return g;
  };
  const float startD = static_cast<float>(
      d.wavelength / (2.0 * std::sin(std::atan2(std::min(e.r1, e.r2), d.distance) / 2.0)));
  PowderSolution first;
  first.geometry = start(1);
  first.rings.dSpacings[0] = startD;
  IInfo(IFormat("Initial Tilt axis angle = %f, tilt angle = %f (degrees)",
                first.geometry.tiltAxisAngle * kRadiansToDegrees,
                first.geometry.tiltAngle * kRadiansToDegrees),
        status);
  IInfo(IFormat("Initial D-spacing = %f Angstroms", startD * 1.0e10), status);

  // 3. The search limit, and the ring searched.
  float lx = 0.0f, ly = 0.0f;
  if (!GGetCoordinate(d, "CLICK ON SEARCH LIMIT FOR POWDER RING:", kTrue, lx, ly, status)) {
    return kFalse;
  }
  float limit = 0.0f;
  {
    const double u0 = lx * px - e.cx, v0 = ly * py - e.cy;
    const double c = std::cos(e.angle), s = std::sin(e.angle);
    const double u = c * u0 + s * v0, v = -s * u0 + c * v0;
    limit = static_cast<float>(std::fabs(
        e.r1 - e.r1 * std::sqrt((u / e.r1) * (u / e.r1) + (v / e.r2) * (v / e.r2))));
  }
  if (!(limit > 0.0f) || !(limit < e.r2)) {
    IWarning("LVBeamFitPowder: The search limit must lie between the centre and the ring and "
             "off the ring",
             status);
    return kFalse;
  }
  for (int sign : {-1, 1}) {
    const float scale = (e.r1 + sign * limit) / e.r1;
    LVOverlayEllipse(d, e.cx, e.cy, e.r1 * scale, e.r2 * scale, e.angle, status);
  }

  // 4. The first ring alone.
  PowderFitFlags flags;
  flags.beamCentre = gFitCentre;
  flags.tilt = gFitTilt;
  flags.dSpacings = kTrue;
  if (!FitFirstRing(d, e, limit, flags, first, false, status)) return kFalse;

  // 5. One click on each further ring gives its d-spacing.
  std::vector<float> fx, fy;
  if (!ClickPoints(d, "CLICK ON OTHER POWDER RINGS TO FIT:", kMaximumRings - 1, fx, fy, status)) {
    return kFalse;
  }
  int count = static_cast<int>(fx.size());
  std::vector<float> ds(static_cast<std::size_t>(kMaximumRings), 0.0f);
  if (!LVRingDSpacings(d, first.geometry, first.rings.dSpacings[0], kMaximumRings, fx.data(),
                       fy.data(), count, ds.data(), status)) {
    return kFalse;
  }
  std::vector<float> furtherD;
  for (int i = 1; i < count; ++i)
    if (ds[i] > 0.0f) furtherD.push_back(ds[i]);
  if (!FitAllRings(d, furtherD, limit, flags, first, false, status)) return kFalse;
  first.valid = true;

  // 6. The mirror solution.
  PowderSolution second;
  if (gFitCentre && gFitTilt) {
    IInfo("Alternative tilt and beam centre fit:", status);
    second.geometry = start(-1);
    second.rings.dSpacings[0] = startD;
    second.valid = FitFirstRing(d, e, limit, flags, second, true, status) &&
                   FitAllRings(d, furtherD, limit, flags, second, true, status);
    if (status != kStatusGood) return kFalse;
  }
  const bool useSecond = second.valid && second.rms < first.rms;
  const PowderSolution& best = useSecond ? second : first;
  if (second.valid) {
    IInfo(IFormat(useSecond ? "The alternative solution has the smaller RMS error (%g against "
                              "%g metres) and is kept"
                            : "The first solution has the smaller RMS error (%g against %g "
                              "metres) and is kept",
                  static_cast<double>(best.rms),
                  static_cast<double>(useSecond ? first.rms : second.rms)),
          status);
  }

  // 7. Results.
  const float beamX = static_cast<float>(best.geometry.beamX / px);
  const float beamY = static_cast<float>(best.geometry.beamY / py);
  IInfo("Fit to coordinates found on all given rings:", status);
  IInfo(IFormat("Beam centre =(%f, %f) (pixel coordinates)", static_cast<double>(beamX),
                static_cast<double>(beamY)),
        status);
  for (int k = 0; k < best.rings.rings; ++k) {
    IInfo(IFormat("Powder cone %i D-spacing = %f Angstroms", k + 1,
                  best.rings.dSpacings[k] * 1.0e10),
          status);
  }
  IInfo(IFormat("RMS Radial distance error = %g metres", static_cast<double>(best.rms)), status);
  if (!std::isfinite(beamX) || !std::isfinite(beamY)) return kFalse;
  d.beamCentreX = beamX;
  d.beamCentreY = beamY;
  d.tiltAxisAngle = best.geometry.tiltAxisAngle;
  d.tiltAngle = best.geometry.tiltAngle;
  ISetDBRealItem("Beam_CentreX", beamX, status);
  ISetDBRealItem("Beam_CentreY", beamY, status);
  ISetDBRealItem("Tilt_Axis_Angle",
                 static_cast<float>(best.geometry.tiltAxisAngle * kRadiansToDegrees), status);
  ISetDBRealItem("Tilt_Angle", static_cast<float>(best.geometry.tiltAngle * kRadiansToDegrees),
                 status);
  return status == kStatusGood ? kTrue : kFalse;
}

void LVRegisterBeamFitCommands() {
  auto onMain = [](int (*routine)(DataSet&, int&)) {
    return [routine](LVCommandCall& call) { return routine(call.main, call.status); };
  };
  LVRegisterCommand(
      {.name = "Beam_Fit_Circle", .work = onMain(LVBeamFitCircle), .setsGeometry = true});
  LVRegisterCommand(
      {.name = "Beam_Fit_Ellipse", .work = onMain(LVBeamFitEllipse), .setsGeometry = true});
  LVRegisterCommand(
      {.name = "Beam_Fit_Powder", .work = onMain(LVBeamFitPowder), .setsGeometry = true});
}
