// The cake (scan value x azimuth) and azimuthal sectors of the integration, on simulated
// images: against the 1-D scan of the same map, against pyFAI where it is installed.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "core/status.h"
#include "data/DataSet.h"
#include "maths/MIntegrate.h"
#include "tests/support/TestSupport.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

// Rings whose height changes with azimuth (1 + 0.5 cos phi), a tilted or flat detector.
void Simulate(DataSet& d, int size, double tilt, bool noise = false) {
  int status = kStatusGood;
  ASSERT_TRUE(IAllocateData(size, size, d, status));
  IDefineWholeImage(d, size, size);
  d.beamCentreX = size * 0.45f;
  d.beamCentreY = size * 0.55f;
  d.distance = 0.1f;
  d.pixelSizeX = d.pixelSizeY = 100.0e-6f;
  d.wavelength = 1.0e-10f;
  d.tiltAngle = static_cast<float>(tilt);
  d.tiltAxisAngle = 0.6f;
  d.polarisation = 0.9f;
  std::uint32_t seed = 7;
  for (int y = 0; y < size; ++y)
    for (int x = 0; x < size; ++x) {
      const double g = (x + 0.5 - d.beamCentreX), e = (y + 0.5 - d.beamCentreY);
      const double r = std::hypot(g, e);
      const double phi = std::atan2(e, g);
      double v = 20.0 + (1.0 + 0.5 * std::cos(phi)) *
                            (500.0 * std::exp(-std::pow(r - size * 0.2, 2) / 4.0) +
                             300.0 * std::exp(-std::pow(r - size * 0.33, 2) / 6.0));
      if (noise) {
        seed = seed * 1664525u + 1013904223u;
        v += (static_cast<double>(seed >> 8) / 16777216.0 - 0.5) * 4.0;
      }
      d.data[IIndex(d, x, y)] = static_cast<float>(v);
    }
}

IntegrationParameters Scan(const DataSet& d, int bins) {
  int status = kStatusGood;
  int near = 0, far = 0;
  float nearDistance = 0.0f, farDistance = 0.0f;
  ICalROICornerDistance(d, near, far, nearDistance, farDistance, status);
  IntegrationParameters p;
  p.scanType = kScan2Theta;
  p.outerRadius = farDistance;
  p.bins = bins;
  p.step = static_cast<float>(std::atan2(static_cast<double>(farDistance), d.distance) / bins);
  p.obliquityCorrection = kTrue;
  p.polarisationCorrection = kTrue;
  return p;
}

TEST(Cake, WeightedColumnsOverAzimuthGiveTheScan) {
  DataSet d;
  Simulate(d, 300, 0.05, true);
  int status = kStatusGood;
  CakeParameters cp;
  cp.radial = Scan(d, 200);
  cp.azimuthBins = 72;
  DataSet cake, scan;
  ASSERT_TRUE(IAllocateData(200, 72, cake, status));
  ASSERT_TRUE(IAllocateData(200, 1, scan, status));
  std::vector<double> weights;
  ASSERT_TRUE(MROICake(d, cp, cake, status, &weights));
  ASSERT_TRUE(MROIIntegrate(d, cp.radial, scan, status));
  EXPECT_EQ(cake.numX, 200);
  EXPECT_EQ(cake.numY, 72);
  EXPECT_FLOAT_EQ(cake.yAxisStart, -177.5f);
  EXPECT_FLOAT_EQ(cake.pixelSizeY, 5.0f);
  EXPECT_FLOAT_EQ(cake.xAxisStart, scan.xAxisStart);
  EXPECT_NE(cake.title.find("2-Theta / Azimuth Cake"), std::string::npos);
  int compared = 0;
  for (int r = 0; r < 200; ++r) {
    double sum = 0.0, weight = 0.0;
    for (int a = 0; a < 72; ++a) {
      const double w = weights[static_cast<std::size_t>(a) * 200 + r];
      sum += w * cake.data[IIndex(cake, r, a)];
      weight += w;
    }
    if (weight <= 1.0) continue;
    ++compared;
    // Cake bins that hold less than a hundredth of a pixel count as empty (as scan bins do):
    // their few pixels' hundredths are all that separates the two.
    ASSERT_NEAR(sum / weight, scan.data[r], 1.0e-4 * std::fabs(scan.data[r]) + 1.0e-4) << r;
  }
  EXPECT_GT(compared, 150);

  // The azimuthal modulation is kept: the ring at phi = 0 is three times that at 180.
  const int ring = static_cast<int>(std::round(std::atan2(60.0 * 100e-6, 0.1) / cp.radial.step - 0.5));
  double best0 = 0.0, best180 = 0.0;
  for (int r = ring - 3; r <= ring + 3; ++r) {
    best0 = std::max(best0, static_cast<double>(cake.data[IIndex(cake, r, 36)]));
    best180 = std::max(best180, static_cast<double>(cake.data[IIndex(cake, r, 0)]));
  }
  EXPECT_NEAR((best0 - 20) / (best180 - 20), 3.0, 0.4);

  // A repeated cake reuses its map; another azimuth binning builds one.
  const auto builds = MIntegrationCacheInfo().cakeBuilds;
  ASSERT_TRUE(MROICake(d, cp, cake, status));
  EXPECT_EQ(MIntegrationCacheInfo().cakeBuilds, builds);
  cp.azimuthBins = 36;
  ASSERT_TRUE(MROICake(d, cp, cake, status));
  EXPECT_EQ(MIntegrationCacheInfo().cakeBuilds, builds + 1);
  cp.azimuthBins = 0;
  EXPECT_FALSE(MROICake(d, cp, cake, status));
  EXPECT_EQ(status, kStatusIntRange1);
}

TEST(Cake, SectorsSelectAzimuthsAndWrapThroughHalfTurn) {
  DataSet d;
  Simulate(d, 240, 0.0);
  int status = kStatusGood;
  IntegrationParameters whole = Scan(d, 160);
  whole.polarisationCorrection = kFalse;
  DataSet all, right, left, wrapped;
  for (DataSet* s : {&all, &right, &left, &wrapped}) ASSERT_TRUE(IAllocateData(160, 1, *s, status));
  ASSERT_TRUE(MROIIntegrate(d, whole, all, status));
  IntegrationParameters p = whole;
  p.sector = kTrue;
  p.azimuthStart = static_cast<float>(-kPi / 8);
  p.azimuthEnd = static_cast<float>(kPi / 8);
  ASSERT_TRUE(MROIIntegrate(d, p, right, status));
  p.azimuthStart = static_cast<float>(7 * kPi / 8);
  p.azimuthEnd = static_cast<float>(-7 * kPi / 8);  // through +-180
  ASSERT_TRUE(MROIIntegrate(d, p, left, status));
  // The single pass agrees with the map.
  ASSERT_TRUE(MROIIntegrateSinglePass(d, p, wrapped, status));
  const int ring = static_cast<int>(std::round(std::atan2(48.0 * 100e-6, 0.1) / whole.step - 0.5));
  double r0 = 0, l0 = 0, a0 = 0;
  for (int b = ring - 3; b <= ring + 3; ++b) {
    r0 = std::max(r0, static_cast<double>(right.data[b]));
    l0 = std::max(l0, static_cast<double>(left.data[b]));
    a0 = std::max(a0, static_cast<double>(all.data[b]));
  }
  // cos over +-22.5 degrees about 0 and 180: heights 1 +- 0.5 x 0.974 of the ring.
  EXPECT_NEAR((r0 - 20) / (l0 - 20), 1.487 / 0.513, 0.25);
  EXPECT_GT(r0, a0);
  EXPECT_LT(l0, a0);
  for (int b = 0; b < 160; ++b) ASSERT_NEAR(wrapped.data[b], left.data[b], 1e-3 * (1 + std::fabs(left.data[b])));
  p.azimuthEnd = 4.0f;  // beyond the half turn
  EXPECT_FALSE(MROIIntegrate(d, p, left, status));
  EXPECT_EQ(status, kStatusRealRange2);
}

TEST(Cake, PoissonErrorsFollowTheCounts) {
  // A flat image of 100 counts: each bin's variance is 100 over its (fractional) pixel count
  // squared sum, so the error falls as one over the root of the pixels in the bin.
  DataSet d;
  int status = kStatusGood;
  ASSERT_TRUE(IAllocateData(200, 200, d, status));
  IDefineWholeImage(d, 200, 200);
  for (std::size_t i = 0; i < IElementCount(d); ++i) d.data[i] = 100.0f;
  d.beamCentreX = d.beamCentreY = 100.0f;
  d.distance = 0.1f;
  d.pixelSizeX = d.pixelSizeY = 100.0e-6f;
  IntegrationParameters p = Scan(d, 100);
  p.obliquityCorrection = kFalse;
  p.polarisationCorrection = kFalse;
  p.variances = kTrue;
  p.errorModel = kErrorsPoisson;
  DataSet scan, single;
  ASSERT_TRUE(IAllocateData(100, 1, scan, status));
  ASSERT_TRUE(IAllocateData(100, 1, single, status));
  ASSERT_TRUE(MROIIntegrate(d, p, scan, status));
  ASSERT_TRUE(MROIIntegrateSinglePass(d, p, single, status));
  ASSERT_TRUE(scan.variancesDefined);
  // Bin 50 holds about 2 pi r dr pixels (r = 50 px, dr = one bin): 100 over that with whole
  // pixels; split pixels count with their squared fractions, so a little less.
  const double pixels = 2.0 * kPi * 50.5 * (p.step * 0.1 / 100e-6);
  EXPECT_NEAR(scan.data[50], 100.0, 1e-3);
  EXPECT_LT(scan.variances[50], 100.0 / pixels);
  EXPECT_GT(scan.variances[50], 0.4 * 100.0 / pixels);
  for (int b = 5; b < 95; ++b) {
    ASSERT_NEAR(scan.variances[b], single.variances[b], 1e-4 * single.variances[b]) << b;
    ASSERT_LT(scan.variances[b], 100.0);  // never the scatter estimate's "value" fallback
  }
}

// pyFAI on the same image: the sector scan equals its azimuth_range result, the cake
// correlates with integrate2d.
TEST(Cake, AgreesWithPyFAI) {
  ScratchDir dir;
  DataSet d;
  Simulate(d, 300, 0.0);
  {
    std::ofstream raw(dir.File("image.raw"), std::ios::binary);
    raw.write(reinterpret_cast<const char*>(d.data.get()),
              static_cast<std::streamsize>(IElementCount(d) * sizeof(float)));
  }
  int status = kStatusGood;
  IntegrationParameters p = Scan(d, 150);
  p.polarisationCorrection = kFalse;
  p.sector = kTrue;
  p.azimuthStart = static_cast<float>(-kPi / 6);
  p.azimuthEnd = static_cast<float>(kPi / 3);
  DataSet sector, cake;
  ASSERT_TRUE(IAllocateData(150, 1, sector, status));
  ASSERT_TRUE(MROIIntegrate(d, p, sector, status));
  CakeParameters cp;
  cp.radial = p;
  cp.radial.sector = kFalse;
  cp.azimuthBins = 90;
  ASSERT_TRUE(IAllocateData(150, 90, cake, status));
  ASSERT_TRUE(MROICake(d, cp, cake, status));

  const double range = 150 * p.step * 180.0 / kPi;
  const std::string script = dir.File("reference.py");
  std::ofstream(script) << "import sys, numpy, pyFAI\n"
                           "d = numpy.fromfile(sys.argv[1], '<f4').reshape(300, 300)\n"
                           "ai = pyFAI.AzimuthalIntegrator(dist=0.1, poni1=300*0.55*1e-4, "
                           "poni2=300*0.45*1e-4, pixel1=1e-4, pixel2=1e-4, wavelength=1e-10)\n"
                           "r = float(sys.argv[2])\n"
                           "m = ('bbox', 'csr', 'cython')\n"
                           "s = ai.integrate1d(d, 150, unit='2th_deg', radial_range=(0, r), "
                           "azimuth_range=(-30, 60), method=m, correctSolidAngle=True)\n"
                           "numpy.savetxt(sys.argv[3], s.intensity)\n"
                           "c = ai.integrate2d(d, 150, 90, unit='2th_deg', radial_range=(0, r), "
                           "azimuth_range=(-180, 180), method=m, correctSolidAngle=True)\n"
                           "numpy.savetxt(sys.argv[4], c.intensity)\n";
  const std::string command = "/usr/bin/python3 " + script + " " + dir.File("image.raw") + " " +
                              std::to_string(range) + " " + dir.File("sector.txt") + " " +
                              dir.File("cake.txt") + " > " + dir.File("py.log") + " 2>&1";
  if (std::system(command.c_str()) != 0) LV_REFERENCE_MISSING("pyFAI is not available");
  std::ifstream sectorText(dir.File("sector.txt")), cakeText(dir.File("cake.txt"));
  std::vector<double> theirs;
  for (double v; sectorText >> v;) theirs.push_back(v);
  ASSERT_EQ(theirs.size(), 150u);
  // Away from the first bins (few pixels, other splitting) the scans agree to a percent of
  // the ring height.
  double worst = 0.0, peak = 0.0;
  for (int b = 10; b < 140; ++b) {
    worst = std::max(worst, std::fabs(theirs[b] - sector.data[b]));
    peak = std::max(peak, theirs[b]);
  }
  EXPECT_LT(worst, 0.03 * peak) << worst << " of " << peak;
  std::printf("sector: worst difference %.4f of the peak\n", worst / peak);

  std::vector<double> theirCake;
  for (double v; cakeText >> v;) theirCake.push_back(v);
  ASSERT_EQ(theirCake.size(), 150u * 90u);
  double sx = 0, sy = 0, sxx = 0, syy = 0, sxy = 0;
  int n = 0;
  for (int a = 0; a < 90; ++a)
    for (int r = 5; r < 150; ++r) {
      const double x = cake.data[IIndex(cake, r, a)], y = theirCake[static_cast<std::size_t>(a) * 150 + r];
      if (x == 0.0 || y == 0.0) continue;
      sx += x; sy += y; sxx += x * x; syy += y * y; sxy += x * y;
      ++n;
    }
  const double correlation = (n * sxy - sx * sy) / std::sqrt((n * sxx - sx * sx) * (n * syy - sy * sy));
  EXPECT_GT(correlation, 0.99) << n;
  std::printf("cake: correlation %.5f over %d bins\n", correlation, n);
}

}  // namespace
