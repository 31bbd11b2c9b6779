// Frames of HDF5 files from commands and scripts: "Open_Frame FRAME FILE", and a script that
// corrects one frame with a dark and a flat field read from files, through the real program.
#include <gtest/gtest.h>
#include <hdf5.h>

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

// `frames` frames of 6 x 4 reals (frames 0: a 2-D data-set of frame 0's values, `scale` times).
void WriteImage(const std::string& name, int frames, float scale = 1.0f) {
  const hid_t file = H5Fcreate(name.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT);
  const hsize_t dims[3] = {static_cast<hsize_t>(frames), 4, 6};
  const int rank = frames > 0 ? 3 : 2;
  const hid_t space = H5Screate_simple(rank, rank == 3 ? dims : dims + 1, nullptr);
  const hid_t lcpl = H5Pcreate(H5P_LINK_CREATE);
  H5Pset_create_intermediate_group(lcpl, 1);
  const hid_t dataset = H5Dcreate2(file, "/entry/data/data", H5T_IEEE_F32LE, space, lcpl,
                                   H5P_DEFAULT, H5P_DEFAULT);
  std::vector<float> values;
  for (int f = 0; f < std::max(frames, 1); ++f)
    for (int y = 0; y < 4; ++y)
      for (int x = 0; x < 6; ++x) values.push_back(frames > 0 ? Value(f, x, y) : scale);
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
