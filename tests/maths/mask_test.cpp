// Mask operations: erosion and fill rules, circles, growth, inversion, thresholds, window
// statistics against direct sums, significance on a synthetic spot, polygons against the
// single-point test.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <utility>
#include <vector>

#include "core/status.h"
#include "maths/MMask.h"
#include "tests/support/TestSupport.h"

namespace {

using Pixels = std::vector<std::pair<int, int>>;

class MaskTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetCoreState(); }
  void TearDown() override { ResetCoreState(); }

  // A defined w x h image of zeros; `masked` pixels 255 and the mask defined when any.
  DataSet Image(int w, int h, const Pixels& masked = {}) {
    DataSet d;
    EXPECT_TRUE(IAllocateData(w, h, d, status));
    std::fill(d.data.get(), d.data.get() + IElementCount(d), 0.0f);
    d.numX = w;
    d.numY = h;
    d.endX = w - 1;
    d.endY = h - 1;
    d.dataDefined = kTrue;
    if (!masked.empty()) {
      EXPECT_TRUE(IAllocateMask(d, status));
      for (auto [x, y] : masked) d.mask[IIndex(d, x, y)] = 255;
      d.maskDefined = d.maskInUse = kTrue;
    }
    return d;
  }
  static Pixels Masked(const DataSet& d) {
    Pixels list;
    for (int y = 0; y < d.numY; ++y)
      for (int x = 0; x < d.numX; ++x)
        if (d.mask && d.mask[IIndex(d, x, y)]) list.emplace_back(x, y);
    return list;
  }
  int status = kStatusGood;
};

TEST_F(MaskTest, ErodeFillRules) {
  // The centre (when `centre`) and `around` of its neighbours are masked; the centre's new
  // state tells the rule: 3 x 3 compares strictly, 5 x 5 inclusively.
  struct Row {
    int size, erode, fill;
    bool centre;
    int around;
    bool expected;
  };
  const Row rows[] = {
      {3, 6, 9, true, 0, false},     // a lone pixel erodes away (k = 1 < 6)
      {3, 6, 9, false, 8, false},    // erosion never fills (k = 8 is not > 9)
      {3, 2, 5, false, 8, true},     // a hole ringed by 8 is filled
      {3, 2, 5, false, 5, false},    // k = 5 is not > 5
      {3, 2, 5, true, 1, true},      // k = 2 is not < 2
      {5, 6, 12, false, 12, true},   // k = 12 >= 12
      {5, 6, 12, false, 11, false},  // k = 11 is neither
      {5, 6, 12, true, 5, false},    // k = 6 <= 6
  };
  for (const Row& row : rows) {
    const int r = row.size / 2;
    Pixels window;
    for (int dy = -r; dy <= r; ++dy)
      for (int dx = -r; dx <= r; ++dx)
        if (dx || dy) window.emplace_back(4 + dx, 4 + dy);
    window.resize(static_cast<std::size_t>(row.around));
    if (row.centre) window.emplace_back(4, 4);
    DataSet d = Image(9, 9, window);
    ASSERT_TRUE(row.size == 3 ? MMask3ErodeFill(row.erode, row.fill, 1, d, status)
                              : MMask5ErodeFill(row.erode, row.fill, 1, d, status));
    EXPECT_EQ(d.mask[IIndex(d, 4, 4)] != 0, row.expected) << row.size << " " << row.around;
  }
  // A corner's 2 x 2 window halves the thresholds 2 and 5 to 1 and 2, inclusive.
  DataSet lone = Image(6, 6, {{0, 0}});
  DataSet pair = Image(6, 6, {{1, 0}, {0, 1}});
  ASSERT_TRUE(MMask3ErodeFill(2, 5, 1, lone, status) && MMask3ErodeFill(2, 5, 1, pair, status));
  EXPECT_EQ(lone.mask[0], 0);
  EXPECT_EQ(pair.mask[0], 255);
}

TEST_F(MaskTest, RefusalsLeaveTheMaskAlone) {
  DataSet d = Image(5, 5, {{2, 2}});
  d.maskDefined = kFalse;
  EXPECT_FALSE(MMask3ErodeFill(2, 5, 1, d, status) || MMask3Grow(1, d, status) ||
               MMaskInvert(d, status));
  EXPECT_EQ(status, kStatusGood);
  EXPECT_EQ(Masked(d), (Pixels{{2, 2}}));
  for (int code : {0, 1}) {
    status = kStatusGood;
    EXPECT_FALSE(code ? MMaskCircle(2, 2, 0, d, status) : MMask3ErodeFill(5, 5, 1, d, status));
    EXPECT_EQ(status, kStatusIntRange1);
  }
}

TEST_F(MaskTest, CirclesGrowthInversionAndThresholds) {
  DataSet one = Image(7, 7), three = Image(7, 7);
  ASSERT_TRUE(MMaskCircle(3, 3, 1, one, status) && MMaskCircle(3, 3, 3, three, status));
  EXPECT_EQ(Masked(one), (Pixels{{3, 3}}));
  const Pixels plus{{3, 2}, {2, 3}, {3, 3}, {4, 3}, {3, 4}};
  EXPECT_EQ(Masked(three), plus);

  DataSet middle = Image(7, 7, {{3, 3}}), edge = Image(7, 7, {{0, 3}});
  ASSERT_TRUE(MMask3Grow(1, middle, status) && MMask3Grow(1, edge, status));
  EXPECT_EQ(Masked(middle), plus);
  EXPECT_EQ(Masked(edge), (Pixels{{0, 2}, {0, 3}, {1, 3}, {0, 4}}));

  DataSet d = Image(4, 1, {{0, 0}});
  ASSERT_TRUE(MMaskInvert(d, status) && MMaskInvert(d, status));
  EXPECT_EQ(d.mask[0], 1);  // masked still, but not 255
  EXPECT_EQ(d.mask[1], 0);

  const float values[4] = {-1.0f, 0.0f, 5.0f, 9.0f};
  std::copy(values, values + 4, d.data.get());
  ASSERT_TRUE(MMaskThreshold(kFalse, 0.0f, kFalse, 0.0f, d, status));
  EXPECT_EQ(Masked(d), (Pixels{{0, 0}}));
  d.endX = 2;  // the last pixel is outside the region
  ASSERT_TRUE(MMaskThreshold(kTrue, 0.0f, kTrue, 5.0f, d, status));
  EXPECT_EQ(Masked(d), (Pixels{{0, 0}, {1, 0}, {2, 0}}));
}

TEST_F(MaskTest, WindowStatisticsEqualDirectSums) {
  std::mt19937 random(7);
  std::uniform_real_distribution<float> value(0.0f, 1000.0f);
  DataSet d = Image(37, 29, {{0, 0}});
  for (std::size_t i = 0; i < IElementCount(d); ++i) {
    d.data[i] = value(random);
    d.mask[i] = i % 7 == 0;
  }
  d.startX = 3, d.endX = 33, d.startY = 2, d.endY = 27;
  const int w = 31, h = 26;
  std::vector<float> means(w * h), sigmas(w * h);
  for (auto [ww, wh] : {std::pair{1, 1}, {4, 6}, {9, 5}, {31, 26}}) {
    ASSERT_TRUE(MWindowMeansSigmas(ww, wh, w, h, means.data(), sigmas.data(), d, status));
    const int w1 = static_cast<int>((ww - 0.5) * 0.5), h1 = static_cast<int>((wh - 0.5) * 0.5);
    for (int y = d.startY; y <= d.endY; y += 3) {
      for (int x = d.startX; x <= d.endX; x += 2) {
        double s = 0, q = 0, n = 0;
        for (int v = std::max(d.startY, y - h1); v <= std::min(d.endY, y + wh / 2); ++v)
          for (int u = std::max(d.startX, x - w1); u <= std::min(d.endX, x + ww / 2); ++u) {
            const double p = d.data[IIndex(d, u, v)];
            if (!d.mask[IIndex(d, u, v)]) s += p, q += p * p, ++n;
          }
        const double mean = n ? s / n : 0.0;
        const double sigma = n > 1 ? std::sqrt((q - n * mean * mean) / (n - 1)) : 0.0;
        const std::size_t i = (x - d.startX) + static_cast<std::size_t>(y - d.startY) * w;
        EXPECT_NEAR(means[i], mean, 1e-3) << ww << "x" << wh;
        EXPECT_NEAR(sigmas[i], sigma, 1e-2) << ww << "x" << wh;
      }
    }
  }
  // Width, height, output size, region narrower, region lower.
  const std::pair<std::vector<int>, int> refusals[] = {{{0, 3, w, h}, 21},
                                                       {{3, 0, w, h}, 22},
                                                       {{3, 3, w - 1, h}, 1},
                                                       {{32, 3, w, h}, 17},
                                                       {{3, 27, w, h}, 18}};
  for (const auto& [a, code] : refusals) {
    status = kStatusGood;
    EXPECT_FALSE(
        MWindowMeansSigmas(a[0], a[1], a[2], a[3], means.data(), sigmas.data(), d, status));
    EXPECT_EQ(status, code);
  }
}

TEST_F(MaskTest, SignificanceFindsASpotOnNoise) {
  std::mt19937 random(11);
  std::normal_distribution<float> noise(100.0f, 10.0f);
  DataSet d = Image(200, 200);
  for (int y = 0; y < 200; ++y)
    for (int x = 0; x < 200; ++x) {
      const float r2 = float((x - 100) * (x - 100) + (y - 80) * (y - 80));
      d.data[IIndex(d, x, y)] = noise(random) + 400.0f * std::exp(-r2 / 18.0f);
    }
  auto spotAndStray = [&](int cycles) {
    DataSet copy;
    EXPECT_TRUE(MDataCopy(d, copy, status));
    EXPECT_TRUE(MMaskSignificant(31, 31, 3.0f, cycles, copy, status));
    int spot = 0, stray = 0;
    for (auto [x, y] : Masked(copy))
      ++((x - 100) * (x - 100) + (y - 80) * (y - 80) <= 64 ? spot : stray);
    return std::pair{spot, stray};
  };
  const auto [spot1, stray1] = spotAndStray(1);
  const auto [spot3, stray3] = spotAndStray(3);
  EXPECT_GE(spot1, 9);  // the core of the spot
  // Later cycles leave the masked core out of the background: more of the wings go.
  EXPECT_GT(spot3, spot1 + 20);
  EXPECT_LT(stray1, 200);  // about the 0.1 % of noise above 3 sigma
  EXPECT_LT(stray3, 200);
  EXPECT_FALSE(MMaskSignificant(3, 3, 3.0f, 101, d, status));
  EXPECT_EQ(status, kStatusIntRange1);
}

TEST_F(MaskTest, PolygonCrossingRules) {
  // Square 1..3 x 4..8: the segment from (-5, 4) runs along its bottom edge on the way to
  // (6, 4), which is outside all the same.
  const float sx[] = {1, 3, 3, 1}, sy[] = {4, 4, 8, 8};
  EXPECT_FALSE(MInPolygon(-5, 4, 4, sx, sy, 6, 4));
  EXPECT_TRUE(MInPolygon(-5, 4, 4, sx, sy, 2, 4));  // on the edge
  EXPECT_TRUE(MInPolygon(-5, 4, 4, sx, sy, 2, 6));
  // Diamond: the segment passes through the vertex (1, 5) where the outline crosses it.
  const float dx[] = {5, 9, 5, 1}, dy[] = {1, 5, 9, 5};
  EXPECT_TRUE(MInPolygon(-5, 5, 4, dx, dy, 6, 5));
  EXPECT_FALSE(MInPolygon(-5, 5, 4, dx, dy, 9.5f, 5));
  // A notch whose apex (3, 5) the segment only touches from inside.
  const float nx[] = {1, 3, 5, 9, 9, 1}, ny[] = {2, 5, 2, 2, 9, 9};
  EXPECT_TRUE(MInPolygon(-5, 5, 6, nx, ny, 7, 5));
  EXPECT_FALSE(MInPolygon(-5, 5, 6, nx, ny, 3, 3));
}

TEST_F(MaskTest, PolygonMasksConcaveShapesAsThePointTest) {
  const float ux[] = {1, 9, 9, 6, 6, 4, 4, 1}, uy[] = {1, 1, 9, 9, 4, 4, 9, 9};
  DataSet u = Image(12, 12);
  ASSERT_TRUE(MMaskPolygon(kTrue, 500, 8, ux, uy, u, status));
  EXPECT_EQ(Masked(u).size(), 64u - 10u);  // the notch between the arms stays clear
  EXPECT_EQ(u.mask[IIndex(u, 4, 6)], 0);

  // Random polygons, self-crossing ones included: the row scan equals the point test.
  std::mt19937 random(3);
  std::uniform_real_distribution<float> coordinate(-5.0f, 45.0f);
  for (int trial = 0; trial < 20; ++trial) {
    const int n = 3 + trial % 9;
    std::vector<float> xs(n), ys(n);
    for (int i = 0; i < n; ++i) {
      // Every fourth polygon has grid vertices, which put pixel centres on its edges.
      xs[i] = trial % 4 ? coordinate(random) : std::round(coordinate(random)) + 0.5f;
      ys[i] = trial % 4 ? coordinate(random) : std::round(coordinate(random));
    }
    DataSet d = Image(40, 40);
    ASSERT_TRUE(MMaskPolygon(kTrue, 500, n, xs.data(), ys.data(), d, status));
    const auto [minX, maxX] = std::minmax_element(xs.begin(), xs.end());
    const auto [minY, maxY] = std::minmax_element(ys.begin(), ys.end());
    const float h = std::max(*maxX - *minX, *maxY - *minY);
    for (int y = 0; y < 40; ++y)
      for (int x = 0; x < 40; ++x)
        ASSERT_EQ(d.mask[IIndex(d, x, y)] != 0, MInPolygon(*minX - h, *minY - h, n, xs.data(),
                                                           ys.data(), x + 0.5f, y + 0.5f) != 0)
            << "trial " << trial << " pixel " << x << "," << y;
  }
}

TEST_F(MaskTest, PolygonLimitsAndGapFilling) {
  const float x2[] = {0, 9}, y2[] = {0, 9};
  DataSet d = Image(10, 10);
  ASSERT_TRUE(MMaskPolygon(kTrue, 500, 2, x2, y2, d, status));
  EXPECT_TRUE(Masked(d).empty());
  EXPECT_FALSE(MMaskPolygon(kTrue, 1, 2, x2, y2, d, status));
  EXPECT_EQ(status, kStatusIntRange1);

  // With a defined mask the bounding box is closed up: a hole ringed by masked pixels inside
  // the box is filled, one outside it is not.
  status = kStatusGood;
  Pixels rings;
  for (auto [cx, cy] : {std::pair{11, 15}, {3, 15}})
    for (int dy = -1; dy <= 1; ++dy)
      for (int dx = -1; dx <= 1; ++dx)
        if (dx || dy) rings.emplace_back(cx + dx, cy + dy);
  DataSet f = Image(20, 20, rings);
  const float tx[] = {10, 19, 19}, ty[] = {0, 0, 19};
  ASSERT_TRUE(MMaskPolygon(kTrue, 500, 3, tx, ty, f, status));
  EXPECT_EQ(f.mask[IIndex(f, 11, 15)], 255);
  EXPECT_EQ(f.mask[IIndex(f, 3, 15)], 0);
}

}  // namespace
