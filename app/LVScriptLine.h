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

// A line as the file holds it: blanks trimmed, blank lines and comments are kNothing.
LVScriptLine LVParseScriptLine(const std::string& raw);
// A line already trimmed and expanded: split at its first blank, whatever it holds (a line
// that expanded to nothing is a command without a name).
LVScriptLine LVSplitScriptLine(const std::string& line);

// "${NAME}" takes the value of the environment variable NAME, so one script serves every
// chunk of a batch ("answer @frames.txt:${FIRST}-${LAST}"). False, with the name, when a
// variable is not set (the line is then left as it was).
bool LVExpandScriptEnvironment(std::string& line, std::string& missing);

// Fills an event from a command line's arguments.
void LVScriptEvent(const std::string& arguments, CommandEvent& event);
