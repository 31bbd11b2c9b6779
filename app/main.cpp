// Entry point. "--script FILE [IMAGE]" runs a command script without a display.
#include <cstdio>
#include <cstring>
#include <string>

#include "app/LVScript.h"

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "--script") == 0) {
    const std::string image = argc >= 4 ? argv[3] : "";
    LVScriptOptions options;
    const int code = LVRunScript(argv[2], image, options);
    std::printf("lumivane: log written to lumivane.log in the current directory\n");
    return code;
  }
  std::fprintf(stderr,
               "usage: lumivane --script FILE [IMAGE]\n"
               "The window program is not built yet; command scripts run without a display.\n");
  return 2;
}
