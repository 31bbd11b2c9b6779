// A command script that filters a simulated image and fits a polynomial background.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/wait.h>

#include "tests/support/ScriptRun.h"
#include "tests/support/TestSupport.h"

namespace {

int RunScript(const ScratchDir& dir, const std::string& script, std::string& log) {
  const ScriptRun run = RunProgramScript(dir, script);
  log = run.log;
  return run.exitCode;
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(FilterScriptTest, MedianTopHatSobelRollingBallAndPolynomial) {
  ScratchDir dir;
  std::string log;
  const int code = RunScript(dir,
                             "answer 64\nanswer 48\nanswer 0.1\nanswer 1000\nanswer 10\n"
                             "answer no\n"
                             "Simulate_Powder 302\n"
                             "answer 5\nanswer 5\nFilter_Median\n"
                             "answer 3\nanswer 3\nFilter_TopHat\n"
                             "answer 21\nanswer 21\nanswer 11\nanswer 11\nFilter_Rolling_Ball\n"
                             "Filter_Sobel\n"
                             "answer store 3\nanswer 2\nanswer 2\nFit_Polynomial\n",
                             log);
  EXPECT_EQ(code, 0) << log;
  EXPECT_TRUE(Contains(log, "INFO: Main Data smoothed by a 5 * 5 pixel median filter"));
  EXPECT_TRUE(Contains(log, "INFO: Main Data smoothed by a 3 * 3 pixel top hat function"));
  EXPECT_TRUE(Contains(log, "INFO: using a 11 * 11 sized moving window"));
  EXPECT_TRUE(Contains(log, "INFO: Main Data filtered by Sobel operator (edge detection)"));
  EXPECT_TRUE(Contains(log, "polynomial.minimumX = 0.5, polynomial.maximumX = 63.5"));

  // A window larger than the region of interest is refused: the script fails.
  EXPECT_EQ(RunScript(dir,
                      "answer 8\nanswer 8\nanswer 0.1\nanswer 1000\nanswer 10\nanswer no\n"
                      "Simulate_Powder 302\n"
                      "answer 0\nanswer 0\nanswer 3\nanswer 3\nROI_Set\n"
                      "answer 5\nanswer 5\nFilter_Median\n",
                      log),
            1);
  EXPECT_TRUE(Contains(log, "WARNING: MMedianFilter: The 5 * 5 window is larger than the 4 * 4 "
                            "region of interest: nothing changed"))
      << log;
}

// A masked row (here the first: the transposed ramp is 0 along it) is left out of the
// background fit and said once; neither the fit nor any later command, redraw or the exit
// warns of an error behind the good status.
TEST(FilterScriptTest, PolynomialFitLeavesOutMaskedRowsAndSaysSoOnce) {
  ScratchDir dir;
  std::string log;
  const int code = RunScript(dir,
                             "Simulate_Data\n"
                             "answer store 1\nData_Transpose\n"
                             "answer yes\nanswer 0\nanswer no\nMask_Threshold\n"
                             "answer store 3\nanswer 5\nanswer 5\nFit_Polynomial\n"
                             "ROI_Full\nSet_Magnification 2\npicture fit.png\nSet_Magnification 1\n"
                             "Exit\n",
                             log);
  EXPECT_EQ(code, 0) << log;
  EXPECT_TRUE(Contains(log, "polynomial.minimumY = 0.5, polynomial.maximumY = 1099.5"));
  const std::string leftOut =
      "INFO: MFitPolynomial2D: 1 of the 1100 rows have fewer than 6 unmasked pixels: left out of "
      "the fit";
  EXPECT_TRUE(Contains(log, leftOut)) << log;
  EXPECT_EQ(log.find(leftOut), log.rfind(leftOut)) << log;  // once
  EXPECT_FALSE(Contains(log, "STATUS: The status value is correct")) << log;
}

}  // namespace
