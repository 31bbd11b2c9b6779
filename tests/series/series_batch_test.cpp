// BSL header names end in 0 before the extension: the binary file takes a 1 there.
// A series split into chunks, each run by its own program start from one script (the frame
// range from the environment), and the chunks merged: the same rows as one run over all.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/status.h"
#include "fileio/FInput.h"
#include "fileio/FReaders.h"
#include "fileio/FScanFiles.h"
#include "tests/support/ScriptRun.h"
#include "tests/support/TestSupport.h"

namespace {

void WriteFrame(const std::string& path, int frame) {
  DataSet d;
  int status = kStatusGood;
  ASSERT_TRUE(IAllocateData(64, 48, d, status));
  IDefineWholeImage(d, 64, 48);
  d.beamCentreX = 30.5f;
  d.beamCentreY = 20.0f;
  d.distance = 0.04f;
  d.pixelSizeX = d.pixelSizeY = 172.0e-6f;
  d.wavelength = 0.5e-10f;
  for (int y = 0; y < 48; ++y)
    for (int x = 0; x < 64; ++x) {
      const double r = std::hypot(x + 0.5 - 30.5, y + 0.5 - 20.0);
      d.data[IIndex(d, x, y)] = static_cast<float>(
          std::round(5.0 + (frame + 1) * 40.0 * std::exp(-std::pow(r - 15.0 - 0.2 * frame, 2))));
    }
  ASSERT_TRUE(FOutputData(path, kFormatCBF, d, status));
}

DataSet ReadBack(const std::string& path) {
  DataSet d;
  int status = kStatusGood;
  EXPECT_TRUE(FInputDataWith(path, FInputHooks{}, d, status)) << path;
  return d;
}

std::string Script(const std::string& list, const std::string& output) {
  return "Open_File f00.cbf\n"
         "Set_Beam_Centre 30.5 20\n"
         "answer store 5\nanswer yes\nanswer @" + list + "\nanswer store 1\nanswer no\nanswer 1\n"
         "FS_Integrate\n"
         "Save_File " + output + "\n"
         "Exit\n";
}

TEST(SeriesBatch, ChunksMergedEqualOneRun) {
  ScratchDir dir;
  std::string list;
  for (int f = 0; f < 20; ++f) {
    char name[16];
    std::snprintf(name, sizeof name, "f%02d.cbf", f);
    WriteFrame(dir.File(name), f);
    list += std::string(name) + "\n";
  }
  WriteFile(dir.File("frames.txt"), list);

  const ScriptRun whole = RunProgramScript(dir, Script("frames.txt", "all0.bsl"));
  ASSERT_EQ(whole.exitCode, 0) << whole.log;

  std::vector<std::string> chunks;
  for (int first = 1; first <= 20; first += 5) {
    char name[32];
    std::snprintf(name, sizeof name, "chunk_%04d_0.bsl", first);
    const std::string environment =
        "FIRST=" + std::to_string(first) + " LAST=" + std::to_string(first + 4);
    const ScriptRun run = RunProgramScript(
        dir, Script("frames.txt:${FIRST}-${LAST}", "chunk_${FIRST}_0.bsl"), "", environment);
    ASSERT_EQ(run.exitCode, 0) << run.log;
    EXPECT_NE(run.log.find("5 file(s) from the list"), std::string::npos);
    std::rename(dir.File("chunk_" + std::to_string(first) + "_0.bsl").c_str(), dir.File(name).c_str());
    chunks.push_back(name);
  }
  std::string command = "cd '" + dir.path().string() + "' && '" + LV_PROGRAM +
                        "' --stack-rows merged0.bsl";
  for (const std::string& c : chunks) command += " " + c;
  ASSERT_EQ(std::system((command + " 2> merge.txt").c_str()), 0) << ReadFile(dir.File("merge.txt"));

  const DataSet all = ReadBack(dir.File("all0.bsl"));
  const DataSet merged = ReadBack(dir.File("merged0.bsl"));
  ASSERT_EQ(all.numY, 20);
  ASSERT_EQ(merged.numX, all.numX);
  ASSERT_EQ(merged.numY, all.numY);
  for (int y = 0; y < all.numY; ++y)
    for (int x = 0; x < all.numX; ++x)
      ASSERT_EQ(merged.data[IIndex(merged, x, y)], all.data[IIndex(all, x, y)]) << x << "," << y;
  // Rows differ from frame to frame: the order was kept, not only the values.
  EXPECT_NE(all.data[IIndex(all, all.numX / 2, 0)], all.data[IIndex(all, all.numX / 2, 19)]);

  // A missing variable fails the line and the run; rows of another width are refused.
  const ScriptRun unset = RunProgramScript(dir, "answer @frames.txt:${NO_SUCH_VARIABLE}\nExit\n");
  EXPECT_EQ(unset.exitCode, 1);
  EXPECT_NE(unset.log.find("the environment variable NO_SUCH_VARIABLE is not set"),
            std::string::npos);
  const std::string refuse = "cd '" + dir.path().string() + "' && '" + LV_PROGRAM +
                             "' --stack-rows bad0.bsl merged0.bsl f00.cbf 2> refuse.txt";
  EXPECT_NE(std::system(refuse.c_str()), 0);
  EXPECT_FALSE(std::filesystem::exists(dir.File("bad0.bsl")));
}

}  // namespace
