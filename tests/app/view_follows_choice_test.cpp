// What the real main window shows follows what the user chose: the store picked from the Data
// Stores menu, a window made larger or smaller, a result whose shape is far from square.
#include <gtest/gtest.h>

#include <QApplication>
#include <QScreen>
#include <QTest>

#include "app/LVCommand.h"
#include "app/LVMenus.h"
#include "core/status.h"
#include "graphics/GColourTables.h"
#include "graphics/GDisplaySettings.h"
#include "graphics/GDisplaySize.h"
#include "graphics/GGraphics.h"
#include "graphics/GImage.h"
#include "graphics/GRender.h"
#include "tests/support/AxisImages.h"
#include "tests/support/WindowFixture.h"
#include "ui/WWindow.h"

namespace {

// numX x numY image of value(x, y) in store `index`.
template <class F>
DataSet& StoreImage(int index, int numX, int numY, F value, int& status) {
  DataSet& d = LVStores().stores[static_cast<std::size_t>(index)];
  IAllocateData(numX, numY, d, status);
  for (int y = 0; y < numY; ++y)
    for (int x = 0; x < numX; ++x) d.data[IIndex(d, x, y)] = value(x, y);
  d.numX = numX;
  d.numY = numY;
  d.startX = d.startY = 0;
  d.endX = numX - 1;
  d.endY = numY - 1;
  d.dataDefined = kTrue;
  return d;
}

// The colour a value takes in the range the last draw used.
GRGB ColourOf(float value) {
  int method = 0, status = kStatusGood;
  float minimum = 0.0f, maximum = 0.0f;
  GGetIntensityScaling(method, minimum, maximum, status);
  return GDisplay().colours[static_cast<std::size_t>(GLinearIndex(value, minimum, maximum, false))];
}

bool Shows(PCanvas* canvas, int x, int y, GRGB colour) {
  const PColour c = canvas->Pixel(x, y);
  return c.red == colour.red && c.green == colour.green && c.blue == colour.blue;
}

TEST(ViewFollowsChoice, TheStoreChosenFromTheMenuIsTickedAndShown) {
  TestWindow window(900, 700);
  ASSERT_TRUE(window.started);
  PQtBackend* backend = window.backend;
  // From the start the main store's item carries the mark.
  EXPECT_TRUE(backend->MenuItemChecked(700));
  for (int id = 701; id <= 719; ++id) EXPECT_FALSE(backend->MenuItemChecked(id)) << id;

  int status = kStatusGood;
  DataSet& five = StoreImage(5, 200, 150, [](int x, int y) { return static_cast<float>(x + y); },
                             status);
  LVMenuCommand(705);
  EXPECT_EQ(LVStores().mainIndex, 5);
  EXPECT_TRUE(backend->MenuItemChecked(705));
  EXPECT_FALSE(backend->MenuItemChecked(700));
  // The new store's picture and title are there without any further event.
  EXPECT_NE(backend->WindowTitle().find("Intensity Range"), std::string::npos);
  PCanvas* canvas = backend->Canvas();
  for (const auto& [x, y] : {std::pair(20, 30), std::pair(150, 100), std::pair(180, 120)}) {
    EXPECT_TRUE(Shows(canvas, GPixelToWindowX(x, five), GPixelToWindowY(y, five),
                      ColourOf(static_cast<float>(x + y))))
        << x << ", " << y;
  }
  // Back to the empty store: the bare title again.
  LVMenuCommand(700);
  EXPECT_TRUE(backend->MenuItemChecked(700));
  EXPECT_EQ(backend->WindowTitle(), "Lumivane V1.17.00");
  EXPECT_EQ(status, kStatusGood);
}

// Nine stacked scans (nine rows of 1000 bins) and a 725 x 36 cake fill the drawing area, each
// row a band as tall as the area allows, not one screen row of a strip.
TEST(ViewFollowsChoice, ResultsOfExtremeShapeFillTheDrawingArea) {
  TestWindow window(1200, 800);
  ASSERT_TRUE(window.started);
  PCanvas* canvas = window.backend->Canvas();
  for (const AxisImageShape& shape : {StackShape(), CakeShape()}) {
    SCOPED_TRACE(shape.name);
    int status = kStatusGood;
    MakeAxisImage(LVStores().Main(), shape, [](int, int y) { return static_cast<float>(y); },
                  status);
    GSetIntensityScaling(kRangeFull, 0.0f, 1.0f, status);
    LVMenuCommand(700);
    int width = 0, height = 0;
    WDrawingAreaSize(width, height, status);
    // Down the middle column: the rows' bands, the middle row's as tall as its share.
    const int middle = shape.numY / 2;
    const GRGB colour = ColourOf(static_cast<float>(middle));
    int band = 0, bandRow = -1;
    for (int y = 0; y < height; ++y) {
      if (Shows(canvas, width / 2, y, colour)) {
        ++band;
        bandRow = y;
      }
    }
    EXPECT_GE(band, height * 6 / (10 * shape.numY)) << height;
    // Across, the band spans most of the width.
    int across = 0;
    for (int x = 0; x < width; ++x) across += Shows(canvas, x, std::max(0, bandRow), colour);
    EXPECT_GE(across, width * 7 / 10);
    EXPECT_EQ(status, kStatusGood);
  }
}

// A larger window shows the image larger; a smaller one shows it whole again.
TEST(ViewFollowsChoice, ResizingTheWindowRefitsTheImage) {
  // Sizes within the screen: the window keeps itself on it (the offscreen screen is small),
  // and a slower build gets there before the refit is looked at.
  TestWindow window(400, 300);
  ASSERT_TRUE(window.started);
  const QSize screen = window.backend->MainWidget()->screen()->availableGeometry().size();
  const int bigW = screen.width() - 10, bigH = screen.height() - 10;
  const int smallW = bigW / 2, smallH = bigH / 2;
  window.backend->MainWidget()->resize(smallW, smallH);
  TestWindow::Settle();
  int status = kStatusGood;
  DataSet& main = StoreImage(0, 1600, 1200, [](int x, int y) { return static_cast<float>(x ^ y); },
                             status);
  LVAutosetMagnification(main, status);
  LVMenuCommand(700);
  const int small = main.reduction;
  ASSERT_EQ(main.magnification, 0);
  for (const auto& [w, h, larger] : {std::tuple(bigW, bigH, true), std::tuple(smallW, smallH, false)}) {
    window.backend->MainWidget()->resize(w, h);
    // The refit follows the resize through the event loop: a slow (sanitizer) build takes
    // longer to get there.
    for (int wait = 0; wait < 100; ++wait) {
      TestWindow::Settle();
      QTest::qWait(50);
      TestWindow::Settle();
      if (larger ? main.reduction < small : main.reduction == small) break;
    }
    int width = 0, height = 0;
    WDrawingAreaSize(width, height, status);
    if (larger) EXPECT_LT(main.reduction, small);
    else EXPECT_EQ(main.reduction, small);
    // The whole image in view, and filling most of one direction.
    const int shownWidth = GPixelToWindowX(main.numX, main) - GPixelToWindowX(0, main);
    const int shownHeight = GPixelToWindowY(0, main) - GPixelToWindowY(main.numY, main);
    EXPECT_LE(shownWidth, width);
    EXPECT_LE(shownHeight, height);
    EXPECT_TRUE(shownWidth >= width / 2 || shownHeight >= height / 2)
        << shownWidth << " x " << shownHeight << " in " << width << " x " << height;
    EXPECT_TRUE(window.backend->MenuItemChecked(GDisplaySizeMenuItem(main)));
  }
  EXPECT_EQ(status, kStatusGood);
}

}  // namespace
