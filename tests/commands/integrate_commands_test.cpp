// The geometry, integration, simulation and PONI commands through the interpreter with the
// headless backend: prompts answered from the queue, stores chosen with "store N".
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <memory>
#include <vector>

#include "app/LVCommand.h"
#include "core/database.h"
#include "core/status.h"
#include "commands/LVIntegrate.h"
#include "maths/MGeometry.h"
#include "platform/Headless.h"
#include "tests/support/AppFixture.h"
#include "tests/support/TestSupport.h"
#include "ui/WInfo.h"
#include "ui/WMessageSink.h"

namespace {

class IntegrateCommandTest : public HeadlessAppTest {
 protected:
  void SetUp() override {
    HeadlessAppTest::SetUp();
    Run("Exit");  // the one-time initialisation
  }

  int Run(const std::string& name, int value = 0, const std::string& text = "") {
    CommandEvent event;
    event.value = value;
    event.text = text;
    return LVCommand(name, event, status);
  }
  void Answer(std::initializer_list<const char*> answers) {
    for (const char* a : answers) headless->QueueAnswer(a);
  }
  // A line of the information window that is `text`, or (part) contains it.
  bool InfoHas(const std::string& text, bool part = false) {
    for (const auto& held : IInfoLines())
      if (part ? held.find(text) != std::string::npos : held == text) return true;
    return false;
  }
  DataSet& Store(int index) { return LVStores().stores[static_cast<std::size_t>(index)]; }
  float DBReal(const char* key) {
    float value = -999.0f;
    IGetDBRealItem(key, value, status);
    return value;
  }

  // A simulated cerium dioxide image in the main store (the Pilatus geometry, no noise).
  void SimulateCeO2() {
    DataSet& d = Store(0);
    d.beamCentreX = 240.5f;
    d.beamCentreY = 250.25f;
    d.distance = 0.1f;
    d.pixelSizeX = d.pixelSizeY = 172.0e-6f;
    d.wavelength = 0.4066e-10f;
    d.tiltAngle = -0.0189f;
    d.tiltAxisAngle = 1.79f;
    Answer({"480", "500", "0.08", "1000", "10", "no"});
    ASSERT_TRUE(Run("Simulate_Powder", kCalibrantCeriumDioxide));
  }

};

TEST_F(IntegrateCommandTest, GeometryValuesAreAskedStoredAndRefusedOutsideTheirRanges) {
  DataSet& d = Store(0);
  Answer({"0.25"});
  EXPECT_TRUE(Run("Set_Distance"));
  EXPECT_FLOAT_EQ(d.distance, 0.25f);
  EXPECT_FLOAT_EQ(DBReal("Sample_Detector_Distance"), 0.25f);

  Answer({"24.79704"});
  EXPECT_TRUE(Run("Set_Energy"));
  EXPECT_NEAR(d.wavelength, 0.5e-10f, 1e-16f);
  EXPECT_NEAR(DBReal("Wavelength"), 0.5f, 1e-6f);
  Answer({"default"});  // the wavelength just stored, back as energy
  EXPECT_TRUE(Run("Set_Wavelength"));
  EXPECT_NEAR(DBReal("Photon_Energy"), 24.79704f, 1e-3f);
  Answer({"1.0"});
  EXPECT_TRUE(Run("Set_Wavelength"));
  EXPECT_NEAR(DBReal("Photon_Energy"), 12.39852f, 1e-4f);

  Answer({"172", "150", "0.9"});
  EXPECT_TRUE(Run("Set_Pixel_Sizes") && Run("Set_Polarisation"));
  EXPECT_FLOAT_EQ(d.pixelSizeY, 150.0e-6f);
  EXPECT_FLOAT_EQ(DBReal("Polarisation"), 0.9f);
  Answer({"30", "-2"});
  EXPECT_TRUE(Run("Set_Detector_Tilt"));
  EXPECT_NEAR(d.tiltAxisAngle, 30 * kDegreesToRadians, 1e-6);
  EXPECT_NEAR(d.tiltAngle, -2 * kDegreesToRadians, 1e-7);
  EXPECT_FLOAT_EQ(DBReal("Tilt_Angle"), -2.0f);

  // Values that would divide by zero or describe no detector change nothing.
  Answer({"0", "1.5", "-1"});
  EXPECT_FALSE(Run("Set_Energy") || Run("Set_Polarisation") || Run("Set_Distance"));
  EXPECT_EQ(status, kStatusGood);
  EXPECT_FLOAT_EQ(d.distance, 0.25f);
  EXPECT_FLOAT_EQ(d.polarisation, 0.9f);
  EXPECT_NEAR(d.wavelength, 1.0e-10f, 1e-16f);
  EXPECT_TRUE(InfoHas("WARNING: LVSetEnergy: 0 is outside the range 0.001 to 10000", true));
  EXPECT_FALSE(Run("Set_Distance"));  // no answer: cancelled
}

TEST_F(IntegrateCommandTest, BeamCentreRotationAndTheClickingModes) {
  DataSet& d = Store(0);
  Answer({"487.26", "512.55"});
  EXPECT_TRUE(Run("Beam_Centre", 854));
  EXPECT_FLOAT_EQ(d.beamCentreX, 487.26f);
  EXPECT_TRUE(InfoHas("INFO: Beam centre set to (487.260010, 512.549988)"));
  EXPECT_FLOAT_EQ(DBReal("Beam_CentreY"), 512.55f);
  Answer({"5"});
  EXPECT_TRUE(Run("Detector_Rotation", 854));
  EXPECT_NEAR(d.rotationZ, 5 * kDegreesToRadians, 1e-7);
  EXPECT_TRUE(InfoHas("INFO: Detector rotation offset from horizontal set to 5.000000 degrees"));

  // Clicking with no click answered is cancelled: nothing changed.
  for (int mode : {852, 853}) EXPECT_FALSE(Run("Beam_Centre", mode));
  EXPECT_FALSE(Run("Detector_Rotation", 852));
  EXPECT_FALSE(Run("Distance"));
  EXPECT_EQ(status, kStatusGood);
  EXPECT_FLOAT_EQ(d.beamCentreX, 487.26f);
  EXPECT_TRUE(InfoHas("INFO: CLICK ON BEAM CENTRE:"));
}

TEST_F(IntegrateCommandTest, SimulatedRingsIntegrateToTheirAnglesInTheOutputStore) {
  SimulateCeO2();
  DataSet& image = Store(0);
  EXPECT_EQ(image.numX, 480);
  EXPECT_EQ(image.numY, 500);
  EXPECT_TRUE(InfoHas("INFO: Main data simulated: 15 powder rings of Cerium dioxide"));

  Answer({"store 3", "2"});
  ASSERT_TRUE(Run("Integrate_2Theta"));
  EXPECT_EQ(LVStores().mainIndex, 3);
  const DataSet& scan = Store(3);
  int near = 0, far = 0;
  float nearM = 0, farM = 0;
  ICalROICornerDistance(image, near, far, nearM, farM, status);
  ASSERT_EQ(scan.numX, 2 * far);
  EXPECT_EQ(scan.title, image.title + ": 2-Theta Integrated Scan");
  EXPECT_TRUE(InfoHas("INFO: Main data integrated to 1-D scan(s)"));
  EXPECT_TRUE(InfoHas("INFO: Minimum fractional intensity decrease owing to polarisation:", true));
  int oversampling = 0;
  IGetDBIntItem("Integration_Oversampling_Factor", oversampling, status);
  EXPECT_EQ(oversampling, 2);
  // The innermost ring is the brightest bin near its angle (obliquity and polarisation
  // corrections move it by far less than a bin).
  const double expected = 2 * std::asin(0.4066 / (2 * 3.1241)) * kRadiansToDegrees;
  const int bin = static_cast<int>(expected / scan.pixelSizeX);
  int peak = bin - 5;
  for (int i = bin - 5; i <= bin + 5; ++i)
    if (scan.data[i] > scan.data[peak]) peak = i;
  EXPECT_NEAR((peak + 0.5) * scan.pixelSizeX, expected, scan.pixelSizeX);

  // Radial and d-spacing scans of the same image into store 4 (main is now the scan: go back).
  ASSERT_TRUE(Run("Set_Main_Dataset", 0));
  Answer({"store 4", "1"});
  ASSERT_TRUE(Run("Integrate_Distance"));
  EXPECT_EQ(Store(4).title, image.title + ": Radially integrated");
  EXPECT_TRUE(InfoHas("INFO: Main data radially integrated with 1 times over-sampling"));
  ASSERT_TRUE(Run("Set_Main_Dataset", 0));
  Answer({"store 4", "1", "5"});
  ASSERT_TRUE(Run("Integrate_DSpacings"));
  EXPECT_FLOAT_EQ(Store(4).xAxisStart, 0.5f * Store(4).pixelSizeX);  // bin 0's centre
  EXPECT_FLOAT_EQ(Store(4).pixelSizeX * Store(4).numX, 5.0f);
  EXPECT_FLOAT_EQ(DBReal("Maximum_D_Spacing"), 5.0f);
}

// The real Pilatus CeO2 image with its published calibration: the eight inner rings of the
// integrated 2-theta scan, read off the scan's axis, lie at the angles of the CeO2 d-spacings
// (a = 5.411651 Angstrom) within 0.008 degrees, a fifth of a bin. Reported at the bins' lower
// edges they sat 0.015 to 0.020 degrees low.
TEST_F(IntegrateCommandTest, PilatusCeO2RingsLieAtTheirDSpacings) {
  const auto data = SharedData();
  if (data.empty() || !std::filesystem::exists(data / "CeO2_Pilatus1M.tif")) {
    GTEST_SKIP() << "no shared detector files";
  }
  ASSERT_TRUE(Run("Open_File", 0, (data / "CeO2_Pilatus1M.tif").string()));
  // Calibrated on the image shown upside down: the image says so by itself.
  ASSERT_TRUE(Run("Load_PONI", 0, (data / "CeO2_Pilatus1M.poni").string()));
  EXPECT_TRUE(InfoHas("INFO: The image decides the orientation: the geometry is for the image "
                      "turned upside down",
                      true));
  Answer({"yes", "-0.5", "no"});  // detector gaps (-1) and bad pixels (-2)
  ASSERT_TRUE(Run("Mask_Threshold"));
  Answer({"store 3", "1"});
  ASSERT_TRUE(Run("Integrate_2Theta"));
  const DataSet& scan = Store(3);
  ASSERT_GT(scan.numX, 500);
  const double a = 5.411651;
  const int rings[8][3] = {{1, 1, 1}, {2, 0, 0}, {2, 2, 0}, {3, 1, 1},
                           {2, 2, 2}, {4, 0, 0}, {3, 3, 1}, {4, 2, 0}};
  for (const auto& hkl : rings) {
    const double d = a / std::sqrt(hkl[0] * hkl[0] + hkl[1] * hkl[1] + hkl[2] * hkl[2]);
    const double expected = 2.0 * std::asin(0.4066 / (2.0 * d)) * kRadiansToDegrees;
    SCOPED_TRACE(testing::Message() << hkl[0] << hkl[1] << hkl[2] << " at " << expected);
    // Bins within 0.15 degrees; the background a line through the two outer bins each side.
    std::vector<double> x, y;
    for (int i = 0; i < scan.numX; ++i) {
      const double at = scan.xAxisStart + static_cast<double>(i) * scan.pixelSizeX;
      if (std::fabs(at - expected) > 0.15) continue;
      x.push_back(at);
      y.push_back(scan.data[i]);
    }
    ASSERT_GE(x.size(), 6u);
    const std::size_t n = x.size();
    const double xl = (x[0] + x[1]) / 2, yl = (y[0] + y[1]) / 2;
    const double xr = (x[n - 2] + x[n - 1]) / 2, yr = (y[n - 2] + y[n - 1]) / 2;
    double sum = 0.0, moment = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
      const double v = std::max(0.0, y[k] - (yl + (yr - yl) * (x[k] - xl) / (xr - xl)));
      sum += v;
      moment += v * x[k];
    }
    ASSERT_GT(sum, 0.0);
    EXPECT_NEAR(moment / sum, expected, 0.008);
  }
}

// Load_PONI decides from the loaded image whether a geometry belongs to it turned upside down:
// the orientation whose rings are clearly sharper wins. A script's explicit answer still
// rules, and the question comes only when the image cannot tell.
TEST_F(IntegrateCommandTest, TheImageDecidesThePoniOrientation) {
  ScratchDir dir;
  DataSet& d = Store(0);
  SimulateCeO2();
  // Beam on the middle row, no tilt: mirrored, the geometry is the same.
  d.beamCentreY = 250.0f;
  d.tiltAngle = 0.0f;
  Answer({"no"});
  ASSERT_TRUE(Run("Save_PONI", 0, dir.File("middle.poni")));
  transcript.clear();
  EXPECT_FALSE(Run("Load_PONI", 0, dir.File("middle.poni")));  // asked; nobody answered
  ASSERT_FALSE(transcript.empty());
  EXPECT_NE(transcript.front().find("UPSIDE DOWN"), std::string::npos) << transcript.front();

  // The beam 80 rows off the middle, tilted: both ways of writing the file come back to the
  // same geometry without a question.
  d.beamCentreY = 170.0f;
  d.tiltAngle = -0.0189f;
  Answer({"0.08", "1000", "10", "no"});  // the image keeps its size
  ASSERT_TRUE(Run("Simulate_Powder", kCalibrantCeriumDioxide));
  const float beamX = d.beamCentreX, beamY = d.beamCentreY, tilt = d.tiltAngle;
  const float axis = d.tiltAxisAngle;
  Answer({"no"});
  ASSERT_TRUE(Run("Save_PONI", 0, dir.File("stored.poni")));
  Answer({"yes"});
  ASSERT_TRUE(Run("Save_PONI", 0, dir.File("turned.poni")));
  for (const char* name : {"stored.poni", "turned.poni"}) {
    SCOPED_TRACE(name);
    d.beamCentreY = 20.0f;
    transcript.clear();
    ASSERT_TRUE(Run("Load_PONI", 0, dir.File(name)));
    EXPECT_TRUE(transcript.empty());  // nothing asked
    EXPECT_TRUE(InfoHas(std::string("INFO: The image decides the orientation: the geometry is "
                                    "for the image ") +
                            (name[0] == 't' ? "turned upside down" : "as stored"),
                        true));
    EXPECT_NEAR(d.beamCentreX, beamX, 1e-3);
    EXPECT_NEAR(d.beamCentreY, beamY, 1e-3);
    EXPECT_NEAR(d.tiltAngle, tilt, 1e-6);
    EXPECT_NEAR(std::remainder(d.tiltAxisAngle - axis, 2 * M_PI), 0.0, 1e-5);
  }
  // An explicit answer is taken even against the image.
  Answer({"yes"});
  ASSERT_TRUE(Run("Load_PONI", 0, dir.File("stored.poni")));
  EXPECT_NEAR(d.beamCentreY, 500.0f - beamY, 1e-3);
  EXPECT_EQ(headless->PendingAnswers(), 0u);
}

TEST_F(IntegrateCommandTest, UndefinedDataCancelledChoiceAndTheScanTypePopUp) {
  Answer({"store 3"});
  EXPECT_FALSE(Run("Integrate_QSpace"));
  EXPECT_TRUE(InfoHas("WARNING: LVIntegrate; Data is not defined"));
  EXPECT_EQ(LVStores().mainIndex, 0);
  SimulateCeO2();
  Answer({"store 3", "cancel"});
  EXPECT_FALSE(Run("Integrate_QSpace"));
  EXPECT_EQ(LVStores().mainIndex, 0);
  Answer({"store 3"});
  EXPECT_FALSE(Run("Projection"));  // the region is clicked: no click answered, cancelled
  EXPECT_TRUE(InfoHas("INFO: ENTER END POINTS OF LINE FOR PROJECTION OF DATA"));
  EXPECT_EQ(status, kStatusGood);

  int type = 0;
  Answer({"store 2"});
  EXPECT_TRUE(LVSelectScanType(type, status));
  EXPECT_EQ(type, 734);
  Answer({"cancel"});  // the pop-up's own "Cancel command" line
  EXPECT_FALSE(LVSelectScanType(type, status));
  Answer({"store 4"});  // four types: no fifth entry (the window showed "Cancel command" twice)
  EXPECT_FALSE(LVSelectScanType(type, status));
  EXPECT_EQ(status, kStatusGood);
}

TEST_F(IntegrateCommandTest, PoniFilesSaveAndLoadTheGeometry) {
  ScratchDir dir;
  SimulateCeO2();
  const DataSet& source = Store(0);
  Answer({"no"});  // not for the image upside down
  ASSERT_TRUE(Run("Save_PONI", 0, dir.File("ceo2.poni")));
  EXPECT_TRUE(InfoHas("INFO: PONI geometry output to " + dir.File("ceo2.poni")));
  ASSERT_TRUE(Run("Set_Main_Dataset", 5));
  Answer({"no"});
  ASSERT_TRUE(Run("Load_PONI", 0, dir.File("ceo2.poni")));
  const DataSet& loaded = Store(5);
  EXPECT_NEAR(loaded.beamCentreX, source.beamCentreX, 1e-3);
  EXPECT_NEAR(loaded.beamCentreY, source.beamCentreY, 1e-3);
  EXPECT_NEAR(loaded.distance, source.distance, 1e-7);
  EXPECT_NEAR(loaded.tiltAngle, source.tiltAngle, 1e-7);
  EXPECT_NEAR(loaded.tiltAxisAngle, source.tiltAxisAngle, 1e-6);
  EXPECT_FLOAT_EQ(loaded.pixelSizeX, source.pixelSizeX);
  EXPECT_FLOAT_EQ(loaded.wavelength, source.wavelength);
  EXPECT_NEAR(DBReal("Tilt_Angle"), source.tiltAngle * kRadiansToDegrees, 1e-4);

  EXPECT_FALSE(Run("Load_PONI", 0, ""));
  EXPECT_TRUE(InfoHas("ERROR: LVLoadPONI; Load_PONI command, but no defined argument"));
  // A rotation about the beam is said to be lost.
  WriteFile(dir.File("rot3.poni"), "PixelSize1: 1e-4\nPixelSize2: 1e-4\nDistance: 0.1\n"
                                   "Poni1: 0.03\nPoni2: 0.05\nRot3: 0.1\n");
  Answer({"no"});
  ASSERT_TRUE(Run("Load_PONI", 0, dir.File("rot3.poni")));
  EXPECT_TRUE(InfoHas("WARNING: LVLoadPONI: rot3 = 0.1 radians", true));
  EXPECT_FLOAT_EQ(loaded.beamCentreX, 500.0f);
  EXPECT_FLOAT_EQ(loaded.beamCentreY, 300.0f);
  // Turned upside down: needs the image's rows, then mirrors the centre across them.
  Answer({"yes"});
  EXPECT_FALSE(Run("Load_PONI", 0, dir.File("rot3.poni")));
  ASSERT_TRUE(Run("Set_Main_Dataset", 0));
  Answer({"yes"});
  ASSERT_TRUE(Run("Load_PONI", 0, dir.File("rot3.poni")));
  EXPECT_FLOAT_EQ(Store(0).beamCentreY, 500.0f - 300.0f);  // 500 rows

  const auto data = SharedData();
  if (!data.empty() && std::filesystem::exists(data / "CeO2_Pilatus1M.poni")) {
    const auto before = IInfoLines().size();
    Answer({"no"});
    ASSERT_TRUE(Run("Load_PONI", 0, (data / "CeO2_Pilatus1M.poni").string()));
    EXPECT_TRUE(InfoHas("INFO: Beam centre set to (487.259003, 512.548340)"));
    for (std::size_t i = before; i < IInfoLines().size(); ++i)
      EXPECT_EQ(IInfoLines()[i].find("WARNING"), std::string::npos);
  }
}

}  // namespace
