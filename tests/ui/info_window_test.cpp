// The information window: its ring of lines, wrapping, the dynamic line and dragging, drawn
// into the headless back-buffer.
#include <gtest/gtest.h>

#include <QImage>
#include <memory>
#include <string>

#include "core/status.h"
#include "platform/Headless.h"
#include "tests/support/TestSupport.h"
#include "ui/WInfo.h"

namespace {

class Info : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetCoreState();
    PEnsureApplication();
    auto backend = std::make_unique<PHeadlessBackend>();
    headless = backend.get();
    PInstallBackend(std::move(backend));
    IInfoClear();
  }
  void TearDown() override {
    IInfoClear();
    ResetCoreState();
  }

  PCanvas* Canvas() { return headless->Canvas(); }
  QImage Snapshot() { return static_cast<QImage*>(Canvas()->Device())->copy(); }
  // Dark pixels in the 16-pixel text row whose top is rowTop, left 10 to right 423.
  int RowInk(int rowTop) {
    int n = 0;
    for (int y = rowTop; y < rowTop + 16; ++y)
      for (int x = 16; x <= 417; ++x) {
        const PColour c = Canvas()->Pixel(x, y);
        n += c.red + c.green + c.blue < 300;
      }
    return n;
  }
  int Mouse(PMouseKind kind, int x, int y) {
    return IInfoMoveRegion({kind, x, y}, redraw, status);
  }
  std::string Rectangle() {
    int l, t, w, h;
    IInfoGetPosition(l, t, w, h, status);
    return std::to_string(l) + " " + std::to_string(t) + " " + std::to_string(w) + " " +
           std::to_string(h);
  }

  RecordingSink sink;
  PHeadlessBackend* headless = nullptr;
  int status = kStatusGood;
  int redraw = kFalse;
};

TEST_F(Info, RingKeepsTheLastHundredLines) {
  for (int i = 0; i < 150; ++i) IInfoAddLine("line " + std::to_string(i), status);
  const auto lines = IInfoLines();
  ASSERT_EQ(lines.size(), 100u);
  EXPECT_EQ(lines.front(), "line 50");
  EXPECT_EQ(lines.back(), "line 149");
  // Before the first repaint lines are only kept.
  EXPECT_FALSE(IInfoDrawText(status));
  EXPECT_FALSE(IInfoDraw(nullptr, status));
  EXPECT_EQ(status, kStatusBadHandle);
}

TEST_F(Info, LongLinesWrapAtFiftyCharactersInSixteenPixelRows) {
  // right - left = 413 gives (413 - 13) / 8 = 50 characters a row; the lowest row's top is
  // 24 pixels above the bottom edge (399).
  ASSERT_TRUE(IInfoCreateWindow("LV Information Window", 10, 100, 414, 300, status));
  ASSERT_TRUE(IInfoDraw(Canvas(), status));
  const int lowest = 399 - 24;
  IInfoAddLine(std::string(240, 'M'), status);
  for (int row = 0; row < 5; ++row) EXPECT_GT(RowInk(lowest - 16 * row), 50) << row;
  EXPECT_EQ(RowInk(lowest - 16 * 5), 0);
  // Exactly 250 characters: five full rows above an empty sixth one.
  IInfoCreateWindow("LV Information Window", 10, 100, 414, 300, status);
  IInfoAddLine(std::string(250, 'M'), status);
  EXPECT_EQ(RowInk(lowest), 0);
  for (int row = 1; row < 6; ++row) EXPECT_GT(RowInk(lowest - 16 * row), 50) << row;
  EXPECT_EQ(RowInk(lowest - 16 * 6), 0);
  // Framed in purple with a bevel; nothing spills onto the frame.
  for (int y = 101; y < 399; ++y) ASSERT_EQ(Canvas()->Pixel(421, y).red, 121) << y;
  EXPECT_EQ(Canvas()->Pixel(10, 200).red, 188);
  EXPECT_EQ(Canvas()->Pixel(423, 200).red, 0);
}

TEST_F(Info, LiveReportsShareOneLineUntilAnotherMessageArrives) {
  IInfoCreateWindow("LV Information Window", 0, 400, 600, 200, status);
  ASSERT_TRUE(IInfoDraw(Canvas(), status));
  IInfoAddLine("ordinary message", status);
  IInfoDynamic(Canvas(), "X  100 Y  200 I   1234", status);
  IInfoDynamic(Canvas(), "X  101 Y  200 I 12", status);
  EXPECT_EQ(IInfoLines(), (std::vector<std::string>{"ordinary message", "X  101 Y  200 I 12"}));
  // Redrawing only the live line leaves what a full redraw shows, also for a shorter text
  // and for one that wraps onto a second row.
  QImage live = Snapshot();
  IInfoDrawText(status);
  EXPECT_EQ(Snapshot(), live);
  IInfoDynamic(Canvas(), std::string(100, 'L'), status);
  live = Snapshot();
  IInfoDrawText(status);
  EXPECT_EQ(Snapshot(), live);
  IInfoAddLine("another message", status);
  IInfoDynamic(nullptr, "X  102", status);
  IInfoDynamic(nullptr, "X  103", status);
  const auto lines = IInfoLines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[2], "another message");
  EXPECT_EQ(lines[3], "X  103");
}

TEST_F(Info, DraggingMovesAndResizesWithinTheSixteenPixelRule) {
  IInfoCreateWindow("LV Information Window", 100, 100, 200, 100, status);  // to (299, 199)
  ASSERT_TRUE(IInfoDraw(Canvas(), status));
  EXPECT_FALSE(Mouse(PMouseKind::kLeftDown, 50, 50));
  EXPECT_FALSE(Mouse(PMouseKind::kMove, 50, 50));
  EXPECT_TRUE(Mouse(PMouseKind::kMove, 150, 150));  // over it: kept from the image
  EXPECT_FALSE(Mouse(PMouseKind::kLeftUp, 150, 150));

  // The bottom-right corner dragged up and left past the whole rectangle stays where it was;
  // the rubber box follows the drag and goes with the release.
  const QImage before = Snapshot();
  EXPECT_TRUE(Mouse(PMouseKind::kLeftDown, 297, 197));
  EXPECT_TRUE(Mouse(PMouseKind::kMove, 250, 180));
  EXPECT_NE(Snapshot(), before);
  EXPECT_TRUE(Mouse(PMouseKind::kLeftUp, -10, 40));
  EXPECT_TRUE(redraw);
  EXPECT_EQ(Snapshot(), before);
  EXPECT_EQ(Rectangle(), "100 100 200 100");

  Mouse(PMouseKind::kLeftDown, 298, 198);  // the same corner, a little
  Mouse(PMouseKind::kLeftUp, 318, 178);
  EXPECT_EQ(Rectangle(), "100 100 220 80");
  Mouse(PMouseKind::kRightDown, 200, 102);  // the top edge: 22 rows left
  Mouse(PMouseKind::kRightUp, 200, 160);
  EXPECT_EQ(Rectangle(), "100 158 220 22");
  Mouse(PMouseKind::kRightDown, 200, 160);  // 16 rows would be too few
  Mouse(PMouseKind::kRightUp, 200, 166);
  EXPECT_EQ(Rectangle(), "100 158 220 22");
  // The interior moves it whole, past the client area; the next repaint brings it back.
  Mouse(PMouseKind::kLeftDown, 200, 170);
  Mouse(PMouseKind::kLeftUp, 900, 170);
  EXPECT_EQ(Rectangle(), "800 158 220 22");
  IInfoDraw(Canvas(), status);
  EXPECT_EQ(Rectangle(), "580 158 220 22");
}

TEST_F(Info, CreationReplacesValuesOutOfRangeAndKeepsInsideTheWindow) {
  IInfoCreateWindow("LV Information Window", -20, 500, 800, 100, status);
  EXPECT_EQ(Rectangle(), "0 500 800 100");
  IInfoCreateWindow("LV Information Window", 10, 20001, 20000, -5, status);
  EXPECT_EQ(Rectangle(), "10 0 100 100");
  IInfoCreateWindow("LV Information Window", 700, 550, 300, 120, status);  // 800 x 600 client
  EXPECT_EQ(Rectangle(), "500 480 300 120");
  headless->SetClientSize(200, 100);
  IInfoCheckPosition(status);
  EXPECT_EQ(Rectangle(), "0 0 200 100");
}

}  // namespace
