#include "maths/MSimulate.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>

#include "core/status.h"
#include "maths/MGeometry.h"

namespace {

constexpr double kPoissonIntegerLimit = 2147483647.0;

struct Generator {
  std::int64_t first = 21579;
  std::int64_t second = 55966;
};

Generator& TheGenerator() {
  static Generator generator;
  return generator;
}

// A uniform deviate in (0, 1): logarithms of it stay finite.
double PositiveUniform() {
  double u = MRandomUniform();
  while (u <= 0.0) u = MRandomUniform();
  return u;
}

double NormalBoxMuller() {
  const double u1 = PositiveUniform();
  const double u2 = MRandomUniform();
  return std::cos(2.0 * M_PI * u2) * std::sqrt(-2.0 * std::log(u1));
}

// A real count to an integer, kept inside the integer range.
int CountOf(double value) {
  if (!(value > 0.0)) return 0;
  if (value >= static_cast<double>(INT_MAX)) return INT_MAX;
  return static_cast<int>(value);
}

}  // namespace

double MRandomUniform() {
  Generator& g = TheGenerator();
  g.first = (g.first * 7141 + 54773) % 259200;
  g.second = (g.second * 8121 + 28411) % 134456;
  return (static_cast<double>(g.first) + static_cast<double>(g.second) / 134456.0) / 259200.0;
}

void MRandomRestart() { TheGenerator() = Generator(); }

int MPoissonDeviate(double mean) {
  if (!(mean > 0.0)) return 0;
  // Beyond the integer range no count can be returned: the largest one stands for it.
  if (mean >= kPoissonIntegerLimit) return INT_MAX;
  if (mean < 30.0) {
    const double limit = std::exp(-mean);
    double product = MRandomUniform();
    int count = 0;
    while (product > limit) {
      product *= MRandomUniform();
      ++count;
    }
    return count;
  }
  if (mean < 87.0) {
    const double n = NormalBoxMuller();
    const double root = std::sqrt(mean) + n / 2.0;
    return CountOf(root * root - 0.33 + 0.4999999);
  }
  if (mean < 500.0) {
    // A normal deviate by the ratio of uniforms.
    double u = 0.0, v = 0.0;
    do {
      u = PositiveUniform();
      v = (2.0 * MRandomUniform() - 1.0) * 0.857763885;
    } while (-std::log(u) < v * v / (4.0 * u * u));
    const double root = std::sqrt(mean) + (v / u) / 2.0;
    return CountOf(root * root - 0.33 + 0.4999999);
  }
  return CountOf(mean + NormalBoxMuller() * std::sqrt(mean) + 0.4999999);
}

double MPoissonDeviateReal(double mean) {
  if (!(mean > 0.0)) return 0.0;
  if (mean < kPoissonIntegerLimit) return MPoissonDeviate(mean);
  if (!std::isfinite(mean)) return mean;
  const double value = std::floor(mean + NormalBoxMuller() * std::sqrt(mean) + 0.4999999);
  return value > 0.0 ? value : 0.0;
}

int MROIPoissonNoise(DataSet& d, int& status) {
  static constexpr IRoutine kR{"MROIPoissonNoise", "V0.4"};
  if (IBad(kR, status)) return kFalse;
  if (!ICheckDataLayout("MROIPoissonNoise:", d, status)) return kFalse;
  if (!d.dataDefined || !d.data) return kTrue;
  long long notNumbers = 0;
  for (int y = d.startY; y <= d.endY; ++y) {
    for (int x = d.startX; x <= d.endX; ++x) {
      float& value = d.data[IIndex(d, x, y)];
      if (std::isnan(value) || std::isinf(value)) {
        ++notNumbers;
        continue;
      }
      value = static_cast<float>(MPoissonDeviateReal(value));
    }
  }
  if (notNumbers > 0) {
    IWarning(IFormat("MROIPoissonNoise: %lld values are not finite numbers and were left as they "
                     "were",
                     notNumbers),
             status);
  }
  return kTrue;
}

int MSimulatePowder(DataSet& d, const PowderSimulation& s, int& status) {
  static constexpr IRoutine kR{"MSimulatePowder", "V0.1"};
  if (IBad(kR, status)) return kFalse;
  if (!d.dataAllocated || !d.data) return IFail(kR, kStatusNotAllocated, status);
  if (!MGeometryValid(d)) return IFail(kR, kStatusBadGeometry, status);
  if (s.dSpacings.empty()) return IFail(kR, kStatusIntRange1, status);
  if (!(s.fwhm > 0.0f) || !std::isfinite(s.fwhm)) return IFail(kR, kStatusRealRange1, status);
  if (!(s.fallOff > 0.0f)) return IFail(kR, kStatusRealRange2, status);

  struct Ring {
    double twoTheta, height;
  };
  std::vector<Ring> rings;
  for (float dSpacing : s.dSpacings) {
    const double twoTheta = MRingTwoTheta(d.wavelength * 1.0e10, dSpacing);
    if (std::isnan(twoTheta)) continue;
    rings.push_back({twoTheta, s.peakIntensity * std::exp(-twoTheta / s.fallOff)});
  }

  const double sigma = s.fwhm / (2.0 * std::sqrt(2.0 * std::log(2.0)));
  const double reach = 8.0 * sigma;  // beyond this a ring adds less than 1e-13 of its height
  MDetectorTransform t;
  MSetDetectorTransform(d, t);
  for (int y = 0; y < d.dimY; ++y) {
    for (int x = 0; x < d.dimX; ++x) {
      const double g = (x + 0.5 - t.beamX) * t.pixelX;
      const double h = (y + 0.5 - t.beamY) * t.pixelY;
      double value = s.background;
      double r = 0.0;
      if (MCorrectedRadius(t, g, h, r)) {
        const double twoTheta = std::atan2(r, t.distance);
        for (const Ring& ring : rings) {
          const double offset = twoTheta - ring.twoTheta;
          if (std::fabs(offset) > reach) continue;
          value += ring.height * std::exp(-offset * offset / (2.0 * sigma * sigma));
        }
      }
      d.data[IIndex(d, x, y)] = static_cast<float>(value);
    }
  }
  d.numX = d.dimX;
  d.numY = d.dimY;
  d.startX = d.startY = 0;
  d.endX = d.dimX - 1;
  d.endY = d.dimY - 1;
  d.dataDefined = kTrue;
  if (s.poissonNoise) return MROIPoissonNoise(d, status);
  return kTrue;
}
