// The headless backend and the value dialogs over it.
#include <gtest/gtest.h>

#include <memory>

#include "core/status.h"
#include "platform/Headless.h"
#include "tests/support/TestSupport.h"
#include "ui/LVFileSelect.h"
#include "ui/WDialogs.h"

namespace {

class HeadlessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetCoreState();
    auto backend = std::make_unique<PHeadlessBackend>();
    headless = backend.get();
    headless->SetTranscript([this](const std::string& line) { transcript.push_back(line); });
    PInstallBackend(std::move(backend));
  }
  PHeadlessBackend* headless = nullptr;
  std::vector<std::string> transcript;
  int status = kStatusGood;
};

TEST_F(HeadlessTest, RealDialogAsksAgainUntilANumberComes) {
  float value = 2.5f;
  headless->QueueAnswer("letters");
  headless->QueueAnswer("");
  headless->QueueAnswer("0.75 and more");
  EXPECT_TRUE(WGetReal({"Enter wavelength (Angstroms)", kTrue, kFalse, 0, 0, value, status}));
  EXPECT_FLOAT_EQ(value, 0.75f);
  EXPECT_EQ(headless->PendingAnswers(), 0u);

  headless->QueueAnswer("nonsense");
  EXPECT_FALSE(WGetReal({"Enter", kTrue, kFalse, 0, 0, value, status}));
  EXPECT_FLOAT_EQ(value, 0.75f);
}

TEST_F(HeadlessTest, IntegerDialogKeepsToItsRangeAndStringDialogKeepsTextOnCancel) {
  int value = 1;
  headless->QueueAnswer("25");
  EXPECT_TRUE(WGetInteger({"ENTER DATA-SET ('MEMORY') NUMBER TO INPUT", kTrue, kTrue, 1, 3, value,
                           status}));
  EXPECT_EQ(value, 3);
  headless->QueueAnswer("default");
  EXPECT_TRUE(WGetInteger({"n", kTrue, kTrue, 1, 10, value, status}));
  EXPECT_EQ(value, 3);

  std::string text = "Untitled";
  headless->QueueAnswer("cancel");
  EXPECT_FALSE(WGetString({"Enter text", kTrue, text, status}));
  EXPECT_EQ(text, "Untitled");
  headless->QueueAnswer(std::string(300, 'a'));
  EXPECT_TRUE(WGetString({"Enter text", kTrue, text, status}));
  EXPECT_EQ(text.size(), 255u);
}

TEST_F(HeadlessTest, BooleanAnswersAndDefaults) {
  int value = kTrue;
  headless->QueueAnswer("no");
  EXPECT_TRUE(WGetBoolean({"CONFIRM REQUEST TO EXIT LUMIVANE", kTrue, value, status}));
  EXPECT_EQ(value, kFalse);
  // "default" takes the default button: No when a false default is given.
  value = kFalse;
  headless->QueueAnswer("default");
  EXPECT_TRUE(WGetBoolean({"q", kTrue, value, status}));
  EXPECT_EQ(value, kFalse);
  value = kFalse;
  headless->QueueAnswer("default");
  EXPECT_TRUE(WGetBoolean({"q", kFalse, value, status}));
  EXPECT_EQ(value, kTrue);
  // An answer that does not fit a question cancels it; the value stays.
  headless->QueueAnswer("store 3");
  EXPECT_FALSE(WGetBoolean({"q", kTrue, value, status}));
  EXPECT_EQ(value, kTrue);
  EXPECT_EQ(transcript.back(), "SCRIPT: question \"q\": answer \"store 3\" does not fit, cancelled");
}

TEST_F(HeadlessTest, BoxesTakeNoAnswerAndOnlyUnloggedOnesAreTranscribed) {
  headless->QueueAnswer("yes");
  EXPECT_EQ(headless->MessageBox("text", "WARNING:", PIcon::kWarning, PButtons::kOk, PResult::kOk,
                                 true),
            PResult::kOk);
  EXPECT_TRUE(transcript.empty());
  headless->MessageBox("Error: IAllocateMemory: ...", "Message:", PIcon::kNone, PButtons::kOk,
                       PResult::kOk, false);
  EXPECT_EQ(transcript.back(), "SCRIPT: box \"Message:\": Error: IAllocateMemory: ...");
  EXPECT_EQ(headless->PendingAnswers(), 1u);
}

TEST_F(HeadlessTest, DialogWidthsFollowThePromptLength) {
  EXPECT_EQ(WRealDialogWidth(34), 150);
  EXPECT_EQ(WRealDialogWidth(35), 204);
  EXPECT_EQ(WRealDialogWidth(69), 300);
  EXPECT_EQ(WRealDialogWidth(70), 350);
  EXPECT_EQ(WIntegerDialogWidth(55), 300);
  EXPECT_EQ(WStringDialogWidth(49), 204);
  EXPECT_EQ(WStringDialogWidth(75), 500);
}

TEST_F(HeadlessTest, FileChoiceAndMenuStates) {
  std::string path;
  PFileRequest request;
  request.title = "Input Image File";
  headless->QueueAnswer("/data/CeO2.tif");
  EXPECT_TRUE(headless->ChooseFile(request, path));
  EXPECT_EQ(path, "/data/CeO2.tif");
  headless->QueueAnswer("cancel");
  EXPECT_FALSE(headless->ChooseFile(request, path));

  // Several files: directory, then each name, NUL-separated, ended by a second NUL; one file
  // is its full path alone.
  request.multiple = true;
  headless->QueueAnswer("/data/a.tif;/data/b.tif");
  ASSERT_TRUE(headless->ChooseFile(request, path));
  EXPECT_EQ(path, std::string("/data\0a.tif\0b.tif\0\0", 19));
  headless->QueueAnswer("/data/one.tif");
  ASSERT_TRUE(headless->ChooseFile(request, path));
  EXPECT_EQ(path, "/data/one.tif");
  // Files in folders below a common one keep their folders in the names.
  headless->QueueAnswer("/data/run1/a.tif;/data/run2/b.tif;/data/c.tif");
  ASSERT_TRUE(headless->ChooseFile(request, path));
  EXPECT_EQ(path, std::string("/data\0run1/a.tif\0run2/b.tif\0c.tif\0\0", 35));

  headless->SetMenuRadio(130, 144, 139);
  EXPECT_TRUE(headless->MenuItemChecked(139));
  headless->SetMenuRadio(130, 144, 134);
  EXPECT_FALSE(headless->MenuItemChecked(139));
  EXPECT_TRUE(headless->MenuItemEnabled(999));  // items start enabled
}

}  // namespace
