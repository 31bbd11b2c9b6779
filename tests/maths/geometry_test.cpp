// The pixel-to-scattering transform against closed forms: an untilted detector, a detector
// tilted about each axis (the point rotated in three dimensions and seen from the sample), and
// the tilt-corrected coordinate traced back onto the tilted plane.
#include <gtest/gtest.h>

#include <cmath>

#include "core/status.h"
#include "maths/MGeometry.h"
#include "tests/support/TestSupport.h"

namespace {

struct Vec {
  double x, y, z;
};

// Rotation of v by angle about the unit axis u (Rodrigues).
Vec Rotate(const Vec& v, const Vec& u, double angle) {
  const double c = std::cos(angle), s = std::sin(angle);
  const double dot = u.x * v.x + u.y * v.y + u.z * v.z;
  const Vec cross{u.y * v.z - u.z * v.y, u.z * v.x - u.x * v.z, u.x * v.y - u.y * v.x};
  return {v.x * c + cross.x * s + u.x * dot * (1 - c), v.y * c + cross.y * s + u.y * dot * (1 - c),
          v.z * c + cross.z * s + u.z * dot * (1 - c)};
}

class GeometryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetCoreState();
    d.beamCentreX = 100.5f;
    d.beamCentreY = 50.25f;
    d.distance = 0.2f;
    d.pixelSizeX = 100.0e-6f;
    d.pixelSizeY = 150.0e-6f;
    d.wavelength = 1.0e-10f;
  }

  // The detector point of pixel (x, y) in the laboratory: detector plane tilted by tau about
  // the in-plane axis at rho, through the beam point at distance D along z.
  Vec LabPoint(double x, double y) const {
    const Vec offset{(x + 0.5 - d.beamCentreX) * d.pixelSizeX,
                     (y + 0.5 - d.beamCentreY) * d.pixelSizeY, 0.0};
    const Vec axis{std::cos(d.tiltAxisAngle), std::sin(d.tiltAxisAngle), 0.0};
    const Vec p = Rotate(offset, axis, d.tiltAngle);
    return {p.x, p.y, p.z + d.distance};
  }

  DataSet d;
  int status = kStatusGood;
};

TEST_F(GeometryTest, UntiltedDetectorMatchesClosedForms) {
  d.rotationZ = 0.1f;
  for (int i = 0; i < 50; ++i) {
    const float x = static_cast<float>((i * 37) % 211) - 3.25f;
    const float y = static_cast<float>((i * 53) % 97) + 0.75f;
    PixelGeometry p;
    ASSERT_TRUE(MDetector2DSpacing(d, x, y, p, status));
    const double g = (x + 0.5 - d.beamCentreX) * d.pixelSizeX;
    const double h = (y + 0.5 - d.beamCentreY) * d.pixelSizeY;
    const double r = std::hypot(g, h);
    const double twoTheta = std::atan(r / d.distance);
    EXPECT_NEAR(p.radialDistance, r, 1e-9);
    EXPECT_NEAR(p.twoTheta, twoTheta, 1e-7);
    EXPECT_NEAR(std::remainder(p.azimuth - (std::atan2(h, g) + 0.1), 2 * M_PI), 0.0, 1e-6);
    EXPECT_NEAR(p.dSpacing, 1.0 / (2.0 * std::sin(twoTheta / 2)), 1e-5 * p.dSpacing);
    EXPECT_NEAR(p.q, 4 * M_PI * std::sin(twoTheta / 2) / 0.1, 1e-5 * p.q + 1e-6);
    EXPECT_NEAR(p.correctedX, x, 1e-3);
    EXPECT_NEAR(p.correctedY, y, 1e-3);
  }
  // The beam centre itself: no angle, an infinite d-spacing.
  PixelGeometry centre;
  ASSERT_TRUE(MDetector2DSpacing(d, 100.0f, 49.75f, centre, status));
  EXPECT_EQ(centre.twoTheta, 0.0f);
  EXPECT_TRUE(std::isinf(centre.dSpacing));
}

TEST_F(GeometryTest, TiltAboutEachAxisMatchesThePointSeenFromTheSample) {
  // About X, about Y, and about an oblique axis; both senses of the tilt.
  const double axes[] = {0.0, M_PI / 2, 0.7, -2.1};
  const double tilts[] = {0.035, -0.035, 0.3};
  for (double axis : axes) {
    for (double tilt : tilts) {
      d.tiltAxisAngle = static_cast<float>(axis);
      d.tiltAngle = static_cast<float>(tilt);
      for (int i = 0; i < 30; ++i) {
        const float x = static_cast<float>((i * 71) % 400) - 100.0f;
        const float y = static_cast<float>((i * 29) % 300) - 120.0f;
        const Vec lab = LabPoint(x, y);
        PixelGeometry p;
        ASSERT_TRUE(MDetector2DSpacing(d, x, y, p, status));
        SCOPED_TRACE(testing::Message() << "axis " << axis << " tilt " << tilt << " at " << x
                                        << ", " << y);
        EXPECT_NEAR(p.twoTheta, std::atan2(std::hypot(lab.x, lab.y), lab.z), 2e-7);
        // The corrected coordinate is the point projected from the sample onto z = D.
        const double xc = lab.x * d.distance / lab.z, yc = lab.y * d.distance / lab.z;
        EXPECT_NEAR(p.correctedX, xc / d.pixelSizeX + d.beamCentreX - 0.5, 2e-3);
        EXPECT_NEAR(p.correctedY, yc / d.pixelSizeY + d.beamCentreY - 0.5, 2e-3);
        EXPECT_NEAR(std::remainder(p.azimuth - std::atan2(yc, xc), 2 * M_PI), 0.0, 1e-5);
      }
    }
  }
}

TEST_F(GeometryTest, CorrectedCoordinateTracesBackOntoTheTiltedPlane) {
  d.tiltAxisAngle = 1.1f;
  d.tiltAngle = -0.12f;
  const Vec axis{std::cos(d.tiltAxisAngle), std::sin(d.tiltAxisAngle), 0.0};
  const Vec normal = Rotate({0, 0, 1}, axis, d.tiltAngle);
  for (int i = 0; i < 40; ++i) {
    const float x = static_cast<float>((i * 83) % 500) - 150.0f;
    const float y = static_cast<float>((i * 47) % 350) - 100.0f;
    PixelGeometry p;
    ASSERT_TRUE(MDetector2DSpacing(d, x, y, p, status));
    // The ray from the sample through the corrected point, met with the tilted plane.
    const Vec ray{(p.correctedX + 0.5 - d.beamCentreX) * d.pixelSizeX,
                  (p.correctedY + 0.5 - d.beamCentreY) * d.pixelSizeY, d.distance};
    const double s = normal.z * d.distance /
                     (normal.x * ray.x + normal.y * ray.y + normal.z * ray.z);
    const Vec onPlane{s * ray.x, s * ray.y, s * ray.z - d.distance};
    const Vec back = Rotate(onPlane, axis, -d.tiltAngle);
    EXPECT_NEAR(back.z, 0.0, 1e-9);
    EXPECT_NEAR(back.x / d.pixelSizeX + d.beamCentreX - 0.5, x, 2e-3);
    EXPECT_NEAR(back.y / d.pixelSizeY + d.beamCentreY - 0.5, y, 2e-3);
  }
}

TEST_F(GeometryTest, EnergyAndWavelengthRoundTrip) {
  EXPECT_DOUBLE_EQ(MEnergyFromWavelength(1.0), 12.39852);
  for (double energy : {0.001, 8.04778, 12.39852, 30.5, 10000.0}) {
    EXPECT_NEAR(MEnergyFromWavelength(MWavelengthFromEnergy(energy)), energy, 1e-12 * energy);
  }
  EXPECT_EQ(MWavelengthFromEnergy(0.0), 0.0);
  EXPECT_NEAR(MRingTwoTheta(0.4066, 3.1241), 2 * std::asin(0.4066 / 6.2482), 1e-15);
  EXPECT_TRUE(std::isnan(MRingTwoTheta(3.0, 1.0)));  // lambda > 2d: no ring
}

TEST_F(GeometryTest, EllipseInPixelUnitsAndBadGeometry) {
  d.pixelSizeX = 1.0e-4f;
  d.pixelSizeY = 2.0e-4f;
  float cx = 0.01f, cy = 0.02f, r1 = 0.004f, r2 = 0.002f, angle = 0.0f;
  MEllipse2IPC(d, cx, cy, r1, r2, angle);
  EXPECT_FLOAT_EQ(cx, 100.0f);
  EXPECT_FLOAT_EQ(cy, 100.0f);
  EXPECT_FLOAT_EQ(r1, 40.0f);  // along X
  EXPECT_FLOAT_EQ(r2, 10.0f);  // along Y
  EXPECT_NEAR(angle, 0.0f, 1e-7);

  d.distance = 0.0f;
  PixelGeometry p;
  EXPECT_FALSE(MDetector2DSpacing(d, 1.0f, 1.0f, p, status));
  EXPECT_EQ(status, kStatusBadGeometry);
}

TEST_F(GeometryTest, CalibrantTables) {
  std::string name;
  std::vector<float> d;
  ASSERT_TRUE(MCalibrantTable(kCalibrantCeriumDioxide, name, d));
  EXPECT_EQ(d.size(), 15u);
  EXPECT_EQ(d[12], d[13]);  // 0.90185 twice, two rings
  EXPECT_FALSE(MCalibrantTable(kCalibrantUserFile, name, d));
}

}  // namespace
