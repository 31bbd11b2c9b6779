// Points clicked on the image: the headless twin answering "click X Y", "finish", "cancel" and
// "keyboard", the commands that wait for clicks, a command script, and the control dialog of
// the real window.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMainWindow>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sys/wait.h>

#include "app/LVCommand.h"
#include "app/LVWindowMain.h"
#include "core/database.h"
#include "core/status.h"
#include "graphics/GCoordinates.h"
#include "graphics/GGraphics.h"
#include "graphics/GSpyGlass.h"
#include "platform/Headless.h"
#include "platform/QtBackend.h"
#include "tests/support/ScriptRun.h"
#include "tests/support/TestSupport.h"
#include "tests/support/WindowFixture.h"
#include "ui/WDialogs.h"
#include "ui/WInfo.h"
#include "ui/WMessageSink.h"
#include "ui/WWindow.h"

namespace {

constexpr PColour kPen{255, 60, 200};

void FillImage(DataSet& d, int numX, int numY, int& status) {
  IInitialiseData(d, status);
  ASSERT_TRUE(IAllocateData(numX, numY, d, status));
  for (std::size_t i = 0; i < IElementCount(d); ++i) d.data[i] = 1.0f;
  d.numX = numX;
  d.numY = numY;
  d.endX = numX - 1;
  d.endY = numY - 1;
  d.dataDefined = kTrue;
  d.magnification = 1;
}

class Coordinates : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetCoreState();
    PEnsureApplication();
    auto backend = std::make_unique<PHeadlessBackend>();
    headless = backend.get();
    PInstallBackend(std::move(backend));
    WInstallMessageSink();
    IInfoClear();
    LVResetInterpreter();
    LVRegisterAllCommands();
    GResetState();
    GSpyGlassReset();
    LVFirstPaint(status);
    FillImage(LVStores().Main(), 100, 80, status);
    LVCommand("Plot_Data", CommandEvent{}, status);
  }
  void TearDown() override {
    IInstallMessageSink(nullptr);
    ResetCoreState();
  }
  const DataSet& Main() { return LVStores().Main(); }
  void Answer(std::initializer_list<const char*> answers) {
    for (const char* a : answers) headless->QueueAnswer(a);
  }
  int Get(int wanted, int max, int lines = kFalse, int close = kFalse) {
    count = wanted;
    return GGetCoordinates(
        {Main(), "CLICK ON POINTS:", kFalse, lines, kFalse, close, max, count, xs, ys, status});
  }
  bool InfoHas(const std::string& text) {
    for (const auto& held : IInfoLines())
      if (held.find(text) != std::string::npos) return true;
    return false;
  }
  // Whether the pixel drawn at data position (x, y) has the colour of the connecting lines.
  bool PenAt(float x, float y) {
    const PColour c =
        headless->Canvas()->Pixel(GDataToWindowX(x, Main()), GDataToWindowY(y, Main()));
    return c.red == kPen.red && c.green == kPen.green && c.blue == kPen.blue;
  }

  PHeadlessBackend* headless = nullptr;
  int status = kStatusGood;
  int count = 0;
  float xs[8] = {}, ys[8] = {};
};

TEST_F(Coordinates, AFixedCountEndsWithItsLastClickAndFinishDoesNotEndIt) {
  Answer({"finish", "click 10.5 20.5"});
  EXPECT_TRUE(Get(1, 1));
  EXPECT_EQ(count, 1);
  EXPECT_FLOAT_EQ(xs[0], 10.0f);  // the pixel index under the click
  EXPECT_FLOAT_EQ(ys[0], 20.0f);
  EXPECT_EQ(headless->PendingAnswers(), 0u);
  EXPECT_TRUE(InfoHas("INFO: CLICK ON POINTS:"));

  float x = 0.0f, y = 0.0f;
  Answer({"click 33 44"});
  EXPECT_TRUE(GGetCoordinate(Main(), "CLICK ON BEAM CENTRE:", kTrue, x, y, status));
  EXPECT_FLOAT_EQ(x, 33.0f);
  EXPECT_FLOAT_EQ(y, 44.0f);
  EXPECT_TRUE(GCoordinateAwaitingFirstClick());
  EXPECT_EQ(status, kStatusGood);
}

TEST_F(Coordinates, AnyNumberEndsAtFinishOrAtCapacityAndCancelKeepsThePoints) {
  Answer({"click 1 2", "click 3 4", "click 5 6", "finish"});
  EXPECT_TRUE(Get(0, 8));
  EXPECT_EQ(count, 3);
  EXPECT_FLOAT_EQ(xs[2], 5.0f);

  Answer({"click 1 2", "click 3 4", "click 5 6"});
  EXPECT_TRUE(Get(0, 2));  // capacity reached: the input ends by itself
  EXPECT_EQ(count, 2);
  EXPECT_EQ(headless->PendingAnswers(), 1u);
  headless->ClearAnswers();

  Answer({"click 7 8", "click 9 10", "cancel"});
  EXPECT_FALSE(Get(5, 8));
  EXPECT_EQ(count, 2);
  EXPECT_FLOAT_EQ(xs[1], 9.0f);
  EXPECT_FLOAT_EQ(ys[1], 10.0f);

  // No answer queued, or one that does not fit: cancelled.
  EXPECT_FALSE(Get(1, 1));
  EXPECT_EQ(count, 0);
  Answer({"click here"});
  EXPECT_FALSE(Get(1, 1));
  EXPECT_EQ(status, kStatusGood);

  // Nowhere to put a point: refused.
  EXPECT_FALSE(Get(1, 0));
  EXPECT_NE(status, kStatusGood);
}

TEST_F(Coordinates, KeyboardEntryIsTakenUnchangedAndTwoClickModePersists) {
  int two = kTrue;
  ISetDBBooleanItem("Two_Click_Mode", two, status);
  // Two-click mode comes from the data-base; "mode" returns to one click for this input.
  Answer({"mode", "keyboard", "12.25", "7.75", "keyboard", "cancel", "click 2 3"});
  EXPECT_TRUE(Get(2, 8));
  EXPECT_EQ(count, 2);
  EXPECT_FLOAT_EQ(xs[0], 12.25f);
  EXPECT_FLOAT_EQ(ys[0], 7.75f);
  EXPECT_FLOAT_EQ(xs[1], 2.0f);
  EXPECT_FALSE(GSpyGlassShown());
  IGetDBBooleanItem("Two_Click_Mode", two, status);
  EXPECT_FALSE(two);
}

TEST_F(Coordinates, TheClosingLineIsDrawnOnlyForMoreThanTwoPoints) {
  // Two points: the connecting line leaves out its end point; a closing line would fill it.
  Answer({"click 10 10", "click 40 10", "finish"});
  EXPECT_TRUE(Get(0, 8, kTrue, kTrue));
  EXPECT_TRUE(PenAt(25, 10));
  EXPECT_FALSE(PenAt(40, 10));

  LVCommand("Plot_Data", CommandEvent{}, status);
  Answer({"click 10 10", "click 40 10", "click 40 40", "finish"});
  EXPECT_TRUE(Get(0, 8, kTrue, kTrue));
  EXPECT_TRUE(PenAt(40, 25));
  EXPECT_TRUE(PenAt(25, 25));  // the closing line back to the first point
  EXPECT_EQ(status, kStatusGood);
}

TEST_F(Coordinates, CommandsTakeTheirPointsFromClicks) {
  Answer({"click 10 10", "click 30 10", "click 30 30", "click 10 30", "finish"});
  ASSERT_TRUE(LVCommand("Mask_Polygon", CommandEvent{}, status));
  const DataSet& d = Main();
  EXPECT_TRUE(d.maskDefined && d.maskInUse);
  EXPECT_EQ(d.mask[IIndex(d, 20, 20)], 255);
  EXPECT_EQ(d.mask[IIndex(d, 50, 50)], 0);
  EXPECT_TRUE(InfoHas("INFO: Polygon region masked"));

  Answer({"click 10 10", "click 30 10", "click 30 30", "click 10 30", "finish"});
  ASSERT_TRUE(LVCommand("Mask_Clear_Polygon", CommandEvent{}, status));
  EXPECT_EQ(d.mask[IIndex(d, 20, 20)], 0);

  // A cancelled outline changes nothing.
  Answer({"click 10 10", "click 30 10", "click 30 30", "cancel"});
  EXPECT_FALSE(LVCommand("Mask_Polygon", CommandEvent{}, status));
  EXPECT_EQ(d.mask[IIndex(d, 20, 20)], 0);

  Answer({"5", "click 60 50", "finish"});
  ASSERT_TRUE(LVCommand("Mask_Circles", CommandEvent{}, status));
  EXPECT_TRUE(InfoHas("INFO: Masked with 5 diameter circle at (60, 50)"));
  EXPECT_EQ(d.mask[IIndex(d, 60, 50)], 255);

  CommandEvent event;
  event.value = 852;
  Answer({"click 30.5 40.5"});
  ASSERT_TRUE(LVCommand("Beam_Centre", event, status));
  EXPECT_FLOAT_EQ(d.beamCentreX, 30.0f);
  EXPECT_FLOAT_EQ(d.beamCentreY, 40.0f);
  event.value = 853;
  Answer({"click 20 20", "click 40 60"});
  ASSERT_TRUE(LVCommand("Beam_Centre", event, status));
  EXPECT_FLOAT_EQ(d.beamCentreX, 30.0f);
  EXPECT_FLOAT_EQ(d.beamCentreY, 40.0f);

  Answer({"click 10 10", "click 40 50"});
  ASSERT_TRUE(LVCommand("Distance", CommandEvent{}, status));
  EXPECT_TRUE(InfoHas("INFO: Distance between points = 50.000000 pixels"));
  EXPECT_EQ(status, kStatusGood);
}

TEST_F(Coordinates, ASingleClickInWindowPixels) {
  int x = 0, y = 0;
  Answer({"click 120 140"});
  EXPECT_TRUE(WGetCoordinate({"CLICK ON THE WINDOW:", kTrue, x, y, status}));
  EXPECT_EQ(x, 120);
  EXPECT_EQ(y, 140);
  EXPECT_FALSE(WGetCoordinate({"CLICK ON THE WINDOW:", kTrue, x, y, status}));
  EXPECT_EQ(x, 120);
  EXPECT_TRUE(InfoHas("INFO: Coordinate input cancelled"));
  EXPECT_EQ(WCoordinateDialogWidth(29), 120);
  EXPECT_EQ(WCoordinateDialogWidth(34), 135);
  EXPECT_EQ(GCoordinatesDialogWidth(54), 204);
  EXPECT_EQ(GCoordinatesDialogWidth(70), 300);
}

TEST(CoordinateScript, AScriptAnswersTheClicksOfAMaskPolygon) {
  ScratchDir dir;
  const ScriptRun run = RunProgramScript(dir,
                                         "Simulate_Data\n"
                                         "answer click 100 100\nanswer click 300 100\n"
                                         "answer click 300 300\n"
                                         "answer finish\nMask_Polygon\nExit\n");
  EXPECT_GE(run.exitCode, 0);
  const std::string& log = run.log;
  EXPECT_NE(log.find("CLICK ON COORDINATES OF POLYGON TO MASK:"), std::string::npos) << log;
  EXPECT_NE(log.find("click input \"Coordinates Input Control: \": click 300 300"),
            std::string::npos);
}

TEST(CoordinateWindow, ClicksOnTheRealWindowAndFinishInTheControlDialog) {
  TestWindow window(600, 500);
  ASSERT_TRUE(window.started);
  PQtBackend* backend = window.backend;
  int status = kStatusGood;
  DataSet& d = LVStores().Main();
  FillImage(d, 400, 300, status);
  for (std::size_t i = 0; i < IElementCount(d); ++i) d.data[i] = static_cast<float>(i % 400);
  WDrawWindow(status);
  QWidget* view = backend->CanvasWidget();
  ASSERT_NE(view, nullptr);

  const QPoint clicks[] = {{60, 60}, {250, 80}, {200, 250}};
  bool sawDialog = false;
  for (int k = 0; k < 3; ++k) {
    QTimer::singleShot(100 + 50 * k, [&, k] {
      sawDialog = sawDialog || backend->ClickDialog() != nullptr;
      QTest::mouseMove(view, clicks[k] + QPoint(-5, 3));
      QTest::mouseClick(view, Qt::LeftButton, Qt::NoModifier, clicks[k]);
    });
  }
  QTimer::singleShot(300, [&] {
    QTest::mouseMove(view, QPoint(120, 200));  // the rubber line follows the mouse
    if (const char* keep = std::getenv("LV_KEEP_PICTURES")) {
      backend->GrabWindow(std::string(keep) + "/coordinates-input.png");
      if (QWidget* dialog = backend->ClickDialog()) {
        dialog->grab().save(QString::fromStdString(std::string(keep) + "/coordinates-dialog.png"));
      }
    }
    QWidget* dialog = backend->ClickDialog();
    ASSERT_NE(dialog, nullptr);
    for (QPushButton* button : dialog->findChildren<QPushButton*>()) {
      if (button->text() == "FINISH INPUT") button->click();
    }
  });
  int count = 0;
  float xs[10] = {}, ys[10] = {};
  EXPECT_TRUE(GGetCoordinates({d, "CLICK ON COORDINATES OF POLYGON TO MASK:", kTrue, kTrue,
                               kFalse, kTrue, 10, count, xs, ys, status}));
  EXPECT_TRUE(sawDialog);
  ASSERT_EQ(count, 3);
  for (int k = 0; k < 3; ++k) {
    EXPECT_FLOAT_EQ(xs[k], static_cast<float>(GWindowToPixelX(clicks[k].x(), d)));
    EXPECT_FLOAT_EQ(ys[k], static_cast<float>(GWindowToPixelY(clicks[k].y(), d)));
  }
  EXPECT_EQ(backend->ClickDialog(), nullptr);
  if (const char* keep = std::getenv("LV_KEEP_PICTURES")) {
    backend->GrabWindow(std::string(keep) + "/coordinates-polygon.png");
  }

}

}  // namespace
