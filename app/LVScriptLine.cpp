#include "app/LVScriptLine.h"

#include <sstream>

#include "core/status.h"
#include "core/text.h"
#include "ui/LVCommandRegistry.h"

namespace {

std::string Trim(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return std::string();
  const std::size_t last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

}  // namespace

LVScriptLine LVParseScriptLine(const std::string& raw) {
  LVScriptLine parsed;
  const std::string line = Trim(raw);
  if (line.empty() || line[0] == '#') return parsed;
  parsed.line = line;
  const std::size_t blank = line.find_first_of(" \t");
  parsed.word = line.substr(0, blank);
  parsed.arguments = blank == std::string::npos ? std::string() : Trim(line.substr(blank));
  if (parsed.word == "answer") {
    parsed.kind = LVScriptLineKind::kAnswer;
  } else if (parsed.word == "picture") {
    parsed.kind = LVScriptLineKind::kPicture;
  } else if (IStringsEqual(parsed.word, "Exit")) {
    parsed.kind = LVScriptLineKind::kExit;
  } else {
    parsed.kind = LVScriptLineKind::kCommand;
  }
  return parsed;
}

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
