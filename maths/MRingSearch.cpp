// The ring-point search: azimuthal segments of an annulus about an ellipse, one point per
// segment at the centre of mass of its radial profile.
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "core/status.h"
#include "maths/MGeometry.h"
#include "maths/MRingFit.h"

namespace {

constexpr double kTwoPi = 2.0 * M_PI;
// The diameter of a disk of one pixel's area, and its half.
constexpr double kDiskWidth = 1.1283792;
constexpr double kDiskHalf = 0.5641896;

int FindRing(const char* name, const DataSet& d, float centreX, float centreY, float radius1,
             float radius2, float angle, float searchLimit, int segments, int maxPoints,
             int& points, float xs[], float ys[], int& status) {
  const IRoutine kR{name, "V0.21"};
  if (IBad(kR, status)) return kFalse;
  points = 0;
  if (!(searchLimit > 0.0f)) {
    IWarning(IFormat("%s: search_limit = %g", name, static_cast<double>(searchLimit)), status);
    return IFail(kR, kStatusRealRange1, status);
  }
  if (segments <= 0) {
    IWarning(IFormat("%s: num_segments = %i", name, segments), status);
    return IFail(kR, kStatusIntRange1, status);
  }
  if (!ICheckData(std::string(name) + ": data", d, status)) return kFalse;
  if (!d.dataDefined || !d.data) return IFail(kR, kStatusNotAllocated, status);
  if (maxPoints < 1) return IFail(kR, kStatusIntRange2, status);

  // The ellipse and the limit in pixels.
  float cx = centreX, cy = centreY, r1 = radius1, r2 = radius2, a = angle;
  MEllipse2IPC(d, cx, cy, r1, r2, a);
  const double limit = searchLimit / d.pixelSizeX;
  if (!(r1 > 0.0f) || !(r2 > 0.0f) || !std::isfinite(cx) || !std::isfinite(cy) ||
      !std::isfinite(limit) || limit > static_cast<double>(d.numX) + d.numY) {
    IWarning(IFormat("%s: The ring to search is not a usable ellipse", name), status);
    return IFail(kR, kStatusRealRange1, status);
  }
  const int length = static_cast<int>(2.0 * limit);
  if (length < 3) return kTrue;  // a profile of fewer than 3 bins has no inner centre
  // The annulus spans whole bins with the ellipse in its middle: a profile cut off more on
  // one side pulls its centre of mass that way (by a fifth of a pixel for rings 2 pixels
  // wide in a window of 6.9 pixels).
  const double halfSpan = 0.5 * length;

  const std::int64_t cells = static_cast<std::int64_t>(segments) * length;
  IArray<int> counts, good;
  IArray<float> profiles, weights, startRadii;
  const std::string n(name);
  if (!IAllocateMemory((n + ": NUM_PIXELS").c_str(), segments, counts, status) ||
      !IAllocateMemory((n + ": GOOD_SEGMENTS").c_str(), segments, good, status) ||
      !IAllocateMemory((n + ": PROFILES").c_str(), cells, profiles, status) ||
      !IAllocateMemory((n + ": NORMALISATIONS").c_str(), cells, weights, status) ||
      !IAllocateMemory((n + ": START_RADII").c_str(), segments, startRadii, status)) {
    return kFalse;
  }
  std::fill(counts.get(), counts.get() + segments, 0);
  std::fill(good.get(), good.get() + segments, kTrue);
  std::fill(profiles.get(), profiles.get() + cells, 0.0f);
  std::fill(weights.get(), weights.get() + cells, 0.0f);

  const double ca = std::cos(static_cast<double>(a)), sa = std::sin(static_cast<double>(a));
  const double inner = (r1 - halfSpan) / r1, outer = (r1 + halfSpan) / r1;
  const double width = kTwoPi / segments;
  // Start radius: half the span inside the ellipse in the segment's middle direction.
  for (int s = 0; s < segments; ++s) {
    const double phi = (s + 0.5) * width;
    const double u = std::cos(phi - a) / r1, v = std::sin(phi - a) / r2;
    startRadii[s] = static_cast<float>(1.0 / std::sqrt(u * u + v * v) - halfSpan);
  }

  const double maxRadius = std::max(r1, r2);
  const double reach = maxRadius + halfSpan + 0.9999;
  const int x0 = std::max(d.startX, static_cast<int>(std::floor(cx - reach)));
  const int x1 = std::min(d.endX, static_cast<int>(std::ceil(cx + reach)));
  const int y0 = std::max(d.startY, static_cast<int>(std::floor(cy - reach)));
  const int y1 = std::min(d.endY, static_cast<int>(std::ceil(cy + reach)));
  const unsigned char* mask =
      (d.maskInUse && d.maskAllocated && d.mask) ? d.mask.get() : nullptr;

  // Each row crosses the annulus in at most two runs of pixels: between the outer and the
  // inner ellipse on either side. e^2 = A x^2 + 2 B x y + C y^2 about the centre.
  const double q1 = 1.0 / (static_cast<double>(r1) * r1);
  const double q2 = 1.0 / (static_cast<double>(r2) * r2);
  const double qa = ca * ca * q1 + sa * sa * q2, qb = ca * sa * (q1 - q2);
  const double qc = sa * sa * q1 + ca * ca * q2;
  // The x offsets (from the centre) where the row at offset y meets e = level; false when it
  // does not.
  auto crossings = [&](double y, double level, double& low, double& high) {
    const double disc = qb * qb * y * y - qa * (qc * y * y - level * level);
    if (!(disc > 0.0)) return false;
    const double root = std::sqrt(disc);
    low = (-qb * y - root) / qa;
    high = (-qb * y + root) / qa;
    return true;
  };
  // Pixel columns whose centres lie within [low, high] of the centre, a pixel to spare.
  auto columns = [&](double low, double high, int& first, int& last) {
    first = std::max(x0, static_cast<int>(std::floor(cx + low - 0.5)) - 1);
    last = std::min(x1, static_cast<int>(std::ceil(cx + high - 0.5)) + 1);
  };

  // The segments' boundary directions.
  std::vector<double> boundaryCos(static_cast<std::size_t>(segments) + 1);
  std::vector<double> boundarySin(boundaryCos.size());
  for (int k = 0; k <= segments; ++k) {
    boundaryCos[static_cast<std::size_t>(k)] = std::cos(k * width);
    boundarySin[static_cast<std::size_t>(k)] = std::sin(k * width);
  }

  for (int iy = y0; iy <= y1; ++iy) {
    const double y = iy + 0.5 - cy;
    double outerLow = 0.0, outerHigh = 0.0, innerLow = 0.0, innerHigh = 0.0;
    if (!crossings(y, outer, outerLow, outerHigh)) continue;
    int runs[2][2];
    int runCount = 0;
    if (crossings(y, inner, innerLow, innerHigh) && innerHigh - innerLow > 4.0) {
      columns(outerLow, innerLow, runs[0][0], runs[0][1]);
      columns(innerHigh, outerHigh, runs[1][0], runs[1][1]);
      runCount = 2;
      if (runs[1][0] <= runs[0][1]) {  // the runs meet: one run
        runs[0][1] = runs[1][1];
        runCount = 1;
      }
    } else {
      columns(outerLow, outerHigh, runs[0][0], runs[0][1]);
      runCount = 1;
    }
    for (int run = 0; run < runCount; ++run) {
      int s = -1;
      for (int ix = runs[run][0]; ix <= runs[run][1]; ++ix) {
        const double x = ix + 0.5 - cx;
        const double u = ca * x + sa * y, v = -sa * x + ca * y;
        const double e = std::sqrt((u / r1) * (u / r1) + (v / r2) * (v / r2));
        if (e < inner || e > outer) continue;
        // Along a row the azimuth runs one way (down for y > 0, up for y < 0): after the run's
        // first pixel the segment only has to step over the boundaries the pixel has passed.
        if (s < 0 || y == 0.0) {
          double azimuth = std::atan2(y, x);
          if (azimuth < 0.0) azimuth += kTwoPi;
          s = std::min(segments - 1, static_cast<int>(azimuth / width));
        } else if (y > 0.0) {
          while (s > 0 && boundaryCos[s] * y - boundarySin[s] * x < 0.0) --s;
        } else {
          while (s + 1 < segments && boundaryCos[s + 1] * y - boundarySin[s + 1] * x >= 0.0) ++s;
        }
        const std::size_t index = IIndex(d, ix, iy);
        if (mask && mask[index]) {
          good[s] = kFalse;
          continue;
        }
        const double value = d.data[index];
        const double low = std::sqrt(x * x + y * y) - startRadii[s] - kDiskHalf;
        const double high = low + kDiskWidth;
        const int j0 = std::max(0, static_cast<int>(std::floor(low)));
        const int j1 = std::min(length - 1, static_cast<int>(std::floor(high)));
        float* profile = profiles.get() + static_cast<std::size_t>(s) * length;
        float* weight = weights.get() + static_cast<std::size_t>(s) * length;
        for (int j = j0; j <= j1; ++j) {
          const double overlap = std::min(high, j + 1.0) - std::max(low, static_cast<double>(j));
          if (overlap <= 0.0) continue;
          const double w = overlap / kDiskWidth;
          profile[j] = static_cast<float>(profile[j] + value * w);
          weight[j] = static_cast<float>(weight[j] + w);
        }
        ++counts[s];
      }
    }
  }

  for (int s = 0; s < segments && points < maxPoints; ++s) {
    if (!good[s] || counts[s] < length) continue;
    float* profile = profiles.get() + static_cast<std::size_t>(s) * length;
    const float* weight = weights.get() + static_cast<std::size_t>(s) * length;
    for (int j = 0; j < length; ++j)
      if (weight[j] > 0.0f) profile[j] /= weight[j];
    float centre = 0.0f;
    if (!MVectorCentreOfMass(length, 0, length - 1, profile, kTrue, centre, status)) {
      if (status != kStatusGood) return kFalse;
      continue;
    }
    // A centre within a bin of either end is the edge of the window, not a ring.
    if (!(centre >= 1.0f && centre <= length - 1.0f)) continue;
    const double phi = (s + 0.5) * width;
    const double r = startRadii[s] + centre;
    xs[points] = static_cast<float>((cx + r * std::cos(phi)) * d.pixelSizeX);
    ys[points] = static_cast<float>((cy + r * std::sin(phi)) * d.pixelSizeY);
    ++points;
  }
  return kTrue;
}

}  // namespace

int LVFindRingCoordinates(const DataSet& d, float centreX, float centreY, float radius1,
                          float radius2, float angle, float searchLimit, int segments,
                          int maxPoints, int& points, float x[], float y[], int& status) {
  return FindRing("LVFindRingCoordinates", d, centreX, centreY, radius1, radius2, angle,
                  searchLimit, segments, maxPoints, points, x, y, status);
}

int LVFindCircleCoordinates(const DataSet& d, float centreX, float centreY, float radius,
                            float searchLimit, int segments, int maxPoints, int& points,
                            float x[], float y[], int& status) {
  // A circle in metres becomes an ellipse in pixels when the pixels are not square; the
  // ellipse search handles both.
  return FindRing("LVFindCircleCoordinates", d, centreX, centreY, radius, radius, 0.0f,
                  searchLimit, segments, maxPoints, points, x, y, status);
}
