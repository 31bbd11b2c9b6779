// Mirroring the region of interest: only the ROI moves, and mask and variances move with it.
#include <gtest/gtest.h>

#include "core/status.h"
#include "data/DataSet.h"
#include "maths/MDataFlip.h"
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

}  // namespace
