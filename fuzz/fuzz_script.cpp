// The command-script parser: every line taken apart and its arguments turned into an event.
// The commands themselves are not run: a fuzzed script would open and write files anywhere
// and open the program's windows; the command tests drive them.
#include <string>

#include "app/LVScriptLine.h"
#include "ui/LVCommandRegistry.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const LVScriptLine line = LVParseScriptLine(text.substr(start, end - start));
    if (line.kind != LVScriptLineKind::kNothing) {
      if (line.word.empty() || line.word.find_first_of(" \t") != std::string::npos) {
        __builtin_trap();
      }
      CommandEvent event;
      LVScriptEvent(line.arguments, event);
      if (event.text != line.arguments) __builtin_trap();
    }
    start = end + 1;
  }
  return 0;
}
