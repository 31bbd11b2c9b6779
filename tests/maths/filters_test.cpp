// The filters and background models against brute-force computations written out here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "core/status.h"
#include "maths/MBackground.h"
#include "maths/MFilters.h"
#include "tests/support/TestSupport.h"

namespace {

// A w x h image of random values with the given region; allocated one larger each way.
void Random(DataSet& d, int w, int h, unsigned seed, int status = kStatusGood) {
  ASSERT_TRUE(IAllocateData(w + 1, h + 1, d, status));
  std::mt19937 g(seed);
  std::uniform_real_distribution<float> u(0.0f, 100.0f);
  for (std::size_t i = 0; i < IElementCount(d); ++i) d.data[i] = std::round(u(g));
  d.numX = w, d.numY = h, d.startX = d.startY = 0, d.endX = w - 1, d.endY = h - 1;
  d.dataDefined = kTrue;
}

void Output(const DataSet& d, DataSet& o, float fill = -7.0f) {
  int status = kStatusGood;
  ASSERT_TRUE(IAllocateData(d.dimX, d.dimY, o, status));
  std::fill(o.data.get(), o.data.get() + IElementCount(o), fill);
}

float At(const DataSet& d, int x, int y) { return d.data[IIndex(d, x, y)]; }

// Window limits clipped to the region inclusively.
void Limits(const DataSet& d, int x, int y, int w, int h, int& xa, int& xb, int& ya, int& yb) {
  xa = std::max(d.startX, x - (w - 1) / 2), xb = std::min(d.endX, x + w / 2);
  ya = std::max(d.startY, y - (h - 1) / 2), yb = std::min(d.endY, y + h / 2);
}

float BruteMedian(const DataSet& d, int x, int y, int w, int h) {
  int xa, xb, ya, yb;
  Limits(d, x, y, w, h, xa, xb, ya, yb);
  std::vector<float> v;
  for (int yy = ya; yy <= yb; ++yy)
    for (int xx = xa; xx <= xb; ++xx) v.push_back(At(d, xx, yy));
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  if (n < 2) return v[0];
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) * 0.5f;
}

TEST(MedianFilterTest, EqualsBruteForceIncludingLastColumnAndRow) {
  DataSet d, o;
  Random(d, 23, 21, 1);
  d.startX = 2, d.startY = 1, d.endX = 21, d.endY = 20;  // ends at the last row
  Output(d, o);
  for (auto [w, h] : {std::pair{1, 1}, {2, 1}, {3, 3}, {5, 5}, {4, 6}, {7, 2}, {3, 18}, {20, 20}}) {
    int status = kStatusGood;
    ASSERT_TRUE(MMedianFilter(d, w, h, o, status)) << w << "x" << h;
    for (int y = d.startY; y <= d.endY; ++y)
      for (int x = d.startX; x <= d.endX; ++x)
        ASSERT_EQ(At(o, x, y), BruteMedian(d, x, y, w, h)) << w << "x" << h << " at " << x << "," << y;
    EXPECT_EQ(At(o, 0, 0), -7.0f);  // outside the region: untouched
    EXPECT_EQ(At(o, 22, 5), -7.0f);
  }
}

TEST(MedianFilterTest, OneByOneKeepsEveryPixelAndTwoByOneAverages) {
  DataSet d, o;
  Random(d, 6, 5, 2);
  Output(d, o);
  int status = kStatusGood;
  ASSERT_TRUE(MMedianFilter(d, 1, 1, o, status));
  for (int y = 0; y < 5; ++y)
    for (int x = 0; x < 6; ++x) EXPECT_EQ(At(o, x, y), At(d, x, y));  // last column and row too
  DataSet s, so;
  ASSERT_TRUE(IAllocateData(2, 1, s, status));
  s.data[0] = 1.0f, s.data[1] = 3.0f;
  s.numX = 2, s.numY = 1, s.endX = 1, s.endY = 0, s.dataDefined = kTrue;
  Output(s, so);
  ASSERT_TRUE(MMedianFilter(s, 2, 1, so, status));
  EXPECT_EQ(so.data[0], 2.0f);
}

TEST(MedianFilterTest, BadWindowsChangeNothing) {
  DataSet d, o;
  Random(d, 8, 6, 3);
  d.endX = 4;  // region 5 wide
  Output(d, o);
  int status = kStatusGood;
  EXPECT_FALSE(MMedianFilter(d, 6, 3, o, status));
  EXPECT_EQ(status, kStatusGood);
  EXPECT_EQ(At(o, 1, 1), -7.0f);
  EXPECT_FALSE(MMedianFilter(d, 0, 3, o, status));
  EXPECT_EQ(status, kStatusIntRange1);
  status = kStatusGood;
  EXPECT_FALSE(MMedianFilter(d, 3, -2, o, status));
  EXPECT_EQ(status, kStatusIntRange2);
  status = kStatusGood;
  EXPECT_FALSE(MTopHatConvolution(d, 3, 7, kTrue, o, status));
  EXPECT_FALSE(MFilterRollingBall(d, 5.0f, 5.0f, 9, 3, o, status));
  EXPECT_EQ(At(o, 1, 1), -7.0f);
}

TEST(TopHatTest, EqualsBruteForceSumsAndMeans) {
  DataSet d, o;
  Random(d, 30, 17, 4);
  d.startX = 3, d.startY = 2, d.endX = 29, d.endY = 15;
  Output(d, o);
  for (int average : {kFalse, kTrue}) {
    for (auto [w, h] : {std::pair{1, 1}, {3, 3}, {4, 5}, {27, 1}, {9, 14}}) {
      int status = kStatusGood;
      ASSERT_TRUE(MTopHatConvolution(d, w, h, average, o, status));
      for (int y = d.startY; y <= d.endY; ++y) {
        for (int x = d.startX; x <= d.endX; ++x) {
          int xa, xb, ya, yb;
          Limits(d, x, y, w, h, xa, xb, ya, yb);
          double sum = 0.0;
          for (int yy = ya; yy <= yb; ++yy)
            for (int xx = xa; xx <= xb; ++xx) sum += At(d, xx, yy);
          if (average) sum /= (xb - xa + 1) * (yb - ya + 1);
          ASSERT_NEAR(At(o, x, y), sum, 1e-4 * std::max(1.0, std::fabs(sum)));
        }
      }
    }
  }
}

TEST(TopHatTest, ConstantStaysConstantAtTheEdges) {
  DataSet d, o;
  Random(d, 9, 7, 5);
  std::fill(d.data.get(), d.data.get() + IElementCount(d), 4.5f);
  Output(d, o);
  int status = kStatusGood;
  ASSERT_TRUE(MTopHatConvolution(d, 3, 3, kTrue, o, status));
  for (int y = 0; y < 7; ++y)
    for (int x = 0; x < 9; ++x) EXPECT_FLOAT_EQ(At(o, x, y), 4.5f);
}

TEST(SobelTest, ConstantGivesZeroAndGradientsMatch) {
  DataSet d, o;
  Random(d, 10, 8, 6);
  Output(d, o);
  int status = kStatusGood;
  ASSERT_TRUE(MFilterSobel(d, o, status));
  for (int y = 0; y < 8; ++y) {
    for (int x = 0; x < 10; ++x) {
      if (x == 0 || y == 0 || x == 9 || y == 7) {
        EXPECT_EQ(At(o, x, y), 0.0f);
        continue;
      }
      auto v = [&](int dx, int dy) { return static_cast<double>(At(d, x + dx, y + dy)); };
      const double gx = v(1, -1) + 2 * v(1, 0) + v(1, 1) - v(-1, -1) - 2 * v(-1, 0) - v(-1, 1);
      const double gy = v(-1, 1) + 2 * v(0, 1) + v(1, 1) - v(-1, -1) - 2 * v(0, -1) - v(1, -1);
      EXPECT_NEAR(At(o, x, y), std::sqrt(gx * gx + gy * gy), 1e-3);
    }
  }
  std::fill(d.data.get(), d.data.get() + IElementCount(d), 3.0f);
  ASSERT_TRUE(MFilterSobel(d, o, status));
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 10; ++x) EXPECT_EQ(At(o, x, y), 0.0f);
}

// C of the rolling ball at (x, y) and whether any cell counted.
bool BruteBall(const DataSet& d, float dx, float dy, int w, int h, int x, int y, float& c) {
  bool any = false;
  c = 0.0f;
  for (int i = 0; i < h; ++i) {
    for (int j = 0; j < w; ++j) {
      const double u = (j + 0.5 - w / 2.0) / (dx / 2.0), v = (i + 0.5 - h / 2.0) / (dy / 2.0);
      if (u * u + v * v >= 1.0) continue;
      const auto weight = static_cast<float>(std::sqrt(1.0 - u * u - v * v));
      if (!(weight > 0.15f)) continue;
      const int xx = x - (w - 1) / 2 + j, yy = y - (h - 1) / 2 + i;
      if (xx < d.startX || xx > d.endX || yy < d.startY || yy > d.endY) continue;
      if (d.maskInUse && d.mask[IIndex(d, xx, yy)]) continue;
      const float q = At(d, xx, yy) / weight;
      if (!any || q < c) c = q;
      any = true;
    }
  }
  return any;
}

TEST(RollingBallTest, EqualsBruteForceWithAndWithoutMask) {
  DataSet d, o;
  Random(d, 25, 19, 7);
  d.startX = 1, d.startY = 2, d.endX = 24, d.endY = 18;
  Output(d, o);
  int status = kStatusGood;
  for (int masked : {0, 1}) {
    if (masked) {
      ASSERT_TRUE(IAllocateMask(d, status));
      std::mt19937 g(9);
      for (std::size_t i = 0; i < IElementCount(d); ++i) d.mask[i] = g() % 3 == 0;
      d.maskInUse = kTrue;
    }
    for (auto [w, h] : {std::pair{5, 5}, {7, 4}, {1, 1}, {11, 9}}) {
      const float dx = 6.5f, dy = 8.0f;
      ASSERT_TRUE(MFilterRollingBall(d, dx, dy, w, h, o, status));
      for (int y = d.startY; y <= d.endY; ++y) {
        for (int x = d.startX; x <= d.endX; ++x) {
          float c = 0.0f;
          const float expected = BruteBall(d, dx, dy, w, h, x, y, c) ? At(d, x, y) - c : At(d, x, y);
          ASSERT_EQ(At(o, x, y), expected) << w << "x" << h << " at " << x << "," << y;
        }
      }
    }
  }
  EXPECT_FALSE(MFilterRollingBall(d, 0.5f, 5.0f, 3, 3, o, status));
  EXPECT_EQ(status, kStatusRealRange1);
}

TEST(RollingBallTest, FlatImageLeavesAboutZero) {
  DataSet d, o;
  Random(d, 40, 30, 8);
  std::fill(d.data.get(), d.data.get() + IElementCount(d), 50.0f);
  Output(d, o);
  int status = kStatusGood;
  ASSERT_TRUE(MFilterRollingBall(d, 21.0f, 21.0f, 11, 11, o, status));
  for (int y = 0; y < 30; ++y)
    for (int x = 0; x < 40; ++x) EXPECT_NEAR(At(o, x, y), 0.0f, 0.5f);
}

TEST(MaximumBalloonTest, FindsTheLargestBalloon) {
  DataSet d;
  Random(d, 21, 16, 10);
  int status = kStatusGood, column = 0, row = 0;
  float maximum = 0.0f;
  ASSERT_TRUE(MMaximumBalloon(d, 5.0f, 7.0f, 0.0f, 5, 7, column, row, maximum, status));
  float best = -3.4e38f;
  int bx = -1, by = -1;
  for (int y = 3; y <= 16 - 1 - 3; ++y) {  // whole 5 x 7 windows only
    for (int x = 2; x <= 21 - 1 - 2; ++x) {
      float c = 0.0f;
      if (BruteBall(d, 5.0f, 7.0f, 5, 7, x, y, c) && (bx < 0 || c > best)) best = c, bx = x, by = y;
    }
  }
  EXPECT_EQ(maximum, best);
  EXPECT_EQ(column, bx);
  EXPECT_EQ(row, by);
}

TEST(RemovePeaksTest, ReplacesAPeakByItsBaseLine) {
  DataSet d;
  int status = kStatusGood;
  ASSERT_TRUE(IAllocateData(40, 1, d, status));
  d.numX = 40, d.numY = 1, d.endX = 39, d.endY = 0, d.dataDefined = kTrue;
  for (int i = 0; i < 40; ++i) d.data[i] = 10.0f + (i % 2 ? 0.1f : -0.1f);
  const float peak[] = {20.0f, 40.0f, 60.0f, 40.0f, 20.0f};
  for (int k = 0; k < 5; ++k) d.data[15 + k] += peak[k];
  float rms = 0.0f;
  ASSERT_TRUE(MRemovePeaks(3.0f, d, rms, status));
  EXPECT_GT(rms, 0.0f);
  for (int i = 0; i < 40; ++i) EXPECT_LT(d.data[i], 10.5f) << i;
  // A scan too short for the noise estimate.
  d.endX = 1;
  EXPECT_FALSE(MRemovePeaks(3.0f, d, rms, status));
  DataSet image;
  Random(image, 5, 4, 11);
  EXPECT_FALSE(MRemovePeaks(3.0f, image, rms, status));
  EXPECT_EQ(status, kStatusNot1D);
}

TEST(PolynomialTest, OneDimensionalFitReproducesACubic) {
  std::vector<float> v(30);
  for (int k = 0; k < 30; ++k) {
    const double x = 0.5 + k;
    v[k] = static_cast<float>(2.0 - 0.3 * x + 0.02 * x * x - 0.0005 * x * x * x);
  }
  float lo = 0.0f, hi = 0.0f, rms = 0.0f, c[4];
  int status = kStatusGood;
  ASSERT_TRUE(MFitPolynomial1D(3, kFalse, 0.5f, 1.0f, 30, v.data(), nullptr, lo, hi, c, rms, status));
  EXPECT_EQ(lo, 0.5f);
  EXPECT_EQ(hi, 29.5f);
  std::vector<float> out(30, 0.0f);
  ASSERT_TRUE(MPolynomial1D(3, lo, hi, c, 0, 30, out.data(), status));
  for (int k = 0; k < 30; ++k) EXPECT_NEAR(out[k], v[k], 1e-4);
  EXPECT_FALSE(MFitPolynomial1D(3, kFalse, 0.5f, 1.0f, 3, v.data(), nullptr, lo, hi, c, rms, status));
  EXPECT_EQ(status, kStatusBadGeometry);
  status = kStatusGood;
  EXPECT_FALSE(MFitPolynomial1D(1, kFalse, 0.5f, 0.0f, 5, v.data(), nullptr, lo, hi, c, rms, status));
  EXPECT_EQ(status, kStatusRealRange1);
}

TEST(PolynomialTest, TwoDimensionalFitReproducesASurface) {
  DataSet d, m;
  Random(d, 24, 18, 12);
  d.startX = 2, d.startY = 1, d.endX = 21, d.endY = 16;
  auto f = [](double x, double y) { return 5.0 + 0.2 * x - 0.1 * y + 0.01 * x * y + 0.003 * y * y; };
  for (int y = 0; y < 18; ++y)
    for (int x = 0; x < 24; ++x) d.data[IIndex(d, x, y)] = static_cast<float>(f(x + 0.5, y + 0.5));
  Output(d, m, 0.0f);
  m.numX = d.numX, m.numY = d.numY, m.startX = d.startX, m.startY = d.startY, m.endX = d.endX, m.endY = d.endY;
  Polynomial2D p;
  int status = kStatusGood;
  ASSERT_TRUE(MFitPolynomial2D(2, 2, kFalse, kFalse, d, p, status));
  ASSERT_TRUE(MPolynomial2D(p, m, status));
  for (int y = d.startY; y <= d.endY; ++y)
    for (int x = d.startX; x <= d.endX; ++x) EXPECT_NEAR(At(m, x, y), At(d, x, y), 2e-3);
  EXPECT_EQ(At(m, 0, 0), 0.0f);

  // Rows with fewer unmasked pixels than X coefficients (two left, none) are left out and
  // counted in one line; the others still give the surface, and no trace is left behind.
  ResetCoreState();
  RecordingSink sink;
  ASSERT_TRUE(IAllocateMask(d, status));
  for (int x = d.startX; x <= d.endX; ++x) {
    d.mask[IIndex(d, x, 4)] = x >= d.startX + 2 ? 1 : 0;
    d.mask[IIndex(d, x, 9)] = 1;
    d.mask[IIndex(d, x, 12)] = x >= d.startX + 3 ? 1 : 0;  // three are enough
  }
  ASSERT_TRUE(MFitPolynomial2D(2, 2, kTrue, kFalse, d, p, status));
  std::fill(m.data.get(), m.data.get() + IElementCount(m), 0.0f);
  ASSERT_TRUE(MPolynomial2D(p, m, status));
  for (int y = d.startY; y <= d.endY; ++y)
    for (int x = d.startX; x <= d.endX; ++x) EXPECT_NEAR(At(m, x, y), At(d, x, y), 2e-3);
  EXPECT_EQ(sink.lines, std::vector<std::string>{"INFO: MFitPolynomial2D: 2 of the 16 rows have "
                                                 "fewer than 3 unmasked pixels: left out of the fit"});
  EXPECT_TRUE(IErrorTraceText().empty()) << IErrorTraceText();
  // No row left: a warning, nothing fitted, the status still good.
  std::fill(d.mask.get(), d.mask.get() + IElementCount(d), 1);
  EXPECT_FALSE(MFitPolynomial2D(2, 2, kTrue, kFalse, d, p, status));
  EXPECT_EQ(status, kStatusGood);
  EXPECT_EQ(sink.lines.back(), "WARNING: MFitPolynomial2D: No row of the region has 3 or more "
                               "unmasked pixels: nothing to fit");
}

TEST(EllipticalTest, PlaneAndConstantProfile) {
  DataSet m;
  int status = kStatusGood;
  ASSERT_TRUE(IAllocateData(20, 16, m, status));
  m.numX = 20, m.numY = 16, m.endX = 19, m.endY = 15, m.dataDefined = kTrue;
  m.beamCentreX = 10.0f, m.beamCentreY = 8.0f;
  const float c[3] = {6.0f, 0.0f, 0.0f};  // constant 3
  ASSERT_TRUE(MPlaneElliptical(1.0f, 0.5f, 0.25f, 0.3f, 0.8f, 2, 0.5f, 20.5f, c, m, status));
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 20; ++x) EXPECT_NEAR(At(m, x, y), 1.0f + 0.5f * x + 0.25f * y + 3.0f, 1e-4);
  EXPECT_FALSE(MPlaneElliptical(1.0f, 0.0f, 0.0f, 0.0f, 0.0f, 2, 0.5f, 20.5f, c, m, status));
  EXPECT_EQ(status, kStatusRealRange1);
}

TEST(EllipticalTest, ObjectiveHoldsItsParametersAndAddsTheTwinGaussian) {
  DataSet data, m;
  int status = kStatusGood;
  ASSERT_TRUE(IAllocateData(30, 30, m, status));
  m.numX = m.numY = 30, m.endX = m.endY = 29, m.dataDefined = kTrue;
  m.beamCentreX = m.beamCentreY = 15.0f;
  int order = 0;
  float minimum = 0.5f, maximum = 40.5f;
  ModelParameters p;
  p.Resize(6 + 5);
  // Plane 0, ellipticity 0 (held to 0.01), angle 7 (brought into -pi .. pi), no profile.
  const float values[] = {0.0f, 0.0f, 0.0f, 7.0f, 0.0f, 0.0f, 22.5f, 15.5f, 10.0f, 2.0f, 0.2f};
  for (int i = 0; i < 11; ++i) p.values[i] = values[i];
  p.clientWords = {&order, &minimum, &maximum, nullptr};
  ASSERT_TRUE(MObFunPlaneEllipse(data, p, m, status));
  EXPECT_EQ(status, kStatusGood);
  // The peak and its twin opposite the beam centre have the same height.
  EXPECT_GT(At(m, 22, 15), 5.0f);
  EXPECT_NEAR(At(m, 22, 15), At(m, 7, 14), 1e-3f);
  EXPECT_NEAR(At(m, 15, 2), 0.0f, 1e-3f);  // a quarter turn away
  m.dataAllocated = kFalse;
  EXPECT_FALSE(MObFunPlaneEllipse(data, p, m, status));
  EXPECT_EQ(status, kStatusNotAllocated);
}

TEST(RemovePeaksTest, APeakWithoutRoomForItsMirrorStays) {
  DataSet d;
  int status = kStatusGood;
  ASSERT_TRUE(IAllocateData(20, 1, d, status));
  d.numX = 20, d.numY = 1, d.endX = 19, d.endY = 0, d.dataDefined = kTrue;
  for (int i = 0; i < 20; ++i) d.data[i] = 10.0f + (i % 2 ? 0.1f : -0.1f);
  d.data[17] += 30.0f, d.data[18] += 60.0f;  // starts at 17, top 18: mirror point 20
  float rms = 0.0f;
  ASSERT_TRUE(MRemovePeaks(1.0f, d, rms, status));
  EXPECT_GT(d.data[17], 30.0f);
  EXPECT_GT(d.data[18], 60.0f);
}

}  // namespace
