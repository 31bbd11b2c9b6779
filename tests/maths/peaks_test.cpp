// Peak shapes, the 2-D Gaussian fit and its start estimate, and the random numbers and Poisson
// deviates of the simulation: known values, degenerate widths, peaks outside the image,
// non-converging fits, and the statistics of large samples at a fixed seed.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>
#include <vector>

#include "core/status.h"
#include "maths/MPeaks.h"
#include "maths/MSimulate.h"
#include "tests/support/TestSupport.h"

namespace {

void Flat(DataSet& d, int nx, int ny, float level) {
  int status = kStatusGood;
  ASSERT_TRUE(IAllocateData(nx, ny, d, status));
  IDefineWholeImage(d, nx, ny);
  for (std::size_t i = 0; i < IElementCount(d); ++i) d.data[i] = level;
}

double Sum(const DataSet& d) {
  double s = 0.0;
  for (std::size_t i = 0; i < IElementCount(d); ++i) s += d.data[i];
  return s;
}

Gaussian2DPeak Peak(float x, float y, float intensity, float angle, float s1, float s2,
                    int n = 6, int method = kGaussianInterpolate) {
  Gaussian2DPeak p;
  p.centreX = x;
  p.centreY = y;
  p.intensity = intensity;
  p.angle = angle;
  p.sigma1 = s1;
  p.sigma2 = s2;
  p.maxSigmas = n;
  p.method = method;
  return p;
}

TEST(Gaussian, MethodsAgreeAndTableEnds) {
  int status = kStatusGood;
  for (float x : {0.0f, 0.37f, 1.0f, 2.555f, 4.2f}) {
    const double exact = std::exp(-x * x / 2.0);
    EXPECT_NEAR(MGaussian(x, kGaussianExact, status), exact, 1e-6);
    EXPECT_NEAR(MGaussian(x, kGaussianInterpolate, status), exact, 2e-5);
    EXPECT_NEAR(MGaussian(x, kGaussianNearest, status), exact, 4e-3);
  }
  EXPECT_EQ(MGaussian(6.0f, kGaussianInterpolate, status), 0.0f);
  EXPECT_FLOAT_EQ(MGaussian(6.0f, kGaussianNearest, status), std::exp(-18.0f));
  EXPECT_EQ(MGaussian(6.01f, kGaussianNearest, status), 0.0f);
  EXPECT_EQ(status, kStatusGood);
}

TEST(Gaussian, NegativeArgumentAndUnknownMethodFail) {
  int status = kStatusGood;
  EXPECT_FLOAT_EQ(MGaussian(-0.5f, kGaussianExact, status), -3.4028235e38f);
  EXPECT_EQ(status, 21);
  status = kStatusGood;
  MGaussian(1.0f, 879, status);
  EXPECT_EQ(status, 21);
}

TEST(Gaussian2D, VolumeAndCentreOfMass) {
  RecordingSink sink;
  DataSet d;
  Flat(d, 200, 150, 0.0f);
  int status = kStatusGood;
  long long added = 0;
  ASSERT_TRUE(MGaussian2D(Peak(90.3f, 70.8f, 100.0f, 0.6f, 8.0f, 4.0f), d, status, &added));
  EXPECT_GT(added, 1000);
  EXPECT_NEAR(Sum(d), 2.0 * M_PI * 100.0 * 8.0 * 4.0, 0.5);
  double mx = 0.0, my = 0.0;
  for (int y = 0; y < 150; ++y)
    for (int x = 0; x < 200; ++x) {
      mx += (x + 0.5) * d.data[IIndex(d, x, y)];
      my += (y + 0.5) * d.data[IIndex(d, x, y)];
    }
  EXPECT_NEAR(mx / Sum(d), 90.3, 1e-3);
  EXPECT_NEAR(my / Sum(d), 70.8, 1e-3);
  // Along the first axis the profile is sigma 1 wide.
  const float along = d.data[IIndex(d, 90 + 8, 70)];
  EXPECT_GT(along, d.data[IIndex(d, 90, 70 + 8)]);
}

TEST(Gaussian2D, ZeroSigmasAddOnlyTheCentrePixel) {
  RecordingSink sink;
  DataSet d;
  Flat(d, 20, 20, 1.0f);
  int status = kStatusGood;
  ASSERT_TRUE(MGaussian2D(Peak(10.5f, 7.5f, 5.0f, 0.3f, 2.0f, 1.0f, 0), d, status));
  EXPECT_NEAR(Sum(d), 400.0 + 5.0, 1e-4);
  EXPECT_FLOAT_EQ(d.data[IIndex(d, 10, 7)], 6.0f);
}

TEST(Gaussian2D, DegenerateWidthsWarnAndAddNothing) {
  RecordingSink sink;
  DataSet d;
  Flat(d, 30, 30, 2.0f);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (auto p : {Peak(15, 15, 10, 0, 0.0f, 2.0f), Peak(15, 15, 10, 0, -3.0f, 2.0f),
                 Peak(15, 15, 10, 0, 3.0f, nan), Peak(nan, 15, 10, 0, 3.0f, 2.0f),
                 Peak(15, 15, std::numeric_limits<float>::infinity(), 0, 3.0f, 2.0f)}) {
    int status = kStatusGood;
    sink.boxes.clear();
    EXPECT_FALSE(MGaussian2D(p, d, status));
    EXPECT_EQ(status, kStatusGood);
    EXPECT_EQ(sink.boxes.size(), 1u);
  }
  EXPECT_DOUBLE_EQ(Sum(d), 1800.0);
}

TEST(Gaussian2D, BadControlsAndFarPeaks) {
  RecordingSink sink;
  DataSet d;
  Flat(d, 30, 30, 0.0f);
  int status = kStatusGood;
  EXPECT_FALSE(MGaussian2D(Peak(15, 15, 10, 0, 3, 2, 21), d, status));
  EXPECT_EQ(status, 25);
  status = kStatusGood;
  EXPECT_FALSE(MGaussian2D(Peak(15, 15, 10, 0, 3, 2, 5, 12), d, status));
  EXPECT_EQ(status, 21);
  // Far outside the image, or with a huge width: defined, no overflow.
  status = kStatusGood;
  long long added = -1;
  EXPECT_TRUE(MGaussian2D(Peak(1.0e30f, -1.0e30f, 10, 0.2f, 3, 2), d, status, &added));
  EXPECT_EQ(added, 0);
  EXPECT_TRUE(MGaussian2D(Peak(-5000.0f, 15.0f, 10, 0.0f, 3.0e37f, 2.0f), d, status, &added));
  EXPECT_EQ(status, kStatusGood);
  for (std::size_t i = 0; i < IElementCount(d); ++i) EXPECT_TRUE(std::isfinite(d.data[i]));
}

TEST(PolarGaussian, TwinAtTheOppositeAzimuthWithRatio) {
  RecordingSink sink;
  DataSet d;
  Flat(d, 101, 101, 0.0f);
  PolarGaussianPeak p;
  p.symmetryX = 50.5f;
  p.symmetryY = 50.5f;
  p.centreX = 80.5f;
  p.centreY = 50.5f;
  p.intensity = 100.0f;
  p.radialSigma = 2.0f;
  p.azimuthalSigma = 0.1f;
  p.twin = kTrue;
  p.twinRatio = 0.5f;
  int status = kStatusGood;
  ASSERT_TRUE(MPolarGaussian2D(p, d, status));
  EXPECT_NEAR(d.data[IIndex(d, 80, 50)], 100.0f, 1e-3);
  EXPECT_NEAR(d.data[IIndex(d, 20, 50)], 50.0f, 1e-3);
  EXPECT_LT(d.data[IIndex(d, 50, 80)], 1e-3f);
  // Just past +/-pi from the peak at azimuth pi (the twin) the wrap-around keeps it near.
  EXPECT_NEAR(d.data[IIndex(d, 20, 49)], d.data[IIndex(d, 20, 51)], 1e-3);
  EXPECT_GT(d.data[IIndex(d, 20, 49)], 40.0f);

  p.radialSigma = 0.0f;
  EXPECT_FALSE(MPolarGaussian2D(p, d, status));
  EXPECT_EQ(status, kStatusGood);
}

class Gaussian2DFit : public ::testing::Test {
 protected:
  RecordingSink sink;
  DataSet data, model;
  int status = kStatusGood;
  void SetUp() override {
    Flat(data, 120, 100, 12.0f);
    ASSERT_TRUE(MGaussian2D(Peak(61.37f, 48.62f, 400.0f, 0.45f, 6.0f, 3.5f), data, status));
    ASSERT_TRUE(IAllocateData(120, 100, model, status));
  }
};

TEST_F(Gaussian2DFit, NoiseFreePeakIsRecovered) {
  float background = 10.0f;
  Gaussian2DPeak p = Peak(60.0f, 50.0f, 350.0f, 0.3f, 5.0f, 4.0f, 5);
  GaussianFitReport report;
  ASSERT_TRUE(MDiz2IGaussian(data, background, p, model, status, &report));
  EXPECT_TRUE(report.converged);
  EXPECT_NEAR(background, 12.0f, 0.06f);
  EXPECT_NEAR(p.centreX, 61.37f, 0.01f);
  EXPECT_NEAR(p.centreY, 48.62f, 0.01f);
  EXPECT_NEAR(p.intensity, 400.0f, 2.0f);
  EXPECT_NEAR(p.angle, 0.45f, 0.005f);
  EXPECT_NEAR(p.sigma1, 6.0f, 0.03f);
  EXPECT_NEAR(p.sigma2, 3.5f, 0.0175f);
  ASSERT_EQ(report.errors.size(), 7u);
  // The model holds the fit.
  EXPECT_NEAR(model.data[IIndex(model, 61, 48)], data.data[IIndex(data, 61, 48)], 1.0f);
}

TEST_F(Gaussian2DFit, StartFromTheEstimate) {
  PixelRegion region;
  float background = 0.0f;
  Gaussian2DPeak p;
  ASSERT_TRUE(MInit2DGaussian(58, 50, data, region, background, p, status));
  EXPECT_EQ(background, 12.0f);
  EXPECT_NEAR(p.centreX, 61.5f, 1.01f);
  EXPECT_NEAR(p.centreY, 48.5f, 1.01f);
  EXPECT_GT(p.sigma1, 1.0f);
  EXPECT_LE(region.startX, 55);
  EXPECT_GE(region.endX, 67);
  ASSERT_TRUE(MDiz2IGaussian(data, background, p, model, status));
  EXPECT_NEAR(p.centreX, 61.37f, 0.01f);
  EXPECT_NEAR(p.centreY, 48.62f, 0.01f);
}

TEST_F(Gaussian2DFit, EstimateRefusesFlatDataAndOutsidePixels) {
  DataSet flat;
  Flat(flat, 40, 40, 3.0f);
  PixelRegion region;
  float background = 0.0f;
  Gaussian2DPeak p;
  EXPECT_FALSE(MInit2DGaussian(20, 20, flat, region, background, p, status));
  EXPECT_FALSE(MInit2DGaussian(-3, 20, data, region, background, p, status));
  EXPECT_FALSE(MInit2DGaussian(20, 500, data, region, background, p, status));
  EXPECT_EQ(status, kStatusGood);
}

TEST_F(Gaussian2DFit, ModelMustBeAllocatedAndLargeEnough) {
  float background = 10.0f;
  Gaussian2DPeak p = Peak(60.0f, 50.0f, 350.0f, 0.3f, 5.0f, 4.0f, 5);
  DataSet none;
  EXPECT_FALSE(MDiz2IGaussian(data, background, p, none, status));
  EXPECT_EQ(status, 1019);
  status = kStatusGood;
  DataSet small;
  ASSERT_TRUE(IAllocateData(50, 50, small, status));
  EXPECT_FALSE(MDiz2IGaussian(data, background, p, small, status));
  EXPECT_EQ(status, 1014);
}

TEST_F(Gaussian2DFit, AFitThatCannotRunChangesNothing) {
  data.data[IIndex(data, 30, 30)] = std::numeric_limits<float>::quiet_NaN();
  for (std::size_t i = 0; i < IElementCount(model); ++i) model.data[i] = -7.0f;
  model.dataDefined = kTrue;
  float background = 10.0f;
  Gaussian2DPeak p = Peak(60.0f, 50.0f, 350.0f, 0.3f, 5.0f, 4.0f, 5);
  const Gaussian2DPeak before = p;
  EXPECT_FALSE(MDiz2IGaussian(data, background, p, model, status));
  EXPECT_EQ(status, kStatusGood);
  EXPECT_EQ(background, 10.0f);
  EXPECT_EQ(p.centreX, before.centreX);
  EXPECT_EQ(p.sigma1, before.sigma1);
  for (std::size_t i = 0; i < IElementCount(model); ++i) ASSERT_EQ(model.data[i], -7.0f);
  bool said = false;
  for (const auto& b : sink.boxes) said = said || b.text.find("did not converge") != std::string::npos;
  EXPECT_TRUE(said);
}

// Eight noise realisations from the fixed seed: every parameter lies within 3.5 reported
// standard errors of the truth, and the deviations measured in reported errors have an RMS
// near 1 (the errors are neither too small nor too large).
TEST(Gaussian2DFitPoisson, DeviationsMatchTheReportedErrors) {
  RecordingSink sink;
  MRandomRestart();
  const float truth[7] = {12.0f, 61.37f, 48.62f, 400.0f, 0.45f, 6.0f, 3.5f};
  const int realisations = 8;
  double squares[7] = {0, 0, 0, 0, 0, 0, 0};
  for (int k = 0; k < realisations; ++k) {
    DataSet data, model;
    int status = kStatusGood;
    Flat(data, 120, 100, 12.0f);
    ASSERT_TRUE(MGaussian2D(Peak(61.37f, 48.62f, 400.0f, 0.45f, 6.0f, 3.5f), data, status));
    ASSERT_TRUE(MROIPoissonNoise(data, status));
    ASSERT_TRUE(IAllocateData(120, 100, model, status));
    float background = 10.0f;
    Gaussian2DPeak p = Peak(60.0f, 50.0f, 350.0f, 0.3f, 5.0f, 4.0f, 5);
    GaussianFitReport report;
    ASSERT_TRUE(MDiz2IGaussian(data, background, p, model, status, &report));
    const float got[7] = {background, p.centreX, p.centreY, p.intensity,
                          p.angle,    p.sigma1,  p.sigma2};
    for (int i = 0; i < 7; ++i) {
      const double error = report.errors[static_cast<std::size_t>(i)];
      ASSERT_GT(error, 0.0) << i;
      const double deviation = (got[i] - truth[i]) / error;
      EXPECT_LE(std::fabs(deviation), 3.5) << "realisation " << k << " parameter " << i;
      squares[i] += deviation * deviation;
    }
  }
  for (int i = 0; i < 7; ++i) {
    const double rms = std::sqrt(squares[i] / realisations);
    EXPECT_GT(rms, 0.4) << i;
    EXPECT_LT(rms, 1.6) << i;
  }
}

TEST(Random, UniformSequenceStartsAsWritten) {
  MRandomRestart();
  long long s1 = 21579, s2 = 55966;
  for (int k = 0; k < 5; ++k) {
    s1 = (s1 * 7141 + 54773) % 259200;
    s2 = (s2 * 8121 + 28411) % 134456;
    const double expected = (s1 + s2 / 134456.0) / 259200.0;
    EXPECT_DOUBLE_EQ(MRandomUniform(), expected) << k;
  }
  MRandomRestart();
  // The first value written out.
  EXPECT_NEAR(MRandomUniform(), (((21579LL * 7141 + 54773) % 259200) +
                                 ((55966LL * 8121 + 28411) % 134456) / 134456.0) / 259200.0,
              0.0);
}

TEST(Random, UniformStaysInTheUnitInterval) {
  MRandomRestart();
  double sum = 0.0;
  for (int k = 0; k < 200000; ++k) {
    const double u = MRandomUniform();
    ASSERT_GE(u, 0.0);
    ASSERT_LT(u, 1.0);
    sum += u;
  }
  EXPECT_NEAR(sum / 200000.0, 0.5, 0.005);
}

TEST(Random, PoissonMeanAndVarianceInEveryRange) {
  for (double mean : {0.7, 4.0, 25.0, 45.0, 150.0, 2000.0, 1.0e6}) {
    MRandomRestart();
    const int n = 100000;
    double sum = 0.0, squares = 0.0;
    for (int k = 0; k < n; ++k) {
      const double v = MPoissonDeviate(mean);
      sum += v;
      squares += v * v;
    }
    const double m = sum / n;
    const double variance = squares / n - m * m;
    EXPECT_NEAR(m, mean, 5.0 * std::sqrt(mean / n) + 0.01) << mean;
    EXPECT_NEAR(variance / mean, 1.0, 0.04) << mean;
  }
}

TEST(Random, PoissonEdgesAreDefined) {
  EXPECT_EQ(MPoissonDeviate(0.0), 0);
  EXPECT_EQ(MPoissonDeviate(-5.0), 0);
  EXPECT_EQ(MPoissonDeviate(std::numeric_limits<double>::quiet_NaN()), 0);
  EXPECT_EQ(MPoissonDeviate(1.0e12), INT_MAX);
  EXPECT_EQ(MPoissonDeviate(std::numeric_limits<double>::infinity()), INT_MAX);
  const double big = MPoissonDeviateReal(1.0e12);
  EXPECT_NEAR(big, 1.0e12, 1.0e7);
}

TEST(Random, PoissonNoiseOnAnImage) {
  RecordingSink sink;
  DataSet d;
  Flat(d, 10, 10, 0.0f);
  d.data[IIndex(d, 1, 1)] = 3.0e12f;
  d.data[IIndex(d, 2, 2)] = std::numeric_limits<float>::infinity();
  d.data[IIndex(d, 3, 3)] = std::numeric_limits<float>::quiet_NaN();
  d.data[IIndex(d, 4, 4)] = -8.0f;
  int status = kStatusGood;
  ASSERT_TRUE(MROIPoissonNoise(d, status));
  EXPECT_EQ(d.data[IIndex(d, 0, 0)], 0.0f);
  EXPECT_EQ(d.data[IIndex(d, 4, 4)], 0.0f);
  EXPECT_NEAR(d.data[IIndex(d, 1, 1)], 3.0e12f, 3.0e7f);
  EXPECT_TRUE(std::isinf(d.data[IIndex(d, 2, 2)]));
  EXPECT_TRUE(std::isnan(d.data[IIndex(d, 3, 3)]));
  ASSERT_EQ(sink.boxes.size(), 1u);
  EXPECT_NE(sink.boxes[0].text.find("2 values"), std::string::npos);
}

}  // namespace
