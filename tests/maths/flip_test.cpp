// Mirroring the region of interest: only the ROI moves, and mask and variances move with it.
#include <gtest/gtest.h>

#include "core/status.h"
#include "data/DataSet.h"
#include "maths/MDataFlip.h"
#include "maths/MMask.h"
#include "maths/MSimulate.h"
#include "tests/support/TestSupport.h"

namespace {

TEST(DataFlip, OnlyTheRegionMovesWithItsMaskAndVariances) {
  ResetCoreState();
  RecordingSink sink;
  for (bool topBottom : {true, false}) {
    int status = kStatusGood;
    DataSet d;
    ASSERT_TRUE(IAllocateData(4, 5, d, status));
    ASSERT_TRUE(IAllocateMask(d, status));
    ASSERT_TRUE(IAllocateVariances(d, status));
    for (int i = 0; i < 20; ++i) d.data[i] = d.variances[i] = d.mask[i] = static_cast<unsigned char>(i);
    d.numX = 4;
    d.numY = 5;
    d.startX = d.startY = 1;  // ROI (1, 1) to (2, 3)
    d.endX = 2;
    d.endY = 3;
    d.dataDefined = d.maskDefined = d.variancesDefined = kTrue;
    ASSERT_TRUE(topBottom ? MDataFlipTB(d, status) : MDataFlipLR(d, status));
    for (int y = 0; y < 5; ++y)
      for (int x = 0; x < 4; ++x) {
        const bool inside = x >= 1 && x <= 2 && y >= 1 && y <= 3;
        const int from = inside ? (topBottom ? x + 4 * (4 - y) : (3 - x) + 4 * y) : x + 4 * y;
        EXPECT_EQ(d.data[IIndex(d, x, y)], from) << x << "," << y;
        EXPECT_EQ(d.variances[IIndex(d, x, y)], from);
        EXPECT_EQ(d.mask[IIndex(d, x, y)], from);
      }
    d.endY = 7;  // past the defined rows: refused, nothing moves
    EXPECT_FALSE(MDataFlipTB(d, status));
    EXPECT_EQ(status, kStatusROI2);
  }
  ResetCoreState();
}

// A scan stored with falling abscissae has a negative X step where an image has its pixel
// size: routines that never use the detector geometry flip, mask and add noise to it.
TEST(DataFlip, ScansWithFallingAbscissaeFlipAndMask) {
  ResetCoreState();
  RecordingSink sink;
  int status = kStatusGood;
  DataSet d;
  ASSERT_TRUE(IAllocateData(5, 1, d, status));
  for (int i = 0; i < 5; ++i) d.data[i] = static_cast<float>(i + 1);
  d.numX = 5;
  d.numY = 1;
  d.startX = d.startY = d.endY = 0;
  d.endX = 4;
  d.dataDefined = kTrue;
  d.xAxisStart = 5.0f;
  d.pixelSizeX = -1.0f;
  ASSERT_TRUE(MDataFlipLR(d, status)) << status;
  EXPECT_EQ(d.data[0], 5.0f);
  EXPECT_EQ(d.data[4], 1.0f);
  ASSERT_TRUE(MMaskThreshold(kTrue, 2.5f, kFalse, 0.0f, d, status)) << status;
  ASSERT_NE(d.mask, nullptr);
  EXPECT_EQ(d.mask[2], 0);
  EXPECT_EQ(d.mask[3], 255);
  ASSERT_TRUE(MROISetMask(0, d, status)) << status;
  EXPECT_EQ(d.mask[3], 0);
  EXPECT_TRUE(MMaskCircle(0, 0, 3, d, status)) << status;
  EXPECT_TRUE(MROIPoissonNoise(d, status)) << status;
  EXPECT_EQ(status, kStatusGood);
  ResetCoreState();
}

}  // namespace
