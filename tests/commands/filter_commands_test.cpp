// The filter and background commands through the interpreter, with scripted answers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <string>

#include "app/LVCommand.h"
#include "app/LVMenus.h"
#include "core/database.h"
#include "core/status.h"
#include "platform/Headless.h"
#include "tests/support/AppFixture.h"
#include "ui/WInfo.h"

namespace {

class FilterCommandTest : public HeadlessAppTest {
 protected:
  void SetUp() override {
    HeadlessAppTest::SetUp();
    Run("Exit");  // the one-time initialisation
  }
  int Run(const std::string& name, int value = 0) {
    CommandEvent event;
    event.value = value;
    return LVCommand(name, event, status);
  }
  void Answer(std::initializer_list<const char*> answers) {
    for (const char* a : answers) headless->QueueAnswer(a);
  }
  DataSet& Store(int index) { return LVStores().stores[static_cast<std::size_t>(index)]; }
  DataSet& Image(int index, int w, int h) {
    DataSet& d = Store(index);
    EXPECT_TRUE(IAllocateData(w, h, d, status));
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        d.data[IIndex(d, x, y)] = static_cast<float>((x * 7 + y * 13) % 11);
    d.numX = w, d.numY = h, d.startX = d.startY = 0, d.endX = w - 1, d.endY = h - 1;
    d.dataDefined = kTrue;
    return d;
  }
  float At(int index, int x, int y) { return Store(index).data[IIndex(Store(index), x, y)]; }
};

TEST_F(FilterCommandTest, MenuItemsAreServed) {
  const auto unavailable = LVUnavailableMenuIds();
  for (int id : {530, 531, 532, 533, 534, 610, 611, 612})
    EXPECT_EQ(std::count(unavailable.begin(), unavailable.end(), id), 0) << id;
}

TEST_F(FilterCommandTest, MedianWorksOnTheRegionOnlyAndRemembers) {
  DataSet& d = Image(0, 12, 10);
  d.startX = 2, d.startY = 3, d.endX = 8, d.endY = 7;
  const float outside = At(0, 1, 1), lastIn = At(0, 8, 7);
  Answer({"1", "1"});
  ASSERT_TRUE(Run("Filter_Median"));
  EXPECT_TRUE(InfoHas("INFO: Main Data smoothed by a 1 * 1 pixel median filter"));
  EXPECT_EQ(At(0, 8, 7), lastIn);  // the region's last pixel keeps its value
  Answer({"3", "3"});
  ASSERT_TRUE(Run("Filter_Median"));
  EXPECT_EQ(At(0, 1, 1), outside);
  int w = 0;
  IGetDBIntItem("Filter_MedianX", w, status);
  EXPECT_EQ(w, 3);
  // A window beyond the region: a warning, nothing changed.
  const float before = At(0, 4, 4);
  Answer({"9", "3"});
  EXPECT_FALSE(Run("Filter_Median"));
  EXPECT_EQ(At(0, 4, 4), before);
  // Cancelled: nothing changes.
  Answer({"cancel"});
  EXPECT_FALSE(Run("Filter_Median"));
}

TEST_F(FilterCommandTest, TopHatSobelRollingBallAndBalloon) {
  DataSet& d = Image(0, 32, 24);
  std::fill(d.data.get(), d.data.get() + IElementCount(d), 6.0f);
  Answer({"3", "3"});
  ASSERT_TRUE(Run("Filter_TopHat"));
  EXPECT_TRUE(InfoHas("INFO: Main Data smoothed by a 3 * 3 pixel top hat function"));
  EXPECT_FLOAT_EQ(At(0, 31, 23), 6.0f);
  ASSERT_TRUE(Run("Filter_Sobel"));
  EXPECT_TRUE(InfoHas("INFO: Main Data filtered by Sobel operator (edge detection)"));
  EXPECT_EQ(At(0, 10, 10), 0.0f);
  std::fill(d.data.get(), d.data.get() + IElementCount(d), 6.0f);
  Answer({"15", "15", "9", "9"});
  ASSERT_TRUE(Run("Filter_Rolling_Ball"));
  EXPECT_TRUE(InfoHas("INFO: Main Data ROI filtered by a 15.000000 * 15.000000 pixel rolling ball"));
  EXPECT_TRUE(InfoHas("INFO: using a 9 * 9 sized moving window"));
  EXPECT_NEAR(At(0, 16, 12), 0.0f, 0.1f);
  std::fill(d.data.get(), d.data.get() + IElementCount(d), 6.0f);
  Answer({"1"});
  ASSERT_TRUE(Run("Filter_Balloon"));
  EXPECT_TRUE(InfoHas("INFO: Main Data ROI filtered by subtracting 1 balloons"));
  EXPECT_LT(At(0, 16, 12), 6.0f);
  EXPECT_GE(At(0, 16, 12), -1e-3f);
}

TEST_F(FilterCommandTest, RemovePeaksNeedsAScan) {
  Image(0, 8, 8);
  Answer({"3"});
  EXPECT_FALSE(Run("Data_Remove_Peaks"));
  EXPECT_TRUE(InfoHas("WARNING: The Remove Peaks command only works on 1-D data"));
  DataSet& s = Image(0, 30, 1);
  for (int i = 0; i < 30; ++i) s.data[i] = 5.0f + (i % 2) * 0.2f + (i == 12 ? 30.0f : 0.0f) + (i == 13 ? 60.0f : 0.0f) + (i == 14 ? 30.0f : 0.0f);
  Answer({"3"});
  ASSERT_TRUE(Run("Data_Remove_Peaks"));
  EXPECT_LT(At(0, 13, 0), 6.0f);
}

TEST_F(FilterCommandTest, PolynomialFitGoesToTheChosenStore) {
  DataSet& d = Image(0, 20, 16);
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 20; ++x) d.data[IIndex(d, x, y)] = 2.0f + 0.5f * x + 0.25f * y;
  Answer({"store 2", "1", "1"});
  ASSERT_TRUE(Run("Fit_Polynomial"));
  EXPECT_NEAR(At(2, 7, 9), 2.0f + 3.5f + 2.25f, 1e-3f);
  EXPECT_EQ(LVStores().mainIndex, 2);
}

// A radially symmetric image on a plane: the elliptical model follows it closely.
TEST_F(FilterCommandTest, EllipticalFitThroughTheEngine) {
  DataSet& d = Image(0, 40, 36);
  d.beamCentreX = 20.0f, d.beamCentreY = 18.0f;
  for (int y = 0; y < 36; ++y) {
    for (int x = 0; x < 40; ++x) {
      const double r = std::hypot(x + 0.5 - 20.0, y + 0.5 - 18.0);
      d.data[IIndex(d, x, y)] = static_cast<float>(50.0 - 0.8 * r + 0.01 * r * r);
    }
  }
  Answer({"store 3", "3", "no", "no"});
  ASSERT_TRUE(Run("Fit_Elliptical")) << status;
  EXPECT_TRUE(InfoHas("INFO: Fitted Parameter Values"));
  EXPECT_EQ(LVStores().mainIndex, 3);
  EXPECT_EQ(Store(3).title, Store(0).title + ": Elliptical symmetric model fit");
  for (int y = 4; y < 32; y += 7)
    for (int x = 4; x < 36; x += 7) EXPECT_NEAR(At(3, x, y), At(0, x, y), 1.0f) << x << "," << y;
}

// The long fit shows its progress and stops when the user cancels it: no model, said.
TEST_F(FilterCommandTest, EllipticalFitShowsProgressAndCanBeCancelled) {
  DataSet& d = Image(0, 40, 36);
  d.beamCentreX = 20.0f, d.beamCentreY = 18.0f;
  for (int y = 0; y < 36; ++y)
    for (int x = 0; x < 40; ++x) d.data[IIndex(d, x, y)] = static_cast<float>(x + y);
  headless->CancelProgressAtStep(1);
  Answer({"store 3", "3", "no"});
  EXPECT_FALSE(Run("Fit_Elliptical"));
  EXPECT_TRUE(InfoHas("WARNING: Fit Elliptical Background: cancelled; no model made"));
  bool shown = false;
  for (const auto& line : transcript)
    shown = shown || line.rfind("SCRIPT: progress \"Fit Elliptical Background\": 1 of at most", 0) == 0;
  EXPECT_TRUE(shown) << ::testing::PrintToString(transcript);
}

}  // namespace
