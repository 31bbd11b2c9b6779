// The file-series commands through the interpreter with the headless backend: files written
// here (CBF images, Chiplot scans), prompts answered from the queue.
#include <gtest/gtest.h>
#include <hdf5.h>

#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "app/LVCommand.h"
#include "core/database.h"
#include "core/status.h"
#include "data/DataStores.h"
#include "fileio/FReaders.h"
#include "fileio/FScanFiles.h"
#include "maths/MIntegrate.h"
#include "series/LVFileSeries.h"
#include "tests/support/AppFixture.h"
#include "tests/support/TestSupport.h"
#include "ui/LVDataStores.h"
#include "ui/LVFileSelect.h"
#include "ui/LVMenus.h"
#include "ui/WInfo.h"

namespace {

class FileSeriesTest : public HeadlessAppTest {
 protected:
  void SetUp() override {
    HeadlessAppTest::SetUp();
    Run("Exit");  // the one-time initialisation
    LVFSSetReadAhead(true);
    // The frames' beam centre, set as a user sets it before integrating.
    CommandEvent centre;
    centre.realX = 60.5f;
    centre.realY = 50.25f;
    LVCommand("Set_Beam_Centre", centre, status);
  }
  void TearDown() override {
    LVFSSetReadAhead(true);
    HeadlessAppTest::TearDown();
  }
  int Run(const std::string& name, const std::string& text = "") {
    CommandEvent event;
    event.text = text;
    return LVCommand(name, event, status);
  }
  void Answer(std::initializer_list<std::string> answers) {
    for (const std::string& a : answers) headless->QueueAnswer(a);
  }
  DataSet& Store(int index) { return LVStores().stores[static_cast<std::size_t>(index)]; }
  bool InfoContains(const std::string& part) {
    for (const auto& held : IInfoLines())
      if (held.find(part) != std::string::npos) return true;
    return false;
  }
  bool TranscriptContains(const std::string& part) {
    for (const auto& held : transcript)
      if (held.find(part) != std::string::npos) return true;
    return false;
  }

  // A ring pattern about (60.5, 50.25) whose height grows with `frame`, a spot at (spotX, 90),
  // written as a CBF image.
  std::string WriteFrame(const std::string& name, int frame, int width = 120, int height = 100,
                         float spotX = 12.0f) {
    DataSet d;
    int st = kStatusGood;
    EXPECT_TRUE(IAllocateData(width, height, d, st));
    IDefineWholeImage(d, width, height);
    d.beamCentreX = 60.5f;
    d.beamCentreY = 50.25f;
    d.distance = 0.05f;
    d.pixelSizeX = d.pixelSizeY = 172.0e-6f;
    d.wavelength = 0.4066e-10f;
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x) {
        const double r = std::hypot(x + 0.5 - 60.5, y + 0.5 - 50.25);
        double v = 10.0 + (frame + 1) * 100.0 * std::exp(-std::pow(r - 30.0, 2) / 8.0);
        v += 500.0 * std::exp(-(std::pow(x + 0.5 - spotX, 2) + std::pow(y + 0.5 - 90.0, 2)) / 6.0);
        d.data[IIndex(d, x, y)] = static_cast<float>(std::round(v));
      }
    const std::string path = dir.File(name);
    EXPECT_TRUE(FOutputData(path, kFormatCBF, d, st)) << st;
    return path;
  }
  // A one-row Chiplot scan of `width` values all equal to `value`.
  std::string WriteScan(const std::string& name, float value, int width = 8) {
    DataSet d;
    int st = kStatusGood;
    EXPECT_TRUE(IAllocateData(width, 1, d, st));
    IDefineWholeImage(d, width, 1);
    for (int x = 0; x < width; ++x) d.data[static_cast<std::size_t>(x)] = value + 0.25f * x;
    const std::string path = dir.File(name);
    EXPECT_TRUE(FOutputChiplot(path, d, st));
    return path;
  }
  static std::string Join(const std::vector<std::string>& paths) {
    std::string joined;
    for (const auto& p : paths) joined += (joined.empty() ? "" : ";") + p;
    return joined;
  }
  // The geometry of the frames, defined on the main store before a series.
  void OpenFirstWithMask(const std::string& path, bool mask) {
    ASSERT_TRUE(Run("Open_File", path));
    if (mask) {
      DataSet& d = Store(LVStores().mainIndex);
      ASSERT_TRUE(IAllocateMask(d, status));
      for (int y = 0; y < d.numY; ++y)
        for (int x = 0; x < 20; ++x) d.mask[IIndex(d, x, y)] = 1;  // a dead strip
      d.maskDefined = d.maskInUse = kTrue;
    }
  }
  // FS_Integrate over `files` into store 5 (2-theta, no saving, over-sampling 1).
  void IntegrateSeries(const std::vector<std::string>& files) {
    Answer({"store 5", "yes", Join(files), "store 1", "no", "1"});
    ASSERT_TRUE(Run("FS_Integrate")) << status;
  }

  ScratchDir dir;
};

TEST_F(FileSeriesTest, FileListsAreNormalisedSortedAndCapped) {
  std::string one = "/data/run/frame.cbf";
  WNormaliseFileList(one);
  EXPECT_EQ(one, std::string("/data/run\0frame.cbf\0\0", 21));
  std::string several("/data\0b.cbf\0a.cbf\0\0", 19);
  const std::string before = several;
  WNormaliseFileList(several);
  EXPECT_EQ(several, before);
  std::vector<std::string> names;
  int available = 0;
  EXPECT_TRUE(WFiles(several, 5, names, available));
  EXPECT_EQ(names, (std::vector<std::string>{"b.cbf", "a.cbf"}));
  EXPECT_FALSE(WFiles(several, 1, names, available));
  EXPECT_EQ(available, 2);

  // More files than a command takes: the first in name order, and a warning saying so.
  FileSeries series;
  Answer({"/d/c.cbf;/d/a.cbf;/d/d.cbf;/d/b.cbf"});
  ASSERT_TRUE(LVSelectInFS("FS_Test", 3, series, status));
  EXPECT_EQ(series.directory, "/d/");
  EXPECT_EQ(series.names, (std::vector<std::string>{"a.cbf", "b.cbf", "c.cbf"}));
  EXPECT_TRUE(InfoContains("FS_Test: 4 files were selected; the command takes at most 3"));
  status = kStatusGood;

  // A scripted list, with a range of it (a chunk of a batch).
  const std::string list = dir.File("frames.txt");
  WriteFile(list, "# frames of the run\nf3.cbf\n\nf1.cbf\n  f2.cbf  \n/abs/f0.cbf\n");
  std::vector<std::string> paths;
  std::string reason;
  ASSERT_TRUE(PReadFileList("@" + list, paths, reason));
  EXPECT_EQ(paths, (std::vector<std::string>{"/abs/f0.cbf", dir.File("f1.cbf"), dir.File("f2.cbf"),
                                             dir.File("f3.cbf")}));
  ASSERT_TRUE(PReadFileList("@" + list + ":2-3", paths, reason));
  EXPECT_EQ(paths, (std::vector<std::string>{dir.File("f1.cbf"), dir.File("f2.cbf")}));
  ASSERT_TRUE(PReadFileList("@" + list + ":4-99", paths, reason));  // cut to the list
  EXPECT_EQ(paths.size(), 1u);
  EXPECT_FALSE(PReadFileList("@" + list + ":5-9", paths, reason));
  EXPECT_FALSE(PReadFileList("@" + list + ":3-2", paths, reason));
  EXPECT_FALSE(PReadFileList("@" + dir.File("missing.txt"), paths, reason));
}

// A list is read only when it is a regular file of bounded lines: anything else is refused at
// once, unread (a pipe would hold the run, /dev/zero would fill the memory with one line).
TEST_F(FileSeriesTest, ListsThatAreNoBoundedRegularFilesAreRefusedUnread) {
  ASSERT_EQ(mkfifo(dir.File("pipe").c_str(), 0600), 0);
  std::filesystem::create_directory(dir.File("folder"));
  WriteFile(dir.File("nul.txt"), std::string("a.cbf\nb.cbf\0c.cbf\n", 18));
  WriteFile(dir.File("long.txt"), "a.cbf\n" + std::string(kPListLineLimit + 1, 'x') + "\n");
  const struct {
    std::string list;
    std::string reason;
  } rows[] = {
      {dir.File("pipe"), "the list " + dir.File("pipe") + " is not a regular file"},
      {"/dev/zero", "the list /dev/zero is not a regular file"},
      {dir.File("folder"), "the list " + dir.File("folder") + " is not a regular file"},
      {dir.File("nul.txt"), "line 2 of the list " + dir.File("nul.txt") + " holds a NUL character"},
      {dir.File("long.txt"), "line 2 of the list " + dir.File("long.txt") + " is longer than " +
                                 std::to_string(kPListLineLimit) + " characters"},
  };
  for (const auto& row : rows) {
    std::vector<std::string> paths;
    std::string reason;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(PReadFileList("@" + row.list, paths, reason)) << row.list;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << row.list;
    EXPECT_EQ(reason, row.reason);
    EXPECT_TRUE(paths.empty());
  }
}

// Every file of a series missing: each is warned of, and the series fails as a whole.
TEST_F(FileSeriesTest, ASeriesInWhichNoFileWasReadFails) {
  OpenFirstWithMask(WriteFrame("a.cbf", 0), false);
  Answer({"store 5", "yes", dir.File("gone1.cbf") + ";" + dir.File("gone2.cbf"), "store 1", "no",
          "1"});
  EXPECT_FALSE(Run("FS_Integrate"));
  EXPECT_TRUE(InfoContains("FS_Integrate: None of the 2 file(s) of the series could be read"));
  // One file read is a series that did its work.
  Answer({"store 5", "yes", dir.File("gone1.cbf") + ";" + dir.File("a.cbf"), "store 1", "no",
          "1"});
  EXPECT_TRUE(Run("FS_Integrate"));
}

TEST_F(FileSeriesTest, StackOfScansRunsInNameOrderAndSkipsOtherWidths) {
  const std::string b = WriteScan("b.chi", 2.0f);
  const std::string a = WriteScan("a.chi", 1.0f);
  const std::string c = WriteScan("c.chi", 3.0f);
  const std::string wide = WriteScan("d.chi", 4.0f, 12);
  ASSERT_TRUE(Run("Open_File", a));
  Answer({"store 4", Join({b, a, wide, c})});
  ASSERT_TRUE(Run("FS_Input_1D"));
  const DataSet& out = Store(4);
  EXPECT_EQ(LVStores().mainIndex, 4);
  ASSERT_EQ(out.numX, 8);
  ASSERT_EQ(out.numY, 4);
  EXPECT_FLOAT_EQ(out.data[IIndex(out, 0, 0)], 1.0f);  // a, b, c in rows 0, 1, 2
  EXPECT_FLOAT_EQ(out.data[IIndex(out, 3, 1)], 2.75f);
  EXPECT_FLOAT_EQ(out.data[IIndex(out, 0, 2)], 3.0f);
  EXPECT_FLOAT_EQ(out.data[IIndex(out, 0, 3)], 0.0f);  // the wider scan: skipped, said
  EXPECT_TRUE(InfoContains("FS_Input_1D: d.chi has 12 values per row, the first file 8: skipped"));
  status = kStatusGood;

  // One file chosen is a series of one.
  Answer({"store 6", c});
  ASSERT_TRUE(Run("FS_Input_1D"));
  EXPECT_EQ(Store(6).numY, 1);
  EXPECT_FLOAT_EQ(Store(6).data[0], 3.0f);
}

// Frames numbered without leading zeros run as they were taken, from a selection and from a
// scripted list alike (a list's chunks follow the same order).
TEST_F(FileSeriesTest, FramesRunInNaturalOrder) {
  std::vector<std::string> files;
  for (int frame : {11, 2, 1, 100}) {
    const std::string name = "frame_" + std::to_string(frame) + ".chi";
    files.push_back(WriteScan(name, static_cast<float>(frame)));
  }
  ASSERT_TRUE(Run("Open_File", files[2]));
  Answer({"store 4", Join(files)});
  ASSERT_TRUE(Run("FS_Input_1D"));
  const DataSet& out = Store(4);
  ASSERT_EQ(out.numY, 4);
  const float expected[4] = {1.0f, 2.0f, 11.0f, 100.0f};
  for (int row = 0; row < 4; ++row) EXPECT_FLOAT_EQ(out.data[IIndex(out, 0, row)], expected[row]);

  const std::string list = dir.File("frames.txt");
  WriteFile(list, "frame_11.chi\nframe_2.chi\nframe_100.chi\nframe_1.chi\n");
  Answer({"store 5", "@" + list + ":2-3"});
  ASSERT_TRUE(Run("FS_Input_1D"));
  ASSERT_EQ(Store(5).numY, 2);
  EXPECT_FLOAT_EQ(Store(5).data[IIndex(Store(5), 0, 0)], 2.0f);
  EXPECT_FLOAT_EQ(Store(5).data[IIndex(Store(5), 0, 1)], 11.0f);
}

// The progress window of a series is titled with the words of the menu item the user chose.
TEST_F(FileSeriesTest, ProgressIsTitledWithTheMenuItemsWords) {
  const std::string a = WriteScan("a.chi", 1.0f), b = WriteScan("b.chi", 2.0f);
  ASSERT_TRUE(Run("Open_File", a));
  Answer({"store 4", Join({b, a})});
  ASSERT_TRUE(Run("FS_Input_1D"));
  EXPECT_TRUE(TranscriptContains("progress \"Input 1-D Series\": file 2 of 2: b.chi"));
  const std::pair<const char*, const char*> words[] = {
      {"FS_Integrate", "Integrate Series"},   {"FS_Composite", "Composite Image"},
      {"FS_Projection", "Projection Series"}, {"FS_Fit_2D_Gaussian", "Fit 2-D Gaussian Series"},
      {"FS_Movie", "Movie"},                  {"FS_Input_1D", "Input 1-D Series"},
      {"Not_In_A_Menu", "Not_In_A_Menu"}};
  for (const auto& [command, label] : words) EXPECT_EQ(LVMenuWords(command), label);
}

TEST_F(FileSeriesTest, IntegratedRowsEqualSingleIntegrationsWithReadAheadAndMask) {
  std::vector<std::string> files;
  for (int f = 0; f < 4; ++f) files.push_back(WriteFrame("frame_" + std::to_string(f) + ".cbf", f));
  for (bool mask : {false, true}) {
    SCOPED_TRACE(mask ? "masked" : "unmasked");
    // One file at a time, as a user would: open, mask, integrate.
    std::vector<std::vector<float>> single;
    for (const std::string& file : files) {
      LVStores().mainIndex = 0;
      OpenFirstWithMask(file, mask);
      Answer({"store 3", "1"});
      ASSERT_TRUE(Run("Integrate_2Theta"));
      const DataSet& scan = Store(3);
      single.emplace_back(scan.data.get(), scan.data.get() + scan.numX);
    }
    for (bool readAhead : {true, false}) {
      LVFSSetReadAhead(readAhead);
      LVStores().mainIndex = 0;
      OpenFirstWithMask(files[0], mask);
      const std::int64_t buildsBefore = MIntegrationCacheInfo().builds;
      IntegrateSeries(files);
      // One map for the whole series.
      EXPECT_LE(MIntegrationCacheInfo().builds - buildsBefore, 1);
      const DataSet& out = Store(5);
      ASSERT_EQ(out.numY, 4);
      ASSERT_EQ(out.numX, static_cast<int>(single[0].size()));
      for (int f = 0; f < 4; ++f)
        for (int x = 0; x < out.numX; ++x)
          ASSERT_EQ(out.data[IIndex(out, x, f)], single[f][static_cast<std::size_t>(x)])
              << "file " << f << " bin " << x << (readAhead ? " read ahead" : " in turn");
      EXPECT_TRUE(InfoContains("frame_3.cbf integrated to 1-D scan"));
    }
  }
}

TEST_F(FileSeriesTest, IntegrationGoesOnPastBadFilesSavesBesideInputsAndCancels) {
  std::vector<std::string> files = {WriteFrame("a.cbf", 0), WriteFrame("c.cbf", 2)};
  const std::string bad = dir.File("b.cbf");
  WriteFile(bad, "###CBF: not really\n");
  files.push_back(bad);
  OpenFirstWithMask(files[0], false);

  // The scans' extension may not be the images': refused before anything is read.
  Answer({"store 5", "yes", Join(files), "store 1", "yes", "cbf"});
  EXPECT_FALSE(Run("FS_Integrate"));
  EXPECT_TRUE(InfoContains("The output extension \"cbf\" is that of the input file"));
  status = kStatusGood;

  Answer({"store 5", "yes", Join(files), "store 1", "yes", "dat", "1"});
  Run("FS_Integrate");
  status = kStatusGood;
  const DataSet& out = Store(5);
  ASSERT_EQ(out.numY, 3);
  EXPECT_GT(out.data[IIndex(out, out.numX / 2, 0)], 0.0f);
  for (int x = 0; x < out.numX; ++x) ASSERT_EQ(out.data[IIndex(out, x, 1)], 0.0f);  // b.cbf
  EXPECT_GT(out.data[IIndex(out, out.numX / 2, 2)], 0.0f);
  EXPECT_TRUE(std::filesystem::exists(dir.File("a.dat")));
  EXPECT_TRUE(std::filesystem::exists(dir.File("c.dat")));
  EXPECT_FALSE(std::filesystem::exists(dir.File("b.dat")));
  EXPECT_TRUE(TranscriptContains("file 3 of 3: c.cbf"));
  std::string extension;
  IGetDBItem("FS_Integration_Extension", extension, status);
  EXPECT_EQ(extension, "dat");

  // Cancel while the second file is shown: the first two are kept.
  std::vector<std::string> four;
  for (int f = 0; f < 4; ++f) four.push_back(WriteFrame("m" + std::to_string(f) + ".cbf", f));
  LVStores().mainIndex = 0;
  OpenFirstWithMask(four[0], false);
  headless->CancelProgressAtStep(3);
  Answer({"store 6", "yes", Join(four), "store 1", "no", "1"});
  Run("FS_Integrate");
  EXPECT_EQ(Store(6).numY, 2);
  EXPECT_TRUE(InfoContains("FS_Integrate: cancelled after 2 of 4 files"));
}

TEST_F(FileSeriesTest, CompositeTilesTenImagesInThreeLinesOfFour) {
  std::vector<std::string> files;
  for (int f = 0; f < 9; ++f) files.push_back(WriteFrame("t" + std::to_string(f) + ".cbf", f, 40, 32));
  files.push_back(WriteFrame("u_other.cbf", 0, 48, 32));  // the tenth file
  ASSERT_TRUE(Run("Open_File", files[0]));
  // Images per line (proposed: 4 for 10 files), factor 2, no background, no region.
  Answer({"store 7", Join(files), "default", "2", "no", "no"});
  ASSERT_TRUE(Run("FS_Composite"));
  EXPECT_TRUE(TranscriptContains("ENTER NUMBER OF IMAGES PER LINE:\": 4"));
  const DataSet& out = Store(7);
  EXPECT_EQ(out.title, "Composite Image");
  ASSERT_EQ(out.numX, 4 * 20);
  ASSERT_EQ(out.numY, 3 * 16);
  EXPECT_TRUE(InfoContains("FS_Composite: u_other.cbf is 48 * 32 pixels, the first file 40 * 32: skipped"));
  status = kStatusGood;
  // Tile 0 (t0) in the top left, tile 4 (t4) starts the second line; t8 starts the third,
  // the skipped tenth file leaves its tile empty.
  auto tileSum = [&](int column, int line) {
    double sum = 0.0;
    for (int y = 0; y < 16; ++y)
      for (int x = 0; x < 20; ++x)
        sum += out.data[IIndex(out, column * 20 + x, out.numY - (line + 1) * 16 + y)];
    return sum;
  };
  EXPECT_GT(tileSum(0, 1), tileSum(0, 0));  // frame 4 brighter than frame 0
  EXPECT_GT(tileSum(0, 2), tileSum(3, 1));  // t8 brighter than t7
  EXPECT_GT(tileSum(3, 1), 0.0);
  EXPECT_EQ(tileSum(1, 2), 0.0);            // the skipped file
  EXPECT_EQ(tileSum(3, 2), 0.0);            // 10 files in 12 places
}

TEST_F(FileSeriesTest, MovieShowsEachFileForHalfASecond) {
  std::vector<std::string> files;
  for (int f = 0; f < 4; ++f) files.push_back(WriteFrame("v" + std::to_string(f) + ".cbf", f, 40, 32));
  ASSERT_TRUE(Run("Open_File", files[0]));
  Answer({Join(files)});
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(Run("FS_Movie"));
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(seconds, 2.0);
  EXPECT_EQ(Store(LVStores().mainIndex).fileName, files[3]);
}

// A headless backend that counts as a window: it asks what a window asks.
class AskingBackend : public FileRequestRecorder {
 public:
  bool Interactive() const override { return true; }
};

// HDF5 files of two scans: a series reads the stack named after each file name; without names,
// a window asks once (from the first file) and every file gives that stack.
TEST_F(FileSeriesTest, ASeriesOfHdf5ScansReadsTheStackNamedOrChosen) {
  auto write = [&](const std::string& name, float second) {
    const std::string path = dir.File(name);
    const hid_t file = H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT);
    const hsize_t dims[3] = {1, 12, 16};
    const hid_t space = H5Screate_simple(3, dims, nullptr);
    const hid_t lcpl = H5Pcreate(H5P_LINK_CREATE);
    H5Pset_create_intermediate_group(lcpl, 1);
    for (const auto& [stack, value] : {std::pair{"/1.1/instrument/cam/data", 1.0f},
                                       std::pair{"/2.1/instrument/cam/data", second}}) {
      const std::vector<float> values(12 * 16, value);
      const hid_t set = H5Dcreate2(file, stack, H5T_IEEE_F32LE, space, lcpl, H5P_DEFAULT,
                                   H5P_DEFAULT);
      H5Dwrite(set, H5T_NATIVE_FLOAT, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data());
      H5Dclose(set);
    }
    H5Pclose(lcpl);
    H5Sclose(space);
    H5Fclose(file);
    return path;
  };
  const std::vector<std::string> files = {write("scan_a.h5", 20.0f), write("scan_b.h5", 30.0f)};
  const std::string second = "::/2.1/instrument/cam/data";
  ASSERT_TRUE(Run("Open_File", files[0] + second));
  Answer({Join({files[0] + second, files[1] + second})});
  ASSERT_TRUE(Run("FS_Movie"));
  const DataSet& shown = Store(LVStores().mainIndex);
  EXPECT_EQ(shown.fileName, files[1]);
  EXPECT_EQ(shown.data[0], 30.0f);
  EXPECT_TRUE(InfoContains("HDF5 data-set opened: /2.1/instrument/cam/data"));

  auto backend = std::make_unique<AskingBackend>();
  headless = backend.get();
  PInstallBackend(std::move(backend));
  Answer({Join(files), "store 1"});
  ASSERT_TRUE(Run("FS_Movie"));
  EXPECT_EQ(headless->PendingAnswers(), 0u);
  EXPECT_EQ(Store(LVStores().mainIndex).data[0], 30.0f) << "the stack chosen once";
  // Cancelling the choice runs no series.
  Answer({Join(files)});
  EXPECT_FALSE(Run("FS_Movie"));
}

TEST_F(FileSeriesTest, ProjectionsAndAFollowedPeak) {
  std::vector<std::string> files;
  for (int f = 0; f < 3; ++f)
    files.push_back(WriteFrame("p" + std::to_string(f) + ".cbf", f, 120, 100, 12.0f + 2.0f * f));
  ASSERT_TRUE(Run("Open_File", files[0]));
  Answer({"store 8", Join(files), "click 10 20", "click 110 20", "click 60 18", "click 60 22",
          "1"});
  ASSERT_TRUE(Run("FS_Projection"));
  const DataSet& projections = Store(8);
  ASSERT_EQ(projections.numY, 3);
  EXPECT_TRUE(InfoContains("1-D projection of p2.cbf calculated"));
  // Single projections of the last file agree with its row.
  LVStores().mainIndex = 0;
  ASSERT_TRUE(Run("Open_File", files[2]));
  Answer({"store 9", "click 10 20", "click 110 20", "click 60 18", "click 60 22", "1"});
  ASSERT_TRUE(Run("Projection"));
  ASSERT_EQ(Store(9).numX, projections.numX);
  for (int x = 0; x < projections.numX; ++x)
    ASSERT_EQ(Store(9).data[static_cast<std::size_t>(x)], projections.data[IIndex(projections, x, 2)]);

  // The hot spot moves 2 pixels a frame; the fit follows it.
  LVStores().mainIndex = 0;
  ASSERT_TRUE(Run("Open_File", files[0]));
  Answer({"store 10", Join(files), "click 2 80", "click 30 99", "click 12 90"});
  ASSERT_TRUE(Run("FS_Fit_2D_Gaussian"));
  const DataSet& fits = Store(10);
  ASSERT_EQ(fits.numX, 3);
  ASSERT_EQ(fits.numY, 8);
  EXPECT_EQ(fits.title, "Fitted Parameters of 2-D Gaussian and Background");
  EXPECT_EQ(fits.xLabel, "File Number");
  for (int f = 0; f < 3; ++f) {
    EXPECT_NEAR(fits.data[IIndex(fits, f, 0)], 12.0 + 2.0 * f, 0.2) << f;
    EXPECT_NEAR(fits.data[IIndex(fits, f, 1)], 90.0, 0.2) << f;
  }
  EXPECT_TRUE(InfoContains("Fitted parameter results are given as:"));
}

}  // namespace

namespace {

// Real Pilatus frames (copies of the shared CeO2 image) with its published calibration: each
// row of the series equals the single integration of that frame.
TEST_F(FileSeriesTest, RealPilatusFramesIntegrateAsOneByOne) {
  const auto data = SharedData();
  if (data.empty() || !std::filesystem::exists(data / "CeO2_Pilatus1M.tif"))
    GTEST_SKIP() << "the shared detector files are absent";
  std::vector<std::string> files;
  for (int f = 0; f < 3; ++f) {
    files.push_back(dir.File("pilatus_" + std::to_string(f) + ".tif"));
    std::filesystem::copy_file(data / "CeO2_Pilatus1M.tif", files.back());
  }
  ASSERT_TRUE(Run("Open_File", files[0]));
  ASSERT_TRUE(Run("Load_PONI", (data / "CeO2_Pilatus1M.poni").string()));
  Answer({"store 3", "1"});
  ASSERT_TRUE(Run("Integrate_2Theta"));
  const DataSet& single = Store(3);
  const std::vector<float> scan(single.data.get(), single.data.get() + single.numX);
  LVStores().mainIndex = 0;
  IntegrateSeries(files);
  const DataSet& out = Store(5);
  ASSERT_EQ(out.numY, 3);
  ASSERT_EQ(out.numX, static_cast<int>(scan.size()));
  for (int f = 0; f < 3; ++f)
    for (int x = 0; x < out.numX; ++x)
      ASSERT_EQ(out.data[IIndex(out, x, f)], scan[static_cast<std::size_t>(x)]) << f << " " << x;
}

}  // namespace

namespace {

// A dark image chosen with "Subtract_Dark" is taken off every frame of an integration series:
// each row equals the frame's own dark-subtracted integration.
TEST_F(FileSeriesTest, ChosenDarkImageIsSubtractedFromEveryFrame) {
  std::vector<std::string> files;
  for (int f = 0; f < 3; ++f) files.push_back(WriteFrame("d" + std::to_string(f) + ".cbf", f));
  // The dark: a gradient, so that subtracting it changes the scan's shape.
  DataSet dark;
  int st = kStatusGood;
  ASSERT_TRUE(IAllocateData(120, 100, dark, st));
  IDefineWholeImage(dark, 120, 100);
  for (int y = 0; y < 100; ++y)
    for (int x = 0; x < 120; ++x) dark.data[IIndex(dark, x, y)] = static_cast<float>(x / 10);
  ASSERT_TRUE(FOutputData(dir.File("dark.cbf"), kFormatCBF, dark, st));
  ASSERT_TRUE(Run("Load_Dark", dir.File("dark.cbf")));

  std::vector<std::vector<float>> single;
  for (const std::string& file : files) {
    LVStores().mainIndex = 0;
    ASSERT_TRUE(Run("Open_File", file));
    ASSERT_TRUE(Run("Subtract_Dark"));
    Answer({"store 3", "1"});
    ASSERT_TRUE(Run("Integrate_2Theta"));
    single.emplace_back(Store(3).data.get(), Store(3).data.get() + Store(3).numX);
  }
  LVStores().mainIndex = 0;
  ASSERT_TRUE(Run("Open_File", files[0]));
  IntegrateSeries(files);
  const DataSet& out = Store(5);
  ASSERT_EQ(out.numY, 3);
  for (int f = 0; f < 3; ++f)
    for (int x = 0; x < out.numX; ++x)
      ASSERT_EQ(out.data[IIndex(out, x, f)], single[f][static_cast<std::size_t>(x)]) << f << " " << x;

  // Switched off, the frames are integrated as read.
  ASSERT_TRUE(Run("Dark_Flat_Off"));
  LVStores().mainIndex = 0;
  ASSERT_TRUE(Run("Open_File", files[0]));
  IntegrateSeries(files);
  bool differs = false;
  for (int x = 0; x < Store(5).numX; ++x)
    differs = differs || Store(5).data[IIndex(Store(5), x, 0)] != single[0][static_cast<std::size_t>(x)];
  EXPECT_TRUE(differs);
}

}  // namespace
