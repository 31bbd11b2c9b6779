// A command script that sets, divides, crops, rebins, transposes and lists an image.
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

TEST(ManipulateScriptTest, SetDivideCropRebinTransposeAndList) {
  ScratchDir dir;
  std::string log;
  const int code = RunScript(dir,
                             "# a 64 x 48 image without noise\n"
                             "answer 64\nanswer 48\nanswer 0.1\nanswer 1000\nanswer 10\n"
                             "answer no\n"
                             "Simulate_Powder 302\n"
                             "answer 100\nConstant_Set\n"
                             "answer 4\nConstant_Divide\n"
                             "answer 1\nanswer 2\nanswer 40\nanswer 30\nROI_Set\n"
                             "Data_Crop\n"
                             "Data_Rebin 2\n"
                             "answer store 3\nData_Transpose\n"
                             "Data_Information\n",
                             log);
  EXPECT_EQ(code, 0) << log;
  EXPECT_TRUE(Contains(log, "INFO: Main data ROI set to 100"));
  EXPECT_TRUE(Contains(log, "INFO: Main data divided by 4.000000"));
  EXPECT_TRUE(Contains(log, "INFO: The ROI is set to (1, 2) to (40, 30)"));
  EXPECT_TRUE(Contains(log, "INFO: Main data has been cropped to the ROI"));
  EXPECT_TRUE(Contains(log, "INFO: Main data rebinned by a factor of 2"));
  // 40 x 29 cropped, 20 x 14 rebinned, 14 x 20 transposed.
  EXPECT_TRUE(Contains(log, "The defined data is 14 by 20 pixels"));
  EXPECT_TRUE(Contains(log, "ROI Minimum value = 25.000000; Maximum value = 25.000000"));
  EXPECT_TRUE(Contains(log, "ROI Mean = 25.000000; Standard deviation = 0.000000"));

  // Division by zero is refused with a warning: the script fails.
  EXPECT_EQ(RunScript(dir,
                      "answer 8\nanswer 8\nanswer 0.1\nanswer 1000\nanswer 10\nanswer no\n"
                      "Simulate_Powder 302\nanswer 0\nConstant_Divide\n",
                      log),
            1);
  EXPECT_TRUE(Contains(log, "WARNING: You cannot divide the data elements by zero !"));
}

}  // namespace
