// The peak, model and simulation commands through the interpreter with the headless backend:
// a Gaussian added with known parameters and fitted back ("Fit_Gaussian"), the direct beam
// found by "Beam_Fit_Gaussian", models built by clicks ("Model_Define") and optimised
// ("Model_Optimise"), the ramp and timing images and the Poisson noise command.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/LVCommand.h"
#include "app/LVMenus.h"
#include "commands/LVPeaks.h"
#include "core/database.h"
#include "core/status.h"
#include "maths/MPeaks.h"
#include "maths/MSimulate.h"
#include "platform/Headless.h"
#include "tests/support/ScriptRun.h"
#include "tests/support/TestSupport.h"
#include "tests/support/AppFixture.h"
#include "ui/LVMenus.h"
#include "ui/WInfo.h"

namespace {

class PeakCommands : public HeadlessAppTest {
 protected:
  void SetUp() override {
    HeadlessAppTest::SetUp();
    headless->SetClientSize(1000, 900);
    Run("Exit");  // the one-time initialisation
    MRandomRestart();
  }

  int Run(const std::string& name, int value = 0) {
    CommandEvent event;
    event.value = value;
    return LVCommand(name, event, status);
  }
  void Answer(const std::string& a) { headless->QueueAnswer(a); }
  void Answers(std::initializer_list<const char*> list) {
    for (const char* a : list) Answer(a);
  }
  DataSet& Main() { return LVStores().Main(); }
  DataSet& Store(int i) { return LVStores().stores[static_cast<std::size_t>(i)]; }

  void Flat(int nx, int ny, float level) {
    DataSet& d = Main();
    ASSERT_TRUE(IAllocateData(nx, ny, d, status));
    IDefineWholeImage(d, nx, ny);
    for (std::size_t i = 0; i < IElementCount(d); ++i) d.data[i] = level;
  }

  // The values of the last seven "Parameter %i = %f" lines, and their errors.
  std::vector<double> Fitted(std::vector<double>* errors = nullptr) {
    std::vector<double> values(7, NAN);
    if (errors) errors->assign(7, NAN);
    for (const auto& held : IInfoLines()) {
      const std::string line = held.rfind("INFO: ", 0) == 0 ? held.substr(6) : held;
      int i = -1;
      double v = 0.0;
      if (std::sscanf(line.c_str(), "Parameter %d standard error = %lf", &i, &v) == 2) {
        if (errors && i >= 0 && i < 7) (*errors)[static_cast<std::size_t>(i)] = v;
      } else if (std::sscanf(line.c_str(), "Parameter %d = %lf", &i, &v) == 2 && i >= 0 && i < 7) {
        values[static_cast<std::size_t>(i)] = v;
      }
    }
    return values;
  }
  static bool Said(const std::string& text) { return InfoHas("INFO: " + text); }
  bool InfoHasPart(const std::string& text) {
    for (const auto& held : IInfoLines())
      if (held.find(text) != std::string::npos) return true;
    return false;
  }
};

TEST_F(PeakCommands, AddedGaussianIsFittedBackOnNoiseFreeData) {
  Flat(200, 160, 25.0f);
  Answers({"101.3", "78.6", "800", "30", "7", "4"});
  ASSERT_TRUE(Run("Add_Gaussian"));
  EXPECT_TRUE(Said("Gaussian added to the data centred at (101.300003,78.599998) with "
                      "intensity 800.000000"));
  float sigma = 0.0f;
  IGetDBRealItem("Gaussian_Sigma1", sigma, status);
  EXPECT_EQ(sigma, 7.0f);

  Answer("store 1");
  ASSERT_TRUE(Run("Fit_Gaussian"));
  EXPECT_EQ(LVStores().mainIndex, 1);
  const std::vector<double> v = Fitted();
  EXPECT_NEAR(v[0], 25.0, 0.125);
  EXPECT_NEAR(v[1], 101.3, 0.01);
  EXPECT_NEAR(v[2], 78.6, 0.01);
  EXPECT_NEAR(v[3], 800.0, 4.0);
  EXPECT_NEAR(v[4], 30.0 / 57.29578, 0.005 * 0.5236);
  EXPECT_NEAR(v[5], 7.0, 0.035);
  EXPECT_NEAR(v[6], 4.0, 0.02);
  // The fitted model is in the chosen store, and equals the data.
  DataSet& model = Store(1);
  ASSERT_TRUE(model.dataDefined);
  EXPECT_NEAR(model.data[IIndex(model, 101, 78)], Store(0).data[IIndex(Store(0), 101, 78)], 1.0f);
  EXPECT_NEAR(model.data[IIndex(model, 5, 5)], 25.0f, 0.2f);
}

TEST_F(PeakCommands, PoissonDataAreFittedWithinTheReportedErrors) {
  Flat(160, 140, 40.0f);
  Answers({"82.7", "66.2", "300", "-20", "9", "5"});
  ASSERT_TRUE(Run("Add_Gaussian"));
  ASSERT_TRUE(Run("Add_Poisson_Distribution"));
  EXPECT_TRUE(Said("Main data values replaced by random values from Poisson distributions"));
  Answer("store 1");
  ASSERT_TRUE(Run("Fit_Gaussian"));
  std::vector<double> errors;
  const std::vector<double> v = Fitted(&errors);
  const double truth[7] = {40.0, 82.7, 66.2, 300.0, -20.0 / 57.29578, 9.0, 5.0};
  for (int i = 0; i < 7; ++i) {
    EXPECT_GT(errors[static_cast<std::size_t>(i)], 0.0);
    EXPECT_LE(std::fabs(v[static_cast<std::size_t>(i)] - truth[i]),
              2.0 * errors[static_cast<std::size_t>(i)])
        << "parameter " << i << " = " << v[static_cast<std::size_t>(i)] << " +/- "
        << errors[static_cast<std::size_t>(i)];
  }
}

TEST_F(PeakCommands, FitGaussianWithoutDataFitsTheTestPattern) {
  Answer("store 1");
  ASSERT_TRUE(Run("Fit_Gaussian"));
  EXPECT_EQ(Store(0).numX, 400);
  EXPECT_EQ(Store(0).numY, 300);
  EXPECT_TRUE(Said("Initial Fit Parameters"));
  EXPECT_TRUE(Said("Minimised Fit Parameters"));
  const std::vector<double> v = Fitted();
  EXPECT_NEAR(v[0], 20.0, 0.3);
  EXPECT_NEAR(v[1], 200.0, 1.0);
  EXPECT_NEAR(v[2], 150.0, 1.0);
  EXPECT_NEAR(v[3], 50.0, 2.0);
}

TEST_F(PeakCommands, AddGaussianRefusesZeroWidthAndFarPeaks) {
  Flat(50, 50, 1.0f);
  Answers({"25", "25", "100", "0", "0", "4"});
  EXPECT_FALSE(Run("Add_Gaussian"));
  EXPECT_EQ(status, kStatusGood);
  Answers({"5000", "25", "100", "0", "3", "4"});
  EXPECT_FALSE(Run("Add_Gaussian"));
  EXPECT_TRUE(InfoHasPart("lies outside the region of interest"));
  for (std::size_t i = 0; i < IElementCount(Main()); ++i) ASSERT_EQ(Main().data[i], 1.0f);
}

TEST_F(PeakCommands, PolarGaussianWithItsTwin) {
  Flat(120, 120, 0.0f);
  Main().beamCentreX = 60.0f;
  Main().beamCentreY = 60.0f;
  Answers({"90.5", "60.5", "200", "2", "10"});
  ASSERT_TRUE(Run("Add_Polar_Gaussian"));
  EXPECT_NEAR(Main().data[IIndex(Main(), 90, 60)], 200.0f, 3.0f);
  EXPECT_NEAR(Main().data[IIndex(Main(), 29, 59)], 200.0f, 3.0f);
  EXPECT_TRUE(InfoHasPart("Polar Gaussian added centred at (90.500000, 60.500000)"));
}

TEST_F(PeakCommands, BeamFitGaussianFindsTheDirectBeam) {
  Flat(300, 280, 8.0f);
  int local = kStatusGood;
  Gaussian2DPeak spot;
  spot.centreX = 151.37f;
  spot.centreY = 139.82f;
  spot.intensity = 6000.0f;
  spot.angle = 0.3f;
  spot.sigma1 = 2.6f;
  spot.sigma2 = 2.1f;
  ASSERT_TRUE(MGaussian2D(spot, Main(), local));
  const int startX = Main().startX, endX = Main().endX;
  Answer("click 150 141");
  ASSERT_TRUE(Run("Beam_Fit_Gaussian"));
  EXPECT_NEAR(Main().beamCentreX, 151.37f, 0.02f);
  EXPECT_NEAR(Main().beamCentreY, 139.82f, 0.02f);
  float x = 0.0f;
  IGetDBRealItem("Beam_CentreX", x, status);
  EXPECT_NEAR(x, 151.37f, 0.02f);
  // The region is restored.
  EXPECT_EQ(Main().startX, startX);
  EXPECT_EQ(Main().endX, endX);
}

TEST_F(PeakCommands, BeamFitGaussianOnNoisyCounts) {
  Flat(300, 280, 20.0f);
  int local = kStatusGood;
  Gaussian2DPeak spot;
  spot.centreX = 120.61f;
  spot.centreY = 170.27f;
  spot.intensity = 20000.0f;
  spot.sigma1 = spot.sigma2 = 3.0f;
  ASSERT_TRUE(MGaussian2D(spot, Main(), local));
  ASSERT_TRUE(MROIPoissonNoise(Main(), local));
  Answer("click 121 169");
  ASSERT_TRUE(Run("Beam_Fit_Gaussian"));
  EXPECT_NEAR(Main().beamCentreX, 120.61f, 0.05f);
  EXPECT_NEAR(Main().beamCentreY, 170.27f, 0.05f);
}

TEST_F(PeakCommands, BeamFitGaussianOnFlatDataChangesNothing) {
  Flat(100, 100, 8.0f);
  Main().beamCentreX = 12.0f;
  Answer("click 50 50");
  EXPECT_FALSE(Run("Beam_Fit_Gaussian"));
  EXPECT_EQ(Main().beamCentreX, 12.0f);
  EXPECT_EQ(status, kStatusGood);
}

TEST_F(PeakCommands, ModelOfAClickedGaussianIsOptimised) {
  Flat(160, 120, 0.0f);
  int local = kStatusGood;
  Gaussian2DPeak truth;
  truth.centreX = 80.4f;
  truth.centreY = 60.7f;
  truth.intensity = 500.0f;
  truth.angle = 0.2f;
  truth.sigma1 = 6.0f;
  truth.sigma2 = 4.0f;
  ASSERT_TRUE(MGaussian2D(truth, Main(), local));
  // The model store, the 2-D Gaussian entry, three clicks, then the end of the definition.
  Answers({"store 4", "store 2", "click 80 60", "click 87 62", "click 79 65", "store 0"});
  ASSERT_TRUE(Run("Model_Define"));
  EXPECT_EQ(LVStores().mainIndex, 4);
  ASSERT_EQ(LVModelDescription().components.size(), 1u);
  const Gaussian2DPeak clicked = LVModelDescription().components[0].gaussian;
  EXPECT_NEAR(clicked.centreX, 80.5f, 1e-4f);
  EXPECT_GT(clicked.intensity, 300.0f);

  ASSERT_TRUE(Run("Model_Optimise"));
  EXPECT_TRUE(Said("Model parameters before optimisation:"));
  EXPECT_TRUE(Said("Model parameters after optimisation:"));
  const Gaussian2DPeak g = LVModelDescription().components[0].gaussian;
  EXPECT_NEAR(g.centreX, 80.4f, 0.01f);
  EXPECT_NEAR(g.centreY, 60.7f, 0.01f);
  EXPECT_NEAR(g.intensity, 500.0f, 2.5f);
  EXPECT_NEAR(g.sigma1, 6.0f, 0.03f);
  EXPECT_NEAR(g.sigma2, 4.0f, 0.02f);
  EXPECT_NEAR(std::remainder(g.angle - 0.2, M_PI), 0.0, 0.005);
  DataSet& model = Store(4);
  EXPECT_NEAR(model.data[IIndex(model, 80, 60)], Store(0).data[IIndex(Store(0), 80, 60)], 1.0f);
}

TEST_F(PeakCommands, FitGaussianThatCannotConvergeChangesNothing) {
  Flat(80, 60, 5.0f);
  int local = kStatusGood;
  Gaussian2DPeak spot;
  spot.centreX = 40.0f;
  spot.centreY = 30.0f;
  spot.intensity = 100.0f;
  spot.sigma1 = 4.0f;
  spot.sigma2 = 3.0f;
  ASSERT_TRUE(MGaussian2D(spot, Main(), local));
  Main().data[IIndex(Main(), 3, 3)] = NAN;  // no finite sum of squares anywhere
  DataSet& model = Store(1);
  ASSERT_TRUE(IAllocateData(80, 60, model, local));
  IDefineWholeImage(model, 80, 60);
  for (std::size_t i = 0; i < IElementCount(model); ++i) model.data[i] = -3.0f;
  Answer("store 1");
  EXPECT_FALSE(Run("Fit_Gaussian"));
  EXPECT_EQ(status, kStatusGood);
  EXPECT_EQ(LVStores().mainIndex, 0);
  for (std::size_t i = 0; i < IElementCount(model); ++i) ASSERT_EQ(model.data[i], -3.0f);
  EXPECT_TRUE(InfoHasPart("did not converge"));
}

TEST_F(PeakCommands, ModelOfAClickedPolarGaussianIsOptimised) {
  Flat(200, 200, 0.0f);
  int local = kStatusGood;
  PolarGaussianPeak truth;
  truth.symmetryX = 99.5f;
  truth.symmetryY = 99.5f;
  truth.centreX = 150.2f;
  truth.centreY = 120.7f;
  truth.intensity = 300.0f;
  truth.radialSigma = 3.0f;
  truth.azimuthalSigma = 0.08f;
  truth.maxSigmas = 6;
  ASSERT_TRUE(MPolarGaussian2D(truth, Main(), local));
  Answers({"store 4", "store 3", "click 99 99", "click 150 120", "click 153 121",
           "click 148 125", "no", "store 0"});
  ASSERT_TRUE(Run("Model_Define"));
  ASSERT_EQ(LVModelDescription().components.size(), 1u);
  const PolarGaussianPeak clicked = LVModelDescription().components[0].polar;
  EXPECT_NEAR(clicked.radialSigma, 3.0f, 0.5f);
  EXPECT_NEAR(clicked.azimuthalSigma, 0.08f, 0.015f);
  ASSERT_TRUE(Run("Model_Optimise"));
  const PolarGaussianPeak g = LVModelDescription().components[0].polar;
  EXPECT_NEAR(g.centreX, 150.2f, 0.02f);
  EXPECT_NEAR(g.centreY, 120.7f, 0.02f);
  EXPECT_NEAR(g.intensity, 300.0f, 1.5f);
  EXPECT_NEAR(g.radialSigma, 3.0f, 0.015f);
  EXPECT_NEAR(g.azimuthalSigma, 0.08f, 0.0004f);
}

// Masked pixels and pixels that are no numbers (a detector's gaps, hot pixels) are left out.
TEST_F(PeakCommands, PolynomialModelFollowsTheData) {
  for (const bool spoiled : {false, true}) {
    LVStores().mainIndex = 0;  // the model of the first round is no main data
    Flat(90, 70, 0.0f);
    DataSet& d = Main();
    for (int y = 0; y < 70; ++y)
      for (int x = 0; x < 90; ++x)
        d.data[IIndex(d, x, y)] = 5.0f + 0.2f * x - 0.1f * y + 0.003f * x * y + 0.001f * x * x;
    if (spoiled) {
      ASSERT_TRUE(IAllocateMask(d, status));
      d.maskInUse = kTrue;
      for (int y = 0; y < 70; y += 3) {
        d.data[IIndex(d, (y * 7) % 90, y)] = 1.0e7f;
        d.mask[IIndex(d, (y * 7) % 90, y)] = 1;
        d.data[IIndex(d, (y * 11 + 5) % 90, y)] = std::nanf("");
      }
    }
    Answers({"store 4", "store 1", "2", "1", "store 0"});
    ASSERT_TRUE(Run("Model_Define")) << ::testing::PrintToString(transcript);
    DataSet& model = Store(4);
    for (int y = 0; y < 70; y += 7)
      for (int x = 0; x < 90; x += 9)
        EXPECT_NEAR(model.data[IIndex(model, x, y)],
                    5.0 + 0.2 * x - 0.1 * y + 0.003 * x * y + 0.001 * x * x, 0.02)
            << x << " " << y << (spoiled ? " spoiled" : "");
  }
}

TEST_F(PeakCommands, ModelOptimiseWithoutAModelWarns) {
  Flat(20, 20, 1.0f);
  LVModelDescription() = ModelDescription{};
  EXPECT_FALSE(Run("Model_Optimise"));
  EXPECT_EQ(status, kStatusGood);
}

TEST_F(PeakCommands, SimulateDataMakesTheRamp) {
  ASSERT_TRUE(Run("Simulate_Data"));
  DataSet& d = Main();
  EXPECT_EQ(d.numX, 1100);
  EXPECT_EQ(d.numY, 900);
  EXPECT_EQ(d.fileName, "simulated.dat");
  EXPECT_TRUE(Said("Main data simulated"));
  for (int y : {0, 450, 899}) {
    EXPECT_EQ(d.data[IIndex(d, 0, y)], 0.0f);
    EXPECT_EQ(d.data[IIndex(d, 1099, y)], 1099.0f);
  }
  EXPECT_FALSE(d.maskAllocated);
  EXPECT_EQ(d.endX, 1099);
  EXPECT_EQ(d.endY, 899);
}

TEST_F(PeakCommands, TestTimingFillsTheInnerRegion) {
  ASSERT_TRUE(Run("Test_Timing"));
  DataSet& d = Main();
  EXPECT_EQ(d.fileName, "timing_test_data.dat");
  EXPECT_EQ(d.startX, 450);
  EXPECT_EQ(d.endX, 4049);
  EXPECT_EQ(d.startY, 390);
  EXPECT_EQ(d.endY, 3509);
  EXPECT_EQ(d.data[IIndex(d, 449, 1000)], 0.0f);
  EXPECT_EQ(d.data[IIndex(d, 450, 390)], 3.5f);
  EXPECT_EQ(d.data[IIndex(d, 4049, 3509)], 3.5f);
  EXPECT_EQ(d.data[IIndex(d, 4050, 3509)], 0.0f);
  EXPECT_TRUE(InfoHasPart("Calculation time raw indexing = "));
  EXPECT_TRUE(InfoHasPart("Calculation time hand optimised = "));
}

TEST_F(PeakCommands, PoissonNoiseKeepsZerosAndIsReproducible) {
  Flat(40, 30, 0.0f);
  for (int x = 20; x < 40; ++x)
    for (int y = 0; y < 30; ++y) Main().data[IIndex(Main(), x, y)] = 12.0f;
  MRandomRestart();
  ASSERT_TRUE(Run("Add_Poisson_Distribution"));
  std::vector<float> first(Main().data.get(), Main().data.get() + IElementCount(Main()));
  for (int y = 0; y < 30; ++y) EXPECT_EQ(Main().data[IIndex(Main(), 5, y)], 0.0f);
  for (int x = 20; x < 40; ++x)
    for (int y = 0; y < 30; ++y) Main().data[IIndex(Main(), x, y)] = 12.0f;
  MRandomRestart();
  ASSERT_TRUE(Run("Add_Poisson_Distribution"));
  for (std::size_t i = 0; i < first.size(); ++i) ASSERT_EQ(Main().data[i], first[i]);
}

TEST_F(PeakCommands, MenuItemsAreLive) {
  const std::vector<int> unavailable = LVUnavailableMenuIds();
  for (int id : {406, 590, 591, 800, 801, 802, 803, 804, 805}) {
    EXPECT_EQ(std::count(unavailable.begin(), unavailable.end(), id), 0) << id;
  }
}

// Command scripts: the ramp, a direct-beam spot with counting noise, the beam fit by a click.
std::string RunPeakScript(ScratchDir& dir, const std::string& script, int& exitCode) {
  const ScriptRun run = RunProgramScript(dir, script);
  exitCode = run.exitCode;
  return run.log;
}

TEST(PeakScript, ADirectBeamIsFoundFromAScript) {
  ScratchDir dir;
  int code = -1;
  const std::string log = RunPeakScript(
      dir,
      "Simulate_Data\nanswer 10\nConstant_Set\n"
      "answer 500.3\nanswer 420.7\nanswer 5000\nanswer 0\nanswer 2.5\nanswer 2.5\n"
      "Add_Gaussian\nAdd_Poisson_Distribution\n"
      "answer click 500 420\nBeam_Fit_Gaussian\nExit\n",
      code);
  EXPECT_EQ(code, 0) << log;
  const std::size_t at = log.find("INFO: Beam centre set to (");
  ASSERT_NE(at, std::string::npos) << log;
  double x = 0, y = 0;
  ASSERT_EQ(std::sscanf(log.c_str() + at, "INFO: Beam centre set to (%lf, %lf)", &x, &y), 2);
  EXPECT_NEAR(x, 500.3, 0.05);
  EXPECT_NEAR(y, 420.7, 0.05);
}

TEST(PeakScript, ABeamFitOnFlatDataFailsTheScript) {
  ScratchDir dir;
  int code = -1;
  const std::string log = RunPeakScript(
      dir,
      "Simulate_Data\nanswer 10\nConstant_Set\nanswer click 500 420\nBeam_Fit_Gaussian\nExit\n",
      code);
  EXPECT_EQ(code, 1) << log;
  EXPECT_NE(log.find("command failed: Beam_Fit_Gaussian"), std::string::npos) << log;
}

}  // namespace
