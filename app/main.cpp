// Entry point. With "--script FILE [IMAGE]" a command script runs without a display; with
// "--stack-rows OUTPUT INPUT..." the rows of the inputs are stacked into one file;
// otherwise the window program starts, opening the file named on the command line.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/LVScript.h"
#include "app/LVWindowMain.h"
#include "core/status.h"
#include "series/LVFileSeries.h"

namespace {

// Messages of the command-line tools go to the terminal.
class ConsoleSink : public IMessageSink {
 public:
  void AddLine(const std::string& line) override { std::fprintf(stderr, "%s\n", line.c_str()); }
  void MessageBox(const std::string&, const std::string&, IBoxIcon, bool) override {}
  IAnswer Question(const std::string&, bool defaultYes) override {
    return defaultYes ? IAnswer::kYes : IAnswer::kNo;
  }
};

}  // namespace

int main(int argc, char** argv) {
  // "--stack-rows OUTPUT INPUT...": the merge step of a series run in chunks.
  if (argc >= 2 && std::strcmp(argv[1], "--stack-rows") == 0) {
    if (argc < 4) {
      std::fprintf(stderr, "usage: lumivane --stack-rows OUTPUT INPUT...\n");
      return 2;
    }
    ConsoleSink sink;
    IInstallMessageSink(&sink);
    int status = kStatusGood;
    const std::vector<std::string> inputs(argv + 3, argv + argc);
    const int ok = LVFSStackRows(inputs, argv[2], status);
    IInstallMessageSink(nullptr);
    return ok && status == kStatusGood ? 0 : 1;
  }
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
