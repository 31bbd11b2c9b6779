// Data manipulation and statistics: results against direct loops and, where numpy is at hand,
// against an independent computation by /usr/bin/python3.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/status.h"
#include "data/DataSet.h"
#include "maths/MConvert.h"
#include "maths/MManipulate.h"
#include "tests/support/TestSupport.h"

namespace {

constexpr float kHuge = 3.4028235e38f;

class Manipulate : public ::testing::Test {
 protected:
  void SetUp() override { ResetCoreState(); }
  void TearDown() override { ResetCoreState(); }

  // A w x h image in an array of dimX x dimY, value = f(x, y), region the whole data.
  template <class F>
  void Make(DataSet& d, int w, int h, F f, int dimX = 0, int dimY = 0) {
    ASSERT_TRUE(IAllocateData(dimX ? dimX : w, dimY ? dimY : h, d, status));
    std::fill(d.data.get(), d.data.get() + IElementCount(d), -777.0f);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) d.data[IIndex(d, x, y)] = static_cast<float>(f(x, y));
    d.numX = w;
    d.numY = h;
    d.startX = d.startY = 0;
    d.endX = w - 1;
    d.endY = h - 1;
    d.dataDefined = kTrue;
  }
  void Random(DataSet& d, int w, int h, unsigned seed) {
    std::mt19937 engine(seed);
    std::uniform_real_distribution<float> value(-50.0f, 150.0f);
    Make(d, w, h, [&](int, int) { return value(engine); });
  }

  RecordingSink sink;
  int status = kStatusGood;
};

bool HasPython() {
  return std::system("/usr/bin/python3 -c 'import numpy' > /dev/null 2>&1") == 0;
}

// Writes the defined data of `d` as float32 rows to in.bin, runs `body` (numpy as np, `a` the
// image of shape (numY, numX)) which must set `out`, and reads out.bin back as float32.
std::vector<float> Numpy(const DataSet& d, const std::string& body, const ScratchDir& dir,
                         const std::vector<unsigned char>* mask = nullptr) {
  {
    std::ofstream in(dir.File("in.bin"), std::ios::binary);
    for (int y = 0; y < d.numY; ++y)
      in.write(reinterpret_cast<const char*>(d.data.get() + IIndex(d, 0, y)),
               static_cast<std::streamsize>(sizeof(float)) * d.numX);
    if (mask) {
      std::ofstream m(dir.File("mask.bin"), std::ios::binary);
      m.write(reinterpret_cast<const char*>(mask->data()),
              static_cast<std::streamsize>(mask->size()));
    }
  }
  const std::string script =
      "import numpy as np\n"
      "a = np.fromfile('in.bin', dtype=np.float32).astype(np.float64).reshape(" +
      std::to_string(d.numY) + ", " + std::to_string(d.numX) + ")\n" +
      (mask ? "m = np.fromfile('mask.bin', dtype=np.uint8).reshape(a.shape) != 0\n" : "") + body +
      "\nnp.asarray(out, dtype=np.float32).tofile('out.bin')\n";
  WriteFile(dir.File("check.py"), script);
  const std::string command =
      "cd '" + dir.path().string() + "' && /usr/bin/python3 check.py > py.txt 2>&1";
  EXPECT_EQ(std::system(command.c_str()), 0) << ReadFile(dir.File("py.txt"));
  const std::string raw = ReadFile(dir.File("out.bin"));
  std::vector<float> out(raw.size() / sizeof(float));
  std::copy(raw.begin(), raw.end(), reinterpret_cast<char*>(out.data()));
  return out;
}

// ---- Constants and data-sets ----------------------------------------------------------------

TEST_F(Manipulate, ConstantsWorkOnTheRegionOnlyAndHoldOverflow) {
  DataSet d;
  Make(d, 4, 3, [](int x, int y) { return x + 10 * y; });
  d.startX = 1, d.endX = 2, d.startY = 1, d.endY = 1;
  ASSERT_TRUE(MConstantAdd(0.5f, d, status));
  ASSERT_TRUE(MConstantMultiply(-2.0f, d, status));
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 4; ++x) {
      const bool inside = y == 1 && x >= 1 && x <= 2;
      const float v = static_cast<float>(x + 10 * y);
      EXPECT_EQ(d.data[IIndex(d, x, y)], inside ? (v + 0.5f) * -2.0f : v);
    }
  ASSERT_TRUE(MROISetValue(7.0f, d, status));
  EXPECT_EQ(d.data[IIndex(d, 1, 1)], 7.0f);
  EXPECT_EQ(d.data[IIndex(d, 3, 1)], 13.0f);

  // Finite data never becomes infinite.
  d.data[IIndex(d, 1, 1)] = 3.0e38f;
  d.data[IIndex(d, 2, 1)] = -3.0e38f;
  ASSERT_TRUE(MConstantMultiply(10.0f, d, status));
  EXPECT_EQ(d.data[IIndex(d, 1, 1)], kHuge);
  EXPECT_EQ(d.data[IIndex(d, 2, 1)], -kHuge);
  ASSERT_TRUE(MConstantAdd(kHuge, d, status));
  EXPECT_EQ(d.data[IIndex(d, 1, 1)], kHuge);
  EXPECT_EQ(status, kStatusGood);

  // Undefined data: nothing to do, no failure.
  d.dataDefined = kFalse;
  EXPECT_FALSE(MConstantAdd(1.0f, d, status));
  EXPECT_EQ(status, kStatusGood);
}

TEST_F(Manipulate, DivisionByZeroGivesTheLargeValueAndMasks) {
  DataSet target, operand;
  const float t[] = {0.0f, 5.0f, -5.0f, 6.0f, 1.0e30f, -8.0f};
  const float o[] = {0.0f, 0.0f, 0.0f, 3.0f, 1.0e-30f, -0.0f};
  Make(target, 6, 1, [&](int x, int) { return t[x]; });
  Make(operand, 6, 1, [&](int x, int) { return o[x]; });
  std::int64_t zeros = -1;
  ASSERT_TRUE(MDatasetsDivide(operand, target, zeros, status));
  EXPECT_EQ(zeros, 4);
  EXPECT_EQ(target.data[0], 0.0f);
  EXPECT_EQ(target.data[1], kHuge);
  EXPECT_EQ(target.data[2], -kHuge);
  EXPECT_EQ(target.data[3], 2.0f);
  EXPECT_EQ(target.data[4], kHuge);  // 1e60 held at the float range's end
  EXPECT_EQ(target.data[5], -kHuge);
  for (int i = 0; i < 6; ++i) EXPECT_TRUE(std::isfinite(target.data[i])) << i;
  EXPECT_FALSE(target.maskAllocated);  // no mask in use: none is made

  // With a mask in use the zero divisors are masked as well.
  Make(target, 6, 1, [&](int x, int) { return t[x]; });
  ASSERT_TRUE(IAllocateMask(target, status));
  target.maskInUse = kTrue;
  ASSERT_TRUE(MDatasetsDivide(operand, target, status));
  const unsigned char expected[] = {1, 1, 1, 0, 0, 1};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(target.mask[i], expected[i]) << i;
  EXPECT_TRUE(target.maskDefined);
}

TEST_F(Manipulate, DataSetsPairElementsByPositionOverTheTargetRegion) {
  DataSet target, operand;
  Make(target, 5, 4, [](int x, int y) { return 100 + x + 10 * y; }, 7, 5);
  Make(operand, 6, 4, [](int x, int y) { return 1 + x * y; }, 9, 6);
  target.startX = 1, target.endX = 3, target.startY = 2, target.endY = 3;
  ASSERT_TRUE(MDatasetsAdd(operand, target, status));
  ASSERT_TRUE(MDatasetsMultiply(operand, target, status));
  ASSERT_TRUE(MDatasetsSubtract(operand, target, status));
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 5; ++x) {
      const float v = static_cast<float>(100 + x + 10 * y), p = static_cast<float>(1 + x * y);
      const bool inside = x >= 1 && x <= 3 && y >= 2;
      EXPECT_EQ(target.data[IIndex(target, x, y)], inside ? (v + p) * p - p : v) << x << y;
    }
  // An operand that does not hold the whole region is refused before anything is read.
  operand.numX = 3;
  EXPECT_FALSE(MDatasetsAdd(operand, target, status));
  EXPECT_EQ(status, kStatusROI1);
  IResetStatus(status);
  operand.numX = 6;
  operand.numY = 3;
  operand.endY = 2;
  EXPECT_FALSE(MDatasetsDivide(operand, target, status));
  EXPECT_EQ(status, kStatusROI2);
}

// ---- Crop and rebin -------------------------------------------------------------------------

TEST_F(Manipulate, CropKeepsMaskVariancesAndBeamCentreAligned) {
  DataSet d;
  Make(d, 6, 5, [](int x, int y) { return x + 10 * y; }, 8, 6);
  ASSERT_TRUE(IAllocateMask(d, status));
  ASSERT_TRUE(IAllocateVariances(d, status));
  for (int y = 0; y < 5; ++y)
    for (int x = 0; x < 6; ++x) {
      d.mask[IIndex(d, x, y)] = (x + y) % 2;
      d.variances[IIndex(d, x, y)] = static_cast<float>(1000 + x + 10 * y);
    }
  d.maskDefined = d.maskInUse = d.variancesDefined = kTrue;
  d.startX = 2, d.endX = 4, d.startY = 1, d.endY = 3;
  d.beamCentreX = 3.25f;
  d.beamCentreY = 2.5f;
  ASSERT_TRUE(MROICropData(d, status));
  EXPECT_EQ(d.dimX, 3);
  EXPECT_EQ(d.numX, 3);
  EXPECT_EQ(d.dimY, 3);
  EXPECT_EQ(d.numY, 3);
  EXPECT_EQ(d.startX + d.startY, 0);
  EXPECT_EQ(d.endX, 2);
  EXPECT_EQ(d.endY, 2);
  EXPECT_FLOAT_EQ(d.beamCentreX, 1.25f);  // the same detector position: 2 + 1.25
  EXPECT_FLOAT_EQ(d.beamCentreY, 1.5f);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 3; ++x) {
      const int ox = x + 2, oy = y + 1;
      EXPECT_EQ(d.data[IIndex(d, x, y)], ox + 10 * oy);
      EXPECT_EQ(d.mask[IIndex(d, x, y)], (ox + oy) % 2);
      EXPECT_EQ(d.variances[IIndex(d, x, y)], 1000 + ox + 10 * oy);
    }
}

TEST_F(Manipulate, RebinDropsTheRemainderAndLargeFactorsGiveOneElement) {
  DataSet d;
  Make(d, 5, 1, [](int x, int) { return x + 1; });
  ASSERT_TRUE(MRebin(2, 1, d, status));
  ASSERT_EQ(d.numX, 2);  // the fifth column is dropped
  EXPECT_EQ(d.dimX, 2);
  EXPECT_EQ(d.data[0], 1.5f);
  EXPECT_EQ(d.data[1], 3.5f);

  Make(d, 3, 2, [](int x, int y) { return x + 3 * y; });
  ASSERT_TRUE(MRebin(10, 7, d, status));
  ASSERT_EQ(d.numX * d.numY, 1);
  EXPECT_FLOAT_EQ(d.data[0], 2.5f);  // the mean of all six
  EXPECT_EQ(d.endX + d.endY + d.startX + d.startY, 0);

  EXPECT_FALSE(MRebin(0, 1, d, status));
  EXPECT_EQ(status, kStatusIntRange1);
  IResetStatus(status);
  EXPECT_FALSE(MRebin(1, -2, d, status));
  EXPECT_EQ(status, kStatusIntRange2);
}

TEST_F(Manipulate, RebinMovesRegionBeamAndPixelSizes) {
  DataSet d;
  Make(d, 9, 8, [](int x, int y) { return x * y; });
  d.startX = 4, d.endX = 5, d.startY = 1, d.endY = 7;
  d.beamCentreX = 4.5f;
  d.beamCentreY = 6.0f;
  d.pixelSizeX = d.pixelSizeY = 1.0e-4f;
  ASSERT_TRUE(MRebin(3, 2, d, status));
  EXPECT_EQ(d.numX, 3);
  EXPECT_EQ(d.numY, 4);
  EXPECT_EQ(d.startX, 1);  // 4 / 3
  EXPECT_EQ(d.endX, 1);    // 5 / 3
  EXPECT_EQ(d.startY, 0);
  EXPECT_EQ(d.endY, 3);
  EXPECT_FLOAT_EQ(d.beamCentreX, 1.5f);
  EXPECT_FLOAT_EQ(d.beamCentreY, 3.0f);
  EXPECT_FLOAT_EQ(d.pixelSizeX, 3.0e-4f);
  EXPECT_FLOAT_EQ(d.pixelSizeY, 2.0e-4f);
  // A start that would pass the shrunken end is kept at the end.
  Make(d, 5, 1, [](int x, int) { return x; });
  d.startX = 4;
  ASSERT_TRUE(MRebin(2, 1, d, status));
  EXPECT_LE(d.startX, d.endX);
  EXPECT_LT(d.endX, d.numX);
}

// A scan's abscissae stay with its elements; variances without content do not outlive the
// array they were made for.
TEST_F(Manipulate, ScanAbscissaeFollowCropAndRebin) {
  DataSet d;
  Make(d, 8, 1, [](int x, int) { return x; });
  d.xAxisInPixels = kFalse;
  d.xAxisStart = 10.0f;
  d.pixelSizeX = 0.5f;  // the scan's step
  ASSERT_TRUE(IAllocateVariances(d, status));
  d.startX = 2;
  ASSERT_TRUE(MROICropData(d, status));
  EXPECT_FLOAT_EQ(d.xAxisStart, 11.0f);  // element 0 was element 2
  ASSERT_TRUE(MRebin(2, 1, d, status));
  EXPECT_EQ(d.numX, 3);
  EXPECT_FLOAT_EQ(d.pixelSizeX, 1.0f);
  EXPECT_FLOAT_EQ(d.xAxisStart, 11.25f);  // the centre of 11 and 11.5
  EXPECT_FLOAT_EQ(d.data[0], 2.5f);
  EXPECT_FALSE(d.variancesAllocated);
  EXPECT_EQ(d.variances, nullptr);
}

TEST_F(Manipulate, RebinMaskRules) {
  DataSet d;
  const float v[] = {1, 2, 3, 4, 5, 6, 7, 8};  // 4 x 2: blocks {1,2,5,6} and {3,4,7,8}
  for (bool two : {false, true}) {
    Make(d, 4, 2, [&](int x, int y) { return v[x + 4 * y]; });
    ASSERT_TRUE(IAllocateMask(d, status));
    ASSERT_TRUE(IAllocateVariances(d, status));
    for (int i = 0; i < 8; ++i) d.variances[i] = 4.0f;
    d.variancesDefined = kTrue;
    d.mask[0] = 1;                                        // one of the first block
    d.mask[2] = d.mask[3] = d.mask[6] = d.mask[7] = 1;  // all of the second
    d.maskDefined = d.maskInUse = kTrue;
    ASSERT_TRUE(two ? MRebin2(d, status) : MRebin(2, 2, d, status));
    ASSERT_EQ(d.numX, 2);
    ASSERT_EQ(d.numY, 1);
    EXPECT_FLOAT_EQ(d.data[0], (2 + 5 + 6) / 3.0f);
    EXPECT_FLOAT_EQ(d.data[1], two ? 5.5f : 0.0f);
    EXPECT_EQ(d.mask[0], 0);
    EXPECT_EQ(d.mask[1], 1);
    EXPECT_FLOAT_EQ(d.variances[0], 12.0f / 9.0f);  // three values of variance 4, averaged
  }
  // Without the mask in use every value counts.
  Make(d, 4, 2, [&](int x, int y) { return v[x + 4 * y]; });
  ASSERT_TRUE(MRebin2(d, status));
  EXPECT_FLOAT_EQ(d.data[0], 3.5f);
  EXPECT_FLOAT_EQ(d.data[1], 5.5f);
}

TEST_F(Manipulate, RebinAgreesWithNumpy) {
  if (!HasPython()) LV_REFERENCE_MISSING("numpy is not available");
  ScratchDir dir;
  DataSet d;
  Random(d, 37, 23, 7);
  std::vector<unsigned char> mask(37 * 23);
  std::mt19937 engine(3);
  for (auto& m : mask) m = (engine() % 4 == 0) ? 1 : 0;
  const std::vector<float> expected = Numpy(
      d,
      "nx, ny = 37 // 3, 23 // 4\n"
      "b = a[:ny*4, :nx*3].reshape(ny, 4, nx, 3)\n"
      "u = (~m[:ny*4, :nx*3]).reshape(ny, 4, nx, 3)\n"
      "n = u.sum(axis=(1, 3))\n"
      "s = (b * u).sum(axis=(1, 3))\n"
      "out = np.where(n > 0, s / np.maximum(n, 1), 0.0)\n",
      dir, &mask);
  ASSERT_TRUE(IAllocateMask(d, status));
  std::copy(mask.begin(), mask.end(), d.mask.get());
  d.maskDefined = d.maskInUse = kTrue;
  ASSERT_TRUE(MRebin(3, 4, d, status));
  ASSERT_EQ(expected.size(), static_cast<std::size_t>(d.numX * d.numY));
  for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_NEAR(d.data[i], expected[i], 1e-4) << i;
}

TEST_F(Manipulate, ROIRebinWritesIntoTheResultOrWarns) {
  DataSet d, result;
  Make(d, 6, 4, [](int x, int y) { return x + 10 * y; });
  d.startX = 1, d.endX = 5, d.startY = 1, d.endY = 3;  // 5 x 3: blocks of 2 x 2 -> 2 x 1
  Make(result, 4, 3, [](int, int) { return -1; });
  ASSERT_TRUE(MROIRebin(2, 2, d, 1, 2, result, status));
  EXPECT_FLOAT_EQ(result.data[IIndex(result, 1, 2)], (1 + 2 + 11 + 12) / 4.0f + 10.0f);
  EXPECT_FLOAT_EQ(result.data[IIndex(result, 2, 2)], (3 + 4 + 13 + 14) / 4.0f + 10.0f);
  EXPECT_EQ(result.data[IIndex(result, 3, 2)], -1.0f);
  EXPECT_EQ(result.data[IIndex(result, 1, 1)], -1.0f);

  EXPECT_FALSE(MROIRebin(2, 2, d, 3, 0, result, status));
  ASSERT_FALSE(sink.lines.empty());
  EXPECT_EQ(sink.lines.back(),
            "WARNING: MROIRebin: X-overwrite problem: startX = 3, numX = 2, result->dimX = 4");
  EXPECT_FALSE(MROIRebin(2, 1, d, 0, 1, result, status));
  EXPECT_EQ(sink.lines.back(),
            "WARNING: MROIRebin: Y-overwrite problem: startY = 1, numY = 3, result->dimY = 3");
  EXPECT_EQ(status, kStatusGood);
}

// ---- Transpose ------------------------------------------------------------------------------

TEST_F(Manipulate, TransposeSwapsDataGeometryAndLabels) {
  DataSet s, t;
  Make(s, 5, 3, [](int x, int y) { return x + 10 * y; }, 6, 4);
  ASSERT_TRUE(IAllocateMask(s, status));
  s.mask[IIndex(s, 4, 1)] = 1;
  s.maskDefined = s.maskInUse = kTrue;
  s.startX = 1, s.endX = 4, s.startY = 0, s.endY = 2;
  s.pixelSizeX = 1.0e-4f;
  s.pixelSizeY = 2.0e-4f;
  s.beamCentreX = 3.5f;
  s.beamCentreY = 1.25f;
  s.xLabel = "columns";
  s.yLabel = "rows";
  s.title = "tilted";
  s.displayStartX = 2;
  ASSERT_TRUE(MDataTranspose(s, t, status));
  EXPECT_EQ(t.dimX, 4);
  EXPECT_EQ(t.dimY, 6);
  EXPECT_EQ(t.numX, 3);
  EXPECT_EQ(t.numY, 5);
  EXPECT_EQ(t.startX, 0);
  EXPECT_EQ(t.endX, 2);
  EXPECT_EQ(t.startY, 1);
  EXPECT_EQ(t.endY, 4);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 5; ++x) EXPECT_EQ(t.data[IIndex(t, y, x)], x + 10 * y);
  EXPECT_EQ(t.mask[IIndex(t, 1, 4)], 1);
  EXPECT_TRUE(t.maskInUse);
  EXPECT_FLOAT_EQ(t.pixelSizeX, 2.0e-4f);
  EXPECT_FLOAT_EQ(t.pixelSizeY, 1.0e-4f);
  EXPECT_FLOAT_EQ(t.beamCentreX, 1.25f);
  EXPECT_FLOAT_EQ(t.beamCentreY, 3.5f);
  EXPECT_EQ(t.xLabel, "rows");
  EXPECT_EQ(t.yLabel, "columns");
  EXPECT_EQ(t.title, "tilted");
  EXPECT_EQ(t.displayStartY, 2);

  // Twice gives the original back, also in place.
  ASSERT_TRUE(MDataTranspose(t, t, status));
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 5; ++x) EXPECT_EQ(t.data[IIndex(t, x, y)], x + 10 * y);
  EXPECT_FLOAT_EQ(t.beamCentreX, 3.5f);
}

// ---- Statistics -----------------------------------------------------------------------------

TEST_F(Manipulate, MeanSigmaUsesEverySecondColumnOrTheUnmaskedElements) {
  DataSet d;
  Make(d, 6, 4, [](int x, int y) { return x * x + y; });
  float mean = 0, sigma = 0;
  // One column wide: only that column.
  d.startX = d.endX = 3;
  ASSERT_TRUE(MROIMeanSigma(d, mean, sigma, status));
  EXPECT_FLOAT_EQ(mean, 10.5f);                      // 9, 10, 11, 12
  EXPECT_FLOAT_EQ(sigma, std::sqrt(5.0f / 3.0f));  // sample deviation
  // A single element: too few, no failure.
  d.startY = d.endY = 2;
  EXPECT_FALSE(MROIMeanSigma(d, mean, sigma, status));
  EXPECT_EQ(status, kStatusGood);
  // The whole image without a mask: columns 0, 2, 4.
  d.startX = d.startY = 0, d.endX = 5, d.endY = 3;
  ASSERT_TRUE(MROIMeanSigma(d, mean, sigma, status));
  EXPECT_FLOAT_EQ(mean, (0 + 4 + 16) / 3.0f + 1.5f);
  // With the mask in use: every unmasked element, the odd columns too.
  ASSERT_TRUE(IAllocateMask(d, status));
  d.maskInUse = d.maskDefined = kTrue;
  for (int y = 0; y < 4; ++y) d.mask[IIndex(d, 0, y)] = d.mask[IIndex(d, 2, y)] = 1;
  ASSERT_TRUE(MROIMeanSigma(d, mean, sigma, status));
  EXPECT_FLOAT_EQ(mean, (1 + 9 + 16 + 25) / 4.0f + 1.5f);
  // Constant data: sigma 0, never NaN.
  Make(d, 5, 5, [](int, int) { return 0.1; });
  ASSERT_TRUE(MROIMeanSigma(d, mean, sigma, status));
  EXPECT_EQ(sigma, 0.0f);
}

TEST_F(Manipulate, MeanSigmaAgreesWithNumpy) {
  if (!HasPython()) LV_REFERENCE_MISSING("numpy is not available");
  ScratchDir dir;
  DataSet d;
  Random(d, 41, 17, 11);
  const std::vector<float> expected =
      Numpy(d, "r = a[2:15, 3:40:2]\nout = [r.mean(), r.std(ddof=1)]\n", dir);
  d.startX = 3, d.endX = 39, d.startY = 2, d.endY = 14;
  float mean = 0, sigma = 0;
  ASSERT_TRUE(MROIMeanSigma(d, mean, sigma, status));
  ASSERT_EQ(expected.size(), 2u);
  EXPECT_NEAR(mean, expected[0], 1e-4);
  EXPECT_NEAR(sigma, expected[1], 1e-4);
}

TEST_F(Manipulate, VectorMinMaxAndSort) {
  const float v[] = {3, -1, 7, 2};
  float lo = 0, hi = 0;
  ASSERT_TRUE(MVectorMinMax(4, 3, v, lo, hi, status));
  EXPECT_EQ(lo, -1.0f);
  EXPECT_EQ(hi, 7.0f);
  EXPECT_FALSE(MVectorMinMax(4, 5, v, lo, hi, status));
  EXPECT_EQ(status, kStatusIntRange1);
  IResetStatus(status);
  EXPECT_FALSE(MVectorMinMax(4, 0, v, lo, hi, status));
  EXPECT_EQ(status, kStatusIntRange1);
  IResetStatus(status);

  std::mt19937 engine(5);
  for (int n : {0, 1, 2, 3, 7, 16, 33, 1000}) {
    std::vector<float> values(static_cast<std::size_t>(n) + 3), work(values.size());
    for (auto& x : values) x = static_cast<float>(engine() % 50) - 20.0f;
    std::vector<float> expected = values;
    std::sort(expected.begin(), expected.begin() + n);
    ASSERT_TRUE(MVectorSort(static_cast<int>(values.size()), n, values.data(), work.data(), status));
    EXPECT_EQ(values, expected) << n;  // the values past n untouched
  }
}

// ---- Added shapes ---------------------------------------------------------------------------

TEST_F(Manipulate, CircularFunctionInterpolatesTheProfile) {
  DataSet d, profile;
  Make(d, 5, 1, [](int, int) { return 1; });
  d.beamCentreX = 0.5f;  // pixel 0's centre
  d.beamCentreY = 0.5f;
  d.pixelSizeX = d.pixelSizeY = 1.0e-4f;
  Make(profile, 3, 1, [](int x, int) { return 10 * x; });  // 0, 10, 20
  profile.pixelSizeX = 2.0e-4f;                           // two pixels per step
  ASSERT_TRUE(MCircularFunction(profile, d, status));
  const float expected[] = {1, 6, 11, 16, 21};  // t = x / 2; beyond the end the last value
  for (int x = 0; x < 5; ++x) EXPECT_NEAR(d.data[x], expected[x], 1e-4) << x;
  profile.pixelSizeX = 0.0f;
  EXPECT_FALSE(MCircularFunction(profile, d, status));
  EXPECT_EQ(status, kStatusRealRange1);
}

TEST_F(Manipulate, PlaneAndEllipse) {
  DataSet d;
  Make(d, 4, 3, [](int, int) { return 0; });
  d.startX = 1;
  ASSERT_TRUE(MROIAddPlane(1.0f, 2.0f, 3.0f, d, status));
  EXPECT_EQ(d.data[IIndex(d, 0, 2)], 0.0f);
  EXPECT_EQ(d.data[IIndex(d, 3, 2)], 1.0f + 6.0f + 6.0f);

  Make(d, 5, 5, [](int, int) { return 0; });
  ASSERT_TRUE(MROIAddEllipse(2.5f, 2.5f, 4.0f, 2.0f, 1.0f, 0.0f, d, status));
  EXPECT_FLOAT_EQ(d.data[IIndex(d, 2, 2)], 4.0f);
  EXPECT_FLOAT_EQ(d.data[IIndex(d, 3, 2)], 4.0f * std::sqrt(0.75f));
  EXPECT_EQ(d.data[IIndex(d, 2, 3)], 0.0f);  // r = 1: outside
  EXPECT_FALSE(MROIAddEllipse(2.5f, 2.5f, 4.0f, 2.0f, 1.0f, 0.3f, d, status));
  EXPECT_EQ(status, kStatusGood);
  EXPECT_EQ(sink.lines.back(), "WARNING: MROIAddEllipse: Angle non-zero is not implemented yet");
}

// ---- Array helpers --------------------------------------------------------------------------

TEST_F(Manipulate, MatrixMovesCheckTheirRectangles) {
  std::vector<float> source(6 * 4);
  for (int i = 0; i < 24; ++i) source[static_cast<std::size_t>(i)] = static_cast<float>(i);
  std::vector<float> target(5 * 5, -1.0f);
  ASSERT_TRUE(MMatrixROIMove(6, 4, source.data(), 2, 1, 4, 2, 5, 5, 1, 3, target.data(), status));
  EXPECT_EQ(target[1 + 3 * 5], 8.0f);   // (2, 1)
  EXPECT_EQ(target[3 + 4 * 5], 16.0f);  // (4, 2)
  EXPECT_EQ(target[0 + 3 * 5], -1.0f);

  struct Case {
    int sDimX, sDimY, x0, y0, x1, y1, tX, tY, code;
  };
  const Case cases[] = {
      {0, 4, 0, 0, 1, 1, 0, 0, 1},  {6, 0, 0, 0, 1, 1, 0, 0, 2},  {6, 4, 0, 0, 6, 1, 0, 0, 9},
      {6, 4, 3, 0, 2, 1, 0, 0, 9},  {6, 4, 0, 0, 1, 1, 5, 0, 9},  {6, 4, 0, 0, 1, 4, 0, 0, 10},
      {6, 4, 0, 0, 1, 1, 0, -1, 10}, {6, 4, 0, 0, 5, 1, 0, 0, 41}, {6, 4, 0, 0, 1, 3, 0, 3, 42},
  };
  for (const Case& c : cases) {
    for (bool integer : {false, true}) {
      status = kStatusGood;
      std::vector<std::int32_t> ints(25);
      const int done =
          integer ? MMatrixR2IROIMove(c.sDimX, c.sDimY, source.data(), c.x0, c.y0, c.x1, c.y1, 5,
                                      5, c.tX, c.tY, ints.data(), status)
                  : MMatrixROIMove(c.sDimX, c.sDimY, source.data(), c.x0, c.y0, c.x1, c.y1, 5, 5,
                                   c.tX, c.tY, target.data(), status);
      EXPECT_FALSE(done);
      EXPECT_EQ(status, c.code) << c.code << (integer ? " integer" : " real");
    }
  }
  status = kStatusGood;
  EXPECT_FALSE(MMatrixROIMove(6, 4, source.data(), 0, 0, 1, 1, 5, 0, 0, 0, target.data(), status));
  EXPECT_EQ(status, 2);
}

TEST_F(Manipulate, RealToIntegerConversionIsGuarded) {
  const float values[] = {1.4f, 1.5f, -1.4f, -1.6f, 0.0f, 3.0e9f, -3.0e9f,
                          std::numeric_limits<float>::quiet_NaN(),
                          std::numeric_limits<float>::infinity(),
                          -std::numeric_limits<float>::infinity()};
  // Negative values round as their magnitudes (the -1 of a detector gap stays -1).
  const std::int32_t expected[] = {1, 1, -1, -2, 0, 2147483647, -2147483647 - 1, 0, 2147483647,
                                   -2147483647 - 1};
  std::vector<std::int32_t> out(10);
  ASSERT_TRUE(MMatrixR2IROIMove(10, 1, values, 0, 0, 9, 0, 10, 1, 0, 0, out.data(), status));
  for (int i = 0; i < 10; ++i) EXPECT_EQ(out[static_cast<std::size_t>(i)], expected[i]) << i;

  std::vector<float> reals(10);
  ASSERT_TRUE(MVectorI2RCopy(10, out.data(), reals.data(), status));
  EXPECT_EQ(reals[3], -2.0f);
  EXPECT_EQ(reals[5], 2147483648.0f);
  EXPECT_FALSE(MVectorI2RCopy(0, out.data(), reals.data(), status));
  EXPECT_EQ(status, kStatusIntRange1);
}

}  // namespace
