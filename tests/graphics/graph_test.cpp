// X-Y graphs, axis ticks and the paint routine of the main window, drawn into the headless
// back-buffer.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <tuple>
#include <vector>

#include "app/LVPlotData.h"
#include "core/status.h"
#include "graphics/GColourTables.h"
#include "graphics/GGraph.h"
#include "graphics/GGraphics.h"
#include "graphics/GImage.h"
#include "graphics/GOverlay.h"
#include "platform/Headless.h"
#include "tests/support/AxisImages.h"
#include "tests/support/Ink.h"
#include "tests/support/TestSupport.h"
#include "ui/WInfo.h"
#include "ui/WWindow.h"

namespace {

class Graph : public ::testing::Test {
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
  }
  void TearDown() override { ResetCoreState(); }

  // A scan of n points, value(i); X in pixels unless a step is given.
  template <class F>
  void Scan(DataSet& d, int n, F value, float xStart = 0.0f, float step = 0.0f) {
    IInitialiseData(d, status);
    ASSERT_TRUE(IAllocateData(n, 1, d, status));
    for (int i = 0; i < n; ++i) d.data[IIndex(d, i, 0)] = value(i);
    d.numX = n;
    d.numY = 1;
    d.endX = n - 1;
    d.dataDefined = kTrue;
    d.xAxisInPixels = step == 0.0f ? kTrue : kFalse;
    d.xAxisStart = xStart;
    if (step != 0.0f) d.pixelSizeX = step;
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
  void Keep(const std::string& name) {
    if (const char* folder = std::getenv("LV_KEEP_PICTURES"))
      headless->SaveCanvas(std::string(folder) + "/" + name);
  }
  void ExpectWorldY(float low, float high) {
    float minX, minY, maxX, maxY;
    GGetDDR(minX, minY, maxX, maxY, status);
    EXPECT_FLOAT_EQ(minY, low);
    EXPECT_FLOAT_EQ(maxY, high + 0.01f * (high - low));  // one per cent head-room
  }

  RecordingSink sink;
  PHeadlessBackend* headless = nullptr;
  int status = kStatusGood;
};

TEST_F(Graph, TickPositionsFallOnOneTwoFiveSteps) {
  struct Case {
    double start, end, first, spacing;
    int count;
  };
  const Case cases[] = {{0, 1, 0, 0.1, 11},     {3, 17, 4, 2, 7},         {0, 1000, 0, 100, 11},
                        {0, 999, 0, 100, 10},   {-3.2, 5.8, -3, 1, 9},    {-150, -20, -140, 20, 7},
                        {0.001, 0.0095, 0.001, 0.001, 9}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.start << " .. " << c.end);
    double first = 0, spacing = 0;
    int count = 0;
    ASSERT_TRUE(GCalTickPositions(c.start, c.end, first, spacing, count, status));
    EXPECT_NEAR(first, c.first, 1e-9 * c.spacing);
    EXPECT_NEAR(spacing, c.spacing, 1e-12 * c.spacing);
    EXPECT_EQ(count, c.count);
  }
  double first, spacing;
  int count;
  EXPECT_FALSE(GCalTickPositions(2.0, 2.0, first, spacing, count, status));
  EXPECT_EQ(status, 17);
}

TEST_F(Graph, ConstantScansAndErrorBarsSetTheRange) {
  const float cases[][3] = {{5.0f, 4.95f, 5.05f}, {0.0f, -0.01f, 0.01f}, {-5.0f, -5.05f, -4.95f}};
  for (const auto& [value, low, high] : cases) {
    SCOPED_TRACE(value);
    DataSet d;
    Scan(d, 50, [&](int) { return value; });
    ASSERT_TRUE(GDrawXYGraph(headless->Canvas(), 0, 0, 800, 600, d, status));
    ExpectWorldY(low, high);
  }
  // Error bars: value 10 +/- 2 sets the range, and the bars are drawn.
  DataSet e;
  Scan(e, 20, [](int) { return 10.0f; });
  IAllocateVariances(e, status);
  for (int i = 0; i < 20; ++i) e.variances[IIndex(e, i, 0)] = 4.0f;
  e.variancesDefined = kTrue;
  ASSERT_TRUE(GDrawXYGraph(headless->Canvas(), 0, 0, 800, 600, e, status));
  ExpectWorldY(8.0f, 12.0f);
  const int x = GWorldToWindowX(10.5f);
  EXPECT_EQ(Ink(x, GWorldToWindowY(11.5f), x, GWorldToWindowY(8.5f)),
            GWorldToWindowY(8.5f) - GWorldToWindowY(11.5f) + 1);
}

TEST_F(Graph, DataLineNeedsOneRowOfTwoPointsAndGoesOutInSharedPieces) {
  DataSet d;
  Scan(d, 2500, [](int i) { return i < 1024 ? 0.0f : 1.0f; });
  ASSERT_TRUE(GSetWindow(headless->Canvas(), status));
  d.endY = 1;
  EXPECT_FALSE(GDrawDataXY(d, status));
  EXPECT_EQ(status, kStatusNot1D);
  IResetStatus(status);
  d.endY = 0;
  d.endX = 0;
  EXPECT_FALSE(GDrawDataXY(d, status));
  EXPECT_EQ(status, kStatusIntRange1);
  IResetStatus(status);

  // Pieces 0-1023, 1023-2046, 2046-2499, each sent in 200-point device calls (6 + 6 + 3).
  // The step from point 1023 to 1024 lies in the second piece: the pieces share end points.
  d.endX = 2499;
  GSetBP(800, 600, 0, 0, 800, 600, status);
  GSetDDR(0.0f, -0.5f, 2500.0f, 1.5f, status);
  GState().deviceCalls = 0;
  ASSERT_TRUE(GDrawDataXY(d, status));
  EXPECT_EQ(GState().deviceCalls, 15);
  const int column = GWorldToWindowX(1024.0f);
  EXPECT_GT(Ink(column - 1, GWorldToWindowY(0.75f), column + 1, GWorldToWindowY(0.25f)), 20);
}

TEST_F(Graph, ScanGraphHasFrameTicksNumbersAndLabels) {
  headless->SetClientSize(900, 600);
  DataSet d;
  // Powder lines on a falling background, 2-theta from 5 to 55 degrees.
  const auto profile = [](int i) {
    const double t = 5.0 + 0.02 * i;
    double v = 200.0 * std::exp(-t / 15.0) + 20.0;
    for (const double peak : {14.2, 16.4, 23.3, 27.4, 28.6, 33.1, 36.1, 37.1, 40.7, 43.2})
      v += 900.0 * std::exp(-0.5 * std::pow((t - peak) / 0.08, 2)) * 14.0 / peak;
    return static_cast<float>(v);
  };
  Scan(d, 2500, profile, 5.0f, 0.02f);
  d.title = "CeO2 2-theta scan";
  d.xLabel = "2-theta (degrees)";
  ASSERT_TRUE(GDrawXYGraph(headless->Canvas(), 0, 0, 900, 600, d, status));
  Keep("graph-scan.png");
  // The frame spans 10 % .. 98 % across and up to 95 %; below it, room for a line of numbers
  // and the X label under them (more than the 6 % that would put the label on the numbers).
  const int left = GWorldToWindowX(5.0f), right = GWorldToWindowX(55.0f);
  const int bottom = GWorldToWindowY(GState().worldMinY);
  const int top = GWorldToWindowY(GState().worldMaxY);
  EXPECT_EQ(std::vector<int>({left, right, top, bottom}), std::vector<int>({90, 882, 30, 560}));
  EXPECT_EQ(Ink(left, top, left, bottom), bottom - top + 1);
  EXPECT_EQ(Ink(left, top, right, top), right - left + 1);
  // Major ticks every 5 degrees point into the frame, about 7 pixels long.
  const int tick = GWorldToWindowX(25.0f);
  EXPECT_EQ(Ink(tick, bottom - 6, tick, bottom - 1), 6);
  EXPECT_EQ(Ink(tick, bottom - 12, tick, bottom - 9), 0);
  // Numbers under the X axis and left of the Y axis, the title above the frame, the X label
  // under the numbers, the upright intensity label far left; nothing in the top-left corner.
  const int fiveHundred = GWorldToWindowY(500.0f);
  EXPECT_GT(Ink(tick - 12, bottom + 2, tick + 12, bottom + 16), 10);
  EXPECT_GT(Ink(left - 45, fiveHundred - 10, left - 3, fiveHundred + 10), 10);
  EXPECT_GT(Ink(300, 0, 600, top - 1), 100);
  EXPECT_GT(Ink(350, bottom + 18, 560, 599), 50);
  EXPECT_GT(Ink(0, 250, left - 40, 350), 30);
  EXPECT_EQ(Ink(0, 0, 200, top - 3), 0);
  EXPECT_EQ(GState().textAngleTenths, 0);
}

// The numbers of an axis, then a gap, then its label, whatever the numbers' length and the
// window's width: a wide window writes large numbers, and "1.5e+12" or a tick at the centre
// of the X axis ("15") once stood under the label. Graphs, and the axes round a cake and a
// stack of scans.
TEST_F(Graph, AxisLabelsStandClearOfTheNumbers) {
  struct Row {
    const char* name;
    int width, height;
    bool image;
    AxisImageShape shape;
  };
  const Row rows[] = {
      {"powder scan", 900, 600, false, {}},
      {"bright scan", 1600, 700, false, {}},
      {"cake", 1400, 900, true, CakeShape()},
      {"stack", 1400, 900, true, StackShape()},
  };
  const auto dark = [this](int x, int y) {
    const PColour c = headless->Canvas()->Pixel(x, y);
    return c.red < 90 && c.green < 90 && c.blue < 90 ? 1 : 0;
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    headless->SetClientSize(row.width, row.height);
    // The information window docked under the drawing area, as the program starts it.
    IInfoCreateWindow("LV Information Window", 0, row.height - 100, row.width, 100, status);
    WDockInfoWindow(status);
    int areaWidth = row.width, areaHeight = row.height;
    if (row.image) WDrawingAreaSize(areaWidth, areaHeight, status);
    DataSet d;
    int left = 0, right = 0, top = 0, bottom = 0;
    if (row.image) {
      MakeAxisImage(d, row.shape, [](int x, int y) { return static_cast<float>(x % 50 + y); },
                    status);
      ASSERT_TRUE(LVPlotData(d, status));
      left = GPixelToWindowX(0, d);
      right = GPixelToWindowX(d.numX, d) - 1;
      top = GPixelToWindowY(d.numY, d) + 1;
      bottom = GPixelToWindowY(0, d);
    } else {
      const float peak = row.width > 1000 ? 1.5e12f : 900.0f;
      Scan(d, 3000, [peak](int i) { return peak * static_cast<float>(i % 300) / 300.0f; }, 0.0f,
           0.01f);
      d.title = "Scan";
      d.xLabel = "2-Theta (Degrees)";
      ASSERT_TRUE(GDrawXYGraph(headless->Canvas(), 0, 0, row.width, row.height, d, status));
      left = GWorldToWindowX(GState().worldMinX);
      right = GWorldToWindowX(GState().worldMaxX);
      top = GWorldToWindowY(GState().worldMaxY);
      bottom = GWorldToWindowY(GState().worldMinY);
    }
    Keep(std::string("labels-") + row.name + ".png");
    // Leftwards from the frame: the Y numbers, a gap, the label, and the canvas edge clear.
    const auto across = InkRuns(left - 2, 0, [&](int x) {
      int n = 0;
      for (int y = top; y <= bottom; ++y) n += dark(x, y);
      return n;
    });
    ASSERT_GE(across.size(), 2u);
    EXPECT_GE(InkGap(across[0], across[1]), 2);
    EXPECT_GT(across[1].last, 0);
    // Downwards from the frame: the X numbers, a gap, the label, and the bottom edge clear.
    const auto down = InkRuns(bottom + 2, areaHeight - 1, [&](int y) {
      int n = 0;
      for (int x = left; x <= right; ++x) n += dark(x, y);
      return n;
    });
    ASSERT_GE(down.size(), 2u);
    EXPECT_GE(InkGap(down[0], down[1]), 2);
    EXPECT_LT(down[1].last, areaHeight - 1);
    EXPECT_EQ(status, kStatusGood);
  }
}

// A scan stored from its largest abscissa (x = 5, 4, 3, 2, 1) is drawn on an axis that still
// rises to the right, each value at its own abscissa; painting it leaves the status good.
TEST_F(Graph, FallingAbscissaeAreDrawnOnARisingAxis) {
  DataSet d;
  const float values[] = {1.0f, 3.0f, 9.0f, 4.0f, 2.0f};
  Scan(d, 5, [&](int i) { return values[i]; }, 5.0f, -1.0f);
  d.title = "Falling d-spacings";
  ASSERT_TRUE(GDrawXYGraph(headless->Canvas(), 0, 0, 800, 600, d, status));
  EXPECT_EQ(status, kStatusGood);
  Keep("graph-falling.png");
  float minX, minY, maxX, maxY;
  GGetDDR(minX, minY, maxX, maxY, status);
  EXPECT_EQ(minX, 0.0f);
  EXPECT_EQ(maxX, 5.0f);
  // The line climbs from (5, 1) to (4, 3) and falls from (3, 9) to (2, 4).
  const auto inkNear = [&](float x, float y) {
    const int wx = GWorldToWindowX(x), wy = GWorldToWindowY(y);
    return Ink(wx - 2, wy - 2, wx + 2, wy + 2);
  };
  EXPECT_GT(inkNear(4.5f, 2.0f), 0);
  EXPECT_GT(inkNear(2.5f, 6.5f), 0);
  EXPECT_EQ(inkNear(4.5f, 6.5f), 0);
  headless->SetClientSize(640, 480);
  ASSERT_TRUE(LVPlotData(d, status));
  EXPECT_EQ(headless->WindowTitle(), "Lumivane V1.17.00: Falling d-spacings");
}

// A scan that cannot make a graph (one point, a value or variance that is not finite, an X
// axis without extent) paints its title and the reason instead, with the status left good, so
// no repaint ever reports a failure.
TEST_F(Graph, UndrawableScansPaintTheirReason) {
  struct Case {
    const char* name;
    int points;
    float bad, xStart, step;
    bool variance;
  };
  const Case cases[] = {{"one-point", 1, 0.0f, 5.0f, 1.0f, false},
                        {"inf", 6, INFINITY, 0.0f, 0.5f, false},
                        {"nan", 6, NAN, 0.0f, 0.5f, false},
                        {"inf-variance", 6, INFINITY, 0.0f, 0.5f, true},
                        {"no-step", 6, 0.0f, 5.0f, 1.0e-30f, false},
                        {"inf-start", 6, 0.0f, INFINITY, 1.0f, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DataSet d;
    Scan(d, c.points, [](int i) { return static_cast<float>(i % 3); }, c.xStart, c.step);
    d.title = "Bad scan";
    if (c.variance) {
      ASSERT_TRUE(IAllocateVariances(d, status));
      d.variancesDefined = kTrue;
      d.variances[IIndex(d, 2, 0)] = c.bad;
    } else if (c.bad != 0.0f || std::isnan(c.bad)) {
      d.data[IIndex(d, 2, 0)] = c.bad;
    }
    headless->Canvas()->FillRect(0, 0, 800, 600, PColour{0, 0, 0});
    ASSERT_TRUE(GDrawXYGraph(headless->Canvas(), 0, 0, 800, 600, d, status));
    EXPECT_EQ(status, kStatusGood);
    Keep(std::string("graph-") + c.name + ".png");
    // White ground, the title near the top, the reason across the middle, no frame.
    EXPECT_EQ(Ink(0, 0, 799, 30), 0);
    EXPECT_GT(Ink(300, 35, 500, 60), 20);
    EXPECT_GT(Ink(50, 285, 750, 315), 100);
    EXPECT_EQ(Ink(0, 330, 799, 599), 0);
    ASSERT_TRUE(LVPlotData(d, status));
    EXPECT_EQ(status, kStatusGood);
  }
}

TEST_F(Graph, PlotDataPaintsScansAndImagesAndTitlesTheWindow) {
  headless->SetClientSize(640, 480);
  IInfoCreateWindow("LV Information Window", 0, 380, 640, 100, status);
  IInfoAddLine("Lumivane V1.17.00", status);
  DataSet empty;
  ASSERT_TRUE(LVPlotData(empty, status));
  EXPECT_EQ(headless->WindowTitle(), "Lumivane V1.17.00");
  DataSet scan;
  Scan(scan, 300, [](int i) { return static_cast<float>(std::sin(i / 20.0)); });
  scan.title = "Sine scan";
  ASSERT_TRUE(LVPlotData(scan, status));
  EXPECT_EQ(headless->WindowTitle(), "Lumivane V1.17.00: Sine scan");

  // Rings about (150.5, 100.5), values 0 .. 1000; region (20, 30) to (119, 89).
  DataSet image;
  IInitialiseData(image, status);
  ASSERT_TRUE(IAllocateData(300, 200, image, status));
  for (int y = 0; y < 200; ++y)
    for (int x = 0; x < 300; ++x)
      image.data[IIndex(image, x, y)] =
          static_cast<float>(500.0 + 500.0 * std::cos(std::hypot(x - 150.0, y - 100.0) / 4.0));
  image.data[IIndex(image, 0, 0)] = 0.0f;
  image.data[IIndex(image, 150, 100)] = 1000.0f;
  image.numX = 300;
  image.numY = 200;
  std::tie(image.startX, image.startY, image.endX, image.endY) = std::tuple(20, 30, 119, 89);
  image.dataDefined = kTrue;
  std::tie(image.beamCentreX, image.beamCentreY) = std::pair(150.5f, 100.5f);
  ASSERT_TRUE(LVPlotData(image, status));
  Keep("plot-image.png");
  EXPECT_EQ(headless->WindowTitle(), "Lumivane V1.17.00: 0 to 1000 Intensity Range");
  PCanvas* canvas = headless->Canvas();
  // The marker's black cross on the beam centre, a white diagonal beside it.
  const int cx = GDataToWindowX(150.5f, image), cy = GDataToWindowY(100.5f, image);
  EXPECT_EQ(canvas->Pixel(cx, cy).red, 0);
  EXPECT_EQ(canvas->Pixel(cx + 2, cy + 2).red, 255);
  // The region's box is inverted: drawing it once more shows the image beneath.
  const int boxX = GPixelToWindowX(20, image), boxY = GPixelToWindowY(60, image);
  const PColour onBox = canvas->Pixel(boxX, boxY);
  GInitRubberBox(LVRegionRubberBox(), status);
  GDrawRubberBox(canvas, 20, 30, 119, 89, image, LVRegionRubberBox(), status);
  EXPECT_EQ(onBox.red, 255 - canvas->Pixel(boxX, boxY).red);
  // Scroll bars follow the image; the information window is framed over it.
  int minimum, maximum, position, page;
  headless->GetScrollbar(true, minimum, maximum, position, page);
  EXPECT_EQ(maximum, 299);
  EXPECT_EQ(canvas->Pixel(2, 382).red, 121);
  EXPECT_EQ(status, kStatusGood);
}

}  // namespace
