// Entry point. With "--script FILE [IMAGE]" a command script runs without a display;
// otherwise the window program starts, opening the file named on the command line.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/LVScript.h"
#include "app/LVWindowMain.h"

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "--script") == 0) {
    const std::string image = argc >= 4 ? argv[3] : "";
    LVScriptOptions options;
    const int code = LVRunScript(argv[2], image, options);
    std::printf("lumivane: log written to lumivane.log in the current directory\n");
    return code;
  }
  int first = 1;
  LVWindowTestHooks hooks;
  // "--screenshot PNG MS": grab the window to PNG after MS milliseconds and close (demos).
  if (argc >= 4 && std::strcmp(argv[1], "--screenshot") == 0) {
    hooks.screenshot = argv[2];
    hooks.exitAfterMs = std::max(1, std::atoi(argv[3]));
    LVSetWindowTestHooks(hooks);
    first = 4;
  }
  std::string file;
  for (int i = first; i < argc; ++i) {
    if (!file.empty()) file += " ";
    file += argv[i];
  }
  return LVRunWindow(argc, argv, file);
}
