// The mouse over the main window: region-of-interest drags, panning at the edge, pixel reports
// and graph ranges, through the mouse commands headless and through the real window.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMainWindow>
#include <QScrollBar>
#include <QTest>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "app/LVCommand.h"
#include "app/LVMouse.h"
#include "app/LVPlotData.h"
#include "app/LVWindowMain.h"
#include "core/status.h"
#include "graphics/GGraphics.h"
#include "graphics/GSpyGlass.h"
#include "platform/Headless.h"
#include "platform/QtBackend.h"
#include "tests/support/AxisImages.h"
#include "tests/support/TestSupport.h"
#include "tests/support/WindowFixture.h"
#include "ui/WInfo.h"
#include "ui/WMessageSink.h"
#include "ui/WWindow.h"

namespace {

void FillImage(DataSet& d, int numX, int numY, int& status) {
  IInitialiseData(d, status);
  ASSERT_TRUE(IAllocateData(numX, numY, d, status));
  for (int y = 0; y < numY; ++y)
    for (int x = 0; x < numX; ++x) d.data[IIndex(d, x, y)] = static_cast<float>(x + 1000 * y);
  d.numX = numX;
  d.numY = numY;
  d.endX = numX - 1;
  d.endY = numY - 1;
  d.dataDefined = kTrue;
  d.magnification = 1;
}

// The window position at the middle of data pixel (i, j) of the last image drawn.
int WinX(int i, const DataSet& d) { return GPixelToWindowX(i, d) + d.magnification / 2; }
int WinY(int j, const DataSet& d) { return GPixelToWindowY(j, d) - d.magnification / 2; }

class Mouse : public ::testing::Test {
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
    LVResetMouse();
    GResetState();
    GSpyGlassReset();
    LVFirstPaint(status);  // the one-time initialisation empties the stores
  }
  void TearDown() override {
    IInstallMessageSink(nullptr);
    ResetCoreState();
  }
  DataSet& Image(int numX, int numY) {
    DataSet& d = LVStores().Main();
    FillImage(d, numX, numY, status);
    Plot();
    return d;
  }
  void Plot() { LVCommand("Plot_Data", CommandEvent{}, status); }
  int Send(const std::string& name, int x, int y, int value = 0) {
    CommandEvent event;
    event.x = x;
    event.y = y;
    event.value = value;
    return LVCommand(name, event, status);
  }
  void Drag(int x1, int y1, int x2, int y2) {
    Send("Left_Button_Down", x1, y1);
    Send("Mouse_Move", (x1 + x2) / 2, (y1 + y2) / 2);
    Send("Mouse_Move", x2, y2);
    Send("Left_Button_Up", x2, y2);
  }
  bool Saw(const std::string& line) {
    for (const auto& held : IInfoLines())
      if (held == line) return true;
    return false;
  }
  std::string Last() {
    const auto lines = IInfoLines();
    return lines.empty() ? std::string() : lines.back();
  }

  PHeadlessBackend* headless = nullptr;
  int status = kStatusGood;
};

TEST_F(Mouse, DragSetsTheRegionInEitherDirectionAndAClickSelectsTheWholeImage) {
  DataSet& d = Image(100, 80);
  Drag(WinX(10, d), WinY(20, d), WinX(30, d), WinY(50, d));
  EXPECT_EQ(d.startX, 10);
  EXPECT_EQ(d.startY, 20);
  EXPECT_EQ(d.endX, 30);
  EXPECT_EQ(d.endY, 50);
  EXPECT_TRUE(Saw("INFO: The ROI is set to (10, 20) to (30, 50)"));
  EXPECT_TRUE(LVRegionRubberBox().shown);

  // From the opposite corner: the same region.
  Drag(WinX(30, d), WinY(50, d), WinX(10, d), WinY(20, d));
  EXPECT_EQ(d.startX, 10);
  EXPECT_EQ(d.endY, 50);

  // A click without movement selects everything.
  Send("Left_Button_Down", WinX(40, d), WinY(40, d));
  Send("Left_Button_Up", WinX(40, d), WinY(40, d));
  EXPECT_EQ(d.startX, 0);
  EXPECT_EQ(d.startY, 0);
  EXPECT_EQ(d.endX, 99);
  EXPECT_EQ(d.endY, 79);
  EXPECT_EQ(Last(), "INFO: The ROI is set to (0, 0) to (99, 79)");

  // A release without a press changes nothing; a drag beyond the image stays inside it.
  Send("Left_Button_Up", WinX(5, d), WinY(5, d));
  EXPECT_EQ(d.endX, 99);
  Drag(WinX(50, d), WinY(40, d), 790, 2);
  EXPECT_EQ(d.startX, 50);
  EXPECT_EQ(d.endX, 99);
  EXPECT_EQ(d.endY, 79);
  EXPECT_EQ(status, kStatusGood);
}

TEST_F(Mouse, DraggingAtTheEdgePansOncePerMoveWhileTheButtonIsHeld) {
  DataSet& d = Image(3000, 2000);
  d.displayStartX = 1500;
  d.displayStartY = 600;
  Plot();
  Send("Left_Button_Down", 300, 300);
  const int before = d.displayStartX;
  Send("Mouse_Move", 2, 300);
  const int once = d.displayStartX;
  EXPECT_LT(once, before);
  Send("Mouse_Move", 1, 300);
  EXPECT_LT(d.displayStartX, once);
  // The left border of the frame pans too; other hit codes do nothing.
  const int third = d.displayStartX;
  Send("Mouse_Hit_Edge", 0, 300, 10);
  EXPECT_LT(d.displayStartX, third);
  const int fourth = d.displayStartX;
  Send("Mouse_Hit_Edge", 0, 300, 1);
  EXPECT_EQ(d.displayStartX, fourth);
  Send("Left_Button_Up", 2, 300);
  // Not dragging: moves at the edge leave the view where it is.
  Send("Mouse_Move", 1, 300);
  Send("Mouse_Hit_Edge", 0, 300, 10);
  EXPECT_EQ(d.displayStartX, fourth);
  EXPECT_EQ(status, kStatusGood);
}

TEST_F(Mouse, RightClickReportsIntensityAndGeometryAndMovesShowTheLiveLine) {
  DataSet& d = Image(100, 80);
  d.beamCentreX = 19.5f;
  d.beamCentreY = 39.5f;
  d.distance = 0.3f;
  d.pixelSizeX = d.pixelSizeY = 1.0e-4f;
  d.wavelength = 1.0e-10f;
  Send("Right_Button_Down", WinX(79, d), WinY(39, d));
  EXPECT_TRUE(Saw("INFO: Pixel (79, 39), Intensity = 39079"));
  // The pixel's centre lies 60 pixels (6 mm) along X from the beam at 0.3 m.
  const double twoTheta = std::atan2(6.0e-3, 0.3);
  const double dSpacing = 1.0 / (2.0 * std::sin(twoTheta / 2.0));
  const double q = 4.0 * M_PI * std::sin(twoTheta / 2.0) / 0.1;
  double reported[6] = {0, 0, 0, 0, 0, 0};
  ASSERT_EQ(std::sscanf(Last().c_str(),
                        "INFO: 2-theta = %lf degrees, Azimuth = %lf degrees, D-spacing = %lf "
                        "Angstroms, Q-value = %lf nm-1, X orthogonal = %lf Y orthogonal = %lf",
                        &reported[0], &reported[1], &reported[2], &reported[3], &reported[4],
                        &reported[5]),
            6)
      << Last();
  EXPECT_NEAR(reported[0], twoTheta * 180.0 / M_PI, 1.0e-5);
  EXPECT_NEAR(reported[1], 0.0, 1.0e-5);
  EXPECT_NEAR(reported[2], dSpacing, 1.0e-3);
  EXPECT_NEAR(reported[3], q, 1.0e-5);
  EXPECT_NEAR(reported[4], 79.0, 0.05);
  EXPECT_NEAR(reported[5], 39.0, 0.05);

  // Moving without a button: one live line, overwritten in place.
  const std::size_t lines = IInfoLines().size();
  Send("Mouse_Move", WinX(79, d), WinY(39, d));
  Send("Mouse_Move", WinX(19, d), WinY(69, d));
  ASSERT_EQ(IInfoLines().size(), lines + 1);
  EXPECT_EQ(Last().rfind("X   19 Y   69 I6.902e+04 2Th  0.5729 deg Az 90.0000 deg", 0), 0u) << Last();

  // Without a geometry the live line keeps position and value; the report keeps the value.
  d.wavelength = 0.0f;
  Send("Pixel_Info", WinX(5, d), WinY(6, d));
  EXPECT_EQ(Last(), "X    5 Y    6 I    6005 ");
  Send("Right_Button_Down", WinX(5, d), WinY(6, d));
  EXPECT_EQ(Last(), "INFO: Pixel (5, 6), Intensity = 6005");
  EXPECT_EQ(status, kStatusGood);
}

// Over a cake or a stack of scans the readout names the bin by the data set's own axes (the
// bin's 2-theta and azimuth, the file number), never by a detector 2-theta worked out from
// the bin indices with whatever geometry fields the store carries.
TEST_F(Mouse, OverResultsWithAxesOfTheirOwnTheReadoutGivesThoseAxes) {
  struct Row {
    AxisImageShape shape;
    int i, j;
    const char* axes;
  };
  const Row rows[] = {
      {CakeShape(), 300, 4, "2-Theta (Degrees) 17.025, Azimuth (Degrees) -135"},
      {StackShape(), 500, 6, "2-Theta (Degrees) 16.015, File Number 7"},
  };
  // Wide enough that every bin has device columns of its own.
  headless->SetClientSize(1600, 1000);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.shape.name);
    DataSet& d = LVStores().Main();
    MakeAxisImage(d, row.shape, [](int x, int y) { return static_cast<float>(x + 10000 * y); },
                  status);
    // Geometry fields that would make a detector 2-theta of any bin.
    d.distance = 0.2f;
    d.wavelength = 1.0e-10f;
    Plot();
    const int x = (GPixelToWindowX(row.i, d) + GPixelToWindowX(row.i + 1, d)) / 2;
    const int y = (GPixelToWindowY(row.j, d) + GPixelToWindowY(row.j + 1, d)) / 2;
    Send("Pixel_Info", x, y);
    const std::string live = IFormat("X%5i Y%5i I%8.4g ", row.i, row.j,
                                     static_cast<double>(row.i + 10000 * row.j)) + row.axes;
    EXPECT_EQ(Last(), live);
    Send("Right_Button_Down", x, y);
    EXPECT_TRUE(Saw(IFormat("INFO: Pixel (%i, %i), Intensity = %g", row.i, row.j,
                            static_cast<double>(row.i + 10000 * row.j))));
    EXPECT_EQ(Last(), std::string("INFO: ") + row.axes);
    EXPECT_EQ(status, kStatusGood);
  }
}

TEST_F(Mouse, AGraphTakesADragAsTheSameXRangeInEitherDirection) {
  DataSet& d = LVStores().Main();
  FillImage(d, 200, 1, status);
  d.xAxisInPixels = kTrue;
  Plot();
  const int left = GWorldToWindowX(40.0f), right = GWorldToWindowX(120.0f);
  Drag(left, 300, right, 200);
  const int startX = d.startX, endX = d.endX;
  EXPECT_NEAR(startX, 40, 1);
  EXPECT_NEAR(endX, 120, 1);
  d.startX = 0;
  d.endX = 199;
  Drag(right, 200, left, 300);
  EXPECT_EQ(d.startX, startX);
  EXPECT_EQ(d.endX, endX);
  EXPECT_EQ(d.startY, 0);
  EXPECT_EQ(d.endY, 0);
  // A click selects the whole scan; a move shows the graph position.
  Send("Left_Button_Down", left, 300);
  Send("Left_Button_Up", left, 250);
  EXPECT_EQ(d.startX, 0);
  EXPECT_EQ(d.endX, 199);
  Send("Mouse_Move", left, 300);
  EXPECT_EQ(Last().rfind("Position: X = ", 0), 0u) << Last();
  // A drag wholly beyond the last point still leaves an ordered range inside the scan.
  Drag(GWorldToWindowX(300.0f), 300, GWorldToWindowX(320.0f), 300);
  EXPECT_LE(d.startX, d.endX);
  EXPECT_LE(d.endX, 199);
  EXPECT_EQ(status, kStatusGood);

  // Falling abscissae (199 down to 0): X 40 to 120 are the points 79 to 159.
  d.startX = 0;
  d.endX = 199;
  d.xAxisInPixels = kFalse;
  d.xAxisStart = 199.0f;
  d.pixelSizeX = -1.0f;
  Plot();
  Drag(GWorldToWindowX(40.0f), 300, GWorldToWindowX(120.0f), 200);
  EXPECT_NEAR(d.startX, 79, 1);
  EXPECT_NEAR(d.endX, 159, 1);
  EXPECT_EQ(status, kStatusGood);
}

TEST(MouseWindow, ADragInTheRealWindowSetsTheRegionAndMovesShowPixels) {
  TestWindow window(700, 600);
  ASSERT_TRUE(window.started);
  PQtBackend* backend = window.backend;
  LVResetMouse();

  int status = kStatusGood;
  const auto data = SharedData();
  DataSet& d = LVStores().Main();
  if (!data.empty()) {
    CommandEvent open;
    open.text = (data / "CeO2_Pilatus1M.tif").string();
    LVCommand("Open_File", open, status);
  } else {
    FillImage(d, 300, 250, status);
  }
  ASSERT_TRUE(d.dataDefined);
  WDrawWindow(status);
  QWidget* view = nullptr;
  for (QWidget* child : static_cast<QMainWindow*>(backend->MainWidget())
                            ->centralWidget()
                            ->findChildren<QWidget*>()) {
    if (!qobject_cast<QScrollBar*>(child)) view = child;
  }
  ASSERT_NE(view, nullptr);
  const int m = std::max(1, d.magnification);
  // Above the information window, which takes the mouse over itself.
  const QPoint from(60, 180);
  const QPoint to(210, 60);
  QTest::mousePress(view, Qt::LeftButton, Qt::NoModifier, from);
  QTest::mouseMove(view, QPoint(from.x() + 60, from.y() - 50));
  QTest::mouseMove(view, to);
  QTest::mouseRelease(view, Qt::LeftButton, Qt::NoModifier, to);
  EXPECT_EQ(d.startX, GWindowToPixelX(from.x(), d));
  EXPECT_EQ(d.endX, GWindowToPixelX(to.x(), d));
  EXPECT_EQ(d.startY, GWindowToPixelY(from.y(), d));  // rows grow upwards
  EXPECT_EQ(d.endY, GWindowToPixelY(to.y(), d));
  EXPECT_GT(d.endX - d.startX, 100 / m);
  QTest::mouseMove(view, QPoint(to.x() + 30, to.y() + 30));
  for (int i = 0; i < 5; ++i) QApplication::processEvents();
  const auto lines = IInfoLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back().rfind("X ", 0), 0u) << lines.back();
  if (const char* keep = std::getenv("LV_KEEP_PICTURES")) {
    backend->GrabWindow(std::string(keep) + "/mouse-roi-drag.png");
  }

}

}  // namespace
