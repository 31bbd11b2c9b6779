// Window drawing: filled rectangles, the marker, inverted shapes and rubber shapes, the image
// overlays in data coordinates, menu items and the cursor.
#include <gtest/gtest.h>

#include <QImage>
#include <cmath>
#include <memory>
#include <numbers>

#include "core/status.h"
#include "graphics/GGraphics.h"
#include "graphics/GOverlay.h"
#include "platform/Headless.h"
#include "tests/support/TestSupport.h"
#include "ui/WDraw.h"

namespace {

class Draw : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetCoreState();
    PEnsureApplication();
    auto backend = std::make_unique<PHeadlessBackend>();
    headless = backend.get();
    PInstallBackend(std::move(backend));
    GResetState();
    canvas = headless->Canvas();
    // A different colour at nearly every pixel, so any change shows.
    QImage& image = Image();
    for (int y = 0; y < image.height(); ++y)
      for (int x = 0; x < image.width(); ++x) image.setPixel(x, y, qRgb(x % 251, y % 241, 60));
    original = image.copy();
  }
  void TearDown() override { ResetCoreState(); }

  QImage& Image() const { return *static_cast<QImage*>(canvas->Device()); }
  bool Inverted(int x, int y) const {
    return canvas->Pixel(x, y).red == 255 - qRed(original.pixel(x, y)) &&
           canvas->Pixel(x, y).blue == 255 - 60;
  }
  bool NearInverted(int x, int y) const {
    for (int dy = -2; dy <= 2; ++dy)
      for (int dx = -2; dx <= 2; ++dx)
        if (Inverted(x + dx, y + dy)) return true;
    return false;
  }
  int Changed() const {
    int n = 0;
    for (int y = 0; y < original.height(); ++y)
      for (int x = 0; x < original.width(); ++x) n += Image().pixel(x, y) != original.pixel(x, y);
    return n;
  }

  RecordingSink sink;
  PHeadlessBackend* headless = nullptr;
  PCanvas* canvas = nullptr;
  QImage original;
  int status = kStatusGood;
};

TEST_F(Draw, FilledRectangleAndMarker) {
  ASSERT_TRUE(WDrawFilledRectangle(canvas, {0, 0, 255}, 10, 10, 5, 5, status));
  EXPECT_EQ(Changed(), 36);
  EXPECT_EQ(canvas->Pixel(5, 5).blue, 255);
  EXPECT_EQ(canvas->Pixel(10, 10).blue, 255);

  // Black from 4 left to 4 right and up and down; white diagonals 3 out.
  ASSERT_TRUE(WDrawMarker(canvas, 50, 40, status));
  for (int d = -4; d <= 4; ++d)
    EXPECT_EQ(canvas->Pixel(50 + d, 40).red + canvas->Pixel(50, 40 + d).red, 0) << d;
  EXPECT_NE(canvas->Pixel(55, 40).red, 0);
  EXPECT_EQ(canvas->Pixel(47, 37).blue + canvas->Pixel(53, 37).blue, 2 * 255);
  EXPECT_EQ(canvas->Pixel(47, 43).blue + canvas->Pixel(53, 43).blue, 2 * 255);
  EXPECT_FALSE(WDrawMarker(nullptr, 0, 0, status));
  EXPECT_EQ(status, kStatusBadHandle);
}

TEST_F(Draw, RubberBoxDrawnTwiceGivesThePixelsBack) {
  RubberShape box;
  WInitRubberBox(box);
  ASSERT_TRUE(WDrawRubberBox(canvas, 120, 90, 20, 30, box, status));
  // Corners sorted; every outline pixel inverted once, the inside untouched.
  EXPECT_EQ(box.x1, 20);
  EXPECT_EQ(box.y1, 30);
  EXPECT_EQ(box.x2, 120);
  EXPECT_EQ(box.y2, 90);
  EXPECT_EQ(Changed(), 2 * 101 + 2 * 59);
  EXPECT_TRUE(Inverted(20, 30) && Inverted(120, 90) && Inverted(120, 30) && Inverted(20, 60));
  EXPECT_FALSE(Inverted(70, 60));
  const QImage shown = Image().copy();
  WDrawRubberBox(canvas, 20, 30, 120, 90, box, status);
  EXPECT_EQ(Image(), shown);
  // A new box takes the old one off first.
  WDrawRubberBox(canvas, 200, 150, 260, 170, box, status);
  EXPECT_FALSE(Inverted(20, 30));
  EXPECT_EQ(Changed(), 2 * 61 + 2 * 19);
  ASSERT_TRUE(WClearRubberBox(canvas, box, status));
  EXPECT_EQ(Image(), original);

  // A box without height is one line; a rubber band erases its old line the same way.
  WDrawInvertedBox(canvas, 10, 5, 40, 5, status);
  EXPECT_EQ(Changed(), 31);
  WDrawInvertedBox(canvas, 10, 5, 40, 5, status);
  RubberShape band;
  WInitRubberBand(band);
  WDrawRubberBand(canvas, 10, 10, 300, 200, band, status);
  WDrawRubberBand(canvas, 400, 10, 300, 200, band, status);
  WClearRubberBand(canvas, band, status);
  EXPECT_EQ(Image(), original);
  EXPECT_EQ(status, kStatusGood);
}

TEST_F(Draw, BoxSidesOutsideTheClipBoxAreLeftOut) {
  canvas->SetClip(0, 0, 99, 99);
  WDrawInvertedBox(canvas, 50, 50, 150, 80, status);
  // The left side and the visible halves of top and bottom; the right side is outside.
  EXPECT_EQ(Changed(), 50 + 50 + 29);
  WDrawInvertedBox(canvas, 50, 50, 150, 80, status);
  EXPECT_EQ(Image(), original);
  canvas->ClearClip();
  WDrawInvertedBox(canvas, 700, 100, 900, 200, status);  // past the window's right edge
  EXPECT_EQ(Changed(), 100 + 100 + 99);
}

TEST_F(Draw, CirclesAndEllipsesArePolygonsOfInvertedSides) {
  const std::pair<int, int> sides[] = {{9, 18},  {10, 36}, {19, 36}, {20, 72},
                                       {49, 72}, {50, 90}, {99, 90}, {100, 180}};
  for (const auto& [radius, n] : sides) EXPECT_EQ(WPolygonSides(radius), n) << radius;

  ASSERT_TRUE(WDrawInvertedCircle(canvas, 300, 250, 100, status));
  EXPECT_TRUE(Inverted(200, 250));  // where the walk starts
  EXPECT_FALSE(Inverted(300, 250));
  EXPECT_TRUE(NearInverted(371, 179) && NearInverted(300, 350));
  EXPECT_GT(Changed(), 500);  // about one pixel per step along the outline
  EXPECT_LT(Changed(), 700);
  WDrawInvertedCircle(canvas, 300, 250, 100, status);
  EXPECT_EQ(Image(), original);

  // A positive angle turns the first axis counter-clockwise on the screen (up and right).
  const float turn = static_cast<float>(std::numbers::pi / 4);
  ASSERT_TRUE(WDrawInvertedEllipse(canvas, 300, 250, 60, 15, turn, status));
  EXPECT_TRUE(NearInverted(342, 208));
  EXPECT_TRUE(NearInverted(258, 292));
  EXPECT_FALSE(NearInverted(342, 292));
  WDrawInvertedEllipse(canvas, 300, 250, 60, 15, turn, status);
  EXPECT_EQ(Image(), original);
}

TEST_F(Draw, OverlaysInDataCoordinatesFollowTheImageMapping) {
  DataSet d;
  d.numX = d.numY = 100;
  d.magnification = 4;
  GSetBP(800, 600, 3, 3, 400, 400, status);
  // Pixels 2..5 by 3..6 at magnification 4: the box takes in all sixteen pixels' squares.
  RubberShape box;
  ASSERT_TRUE(GInitRubberBox(box, status));
  ASSERT_TRUE(GDrawRubberBox(canvas, 5, 6, 2, 3, d, box, status));
  EXPECT_EQ(box.x1, GPixelToWindowX(2, d));
  EXPECT_EQ(box.y2, GPixelToWindowY(3, d));
  EXPECT_EQ(box.x2 - box.x1 + 1, 16);
  EXPECT_EQ(box.y2 - box.y1 + 1, 16);
  WClearRubberBox(canvas, box, status);

  ASSERT_TRUE(GDrawInvertedLine(canvas, d, 10.0f, 50.0f, 60.0f, 50.0f, status));
  EXPECT_TRUE(Inverted(GDataToWindowX(30.0f, d), GDataToWindowY(50.0f, d)));
  EXPECT_EQ(Changed(), 200);

  // A fitted ellipse in metres: 100 um pixels, centre (5 mm, 5 mm), radii 2 mm and 1 mm.
  Image() = original;
  d.pixelSizeX = d.pixelSizeY = 1.0e-4f;
  d.magnification = 1;
  ASSERT_TRUE(LVDrawInvertedEllipse(canvas, d, {0.005f, 0.005f, 0.002f, 0.001f, 0.0f}, status));
  const int cx = GDataToWindowX(50.0f, d), cy = GDataToWindowY(50.0f, d);
  EXPECT_TRUE(Inverted(cx - 20, cy));
  EXPECT_TRUE(NearInverted(cx, cy - 10));
  EXPECT_FALSE(NearInverted(cx, cy - 20));
}

TEST_F(Draw, MenuItemsAndCursor) {
  WSetMenuItem(550, kMenuItemGrey, status);
  WSetMenuItem(311, kMenuItemCheck, status);
  EXPECT_FALSE(headless->MenuItemEnabled(550));
  EXPECT_TRUE(headless->MenuItemChecked(311));
  EXPECT_FALSE(WSetMenuItem(311, 15, status));
  EXPECT_EQ(sink.lines.back(), "WARNING: WSetMenuItem: Unknown flag value");
  WSetCursor(kTrue, status);
  EXPECT_TRUE(headless->Busy());
  EXPECT_EQ(status, kStatusGood);
}

}  // namespace
