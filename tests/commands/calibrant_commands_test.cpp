// "Fit_Calibrant" through the interpreter with the headless backend: simulated calibrant
// patterns of known geometry, clicks on the first ring, and the fitted geometry against the
// one simulated; the choices that fit nothing, the two-ring table, user files and a script.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "app/LVCommand.h"
#include "commands/LVCalibrant.h"
#include "core/database.h"
#include "core/status.h"
#include "maths/MGeometry.h"
#include "maths/MRingFit.h"
#include "platform/Headless.h"
#include "tests/support/AppFixture.h"
#include "tests/support/TestSupport.h"
#include "ui/WInfo.h"

namespace {

class CalibrantCommands : public HeadlessAppTest {
 protected:
  void SetUp() override {
    HeadlessAppTest::SetUp();
    headless->SetClientSize(1200, 1000);
    Run("Exit");  // the one-time initialisation
    LVResetCalibrantAnswers();
  }

  int Run(const std::string& name, int value = 0) {
    CommandEvent event;
    event.value = value;
    return LVCommand(name, event, status);
  }
  void Answer(const std::string& a) { headless->QueueAnswer(a); }
  bool InfoHas(const std::string& text) {
    for (const auto& held : IInfoLines())
      if (held.find(text) != std::string::npos) return true;
    return false;
  }
  DataSet& Main() { return LVStores().Main(); }

  // A pattern of the calibrant in the main store (Pilatus-like geometry, no noise).
  void Simulate(int code, float tiltAxis, float tilt, int size = 500) {
    DataSet& d = Main();
    d.beamCentreX = 240.5f;
    d.beamCentreY = 250.25f;
    d.distance = 0.1f;
    d.pixelSizeX = d.pixelSizeY = 172.0e-6f;
    d.wavelength = 0.4066e-10f;
    d.tiltAngle = tilt;
    d.tiltAxisAngle = tiltAxis;
    const std::string columns = std::to_string(size);
    for (const std::string& a : {columns, columns, std::string("0.08"), std::string("1000"),
                                std::string("10"), std::string("no")}) {
      Answer(a);
    }
    ASSERT_TRUE(Run("Simulate_Powder", code));
    ASSERT_TRUE(Run("Plot_Data"));
    truth = {d.beamCentreX * d.pixelSizeX, d.beamCentreY * d.pixelSizeY, d.distance,
             d.wavelength, d.tiltAxisAngle, d.tiltAngle};
  }

  void ClickRing(float dSpacing, int count) {
    float cx, cy, r1, r2, a;
    int local = kStatusGood;
    ASSERT_TRUE(MPredictRingEllipse(truth, MRingTwoTheta(truth.wavelength, dSpacing * 1e-10),
                                    cx, cy, r1, r2, a, local));
    for (int i = 0; i < count; ++i) {
      const double t = 0.3 + 2.0 * M_PI * i / count;
      const double u = r1 * std::cos(t), v = r2 * std::sin(t);
      Answer(IFormat("click %.2f %.2f", (cx + u * std::cos(a) - v * std::sin(a)) / 172.0e-6,
                     (cy + u * std::sin(a) + v * std::cos(a)) / 172.0e-6));
    }
    Answer("finish");
  }
  // The geometry the user starts from: off in every quantity.
  void Disturb() {
    DataSet& d = Main();
    d.beamCentreX = 236.0f;
    d.beamCentreY = 254.0f;
    d.distance = 0.097f;
    d.wavelength = 0.41e-10f;
    d.tiltAngle = d.tiltAxisAngle = 0.0f;
  }

  PowderGeometry truth;
};

TEST_F(CalibrantCommands, ACeriumDioxidePatternGivesBackItsWholeGeometry) {
  Simulate(kCalibrantCeriumDioxide, 1.2f, 0.05f);
  Disturb();
  Main().wavelength = 0.4066e-10f;  // wavelength and distance are nearly interchangeable
  for (int i = 0; i < 4; ++i) Answer(i < 3 ? "yes" : "no");
  ClickRing(3.1241f, 10);
  ASSERT_TRUE(Run("Fit_Calibrant", kCalibrantCeriumDioxide));
  EXPECT_EQ(status, kStatusGood);
  const DataSet& d = Main();
  EXPECT_NEAR(d.beamCentreX, 240.5f, 0.05f);
  EXPECT_NEAR(d.beamCentreY, 250.25f, 0.05f);
  EXPECT_NEAR(d.distance, 0.1f, 1.0e-4f);
  EXPECT_NEAR(d.tiltAngle, 0.05f, 0.002f);
  EXPECT_NEAR(d.tiltAxisAngle, 1.2f, 0.03f);
  EXPECT_FLOAT_EQ(d.wavelength, 0.4066e-10f);  // not chosen
  EXPECT_TRUE(InfoHas("Simultaneous fitting of 4 cones"));
  EXPECT_TRUE(InfoHas("Best fit to coordinates found on all given rings:"));
  EXPECT_TRUE(InfoHas("Detector Distance = "));
  float stored = 0.0f;
  IGetDBRealItem("Sample_Detector_Distance", stored, status);
  EXPECT_NEAR(stored, d.distance, 1.0e-6f);
  for (const auto& line : IInfoLines()) EXPECT_EQ(line.find("nan"), std::string::npos) << line;
  if (std::getenv("LV_SHOW_INFO"))
    for (const auto& line : IInfoLines()) std::printf("%s\n", line.c_str());
}

TEST_F(CalibrantCommands, TheWavelengthIsRefinedWithTheDistanceFixed) {
  Simulate(kCalibrantSilicon, 0.4f, -0.03f);
  Disturb();
  Main().distance = 0.1f;
  for (const char* a : {"yes", "yes", "no", "yes"}) Answer(a);
  ClickRing(3.1355f, 8);
  ASSERT_TRUE(Run("Fit_Calibrant", kCalibrantSilicon));
  EXPECT_NEAR(Main().wavelength, 0.4066e-10f, 0.0005e-10f);
  EXPECT_FLOAT_EQ(Main().distance, 0.1f);
  EXPECT_NEAR(Main().beamCentreX, 240.5f, 0.05f);
  float stored = 0.0f;
  IGetDBRealItem("Wavelength", stored, status);
  EXPECT_NEAR(stored, 0.4066f, 0.0005f);
}

TEST_F(CalibrantCommands, ParaffinWaxNeverRefinesTheWavelength) {
  Simulate(kCalibrantParaffinWax, 0.0f, 0.0f);
  Main().beamCentreX = 238.0f;
  // Two rings of nearly the same radius cannot tell a tilt from a shifted centre: the tilt
  // is left as it is, the wavelength is chosen but never refined.
  for (const char* a : {"yes", "no", "yes", "yes"}) Answer(a);
  ClickRing(4.14f, 8);
  ASSERT_TRUE(Run("Fit_Calibrant", kCalibrantParaffinWax));
  if (std::getenv("LV_SHOW_INFO"))
    for (const auto& line : IInfoLines()) std::printf("%s\n", line.c_str());
  EXPECT_FLOAT_EQ(Main().wavelength, 0.4066e-10f);
  EXPECT_TRUE(InfoHas("CLICK ON 5 OR MORE COORDINATES ON FIRST RING (CLOSEST TO CENTRE):"));
  EXPECT_NEAR(Main().beamCentreX, 240.5f, 0.1f);
  // Narrow annuli (the rings lie 6 pixels apart) about clicked pixels: good to half a percent.
  EXPECT_NEAR(Main().distance, 0.1f, 5.0e-4f);
  EXPECT_FLOAT_EQ(Main().tiltAngle, 0.0f);
}

TEST_F(CalibrantCommands, NothingChosenOrTooFewClicksLeaveTheGeometry) {
  Simulate(kCalibrantCeriumDioxide, 0.0f, 0.0f);
  Main().beamCentreX = 7.0f;
  for (int i = 0; i < 4; ++i) Answer("no");
  Run("Fit_Calibrant", kCalibrantCeriumDioxide);
  EXPECT_TRUE(InfoHas("NOTHING TO FIT; NEITHER BEAM CENTRE, DETECTOR TILT, DISTANCE, NOR WAVELENGTH !"));
  for (int i = 0; i < 4; ++i) Answer("yes");
  for (const char* c : {"click 300 250", "click 250 300", "click 200 250", "click 250 200"})
    Answer(c);
  Answer("finish");
  EXPECT_FALSE(Run("Fit_Calibrant", kCalibrantCeriumDioxide));
  EXPECT_TRUE(InfoHas("5 OR MORE COORDINATES MUST BE ENTERED FOR FITTING POWDER RING"));
  for (int i = 0; i < 4; ++i) Answer("yes");
  for (const char* c : {"click 100 100", "click 150 150", "click 200 200", "click 250 250",
                        "click 300 300", "click 350 350"}) {
    Answer(c);
  }
  Answer("finish");
  EXPECT_FALSE(Run("Fit_Calibrant", kCalibrantCeriumDioxide));
  EXPECT_TRUE(InfoHas("The points give no usable ellipse"));
  EXPECT_FALSE(Run("Fit_Calibrant", 299));
  EXPECT_TRUE(InfoHas("Unknown Calibrant"));
  EXPECT_FLOAT_EQ(Main().beamCentreX, 7.0f);
  EXPECT_FLOAT_EQ(Main().distance, 0.1f);
  EXPECT_EQ(status, kStatusGood);
}

TEST_F(CalibrantCommands, AUserFileIsReadUpTo30Values) {
  ScratchDir dir;
  std::string text = "! cerium dioxide and then some\n3.1241\n2.7056\n1.9131\n1.6315\n";
  for (int i = 0; i < 40; ++i) text += "1.0\n";
  WriteFile(dir.File("ceo2.Ds"), text);
  float values[30] = {};
  int count = 0;
  Answer(dir.File("ceo2.Ds"));
  ASSERT_TRUE(LVCalibrantUserInput(30, count, values, status));
  EXPECT_EQ(count, 30);
  EXPECT_FLOAT_EQ(values[0], 3.1241e-10f);
  std::string stored;
  IGetDBItem("Calibrant_User_File", stored, status);
  EXPECT_EQ(stored, dir.File("ceo2.Ds"));
  EXPECT_TRUE(InfoHas("30 D-spacings input from"));

  // The file's rings fit an image of those rings.
  WriteFile(dir.File("ceo2.Ds"), "3.1241\n2.7056\n1.9131\n1.6315\n1.5621\n");
  Simulate(kCalibrantCeriumDioxide, 0.0f, 0.0f);
  Main().beamCentreX = 237.0f;
  Main().distance = 0.098f;
  for (const char* a : {"yes", "yes", "yes", "no"}) Answer(a);
  Answer(dir.File("ceo2.Ds"));
  ClickRing(3.1241f, 8);
  ASSERT_TRUE(Run("Fit_Calibrant", kCalibrantUserFile));
  EXPECT_TRUE(InfoHas("CLICK ON 5 OR MORE COORDINATES ON FIRST RING DEFINED IN INPUT FILE:"));
  EXPECT_NEAR(Main().beamCentreX, 240.5f, 0.05f);
  EXPECT_NEAR(Main().distance, 0.1f, 1.0e-4f);
}

// The real Pilatus CeO2 image: started a few pixels, a few millimetres and a degree away from
// its published calibration, the fit comes back to it.
TEST_F(CalibrantCommands, ThePilatusCeriumDioxideImageGivesItsPublishedCalibration) {
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
  const float beamX = d.beamCentreX, beamY = d.beamCentreY, distance = d.distance;
  const float tilt = d.tiltAngle, axis = d.tiltAxisAngle;
  d.beamCentreX += 3.0f;
  d.beamCentreY -= 2.0f;
  d.distance = 0.205f;
  d.tiltAngle = d.tiltAxisAngle = 0.0f;
  for (const char* a : {"yes", "yes", "yes", "no"}) Answer(a);
  ClickRing(3.1241f, 12);
  ASSERT_TRUE(Run("Fit_Calibrant", kCalibrantCeriumDioxide));
  EXPECT_NEAR(d.beamCentreX, beamX, 0.3f);
  EXPECT_NEAR(d.beamCentreY, beamY, 0.3f);
  EXPECT_NEAR(d.distance, distance, 2.0e-4f);
  // The same tilt, possibly described with the axis turned by pi and the angle negated.
  const double nx = std::sin(d.tiltAngle) * std::cos(d.tiltAxisAngle);
  const double ny = std::sin(d.tiltAngle) * std::sin(d.tiltAxisAngle);
  EXPECT_NEAR(nx, std::sin(tilt) * std::cos(axis), 0.002);
  EXPECT_NEAR(ny, std::sin(tilt) * std::sin(axis), 0.002);
  if (std::getenv("LV_SHOW_INFO"))
    for (const auto& line : IInfoLines()) std::printf("%s\n", line.c_str());
}

TEST_F(CalibrantCommands, TheMenuItemsHaveTheirCommand) {
  EXPECT_TRUE(LVCommandRegistered("Fit_Calibrant"));
}

TEST(CalibrantScript, ACalibrantFitRunsFromAScript) {
  ScratchDir dir;
  // Untilted, beam at (256.5, 250.5), 100 micron pixels, 0.05 m, 1 Angstrom; started at 0.048 m.
  std::string script =
      "answer 0.05\nSet_Distance\nSet_Beam_Centre 256.5 250.5\n"
      "answer 512\nanswer 512\nanswer 0.1\nanswer 1000\nanswer 10\nanswer no\n"
      "Simulate_Powder 302\nanswer 0.048\nSet_Distance\nSet_Beam_Centre 252 248\n"
      "answer yes\nanswer yes\nanswer yes\nanswer no\n";
  const double radius = 0.05 * std::tan(MRingTwoTheta(1.0, 3.1241)) / 1.0e-4;
  for (int i = 0; i < 8; ++i) {
    const double t = 0.2 + 2.0 * M_PI * i / 8;
    script += IFormat("answer click %.2f %.2f\n", 256.5 + radius * std::cos(t),
                      250.5 + radius * std::sin(t));
  }
  script += "answer finish\nFit_Calibrant 302\nExit\n";
  WriteFile(dir.File("script.lvs"), script);
  const std::string command = "cd '" + dir.path().string() + "' && '" LV_PROGRAM
                              "' --script script.lvs > stdout.txt 2>&1";
  const int raw = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(raw));
  const std::string log = ReadFile(dir.File("lumivane.log"));
  EXPECT_EQ(WEXITSTATUS(raw), 0) << log;
  const std::size_t at = log.find("INFO: Detector Distance = ");
  ASSERT_NE(at, std::string::npos) << log;
  double distance = 0.0;
  ASSERT_EQ(std::sscanf(log.c_str() + at, "INFO: Detector Distance = %lf", &distance), 1);
  EXPECT_NEAR(distance, 0.05, 5.0e-5);
}

}  // namespace
