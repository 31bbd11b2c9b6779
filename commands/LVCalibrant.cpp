#include "commands/LVCalibrant.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "commands/LVOverlay.h"
#include "core/database.h"
#include "core/status.h"
#include "fileio/FScanFiles.h"
#include "graphics/GCoordinates.h"
#include "graphics/GGraphics.h"
#include "graphics/GOverlay.h"
#include "maths/MGeometry.h"
#include "maths/MRingAuto.h"
#include "maths/MRingFit.h"
#include "platform/Platform.h"
#include "ui/LVCommandRegistry.h"
#include "ui/LVFileSelect.h"
#include "ui/WDialogs.h"
#include "ui/WDraw.h"

namespace {

constexpr int kRingPoints = 200;
constexpr int kMaximumRings = 30;
constexpr int kSegments = 180;
// Rounds of locating the rings by their profiles about the last fit, at most.
constexpr int kProfileRounds = 8;
// How far (pixels) the geometry may move in a round for the rings' widths to be kept.
constexpr double kWidthsKeptWithin = 0.05;
// The largest RMS (pixels) of a fit from rings found without clicks that is accepted.
constexpr double kMostAutomaticRms = 2.0;

int gFitCentre = kTrue, gFitTilt = kTrue, gFitDistance = kTrue, gFitWavelength = kTrue;

const char* FirstRingPrompt(int code) {
  switch (code) {
    case kCalibrantAlumina:
      return "CLICK ON 5 OR MORE COORDINATES ON 10-2 RING (CLOSEST TO CENTRE):";
    case kCalibrantCalcite:
      return "CLICK ON 5 OR MORE COORDINATES ON 012 RING (CLOSEST TO CENTRE):";
    case kCalibrantCeriumDioxide:
    case kCalibrantSilicon:
      return "CLICK ON 5 OR MORE COORDINATES ON 111 RING (CLOSEST TO CENTRE):";
    case kCalibrantLanthanumHexaboride:
    case kCalibrantQuartz:
      return "CLICK ON 5 OR MORE COORDINATES ON 100 RING (CLOSEST TO CENTRE):";
    case kCalibrantSodiumChloride:
      return "CLICK ON 5 OR MORE COORDINATES ON 200 RING (2ND FROM CENTRE):";
    case kCalibrantUserFile:
      return "CLICK ON 5 OR MORE COORDINATES ON FIRST RING DEFINED IN INPUT FILE:";
    case kCalibrantParaffinWax:
      return "CLICK ON 5 OR MORE COORDINATES ON FIRST RING (CLOSEST TO CENTRE):";
    default:
      return nullptr;
  }
}

int Ask(const char* prompt, int& remembered, int& status) {
  int answer = remembered;
  if (!WGetBoolean({prompt, kTrue, answer, status})) return kFalse;
  remembered = answer ? kTrue : kFalse;
  return kTrue;
}

void ReportGeometry(const DataSet& d, const PowderGeometry& g, int& status) {
  IInfo(IFormat("Beam Centre X = %f , Beam Centre Y = %f (pixels)", g.beamX / d.pixelSizeX,
                g.beamY / d.pixelSizeY),
        status);
  IInfo(IFormat("Distance = %f metres, wavelength = %f Angstroms",
                static_cast<double>(g.distance), g.wavelength * 1.0e10),
        status);
  IInfo(IFormat("Tilt axis angle = %f, tilt angle = %f", g.tiltAxisAngle * kRadiansToDegrees,
                g.tiltAngle * kRadiansToDegrees),
        status);
}

// Steps 1 and 2: the four questions and the calibrant's table (metres). False when the
// command ends here: `nothing` tells an answer of four noes (a success) from a failure.
int AskAndReadTable(int code, std::vector<float>& table, bool& nothing, int& status) {
  nothing = false;
  // 1. What to fit.
  if (!Ask("DO YOU WANT TO FIT THE BEAM CENTRE", gFitCentre, status) ||
      !Ask("DO YOU WANT TO FIT THE DETECTOR NON-ORTHOGONALITY", gFitTilt, status) ||
      !Ask("DO YOU WANT TO FIT THE SAMPLE TO DETECTOR DISTANCE", gFitDistance, status) ||
      !Ask("DO YOU WANT TO FIT THE PHOTON WAVELENGTH / ENERGY", gFitWavelength, status)) {
    return kFalse;
  }
  if (!gFitCentre && !gFitTilt && !gFitDistance && !gFitWavelength) {
    IWarning("NOTHING TO FIT; NEITHER BEAM CENTRE, DETECTOR TILT, DISTANCE, NOR WAVELENGTH !",
             status);
    nothing = true;
    return kFalse;
  }

  // 2. The table (metres).
  table.clear();
  if (code == kCalibrantUserFile) {
    std::vector<float> values(static_cast<std::size_t>(kMaximumRings), 0.0f);
    int count = 0;
    if (!LVCalibrantUserInput(kMaximumRings, count, values.data(), status)) return kFalse;
    table.assign(values.begin(), values.begin() + count);
  } else {
    std::string name;
    MCalibrantTable(code, name, table);
    for (float& v : table) v = static_cast<float>(v * 1.0e-10);
  }
  if (table.empty()) {
    IWarning("LVFitCalibrant: The calibrant has no d-spacings", status);
    return kFalse;
  }
  return kTrue;
}

// Steps 4 to 11: from n points (metres) on the table's first ring to the geometry fitted
// to every ring of the table; nothing is stored.
int FitFromFirstRing(DataSet& d, int code, const std::vector<float>& table, int n,
                     std::vector<float>& x, std::vector<float>& y, PowderGeometry& g, float& rms,
                     int& status) {
  const double px = d.pixelSizeX, py = d.pixelSizeY;
  const int rings = static_cast<int>(table.size());
  // 4. Centre and radius estimates.
  float cx = static_cast<float>(d.beamCentreX * px), cy = static_cast<float>(d.beamCentreY * py);
  float radius = 0.0f;
  rms = 0.0f;
  if (gFitCentre) {
    if (!MVectorMean(n, n, x.data(), cx, status) || !MVectorMean(n, n, y.data(), cy, status)) {
      return kFalse;
    }
  }
  {
    double sum = 0.0;
    for (int i = 0; i < n; ++i) sum += std::hypot(x[i] - cx, y[i] - cy);
    radius = static_cast<float>(sum / n);
  }
  if (gFitCentre) {
    if (!MFitCircle(n, n, x.data(), y.data(), cx, cy, radius, rms, status)) return kFalse;
    double sum = 0.0;
    for (int i = 0; i < n; ++i) sum += std::hypot(x[i] - cx, y[i] - cy);
    radius = static_cast<float>(sum / n);
  }

  // 5. The ellipse.
  float ex = cx, ey = cy, r1 = 1.01f * radius, r2 = 0.99f * radius, angle = 0.0f;
  if (!MFitEllipse(n, n, x.data(), y.data(), gFitCentre, ex, ey, r1, r2, angle, rms, status)) {
    return kFalse;
  }
  // Points on a line make a "ring" without bound: no geometry in it.
  if (!(r1 / px <= 10.0 * (static_cast<double>(d.numX) + d.numY))) {
    IWarning(IFormat("LVFitCalibrant: The points give no usable ellipse (radius %g pixels)",
                     r1 / px),
             status);
    return kFalse;
  }
  LVOverlayEllipse(d, ex, ey, r1, r2, angle, status);
  IInfo("Results of initial fit of an ellipse to powder ring coordinates:", status);
  IInfo(IFormat("Centre of fitted ellipse = (%f, %f) pixels", ex / px, ey / py), status);
  IInfo(IFormat("Radius of first axis = %f, Radius of second axis = %f (metres)",
                static_cast<double>(r1), static_cast<double>(r2)),
        status);
  IInfo(IFormat("Angle of first axis = %f (degrees)", angle * kRadiansToDegrees), status);

  // 6. Starting geometry.
  g = PowderGeometry{};
  g.wavelength = d.wavelength;
  if (gFitCentre) {
    g.beamX = static_cast<float>(ex + 2.0 * (r1 - r2) * std::cos(angle));
    g.beamY = static_cast<float>(ey + 2.0 * (r1 - r2) * std::sin(angle));
  } else {
    g.beamX = static_cast<float>(d.beamCentreX * px);
    g.beamY = static_cast<float>(d.beamCentreY * py);
  }
  if (gFitTilt) {
    double axis = angle + M_PI / 2.0;
    while (axis > M_PI) axis -= 2.0 * M_PI;
    while (axis < -M_PI) axis += 2.0 * M_PI;
    g.tiltAxisAngle = static_cast<float>(axis);
    g.tiltAngle = static_cast<float>(-std::acos(std::clamp(r2 / r1, 0.0f, 1.0f)));
  } else {
    g.tiltAxisAngle = d.tiltAxisAngle;
    g.tiltAngle = d.tiltAngle;
  }
  g.distance = d.distance;
  if (gFitDistance) {
    const double twoTheta0 = MRingTwoTheta(d.wavelength, table[0]);
    if (!std::isfinite(twoTheta0)) {
      IWarning("LVFitCalibrant: The wavelength cannot reach the first ring of the calibrant",
               status);
      return kFalse;
    }
    g.distance = static_cast<float>(std::min(r1, r2) / std::tan(twoTheta0));
  }
  IInfo(IFormat("Initial beam centre = %f, %f", g.beamX / px, g.beamY / py), status);
  IInfo(IFormat("Initial distance = %f metres, wavelength = %f Angstroms",
                static_cast<double>(g.distance), g.wavelength * 1.0e10),
        status);
  IInfo(IFormat("Initial tilt axis angle = %f, tilt angle = %f",
                g.tiltAxisAngle * kRadiansToDegrees, g.tiltAngle * kRadiansToDegrees),
        status);

  // 7. Half-width of the search.
  float halfWidth = std::max(r1, r2) / 12.0f;
  if (code == kCalibrantSodiumChloride || code == kCalibrantParaffinWax) halfWidth /= 2.0f;

  // 8. Ring after ring: predicted, searched, and fitted with the rings before it.
  std::vector<float> xs(static_cast<std::size_t>(kMaximumRings * kRingPoints), 0.0f);
  std::vector<float> ys(xs.size(), 0.0f);
  std::vector<int> counts(static_cast<std::size_t>(kMaximumRings), 0);
  std::vector<float> ds(table);
  auto tableOf = [&](int k) {
    return RingTable{kRingPoints, kMaximumRings, k, counts.data(), xs.data(), ys.data()};
  };
  PowderFitFlags flags;
  flags.beamCentre = gFitCentre;
  flags.tilt = gFitTilt;
  flags.distance = gFitDistance;
  // Neighbouring rings closer than twice the half-width would pull each other's points: the
  // annulus stays within half the gap to the nearest other ring.
  auto searchLimit = [&](int k) {
    float limit = halfWidth;
    const double own = std::tan(MRingTwoTheta(g.wavelength, ds[k]));
    if (!std::isfinite(own)) return limit;
    for (int j = 0; j < rings; ++j) {
      const double other = std::tan(MRingTwoTheta(g.wavelength, ds[j]));
      const double gap = std::fabs(other - own) * g.distance;
      if (j != k && std::isfinite(gap) && gap > 0.25 * px) {
        limit = std::min(limit, static_cast<float>(0.5 * gap));
      }
    }
    return limit;
  };
  for (int k = 0; k < rings; ++k) {
    float* rx = xs.data() + static_cast<std::size_t>(k) * kRingPoints;
    float* ry = ys.data() + static_cast<std::size_t>(k) * kRingPoints;
    const double twoTheta = MRingTwoTheta(g.wavelength, ds[k]);
    float pcx = 0.0f, pcy = 0.0f, p1 = 0.0f, p2 = 0.0f, pa = 0.0f;
    // Where to search: the first ring where the user clicked it; the next two on the first
    // ring's ellipse scaled to their 2-theta (one or two rings leave the tilt and the centre
    // ill-determined, so their fit is no guide yet); the others where the geometry fitted so
    // far puts them. A ring the wavelength cannot reach, or one that misses the detector
    // plane, has no points.
    bool placed = false;
    if (k == 0) {
      pcx = ex, pcy = ey, p1 = r1, p2 = r2, pa = angle;
      placed = true;
    } else if (std::isfinite(twoTheta) && k < 3) {
      const double scale = std::tan(twoTheta) / std::tan(MRingTwoTheta(g.wavelength, ds[0]));
      if (std::isfinite(scale) && scale > 0.0) {
        pcx = ex, pcy = ey, pa = angle;
        p1 = static_cast<float>(r1 * scale);
        p2 = static_cast<float>(r2 * scale);
        placed = true;
      }
    } else if (std::isfinite(twoTheta)) {
      placed = MPredictRingEllipse(g, twoTheta, pcx, pcy, p1, p2, pa, status) != 0;
    }
    const float limit = placed ? searchLimit(k) : halfWidth;
    if (placed && p2 > limit) {
      // The search band of the first ring shows where the clicks led; the later rings show
      // only the points found on them (dozens of bands would hide the image).
      for (int sign : {-1, 1}) {
        if (k == 0) LVOverlayEllipse(d, pcx, pcy, p1 + sign * limit, p2 + sign * limit, pa, status);
      }
      if (!LVFindRingCoordinates(d, pcx, pcy, p1, p2, pa, limit, kSegments, kRingPoints,
                                 counts[k], rx, ry, status)) {
        return kFalse;
      }
      LVOverlayMarkers(d, counts[k], rx, ry, status);
    }
    if (status != kStatusGood) return kFalse;
    int total = 0;
    for (int j = 0; j <= k; ++j) total += counts[j];
    if (total < 6) continue;  // nothing to fit yet
    IInfo(IFormat("Simultaneous fitting of %i cones", k + 1), status);
    flags.wavelength = gFitWavelength && k + 1 >= 4 ? kTrue : kFalse;
    float ringRms = 0.0f;
    PowderGeometry trial = g;
    if (!MFitPowderRings(tableOf(k + 1), flags, trial, ds.data(), ringRms, status)) {
      if (status != kStatusGood) return kFalse;
      IWarning(IFormat("Stopping as the fit of %i cones failed", k + 1), status);
      break;
    }
    if (std::fabs(ringRms) > 1.0e20f) {
      IWarning(IFormat("Stopping as RMS error is too high: %g", static_cast<double>(ringRms)),
               status);
      break;
    }
    g = trial;
    rms = ringRms;
    ReportGeometry(d, g, status);
  }

  // 9. Every ring located again about the geometry fitted from all of them, now by its
  // profile in 2-theta: the first searches took the centre of mass of radial profiles about
  // rough predictions, which the tails of neighbouring rings, the window's edges and the
  // ring's slant on a tilted detector pull by tenths of a pixel. Each round's points are
  // fitted, and the next round locates the rings about that fit; the rounds stop once the
  // geometry holds still.
  if (rms > 0.0f) {
    std::vector<float> againX(xs.size()), againY(ys.size());
    std::vector<int> found(counts.size(), 0);
    // The rings' widths measured in one round serve the next unless the geometry moved on
    // by more than a few hundredths of a pixel: about a geometry that is off, a ring's
    // pixels spread in 2-theta and look wider than the ring is.
    std::vector<float> widths(counts.size(), 0.0f);
    for (int round = 0; round < kProfileRounds; ++round) {
      if (!MRingProfilePoints(d, g, rings, ds.data(), kSegments, kRingPoints, found.data(),
                              againX.data(), againY.data(), status, widths.data())) {
        return kFalse;
      }
      int total = 0;
      for (int k = 0; k < rings; ++k) total += found[static_cast<std::size_t>(k)];
      if (total < 6) break;
      for (int k = 0; k < rings; ++k) {
        float* fx = againX.data() + static_cast<std::size_t>(k) * kRingPoints;
        float* fy = againY.data() + static_cast<std::size_t>(k) * kRingPoints;
        if (!MRingRejectOutliers(g, ds[static_cast<std::size_t>(k)], rms, 4.0f, kRingPoints,
                                 found[static_cast<std::size_t>(k)], fx, fy, status)) {
          return kFalse;
        }
      }
      std::vector<float> trialDs(ds);
      PowderGeometry trial = g;
      float trialRms = 0.0f;
      const RingTable again{kRingPoints, kMaximumRings, rings, found.data(), againX.data(),
                            againY.data()};
      flags.wavelength = gFitWavelength && rings >= 4 ? kTrue : kFalse;
      if (!MFitPowderRings(again, flags, trial, trialDs.data(), trialRms, status)) {
        if (status != kStatusGood) return kFalse;
        break;  // the profile points give no fit: the points found before stay
      }
      // How far the rings moved: the centre, the distance, and the tilt (a tilt change moves
      // a ring half the distance out by about a quarter of the distance times the angle).
      const double tiltMoved =
          std::fabs(trial.tiltAngle - g.tiltAngle) +
          std::fabs(std::sin(g.tiltAngle)) *
              std::fabs(std::remainder(trial.tiltAxisAngle - g.tiltAxisAngle, 2.0 * M_PI));
      const double moved = std::hypot(trial.beamX - g.beamX, trial.beamY - g.beamY) / px +
                           std::fabs(trial.distance - g.distance) / px +
                           0.25 * std::fabs(g.distance) * tiltMoved / px;
      xs = againX;
      ys = againY;
      counts = found;
      g = trial;
      rms = trialRms;
      IInfo(IFormat("Rings located by their 2-theta profiles: %i points, RMS %f (pixels)", total,
                    rms / px),
            status);
      if (moved < 0.01) break;
      if (moved > kWidthsKeptWithin) std::fill(widths.begin(), widths.end(), 0.0f);
    }
  }

  // 10. Outliers on every ring.
  IInfo("Rejecting Out-liers from all rings:", status);
  for (int k = 0; k < rings; ++k) {
    if (!MRingRejectOutliers(g, ds[k], rms, 4.0f, kRingPoints, counts[k],
                             xs.data() + static_cast<std::size_t>(k) * kRingPoints,
                             ys.data() + static_cast<std::size_t>(k) * kRingPoints, status)) {
      return kFalse;
    }
  }

  // 11. All rings together.
  flags.wavelength = gFitWavelength && rings >= 4 ? kTrue : kFalse;
  if (!MFitPowderRings(tableOf(rings), flags, g, ds.data(), rms, status)) return kFalse;
  IInfo("Best fit to coordinates found on all given rings:", status);
  IInfo(IFormat("Beam Centre X = %f , Beam Centre Y = %f (pixels)", g.beamX / px, g.beamY / py),
        status);
  IInfo(IFormat("Tilt axis angle = %f (degrees), tilt angle = %f (degrees)",
                g.tiltAxisAngle * kRadiansToDegrees, g.tiltAngle * kRadiansToDegrees),
        status);
  IInfo(IFormat("Detector Distance = %f metres, Wavelength = %f Angstroms",
                static_cast<double>(g.distance), g.wavelength * 1.0e10),
        status);
  IInfo(IFormat("RMS Radial distance error = %g metres", static_cast<double>(rms)), status);
  IInfo(IFormat("RMS Radial distance error = %f (pixels)", rms / px), status);

  return status == kStatusGood ? kTrue : kFalse;
}

// Step 12: what was fitted goes into the data set and the data base.
void StoreFitted(DataSet& d, const PowderGeometry& g, int& status) {
  const double px = d.pixelSizeX, py = d.pixelSizeY;
  if (gFitCentre) {
    d.beamCentreX = static_cast<float>(g.beamX / px);
    d.beamCentreY = static_cast<float>(g.beamY / py);
    ISetDBRealItem("Beam_CentreX", d.beamCentreX, status);
    ISetDBRealItem("Beam_CentreY", d.beamCentreY, status);
  }
  if (gFitTilt) {
    d.tiltAxisAngle = g.tiltAxisAngle;
    d.tiltAngle = g.tiltAngle;
    ISetDBRealItem("Tilt_Axis_Angle", static_cast<float>(g.tiltAxisAngle * kRadiansToDegrees),
                   status);
    ISetDBRealItem("Tilt_Angle", static_cast<float>(g.tiltAngle * kRadiansToDegrees), status);
  }
  if (gFitDistance) {
    d.distance = g.distance;
    ISetDBRealItem("Sample_Detector_Distance", g.distance, status);
  }
  if (gFitWavelength) {
    d.wavelength = g.wavelength;
    if (g.wavelength > 1.0e-13f) {
      ISetDBRealItem("Wavelength", static_cast<float>(g.wavelength * 1.0e10), status);
    }
  }
}

}  // namespace

void LVResetCalibrantAnswers() {
  gFitCentre = gFitTilt = gFitDistance = gFitWavelength = kTrue;
}

int LVCalibrantUserInput(int maximum, int& count, float dSpacings[], int& status) {
  static constexpr IRoutine kR{"LVCalibrantUserInput", "V0.21"};
  if (IBad(kR, status)) return kFalse;
  std::string fileName = "sample.Ds";
  IGetDBItem("Calibrant_User_File", fileName, status);
  if (!LVSelectDsFile(256, fileName, status)) return kFalse;
  count = 0;
  if (!FInput1DASCII(fileName, maximum, count, dSpacings, status)) return kFalse;
  int kept = 0;
  for (int i = 0; i < count; ++i) {
    if (!(dSpacings[i] > 0.0f) || !std::isfinite(dSpacings[i])) continue;  // no ring
    dSpacings[kept++] = static_cast<float>(dSpacings[i] * 1.0e-10);
  }
  count = kept;
  ISetDBItem("Calibrant_User_File", fileName, status);
  IInfo(IFormat("%i D-spacings input from %s", count, fileName.c_str()), status);
  return kTrue;
}

int LVFitCalibrant(int code, DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVFitCalibrant", "V0.21"};
  if (IBad(kR, status)) return kFalse;
  if (!d.dataDefined || !d.data) {
    IWarning("LVFitCalibrant: Data is not defined", status);
    return kFalse;
  }
  if (!ICheckData("LVFitCalibrant: data", d, status)) return kFalse;
  const char* prompt = FirstRingPrompt(code);
  if (!prompt) {
    IWarning("Unknown Calibrant", status);
    return kFalse;
  }
  ISetDBIntItem("Calibrant_Rings_Code", code, status);  // the rings shown are this one's

  std::vector<float> table;
  bool nothing = false;
  if (!AskAndReadTable(code, table, nothing, status)) return nothing ? kTrue : kFalse;

  // 3. Points on the first ring (the clicked points, in metres).
  const double px = d.pixelSizeX, py = d.pixelSizeY;
  std::vector<float> x(kRingPoints), y(kRingPoints);
  int n = 0;
  const int clicked = GGetCoordinates(
      {d, prompt, kTrue, kFalse, kFalse, kFalse, kRingPoints, n, x.data(), y.data(), status});
  if (!clicked) return kFalse;
  if (n < 5) {
    IWarning("5 OR MORE COORDINATES MUST BE ENTERED FOR FITTING POWDER RING", status);
    return kFalse;
  }
  for (int i = 0; i < n; ++i) {
    x[i] = static_cast<float>(x[i] * px);
    y[i] = static_cast<float>(y[i] * py);
  }

  PowderGeometry g;
  float rms = 0.0f;
  if (!FitFromFirstRing(d, code, table, n, x, y, g, rms, status)) return kFalse;
  // 12. What was fitted is stored.
  StoreFitted(d, g, status);
  return status == kStatusGood ? kTrue : kFalse;
}

int LVFitCalibrantAuto(int code, DataSet& d, int& status) {
  static constexpr IRoutine kR{"LVFitCalibrantAuto", "V0.1"};
  if (IBad(kR, status)) return kFalse;
  if (!d.dataDefined || !d.data) {
    IWarning("LVFitCalibrantAuto: Data is not defined", status);
    return kFalse;
  }
  if (!ICheckData("LVFitCalibrantAuto: data", d, status)) return kFalse;
  if (code == 0) {
    // From the menu: which calibrant, proposed as the one fitted last.
    int last = kCalibrantCeriumDioxide;
    IGetDBIntItem("Calibrant_Rings_Code", last, status);
    int choice = std::clamp(last - kCalibrantAlumina + 1, 1, 9);
    if (!WGetInteger({"CALIBRANT: 1 ALUMINA, 2 CALCITE, 3 CERIUM DIOXIDE, 4 LANTHANUM "
                      "HEXABORIDE, 5 SODIUM CHLORIDE, 6 SILICON, 7 QUARTZ, 8 USER FILE, "
                      "9 PARAFFIN WAX",
                      kTrue, kTrue, 1, 9, choice, status})) {
      return kFalse;
    }
    code = kCalibrantAlumina + choice - 1;
  }
  if (!FirstRingPrompt(code)) {
    IWarning("Unknown Calibrant", status);
    return kFalse;
  }
  const double px = d.pixelSizeX, py = d.pixelSizeY;
  ISetDBIntItem("Calibrant_Rings_Code", code, status);

  std::vector<float> table;
  bool nothing = false;
  if (!AskAndReadTable(code, table, nothing, status)) return nothing ? kTrue : kFalse;

  // 3. The centre and the rings from the image: points on one ring of the calibrant.
  PowderStart start;
  if (!MFindPowderStart(d, d.wavelength, static_cast<int>(table.size()), table.data(),
                        d.distance, start, status)) {
    if (status != kStatusGood) return kFalse;
    // Rings that do not match are most often the right rings at a wavelength not the beam's.
    std::string why = start.reason;
    if (why.find("d-spacings") != std::string::npos) {
      why += IFormat(" at the wavelength %f Angstroms: is it the beam's?", d.wavelength * 1.0e10);
    }
    IWarning(IFormat("LVFitCalibrantAuto: No rings of the calibrant found in the image (%s); "
                     "the geometry is unchanged",
                     why.c_str()),
             status);
    return kFalse;
  }
  IInfo(IFormat("Rings of the calibrant found: %i about (%f, %f) pixels, distance about %f "
                "metres",
                start.ringsFound, start.centreX / px, start.centreY / py, start.distance),
        status);
  // The points go onto the table's first ring, scaled about the centre by tan 2-theta.
  const double first = std::tan(MRingTwoTheta(d.wavelength, table[0]));
  const double found = std::tan(MRingTwoTheta(d.wavelength, table[static_cast<std::size_t>(start.ring)]));
  const double scale = first / found;
  if (!std::isfinite(scale) || !(scale > 0.0)) {
    IWarning("LVFitCalibrantAuto: The wavelength cannot reach the first ring of the calibrant; "
             "the geometry is unchanged",
             status);
    return kFalse;
  }
  const int n = std::min(static_cast<int>(start.x.size()), kRingPoints);
  std::vector<float> x(kRingPoints, 0.0f), y(kRingPoints, 0.0f);
  for (int i = 0; i < n; ++i) {
    x[i] = static_cast<float>(start.centreX + scale * (start.x[i] - start.centreX));
    y[i] = static_cast<float>(start.centreY + scale * (start.y[i] - start.centreY));
  }

  PowderGeometry g;
  float rms = 0.0f;
  if (!FitFromFirstRing(d, code, table, n, x, y, g, rms, status)) return kFalse;
  // Rings that were not the calibrant's, or a fit that went astray, leave residuals no
  // calibrant ring has: nothing is stored then.
  if (!(std::fabs(rms) / px <= kMostAutomaticRms)) {
    IWarning(IFormat("LVFitCalibrantAuto: The rings found do not fit the calibrant (RMS %f "
                     "pixels); the geometry is unchanged",
                     std::fabs(rms) / px),
             status);
    return kFalse;
  }
  StoreFitted(d, g, status);
  return status == kStatusGood ? kTrue : kFalse;
}

namespace {

constexpr int kRingMenuItem = 449;

// The d-spacings (metres) of the calibrant whose rings are shown. A user file is read once
// for each name.
std::vector<float> ShownCalibrant(int& status) {
  int code = kCalibrantCeriumDioxide;
  IGetDBIntItem("Calibrant_Rings_Code", code, status);
  std::vector<float> table;
  if (code == kCalibrantUserFile) {
    static std::string cachedName;
    static std::vector<float> cached;
    std::string fileName;
    IGetDBItem("Calibrant_User_File", fileName, status);
    if (fileName != cachedName) {
      cachedName = fileName;
      cached.assign(static_cast<std::size_t>(kMaximumRings), 0.0f);
      int count = 0, local = kStatusGood;
      if (!FInput1DASCII(fileName, kMaximumRings, count, cached.data(), local)) count = 0;
      cached.resize(static_cast<std::size_t>(std::max(count, 0)));
      for (float& v : cached) v = static_cast<float>(v * 1.0e-10);
    }
    return cached;
  }
  std::string name;
  if (!MCalibrantTable(code, name, table)) MCalibrantTable(kCalibrantCeriumDioxide, name, table);
  for (float& v : table) v = static_cast<float>(v * 1.0e-10);
  return table;
}

}  // namespace

bool LVCalibrantRingsShown() {
  int shown = kFalse, local = kStatusGood;
  IGetDBBooleanItem("Calibrant_Rings", shown, local);
  return shown != kFalse;
}

void LVDrawCalibrantRings(PCanvas* canvas, const DataSet& d, int& status) {
  if (!canvas || status != kStatusGood || !LVCalibrantRingsShown() || !MGeometryValid(d) ||
      !d.dataDefined || d.numY < 2) {
    return;
  }
  MDetectorTransform t;
  MSetDetectorTransform(d, t);
  const std::vector<float> table = ShownCalibrant(status);
  constexpr int kSteps = 720;
  canvas->SetPen(1, PColour{255, 64, 200});
  std::vector<PPoint> line;
  auto flush = [&]() {
    if (line.size() >= 2) canvas->PolyLine(line.data(), static_cast<int>(line.size()));
    line.clear();
  };
  for (const float dSpacing : table) {
    const double twoTheta = MRingTwoTheta(static_cast<double>(d.wavelength), dSpacing);
    if (!std::isfinite(twoTheta)) continue;
    for (int k = 0; k <= kSteps; ++k) {
      double x = 0.0, y = 0.0;
      const bool inside = MRingPoint(t, twoTheta, 2.0 * M_PI * k / kSteps, x, y) && x >= 0.0 &&
                          y >= 0.0 && x <= d.numX && y <= d.numY;
      if (!inside) {
        flush();
        continue;
      }
      line.push_back(PPoint{GDataToWindowX(static_cast<float>(x), d),
                            GDataToWindowY(static_cast<float>(y), d)});
    }
    flush();
  }
}

void LVRegisterCalibrantCommands() {
  LVRegisterCommand({.name = "Calibrant_Rings", .work = [](LVCommandCall& call) {
                       const bool shown = !LVCalibrantRingsShown();
                       ISetDBBooleanItem("Calibrant_Rings", shown ? kTrue : kFalse, call.status);
                       PCurrentBackend().SetMenuItemChecked(kRingMenuItem, shown);
                       IInfo(shown ? "The rings of the calibrant are drawn as the geometry "
                                     "predicts them"
                                   : "The rings of the calibrant are not drawn",
                             call.status);
                       return kTrue;
                     }});
  LVRegisterCommand({.name = "Fit_Calibrant",
                     .work = [](LVCommandCall& call) {
                       return LVFitCalibrant(call.event.value, call.main, call.status);
                     },
                     .setsGeometry = true});
  LVRegisterCommand({.name = "Fit_Calibrant_Auto",
                     .work = [](LVCommandCall& call) {
                       return LVFitCalibrantAuto(call.event.value, call.main, call.status);
                     },
                     .setsGeometry = true});
}
