// The beam-centre fit commands through the interpreter with the headless backend: clicks on
// the rings of simulated powder images answered as "click X Y", the results against the
// geometry the image was simulated with, the warnings of too few points, and command scripts.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "app/LVCommand.h"
#include "commands/LVBeamFit.h"
#include "core/database.h"
#include "core/status.h"
#include "maths/MGeometry.h"
#include "maths/MRingFit.h"
#include "platform/Headless.h"
#include "tests/support/AppFixture.h"
#include "tests/support/ScriptRun.h"
#include "tests/support/TestSupport.h"
#include "ui/WInfo.h"

namespace {

class BeamFitCommands : public HeadlessAppTest {
 protected:
  void SetUp() override {
    HeadlessAppTest::SetUp();
    headless->SetClientSize(1200, 1000);
    Run("Exit");  // the one-time initialisation
    LVResetBeamFitAnswers();
  }

  int Run(const std::string& name, int value = 0) {
    CommandEvent event;
    event.value = value;
    return LVCommand(name, event, status);
  }
  void Answer(const std::string& a) { headless->QueueAnswer(a); }
  bool InfoHas(const std::string& text, bool part = false) {
    for (const auto& held : IInfoLines())
      if (part ? held.find(text) != std::string::npos : held == text) return true;
    return false;
  }
  DataSet& Main() { return LVStores().Main(); }

  // A cerium dioxide pattern in the main store at the given tilt (radians), no noise.
  void Simulate(float tiltAxis, float tilt) {
    DataSet& d = Main();
    d.beamCentreX = 240.5f;
    d.beamCentreY = 250.25f;
    d.distance = 0.1f;
    d.pixelSizeX = d.pixelSizeY = 172.0e-6f;
    d.wavelength = 0.4066e-10f;
    d.tiltAngle = tilt;
    d.tiltAxisAngle = tiltAxis;
    for (const char* a : {"480", "500", "0.08", "1000", "10", "no"}) Answer(a);
    ASSERT_TRUE(Run("Simulate_Powder", kCalibrantCeriumDioxide));
    ASSERT_TRUE(Run("Plot_Data"));
    truth = {d.beamCentreX * d.pixelSizeX, d.beamCentreY * d.pixelSizeY, d.distance,
             d.wavelength, d.tiltAxisAngle, d.tiltAngle};
  }

  // Clicks on `count` points of ring k (d-spacing in Angstrom), starting at angle `from`.
  void ClickRing(float dSpacing, int count, double from = 0.2, double spread = 2.0 * M_PI) {
    float cx, cy, r1, r2, a;
    int local = kStatusGood;
    ASSERT_TRUE(MPredictRingEllipse(truth, MRingTwoTheta(truth.wavelength, dSpacing * 1e-10),
                                    cx, cy, r1, r2, a, local));
    for (int i = 0; i < count; ++i) {
      const double t = from + spread * i / count;
      const double u = r1 * std::cos(t), v = r2 * std::sin(t);
      const double x = (cx + u * std::cos(a) - v * std::sin(a)) / Main().pixelSizeX;
      const double y = (cy + u * std::sin(a) + v * std::cos(a)) / Main().pixelSizeY;
      Answer(IFormat("click %.2f %.2f", x, y));
    }
  }
  // The radius (pixels) of ring d about the beam on an untilted detector.
  double RingRadius(float dSpacing) const {
    return truth.distance * std::tan(MRingTwoTheta(truth.wavelength, dSpacing * 1e-10)) /
           172.0e-6;
  }

  PowderGeometry truth;
};

TEST_F(BeamFitCommands, ACircleThroughClicksOnARingGivesTheBeamCentre) {
  Simulate(0.0f, 0.0f);
  Main().beamCentreX = Main().beamCentreY = 0.0f;
  ClickRing(3.1241f, 16);
  Answer("finish");
  ASSERT_TRUE(Run("Beam_Fit_Circle"));
  EXPECT_EQ(status, kStatusGood);
  // Clicks name whole pixels: the centre is good to a fraction of one.
  EXPECT_NEAR(Main().beamCentreX, 240.5f, 0.3f);
  EXPECT_NEAR(Main().beamCentreY, 250.25f, 0.3f);
  EXPECT_TRUE(InfoHas("Centre of fitted circle = (", true));
  float stored = 0.0f;
  IGetDBRealItem("Beam_CentreX", stored, status);
  EXPECT_FLOAT_EQ(stored, Main().beamCentreX);
}

TEST_F(BeamFitCommands, AnEllipseThroughClicksGivesItsCentreAndAxes) {
  Simulate(0.0f, 0.0f);
  // An ellipse of known centre, axes 120 and 90 pixels, first axis at 30 degrees.
  const double a = 30.0 * kDegreesToRadians;
  for (int i = 0; i < 24; ++i) {
    const double t = i * 2.0 * M_PI / 24;
    const double u = 120.0 * std::cos(t), v = 90.0 * std::sin(t);
    Answer(IFormat("click %.2f %.2f", 230.0 + u * std::cos(a) - v * std::sin(a),
                   260.0 + u * std::sin(a) + v * std::cos(a)));
  }
  Answer("finish");
  ASSERT_TRUE(Run("Beam_Fit_Ellipse"));
  // The clicks are the points themselves (to the hundredth of a pixel written).
  EXPECT_NEAR(Main().beamCentreX, 230.0f, 0.05f);
  EXPECT_NEAR(Main().beamCentreY, 260.0f, 0.05f);
  EXPECT_TRUE(InfoHas("Ellipse first axis angle = ", true));
  bool axes = false;
  for (const auto& line : IInfoLines()) {
    double angle = 0, r1 = 0, r2 = 0;
    if (std::sscanf(line.c_str(),
                    "INFO: Ellipse first axis angle = %lf, radius = %lf, 2nd axis radius = %lf",
                    &angle, &r1, &r2) == 3 ||
        std::sscanf(line.c_str(), "Ellipse first axis angle = %lf, radius = %lf, 2nd axis radius = %lf",
                    &angle, &r1, &r2) == 3) {
      axes = std::fabs(r1 - 120.0) < 0.5 && std::fabs(r2 - 90.0) < 0.5 &&
             std::fabs(std::remainder(angle - 30.0, 180.0)) < 0.5;
    }
  }
  EXPECT_TRUE(axes);
}

TEST_F(BeamFitCommands, TooFewClicksGiveTheWarningsAndKeepTheCentre) {
  Simulate(0.0f, 0.0f);
  Main().beamCentreX = 7.0f;
  Answer("click 300 250");
  Answer("click 250 300");
  Answer("finish");
  EXPECT_FALSE(Run("Beam_Fit_Circle"));
  EXPECT_TRUE(InfoHas("3 OR MORE COORDINATES MUST BE ENTERED FOR FITTING CIRCLE", true));
  for (const char* c : {"click 300 250", "click 250 300", "click 200 250", "click 250 200"})
    Answer(c);
  Answer("finish");
  EXPECT_FALSE(Run("Beam_Fit_Ellipse"));
  EXPECT_TRUE(InfoHas("5 OR MORE COORDINATES MUST BE ENTERED FOR FITTING ELLIPSE", true));
  Answer("yes");
  Answer("yes");
  for (const char* c : {"click 300 250", "click 250 300", "click 200 250"}) Answer(c);
  Answer("finish");
  EXPECT_FALSE(Run("Beam_Fit_Powder"));
  EXPECT_TRUE(InfoHas("5 OR MORE COORDINATES MUST BE ENTERED FOR FITTING POWDER RING", true));
  Answer("no");
  Answer("no");
  EXPECT_FALSE(Run("Beam_Fit_Powder"));
  EXPECT_TRUE(InfoHas("NOTHING TO FIT; NEITHER BEAM CENTRE, NOR DETECTOR TILT !", true));
  EXPECT_FLOAT_EQ(Main().beamCentreX, 7.0f);
  EXPECT_EQ(status, kStatusGood);
}

TEST_F(BeamFitCommands, APowderFitFromClicksRecoversTheBeamCentreAndTilt) {
  const float axis = 1.2f, tilt = 0.06f;  // 3.4 degrees
  Simulate(axis, tilt);
  Main().beamCentreX = 230.0f;
  Main().beamCentreY = 260.0f;
  Main().tiltAngle = Main().tiltAxisAngle = 0.0f;
  Answer("yes");
  Answer("yes");
  ClickRing(3.1241f, 10);
  Answer("finish");
  // The search limit: 6 pixels outside the first ring, to the right of the centre.
  Answer(IFormat("click %.2f %.2f", 240.5 + RingRadius(3.1241f) + 6.0, 250.25));
  ClickRing(2.7056f, 1, 1.0);
  ClickRing(1.9131f, 1, 2.0);
  Answer("finish");
  ASSERT_TRUE(Run("Beam_Fit_Powder"));
  EXPECT_EQ(status, kStatusGood);
  EXPECT_NEAR(Main().beamCentreX, 240.5f, 0.1f);
  EXPECT_NEAR(Main().beamCentreY, 250.25f, 0.1f);
  EXPECT_NEAR(Main().tiltAngle, tilt, 0.004f);
  EXPECT_NEAR(Main().tiltAxisAngle, axis, 0.05f);
  EXPECT_TRUE(InfoHas("Fit to coordinates found on ring:", true));
  EXPECT_TRUE(InfoHas("Alternative tilt and beam centre fit:", true));
  EXPECT_TRUE(InfoHas("solution has the smaller RMS error", true));
  EXPECT_TRUE(InfoHas("Powder cone 3 D-spacing = 1.91", true));
  EXPECT_TRUE(InfoHas("coordinates found on powder ring", true));
  float stored = 0.0f;
  IGetDBRealItem("Tilt_Angle", stored, status);
  EXPECT_NEAR(stored, tilt * kRadiansToDegrees, 0.25f);
  for (const auto& line : IInfoLines()) EXPECT_EQ(line.find("nan"), std::string::npos) << line;
  if (std::getenv("LV_SHOW_INFO"))
    for (const auto& line : IInfoLines()) std::printf("%s\n", line.c_str());
}

TEST_F(BeamFitCommands, PointsOnALineGiveNoCentre) {
  Simulate(0.0f, 0.0f);
  Main().beamCentreX = 7.0f;
  for (const char* c : {"click 100 100", "click 150 150", "click 200 200", "click 250 250",
                        "click 300 300"}) {
    Answer(c);
  }
  Answer("finish");
  EXPECT_FALSE(Run("Beam_Fit_Circle"));
  EXPECT_TRUE(InfoHas("The points give no usable circle or ellipse", true));
  EXPECT_FLOAT_EQ(Main().beamCentreX, 7.0f);
  EXPECT_EQ(status, kStatusGood);
}

TEST_F(BeamFitCommands, APowderFitOnANoisyImageFindsTheBeamCentre) {
  DataSet& d = Main();
  d.beamCentreX = 240.5f;
  d.beamCentreY = 250.25f;
  d.distance = 0.1f;
  d.pixelSizeX = d.pixelSizeY = 172.0e-6f;
  d.wavelength = 0.4066e-10f;
  d.tiltAngle = 0.04f;
  d.tiltAxisAngle = -0.7f;
  // Weak rings (peak 200 counts over 50) with counting noise.
  for (const char* a : {"480", "500", "0.08", "200", "50", "yes"}) Answer(a);
  ASSERT_TRUE(Run("Simulate_Powder", kCalibrantCeriumDioxide));
  ASSERT_TRUE(Run("Plot_Data"));
  truth = {d.beamCentreX * d.pixelSizeX, d.beamCentreY * d.pixelSizeY, d.distance,
           d.wavelength, d.tiltAxisAngle, d.tiltAngle};
  d.beamCentreX = 244.0f;
  d.beamCentreY = 247.0f;
  d.tiltAngle = d.tiltAxisAngle = 0.0f;
  Answer("yes");
  Answer("yes");
  ClickRing(3.1241f, 9);
  Answer("finish");
  Answer(IFormat("click %.2f %.2f", 240.5, 250.25 - RingRadius(3.1241f) - 6.0));
  ClickRing(2.7056f, 1, 2.0);
  ClickRing(1.9131f, 1, 3.0);
  ClickRing(1.6315f, 1, 4.0);
  Answer("finish");
  ASSERT_TRUE(Run("Beam_Fit_Powder"));
  EXPECT_NEAR(d.beamCentreX, 240.5f, 0.15f);
  EXPECT_NEAR(d.beamCentreY, 250.25f, 0.15f);
  EXPECT_NEAR(d.tiltAngle * std::cos(d.tiltAxisAngle), 0.04 * std::cos(-0.7), 0.005);
  EXPECT_NEAR(d.tiltAngle * std::sin(d.tiltAxisAngle), 0.04 * std::sin(-0.7), 0.005);
  if (std::getenv("LV_SHOW_INFO"))
    for (const auto& line : IInfoLines()) std::printf("%s\n", line.c_str());
}

TEST_F(BeamFitCommands, APowderFitOfTheBeamCentreAloneKeepsTheTilt) {
  Simulate(0.0f, 0.0f);
  Main().beamCentreX = 236.0f;
  Main().beamCentreY = 255.0f;
  Answer("yes");
  Answer("no");
  ClickRing(3.1241f, 8);
  Answer("finish");
  Answer(IFormat("click %.2f %.2f", 240.5, 250.25 + RingRadius(3.1241f) - 6.0));
  Answer("finish");  // no further rings
  ASSERT_TRUE(Run("Beam_Fit_Powder"));
  EXPECT_NEAR(Main().beamCentreX, 240.5f, 0.1f);
  EXPECT_NEAR(Main().beamCentreY, 250.25f, 0.1f);
  EXPECT_FLOAT_EQ(Main().tiltAngle, 0.0f);
  EXPECT_FALSE(InfoHas("Alternative tilt and beam centre fit:", true));
}

TEST_F(BeamFitCommands, ARingSearchOnAMaskedImageEndsCleanly) {
  Simulate(0.0f, 0.0f);
  DataSet& d = Main();
  ASSERT_TRUE(IAllocateMask(d, status));
  d.maskInUse = kTrue;
  d.maskDefined = kTrue;
  for (std::size_t i = 0; i < IElementCount(d); ++i) d.mask[i] = 1;
  d.beamCentreX = 236.0f;
  d.tiltAngle = 0.0f;
  Answer("yes");
  Answer("yes");
  ClickRing(3.1241f, 8);
  Answer("finish");
  Answer(IFormat("click %.2f %.2f", 240.5, 250.25 + RingRadius(3.1241f) - 6.0));
  EXPECT_FALSE(Run("Beam_Fit_Powder"));
  EXPECT_TRUE(InfoHas("RING SEARCH FOUND LESS THAN 6 COORDINATES. CANNOT FIT TILT", true));
  EXPECT_FLOAT_EQ(d.beamCentreX, 236.0f);
  EXPECT_FLOAT_EQ(d.tiltAngle, 0.0f);
  EXPECT_EQ(status, kStatusGood);
}

// The real Pilatus CeO2 image: clicks on the first ring and one on each of two more give the
// beam centre and tilt of its published calibration.
TEST_F(BeamFitCommands, ThePilatusCeriumDioxideImageGivesItsBeamCentreAndTilt) {
  const auto data = SharedData();
  if (data.empty() || !std::filesystem::exists(data / "CeO2_Pilatus1M.tif")) {
    GTEST_SKIP() << "no shared detector files";
  }
  CommandEvent open;
  open.text = (data / "CeO2_Pilatus1M.tif").string();
  ASSERT_TRUE(LVCommand("Open_File", open, status));
  Answer("yes");  // calibrated on the image shown upside down
  CommandEvent poni;
  poni.text = (data / "CeO2_Pilatus1M.poni").string();
  ASSERT_TRUE(LVCommand("Load_PONI", poni, status));
  for (const char* a : {"yes", "-0.5", "no"}) Answer(a);  // gaps (-1) and bad pixels (-2)
  ASSERT_TRUE(Run("Mask_Threshold"));
  ASSERT_TRUE(Run("Plot_Data"));
  DataSet& d = Main();
  truth = {d.beamCentreX * d.pixelSizeX, d.beamCentreY * d.pixelSizeY, d.distance,
           d.wavelength, d.tiltAxisAngle, d.tiltAngle};
  const float beamX = d.beamCentreX, beamY = d.beamCentreY;
  const float tilt = d.tiltAngle, axis = d.tiltAxisAngle;
  d.beamCentreX += 3.0f;
  d.beamCentreY -= 2.0f;
  d.tiltAngle = d.tiltAxisAngle = 0.0f;
  Answer("yes");
  Answer("yes");
  ClickRing(3.1241f, 12);
  Answer("finish");
  const double limit = RingRadius(3.1241f) + 8.0;  // 8 pixels outside the ring
  Answer(IFormat("click %.2f %.2f", beamX + limit, static_cast<double>(beamY)));
  ClickRing(2.7056f, 1, 1.0);
  ClickRing(1.9131f, 1, 2.5);
  ClickRing(1.6315f, 1, 4.0);
  Answer("finish");
  ASSERT_TRUE(Run("Beam_Fit_Powder"));
  EXPECT_NEAR(d.beamCentreX, beamX, 0.3f);
  EXPECT_NEAR(d.beamCentreY, beamY, 0.3f);
  const double nx = std::sin(d.tiltAngle) * std::cos(d.tiltAxisAngle);
  const double ny = std::sin(d.tiltAngle) * std::sin(d.tiltAxisAngle);
  EXPECT_NEAR(nx, std::sin(tilt) * std::cos(axis), 0.002);
  EXPECT_NEAR(ny, std::sin(tilt) * std::sin(axis), 0.002);
  if (std::getenv("LV_SHOW_INFO"))
    for (const auto& line : IInfoLines()) std::printf("%s\n", line.c_str());
}

TEST_F(BeamFitCommands, TheMenuItemsHaveTheirCommands) {
  EXPECT_TRUE(LVCommandRegistered("Beam_Fit_Circle"));
  EXPECT_TRUE(LVCommandRegistered("Beam_Fit_Ellipse"));
  EXPECT_TRUE(LVCommandRegistered("Beam_Fit_Powder"));
}

// Command scripts: a simulated pattern and each fit with its clicks.
std::string RunScript(ScratchDir& dir, const std::string& script, int& exitCode) {
  const ScriptRun run = RunProgramScript(dir, script);
  exitCode = run.exitCode;
  return run.log;
}

// Pixel clicks on ring d of an untilted detector about (256.5, 250.5), 100 micron pixels,
// distance 0.05 m, wavelength 1 Angstrom.
std::string RingClicks(double dSpacing, int count, double from) {
  const double radius = 0.05 * std::tan(MRingTwoTheta(1.0, dSpacing)) / 1.0e-4;
  std::string lines;
  for (int i = 0; i < count; ++i) {
    const double t = from + 2.0 * M_PI * i / count;
    lines += IFormat("answer click %.2f %.2f\n", 256.5 + radius * std::cos(t),
                     250.5 + radius * std::sin(t));
  }
  return lines;
}

const char* kSimulation =
    "answer 0.05\nSet_Distance\n"
    "Set_Beam_Centre 256.5 250.5\n"
    "answer 512\nanswer 512\nanswer 0.1\nanswer 1000\nanswer 10\nanswer no\n"
    "Simulate_Powder 302\n";

TEST(BeamFitScript, CircleAndEllipseFitsRunFromAScript) {
  ScratchDir dir;
  int code = -1;
  const std::string log = RunScript(
      dir,
      std::string(kSimulation) + "Set_Beam_Centre 10 10\n" + RingClicks(3.1241, 8, 0.1) +
          "answer finish\nBeam_Fit_Circle\n" + RingClicks(3.1241, 9, 0.3) +
          "answer finish\nBeam_Fit_Ellipse\nExit\n",
      code);
  EXPECT_EQ(code, 0) << log;
  EXPECT_NE(log.find("CLICK ON COORDINATES ON CIRCLE TO FIT:"), std::string::npos) << log;
  EXPECT_NE(log.find("CLICK ON COORDINATES ON ELLIPSE TO FIT:"), std::string::npos);
  const std::size_t at = log.find("INFO: Centre of fitted circle = (");
  ASSERT_NE(at, std::string::npos) << log;
  double x = 0, y = 0;
  ASSERT_EQ(std::sscanf(log.c_str() + at, "INFO: Centre of fitted circle = (%lf, %lf)", &x, &y), 2);
  EXPECT_NEAR(x, 256.5, 0.4);
  EXPECT_NEAR(y, 250.5, 0.4);
  EXPECT_NE(log.find("INFO: Ellipse first axis angle = "), std::string::npos);
  EXPECT_EQ(log.find("command failed"), std::string::npos);
}

TEST(BeamFitScript, APowderFitRunsFromAScript) {
  ScratchDir dir;
  int code = -1;
  const double radius = 0.05 * std::tan(MRingTwoTheta(1.0, 3.1241)) / 1.0e-4;
  const std::string log = RunScript(
      dir,
      std::string(kSimulation) + "Set_Beam_Centre 250 245\nanswer yes\nanswer yes\n" +
          RingClicks(3.1241, 8, 0.1) + "answer finish\n" +
          IFormat("answer click %.2f 250.5\n", 256.5 + radius + 5.0) +
          RingClicks(2.7056, 1, 0.5) + "answer finish\nBeam_Fit_Powder\nExit\n",
      code);
  EXPECT_EQ(code, 0) << log;
  EXPECT_NE(log.find("CLICK ON SEARCH LIMIT FOR POWDER RING:"), std::string::npos) << log;
  EXPECT_NE(log.find("CLICK ON OTHER POWDER RINGS TO FIT:"), std::string::npos);
  const std::size_t at = log.find("INFO: Beam centre =(");
  ASSERT_NE(at, std::string::npos) << log;
  double x = 0, y = 0;
  ASSERT_EQ(std::sscanf(log.c_str() + at, "INFO: Beam centre =(%lf, %lf)", &x, &y), 2);
  EXPECT_NEAR(x, 256.5, 0.1);
  EXPECT_NEAR(y, 250.5, 0.1);
  EXPECT_NE(log.find("INFO: Powder cone 2 D-spacing = 2.70"), std::string::npos);
}

}  // namespace
