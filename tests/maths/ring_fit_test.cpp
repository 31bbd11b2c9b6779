// Circle, ellipse and powder-ring fits on exact and noisy points, outlier rejection on both
// sides of a ring, the centre of mass with its background line, and the ring search on a
// simulated powder image.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/status.h"
#include "maths/MGeometry.h"
#include "maths/MRingFit.h"
#include "maths/MSimulate.h"
#include "tests/support/TestSupport.h"

namespace {

class RingFit : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetCoreState();
    MRandomRestart();
  }
  // Gaussian deviate of the system's generator (Box-Muller).
  static double Noise(double sigma) {
    const double u1 = std::max(MRandomUniform(), 1e-12), u2 = MRandomUniform();
    return sigma * std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * M_PI * u2);
  }
  int status = kStatusGood;
};

TEST_F(RingFit, ACircleThroughExactPointsIsFoundFromARoughStart) {
  std::vector<float> x, y;
  for (int i = 0; i < 12; ++i) {
    const double a = 0.3 + i * 0.4;  // an arc of most of the circle
    x.push_back(static_cast<float>(512.3 + 200.0 * std::cos(a)));
    y.push_back(static_cast<float>(498.7 + 200.0 * std::sin(a)));
  }
  float cx = 500.0f, cy = 510.0f, r = 180.0f, rms = -1.0f;
  ASSERT_TRUE(MFitCircle(12, 12, x.data(), y.data(), cx, cy, r, rms, status));
  EXPECT_NEAR(cx, 512.3f, 0.01f);
  EXPECT_NEAR(cy, 498.7f, 0.01f);
  EXPECT_NEAR(r, 200.0f, 0.01f);
  EXPECT_LT(rms, 0.01f);
}

TEST_F(RingFit, ACircleThroughNoisyPointsIsWithinItsError) {
  std::vector<float> x, y;
  for (int i = 0; i < 100; ++i) {
    const double a = i * 2.0 * M_PI / 100;
    const double r = 0.05 + Noise(1.0e-4);  // metres, noise of one pixel
    x.push_back(static_cast<float>(0.1 + r * std::cos(a)));
    y.push_back(static_cast<float>(0.09 + r * std::sin(a)));
  }
  float cx = 0.098f, cy = 0.093f, r = 0.048f, rms = 0.0f;
  ASSERT_TRUE(MFitCircle(100, 100, x.data(), y.data(), cx, cy, r, rms, status));
  EXPECT_NEAR(cx, 0.1f, 3e-5f);
  EXPECT_NEAR(cy, 0.09f, 3e-5f);
  EXPECT_NEAR(r, 0.05f, 3e-5f);
  EXPECT_NEAR(rms, 1.0e-4f, 3e-5f);
}

TEST_F(RingFit, TooFewPointsAreRefusedWithStatus21) {
  const float x[4] = {0, 1, 2, 3}, y[4] = {0, 1, 0, 1};
  float cx = 0, cy = 0, r = 1, rms = 0, r2 = 1, a = 0;
  EXPECT_FALSE(MFitCircle(4, 2, x, y, cx, cy, r, rms, status));
  EXPECT_EQ(status, kStatusIntRange1);
  status = kStatusGood;
  ResetCoreState();
  EXPECT_FALSE(MFitEllipse(4, 4, x, y, kTrue, cx, cy, r, r2, a, rms, status));
  EXPECT_EQ(status, kStatusIntRange1);
}

TEST_F(RingFit, AnEllipseIsRecoveredWithItsAxesInOrder) {
  std::vector<float> x, y;
  const double a0 = 0.6, r1 = 150.0, r2 = 110.0;
  for (int i = 0; i < 40; ++i) {
    const double t = i * 2.0 * M_PI / 40;
    const double u = r1 * std::cos(t), v = r2 * std::sin(t);
    x.push_back(static_cast<float>(300.0 + u * std::cos(a0) - v * std::sin(a0)));
    y.push_back(static_cast<float>(250.0 + u * std::sin(a0) + v * std::cos(a0)));
  }
  float cx = 305.0f, cy = 245.0f, ra = 130.0f * 1.01f, rb = 130.0f * 0.99f, angle = 0.0f, rms = 0;
  ASSERT_TRUE(MFitEllipse(40, 40, x.data(), y.data(), kTrue, cx, cy, ra, rb, angle, rms, status));
  EXPECT_NEAR(cx, 300.0f, 0.01f);
  EXPECT_NEAR(cy, 250.0f, 0.01f);
  EXPECT_NEAR(ra, 150.0f, 0.01f);
  EXPECT_NEAR(rb, 110.0f, 0.01f);
  // The first axis is the long one; its direction is defined up to pi.
  EXPECT_NEAR(std::remainder(angle - a0, M_PI), 0.0, 1e-4);
  EXPECT_GE(angle, -M_PI);
  EXPECT_LE(angle, M_PI);
  EXPECT_LT(rms, 0.01f);

  // Started with the radii the wrong way round, the result is reported exchanged.
  cx = 300.0f, cy = 250.0f, ra = 110.0f, rb = 150.0f, angle = static_cast<float>(a0 - M_PI / 2);
  ASSERT_TRUE(MFitEllipse(40, 40, x.data(), y.data(), kTrue, cx, cy, ra, rb, angle, rms, status));
  EXPECT_NEAR(ra, 150.0f, 0.01f);
  EXPECT_NEAR(rb, 110.0f, 0.01f);
  EXPECT_NEAR(std::remainder(angle - a0, M_PI), 0.0, 1e-4);
}

TEST_F(RingFit, AFixedCentreStaysWhereItWasPut) {
  std::vector<float> x, y;
  for (int i = 0; i < 20; ++i) {
    const double t = i * 2.0 * M_PI / 20;
    x.push_back(static_cast<float>(10.0 + 5.0 * std::cos(t) + Noise(0.01)));
    y.push_back(static_cast<float>(20.0 + 4.0 * std::sin(t) + Noise(0.01)));
  }
  float cx = 10.2f, cy = 19.9f, ra = 5.05f, rb = 4.95f, angle = 0.0f, rms = 0;
  ASSERT_TRUE(MFitEllipse(20, 20, x.data(), y.data(), kFalse, cx, cy, ra, rb, angle, rms, status));
  EXPECT_FLOAT_EQ(cx, 10.2f);
  EXPECT_FLOAT_EQ(cy, 19.9f);
}

TEST_F(RingFit, MeanAndCentreOfMassFollowTheirDefinitions) {
  const float v[5] = {1, 2, 3, 4, 5};
  float mean = 0;
  ASSERT_TRUE(MVectorMean(5, 5, v, mean, status));
  EXPECT_FLOAT_EQ(mean, 3.0f);
  EXPECT_FALSE(MVectorMean(5, 6, v, mean, status));
  EXPECT_EQ(status, kStatusIntRange1);
  status = kStatusGood;
  ResetCoreState();

  // A peak on a sloping background: the line through the end means leaves the peak alone.
  std::vector<float> profile(21);
  for (int i = 0; i < 21; ++i) {
    const double x = i + 0.5;
    profile[i] = static_cast<float>(10.0 + 0.5 * x + 50.0 * std::exp(-(x - 12.3) * (x - 12.3) / 2.0));
  }
  float centre = 0;
  ASSERT_TRUE(MVectorCentreOfMass(21, 0, 20, profile.data(), kTrue, centre, status));
  EXPECT_NEAR(centre, 12.3f, 0.02f);
  ASSERT_TRUE(MVectorCentreOfMass(21, 0, 20, profile.data(), kFalse, centre, status));
  EXPECT_GT(std::fabs(centre - 12.3f), 0.1f);  // without removal the slope pulls it
  // Fewer than 9 elements: the line through the end elements.
  const float small[5] = {1, 1, 5, 1, 1};
  ASSERT_TRUE(MVectorCentreOfMass(5, 0, 4, small, kTrue, centre, status));
  EXPECT_FLOAT_EQ(centre, 2.5f);
  // The last element must lie inside the vector.
  EXPECT_FALSE(MVectorCentreOfMass(5, 0, 5, small, kTrue, centre, status));
  EXPECT_EQ(status, kStatusIntRange1);
  status = kStatusGood;
  ResetCoreState();
  // A flat profile has no centre: false, status good.
  const float flat[4] = {2, 2, 2, 2};
  EXPECT_FALSE(MVectorCentreOfMass(4, 0, 3, flat, kTrue, centre, status));
  EXPECT_EQ(status, kStatusGood);
}

// Points of rings for a geometry: the ring ellipses predicted all round, with noise.
void RingPoints(const PowderGeometry& g, const std::vector<float>& ds, int perRing, double noise,
                std::vector<float>& x, std::vector<float>& y, std::vector<int>& counts,
                int maxPoints, double (*deviate)(double), int& status) {
  x.assign(ds.size() * maxPoints, 0.0f);
  y.assign(ds.size() * maxPoints, 0.0f);
  counts.assign(ds.size(), 0);
  for (std::size_t k = 0; k < ds.size(); ++k) {
    float cx, cy, r1, r2, a;
    ASSERT_TRUE(MPredictRingEllipse(g, MRingTwoTheta(g.wavelength, ds[k]), cx, cy, r1, r2, a,
                                    status));
    for (int i = 0; i < perRing; ++i) {
      const double t = i * 2.0 * M_PI / perRing;
      const double u = r1 * std::cos(t), v = r2 * std::sin(t);
      x[k * maxPoints + i] =
          static_cast<float>(cx + u * std::cos(a) - v * std::sin(a) + deviate(noise));
      y[k * maxPoints + i] =
          static_cast<float>(cy + u * std::sin(a) + v * std::cos(a) + deviate(noise));
    }
    counts[k] = perRing;
  }
}

TEST_F(RingFit, PredictedRingPointsLieOnTheirRing) {
  const PowderGeometry g{0.05f, 0.052f, 0.2f, 1.0e-10f, 0.7f, 0.05f};
  float cx, cy, r1, r2, a;
  const double twoTheta = MRingTwoTheta(1.0e-10, 3.1241e-10);
  ASSERT_TRUE(MPredictRingEllipse(g, twoTheta, cx, cy, r1, r2, a, status));
  for (int i = 0; i < 16; ++i) {
    const double t = i * 2.0 * M_PI / 16;
    const double u = r1 * std::cos(t), v = r2 * std::sin(t);
    double residual = 1.0;
    ASSERT_TRUE(MPowderResidual(g, twoTheta, cx + u * std::cos(a) - v * std::sin(a),
                                cy + u * std::sin(a) + v * std::cos(a), residual));
    EXPECT_NEAR(residual, 0.0, 2e-7);
  }
  EXPECT_GT(r1, r2);
}

TEST_F(RingFit, PowderRingsGiveBackTheirGeometry) {
  const PowderGeometry truth{0.0512f, 0.0498f, 0.25f, 1.0e-10f, 0.8f, 0.06f};
  const std::vector<float> ds = {3.1241e-10f, 2.7056e-10f, 1.9131e-10f, 1.6315e-10f};
  std::vector<float> x, y;
  std::vector<int> counts;
  RingPoints(truth, ds, 90, 2.0e-5, x, y, counts, 200, &Noise, status);
  const RingTable table{200, 30, 4, counts.data(), x.data(), y.data()};

  PowderGeometry g = truth;
  g.beamX += 3.0e-4f;
  g.beamY -= 2.0e-4f;
  g.distance = 0.245f;
  g.tiltAxisAngle = 0.6f;
  g.tiltAngle = 0.03f;
  std::vector<float> fitted = ds;
  PowderFitFlags flags;
  flags.beamCentre = flags.distance = flags.tilt = kTrue;
  float rms = 0;
  ASSERT_TRUE(MFitPowderRings(table, flags, g, fitted.data(), rms, status));
  EXPECT_NEAR(g.beamX, truth.beamX, 5e-6f);
  EXPECT_NEAR(g.beamY, truth.beamY, 5e-6f);
  EXPECT_NEAR(g.distance, truth.distance, 2e-4f);
  EXPECT_NEAR(g.tiltAxisAngle, truth.tiltAxisAngle, 0.02f);
  EXPECT_NEAR(g.tiltAngle, truth.tiltAngle, 0.003f);
  EXPECT_FLOAT_EQ(g.wavelength, truth.wavelength);  // fixed
  EXPECT_FLOAT_EQ(fitted[0], ds[0]);                // d-spacings fixed
  EXPECT_NEAR(rms, 2.0e-5f * std::sqrt(2.0f), 1.0e-5f);
}

TEST_F(RingFit, PowderFitArgumentsAreChecked) {
  std::vector<float> x(200), y(200);
  std::vector<int> counts = {0};
  float d = 3e-10f, rms = 0;
  PowderGeometry g{0, 0, 0.2f, 1e-10f, 0, 0};
  PowderFitFlags flags;
  flags.beamCentre = kTrue;
  EXPECT_FALSE(MFitPowderRings({200, 30, 1, counts.data(), x.data(), y.data()}, flags, g, &d, rms,
                               status));
  EXPECT_EQ(status, kStatusIntRange1);  // no points at all
  status = kStatusGood;
  ResetCoreState();
  EXPECT_FALSE(MFitPowderRings({5, 30, 1, counts.data(), x.data(), y.data()}, flags, g, &d, rms,
                               status));
  EXPECT_EQ(status, kStatusIntRange1);
  status = kStatusGood;
  ResetCoreState();
  EXPECT_FALSE(MFitPowderRings({200, 0, 1, counts.data(), x.data(), y.data()}, flags, g, &d, rms,
                               status));
  EXPECT_EQ(status, kStatusIntRange2);
  status = kStatusGood;
  ResetCoreState();
  EXPECT_FALSE(MFitPowderRings({200, 1, 2, counts.data(), x.data(), y.data()}, flags, g, &d, rms,
                               status));
  EXPECT_EQ(status, 18);
}

TEST_F(RingFit, OutliersAreRejectedOnBothSidesOfTheRing) {
  const PowderGeometry g{0.05f, 0.05f, 0.2f, 1.0e-10f, 0.0f, 0.0f};
  const float d = 3.0e-10f;
  const double radius = 0.2 * std::tan(MRingTwoTheta(1.0e-10, 3.0e-10));
  // Ten points on the ring, one far outside and one far inside.
  std::vector<float> x, y;
  for (int i = 0; i < 10; ++i) {
    const double a = i * 0.6;
    x.push_back(static_cast<float>(0.05 + radius * std::cos(a)));
    y.push_back(static_cast<float>(0.05 + radius * std::sin(a)));
  }
  x.push_back(static_cast<float>(0.05 + radius + 0.002));
  y.push_back(0.05f);
  x.push_back(static_cast<float>(0.05 - (radius - 0.002)));
  y.push_back(0.05f);
  int points = 12;
  ASSERT_TRUE(MRingRejectOutliers(g, d, 1.0e-4f, 4.0f, 12, points, x.data(), y.data(), status));
  EXPECT_EQ(points, 10);
  for (int i = 0; i < points; ++i) {
    double residual = 1;
    ASSERT_TRUE(MPowderResidual(g, MRingTwoTheta(1e-10, 3e-10), x[i], y[i], residual));
    EXPECT_LT(std::fabs(residual), 1e-6);
  }
}

TEST_F(RingFit, RingDSpacingsOfPointsFollowTheGeometry) {
  DataSet d;
  d.pixelSizeX = d.pixelSizeY = 1.0e-4f;
  const PowderGeometry g{0.05f, 0.05f, 0.2f, 1.0e-10f, 0.0f, 0.0f};
  const double radius = 0.2 * std::tan(MRingTwoTheta(1.0e-10, 2.0e-10));
  const float x[1] = {static_cast<float>((0.05 + radius) / 1e-4f)};
  const float y[1] = {500.0f};
  float ds[2] = {};
  int count = 1;
  ASSERT_TRUE(LVRingDSpacings(d, g, 3.0e-10f, 2, x, y, count, ds, status));
  EXPECT_EQ(count, 2);
  EXPECT_FLOAT_EQ(ds[0], 3.0e-10f);
  EXPECT_NEAR(ds[1], 2.0e-10f, 1e-14f);
  // No room for the reference and the point: status 21.
  count = 1;
  EXPECT_FALSE(LVRingDSpacings(d, g, 3.0e-10f, 1, x, y, count, ds, status));
  EXPECT_EQ(status, kStatusIntRange1);
}

// A simulated powder image of a tilted detector: the ring search finds points on the rings.
class RingSearch : public RingFit {
 protected:
  void SetUp() override {
    RingFit::SetUp();
    ASSERT_TRUE(IAllocateData(600, 600, image, status));
    image.beamCentreX = 301.3f;
    image.beamCentreY = 288.6f;
    image.distance = 0.05f;
    image.pixelSizeX = image.pixelSizeY = 1.0e-4f;
    image.wavelength = 1.0e-10f;
    image.tiltAxisAngle = 0.5f;
    image.tiltAngle = 0.08f;
    PowderSimulation s;
    s.dSpacings = {3.1241f, 2.7056f, 1.9131f};
    s.fwhm = static_cast<float>(0.15 * kDegreesToRadians);
    s.peakIntensity = 1000.0f;
    s.fallOff = 1.0f;
    s.background = 10.0f;
    ASSERT_TRUE(MSimulatePowder(image, s, status));
  }
  PowderGeometry Truth() const {
    return {image.beamCentreX * image.pixelSizeX, image.beamCentreY * image.pixelSizeY,
            image.distance, image.wavelength, image.tiltAxisAngle, image.tiltAngle};
  }
  DataSet image;
};

TEST_F(RingSearch, PointsFoundOnASimulatedRingLieOnIt) {
  const double twoTheta = MRingTwoTheta(1.0e-10, 3.1241e-10);
  float cx, cy, r1, r2, a;
  ASSERT_TRUE(MPredictRingEllipse(Truth(), twoTheta, cx, cy, r1, r2, a, status));
  std::vector<float> x(200), y(200);
  int points = 0;
  ASSERT_TRUE(LVFindRingCoordinates(image, cx, cy, r1 * 1.01f, r2 * 0.99f, a + 0.05f, 8.0e-4f,
                                    180, 200, points, x.data(), y.data(), status));
  EXPECT_GT(points, 150);
  double worst = 0.0;
  for (int i = 0; i < points; ++i) {
    double residual = 0.0;
    ASSERT_TRUE(MPowderResidual(Truth(), twoTheta, x[i], y[i], residual));
    worst = std::max(worst, std::fabs(residual));
  }
  EXPECT_LT(worst, 0.3e-4);  // within a third of a pixel
}

TEST_F(RingSearch, CircleAndEllipseSearchesAgreeForACircle) {
  std::vector<float> x1(200), y1(200), x2(200), y2(200);
  int n1 = 0, n2 = 0;
  const float cx = 301.3e-4f, cy = 288.6e-4f, r = 0.0165f;
  ASSERT_TRUE(LVFindRingCoordinates(image, cx, cy, r, r, 0.0f, 1.0e-3f, 180, 200, n1, x1.data(),
                                    y1.data(), status));
  EXPECT_GT(n1, 100);
  ASSERT_TRUE(LVFindCircleCoordinates(image, cx, cy, r, 1.0e-3f, 180, 200, n2, x2.data(),
                                      y2.data(), status));
  ASSERT_EQ(n1, n2);
  for (int i = 0; i < n1; ++i) {
    EXPECT_FLOAT_EQ(x1[i], x2[i]);
    EXPECT_FLOAT_EQ(y1[i], y2[i]);
  }
}

TEST_F(RingSearch, MaskedSegmentsAndBadArgumentsGiveNoPoints) {
  ASSERT_TRUE(IAllocateMask(image, status));
  image.maskInUse = kTrue;
  for (std::size_t i = 0; i < IElementCount(image); ++i) image.mask[i] = 1;
  std::vector<float> x(200), y(200);
  int points = -1;
  ASSERT_TRUE(LVFindCircleCoordinates(image, 301.3e-4f, 288.6e-4f, 0.0165f, 1.0e-3f, 180, 200,
                                      points, x.data(), y.data(), status));
  EXPECT_EQ(points, 0);
  EXPECT_FALSE(LVFindCircleCoordinates(image, 301.3e-4f, 288.6e-4f, 0.0165f, 0.0f, 180, 200,
                                       points, x.data(), y.data(), status));
  EXPECT_EQ(status, kStatusRealRange1);
  status = kStatusGood;
  ResetCoreState();
  EXPECT_FALSE(LVFindCircleCoordinates(image, 301.3e-4f, 288.6e-4f, 0.0165f, 1.0e-3f, 0, 200,
                                       points, x.data(), y.data(), status));
  EXPECT_EQ(status, kStatusIntRange1);
}

// A limit that is not a whole number of half pixels: the profile still has the ellipse in
// its middle, so the points' mean radial residual stays near zero rather than being pulled
// towards the middle of a lopsided window.
TEST_F(RingSearch, AnOddLimitLeavesTheRingInTheMiddleOfItsProfiles) {
  const double twoTheta = MRingTwoTheta(1.0e-10, 2.7056e-10);
  float cx, cy, r1, r2, a;
  ASSERT_TRUE(MPredictRingEllipse(Truth(), twoTheta, cx, cy, r1, r2, a, status));
  for (const float limit : {2.45e-4f, 3.45e-4f, 4.9e-4f, 5.2e-4f}) {
    std::vector<float> x(360), y(360);
    int points = 0;
    ASSERT_TRUE(LVFindRingCoordinates(image, cx, cy, r1, r2, a, limit, 180, 360, points,
                                      x.data(), y.data(), status));
    ASSERT_GT(points, 150);
    double sum = 0.0;
    for (int i = 0; i < points; ++i) {
      double residual = 0.0;
      ASSERT_TRUE(MPowderResidual(Truth(), twoTheta, x[i], y[i], residual));
      sum += residual;
    }
    // The ring is 2.4 pixels wide; a window cut 0.45 pixel short on one side moved it by
    // a tenth of a pixel.
    EXPECT_LT(std::fabs(sum / points), 0.005e-4) << "limit " << limit << " mean residual "
                                                  << sum / points / 1.0e-4 << " pixel";
  }
}

TEST_F(RingSearch, PointsFoundOnThreeRingsFitTheGeometry) {
  const PowderGeometry truth = Truth();
  const std::vector<float> ds = {3.1241e-10f, 2.7056e-10f, 1.9131e-10f};
  std::vector<float> x(3 * 200), y(3 * 200);
  std::vector<int> counts(3);
  for (int k = 0; k < 3; ++k) {
    float cx, cy, r1, r2, a;
    ASSERT_TRUE(MPredictRingEllipse(truth, MRingTwoTheta(1e-10, ds[k]), cx, cy, r1, r2, a, status));
    ASSERT_TRUE(LVFindRingCoordinates(image, cx, cy, r1, r2, a, 6.0e-4f, 180, 200, counts[k],
                                      x.data() + k * 200, y.data() + k * 200, status));
  }
  PowderGeometry g = truth;
  g.beamX += 2e-4f;
  g.beamY += 1e-4f;
  g.tiltAngle = 0.05f;
  g.tiltAxisAngle = 0.7f;
  std::vector<float> fitted = {3.13e-10f, 2.71e-10f, 1.915e-10f};
  PowderFitFlags flags;
  flags.beamCentre = flags.tilt = flags.dSpacings = kTrue;
  float rms = 0;
  ASSERT_TRUE(MFitPowderRings({200, 30, 3, counts.data(), x.data(), y.data()}, flags, g,
                              fitted.data(), rms, status));
  EXPECT_NEAR(g.beamX / 1e-4, image.beamCentreX, 0.1);
  EXPECT_NEAR(g.beamY / 1e-4, image.beamCentreY, 0.1);
  EXPECT_NEAR(g.tiltAngle, image.tiltAngle, 0.005);
  EXPECT_NEAR(g.tiltAxisAngle, image.tiltAxisAngle, 0.05);
  for (int k = 0; k < 3; ++k) EXPECT_NEAR(fitted[k] / ds[k], 1.0, 1e-3);
}

}  // namespace

namespace {

// Rings located by their 2-theta profiles about a geometry that is a little off: broad rings
// whose tails overlap, narrow ones, a tilted detector, counting noise. The points lie on the
// true rings, not on the rings of the geometry they were looked for about.
TEST(RingProfile, PointsLieOnTheTrueRingsForNarrowAndOverlappingBroadRings) {
  struct Case {
    const char* what;
    double fwhmPixels;  // ring width at the detector
    double tilt;        // radians
    bool noise;
    double meanLimit, worstLimit;  // pixels
  };
  const Case cases[] = {
      {"narrow", 1.2, 0.05, false, 0.01, 0.05},
      {"medium, tilted", 3.0, 0.08, false, 0.01, 0.05},
      {"broad, tails overlapping", 10.0, 0.06, false, 0.1, 0.2},
      {"medium with counting noise", 4.0, 0.07, true, 0.03, 0.6},
  };
  const std::vector<float> table = {3.1241f, 2.7056f, 1.9131f, 1.6315f, 1.5621f, 1.3528f};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ResetCoreState();
    MRandomRestart();
    int status = kStatusGood;
    DataSet image;
    ASSERT_TRUE(IAllocateData(700, 660, image, status));
    image.beamCentreX = 351.3f;
    image.beamCentreY = 318.6f;
    image.distance = 0.06f;
    image.pixelSizeX = image.pixelSizeY = 1.0e-4f;
    image.wavelength = 0.7e-10f;
    image.tiltAxisAngle = 0.5f;
    image.tiltAngle = static_cast<float>(c.tilt);
    PowderSimulation s;
    s.dSpacings = table;
    s.fwhm = static_cast<float>(c.fwhmPixels * 1.0e-4 / 0.06);
    s.peakIntensity = 1000.0f;
    s.fallOff = 1.0f;
    s.background = 20.0f;
    s.poissonNoise = c.noise ? kTrue : kFalse;
    ASSERT_TRUE(MSimulatePowder(image, s, status));
    const PowderGeometry truth{image.beamCentreX * 1.0e-4f, image.beamCentreY * 1.0e-4f,
                               0.06f, 0.7e-10f, 0.5f, static_cast<float>(c.tilt)};
    // As a detector sees the rings: each pixel through its solid angle, which falls as the
    // cube of its distance from the sample.
    for (int iy = 0; iy < image.numY; ++iy) {
      for (int ix = 0; ix < image.numX; ++ix) {
        const double x = (ix + 0.5) * 1.0e-4, y = (iy + 0.5) * 1.0e-4;
        double r = 0.0, path = 0.0;
        ASSERT_TRUE(MPowderRadiusAndPath(truth, x, y, r, path));
        image.data[IIndex(image, ix, iy)] *= static_cast<float>(std::pow(0.06 / path, 3));
      }
    }
    PowderGeometry off = truth;  // as after a first fit: half a pixel and 0.1 % away
    off.beamX += 0.4e-4f;
    off.beamY -= 0.3e-4f;
    off.distance *= 1.001f;
    off.tiltAngle *= 0.98f;
    std::vector<float> ds(table.size());
    for (std::size_t k = 0; k < ds.size(); ++k) ds[k] = table[k] * 1.0e-10f;
    const int rings = static_cast<int>(ds.size());
    std::vector<float> x(static_cast<std::size_t>(rings) * 200), y(x.size());
    std::vector<int> counts(ds.size());
    // Twice: the widths measured and handed out, then handed back in and not measured again.
    std::vector<float> widths(ds.size(), 0.0f);
    for (int given = 0; given < 2; ++given) {
      SCOPED_TRACE(given ? "widths given" : "widths measured");
      ASSERT_TRUE(MRingProfilePoints(image, off, rings, ds.data(), 180, 200, counts.data(),
                                     x.data(), y.data(), status, widths.data()));
      for (int k = 0; k < rings; ++k) {
        if (counts[static_cast<std::size_t>(k)] > 20) {
          // The Gaussian's sigma: FWHM / 2.3548, in pixels of 2-theta on the ring.
          EXPECT_NEAR(widths[static_cast<std::size_t>(k)], c.fwhmPixels / 2.3548,
                      0.35 * c.fwhmPixels / 2.3548 + 0.15)
              << "ring " << k;
        }
        const double twoTheta = MRingTwoTheta(truth.wavelength, ds[static_cast<std::size_t>(k)]);
        // Rings wholly on the image give a point in nearly every segment.
        float cx, cy, r1, r2, a;
        ASSERT_TRUE(MPredictRingEllipse(truth, twoTheta, cx, cy, r1, r2, a, status));
        if (r1 < 0.028f) {
          EXPECT_GT(counts[static_cast<std::size_t>(k)], c.fwhmPixels < 2.0 ? 90 : 150) << "ring " << k;
        }
        double sum = 0.0, worst = 0.0;
        for (int i = 0; i < counts[static_cast<std::size_t>(k)]; ++i) {
          double residual = 0.0;
          const std::size_t at = static_cast<std::size_t>(k) * 200 + i;
          ASSERT_TRUE(MPowderResidual(truth, twoTheta, x[at], y[at], residual));
          sum += residual / 1.0e-4;
          worst = std::max(worst, std::fabs(residual) / 1.0e-4);
        }
        const int n = counts[static_cast<std::size_t>(k)];
        if (n == 0) continue;
        EXPECT_LT(std::fabs(sum / n), c.meanLimit) << "ring " << k;
        EXPECT_LT(worst, c.worstLimit) << "ring " << k;
      }
    }
    EXPECT_EQ(status, kStatusGood);
  }
}

TEST(RingProfile, MaskedPixelsAndUnreachableRingsGiveNoPoints) {
  int status = kStatusGood;
  DataSet image;
  ASSERT_TRUE(IAllocateData(200, 200, image, status));
  image.pixelSizeX = image.pixelSizeY = 1.0e-4f;
  PowderSimulation s;
  s.dSpacings = {3.1241f};
  s.fwhm = 0.003f;
  s.peakIntensity = 1000.0f;
  s.fallOff = 1.0f;
  image.beamCentreX = image.beamCentreY = 100.0f;
  image.distance = 0.02f;
  image.wavelength = 1.0e-10f;
  ASSERT_TRUE(MSimulatePowder(image, s, status));
  const PowderGeometry g{0.01f, 0.01f, 0.02f, 1.0e-10f, 0.0f, 0.0f};
  const float ds[2] = {3.1241e-10f, 0.4e-10f};  // the second beyond the wavelength's reach
  std::vector<float> x(400), y(400);
  int counts[2] = {-1, -1};
  ASSERT_TRUE(MRingProfilePoints(image, g, 2, ds, 90, 200, counts, x.data(), y.data(), status));
  EXPECT_GT(counts[0], 80);
  EXPECT_EQ(counts[1], 0);
  ASSERT_TRUE(IAllocateMask(image, status));
  image.maskInUse = kTrue;
  for (std::size_t i = 0; i < IElementCount(image); ++i) image.mask[i] = 1;
  ASSERT_TRUE(MRingProfilePoints(image, g, 2, ds, 90, 200, counts, x.data(), y.data(), status));
  EXPECT_EQ(counts[0], 0);
  EXPECT_FALSE(MRingProfilePoints(image, g, 0, ds, 90, 200, counts, x.data(), y.data(), status));
  EXPECT_EQ(status, kStatusIntRange1);
}

}  // namespace
