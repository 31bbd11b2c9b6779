// Frames of HDF5 files from commands and scripts: "Open_Frame FRAME FILE", and a script that
// corrects one frame with a dark and a flat field read from files, through the real program.
#include <gtest/gtest.h>
#include <hdf5.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/LVCommand.h"
#include "commands/LVDarkFlat.h"
#include "core/status.h"
#include "tests/support/AppFixture.h"
#include "tests/support/ScriptRun.h"
#include "tests/support/TestSupport.h"

namespace {

float Value(int frame, int x, int y) { return static_cast<float>(frame * 1000 + y * 10 + x); }

// `frames` frames of 6 x 4 reals (frames 0: a 2-D data-set of frame 0's values, `scale` times)
// at `path`, frames counted from `first`; a second stack goes into the same file.
void WriteImage(const std::string& name, int frames, float scale = 1.0f,
                const char* path = "/entry/data/data", int first = 0, bool add = false) {
  const hid_t file = add ? H5Fopen(name.c_str(), H5F_ACC_RDWR, H5P_DEFAULT)
                         : H5Fcreate(name.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT);
  const hsize_t dims[3] = {static_cast<hsize_t>(frames), 4, 6};
  const int rank = frames > 0 ? 3 : 2;
  const hid_t space = H5Screate_simple(rank, rank == 3 ? dims : dims + 1, nullptr);
  const hid_t lcpl = H5Pcreate(H5P_LINK_CREATE);
  H5Pset_create_intermediate_group(lcpl, 1);
  const hid_t dataset = H5Dcreate2(file, path, H5T_IEEE_F32LE, space, lcpl,
                                   H5P_DEFAULT, H5P_DEFAULT);
  std::vector<float> values;
  for (int f = 0; f < std::max(frames, 1); ++f)
    for (int y = 0; y < 4; ++y)
      for (int x = 0; x < 6; ++x) values.push_back(frames > 0 ? Value(first + f, x, y) : scale);
  H5Dwrite(dataset, H5T_NATIVE_FLOAT, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data());
  H5Dclose(dataset);
  H5Pclose(lcpl);
  H5Sclose(space);
  H5Fclose(file);
}

class OpenFrameTest : public HeadlessAppTest {
 protected:
  void SetUp() override {
    HeadlessAppTest::SetUp();
    Run("Exit", "");
  }
  static bool InfoStarts(const std::string& start) {
    for (const auto& held : IInfoLines()) {
      if (held.rfind(start, 0) == 0) return true;
    }
    return false;
  }
  int Run(const std::string& name, const std::string& text) {
    CommandEvent event;
    event.text = text;
    return LVCommand(name, event, status);
  }
  ScratchDir dir;
};

TEST_F(OpenFrameTest, AFrameByNumberAndNumbersBeyondTheFileRefusedBeforeReading) {
  const std::string name = dir.File("frames.h5");
  WriteImage(name, 100);
  DataSet& d = LVStores().stores[0];
  ASSERT_TRUE(Run("Open_Frame", "57 " + name));
  ASSERT_EQ(d.dimX, 6);
  ASSERT_EQ(d.dimY, 4);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 6; ++x) EXPECT_EQ(d.data[IIndex(d, x, y)], Value(56, x, y));
  for (const char* wrong : {"101 ", "0 "}) {
    EXPECT_FALSE(Run("Open_Frame", wrong + name));
    EXPECT_EQ(d.data[IIndex(d, 5, 3)], Value(56, 5, 3)) << "the store is kept";
  }
  EXPECT_TRUE(InfoHas("WARNING: LVOpenFrame: Image 101 does not exist: " + name + " holds 100"));
  EXPECT_FALSE(Run("Open_Frame", name));
  EXPECT_EQ(status, kStatusGood);
}

// A file of two scans: "FILE::/PATH" names the stack for Open_File and Open_Frame (no question;
// a name that holds no such stack, or a file that is no HDF5 file, is refused, the store kept);
// without a path the first opens and the information says how to name the other.
TEST_F(OpenFrameTest, AStackNamedAfterTheFileNameOpensWithoutAQuestion) {
  const std::string name = dir.File("scans.h5");
  WriteImage(name, 3, 1.0f, "/1.1/instrument/cam/data", 0);
  WriteImage(name, 4, 1.0f, "/2.1/instrument/cam/data", 20, true);
  DataSet& d = LVStores().stores[0];
  struct Row {
    const char* command;
    std::string text;
    int frame;  // -1: refused
    std::string said;
  };
  const std::string second = name + "::/2.1/instrument/cam/data";
  const Row rows[] = {
      {"Open_File", second, 20, "INFO: HDF5 data-set opened: /2.1/instrument/cam/data"},
      {"Open_File", second + "/", 20, "INFO: HDF5 data-set opened: /2.1/instrument/cam/data"},
      {"Open_Frame", "3 " + second, 22, ""},
      {"Open_Frame", "5 " + second, -1, "WARNING: LVOpenFrame: Image 5 does not exist"},
      {"Open_File", name + "::/1.1/instrument/cam/data", 0, ""},
      {"Open_File", name, 0,
       "INFO: Data-set 1 is opened; another is opened by its path: " + second},
      {"Open_File", name + "::/3.1/instrument/cam/data", -1,
       "WARNING: FInputData: The file " + name +
           " holds no image data-set /3.1/instrument/cam/data; its image data-sets: "
           "/1.1/instrument/cam/data, /2.1/instrument/cam/data"},
      {"Open_File", dir.File("absent.h5") + "::/2.1/instrument/cam/data", -1, ""},
  };
  int shown = -1;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    IInfoClear();
    const int opened = Run(row.command, row.text);
    ASSERT_EQ(opened != kFalse, row.frame >= 0);
    if (opened) shown = row.frame;
    ASSERT_GE(shown, 0);
    EXPECT_EQ(d.data[IIndex(d, 5, 3)], Value(shown, 5, 3)) << "the frame, or the store kept";
    if (!row.said.empty()) {
      EXPECT_TRUE(InfoStarts(row.said));
    }
    IResetStatus(status);
  }
  // A name that is itself a file is never split.
  std::filesystem::create_directory(dir.File("odd.h5::"));
  const std::string odd = dir.File("odd.h5::") + "/data";
  WriteImage(odd, 2, 1.0f, "/entry/data/data", 40);
  ASSERT_TRUE(Run("Open_File", odd));
  EXPECT_EQ(d.data[IIndex(d, 5, 3)], Value(40, 5, 3));
  // A path after a file of another format.
  const std::string text = dir.File("scan.chi");
  std::ofstream(text) << "x\ny\nz\n3\n1 1\n2 2\n3 3\n";
  IInfoClear();
  EXPECT_FALSE(Run("Open_File", text + "::/entry/data/data"));
  EXPECT_TRUE(InfoHas("WARNING: FInputData: " + text +
                      " names the data-set /entry/data/data, but it is no HDF5 file"));
}

TEST(OpenFrameScript, DarkAndFlatFromFilesCorrectAFrameOfAScript) {
  ScratchDir dir;
  WriteImage(dir.File("frames.h5"), 100);
  WriteImage(dir.File("dark.h5"), 0, 1000.0f);
  WriteImage(dir.File("flat.h5"), 0, 2.0f);
  const ScriptRun run = RunProgramScript(
      dir,
      "Load_Dark dark.h5\nLoad_Flat flat.h5\nOpen_Frame 57 frames.h5\nSubtract_Dark\n"
      "Divide_Flat\nData_Information\n");
  EXPECT_EQ(run.exitCode, 0) << run.log;
  // Frame 57 runs from 56000 to 56035: less 1000, halved.
  EXPECT_NE(run.log.find("ROI Minimum value = 27500.000000; Maximum value = 27517.500000"),
            std::string::npos)
      << run.log;
}

}  // namespace
