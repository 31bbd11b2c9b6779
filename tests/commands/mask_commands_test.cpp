// The masking and save commands through the interpreter, with scripted answers.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "app/LVCommand.h"
#include "core/database.h"
#include "core/status.h"
#include "fileio/FInput.h"
#include "commands/LVMask.h"
#include "platform/Headless.h"
#include "tests/support/AppFixture.h"
#include "tests/support/TestSupport.h"
#include "ui/WInfo.h"
#include "ui/WMessageSink.h"

namespace {

class MaskCommandTest : public HeadlessAppTest {
 protected:
  void SetUp() override {
    HeadlessAppTest::SetUp();
    Run("Exit");  // the one-time initialisation
  }

  template <class... Answers>
  int Run(const std::string& name, int value = 0, const std::string& text = "",
          Answers... answers) {
    (headless->QueueAnswer(answers), ...);
    CommandEvent event;
    event.value = value;
    event.text = text;
    return LVCommand(name, event, status);
  }
  // The main store: a w x h image whose value is its column minus 1.
  DataSet& Main(int w, int h) {
    DataSet& d = LVStores().Main();
    EXPECT_TRUE(IAllocateData(w, h, d, status));
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) d.data[IIndex(d, x, y)] = static_cast<float>(x - 1);
    d.numX = w, d.numY = h, d.startX = d.startY = 0, d.endX = w - 1, d.endY = h - 1;
    d.dataDefined = kTrue;
    return d;
  }
  static int Masked(const DataSet& d) {
    return d.mask ? static_cast<int>(std::count_if(d.mask.get(), d.mask.get() + IElementCount(d),
                                                   [](unsigned char m) { return m != 0; }))
                  : 0;
  }

  ScratchDir dir;
};

TEST_F(MaskCommandTest, ThresholdSaveClearLoad) {
  DataSet& d = Main(8, 6);
  ASSERT_TRUE(Run("Mask_Threshold", 0, "", "yes", "0.5", "yes", "5"));
  EXPECT_EQ(Masked(d), 4 * 6);  // columns holding -1, 0, 5 and 6
  EXPECT_TRUE(d.maskDefined && d.maskInUse);
  EXPECT_TRUE(InfoHas("INFO: Data elements with values <= 0.500000 are masked"));
  EXPECT_TRUE(InfoHas("INFO: Data elements with values >= 5.000000 are masked"));
  EXPECT_TRUE(headless->MenuItemEnabled(302));
  float upper = 0.0f;
  IGetDBRealItem("Mask_Upper_Value", upper, status);
  EXPECT_EQ(upper, 5.0f);

  const std::string path = dir.File("gaps.msk");
  ASSERT_TRUE(Run("Mask_Save", 0, "", path));
  ASSERT_TRUE(Run("Mask_Clear"));
  EXPECT_TRUE(InfoHas("INFO: The mask has been cleared"));
  EXPECT_FALSE(d.maskDefined || d.maskInUse || Masked(d));
  EXPECT_FALSE(headless->MenuItemEnabled(302));
  ASSERT_TRUE(Run("Mask_Load", 0, "", path));
  EXPECT_EQ(Masked(d), 4 * 6);
  EXPECT_TRUE(d.maskDefined && d.maskInUse);
  std::string saved, loaded;
  IGetDBItem("Mask_File", saved, status);
  IGetDBItem("MASK_FILE", loaded, status);
  EXPECT_EQ(saved + loaded, path + path);

  ASSERT_TRUE(Run("Mask_Invert"));
  d.startY = 3;
  ASSERT_TRUE(Run("Mask_Clear_ROI"));
  EXPECT_TRUE(InfoHas("INFO: The mask has been cleared in the ROI"));
  EXPECT_EQ(Masked(d), 4 * 3);

  // Both tests off: the flags are set, nothing more is masked; a cancel changes nothing.
  Run("Mask_Clear");
  ASSERT_TRUE(Run("Mask_Threshold", 0, "", "no", "no"));
  EXPECT_TRUE(d.maskDefined && !Masked(d));
  EXPECT_FALSE(Run("Mask_Threshold", 0, "", "yes", "cancel"));
  EXPECT_EQ(Masked(d), 0);
}

TEST_F(MaskCommandTest, RefusalsAskNothing) {
  Main(8, 6);
  headless->QueueAnswer("2");  // a dialog would take it
  for (const char* name : {"Mask_Erode", "Mask_Grow", "Mask_Invert", "Mask_Save"}) {
    EXPECT_FALSE(Run(name)) << name;
  }
  EXPECT_FALSE(Run("Mask_Erode/Fill", 3));
  EXPECT_TRUE(InfoHas("WARNING: The mask is not defined, so the operation is impossible"));
  EXPECT_EQ(headless->PendingAnswers(), 1u);
  headless->ClearAnswers();
  EXPECT_FALSE(Run("Mask_Erode/Fill", 4));
  EXPECT_EQ(LVLastCommandStatus(), kStatusIntRange1);
  IResetStatus(status);
  LVStores().Main().dataDefined = kFalse;
  EXPECT_FALSE(Run("Mask_Load"));
  EXPECT_TRUE(InfoHas("WARNING: WARNING: The data is not defined, so the operation is impossible"));
}

TEST_F(MaskCommandTest, CyclesComeFromTheDataBase) {
  DataSet& d = Main(9, 9);
  const float x[] = {4.2f}, y[] = {4.9f};
  ASSERT_TRUE(LVMaskCirclesAt(1, 1, x, y, d, status));
  EXPECT_TRUE(InfoHas("INFO: Masked with 1 diameter circle at (4, 4)"));
  ISetDBIntItem("Mask_Grow_Num_Cycles", 2, status);
  ASSERT_TRUE(Run("Mask_Grow", 0, "", "default"));
  EXPECT_EQ(Masked(d), 13);  // a diamond of radius 2
  EXPECT_TRUE(InfoHas("INFO: Main data mask grown by 2 layer(s)"));
  ASSERT_TRUE(Run("Mask_Erode", 0, "", "3"));
  EXPECT_EQ(Masked(d), 0);
  EXPECT_TRUE(InfoHas("INFO: Main data mask eroded by 3 cycle(s)"));
}

TEST_F(MaskCommandTest, SignificanceAndPolygon) {
  DataSet& d = Main(40, 40);
  for (std::size_t i = 0; i < IElementCount(d); ++i) d.data[i] = static_cast<float>(i % 7);
  d.data[IIndex(d, 20, 20)] = 500.0f;
  ASSERT_TRUE(Run("Mask_Significant", 0, "", "11", "11", "4", "2"));
  EXPECT_EQ(d.mask[IIndex(d, 20, 20)], 255);
  EXPECT_EQ(Masked(d), 1);
  EXPECT_TRUE(
      InfoHas("INFO: Masked data elements >= 4.000000 sigma above average in 11 by 11 window"));
  int window = 0;
  IGetDBIntItem("Mask_Significant_WindowY", window, status);
  EXPECT_EQ(window, 11);

  const float xs[] = {10, 30, 30, 10}, ys[] = {10, 10, 30, 30};
  EXPECT_FALSE(LVMaskPolygonPoints(kTrue, 2, xs, ys, d, status));
  ASSERT_TRUE(LVMaskPolygonPoints(kTrue, 4, xs, ys, d, status));
  EXPECT_EQ(Masked(d), 400);
  ASSERT_TRUE(LVMaskPolygonPoints(kFalse, 4, xs, ys, d, status));
  EXPECT_TRUE(InfoHas("INFO: Polygon region un-masked"));
  EXPECT_EQ(Masked(d), 0);
  EXPECT_TRUE(LVCommandRegistered("Mask_Polygon") && LVCommandRegistered("Mask_Circles"));
}

TEST_F(MaskCommandTest, SaveCommandsWriteChiplotAndBSL) {
  DataSet& d = Main(5, 1);
  ASSERT_TRUE(Run("Save_Chiplot", 0, "?", dir.File("picked")));
  EXPECT_TRUE(InfoHas("INFO: Data saved to file:") && InfoHas(dir.File("picked.chi")));
  DataSet back;
  ASSERT_TRUE(FInputImage(dir.File("picked.chi"), kFormatChiplot, 1, 1, kFalse, back, status));
  EXPECT_EQ(back.data[4], d.data[4]);

  ASSERT_TRUE(Run("Save_File", 0, dir.File("X00000.bsl")));
  EXPECT_EQ(ReadFile(dir.File("X00001.bsl")).size(), 5 * sizeof(float));
  EXPECT_FALSE(Run("Save_File", 0, dir.File("X00001.bsl")));
  EXPECT_TRUE(InfoHas("NOTE: Failed to save data to file:"));
  EXPECT_FALSE(Run("Save_Chiplot", 0, ""));
  EXPECT_TRUE(InfoHas("ERROR: LVSaveChiplot; Save_Chiplot command, but no defined argument"));
  EXPECT_FALSE(Run("Save_File", 0, "?", "cancel"));
}

}  // namespace
