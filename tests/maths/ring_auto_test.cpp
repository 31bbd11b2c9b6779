// The start of a calibration found from the image alone (MFindPowderStart): simulated calibrant
// patterns of known geometry give the beam centre, the distance and points on one ring of
// the calibrant; images without rings give no start and leave the status good.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/status.h"
#include "maths/MGeometry.h"
#include "maths/MRingAuto.h"
#include "maths/MRingFit.h"
#include "maths/MSimulate.h"
#include "tests/support/TestSupport.h"

namespace {

constexpr float kPixel = 1.0e-4f;
constexpr float kWavelength = 0.7e-10f;

std::vector<float> Metres(const std::vector<float>& angstrom) {
  std::vector<float> m(angstrom.size());
  for (std::size_t k = 0; k < m.size(); ++k) m[k] = angstrom[k] * 1.0e-10f;
  return m;
}

TEST(RingAuto, SimulatedPatternsGiveTheCentreTheDistanceAndARing) {
  struct Case {
    const char* what;
    int code;
    float beamX, beamY, distance, tilt, axis;
    bool noise, maskLeftHalf;
  };
  const Case cases[] = {
      {"cerium dioxide, untilted, counting noise", kCalibrantCeriumDioxide, 301.3f, 270.8f, 0.08f,
       0.0f, 0.0f, true, false},
      {"cerium dioxide, tilted 4 degrees", kCalibrantCeriumDioxide, 290.6f, 281.2f, 0.08f, 0.07f,
       0.6f, false, false},
      {"silicon, the centre 60 pixels from an edge", kCalibrantSilicon, 60.5f, 250.2f, 0.07f,
       0.02f, 2.0f, true, false},
      {"lanthanum hexaboride, the left half masked", kCalibrantLanthanumHexaboride, 305.0f, 262.0f,
       0.09f, 0.03f, -1.0f, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ResetCoreState();
    MRandomRestart();
    int status = kStatusGood;
    DataSet image;
    ASSERT_TRUE(IAllocateData(600, 560, image, status));
    image.beamCentreX = c.beamX;
    image.beamCentreY = c.beamY;
    image.distance = c.distance;
    image.pixelSizeX = image.pixelSizeY = kPixel;
    image.wavelength = kWavelength;
    image.tiltAngle = c.tilt;
    image.tiltAxisAngle = c.axis;
    PowderSimulation s;
    std::string name;
    ASSERT_TRUE(MCalibrantTable(c.code, name, s.dSpacings));
    s.fwhm = static_cast<float>(2.5 * kPixel / c.distance);
    s.peakIntensity = 800.0f;
    s.fallOff = 1.0f;
    s.background = 30.0f;
    s.poissonNoise = c.noise ? kTrue : kFalse;
    ASSERT_TRUE(MSimulatePowder(image, s, status));
    if (c.maskLeftHalf) {
      ASSERT_TRUE(IAllocateMask(image, status));
      image.maskInUse = kTrue;
      for (int iy = 0; iy < image.numY; ++iy)
        for (int ix = 0; ix < image.numX; ++ix) image.mask[IIndex(image, ix, iy)] = ix < 300 ? 1 : 0;
    }
    const std::vector<float> table = Metres(s.dSpacings);
    PowderStart start;
    // A distance far off decides nothing.
    ASSERT_TRUE(MFindPowderStart(image, kWavelength, static_cast<int>(table.size()), table.data(),
                                 0.3, start, status))
        << start.reason;
    EXPECT_EQ(status, kStatusGood);
    const PowderGeometry truth{c.beamX * kPixel, c.beamY * kPixel, c.distance, kWavelength,
                               c.axis, c.tilt};
    ASSERT_GE(start.ring, 0);
    const double twoTheta =
        MRingTwoTheta(kWavelength, table[static_cast<std::size_t>(start.ring)]);
    // The centre: that of the ring the points lie on (on a tilted detector the rings' centres
    // move off the beam), within 2 pixels.
    float cx, cy, r1, r2, a;
    ASSERT_TRUE(MPredictRingEllipse(truth, twoTheta, cx, cy, r1, r2, a, status));
    EXPECT_NEAR(start.centreX / kPixel, cx / kPixel, 2.0);
    EXPECT_NEAR(start.centreY / kPixel, cy / kPixel, 2.0);
    EXPECT_NEAR(start.distance / c.distance, 1.0, 0.03);
    EXPECT_GE(start.ringsFound, 3);
    ASSERT_GE(start.x.size(), 30u);
    ASSERT_EQ(start.x.size(), start.y.size());
    for (std::size_t i = 0; i < start.x.size(); ++i) {
      double residual = 0.0;
      ASSERT_TRUE(MPowderResidual(truth, twoTheta, start.x[i], start.y[i], residual));
      EXPECT_LT(std::fabs(residual) / kPixel, 3.0) << "point " << i;
    }
  }
}

TEST(RingAuto, ImagesWithoutRingsGiveNoStart) {
  struct Case {
    const char* what;
    int kind;  // 0 flat, 1 counting noise, 2 a smooth slope, 3 no wavelength
  };
  const Case cases[] = {{"a flat image", 0},
                        {"counting noise", 1},
                        {"a smooth slope", 2},
                        {"no wavelength", 3}};
  std::string name;
  std::vector<float> angstrom;
  ASSERT_TRUE(MCalibrantTable(kCalibrantCeriumDioxide, name, angstrom));
  const std::vector<float> table = Metres(angstrom);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ResetCoreState();
    MRandomRestart();
    int status = kStatusGood;
    DataSet image;
    ASSERT_TRUE(IAllocateData(300, 280, image, status));
    IDefineWholeImage(image, 300, 280);
    image.pixelSizeX = image.pixelSizeY = kPixel;
    for (int iy = 0; iy < image.numY; ++iy)
      for (int ix = 0; ix < image.numX; ++ix)
        image.data[IIndex(image, ix, iy)] = c.kind == 2 ? 20.0f + 0.3f * ix + 0.1f * iy : 100.0f;
    if (c.kind == 1) {
      ASSERT_TRUE(MROIPoissonNoise(image, status));
    }
    PowderStart start;
    EXPECT_FALSE(MFindPowderStart(image, c.kind == 3 ? 0.0 : kWavelength,
                                  static_cast<int>(table.size()), table.data(), 0.08, start,
                                  status));
    EXPECT_EQ(status, kStatusGood);
    EXPECT_FALSE(start.reason.empty());
    EXPECT_TRUE(start.x.empty());
  }
  // A region of interest outside the data is an error of the caller.
  int status = kStatusGood;
  DataSet image;
  ASSERT_TRUE(IAllocateData(50, 50, image, status));
  IDefineWholeImage(image, 50, 50);
  image.endX = 80;
  PowderStart start;
  EXPECT_FALSE(MFindPowderStart(image, kWavelength, static_cast<int>(table.size()), table.data(),
                                0.08, start, status));
  EXPECT_EQ(status, kStatusROI1);
}

}  // namespace
