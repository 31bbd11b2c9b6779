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
#pragma once

#include <string>

struct LVScriptOptions {
  bool echo = true;  // information lines to standard output
};

// Runs the script; the exit code is 0 when every command ended with the good status, 1
// otherwise (also for an unknown command or a script that cannot be read).
int LVRunScript(const std::string& scriptPath, const std::string& image,
                const LVScriptOptions& options);

// Fills an event from a command line's arguments.
struct CommandEvent;
void LVScriptEvent(const std::string& arguments, CommandEvent& event);
