// The command-script parser: every line taken apart as the runner does (trimmed, comments
// dropped, "${NAME}" expanded from the environment, split into word and arguments) and its
// arguments turned into an event. The commands themselves are not run: a fuzzed script would
// open and write files anywhere and open the program's windows; the command tests drive them.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/LVScriptLine.h"
#include "ui/LVCommandRegistry.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // A few names for the expansion to find.
  setenv("FIRST", "1", 1);
  setenv("LAST", "250", 1);
  setenv("EMPTY", "", 1);
  setenv("LIST", "@frames.txt:${FIRST}-${LAST}", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const LVScriptLine written = LVParseScriptLine(text.substr(start, end - start));
    start = end + 1;
    if (written.kind == LVScriptLineKind::kNothing) continue;
    if (written.word.empty() || written.word.find_first_of(" \t") != std::string::npos) {
      __builtin_trap();
    }
    std::string expanded = written.line, missing;
    const std::string before = expanded;
    if (!LVExpandScriptEnvironment(expanded, missing)) {
      if (expanded != before) __builtin_trap();  // a failed expansion leaves the line alone
      continue;
    }
    const LVScriptLine parsed = LVSplitScriptLine(expanded);
    if (parsed.line != expanded) __builtin_trap();
    CommandEvent event;
    LVScriptEvent(parsed.arguments, event);
    if (event.text != parsed.arguments) __builtin_trap();
  }
  return 0;
}
