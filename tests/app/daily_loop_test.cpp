// The working loop of a day: open an image, set or load the geometry, integrate, open the next
// image, integrate again. The geometry belongs to the experiment: whichever store the next file
// lands in (after an integration it is the scan's), the image takes the calibrated geometry and
// none of the scan's axes; a header seeds it only until the user sets one.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <QImage>

#include "data/DataStores.h"
#include "data/Experiment.h"
#include "fileio/FCBF.h"
#include "fileio/FReaders.h"
#include "fileio/FScanFiles.h"
#include "maths/MGeometry.h"
#include "tests/support/AppFixture.h"
#include "tests/support/ScriptRun.h"

namespace {

// A ring about (60.5, 50.25) on 172-micron pixels, written as a CBF (whose header carries no
// geometry).
void WriteRingFrame(const std::string& path) {
  DataSet d;
  int status = kStatusGood;
  ASSERT_TRUE(IAllocateData(120, 100, d, status));
  IDefineWholeImage(d, 120, 100);
  for (int y = 0; y < 100; ++y)
    for (int x = 0; x < 120; ++x) {
      const double r = std::hypot(x + 0.5 - 60.5, y + 0.5 - 50.25);
      d.data[IIndex(d, x, y)] = static_cast<float>(std::round(10.0 + 100.0 * std::exp(-std::pow(r - 30.0, 2) / 8.0)));
    }
  ASSERT_TRUE(FOutputData(path, kFormatCBF, d, status));
}

// The numbers of a Chiplot file (its four header lines left out).
std::string ChiplotValues(const std::string& path) {
  std::istringstream in(ReadFile(path));
  std::string line, values;
  for (int n = 0; std::getline(in, line); ++n)
    if (n >= 4) values += line + "\n";
  return values;
}

const char* kSetGeometry =
    "Set_Beam_Centre 60.5 50.25\n"
    "answer 0.05\nSet_Distance\n"
    "answer 0.4066\nSet_Wavelength\n"
    "answer 172\nanswer 172\nSet_Pixel_Sizes\n";

TEST(DailyLoop, TheNextImageIntegratesAsTheFirstWhateverStoreItLandsIn) {
  ScratchDir dir;
  WriteRingFrame(dir.File("frame.cbf"));
  const ScriptRun run = RunProgramScript(
      dir, std::string("Open_File frame.cbf\n") + kSetGeometry +
               "answer store 3\nanswer 1\nIntegrate_2Theta\nSave_Chiplot first.chi\n"
               // Into the saved scan's store, then into an unsaved one: said, not lost silently.
               "Open_File frame.cbf\n"
               "answer store 4\nanswer 1\nIntegrate_2Theta\n"
               "Open_File frame.cbf\n"
               "answer store 5\nanswer 1\nIntegrate_2Theta\nSave_Chiplot second.chi\n"
               "Exit\n");
  ASSERT_EQ(run.exitCode, 0) << run.log;
  const std::string first = ChiplotValues(dir.File("first.chi"));
  ASSERT_FALSE(first.empty());
  EXPECT_EQ(ChiplotValues(dir.File("second.chi")), first);
  const std::string replaced = "held a result that had not been saved: it is replaced by frame.cbf";
  const std::size_t said = run.log.find(replaced);
  EXPECT_NE(said, std::string::npos) << run.log;
  EXPECT_EQ(run.log.find(replaced, said + 1), std::string::npos) << "the saved scan is no loss";
}

// What needs the geometry refuses the start values in a script (beam centre 0, 0, 1 Angstrom,
// 0.3 m: every number would be wrong) and runs once any of it was set.
TEST(DailyLoop, AScriptThatNeverSetTheGeometryFailsToIntegrate) {
  struct Case {
    const char* before;
    int exitCode;
  } cases[] = {{"", 1}, {"Set_Beam_Centre 60.5 50.25\n", 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.before);
    ScratchDir dir;
    WriteRingFrame(dir.File("frame.cbf"));
    const ScriptRun run = RunProgramScript(
        dir, std::string("Open_File frame.cbf\n") + c.before +
                 "answer store 3\nanswer 1\nIntegrate_2Theta\nExit\n");
    EXPECT_EQ(run.exitCode, c.exitCode) << run.log;
    EXPECT_EQ(run.log.find("The geometry was never set") != std::string::npos, c.exitCode == 1);
  }
}

class DailyLoopStores : public HeadlessAppTest {
 protected:
  int Run(const std::string& name, const std::string& text = "", float x = 0, float y = 0) {
    CommandEvent event;
    event.text = text;
    event.realX = x;
    event.realY = y;
    return LVCommand(name, event, status);
  }
  ScratchDir dir;
};

// An image read into a store that held a stack of scans takes the experiment's geometry and an
// image's labels and axis, none of the scan's.
TEST_F(DailyLoopStores, AnImageTakesNothingOfTheScanItReplaces) {
  WriteRingFrame(dir.File("frame.cbf"));
  WriteFile(dir.File("scan.chi"), "scan\n2-Theta Angle (Degrees)\nIntensity\n3\n"
                                  "1.0 5\n1.5 6\n2.0 7\n");
  ASSERT_TRUE(Run("Open_File", dir.File("frame.cbf")));
  ASSERT_TRUE(Run("Set_Beam_Centre", "", 60.5f, 50.25f));
  ASSERT_TRUE(Run("Open_File", dir.File("scan.chi")));
  const DataSet& scan = LVStores().Main();
  EXPECT_FLOAT_EQ(scan.pixelSizeX, 0.5f);  // the scan's step stays its own
  ASSERT_TRUE(Run("Open_File", dir.File("frame.cbf")));
  const DataSet& image = LVStores().Main();
  EXPECT_EQ(image.xLabel, "X-axis");
  EXPECT_EQ(image.yLabel, "Y-axis");
  EXPECT_TRUE(image.xAxisInPixels);
  EXPECT_EQ(image.xAxisStart, 0.0f);
  EXPECT_EQ(IGeometryValues(image), IExperiment().values);
  EXPECT_EQ(image.beamCentreX, 60.5f);
}

// A detector's mini-header seeds the geometry while nothing was set, and says so; once the
// user set any of it, a header changes nothing and that is said too.
TEST_F(DailyLoopStores, HeaderGeometrySeedsOnlyUntilTheUserSetsIt) {
  const auto data = SharedData();
  const auto first = data / "thau_3_2_0001.cbf", second = data / "thau_3_2_0002.cbf";
  if (data.empty() || !std::filesystem::exists(second)) GTEST_SKIP() << "no real CBF series";
  ASSERT_TRUE(Run("Open_File", first.string()));
  const DataSet& image = LVStores().Main();
  EXPECT_FLOAT_EQ(image.pixelSizeX, 172e-6f);
  EXPECT_FLOAT_EQ(image.wavelength, 0.96859e-10f);
  EXPECT_FLOAT_EQ(image.distance, 0.351f);
  EXPECT_FLOAT_EQ(image.beamCentreX, 1261.61f);
  EXPECT_FLOAT_EQ(image.beamCentreY, 1306.96f);
  EXPECT_TRUE(InfoHas("INFO: Geometry from the file header: beam centre X 1261.61 pixels, beam "
                      "centre Y 1306.96 pixels, distance 351 mm, pixel width 172 microns, pixel "
                      "height 172 microns, wavelength 0.96859 Angstroms"));
  ASSERT_TRUE(Run("Set_Beam_Centre", "", 1200.0f, 1300.0f));
  ASSERT_TRUE(Run("Open_File", second.string()));
  EXPECT_EQ(LVStores().Main().beamCentreX, 1200.0f);
  EXPECT_FLOAT_EQ(LVStores().Main().wavelength, 0.96859e-10f);
  EXPECT_TRUE(InfoHas("INFO: The file header's beam centre X 1261.61 pixels, beam centre Y "
                      "1306.96 pixels not used: the geometry set in this session is kept"));
}

// The mini-header lines as detectors write them; implausible values are a damaged header.
TEST(PilatusHeader, PlausibleValuesAreTakenAndMarked) {
  struct Case {
    const char* text;
    unsigned fields;
  } cases[] = {
      {"# Pixel_size 172e-6 m x 172e-6 m\r\n# Wavelength 0.96859 A\r\n"
       "# Detector_distance 0.35100 m\r\n# Beam_xy (1261.61, 1306.96) pixels\r\n",
       kGeometryPixelSizeX | kGeometryPixelSizeY | kGeometryWavelength | kGeometryDistance |
           kGeometryBeamCentreX | kGeometryBeamCentreY},
      {"# Pixel_size 172e-6 m x 172e-6 m", kGeometryPixelSizeX | kGeometryPixelSizeY},
      {"# Pixel_size 1e300 m x 172e-6 m\n# Wavelength nan A\n# Detector_distance 0 m\n", 0},
      {"# Beam_xy (1e9, 3) pixels\n# Wavelength 1.0 nm\n", 0},
      {"", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    DataSet d;
    FPilatusHeaderGeometry(c.text, d);
    EXPECT_EQ(d.headerGeometry, c.fields);
    if (c.fields & kGeometryDistance) {
      EXPECT_FLOAT_EQ(d.distance, 0.351f);
    }
  }
}

}  // namespace

namespace {

// The predicted rings over the image: drawn while the toggle is on, in their own colour, and
// only on the image; each point of a ring lies at the ring's 2-theta.
TEST(CalibrantRings, TheToggleDrawsTheRingsTheGeometryPredicts) {
  ScratchDir dir;
  WriteRingFrame(dir.File("frame.cbf"));
  const ScriptRun run = RunProgramScript(
      dir, std::string("Open_File frame.cbf\n") + kSetGeometry +
               "picture off.png\nCalibrant_Rings\npicture on.png\nExit\n");
  ASSERT_EQ(run.exitCode, 0) << run.log;
  auto ringPixels = [&](const char* name) {
    QImage picture(QString::fromStdString(dir.File(name)));
    int count = 0;
    for (int y = 0; y < picture.height(); ++y)
      for (int x = 0; x < picture.width(); ++x)
        if (picture.pixel(x, y) == qRgb(255, 64, 200)) ++count;
    return count;
  };
  EXPECT_EQ(ringPixels("off.png"), 0);
  EXPECT_GT(ringPixels("on.png"), 100);  // the 111 ring of CeO2, 38 pixels about the centre

  DataSet d;
  d.beamCentreX = 60.5f;
  d.beamCentreY = 50.25f;
  d.distance = 0.05f;
  d.pixelSizeX = d.pixelSizeY = 172e-6f;
  d.wavelength = 0.4066e-10f;
  d.tiltAngle = 0.05f;
  d.tiltAxisAngle = 0.7f;
  MDetectorTransform t;
  MSetDetectorTransform(d, t);
  for (double twoTheta : {0.05, 0.3, 1.2}) {
    for (double direction = 0.0; direction < 6.28; direction += 0.5) {
      double x = 0.0, y = 0.0;
      ASSERT_TRUE(MRingPoint(t, twoTheta, direction, x, y));
      PixelGeometry g;
      int status = kStatusGood;
      ASSERT_TRUE(MDetector2DSpacing(d, static_cast<float>(x - 0.5), static_cast<float>(y - 0.5), g, status));
      EXPECT_NEAR(g.twoTheta, twoTheta, 2e-6);
    }
  }
  double x = 0.0, y = 0.0;
  EXPECT_FALSE(MRingPoint(t, M_PI / 2.0, 0.0, x, y));
}

}  // namespace

namespace {

// An SMV frame cut short opens in the window with a warning, but a script that opened it fails;
// the whole frame opens in both.
TEST(RealFileLoop, AScriptThatOpenedACutShortImageFails) {
  std::string smv = "{\nHEADER_BYTES=  512;\nDIM=2;\nBYTE_ORDER=little_endian;\n"
                    "TYPE=unsigned_short;\nSIZE1=64;\nSIZE2=64;\n}\n";
  smv.resize(512, ' ');
  const std::string pixels(64 * 64 * 2, '\x07');
  for (const bool whole : {true, false}) {
    SCOPED_TRACE(whole ? "whole" : "cut short");
    ScratchDir dir;
    WriteFile(dir.File("frame.img"), smv + pixels.substr(0, whole ? pixels.size() : 3000));
    const ScriptRun run = RunProgramScript(dir, "Open_File frame.img\nExit\n");
    EXPECT_EQ(run.exitCode, whole ? 0 : 1) << run.log;
    EXPECT_EQ(run.log.find("is shorter than its header says") == std::string::npos, whole);
  }
}

// The gaps (-1) and bad pixels (-2) a Pilatus frame marks open masked, as many as an
// independent reader finds; turned off, the frame opens unmasked.
TEST_F(DailyLoopStores, DetectorMarksOpenMaskedUnlessTurnedOff) {
  const auto frame = SharedData() / "thau_3_2_0001.cbf";
  if (SharedData().empty() || !std::filesystem::exists(frame)) GTEST_SKIP() << "no Pilatus CBF";
  const std::string count = dir.File("count.txt");
  const std::string command =
      "/usr/bin/python3 -c \"import fabio,sys; d=fabio.open(sys.argv[1]).data; "
      "print(int((d==-1).sum()), int((d==-2).sum()))\" '" + frame.string() + "' > '" + count +
      "' 2>/dev/null";
  if (std::system(command.c_str()) != 0) GTEST_SKIP() << "fabio is not installed";
  long long gaps = 0, bad = 0;
  std::istringstream(ReadFile(count)) >> gaps >> bad;
  ASSERT_GT(gaps, 0);
  ASSERT_TRUE(Run("Open_File", frame.string()));
  const DataSet& image = LVStores().Main();
  ASSERT_TRUE(image.maskInUse);
  long long masked = 0;
  for (std::size_t i = 0; i < IElementCount(image); ++i) masked += image.mask[i] != 0;
  EXPECT_EQ(masked, gaps + bad);
  EXPECT_TRUE(InfoHas(IFormat("INFO: Masked %lld module-gap pixel(s) (-1) and %lld bad pixel(s) "
                              "(-2) the detector marks",
                              gaps, bad)));
  ASSERT_TRUE(Run("Mask_Detector_Marks"));
  ASSERT_TRUE(Run("Open_File", frame.string()));
  EXPECT_FALSE(LVStores().Main().maskInUse);
}

}  // namespace
