// The drawing area: images and graphs laid out above an information window that spans the
// bottom of the client area, and overlays kept inside that area; an information window
// dragged elsewhere floats over the drawing.
#include <gtest/gtest.h>

#include <QImage>
#include <cmath>
#include <memory>

#include "app/LVMouse.h"
#include "app/LVPlotData.h"
#include "core/status.h"
#include "graphics/GColourTables.h"
#include "graphics/GDisplaySize.h"
#include "graphics/GGraphics.h"
#include "graphics/GImage.h"
#include "graphics/GOverlay.h"
#include "platform/Headless.h"
#include "tests/support/TestSupport.h"
#include "ui/WDraw.h"
#include "ui/WInfo.h"
#include "ui/WWindow.h"

namespace {

constexpr PColour kBlack{0, 0, 0};
constexpr PColour kWhite{255, 255, 255};

bool Same(PColour a, PColour b) { return a.red == b.red && a.green == b.green && a.blue == b.blue; }

TEST(CanvasDrawingArea, ClipsEveryDrawingTogetherWithTheClipUntilCleared) {
  PEnsureApplication();
  QImage image(100, 100, QImage::Format_RGB32);
  image.fill(Qt::white);
  PCanvas canvas(&image);
  int l = 0, t = 0, r = 0, b = 0;
  EXPECT_FALSE(canvas.DrawingArea(l, t, r, b));
  canvas.SetDrawingArea(0, 0, 99, 59);
  ASSERT_TRUE(canvas.DrawingArea(l, t, r, b));
  EXPECT_EQ(b, 59);
  canvas.FillRect(0, 0, 100, 100, kBlack);
  EXPECT_TRUE(Same(canvas.Pixel(50, 59), kBlack));
  EXPECT_TRUE(Same(canvas.Pixel(50, 60), kWhite));

  // Saving the state, clearing the clip and clipping elsewhere do not lift the drawing area.
  canvas.PushState();
  canvas.ClearClip();
  canvas.SetClip(0, 50, 99, 99);
  ASSERT_TRUE(canvas.ClipBox(l, t, r, b));
  EXPECT_EQ(t, 50);
  EXPECT_EQ(b, 59);
  canvas.FillRect(0, 0, 100, 100, {200, 0, 0});
  EXPECT_TRUE(Same(canvas.Pixel(10, 49), kBlack));
  EXPECT_EQ(canvas.Pixel(10, 55).red, 200);
  EXPECT_TRUE(Same(canvas.Pixel(10, 70), kWhite));
  // A clip wholly outside the area leaves nothing to draw on.
  canvas.SetClip(0, 80, 99, 99);
  EXPECT_FALSE(canvas.ClipBox(l, t, r, b));
  canvas.FillRect(0, 0, 100, 100, {0, 0, 200});
  EXPECT_TRUE(Same(canvas.Pixel(10, 90), kWhite));
  EXPECT_EQ(canvas.Pixel(10, 55).red, 200);
  canvas.PopState();

  // Inverted shapes stay inside it too: a box's lower side beyond it is not drawn.
  int status = kStatusGood;
  canvas.FillRect(0, 0, 100, 100, kWhite);
  WDrawInvertedBox(&canvas, 10, 20, 80, 90, status);
  EXPECT_TRUE(Same(canvas.Pixel(40, 20), kBlack));
  EXPECT_TRUE(Same(canvas.Pixel(10, 59), kBlack));
  EXPECT_TRUE(Same(canvas.Pixel(10, 70), kWhite));
  EXPECT_TRUE(Same(canvas.Pixel(40, 90), kWhite));

  canvas.ClearDrawingArea();
  EXPECT_FALSE(canvas.DrawingArea(l, t, r, b));
  canvas.FillRect(0, 0, 100, 100, kBlack);
  EXPECT_TRUE(Same(canvas.Pixel(50, 99), kBlack));
}

class DrawingArea : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetCoreState();
    PEnsureApplication();
    auto backend = std::make_unique<PHeadlessBackend>();
    headless = backend.get();
    PInstallBackend(std::move(backend));
    GResetState();
    GResetDisplaySettings();
    GSetColourTable(705, 1024, status);
    IInfoClear();
    LVResetMouse();
  }
  void TearDown() override {
    IInfoClear();
    ResetCoreState();
  }
  // The client area and the information window in it (left, top, width, height).
  void Layout(int clientWidth, int clientHeight, int left, int top, int width, int height) {
    headless->SetClientSize(clientWidth, clientHeight);
    IInfoCreateWindow("LV Information Window", left, top, width, height, status);
  }
  void Scan(DataSet& d, int n) {
    IInitialiseData(d, status);
    ASSERT_TRUE(IAllocateData(n, 1, d, status));
    for (int i = 0; i < n; ++i) d.data[IIndex(d, i, 0)] = static_cast<float>(std::sin(i / 9.0));
    d.numX = n;
    d.numY = 1;
    d.endX = n - 1;
    d.dataDefined = kTrue;
    d.xAxisInPixels = kTrue;
  }
  void Image(DataSet& d, int numX, int numY) {
    IInitialiseData(d, status);
    ASSERT_TRUE(IAllocateData(numX, numY, d, status));
    for (int y = 0; y < numY; ++y)
      for (int x = 0; x < numX; ++x) d.data[IIndex(d, x, y)] = static_cast<float>((x * 7 + y) % 100);
    d.numX = numX;
    d.numY = numY;
    d.endX = numX - 1;
    d.endY = numY - 1;
    d.dataDefined = kTrue;
    d.magnification = 1;
  }
  // Dark pixels in the rectangle (inclusive).
  int Ink(int left, int top, int right, int bottom) {
    int n = 0;
    for (int y = top; y <= bottom; ++y)
      for (int x = left; x <= right; ++x) {
        const PColour c = headless->Canvas()->Pixel(x, y);
        n += c.red + c.green + c.blue < 200;
      }
    return n;
  }
  QImage Snapshot() { return static_cast<QImage*>(headless->Canvas()->Device())->copy(); }

  RecordingSink sink;
  PHeadlessBackend* headless = nullptr;
  int status = kStatusGood;
};

TEST_F(DrawingArea, IsTheRowsAboveAnInformationWindowSpanningTheBottom) {
  int width = 0, height = 0;
  // The default place, in a client area smaller than the stored rectangle: brought inside, it
  // touches the bottom and spans the width.
  Layout(785, 540, 0, 500, 800, 100);
  ASSERT_TRUE(WDrawingAreaSize(width, height, status));
  EXPECT_EQ(width, 785);
  EXPECT_EQ(height, 440);

  // Floating: in the middle, or at the bottom but narrower than the client area.
  Layout(800, 600, 100, 200, 300, 100);
  WDrawingAreaSize(width, height, status);
  EXPECT_EQ(height, 600);
  Layout(800, 600, 0, 500, 400, 100);
  WDrawingAreaSize(width, height, status);
  EXPECT_EQ(height, 600);
  // Spanning the bottom but leaving too few rows above: the drawing keeps the whole area.
  Layout(800, 160, 0, 60, 800, 100);
  WDrawingAreaSize(width, height, status);
  EXPECT_EQ(height, 160);
  Layout(800, 164, 0, 64, 800, 100);
  WDrawingAreaSize(width, height, status);
  EXPECT_EQ(height, 64);
  EXPECT_EQ(status, kStatusGood);
}

TEST_F(DrawingArea, ADockedInformationWindowStaysDockedWhenTheWindowIsResized) {
  int width = 0, height = 0, left = 0, top = 0, infoWidth = 0, infoHeight = 0;
  Layout(800, 600, 0, 500, 800, 100);
  IInfoAddLine("kept", status);
  ASSERT_TRUE(WDrawingAreaSize(width, height, status));
  EXPECT_EQ(height, 500);
  // Larger: along the new bottom and across the new width, its height and lines kept.
  headless->SetClientSize(1000, 900);
  WDrawingAreaSize(width, height, status);
  EXPECT_EQ(height, 800);
  IInfoGetPosition(left, top, infoWidth, infoHeight, status);
  EXPECT_EQ(left, 0);
  EXPECT_EQ(top, 800);
  EXPECT_EQ(infoWidth, 1000);
  EXPECT_EQ(infoHeight, 100);
  EXPECT_EQ(IInfoLines().back(), "kept");
  // Smaller again.
  headless->SetClientSize(700, 400);
  WDrawingAreaSize(width, height, status);
  EXPECT_EQ(height, 300);
  EXPECT_EQ(width, 700);

  // Floating, it stays where the user left it.
  IInfoSetPosition(100, 100, 300, 100, status);
  WDrawingAreaSize(width, height, status);
  headless->SetClientSize(1000, 900);
  WDrawingAreaSize(width, height, status);
  EXPECT_EQ(height, 900);
  IInfoGetPosition(left, top, infoWidth, infoHeight, status);
  EXPECT_EQ(top, 100);
  EXPECT_EQ(status, kStatusGood);
}

TEST_F(DrawingArea, AGraphKeepsItsAxisAboveTheInformationWindow) {
  Layout(640, 480, 0, 380, 640, 100);
  DataSet scan;
  Scan(scan, 300);
  ASSERT_TRUE(LVPlotData(scan, status));
  // The X axis with its ticks and numbers lies above row 380.
  const int axis = GWorldToWindowY(GState().worldMinY);
  EXPECT_LT(axis, 380 - 12);
  EXPECT_GT(Ink(GWorldToWindowX(50.0f), axis + 2, GWorldToWindowX(250.0f), 379), 20);

  // Dragged away, the information window floats: the graph takes the whole client area.
  Layout(640, 480, 100, 100, 300, 100);
  ASSERT_TRUE(LVPlotData(scan, status));
  EXPECT_GT(GWorldToWindowY(GState().worldMinY), 400);
  EXPECT_EQ(status, kStatusGood);
}

TEST_F(DrawingArea, ImagesAndZoomedRegionsFitAboveTheInformationWindow) {
  Layout(400, 560, 0, 460, 400, 100);
  DataSet d;
  Image(d, 100, 500);
  // 500 rows do not fit in the 460 above the information window: the image is reduced.
  LVAutosetMagnification(d, status);
  EXPECT_EQ(d.magnification, 0);
  EXPECT_EQ(d.reduction, 2);
  ASSERT_TRUE(LVPlotData(d, status));
  EXPECT_LT(GPixelToWindowY(0, d), 460);

  // A region of 480 rows zoomed: reduced as well, its bottom row above the window.
  d.startY = 10;
  d.endY = 489;
  ASSERT_TRUE(LVZoomROI(d, status));
  EXPECT_EQ(d.magnification, 0);
  EXPECT_EQ(d.reduction, 2);
  ASSERT_TRUE(LVPlotData(d, status));
  EXPECT_LT(GPixelToWindowY(10, d), 460);

  // At magnification 1 the view holds only the rows that fit, and the scroll bar says so.
  d.magnification = 1;
  d.reduction = 1;
  d.displayStartY = 0;
  ASSERT_TRUE(LVPlotData(d, status));
  EXPECT_LT(GPixelToWindowY(0, d), 460);
  int minimum = 0, maximum = 0, position = 0, page = 0;
  headless->GetScrollbar(false, minimum, maximum, position, page);
  EXPECT_EQ(page, 460 - 8);
  EXPECT_EQ(status, kStatusGood);
}

TEST_F(DrawingArea, RubberBoxesAndMarkersStayOffTheInformationWindow) {
  Layout(640, 480, 0, 380, 640, 100);
  DataSet scan;
  Scan(scan, 300);
  ASSERT_TRUE(LVPlotData(scan, status));
  const QImage before = Snapshot();
  // A drag over the graph that ends over the information window.
  LVMouseEvent1D(kMouseLeftDown, 100, 100, scan, status);
  LVMouseEvent1D(kMouseMove, 300, 430, scan, status);
  const QImage after = Snapshot();
  EXPECT_NE(before.pixel(200, 100), after.pixel(200, 100));  // the top side is drawn
  EXPECT_NE(before.pixel(100, 300), after.pixel(100, 300));  // and the left one above
  for (int y = 380; y < 480; ++y) {
    for (int x = 0; x < 640; ++x) {
      ASSERT_EQ(before.pixel(x, y), after.pixel(x, y)) << x << ", " << y;
    }
  }
  LVMouseEvent1D(kMouseLeftUp, 300, 430, scan, status);

  // An image's region box reaching below the view, and a marker on the edge.
  DataSet d;
  Image(d, 200, 1000);
  d.displayStartY = 500;
  ASSERT_TRUE(LVPlotData(d, status));
  const QImage image = Snapshot();
  RubberShape box;
  GInitRubberBox(box, status);
  GDrawRubberBox(headless->Canvas(), 20, 0, 120, 700, d, box, status);
  WDrawingAreaClip clip(headless->Canvas());
  WDrawMarker(headless->Canvas(), 300, 380, status);
  const QImage boxed = Snapshot();
  EXPECT_NE(image.pixel(GPixelToWindowX(20, d), 200), boxed.pixel(GPixelToWindowX(20, d), 200));
  EXPECT_NE(image.pixel(300, 377), boxed.pixel(300, 377));
  for (int y = 380; y < 480; ++y) {
    for (int x = 0; x < 640; ++x) {
      ASSERT_EQ(image.pixel(x, y), boxed.pixel(x, y)) << x << ", " << y;
    }
  }
  EXPECT_EQ(status, kStatusGood);
}

}  // namespace
