// Command scripts: a batch run of the program without a display.
//
//   # comment            ignored, as are blank lines
//   answer TEXT          queues an answer for the next prompt: a number, yes, no, cancel,
//                        a file name, "store N", "click X Y", "finish"
//   COMMAND [ARGUMENTS]  runs a command; the arguments fill the event's text (file commands),
//                        value (integer commands) and realX realY ("Set_Beam_Centre")
//   picture FILE         paints the display and saves it as a PNG picture
//   Exit                 ends the script
//
// The run performs the program's start-up and shut-down (log "lumivane.log" and data-base
// "Lumivane.idb" in the current directory).
//
// A script is a regular file of at most kLVScriptFileLimit bytes; anything else (a folder, a
// pipe, a device) is refused before the run starts, and the exit code is 1. A line longer
// than kLVScriptLineLimit characters, or holding a NUL character (the command would see only
// the text before it), is a failed line: it is logged and skipped, and the run ends with 1.
#pragma once

#include <string>

#include "app/LVScriptLine.h"  // the line parser and LVScriptEvent

inline constexpr long long kLVScriptFileLimit = 64ll << 20;
inline constexpr std::size_t kLVScriptLineLimit = 64u << 10;

struct LVScriptOptions {
  bool echo = true;  // information lines to standard output
};

// Runs the script; the exit code is 0 when every command did its work, 1 when any failed (a
// bad status, or a work routine that could not do its work: an unknown command, a refused file,
// a failed save), a prompt found no answer queued, or the script cannot be read. A command
// ended by an "answer cancel" is no failure unless an answer did not fit or a warning came
// with it. Each failed or cancelled command is logged as "SCRIPT: command failed: ..." or
// "SCRIPT: command cancelled: ...", each prompt left without answer as
// "SCRIPT: no answer queued for "PROMPT" (line N)".
int LVRunScript(const std::string& scriptPath, const std::string& image,
                const LVScriptOptions& options);
