// Runs a command script through the real program (lv_app_tests only, where LV_PROGRAM names
// it) in a scratch folder, and reads back its exit code, log and data-base.
#pragma once

#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "tests/support/TestSupport.h"

struct ScriptRun {
  int exitCode = -1;  // -1 when the program did not end by itself
  std::string log;
  std::string dataBase;
};

// The script goes to script.lvs in `dir`; `image` is named on the command line; `environment`
// is put before the program ("NAME=value ...").
inline ScriptRun RunProgramScript(const ScratchDir& dir, const std::string& script,
                                  const std::string& image = "",
                                  const std::string& environment = "") {
  WriteFile(dir.File("script.lvs"), script);
  const std::string command = "cd '" + dir.path().string() + "' && " + environment + " '" +
                              LV_PROGRAM + "' --script script.lvs " + image +
                              " > stdout.txt 2>&1";
  const int raw = std::system(command.c_str());
  ScriptRun run;
  run.exitCode = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  run.log = ReadFile(dir.File("lumivane.log"));
  run.dataBase = ReadFile(dir.File("Lumivane.idb"));
  return run;
}
