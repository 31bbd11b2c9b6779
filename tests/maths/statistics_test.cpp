// Percentile ranges of a region: masked and non-finite elements left out, large regions
// sampled on a fixed grid.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "core/status.h"
#include "data/DataSet.h"
#include "maths/MStatistics.h"

namespace {

TEST(Statistics, PercentilesIgnoreHotPixelsMaskAndNonFiniteValues) {
  DataSet d;
  int status = kStatusGood;
  ASSERT_TRUE(IAllocateData(100, 100, d, status));
  IDefineWholeImage(d, 100, 100);
  for (int i = 0; i < 10000; ++i) d.data[static_cast<std::size_t>(i)] = static_cast<float>(i % 1000);
  d.data[5] = 1.0e7f;  // hot pixels
  d.data[6] = 2.0e7f;
  d.data[7] = std::numeric_limits<float>::quiet_NaN();
  float low = 0.0f, high = 0.0f;
  ASSERT_TRUE(MROIPercentiles(d, 0.5, 99.5, low, high, status));
  EXPECT_NEAR(low, 5.0f, 1.0f);
  EXPECT_NEAR(high, 995.0f, 1.0f);
  ASSERT_TRUE(MROIPercentiles(d, 0.0, 100.0, low, high, status));
  EXPECT_EQ(high, 2.0e7f);  // the extremes themselves; the NaN never counts

  // Masked hot pixels are left out; a fully masked region has no range.
  ASSERT_TRUE(IAllocateMask(d, status));
  d.mask[5] = d.mask[6] = 1;
  d.maskInUse = d.maskDefined = kTrue;
  ASSERT_TRUE(MROIPercentiles(d, 0.0, 100.0, low, high, status));
  EXPECT_EQ(high, 999.0f);
  d.startX = d.endX = 5;
  d.startY = d.endY = 0;
  EXPECT_FALSE(MROIPercentiles(d, 0.0, 100.0, low, high, status));
  EXPECT_EQ(status, kStatusGood);
  EXPECT_FALSE(MROIPercentiles(d, 60.0, 40.0, low, high, status));
  EXPECT_NE(status, kStatusGood);
}

TEST(Statistics, LargeRegionsAreSampled) {
  DataSet d;
  int status = kStatusGood;
  ASSERT_TRUE(IAllocateData(3000, 3000, d, status));
  IDefineWholeImage(d, 3000, 3000);
  for (int y = 0; y < 3000; ++y)
    for (int x = 0; x < 3000; ++x) d.data[IIndex(d, x, y)] = static_cast<float>(y);
  float low = 0.0f, high = 0.0f;
  ASSERT_TRUE(MROIPercentiles(d, 0.5, 99.5, low, high, status));
  EXPECT_NEAR(low, 15.0f, 3.0f);
  EXPECT_NEAR(high, 2985.0f, 3.0f);
}

}  // namespace
