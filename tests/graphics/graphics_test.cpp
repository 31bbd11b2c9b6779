// The graphics layer, colour tables, rendering and display size, drawn into an offscreen
// back-buffer.
#include <gtest/gtest.h>

#include <QImage>
#include <cmath>
#include <memory>

#include "core/database.h"
#include "core/status.h"
#include "graphics/GColourTables.h"
#include "graphics/GDisplaySize.h"
#include "graphics/GGraphics.h"
#include "graphics/GImage.h"
#include "graphics/GRender.h"
#include "maths/MStatistics.h"
#include "platform/Headless.h"
#include "tests/support/TestSupport.h"
#include "ui/WInfo.h"
#include "ui/WWindow.h"

namespace {

class Graphics : public ::testing::Test {
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
  }
  void TearDown() override { ResetCoreState(); }

  // numX x numY image with value(x, y).
  template <class F>
  void Fill(DataSet& d, int numX, int numY, F value) {
    IInitialiseData(d, status);
    ASSERT_TRUE(IAllocateData(numX, numY, d, status));
    for (int y = 0; y < numY; ++y)
      for (int x = 0; x < numX; ++x) d.data[IIndex(d, x, y)] = value(x, y);
    d.numX = numX;
    d.numY = numY;
    d.endX = numX - 1;
    d.endY = numY - 1;
    d.dataDefined = kTrue;
  }

  GRGB Colour(int index) const { return GDisplay().colours[static_cast<std::size_t>(index)]; }
  static GRGB At(const PBitmap& b, int x, int rowFromBottom) {
    const std::uint8_t* p = b.bits.data() + (static_cast<std::size_t>(rowFromBottom) * b.stride + x) * 3;
    return {p[2], p[1], p[0]};
  }

  RecordingSink sink;
  PHeadlessBackend* headless = nullptr;
  int status = kStatusGood;
};

TEST_F(Graphics, ColourTablesHaveTheirExactEntries) {
  struct Probe {
    int code, entry;
    GRGB colour;
  };
  const Probe probes[] = {
      {706, 0, {0, 0, 0}},       {706, 512, {127, 127, 127}}, {706, 1023, {255, 255, 255}},
      {711, 256, {178, 0, 0}},   {711, 768, {255, 255, 0}},   {711, 1023, {255, 255, 254}},
      {710, 0, {0, 0, 0}},       {704, 43, {0, 0, 0}},        {704, 44, {0, 0, 0}},
      {704, 981, {255, 255, 255}}, {704, 982, {255, 255, 255}}, {704, 0, {255, 255, 255}},
      {704, 1023, {0, 0, 0}},
  };
  for (const Probe& p : probes) {
    SCOPED_TRACE(testing::Message() << p.code << " entry " << p.entry);
    ASSERT_TRUE(GSetColourTable(p.code, 1024, status));
    EXPECT_EQ(Colour(p.entry), p.colour);
  }
  GSetColourTable(710, 1024, status);
  EXPECT_GE(Colour(146).red, 250);
  EXPECT_EQ(Colour(146).green, 0);
  EXPECT_GE(Colour(146).blue, 250);
  EXPECT_LE(Colour(147).red, 5);
  // Contour bands only at the twelve band entries; elsewhere the white-to-black ramp.
  GSetColourTable(704, 1024, status);
  const auto contour = GDisplay().colours;
  GSetColourTable(708, 1024, status);
  int differences = 0;
  for (int i = 0; i < 1024; ++i) differences += !(contour[i] == GDisplay().colours[i]);
  EXPECT_LE(differences, 24);
  EXPECT_GE(differences, 20);
}

TEST_F(Graphics, RotationRoundTripsAndUnknownTablesChangeNothing) {
  const auto before = GDisplay().colours;
  GRotateColourTable(1, status);
  EXPECT_EQ(GDisplay().colours[1], before[0]);
  EXPECT_EQ(GDisplay().colours[0], before[1023]);
  GRotateColourTable(-1, status);
  EXPECT_EQ(GDisplay().colours, before);
  GRotateColourTable(1024, status);
  GRotateColourTable(-1024, status);
  EXPECT_EQ(GDisplay().colours, before);

  EXPECT_FALSE(GSetColourTable(700, 1024, status));
  EXPECT_FALSE(GSetColourTable(712, 1024, status));
  EXPECT_EQ(status, kStatusGood);
  EXPECT_EQ(GDisplay().colours, before);
  EXPECT_EQ(sink.lines.back(), "WARNING: GSetColourTable; Unknown colour table choice");
}

TEST_F(Graphics, TextHeightClassesAndAngles) {
  PCanvas* canvas = headless->Canvas();
  ASSERT_TRUE(GSetWindow(canvas, status));
  GSetBP(1000, 800, 0, 0, 1000, 800, status);
  GDefault(status);
  GSetTextHeight(0.02f, status);
  EXPECT_EQ(GState().textHeightClass, 20);
  GSetTextHeight(0.17f, status);
  EXPECT_EQ(GState().textHeightClass, 160);
  GSetTextHeight(0.2f, status);
  EXPECT_EQ(GState().textHeightClass, 200);
  EXPECT_FALSE(GSetTextHeight(0.0f, status));
  EXPECT_EQ(status, 25);
  IResetStatus(status);

  GSetTextHeight(0.012f, status);  // 12 pixels
  GSetTextAngle(90.0f, status);
  GText(0.5f, 0.5f, "vertical", status);
  EXPECT_EQ(GState().selectedFontAngle, 900);
  EXPECT_FALSE(GState().customFont);
  GSetTextAngle(45.0f, status);
  GText(0.5f, 0.5f, "slanted", status);
  EXPECT_TRUE(GState().customFont);
  EXPECT_EQ(GState().customFontTenths, 450);
  GSetTextAngle(-45.0f, status);
  EXPECT_EQ(GState().textAngleTenths, -449);
  EXPECT_FALSE(GSetTextAngle(181.0f, status));
  EXPECT_EQ(status, 25);
}

TEST_F(Graphics, PolyLinesGoOutInPiecesOfTwoHundredPoints) {
  ASSERT_TRUE(GSetWindow(headless->Canvas(), status));
  GSetBP(800, 600, 0, 0, 800, 600, status);
  std::vector<float> x(450), y(450);
  for (int i = 0; i < 450; ++i) {
    x[i] = i / 450.0f;
    y[i] = 0.5f;
  }
  GState().deviceCalls = 0;
  ASSERT_TRUE(GPolyLine(450, x.data(), y.data(), status));
  EXPECT_EQ(GState().deviceCalls, 3);
  EXPECT_FALSE(GPolyLine(1, x.data(), y.data(), status));
  EXPECT_EQ(status, 21);
  IResetStatus(status);
  // The line is drawn: a black pixel where the middle of the line falls.
  const PColour pixel = headless->Canvas()->Pixel(GWorldToWindowX(0.5f), GWorldToWindowY(0.5f));
  EXPECT_EQ(pixel.red + pixel.green + pixel.blue, 0);
}

TEST_F(Graphics, WorldWindowAndImageMappings) {
  GSetBP(1000, 500, 4, 0, 992, 496, status);
  EXPECT_FALSE(GSetDDR(2.0f, 0.0f, 2.0f, 1.0f, status));
  EXPECT_EQ(status, 17);
  IResetStatus(status);
  float minX, minY, maxX, maxY;
  GGetDDR(minX, minY, maxX, maxY, status);
  EXPECT_EQ(maxX, 1.0f);
  EXPECT_FALSE(GSetBP(10, 10, -1, 0, 5, 5, status));
  EXPECT_EQ(status, 21);
  IResetStatus(status);

  DataSet d;
  Fill(d, 100, 50, [](int, int) { return 0.0f; });
  d.magnification = 0;
  d.reduction = 3;
  d.displayStartX = 4;
  EXPECT_EQ(GPixelToWindowX(10, d), GState().imageLeft + 2);
  d.magnification = 2;
  d.displayStartX = 0;
  EXPECT_EQ(GWindowToPixelX(0, d), 0);        // left of the image
  EXPECT_EQ(GWindowToPixelX(100000, d), 99);  // beyond the right edge
  // Data row 0 at the bottom, window row 0 at the top; round trip of a pixel centre.
  const int px = GDataToWindowX(10.5f, d);
  const int py = GDataToWindowY(20.5f, d);
  EXPECT_EQ(GWindowToPixelX(px, d), 10);
  EXPECT_EQ(GWindowToPixelY(py, d), 20);
  EXPECT_GT(GPixelToWindowY(0, d), GPixelToWindowY(10, d));
  // A NaN coordinate maps somewhere defined, never by undefined conversion.
  (void)GDataToWindowX(std::nanf(""), d);
}

TEST_F(Graphics, ValueToColourIndex) {
  EXPECT_EQ(GLinearIndex(5.0f, 5.0f, 5.0f, false), 0);  // constant image: colour 0
  EXPECT_EQ(GLinearIndex(10.0f, 0.0f, 10.0f, false), 1023);
  EXPECT_EQ(GLinearIndex(5.0f, 0.0f, 10.0f, false), 512);
  EXPECT_EQ(GLinearIndex(5.0f, 0.0f, 10.0f, true), 511);
  EXPECT_EQ(GLinearIndex(std::nanf(""), 0.0f, 10.0f, false), 0);
  EXPECT_EQ(GLogIndex(1.0e-7f, 0.0f, 100.0f), 0);
  EXPECT_EQ(GLogIndex(-3.0f, 0.0f, 100.0f), 0);
  EXPECT_EQ(GLogIndex(100.0f, 1.0f, 100.0f), 1023);
  EXPECT_NEAR(GLogIndex(10.0f, 1.0f, 100.0f), 511, 1);
  // A maximum below the log minimum still gives a valid table.
  EXPECT_EQ(GLogIndex(5.0e-7f, 0.0f, 5.0e-7f), 0);
}

TEST_F(Graphics, LogIndexIsTheLargestThresholdNotAboveTheValue) {
  const float minimum = 0.37f, maximum = 61234.0f;
  const float base = std::log10(minimum);
  const float step = (std::log10(maximum) - base) * 0.0009775171f;
  std::vector<float> thresholds(1024);
  for (int i = 0; i < 1024; ++i) thresholds[i] = std::pow(10.0f, base + i * step);
  unsigned seed = 3;
  for (int k = 0; k < 20000; ++k) {
    seed = seed * 1664525u + 1013904223u;
    const float value = minimum * std::pow(10.0f, 5.3f * (seed >> 8) / 16777216.0f);
    int expected = 0;
    if (value >= maximum) {
      expected = 1023;
    } else if (value > minimum) {
      for (int i = 0; i < 1024; ++i)
        if (thresholds[i] <= value) expected = i;
    }
    ASSERT_EQ(GLogIndex(value, minimum, maximum), expected) << value;
  }
}

TEST_F(Graphics, RenderedBitmapsShowDataMaskAndBlocks) {
  DataSet d;
  Fill(d, 5, 3, [](int x, int y) { return static_cast<float>(x + 10 * y); });
  IAllocateMask(d, status);
  d.mask[IIndex(d, 4, 2)] = 1;
  d.maskDefined = d.maskInUse = kTrue;
  PBitmap b;
  int stride = 0;
  ASSERT_TRUE(WCreateBitmap(headless->Canvas(), 5, 3, stride, b, status));
  EXPECT_EQ(stride, 8);
  ASSERT_TRUE(GLinearScaledImage(0.0f, 24.0f, 0, 0, d, 5, 3, stride, b.bits.data(), status));
  EXPECT_EQ(At(b, 0, 0), Colour(0));
  EXPECT_EQ(At(b, 3, 1), Colour(GLinearIndex(13.0f, 0.0f, 24.0f, false)));
  EXPECT_EQ(At(b, 4, 2), GDisplay().maskColour);

  // Reduction 4: a wholly masked block shows the mask colour, a partly masked one the mean of
  // its unmasked pixels.
  DataSet big;
  Fill(big, 8, 4, [](int x, int) { return x < 4 ? 100.0f : 10.0f; });
  IAllocateMask(big, status);
  big.maskInUse = big.maskDefined = kTrue;
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 4; ++x) big.mask[IIndex(big, x, y)] = 1;
  big.mask[IIndex(big, 4, 0)] = 1;
  big.data[IIndex(big, 4, 0)] = 1.0e6f;  // masked: must not pull the mean up
  big.magnification = 0;
  big.reduction = 4;
  PBitmap r;
  WCreateBitmap(headless->Canvas(), 2, 1, stride, r, status);
  ASSERT_TRUE(GLinearRebinScaledImage(0.0f, 20.0f, 0, 0, big, 2, 1, stride, r.bits.data(), status));
  EXPECT_EQ(At(r, 0, 0), GDisplay().maskColour);
  EXPECT_EQ(At(r, 1, 0), Colour(GLinearIndex(10.0f, 0.0f, 20.0f, true)));
}

TEST_F(Graphics, DrawImageFindsTheRangeAndFitsMagnifiedColumns) {
  headless->SetClientSize(108, 108);
  PCanvas* canvas = headless->Canvas();
  DataSet d;
  Fill(d, 200, 200, [](int x, int) { return static_cast<float>(x); });
  d.magnification = 3;
  ASSERT_TRUE(GDrawImage(canvas, 3, 3, 100, 100, d, status));
  int method;
  float minimum, maximum;
  GGetIntensityScaling(method, minimum, maximum, status);
  EXPECT_EQ(method, kRangeFull);
  EXPECT_EQ(minimum, 0.0f);
  EXPECT_EQ(maximum, 32.0f);  // 33 visible columns in a 99-pixel bitmap
  EXPECT_EQ(d.endX, 199);     // the region is restored
  // Left of the bitmap: colour 0; last bitmap column: colour 1023; beyond it background.
  const PColour first = canvas->Pixel(3, 50);
  EXPECT_EQ(first.red, Colour(0).red);
  const PColour last = canvas->Pixel(3 + 98, 50);
  EXPECT_EQ(last.green, Colour(1023).green);
  EXPECT_EQ(GPixelToWindowX(0, d), 3);
  // The mapping of data rows matches the rows the bitmap occupies.
  EXPECT_EQ(GPixelToWindowY(0, d), 3 + 99 - 1);  // the bottom device row of data row 0

  // A constant image: minimum equals maximum, every pixel colour 0.
  DataSet flat;
  Fill(flat, 10, 10, [](int, int) { return 7.0f; });
  ASSERT_TRUE(GDrawImage(canvas, 3, 3, 100, 100, flat, status));
  GGetIntensityScaling(method, minimum, maximum, status);
  EXPECT_EQ(minimum, maximum);
  EXPECT_EQ(canvas->Pixel(5, 10).blue, Colour(0).blue);
}

TEST_F(Graphics, BadRegionIsCorrectedAndNoted) {
  headless->SetClientSize(60, 60);
  DataSet d;
  Fill(d, 20, 20, [](int x, int y) { return static_cast<float>(x * y); });
  d.endX = 25;
  ASSERT_TRUE(GDrawImage(headless->Canvas(), 3, 3, 52, 52, d, status));
  EXPECT_EQ(d.endX, 19);
  bool noted = false;
  for (const auto& line : sink.lines) noted |= line == "NOTE: Emergency correction of bad ROI:";
  EXPECT_TRUE(noted);
}

TEST_F(Graphics, WeakPeakRangeIgnoresABrightSpotOnANoisyBackground) {
  DataSet d;
  unsigned seed = 1;
  Fill(d, 1024, 1024, [&](int x, int y) {
    seed = seed * 1103515245u + 12345u;
    const float noise = static_cast<float>((seed >> 16) % 100) / 10.0f;
    return (std::abs(x - 512) < 3 && std::abs(y - 512) < 3) ? 1.0e6f : 100.0f + noise;
  });
  float minimum = 0, maximum = 0;
  ASSERT_TRUE(MROIWeakPeakScaling(d, minimum, maximum, status));
  EXPECT_GE(minimum, 100.0f);
  EXPECT_LT(maximum, 1000.0f);
  EXPECT_EQ(d.endX, 1023);

  // A fully masked region falls back to the full extremes (empty here).
  IAllocateMask(d, status);
  std::fill(d.mask.get(), d.mask.get() + IElementCount(d), 1);
  d.maskInUse = kTrue;
  ASSERT_TRUE(MROIWeakPeakScaling(d, minimum, maximum, status));
  EXPECT_GT(minimum, maximum);
}

TEST_F(Graphics, SetRangeMethodsAndSteps) {
  headless->QueueAnswer("10");
  headless->QueueAnswer("20");
  ASSERT_TRUE(LVCommandSetLUT(kRangeSet, status));
  int method;
  float minimum, maximum;
  GGetIntensityScaling(method, minimum, maximum, status);
  EXPECT_EQ(method, kRangeFull);  // 228 leaves the method
  EXPECT_EQ(minimum, 10.0f);
  EXPECT_EQ(maximum, 20.0f);
  LVCommandSetLUT(kRangeIncreaseMaximum, status);
  LVCommandSetLUT(kRangeDecreaseMaximum, status);
  GGetIntensityScaling(method, minimum, maximum, status);
  EXPECT_EQ(method, kRangeFixed);
  EXPECT_NEAR(maximum, 20.0f, 1e-4);
  EXPECT_TRUE(headless->MenuItemChecked(154));
  std::string stored;
  IGetDBItem("Intensity_Range_Method", stored, status);
  EXPECT_EQ(stored, "226");
  // Cancelling the dialog changes nothing.
  EXPECT_FALSE(LVCommandSetLUT(kRangeFixed, status));
  GGetIntensityScaling(method, minimum, maximum, status);
  EXPECT_NEAR(maximum, 20.0f, 1e-4);
}

TEST_F(Graphics, DisplaySizeChoices) {
  struct Case {
    int numX, numY, clientW, clientH, magnification, reduction;
  };
  const Case cases[] = {{2048, 2048, 600, 500, 0, 5},
                        {100, 100, 1000, 900, 8, 1},
                        {600, 400, 700, 500, 1, 1}};
  // The information window floats in a corner: the whole client area is the drawing area.
  IInfoCreateWindow("LV Information Window", 0, 0, 50, 50, status);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.numX << " in " << c.clientW);
    headless->SetClientSize(c.clientW, c.clientH);
    DataSet d;
    Fill(d, c.numX, c.numY, [](int, int) { return 0.0f; });
    d.magnification = 2;
    LVAutosetMagnification(d, status);
    EXPECT_EQ(d.magnification, c.magnification);
    if (c.magnification == 0) {
      EXPECT_EQ(d.reduction, c.reduction);
    }
  }
  // Already at magnification 1: nothing to do.
  DataSet d;
  Fill(d, 600, 400, [](int, int) { return 0.0f; });
  EXPECT_FALSE(LVAutosetMagnification(d, status));

  headless->SetClientSize(1000, 800);
  DataSet z;
  Fill(z, 3000, 3000, [](int, int) { return 0.0f; });
  z.startX = 100;
  z.endX = 149;
  z.startY = 200;
  z.endY = 239;
  ASSERT_TRUE(LVZoomROI(z, status));
  EXPECT_EQ(z.magnification, 8);
  EXPECT_EQ(z.displayStartX, 100);
  ASSERT_TRUE(LVUnZoom(z, status));
  EXPECT_EQ(z.magnification, 0);
  EXPECT_EQ(z.reduction, 4);
  EXPECT_EQ(z.startX, 100);  // the region survives the unzoom
  EXPECT_TRUE(headless->MenuItemChecked(134));
}

TEST_F(Graphics, PanningAndScrollBars) {
  headless->SetClientSize(108, 108);
  DataSet d;
  Fill(d, 1000, 1000, [](int, int) { return 0.0f; });
  GMoveDisplayY(0, d, status);
  EXPECT_EQ(d.displayStartY, 900);  // the top rows
  GMoveDisplay(kMovePageLeft, d, status);
  EXPECT_EQ(d.displayStartX, 0);
  GMoveDisplay(kMovePageRight, d, status);
  EXPECT_EQ(d.displayStartX, 50);
  GMoveDisplay(kMoveLineRight, d, status);
  EXPECT_EQ(d.displayStartX, 56);
  d.displayStartX = 5000;
  GMoveDisplay(kMoveValidate, d, status);
  EXPECT_EQ(d.displayStartX, 0);
  GSetDisplayScrollbars(d, status);
  int minimum, maximum, position, page;
  headless->GetScrollbar(false, minimum, maximum, position, page);
  EXPECT_EQ(maximum, 999);
  EXPECT_EQ(page, 100);
  EXPECT_EQ(position, 1000 - 900 - 100);

  DataSet small;
  Fill(small, 50, 50, [](int, int) { return 0.0f; });
  GMoveDisplay(kMovePageRight, small, status);
  EXPECT_EQ(small.displayStartX, 0);
}

TEST_F(Graphics, InvertingAPolygonTwiceRestoresEveryPixel) {
  PCanvas* canvas = headless->Canvas();
  WDrawBackground(canvas, kBackgroundHatchGrey, status);
  QImage before = static_cast<QImage*>(canvas->Device())->copy();
  const PPoint triangle[] = {{10, 10}, {200, 40}, {60, 300}};
  canvas->InvertPolygon(triangle, 3);
  EXPECT_NE(*static_cast<QImage*>(canvas->Device()), before);
  const PColour inside = canvas->Pixel(60, 60);
  const QRgb original = before.pixel(60, 60);
  EXPECT_EQ(inside.red, 255 - qRed(original));
  canvas->InvertPolygon(triangle, 3);
  EXPECT_EQ(*static_cast<QImage*>(canvas->Device()), before);
}

TEST_F(Graphics, RealPilatusImageShowsItsRings) {
  const auto data = SharedData();
  if (data.empty()) GTEST_SKIP() << "no shared data";
  // Read the Pilatus frame directly: one strip of signed 32-bit pixels at byte 4096.
  const std::string bytes = ReadFile((data / "CeO2_Pilatus1M.tif").string());
  ASSERT_GE(bytes.size(), 4096u + 981u * 1043u * 4u);
  DataSet d;
  Fill(d, 981, 1043, [&](int x, int y) {
    std::int32_t v;
    std::memcpy(&v, bytes.data() + 4096 + (static_cast<std::size_t>(y) * 981 + x) * 4, 4);
    return static_cast<float>(v);
  });
  headless->SetClientSize(1000, 1060);
  ASSERT_TRUE(GDrawImage(headless->Canvas(), 3, 3, 992, 1052, d, status));
  ScratchDir dir;
  const std::string png = dir.File("pilatus.png");
  ASSERT_TRUE(headless->SaveCanvas(png));
  // Rings: along a row through the beam centre the colour changes again and again.
  auto changesAlongCentreRow = [&]() {
    int changes = 0;
    PColour previous = headless->Canvas()->Pixel(3, 3 + 1043 - 512);
    for (int x = 4; x < 3 + 981; ++x) {
      const PColour c = headless->Canvas()->Pixel(x, 3 + 1043 - 512);
      changes += c.red != previous.red || c.green != previous.green || c.blue != previous.blue;
      previous = c;
    }
    return changes;
  };
  // With the full range the hot pixels (up to 621698) leave the rings in the first colours.
  EXPECT_GT(changesAlongCentreRow(), 5);
  const char* keep = std::getenv("LV_KEEP_PICTURES");
  if (keep) headless->SaveCanvas(std::string(keep) + "/pilatus-full-range.png");

  // The weak-peak range brings the faint rings up.
  GSetIntensityScaling(kRangeWeakPeak, 0.0f, 1.0f, status);
  ASSERT_TRUE(GDrawImage(headless->Canvas(), 3, 3, 992, 1052, d, status));
  EXPECT_GT(changesAlongCentreRow(), 300);
  if (keep) headless->SaveCanvas(std::string(keep) + "/pilatus-weak-peak.png");
  GSetLinearityMethod(kLogarithmic, status);
  GSetIntensityScaling(kRangeFull, 0.0f, 1.0f, status);
  ASSERT_TRUE(GDrawImage(headless->Canvas(), 3, 3, 992, 1052, d, status));
  if (keep) headless->SaveCanvas(std::string(keep) + "/pilatus-log.png");
}

}  // namespace

// ---- The intensity range kept between repaints ---------------------------------------------
// A change made behind the back of the generation (no IDataChanged) shows whether a draw
// rescanned: a kept range still has the old maximum.

class KeptRange : public Graphics {
 protected:
  void SetUp() override {
    Graphics::SetUp();
    headless->SetClientSize(308, 308);
    Fill(d, 200, 200, [](int x, int y) { return static_cast<float>(x + y); });  // max 398
  }
  // Draws `image` and returns the maximum of the range shown.
  float Drawn(DataSet& image, int width = 300, int height = 300) {
    EXPECT_TRUE(GDrawImage(headless->Canvas(), 3, 3, width, height, image, status));
    int method;
    float minimum, maximum;
    GGetIntensityScaling(method, minimum, maximum, status);
    return maximum;
  }
  DataSet d;
};

TEST_F(KeptRange, OutsideARedrawEveryDrawRescans) {
  EXPECT_EQ(Drawn(d), 398.0f);
  d.data[IIndex(d, 5, 5)] = 1000.0f;  // unannounced
  EXPECT_EQ(Drawn(d), 1000.0f);
}

TEST_F(KeptRange, ARedrawKeepsTheRangeUntilTheGenerationMoves) {
  const IDataSteadyScope redraw;
  EXPECT_EQ(Drawn(d), 398.0f);
  d.data[IIndex(d, 5, 5)] = 1000.0f;
  EXPECT_EQ(Drawn(d), 398.0f);  // kept
  IDataChanged();
  EXPECT_EQ(Drawn(d), 1000.0f);  // announced: found afresh
  d.data[IIndex(d, 5, 5)] = 2000.0f;
  EXPECT_EQ(Drawn(d), 1000.0f);
  {
    // A command that changes data runs: no range is kept while it does, and none after.
    const IDataChangeScope command;
    EXPECT_EQ(Drawn(d), 2000.0f);
    d.data[IIndex(d, 5, 5)] = 3000.0f;
    EXPECT_EQ(Drawn(d), 3000.0f);
    d.data[IIndex(d, 5, 5)] = 4000.0f;
  }
  EXPECT_EQ(Drawn(d), 4000.0f);
}

TEST_F(KeptRange, ANewRegionGivesAFreshRange) {
  const IDataSteadyScope redraw;
  EXPECT_EQ(Drawn(d), 398.0f);
  d.data[IIndex(d, 10, 10)] = 1000.0f;
  // A smaller view: columns and rows 0 to 99.
  EXPECT_EQ(Drawn(d, 100, 100), 1000.0f);
  d.data[IIndex(d, 10, 10)] = 2000.0f;
  headless->SetClientSize(108, 108);  // a window too small for the image can be scrolled
  d.displayStartX = 5;
  EXPECT_EQ(Drawn(d, 100, 100), 2000.0f);
  EXPECT_EQ(d.displayStartX, 5);
  headless->SetClientSize(308, 308);
  d.data[IIndex(d, 10, 10)] = 3000.0f;
  d.magnification = 0;  // reduced by 2: block means
  d.reduction = 2;
  d.displayStartX = 0;
  const float reduced = Drawn(d);
  EXPECT_GT(reduced, 398.0f);
  EXPECT_LT(reduced, 3000.0f);
  d.data[IIndex(d, 10, 10)] = 30000.0f;
  d.reduction = 4;
  EXPECT_GT(Drawn(d), reduced * 2.0f);
}

TEST_F(KeptRange, AMaskOrAnotherStoreGivesAFreshRange) {
  const IDataSteadyScope redraw;
  EXPECT_EQ(Drawn(d), 398.0f);
  ASSERT_TRUE(IAllocateMask(d, status));
  d.mask[IIndex(d, 199, 199)] = 1;
  d.maskDefined = kTrue;
  d.maskInUse = kTrue;
  IDataChanged();  // as the mask commands do
  EXPECT_EQ(Drawn(d), 397.0f);
  d.data[IIndex(d, 0, 0)] = 5000.0f;
  d.maskInUse = kFalse;  // the mask put out of use
  EXPECT_EQ(Drawn(d), 5000.0f);
  d.data[IIndex(d, 0, 0)] = 6000.0f;
  d.maskInUse = kTrue;
  EXPECT_EQ(Drawn(d), 6000.0f);

  // Another store of the same size and values but one, and the first again.
  DataSet other;
  Fill(other, 200, 200, [](int x, int y) { return static_cast<float>(x + y); });
  other.data[IIndex(other, 1, 1)] = 777.0f;
  EXPECT_EQ(Drawn(other), 777.0f);
  d.data[IIndex(d, 0, 0)] = 7000.0f;
  EXPECT_EQ(Drawn(d), 7000.0f);
}

TEST_F(KeptRange, TheWeakPeakRangeIsKeptAndRenewedToo) {
  int method;
  float minimum, maximum;
  GGetIntensityScaling(method, minimum, maximum, status);
  ASSERT_TRUE(GSetIntensityScaling(kRangeWeakPeak, minimum, maximum, status));
  const IDataSteadyScope redraw;
  const float first = Drawn(d);
  for (int y = 0; y < 200; ++y)
    for (int x = 0; x < 200; ++x) d.data[IIndex(d, x, y)] *= 2.0f;
  EXPECT_EQ(Drawn(d), first);
  IDataChanged();
  EXPECT_EQ(Drawn(d), 2.0f * first);
}
