// Dark and flat-field correction through the interpreter and the menus: values, sizes, the
// mask, zero divisors, loading the stores from files and the per-frame routine of file series.
#include <gtest/gtest.h>
#include <hdf5.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/LVCommand.h"
#include "app/LVMenus.h"
#include "commands/LVDarkFlat.h"
#include "core/status.h"
#include "platform/Headless.h"
#include "tests/support/AppFixture.h"
#include "tests/support/TestSupport.h"

namespace {

constexpr int kDark = 2, kFlat = 3;

class DarkFlatTest : public HeadlessAppTest {
 protected:
  void SetUp() override {
    HeadlessAppTest::SetUp();
    Run("Exit");  // the one-time initialisation
    LVChooseDarkFlat(false, false);
  }
  int Run(const std::string& name, const std::string& text = "") {
    CommandEvent event;
    event.text = text;
    return LVCommand(name, event, status);
  }
  DataSet& Store(int index) { return LVStores().stores[static_cast<std::size_t>(index)]; }
  // Store `index` holds a w x h image of value f(x, y).
  template <class F>
  DataSet& Image(DataSet& d, int w, int h, F f) {
    EXPECT_TRUE(IAllocateData(w, h, d, status));
    IDefineWholeImage(d, w, h);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) d.data[IIndex(d, x, y)] = f(x, y);
    return d;
  }
  static float Raw(int x, int y) { return static_cast<float>(100 + x + 10 * y); }
  static float DarkValue(int x, int y) { return static_cast<float>(x * y); }
  static float FlatValue(int x, int y) { return x == 2 && y == 1 ? 0.0f : 0.5f * (1 + x % 2); }
};

TEST_F(DarkFlatTest, MenuItemsAreServed) {
  const auto unavailable = LVUnavailableMenuIds();
  for (int id : {109, 110, 579, 580, 581}) {
    EXPECT_EQ(std::count(unavailable.begin(), unavailable.end(), id), 0) << id;
  }
}

TEST_F(DarkFlatTest, SubtractDarkAndDivideFlatKeepTheMaskAndMaskZeroDivisors) {
  DataSet& d = Image(Store(0), 4, 3, Raw);
  Image(Store(kDark), 4, 3, DarkValue);
  Image(Store(kFlat), 4, 3, FlatValue);
  // A mask defined but not in use: a zero divisor switches it on; its own pixel stays.
  ASSERT_TRUE(IAllocateMask(d, status));
  d.mask[IIndex(d, 0, 0)] = 1;
  d.maskDefined = kTrue;

  ASSERT_TRUE(Run("Subtract_Dark"));
  EXPECT_TRUE(InfoHas("INFO: Background Image (dark) subtracted from main data; chosen for file "
                      "series"));
  EXPECT_TRUE(LVDarkChosen());
  EXPECT_FALSE(LVFlatChosen());
  ASSERT_TRUE(Run("Divide_Flat"));
  EXPECT_TRUE(LVFlatChosen());
  EXPECT_TRUE(InfoHas("INFO: 1 pixel(s) of zero flat field masked (the mask is switched on)"));
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 4; ++x) {
      const float corrected = Raw(x, y) - DarkValue(x, y);
      const float expected = FlatValue(x, y) == 0.0f ? 3.4028235e38f : corrected / FlatValue(x, y);
      EXPECT_EQ(d.data[IIndex(d, x, y)], expected) << x << ", " << y;
    }
  EXPECT_TRUE(d.maskInUse && d.maskDefined);
  EXPECT_TRUE(d.mask[IIndex(d, 0, 0)]);
  EXPECT_TRUE(d.mask[IIndex(d, 2, 1)]);
  int masked = 0;
  for (std::size_t i = 0; i < IElementCount(d); ++i) masked += d.mask[i] != 0;
  EXPECT_EQ(masked, 2);
}

TEST_F(DarkFlatTest, SizesAreCheckedAndARefusalChangesNothing) {
  DataSet& d = Image(Store(0), 4, 3, Raw);
  Image(Store(kDark), 3, 4, DarkValue);
  EXPECT_FALSE(Run("Subtract_Dark"));
  EXPECT_TRUE(InfoHas("WARNING: Subtract_Dark: The Background Image (3 * 4 pixels) and the data "
                      "(4 * 3 pixels) differ in size"));
  EXPECT_FALSE(Run("Divide_Flat"));
  EXPECT_TRUE(InfoHas("WARNING: Divide_Flat: The Flat-Field Image store holds no data"));
  EXPECT_FALSE(LVDarkChosen() || LVFlatChosen());
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 4; ++x) EXPECT_EQ(d.data[IIndex(d, x, y)], Raw(x, y));
  EXPECT_FALSE(d.maskAllocated);
}

TEST_F(DarkFlatTest, SeriesFramesGetTheChosenCorrections) {
  Image(Store(kDark), 4, 3, DarkValue);
  Image(Store(kFlat), 4, 3, [](int, int) { return 2.0f; });
  DataSet frame;
  Image(frame, 4, 3, Raw);
  // Nothing chosen: the frame stays as read.
  ASSERT_TRUE(LVApplyDarkFlat(frame, status));
  EXPECT_EQ(frame.data[IIndex(frame, 3, 2)], Raw(3, 2));

  Image(Store(0), 4, 3, Raw);
  ASSERT_TRUE(Run("Subtract_Dark"));
  ASSERT_TRUE(Run("Divide_Flat"));
  for (int n = 0; n < 3; ++n) {
    Image(frame, 4, 3, Raw);
    ASSERT_TRUE(LVApplyDarkFlat(frame, status));
    for (int y = 0; y < 3; ++y)
      for (int x = 0; x < 4; ++x)
        ASSERT_EQ(frame.data[IIndex(frame, x, y)], (Raw(x, y) - DarkValue(x, y)) / 2.0f);
  }
  // A frame of another size is refused whole: neither correction touches it.
  DataSet other;
  Image(other, 5, 3, Raw);
  EXPECT_FALSE(LVApplyDarkFlat(other, status));
  EXPECT_EQ(other.data[IIndex(other, 1, 1)], Raw(1, 1));
  EXPECT_EQ(status, kStatusGood);

  ASSERT_TRUE(Run("Dark_Flat_Off"));
  Image(frame, 4, 3, Raw);
  ASSERT_TRUE(LVApplyDarkFlat(frame, status));
  EXPECT_EQ(frame.data[IIndex(frame, 3, 2)], Raw(3, 2));
}

TEST_F(DarkFlatTest, LoadDarkAndFlatReadFilesIntoTheirStores) {
  ScratchDir dir;
  const std::string name = dir.File("dark.h5");
  {
    const hid_t file = H5Fcreate(name.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT);
    const hsize_t dims[2] = {3, 4};
    const hid_t space = H5Screate_simple(2, dims, nullptr);
    const hid_t dataset = H5Dcreate2(file, "dark", H5T_IEEE_F32LE, space, H5P_DEFAULT,
                                     H5P_DEFAULT, H5P_DEFAULT);
    std::vector<float> values;
    for (int y = 0; y < 3; ++y)
      for (int x = 0; x < 4; ++x) values.push_back(DarkValue(x, y));
    H5Dwrite(dataset, H5T_NATIVE_FLOAT, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data());
    H5Dclose(dataset);
    H5Sclose(space);
    H5Fclose(file);
  }
  ASSERT_TRUE(Run("Load_Dark", name));
  ASSERT_TRUE(Run("Load_Flat", name));
  EXPECT_EQ(Store(kDark).numX, 4);
  EXPECT_EQ(Store(kDark).data[IIndex(Store(kDark), 3, 2)], DarkValue(3, 2));
  EXPECT_EQ(Store(kFlat).data[IIndex(Store(kFlat), 3, 2)], DarkValue(3, 2));
  EXPECT_EQ(Store(kDark).name, "Background Image");
  // The file dialog from the menu item: the headless answer names the file.
  headless->QueueAnswer(name);
  LVMenuCommand(109);
  EXPECT_EQ(Store(kDark).fileName, name);
  EXPECT_FALSE(Run("Load_Dark", dir.File("missing.h5")));
  EXPECT_EQ(Store(kDark).data[IIndex(Store(kDark), 3, 2)], DarkValue(3, 2));
}

}  // namespace
