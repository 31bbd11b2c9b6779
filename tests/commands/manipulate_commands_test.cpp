// The data manipulation commands through the interpreter, with scripted answers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <string>

#include "app/LVCommand.h"
#include "app/LVMenus.h"
#include "commands/LVManipulate.h"
#include "core/database.h"
#include "core/status.h"
#include "platform/Headless.h"
#include "tests/support/AppFixture.h"
#include "ui/WInfo.h"

namespace {

class ManipulateCommandTest : public HeadlessAppTest {
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
  // Store `index` holds a w x h image of value x + 10 y + offset.
  DataSet& Image(int index, int w, int h, float offset = 0.0f) {
    DataSet& d = Store(index);
    EXPECT_TRUE(IAllocateData(w, h, d, status));
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        d.data[IIndex(d, x, y)] = static_cast<float>(x + 10 * y) + offset;
    d.numX = w, d.numY = h, d.startX = d.startY = 0, d.endX = w - 1, d.endY = h - 1;
    d.dataDefined = kTrue;
    return d;
  }
  float At(int index, int x, int y) { return Store(index).data[IIndex(Store(index), x, y)]; }
};

TEST_F(ManipulateCommandTest, MenuItemsAreServed) {
  const auto unavailable = LVUnavailableMenuIds();
  for (int id : {500, 511, 512, 513, 552, 570, 571, 572, 573, 574, 575, 576, 577, 578, 630, 631,
                 632, 900}) {
    EXPECT_EQ(std::count(unavailable.begin(), unavailable.end(), id), 0) << id;
  }
}

// The menu items issue their commands: 512 rebins by 2 without questions, 513 asks.
TEST_F(ManipulateCommandTest, MenuItemsIssueTheirCommands) {
  DataSet& d = Image(0, 8, 6);
  LVMenuCommand(512);
  EXPECT_EQ(d.numX, 4);
  EXPECT_EQ(d.numY, 3);
  Answer({"4", "3"});
  LVMenuCommand(513);
  EXPECT_EQ(d.numX * d.numY, 1);
  Answer({"2"});
  LVMenuCommand(571);
  EXPECT_TRUE(InfoHas("INFO: 2.000000 added to main data"));
  LVMenuCommand(630);
  LVMenuCommand(900);
  EXPECT_TRUE(InfoHas("The defined data is 1 by 1 pixels"));
}

TEST_F(ManipulateCommandTest, ConstantsAskRememberAndReport) {
  Image(0, 4, 3);
  Answer({"2.5"});
  ASSERT_TRUE(Run("Constant_Add"));
  EXPECT_TRUE(InfoHas("INFO: 2.500000 added to main data"));
  EXPECT_EQ(At(0, 1, 1), 13.5f);
  Answer({"default"});  // the stored value is offered again
  ASSERT_TRUE(Run("Constant_Add"));
  EXPECT_EQ(At(0, 1, 1), 16.0f);
  Answer({"1"});
  ASSERT_TRUE(Run("Constant_Subtract"));
  EXPECT_TRUE(InfoHas("INFO: 1.000000 subtracted from main data"));
  Answer({"-2"});
  ASSERT_TRUE(Run("Constant_Multiply"));
  EXPECT_TRUE(InfoHas("INFO: Main data multiplied by -2.000000"));
  EXPECT_EQ(At(0, 1, 1), -30.0f);
  Answer({"4"});
  ASSERT_TRUE(Run("Constant_Divide"));
  EXPECT_TRUE(InfoHas("INFO: Main data divided by 4.000000"));
  EXPECT_EQ(At(0, 1, 1), -7.5f);
  float stored = 0.0f;
  IGetDBRealItem("Constant_Divide_Value", stored, status);
  EXPECT_EQ(stored, 4.0f);

  // Dividing by zero is refused; the data and the stored divisor stay.
  Answer({"0"});
  EXPECT_FALSE(Run("Constant_Divide"));
  EXPECT_TRUE(InfoHas("WARNING: You cannot divide the data elements by zero !"));
  EXPECT_EQ(At(0, 1, 1), -7.5f);
  IGetDBRealItem("Constant_Divide_Value", stored, status);
  EXPECT_EQ(stored, 4.0f);

  Store(0).startX = 2;
  Answer({"0.125"});
  ASSERT_TRUE(Run("Constant_Set"));
  EXPECT_TRUE(InfoHas("INFO: Main data ROI set to 0.125"));
  EXPECT_EQ(At(0, 2, 2), 0.125f);
  EXPECT_NE(At(0, 1, 2), 0.125f);

  // A cancelled value changes nothing.
  EXPECT_FALSE(Run("Constant_Add"));
  EXPECT_EQ(At(0, 2, 2), 0.125f);
  EXPECT_EQ(status, kStatusGood);
}

TEST_F(ManipulateCommandTest, UndefinedDataWarnsAndAsksNothing) {
  headless->QueueAnswer("3");
  const std::pair<const char*, const char*> rows[] = {
      {"Constant_Add", "LVConstantAdd: Data is not defined"},
      {"Constant_Subtract", "LVConstantSubtract: Data is not defined"},
      {"Constant_Multiply", "LVConstantMultiply: Data is not defined"},
      {"Constant_Divide", "LVConstantDivide: Data is not defined"},
      {"Constant_Set", "LVConstantSet: Data is not defined"},
      {"Data_Crop", "LVDataCrop; Data is not defined"},
      {"Data_Rebin", "LVDataRebin; Data is not defined"},
      {"ROI_Set", "LVROISet; Data is not defined"},
  };
  for (const auto& [name, warning] : rows) {
    EXPECT_FALSE(Run(name)) << name;
    EXPECT_TRUE(InfoHas(std::string("WARNING: ") + warning)) << name;
  }
  EXPECT_EQ(headless->PendingAnswers(), 1u);
  headless->ClearAnswers();
  ASSERT_TRUE(Run("Data_Information"));
  EXPECT_TRUE(InfoHas("WARNING: No data is defined"));
  EXPECT_TRUE(InfoHas("Dataset name: Main Data Store"));
}

TEST_F(ManipulateCommandTest, DataSetsChooseADefinedOperand) {
  Image(0, 4, 3, 1.0f);
  Image(5, 5, 4, 0.0f);
  Answer({"store 5"});
  ASSERT_TRUE(Run("Datasets_Add"));
  EXPECT_TRUE(InfoHas("INFO: Second data-set added to main data"));
  EXPECT_EQ(LVStores().operandIndex, 5);
  EXPECT_EQ(LVStores().mainIndex, 0);  // the main store stays
  EXPECT_EQ(At(0, 2, 1), 2 * 12.0f + 1.0f);
  Answer({"store 5"});
  ASSERT_TRUE(Run("Datasets_Subtract"));
  EXPECT_TRUE(InfoHas("INFO: Second data-set subtracted from main data"));
  EXPECT_EQ(At(0, 2, 1), 13.0f);
  Answer({"store 5"});
  ASSERT_TRUE(Run("Datasets_Multiply"));
  EXPECT_TRUE(InfoHas("INFO: Main data multiplied with second data-set"));
  EXPECT_EQ(At(0, 2, 1), 13.0f * 12.0f);

  // Division by a store with zeros: the large value, never an infinity.
  Store(0).data[IIndex(Store(0), 0, 0)] = 5.0f;
  Store(5).data[IIndex(Store(5), 0, 0)] = 0.0f;
  Store(5).data[IIndex(Store(5), 1, 0)] = 0.0f;
  Store(0).data[IIndex(Store(0), 1, 0)] = 0.0f;
  Answer({"store 5"});
  ASSERT_TRUE(Run("Datasets_Divide"));
  EXPECT_EQ(At(0, 0, 0), 3.4028235e38f);
  EXPECT_EQ(At(0, 1, 0), 0.0f);
  EXPECT_EQ(At(0, 2, 1), 13.0f);
  EXPECT_TRUE(InfoHas("INFO: Main data divided by second data-set"));
  EXPECT_TRUE(InfoHas(
      "INFO: 2 element(s) divided by zero: set to +/-3.4028235e38 (0 / 0 stays 0)"));

  // An undefined store cannot be chosen; a smaller operand is refused with its warning.
  Answer({"store 7"});
  EXPECT_FALSE(Run("Datasets_Add"));
  Image(6, 3, 3);
  const std::pair<const char*, const char*> rows[] = {
      {"Datasets_Add", "LVDatasetAdd"}, {"Datasets_Subtract", "LVDatasetSubtract"},
      {"Datasets_Multiply", "LVDatasetMultiply"}, {"Datasets_Divide", "LVDatasetDivide"}};
  for (const auto& [name, routine] : rows) {
    Answer({"store 6"});
    EXPECT_FALSE(Run(name)) << name;
    EXPECT_TRUE(InfoHas(std::string("WARNING: ") + routine +
                        ": The datasets are not completely defined for the ROI"))
        << name;
  }
  EXPECT_EQ(status, kStatusGood);
}

TEST_F(ManipulateCommandTest, RegionCropAndRebin) {
  DataSet& d = Image(0, 9, 7);
  ASSERT_TRUE(IAllocateVariances(d, status));
  d.variancesDefined = kTrue;
  std::fill(d.variances.get(), d.variances.get() + IElementCount(d), 2.0f);
  d.beamCentreX = 4.0f;
  d.beamCentreY = 3.0f;
  Answer({"1", "2", "20", "5"});  // the right-hand limit is held to the data
  ASSERT_TRUE(Run("ROI_Set"));
  EXPECT_TRUE(InfoHas("INFO: The ROI is set to (1, 2) to (8, 5)"));
  EXPECT_EQ(d.startX, 1);
  EXPECT_EQ(d.endX, 8);

  ASSERT_TRUE(Run("Data_Crop"));
  EXPECT_TRUE(InfoHas("INFO: Main data has been cropped to the ROI"));
  EXPECT_EQ(d.numX, 8);
  EXPECT_EQ(d.numY, 4);
  EXPECT_EQ(At(0, 0, 0), 21.0f);
  EXPECT_FLOAT_EQ(d.beamCentreX, 3.0f);
  EXPECT_EQ(d.variances[IElementCount(d) - 1], 2.0f);

  ASSERT_TRUE(Run("Data_Rebin", 2));  // the fixed factor: no questions
  EXPECT_TRUE(InfoHas("INFO: Main data rebinned by a factor of 2"));
  EXPECT_EQ(d.numX, 4);
  EXPECT_EQ(d.numY, 2);
  EXPECT_FLOAT_EQ(At(0, 0, 0), (21 + 22 + 31 + 32) / 4.0f);
  EXPECT_FLOAT_EQ(d.variances[0], 0.5f);

  Answer({"3", "1"});
  ASSERT_TRUE(Run("Data_Rebin", 0));
  EXPECT_TRUE(InfoHas("INFO: Main data rebinned by factor of 3 in X-direction, 1 in Y-direction"));
  EXPECT_EQ(d.numX, 1);
  int stored = 0;
  IGetDBIntItem("Rebin_FactorX", stored, status);
  EXPECT_EQ(stored, 3);
}

TEST_F(ManipulateCommandTest, FlipTransposeAndCircularFunction) {
  Image(0, 3, 2);
  ASSERT_TRUE(Run("Data_FlipLR"));
  EXPECT_EQ(At(0, 0, 0), 2.0f);
  ASSERT_TRUE(Run("Data_FlipTB"));
  EXPECT_EQ(At(0, 0, 0), 12.0f);

  Store(0).pixelSizeX = 1.0e-4f;
  Store(0).pixelSizeY = 2.0e-4f;
  Answer({"store 8"});
  ASSERT_TRUE(Run("Data_Transpose"));
  EXPECT_EQ(LVStores().mainIndex, 8);
  EXPECT_EQ(Store(8).numX, 2);
  EXPECT_EQ(Store(8).numY, 3);
  EXPECT_EQ(At(8, 0, 0), 12.0f);
  EXPECT_EQ(At(8, 1, 0), 2.0f);
  EXPECT_FLOAT_EQ(Store(8).pixelSizeX, 2.0e-4f);

  // The profile store is chosen among the defined stores; it becomes the main store after.
  DataSet& profile = Image(9, 4, 1);  // 0, 1, 2, 3
  profile.pixelSizeX = 1.0e-3f;
  DataSet& d = Image(0, 2, 2, 0.0f);
  ASSERT_TRUE(Run("Set_Main_Dataset", 0));
  d.beamCentreX = d.beamCentreY = 0.5f;
  d.pixelSizeX = d.pixelSizeY = 1.0e-3f;
  Answer({"store 9"});
  ASSERT_TRUE(Run("Circular_Function"));
  EXPECT_TRUE(InfoHas("INFO: Adding circular Function"));
  EXPECT_EQ(LVStores().outputIndex, 9);
  EXPECT_EQ(LVStores().mainIndex, 9);
  EXPECT_FLOAT_EQ(At(0, 0, 0), 0.0f);
  EXPECT_FLOAT_EQ(At(0, 1, 0), 1.0f + 1.0f);
  EXPECT_NEAR(At(0, 1, 1), 11.0f + std::sqrt(2.0f), 1e-5);
}

TEST_F(ManipulateCommandTest, DataInformationListsEveryLine) {
  DataSet& d = Image(0, 4, 3);
  d.fileName = "frame.tif";
  d.title = "Frame";
  d.wavelength = 1.5e-10f;
  d.polarisation = 0.95f;
  d.pixelSizeX = 1.72e-4f;
  d.pixelSizeY = 1.72e-4f;
  d.beamCentreX = 1.5f;
  d.beamCentreY = 2.25f;
  d.distance = 0.25f;
  d.tiltAngle = 0.5f / 57.295779513f;
  d.startX = 1;
  ASSERT_TRUE(Run("Data_Information"));
  const char* lines[] = {
      "Dataset name: Main Data Store",
      "Input file name: frame.tif",
      "Title: Frame",
      "X-axis label: X-axis",
      "Y-axis label: Y-axis",
      "Z-axis label: Intensity",
      " ",
      "Radiation wavelength: 1.5 Angstroms",
      "Beam polarisation factor: 0.95 ({I_h - I_v} / {I_h + I_v})",
      "Detector pixel sizes: 172 by 172 microns (horizontal, vertical)",
      "The beam centre is at pixel coordinate (1.5, 2.25)",
      "Sample to detector distance (at 0 2-theta): 0.25 metres",
      "Detector 2-theta angle: 0 degrees",
      "Detector tilt axis angle: 0 degrees",
      "Detector tilt angle: 0.5 degrees",
      "Detector Z-axis rotation angle: 0 degrees",
      " ",
      "The data array is dimensioned 4 by 3 pixels.",
      "The defined data is 4 by 3 pixels",
      "The Region Of Interest is (1, 0) to (3, 2) inclusive",
      "ROI Minimum value = 1.000000; Maximum value = 23.000000",
      "ROI Mean = 12.000000; Standard deviation = 9.011105",  // columns 1 and 3
  };
  const auto held = IInfoLines();
  auto at = std::find(held.begin(), held.end(), lines[0]);
  ASSERT_NE(at, held.end());
  for (const char* line : lines) {
    ASSERT_NE(at, held.end());
    EXPECT_EQ(*at, line);
    ++at;
  }

  // A single element is too few for a deviation.
  d.startX = d.endX = 2;
  d.startY = d.endY = 1;
  ASSERT_TRUE(Run("Data_Information"));
  EXPECT_TRUE(InfoHas("INFO: There were not enough un-masked data elements to calculate the "
                      "mean and standard deviation"));
}

}  // namespace
