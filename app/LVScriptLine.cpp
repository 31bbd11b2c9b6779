#include "app/LVScriptLine.h"

#include <cstdlib>
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
  const std::string line = Trim(raw);
  if (line.empty() || line[0] == '#') return LVScriptLine{};
  return LVSplitScriptLine(line);
}

LVScriptLine LVSplitScriptLine(const std::string& line) {
  LVScriptLine parsed;
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

bool LVExpandScriptEnvironment(std::string& line, std::string& missing) {
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
