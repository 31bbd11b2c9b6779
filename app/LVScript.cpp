#include "app/LVScript.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>

#include "app/LVCommand.h"
#include "app/LVFrame.h"
#include "core/status.h"
#include "core/text.h"
#include "platform/Headless.h"
#include "ui/WMessageSink.h"

namespace {

std::string Trim(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return std::string();
  const std::size_t last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

void ScriptNote(const std::string& line) {
  int local = kStatusGood;
  IWriteLogFile("SCRIPT: " + line, local);
}

}  // namespace

void LVScriptEvent(const std::string& arguments, CommandEvent& event) {
  event.text = arguments;
  int local = kStatusGood;
  std::istringstream words(arguments);
  std::string first, second;
  words >> first >> second;
  int value = 0;
  if (IToken2Integer(first, value, local)) event.value = value;
  float x = 0.0f, y = 0.0f;
  if (IToken2Real(first, x, local) && IToken2Real(second, y, local)) {
    event.realX = x;
    event.realY = y;
  }
}

// "${NAME}" takes the value of the environment variable NAME, so one script serves every
// chunk of a batch ("answer @frames.txt:${FIRST}-${LAST}"). False, with the name, when a
// variable is not set.
static bool ExpandEnvironment(std::string& line, std::string& missing) {
  std::string out;
  std::size_t at = 0;
  while (at < line.size()) {
    const std::size_t open = line.find("${", at);
    const std::size_t close = open == std::string::npos ? open : line.find('}', open + 2);
    if (open == std::string::npos || close == std::string::npos) {
      out += line.substr(at);
      break;
    }
    out += line.substr(at, open - at);
    const std::string name = line.substr(open + 2, close - open - 2);
    const char* value = name.empty() ? nullptr : std::getenv(name.c_str());
    if (!value) {
      missing = name;
      return false;
    }
    out += value;
    at = close + 1;
  }
  line = out;
  return true;
}

int LVRunScript(const std::string& scriptPath, const std::string& image,
                const LVScriptOptions& options) {
  std::ifstream script(scriptPath);
  if (!script) {
    std::fprintf(stderr, "lumivane: cannot read the command script %s\n", scriptPath.c_str());
    return 1;
  }

  auto backend = std::make_unique<PHeadlessBackend>();
  PHeadlessBackend* headless = backend.get();
  headless->SetEcho(options.echo);
  headless->SetTranscript([](const std::string& line) {
    int local = kStatusGood;
    IWriteLogFile(line, local);
  });
  PInstallBackend(std::move(backend));
  WInstallMessageSink();
  LVRegisterAllCommands();

  int status = kStatusGood;
  LVStartUp(status);
  LVCommandLine(image, status);
  IStatusReport(status);
  LVFirstPaint(status);

  bool failed = false;
  if (!LVCommandLineFileOpened()) {
    ScriptNote("command failed: Open_File " + image + " (command line)");
    failed = true;
  }
  std::string raw;
  int lineNumber = 0;
  while (std::getline(script, raw)) {
    ++lineNumber;
    std::string line = Trim(raw);
    if (line.empty() || line[0] == '#') continue;
    std::string missing;
    if (!ExpandEnvironment(line, missing)) {
      ScriptNote("command failed: " + line + " (line " + std::to_string(lineNumber) +
                 "): the environment variable " + missing + " is not set");
      failed = true;
      continue;
    }
    const std::size_t blank = line.find_first_of(" \t");
    const std::string word = line.substr(0, blank);
    const std::string arguments =
        blank == std::string::npos ? std::string() : Trim(line.substr(blank));
    if (word == "answer") {
      headless->QueueAnswer(arguments);
      continue;
    }
    if (word == "picture") {
      // Paints the display as it stands and keeps it as a PNG picture.
      LVRedraw(status);
      bool saved = LVLastCommandStatus() == kStatusGood;
      if (!headless->SaveCanvas(arguments)) {
        int local = kStatusGood;
        IWarning("Could not save the picture: " + arguments, local);
        saved = false;
      }
      if (!saved) {
        ScriptNote("command failed: " + line + " (line " + std::to_string(lineNumber) + ")");
        failed = true;
      }
      continue;
    }
    if (IStringsEqual(word, "Exit")) break;
    CommandEvent event;
    LVScriptEvent(arguments, event);
    const std::size_t cancels = headless->Cancels();
    const std::size_t misfits = headless->Misfits();
    const std::size_t alarms = headless->Alarms();
    const int result = LVCommand(word, event, status);
    // A command fails when it leaves a bad status or its work was not done. A command that
    // ended because a prompt was cancelled (an "answer cancel", or no answer queued) is no
    // failure, unless an answer did not fit or a warning or error came with it.
    const bool badStatus = LVLastCommandStatus() != kStatusGood;
    const bool cancelled = headless->Cancels() > cancels;
    const bool troubled = headless->Misfits() > misfits || headless->Alarms() > alarms;
    const bool workNotDone = !result && !LVLastCommandHadNothingToDo();
    const bool commandFailed = badStatus || (workNotDone && (!cancelled || troubled));
    if (commandFailed || workNotDone) {
      ScriptNote(std::string(commandFailed ? "command failed: " : "command cancelled: ") + line +
                 " (line " + std::to_string(lineNumber) + ")");
    }
    if (commandFailed) failed = true;
  }
  if (headless->PendingAnswers() > 0) {
    int local = kStatusGood;
    IWriteLogFile(IFormat("SCRIPT: %i answer(s) left unused", static_cast<int>(headless->PendingAnswers())),
                  local);
  }

  LVShutDown(status);
  if (LVLastCommandStatus() != kStatusGood) failed = true;
  return failed ? 1 : 0;
}
