#include "app/LVScript.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "app/LVCommand.h"
#include "app/LVFrame.h"
#include "app/LVScriptLine.h"
#include "core/outputfile.h"
#include "core/status.h"
#include "core/text.h"
#include "fileio/FRawData.h"
#include "platform/Headless.h"
#include "ui/WMessageSink.h"

namespace {

void ScriptNote(const std::string& line) {
  int local = kStatusGood;
  IWriteLogFile("SCRIPT: " + line, local);
  // Whoever started the script from a terminal sees why it failed or stopped, not only the code.
  std::fprintf(stderr, "SCRIPT: %s\n", line.c_str());
}

// One line of the script, without its newline; false at the end of the file. A line over the
// limit is read to its end but not kept (`tooLong`), so that no line, however long, fills
// the memory; `nul` tells that the line held a NUL character. `bytes` counts what was read.
bool ReadScriptLine(std::FILE* file, std::string& line, bool& tooLong, bool& nul,
                    long long& bytes) {
  line.clear();
  tooLong = nul = false;
  int c = 0;
  bool any = false;
  while (bytes <= kLVScriptFileLimit && (c = std::fgetc(file)) != EOF) {
    ++bytes;
    any = true;
    if (c == '\n') return true;
    if (c == '\0') nul = true;
    if (line.size() < kLVScriptLineLimit) {
      line.push_back(static_cast<char>(c));
    } else {
      tooLong = true;
    }
  }
  return any;
}

}  // namespace

int LVRunScript(const std::string& scriptPath, const std::string& image,
                const LVScriptOptions& options) {
  bool notRegular = false;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> script(
      FOpenRegularFile(scriptPath, "r", notRegular), &std::fclose);
  if (!script) {
    std::fprintf(stderr,
                 notRegular ? "lumivane: the command script %s is not a regular file\n"
                            : "lumivane: cannot read the command script %s\n",
                 scriptPath.c_str());
    return 1;
  }
  if (FFileLength(script.get()) > kLVScriptFileLimit) {
    std::fprintf(stderr, "lumivane: the command script %s is longer than %lld MiB\n",
                 scriptPath.c_str(), kLVScriptFileLimit >> 20);
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

  // Every prompt that found no answer since the last look is named with where the script
  // stood; the script has then failed, though the prompt was cancelled as a "cancel" would.
  std::size_t unansweredSeen = 0;
  auto unanswered = [&](const std::string& where) {
    const std::vector<std::string>& prompts = headless->Unanswered();
    const bool any = prompts.size() > unansweredSeen;
    for (; unansweredSeen < prompts.size(); ++unansweredSeen) {
      ScriptNote("no answer queued for \"" + prompts[unansweredSeen] + "\" (" + where + ")");
    }
    return any;
  };

  int status = kStatusGood;
  LVStartUp(status);
  LVCommandLine(image, status);
  IStatusReport(status);
  LVFirstPaint(status);

  // From a prompt that found no answer on, the script's answers would go to the wrong
  // prompts: the lines after it are not run, so that no wrong result is written.
  auto stopHere = [](const std::string& where) {
    ScriptNote("the script stops after " + where +
               ": a prompt found no answer, the lines after it are not run");
  };
  bool failed = unanswered("command line");
  bool stopped = failed;
  if (stopped) stopHere("the command line");
  if (!LVCommandLineFileOpened()) {
    ScriptNote("command failed: Open_File " + image + " (command line)");
    failed = true;
  }
  std::string raw;
  int lineNumber = 0;
  auto here = [&lineNumber] { return "line " + std::to_string(lineNumber); };
  bool tooLong = false, nul = false;
  long long bytes = 0;
  while (!stopped && ReadScriptLine(script.get(), raw, tooLong, nul, bytes)) {
    ++lineNumber;
    if (tooLong || nul) {
      ScriptNote("command failed: " + here() +
                 (tooLong ? " is longer than " + std::to_string(kLVScriptLineLimit) + " characters"
                          : " holds a NUL character"));
      failed = true;
      continue;
    }
    const LVScriptLine written = LVParseScriptLine(raw);
    if (written.kind == LVScriptLineKind::kNothing) continue;
    std::string expanded = written.line;
    std::string missing;
    if (!LVExpandScriptEnvironment(expanded, missing)) {
      ScriptNote("command failed: " + written.line + " (line " + std::to_string(lineNumber) +
                 "): the environment variable " + missing + " is not set");
      failed = true;
      continue;
    }
    const LVScriptLine parsed = LVSplitScriptLine(expanded);
    const std::string& line = parsed.line;
    const std::string& arguments = parsed.arguments;
    if (parsed.kind == LVScriptLineKind::kAnswer) {
      headless->QueueAnswer(arguments);
      continue;
    }
    if (parsed.kind == LVScriptLineKind::kPicture) {
      // Paints the display as it stands and keeps it as a PNG picture.
      LVRedraw(status);
      bool saved = LVLastCommandStatus() == kStatusGood;
      // Written as every save is: a device, a pipe or a read-only file is not replaced.
      std::string png;
      if (!headless->CanvasPng(png) || !IWriteFileContents(arguments, png)) {
        int local = kStatusGood;
        IWarning("Could not save the picture: " + arguments, local);
        saved = false;
      }
      if (unanswered(here())) failed = stopped = true;
      if (!saved) {
        ScriptNote("command failed: " + line + " (line " + std::to_string(lineNumber) + ")");
        failed = true;
      }
      if (stopped) stopHere(here());
      continue;
    }
    if (parsed.kind == LVScriptLineKind::kExit) break;
    CommandEvent event;
    LVScriptEvent(arguments, event);
    const std::size_t cancels = headless->Cancels();
    const std::size_t misfits = headless->Misfits();
    const std::size_t alarms = headless->Alarms();
    const int result = LVCommand(parsed.word, event, status);
    // A command fails when it leaves a bad status or its work was not done. A command that
    // ended because the script cancelled a prompt ("answer cancel") is no failure, unless an
    // answer did not fit or a warning or error came with it. A prompt that found no answer
    // queued fails the script whatever the command made of it.
    if (unanswered(here())) failed = stopped = true;
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
    if (stopped) stopHere(here());
  }
  if (bytes > kLVScriptFileLimit) {
    // The file grew past the limit while it was read.
    ScriptNote(IFormat("the script is longer than %lld MiB; the rest is not read",
                       kLVScriptFileLimit >> 20));
    failed = true;
  }
  if (headless->PendingAnswers() > 0) {
    int local = kStatusGood;
    IWriteLogFile(IFormat("SCRIPT: %i answer(s) left unused", static_cast<int>(headless->PendingAnswers())),
                  local);
  }

  LVShutDown(status);
  // The shut-down's own prompt (the status report of a failure left standing) is asked just
  // before the log closes: the backend's transcript line names it there.
  if (headless->Unanswered().size() > unansweredSeen) failed = true;
  if (LVLastCommandStatus() != kStatusGood) failed = true;
  return failed ? 1 : 0;
}
