// The intensity range of a repaint through the commands: plain redraws keep the range found
// before; a command that changes the data, the mask or the main store, and a window that
// shows another part of the image, give a fresh one.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "app/LVCommand.h"
#include "core/database.h"
#include "core/status.h"
#include "graphics/GImage.h"
#include "platform/Headless.h"
#include "tests/support/AppFixture.h"
#include "tests/support/TestSupport.h"

namespace {

class RepaintRange : public HeadlessAppTest {
 protected:
  void SetUp() override {
    HeadlessAppTest::SetUp();
    headless->SetClientSize(408, 408);
    // The user's stored choice: the full range, which each repaint finds from the data.
    ISetDBIntItem("Intensity_Range_Method", 222, status);
    ISetDBRealItem("Intensity_Range_Minimum", 0.0f, status);
    ISetDBRealItem("Intensity_Range_Maximum", 1.0f, status);
    LVFirstPaint(status);
  }

  // A size x size unsigned 16-bit ADSC image of value (x + y) % 400, `peak` at (px, py).
  std::string Image(const std::string& name, int size, int px, int py, int peak) {
    std::string bytes = "{\nHEADER_BYTES=  512;\nDIM=2;\nBYTE_ORDER=little_endian;\n"
                        "TYPE=unsigned_short;\nSIZE1=" +
                        std::to_string(size) + ";\nSIZE2=" + std::to_string(size) + ";\n}\n";
    bytes.resize(512, ' ');
    std::vector<std::uint16_t> pixels(static_cast<std::size_t>(size) * size);
    for (int y = 0; y < size; ++y)
      for (int x = 0; x < size; ++x)
        pixels[static_cast<std::size_t>(y) * size + x] = static_cast<std::uint16_t>((x + y) % 400);
    pixels[static_cast<std::size_t>(py) * size + px] = static_cast<std::uint16_t>(peak);
    bytes.append(reinterpret_cast<const char*>(pixels.data()), pixels.size() * 2);
    WriteFile(dir.File(name), bytes);
    return dir.File(name);
  }
  bool Run(const std::string& name, int value = 0, const std::string& text = "") {
    CommandEvent event;
    event.value = value;
    event.text = text;
    return LVCommand(name, event, status) != kFalse;
  }
  // Repaints and returns the largest value of the range shown.
  float Repaint() {
    EXPECT_TRUE(Run("Plot_Data"));
    int method;
    float minimum, maximum;
    GGetIntensityScaling(method, minimum, maximum, status);
    return maximum;
  }

  ScratchDir dir;
};

TEST_F(RepaintRange, PlainRedrawsKeepItAndOtherCommandsRenewIt) {
  ASSERT_TRUE(Run("Open_File", 0, Image("a.img", 300, 20, 30, 500)));
  EXPECT_EQ(Repaint(), 500.0f);
  // A change no command made (nothing in the program does this) shows what is kept.
  DataSet& main = LVStores().Main();
  main.data[IIndex(main, 40, 40)] = 900.0f;
  EXPECT_EQ(Repaint(), 500.0f);
  EXPECT_TRUE(Run("LUT_Rotate", 1));  // colours only
  EXPECT_EQ(Repaint(), 500.0f);
  EXPECT_TRUE(Run("ROI_Full"));  // any other command may have changed the data
  EXPECT_EQ(Repaint(), 900.0f);
  EXPECT_EQ(status, kStatusGood);
}

TEST_F(RepaintRange, AnotherFileOfTheSameSizeGivesItsOwnRange) {
  const std::string a = Image("a.img", 300, 20, 30, 500);
  const std::string b = Image("b.img", 300, 21, 30, 700);
  ASSERT_TRUE(Run("Open_File", 0, a));
  EXPECT_EQ(Repaint(), 500.0f);
  ASSERT_TRUE(Run("Open_File", 0, b));
  EXPECT_EQ(Repaint(), 700.0f);
  ASSERT_TRUE(Run("Open_File", 0, a));
  EXPECT_EQ(Repaint(), 500.0f);
  EXPECT_EQ(status, kStatusGood);
}

TEST_F(RepaintRange, AMaskCommandGivesAFreshRange) {
  ASSERT_TRUE(Run("Open_File", 0, Image("a.img", 300, 20, 30, 500)));
  DataSet& main = LVStores().Main();
  ASSERT_TRUE(IAllocateMask(main, status));
  main.mask[IIndex(main, 20, 30)] = 1;
  main.maskDefined = kTrue;
  main.maskInUse = kTrue;
  EXPECT_EQ(Repaint(), 399.0f);  // the peak is masked
  EXPECT_EQ(Repaint(), 399.0f);
  ASSERT_TRUE(Run("Mask_Clear_ROI"));  // the same mask array, cleared in place
  EXPECT_EQ(Repaint(), 500.0f);
  EXPECT_EQ(status, kStatusGood);
}

TEST_F(RepaintRange, AnotherMainStoreGivesItsRange) {
  ASSERT_TRUE(Run("Open_File", 0, Image("a.img", 300, 20, 30, 500)));
  const int first = LVStores().mainIndex;
  const int second = (first + 1) % kNumStores;
  EXPECT_EQ(Repaint(), 500.0f);
  ASSERT_TRUE(Run("Set_Main_Dataset", second));
  ASSERT_EQ(LVStores().mainIndex, second);
  ASSERT_TRUE(Run("Open_File", 0, Image("b.img", 300, 20, 30, 700)));
  EXPECT_EQ(Repaint(), 700.0f);
  ASSERT_TRUE(Run("Set_Main_Dataset", first));
  EXPECT_EQ(Repaint(), 500.0f);
  ASSERT_TRUE(Run("Set_Main_Dataset", second));
  EXPECT_EQ(Repaint(), 700.0f);
  EXPECT_EQ(status, kStatusGood);
}

TEST_F(RepaintRange, AWindowShowingMoreGivesTheRangeOfWhatItShows) {
  headless->SetClientSize(208, 208);
  ASSERT_TRUE(Run("Open_File", 0, Image("a.img", 300, 250, 260, 900)));
  LVStores().Main().magnification = 1;  // every pixel, not the means of blocks
  EXPECT_LT(Repaint(), 900.0f);  // the peak lies outside the window
  headless->SetClientSize(408, 408);  // a resize repaints, nothing more
  EXPECT_EQ(Repaint(), 900.0f);
  EXPECT_EQ(status, kStatusGood);
}

}  // namespace
