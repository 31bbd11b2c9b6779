// The ring-point search: azimuthal segments of an annulus about an ellipse, one point per
// segment at the centre of mass of its radial profile.
#include <algorithm>
#include <cmath>
#include <string>

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
  const double inner = (r1 - limit) / r1, outer = (r1 + limit) / r1;
  const double width = kTwoPi / segments;
  // Start radius: where the inner edge of the annulus lies in the segment's middle direction.
  for (int s = 0; s < segments; ++s) {
    const double phi = (s + 0.5) * width;
    const double u = std::cos(phi - a) / r1, v = std::sin(phi - a) / r2;
    startRadii[s] = static_cast<float>(inner / std::sqrt(u * u + v * v));
  }

  const double maxRadius = std::max(r1, r2), minRadius = std::min(r1, r2);
  const int x0 = std::max(d.startX, static_cast<int>(std::floor(cx - (maxRadius + limit + 0.9999))));
  const int x1 = std::min(d.endX, static_cast<int>(std::ceil(cx + (maxRadius + limit + 0.9999))));
  const int y0 = std::max(d.startY, static_cast<int>(std::floor(cy - (maxRadius + limit + 0.9999))));
  const int y1 = std::min(d.endY, static_cast<int>(std::ceil(cy + (maxRadius + limit + 0.9999))));
  // The square inside the inner ellipse holds no pixel of the annulus.
  const double half = (minRadius - limit - 0.4999) * 0.7071;
  const double holeX0 = cx - half + 1.0, holeX1 = cx + half - 1.0;
  const double holeY0 = cy - half + 1.0, holeY1 = cy + half - 1.0;
  const unsigned char* mask =
      (d.maskInUse && d.maskAllocated && d.mask) ? d.mask.get() : nullptr;

  for (int iy = y0; iy <= y1; ++iy) {
    const double y = iy + 0.5 - cy;
    const bool rowInHole = half > 1.0 && iy + 0.5 > holeY0 && iy + 0.5 < holeY1;
    for (int ix = x0; ix <= x1; ++ix) {
      if (rowInHole && ix + 0.5 > holeX0 && ix + 0.5 < holeX1) continue;
      const double x = ix + 0.5 - cx;
      const double u = ca * x + sa * y, v = -sa * x + ca * y;
      const double e = std::sqrt((u / r1) * (u / r1) + (v / r2) * (v / r2));
      if (e < inner || e > outer) continue;
      double azimuth = std::atan2(y, x);
      if (azimuth < 0.0) azimuth += kTwoPi;
      const int s = std::min(segments - 1, static_cast<int>(azimuth / width));
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
    if (!(centre >= 1.0f && centre <= length - 2.0f)) continue;
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
