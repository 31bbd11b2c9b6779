// "Save_CBF", "Save_JPEG" and the opening of CBF files through the interpreter, headless:
// dialogs answered from the queue, the picture compared with the display's own bitmap, and
// whole command scripts through the real program.
#include <gtest/gtest.h>

#include <QColor>
#include <QImage>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/wait.h>

#include "app/LVCommand.h"
#include "commands/LVJPEG.h"
#include "core/status.h"
#include "fileio/FCBF.h"
#include "fileio/FInput.h"
#include "graphics/GDisplaySettings.h"
#include "graphics/GImage.h"
#include "graphics/GRender.h"
#include "platform/Headless.h"
#include "tests/support/AppFixture.h"
#include "tests/support/FileSizeLimit.h"
#include "tests/support/ScriptRun.h"
#include "tests/support/TestSupport.h"
#include "ui/WInfo.h"

namespace {

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class SaveImageCommands : public HeadlessAppTest {
 protected:
  void SetUp() override {
    HeadlessAppTest::SetUp();
    Run("Exit");  // the one-time initialisation: colour table, display settings
    headless->SetClientSize(400, 300);
  }

  template <class... Answers>
  int Run(const std::string& name, const std::string& text = "", Answers... answers) {
    (headless->QueueAnswer(answers), ...);
    CommandEvent event;
    event.text = text;
    return LVCommand(name, event, status);
  }

  // The main store: a w x h image that changes slowly enough over its pixels for JPEG's
  // colour subsampling (smoothness s: larger is smoother), with a masked block of 20 x 12
  // pixels at (40, 30) when `masked` is set.
  DataSet& Main(int w, int h, bool masked = false, double s = 1.0) {
    DataSet& d = LVStores().Main();
    EXPECT_TRUE(IAllocateData(w, h, d, status));
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        d.data[IIndex(d, x, y)] = static_cast<float>(
            1.0 + 40.0 * x / s + 25.0 * y / s + 300.0 * std::sin(0.15 * x / s) * std::cos(0.2 * y / s));
    IDefineWholeImage(d, w, h);
    d.dataDefined = kTrue;
    d.magnification = 1;
    d.displayStartX = d.displayStartY = 0;
    d.fileName = dir.File("frame.cbf");
    if (masked) {
      EXPECT_TRUE(IAllocateMask(d, status));
      for (int y = 30; y < 42; ++y)
        for (int x = 40; x < 60; ++x) d.mask[IIndex(d, x, y)] = 1;
      d.maskDefined = d.maskInUse = kTrue;
    }
    return d;
  }

  bool TranscriptHas(const std::string& part) const {
    for (const auto& line : transcript)
      if (Contains(line, part)) return true;
    return false;
  }

  // Mean absolute difference per channel between the picture and the canvas at (x0, y0).
  static double MeanDifference(const QImage& picture, const PCanvas* canvas, int x0, int y0) {
    double sum = 0.0;
    for (int j = 0; j < picture.height(); ++j) {
      for (int i = 0; i < picture.width(); ++i) {
        const QRgb p = picture.pixel(i, j);
        const PColour c = canvas->Pixel(x0 + i, y0 + j);
        sum += std::abs(qRed(p) - c.red) + std::abs(qGreen(p) - c.green) +
               std::abs(qBlue(p) - c.blue);
      }
    }
    return sum / (3.0 * picture.width() * picture.height());
  }

  ScratchDir dir;
};

TEST_F(SaveImageCommands, PictureIsTheDisplayedRegionAsTheDisplayDrawsIt) {
  DataSet& d = Main(181, 123, true, 5.0);  // a width that is not a multiple of 4
  GSetLinearityMethod(kLinear, status);
  GSetIntensityScaling(kRangeFull, 0.0f, 1.0f, status);
  ASSERT_TRUE(GDrawImage(headless->Canvas(), 3, 5, 390, 290, d, status));
  const std::string name = dir.File("linear.jpg");
  ASSERT_TRUE(Run("Save_JPEG", name));
  EXPECT_TRUE(InfoHas("INFO: Data saved to file:"));
  EXPECT_TRUE(InfoHas(name));
  QImage picture(QString::fromStdString(name));
  ASSERT_FALSE(picture.isNull());
  EXPECT_EQ(picture.width(), 181);
  EXPECT_EQ(picture.height(), 123);
  const double linear = MeanDifference(picture, headless->Canvas(), 3, 5);
  RecordProperty("linear_mean_difference", std::to_string(linear));
  EXPECT_LT(linear, 3.0);
  // The masked block is in the mask colour; data row 35 is picture row 123 - 1 - 35.
  const GRGB mask = GDisplay().maskColour;
  const QRgb masked = picture.pixel(50, 123 - 1 - 35);
  EXPECT_NEAR(qRed(masked), mask.red, 24);
  EXPECT_NEAR(qGreen(masked), mask.green, 24);
  EXPECT_NEAR(qBlue(masked), mask.blue, 24);

  // With the logarithmic mapping the picture follows the logarithmic display, which differs
  // from the linear one.
  GSetLinearityMethod(kLogarithmic, status);
  ASSERT_TRUE(Run("Save_JPEG", dir.File("log.jpg")));
  QImage logarithmic(QString::fromStdString(dir.File("log.jpg")));
  EXPECT_GT(MeanDifference(logarithmic, headless->Canvas(), 3, 5), 8.0);
  ASSERT_TRUE(GDrawImage(headless->Canvas(), 3, 5, 390, 290, d, status));
  const double log = MeanDifference(logarithmic, headless->Canvas(), 3, 5);
  RecordProperty("log_mean_difference", std::to_string(log));
  EXPECT_LT(log, 3.0);
  GSetLinearityMethod(kLinear, status);
}

TEST_F(SaveImageCommands, PictureOfARegionIgnoresTheMagnification) {
  DataSet& d = Main(120, 90, false, 5.0);
  d.startX = 5, d.endX = 84, d.startY = 3, d.endY = 52;
  d.magnification = 3;
  GSetIntensityScaling(kRangeFixed, 0.0f, 1500.0f, status);
  ASSERT_TRUE(Run("Save_JPEG", dir.File("region.jpg")));
  QImage picture(QString::fromStdString(dir.File("region.jpg")));
  ASSERT_EQ(picture.width(), 80);
  ASSERT_EQ(picture.height(), 50);
  // The same region rendered one pixel per pixel; picture row 0 is the region's top row.
  std::vector<std::uint8_t> bits(80 * 50 * 3);
  ASSERT_TRUE(GLinearScaledImage(0.0f, 1500.0f, 5, 3, d, 80, 50, 80, bits.data(), status));
  double sum = 0.0;
  for (int j = 0; j < 50; ++j) {
    for (int i = 0; i < 80; ++i) {
      const std::uint8_t* bgr = &bits[static_cast<std::size_t>((49 - j) * 80 + i) * 3];
      const QRgb p = picture.pixel(i, j);
      sum += std::abs(qRed(p) - bgr[2]) + std::abs(qGreen(p) - bgr[1]) +
             std::abs(qBlue(p) - bgr[0]);
    }
  }
  EXPECT_LT(sum / (3.0 * 80 * 50), 3.0);

  // A region of one pixel gives a picture of one pixel.
  d.startX = d.endX = 7;
  d.startY = d.endY = 9;
  ASSERT_TRUE(Run("Save_JPEG", dir.File("one.jpg")));
  QImage one(QString::fromStdString(dir.File("one.jpg")));
  EXPECT_EQ(one.width(), 1);
  EXPECT_EQ(one.height(), 1);
}

TEST_F(SaveImageCommands, DialogsHaveTheirTitlesAndExtensions) {
  DataSet& d = Main(20, 10);
  GSetIntensityScaling(kRangeFixed, 0.0f, 1000.0f, status);
  ASSERT_TRUE(Run("Save_JPEG", "?", dir.File("picture")));
  EXPECT_TRUE(TranscriptHas("file dialog \"SELECT OUTPUT FILE TO CONTAIN JPEG IMAGE\""));
  EXPECT_TRUE(std::filesystem::exists(dir.File("picture.jpg")));
  ASSERT_TRUE(Run("Save_CBF", "?", dir.File("image")));
  EXPECT_TRUE(TranscriptHas("file dialog \"SELECT OUTPUT FILE TO CONTAIN CBF DATA\""));
  ASSERT_TRUE(std::filesystem::exists(dir.File("image.cbf")));
  EXPECT_TRUE(InfoHas("INFO: Data saved to file:"));
  DataSet back;
  ASSERT_TRUE(FInputImage(dir.File("image.cbf"), kFormatCBF, 1, 1, kFalse, back, status));
  EXPECT_EQ(back.numX, 20);
  EXPECT_EQ(back.data[IIndex(back, 19, 9)], std::round(d.data[IIndex(d, 19, 9)]));
  // Cancelling writes nothing and is no failure.
  EXPECT_FALSE(Run("Save_CBF", "?", "cancel"));
  EXPECT_EQ(status, kStatusGood);
}

TEST_F(SaveImageCommands, MissingArgumentsAndFailedWritesAreReported) {
  Main(8, 8);
  EXPECT_FALSE(Run("Save_CBF", ""));
  EXPECT_TRUE(InfoHas("ERROR: LVSaveCBF; Save_CBF command, but no defined argument"));
  EXPECT_FALSE(Run("Save_JPEG", ""));
  EXPECT_TRUE(InfoHas("ERROR: LVSaveJPEG; Save_File command, but no defined argument"));

  EXPECT_FALSE(Run("Save_JPEG", dir.File("missing/picture.jpg")));
  EXPECT_TRUE(InfoHas("WARNING: FOutputJPEG: File open failed: " + dir.File("missing/picture.jpg")));
  EXPECT_TRUE(InfoHas("NOTE: LVSaveJPEG: Failed to save data to file: " +
                      dir.File("missing/picture.jpg")));

  // A full disc: the library's write error comes back as the emergency exit, and the name
  // is left as it was.
  {
    const std::size_t alarms = headless->Alarms();
    FileSizeLimit full(64);
    EXPECT_FALSE(Run("Save_JPEG", dir.File("full.jpg")));
    EXPECT_TRUE(TranscriptHas("box \"Message:\": FOutputJPEG: Emergency exit owing to input error"));
    EXPECT_GT(headless->Alarms(), alarms);
    EXPECT_FALSE(std::filesystem::exists(dir.File("full.jpg")));
  }
  EXPECT_EQ(status, kStatusGood);

  // A device is no file to replace: refused as one that cannot be opened.
  if (std::filesystem::exists("/dev/full")) {
    EXPECT_FALSE(Run("Save_JPEG", "/dev/full"));
    EXPECT_TRUE(InfoHas("WARNING: FOutputJPEG: File open failed: /dev/full"));
    EXPECT_FALSE(Run("Save_CBF", "/dev/full"));
    EXPECT_EQ(status, kStatusFileOpen);
    EXPECT_TRUE(std::filesystem::is_character_file("/dev/full"));
  }
}

TEST_F(SaveImageCommands, CBFFilesOpenByNameAndThroughTheDialogAndBrokenOnesKeepTheImage) {
  DataSet& d = Main(30, 20);
  d.data[IIndex(d, 4, 4)] = -1.0f;
  d.data[IIndex(d, 5, 4)] = -2.0f;
  ASSERT_TRUE(FOutputCBF(dir.File("saved.cbf"), d, status));
  IAllocateData(5, 5, d, status);
  IDefineWholeImage(d, 5, 5);

  ASSERT_TRUE(Run("Open_File", dir.File("saved.cbf")));
  DataSet& main = LVStores().Main();
  EXPECT_EQ(main.numX, 30);
  EXPECT_EQ(main.numY, 20);
  EXPECT_EQ(main.data[IIndex(main, 4, 4)], -1.0f);
  EXPECT_EQ(main.data[IIndex(main, 5, 4)], -2.0f);
  EXPECT_TRUE(InfoHas("INFO: The file contains a CBF format image"));
  EXPECT_TRUE(InfoHas("INFO: Input image size = 30 * 20 pixels"));

  ASSERT_TRUE(Run("Open_File", "?", dir.File("saved.cbf")));
  EXPECT_TRUE(TranscriptHas("file dialog \"SELECT INPUT FILE CONTAINING DATA IMAGE\""));
  EXPECT_EQ(LVStores().Main().numX, 30);

  // A CBF that the library refuses leaves the image as it was.
  std::string text = ReadFile(dir.File("saved.cbf"));
  WriteFile(dir.File("cut.cbf"), text.substr(0, text.size() - 200));
  EXPECT_FALSE(Run("Open_File", dir.File("cut.cbf")));
  EXPECT_TRUE(InfoHas("WARNING: Problem inputting image data from file: " + dir.File("cut.cbf")));
  EXPECT_EQ(LVStores().Main().numX, 30);
  EXPECT_EQ(LVStores().Main().data[IIndex(LVStores().Main(), 5, 4)], -2.0f);
}

// ---- Through the program ----------------------------------------------------------------

ScriptRun RunScript(const ScratchDir& dir, const std::string& script,
                    const std::string& image = "") {
  return RunProgramScript(dir, script, image, "TMPDIR='" + dir.path().string() + "'");
}

TEST(SaveImageScripts, ScriptsOpenCBFsAndSaveCBFsAndPictures) {
  ScratchDir dir;
  {
    DataSet d;
    int status = kStatusGood;
    ASSERT_TRUE(IAllocateData(50, 40, d, status));
    for (int i = 0; i < 2000; ++i) d.data[i] = static_cast<float>((i * 37) % 1000 - 2);
    IDefineWholeImage(d, 50, 40);
    d.dataDefined = kTrue;
    ASSERT_TRUE(FOutputCBF(dir.File("in.cbf"), d, status));
  }
  ScriptRun run = RunScript(dir,
                            "Open_File in.cbf\nSave_CBF out.cbf\nSave_JPEG out.jpg\n"
                            "picture shown.png\nExit\n");
  EXPECT_EQ(run.exitCode, 0) << run.log;
  EXPECT_TRUE(Contains(run.log, "INFO: The file contains a CBF format image"));
  EXPECT_TRUE(Contains(run.log, "INFO: Input image size = 50 * 40 pixels"));
  EXPECT_EQ(QImage(QString::fromStdString(dir.File("out.jpg"))).size(), QSize(50, 40));
  DataSet back;
  int status = kStatusGood;
  ASSERT_TRUE(FInputImage(dir.File("out.cbf"), kFormatCBF, 1, 1, kFalse, back, status));
  for (int i = 0; i < 2000; ++i) ASSERT_EQ(back.data[i], static_cast<float>((i * 37) % 1000 - 2));

  // The image named on the command line, and failed saves give exit code 1.
  run = RunScript(dir, "Save_JPEG missing/out.jpg\n", "in.cbf");
  EXPECT_EQ(run.exitCode, 1) << run.log;
  EXPECT_TRUE(Contains(run.log, "SCRIPT: command failed: Save_JPEG missing/out.jpg"));
  run = RunScript(dir, "Save_CBF missing/out.cbf\n", "in.cbf");
  EXPECT_EQ(run.exitCode, 1) << run.log;
}

}  // namespace
