// Command scripts run through the real program: start-up and shut-down files, answers,
// exit codes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/wait.h>

#include "tests/support/TestSupport.h"

namespace {

struct ScriptRun {
  int exitCode = -1;
  std::string log;
  std::string dataBase;
};

ScriptRun RunScript(const ScratchDir& dir, const std::string& script, const std::string& image = "") {
  WriteFile(dir.File("script.lvs"), script);
  const std::string command = "cd '" + dir.path().string() + "' && '" LV_PROGRAM
                              "' --script script.lvs " + image + " > stdout.txt 2>&1";
  const int raw = std::system(command.c_str());
  ScriptRun run;
  run.exitCode = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  run.log = ReadFile(dir.File("lumivane.log"));
  run.dataBase = ReadFile(dir.File("Lumivane.idb"));
  return run;
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(ScriptTest, ExitAloneWritesLogAndDataBase) {
  ScratchDir dir;
  const ScriptRun run = RunScript(dir, "# nothing to do\n\nExit\n");
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.log.rfind("Quorvel: Log File: lumivane.log\n\n", 0), 0u);
  EXPECT_TRUE(Contains(run.log, "Lumivane Welcomes Lumivanes !"));
  EXPECT_EQ(run.dataBase.rfind("# Quorvel: Internal Data-Base File\n\n", 0), 0u);
  EXPECT_TRUE(Contains(run.dataBase, "# Quorvel: End of Internal Data-Base File\n"));
  EXPECT_FALSE(Contains(run.dataBase, "#Starting_Directory"));
  EXPECT_TRUE(Contains(run.dataBase, "Info_Window_EndY = 599;"));
}

TEST(ScriptTest, AnswersAreConsumedInOrderAndSettingsPersist) {
  ScratchDir dir;
  ScriptRun run = RunScript(dir,
                      "answer New title\n"
                      "Change_Title\n"
                      "Set_Beam_Centre 487.25 512.5\n"
                      "Set_Magnification 4\n"
                      "answer store 3\n"
                      "answer Dark\n"
                      "Data_Change_Name\n");
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_TRUE(Contains(run.log, "SCRIPT: dialog \"Enter text for data-set title\": New title"));
  EXPECT_TRUE(Contains(run.log, "INFO: Beam centre set to (487.250000, 512.500000)"));
  EXPECT_TRUE(Contains(run.log, "SCRIPT: dialog \"Enter name to refer to data-set\": Dark"));
  EXPECT_TRUE(Contains(run.dataBase, "Beam_CentreX = 487.250000;"));
  EXPECT_TRUE(Contains(run.dataBase, "Image_Display_Magnification = 4;"));

  // The next run starts from the stored settings.
  run = RunScript(dir, "Exit\n");
  EXPECT_TRUE(Contains(run.dataBase, "Beam_CentreX = 487.250000;"));
}

TEST(ScriptTest, UnansweredPromptIsCancelledAndLogged) {
  ScratchDir dir;
  const ScriptRun run = RunScript(dir, "Change_Title\nanswer unused\n");
  EXPECT_EQ(run.exitCode, 0);  // a cancel is not a failure
  EXPECT_TRUE(Contains(run.log,
                       "SCRIPT: dialog \"Enter text for data-set title\": no answer queued, cancelled"));
  EXPECT_TRUE(Contains(run.log, "SCRIPT: 1 answer(s) left unused"));
}

TEST(ScriptTest, FailuresGiveExitCodeOne) {
  ScratchDir dir;
  ScriptRun run = RunScript(dir, "Not_A_Command\n");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(Contains(run.log, "WARNING: Unknown command: Not_A_Command"));

  // A failing command whose report is not answered keeps the status bad to the end.
  run = RunScript(dir, "Set_Main_Dataset 5\nanswer store 6\nData_Copy\nROI_Full\n");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(Contains(run.log, "ERROR: IAllocateData V0.4: First dimension: integer value out of acceptable range"));
  EXPECT_TRUE(Contains(run.log,
                       "SCRIPT: question \"RE-SET STATUS SYSTEM TO GOOD STATE\": no answer queued, cancelled"));

  // Answering yes clears it for the following commands, but the run still failed.
  run = RunScript(dir, "Set_Main_Dataset 5\nanswer store 6\nanswer yes\nData_Copy\nROI_Full\n");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(Contains(run.log, "INFO: Full ROI is set"));

  ScratchDir empty;
  const std::string command = "cd '" + empty.path().string() + "' && '" LV_PROGRAM
                              "' --script absent.lvs > /dev/null 2>&1";
  const int raw = std::system(command.c_str());
  EXPECT_EQ(WEXITSTATUS(raw), 1);
}

}  // namespace
