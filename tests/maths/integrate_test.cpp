// Integration and projection: weight conservation, the weight threshold, masks, d-spacing scans
// near the beam centre, the polarisation message, the cached map against the single pass, the
// rings of the powder simulator, and a projected stripe.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <string>

#include "core/status.h"
#include "maths/MGeometry.h"
#include "maths/MIntegrate.h"
#include "maths/MSimulate.h"
#include "tests/support/TestSupport.h"

namespace {

class IntegrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetCoreState();
    MIntegrationCacheClear();
    Image(200, 180, [](int, int) { return 7.0f; });
    d.beamCentreX = 90.3f;
    d.beamCentreY = 85.7f;
    d.distance = 0.1f;
    d.pixelSizeX = d.pixelSizeY = 100.0e-6f;
    d.wavelength = 1.0e-10f;
    d.title = "Test";
  }

  void Image(int columns, int rows, const std::function<float(int, int)>& value) {
    ASSERT_TRUE(IAllocateData(columns, rows, d, status));
    for (int y = 0; y < rows; ++y)
      for (int x = 0; x < columns; ++x) d.data[IIndex(d, x, y)] = value(x, y);
    d.numX = columns;
    d.numY = rows;
    d.startX = d.startY = 0;
    d.endX = columns - 1;
    d.endY = rows - 1;
    d.dataDefined = kTrue;
  }

  void MaskWhere(const std::function<bool(int, int)>& masked) {
    ASSERT_TRUE(IAllocateMask(d, status));
    for (int y = 0; y < d.dimY; ++y)
      for (int x = 0; x < d.dimX; ++x) d.mask[IIndex(d, x, y)] = masked(x, y) ? 1 : 0;
    d.maskDefined = d.maskInUse = kTrue;
  }

  // A scan over the whole image out to its farthest corner.
  IntegrationParameters Scan(int type, int bins) const {
    IntegrationParameters p;
    p.scanType = type;
    p.outerRadius = 0.0145f;
    p.bins = bins;
    const double twoTheta = std::atan2(0.0145, d.distance);
    switch (type) {
      case kScanRadial: p.step = 0.0145f / bins; break;
      case kScan2Theta: p.step = static_cast<float>(twoTheta / bins); break;
      case kScanQ: p.step = static_cast<float>(40 * M_PI * std::sin(twoTheta / 2) / bins); break;
      default: p.step = 20.0f / bins; break;
    }
    return p;
  }

  DataSet Run(const IntegrationParameters& p, bool cached = true) {
    DataSet result;
    EXPECT_TRUE(IAllocateData(p.bins, 1, result, status));
    if (cached) {
      EXPECT_TRUE(MROIIntegrate(d, p, result, status));
    } else {
      EXPECT_TRUE(MROIIntegrateSinglePass(d, p, result, status));
    }
    EXPECT_EQ(status, kStatusGood);
    return result;
  }

  DataSet d;
  int status = kStatusGood;
};

TEST_F(IntegrationTest, FlatImageGivesFlatScanAndEveryPixelWeighsOne) {
  for (int type : {kScanRadial, kScan2Theta, kScanQ, kScanDSpacing}) {
    const DataSet scan = Run(Scan(type, 150));
    int filled = 0;
    for (int i = 0; i < 150; ++i) {
      if (scan.data[i] == 0.0f) continue;
      EXPECT_NEAR(scan.data[i], 7.0f, 2e-5f) << "type " << type << " bin " << i;
      ++filled;
    }
    EXPECT_GT(filled, 80) << type;
  }
  // Away from the beam centre, with the whole footprint inside the scan, sums of a flat image
  // of ones count every pixel once.
  d.beamCentreX = -40.0f;
  d.beamCentreY = -30.0f;
  Image(60, 50, [](int, int) { return 1.0f; });
  IntegrationParameters p = Scan(kScanRadial, 400);
  p.step = 0.02f / 400;
  p.sumsOnly = kTrue;
  const DataSet sums = Run(p);
  double total = 0.0;
  for (int i = 0; i < 400; ++i) total += sums.data[i];
  EXPECT_NEAR(total, 60.0 * 50.0, 1e-3);
  EXPECT_EQ(sums.title, "Test: Radial Distance Integrated Scan");
}

TEST_F(IntegrationTest, BinsWithAHundredthOfAPixelOrLessGiveZero) {
  // One pixel far from the centre spread over bins much narrower than its footprint.
  d.startX = d.endX = 150;
  d.startY = d.endY = 85;
  const double h = MFootprintHalfWidth(d);
  IntegrationParameters p = Scan(kScanRadial, 2000);
  p.start = 0.0059f;  // the pixel lies at r = 6.02 mm
  p.step = static_cast<float>(2 * h / 250);  // every covered bin gets 1/250 < 0.01
  DataSet scan = Run(p);
  for (int i = 0; i < 2000; ++i) EXPECT_EQ(scan.data[i], 0.0f) << i;
  p.step = static_cast<float>(2 * h / 40);  // 1/40 > 0.01: the value itself
  scan = Run(p);
  int filled = 0;
  for (int i = 0; i < 2000; ++i) {
    if (scan.data[i] != 0.0f) {
      EXPECT_NEAR(scan.data[i], 7.0f, 1e-4f);
      ++filled;
    }
  }
  EXPECT_GE(filled, 39);
}

TEST_F(IntegrationTest, FullyMaskedImageGivesZeros) {
  MaskWhere([](int, int) { return true; });
  IntegrationParameters p = Scan(kScan2Theta, 100);
  p.polarisationCorrection = p.obliquityCorrection = kTrue;
  for (bool cached : {true, false}) {
    const DataSet scan = Run(p, cached);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(scan.data[i], 0.0f);
  }
}

TEST_F(IntegrationTest, DSpacingScanStartsAtZeroAndTheBeamCentreAddsNothing) {
  // Only the pixels at the beam centre are lit: their d-spacings reach infinity, and they must
  // neither break the scan nor smear over it.
  Image(200, 180, [](int x, int y) { return (x == 89 || x == 90) && y == 85 ? 1.0e6f : 0.0f; });
  IntegrationParameters p = Scan(kScanDSpacing, 200);
  for (bool sumsOnly : {false, true}) {
    p.sumsOnly = sumsOnly ? kTrue : kFalse;
    const DataSet scan = Run(p);
    for (int i = 0; i < 200; ++i) EXPECT_EQ(scan.data[i], 0.0f) << i;
    EXPECT_FLOAT_EQ(scan.xAxisStart, 0.05f);  // bin 0 spans 0 to 0.1 Angstrom
    EXPECT_FLOAT_EQ(scan.pixelSizeX, 0.1f);   // 20 Angstrom over 200 bins
    EXPECT_EQ(scan.xLabel, "D-Spacing (Angstroms)");
  }
  // A ring at d = 10.05 Angstrom peaks in the bin of 10.0 to 10.1.
  d.tiltAngle = 0.02f;
  PowderSimulation s;
  s.dSpacings = {10.05f};
  s.fwhm = 0.002f;
  s.peakIntensity = 100.0f;
  s.fallOff = 10.0f;
  ASSERT_TRUE(MSimulatePowder(d, s, status));
  p.sumsOnly = kFalse;
  const DataSet scan = Run(p);
  int peak = 0;
  for (int i = 1; i < 200; ++i)
    if (scan.data[i] > scan.data[peak]) peak = i;
  EXPECT_EQ(peak, 100);
}

TEST_F(IntegrationTest, PolarisationMessageOnlyWhenCorrecting) {
  RecordingSink sink;
  const std::string message = "Minimum fractional intensity decrease owing to polarisation";
  auto count = [&] {
    int n = 0;
    for (const auto& line : sink.lines) n += line.find(message) != std::string::npos;
    return n;
  };
  IntegrationParameters p = Scan(kScan2Theta, 100);
  Run(p);
  Run(p, false);
  EXPECT_EQ(count(), 0);
  p.polarisationCorrection = kTrue;
  d.polarisation = 1.0f;
  const DataSet scan = Run(p);
  EXPECT_EQ(count(), 1);
  // Horizontal polarisation: no pixel loses more than cos^2 2theta of the farthest corner, and
  // the pixel at the end of the X axis loses exactly cos^2 of its own 2theta.
  double reported = 0.0;
  const std::string& line = sink.lines.back();
  ASSERT_EQ(std::sscanf(line.c_str() + line.find(':', 6) + 1, "%lf", &reported), 1) << line;
  const double far2 = (109.7 * 109.7 + 94.3 * 94.3) * 1e-8, axis2 = (109.2 * 109.2 + 0.04) * 1e-8;
  EXPECT_GE(reported, 0.01 / (0.01 + far2) - 1e-4);
  EXPECT_LE(reported, 0.01 / (0.01 + axis2) + 1e-4);
  // Corrected pixels only gain.
  for (int i = 0; i < 100; ++i) {
    if (scan.data[i] != 0.0f) {
      EXPECT_GE(scan.data[i], 7.0f - 1e-4f) << i;
    }
  }
}

TEST_F(IntegrationTest, CachedMapEqualsSinglePassAndFollowsTheMask) {
  Image(240, 190, [](int x, int y) { return 100 + 50 * std::sin(0.13f * x) * std::cos(0.07f * y); });
  d.tiltAngle = 0.04f;
  d.tiltAxisAngle = 0.6f;
  d.polarisation = 0.95f;
  MaskWhere([](int x, int y) { return (x * 7 + y * 3) % 11 == 0 || (x > 100 && x < 110); });
  d.startX = 5;
  d.endX = 230;
  // The last case: footprints of 400 bins each, beyond what a run of the map holds.
  for (int type : {732, 733, 734, 735, 0}) {
    IntegrationParameters p = type ? Scan(type, 300) : Scan(kScanRadial, 3000);
    if (!type) {
      p.start = 0.002f;
      p.step = static_cast<float>(MFootprintHalfWidth(d) / 200);
    }
    p.polarisationCorrection = p.obliquityCorrection = p.variances = kTrue;
    const DataSet fast = Run(p), reference = Run(p, false);
    ASSERT_TRUE(fast.variancesDefined);
    for (int i = 0; i < p.bins; ++i) {
      EXPECT_NEAR(fast.data[i], reference.data[i], 1e-6f * std::fabs(reference.data[i]) + 1e-6f);
      EXPECT_NEAR(fast.variances[i], reference.variances[i],
                  1e-5f * std::fabs(reference.variances[i]) + 1e-5f);
    }
  }

  // The map is kept for a new image of the same geometry and mask, rebuilt for a changed mask.
  IntegrationParameters p = Scan(kScan2Theta, 300);
  Run(p);
  const auto builds = MIntegrationCacheInfo().builds;
  d.data[IIndex(d, 50, 50)] += 1000.0f;
  Run(p);
  EXPECT_EQ(MIntegrationCacheInfo().builds, builds);
  EXPECT_LE(MIntegrationCacheInfo().bytes, 16 * MIntegrationCacheInfo().pixels + 300 * 8);
  d.mask[IIndex(d, 50, 50)] = 1;  // same flags, new content
  const DataSet fast = Run(p), reference = Run(p, false);
  EXPECT_EQ(MIntegrationCacheInfo().builds, builds + 1);
  for (int i = 0; i < 300; ++i)
    EXPECT_NEAR(fast.data[i], reference.data[i], 1e-6f * std::fabs(reference.data[i]) + 1e-6f);
  d.distance = 0.11f;
  Run(p);
  EXPECT_EQ(MIntegrationCacheInfo().builds, builds + 2);
}

TEST_F(IntegrationTest, SimulatedRingsLandAtTheirAngles) {
  ASSERT_TRUE(IAllocateData(400, 360, d, status));
  d.beamCentreX = 181.0f;
  d.beamCentreY = 170.5f;
  d.distance = 0.08f;
  d.wavelength = 0.4e-10f;
  d.tiltAngle = static_cast<float>(2.5 * kDegreesToRadians);
  d.tiltAxisAngle = static_cast<float>(40 * kDegreesToRadians);
  std::string name;
  PowderSimulation s;
  ASSERT_TRUE(MCalibrantTable(kCalibrantCeriumDioxide, name, s.dSpacings));
  s.fwhm = static_cast<float>(0.15 * kDegreesToRadians);
  s.peakIntensity = 500.0f;
  s.fallOff = 0.5f;
  s.background = 20.0f;
  ASSERT_TRUE(MSimulatePowder(d, s, status));
  EXPECT_EQ(d.numX, 400);
  EXPECT_EQ(d.endY, 359);

  IntegrationParameters p = Scan(kScan2Theta, 3000);
  p.outerRadius = 0.05f;
  p.step = static_cast<float>(0.5 / 3000);
  const DataSet scan = Run(p);
  for (int k = 0; k < 6; ++k) {
    const double expected = 2 * std::asin(0.4 / (2 * s.dSpacings[static_cast<std::size_t>(k)]));
    // Centroid above the background within +-2 FWHM of the expected angle.
    const int from = static_cast<int>((expected - 2 * s.fwhm) / p.step);
    const int to = static_cast<int>((expected + 2 * s.fwhm) / p.step);
    double sum = 0, moment = 0;
    for (int i = from; i <= to; ++i) {
      const double w = std::max(0.0, scan.data[i] - 20.0);
      sum += w;
      moment += w * (i + 0.5) * p.step;
    }
    ASSERT_GT(sum, 0.0) << k;
    EXPECT_NEAR(moment / sum * kRadiansToDegrees, expected * kRadiansToDegrees, 0.003) << k;
  }
  // With noise the counts stay whole numbers around the same pattern.
  s.poissonNoise = kTrue;
  ASSERT_TRUE(MSimulatePowder(d, s, status));
  EXPECT_EQ(d.data[0], std::floor(d.data[0]));
}

// Bin i collects [start + i step, start + (i + 1) step) and stands for its centre: a ring read
// off the scan's own axis lies where the geometry puts it, within a twentieth of a bin, in
// every unit. (Reported at the lower edge, every peak sat half a bin low.)
TEST_F(IntegrationTest, RingsAreReportedAtTheirBinCentres) {
  ASSERT_TRUE(IAllocateData(500, 500, d, status));
  d.beamCentreX = 250.3f;
  d.beamCentreY = 249.6f;
  d.distance = 0.3f;
  d.wavelength = 1.0e-10f;
  const double twoTheta = 4.0 * kDegreesToRadians;
  const double dSpacing = 1.0 / (2.0 * std::sin(twoTheta / 2.0));  // Angstrom
  PowderSimulation s;
  s.dSpacings = {static_cast<float>(dSpacing)};
  s.fwhm = static_cast<float>(0.05 * kDegreesToRadians);
  s.peakIntensity = 1000.0f;
  s.fallOff = 100.0f;
  ASSERT_TRUE(MSimulatePowder(d, s, status));

  // Each scan's axis is read back as 2-theta (radians), where the ring is a symmetric Gaussian
  // (on a d-spacing axis it is skewed), and the peak's centroid compared there.
  const double qFactor = 4.0 * M_PI / 0.1;  // nm-1
  struct Case {
    int type;
    double step;      // in the unit of the scan's axis
    double unit;      // axis unit per parameter unit
    double expected;  // the ring on the axis
    std::function<double(double)> twoThetaOf;
  };
  const Case cases[] = {
      {kScan2Theta, 0.01, kRadiansToDegrees, twoTheta * kRadiansToDegrees,
       [](double x) { return x * kDegreesToRadians; }},
      {kScanQ, 0.011, 1.0, qFactor * std::sin(twoTheta / 2.0),
       [&](double x) { return 2.0 * std::asin(x / qFactor); }},
      {kScanRadial, 5.0e-5, 1.0, 0.3 * std::tan(twoTheta),
       [](double x) { return std::atan(x / 0.3); }},
      {kScanDSpacing, 0.0333, 1.0, dSpacing,
       [](double x) { return 2.0 * std::asin(1.0 / (2.0 * x)); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    IntegrationParameters p = Scan(c.type, 600);
    p.outerRadius = 0.036f;
    p.step = static_cast<float>(c.step / c.unit);
    const DataSet scan = Run(p);
    EXPECT_FLOAT_EQ(scan.xAxisStart, static_cast<float>(0.5 * p.step * c.unit));
    ASSERT_FLOAT_EQ(scan.pixelSizeX, static_cast<float>(p.step * c.unit));
    // 2-theta per unit of the axis at x.
    const auto slope = [&](double x) {
      const double h = 1.0e-3 * scan.pixelSizeX;
      return std::fabs(c.twoThetaOf(x + h) - c.twoThetaOf(x - h)) / (2.0 * h);
    };
    // The centroid over +-5 widths of the ring, weighted as an integral over 2-theta.
    double sum = 0.0, moment = 0.0;
    for (int i = 0; i < scan.numX; ++i) {
      const double x = scan.xAxisStart + static_cast<double>(i) * scan.pixelSizeX;
      const double t = c.twoThetaOf(x);
      if (!(std::fabs(t - twoTheta) < 5.0 * s.fwhm)) continue;
      const double w = scan.data[i] * slope(x);
      sum += w;
      moment += w * t;
    }
    ASSERT_GT(sum, 0.0);
    const double bin = scan.pixelSizeX * slope(c.expected);  // one bin at the ring, in 2-theta
    EXPECT_NEAR(moment / sum, twoTheta, 0.05 * bin);
  }
}

// The obliquity factor 1/cos^3 belongs to the angle a bin stands for: its centre.
TEST_F(IntegrationTest, ObliquityIsEvaluatedAtTheBinCentre) {
  IntegrationParameters p = Scan(kScan2Theta, 40);
  p.step = static_cast<float>(0.2 * kDegreesToRadians);
  p.obliquityCorrection = kTrue;
  const DataSet scan = Run(p);
  int checked = 0;
  for (int i = 2; i < 38; ++i) {
    if (scan.data[i] == 0.0f) continue;
    const double centre = p.start + (i + 0.5) * static_cast<double>(p.step);
    EXPECT_NEAR(scan.data[i] * std::pow(std::cos(centre), 3), 7.0, 2e-5) << i;
    ++checked;
  }
  EXPECT_GT(checked, 30);
}

TEST_F(IntegrationTest, ParameterChecksAndExtremeGeometryStaySafe) {
  DataSet result;
  ASSERT_TRUE(IAllocateData(10, 1, result, status));
  // inner, outer, start, step, bins and the status each bad set gives.
  const IntegrationParameters bad[] = {{733, -1, 1, 0, 1, 10}, {733, 1, 1, 0, 1, 10},
                                       {733, 0, 1, -1, 1, 10}, {733, 0, 1, 0, 1, 0},
                                       {733, 0, 1, 0, 0, 10}};
  const int codes[] = {25, 17, 25, 21, 25};
  for (int i = 0; i < 5; ++i) {
    EXPECT_FALSE(MROIIntegrate(d, bad[i], result, status));
    EXPECT_EQ(status, codes[i]);
    IResetStatus(status);
  }
  // Beam centres and steps far outside sensible ranges: positions are clamped, not converted.
  IntegrationParameters p = Scan(kScanDSpacing, 10);
  for (float beam : {1.0e30f, -1.0e30f, NAN}) {
    d.beamCentreX = beam;
    const DataSet scan = Run(p);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(scan.data[i], 0.0f);
  }
  d.beamCentreX = 90.3f;
  for (float step : {1.0e-37f, 3.0e38f}) {
    p.step = step;
    Run(p);
  }
}

TEST_F(IntegrationTest, ProjectionOfAStripe) {
  // A vertical stripe of value 10 in columns 40 to 59, projected along a horizontal line.
  Image(120, 100, [](int x, int) { return (x >= 40 && x < 60) ? 10.0f : 0.0f; });
  MaskWhere([](int x, int) { return x >= 40 && x < 60; });  // projection ignores masks
  float cx[4], cy[4];
  MProjectionCorners(20.0f, 50.0f, 100.0f, 50.0f, 30.0f, 40.0f, 70.0f, 60.0f, cx, cy);
  EXPECT_TRUE(cx[0] == 20.0f && cy[0] == 40.0f && cx[2] == 100.0f && cy[2] == 60.0f);
  ProjectionParameters p;
  p.binWidth = 100.0e-6f;
  p.bins = 80;
  DataSet scan;
  ASSERT_TRUE(IAllocateData(80, 1, scan, status));
  ASSERT_TRUE(MProjection(d, p, cx, cy, scan, status));
  for (int i = 0; i < 80; ++i) {
    const double x = 20 + i + 0.5;  // column at the bin's centre
    if (x > 41.5 && x < 58.5) {
      EXPECT_NEAR(scan.data[i], 10.0f, 1e-5f) << i;
    } else if (x < 38.5 || x > 61.5) {
      EXPECT_NEAR(scan.data[i], 0.0f, 1e-6f) << i;
    }
  }
  EXPECT_EQ(scan.numX, 80);
  EXPECT_EQ(scan.xLabel, "Projection Distance (metres)");
  EXPECT_EQ(scan.title, "Test: Region Projected onto 1-D Line");

  // The same stripe seen along a line across it at 90 degrees gives a flat profile.
  MProjectionCorners(50.0f, 10.0f, 50.0f, 90.0f, 45.0f, 30.0f, 55.0f, 30.0f, cx, cy);
  ASSERT_TRUE(MProjection(d, p, cx, cy, scan, status));
  for (int i = 2; i < 78; ++i) EXPECT_NEAR(scan.data[i], 10.0f, 1e-5f) << i;
  p.bins = 0;
  EXPECT_FALSE(MProjection(d, p, cx, cy, scan, status));
  EXPECT_EQ(status, 21);
}

}  // namespace
