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
  EXPECT_FLOAT_EQ(xs[0], 10.5f);  // a scripted click is the point itself
  EXPECT_FLOAT_EQ(ys[0], 20.5f);
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
  Answer({"click 30.7 40.2"});
  ASSERT_TRUE(LVCommand("Beam_Centre", event, status));
  EXPECT_FLOAT_EQ(d.beamCentreX, 30.7f);
  EXPECT_FLOAT_EQ(d.beamCentreY, 40.2f);
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

// Where a click on the screen lands in the data, for magnified and reduced views: the middle
// of the data area under the screen pixel, on the image.
TEST_F(Coordinates, AClickStandsForTheMiddleOfTheDataUnderTheScreenPixel) {
  struct Case {
    int magnification, reduction, startX, startY;
    float dataX, dataY;        // a place on the image; the click is on the screen pixel there
    float expectX, expectY;    // the point the click gives
  };
  const Case cases[] = {
      {1, 1, 0, 0, 10.0f, 20.0f, 10.5f, 20.5f},     // one pixel per screen pixel: its centre
      {1, 1, 0, 0, 10.9f, 20.99f, 10.5f, 20.5f},
      {1, 1, 7, 5, 30.2f, 44.7f, 30.5f, 44.5f},     // panned
      {2, 1, 0, 0, 10.0f, 20.0f, 10.25f, 20.25f},   // each screen pixel covers half a pixel
      {2, 1, 0, 0, 10.6f, 20.6f, 10.75f, 20.75f},
      {4, 1, 3, 2, 12.3f, 7.9f, 12.375f, 7.875f},
      {0, 2, 0, 0, 10.0f, 20.0f, 11.0f, 21.0f},     // reduced: the middle of the block
      {0, 3, 0, 0, 30.0f, 60.0f, 31.5f, 61.5f},
      {0, 3, 0, 0, 32.9f, 62.9f, 31.5f, 61.5f},
      {0, 3, 1, 1, 30.0f, 60.0f, 29.5f, 59.5f},     // blocks counted from the first shown pixel
      {0, 3, 0, 0, 99.5f, 79.5f, 99.5f, 79.0f},     // a block cut by the edge: its part inside
      {0, 4, 0, 0, 97.0f, 77.0f, 98.0f, 78.0f},
  };
  DataSet& d = LVStores().Main();
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "magnification " << c.magnification << " reduction "
                                      << c.reduction << " at " << c.dataX << ", " << c.dataY);
    d.magnification = c.magnification;
    d.reduction = c.reduction;
    d.displayStartX = c.startX;
    d.displayStartY = c.startY;
    const int px = GDataToWindowX(c.dataX, d), py = GDataToWindowY(c.dataY, d);
    EXPECT_FLOAT_EQ(GWindowToPointX(px, d), c.expectX);
    EXPECT_FLOAT_EQ(GWindowToPointY(py, d), c.expectY);
    // The point is drawn on the screen pixel that was clicked.
    EXPECT_EQ(GDataToWindowX(c.expectX, d), px);
    EXPECT_EQ(GDataToWindowY(c.expectY, d), py);
  }
  // Beside the image: the edge pixels, as the pixel under the cursor is reported.
  d.magnification = 1;
  d.reduction = 1;
  d.displayStartX = d.displayStartY = 0;
  EXPECT_FLOAT_EQ(GWindowToPointX(GDataToWindowX(0.0f, d) - 20, d), 0.5f);
  EXPECT_FLOAT_EQ(GWindowToPointX(GDataToWindowX(99.0f, d) + 20, d), 99.5f);
  EXPECT_FLOAT_EQ(GWindowToPointY(GDataToWindowY(79.0f, d) - 20, d), 79.5f);
}

// Scripted clicks are taken exactly by every command that collects points, whatever the view.
TEST_F(Coordinates, ScriptedClicksAreTakenExactly) {
  DataSet& d = LVStores().Main();
  struct View {
    int magnification, reduction;
  };
  for (const View v : {View{1, 1}, View{3, 1}, View{0, 3}}) {
    SCOPED_TRACE(::testing::Message() << "magnification " << v.magnification << " reduction "
                                      << v.reduction);
    d.magnification = v.magnification;
    d.reduction = v.reduction;
    Answer({"click 40.7 20.2", "click 3.25 70.875", "finish"});
    EXPECT_TRUE(Get(0, 8));
    ASSERT_EQ(count, 2);
    EXPECT_FLOAT_EQ(xs[0], 40.7f);
    EXPECT_FLOAT_EQ(ys[0], 20.2f);
    EXPECT_FLOAT_EQ(xs[1], 3.25f);
    EXPECT_FLOAT_EQ(ys[1], 70.875f);
    CommandEvent event;
    event.value = 852;
    Answer({"click 60.7 50.2"});
    ASSERT_TRUE(LVCommand("Beam_Centre", event, status));
    EXPECT_FLOAT_EQ(d.beamCentreX, 60.7f);
    EXPECT_FLOAT_EQ(d.beamCentreY, 50.2f);
  }
  // Commands that want whole pixels take the pixel the point lies on.
  d.magnification = 1;
  d.reduction = 1;
  Answer({"3", "click 60.9 50.9", "finish"});
  ASSERT_TRUE(LVCommand("Mask_Circles", CommandEvent{}, status));
  EXPECT_TRUE(InfoHas("INFO: Masked with 3 diameter circle at (60, 50)"));
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
  // A click on the screen gives the middle of the data under the clicked screen pixel.
  for (int k = 0; k < 3; ++k) {
    const double perPixel = d.magnification > 0 ? 1.0 / d.magnification : d.reduction;
    EXPECT_NEAR(xs[k], GWindowToDataX(clicks[k].x(), d) + 0.5 * perPixel, 1e-4);
    EXPECT_NEAR(ys[k], GWindowToDataY(clicks[k].y(), d) + 0.5 * perPixel, 1e-4);
    EXPECT_EQ(GDataToWindowX(xs[k], d), clicks[k].x());
    EXPECT_EQ(GDataToWindowY(ys[k], d), clicks[k].y());
  }
  EXPECT_EQ(backend->ClickDialog(), nullptr);
  if (const char* keep = std::getenv("LV_KEEP_PICTURES")) {
    backend->GrabWindow(std::string(keep) + "/coordinates-polygon.png");
  }

}

}  // namespace
