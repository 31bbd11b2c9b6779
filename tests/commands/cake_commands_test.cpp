// The cake, sector and error commands through the interpreter: the real Pilatus CeO2 image
// regrouped by azimuth keeps every ring on one 2-theta, sectors and Poisson errors reach the
// scan and its Chiplot file.
#include <gtest/gtest.h>

#include <QImage>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cmath>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "app/LVCommand.h"
#include "core/database.h"
#include "core/status.h"
#include "data/DataStores.h"
#include "maths/MGeometry.h"
#include "tests/support/AppFixture.h"
#include "tests/support/ScriptRun.h"
#include "tests/support/TestSupport.h"
#include "ui/LVDataStores.h"

namespace {

constexpr double kDegrees = 57.29577951308232;

// The centroid (degrees) of a ring in one row of a scan or cake: bins within 0.15 degrees of
// `expected`, less a straight background through the two outer bins each side. Negative when
// the row holds too little of the ring.
double RingCentre(const DataSet& d, int row, double expected, double& strength) {
  std::vector<double> x, y;
  for (int i = 0; i < d.numX; ++i) {
    const double at = d.xAxisStart + static_cast<double>(i) * d.pixelSizeX;
    if (std::fabs(at - expected) > 0.15) continue;
    x.push_back(at);
    y.push_back(d.data[IIndex(d, i, row)]);
  }
  strength = 0.0;
  if (x.size() < 6) return -1.0;
  const std::size_t n = x.size();
  const double xl = (x[0] + x[1]) / 2, yl = (y[0] + y[1]) / 2;
  const double xr = (x[n - 2] + x[n - 1]) / 2, yr = (y[n - 2] + y[n - 1]) / 2;
  double moment = 0.0;
  for (std::size_t k = 0; k < n; ++k) {
    const double v = std::max(0.0, y[k] - (yl + (yr - yl) * (x[k] - xl) / (xr - xl)));
    strength += v;
    moment += v * x[k];
  }
  return strength > 0.0 ? moment / strength : -1.0;
}

// Every ring of the table (the first `rings` of CeO2 with lattice constant a) lies in each
// azimuth row of the cake within `tolerance` degrees of the scan's ring. Rows where the ring
// runs along a detector gap hold too little of it to place it and are left out.
void CheckStraight(const DataSet& cake, const DataSet& scan, double a, int rings, double tolerance) {
  ASSERT_EQ(scan.numX, cake.numX);
  const int table[6][3] = {{1, 1, 1}, {2, 0, 0}, {2, 2, 0}, {3, 1, 1}, {2, 2, 2}, {4, 0, 0}};
  const int rows = cake.numY;
  for (int k = 0; k < rings; ++k) {
    const auto& hkl = table[k];
    const double d = a / std::sqrt(hkl[0] * hkl[0] + hkl[1] * hkl[1] + hkl[2] * hkl[2]);
    const double expected = 2.0 * std::asin(0.4066 / (2.0 * d)) * kDegrees;
    SCOPED_TRACE(testing::Message() << hkl[0] << hkl[1] << hkl[2] << " at " << expected);
    double whole = 0.0;
    const double line = RingCentre(scan, 0, expected, whole);
    ASSERT_GT(line, 0.0);
    EXPECT_NEAR(line, expected, 0.008);
    std::vector<double> strengths(static_cast<std::size_t>(rows), 0.0), centres = strengths;
    for (int row = 0; row < rows; ++row)
      centres[static_cast<std::size_t>(row)] = RingCentre(cake, row, expected, strengths[static_cast<std::size_t>(row)]);
    std::vector<double> sorted = strengths;
    std::sort(sorted.begin(), sorted.end());
    int checked = 0;
    double worst = 0.0;
    for (int row = 0; row < rows; ++row) {
      if (strengths[static_cast<std::size_t>(row)] < 0.5 * sorted[static_cast<std::size_t>(rows / 2)]) continue;
      ++checked;
      worst = std::max(worst, std::fabs(centres[static_cast<std::size_t>(row)] - line));
    }
    EXPECT_LT(worst, tolerance);
    EXPECT_GE(checked, rows / 2);
  }
}

class CakeCommandTest : public HeadlessAppTest {
 protected:
  void SetUp() override {
    HeadlessAppTest::SetUp();
    Run("Exit");
  }
  int Run(const std::string& name, const std::string& text = "", int value = 0) {
    CommandEvent event;
    event.text = text;
    event.value = value;
    return LVCommand(name, event, status);
  }
  void Answer(std::initializer_list<std::string> answers) {
    for (const std::string& a : answers) headless->QueueAnswer(a);
  }
  DataSet& Store(int index) { return LVStores().stores[static_cast<std::size_t>(index)]; }
};

// Rings of a simulated, tilted CeO2 image lie at one 2-theta in every azimuth row of the cake,
// within 0.005 degrees of the 1-D scan's ring.
TEST_F(CakeCommandTest, SimulatedTiltedRingsAreStraightAtEveryAzimuth) {
  DataSet& d = Store(0);
  d.beamCentreX = 240.5f;
  d.beamCentreY = 250.25f;
  d.distance = 0.1f;
  d.pixelSizeX = d.pixelSizeY = 172.0e-6f;
  d.wavelength = 0.4066e-10f;
  d.tiltAngle = -0.06f;  // 3.4 degrees
  d.tiltAxisAngle = 1.2f;
  Answer({"480", "500", "0.08", "1000", "10", "no"});
  ASSERT_TRUE(Run("Simulate_Powder", "", kCalibrantCeriumDioxide));
  Answer({"store 3", "store 1", "4", "36"});
  ASSERT_TRUE(Run("Integrate_Cake"));
  LVStores().mainIndex = 0;
  Answer({"store 4", "4"});
  ASSERT_TRUE(Run("Integrate_2Theta"));
  CheckStraight(Store(3), Store(4), 5.4111, 4, 0.005);
}

// The real Pilatus image with its published calibration. The rows scatter by up to some 0.015
// degrees about the scan's ring, as pyFAI's own cake of the same image and calibration does
// (-0.015 to +0.010 degrees for the first ring): the calibration's own error, not the cake's.
TEST_F(CakeCommandTest, PilatusRingsAreStraightAtEveryAzimuth) {
  const auto data = SharedData();
  if (data.empty() || !std::filesystem::exists(data / "CeO2_Pilatus1M.tif"))
    GTEST_SKIP() << "no shared detector files";
  ASSERT_TRUE(Run("Open_File", (data / "CeO2_Pilatus1M.tif").string()));
  ASSERT_TRUE(Run("Load_PONI", (data / "CeO2_Pilatus1M.poni").string()));
  Answer({"yes", "-0.5", "no"});  // detector gaps (-1) and bad pixels (-2)
  ASSERT_TRUE(Run("Mask_Threshold"));
  Answer({"store 3", "store 1", "4", "36"});
  ASSERT_TRUE(Run("Integrate_Cake"));
  const DataSet& cake = Store(3);
  ASSERT_EQ(cake.numY, 36);
  EXPECT_EQ(cake.yLabel, "Azimuth (Degrees)");
  LVStores().mainIndex = 0;
  Answer({"store 4", "4"});
  ASSERT_TRUE(Run("Integrate_2Theta"));
  CheckStraight(cake, Store(4), 5.411651, 6, 0.02);
}

TEST_F(CakeCommandTest, SectorsAndPoissonErrorsReachTheScanAndItsFile) {
  ScratchDir dir;
  DataSet& d = Store(0);
  int st = kStatusGood;
  ASSERT_TRUE(IAllocateData(200, 200, d, st));
  IDefineWholeImage(d, 200, 200);
  d.beamCentreX = d.beamCentreY = 100.0f;
  d.distance = 0.05f;
  d.pixelSizeX = d.pixelSizeY = 100.0e-6f;
  for (int y = 0; y < 200; ++y)
    for (int x = 0; x < 200; ++x) d.data[IIndex(d, x, y)] = x >= 100 ? 300.0f : 100.0f;
  d.dataDefined = kTrue;

  // The right half only (azimuths -60 to 60), then through 180 (the left half).
  Answer({"store 5", "store 1", "1", "-60", "60"});
  ASSERT_TRUE(Run("Integrate_Sector"));
  EXPECT_NE(Store(5).title.find("azimuth -60 to 60 degrees"), std::string::npos);
  LVStores().mainIndex = 0;
  Answer({"store 6", "store 1", "1", "120", "-120"});
  ASSERT_TRUE(Run("Integrate_Sector"));
  const float left = Store(6).data[40], right = Store(5).data[40];
  EXPECT_NEAR(right / left, 3.0f, 0.05f);
  float start = 0.0f;
  IGetDBRealItem("Sector_Azimuth_Start", start, st);
  EXPECT_EQ(start, 120.0f);
  EXPECT_FALSE(Store(6).variancesDefined);

  // Counting errors: switched on, the scan has variances and its Chiplot file an error column.
  LVStores().mainIndex = 0;
  ASSERT_TRUE(Run("Poisson_Errors"));
  EXPECT_TRUE(headless->MenuItemChecked(558));
  Answer({"store 7", "1"});
  ASSERT_TRUE(Run("Integrate_2Theta"));
  const DataSet& errors = Store(7);
  ASSERT_TRUE(errors.variancesDefined);
  EXPECT_GT(errors.variances[40], 0.0f);
  EXPECT_LT(errors.variances[40], errors.data[40]);  // many pixels per bin
  ASSERT_TRUE(Run("Save_Chiplot", dir.File("errors.chi")));
  // The count line says "errors"; data lines hold abscissa, value, 0.0 and the error.
  std::istringstream text(ReadFile(dir.File("errors.chi")));
  std::string line;
  for (int i = 0; i < 4; ++i) std::getline(text, line);
  EXPECT_NE(line.find(" errors"), std::string::npos) << line;
  for (int i = 0; i <= 40; ++i) std::getline(text, line);
  std::istringstream numbers(line);
  double x = 0, value = 0, zero = 1, error = 0;
  ASSERT_TRUE(numbers >> x >> value >> zero >> error) << line;
  EXPECT_NEAR(error, std::sqrt(errors.variances[40]), 1e-4 * error);
  ASSERT_TRUE(Run("Poisson_Errors"));
  EXPECT_FALSE(headless->MenuItemChecked(558));
}

}  // namespace

namespace {

// The cake in the program's window: drawn as an image with numbered axes below and left of it.
TEST(CakePicture, TheCakeIsDrawnWithItsAxes) {
  ScratchDir dir;
  const ScriptRun run = RunProgramScript(
      dir,
      "answer store 2\nanswer 480\nanswer 500\nanswer 0.08\nanswer 1000\nanswer 10\nanswer no\n"
      "Simulate_Powder\n"
      "answer store 3\nanswer store 1\nanswer 1\nanswer 90\n"
      "Integrate_Cake\n"
      "picture cake.png\n"
      "Exit\n");
  ASSERT_EQ(run.exitCode, 0) << run.log;
  QImage picture(QString::fromStdString(dir.File("cake.png")));
  ASSERT_FALSE(picture.isNull());
  // Left of the image (x < 80) and below it: the axis numbers and labels, dark on the hatch.
  auto dark = [&](int x0, int x1, int y0, int y1) {
    int n = 0;
    for (int y = y0; y < y1; ++y)
      for (int x = x0; x < x1; ++x) {
        const QRgb c = picture.pixel(x, y);
        n += qRed(c) + qGreen(c) + qBlue(c) < 150;
      }
    return n;
  };
  int bottom = picture.height() / 2;  // the image's last row: the lowest dark row at x = 100
  for (int y = 0; y < picture.height() - 120; ++y)
    if (dark(100, 101, y, y + 1)) bottom = y;
  EXPECT_GT(dark(20, 78, 10, bottom), 40);             // azimuth numbers and label
  EXPECT_GT(dark(80, 400, bottom + 4, bottom + 40), 40);  // 2-theta numbers and label
}

}  // namespace
