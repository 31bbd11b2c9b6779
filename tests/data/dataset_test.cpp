// The data-set record: initialisation, allocation, checks, copies and the stores.
#include <gtest/gtest.h>

#include <cmath>

#include "core/database.h"
#include "core/status.h"
#include "data/DataSet.h"
#include "data/DataStores.h"
#include "tests/support/TestSupport.h"

namespace {

class DataSetTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetCoreState(); }
  void TearDown() override { ResetCoreState(); }
  RecordingSink sink;
  int status = kStatusGood;

  // A defined numX x numY image holding x + 1000 y.
  void MakeImage(DataSet& d, int numX, int numY) {
    IInitialiseData(d, status);
    ASSERT_TRUE(IAllocateData(numX, numY, d, status));
    for (int y = 0; y < numY; ++y)
      for (int x = 0; x < numX; ++x) d.data[IIndex(d, x, y)] = static_cast<float>(x + 1000 * y);
    d.numX = numX;
    d.numY = numY;
    d.endX = numX - 1;
    d.endY = numY - 1;
    d.dataDefined = kTrue;
  }
};

TEST_F(DataSetTest, InitialisationTakesGeometryFromTheDataBase) {
  DataSet d;
  IInitialiseData(d, status);
  EXPECT_EQ(d.title, "Untitled");
  EXPECT_EQ(d.zLabel, "Intensity");
  EXPECT_FLOAT_EQ(d.pixelSizeX, 1.0e-4f);
  EXPECT_FLOAT_EQ(d.wavelength, 1.0e-10f);
  EXPECT_FLOAT_EQ(d.distance, 0.3f);
  EXPECT_FLOAT_EQ(d.polarisation, 1.0f);
  EXPECT_EQ(d.xAxisInPixels, kTrue);

  ISetDBRealItem("Pixel_SizeX", 172.0f, status);
  ISetDBRealItem("Wavelength", 0.4066f, status);
  ISetDBRealItem("Tilt_Angle", 90.0f, status);
  ISetDBRealItem("Beam_CentreY", 512.5f, status);
  IInitialiseData(d, status);
  EXPECT_FLOAT_EQ(d.pixelSizeX, 172.0e-6f);
  EXPECT_FLOAT_EQ(d.wavelength, 0.4066e-10f);
  EXPECT_NEAR(d.tiltAngle, M_PI / 2, 1e-6);
  EXPECT_FLOAT_EQ(d.beamCentreY, 512.5f);
}

TEST_F(DataSetTest, AllocationRefusesNonPositiveSizesAndKeepsTheOldArray) {
  DataSet d;
  MakeImage(d, 4, 3);
  const float* before = d.data.get();
  EXPECT_FALSE(IAllocateData(0, 10, d, status));
  EXPECT_EQ(status, 21);
  EXPECT_EQ(d.data.get(), before);
  EXPECT_TRUE(d.dataAllocated);
  IResetStatus(status);
  EXPECT_FALSE(IAllocateData(10, 0, d, status));
  EXPECT_EQ(status, 22);
}

TEST_F(DataSetTest, ImpossibleAllocationsFailWithTheBoxAndTrace) {
  IArray<float> array;
  EXPECT_FALSE(IAllocateMemory("MTest: SUMS", -5, array, status));
  EXPECT_EQ(status, 21);
  EXPECT_EQ(IErrorTraceText(), "IAllocateMemory: called by: MTest: SUMS");
  ASSERT_EQ(sink.boxes.size(), 1u);
  EXPECT_EQ(sink.boxes[0].text, "Error: IAllocateMemory: size_element = 4, num_elements = -5");
  EXPECT_EQ(sink.boxes[0].caption, "Message:");
  IResetStatus(status);

  // A byte count that overflows is refused the same way, never truncated.
  EXPECT_FALSE(IAllocateMemory("MTest: HUGE", INT64_MAX / 2, array, status));
  EXPECT_EQ(status, 21);
  EXPECT_EQ(array.get(), nullptr);
  IResetStatus(status);

  // More than the machine has (but a representable size): 1002.
  void* raw = nullptr;
  EXPECT_FALSE(IAllocateMemoryBytes("MTest: BIG", 1, INT64_MAX / 4, raw, status));
  EXPECT_EQ(status, kStatusMemory);
  EXPECT_EQ(sink.boxes.back().text,
            "Error: IAllocateMemory failed: size_element = 1, num_elements = 2305843009213693951");
}

// A large array given back is taken again by the next of its size (a series of frames lands
// in pages already mapped); another size gets its own, and only the latest few are kept.
TEST_F(DataSetTest, LargeArraysGivenBackServeTheNextOfTheirSize) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer sees every array freed";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  GTEST_SKIP() << "AddressSanitizer sees every array freed";
#endif
#endif
  const std::int64_t frame = 2463 * 2527;  // a Pilatus 6M frame of reals
  void* first = nullptr;
  {
    IArray<float> a;
    ASSERT_TRUE(IAllocateMemory("MTest: FRAME", frame, a, status));
    first = a.get();
    a[frame - 1] = 7.0f;
  }
  IArray<float> again;
  ASSERT_TRUE(IAllocateMemory("MTest: FRAME", frame, again, status));
  EXPECT_EQ(again.get(), first);
  again[frame - 1] = 8.0f;
  // Two arrays alive at once: the second is a new one; then three other sizes given back push
  // the first size out of the spares.
  IArray<float> other;
  ASSERT_TRUE(IAllocateMemory("MTest: FRAME", frame, other, status));
  EXPECT_NE(other.get(), again.get());
  again.reset();
  other.reset();
  for (const std::int64_t count : {frame + (1 << 20), frame + (2 << 20), frame + (3 << 20)}) {
    IArray<float> filler;
    ASSERT_TRUE(IAllocateMemory("MTest: OTHER", count, filler, status));
    filler[count - 1] = 1.0f;
  }
  EXPECT_EQ(status, kStatusGood);
}

TEST_F(DataSetTest, LargeArraysAreWholeWritableAndFreedLikeSmallOnes) {
  // 33 MiB and a bit (an odd byte count) takes the large-array path, 1 MiB the ordinary one.
  for (const std::int64_t count : {std::int64_t{33} * 1024 * 1024 + 3, std::int64_t{1} << 20}) {
    IArray<unsigned char> array;
    ASSERT_TRUE(IAllocateMemory("MTest: LARGE", count, array, status));
    ASSERT_NE(array.get(), nullptr);
    if (count >= (std::int64_t{32} << 20)) {
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(array.get()) % (std::uintptr_t{2} << 20), 0u);
    }
    array[0] = 1;
    array[static_cast<std::size_t>(count - 1)] = 2;
    EXPECT_EQ(array[0] + array[static_cast<std::size_t>(count - 1)], 3);
  }
  // A 4096 x 4096 image through IAllocateData, then replaced by a small one.
  DataSet d;
  ASSERT_TRUE(IAllocateData(4096, 4096, d, status));
  d.data[IElementCount(d) - 1] = 5.0f;
  EXPECT_EQ(d.data[IElementCount(d) - 1], 5.0f);
  ASSERT_TRUE(IAllocateData(3, 3, d, status));
  EXPECT_EQ(status, kStatusGood);
  EXPECT_TRUE(sink.boxes.empty());
}

TEST_F(DataSetTest, IndexArithmeticDoesNotWrap) {
  DataSet d;
  d.dimX = 50000;
  d.dimY = 50000;
  EXPECT_EQ(IIndex(d, 49999, 49999), 2499999999ull);
  EXPECT_EQ(IElementCount(d), 2500000000ull);
}

TEST_F(DataSetTest, MaskNeedsDataAndReallocationDropsAMaskOfOtherSize) {
  DataSet d;
  IInitialiseData(d, status);
  EXPECT_FALSE(IAllocateMask(d, status));
  EXPECT_EQ(sink.lines.back(), "ERROR: IAllocateMask; The data array has not been allocated");
  IResetStatus(status);
  EXPECT_FALSE(IAllocateVariances(d, status));
  EXPECT_EQ(status, kStatusGood);

  MakeImage(d, 5, 5);
  ASSERT_TRUE(IAllocateMask(d, status));
  EXPECT_EQ(d.mask[24], 0);
  d.maskDefined = d.maskInUse = kTrue;
  // Same size: the mask stays (a series of equal images keeps its mask).
  IAllocateData(5, 5, d, status);
  EXPECT_TRUE(d.maskAllocated);
  // Another size: the mask cannot describe the data any more.
  IAllocateData(6, 5, d, status);
  EXPECT_FALSE(d.maskAllocated);
  EXPECT_FALSE(d.maskInUse);
  EXPECT_EQ(d.mask.get(), nullptr);
}

TEST_F(DataSetTest, CheckDataReportsTheFirstFailureInOrder) {
  DataSet d;
  MakeImage(d, 10, 8);
  EXPECT_TRUE(ICheckData("LVTest: data", d, status));

  d.endX = 10;
  d.endY = 20;  // both regions wrong: X is reported
  EXPECT_FALSE(ICheckData("LVTest: data", d, status));
  EXPECT_EQ(status, 9);
  EXPECT_EQ(sink.lines.back(), "ERROR: LVTest: data Bad ROI for X: data.numX, start, end =  10 0 10");
  IResetStatus(status);

  d.endX = 9;
  EXPECT_FALSE(ICheckData("L", d, status));
  EXPECT_EQ(status, 10);
  EXPECT_EQ(sink.lines.back(), "ERROR: L Bad ROI for Y: data.numY, start, end =  8 0 20");
  IResetStatus(status);

  d.endY = 7;
  d.numY = 9;
  EXPECT_FALSE(ICheckData("L", d, status));
  EXPECT_EQ(status, 5);
  EXPECT_EQ(sink.lines.back(), "ERROR: L ICheckData: data->dimY = 8, data->numY = 9");
  IResetStatus(status);

  d.numY = 8;
  d.distance = 0.0f;
  const auto lines = sink.lines.size();
  EXPECT_FALSE(ICheckData("L", d, status));
  EXPECT_EQ(status, kStatusBadGeometry);
  EXPECT_EQ(sink.lines.size(), lines);  // no message of its own
  IResetStatus(status);

  // Undefined data passes whatever its region says.
  d.dataDefined = kFalse;
  d.endX = -5;
  EXPECT_TRUE(ICheckData("L", d, status));
  d.dimX = 0;
  EXPECT_FALSE(ICheckData("L", d, status));
  EXPECT_EQ(status, 1);
  EXPECT_EQ(sink.lines.back(), "ERROR: L ICheckData: Data allocated but data->dimX = 0");
}

TEST_F(DataSetTest, CopyCarriesMaskGeometryAndLabelsButNotName) {
  DataSet source, target;
  MakeImage(source, 6, 4);
  source.startX = 1;
  source.endY = 2;
  IAllocateMask(source, status);
  source.mask[IIndex(source, 3, 2)] = 1;
  source.maskDefined = kTrue;
  source.maskInUse = kTrue;
  source.title = "CeO2";
  source.beamCentreX = 3.5f;
  source.wavelength = 0.5e-10f;
  source.magnification = 0;
  source.reduction = 3;
  IInitialiseData(target, status);
  target.name = "Second Operand";

  ASSERT_TRUE(MDataCopy(source, target, status));
  EXPECT_EQ(target.name, "Second Operand");
  EXPECT_EQ(target.numX, 6);
  EXPECT_EQ(target.startX, 1);
  EXPECT_EQ(target.endY, 2);
  EXPECT_EQ(target.data[IIndex(target, 5, 3)], 3005.0f);
  ASSERT_TRUE(target.maskAllocated);
  EXPECT_TRUE(target.maskDefined);
  EXPECT_TRUE(target.maskInUse);
  EXPECT_EQ(target.mask[IIndex(target, 3, 2)], 1);
  EXPECT_EQ(target.mask[IIndex(target, 2, 2)], 0);
  EXPECT_EQ(target.title, "CeO2");
  EXPECT_FLOAT_EQ(target.beamCentreX, 3.5f);
  EXPECT_FLOAT_EQ(target.wavelength, 0.5e-10f);
  EXPECT_EQ(target.reduction, 3);
  EXPECT_FALSE(target.variancesAllocated);

  // An allocated but undefined mask gives the target a clear mask of the same size.
  source.maskDefined = kFalse;
  ASSERT_TRUE(MDataCopy(source, target, status));
  EXPECT_TRUE(target.maskAllocated);
  EXPECT_FALSE(target.maskDefined);
  EXPECT_EQ(target.mask[IIndex(target, 3, 2)], 0);

  // Onto itself: nothing happens.
  EXPECT_TRUE(MDataCopy(source, source, status));
  EXPECT_EQ(source.data[IIndex(source, 5, 3)], 3005.0f);
}

TEST_F(DataSetTest, CornerDistancesOfTheRegion) {
  DataSet d;
  MakeImage(d, 100, 50);
  d.beamCentreX = 0.0f;
  d.beamCentreY = 0.0f;
  d.pixelSizeX = d.pixelSizeY = 1.0e-4f;
  int minPixels = 0, maxPixels = 0;
  float minDistance = 0, maxDistance = 0;
  ASSERT_TRUE(ICalROICornerDistance(d, minPixels, maxPixels, minDistance, maxDistance, status));
  EXPECT_EQ(minPixels, 0);
  EXPECT_EQ(maxPixels, 112);  // hypot(100, 50) = 111.8
  EXPECT_FLOAT_EQ(maxDistance, static_cast<float>(std::hypot(100.0, 50.0) * 1e-4));
}

TEST_F(DataSetTest, StoresStartNamedWithTheStoredMagnification) {
  DataStores stores;
  ISetDBIntItem("Image_Display_Magnification", -3, status);
  ASSERT_TRUE(IInitialiseStores(stores, status));
  for (const auto& store : stores.stores) {
    EXPECT_EQ(store.magnification, 0);
    EXPECT_EQ(store.reduction, 3);
  }
  EXPECT_EQ(stores.stores[0].name, "Main Data Store");
  EXPECT_EQ(stores.stores[4].name, "Fitted Model");
  EXPECT_EQ(stores.stores[9].name, "Intermediate Results 5");
  EXPECT_EQ(stores.stores[19].name, "2-Theta Scan 10");
  EXPECT_EQ(stores.operandIndex, 1);
  EXPECT_EQ(stores.outputIndex, 2);
  EXPECT_EQ(stores.modelIndex, 4);

  // A hand-edited 0 would be a reduction by zero: the default applies instead.
  ISetDBIntItem("Image_Display_Magnification", 0, status);
  IInitialiseStores(stores, status);
  EXPECT_EQ(stores.stores[0].magnification, 1);
}

}  // namespace
