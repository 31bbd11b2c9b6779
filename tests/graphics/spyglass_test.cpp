// The spy-glass: its view, its frame's moves and resizes, its stored rectangle, and the
// two-click input that picks points inside it.
#include <gtest/gtest.h>

#include <QApplication>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "app/LVCommand.h"
#include "app/LVMenus.h"
#include "app/LVWindowMain.h"
#include "core/database.h"
#include "core/status.h"
#include "graphics/GColourTables.h"
#include "graphics/GCoordinates.h"
#include "graphics/GGraphics.h"
#include "graphics/GSpyGlass.h"
#include "platform/Headless.h"
#include "platform/QtBackend.h"
#include "tests/support/TestSupport.h"
#include "tests/support/WindowFixture.h"
#include "ui/WInfo.h"
#include "ui/WMessageSink.h"
#include "ui/WWindow.h"

namespace {

class SpyGlassTest : public ::testing::Test {
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
    DataSet& d = LVStores().Main();
    IInitialiseData(d, status);
    ASSERT_TRUE(IAllocateData(600, 600, d, status));
    for (int y = 0; y < 600; ++y)
      for (int x = 0; x < 600; ++x) d.data[IIndex(d, x, y)] = static_cast<float>(x + y);
    d.numX = d.numY = 600;
    d.endX = d.endY = 599;
    d.dataDefined = kTrue;
    d.magnification = 1;
    GSetColourTable(705, 1024, status);
    Plot();
  }
  void TearDown() override {
    GSpyGlassReset();
    IInstallMessageSink(nullptr);
    ResetCoreState();
  }
  void Plot() { LVCommand("Plot_Data", CommandEvent{}, status); }
  bool White(int x, int y) {
    const PColour c = headless->Canvas()->Pixel(x, y);
    return c.red == 255 && c.green == 255 && c.blue == 255;
  }
  int Drag(int x1, int y1, int x2, int y2) {
    int redraw = kFalse;
    GSpyGlassMoveRegion({PMouseKind::kLeftDown, x1, y1, 0}, redraw, status);
    GSpyGlassMoveRegion({PMouseKind::kMove, x2, y2, 0}, redraw, status);
    GSpyGlassMoveRegion({PMouseKind::kLeftUp, x2, y2, 0}, redraw, status);
    return redraw;
  }
  void Position(int& left, int& top, int& width, int& height) {
    GSpyGlassGetPosition(left, top, width, height, status);
  }

  PHeadlessBackend* headless = nullptr;
  int status = kStatusGood;
};

TEST_F(SpyGlassTest, TheInitialGlassShows21By21PixelsCutAtTheImageBorder) {
  ASSERT_TRUE(GSpyGlassStart(status));
  Plot();  // the paint draws the empty frame
  int left, top, width, height;
  Position(left, top, width, height);
  EXPECT_EQ(width, 201);
  EXPECT_EQ(((width - 1 - 11) / 9 - 1) / 2, 10);
  const DataSet& d = LVStores().Main();
  ASSERT_TRUE(GSpyGlassUpdate(300, 300, d, status));
  // 21 columns of 9 pixels fill the inside, 16 .. 204, both ways.
  EXPECT_FALSE(White(16, 110));
  EXPECT_FALSE(White(204, 110));
  EXPECT_FALSE(White(110, 16));
  EXPECT_FALSE(White(110, 204));
  int cx = 0, cy = 0;
  GSpyGlassCentre(cx, cy);
  EXPECT_EQ(cx, 110);
  EXPECT_EQ(cy, 110);

  // At the image's corner the view is cut; the centre pixel stays in the middle.
  ASSERT_TRUE(GSpyGlassUpdate(0, 0, d, status));
  EXPECT_FALSE(White(107, 113));
  EXPECT_TRUE(White(100, 112));  // no columns left of 0 (off the cross-hair)
  EXPECT_TRUE(White(112, 120));  // no rows below 0
  EXPECT_FALSE(White(150, 60));
  EXPECT_EQ(status, kStatusGood);
}

TEST_F(SpyGlassTest, DragsMoveAndResizeButNeverTo16PixelsOrLess) {
  GSpyGlassStart(status);
  Plot();
  int left, top, width, height;
  EXPECT_TRUE(Drag(12, 110, 200, 110));  // the left edge to within 16 pixels of the right
  Position(left, top, width, height);
  EXPECT_EQ(left, 10);
  EXPECT_EQ(width, 201);
  Drag(12, 110, 50, 110);
  Position(left, top, width, height);
  EXPECT_EQ(left, 48);
  EXPECT_EQ(width, 163);
  // A resize is not stored; a move is.
  int stored = -1;
  EXPECT_FALSE(IGetDBIntItem("SpyGlass_StartX", stored, status) && stored == 48);
  Drag(110, 110, 150, 130);
  Position(left, top, width, height);
  EXPECT_EQ(left, 88);
  EXPECT_EQ(top, 30);
  EXPECT_EQ(width, 163);
  IGetDBIntItem("SpyGlass_StartX", stored, status);
  EXPECT_EQ(stored, 88);
  IGetDBIntItem("SpyGlass_EndY", stored, status);
  EXPECT_EQ(stored, 230);
  // Outside the glass nothing is taken; over it, moves are taken from the pixel report.
  int redraw = kFalse;
  EXPECT_FALSE(GSpyGlassMoveRegion({PMouseKind::kLeftDown, 400, 400, 0}, redraw, status));
  EXPECT_TRUE(GSpyGlassMoveRegion({PMouseKind::kMove, 120, 120, 0}, redraw, status));
  EXPECT_EQ(status, kStatusGood);
}

TEST_F(SpyGlassTest, TheStoredRectangleComesBackInsideAndTheMenuTogglesIt) {
  ISetDBIntItem("SpyGlass_StartX", 700, status);
  ISetDBIntItem("SpyGlass_EndX", 900, status);
  ASSERT_TRUE(GSpyGlassStart(status));
  int left, top, width, height;
  Position(left, top, width, height);
  EXPECT_EQ(width, 201);
  EXPECT_EQ(left + width, 800);
  for (int k = 0; k < 3; ++k) {
    GSpyGlassStop(status);
    GSpyGlassStart(status);
  }
  Position(left, top, width, height);
  EXPECT_EQ(width, 201);
  GSpyGlassStop(status);

  LVMenuCommand(250);
  EXPECT_TRUE(GSpyGlassShown());
  EXPECT_TRUE(headless->MenuItemChecked(250));
  int on = kFalse;
  IGetDBBooleanItem("SpyGlass_On", on, status);
  EXPECT_TRUE(on);
  LVMenuCommand(250);
  EXPECT_FALSE(GSpyGlassShown());
  EXPECT_FALSE(headless->MenuItemChecked(250));
}

TEST_F(SpyGlassTest, TwoClickModePicksPointsToANinthOfAPixel) {
  float x = 0.0f, y = 0.0f;
  EXPECT_FALSE(GSpyGlassCoordinate(50, 40, LVStores().Main(), 110, 110, x, y, status));
  GSpyGlassStart(status);
  Plot();
  GSpyGlassUpdate(50, 40, LVStores().Main(), status);
  ASSERT_TRUE(GSpyGlassCoordinate(50, 40, LVStores().Main(), 110, 110, x, y, status));
  EXPECT_FLOAT_EQ(x, 50.5f);
  EXPECT_FLOAT_EQ(y, 40.5f);
  ASSERT_TRUE(GSpyGlassCoordinate(50, 40, LVStores().Main(), 119, 101, x, y, status));
  EXPECT_NEAR(x, 51.5f, 1e-5);
  EXPECT_NEAR(y, 41.5f, 1e-5);
  EXPECT_FALSE(GSpyGlassCoordinate(50, 40, LVStores().Main(), 300, 110, x, y, status));
  GSpyGlassStop(status);

  // Through the input: a scripted click names data coordinates; these are drawn at the glass'
  // centre (110, 110).
  const DataSet& d = LVStores().Main();
  const std::string centre = IFormat("click %g %g", static_cast<double>(GWindowToDataX(110, d)),
                                     static_cast<double>(GWindowToDataY(110, d)));
  headless->QueueAnswer("mode");
  headless->QueueAnswer("click 50 40");
  headless->QueueAnswer("click 300 300");  // outside the glass: a warning only
  headless->QueueAnswer(centre);
  int count = 1;
  float xs[1], ys[1];
  ASSERT_TRUE(GGetCoordinates({LVStores().Main(), "CLICK:", kTrue, kFalse, kFalse, kFalse, 1,
                               count, xs, ys, status}));
  EXPECT_FLOAT_EQ(xs[0], 50.5f);
  EXPECT_FLOAT_EQ(ys[0], 40.5f);
  bool warned = false;
  for (const auto& line : IInfoLines())
    warned = warned || line.find("Now you must click within the spy-glass.") != std::string::npos;
  EXPECT_TRUE(warned);
  EXPECT_FALSE(GSpyGlassShown());  // the input switched it on and off again
  int two = kFalse;
  IGetDBBooleanItem("Two_Click_Mode", two, status);
  EXPECT_TRUE(two);

  // A glass that was on before the input stays on.
  GSpyGlassStart(status);
  Plot();
  headless->QueueAnswer("click 50 40");
  headless->QueueAnswer(centre);
  count = 1;
  ASSERT_TRUE(GGetCoordinates({LVStores().Main(), "CLICK:", kTrue, kFalse, kFalse, kFalse, 1,
                               count, xs, ys, status}));
  EXPECT_FLOAT_EQ(xs[0], 50.5f);
  EXPECT_TRUE(GSpyGlassShown());
  EXPECT_EQ(status, kStatusGood);
}

TEST(SpyGlassWindow, TheGlassFollowsTheMouseMovesAndTakesTheSecondClick) {
  GSpyGlassReset();
  TestWindow window(800, 700);
  ASSERT_TRUE(window.started);
  PQtBackend* backend = window.backend;
  int status = kStatusGood;
  DataSet& d = LVStores().Main();
  const auto data = SharedData();
  if (!data.empty()) {
    CommandEvent open;
    open.text = (data / "CeO2_Pilatus1M.tif").string();
    LVCommand("Open_File", open, status);
  } else {
    IInitialiseData(d, status);
    ASSERT_TRUE(IAllocateData(400, 300, d, status));
    for (std::size_t i = 0; i < IElementCount(d); ++i) d.data[i] = static_cast<float>(i % 37);
    d.numX = 400, d.numY = 300, d.endX = 399, d.endY = 299, d.dataDefined = kTrue;
  }
  ASSERT_TRUE(d.dataDefined);
  WDrawWindow(status);
  QWidget* view = backend->CanvasWidget();
  LVMenuCommand(250);
  EXPECT_TRUE(GSpyGlassShown());
  EXPECT_TRUE(backend->MenuItemChecked(250));
  QTest::mouseMove(view, QPoint(400, 300));
  for (int i = 0; i < 5; ++i) QApplication::processEvents();
  // The glass shows a magnified view now: its inside is no longer blank.
  PCanvas* canvas = backend->Canvas();
  int blank = 0;
  for (int x = 20; x < 200; x += 10) {
    const PColour c = canvas->Pixel(x, 60);
    blank += c.red == 255 && c.green == 255 && c.blue == 255;
  }
  EXPECT_LT(blank, 18);
  if (const char* keep = std::getenv("LV_KEEP_PICTURES")) {
    backend->GrabWindow(std::string(keep) + "/spyglass-on.png");
  }

  // Dragging its inside moves it.
  QTest::mousePress(view, Qt::LeftButton, Qt::NoModifier, QPoint(110, 110));
  QTest::mouseMove(view, QPoint(200, 150));
  QTest::mouseRelease(view, Qt::LeftButton, Qt::NoModifier, QPoint(260, 190));
  for (int i = 0; i < 5; ++i) QApplication::processEvents();
  int left, top, width, height;
  GSpyGlassGetPosition(left, top, width, height, status);
  EXPECT_EQ(left, 160);
  EXPECT_EQ(top, 90);
  EXPECT_EQ(width, 201);

  // Two clicks: the first centres the glass on a pixel, the second (at the centre) picks it.
  int cx = 0, cy = 0;
  const QPoint first(600, 400);
  const int column = GWindowToPixelX(first.x(), d), row = GWindowToPixelY(first.y(), d);
  QTimer::singleShot(100, [&] {
    QWidget* dialog = backend->ClickDialog();
    ASSERT_NE(dialog, nullptr);
    for (QPushButton* button : dialog->findChildren<QPushButton*>()) {
      if (button->text() == "ENTER TWO CLICK MODE") button->click();
    }
    QTest::mouseClick(view, Qt::LeftButton, Qt::NoModifier, first);
    GSpyGlassCentre(cx, cy);
    QTest::mouseMove(view, QPoint(cx + 40, cy + 40));  // the glass holds its view
    if (const char* keep = std::getenv("LV_KEEP_PICTURES")) {
      backend->GrabWindow(std::string(keep) + "/spyglass-two-click.png");
    }
    QTest::mouseClick(view, Qt::LeftButton, Qt::NoModifier, QPoint(cx, cy));
  });
  int count = 1;
  float xs[1] = {0}, ys[1] = {0};
  EXPECT_TRUE(GGetCoordinates({d, "CLICK ON BEAM CENTRE:", kTrue, kFalse, kFalse, kFalse, 1,
                               count, xs, ys, status}));
  EXPECT_EQ(count, 1);
  EXPECT_FLOAT_EQ(xs[0], column + 0.5f);
  EXPECT_FLOAT_EQ(ys[0], row + 0.5f);
  EXPECT_TRUE(GSpyGlassShown());  // it was on before the input
  GSpyGlassReset();
  ISetDBBooleanItem("Two_Click_Mode", kFalse, status);
}

}  // namespace
