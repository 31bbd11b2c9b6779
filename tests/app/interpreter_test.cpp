// The command interpreter with the headless backend: first-call initialisation, store
// selection, main-store changes, reports and the commands of the interpreter itself.
#include <gtest/gtest.h>

#include <memory>

#include "app/LVCommand.h"
#include "ui/LVDataStores.h"
#include "core/database.h"
#include "core/status.h"
#include "platform/Headless.h"
#include "tests/support/AppFixture.h"
#include "tests/support/TestSupport.h"
#include "ui/WInfo.h"
#include "ui/WMessageSink.h"
#include "graphics/GDisplaySettings.h"

namespace {

class InterpreterTest : public HeadlessAppTest {
 protected:

  int Run(const std::string& name, int value = 0, const std::string& text = "") {
    CommandEvent event;
    event.value = value;
    event.text = text;
    return LVCommand(name, event, status);
  }


  void DefineImage(int index, int numX, int numY) {
    DataSet& d = LVStores().stores[static_cast<std::size_t>(index)];
    ASSERT_TRUE(IAllocateData(numX, numY, d, status));
    for (std::size_t i = 0; i < IElementCount(d); ++i) d.data[i] = static_cast<float>(i);
    d.numX = numX;
    d.numY = numY;
    d.startX = d.startY = 0;
    d.endX = numX - 1;
    d.endY = numY - 1;
    d.dataDefined = kTrue;
  }

};

TEST_F(InterpreterTest, FirstCommandInitialisesOnceWithWelcomeLines) {
  ISetDBIntItem("Image_Display_Magnification", -3, status);
  EXPECT_TRUE(Run("Exit"));
  EXPECT_TRUE(LVInitialised());
  const auto lines = IInfoLines();
  ASSERT_GE(lines.size(), 6u);
  EXPECT_EQ(lines[0], "Lumivane V1.17.00");
  EXPECT_EQ(lines[1], " ");
  EXPECT_EQ(lines[2], "Lumivane Welcomes Lumivanes !");
  EXPECT_EQ(LVStores().stores[7].magnification, 0);
  EXPECT_EQ(LVStores().stores[7].reduction, 3);
  EXPECT_EQ(headless->MenuItemText(700), "Main Data Store");
  EXPECT_EQ(headless->MenuItemText(719), "2-Theta Scan 10");
  // No data: every data group is grey.
  EXPECT_FALSE(headless->MenuItemEnabled(550));
  EXPECT_FALSE(headless->MenuItemEnabled(570));

  const auto count = IInfoLines().size();
  Run("Exit");
  EXPECT_EQ(IInfoLines().size(), count);
}

TEST_F(InterpreterTest, UnknownCommandWarnsAndChangesNothing) {
  Run("Exit");
  EXPECT_FALSE(Run("No_Such_Command"));
  EXPECT_EQ(status, kStatusGood);
  EXPECT_TRUE(InfoHas("WARNING: Unknown command: No_Such_Command"));
  // Names compare with trailing blanks ignored, case kept.
  EXPECT_TRUE(Run("Exit \n"));
  EXPECT_FALSE(Run("exit"));
}

TEST_F(InterpreterTest, RegionAndMainStoreCommands) {
  Run("Exit");
  DefineImage(0, 1000, 1);
  LVStores().stores[0].startX = 10;
  EXPECT_TRUE(Run("ROI_Full"));
  EXPECT_TRUE(InfoHas("INFO: Full ROI is set: (0, 0) to (999, 0)"));
  EXPECT_EQ(LVStores().stores[0].startX, 0);

  EXPECT_FALSE(Run("Set_Main_Dataset", 20));
  EXPECT_FALSE(Run("Set_Main_Dataset", -1));
  EXPECT_EQ(LVStores().mainIndex, 0);
  EXPECT_TRUE(Run("Set_Main_Dataset", 0));
  // A scan: 1-D group enabled, integration grey.
  EXPECT_TRUE(headless->MenuItemEnabled(571));
  EXPECT_FALSE(headless->MenuItemEnabled(550));
  DefineImage(3, 8, 8);
  EXPECT_TRUE(Run("Set_Main_Dataset", 3));
  EXPECT_EQ(LVStores().mainIndex, 3);
  EXPECT_TRUE(headless->MenuItemChecked(703));
  EXPECT_FALSE(headless->MenuItemChecked(700));
  EXPECT_TRUE(headless->MenuItemEnabled(550));
  EXPECT_TRUE(headless->MenuItemEnabled(552));  // adds a profile to the image
  EXPECT_TRUE(headless->MenuItemEnabled(571));
}

TEST_F(InterpreterTest, SetMagnificationRules) {
  Run("Exit");
  DataSet& main = LVStores().Main();
  EXPECT_FALSE(Run("Set_Magnification", 0));
  EXPECT_FALSE(Run("Set_Magnification", -1));
  EXPECT_FALSE(Run("Set_Magnification", 9));
  EXPECT_EQ(main.magnification, 1);
  EXPECT_TRUE(Run("Set_Magnification", -2));
  EXPECT_EQ(main.magnification, 0);
  EXPECT_EQ(main.reduction, 2);
  EXPECT_TRUE(Run("Set_Magnification", 3));
  EXPECT_FALSE(Run("Set_Magnification", 3));
  EXPECT_EQ(main.magnification, 3);
  int stored = 0;
  IGetDBIntItem("Image_Display_Magnification", stored, status);
  EXPECT_EQ(stored, 3);
}

TEST_F(InterpreterTest, DataCopyChoosesTheOperandAndMakesItMain) {
  Run("Exit");
  DefineImage(0, 4, 4);
  headless->QueueAnswer("store 5");
  EXPECT_TRUE(Run("Data_Copy"));
  EXPECT_EQ(LVStores().operandIndex, 5);
  EXPECT_EQ(LVStores().mainIndex, 5);
  EXPECT_EQ(LVStores().stores[5].data[15], 15.0f);
  EXPECT_EQ(LVStores().stores[5].name, "Intermediate Results 1");
}

TEST_F(InterpreterTest, CancelledOrGreyedSelectionChangesNothing) {
  Run("Exit");
  DefineImage(0, 4, 4);
  // No answer queued: the pop-up is cancelled.
  EXPECT_FALSE(Run("Data_Copy"));
  EXPECT_EQ(status, kStatusGood);
  EXPECT_EQ(LVStores().operandIndex, 1);
  EXPECT_EQ(LVStores().mainIndex, 0);
  EXPECT_FALSE(LVStores().stores[1].dataDefined);
  // The main store is greyed.
  headless->QueueAnswer("store 0");
  EXPECT_FALSE(Run("Data_Copy"));
  EXPECT_EQ(LVStores().operandIndex, 1);
  ASSERT_FALSE(transcript.empty());
  EXPECT_EQ(transcript.back(),
            "SCRIPT: pop-up \"Select data-set to copy the main data-set\": \"Main Data Store\" is greyed, cancelled");
}

TEST_F(InterpreterTest, SelectDatasetGreysUndefinedStoresWhenAsked) {
  Run("Exit");
  DefineImage(2, 3, 3);
  int choice = 7;
  headless->QueueAnswer("store 4");
  EXPECT_FALSE(LVSelectDataset("Select data-set to add to main data", 20, LVStores(), kTrue, 0,
                               choice, status));
  EXPECT_EQ(choice, 7);
  headless->QueueAnswer("store 2");
  EXPECT_TRUE(LVSelectDataset("Select data-set to add to main data", 20, LVStores(), kTrue, 0,
                              choice, status));
  EXPECT_EQ(choice, 2);
  EXPECT_FALSE(LVSelectDataset("p", 0, LVStores(), kFalse, -1, choice, status));
  EXPECT_EQ(status, 1);
  IResetStatus(status);
  EXPECT_FALSE(LVSelectDataset("p", 20, LVStores(), kFalse, 20, choice, status));
  EXPECT_EQ(status, 21);
}

TEST_F(InterpreterTest, NamesLabelsMaskAndBeamCentre) {
  Run("Exit");
  headless->QueueAnswer("store 3");
  headless->QueueAnswer("Dark Current");
  EXPECT_TRUE(Run("Data_Change_Name"));
  EXPECT_EQ(LVStores().stores[3].name, "Dark Current");
  EXPECT_EQ(headless->MenuItemText(703), "Dark Current");
  EXPECT_EQ(LVStores().operandIndex, 1);  // not remembered

  headless->QueueAnswer("CeO2 at 20 keV");
  EXPECT_TRUE(Run("Change_Title"));
  EXPECT_EQ(LVStores().Main().title, "CeO2 at 20 keV");
  EXPECT_FALSE(Run("Change_XLabel"));  // unanswered: cancelled, label kept
  EXPECT_EQ(LVStores().Main().xLabel, "X-axis");

  DataSet& main = LVStores().Main();
  main.maskInUse = kTrue;
  Run("Mask_Disable");
  EXPECT_EQ(main.maskInUse, 0);
  EXPECT_TRUE(headless->MenuItemChecked(311));
  Run("Mask_Disable");
  EXPECT_EQ(main.maskInUse, 1);
  EXPECT_FALSE(headless->MenuItemChecked(311));

  CommandEvent event;
  event.realX = 487.25f;
  event.realY = 512.5f;
  EXPECT_TRUE(LVCommand("Set_Beam_Centre", event, status));
  EXPECT_FLOAT_EQ(main.beamCentreX, 487.25f);
  EXPECT_TRUE(InfoHas("INFO: Beam centre set to (487.250000, 512.500000)"));
  std::string stored;
  IGetDBItem("Beam_CentreY", stored, status);
  EXPECT_EQ(stored, "512.500000");
}

TEST_F(InterpreterTest, FailureIsReportedAndOnlyYesLetsCommandsRunAgain) {
  Run("Exit");
  DefineImage(0, 4, 4);
  // Copy an empty store: the allocation of 0 x 0 fails inside the command.
  Run("Set_Main_Dataset", 6);
  headless->QueueAnswer("store 8");
  headless->QueueAnswer("no");
  EXPECT_FALSE(Run("Data_Copy"));
  EXPECT_EQ(status, 21);
  EXPECT_TRUE(InfoHas("ERROR: IAllocateData V0.4: First dimension: integer value out of acceptable range"));
  // Everything is blocked until YES.
  headless->QueueAnswer("yes");
  EXPECT_FALSE(Run("ROI_Full"));
  EXPECT_EQ(status, kStatusGood);
  EXPECT_TRUE(Run("Exit"));
}

}  // namespace

namespace {

class StartSettings : public HeadlessAppTest {
 protected:
  void SetUp() override {
    HeadlessAppTest::SetUp();
    GResetDisplaySettings();
  }
};

TEST_F(StartSettings, DisplayChoicesComeBackFromTheDataBase) {
  ISetDBIntItem("Colour_Table", 711, status);
  ISetDBIntItem("Display_Magnification", -3, status);
  ISetDBIntItem("Intensity_Range_Method", 226, status);
  ISetDBRealItem("Intensity_Range_Minimum", 10.0f, status);
  ISetDBRealItem("Intensity_Range_Maximum", 90.0f, status);
  ISetDBIntItem("Linearity_Scaling_Method", 177, status);
  LVFirstPaint(status);
  EXPECT_EQ(GDisplay().colourTable, 711);
  EXPECT_TRUE(headless->MenuItemChecked(190));
  EXPECT_TRUE(headless->MenuItemChecked(135));  // "Reduce 3"
  EXPECT_EQ(GDisplay().intensityMethod, 226);
  EXPECT_EQ(GDisplay().intensityMaximum, 90.0f);
  EXPECT_TRUE(headless->MenuItemChecked(154));
  EXPECT_EQ(GDisplay().linearity, 177);
  EXPECT_TRUE(headless->MenuItemChecked(122));
  EXPECT_EQ(GDisplay().maskColour, (GRGB{255, 60, 200}));
  EXPECT_EQ(status, kStatusGood);
}

// With no stored choice (a first start) the display range is the percentile one, so a detector
// image with hot pixels shows its rings; a stored choice is kept. The main store's item in the
// Data Stores menu is ticked from the start either way.
TEST_F(StartSettings, TheFirstStartTakesThePercentileRangeAndAStoredChoiceIsKept) {
  struct Row {
    int stored;  // 0: nothing stored
    int method, item;
  };
  for (const Row& row : {Row{0, 240, 160}, Row{222, 222, 150}, Row{223, 223, 151}}) {
    SCOPED_TRACE(row.stored);
    TearDown();
    SetUp();
    if (row.stored) {
      ISetDBIntItem("Intensity_Range_Method", row.stored, status);
      ISetDBRealItem("Intensity_Range_Minimum", 0.0f, status);
      ISetDBRealItem("Intensity_Range_Maximum", 100.0f, status);
    }
    LVFirstPaint(status);
    EXPECT_EQ(GDisplay().intensityMethod, row.method);
    EXPECT_TRUE(headless->MenuItemChecked(row.item));
    EXPECT_TRUE(headless->MenuItemChecked(700));
    EXPECT_EQ(status, kStatusGood);
  }
}

TEST_F(StartSettings, StoredRangesThatAreNoRangesAreNotUsed) {
  ISetDBIntItem("Intensity_Range_Method", 226, status);
  ISetDBRealItem("Intensity_Range_Minimum", 90.0f, status);
  ISetDBRealItem("Intensity_Range_Maximum", 10.0f, status);
  ISetDBIntItem("Linearity_Scaling_Method", 5, status);
  LVFirstPaint(status);
  EXPECT_EQ(GDisplay().intensityMethod, 222);
  EXPECT_EQ(GDisplay().linearity, 176);
  EXPECT_EQ(status, kStatusGood);
}

}  // namespace
