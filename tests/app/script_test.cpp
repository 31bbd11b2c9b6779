// Command scripts run through the real program: start-up and shut-down files, answers,
// exit codes.
#include <gtest/gtest.h>

#include <QImage>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>

#include "tests/support/ScriptRun.h"
#include "tests/support/TestSupport.h"

namespace {

ScriptRun RunScript(const ScratchDir& dir, const std::string& script, const std::string& image = "",
                    const std::string& environment = "") {
  return RunProgramScript(dir, script, image, environment);
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

// The script stops there: its later answers would go to the wrong prompts, and a batch run
// must not write a result made with a geometry or mask it never got.
TEST(ScriptTest, UnansweredPromptIsCancelledAndLoggedAndTheScriptStops) {
  ScratchDir dir;
  const ScriptRun run =
      RunScript(dir, "Change_Title\nanswer unused\nSet_Beam_Centre 3 4\nanswer left\n");
  EXPECT_EQ(run.exitCode, 1);  // the script did not say what it wanted there
  EXPECT_TRUE(Contains(run.log,
                       "SCRIPT: dialog \"Enter text for data-set title\": no answer queued, cancelled"));
  EXPECT_TRUE(
      Contains(run.log, "SCRIPT: no answer queued for \"Enter text for data-set title\" (line 1)"));
  EXPECT_TRUE(Contains(run.log, "SCRIPT: the script stops after line 1: a prompt found no answer, "
                                "the lines after it are not run"));
  EXPECT_FALSE(Contains(run.log, "Beam centre set to"));
  EXPECT_FALSE(Contains(run.log, "answer(s) left unused"));
}

// A prompt the script answers, or cancels on purpose, leaves the run good; one that finds no
// answer queued is named with its command's line and fails the run, whatever kind it is.
TEST(ScriptTest, OnlyAPromptLeftWithoutAnswerFailsTheRun) {
  struct Case {
    const char* name;
    const char* script;
    int exitCode;
    const char* unanswered;  // the line naming it, or none
  };
  const Case cases[] = {
      {"value dialog, unanswered", "Change_Title\n", 1,
       "SCRIPT: no answer queued for \"Enter text for data-set title\" (line 1)"},
      {"file dialog, unanswered", "answer New title\nChange_Title\nOpen_File ?\n", 1,
       "SCRIPT: no answer queued for \"SELECT INPUT FILE CONTAINING DATA IMAGE\" (line 3)"},
      {"question, unanswered", "# a mask\n\nSimulate_Data\nMask_Threshold\n", 1,
       "SCRIPT: no answer queued for \"MASK ELEMENTS BELOW A THRESHOLD\" (line 4)"},
      {"answer cancel", "answer cancel\nChange_Title\nanswer cancel\nOpen_File ?\n", 0, nullptr},
      {"answered", "answer New title\nChange_Title\n", 0, nullptr},
      {"answer yes before Load_PONI", "Simulate_Data\nanswer yes\nLoad_PONI geometry.poni\n", 0,
       nullptr},
  };
  for (const Case& c : cases) {
    ScratchDir dir;
    WriteFile(dir.File("scan.chi"), "Scan\nX\nI\n3\n1 5\n2 6\n3 7\n");
    WriteFile(dir.File("geometry.poni"), "PixelSize1: 1e-4\nPixelSize2: 1e-4\nDistance: 0.1\n"
                                         "Poni1: 0.03\nPoni2: 0.05\n");
    const ScriptRun run = RunScript(dir, c.script, "scan.chi");
    EXPECT_EQ(run.exitCode, c.exitCode) << c.name << "\n" << run.log;
    if (c.unanswered) {
      EXPECT_TRUE(Contains(run.log, c.unanswered)) << c.name << "\n" << run.log;
    } else {
      EXPECT_FALSE(Contains(run.log, "SCRIPT: no answer queued for")) << c.name << "\n" << run.log;
    }
  }
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

// Refusals that keep the good status (a file the readers do not know, a save that cannot be
// written) still fail the run, and the log names the command.
TEST(ScriptTest, RefusedOpensAndFailedSavesGiveExitCodeOne) {
  ScratchDir dir;
  WriteFile(dir.File("scan.chi"), "Scan\nX\nI\n3\n1 5\n2 6\n3 7\n");
  WriteFile(dir.File("junk.dat"), std::string(600, '\x01'));
  WriteFile(dir.File("bad.chi"), "Scan\nX\nI\nnone\n1 5\n");

  ScriptRun run = RunScript(dir, "Open_File scan.chi\nSave_Chiplot copy.chi\n");
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_FALSE(Contains(run.log, "SCRIPT: command failed"));

  run = RunScript(dir, "Open_File junk.dat\nROI_Full\n");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(Contains(run.log, "SCRIPT: command failed: Open_File junk.dat (line 1)"));
  EXPECT_TRUE(
      Contains(run.log, "WARNING: FDeduceFileFormat: Number of formats which fit file = 0"));
  EXPECT_TRUE(Contains(run.log, "WARNING: junk.dat is not an image format Lumivane reads ("));
  EXPECT_FALSE(Contains(run.log, "SCRIPT: command failed: ROI_Full"));

  run = RunScript(dir, "# a header that does not hold\n\nOpen_File bad.chi\n");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(Contains(run.log, "SCRIPT: command failed: Open_File bad.chi (line 3)"));

  for (const char* target : {"missing/folder/out.chi", "/dev/full"}) {
    run = RunScript(dir, std::string("Save_Chiplot ") + target + "\n", "scan.chi");
    EXPECT_EQ(run.exitCode, 1) << target;
    EXPECT_TRUE(Contains(run.log, std::string("SCRIPT: command failed: Save_Chiplot ") + target))
        << target;
  }
  run = RunScript(dir, "Save_File missing/out.bsl\n", "scan.chi");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(Contains(run.log, "SCRIPT: command failed: Save_File missing/out.bsl (line 1)"));

  // A file named on the command line that cannot be read fails the run as well.
  run = RunScript(dir, "ROI_Full\n", "junk.dat");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(Contains(run.log, "SCRIPT: command failed: Open_File junk.dat (command line)"));
}

// A cancel the script asks for ends the command without failing the run; an answer that does
// not fit, or a setting already in place, is told apart.
TEST(ScriptTest, CancelsAreNotFailuresButMisfittingAnswersAre) {
  ScratchDir dir;
  WriteFile(dir.File("scan.chi"), "Scan\nX\nI\n3\n1 5\n2 6\n3 7\n");
  ScriptRun run = RunScript(dir,
                            "answer cancel\nSave_Chiplot ?\n"
                            "answer cancel\nData_Copy\n"
                            "answer cancel\nOpen_File ?\n"
                            "Set_Magnification 2\nSet_Magnification 2\n",
                            "scan.chi");
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_TRUE(Contains(run.log, "SCRIPT: command cancelled: Save_Chiplot ? (line 2)"));
  EXPECT_TRUE(Contains(run.log, "SCRIPT: command cancelled: Data_Copy (line 4)"));
  EXPECT_TRUE(Contains(run.log, "SCRIPT: command cancelled: Open_File ? (line 6)"));
  EXPECT_FALSE(Contains(run.log, "Set_Magnification 2 (line"));

  // Store 0 is the main store, greyed in the pop-up.
  run = RunScript(dir, "answer store 0\nData_Copy\n", "scan.chi");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(Contains(run.log, "SCRIPT: command failed: Data_Copy (line 2)"));
  // A store that does not exist is no cancel.
  run = RunScript(dir, "Set_Main_Dataset 20\n");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(Contains(run.log, "SCRIPT: command failed: Set_Main_Dataset 20 (line 1)"));
}

// Scans with falling abscissae draw and save; a scan that cannot make a graph paints its
// reason and the run goes on with the good status (no failed repaint, no error).
TEST(ScriptTest, FallingAndUndrawableScansPaintAndSave) {
  ScratchDir dir;
  WriteFile(dir.File("falling.chi"), "Falling\nD-Spacing\nI\n5\n5 1\n4 3\n3 9\n2 4\n1 2\n");
  WriteFile(dir.File("one.chi"), "One\nX\nI\n1\n5 1\n");
  WriteFile(dir.File("inf.chi"), "Inf\nX\nI\n4\n1 1\n2 inf\n3 2\n4 1\n");
  ScriptRun run =
      RunScript(dir, "picture falling.png\nSave_Chiplot back.chi\nSave_File back.bsl\n",
                "falling.chi");
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_FALSE(Contains(run.log, "ERROR"));
  EXPECT_TRUE(std::filesystem::file_size(dir.File("falling.png")) > 0);
  EXPECT_TRUE(Contains(ReadFile(dir.File("back.chi")), "\n             5              1\n"));
  for (const char* name : {"one", "inf"}) {
    run = RunScript(dir, std::string("picture ") + name + ".png\nROI_Full\n",
                    std::string(name) + ".chi");
    EXPECT_EQ(run.exitCode, 0) << name;
    EXPECT_FALSE(Contains(run.log, "ERROR")) << name;
    EXPECT_TRUE(std::filesystem::exists(dir.File(std::string(name) + ".png"))) << name;
  }
}

// A docked information window stays docked from a window run to a run of another client size
// (a script's 800 x 600 canvas): it is laid out again across the new bottom.
TEST(ScriptTest, ADockedInformationWindowStaysDockedOnAnotherClientSize) {
  ScratchDir dir;
  ASSERT_EQ(RunScript(dir, "Exit\n").exitCode, 0);
  std::string dataBase = ReadFile(dir.File("Lumivane.idb"));
  for (const auto& [from, to] :
       {std::pair<std::string, std::string>{"Info_Window_StartY = 500;", "Info_Window_StartY = 468;"},
        {"Info_Window_EndX = 799;", "Info_Window_EndX = 786;"},
        {"Info_Window_EndY = 599;", "Info_Window_EndY = 567;"}}) {
    const auto at = dataBase.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    dataBase.replace(at, from.size(), to);
  }
  ASSERT_TRUE(Contains(dataBase, "Info_Window_Docked = True;"));
  WriteFile(dir.File("Lumivane.idb"), dataBase);
  const ScriptRun run = RunScript(dir, "Exit\n");
  EXPECT_TRUE(Contains(run.dataBase, "Info_Window_StartY = 500;")) << run.dataBase;
  EXPECT_TRUE(Contains(run.dataBase, "Info_Window_EndX = 799;"));
  EXPECT_TRUE(Contains(run.dataBase, "Info_Window_EndY = 599;"));

  // Dragged away from the bottom, it stays where it was put.
  dataBase = run.dataBase;
  dataBase.replace(dataBase.find("Info_Window_Docked = True;"), 26, "Info_Window_Docked = False;");
  dataBase.replace(dataBase.find("Info_Window_StartY = 500;"), 25, "Info_Window_StartY = 300;");
  dataBase.replace(dataBase.find("Info_Window_EndY = 599;"), 23, "Info_Window_EndY = 399;");
  WriteFile(dir.File("Lumivane.idb"), dataBase);
  const ScriptRun floating = RunScript(dir, "Exit\n");
  EXPECT_TRUE(Contains(floating.dataBase, "Info_Window_StartY = 300;"));
  EXPECT_TRUE(Contains(floating.dataBase, "Info_Window_Docked = False;"));
}

// A machine whose only monospaced family is Noto Sans Mono, which does not declare itself
// fixed-pitch: the information window still finds a fixed font without a warning, and after a
// graph (whose axis label is drawn rotated) its text stays upright.
TEST(ScriptTest, NotoSansMonoAloneGivesAnUprightInformationWindowWithoutWarning) {
  const char* noto = "/usr/share/fonts/truetype/noto/NotoSansMono-Regular.ttf";
  if (!std::filesystem::exists(noto)) GTEST_SKIP() << "Noto Sans Mono is not installed";
  ScratchDir dir;
  WriteFile(dir.File("fonts.conf"),
            "<?xml version=\"1.0\"?>\n<!DOCTYPE fontconfig SYSTEM \"fonts.dtd\">\n<fontconfig>\n"
            "<include ignore_missing=\"yes\">/etc/fonts/fonts.conf</include>\n"
            "<selectfont><rejectfont>\n"
            "<pattern><patelt name=\"spacing\"><const>mono</const></patelt></pattern>\n"
            "<glob>*DejaVuSansMono*</glob><glob>*LiberationMono*</glob><glob>*NotoMono-*</glob>\n"
            "<glob>*Courier*</glob><glob>*FreeMono*</glob>\n"
            "</rejectfont></selectfont>\n"
            "<alias binding=\"strong\"><family>monospace</family>"
            "<prefer><family>Noto Sans Mono</family></prefer></alias>\n</fontconfig>\n");
  const ScriptRun run = RunScript(dir,
                                  "answer 172\nanswer 172\nSet_Pixel_Sizes\n"
                                  "answer 0.4066\nSet_Wavelength\nanswer 0.1\nSet_Distance\n"
                                  "Set_Beam_Centre 100 100\n"
                                  "answer 200\nanswer 200\nanswer 0.05\nanswer 2000\nanswer 20\n"
                                  "answer yes\nSimulate_Powder 302\n"
                                  "answer store 10\nanswer 1\nIntegrate_2Theta\n"
                                  "picture scan.png\n",
                                  "", "FONTCONFIG_FILE='" + dir.File("fonts.conf") + "'");
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_FALSE(Contains(run.log, "Failed to create 16 point horizontal font")) << run.log;
  EXPECT_TRUE(Contains(run.log, "INFO: Main data integrated to 1-D scan(s)"));

  // The information window's last rows, at the bottom of the picture: upright lines spread
  // ink far to the right; a rotated line would be a narrow column at the left edge.
  const QImage picture(QString::fromStdString(dir.File("scan.png")));
  ASSERT_FALSE(picture.isNull());
  int rightInk = 0;
  for (int y = picture.height() - 40; y < picture.height() - 8; ++y)
    for (int x = 120; x < 300; ++x) rightInk += qGray(picture.pixel(x, y)) < 100;
  EXPECT_GT(rightInk, 100);
}

}  // namespace

namespace {

// The exit code of the program run on `script` in `dir`, held to 20 seconds (124 when held).
int RunTimed(const ScratchDir& dir, const std::string& script) {
  const std::string command = "cd '" + dir.path().string() + "' && timeout 20 '" LV_PROGRAM
                              "' --script '" + script + "' > /dev/null 2>&1";
  const int raw = std::system(command.c_str());
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

// Scripts that are no regular file, lines that cannot be what they say, and values no
// experiment has fail the run at once; nothing hangs and nothing is taken.
TEST(ScriptTest, HostileScriptsAndValuesFailTheRun) {
  ScratchDir dir;
  ASSERT_EQ(mkfifo(dir.File("pipe.lvs").c_str(), 0600), 0);
  std::filesystem::create_directory(dir.File("folder.lvs"));
  for (const char* script : {"pipe.lvs", "folder.lvs", "/dev/zero"}) {
    EXPECT_EQ(RunTimed(dir, script), 1) << script;
  }

  WriteFile(dir.File("scan.chi"), "Scan\nX\nI\n3\n1 5\n2 6\n3 7\n");
  const struct {
    std::string script;
    const char* logged;  // null: the run succeeds
  } rows[] = {
      {std::string("Open_File scan.chi\0junk\n", 24), "SCRIPT: command failed: line 1 holds a NUL"},
      {"Open_File " + std::string(70000, 'x') + "\n",
       "SCRIPT: command failed: line 1 is longer than 65536 characters"},
      {"Set_Beam_Centre nan inf\n", "must be finite and within 10^6 pixels; nothing changed"},
      {"Set_Beam_Centre 1e38 -1e38\n", "must be finite and within 10^6 pixels; nothing changed"},
      {"Set_Beam_Centre 1000000 -999999\n", nullptr},
      {"answer inf\nBeam_Centre 854\n", "SCRIPT: no answer queued"},
  };
  for (const auto& row : rows) {
    const ScriptRun run = RunScript(dir, row.script);
    EXPECT_EQ(run.exitCode, row.logged ? 1 : 0) << row.script.substr(0, 40);
    if (row.logged) {
      EXPECT_TRUE(Contains(run.log, row.logged)) << row.script.substr(0, 40);
    }
    EXPECT_EQ(Contains(run.log, "Beam centre set to"), !row.logged) << row.script.substr(0, 40);
  }
}

// A picture is written as every save is: only over a regular file the user may write.
TEST(ScriptTest, PicturesReplaceOnlyRegularFilesTheUserMayWrite) {
  ScratchDir dir;
  ASSERT_EQ(mkfifo(dir.File("pipe.png").c_str(), 0600), 0);
  WriteFile(dir.File("kept.png"), "kept");
  chmod(dir.File("kept.png").c_str(), 0444);
  std::filesystem::create_symlink(dir.File("nowhere.png"), dir.File("dangling.png"));
  const struct {
    const char* name;
    int exitCode;
  } rows[] = {{"pipe.png", 1}, {"kept.png", 1}, {"dangling.png", 1}, {"new.png", 0}};
  for (const auto& row : rows) {
    WriteFile(dir.File("shot.lvs"), std::string("picture ") + row.name + "\n");
    EXPECT_EQ(RunTimed(dir, "shot.lvs"), row.exitCode) << row.name;
  }
  EXPECT_TRUE(std::filesystem::is_fifo(dir.File("pipe.png")));
  EXPECT_EQ(ReadFile(dir.File("kept.png")), "kept");
  EXPECT_TRUE(std::filesystem::is_symlink(dir.File("dangling.png")));
  EXPECT_FALSE(std::filesystem::exists(dir.File("nowhere.png")));
  EXPECT_FALSE(QImage(QString::fromStdString(dir.File("new.png"))).isNull());
}

}  // namespace
