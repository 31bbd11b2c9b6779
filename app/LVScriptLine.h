// One line of a command script taken apart (app/LVScript.h describes the language). Pure text
// work with no window, so that the fuzzers and the tests reach it without a display.
#pragma once

#include <string>

struct CommandEvent;

enum class LVScriptLineKind {
  kNothing,  // blank line or comment
  kAnswer,   // "answer TEXT": arguments hold TEXT
  kPicture,  // "picture FILE": arguments hold FILE
  kExit,     // "Exit" (any case)
  kCommand,  // "COMMAND [ARGUMENTS]"
};

struct LVScriptLine {
  LVScriptLineKind kind = LVScriptLineKind::kNothing;
  std::string line;       // the whole line, blanks trimmed at both ends
  std::string word;       // the first word, without blanks
  std::string arguments;  // the rest of the line, blanks trimmed at both ends
};

LVScriptLine LVParseScriptLine(const std::string& raw);

// Fills an event from a command line's arguments.
void LVScriptEvent(const std::string& arguments, CommandEvent& event);
