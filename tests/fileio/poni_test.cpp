// PONI geometry files: reading versions 1 and 2, refusing what we do not understand, the
// conversion to beam centre and tilt checked against an independent integrator's own figures
// for the real Pilatus calibration, and the round trip through a written file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>

#include "core/status.h"
#include "fileio/FPoni.h"
#include "maths/MGeometry.h"
#include "tests/support/TestSupport.h"

namespace {

class PoniTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetCoreState(); }
  int status = kStatusGood;
  ScratchDir dir;
};

TEST_F(PoniTest, RealPilatusCalibrationGivesTheKnownCentreTiltAndAngles) {
  const auto data = SharedData();
  if (data.empty() || !std::filesystem::exists(data / "CeO2_Pilatus1M.poni")) {
    GTEST_SKIP() << "no shared data";
  }
  PoniGeometry poni;
  ASSERT_TRUE(FReadPoni((data / "CeO2_Pilatus1M.poni").string(), poni, status));
  EXPECT_EQ(poni.version, 1.0);
  ASSERT_TRUE(poni.pixelSizesGiven);
  EXPECT_DOUBLE_EQ(poni.pixel1, 0.000172);
  EXPECT_DOUBLE_EQ(poni.wavelength, 4.066e-11);
  EXPECT_DOUBLE_EQ(poni.rot3, -2.77645988275e-08);

  double beamX, beamY, distance, tilt, axis;
  FPoniToBeamGeometry(poni, poni.pixel1, poni.pixel2, beamX, beamY, distance, tilt, axis);
  // The classic beam-centre and tilt parameters an independent integrator (pyFAI 0.21) derives
  // from the same file.
  EXPECT_NEAR(beamX, 487.2590056623345, 1e-9);
  EXPECT_NEAR(beamY, 512.5483498574525, 1e-9);
  EXPECT_NEAR(distance, 0.20868865485844006, 1e-12);
  EXPECT_NEAR(tilt * 180 / M_PI, -1.0829269537336277, 1e-9);
  EXPECT_NEAR(axis * 180 / M_PI, 12.645940034802202 + 90.0, 1e-9);

  // pyFAI's 2-theta array at the corners and inside, reproduced by our transform.
  DataSet d;
  d.beamCentreX = static_cast<float>(beamX);
  d.beamCentreY = static_cast<float>(beamY);
  d.distance = static_cast<float>(distance);
  d.tiltAngle = static_cast<float>(tilt);
  d.tiltAxisAngle = static_cast<float>(axis);
  d.pixelSizeX = d.pixelSizeY = 172.0e-6f;
  d.wavelength = 4.066e-11f;
  const struct {
    int x, y;
    double twoTheta;
  } reference[] = {{0, 0, 30.43790679232653},     {980, 0, 30.22507501936386},
                   {0, 1042, 30.81077973994392},  {980, 1042, 30.58823379476695},
                   {700, 300, 13.88631364379887}, {487, 512, 0.011603559735461098}};
  for (const auto& r : reference) {
    PixelGeometry p;
    ASSERT_TRUE(MDetector2DSpacing(d, static_cast<float>(r.x), static_cast<float>(r.y), p, status));
    EXPECT_NEAR(p.twoTheta * kRadiansToDegrees, r.twoTheta, 2e-5) << r.x << ", " << r.y;
  }
  // The same geometry for the image upside down sees each angle at the mirrored row.
  FMirrorBeamGeometryRows(1043, beamY, tilt, axis);
  d.beamCentreY = static_cast<float>(beamY);
  d.tiltAngle = static_cast<float>(tilt);
  d.tiltAxisAngle = static_cast<float>(axis);
  EXPECT_GE(axis, 0.0);
  for (const auto& r : reference) {
    PixelGeometry p;
    ASSERT_TRUE(MDetector2DSpacing(d, static_cast<float>(r.x), static_cast<float>(1042 - r.y), p,
                                   status));
    EXPECT_NEAR(p.twoTheta * kRadiansToDegrees, r.twoTheta, 2e-5) << r.x << ", " << r.y;
  }
}

TEST_F(PoniTest, WrittenGeometryReadsBackUnchanged) {
  const double geometries[][5] = {{487.26, 512.55, 0.2087, -0.0189, 1.79},
                                  {100.0, -20.5, 0.5, 0.05, -1.0},
                                  {1500.25, 1400.75, 0.12, 0.0, 0.0},
                                  {10.0, 2000.0, 1.5, -0.3, 3.0}};
  for (const auto& g : geometries) {
    PoniGeometry out;
    out.pixel1 = 150.0e-6;
    out.pixel2 = 100.0e-6;
    out.rows = 1043;
    out.columns = 981;
    out.wavelengthGiven = true;
    out.wavelength = 0.7e-10;
    FBeamGeometryToPoni(g[0], g[1], g[2], g[3], g[4], out.pixel1, out.pixel2, out);
    EXPECT_EQ(out.rot3, 0.0);
    ASSERT_TRUE(FWritePoni(dir.File("round.poni"), out, status));
    PoniGeometry in;
    ASSERT_TRUE(FReadPoni(dir.File("round.poni"), in, status));
    EXPECT_TRUE(in.version == 2.0 && in.pixel1 == out.pixel1 && in.pixel2 == out.pixel2 &&
                in.rows == 1043 && in.wavelength == out.wavelength && in.rot1 == out.rot1);
    double beamX, beamY, distance, tilt, axis;
    FPoniToBeamGeometry(in, in.pixel1, in.pixel2, beamX, beamY, distance, tilt, axis);
    EXPECT_NEAR(beamX, g[0], 1e-8);
    EXPECT_NEAR(beamY, g[1], 1e-8);
    EXPECT_NEAR(distance, g[2], 1e-12);
    // A tilt of zero has no axis; otherwise the axis comes back in [0, pi], the tilt with it.
    if (g[3] != 0.0) {
      const bool turned = std::fabs(axis - g[4]) > 1.0;
      EXPECT_NEAR(tilt, turned ? -g[3] : g[3], 1e-12);
      EXPECT_NEAR(std::remainder(axis - g[4], M_PI), 0.0, 1e-12);
    } else {
      EXPECT_EQ(tilt, 0.0);
    }
  }
}

TEST_F(PoniTest, VersionsDetectorsAndBadFiles) {
  const std::string file = dir.File("g.poni");
  PoniGeometry p;
  WriteFile(file, "poni_version: 2\nDetector: Pilatus1M\nDetector_config: {}\nDistance: 0.2\n"
                  "Poni1: 0.08\nPoni2: 0.07\nRot1: 0\nRot2: 0\nRot3: 0\nWavelength: 1e-10\n");
  ASSERT_TRUE(FReadPoni(file, p, status));
  EXPECT_FALSE(p.pixelSizesGiven);
  double p1 = 0, p2 = 0;
  ASSERT_TRUE(FPoniDetectorPixelSizes(p.detector, p1, p2));
  EXPECT_DOUBLE_EQ(p1, 172.0e-6);

  WriteFile(file, "poni_version: 2.1\nDetector: Detector\nDetector_config: {\"pixel1\": 7.5e-05, "
                  "\"pixel2\": 7.5e-05, \"max_shape\": null, \"orientation\": 3}\nDistance: 0.1\n");
  ASSERT_TRUE(FReadPoni(file, p, status));
  EXPECT_TRUE(p.pixelSizesGiven);
  EXPECT_EQ(p.rows, 0);
  EXPECT_FALSE(p.wavelengthGiven);

  RecordingSink sink;
  const char* refused[] = {
      "poni_version: 3\nDistance: 0.1\n",
      "poni_version: 2.1\nDetector_config: {\"orientation\": 2}\nDistance: 0.1\n",
      "PixelSize1: 1e-4\nPixelSize2: 1e-4\nDistance: 0.1\nRot1: abc\n",
      "PixelSize1: 1e-4\nPixelSize2: 1e-4\nPoni1: 0.01\n",
      "Distance: -0.1\n"};
  for (const char* text : refused) {
    WriteFile(file, text);
    EXPECT_FALSE(FReadPoni(file, p, status)) << text;
    EXPECT_EQ(status, kStatusBadFileData) << text;
    IResetStatus(status);
  }
  EXPECT_EQ(sink.lines.size(), 5u);
  EXPECT_FALSE(FReadPoni(dir.File("missing.poni"), p, status));
  EXPECT_EQ(status, kStatusFileOpen);
}

// Values no detector can have are refused by name, before they overflow a 32-bit real or size
// an integration; the edges of what is possible are taken.
TEST_F(PoniTest, ImpossibleValuesAreRefusedNamingTheField) {
  const std::string v2 = "poni_version: 2\nDetector_config: {\"pixel1\": 1e-4, \"pixel2\": 1e-4}\n";
  struct Row {
    std::string text;
    const char* field;  // null: read
  };
  const Row rows[] = {
      {"Distance: 1e300\n", "Distance"},
      {"Distance: 1e-300\n", "Distance"},
      {"Distance: 0.001\n", nullptr},
      {"Distance: 100\n", nullptr},
      {"Distance: 100.5\n", "Distance"},
      {"Distance: 0.1\nWavelength: 1e-300\n", "Wavelength"},
      {"Distance: 0.1\nWavelength: 1e-7\n", "Wavelength"},
      {"Distance: 0.1\nWavelength: 1e-12\n", nullptr},
      {"PixelSize1: 1e-300\nPixelSize2: 1e-4\nDistance: 0.1\n", "PixelSize1 or PixelSize2"},
      {"PixelSize1: 1e-4\nPixelSize2: 0.5\nDistance: 0.1\n", "PixelSize1 or PixelSize2"},
      {v2 + "Distance: 0.1\nPoni1: 1e300\n", "Poni1"},
      {v2 + "Distance: 0.1\nPoni2: -101\n", "Poni2"},
      {v2 + "Distance: 0.1\nPoni2: -99\n", nullptr},
      {v2 + "Distance: 0.1\nRot2: 1e10\n", "Rot2"},
      {"poni_version: 2\nDetector_config: junk\nDistance: 0.1\n", "Detector_config"},
      {"poni_version: 2\nDetector_config: {\"pixel1\": abc, \"pixel2\": 1e-4}\nDistance: 0.1\n",
       "pixel1 in Detector_config"},
      {"poni_version: 2\nDetector_config: {\"pixel1\": 1e-4}\nDistance: 0.1\n",
       "the pixel sizes in Detector_config"},
      {"poni_version: 2\nDetector_config: {\"max_shape\": [1, x]}\nDistance: 0.1\n",
       "max_shape in Detector_config"},
      {"poni_version: 2\nDetector_config: {\"pixel1\": null, \"pixel2\": null}\nDistance: 0.1\n",
       nullptr},
  };
  const std::string file = dir.File("g.poni");
  for (const Row& row : rows) {
    RecordingSink sink;
    WriteFile(file, row.text);
    PoniGeometry p;
    p.distance = 7.0;
    const int read = FReadPoni(file, p, status);
    if (!row.field) {
      EXPECT_TRUE(read) << row.text;
      EXPECT_EQ(status, kStatusGood) << row.text;
      continue;
    }
    EXPECT_FALSE(read) << row.text;
    EXPECT_EQ(status, kStatusBadFileData) << row.text;
    EXPECT_EQ(p.distance, 7.0) << row.text;  // nothing taken from a refused file
    ASSERT_EQ(sink.lines.size(), 1u) << row.text;
    EXPECT_EQ(sink.lines[0].rfind(std::string("WARNING: FReadPoni: Bad value for ") + row.field +
                                      " in " + file,
                                  0),
              0u)
        << sink.lines[0];
    IResetStatus(status);
  }
}

TEST_F(PoniTest, ReadOnlyFileIsNotReplaced) {
  RecordingSink sink;
  const std::string path = dir.File("kept.poni");
  WriteFile(path, "Distance: 0.1\n");
  using std::filesystem::perms;
  std::filesystem::permissions(path, perms::owner_read | perms::group_read);
  PoniGeometry poni;
  poni.distance = 0.2;
  EXPECT_FALSE(FWritePoni(path, poni, status));
  EXPECT_EQ(status, kStatusFileOpen);
  const std::string warning = "WARNING: FWritePoni: Could not open " + path + " for writing";
  EXPECT_NE(std::find(sink.lines.begin(), sink.lines.end(), warning), sink.lines.end());
  EXPECT_EQ(ReadFile(path), "Distance: 0.1\n");
}

}  // namespace
